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

// Used by the worker thread alone; kept open from one cycle to the next.
// The kernel destroys the device when the descriptor is closed, at the
// latest when the process ends.
int device = -1;

void close_device()
{
    close(device);
    device = -1;
}

// udev and libinput take a relative device for a mouse only when it also
// has a left button; the button is never pressed.
int create_device()
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
        close_device();
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

std::uint32_t uinput_move_pointer(Displacement displacement)
{
    if (device < 0) {
        if (int error = create_device())
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
    close_device();
    return static_cast<std::uint32_t>(error);
}
