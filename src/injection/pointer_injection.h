// The one boundary with the platform's input system: a relative pointer
// motion goes in, and what became of it comes back.
#ifndef JIGGLE_POINTER_INJECTION_H
#define JIGGLE_POINTER_INJECTION_H

#include <cstdint>

// One relative pointer motion, in the platform's units of relative motion.
struct Displacement {
    std::int32_t dx;
    std::int32_t dy;
};

// What became of one motion. It went through when the platform accepted
// exactly one event; otherwise error_code is the platform's code for the
// refusal, and explanation says, for people, which ways were tried and what
// to do next (valid until the next motion).
struct MotionOutcome {
    std::uint32_t accepted;
    std::uint32_t error_code;
    const char *explanation;
};

// What one run holds in the platform's input system: connections, a virtual
// device, a session. Each is opened when a motion first needs it, kept from
// one motion to the next, reopened after the other side has gone, and
// released by close_pointer_injection.
struct PointerInjection;

PointerInjection *open_pointer_injection();
void close_pointer_injection(PointerInjection *injection);

// Sends one relative motion by (dx, dy): no button, wheel or time stamp.
MotionOutcome inject_pointer_motion(PointerInjection &injection,
                                    Displacement displacement);

#endif
