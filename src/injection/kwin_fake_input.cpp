// KDE Plasma: KWin's fake input, for programs a .desktop file names.
#include "linux_back_ends.h"

std::uint32_t kwin_move_pointer(PointerInjection & /*injection*/,
                                Displacement /*displacement*/)
{
    return not_offered;
}

void kwin_close(PointerInjection & /*injection*/) {}

const char *kwin_explain(std::uint32_t /*error_code*/)
{
    return "not offered here.";
}
