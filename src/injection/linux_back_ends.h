// The Linux ways to move the pointer, one file each, behind
// inject_pointer_motion. Each way keeps its own part of the run's
// PointerInjection: *_move_pointer sends one relative motion and returns 0
// when it went through, or else an error code; *_close releases what the
// way holds (the two Wayland ways share wayland_close); *_explain says in
// words what a code means and what to do.
#ifndef JIGGLE_LINUX_BACK_ENDS_H
#define JIGGLE_LINUX_BACK_ENDS_H

#include "pointer_injection.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>

struct xcb_connection_t;
struct wl_display;
struct wl_registry;
struct wl_proxy;
struct wl_interface;
struct DBusConnection;
struct DBusMessage;
struct DBusError;

// A way whose interface this session does not have (the compositor does not
// offer it, its service is not on the bus): the next way is tried, and the
// report carries another way's code.
constexpr std::uint32_t not_offered = EOPNOTSUPP;

// The person at the desk has the last word: a way that they declined in its
// dialog, or whose session they (or their desktop) stopped, answers so; for
// the rest of the run no way moves the pointer or asks again.
constexpr std::uint32_t declined = ECANCELED;
constexpr std::uint32_t stopped = ESHUTDOWN;

// The desktop's own word: while its screen is locked no way is tried, and
// every motion is reported so; jiggle goes on at the unlock. A session that
// the desktop closed as the lock began was the lock's, not the person's.
constexpr std::uint32_t screen_locked = EAGAIN;

// The Wayland ways share one connection to the compositor a run: it is
// made on the first motion with one round trip, which lists the globals the
// compositor offers, and kept while the compositor lives, even where it
// offers neither way's global. The error codes are errno values, as
// libwayland reports them.

// A global that the compositor offers: its name in the registry (0 while
// not offered) and its version.
struct WaylandGlobal {
    std::uint32_t name = 0;
    std::uint32_t version = 0;
};

struct WaylandConnection {
    wl_display *display = nullptr;
    wl_registry *registry = nullptr;
    WaylandGlobal wlr_manager;
    WaylandGlobal kwin_fake_input;
    // The motion whose attempt to connect failed, and why: both ways see
    // the same failure, and the compositor is asked once a motion.
    unsigned failed_motion = 0;
    std::uint32_t failure = 0;
};

// wlroots compositors (sway, Hyprland, river, labwc): a virtual pointer
// from zwlr_virtual_pointer_manager_v1.
struct WlrVirtualPointer {
    wl_proxy *manager = nullptr;
    wl_proxy *pointer = nullptr;
};

// KDE Plasma (KWin): org_kde_kwin_fake_input, which KWin offers only to
// programs that a .desktop file names.
struct KwinFakeInput {
    wl_proxy *fake_input = nullptr;
};

// The session bus, for the ways that speak to the desktop over D-Bus and
// for the desktop watch: private connections of jiggle's own (registered,
// within the bound below), on the bus the desktop's programs find; none is
// ever started. Connecting answers 0, or not_offered (no bus here, or it
// went away) or ETIMEDOUT.
// Closes the connection and sets it to nullptr; safe to call twice.
void bus_close(DBusConnection *&bus);
// Copies a name or path that the bus gave (nullptr: none) into `to`, of
// `size` bytes, where it fits; false where it does not.
bool bus_copy(char *to, std::size_t size, const char *from);
// bus_connect for the ways and the desktop watch alike: the bus is asked
// once a motion, and one that failed just now is not asked again in it.
std::uint32_t bus_connect(PointerInjection &injection, DBusConnection *&bus);
// A method call with up to two string arguments; nullptr if out of memory.
DBusMessage *bus_method_call(const char *destination, const char *path,
                             const char *interface, const char *method,
                             const char *first = nullptr,
                             const char *second = nullptr);
// Sends `message` (taking it over; nullptr counts as out of memory) and waits
// for its reply, at most bus_reply_timeout_ms: the reply (to unref), or
// nullptr with `error` set.
DBusMessage *bus_call(DBusConnection *bus, DBusMessage *message,
                      DBusError *error);
// A desktop service answers in well under a millisecond when it is alive;
// one (or a bus) that stopped answering costs a cycle half a second, not the
// bus's 25 s default.
constexpr int bus_reply_timeout_ms = 500;

// What the desktop says on the session bus, followed rather than asked:
// whether its screen is locked, through the screensaver service that each
// desktop has (GetActive, ActiveChanged), and which of the names below have
// an owner. Its own connection, made once a run and read without waiting at
// every motion: the D-Bus ways' connections carry their sessions, which end
// with them.
constexpr std::size_t watched_names = 7;

struct DesktopWatch {
    DBusConnection *bus = nullptr;
    // Each watched name's owner (its unique name, "" while it has none),
    // and whether that screensaver says it is active.
    char owners[watched_names][64] = {};
    bool active[watched_names] = {};
    unsigned locks = 0; // times a screensaver said it is active
};

// GNOME (mutter): a session of org.gnome.Mutter.RemoteDesktop on the
// session bus.
struct MutterRemoteDesktop {
    DBusConnection *bus = nullptr;
    char session_path[128] = "";
    char owner[64] = ""; // mutter's unique name when it made the session
};

// Any desktop with the RemoteDesktop portal (COSMIC, and KDE Plasma or
// GNOME where their own ways are closed to jiggle): a session of
// org.freedesktop.portal.RemoteDesktop, whose Start asks the person at the
// desk. Each stage waits for the Response to its request, whose path is
// request_path.
enum class PortalStage { none, creating, selecting, starting, started };

struct PortalRemoteDesktop {
    DBusConnection *bus = nullptr;
    // The portal's unique name, which holds the session; empty until the
    // portal is found on the bus.
    char owner[64] = "";
    PortalStage stage = PortalStage::none;
    std::uint32_t version = 0; // of its RemoteDesktop interface
    unsigned requests = 0;     // each request's handle_token is new
    unsigned waited = 0;       // motions since the request under way
    char request_path[256] = "";
    // A request whose reply was late: its serial, and a Response that came
    // before the reply on a path other than the one its handle_token makes.
    std::uint32_t late_reply = 0;
    DBusMessage *early_response = nullptr;
    char session_path[256] = "";
    // What the portal gave to restore the person's consent without a dialog
    // (RemoteDesktop 2 and later): for this connection, kept in memory only.
    char restore_token[128] = "";
    // The portal failed a request: it is not asked again this run.
    std::uint32_t failure = 0;
};

struct PointerInjection {
    unsigned session; // where the run is: a bit of Session (linux.cpp)
    unsigned motions; // counted from 1
    WaylandConnection wayland;
    WlrVirtualPointer wlr;
    KwinFakeInput kwin;
    MutterRemoteDesktop mutter;
    xcb_connection_t *x_connection = nullptr;
    int uinput_device = -1;
    PortalRemoteDesktop portal;
    DesktopWatch watch;
    // The motion whose connection to the session bus failed, and why: the
    // bus is asked once a motion.
    unsigned bus_failed_motion = 0;
    std::uint32_t bus_failure = 0;
    // What the person said (declined, stopped), once they have said it.
    std::uint32_t last_word = 0;
    bool resting = false; // the screen is locked: nothing is held for it
    char explanation[1536];
};

// Connects, or reads what the compositor has sent since the last call
// without waiting for more; 0 when connected. A lost connection is closed
// and made anew; one the compositor closed over jiggle's requests is
// reported first.
std::uint32_t wayland_connect(PointerInjection &injection);
// Sends the requests made since the last call; with `confirm`, waits until
// the compositor has taken them (a new device's first motion). Closes a
// broken connection.
std::uint32_t wayland_flush(PointerInjection &injection, bool confirm);
// Releases the connection and what the ways made on it: both ways' close,
// safe to call twice.
void wayland_close(PointerInjection &injection);
// Says what a connection error means, for the ways' explanations.
const char *wayland_explain(std::uint32_t error_code);

// The globals the Wayland ways bind: the wlroots manager, written out in
// wlr_virtual_pointer.cpp, and KWin's fake input, made by wayland-scanner.
extern "C" const wl_interface zwlr_virtual_pointer_manager_v1_interface;
extern "C" const wl_interface org_kde_kwin_fake_input_interface;

std::uint32_t wlr_move_pointer(PointerInjection &injection,
                               Displacement displacement);
const char *wlr_explain(std::uint32_t error_code);

std::uint32_t kwin_move_pointer(PointerInjection &injection,
                                Displacement displacement);
const char *kwin_explain(std::uint32_t error_code);

// Connects the watch on the first motion (and after the bus went away),
// then takes what the bus has sent, without waiting.
void watch_desktop(PointerInjection &injection);
// Whether a screensaver on the bus says the screen is locked (or blanked).
bool desktop_locked(const PointerInjection &injection);
// Waits at most `bound` for the desktop to say that its screen is locked:
// at once false where no screensaver is on the bus to say it.
bool desktop_locks_within(PointerInjection &injection,
                          std::chrono::milliseconds bound);
// False only where the watch knows that mutter is not on the bus.
bool mutter_on_bus(const PointerInjection &injection);
void watch_close(PointerInjection &injection);

std::uint32_t mutter_move_pointer(PointerInjection &injection,
                                  Displacement displacement);
void mutter_close(PointerInjection &injection);
const char *mutter_explain(std::uint32_t error_code);

// X11 through the XTEST extension; the error code is libxcb's connection
// error (1 to 7, see xcb_connection_has_error).
std::uint32_t xtest_move_pointer(PointerInjection &injection,
                                 Displacement displacement);
void xtest_close(PointerInjection &injection);
const char *xtest_explain(std::uint32_t error_code);

// Any session through a virtual pointer made with /dev/uinput; the error
// code is errno (2: no uinput, 13: no permission to write /dev/uinput).
std::uint32_t uinput_move_pointer(PointerInjection &injection,
                                  Displacement displacement);
void uinput_close(PointerInjection &injection);
const char *uinput_explain(std::uint32_t error_code);

std::uint32_t portal_move_pointer(PointerInjection &injection,
                                  Displacement displacement);
void portal_close(PointerInjection &injection);
// Ends the session, the dialog with it, and keeps the connection, on which
// the portal may restore the consent without asking again.
void portal_rest(PointerInjection &injection);
const char *portal_explain(std::uint32_t error_code);

// The name the virtual pointer shows to udev, libinput and evtest.
constexpr char uinput_device_name[] = "jiggle virtual pointer";

// How long the first motion waits after the device is created. Until udev
// has announced the new device and the compositor (or X server) has opened
// its event node, the kernel drops what the device sends while write()
// still succeeds. Paid once per created device; later motions keep the
// fixed delay.
constexpr std::chrono::milliseconds uinput_settle_delay(500);

#endif
