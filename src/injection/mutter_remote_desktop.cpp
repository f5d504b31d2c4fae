// GNOME (mutter): relative motions through a session of mutter's
// org.gnome.Mutter.RemoteDesktop service on the session bus. mutter feeds
// them to its own input stack, so its idle monitor and screen lock see them
// as the user's. A session belongs to the bus connection that created it:
// when ours closes, or jiggle ends in any way, mutter ends the session.
#include "linux_back_ends.h"

#include <cstring>

#include <dbus/dbus.h>

namespace {

constexpr char service[] = "org.gnome.Mutter.RemoteDesktop";
constexpr char service_path[] = "/org/gnome/Mutter/RemoteDesktop";
constexpr char session_interface[] = "org.gnome.Mutter.RemoteDesktop.Session";

// Codes of this way that errno names do not make plain on their own.
constexpr std::uint32_t session_ended = ECONNRESET;
constexpr std::uint32_t refused = EPROTO;

// A reply naming an error: what became of the call.
std::uint32_t code_for(const DBusError &error, bool in_session)
{
    const auto is = [&error](const char *name) {
        return dbus_error_has_name(&error, name) != 0;
    };
    if (is(DBUS_ERROR_NO_REPLY) || is(DBUS_ERROR_TIMEOUT) ||
        is(DBUS_ERROR_TIMED_OUT))
        return ETIMEDOUT;
    if (is(DBUS_ERROR_DISCONNECTED))
        return EPIPE;
    if (is(DBUS_ERROR_NO_MEMORY))
        return ENOMEM;
    if (is(DBUS_ERROR_ACCESS_DENIED))
        return EACCES;
    // No owner: asked before a session exists, GNOME is not running here;
    // within one, mutter has gone (or restarted and forgot the session).
    if (is(DBUS_ERROR_SERVICE_UNKNOWN) || is(DBUS_ERROR_NAME_HAS_NO_OWNER))
        return in_session ? session_ended : not_offered;
    if (in_session &&
        (is(DBUS_ERROR_UNKNOWN_METHOD) || is(DBUS_ERROR_UNKNOWN_OBJECT) ||
         is(DBUS_ERROR_UNKNOWN_INTERFACE)))
        return session_ended;
    return refused;
}

// Sends `message` (taking it over) and waits for the reply. Returns 0 with
// the reply in *reply (to unref; pass nullptr to drop it), or an error code.
std::uint32_t call(DBusConnection *bus, DBusMessage *message, bool in_session,
                   DBusMessage **reply = nullptr)
{
    DBusError error;
    dbus_error_init(&error);
    DBusMessage *answer = bus_call(bus, message, &error);
    if (answer == nullptr) {
        const std::uint32_t code = code_for(error, in_session);
        dbus_error_free(&error);
        return code;
    }
    if (reply != nullptr)
        *reply = answer;
    else
        dbus_message_unref(answer);
    return 0;
}

// Not auto-started: a service file must never start anything for us.
DBusMessage *mutter_call(const char *path, const char *interface,
                         const char *method)
{
    DBusMessage *message =
        dbus_message_new_method_call(service, path, interface, method);
    if (message != nullptr)
        dbus_message_set_auto_start(message, FALSE);
    return message;
}

DBusMessage *session_call(const MutterRemoteDesktop &mutter, const char *method)
{
    return mutter_call(mutter.session_path, session_interface, method);
}

// CreateSession answers "no owner" when GNOME is not here: that is the
// check.
std::uint32_t start_session(MutterRemoteDesktop &mutter)
{
    DBusMessage *create = mutter_call(service_path, service, "CreateSession");
    DBusMessage *reply = nullptr;
    if (std::uint32_t error = call(mutter.bus, create, false, &reply))
        return error;
    const char *path = nullptr;
    const bool fits =
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_OBJECT_PATH, &path,
                              DBUS_TYPE_INVALID) != 0 &&
        bus_copy(mutter.session_path, sizeof mutter.session_path, path) &&
        bus_copy(mutter.owner, sizeof mutter.owner,
                 dbus_message_get_sender(reply));
    dbus_message_unref(reply);
    if (!fits)
        return refused;
    return call(mutter.bus, session_call(mutter, "Start"), true);
}

// A session that mutter ended while it kept running, the same process
// owning its name as when the session was made, was stopped by the person
// at the desk (GNOME Shell's screen sharing indicator); one that a mutter
// which has gone or restarted forgot was not.
bool stopped_by_user(MutterRemoteDesktop &mutter)
{
    DBusMessage *reply = nullptr;
    if (call(mutter.bus,
             bus_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                             DBUS_INTERFACE_DBUS, "GetNameOwner", service),
             false, &reply) != 0)
        return false;
    const char *owner = nullptr;
    const bool same = dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING,
                                            &owner, DBUS_TYPE_INVALID) != 0 &&
                      std::strcmp(owner, mutter.owner) == 0;
    dbus_message_unref(reply);
    return same;
}

// Nothing is subscribed to, so only stray messages arrive: the bus's
// NameAcquired, late replies to calls that timed out, the local
// Disconnected message. Reading also notices a bus that has gone.
void discard_queued_messages(DBusConnection *bus)
{
    dbus_connection_read_write(bus, 0);
    while (DBusMessage *message = dbus_connection_pop_message(bus))
        dbus_message_unref(message);
}

// Closing our connection ends the session in mutter as well.
void drop_connection(MutterRemoteDesktop &mutter)
{
    bus_close(mutter.bus);
    mutter.session_path[0] = '\0';
}

// After a failure: where mutter holds nothing for us (it is not there, or
// has ended the session) the connection is kept for the next motion;
// otherwise closing it makes mutter drop whatever it still holds for us.
std::uint32_t forget_after(MutterRemoteDesktop &mutter, std::uint32_t error)
{
    if (error == not_offered || error == session_ended)
        mutter.session_path[0] = '\0';
    else if (error != 0)
        drop_connection(mutter);
    return error;
}

} // namespace

// mutter ends the session when the connection closes: no Stop to wait for.
void mutter_close(PointerInjection &injection)
{
    drop_connection(injection.mutter);
}

// Each motion waits for mutter's reply (at most bus_reply_timeout_ms): only the
// reply says the session took the motion. Sent unanswered, a motion into a
// session that mutter has closed, or never started, would look delivered.
// The round trip to a live mutter costs well under a millisecond, once per
// cycle. After a failure the next motion starts a new session.
std::uint32_t mutter_move_pointer(PointerInjection &injection,
                                  Displacement displacement)
{
    MutterRemoteDesktop &mutter = injection.mutter;
    // Where the bus says that mutter is not there (any desktop but GNOME),
    // it is not asked each motion.
    if (!mutter_on_bus(injection)) {
        drop_connection(mutter);
        return not_offered;
    }
    if (mutter.bus != nullptr) {
        discard_queued_messages(mutter.bus);
        if (dbus_connection_get_is_connected(mutter.bus) == 0)
            drop_connection(mutter);
    }
    if (mutter.bus == nullptr) {
        if (std::uint32_t error = bus_connect(injection, mutter.bus))
            return error;
    }
    if (mutter.session_path[0] == '\0') {
        if (std::uint32_t error = start_session(mutter))
            return forget_after(mutter, error);
    }
    DBusMessage *motion = session_call(mutter, "NotifyPointerMotionRelative");
    const double dx = displacement.dx;
    const double dy = displacement.dy;
    if (motion != nullptr &&
        dbus_message_append_args(motion, DBUS_TYPE_DOUBLE, &dx,
                                 DBUS_TYPE_DOUBLE, &dy,
                                 DBUS_TYPE_INVALID) == 0) {
        dbus_message_unref(motion);
        motion = nullptr;
    }
    std::uint32_t error = call(mutter.bus, motion, true);
    if (error == session_ended && stopped_by_user(mutter))
        error = stopped;
    return forget_after(mutter, error);
}

const char *mutter_explain(std::uint32_t error_code)
{
    switch (error_code) {
    case not_offered:
        return "not offered here (no session bus, or GNOME's mutter is not "
               "on it).";
    case ETIMEDOUT:
        return "mutter (or the session bus) did not answer within half a "
               "second; jiggle tries again on the next motion.";
    case EPIPE:
        return "the session bus connection broke; jiggle reconnects on the "
               "next motion.";
    case session_ended:
        return "mutter ended jiggle's remote desktop session (it restarted, "
               "or went away); jiggle opens a new one on the next motion.";
    case stopped:
        return "jiggle's remote desktop session was stopped from GNOME's top "
               "bar; jiggle moves the pointer no more this run. Start jiggle "
               "again to resume.";
    case EACCES:
        return "mutter refuses remote desktop sessions to jiggle (a policy, "
               "or a GNOME that keeps them to its own services); grant "
               "jiggle /dev/uinput instead (see 'man jiggle').";
    case ENOMEM:
        return "out of memory.";
    default:
        return "mutter refused the remote desktop request; jiggle asks again "
               "on the next motion (mutter's log may say why: 'journalctl "
               "--user -b').";
    }
}
