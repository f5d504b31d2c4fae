// The Windows back end's pieces, visible to its tests: the record it sends
// and the send itself with a replaceable SendInput.
#ifndef JIGGLE_SEND_INPUT_H
#define JIGGLE_SEND_INPUT_H

#include "pointer_injection.h"

#include <windows.h>

using send_input_function = UINT(WINAPI *)(UINT, LPINPUT, int);

// One relative mouse move by (dx, dy): no button, wheel, time or extra data.
INPUT relative_motion_input(Displacement displacement);

// Sends the motion through `send` and reports a refusal with GetLastError.
void send_pointer_motion(send_input_function send, Displacement displacement);

#endif
