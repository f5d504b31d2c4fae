// What the desktop says on the session bus: whether its screen is locked,
// and whether mutter is there. Desktops publish the lock through their
// screensaver service, each with GetActive and the ActiveChanged(b) signal;
// the watch asks once when it connects (or when a screensaver comes) and
// then follows the signals and the bus's NameOwnerChanged. Only what a
// name's current owner sends counts: anyone on the bus may send a signal.
#include "linux_back_ends.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <dbus/dbus.h>
#include <poll.h>

namespace {

struct Watched {
    const char *name;
    const char *path;      // nullptr: only whether the name has an owner
    const char *interface; // of GetActive and ActiveChanged
};

// GNOME Shell owns org.gnome.Shell.ScreenShield itself; its
// org.gnome.ScreenSaver is a small service, started on demand, that relays
// the shell's (older shells owned that name themselves). No name is ever
// started for jiggle: a screensaver started here could lock the screen.
const Watched watched[watched_names] = {
    {"org.gnome.Shell.ScreenShield", "/org/gnome/ScreenSaver",
     "org.gnome.ScreenSaver"},
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver",
     "org.gnome.ScreenSaver"},
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
     "org.freedesktop.ScreenSaver"},
    {"org.mate.ScreenSaver", "/org/mate/ScreenSaver", "org.mate.ScreenSaver"},
    {"org.cinnamon.ScreenSaver", "/org/cinnamon/ScreenSaver",
     "org.cinnamon.ScreenSaver"},
    {"org.xfce.ScreenSaver", "/org/xfce/ScreenSaver", "org.xfce.ScreenSaver"},
    {"org.gnome.Mutter.RemoteDesktop", nullptr, nullptr},
};
constexpr std::size_t mutter = watched_names - 1;

// The reply to `message` (taking it over) within the bus's bound, or
// nullptr; *unowned tells whether the bus said that nobody owns the name.
DBusMessage *ask(DBusConnection *bus, DBusMessage *message,
                 bool *unowned = nullptr)
{
    if (message != nullptr)
        dbus_message_set_auto_start(message, FALSE);
    DBusError error;
    dbus_error_init(&error);
    DBusMessage *reply = bus_call(bus, message, &error);
    if (unowned != nullptr)
        *unowned = dbus_error_has_name(&error, DBUS_ERROR_NAME_HAS_NO_OWNER);
    dbus_error_free(&error);
    return reply;
}

// Each word of a screensaver that it is active counts, so that a lock and
// an unlock between two motions are not missed.
void note_active(DesktopWatch &watch, std::size_t i, bool active)
{
    watch.active[i] = active;
    if (active)
        ++watch.locks;
}

// Asks a screensaver that has just been found whether it is active.
void ask_active(DesktopWatch &watch, std::size_t i)
{
    watch.active[i] = false;
    if (watched[i].path == nullptr)
        return;
    DBusMessage *reply =
        ask(watch.bus,
            dbus_message_new_method_call(watch.owners[i], watched[i].path,
                                         watched[i].interface, "GetActive"));
    dbus_bool_t active = FALSE;
    if (reply != nullptr &&
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_BOOLEAN, &active,
                              DBUS_TYPE_INVALID) != 0)
        note_active(watch, i, active != FALSE);
    if (reply != nullptr)
        dbus_message_unref(reply);
}

void note_owner(DesktopWatch &watch, std::size_t i, const char *owner)
{
    if (!bus_copy(watch.owners[i], sizeof watch.owners[i], owner))
        watch.owners[i][0] = '\0';
    watch.active[i] = false;
    if (watch.owners[i][0] != '\0')
        ask_active(watch, i);
}

// Subscribes first, so that nothing said after the look-ups is missed. The
// rules are sent without waiting for the bus to take them: it handles
// them, in order, before the calls below. A look-up that the bus did not
// answer leaves the watch to be made anew: a name taken for unowned would
// miss a lock, or mutter, for the whole run.
bool start_watching(DesktopWatch &watch)
{
    char rule[256];
    for (const Watched &name : watched) {
        std::snprintf(rule, sizeof rule,
                      "type='signal',sender='%s',member='NameOwnerChanged',"
                      "arg0='%s'",
                      DBUS_SERVICE_DBUS, name.name);
        dbus_bus_add_match(watch.bus, rule, nullptr);
        if (name.path != nullptr) {
            std::snprintf(rule, sizeof rule,
                          "type='signal',interface='%s',member='"
                          "ActiveChanged'",
                          name.interface);
            dbus_bus_add_match(watch.bus, rule, nullptr);
        }
    }
    for (std::size_t i = 0; i < watched_names; ++i) {
        bool unowned = false;
        DBusMessage *reply =
            ask(watch.bus,
                bus_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                DBUS_INTERFACE_DBUS, "GetNameOwner",
                                watched[i].name),
                &unowned);
        const char *owner = nullptr;
        if (reply != nullptr)
            dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &owner,
                                  DBUS_TYPE_INVALID);
        if (reply == nullptr && !unowned)
            return false;
        note_owner(watch, i, owner);
        if (reply != nullptr)
            dbus_message_unref(reply);
    }
    return dbus_connection_get_is_connected(watch.bus) != 0;
}

void take(DesktopWatch &watch, DBusMessage *message)
{
    const char *name = nullptr;
    const char *old_owner = nullptr;
    const char *new_owner = nullptr;
    dbus_bool_t active = FALSE;
    if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS,
                               "NameOwnerChanged") != 0 &&
        dbus_message_has_sender(message, DBUS_SERVICE_DBUS) != 0 &&
        dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name,
                              DBUS_TYPE_STRING, &old_owner, DBUS_TYPE_STRING,
                              &new_owner, DBUS_TYPE_INVALID) != 0) {
        for (std::size_t i = 0; i < watched_names; ++i)
            if (std::strcmp(name, watched[i].name) == 0)
                note_owner(watch, i, new_owner);
        return;
    }
    const char *member = dbus_message_get_member(message);
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_SIGNAL ||
        member == nullptr || std::strcmp(member, "ActiveChanged") != 0 ||
        dbus_message_get_args(message, nullptr, DBUS_TYPE_BOOLEAN, &active,
                              DBUS_TYPE_INVALID) == 0)
        return;
    for (std::size_t i = 0; i < watched_names; ++i)
        if (watched[i].path != nullptr && watch.owners[i][0] != '\0' &&
            dbus_message_has_sender(message, watch.owners[i]) != 0 &&
            dbus_message_has_interface(message, watched[i].interface) != 0)
            note_active(watch, i, active != FALSE);
}

// Takes what the bus has sent, waiting for it at most `wait_ms`; false
// once the bus has gone.
bool read_bus(DesktopWatch &watch, int wait_ms)
{
    if (dbus_connection_read_write(watch.bus, wait_ms) == 0)
        return false;
    while (DBusMessage *message = dbus_connection_pop_message(watch.bus)) {
        take(watch, message);
        dbus_message_unref(message);
    }
    return dbus_connection_get_is_connected(watch.bus) != 0;
}

// Whether anything waits to be read. A poll of the socket alone: an idle
// bus costs a motion no allocation and no wait.
bool bus_has_news(DBusConnection *bus)
{
    int fd = -1;
    if (dbus_connection_get_dispatch_status(bus) ==
            DBUS_DISPATCH_DATA_REMAINS ||
        dbus_connection_get_unix_fd(bus, &fd) == 0)
        return true;
    pollfd socket = {fd, POLLIN, 0};
    return poll(&socket, 1, 0) != 0;
}

} // namespace

void watch_close(PointerInjection &injection)
{
    DesktopWatch &watch = injection.watch;
    const unsigned locks = watch.locks;
    bus_close(watch.bus);
    watch = DesktopWatch{};
    watch.locks = locks;
}

void watch_desktop(PointerInjection &injection)
{
    DesktopWatch &watch = injection.watch;
    if (watch.bus != nullptr && bus_has_news(watch.bus) && !read_bus(watch, 0))
        watch_close(injection);
    if (watch.bus == nullptr && bus_connect(injection, watch.bus) == 0 &&
        !start_watching(watch))
        watch_close(injection);
}

bool desktop_locked(const PointerInjection &injection)
{
    const bool *active = injection.watch.active;
    return std::any_of(active, active + watched_names,
                       [](bool said) { return said; });
}

bool desktop_locks_within(PointerInjection &injection,
                          std::chrono::milliseconds bound)
{
    using namespace std::chrono;
    DesktopWatch &watch = injection.watch;
    bool can_say = false;
    for (std::size_t i = 0; i < watched_names; ++i)
        can_say = can_say ||
                  (watched[i].path != nullptr && watch.owners[i][0] != '\0');
    const auto deadline = steady_clock::now() + bound;
    while (can_say && !desktop_locked(injection)) {
        const auto left =
            duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (!read_bus(watch, static_cast<int>(left.count()))) {
            watch_close(injection);
            return false;
        }
    }
    return can_say;
}

bool mutter_on_bus(const PointerInjection &injection)
{
    const DesktopWatch &watch = injection.watch;
    return watch.bus == nullptr || watch.owners[mutter][0] != '\0';
}
