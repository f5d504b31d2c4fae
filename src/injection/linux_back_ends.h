// The Linux back ends behind inject_pointer_motion. Each sends one relative
// motion and returns 0 when it was accepted, or else its error code.
#ifndef JIGGLE_LINUX_BACK_ENDS_H
#define JIGGLE_LINUX_BACK_ENDS_H

#include "pointer_injection.h"

#include <cstdint>

// X11 through the XTEST extension; the error code is libxcb's connection
// error (1 to 7, see xcb_connection_has_error).
std::uint32_t xtest_move_pointer(Displacement displacement);

#endif
