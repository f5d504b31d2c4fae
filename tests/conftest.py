"""What the end-to-end tests share: the program's console texts, private X
servers, and runs of a real executable whose stdin the test holds."""

import contextlib
import glob
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import types

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
    the last client leaves; start() again reuses the display number. Without
    a `display`, the lowest free one."""

    def __init__(self, display=None):
        self.display = display
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


NOBODY = 65534  # sway refuses to run as root


def bus_call(env, destination, path, method, *args, bus="--session"):
    """gdbus's answer to a method call, as text: '' where the call failed,
    or took over 10 s."""
    try:
        return subprocess.run(["gdbus", "call", bus, "-d", destination, "-o", path, "-m", method, *args],
                              env=env, capture_output=True, text=True, timeout=10).stdout.strip()
    except subprocess.TimeoutExpired:
        return ""


def has_owner(env, name, bus="--session"):
    return bus_call(env, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                    name, bus=bus) == "(true,)"


def wait_for(condition, seconds, message):
    deadline = time.monotonic() + seconds
    while not (found := condition()):
        assert time.monotonic() < deadline, message
        time.sleep(0.05)
    return found


def listening(path):
    with socket.socket(socket.AF_UNIX) as probe:
        return probe.connect_ex(path) == 0


def stop_all(procs):
    for proc in reversed(procs):
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()  # hung: the test fails on its own account, not here
            proc.wait()


def session_env(**variables):
    """This environment without its desktop session's variables, plus these."""
    gone = ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")
    return dict({k: v for k, v in os.environ.items() if k not in gone}, **variables)


class Wayland:
    """A headless compositor of `world` whose runtime directory is `home`, and
    that world's swayidle writing "idle" and "resume" in a log as it sees the
    session. Their output goes to the test's."""

    def __init__(self, home, world, command, seen=(), **env):
        self.home, self.world, self.command, self.seen, self.procs = home, world, command, seen, []
        self.compositor_env = session_env(XDG_RUNTIME_DIR=home, **env)
        self.log = os.path.join(home, "idle.log")

    def __enter__(self):
        try:
            self.start()
            self.env = session_env(XDG_RUNTIME_DIR=self.home, WAYLAND_DISPLAY=os.path.basename(self.socket))
            with open(self.log, "w") as log:
                self.procs.append(subprocess.Popen(in_world(self.world, self.home, [
                    "swayidle", "-w", "timeout", str(IDLE_AFTER), "echo idle", "resume", "echo resume"]),
                    env=self.env, stdout=log, stderr=subprocess.DEVNULL))
            wait_for(lambda: self.idle_log() == ["idle"], IDLE_AFTER + 10, "swayidle saw no idle session")
        except BaseException:
            self.__exit__()
            raise
        return self

    def start(self):
        self.proc = subprocess.Popen(in_world(self.world, self.home, self.command, self.seen), env=self.compositor_env)
        self.procs.append(self.proc)
        sockets = lambda: [p for p in glob.glob(f"{self.home}/wayland-*") if not p.endswith(".lock") and listening(p)]
        self.socket = wait_for(sockets, 20, f"{self.command} did not start")[0]

    def restart(self):
        """Kills the compositor, without a goodbye to its clients, and starts
        it again on the same socket."""
        self.proc.kill()
        self.proc.wait()
        gone = self.socket
        self.start()
        assert self.socket == gone, "the compositor came back on another socket"

    def idle_log(self):
        with open(self.log) as log:
            return log.read().split()

    def __exit__(self, *exc):
        stop_all(self.procs)


@contextlib.contextmanager
def sway_session(world):
    with tempfile.TemporaryDirectory() as home:
        config = os.path.join(home, "config")
        with open(config, "w") as file:
            file.write("xwayland disable\n")
        os.chown(home, NOBODY, NOBODY)
        as_nobody = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
        with Wayland(home, world, [*as_nobody, "sway", "-c", config], WLR_BACKENDS="headless",
                     WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman") as session:
            def inputs():
                ipc = f"{home}/sway-ipc.{NOBODY}.{session.proc.pid}.sock"
                out = subprocess.run(["swaymsg", "-s", ipc, "-t", "get_inputs"], check=True,
                                     capture_output=True, timeout=10).stdout
                return [device["identifier"] for device in json.loads(out)]
            def window():
                """Shows wev, which sway tiles over the whole workspace, so under
                the pointer. Returns a reader of its pointer events' names."""
                log = os.path.join(home, "wev.log")
                with open(log, "w") as file:  # stdbuf: wev's printf would keep it
                    session.procs.append(subprocess.Popen(in_world(world, home, ["stdbuf", "-oL", "wev"]), env=session.env,
                                                          stdout=file, stderr=subprocess.DEVNULL))
                def read():
                    with open(log) as file:
                        return file.read()
                wait_for(lambda: "activated" in read(), 10,
                         "wev's window was never shown (run scripts/install-deps --test)")
                return lambda: re.findall(r"wl_pointer\] (\w+)", read())
            session.inputs, session.window = inputs, window
            yield session


# The .desktop file the packages install for KWin's sake.
KWIN_DESKTOP_FILE = os.path.join(os.path.dirname(__file__), "..", "packaging", "kde", "jiggle.desktop.in")


@contextlib.contextmanager
def kwin_session(world, *programs, menu="plasma-"):
    """jiggle's .desktop file, naming each program, is in KWin's XDG_DATA_HOME,
    and KWin sees each program where it is. KWin 6 finds the file through
    the application menu of XDG_MENU_PREFIX `menu`, as a Plasma session sets
    it (None: unset), and jiggle looks for the menu where KWin does. A copy
    of kwin_wayland runs where Debian's cannot, as its file capability is
    out of reach (a container's bounding set)."""
    with tempfile.TemporaryDirectory() as home:
        applications = os.path.join(home, "data", "applications")
        os.makedirs(applications)
        with open(KWIN_DESKTOP_FILE) as template:
            desktop_file = template.read()
        for i, program in enumerate(programs):
            with open(os.path.join(applications, f"jiggle{i}.desktop"), "w") as file:
                file.write(desktop_file.replace("@JIGGLE_EXEC@", os.path.realpath(program)))
        kwin = shutil.copy(in_root(world, "/usr/bin/kwin_wayland"), home)
        menu = {"XDG_MENU_PREFIX": menu} if menu else {}
        with Wayland(home, world, [kwin, "--virtual", "--no-lockscreen", "--no-global-shortcuts",
                                   "--socket", "wayland-kwin"], {os.path.dirname(os.path.realpath(p)) for p in programs},
                     HOME=home, XDG_DATA_HOME=os.path.join(home, "data"), **menu) as session:
            session.env.update(HOME=home, XDG_CONFIG_DIRS=in_root(world, "/etc/xdg"), **menu)
            yield session


# GNOME Shell makes its lock screen only where a display manager that
# knows how to lock answers on the system bus (LoginManager.canLock).
STAND_IN_GDM = """
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
class Manager(dbus.service.Object):
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.String("43.0", variant_level=1)
    @dbus.service.method("org.gnome.DisplayManager.Manager", in_signature="a{sv}")
    def RegisterSession(self, details):
        pass
Manager(dbus.SystemBus(), "/org/gnome/DisplayManager/Manager")
name = dbus.service.BusName("org.gnome.DisplayManager", dbus.SystemBus())
GLib.MainLoop().run()
"""


class Mutter:
    """A headless mutter on a private session bus, in the runtime directory
    `home`, or GNOME Shell with it (`shell`), on a private system bus too.
    `nested`: the shell as a person sits at it, in a window on a private
    Xvfb, with a lock screen. `portal`: with the desktop portal and GNOME's
    backend, whose dialog a program run as `nobody` must go through, as it
    may not call mutter's own interface. Its IdleMonitor's idle time is
    polled in a thread, and kept as "idle" and "resume" where it crosses
    IDLE_AFTER."""

    def __init__(self, home, world, shell=False, nested=False, portal=False):
        shell = shell or nested
        # The buses start no service: one started for the shell (the
        # accessibility bus, dconf) would outlive the test, and hang the next
        # shell that finds its sockets.
        self.home, self.world, bus = home, world, f"unix:path={home}/bus"
        self.compositor_env = session_env(XDG_RUNTIME_DIR=home, DBUS_SESSION_BUS_ADDRESS=bus, HOME=home,
                                          GSETTINGS_BACKEND="memory", NO_AT_BRIDGE="1")
        self.env = dict(self.compositor_env, WAYLAND_DISPLAY="wayland-jiggle")
        self.procs, self.events, self.done, self.portal = [], [], threading.Event(), portal
        if portal:
            os.chmod(home, 0o755)
        self.command = ["gnome-shell", "--unsafe-mode"] if shell else ["mutter"]
        self.command += ["--wayland", "--no-x11", "--wayland-display", "wayland-jiggle"]
        self.command += ["--nested"] if nested else ["--headless", "--virtual-monitor", "1024x768"]
        if shell:  # the shell asks logind and UPower there; a bus with neither will do
            os.mkdir(os.path.join(home, "system"))
            self.procs.append(private_bus(os.path.join(home, "system"))[0])
            self.compositor_env["DBUS_SYSTEM_BUS_ADDRESS"] = f"unix:path={home}/system/bus"

    def __enter__(self):
        try:
            closed = "<policy user='nobody'><deny send_destination='org.gnome.Mutter.RemoteDesktop'/></policy>"
            self.procs.append(private_bus(self.home, self.portal, closed if self.portal else "")[0])
            if "--nested" in self.command:
                self.start_display()
            self.start()
            threading.Thread(target=self.watch, daemon=True).start()
            wait_for(lambda: self.idle_log()[-1:] == ["idle"], IDLE_AFTER + 15, "mutter never went idle")
            self.events[:] = ["idle"]  # a slow start may have had the shell reset the idle time
            if "--nested" in self.command:
                assert self.eval("Main.screenShield !== null") == "true", \
                    "GNOME Shell has no lock screen (no /run/systemd/seats, or no display manager on its bus)"
                self.eval("Main.overview.hide()")  # it starts in the overview, where no window has the keys
            if self.portal:
                self.start_portal()
        except BaseException:
            self.__exit__()
            raise
        return self

    def start_display(self):
        """The X server that the shell's window is on, and the display manager."""
        self.xserver = XServer()
        self.procs.append(self.xserver.proc)
        self.compositor_env["DISPLAY"] = self.xserver.env["DISPLAY"]
        self.procs.append(subprocess.Popen(["/usr/bin/python3", "-c", STAND_IN_GDM], env=self.compositor_env))
        wait_for(lambda: has_owner(self.compositor_env, "org.gnome.DisplayManager", bus="--system"),
                 10, "the stand-in display manager did not start")

    def start_portal(self):
        env = dict(self.env, XDG_CURRENT_DESKTOP="GNOME", XDG_SESSION_TYPE="wayland", GTK_A11Y="none")
        for program, name in [("xdg-permission-store", "org.freedesktop.impl.portal.PermissionStore"),
                              ("xdg-desktop-portal-gnome", "org.freedesktop.impl.portal.desktop.gnome"),
                              ("xdg-desktop-portal", "org.freedesktop.portal.Desktop")]:
            start_service(self.procs, self.world, self.home, program, name, env)

    def start(self):
        self.compositor = subprocess.Popen(in_world(self.world, self.home, self.command), env=self.compositor_env,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(self.compositor)

    def restart(self):
        """Kills the compositor and starts it again on the same buses."""
        self.compositor.kill()
        self.compositor.wait()
        self.procs.remove(self.compositor)
        self.start()

    def eval(self, script):
        """What GNOME Shell's Eval makes of `script`, as JSON text ('' while
        the shell is not there or not yet answering)."""
        answer = bus_call(self.env, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Eval", script)
        return answer.removeprefix("(true, '").removesuffix("')")

    def screensaver(self, method, *args):
        """Calls GNOME Shell's own screensaver service, as `loginctl lock-session` or Super+L do."""
        return bus_call(self.env, "org.gnome.Shell.ScreenShield", "/org/gnome/ScreenSaver",
                        f"org.gnome.ScreenSaver.{method}", *args)

    def idle_seconds(self):
        answer = bus_call(self.env, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                          "org.gnome.Mutter.IdleMonitor.GetIdletime")
        return int(answer.split()[1].rstrip(",)")) / 1000 if answer else None  # "(uint64 1234,)"

    def watch(self):
        while not self.done.wait(0.2):
            try:
                idle = self.idle_seconds()
            except subprocess.SubprocessError:
                continue  # mutter is away or busy
            if idle is not None and (idle >= IDLE_AFTER) != (self.events[-1:] == ["idle"]):
                self.events.append("idle" if idle >= IDLE_AFTER else "resume")

    def idle_log(self):
        return list(self.events)

    def __exit__(self, *exc):
        self.done.set()
        stop_all(self.procs)


@contextlib.contextmanager
def mutter_session(world, shell=False, nested=False, portal=False):
    with tempfile.TemporaryDirectory() as home, Mutter(home, world, shell, nested, portal) as session:
        yield session


def stub_compositor(listener, offered):
    """Speaks just enough Wayland to offer the globals named in `offered`
    (bytes), and answers any request on them with a protocol error, as a
    compositor does that will not take it. Offering none, it stands for a
    desktop with no silent way in."""
    def message(obj, opcode, *args):  # uint arguments, and strings as bytes
        body = b"".join(struct.pack("<I", a) if isinstance(a, int) else
                        struct.pack("<I", len(a) + 1) + a + b"\0" * (4 - len(a) % 4) for a in args)
        return struct.pack("<II", obj, (8 + len(body)) << 16 | opcode) + body

    def serve(client):
        with client:
            while header := client.recv(8):
                obj, size = struct.unpack("<II", header)
                new_id = int.from_bytes(client.recv((size >> 16) - 8)[:4], "little")
                if (obj, size & 0xFFFF) == (1, 1):  # wl_display.get_registry
                    client.sendall(b"".join(message(new_id, 0, i + 1, name, 2) for i, name in enumerate(offered)))
                elif (obj, size & 0xFFFF) == (1, 0):  # wl_display.sync: done, delete_id
                    client.sendall(message(new_id, 0, 0) + message(1, 1, new_id))
                else:
                    client.sendall(message(1, 0, obj, 0, b"refused"))
                    break

    while True:  # each client in its own thread, as several jiggles may share it
        threading.Thread(target=serve, args=(listener.accept()[0],), daemon=True).start()


def private_bus(home, everyone=False, policy=""):
    """A session bus of its own in `home`, that starts no service and lets in
    its own user, or `everyone`, with a further `policy`: (its process, its
    address)."""
    address = f"unix:path={home}/bus"
    config = os.path.join(home, "bus.conf")
    with open(config, "w") as file:
        file.write(f"<busconfig><type>session</type><listen>{address}</listen><auth>EXTERNAL</auth>"
                   "<policy context='default'>" + ("<allow user='*'/>" if everyone else "") +
                   "<allow send_destination='*' eavesdrop='true'/>"
                   "<allow eavesdrop='true'/><allow own='*'/></policy>" + policy + "</busconfig>")
    proc = subprocess.Popen(["dbus-daemon", "--nofork", "--print-address", "--config-file", config],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    assert proc.stdout.readline(), "dbus-daemon did not start"
    return proc, address


PORTAL_BACKEND = os.path.join(os.path.dirname(__file__), "portal_backend.py")
# Debian 13's desktop programs, made by scripts/build-debian13-root.
DEBIAN13_ROOT = os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "jiggle", "debian13")
WORLDS = ["debian12", "debian13"]


def start_service(procs, world, home, program, name, env):
    """Starts `world`'s /usr/libexec/`program`, replacing any, into `procs`,
    and waits until it owns `name` on the session bus of `env`."""
    procs.append(subprocess.Popen(in_world(world, home, [f"/usr/libexec/{program}", "--replace"]), env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    wait_for(lambda: has_owner(env, name), 20, f"{program} did not start")


def in_root(world, path):
    """Where `world` has `path`, seen from here."""
    return path if world == "debian12" else DEBIAN13_ROOT + path


def in_world(world, home, command, seen=()):
    """`command` as `world` has it: Debian 13's runs chrooted in its root, in
    a mount namespace of its own (gone with it) with /dev, a /proc, `home`
    and the directories `seen` at their own paths, and a /run that tells
    GNOME Shell it is on a seat."""
    if world == "debian12":
        return command
    assert os.path.exists(os.path.join(DEBIAN13_ROOT, "jiggle-packages")), \
        "no Debian 13 root (run scripts/install-deps --test)"
    script = ('mount -t tmpfs tmpfs "$0/tmp" && for dir in $1; do mkdir -p "$0$dir" && mount --bind "$dir" "$0$dir"; '
              'done && mount --rbind /dev "$0/dev" && mount -t proc proc "$0/proc" && mount -t tmpfs tmpfs "$0/run" && '
              'mkdir -p "$0/run/systemd/seats" && shift && exec chroot "$0" "$@"')
    return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, DEBIAN13_ROOT,
            " ".join([home, *seen]), *command]


@contextlib.contextmanager
def portal_session(answer="accept", world="debian12"):
    """A Wayland desktop with no silent way in (a compositor that offers
    none), and the real xdg-desktop-portal of `world` on its session bus with
    the stand-in backend, whose Start gives `answer`. It forwards the motions
    to a private Xvfb; `xserver`, `calls()` (the backend's log, a list of
    lines), `restart_portal()`, `screensaver(method, *args)` (the desktop's
    lock, which the backend plays too), `bus` (its process) and `env`, for
    jiggle."""
    with tempfile.TemporaryDirectory() as home, XServer() as xserver, \
            socket.socket(socket.AF_UNIX) as compositor:
        compositor.bind(os.path.join(home, "wayland-9"))
        compositor.listen()
        threading.Thread(target=stub_compositor, args=(compositor, []), daemon=True).start()
        procs = []
        try:
            bus, address = private_bus(home)
            procs.append(bus)
            env = session_env(XDG_RUNTIME_DIR=home, DBUS_SESSION_BUS_ADDRESS=address,
                              DISPLAY=xserver.env["DISPLAY"], XDG_CURRENT_DESKTOP="jiggletest",
                              XDG_DESKTOP_PORTAL_DIR=home)
            name = "org.freedesktop.impl.portal.desktop.jiggletest"
            with open(os.path.join(home, "jiggletest.portal"), "w") as file:
                file.write(f"[portal]\nDBusName={name}\nInterfaces=org.freedesktop.impl.portal.RemoteDesktop;\n"
                           "UseIn=jiggletest\n")
            with open(os.path.join(home, "jiggletest-portals.conf"), "w") as file:  # 1.17 and later
                file.write("[preferred]\ndefault=jiggletest\n")
            log = os.path.join(home, "calls")
            procs.append(subprocess.Popen(["/usr/bin/python3", PORTAL_BACKEND, name, answer, log], env=env))
            owned = lambda name: has_owner(env, name)
            wait_for(lambda: owned(name), 10, "the stand-in portal backend did not start")

            def restart_portal():
                """Kills the frontend, if it runs, and starts another."""
                if procs[-1] is not bus and procs[-1].args[-2].endswith("xdg-desktop-portal"):
                    procs.pop().kill()
                    wait_for(lambda: not owned("org.freedesktop.portal.Desktop"), 10, "the portal stayed")
                start_service(procs, world, home, "xdg-desktop-portal", "org.freedesktop.portal.Desktop", env)

            if answer != "late":
                restart_portal()
            session = types.SimpleNamespace(
                xserver=xserver, env=session_env(XDG_RUNTIME_DIR=home, DBUS_SESSION_BUS_ADDRESS=address,
                                                 WAYLAND_DISPLAY="wayland-9"),
                calls=lambda: open(log).read().splitlines(), restart_portal=restart_portal, bus=bus,
                screensaver=lambda method, *args: bus_call(
                    env, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", method, *args))
            yield session
        finally:
            stop_all(procs)


@contextlib.contextmanager
def mate_screensaver():
    """An X11 desktop's real screen locker, MATE's, on a private Xvfb and
    session bus: `lock()`, `unlock()` and `active()`; `xserver`, and `env`
    for jiggle. It runs as nobody: as root its unlock dialog lets anyone
    in, and a key or a long pointer motion unlocks it."""
    with tempfile.TemporaryDirectory() as home, XServer() as xserver:
        os.chown(home, NOBODY, NOBODY)
        procs = []
        try:
            bus, address = private_bus(home, everyone=True)
            procs.append(bus)
            env = session_env(DISPLAY=xserver.env["DISPLAY"], DBUS_SESSION_BUS_ADDRESS=address, HOME=home,
                              XDG_RUNTIME_DIR=home, GSETTINGS_BACKEND="memory", NO_AT_BRIDGE="1")
            call = lambda method, *args: bus_call(env, "org.mate.ScreenSaver", "/org/mate/ScreenSaver",
                                                  f"org.mate.ScreenSaver.{method}", *args)
            procs.append(subprocess.Popen(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                                           "mate-screensaver", "--no-daemon"], env=env,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            wait_for(lambda: call("GetActive") == "(false,)", 15,
                     "mate-screensaver never came on the bus (run scripts/install-deps --test)")
            active = lambda: call("GetActive") == "(true,)"

            def lock():  # its Lock method never answers: the command does it right
                subprocess.run(["mate-screensaver-command", "--lock"], env=env, check=True, timeout=15)
                wait_for(active, 20, "mate-screensaver did not lock")

            def unlock():  # no password asked
                call("SetActive", "false")
                wait_for(lambda: not active(), 20, "mate-screensaver did not unlock")
            yield types.SimpleNamespace(xserver=xserver, env=env, active=active, lock=lock, unlock=unlock)
        finally:
            stop_all(procs)


# Each desktop as Debian 12 and Debian 13 have it.
@pytest.fixture(params=WORLDS)
def world(request):
    return request.param


def desktop(session, *args, **options):
    @pytest.fixture
    def in_each_world(world):
        with session(world, *args, **options) as desktop:
            yield desktop
    return in_each_world


sway = desktop(sway_session)
kwin = desktop(kwin_session, os.environ.get("JIGGLE"))
bare_kwin = desktop(kwin_session, os.environ.get("JIGGLE"), menu=None)  # KWin without Plasma's application menu
mutter = desktop(mutter_session)
gnome_shell = desktop(mutter_session, shell=True)
nested_gnome_shell = desktop(mutter_session, nested=True)
