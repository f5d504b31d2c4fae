// The worker thread: one random relative pointer motion, then a fixed
// 2-second pause, for as long as the run lasts.
#ifndef JIGGLE_JIGGLE_WORKER_H
#define JIGGLE_JIGGLE_WORKER_H

#include "pointer_injection.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <ostream>
#include <random>
#include <thread>

constexpr std::chrono::nanoseconds jiggle_interval = std::chrono::seconds(2);
constexpr std::int32_t step_min = 1;
constexpr std::int32_t step_max = 11;

// How long the main thread waits for the worker after the stop: the rest of
// the pause under way, or one more cycle and a full pause. A cycle takes
// milliseconds; half a second more when it creates a uinput device, or for
// each compositor or bus that has stopped answering, and up to a second when
// the desktop has closed a session and may be locking its screen.
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

// Writes the three-line report of a refused motion: how many events the
// platform accepted and its error code for the failed call.
void report_refused_motion(std::ostream &out, const MotionOutcome &outcome);

// One displacement: the directions from the lowest bit of two fresh values
// of the random device, the magnitudes uniformly from 1 to 11 from the
// engine.
Displacement draw_displacement(std::mt19937 &engine,
                               std::random_device &device);

#endif
