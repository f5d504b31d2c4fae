#!/usr/bin/python3
"""Checks jiggle.exe's resources: a version resource whose name and version
match the build, and the manifest, unchanged, as the one manifest.

usage: version_resource.py JIGGLE_EXE MANIFEST_FILE VERSION
"""
import sys

import pefile

RT_VERSION = 16
RT_MANIFEST = 24
US_ENGLISH = 0x0409


def resources(pe):
    """(type, id, language) -> bytes for every resource in the file."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                entry = lang.data.struct
                found[(kind.id, name.id, lang.id)] = pe.get_data(
                    entry.OffsetToData, entry.Size)
    return found


def main():
    exe, manifest_file, version = sys.argv[1:4]
    failures = []
    pe = pefile.PE(exe)
    found = resources(pe)

    with open(manifest_file, "rb") as f:
        manifest = f.read()
    manifests = [key for key in found if key[0] == RT_MANIFEST]
    if manifests != [(RT_MANIFEST, 1, US_ENGLISH)]:
        failures.append(f"manifest resources {manifests}, want exactly one "
                        f"with id 1, language 0x0409")
    elif found[manifests[0]] != manifest:
        failures.append(f"manifest resource differs from {manifest_file}")

    versions = [key for key in found if key[0] == RT_VERSION]
    if versions != [(RT_VERSION, 1, US_ENGLISH)]:
        failures.append(f"version resources {versions}, want exactly one")
    else:
        strings = {}
        for info in pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    strings.update({k.decode(): v.decode()
                                    for k, v in table.entries.items()})
        want = {"ProductName": "jiggle", "OriginalFilename": "jiggle.exe",
                "FileVersion": version, "ProductVersion": version}
        for key, value in want.items():
            if strings.get(key) != value:
                failures.append(f"{key} is {strings.get(key)!r}, want {value!r}")
        if not strings.get("FileDescription"):
            failures.append("no FileDescription")
        fixed = pe.VS_FIXEDFILEINFO[0]
        parts = [int(p) for p in version.split(".")] + [0]
        ms, ls = (parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3]
        if (fixed.FileVersionMS, fixed.FileVersionLS) != (ms, ls):
            failures.append("binary file version differs from " + version)
        if (fixed.ProductVersionMS, fixed.ProductVersionLS) != (ms, ls):
            failures.append("binary product version differs from " + version)

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"ok: one manifest, as in {manifest_file}; version {version}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
