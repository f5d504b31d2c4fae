#!/usr/bin/env bash
# Renders the man page as groff and man-db (and so lintian) do, and fails on
# any warning or error they print.
set -u
page=$1
[[ -r $page ]] || { echo "FAIL: no man page at $page"; exit 1; }
status=0
groff_says=$(groff -man -ww -Tutf8 -z "$page" 2>&1) || status=1
man_says=$(LC_ALL=C.UTF-8 MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) || status=1
if [[ -n $groff_says || -n $man_says || $status -ne 0 ]]; then
    printf 'FAIL: %s\n%s\n%s\n' "$page" "$groff_says" "$man_says"
    exit 1
fi
echo "ok: $page renders without warnings"
