#!/usr/bin/python3
"""End-to-end tests of the Windows build: the real jiggle.exe under Wine on a
private Xvfb, and the executable file itself.

Run by ctest for the windows build, after the wine_prefix test has made the
Wine prefix; by hand:
    JIGGLE_BUILD_DIR=build/windows /usr/bin/python3 tests/e2e_windows.py
"""

import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

TESTS_DIR = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, TESTS_DIR)
import jiggle_run  # noqa: E402
from xserver import XServer  # noqa: E402

SOURCE_DIR = os.path.dirname(TESTS_DIR)
BUILD_DIR = os.path.abspath(os.environ.get("JIGGLE_BUILD_DIR",
                                           os.path.join(SOURCE_DIR, "build", "windows")))
JIGGLE = os.path.join(BUILD_DIR, "jiggle.exe")
HOLD_POINTER = os.path.join(BUILD_DIR, "tests", "hold_pointer.exe")
WINE_PREFIX = os.path.join(BUILD_DIR, "wineprefix")
WINE_RUN = [os.path.join(TESTS_DIR, "wine-run"), "--prefix", WINE_PREFIX]
MANIFEST = os.path.join(SOURCE_DIR, "resources", "jiggle.manifest")

# Wine, like Windows, writes "\r\n" for "\n" on text-mode standard output.
BANNER = jiggle_run.BANNER.replace(b"\n", b"\r\n")
FAREWELL = jiggle_run.FAREWELL

INTERVAL = jiggle_run.PERIOD
# After the stop: the pause under way, one more cycle, and Wine's process exit.
STOP_BOUND = INTERVAL + 1.0
# Wine's start of a process, on a loaded machine.
START_BOUND = 30.0
POLL = 0.05

xserver = None
pointer_holder = None


def wineserver_kill():
    env = dict(os.environ, WINEPREFIX=WINE_PREFIX)
    try:
        subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except FileNotFoundError:
        raise RuntimeError("wineserver missing (run scripts/install-deps)") from None


def setUpModule():
    global xserver, pointer_holder
    for path in (JIGGLE, HOLD_POINTER):
        if not os.path.exists(path):
            raise RuntimeError(f"{path} missing: build the windows preset first")
    xserver = XServer()
    unittest.addModuleCleanup(xserver.close)
    # A wineserver holds on to the display of its first client: one from
    # another run would take this run's pointer moves elsewhere.
    wineserver_kill()
    unittest.addModuleCleanup(wineserver_kill)
    # Wine starts each desktop's pointer at (0, 0), where moves pile up
    # against the corner: hold a desktop with the pointer mid-screen.
    pointer_holder = subprocess.Popen(
        WINE_RUN + [HOLD_POINTER, str(xserver.width // 2), str(xserver.height // 2)],
        env=xserver.env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    unittest.addModuleCleanup(release_pointer)
    line = pointer_holder.stdout.readline()
    if line != b"holding\r\n":
        raise RuntimeError(f"hold_pointer under Wine failed: {line!r}")


def release_pointer():
    pointer_holder.stdin.close()
    try:
        pointer_holder.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pointer_holder.kill()
        pointer_holder.wait()
    pointer_holder.stdout.close()


class Run:
    """One run of jiggle.exe under Wine; its output and exit are timed as they come."""

    def __init__(self, args=(), stdin=subprocess.PIPE):
        self.chunks = []
        self.exited = None
        self.stderr = ""
        self.proc = subprocess.Popen(WINE_RUN + [JIGGLE, *args], env=xserver.env(),
                                     stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        threading.Thread(target=self._follow, daemon=True).start()

    def _follow(self):
        while data := os.read(self.proc.stdout.fileno(), 4096):
            self.chunks.append((time.monotonic(), data))
        self.stderr = self.proc.stderr.read().decode(errors="replace")
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.proc.wait()
        self.exited = time.monotonic()

    def output(self):
        return b"".join(data for _, data in self.chunks)

    def banner_time(self):
        """When the banner had fully arrived, or None."""
        seen = b""
        for arrival, data in list(self.chunks):
            seen += data
            if len(seen) >= len(BANNER):
                return arrival
        return None

    def wait_for_banner(self, test):
        deadline = time.monotonic() + START_BOUND
        while self.banner_time() is None and self.exited is None:
            if time.monotonic() > deadline:
                test.fail(f"no banner within {START_BOUND} s: {self.output()!r}")
            time.sleep(0.01)
        test.assertEqual(self.output()[:len(BANNER)], BANNER, self.output())
        return self.banner_time()

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()
        return time.monotonic()

    def wait_for_exit(self, test, since, bound):
        deadline = since + bound + 10
        while self.exited is None:
            if time.monotonic() > deadline:
                self.proc.kill()
                test.fail(f"still running {bound + 10} s after the stop")
            time.sleep(0.01)
        if self.proc.stdin:
            self.proc.stdin.close()
        test.assertEqual(self.proc.returncode, 0, self.stderr)
        test.assertLessEqual(self.exited - since, bound,
                             f"exit {self.exited - since:.2f} s after the stop")
        return self.exited


class StopProtocol(unittest.TestCase):
    def test_stops_on_one_character_or_at_end_of_input(self):
        with tempfile.TemporaryFile() as empty_file:
            cases = {
                "stdin closed at once": (Run(), None),
                "stdin an empty file": (Run(stdin=empty_file), None),
                "a letter, arguments given": (
                    Run(args=["--help", "/?", "-n", "5", "x"]), b"x"),
                "a space": (Run(), b" "),
                "a line end": (Run(), b"\n"),
                "several characters and a line end": (Run(), b"abc\n"),
            }
            cases["stdin closed at once"][0].proc.stdin.close()
            # Each stop character waits for its run's banner; the runs go on
            # side by side meanwhile.
            stops = {}
            for name, (run, stop) in cases.items():
                with self.subTest(name):
                    banner = run.wait_for_banner(self)
                    if stop is not None:
                        self.assertIsNone(run.exited, "ended before the stop")
                    stops[name] = run.send(stop) if stop is not None else banner
            for name, (run, _) in cases.items():
                if name not in stops:
                    continue
                with self.subTest(name):
                    run.wait_for_exit(self, stops[name], STOP_BOUND)
                    self.assertEqual(run.output(), BANNER + FAREWELL)


class PointerMotion(unittest.TestCase):
    def test_moves_at_once_then_every_two_seconds_by_1_to_11(self):
        samples = [(time.monotonic(), xserver.pointer())]

        def watch_until(end):
            while time.monotonic() < end:
                position = xserver.pointer()
                if position != samples[-1][1]:
                    samples.append((time.monotonic(), position))
                time.sleep(POLL)

        run = Run()
        deadline = time.monotonic() + START_BOUND
        while run.banner_time() is None and run.exited is None:
            self.assertLess(time.monotonic(), deadline, "no banner")
            watch_until(time.monotonic() + POLL)
        banner = run.wait_for_banner(self)
        # Four more pauses: five moves in all.
        watch_until(banner + 4 * INTERVAL + INTERVAL / 2)
        stop = run.send(b"x")
        while run.exited is None and time.monotonic() < stop + STOP_BOUND + 10:
            watch_until(time.monotonic() + POLL)
        exited = run.wait_for_exit(self, stop, STOP_BOUND)
        self.assertEqual(run.output(), BANNER + FAREWELL)

        moves = [(t, (x - x0, y - y0))
                 for (_, (x0, y0)), (t, (x, y)) in zip(samples, samples[1:])]
        report = "moves (s after the banner, dx, dy): " + ", ".join(
            f"({t - banner:.2f}, {dx}, {dy})" for t, (dx, dy) in moves)
        before_stop = [t for t, _ in moves if t < stop]
        self.assertGreaterEqual(len(before_stop), 5, report)
        self.assertLessEqual(len(moves) - len(before_stop), 1, report)
        self.assertLess(moves[0][0] - banner, 1.0, "first move not at once; " + report)
        for (earlier, _), (later, _) in zip(moves, moves[1:]):
            self.assertTrue(1.8 <= later - earlier <= 3.0, report)
        for _, (dx, dy) in moves:
            self.assertTrue(1 <= abs(dx) <= 11 and 1 <= abs(dy) <= 11, report)
        # The pause after the last move runs to its end before the exit.
        self.assertGreaterEqual(exited - moves[-1][0], 1.8, report)


class Executable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(JIGGLE)

    def test_is_an_x86_64_console_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine,
                         pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])

    def test_imports_only_system_dlls(self):
        dlls = {entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertEqual(dlls, {"kernel32.dll", "user32.dll", "msvcrt.dll"})
        self.assertFalse(hasattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT"))

    def manifest_resources(self):
        found = []
        for kind in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if kind.id != pefile.RESOURCE_TYPE["RT_MANIFEST"]:
                continue
            for name in kind.directory.entries:
                for language in name.directory.entries:
                    data = language.data.struct
                    found.append((name.id, language.id,
                                  self.pe.get_data(data.OffsetToData, data.Size)))
        return found

    def test_manifest_resource_is_the_source_file(self):
        with open(MANIFEST, "rb") as f:
            source = f.read()
        self.assertEqual(self.manifest_resources(), [(1, 0x0409, source)])

    def test_manifest_asks_for_the_invokers_level_and_nothing_else(self):
        (_, _, text), = self.manifest_resources()
        declaration = text.split(b"\n", 1)[0]
        self.assertRegex(declaration, rb"^<\?xml version=(['\"])1\.0\1 encoding=(['\"])UTF-8\2"
                                      rb" standalone=(['\"])yes\3\s*\?>\s*$")
        asm_v1 = "{urn:schemas-microsoft-com:asm.v1}"
        asm_v3 = "{urn:schemas-microsoft-com:asm.v3}"
        root = ElementTree.fromstring(text)
        chain = [(asm_v1 + "assembly", {"manifestVersion": "1.0"}),
                 (asm_v3 + "trustInfo", {}),
                 (asm_v3 + "security", {}),
                 (asm_v3 + "requestedPrivileges", {}),
                 (asm_v3 + "requestedExecutionLevel",
                  {"level": "asInvoker", "uiAccess": "false"})]
        element = root
        for depth, (tag, attributes) in enumerate(chain):
            self.assertEqual((element.tag, element.attrib), (tag, attributes))
            self.assertEqual((element.text or "").strip(), "", tag)
            self.assertEqual((element.tail or "").strip(), "", tag)
            children = list(element)
            if depth + 1 < len(chain):
                self.assertEqual(len(children), 1, tag)
                element = children[0]
            else:
                self.assertEqual(children, [], tag)


if __name__ == "__main__":
    unittest.main(verbosity=2)
