// Linux: the motion goes to the X server through XTEST in an X11 session,
// and through a uinput virtual pointer on Wayland (where XTEST reaches only
// Xwayland, not the compositor's idle timer) and on the text console.
#include "linux_back_ends.h"

#include <cstdlib>
#include <iostream>

namespace {

using back_end = std::uint32_t (*)(Displacement);

bool x11_session()
{
    return std::getenv("WAYLAND_DISPLAY") == nullptr &&
           std::getenv("DISPLAY") != nullptr;
}

} // namespace

// The session does not change during a run, so the environment is read
// once. Every cycle tries the chosen back end first and the other one only
// when the chosen one refuses, so a restarted X server or a newly granted
// /dev/uinput is picked up again on the next cycle. A motion that both
// refuse is reported with the chosen back end's error: that is the one that
// tells the user what the session needs.
void inject_pointer_motion(Displacement displacement)
{
    static const bool x11 = x11_session();
    static const back_end chosen =
        x11 ? xtest_move_pointer : uinput_move_pointer;
    static const back_end other =
        x11 ? uinput_move_pointer : xtest_move_pointer;
    const std::uint32_t error_code = chosen(displacement);
    if (error_code != 0 && other(displacement) != 0)
        report_refused_motion(std::cout, 0, error_code);
}
