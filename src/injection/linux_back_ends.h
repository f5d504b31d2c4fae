// The Linux back ends behind inject_pointer_motion. Each sends one relative
// motion and returns 0 when it was accepted, or else its error code.
#ifndef JIGGLE_LINUX_BACK_ENDS_H
#define JIGGLE_LINUX_BACK_ENDS_H

#include "pointer_injection.h"

#include <chrono>
#include <cstdint>

// X11 through the XTEST extension; the error code is libxcb's connection
// error (1 to 7, see xcb_connection_has_error).
std::uint32_t xtest_move_pointer(Displacement displacement);

// Any Linux session (Wayland, X11, the text console) through a virtual
// pointer made with /dev/uinput; the error code is errno (2: no uinput,
// 13: no permission to write /dev/uinput).
std::uint32_t uinput_move_pointer(Displacement displacement);

// The name the virtual pointer shows to udev, libinput and evtest.
constexpr char uinput_device_name[] = "jiggle virtual pointer";

// How long the first motion waits after the device is created. Until udev
// has announced the new device and the compositor (or X server) has opened
// its event node, the kernel drops what the device sends while write()
// still succeeds. Paid once per created device; later motions keep the
// fixed delay.
constexpr std::chrono::milliseconds uinput_settle_delay(500);

#endif
