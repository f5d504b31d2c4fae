"""What the end-to-end tests share: the program's console texts, private X
servers, and runs of a real executable whose stdin the test holds."""

import os
import subprocess
import threading
import time

import pytest

BANNER = b"Jiggling the mouse, please press any key to stop.\n"
FAREWELL = b"Stopped jiggling. Goodbye!"
PERIOD = 2.0
# From the stop to the exit: the rest of the pause, one more cycle and
# pause, and room for a busy machine.
STOP_BOUND = 4.5
# The idle observers' timeout in the Wayland sessions, in seconds.
IDLE_AFTER = 3


def report(code):
    return b"Error sending to input:\n\tReturn value: 0\n\tError code: %d\n" % code


def x11_env(display):
    """This environment, in an X11 session on `display`."""
    env = {k: v for k, v in os.environ.items() if k != "WAYLAND_DISPLAY"}
    return dict(env, DISPLAY=f":{display}")


class XServer:
    """A throwaway Xvfb. -noreset keeps the pointer and the idle time when
    the last client leaves; start() again reuses the display number."""

    def __init__(self):
        self.display = None
        self.start()

    def start(self):
        ready, write_end = os.pipe()
        where = [] if self.display is None else [f":{self.display}"]
        self.proc = subprocess.Popen(
            ["Xvfb", *where, "-displayfd", str(write_end), "-nolisten", "tcp",
             "-noreset", "-screen", "0", "1280x1024x24"],
            pass_fds=[write_end], stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(ready) as answer:
            number = answer.readline()
        assert number, "Xvfb did not start (run scripts/install-deps --test)"
        self.display = int(number)
        self.env = x11_env(self.display)

    def ask(self, *command):
        return subprocess.run(command, env=self.env, capture_output=True, text=True,
                              check=True, timeout=10).stdout

    def pointer(self):
        fields = dict(f.split("=") for f in self.ask("xdotool", "getmouselocation", "--shell").split())
        return int(fields["X"]), int(fields["Y"])

    def stop(self, how=subprocess.Popen.terminate):
        how(self.proc)
        self.proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


@pytest.fixture
def xserver():
    with XServer() as server:
        yield server


class PointerWatch:
    """Polls the pointer in a thread; keeps each change as (time, dx, dy)
    and the longest X idle time seen."""

    def __init__(self, server):
        self.server, self.moves, self.max_idle_ms = server, [], 0
        self.last = server.pointer()
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.poll, daemon=True)  # a failed test never stops it
        self.thread.start()

    def poll(self):
        while not self.done.wait(0.1):
            try:
                now = self.server.pointer()
                self.max_idle_ms = max(self.max_idle_ms, int(self.server.ask("xprintidle")))
            except subprocess.SubprocessError:
                continue  # the server is away; it may come back
            if now != self.last:
                self.moves.append((time.monotonic(), now[0] - self.last[0], now[1] - self.last[1]))
                self.last = now

    def stop(self):
        self.done.set()
        self.thread.join()
        return self.moves


class Run:
    """One run of the program; the banner is read as it starts."""

    def __init__(self, command, env, **popen):
        self.started = time.monotonic()
        pipes = dict.fromkeys(("stdin", "stdout", "stderr"), subprocess.PIPE)
        self.proc = subprocess.Popen(command, env=env, **{**pipes, **popen})
        self.banner = self.proc.stdout and self.proc.stdout.read(len(BANNER))

    def stop(self):
        """Presses Enter and waits for the exit. Returns the rest of stdout,
        the exit status, and the seconds from the stop to the exit."""
        stopped = time.monotonic()
        self.proc.stdin.write(b"\n")
        self.proc.stdin.flush()
        out = self.proc.stdout.read()
        self.stderr = self.proc.stderr.read()
        return out, self.proc.wait(timeout=10), time.monotonic() - stopped


class WatchedSession:
    """A compositor's session: `env` for jiggle, the compositor's processes,
    and its idle time (seconds, None while unknown) polled in a thread,
    whose crossings of IDLE_AFTER are kept as "idle" and "resume"."""

    def __init__(self, env, processes, idle_seconds):
        self.env, self.processes, self.events, self.done = env, processes, [], threading.Event()
        threading.Thread(target=self.poll, args=(idle_seconds,), daemon=True).start()

    def poll(self, idle_seconds):
        while not self.done.wait(0.2):
            try:
                idle = idle_seconds()
            except subprocess.SubprocessError:
                continue  # the compositor is away or busy
            if idle is not None and (idle >= IDLE_AFTER) != (self.events[-1:] == ["idle"]):
                self.events.append("idle" if idle >= IDLE_AFTER else "resume")

    def idle_log(self):
        return list(self.events)

    def wait_idle(self, what):
        deadline = time.monotonic() + IDLE_AFTER + 15
        while self.events != ["idle"]:
            assert time.monotonic() < deadline, f"{what} never went idle: {self.events}"
            time.sleep(0.1)


@pytest.fixture
def mutter(tmp_path):
    """A headless mutter on a private session bus, watched through its
    IdleMonitor."""
    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(XDG_RUNTIME_DIR=str(runtime), DBUS_SESSION_BUS_ADDRESS=f"unix:path={runtime}/bus")

    def idle_seconds():
        answer = subprocess.run(["gdbus", "call", "--session", "-d", "org.gnome.Mutter.IdleMonitor",
                                 "-o", "/org/gnome/Mutter/IdleMonitor/Core",
                                 "-m", "org.gnome.Mutter.IdleMonitor.GetIdletime"],
                                env=env, capture_output=True, text=True, timeout=5).stdout
        return int(answer.split()[1].rstrip(",)")) / 1000 if answer else None  # "(uint64 1234,)"

    processes = {}
    try:
        processes["bus"] = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address",
             "--address", env["DBUS_SESSION_BUS_ADDRESS"]], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert processes["bus"].stdout.readline(), "dbus-daemon did not start"
        processes["mutter"] = subprocess.Popen(
            ["mutter", "--headless", "--wayland", "--no-x11", "--wayland-display", "wayland-jiggle",
             "--virtual-monitor", "1024x768"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        session = WatchedSession(dict(env, WAYLAND_DISPLAY="wayland-jiggle"), processes, idle_seconds)
        try:
            session.wait_idle("mutter")
            yield session
        finally:
            session.done.set()
    finally:
        for proc in reversed(processes.values()):
            proc.terminate()
            proc.wait(timeout=10)
