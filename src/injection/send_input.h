// The Windows back end's send, visible to its tests with a replaceable
// SendInput.
#ifndef JIGGLE_SEND_INPUT_H
#define JIGGLE_SEND_INPUT_H

#include "pointer_injection.h"

#include <windows.h>

using send_input_function = UINT(WINAPI *)(UINT, LPINPUT, int);

// Sends the motion through `send`; a refusal carries GetLastError's code.
MotionOutcome send_pointer_motion(send_input_function send,
                                  Displacement displacement);

#endif
