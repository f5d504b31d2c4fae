#include "jiggle_worker.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds short_pause(100);

struct CountingSource {
    int calls = 0;
    std::uint32_t operator()()
    {
        return static_cast<std::uint32_t>(++calls);
    }
};

// Records each motion and when it came; clears the flag after `stop_after`.
struct Recorder {
    std::atomic<bool> *keep_jiggling;
    int stop_after;
    std::vector<steady_clock::time_point> times;
    void operator()(Displacement)
    {
        times.push_back(steady_clock::now());
        if (static_cast<int>(times.size()) == stop_after)
            keep_jiggling->store(false);
    }
};

TEST(JiggleLoop, FlagFalseAtStartSendsNothingButSeeds)
{
    std::atomic<bool> keep_jiggling{false};
    CountingSource source;
    int motions = 0;
    const auto start = steady_clock::now();
    jiggle_loop(
        keep_jiggling, source, [&](Displacement) { ++motions; },
        std::chrono::nanoseconds(std::chrono::hours(1)));
    EXPECT_EQ(motions, 0);
    EXPECT_EQ(source.calls, 1) << "one value for the seed";
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(JiggleLoop, SeedsTheEngineWithTheFirstValueThenDrawsDirections)
{
    // The first value seeds MT19937 directly (not through a seed sequence);
    // the next two give the first motion's directions.
    struct ScriptedSource {
        std::uint32_t values[3] = {12345, 1, 0};
        int next = 0;
        std::uint32_t operator()()
        {
            return values[next++];
        }
    } source;
    std::atomic<bool> keep_jiggling{true};
    Displacement sent{};
    jiggle_loop(
        keep_jiggling, source,
        [&](Displacement d) {
            sent = d;
            keep_jiggling.store(false);
        },
        milliseconds(1));
    std::mt19937 reference(12345);
    std::uniform_int_distribution<std::int32_t> magnitude(1, 11);
    const std::int32_t mx = magnitude(reference);
    const std::int32_t my = magnitude(reference);
    EXPECT_EQ(sent.dx, -mx);
    EXPECT_EQ(sent.dy, my);
    EXPECT_EQ(source.next, 3);
}

TEST(JiggleLoop, FirstMotionAtOnceThenOnePausePerMotion)
{
    std::atomic<bool> keep_jiggling{true};
    CountingSource source;
    Recorder recorder{&keep_jiggling, 4, {}};
    const auto start = steady_clock::now();
    jiggle_loop(keep_jiggling, source, std::ref(recorder), short_pause);
    const auto end = steady_clock::now();

    ASSERT_EQ(recorder.times.size(), 4U);
    EXPECT_EQ(source.calls, 1 + 2 * 4) << "seed, then two per motion";
    EXPECT_LT(recorder.times[0] - start, short_pause) << "no pause first";
    for (std::size_t i = 1; i < recorder.times.size(); ++i)
        EXPECT_GE(recorder.times[i] - recorder.times[i - 1], short_pause);
    // The last motion is followed by a full pause before the loop returns.
    EXPECT_GE(end - recorder.times.back(), short_pause);
}

TEST(JiggleLoop, FlagClearedDuringPauseEndsAfterThePause)
{
    std::atomic<bool> keep_jiggling{true};
    std::atomic<int> motions{0};
    CountingSource source;
    const milliseconds pause(400);
    steady_clock::time_point first_motion;
    steady_clock::time_point returned;
    std::thread worker([&] {
        jiggle_loop(
            keep_jiggling, source,
            [&](Displacement) {
                first_motion = steady_clock::now();
                ++motions;
            },
            pause);
        returned = steady_clock::now();
    });
    while (motions.load() == 0)
        std::this_thread::yield();
    std::this_thread::sleep_for(pause / 4);
    keep_jiggling.store(false);
    worker.join();
    EXPECT_EQ(motions.load(), 1);
    EXPECT_GE(returned - first_motion, pause) << "the pause is never cut short";
}

TEST(JiggleLoop, RefusedMotionsLeaveThePauseUnchanged)
{
    // An injector that reports a refusal every time, as a dead back end does.
    std::atomic<bool> keep_jiggling{true};
    CountingSource source;
    std::ostringstream reports;
    Recorder recorder{&keep_jiggling, 5, {}};
    jiggle_loop(
        keep_jiggling, source,
        [&](Displacement d) {
            report_refused_motion(reports, 0, 5);
            recorder(d);
        },
        short_pause);
    ASSERT_EQ(recorder.times.size(), 5U);
    for (std::size_t i = 1; i < recorder.times.size(); ++i)
        EXPECT_GE(recorder.times[i] - recorder.times[i - 1], short_pause);
    std::string expected;
    for (int i = 0; i < 5; ++i)
        expected +=
            "Error sending to input:\n\tReturn value: 0\n\tError code: 5\n";
    EXPECT_EQ(reports.str(), expected);
}

TEST(PauseFor, NeverEndsEarly)
{
    for (int i = 0; i < 5; ++i) {
        const auto start = steady_clock::now();
        pause_for(milliseconds(30));
        EXPECT_GE(steady_clock::now() - start, milliseconds(30));
    }
}

} // namespace
