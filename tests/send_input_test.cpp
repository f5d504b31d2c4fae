// The Windows back end, run as a Windows executable (under Wine here).
#include "send_input.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

struct SendCall {
    UINT count = 0;
    INPUT input{};
    int size = 0;
    int calls = 0;
};
SendCall last_call;
UINT fake_result = 1;
DWORD fake_error = 0;

UINT WINAPI fake_send_input(UINT count, LPINPUT inputs, int size)
{
    last_call.count = count;
    last_call.input = inputs[0];
    last_call.size = size;
    ++last_call.calls;
    SetLastError(fake_error);
    return fake_result;
}

std::string send_capturing_stdout(Displacement d)
{
    std::ostringstream captured;
    std::streambuf *saved = std::cout.rdbuf(captured.rdbuf());
    send_pointer_motion(fake_send_input, d);
    std::cout.rdbuf(saved);
    return captured.str();
}

TEST(SendInput, RecordIsOneRelativeMoveAndNothingElse)
{
    EXPECT_EQ(sizeof(INPUT), 40U);
    const INPUT input = relative_motion_input({-7, 11});
    EXPECT_EQ(input.type, static_cast<DWORD>(INPUT_MOUSE));
    EXPECT_EQ(input.mi.dx, -7);
    EXPECT_EQ(input.mi.dy, 11);
    EXPECT_EQ(input.mi.mouseData, 0U);
    EXPECT_EQ(input.mi.dwFlags, static_cast<DWORD>(MOUSEEVENTF_MOVE));
    EXPECT_EQ(input.mi.time, 0U);
    EXPECT_EQ(input.mi.dwExtraInfo, 0U);
}

TEST(SendInput, AcceptedMotionSendsOneRecordAndWritesNothing)
{
    last_call = {};
    fake_result = 1;
    fake_error = 0;
    EXPECT_EQ(send_capturing_stdout({3, -1}), "");
    EXPECT_EQ(last_call.calls, 1);
    EXPECT_EQ(last_call.count, 1U);
    EXPECT_EQ(last_call.size, 40);
    EXPECT_EQ(last_call.input.mi.dx, 3);
    EXPECT_EQ(last_call.input.mi.dy, -1);
    EXPECT_EQ(last_call.input.mi.dwFlags, static_cast<DWORD>(MOUSEEVENTF_MOVE));
}

TEST(SendInput, RefusalReportsResultAndLastError)
{
    fake_result = 0;
    fake_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(send_capturing_stdout({1, 1}),
              "Error sending to input:\n\tReturn value: 0\n\tError code: 5\n");
    fake_error = 0;
    EXPECT_EQ(send_capturing_stdout({1, 1}),
              "Error sending to input:\n\tReturn value: 0\n\tError code: 0\n");
    // Anything but exactly one accepted event is a refusal.
    fake_result = 2;
    fake_error = 87;
    EXPECT_EQ(send_capturing_stdout({1, 1}),
              "Error sending to input:\n\tReturn value: 2\n\tError code: 87\n");
}

} // namespace
