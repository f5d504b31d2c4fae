// KDE Plasma: KWin's fake input (org_kde_kwin_fake_input). KWin offers the
// global only to a program that a .desktop file names, by its absolute path
// in Exec and with X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input; it
// then grants authenticate without asking, and ignores motions sent before
// it. The protocol has no frame: each motion stands alone.
#include "linux_back_ends.h"

#include <algorithm>

#include <wayland-client.h>

#include "fake-input-client.h"

namespace {

constexpr char application[] = "jiggle";
constexpr char reason[] = "Nudges the pointer now and then to keep the "
                          "session from going idle";

} // namespace

std::uint32_t kwin_move_pointer(PointerInjection &injection,
                                Displacement displacement)
{
    if (std::uint32_t error = wayland_connect(injection))
        return error;
    wl_proxy *&fake_input = injection.kwin.fake_input;
    const bool created = fake_input == nullptr;
    if (created) {
        const WaylandGlobal &offered = injection.wayland.kwin_fake_input;
        if (offered.name == 0)
            return not_offered;
        const auto version =
            std::min(static_cast<std::uint32_t>(
                         org_kde_kwin_fake_input_interface.version),
                     offered.version);
        fake_input = static_cast<wl_proxy *>(
            wl_registry_bind(injection.wayland.registry, offered.name,
                             &org_kde_kwin_fake_input_interface, version));
        wl_proxy_marshal_flags(fake_input, ORG_KDE_KWIN_FAKE_INPUT_AUTHENTICATE,
                               nullptr, version, 0, application, reason);
    }
    wl_proxy_marshal_flags(fake_input, ORG_KDE_KWIN_FAKE_INPUT_POINTER_MOTION,
                           nullptr, wl_proxy_get_version(fake_input), 0,
                           wl_fixed_from_int(displacement.dx),
                           wl_fixed_from_int(displacement.dy));
    // A compositor that refuses jiggle says so at once.
    return wayland_flush(injection, created);
}

const char *kwin_explain(std::uint32_t error_code)
{
    if (error_code == not_offered)
        return "KWin (KDE Plasma) offers it only to programs that a .desktop "
               "file names: install jiggle's, with Exec= the absolute path "
               "of the jiggle executable and "
               "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input, in "
               "~/.local/share/applications; other compositors lack it.";
    return wayland_explain(error_code);
}
