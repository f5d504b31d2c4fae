// Windows: one relative mouse move per call through SendInput.
#include "send_input.h"

// SendInput needs nothing kept between motions.
struct PointerInjection {};

namespace {

// One relative mouse move by (dx, dy): no button, wheel, time or extra data.
INPUT relative_motion_input(Displacement displacement)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = displacement.dx;
    input.mi.dy = displacement.dy;
    input.mi.mouseData = 0;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    input.mi.time = 0;
    input.mi.dwExtraInfo = 0;
    return input;
}

const char *explain(DWORD error_code)
{
    if (error_code == ERROR_ACCESS_DENIED)
        return "Windows refused the motion (SendInput): the desktop that has "
               "the input is out of reach, as while the workstation is locked "
               "or a UAC prompt shows. Motions go through again once the "
               "normal desktop is back.";
    return "Windows refused the motion (SendInput); the error code is a "
           "Windows system error code.";
}

} // namespace

MotionOutcome send_pointer_motion(send_input_function send,
                                  Displacement displacement)
{
    INPUT input = relative_motion_input(displacement);
    const UINT result = send(1, &input, static_cast<int>(sizeof(INPUT)));
    if (result == 1)
        return {1, 0, nullptr};
    // Read at once: any later call may change the thread's code.
    const DWORD error_code = GetLastError();
    return {result, error_code, explain(error_code)};
}

PointerInjection *open_pointer_injection()
{
    return new PointerInjection{};
}

void close_pointer_injection(PointerInjection *injection)
{
    delete injection;
}

MotionOutcome inject_pointer_motion(PointerInjection & /*injection*/,
                                    Displacement displacement)
{
    return send_pointer_motion(SendInput, displacement);
}
