// wlroots compositors (sway, Hyprland, river, labwc): the compositor's own
// virtual pointer.
#include "linux_back_ends.h"

std::uint32_t wlr_move_pointer(PointerInjection & /*injection*/,
                               Displacement /*displacement*/)
{
    return not_offered;
}

void wlr_close(PointerInjection & /*injection*/) {}

const char *wlr_explain(std::uint32_t /*error_code*/)
{
    return "not offered here.";
}
