// KDE Plasma: KWin's fake input (org_kde_kwin_fake_input). KWin offers the
// global only to a program that a .desktop file names, by its absolute path
// in Exec and with X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input; it
// then grants authenticate without asking, and ignores motions sent before
// it. The protocol has no frame: each motion stands alone.
#include "linux_back_ends.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include <unistd.h>
#include <wayland-client.h>

#include "fake-input-client.h"

namespace {

constexpr char application[] = "jiggle";
constexpr char reason[] = "Nudges the pointer now and then to keep the "
                          "session from going idle";

// KWin 6 (KDE Frameworks 6) reads .desktop files only through the
// application menu, ${XDG_MENU_PREFIX}applications.menu (or
// applications.menu) under menus/ in $XDG_CONFIG_HOME or $XDG_CONFIG_DIRS:
// a Plasma session has plasma-applications.menu and sets the prefix. KWin 5
// reads kf5-applications.menu, which its frameworks install. Looked for
// once a run, only to explain.
bool application_menu_found()
{
    const char *prefix = std::getenv("XDG_MENU_PREFIX");
    const char *config_home = std::getenv("XDG_CONFIG_HOME");
    const char *home = std::getenv("HOME");
    const char *config_dirs = std::getenv("XDG_CONFIG_DIRS");
    std::string dirs =
        config_home != nullptr && config_home[0] == '/'
            ? config_home
            : std::string(home != nullptr ? home : "") + "/.config";
    dirs += ':';
    dirs += config_dirs != nullptr && config_dirs[0] != '\0' ? config_dirs
                                                             : "/etc/xdg";
    const std::string menus[] = {std::string(prefix != nullptr ? prefix : "") +
                                     "applications.menu",
                                 "applications.menu", "kf5-applications.menu"};
    std::string path;
    for (std::size_t start = 0, end; start < dirs.size(); start = end + 1) {
        end = std::min(dirs.find(':', start), dirs.size());
        if (dirs[start] != '/') // relative entries do not count
            continue;
        for (const std::string &menu : menus) {
            path.assign(dirs, start, end - start)
                .append("/menus/")
                .append(menu);
            if (access(path.c_str(), R_OK) == 0)
                return true;
        }
    }
    return false;
}

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
    static const bool menu_found = application_menu_found();
    if (error_code == not_offered && !menu_found)
        return "KWin (KDE Plasma) offers it only to programs that a .desktop "
               "file names, and KWin 6 finds that file only through the "
               "application menu, which this session lacks (no "
               "${XDG_MENU_PREFIX}applications.menu in a menus directory of "
               "$XDG_CONFIG_DIRS): run jiggle in a Plasma session, which has "
               "the menu and sets XDG_MENU_PREFIX=plasma-, or see 'man "
               "jiggle'; other compositors lack it.";
    if (error_code == not_offered)
        return "KWin (KDE Plasma) offers it only to programs that a .desktop "
               "file names: install jiggle's, with Exec= the absolute path "
               "of the jiggle executable and "
               "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input, in "
               "~/.local/share/applications; other compositors lack it.";
    return wayland_explain(error_code);
}
