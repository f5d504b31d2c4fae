#include "jiggle_worker.h"

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

// Fixed delay, not fixed rate: each pause starts after the motion has been
// sent (and any refusal reported), and no lost time is caught up.
void jiggle_worker(const std::atomic<bool> &keep_jiggling)
{
    std::random_device device;
    std::mt19937 engine(static_cast<std::mt19937::result_type>(device()));
    while (keep_jiggling.load(std::memory_order_relaxed)) {
        inject_pointer_motion(draw_displacement(engine, device));
        pause_for(jiggle_interval);
    }
}
