// The worker thread: one random relative pointer motion, then a fixed
// 2-second pause, for as long as the run lasts.
#ifndef JIGGLE_JIGGLE_WORKER_H
#define JIGGLE_JIGGLE_WORKER_H

#include "pointer_injection.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <random>
#include <thread>

constexpr std::chrono::nanoseconds jiggle_interval = std::chrono::seconds(2);
constexpr std::int32_t step_min = 1;
constexpr std::int32_t step_max = 11;

// How long the main thread waits for the worker after the stop: the rest of
// the pause under way, or one more cycle and a full pause. A cycle takes
// milliseconds, half a second when it creates a uinput device.
constexpr std::chrono::nanoseconds stop_wait =
    jiggle_interval + std::chrono::milliseconds(1500);

// The thread function: returns once it finds keep_jiggling false.
void jiggle_worker(const std::atomic<bool> &keep_jiggling);

// Joins the worker if `ended` becomes ready within `bound`; otherwise leaves
// it running and returns false. A worker can be held for good by the
// platform, e.g. by an X server that accepts the connection and never
// answers, and the stop must still end the run.
inline bool join_within(std::thread &worker, std::future<void> &ended,
                        std::chrono::nanoseconds bound)
{
    if (ended.wait_for(bound) != std::future_status::ready)
        return false;
    worker.join();
    return true;
}

// What follows is the worker's machinery, generic over the random source,
// the injector and the pause so that tests can drive it.

// Directions come from the lowest bit of fresh values of the random source,
// magnitudes uniformly from 1 to 11 from the engine.
template <typename RandomSource>
Displacement draw_displacement(std::mt19937 &engine, RandomSource &source)
{
    const std::uint32_t sx = source();
    const std::uint32_t sy = source();
    std::uniform_int_distribution<std::int32_t> magnitude(step_min, step_max);
    const std::int32_t mx = magnitude(engine);
    const std::int32_t my = magnitude(engine);
    return Displacement{(sx & 1U) != 0 ? -mx : mx, (sy & 1U) != 0 ? -my : my};
}

// Sleeps until the monotonic clock has advanced by `interval`, resuming a
// sleep that ends early; nothing cuts the pause short.
inline void pause_for(std::chrono::nanoseconds interval)
{
    const auto end = std::chrono::steady_clock::now() + interval;
    while (std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_until(end);
}

// Fixed delay, not fixed rate: each pause starts after the motion has been
// sent (and any refusal reported), and no lost time is caught up.
template <typename RandomSource, typename Injector>
void jiggle_loop(const std::atomic<bool> &keep_jiggling, RandomSource &source,
                 Injector inject, std::chrono::nanoseconds interval)
{
    std::mt19937 engine(static_cast<std::mt19937::result_type>(source()));
    while (keep_jiggling.load(std::memory_order_relaxed)) {
        inject(draw_displacement(engine, source));
        pause_for(interval);
    }
}

#endif
