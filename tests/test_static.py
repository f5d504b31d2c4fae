"""The static release binaries (presets linux-static, linux-arm64-static): a
run alone in an empty chroot against a private Xvfb, the arm64 one under
qemu-aarch64-static copied in beside it. That they need no interpreter and no
shared library, scripts/package checks on the tarballs' copies."""

import os
import shutil
import time

import pytest
from conftest import BANNER, FAREWELL, STOP_BOUND, PointerWatch, Run

# Per binary: where its path comes from, the emulator.
BINARIES = {"x86_64": ("JIGGLE_STATIC_X86_64", None),
            "arm64": ("JIGGLE_STATIC_ARM64", "/usr/bin/qemu-aarch64-static")}


@pytest.mark.parametrize("arch", BINARIES)
def test_moves_the_pointer_alone_in_an_empty_chroot(arch, xserver, tmp_path):
    variable, emulator = BINARIES[arch]
    shutil.copy(os.environ[variable], tmp_path / "jiggle")
    command = ["unshare", "--map-root-user", "chroot", tmp_path, "/jiggle"]
    if emulator:
        shutil.copy(emulator, tmp_path / "emulator")
        command.insert(-1, "/emulator")
    watch = PointerWatch(xserver)
    run = Run(command, xserver.env)
    time.sleep(1.0)  # the first step comes at once, the next after 2 s
    moves = watch.stop()
    assert run.proc.poll() is None, (run.banner, run.proc.stderr.read())
    out, status, elapsed = run.stop()
    assert (run.banner, out, run.stderr, status) == (BANNER, FAREWELL, b"", 0)
    assert elapsed < STOP_BOUND
    assert [1 <= abs(dx) <= 11 and 1 <= abs(dy) <= 11 for _, dx, dy in moves] == [True], moves
