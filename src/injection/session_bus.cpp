// The session bus, for the ways that speak to the desktop over D-Bus: a
// private connection of jiggle's own, found where the desktop's programs
// find it, and calls that never wait long for an answer.
#include "linux_back_ends.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <dbus/dbus.h>
#include <sys/stat.h>

namespace {

// The bus where the desktop's own programs find it. A bus is never started
// for us (no autolaunch, as dbus_bus_get might do): without one, no desktop
// service can be reached in this session.
DBusConnection *open_private_connection()
{
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *bus = nullptr;
    struct stat socket_file {};
    char path[512];
    const char *runtime_dir = std::getenv("XDG_RUNTIME_DIR");
    if (const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        // libdbus would run dbus-launch for it.
        if (std::strncmp(address, "autolaunch:", 11) != 0)
            bus = dbus_connection_open_private(address, &error);
    } else if (runtime_dir != nullptr &&
               std::snprintf(path, sizeof path, "%s/bus", runtime_dir) <
                   static_cast<int>(sizeof path) &&
               stat(path, &socket_file) == 0 && S_ISSOCK(socket_file.st_mode)) {
        if (char *escaped = dbus_address_escape_value(path)) {
            char address[sizeof path * 3 + 16];
            std::snprintf(address, sizeof address, "unix:path=%s", escaped);
            dbus_free(escaped);
            bus = dbus_connection_open_private(address, &error);
        }
    }
    dbus_error_free(&error);
    // libdbus would otherwise call _exit() when the bus goes away.
    if (bus != nullptr)
        dbus_connection_set_exit_on_disconnect(bus, FALSE);
    return bus;
}

// The bus's Hello, as dbus_bus_register sends it, but bounded. libdbus
// itself would wait for the bus without end while it authenticates us (its
// flush before every call does), and 25 s for the Hello's reply: a bus that
// accepts and never answers would hold the worker.
std::uint32_t register_on_bus(DBusConnection *bus)
{
    using namespace std::chrono;
    const auto deadline =
        steady_clock::now() + milliseconds(bus_reply_timeout_ms);
    while (dbus_connection_get_is_authenticated(bus) == 0) {
        const auto left =
            duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        if (dbus_connection_read_write(bus, static_cast<int>(left.count())) ==
            0)
            return not_offered;
    }
    DBusError error;
    dbus_error_init(&error);
    DBusMessage *reply =
        bus_call(bus,
                 dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                              DBUS_INTERFACE_DBUS, "Hello"),
                 &error);
    const bool timed_out = dbus_error_has_name(&error, DBUS_ERROR_NO_REPLY);
    dbus_error_free(&error);
    if (reply == nullptr)
        return timed_out ? ETIMEDOUT : not_offered;
    // Our unique name, as dbus_bus_register would note it: the portal
    // makes its request paths from it.
    const char *name = nullptr;
    const bool named = dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING,
                                             &name, DBUS_TYPE_INVALID) != 0 &&
                       dbus_bus_set_unique_name(bus, name) != 0;
    dbus_message_unref(reply);
    return named ? 0 : ENOMEM;
}

} // namespace

std::uint32_t bus_connect(PointerInjection &injection, DBusConnection *&bus)
{
    // A bus that did not answer costs one motion half a second, not half a
    // second for each connection that would ask it.
    if (injection.bus_failed_motion == injection.motions)
        return injection.bus_failure;
    bus = open_private_connection();
    std::uint32_t error = bus == nullptr ? not_offered : register_on_bus(bus);
    if (error != 0) {
        bus_close(bus);
        injection.bus_failed_motion = injection.motions;
        injection.bus_failure = error;
    }
    return error;
}

void bus_close(DBusConnection *&bus)
{
    if (bus != nullptr) {
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
    }
    bus = nullptr;
}

bool bus_copy(char *to, std::size_t size, const char *from)
{
    const bool fits = from != nullptr && std::strlen(from) < size;
    if (fits)
        std::memcpy(to, from, std::strlen(from) + 1);
    return fits;
}

DBusMessage *bus_method_call(const char *destination, const char *path,
                             const char *interface, const char *method,
                             const char *first, const char *second)
{
    DBusMessage *message =
        dbus_message_new_method_call(destination, path, interface, method);
    DBusMessageIter args;
    if (message != nullptr)
        dbus_message_iter_init_append(message, &args);
    for (const char *text : {first, second})
        if (message != nullptr && text != nullptr &&
            dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &text) ==
                0) {
            dbus_message_unref(message);
            message = nullptr;
        }
    return message;
}

DBusMessage *bus_call(DBusConnection *bus, DBusMessage *message,
                      DBusError *error)
{
    if (message == nullptr) {
        dbus_set_error_const(error, DBUS_ERROR_NO_MEMORY, "");
        return nullptr;
    }
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(
        bus, message, bus_reply_timeout_ms, error);
    dbus_message_unref(message);
    return reply;
}
