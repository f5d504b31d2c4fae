// Any desktop with a RemoteDesktop portal (COSMIC, and KDE Plasma or GNOME
// where their own ways are closed to jiggle): relative motions through a
// session of org.freedesktop.portal.RemoteDesktop, which the desktop feeds to
// its own input stack. Its Start asks the person at the desk in a dialog, so
// this way comes last, where no silent way works. Each request answers through
// a Response signal that may take minutes (the dialog waits for the person):
// the worker never waits for it past one bounded look a motion, and reads
// what the bus has sent at every motion. Nothing is kept between runs: each
// run asks once. Where the portal can restore a consent (RemoteDesktop 2
// and later), the run keeps its restore token in memory, for the session
// that follows one the desktop closed at its lock.
#include "linux_back_ends.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include <dbus/dbus.h>

namespace {

constexpr char service[] = "org.freedesktop.portal.Desktop";
constexpr char service_path[] = "/org/freedesktop/portal/desktop";
constexpr char portal_interface[] = "org.freedesktop.portal.RemoteDesktop";
constexpr char request_interface[] = "org.freedesktop.portal.Request";
constexpr char session_interface[] = "org.freedesktop.portal.Session";

constexpr std::uint32_t pointer_device = 2;
// Restore tokens, and persist_mode 1: the consent lasts while jiggle runs.
constexpr std::uint32_t persistence_version = 2;
constexpr std::uint32_t while_running = 1;
// The motions a request before Start may go unanswered (no dialog asks
// there) before the connection, and with it the portal's half-made
// session, is dropped and the next motion begins anew.
constexpr unsigned request_patience = 5;

// Codes of this way.
constexpr std::uint32_t portal_failed = EPROTO;    // Response 2
constexpr std::uint32_t session_lost = ECONNRESET; // the portal went away
constexpr std::uint32_t not_answered = ETIMEDOUT;  // a call, not the dialog

// Keeps a reference of `response`, or none, in place of the one kept.
void keep_early_response(PortalRemoteDesktop &portal, DBusMessage *response)
{
    if (portal.early_response != nullptr)
        dbus_message_unref(portal.early_response);
    portal.early_response =
        response != nullptr ? dbus_message_ref(response) : nullptr;
}

// Closes the session, if the portal still holds one (and with it a dialog
// that is open), and keeps the connection.
void forget_session(PortalRemoteDesktop &portal)
{
    DBusMessage *close = portal.session_path[0] == '\0' || portal.bus == nullptr
                             ? nullptr
                             : dbus_message_new_method_call(
                                   portal.owner, portal.session_path,
                                   "org.freedesktop.portal.Session", "Close");
    if (close != nullptr) {
        // Written now, without waiting: a dialog must not stay open behind
        // the lock screen.
        dbus_message_set_no_reply(close, TRUE);
        dbus_connection_send(portal.bus, close, nullptr);
        dbus_connection_read_write(portal.bus, 0);
        dbus_message_unref(close);
    }
    portal.stage = PortalStage::none;
    portal.waited = 0;
    portal.late_reply = 0;
    keep_early_response(portal, nullptr);
    portal.request_path[0] = '\0';
    portal.session_path[0] = '\0';
}

// The portal forgets a closed connection's sessions and restore tokens.
void drop_connection(PortalRemoteDesktop &portal)
{
    bus_close(portal.bus);
    forget_session(portal);
    portal.owner[0] = '\0';
    portal.version = 0;
    portal.restore_token[0] = '\0';
}

std::uint32_t code_for(const DBusError &error)
{
    const auto is = [&error](const char *name) {
        return dbus_error_has_name(&error, name) != 0;
    };
    if (is(DBUS_ERROR_NO_REPLY))
        return not_answered;
    if (is(DBUS_ERROR_DISCONNECTED))
        return EPIPE;
    if (is(DBUS_ERROR_NO_MEMORY))
        return ENOMEM;
    // No portal on the bus, or one without RemoteDesktop (GDBus says
    // InvalidArgs for a property of an interface it does not have).
    if (is(DBUS_ERROR_SERVICE_UNKNOWN) || is(DBUS_ERROR_NAME_HAS_NO_OWNER) ||
        is(DBUS_ERROR_UNKNOWN_METHOD) || is(DBUS_ERROR_UNKNOWN_INTERFACE) ||
        is(DBUS_ERROR_UNKNOWN_OBJECT) || is(DBUS_ERROR_UNKNOWN_PROPERTY) ||
        is(DBUS_ERROR_INVALID_ARGS))
        return not_offered;
    return portal_failed;
}

// Sends `message` and waits for the call's own reply (not the request's
// Response). 0 with the reply in *reply, or an error code.
std::uint32_t call(DBusConnection *bus, DBusMessage *message,
                   DBusMessage **reply)
{
    DBusError error;
    dbus_error_init(&error);
    *reply = bus_call(bus, message, &error);
    if (*reply != nullptr)
        return 0;
    const std::uint32_t code = code_for(error);
    dbus_error_free(&error);
    return code;
}

DBusMessage *portal_call(const char *method)
{
    return dbus_message_new_method_call(service, service_path, portal_interface,
                                        method);
}

// Our unique name as the portal writes it in its object paths (":1.42" as
// "1_42").
bool path_name(DBusConnection *bus, char (&name)[128])
{
    const char *unique = dbus_bus_get_unique_name(bus);
    if (unique == nullptr || !bus_copy(name, sizeof name, unique + 1))
        return false;
    for (char *c = name; *c != '\0'; ++c)
        if (*c == '.')
            *c = '_';
    return true;
}

// The signals of our requests and sessions, in the paths the portal makes
// from our unique name, and the portal's own going: subscribed before any
// request.
std::uint32_t subscribe(DBusConnection *bus)
{
    char sender[128];
    if (!path_name(bus, sender))
        return ENOMEM;
    char rules[3][512];
    std::snprintf(rules[0], sizeof rules[0],
                  "type='signal',sender='%s',path_namespace='%s/request/%s'",
                  service, service_path, sender);
    std::snprintf(rules[1], sizeof rules[1],
                  "type='signal',sender='%s',path_namespace='%s/session/%s'",
                  service, service_path, sender);
    std::snprintf(rules[2], sizeof rules[2],
                  "type='signal',sender='%s',member='NameOwnerChanged',"
                  "arg0='%s'",
                  DBUS_SERVICE_DBUS, service);
    for (const char *rule : rules) {
        DBusMessage *reply = nullptr;
        if (std::uint32_t error =
                call(bus,
                     bus_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                     DBUS_INTERFACE_DBUS, "AddMatch", rule),
                     &reply))
            return error;
        dbus_message_unref(reply);
    }
    return 0;
}

// Finds the portal with RemoteDesktop (GDBus answers its version property
// only then), and notes its unique name: requests, signals and motions are
// taken from and sent to that one.
std::uint32_t find_portal(PortalRemoteDesktop &portal)
{
    DBusMessage *reply = nullptr;
    if (std::uint32_t error = call(
            portal.bus,
            bus_method_call(service, service_path, DBUS_INTERFACE_PROPERTIES,
                            "Get", portal_interface, "version"),
            &reply))
        return error;
    DBusMessageIter args;
    DBusMessageIter version;
    if (dbus_message_iter_init(reply, &args) != 0 &&
        dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&args, &version);
        if (dbus_message_iter_get_arg_type(&version) == DBUS_TYPE_UINT32)
            dbus_message_iter_get_basic(&version, &portal.version);
    }
    const bool noted = bus_copy(portal.owner, sizeof portal.owner,
                                dbus_message_get_sender(reply));
    dbus_message_unref(reply);
    return noted ? 0 : portal_failed;
}

// Options are a{sv}: one entry a string or a uint32.
void add_option(DBusMessageIter &options, const char *key, int type,
                const void *value)
{
    const char signature[] = {static_cast<char>(type), '\0'};
    DBusMessageIter entry;
    DBusMessageIter variant;
    dbus_message_iter_open_container(&options, DBUS_TYPE_DICT_ENTRY, nullptr,
                                     &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature,
                                     &variant);
    dbus_message_iter_append_basic(&variant, type, value);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(&options, &entry);
}

// Sends the request of the next stage, with a fresh handle_token, and
// notes the request's path, whose Response moves the session on.
std::uint32_t send_request(PortalRemoteDesktop &portal, PortalStage stage)
{
    static const char *const methods[] = {"", "CreateSession", "SelectDevices",
                                          "Start"};
    DBusMessage *message = portal_call(methods[static_cast<int>(stage)]);
    if (message == nullptr)
        return ENOMEM;
    char token[32];
    std::snprintf(token, sizeof token, "jiggle%u", ++portal.requests);
    const char *handle_token = token;
    const char *session = portal.session_path;
    const char *no_parent_window = "";
    DBusMessageIter args;
    DBusMessageIter options;
    dbus_message_iter_init_append(message, &args);
    if (stage != PortalStage::creating)
        dbus_message_iter_append_basic(&args, DBUS_TYPE_OBJECT_PATH, &session);
    if (stage == PortalStage::starting)
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING,
                                       &no_parent_window);
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &options);
    add_option(options, "handle_token", DBUS_TYPE_STRING, &handle_token);
    if (stage == PortalStage::creating)
        add_option(options, "session_handle_token", DBUS_TYPE_STRING,
                   &handle_token);
    if (stage == PortalStage::selecting)
        add_option(options, "types", DBUS_TYPE_UINT32, &pointer_device);
    if (stage == PortalStage::selecting &&
        portal.version >= persistence_version) {
        add_option(options, "persist_mode", DBUS_TYPE_UINT32, &while_running);
        const char *restore_token = portal.restore_token;
        if (restore_token[0] != '\0')
            add_option(options, "restore_token", DBUS_TYPE_STRING,
                       &restore_token);
    }
    dbus_message_iter_close_container(&args, &options);
    // The request's path, as the portal makes it from the token: its
    // Response may come even where the call's own reply is late (the
    // portal may ask its backend before it replies).
    char sender[128];
    if (!path_name(portal.bus, sender) ||
        std::snprintf(portal.request_path, sizeof portal.request_path,
                      "%s/request/%s/%s", service_path, sender,
                      token) >= static_cast<int>(sizeof portal.request_path)) {
        dbus_message_unref(message);
        return ENOMEM;
    }
    portal.stage = stage;
    portal.waited = 0;
    DBusMessage *reply = nullptr;
    dbus_message_ref(message); // for its serial, should the reply be late
    std::uint32_t error = call(portal.bus, message, &reply);
    portal.late_reply =
        error == not_answered ? dbus_message_get_serial(message) : 0;
    dbus_message_unref(message);
    if (error == not_answered)
        return 0; // under way all the same
    if (error != 0)
        return error;
    const char *path = nullptr;
    const bool noted =
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_OBJECT_PATH, &path,
                              DBUS_TYPE_INVALID) != 0 &&
        bus_copy(portal.request_path, sizeof portal.request_path, path);
    dbus_message_unref(reply);
    return noted ? 0 : portal_failed;
}

// Reads the value of `wanted` in the Response's results (a{sv}) into
// *value where it has that type; its key, or nullptr.
const char *find_result(DBusMessageIter results, const char *wanted, int type,
                        void *value)
{
    for (; dbus_message_iter_get_arg_type(&results) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&results)) {
        DBusMessageIter entry;
        DBusMessageIter variant;
        const char *key = nullptr;
        dbus_message_iter_recurse(&results, &entry);
        dbus_message_iter_get_basic(&entry, &key);
        dbus_message_iter_next(&entry);
        dbus_message_iter_recurse(&entry, &variant);
        if (std::strcmp(key, wanted) == 0 &&
            dbus_message_iter_get_arg_type(&variant) == type) {
            dbus_message_iter_get_basic(&variant, value);
            return key;
        }
    }
    return nullptr;
}

// A Response to the request under way: the next request, the session
// started, or the person's (or the portal's) last word for this run.
std::uint32_t take_response(PortalRemoteDesktop &portal, DBusMessage *signal)
{
    DBusMessageIter args;
    DBusMessageIter results;
    std::uint32_t response = 2;
    if (dbus_message_iter_init(signal, &args) == 0 ||
        dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_UINT32)
        return portal_failed;
    dbus_message_iter_get_basic(&args, &response);
    if (response == 1)
        return declined;
    if (response != 0 || dbus_message_iter_next(&args) == 0 ||
        dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY)
        return portal_failed;
    dbus_message_iter_recurse(&args, &results);
    // Answered: a reply of this request that comes late says nothing more.
    portal.request_path[0] = '\0';
    portal.late_reply = 0;
    switch (portal.stage) {
    case PortalStage::creating: {
        // Documented as an object path, sent as a string by some portals.
        const char *session = nullptr;
        if ((find_result(results, "session_handle", DBUS_TYPE_OBJECT_PATH,
                         &session) == nullptr &&
             find_result(results, "session_handle", DBUS_TYPE_STRING,
                         &session) == nullptr) ||
            !bus_copy(portal.session_path, sizeof portal.session_path, session))
            return portal_failed;
        return send_request(portal, PortalStage::selecting);
    }
    case PortalStage::selecting:
        return send_request(portal, PortalStage::starting);
    case PortalStage::starting: {
        std::uint32_t devices = 0;
        const char *restore_token = nullptr;
        find_result(results, "devices", DBUS_TYPE_UINT32, &devices);
        // Allowed, but without the pointer: the person said no to it.
        if ((devices & pointer_device) == 0)
            return declined;
        if (find_result(results, "restore_token", DBUS_TYPE_STRING,
                        &restore_token) != nullptr &&
            !bus_copy(portal.restore_token, sizeof portal.restore_token,
                      restore_token))
            portal.restore_token[0] = '\0';
        portal.stage = PortalStage::started;
        return 0;
    }
    default:
        return 0;
    }
}

// Whether `signal` says that the portal has left the bus: the owner of its
// name changed from the one we speak to.
bool portal_gone(const PortalRemoteDesktop &portal, DBusMessage *signal)
{
    const char *name = nullptr;
    const char *old_owner = nullptr;
    const char *new_owner = nullptr;
    return dbus_message_is_signal(signal, DBUS_INTERFACE_DBUS,
                                  "NameOwnerChanged") != 0 &&
           dbus_message_has_sender(signal, DBUS_SERVICE_DBUS) != 0 &&
           dbus_message_get_args(signal, nullptr, DBUS_TYPE_STRING, &name,
                                 DBUS_TYPE_STRING, &old_owner, DBUS_TYPE_STRING,
                                 &new_owner, DBUS_TYPE_INVALID) != 0 &&
           std::strcmp(old_owner, portal.owner) == 0;
}

// The late reply of the request under way names its path, which may not be
// the one its handle_token makes: a Response that came before it, on that
// path, is taken now.
std::uint32_t take_late_reply(PortalRemoteDesktop &portal, DBusMessage *reply)
{
    const char *path = nullptr;
    DBusMessage *early = portal.early_response;
    portal.late_reply = 0;
    std::uint32_t error = 0;
    if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_OBJECT_PATH, &path,
                              DBUS_TYPE_INVALID) != 0 &&
        bus_copy(portal.request_path, sizeof portal.request_path, path) &&
        early != nullptr &&
        std::strcmp(dbus_message_get_path(early), path) == 0)
        error = take_response(portal, early);
    keep_early_response(portal, nullptr);
    return error;
}

// Takes every message the bus has sent, waiting at most `wait_ms` for the
// Response under way (0: only what has come already).
std::uint32_t read_answers(PortalRemoteDesktop &portal, int wait_ms)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(wait_ms);
    std::uint32_t error = 0;
    int left = 0;
    do {
        if (dbus_connection_read_write(portal.bus, left) == 0)
            return EPIPE;
        while (DBusMessage *message = dbus_connection_pop_message(portal.bus)) {
            // After a failure the rest is only taken off the queue.
            const char *path = dbus_message_get_path(message);
            // Only the portal's own signals, of their documented shape:
            // anyone on the bus may send one to our path.
            const bool ours =
                path != nullptr && error == 0 &&
                dbus_message_has_sender(message, portal.owner) != 0 &&
                (dbus_message_has_signature(message, "ua{sv}") != 0 ||
                 dbus_message_has_signature(message, "a{sv}") != 0);
            const bool response =
                ours && dbus_message_is_signal(message, request_interface,
                                               "Response") != 0;
            if (response && portal.request_path[0] != '\0' &&
                std::strcmp(path, portal.request_path) == 0)
                error = take_response(portal, message);
            else if (response && portal.late_reply != 0)
                keep_early_response(portal, message);
            else if (error == 0 && portal.late_reply != 0 &&
                     dbus_message_get_reply_serial(message) ==
                         portal.late_reply &&
                     dbus_message_has_sender(message, portal.owner) != 0)
                error = take_late_reply(portal, message);
            else if (ours &&
                     dbus_message_is_signal(message, session_interface,
                                            "Closed") != 0 &&
                     std::strcmp(path, portal.session_path) == 0)
                error = stopped;
            else if (error == 0 && portal_gone(portal, message))
                error = session_lost; // with its dialog, if one was open
            dbus_message_unref(message);
        }
        left = static_cast<int>(
            duration_cast<milliseconds>(deadline - steady_clock::now())
                .count());
    } while (error == 0 && portal.request_path[0] != '\0' && left > 0);
    if (dbus_connection_get_is_connected(portal.bus) == 0)
        return EPIPE;
    return error;
}

// Sent to the portal that made the session, by its unique name: one that
// has restarted since, under the same well-known name, would not know it.
std::uint32_t send_motion(PortalRemoteDesktop &portal,
                          Displacement displacement)
{
    DBusMessage *motion = dbus_message_new_method_call(
        portal.owner, service_path, portal_interface, "NotifyPointerMotion");
    const char *session = portal.session_path;
    const double dx = displacement.dx;
    const double dy = displacement.dy;
    DBusMessageIter args;
    DBusMessageIter no_options;
    if (motion != nullptr) {
        dbus_message_iter_init_append(motion, &args);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_OBJECT_PATH, &session);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}",
                                         &no_options);
        dbus_message_iter_close_container(&args, &no_options);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_DOUBLE, &dx);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_DOUBLE, &dy);
    }
    DBusError error;
    dbus_error_init(&error);
    DBusMessage *reply = bus_call(portal.bus, motion, &error);
    std::uint32_t code = 0;
    if (reply != nullptr)
        dbus_message_unref(reply);
    // The portal that held the session has gone (or restarted): a new
    // session is asked for on the next motion. It refuses a session that
    // the desktop has ended ("Invalid session").
    else if (dbus_error_has_name(&error, DBUS_ERROR_SERVICE_UNKNOWN) != 0 ||
             dbus_error_has_name(&error, DBUS_ERROR_NAME_HAS_NO_OWNER) != 0)
        code = session_lost;
    else if (dbus_error_has_name(&error, DBUS_ERROR_ACCESS_DENIED) != 0)
        code = stopped;
    else if ((code = code_for(error)) == not_offered)
        code = portal_failed;
    dbus_error_free(&error);
    return code;
}

} // namespace

void portal_close(PointerInjection &injection)
{
    drop_connection(injection.portal);
}

// The motion that starts the session waits for each Response at most
// bus_reply_timeout_ms, so a portal that asks nobody (a backend that allows
// it) takes it at once; a dialog that is still open leaves the session
// Starting, and later motions only look whether it has answered.
std::uint32_t portal_move_pointer(PointerInjection &injection,
                                  Displacement displacement)
{
    PortalRemoteDesktop &portal = injection.portal;
    if (portal.failure != 0)
        return portal.failure;
    std::uint32_t error = 0;
    int wait_ms = 0;
    if (portal.bus == nullptr) {
        if ((error = bus_connect(injection, portal.bus)) != 0)
            return error;
        if ((error = subscribe(portal.bus)) != 0) {
            drop_connection(portal);
            return error;
        }
    }
    // Asked again each motion while the bus has no portal: one may come.
    if (portal.owner[0] == '\0' && (error = find_portal(portal)) != 0) {
        if (error != not_offered)
            drop_connection(portal);
        return error;
    }
    if (portal.stage == PortalStage::none) {
        error = send_request(portal, PortalStage::creating);
        wait_ms = bus_reply_timeout_ms;
    }
    if (error == 0)
        error = read_answers(portal, wait_ms);
    if (error == 0 && portal.stage == PortalStage::started)
        error = send_motion(portal, displacement);
    else if (error == 0 && portal.stage == PortalStage::starting)
        error = EINPROGRESS;
    else if (error == 0 && ++portal.waited < request_patience)
        error = not_answered;
    else if (error == 0) {
        drop_connection(portal);
        error = not_answered;
    }
    switch (error) {
    case 0:
    case EINPROGRESS:
    case not_answered:
        break;
    case declined:
    case stopped:
        // The person's answer holds for the run, and the dispatcher stops
        // every way; a session closed at the lock is asked for again after
        // it, on this connection, which keeps the restore token.
        forget_session(portal);
        break;
    case portal_failed:
        // The portal's answer holds for the run: no new dialog.
        portal.failure = error;
        drop_connection(portal);
        break;
    default:
        drop_connection(portal);
    }
    return error;
}

void portal_rest(PointerInjection &injection)
{
    forget_session(injection.portal);
}

const char *portal_explain(std::uint32_t error_code)
{
    switch (error_code) {
    case not_offered:
        return "not offered here (no session bus, or no desktop portal with "
               "RemoteDesktop on it).";
    case EINPROGRESS:
        return "the desktop is asking in a dialog whether jiggle may control "
               "the pointer; allow it there (the motions go through once you "
               "do).";
    case declined:
        return "you declined jiggle's request to control the pointer (or "
               "allowed it without the pointer); jiggle asks no more this "
               "run. To allow it, start jiggle again and allow the pointer; "
               "to use no dialog at all, install jiggle's .desktop file on "
               "KDE Plasma or grant /dev/uinput (see 'man jiggle').";
    case stopped:
        return "the desktop closed jiggle's remote desktop session; jiggle "
               "asks no more this run. Start jiggle again to resume; to use "
               "no dialog at all, install jiggle's .desktop file on KDE "
               "Plasma or grant /dev/uinput (see 'man jiggle').";
    case not_answered:
        return "the desktop portal (or the session bus) did not answer within "
               "half a second; jiggle tries again on the next motion.";
    case session_lost:
        return "the desktop portal went away; jiggle asks it again on the "
               "next motion.";
    case EPIPE:
        return "the session bus connection broke; jiggle reconnects on the "
               "next motion.";
    case ENOMEM:
        return "out of memory.";
    default:
        return "the desktop portal failed jiggle's remote desktop request; "
               "jiggle asks no more this run (start jiggle again to retry; "
               "'journalctl --user -b' may say why).";
    }
}
