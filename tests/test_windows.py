"""The Windows build: jiggle.exe under Wine on a private Xvfb, and the file
itself. ctest sets JIGGLE_EXE, JIGGLE_VERSION, HOLD_POINTER and Wine's
variables; scripts/package runs test_executable on the stripped exe."""

import os
import re
import subprocess
import time
import xml.etree.ElementTree as ET

import pefile
import pytest
from conftest import BANNER, FAREWELL, PERIOD, STOP_BOUND, PointerWatch, Run


@pytest.fixture
def wine(xserver):
    # Never the caller's own prefix: its wineserver is ended here.
    assert "WINEPREFIX" in os.environ, "set WINEPREFIX and the rest (ctest does)"
    # A wineserver stays bound to the display of its first client.
    subprocess.run(["wineserver", "-k"], env=xserver.env)
    # As the first client, the holder also keeps the wineserver and Wine's
    # helpers, which outlive each run, off the pipes of the runs.
    holder = subprocess.Popen(["wine", os.environ["HOLD_POINTER"]], env=xserver.env,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    assert (holder.stdout.readline(), xserver.pointer()) == (b"holding\r\n", (600, 500))
    yield xserver.env
    subprocess.run(["wineserver", "-k"], env=xserver.env)
    holder.wait(timeout=10)


def test_runs_until_enter(wine, xserver):
    watch = PointerWatch(xserver)
    run = Run(["wine", os.environ["JIGGLE_EXE"]], wine)
    time.sleep(2 * PERIOD + 1)  # moves at once, after 2 s and after 4 s
    rest, status, seconds = run.stop()
    moves = watch.stop()
    # Wine, like Windows, writes text-mode "\n" as "\r\n".
    assert (run.banner + rest, status) == (BANNER.replace(b"\n", b"\r\n") + FAREWELL, 0)
    assert seconds < STOP_BOUND
    gaps = [later[0] - earlier[0] for earlier, later in zip(moves, moves[1:])]
    assert len(moves) >= 3 and all(1.4 < gap < 2.6 for gap in gaps), moves


def test_executable():
    pe = pefile.PE(os.environ["JIGGLE_EXE"])
    header = pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic, pe.OPTIONAL_HEADER.Subsystem
    assert header == (0x8664, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS, 3)  # x86-64, console
    dlls = {entry.dll.lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert dlls == {b"kernel32.dll", b"user32.dll", b"msvcrt.dll"}
    resources = {(kind.id, name.id, language.id): language.data.struct
                 for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries
                 for name in kind.directory.entries for language in name.directory.entries}
    manifest = resources.pop((24, 1, 0x0409))  # RT_MANIFEST
    assert not [key for key in resources if key[0] == 24]
    # Windows runs it as the user who starts it, with no elevation prompt.
    text = pe.get_data(manifest.OffsetToData, manifest.Size)
    assert re.match(rb"<\?xml version=(['\"])1\.0\1 encoding=(['\"])UTF-8\2", text), text
    v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
    shape = lambda e: (e.tag, e.attrib, (e.text or "").strip(), [shape(child) for child in e])
    assert shape(ET.fromstring(text)) == (v1 + "assembly", {"manifestVersion": "1.0"}, "", [
        (v3 + "trustInfo", {}, "", [(v3 + "security", {}, "", [(v3 + "requestedPrivileges", {}, "", [
            (v3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}, "", [])])])])])
    version = os.environ["JIGGLE_VERSION"]
    strings = {key.decode(): value.decode() for info in pe.FileInfo[0]
               if info.Key == b"StringFileInfo" for table in info.StringTable
               for key, value in table.entries.items()}
    want = {"ProductName": "jiggle", "OriginalFilename": "jiggle.exe",
            "FileVersion": version, "ProductVersion": version}
    assert {key: strings.get(key) for key in want} == want
    major, minor, patch = map(int, version.split("."))
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
            fixed.ProductVersionLS) == ((major << 16) | minor, patch << 16) * 2
