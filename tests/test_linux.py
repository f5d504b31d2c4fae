"""The Linux build end to end, against private X servers."""

import os
import pty
import socket
import subprocess
import time

import pytest
from conftest import (BANNER, FAREWELL, PERIOD, STOP_BOUND, PointerWatch, Run, XServer, mate_screensaver, report,
                      x11_env)

JIGGLE = os.environ["JIGGLE"]


@pytest.fixture(scope="module", autouse=True)
def no_uinput_here():
    # Where /dev/uinput is writable, motions that X refuses would go to a
    # real virtual pointer on this machine instead of being reported.
    assert not os.access("/dev/uinput", os.W_OK), "run where /dev/uinput is not writable"


def test_one_character_stops_the_run_and_the_farewell_shows_at_once(xserver):
    # Read alone while stdin stays open, not as a line; the arguments are
    # ignored. A terminal's stdout is line-buffered, and the farewell has no
    # line end.
    main, sub = pty.openpty()
    run = Run([JIGGLE, "--help", "-v", "3", ""], xserver.env, stdout=sub)
    os.close(sub)
    time.sleep(0.5)
    run.proc.stdin.write(b"q")
    run.proc.stdin.flush()
    stopped = time.monotonic()
    time.sleep(0.5)
    assert os.read(main, 200) == BANNER.replace(b"\n", b"\r\n") + FAREWELL
    assert run.proc.poll() is None, "the farewell shows while the last pause runs"
    assert (run.proc.wait(timeout=STOP_BOUND), run.proc.stderr.read()) == (0, b"")
    # Stopped early in the first pause, the run ends with that pause.
    assert PERIOD - 0.8 < time.monotonic() - stopped < STOP_BOUND


def test_steps_of_1_to_11_every_two_seconds_keep_the_session_awake(xserver):
    with XServer() as other:
        servers = [xserver, other]
        watches = [PointerWatch(server) for server in servers]
        runs = [Run([JIGGLE], server.env) for server in servers]
        time.sleep(7 * PERIOD + 1)
        steps = [watch.stop() for watch in watches]
        for run, watch, moves in zip(runs, watches, steps):
            assert run.stop()[:2] == (FAREWELL, 0)
            assert len(moves) == 8, moves
            assert moves[0][0] - run.started < 0.5, "the first step comes at once"
            assert all(PERIOD - 0.3 < b[0] - a[0] < PERIOD + 0.5 for a, b in zip(moves, moves[1:])), moves
            assert all(1 <= abs(dx) <= 11 and 1 <= abs(dy) <= 11 for _, dx, dy in moves), moves
            # XTEST motions reset the server's idle time, which screen savers
            # and locks go by.
            assert watch.max_idle_ms < PERIOD * 1000 + 300
        both = [step for moves in steps for step in moves]
        for axis in (1, 2):
            assert {step[axis] > 0 for step in both} == {True, False}, "both directions on each axis"
        # 16 sizes from each run: alike by chance with odds 11^-16, about 2e-17.
        sizes = [[(abs(dx), abs(dy)) for _, dx, dy in moves] for moves in steps]
        assert sizes[0] != sizes[1], "two runs step by the same sizes"


def test_a_restarted_x_server_is_picked_up():
    # A display number above those the other tests' servers take (the lowest
    # free ones): none of them takes it while this one is down.
    with XServer(display=600 + os.getpid() % 300) as xserver:
        run = Run([JIGGLE], xserver.env)
        time.sleep(0.5)
        xserver.stop(subprocess.Popen.kill)  # no goodbye to its clients
        time.sleep(PERIOD + 0.5)  # between the refused cycle and the next
        xserver.start()  # same display, pointer back in the middle
        centre = xserver.pointer()
        time.sleep(PERIOD + 0.5)
        assert xserver.pointer() != centre, "no motion after the restart"
        out, status, _ = run.stop()
    assert status == 0
    assert out.startswith(report(1)) and out.replace(report(1), b"") == FAREWELL, out


@pytest.mark.parametrize("setup", [
    "exec 1>&-",                   # output is lost, the run goes on
    "exec 1> >(true); sleep 0.2",  # a reader that has gone: EPIPE
])
def test_broken_stdout_neither_stops_nor_ends_the_run(xserver, setup):
    watch = PointerWatch(xserver)
    proc = subprocess.Popen(["bash", "-c", f'{setup}; exec "$0"', JIGGLE],
                            stdin=subprocess.PIPE, env=xserver.env)
    time.sleep(PERIOD + 1)
    if "&-" in setup:  # not the X connection, which takes the lowest free number
        assert os.readlink(f"/proc/{proc.pid}/fd/1") == "/dev/null"
    proc.communicate(b"\n", timeout=STOP_BOUND)
    assert proc.returncode == 0 and len(watch.stop()) == 2


def test_closed_stdin_is_end_of_input(xserver):
    # stdout a full pipe: the banner's flush holds the main thread before
    # its read, while the worker connects to X.
    stdout, stdout_w = os.pipe()
    os.set_blocking(stdout_w, False)
    filled = os.write(stdout_w, bytes(1 << 20))  # as much as the pipe takes
    os.set_blocking(stdout_w, True)
    proc = subprocess.Popen(["bash", "-c", 'exec 0<&-; exec "$0"', JIGGLE], stdout=stdout_w,
                            env=xserver.env)
    os.close(stdout_w)
    time.sleep(0.5)
    assert os.readlink(f"/proc/{proc.pid}/fd/0") == "/dev/null", "the X connection took fd 0"
    with os.fdopen(stdout, "rb") as out:
        assert out.read() == bytes(filled) + BANNER + FAREWELL
    assert proc.wait(timeout=STOP_BOUND) == 0


def test_a_mute_x_server_does_not_hold_the_stop():
    # Accepts the connection and never answers, like a frozen server.
    listener = socket.socket(socket.AF_UNIX)
    display = 900 + os.getpid() % 90
    listener.bind(f"\0/tmp/.X11-unix/X{display}")
    listener.listen()
    run = Run([JIGGLE], x11_env(display))
    time.sleep(3)
    out, status, elapsed = run.stop()
    listener.close()
    assert (run.banner, out, run.stderr, status) == (BANNER, FAREWELL, b"", 0)
    assert elapsed < STOP_BOUND


def test_motions_rest_behind_a_real_lock_screen_and_go_on_after_it():
    with mate_screensaver() as desktop:
        watch = PointerWatch(desktop.xserver)
        run = Run([JIGGLE], desktop.env)
        time.sleep(0.5)
        # Anyone on the bus may send the signal: only the screensaver's counts.
        subprocess.run(["gdbus", "emit", "--session", "-o", "/org/mate/ScreenSaver",
                        "-s", "org.mate.ScreenSaver.ActiveChanged", "true"], env=desktop.env, check=True, timeout=10)
        time.sleep(PERIOD)
        desktop.lock()
        locked = time.monotonic()
        time.sleep(3 * PERIOD)
        desktop.unlock()
        unlocked = time.monotonic()
        time.sleep(PERIOD + 0.5)
        out, status, _ = run.stop()
        moves = [moment for moment, *_ in watch.stop()]
    assert len([t for t in moves if t < locked]) >= 2, "a stranger's signal stopped the motions"
    assert not [t for t in moves if locked + 0.3 < t < unlocked], "the pointer moved behind the lock screen"
    assert [t for t in moves if unlocked < t < unlocked + PERIOD + 0.6], "no motion within a cycle of the unlock"
    assert watch.max_idle_ms > 3 * PERIOD * 1000, "something reset the idle time while locked"
    reports = out.removesuffix(FAREWELL)
    assert reports.count(report(11)) >= 3 and not reports.replace(report(11), b""), out
    assert run.stderr == b"jiggle: the screen is locked; jiggle goes on when you unlock it.\n"
    assert status == 0
