// The worker's steps, drawn as the worker draws them.
#include "jiggle_worker.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(Worker, StepsTakeEveryValueAndSignPair)
{
    // 1,000 draws miss one of an axis's 22 values with odds (21/22)^1000,
    // about 1e-20, and one of the 4 sign pairs with (3/4)^1000. A value out
    // of 1..11, a zero, a value never drawn, a sign stuck or shared by both
    // axes fails.
    std::random_device device;
    std::mt19937 engine(device());
    std::set<std::int32_t> xs, ys, sign_pairs;
    for (int i = 0; i < 1000; ++i) {
        const Displacement d = draw_displacement(engine, device);
        xs.insert(d.dx);
        ys.insert(d.dy);
        sign_pairs.insert(2 * (d.dx < 0) + (d.dy < 0));
    }
    const std::set<std::int32_t> steps{-11, -10, -9, -8, -7, -6, -5, -4,
                                       -3,  -2,  -1, 1,  2,  3,  4,  5,
                                       6,   7,   8,  9,  10, 11};
    EXPECT_EQ(xs, steps);
    EXPECT_EQ(ys, steps);
    EXPECT_EQ(sign_pairs.size(), 4U);
}

} // namespace
