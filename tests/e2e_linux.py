#!/usr/bin/python3
"""The Linux build end to end, against a private Xvfb."""

import os
import pty
import select
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from jiggle_run import BANNER, FAREWELL, PERIOD, PointerWatch, Run, exe_from_env, report  # noqa: E402
from xserver import XServer  # noqa: E402

JIGGLE = exe_from_env()
# Stop to exit: the rest of the pause plus at most one more cycle and pause.
STOP_BOUND = PERIOD + 1.0


def setUpModule():
    global server
    # Where /dev/uinput is writable, a motion that X refuses goes to a real
    # virtual pointer on this machine instead of being reported.
    if os.access("/dev/uinput", os.W_OK):
        raise RuntimeError("/dev/uinput is writable here: run these tests where "
                           "it is not (e.g. as a user without uinput access)")
    server = XServer()


def tearDownModule():
    server.close()


class ConsoleProtocol(unittest.TestCase):
    def run_and_stop(self, char, after=0.3, args=(), close=False):
        run = Run(JIGGLE, server.env(), args=args)
        self.assertEqual(run.banner, BANNER)
        time.sleep(after)
        out, status, elapsed = run.stop(char, close=close)
        self.assertEqual(out, FAREWELL, f"stop with {char!r}")
        self.assertEqual(status, 0)
        self.assertLess(elapsed, STOP_BOUND)
        self.assertEqual(run.stderr, b"")
        return elapsed

    def test_any_one_character_stops_the_run(self):
        for char in (b"\n", b" ", b"q", b"\x00"):
            self.run_and_stop(char)

    def test_only_the_first_character_is_needed(self):
        # Several characters and a line end: the first one stops the run.
        self.run_and_stop(b"abc\n")

    def test_end_of_input_stops_the_run(self):
        self.run_and_stop(b"", after=0)
        with open(os.devnull, "rb") as empty:
            proc = subprocess.run([JIGGLE], stdin=empty, capture_output=True,
                                  env=server.env(), timeout=10)
        self.assertEqual(proc.stdout, BANNER + FAREWELL)
        self.assertEqual(proc.returncode, 0)

    def test_arguments_make_no_difference(self):
        self.run_and_stop(b"\n", args=("--help", "-v", "3", ""))

    def test_stop_waits_for_the_pause_to_end(self):
        # Stopped half-way through a pause, the run ends with that pause.
        elapsed = self.run_and_stop(b"\n", after=1.0)
        self.assertGreater(elapsed, 0.5)

    def test_farewell_shows_at_once_on_a_terminal(self):
        # A terminal's stdout is line-buffered by default; the farewell has
        # no line end and must still show before the worker's pause is over.
        master, slave = pty.openpty()
        proc = subprocess.Popen([JIGGLE], stdin=subprocess.PIPE, stdout=slave,
                                env=server.env())
        os.close(slave)
        seen = b""
        deadline = time.monotonic() + 5
        while b"\n" not in seen and time.monotonic() < deadline:
            if select.select([master], [], [], 0.1)[0]:
                seen += os.read(master, 1024)
        time.sleep(0.5)  # now inside the first pause
        proc.stdin.write(b"\n")
        proc.stdin.flush()
        sent = time.monotonic()
        while FAREWELL not in seen and time.monotonic() - sent < 1.0:
            if select.select([master], [], [], 0.05)[0]:
                seen += os.read(master, 1024)
        shown = time.monotonic() - sent
        self.assertIn(FAREWELL, seen)
        self.assertIsNone(proc.poll(), "the farewell must show before the exit")
        self.assertLess(shown, 0.5)
        self.assertEqual(proc.wait(timeout=10), 0)
        os.close(master)
        self.assertEqual(seen, b"Jiggling the mouse, please press any key to stop.\r\n" + FAREWELL)


class PointerMotion(unittest.TestCase):
    def test_steps_every_two_seconds_and_keeps_the_session_awake(self):
        watch = PointerWatch(server)
        run = Run(JIGGLE, server.env())
        time.sleep(4 * PERIOD + 0.5)
        moves = watch.stop()
        out, status, _ = run.stop()
        self.assertEqual((out, status), (FAREWELL, 0))

        self.assertEqual(len(moves), 5, moves)
        self.assertLess(moves[0][0] - run.started, 0.5, "the first motion comes at once")
        for (t0, _, _), (t1, _, _) in zip(moves, moves[1:]):
            self.assertGreater(t1 - t0, PERIOD - 0.3)
            self.assertLess(t1 - t0, PERIOD + 0.5)
        for _, dx, dy in moves:
            self.assertTrue(1 <= abs(dx) <= 11 and 1 <= abs(dy) <= 11, (dx, dy))
        # XTEST motions reset the server's idle time: that is what keeps a
        # screen saver or lock from starting.
        self.assertLess(watch.max_idle_ms, PERIOD * 1000 + 300)

    def test_no_x_server_is_reported_every_cycle_and_the_run_goes_on(self):
        env = server.env()
        env["DISPLAY"] = ":999"  # nobody there
        run = Run(JIGGLE, env)
        time.sleep(PERIOD + 1.0)  # two cycles, then stop inside the pause
        out, status, _ = run.stop()
        self.assertEqual(out, report(1) * 2 + FAREWELL)
        self.assertEqual(status, 0)


class XServerRestart(unittest.TestCase):
    def test_a_restarted_server_is_picked_up(self):
        local = XServer()
        try:
            run = Run(JIGGLE, local.env())
            time.sleep(0.5)
            for _ in range(2):
                self.assertNotEqual(local.pointer(), (640, 512), "moved before the loss")
                local.stop(9)  # SIGKILL: no goodbye to the clients
                time.sleep(PERIOD + 0.5)
                local.start()  # same display number, pointer back at the centre
                time.sleep(PERIOD + 0.5)
            self.assertNotEqual(local.pointer(), (640, 512), "moved after the restart")
            out, status, _ = run.stop()
            self.assertEqual(status, 0)
            self.assertTrue(out.startswith(report(1)), out)
            self.assertTrue(out.endswith(FAREWELL), out)
            self.assertEqual(out.replace(report(1), b""), FAREWELL)
        finally:
            local.close()


class BrokenStandardStreams(unittest.TestCase):
    """Output that cannot be written is lost; the run and its stop hold."""

    def run_with_stdout(self, stdout_setup, stdout_becomes=None):
        watch = PointerWatch(server)
        cmd = f'{stdout_setup}; exec "$0"'
        proc = subprocess.Popen(["bash", "-c", cmd, JIGGLE], stdin=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=server.env())
        time.sleep(PERIOD + 1.0)
        if stdout_becomes:
            # Not the X connection, which would otherwise take the free number.
            self.assertEqual(os.readlink(f"/proc/{proc.pid}/fd/1"), stdout_becomes)
        _, err = proc.communicate(b"\n", timeout=10)
        moves = watch.stop()
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(len(moves), 2, "the run goes on")

    def test_stdout_closed(self):
        self.run_with_stdout("exec 1>&-", stdout_becomes="/dev/null")

    def test_stdout_full(self):
        self.run_with_stdout("exec 1>/dev/full")

    def test_stdout_pipe_without_reader(self):
        # The reader (true) is gone before the program writes its banner.
        self.run_with_stdout("exec 1> >(true); sleep 0.2")

    def test_stdin_closed_stops_at_once(self):
        proc = subprocess.run(["bash", "-c", 'exec 0<&-; exec "$0"', JIGGLE],
                              capture_output=True, env=server.env(), timeout=10)
        self.assertEqual(proc.stdout, BANNER + FAREWELL)
        self.assertEqual(proc.returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
