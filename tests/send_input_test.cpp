// The Windows back end with a stand-in for SendInput, run under Wine.
#include "send_input.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <vector>

namespace {

UINT fake_result;
std::vector<INPUT> sent;
int sent_size;

UINT WINAPI fake_send_input(UINT count, LPINPUT inputs, int size)
{
    sent.assign(inputs, inputs + count);
    sent_size = size;
    SetLastError(ERROR_ACCESS_DENIED);
    return fake_result;
}

// Clears the thread's last error on every write, as a console write may: an
// error code read after any output comes out 0.
struct ClobberingBuffer : std::stringbuf {
    std::streamsize xsputn(const char *text, std::streamsize count) override
    {
        SetLastError(0);
        return std::stringbuf::xsputn(text, count);
    }
};

std::string send(UINT result)
{
    fake_result = result;
    ClobberingBuffer out;
    std::streambuf *saved = std::cout.rdbuf(&out);
    send_pointer_motion(fake_send_input, {3, -11});
    std::cout.rdbuf(saved);
    return out.str();
}

TEST(SendInput, RefusalReportsResultAndTheErrorCodeReadFirst)
{
    EXPECT_EQ(send(0),
              "Error sending to input:\n\tReturn value: 0\n\tError code: 5\n");
}

TEST(SendInput, AcceptedMotionIsOneRelativeMoveAndNoOutput)
{
    EXPECT_EQ(send(1), "");
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(sent_size, static_cast<int>(sizeof(INPUT)));
    EXPECT_EQ(sent[0].type, DWORD{INPUT_MOUSE});
    EXPECT_EQ(sent[0].mi.dwFlags, DWORD{MOUSEEVENTF_MOVE});
    EXPECT_EQ(sent[0].mi.dx, 3);
    EXPECT_EQ(sent[0].mi.dy, -11);
}

} // namespace
