// X11: relative motions through the XTEST extension, over XCB. Unlike Xlib,
// XCB reports a lost server as a value instead of exiting the process, so a
// restarted X server is picked up on the next cycle.
#include "linux_back_ends.h"

#include <cstdlib>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace {

constexpr std::uint8_t relative_motion = 1; // XTEST's "detail" for a move

int connect_with_xtest(xcb_connection_t *&connection)
{
    connection = xcb_connect(nullptr, nullptr);
    if (int error = xcb_connection_has_error(connection))
        return error;
    const xcb_query_extension_reply_t *xtest =
        xcb_get_extension_data(connection, &xcb_test_id);
    if (xtest != nullptr && xtest->present != 0)
        return 0;
    // No reply at all means the connection broke during the query.
    if (int error = xcb_connection_has_error(connection))
        return error;
    return XCB_CONN_CLOSED_EXT_NOTSUPPORTED;
}

// Nothing is selected, so only errors for earlier requests can be queued.
// Reading also notices a server that has gone away since the last cycle.
void discard_queued_events(xcb_connection_t *connection)
{
    while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
        std::free(event);
}

} // namespace

void xtest_close(PointerInjection &injection)
{
    if (injection.x_connection != nullptr)
        xcb_disconnect(injection.x_connection);
    injection.x_connection = nullptr;
}

std::uint32_t xtest_move_pointer(PointerInjection &injection,
                                 Displacement displacement)
{
    xcb_connection_t *&connection = injection.x_connection;
    if (connection != nullptr) {
        discard_queued_events(connection);
        if (xcb_connection_has_error(connection))
            xtest_close(injection);
    }
    if (connection == nullptr) {
        if (int error = connect_with_xtest(connection)) {
            xtest_close(injection);
            return static_cast<std::uint32_t>(error);
        }
    }
    // Unchecked and unanswered: no round trip and nothing allocated per
    // motion. A broken connection shows up as a connection error.
    xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, relative_motion,
                        XCB_CURRENT_TIME, XCB_NONE,
                        static_cast<std::int16_t>(displacement.dx),
                        static_cast<std::int16_t>(displacement.dy), 0);
    xcb_flush(connection);
    return static_cast<std::uint32_t>(xcb_connection_has_error(connection));
}

const char *xtest_explain(std::uint32_t error_code)
{
    switch (error_code) {
    case XCB_CONN_ERROR:
        return "cannot reach the X server (check DISPLAY and XAUTHORITY); "
               "jiggle reconnects by itself once it is back.";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
        return "the X server lacks the XTEST extension; enable it there.";
    case XCB_CONN_CLOSED_PARSE_ERR:
        return "DISPLAY is empty or malformed; set it, e.g. DISPLAY=:0.";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
        return "the screen named in DISPLAY does not exist; name one that "
               "does, e.g. :0.0.";
    default:
        return "the X connection failed.";
    }
}
