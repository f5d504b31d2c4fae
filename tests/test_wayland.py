"""The Linux build in Wayland sessions, without /dev/uinput: each compositor
through its own way in, watched by its own idle observer (idle after
IDLE_AFTER seconds without input). Each compositor fixture (conftest.py)
yields a session with `env`, the environment for jiggle there, and
`idle_log()`, the observer's events so far ("idle", "resume"); it is ready
once the observer has seen the session go idle. sway's also lists its input
devices (`inputs()`) and shows a client's window (`window()`)."""

import errno
import os
import re
import shutil
import socket
import struct
import threading
import time

import pytest
from conftest import BANNER, FAREWELL, IDLE_AFTER, PERIOD, STOP_BOUND, Run, report, session_env

JIGGLE = os.environ["JIGGLE"]
WLR_VIRTUAL_POINTER = "0:0:virtual_pointer"  # as sway lists it


@pytest.mark.parametrize("desktop", ["sway", "kwin", "mutter"])
def test_the_session_stays_awake_while_jiggle_runs(request, desktop):
    compositor = request.getfixturevalue(desktop)
    window = desktop == "sway" and compositor.window()
    run = Run([JIGGLE], compositor.env)
    time.sleep(5 * PERIOD)
    assert compositor.idle_log() == ["idle", "resume"], "never resumed, or idle while jiggle ran"
    if desktop == "sway":
        assert compositor.inputs().count(WLR_VIRTUAL_POINTER) == 1
        # The seat has a pointer from the first motion on (the window's enter);
        # each later one reaches the client as a whole frame.
        events = " ".join(window())
        assert re.fullmatch(r"enter frame( motion frame){3,}", events), \
            f"a motion without its frame? wev saw: {events}"
    out, status, elapsed = run.stop()
    assert (run.banner, out, run.stderr, status) == (BANNER, FAREWELL, b"", 0)
    assert elapsed < STOP_BOUND
    time.sleep(IDLE_AFTER - PERIOD + 1)  # the exit came a full pause after the last motion
    assert compositor.idle_log() == ["idle", "resume", "idle"], "not idle again after the stop"


def test_a_restarted_sway_is_picked_up(sway):
    run = Run([JIGGLE], sway.env)
    time.sleep(0.5)
    sway.restart()
    time.sleep(PERIOD)  # one cycle on the new compositor
    assert sway.inputs() == [WLR_VIRTUAL_POINTER]
    out, status, _ = run.stop()
    assert out.endswith(FAREWELL) and status == 0


def test_motions_after_mutter_or_its_bus_has_gone_are_reported(mutter):
    run = Run([JIGGLE], mutter.env)
    time.sleep(PERIOD / 2)
    assert mutter.idle_log() == ["idle", "resume"]
    for proc in reversed(mutter.procs):  # a cycle without mutter, one without the bus
        proc.kill()
        proc.wait()
        time.sleep(PERIOD)
    assert run.proc.poll() is None, "jiggle ended with the bus"
    out, status, elapsed = run.stop()
    # mutter's Wayland socket is gone with it: the first way's code.
    assert out.startswith(report(errno.ECONNREFUSED)) and out.endswith(FAREWELL), out
    assert out.count(b"Error sending to input") == 2, out
    assert run.stderr.startswith(b"jiggle: the pointer did not move.") and run.stderr.count(b"\n") == 1
    assert (status, elapsed < STOP_BOUND) == (0, True)


def refusing_compositor(listener):
    """Speaks just enough Wayland to offer the wlroots virtual pointer, then
    answers its first request with a protocol error, as a compositor does
    that will not take it."""
    def message(obj, opcode, *args):  # uint arguments, and strings as bytes
        body = b"".join(struct.pack("<I", a) if isinstance(a, int) else
                        struct.pack("<I", len(a) + 1) + a + b"\0" * (4 - len(a) % 4) for a in args)
        return struct.pack("<II", obj, (8 + len(body)) << 16 | opcode) + body

    while True:
        client, _ = listener.accept()
        with client:
            while header := client.recv(8):
                obj, size = struct.unpack("<II", header)
                new_id = int.from_bytes(client.recv((size >> 16) - 8)[:4], "little")
                if (obj, size & 0xFFFF) == (1, 1):  # wl_display.get_registry
                    client.sendall(message(new_id, 0, 1, b"zwlr_virtual_pointer_manager_v1", 2))
                elif (obj, size & 0xFFFF) == (1, 0):  # wl_display.sync: done, delete_id
                    client.sendall(message(new_id, 0, 0) + message(1, 1, new_id))
                else:
                    client.sendall(message(1, 0, obj, 0, b"refused"))
                    break


# Without /dev/uinput, every way is refused; the report carries the code of
# the first way that the session has: uinput's where KWin withholds its fake
# input, the connection's where the compositor is gone, mute or refusing.
REFUSALS = {
    "kwin without jiggle's .desktop file": (errno.ENOENT, b"KDE fake input: KWin (KDE Plasma) offers it only"),
    "dead socket": (errno.ECONNREFUSED, b"no compositor listens at WAYLAND_DISPLAY"),
    "mute socket": (errno.ETIMEDOUT, b"did not answer within half a second"),
    "refusing compositor": (errno.EPROTO, b"the compositor refused jiggle's requests"),
}


@pytest.mark.parametrize("session", REFUSALS)
def test_refused_motions_are_reported_each_cycle(request, tmp_path, session):
    (code, explained), jiggle, compositor = REFUSALS[session], JIGGLE, socket.socket(socket.AF_UNIX)
    if session.startswith("kwin"):
        env = request.getfixturevalue("kwin").env
        jiggle = shutil.copy(JIGGLE, tmp_path)  # a path that no .desktop file names
    else:
        compositor.bind(str(tmp_path / "wayland-9"))
        if session != "dead socket":
            compositor.listen()
        if session == "refusing compositor":
            threading.Thread(target=refusing_compositor, args=(compositor,), daemon=True).start()
        env = session_env(XDG_RUNTIME_DIR=str(tmp_path), WAYLAND_DISPLAY="wayland-9")
    run = Run([jiggle], env)
    time.sleep(2 * PERIOD + 0.5)
    out, status, elapsed = run.stop()
    reports = out.removesuffix(FAREWELL)
    assert reports + FAREWELL == out and reports.count(report(code)) * report(code) == reports
    assert len(reports) >= 2 * len(report(code)), out  # a mute compositor costs each cycle 0.5 s
    assert run.stderr.startswith(b"jiggle: ") and run.stderr.count(b"\n") == 1, run.stderr
    assert explained in run.stderr
    assert (status, elapsed < STOP_BOUND) == (0, True)
    compositor.close()
