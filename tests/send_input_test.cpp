// The Windows back end with a stand-in for SendInput, run under Wine.
#include "send_input.h"

#include <gtest/gtest.h>

namespace {

UINT fake_result;
INPUT sent;
int sent_size;

UINT WINAPI fake_send_input(UINT count, LPINPUT inputs, int size)
{
    EXPECT_EQ(count, 1U);
    sent = inputs[0];
    sent_size = size;
    SetLastError(ERROR_ACCESS_DENIED);
    return fake_result;
}

TEST(SendInput, OneRelativeMoveAndTheRefusalsCode)
{
    fake_result = 1;
    MotionOutcome outcome = send_pointer_motion(fake_send_input, {3, -11});
    EXPECT_EQ(outcome.accepted, 1U);
    EXPECT_EQ(sent_size, static_cast<int>(sizeof(INPUT)));
    EXPECT_EQ(sent.mi.dwFlags, DWORD{MOUSEEVENTF_MOVE});
    EXPECT_EQ(sent.mi.dx, 3);
    EXPECT_EQ(sent.mi.dy, -11);

    fake_result = 0;
    outcome = send_pointer_motion(fake_send_input, {3, -11});
    EXPECT_EQ(outcome.accepted, 0U);
    EXPECT_EQ(outcome.error_code, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_NE(outcome.explanation, nullptr);
}

} // namespace
