// The Wayland ways' shared connection to the compositor: the wlroots
// virtual pointer and KDE's fake input speak to the same compositor, so one
// connection and one registry serve both, and each way binds its own global
// from what the registry has listed.
#include "linux_back_ends.h"

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <initializer_list>

#include <poll.h>
#include <wayland-client.h>

namespace {

// How long jiggle waits for the compositor to answer: one that has stopped
// answering costs a cycle this long, and the ways after it still get their
// turn.
constexpr std::chrono::milliseconds answer_timeout(500);

void note_global(void *data, wl_registry * /*registry*/, std::uint32_t name,
                 const char *interface, std::uint32_t version)
{
    auto &connection = *static_cast<WaylandConnection *>(data);
    if (std::strcmp(interface,
                    zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        connection.wlr_manager = {name, version};
    else if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) ==
             0)
        connection.kwin_fake_input = {name, version};
}

// What was bound from it stays, inert; it is not bound again.
void forget_global(void *data, wl_registry * /*registry*/, std::uint32_t name)
{
    auto &connection = *static_cast<WaylandConnection *>(data);
    for (WaylandGlobal *global :
         {&connection.wlr_manager, &connection.kwin_fake_input})
        if (global->name == name)
            *global = {};
}

const wl_registry_listener registry_listener = {note_global, forget_global};

// libwayland writes some failures on stderr (no XDG_RUNTIME_DIR, the
// compositor's protocol errors): jiggle reports them with their codes.
void drop_message(const char * /*format*/, std::va_list /*arguments*/) {}

std::uint32_t display_error(wl_display *display)
{
    const int error = wl_display_get_error(display);
    return static_cast<std::uint32_t>(error != 0 ? error : EPIPE);
}

void note_done(void *data, wl_callback * /*callback*/, std::uint32_t /*serial*/)
{
    *static_cast<bool *>(data) = true;
}

const wl_callback_listener done_listener = {note_done};

// wl_display_roundtrip with a deadline: waits until the compositor has
// handled all that was sent (and sent what it had to say), at most
// answer_timeout. 0, ETIMEDOUT, or the connection's error.
std::uint32_t answered(wl_display *display)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + answer_timeout;
    bool done = false;
    wl_callback *callback = wl_display_sync(display);
    if (callback == nullptr) // the connection has failed already
        return display_error(display);
    wl_callback_add_listener(callback, &done_listener, &done);
    std::uint32_t error = 0;
    while (!done && error == 0) {
        if (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0)
                error = display_error(display);
            continue;
        }
        // A failed send shows below, as a read of the error or of the end.
        wl_display_flush(display);
        const auto left =
            duration_cast<milliseconds>(deadline - steady_clock::now());
        pollfd socket = {wl_display_get_fd(display), POLLIN, 0};
        if (left.count() <= 0 ||
            poll(&socket, 1, static_cast<int>(left.count())) <= 0) {
            wl_display_cancel_read(display);
            error = ETIMEDOUT;
        } else if (wl_display_read_events(display) < 0 ||
                   wl_display_dispatch_pending(display) < 0) {
            error = display_error(display);
        }
    }
    wl_callback_destroy(callback);
    return error;
}

std::uint32_t connect(WaylandConnection &connection)
{
    wl_log_set_handler_client(drop_message);
    connection.display = wl_display_connect(nullptr);
    if (connection.display == nullptr)
        return errno != 0 ? static_cast<std::uint32_t>(errno) : ECONNREFUSED;
    connection.registry = wl_display_get_registry(connection.display);
    wl_registry_add_listener(connection.registry, &registry_listener,
                             &connection);
    // The compositor lists its globals before it answers.
    return answered(connection.display);
}

// Reads and handles what the compositor has sent, without waiting: nothing
// piles up in the socket, and a compositor that has gone shows as an error.
void read_what_came(wl_display *display)
{
    if (wl_display_dispatch_pending(display) < 0 ||
        wl_display_prepare_read(display) != 0)
        return;
    pollfd socket = {wl_display_get_fd(display), POLLIN, 0};
    if (poll(&socket, 1, 0) > 0) {
        if (wl_display_read_events(display) == 0)
            wl_display_dispatch_pending(display);
    } else {
        wl_display_cancel_read(display);
    }
}

} // namespace

std::uint32_t wayland_connect(PointerInjection &injection)
{
    WaylandConnection &connection = injection.wayland;
    if (connection.display != nullptr) {
        read_what_came(connection.display);
        const int error = wl_display_get_error(connection.display);
        if (error == 0)
            return 0;
        wayland_close(injection);
        // The compositor refused what the last motion sent: said now, and
        // the next motion starts anew. A lost connection is made again at
        // once, for a compositor that has restarted.
        if (error == EPROTO)
            return EPROTO;
    } else if (connection.failed_motion == injection.motions) {
        return connection.failure; // the other Wayland way tried just now
    }
    const std::uint32_t error = connect(connection);
    if (error != 0) {
        wayland_close(injection);
        connection.failed_motion = injection.motions;
        connection.failure = error;
    }
    return error;
}

std::uint32_t wayland_flush(PointerInjection &injection, bool confirm)
{
    wl_display *display = injection.wayland.display;
    std::uint32_t error = 0;
    if (confirm)
        error = answered(display);
    else if (wl_display_flush(display) < 0 && errno != EAGAIN)
        error = display_error(display); // EAGAIN: sent with the next one
    if (error != 0)
        wayland_close(injection);
    return error;
}

// The compositor destroys a client's objects when its connection closes:
// only their proxies, on this side, are left to free.
void wayland_close(PointerInjection &injection)
{
    WaylandConnection &connection = injection.wayland;
    if (connection.display == nullptr)
        return;
    for (wl_proxy **proxy : {&injection.wlr.pointer, &injection.wlr.manager,
                             &injection.kwin.fake_input}) {
        if (*proxy != nullptr)
            wl_proxy_destroy(*proxy);
        *proxy = nullptr;
    }
    wl_registry_destroy(connection.registry);
    wl_display_disconnect(connection.display);
    connection.display = nullptr;
    connection.registry = nullptr;
    connection.wlr_manager = {};
    connection.kwin_fake_input = {};
}

const char *wayland_explain(std::uint32_t error_code)
{
    switch (error_code) {
    case ENOENT:
    case ECONNREFUSED:
        return "no compositor listens at WAYLAND_DISPLAY in XDG_RUNTIME_DIR; "
               "check both (jiggle reconnects once it is back).";
    case EPROTO:
        return "the compositor refused jiggle's requests and closed the "
               "connection; jiggle tries again on the next motion.";
    case ETIMEDOUT:
        return "the compositor did not answer within half a second; jiggle "
               "tries again on the next motion.";
    default:
        return "the connection to the compositor failed; jiggle reconnects "
               "on the next motion.";
    }
}
