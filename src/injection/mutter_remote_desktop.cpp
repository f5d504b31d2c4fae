// GNOME: a mutter RemoteDesktop session on the session bus.
#include "linux_back_ends.h"

std::uint32_t mutter_move_pointer(PointerInjection & /*injection*/,
                                  Displacement /*displacement*/)
{
    return not_offered;
}

void mutter_close(PointerInjection & /*injection*/) {}

const char *mutter_explain(std::uint32_t /*error_code*/)
{
    return "not offered here.";
}
