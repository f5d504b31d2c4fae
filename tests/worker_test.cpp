// The worker's steps, and the main thread's wait for the worker.
#include "jiggle_worker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(Worker, EveryStepAndDirectionEquallyLikely)
{
    // Bounds about ten standard deviations wide: a correct generator never
    // fails them; a missing value, a zero, a skewed draw or a stuck sign do.
    constexpr int draws = 110000;
    constexpr double per_step = draws / 22.0, per_pair = draws / 4.0;
    std::random_device device;
    std::mt19937 engine(device());
    std::map<std::int32_t, int> x_counts, y_counts, sign_pairs;
    for (int i = 0; i < draws; ++i) {
        const Displacement d = draw_displacement(engine, device);
        ++x_counts[d.dx];
        ++y_counts[d.dy];
        ++sign_pairs[2 * (d.dx < 0) + (d.dy < 0)];
    }
    for (const auto *counts : {&x_counts, &y_counts}) {
        ASSERT_EQ(counts->size(), 22U);
        for (const auto &[step, count] : *counts) {
            EXPECT_TRUE(step != 0 && std::abs(step) <= step_max) << step;
            EXPECT_NEAR(count, per_step, per_step * 0.15) << step;
        }
    }
    ASSERT_EQ(sign_pairs.size(), 4U);
    for (const auto &pair : sign_pairs)
        EXPECT_NEAR(pair.second, per_pair, per_pair * 0.05);
}

// A worker that ends when the test says so, as the shipped one is started.
struct FakeWorker {
    std::promise<void> release, ended_promise;
    std::future<void> ended = ended_promise.get_future();
    std::thread thread{[this] {
        release.get_future().wait();
        ended_promise.set_value();
    }};
};

TEST(Worker, StopWaitsForTheWorkerButNotForever)
{
    // A stop just after the flag was read: one more cycle, creating a
    // uinput device (half a second), then a full pause. That worker is
    // joined, not left behind.
    FakeWorker slow;
    std::thread releaser([&] {
        std::this_thread::sleep_for(jiggle_interval + milliseconds(500));
        slow.release.set_value();
    });
    EXPECT_TRUE(join_within(slow.thread, slow.ended, stop_wait));
    EXPECT_FALSE(slow.thread.joinable());
    releaser.join();

    // A worker held for good is left behind once the wait is over.
    FakeWorker stuck;
    const auto start = steady_clock::now();
    EXPECT_FALSE(join_within(stuck.thread, stuck.ended, milliseconds(200)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(200));
    stuck.release.set_value();
    stuck.thread.join();
}

} // namespace
