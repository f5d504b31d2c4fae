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
import signal
import socket
import subprocess
import threading
import time

import pytest
from conftest import (BANNER, FAREWELL, IDLE_AFTER, NOBODY, PERIOD, STOP_BOUND, WORLDS, PointerWatch, Run, bus_call,
                      mutter_session, portal_session, report, session_env, stub_compositor, wait_for)

JIGGLE = os.environ["JIGGLE"]
WLR_VIRTUAL_POINTER = {"0:0:virtual_pointer", "0:0:wlr_virtual_pointer_v1"}  # as sway 1.7 and 1.10 list it
WLR_MANAGER = b"zwlr_virtual_pointer_manager_v1"


@pytest.mark.parametrize("desktop", ["sway", "kwin", "mutter"])
def test_the_session_stays_awake_while_jiggle_runs(request, desktop, world):
    compositor = request.getfixturevalue(desktop)
    window = desktop == "sway" and compositor.window()
    run = Run([JIGGLE], compositor.env)
    time.sleep(5 * PERIOD)
    idle_log, inputs, events = compositor.idle_log(), window and compositor.inputs(), window and " ".join(window())
    out, status, elapsed = run.stop()
    assert idle_log == ["idle", "resume"], f"never resumed, or idle while jiggle ran: {run.stderr}"
    if window:
        assert len(WLR_VIRTUAL_POINTER & set(inputs)) == len(inputs) == 1, inputs
        # The seat has a pointer from the first motion on (the window's enter);
        # each later one reaches the client as a whole frame.
        assert re.fullmatch(r"enter frame( motion frame){3,}", events), \
            f"a motion without its frame? wev saw: {events}"
    assert (run.banner, out, run.stderr, status) == (BANNER, FAREWELL, b"", 0)
    assert elapsed < STOP_BOUND
    time.sleep(IDLE_AFTER - PERIOD + 1)  # the exit came a full pause after the last motion
    assert compositor.idle_log() == ["idle", "resume", "idle"], "not idle again after the stop"


def test_a_restarted_sway_is_picked_up(sway):
    run = Run([JIGGLE], sway.env)
    time.sleep(0.5)
    sway.restart()
    time.sleep(PERIOD)  # one cycle on the new compositor
    assert len(WLR_VIRTUAL_POINTER & set(sway.inputs())) == len(sway.inputs()) == 1
    out, status, _ = run.stop()
    assert out.endswith(FAREWELL) and status == 0


# Without /dev/uinput, every way is refused; the report carries the code of
# the first way that the session has: uinput's where KWin withholds its fake
# input, the connection's where the compositor is gone, mute or refusing. KWin
# in the worlds that have it; a socket is the same in both.
REFUSALS = {
    "kwin without jiggle's .desktop file": (errno.ENOENT, b"KDE fake input: KWin (KDE Plasma) offers it only", WORLDS),
    "kwin 6 without an application menu": (errno.ENOENT, b"KWin 6 finds that file only through the application menu",
                                           WORLDS[1:]),
    "dead socket": (errno.ECONNREFUSED, b"no compositor listens at WAYLAND_DISPLAY", WORLDS[:1]),
    "mute socket": (errno.ETIMEDOUT, b"did not answer within half a second", WORLDS[:1]),
    "refusing compositor": (errno.EPROTO, b"the compositor refused jiggle's requests", WORLDS[:1]),
}


@pytest.mark.parametrize("session, world", [(session, world) for session, (*_, worlds) in REFUSALS.items()
                                            for world in worlds])
def test_refused_motions_are_reported_each_cycle(request, tmp_path, session, world):
    (code, explained, _), jiggle, compositor = REFUSALS[session], JIGGLE, socket.socket(socket.AF_UNIX)
    if session.startswith("kwin"):
        env = request.getfixturevalue("bare_kwin" if "menu" in session else "kwin").env
        if "desktop file" in session:
            jiggle = shutil.copy(JIGGLE, tmp_path)  # a path that no .desktop file names
    else:
        compositor.bind(str(tmp_path / "wayland-9"))
        if session != "dead socket":
            compositor.listen()
        if session == "refusing compositor":
            threading.Thread(target=stub_compositor, args=(compositor, [WLR_MANAGER]), daemon=True).start()
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


# What the person at the desk answers in the portal's dialog: the code of
# each motion reported after it, and the words on stderr.
PORTAL_ANSWERS = {
    "accept": (None, b""),
    "decline": (errno.ECANCELED, b"you declined jiggle's request"),
    "never": (errno.EINPROGRESS, b"the desktop is asking in a dialog"),
    "close": (errno.ESHUTDOWN, b"the desktop closed jiggle's remote desktop session"),
    "nopointer": (errno.ECANCELED, b"allowed it without the pointer"),
    "fail": (errno.EPROTO, b"the desktop portal failed jiggle's remote desktop request"),
}


@pytest.mark.parametrize("answer", PORTAL_ANSWERS)
def test_the_portal_asks_once_a_run_and_its_answer_holds(answer, world):
    code, explained = PORTAL_ANSWERS[answer]
    with portal_session(answer, world) as desktop:
        watch = PointerWatch(desktop.xserver)
        run = Run([JIGGLE], desktop.env)
        time.sleep(4 * PERIOD + 1)  # five cycles
        out, status, elapsed = run.stop()
        moves, max_idle_ms = watch.stop(), watch.max_idle_ms
        calls = desktop.calls()
    assert calls[:3] == ["CreateSession", "SelectDevices 2", "Start"] and calls.count("Start") == 1, calls
    # Each motion the portal took moved the pointer by just that much.
    motions = [tuple(int(float(v)) for v in c.split()[1:]) for c in calls if c.startswith("NotifyPointerMotion")]
    assert [(dx, dy) for _, dx, dy in moves] == motions
    reports = out.removesuffix(FAREWELL)
    if code is None:
        assert (reports, run.stderr, len(motions) >= 4, max_idle_ms < 1000 * (PERIOD + 1)) == (b"", b"", True, True)
    else:
        refused = reports.count(report(code))
        assert reports == report(code) * refused and refused + len(motions) >= 4, out
        # The session closes 3 s after the consent: two motions before.
        assert len(motions) == (2 if answer == "close" else 0), motions
        assert run.stderr.startswith(b"jiggle: ") and run.stderr.count(b"\n") == 1, run.stderr
        assert explained in run.stderr
    assert (status, elapsed < STOP_BOUND) == (0, True)


def bus_names_of(pid, env):
    call = lambda method, *args: bus_call(env, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          f"org.freedesktop.DBus.{method}", *args)
    return [name for name in re.findall(r"'(:[\d.]+)'", call("ListNames"))
            if f"uint32 {pid}," in call("GetConnectionUnixProcessID", name)]


def test_only_the_portal_s_own_answers_count():
    with portal_session("never") as desktop:
        run = Run([JIGGLE], desktop.env)
        wait_for(lambda: "Start" in desktop.calls(), 5, "no dialog asked for")
        # Another program on the bus sends jiggle a decline and a close, on the
        # paths of its requests and session.
        for name in bus_names_of(run.proc.pid, desktop.env):
            base = "/org/freedesktop/portal/desktop/%s/" + name[1:].replace(".", "_") + "/jiggle%d"
            forged = [(base % ("request", i), "Request.Response", "uint32 1", "@a{sv} {}") for i in (1, 2, 3)]
            for path, member, *args in forged + [(base % ("session", 1), "Session.Closed", "@a{sv} {}")]:
                subprocess.run(["gdbus", "emit", "--session", "--dest", name, "-o", path,
                                "-s", f"org.freedesktop.portal.{member}", *args], env=desktop.env, check=True, timeout=5)
        time.sleep(PERIOD + 0.5)
        out, status, _ = run.stop()
    codes = set(re.findall(rb"Error code: (\d+)", out))
    assert (codes, status) == ({str(errno.EINPROGRESS).encode()}, 0), out


def test_a_portal_response_before_its_late_reply_is_taken():
    with portal_session("late") as desktop:
        run = Run([JIGGLE], desktop.env)
        wait_for(lambda: "NotifyPointerMotion" in " ".join(desktop.calls()), 4 * PERIOD, "the portal's answers were lost")
        assert (desktop.calls().count("CreateSession"), run.stop()[1]) == (1, 0), "asked again, or no clean exit"


def test_a_bus_that_stops_answering_costs_a_cycle_half_a_second():
    with portal_session("accept") as desktop:
        run = Run([JIGGLE], desktop.env)
        wait_for(lambda: "NotifyPointerMotion" in " ".join(desktop.calls()), 5, "no motion through the portal")
        desktop.bus.send_signal(signal.SIGSTOP)
        try:
            time.sleep(2 * PERIOD + 0.5)
            out, status, elapsed = run.stop()
        finally:
            desktop.bus.send_signal(signal.SIGCONT)
    # The cycle under way at the stop reports after the farewell.
    reports = out.replace(FAREWELL, b"", 1)
    assert reports.count(report(errno.ETIMEDOUT)) >= 2 and not reports.replace(report(errno.ETIMEDOUT), b""), out
    assert (status, elapsed < STOP_BOUND) == (0, True)


def test_a_portal_gone_with_its_dialog_open_is_asked_again():
    with portal_session("never") as desktop:
        run = Run([JIGGLE], desktop.env)
        wait_for(lambda: "Start" in desktop.calls(), 5, "no dialog asked for")
        time.sleep(PERIOD)
        desktop.restart_portal()
        wait_for(lambda: desktop.calls().count("Start") == 2, 3 * PERIOD, "the new portal was never asked")
        out, status, _ = run.stop()
    # Reported as asking, as gone once, then as asking the new portal.
    codes = [int(line.split(b": ")[1]) for line in out.splitlines() if b"Error code" in line]
    assert codes[0] == codes[-1] == errno.EINPROGRESS and codes.count(errno.ECONNRESET) == 1, codes
    assert status == 0


@pytest.mark.parametrize("locked_for", [3 * PERIOD, 0.8])  # the latter between two motions
def test_a_portal_session_closed_by_the_lock_is_asked_for_again_after_it(world, locked_for):
    with portal_session("accept", world) as desktop:
        run = Run([JIGGLE], desktop.env)
        wait_for(lambda: " ".join(desktop.calls()).count("NotifyPointerMotion") == 2, 5, "no motion through the portal")
        assert desktop.screensaver("org.freedesktop.ScreenSaver.Lock") == "()", "the desktop did not lock"
        time.sleep(locked_for)
        assert desktop.screensaver("org.freedesktop.ScreenSaver.SetActive", "false") == "()"
        time.sleep(PERIOD + 0.5)
        out, status, _ = run.stop()
        calls = desktop.calls()
        unlocked = calls.index("SetActive False")
        calls = [call if call.startswith("Start") else call.split()[0] for call in calls]
    locked = calls[calls.index("Lock"):unlocked]
    assert not {"NotifyPointerMotion", "Start", "Start restored"} & set(locked), calls
    # Debian 12's portal cannot restore a consent (RemoteDesktop 1): one new
    # dialog. Debian 13's can: none.
    again = "Start" if world == "debian12" else "Start restored"
    assert [c for c in calls if c.startswith("Start")] == ["Start", again], calls
    assert calls[-1] == "NotifyPointerMotion", calls
    codes = re.findall(rb"Error code: (\d+)", out)
    assert set(codes) == ({str(errno.EAGAIN).encode()} if locked_for > PERIOD else set()), codes
    assert run.stderr == (b"jiggle: the screen is locked; jiggle goes on when you unlock it.\n" if codes else b"")
    assert status == 0


# GNOME 48's dialog, as a person answers it: its "Allow Remote Interaction"
# switch (off at first), then Share, which stays grey a moment after; or Cancel.
DIALOG_KEYS = {"share": ["alt+i", "alt+s"], "cancel": ["alt+c"]}
DIALOG = "global.get_window_actors().some(a => a.meta_window.get_title() == 'Remote Desktop' && a.meta_window.has_focus())"


@pytest.mark.parametrize("world", WORLDS[1:])  # Debian 12's GNOME Shell 43 has no keys for it
@pytest.mark.parametrize("answer", DIALOG_KEYS)
def test_gnome_s_portal_dialog_asks_once_and_its_answer_holds(answer, world):
    with mutter_session(world, nested=True, portal=True) as shell:
        jiggle = shutil.copy(JIGGLE, shell.home)  # where that user may run it
        run = Run(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups", jiggle], shell.env)
        wait_for(lambda: shell.eval(DIALOG) == "true", 10, "GNOME's portal showed no dialog")
        shell.xserver.ask("xdotool", "key", "--delay", "200", *DIALOG_KEYS[answer])
        wait_for(lambda: shell.eval(DIALOG) == "false", 5, "the dialog stayed open")
        time.sleep(2 * PERIOD + 0.5)
        shown, idle = shell.eval(DIALOG), shell.idle_seconds()
        out, status, _ = run.stop()
    codes = [int(code) for code in re.findall(rb"Error code: (\d+)", out)]
    if answer == "share":  # refused by mutter's own interface until then
        assert set(codes) <= {errno.EACCES} and idle < PERIOD + 0.5, (codes, idle)
    else:
        assert codes[-2:] == [errno.ECANCELED] * 2 and idle > 2 * PERIOD, (codes, idle)
        assert b"you declined jiggle's request" in run.stderr
    assert (shown, status) == ("false", 0), "asked again"


# Sessions that GNOME Shell's screen sharing indicator lists, and its Stop.
SHARED = "Main.panel.statusArea.screenSharing._handles.size"
STOP_SHARING = "Main.panel.statusArea.screenSharing._stopSharing()"


def test_a_stop_from_gnome_s_top_bar_holds_for_the_run(gnome_shell):
    run = Run([JIGGLE], gnome_shell.env)
    portal = CallClock(gnome_shell.env, "destination='org.freedesktop.portal.Desktop'")
    wait_for(lambda: gnome_shell.eval(SHARED) == "1", 5, "the indicator never listed jiggle's session")
    gnome_shell.eval(STOP_SHARING)
    time.sleep(2 * PERIOD + 1)  # two more motions: idle since the Stop
    assert (gnome_shell.eval(SHARED), gnome_shell.idle_log()) == ("0", ["idle", "resume", "idle"]), \
        "a new session after the person's Stop"
    out, status, elapsed = run.stop()
    portal.proc.kill()
    assert not portal.times, "the motion that met the Stop went on to ask the desktop portal"
    stops = out.removesuffix(FAREWELL).count(report(errno.ESHUTDOWN))
    assert out == report(errno.ESHUTDOWN) * stops + FAREWELL and stops >= 2, out
    assert b"stopped from GNOME's top bar" in run.stderr and run.stderr.count(b"\n") == 1, run.stderr
    assert (status, elapsed < STOP_BOUND) == (0, True)


def test_a_restarted_gnome_shell_is_picked_up(gnome_shell):
    run = Run([JIGGLE], gnome_shell.env)
    wait_for(lambda: gnome_shell.eval(SHARED) == "1", 5, "the indicator never listed jiggle's session")
    gnome_shell.restart()
    wait_for(lambda: gnome_shell.eval(SHARED) == "1", 30, "no session in the restarted shell")
    out, status, _ = run.stop()
    assert report(errno.ESHUTDOWN) not in out and out.endswith(FAREWELL) and status == 0, out


class CallClock:
    """Notes when jiggle's calls (by default its motions through mutter) pass
    on the bus, from a monitor of it."""

    def __init__(self, env, calls="member='NotifyPointerMotionRelative'"):
        self.times = []
        self.proc = subprocess.Popen(["dbus-monitor", "--session", f"type='method_call',{calls}"],
                                     env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.proc.stdout:
            if line.startswith("method call"):
                self.times.append(time.monotonic())

    def next_motion(self):
        """The first motion due at least half a second from now."""
        last = wait_for(lambda: self.times[-1:], 2 * PERIOD, "no motion reached mutter")[0]
        return last + PERIOD * (1 + int((time.monotonic() + 0.5 - last) / PERIOD))


def test_a_lock_rests_jiggle_and_the_unlock_resumes_it(nested_gnome_shell):
    shell, codes = nested_gnome_shell, lambda out: re.findall(rb"Error code: (\d+)", out)
    run = Run([JIGGLE], shell.env)
    clock = CallClock(shell.env)
    try:
        wait_for(lambda: shell.eval(SHARED) == "1", 5, "the indicator never listed jiggle's session")
        # The shell closes the session at once and says it is locked some 0.35 s
        # later: lock so that jiggle's next motion falls in between.
        time.sleep(clock.next_motion() - 0.2 - time.monotonic())
        locking = time.monotonic()
        assert shell.screensaver("Lock") == "()", "the shell did not lock"
        # GNOME Shell 43 answers Lock once the lock screen is shown; 48 at once.
        wait_for(lambda: shell.screensaver("GetActive") == "(true,)", 2, "the shell never said it is locked")
        locked = time.monotonic()
        assert len([t for t in clock.times if locking < t < locked]) == 1, "no motion met the closed session"
        time.sleep(3 * PERIOD)
        assert shell.idle_seconds() > 3 * PERIOD, "a motion reached mutter behind the lock screen"
        assert not [t for t in clock.times if t > locked], "a motion was sent behind the lock screen"
        assert shell.screensaver("SetActive", "false") == "()"
        time.sleep(PERIOD + 0.5)
        assert (shell.eval(SHARED), shell.idle_seconds() < PERIOD + 0.5) == ("1", True), \
            "no new session, or no motion, within a cycle of the unlock"
        shell.eval(STOP_SHARING)  # the person's word stays final
        time.sleep(2 * PERIOD + 1)
        assert shell.eval(SHARED) == "0", "a new session after the person's Stop"
        out, status, _ = run.stop()
    finally:
        clock.proc.kill()
    locked, stopped = str(errno.EAGAIN).encode(), str(errno.ESHUTDOWN).encode()
    assert re.fullmatch(rb"(%s)+(%s){2,}" % (locked, stopped), b"".join(codes(out))), codes(out)
    assert run.stderr.split(b"\n")[0] == b"jiggle: the screen is locked; jiggle goes on when you unlock it."
    assert b"stopped from GNOME's top bar" in run.stderr and run.stderr.count(b"\n") == 2, run.stderr
    assert status == 0
