"""The Linux build in Wayland sessions, without /dev/uinput: each compositor
through its own way in, watched by its own idle observer (idle after
IDLE_AFTER seconds without input). Each compositor fixture (conftest.py)
yields an object with `env`, the session's environment for jiggle, and
`idle_log()`, the observer's events so far ("idle", "resume"); it returns
once the observer has seen the session go idle."""

import errno
import os
import time

import pytest
from conftest import BANNER, FAREWELL, IDLE_AFTER, PERIOD, STOP_BOUND, Run, report

JIGGLE = os.environ["JIGGLE"]
DESKTOPS = os.environ.get("JIGGLE_DESKTOPS", "sway kwin mutter").split()


@pytest.mark.parametrize("desktop", DESKTOPS)
def test_the_session_stays_awake_while_jiggle_runs(request, desktop):
    compositor = request.getfixturevalue(desktop)
    assert compositor.idle_log() == ["idle"]
    run = Run([JIGGLE], compositor.env)
    time.sleep(5 * PERIOD)
    assert compositor.idle_log() == ["idle", "resume"], "never resumed, or idle while jiggle ran"
    out, status, elapsed = run.stop()
    assert (run.banner, out, run.stderr, status) == (BANNER, FAREWELL, b"", 0)
    assert elapsed < STOP_BOUND
    time.sleep(IDLE_AFTER - PERIOD + 1)  # the exit came a full pause after the last motion
    assert compositor.idle_log() == ["idle", "resume", "idle"], "not idle again after the stop"


@pytest.mark.skipif("mutter" not in DESKTOPS, reason="mutter is not in JIGGLE_DESKTOPS")
def test_motions_after_mutter_or_its_bus_has_gone_are_reported(mutter):
    run = Run([JIGGLE], mutter.env)
    time.sleep(PERIOD / 2)
    assert mutter.idle_log() == ["idle", "resume"]
    for name in ("mutter", "bus"):  # a cycle without each
        mutter.processes[name].kill()
        mutter.processes[name].wait()
        time.sleep(PERIOD)
    assert run.proc.poll() is None, "jiggle ended with the bus"
    out, status, elapsed = run.stop()
    assert out.startswith(report(errno.ECONNRESET)) and out.endswith(FAREWELL), out
    assert out.count(b"Error sending to input") == 2, out
    assert run.stderr.startswith(b"jiggle: the pointer did not move.") and run.stderr.count(b"\n") == 1
    assert (status, elapsed < STOP_BOUND) == (0, True)
