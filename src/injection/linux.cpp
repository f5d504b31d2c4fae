// Linux: each motion goes the first way, in the order below, that takes it
// in this session. A Wayland compositor's idle timer sees only what comes
// through the compositor itself (its own protocol or bus interface) or from
// a kernel device that it reads (uinput); XTEST there reaches Xwayland
// alone, so it does not count.
#include "linux_back_ends.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

enum Session : unsigned { x11 = 1, wayland = 2, text_console = 4 };

struct Way {
    const char *name;
    unsigned sessions; // where it applies
    // Reported only where the session offers no other way: it works
    // everywhere once granted, and says only that it is not.
    bool fallback;
    std::uint32_t (*move)(PointerInjection &, Displacement);
    void (*close)(PointerInjection &);
    // At the lock: lets go of a session that the desktop would end or
    // refuse behind its lock screen (nullptr: nothing to let go of).
    void (*rest)(PointerInjection &);
    const char *(*explain)(std::uint32_t);
};

// clang-format off
const Way ways[] = {
    // name                     applies in                    fallback  moves, closes, rests, explains
    {"wlroots virtual pointer", wayland,                      false, wlr_move_pointer,    wayland_close, nullptr,      wlr_explain},
    {"KDE fake input",          wayland,                      false, kwin_move_pointer,   wayland_close, nullptr,      kwin_explain},
    {"GNOME remote desktop",    wayland,                      false, mutter_move_pointer, mutter_close,  mutter_close, mutter_explain},
    {"X11 XTEST",               x11,                          false, xtest_move_pointer,  xtest_close,   nullptr,      xtest_explain},
    {"uinput",                  wayland | x11 | text_console, true,  uinput_move_pointer, uinput_close,  nullptr,      uinput_explain},
    // Last: its dialog asks the person, where no silent way works.
    {"desktop portal",          wayland,                      false, portal_move_pointer, portal_close,  portal_rest,  portal_explain},
};
// clang-format on

// How long a session that the desktop closed waits for the desktop to say
// that its screen is locking. GNOME Shell closes remote desktop sessions as
// its lock screen begins and says it is locked once the lock screen has
// slid in, some 0.3 to 0.5 s later.
constexpr std::chrono::milliseconds lock_grace(1000);

// The session does not change during a run.
unsigned this_session()
{
    if (std::getenv("WAYLAND_DISPLAY") != nullptr)
        return wayland;
    return std::getenv("DISPLAY") != nullptr ? x11 : text_console;
}

} // namespace

PointerInjection *open_pointer_injection()
{
    auto *injection = new PointerInjection{};
    injection->session = this_session();
    return injection;
}

void close_pointer_injection(PointerInjection *injection)
{
    for (const Way &way : ways)
        way.close(*injection);
    watch_close(*injection);
    delete injection;
}

namespace {

void let_go_for_the_lock(PointerInjection &injection)
{
    for (const Way &way : ways)
        if (way.rest != nullptr)
            way.rest(injection);
}

// While the screen is locked no way is tried; the first motion after the
// unlock opens what it needs anew.
MotionOutcome rest_while_locked(PointerInjection &injection)
{
    if (!injection.resting)
        let_go_for_the_lock(injection);
    injection.resting = true;
    std::snprintf(injection.explanation, sizeof injection.explanation,
                  "the screen is locked; jiggle goes on when you unlock it.");
    return {0, screen_locked, injection.explanation};
}

} // namespace

// Every motion starts again at the top, so a compositor or X server that
// has come back, or a newly granted /dev/uinput, is picked up at once. A
// motion that no way takes is reported with the code of the first way the
// session offers (uinput's where it offers no other): the one that tells
// the user what the session needs. Once the person at the desk has declined
// or stopped a way, every motion is reported so, and no way is tried. A
// session that the desktop closed as its screen locked was not stopped by
// the person: the lock may be announced a moment after the close, or have
// come and gone since the last motion.
MotionOutcome inject_pointer_motion(PointerInjection &injection,
                                    Displacement displacement)
{
    char *text = injection.explanation; // kept along with the last word
    if (injection.last_word != 0)
        return {0, injection.last_word, text};
    ++injection.motions;
    const unsigned locks = injection.watch.locks;
    watch_desktop(injection);
    if (desktop_locked(injection))
        return rest_while_locked(injection);
    if (injection.watch.locks != locks && !injection.resting)
        let_go_for_the_lock(injection);
    injection.resting = false;
    const std::size_t size = sizeof injection.explanation;
    std::size_t used = static_cast<std::size_t>(
        std::snprintf(text, size, "the pointer did not move."));
    std::uint32_t reported = not_offered;
    std::uint32_t fallback = not_offered;
    const char *said = nullptr;
    for (const Way &way : ways) {
        if ((way.sessions & injection.session) == 0)
            continue;
        const std::uint32_t error_code = way.move(injection, displacement);
        if (error_code == 0)
            return {1, 0, nullptr};
        std::uint32_t &first = way.fallback ? fallback : reported;
        if (first == not_offered)
            first = error_code;
        // Ways that share a connection fail alike: said once.
        const char *why = way.explain(error_code);
        if (used < size)
            used += static_cast<std::size_t>(
                std::snprintf(text + used, size - used, " %s: %s", way.name,
                              why == said ? "likewise." : why));
        said = why;
        if (error_code == declined || error_code == stopped) {
            if (desktop_locks_within(injection, lock_grace))
                return rest_while_locked(injection);
            injection.last_word = error_code;
            return {0, error_code, text};
        }
    }
    return {0, reported != not_offered ? reported : fallback, text};
}
