// wlroots compositors (sway, Hyprland, river, labwc): a virtual pointer of
// the compositor's own, from wlr-virtual-pointer-unstable-v1. No Debian
// package carries that protocol's XML, so its two interfaces are written
// out here as the requests' names and signatures, by opcode; neither has
// events.
#include "linux_back_ends.h"

#include <algorithm>
#include <ctime>
#include <iterator>

#include <wayland-client.h>

namespace {

// Requests by opcode, those jiggle sends.
constexpr std::uint32_t create_virtual_pointer = 0;
constexpr std::uint32_t motion = 0;
constexpr std::uint32_t frame = 4;

// The protocol's version as written here; jiggle sends version 1's
// requests only, so it binds whatever version up to this one is offered.
constexpr std::uint32_t protocol_version = 2;

extern const wl_interface pointer_interface;

// Each request's interface per argument: null but for objects.
const wl_interface *no_objects[5] = {};
const wl_interface *create_types[] = {&wl_seat_interface, &pointer_interface};
const wl_interface *create_with_output_types[] = {
    &wl_seat_interface, &wl_output_interface, &pointer_interface};

const wl_message manager_requests[] = {
    {"create_virtual_pointer", "?on", create_types}, // 0
    {"destroy", "", no_objects},                     // 1
    {"create_virtual_pointer_with_output", "2?o?on", create_with_output_types},
};

const wl_message pointer_requests[] = {
    {"motion", "uff", no_objects},            // 0
    {"motion_absolute", "uuuuu", no_objects}, // 1
    {"button", "uuu", no_objects},            // 2
    {"axis", "uuf", no_objects},              // 3
    {"frame", "", no_objects},                // 4
    {"axis_source", "u", no_objects},         // 5
    {"axis_stop", "uu", no_objects},          // 6
    {"axis_discrete", "uufi", no_objects},    // 7
    {"destroy", "", no_objects},              // 8
};

const wl_interface pointer_interface = {
    "zwlr_virtual_pointer_v1",
    protocol_version,
    static_cast<int>(std::size(pointer_requests)),
    pointer_requests,
    0,
    nullptr};

// The events' time stamps: milliseconds of an unspecified base.
std::uint32_t now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000 +
                                      now.tv_nsec / 1000000);
}

} // namespace

extern "C" const wl_interface zwlr_virtual_pointer_manager_v1_interface = {
    "zwlr_virtual_pointer_manager_v1",
    protocol_version,
    static_cast<int>(std::size(manager_requests)),
    manager_requests,
    0,
    nullptr};

// One virtual pointer for the run, on the compositor's default seat (a
// null seat).
std::uint32_t wlr_move_pointer(PointerInjection &injection,
                               Displacement displacement)
{
    if (std::uint32_t error = wayland_connect(injection))
        return error;
    WlrVirtualPointer &wlr = injection.wlr;
    const bool created = wlr.pointer == nullptr;
    if (created) {
        const WaylandGlobal &offered = injection.wayland.wlr_manager;
        if (offered.name == 0)
            return not_offered;
        const std::uint32_t version =
            std::min(protocol_version, offered.version);
        wlr.manager = static_cast<wl_proxy *>(wl_registry_bind(
            injection.wayland.registry, offered.name,
            &zwlr_virtual_pointer_manager_v1_interface, version));
        wlr.pointer = wl_proxy_marshal_flags(
            wlr.manager, create_virtual_pointer, &pointer_interface, version, 0,
            nullptr, nullptr);
    }
    // The compositor takes a motion in when its frame comes.
    wl_proxy_marshal_flags(wlr.pointer, motion, nullptr,
                           wl_proxy_get_version(wlr.pointer), 0, now_ms(),
                           wl_fixed_from_int(displacement.dx),
                           wl_fixed_from_int(displacement.dy));
    wl_proxy_marshal_flags(wlr.pointer, frame, nullptr,
                           wl_proxy_get_version(wlr.pointer), 0);
    // A compositor that refuses the pointer says so at once.
    return wayland_flush(injection, created);
}

const char *wlr_explain(std::uint32_t error_code)
{
    if (error_code == not_offered)
        return "the compositor does not offer it; wlroots compositors (sway, "
               "Hyprland, river, labwc) do.";
    return wayland_explain(error_code);
}
