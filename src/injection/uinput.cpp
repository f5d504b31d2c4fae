// Linux without X (Wayland, the text console): relative motions from a
// virtual pointer that the kernel's uinput module creates for us. libinput
// and the compositor see it as a mouse, so the motion counts as user
// activity wherever the session's input comes from the kernel.
#include "linux_back_ends.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr char uinput_path[] = "/dev/uinput";

// udev and libinput take a relative device for a mouse only when it also
// has a left button; the button is never pressed.
int create_device(int &device)
{
    device = open(uinput_path, O_WRONLY | O_CLOEXEC);
    if (device < 0)
        return errno;
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::strncpy(setup.name, uinput_device_name, UINPUT_MAX_NAME_SIZE - 1);
    if (ioctl(device, UI_SET_EVBIT, EV_REL) < 0 ||
        ioctl(device, UI_SET_RELBIT, REL_X) < 0 ||
        ioctl(device, UI_SET_RELBIT, REL_Y) < 0 ||
        ioctl(device, UI_SET_EVBIT, EV_KEY) < 0 ||
        ioctl(device, UI_SET_KEYBIT, BTN_LEFT) < 0 ||
        ioctl(device, UI_DEV_SETUP, &setup) < 0 ||
        ioctl(device, UI_DEV_CREATE) < 0) {
        const int error = errno;
        close(device);
        device = -1;
        return error;
    }
    std::this_thread::sleep_for(uinput_settle_delay);
    return 0;
}

input_event make_event(std::uint16_t type, std::uint16_t code,
                       std::int32_t value)
{
    input_event event{}; // the kernel stamps the time itself
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}

} // namespace

// The kernel destroys the device when its descriptor is closed, at the
// latest when the process ends.
void uinput_close(PointerInjection &injection)
{
    if (injection.uinput_device >= 0)
        close(injection.uinput_device);
    injection.uinput_device = -1;
}

std::uint32_t uinput_move_pointer(PointerInjection &injection,
                                  Displacement displacement)
{
    int &device = injection.uinput_device;
    if (device < 0) {
        if (int error = create_device(device))
            return static_cast<std::uint32_t>(error);
    }
    // One write, so that a reader never sees half a motion.
    const input_event frame[] = {
        make_event(EV_REL, REL_X, displacement.dx),
        make_event(EV_REL, REL_Y, displacement.dy),
        make_event(EV_SYN, SYN_REPORT, 0),
    };
    const ssize_t written = write(device, frame, sizeof frame);
    if (written == static_cast<ssize_t>(sizeof frame))
        return 0;
    // A short write leaves errno alone; count it as an I/O error.
    const int error = written < 0 ? errno : EIO;
    uinput_close(injection);
    return static_cast<std::uint32_t>(error);
}

const char *uinput_explain(std::uint32_t error_code)
{
    switch (error_code) {
    case ENOENT:
    case ENODEV:
        return "/dev/uinput is missing: the uinput module is not loaded; "
               "load it with 'sudo modprobe uinput'.";
    case EACCES:
        return "this user may not write /dev/uinput; install the udev rule "
               "70-jiggle-uinput.rules or use the input group (see 'man "
               "jiggle').";
    case EPERM:
        return "not permitted to use /dev/uinput (a container or sandbox?); "
               "run jiggle outside it, or pass the device in.";
    default:
        return "the virtual pointer failed.";
    }
}
