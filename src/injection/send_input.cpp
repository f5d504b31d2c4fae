// Windows: one relative mouse move per call through SendInput.
#include "send_input.h"

#include <iostream>

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

} // namespace

void send_pointer_motion(send_input_function send, Displacement displacement)
{
    INPUT input = relative_motion_input(displacement);
    const UINT result = send(1, &input, static_cast<int>(sizeof(INPUT)));
    if (result == 1)
        return;
    // Read before anything is written: output may change the thread's code.
    const DWORD error_code = GetLastError();
    report_refused_motion(std::cout, result, error_code);
}

void inject_pointer_motion(Displacement displacement)
{
    send_pointer_motion(SendInput, displacement);
}
