// Linux: each motion goes the first way, in the order below, that takes it
// in this session. A Wayland compositor's idle timer sees only what comes
// through the compositor itself (its own protocol or bus interface) or from
// a kernel device that it reads (uinput); XTEST there reaches Xwayland
// alone, so it does not count.
#include "linux_back_ends.h"

#include <cstdio>
#include <cstdlib>

namespace {

enum Session : unsigned { x11 = 1, wayland = 2, text_console = 4 };

struct Way {
    const char *name;
    unsigned sessions; // where it applies
    std::uint32_t (*move)(PointerInjection &, Displacement);
    void (*close)(PointerInjection &);
    const char *(*explain)(std::uint32_t);
};

// clang-format off
const Way ways[] = {
    // name                     applies in                     moves, closes, explains
    {"wlroots virtual pointer", wayland,                       wlr_move_pointer,    wayland_close, wlr_explain},
    {"KDE fake input",          wayland,                       kwin_move_pointer,   wayland_close, kwin_explain},
    {"GNOME remote desktop",    wayland,                       mutter_move_pointer, mutter_close,  mutter_explain},
    {"X11 XTEST",               x11,                           xtest_move_pointer,  xtest_close,   xtest_explain},
    {"uinput",                  wayland | x11 | text_console,  uinput_move_pointer, uinput_close,  uinput_explain},
};
// clang-format on

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
    delete injection;
}

// Every motion starts again at the top, so a compositor or X server that
// has come back, or a newly granted /dev/uinput, is picked up at once. A
// motion that no way takes is reported with the code of the first way the
// session offers: the one that tells the user what the session needs.
MotionOutcome inject_pointer_motion(PointerInjection &injection,
                                    Displacement displacement)
{
    ++injection.motions;
    char *text = injection.explanation;
    const std::size_t size = sizeof injection.explanation;
    std::size_t used = static_cast<std::size_t>(
        std::snprintf(text, size, "the pointer did not move."));
    std::uint32_t reported = not_offered;
    const char *said = nullptr;
    for (const Way &way : ways) {
        if ((way.sessions & injection.session) == 0)
            continue;
        const std::uint32_t error_code = way.move(injection, displacement);
        if (error_code == 0)
            return {1, 0, nullptr};
        if (reported == not_offered)
            reported = error_code;
        // Ways that share a connection fail alike: said once.
        const char *why = way.explain(error_code);
        if (used < size)
            used += static_cast<std::size_t>(
                std::snprintf(text + used, size - used, " %s: %s", way.name,
                              why == said ? "likewise." : why));
        said = why;
    }
    return {0, reported, text};
}
