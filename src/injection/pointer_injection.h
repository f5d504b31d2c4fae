// The one boundary with the platform's input system: a relative pointer
// motion goes in, and a motion the platform refuses is reported on stdout.
#ifndef JIGGLE_POINTER_INJECTION_H
#define JIGGLE_POINTER_INJECTION_H

#include <cstdint>
#include <ostream>

// One relative pointer motion, in the platform's units of relative motion.
struct Displacement {
    std::int32_t dx;
    std::int32_t dy;
};

// Sends one relative motion by (dx, dy). A refusal is reported on standard
// output and then forgotten; the caller goes on either way.
void inject_pointer_motion(Displacement displacement);

// Writes the three-line report of a refused motion: how many events the
// platform accepted and its error code for the failed call.
void report_refused_motion(std::ostream &out, std::uint32_t result,
                           std::uint32_t error_code);

#endif
