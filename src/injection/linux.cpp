// Linux: the motion goes to the X server through XTEST.
#include "linux_back_ends.h"

#include <iostream>

void inject_pointer_motion(Displacement displacement)
{
    if (std::uint32_t error_code = xtest_move_pointer(displacement))
        report_refused_motion(std::cout, 0, error_code);
}
