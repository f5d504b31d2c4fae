#include "jiggle_worker.h"

#include <iostream>

namespace {

// Sleeps until the monotonic clock has advanced by `interval`, resuming a
// sleep that ends early; nothing cuts the pause short.
void pause_for(std::chrono::nanoseconds interval)
{
    const auto end = std::chrono::steady_clock::now() + interval;
    while (std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_until(end);
}

} // namespace

// Drawing from the device changes it; cppcheck takes its call for const.
// cppcheck-suppress constParameter
Displacement draw_displacement(std::mt19937 &engine, std::random_device &device)
{
    const std::uint32_t sx = device();
    const std::uint32_t sy = device();
    std::uniform_int_distribution<std::int32_t> magnitude(step_min, step_max);
    const std::int32_t mx = magnitude(engine);
    const std::int32_t my = magnitude(engine);
    return Displacement{(sx & 1U) != 0 ? -mx : mx, (sy & 1U) != 0 ? -my : my};
}

void report_refused_motion(std::ostream &out, const MotionOutcome &outcome)
{
    // Seven separate writes; the stream's state is not looked at, since a
    // report that cannot be written has nowhere else to go.
    out << "Error sending to input:\n";
    out << "\tReturn value: " << outcome.accepted << "\n";
    out << "\tError code: " << outcome.error_code << "\n";
}

// Fixed delay, not fixed rate: each pause starts after the motion has been
// sent (and any refusal reported), and no lost time is caught up.
void jiggle_worker(const std::atomic<bool> &keep_jiggling)
{
    std::random_device device;
    std::mt19937 engine(static_cast<std::mt19937::result_type>(device()));
    PointerInjection *injection = open_pointer_injection();
    bool explained = false;
    std::uint32_t explained_code = 0;
    while (keep_jiggling.load(std::memory_order_relaxed)) {
        const MotionOutcome outcome = inject_pointer_motion(
            *injection, draw_displacement(engine, device));
        if (outcome.accepted != 1) {
            report_refused_motion(std::cout, outcome);
            // The code alone does not say which way failed or what to do:
            // said in words once, and again whenever the code changes (a
            // dialog that was asking has been answered, say).
            if (!explained || outcome.error_code != explained_code)
                std::cerr << "jiggle: " << outcome.explanation << "\n";
            explained = true;
            explained_code = outcome.error_code;
        }
        pause_for(jiggle_interval);
    }
    close_pointer_injection(injection);
}
