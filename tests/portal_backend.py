#!/usr/bin/python3
"""A stand-in RemoteDesktop portal backend: the person at the desk, played
as the test asks, behind the real xdg-desktop-portal. Usage:

  portal_backend.py NAME ANSWER LOG

NAME is its bus name (the .portal file's DBusName), ANSWER what Start answers:
accept, decline, nopointer (allowed without the pointer), fail (the portal
fails the request), never (the dialog stays open), or close (accept, then the
desktop closes the session 3 s later). Each call is written to LOG as a line,
and each accepted motion goes on to the X server in DISPLAY, whose idle time
the test watches. It is also the desktop's screensaver, whose Lock closes
the session at once and says the screen is locked 0.35 s later, as GNOME
Shell does. ANSWER late makes it the portal itself (the frontend), which
accepts and answers each request before its reply, 0.8 s late and naming a
path of its own, not the one the handle_token makes: nothing in the portal's
API rules either out. Where the portal restores consents (RemoteDesktop 2), an
accepted Start that was asked to persist gives restore data, and a Start
that gets it back answers at once, without its dialog ("Start restored")."""
import subprocess
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

IMPL = "org.freedesktop.impl.portal.RemoteDesktop"
SCREENSAVER = "org.freedesktop.ScreenSaver"
POINTER = dbus.UInt32(2)
# Restore data is (suv): the backend's name, its data's version, the data.
CONSENT = ("jiggletest", 1, "pointer")


class Backend(dbus.service.Object):
    def __init__(self, bus, answer, log):
        super().__init__(bus, "/org/freedesktop/portal/desktop")
        self.bus, self.answer, self.log = bus, answer, log

    def note(self, *words):
        print(*words, file=self.log, flush=True)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"AvailableDeviceTypes": dbus.UInt32(7), "version": dbus.UInt32(1)}

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session, app_id, options):
        self.note("CreateSession")
        self.session = Session(self.bus, session)
        return 0, {}

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectDevices(self, handle, session, app_id, options):
        self.note("SelectDevices", int(options.get("types", 0)))
        self.session.persist_mode = int(options.get("persist_mode", 0))
        self.session.restored = tuple(options.get("restore_data", ())) == CONSENT
        return 0, {}

    @dbus.service.method(IMPL, in_signature="oossa{sv}", out_signature="ua{sv}",
                         async_callbacks=("answered", "failed"))
    def Start(self, handle, session, app_id, parent_window, options, answered, failed):
        consent = {"devices": POINTER}
        if self.session.persist_mode:  # variant_level: else dbus-python sends (sus)
            vendor, version, data = CONSENT
            consent.update(persist_mode=dbus.UInt32(self.session.persist_mode), restore_data=dbus.Struct(
                (vendor, dbus.UInt32(version), dbus.String(data, variant_level=1)), signature="suv"))
        if self.session.restored:
            self.note("Start restored")
            return answered(0, consent)
        self.note("Start")
        if self.answer == "close":
            GLib.timeout_add_seconds(3, self.session.Closed)
        if self.answer in ("accept", "close"):
            answered(0, consent)
        elif self.answer in ("decline", "fail"):
            answered(1 if self.answer == "decline" else 2, {})
        elif self.answer == "nopointer":
            answered(0, {"devices": dbus.UInt32(0)})

    @dbus.service.method(IMPL, in_signature="oa{sv}dd")
    def NotifyPointerMotion(self, session, options, dx, dy):
        self.note("NotifyPointerMotion", dx, dy)
        subprocess.run(["xdotool", "mousemove_relative", "--", str(int(dx)), str(int(dy))], timeout=5)


def late_request(signature):
    return dbus.service.method("org.freedesktop.portal.RemoteDesktop", in_signature=signature, out_signature="o",
                               sender_keyword="sender", async_callbacks=("reply", "failed"))


class LateFrontend(Backend):
    def answer_late(self, method, sender, reply, results):
        self.note(method)
        self.requests = getattr(self, "requests", 0) + 1
        path = "/org/freedesktop/portal/desktop/request/%s/late%d" % (sender[1:].replace(".", "_"), self.requests)
        response = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
        response.set_destination(sender)
        response.append(dbus.UInt32(0), dbus.Dictionary(results, signature="sv"))
        self.bus.send_message(response)
        GLib.timeout_add(800, lambda: reply(dbus.ObjectPath(path)))

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.UInt32(1, variant_level=1)

    @late_request("a{sv}")
    def CreateSession(self, options, sender, reply, failed):
        self.answer_late("CreateSession", sender, reply, {"session_handle": "/org/freedesktop/portal/desktop/s"})

    @late_request("oa{sv}")
    def SelectDevices(self, session, options, sender, reply, failed):
        self.answer_late("SelectDevices", sender, reply, {})

    @late_request("osa{sv}")
    def Start(self, session, parent_window, options, sender, reply, failed):
        self.answer_late("Start", sender, reply, {"devices": POINTER})

    @dbus.service.method("org.freedesktop.portal.RemoteDesktop", in_signature="oa{sv}dd")
    def NotifyPointerMotion(self, session, options, dx, dy):
        Backend.NotifyPointerMotion(self, session, options, dx, dy)


class Session(dbus.service.Object):
    persist_mode, restored = 0, False

    @dbus.service.method("org.freedesktop.impl.portal.Session")
    def Close(self):
        self.remove_from_connection()

    @dbus.service.signal("org.freedesktop.impl.portal.Session")
    def Closed(self):
        pass


class ScreenSaver(dbus.service.Object):
    def __init__(self, bus, backend):
        super().__init__(bus, "/org/freedesktop/ScreenSaver")
        self.backend, self.active = backend, False

    @dbus.service.method(SCREENSAVER, out_signature="b")
    def GetActive(self):
        return self.active

    @dbus.service.method(SCREENSAVER)
    def Lock(self):
        self.backend.note("Lock")
        self.backend.session.Closed()
        GLib.timeout_add(350, self.SetActive, True)

    @dbus.service.method(SCREENSAVER, in_signature="b")
    def SetActive(self, active):
        self.backend.note("SetActive", bool(active))
        self.active = bool(active)
        self.ActiveChanged(self.active)

    @dbus.service.signal(SCREENSAVER, signature="b")
    def ActiveChanged(self, active):
        pass


if __name__ == "__main__":
    name, answer, log = sys.argv[1:]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    backend = (LateFrontend if answer == "late" else Backend)(bus, answer, open(log, "w"))
    screensaver = ScreenSaver(bus, backend)
    names = [name, SCREENSAVER] + (["org.freedesktop.portal.Desktop"] if answer == "late" else [])
    keep = [dbus.service.BusName(name, bus) for name in names]
    GLib.MainLoop().run()
