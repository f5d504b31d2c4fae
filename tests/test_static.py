"""The static release binaries (presets linux-static, linux-arm64-static): what
their ELF headers say, and a run alone in an empty chroot against a private
Xvfb, the arm64 one under qemu-aarch64-static copied in beside it."""

import os
import re
import shutil
import subprocess
import time

import pytest
from conftest import BANNER, FAREWELL, STOP_BOUND, PointerWatch, Run

# Per binary: where its path comes from, readelf's machine, the emulator.
BINARIES = {"x86_64": ("JIGGLE_STATIC_X86_64", "Advanced Micro Devices X86-64", None),
            "arm64": ("JIGGLE_STATIC_ARM64", "AArch64", "/usr/bin/qemu-aarch64-static")}
pytestmark = pytest.mark.parametrize("arch", BINARIES)


def test_needs_no_interpreter_and_no_shared_library(arch):
    variable, machine, _ = BINARIES[arch]
    elf = subprocess.run(["readelf", "--file-header", "--segments", "--dynamic",
                          os.environ[variable]], capture_output=True, text=True, check=True).stdout
    interpreter = re.findall(r"Requesting program interpreter: (.*)]", elf)  # PT_INTERP
    needed = re.findall(r"\(NEEDED\) .*\[(.*)]", elf)  # DT_NEEDED
    assert (re.search(r"Machine: +(.*)", elf)[1], interpreter, needed) == (machine, [], [])


def test_moves_the_pointer_alone_in_an_empty_chroot(arch, xserver, tmp_path):
    variable, _, emulator = BINARIES[arch]
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
