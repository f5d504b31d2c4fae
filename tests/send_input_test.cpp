// The Windows back end's refusal, with a stand-in for SendInput, run under
// Wine: motions that go through are the end-to-end test's, against Wine's
// own SendInput.
#include "send_input.h"

#include <gtest/gtest.h>

namespace {

UINT WINAPI refuse(UINT /*count*/, LPINPUT /*inputs*/, int /*size*/)
{
    SetLastError(ERROR_ACCESS_DENIED); // the workstation is locked
    return 0;
}

TEST(SendInput, ARefusalIsReportedWithItsCode)
{
    const MotionOutcome outcome = send_pointer_motion(refuse, {3, -11});
    EXPECT_EQ(outcome.accepted, 0U);
    EXPECT_EQ(outcome.error_code, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_NE(outcome.explanation, nullptr);
}

} // namespace
