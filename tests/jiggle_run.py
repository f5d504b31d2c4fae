"""Runs a real jiggle executable and watches what it does to an X pointer."""

import os
import subprocess
import threading
import time

BANNER = b"Jiggling the mouse, please press any key to stop.\n"
FAREWELL = b"Stopped jiggling. Goodbye!"
PERIOD = 2.0


def report(code):
    return (b"Error sending to input:\n\tReturn value: 0\n\tError code: %d\n" % code)


class PointerWatch:
    """Polls the pointer and keeps every change as (time, dx, dy)."""

    def __init__(self, server, interval=0.05):
        self.server, self.interval = server, interval
        self.moves = []
        self.max_idle_ms = 0
        self._stop = threading.Event()
        self._start = server.pointer()  # before anything can move it
        self._thread = threading.Thread(target=self._poll, daemon=True)
        self._thread.start()

    def _poll(self):
        last = self._start
        polls = 0
        while not self._stop.is_set():
            time.sleep(self.interval)
            try:
                now = self.server.pointer()
                polls += 1
                if polls % 5 == 0:
                    self.max_idle_ms = max(self.max_idle_ms, self.server.idle_ms())
            except subprocess.CalledProcessError:
                continue  # the server is away; it may come back
            if now != last:
                self.moves.append((time.monotonic(), now[0] - last[0], now[1] - last[1]))
                last = now

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.moves


class Run:
    """One run of the program, with stdin a pipe that the test controls."""

    def __init__(self, exe, env, args=()):
        self.started = time.monotonic()
        self.proc = subprocess.Popen([exe, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.banner = self.proc.stdout.read(len(BANNER))
        self.stop_sent = None

    def stop(self, char=b"\n", close=False, timeout=10):
        """Sends one character (none: closes stdin) and waits for the exit.

        Stdin stays open unless asked, so the character alone must stop the
        run. Returns (rest of stdout, exit status, seconds from stop to exit).
        """
        self.stop_sent = time.monotonic()
        if char:
            self.proc.stdin.write(char)
            self.proc.stdin.flush()
        if close or not char:
            self.proc.stdin.close()
        out = self.proc.stdout.read()
        status = self.proc.wait(timeout=timeout)
        elapsed = time.monotonic() - self.stop_sent
        self.stderr = self.proc.stderr.read()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()
        return out, status, elapsed


def exe_from_env(name="JIGGLE"):
    exe = os.environ.get(name)
    if not exe or not os.path.exists(exe):
        raise RuntimeError(f"set {name} to the built executable (ctest does this)")
    return exe
