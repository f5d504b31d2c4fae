#include "jiggle_worker.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

// Hands out fixed values, in order, as the random device would.
struct ScriptedSource {
    std::vector<std::uint32_t> values;
    std::size_t next = 0;
    std::uint32_t operator()()
    {
        return values.at(next++);
    }
};

TEST(DrawDisplacement, DirectionsFromLowestBitMagnitudesFromEngine)
{
    for (std::uint32_t sx : {0U, 1U, 2U, 0xFFFFFFFFU}) {
        for (std::uint32_t sy : {0U, 1U, 0x80000000U, 0x80000001U}) {
            std::mt19937 engine(42);
            std::mt19937 reference(42);
            std::uniform_int_distribution<std::int32_t> magnitude(1, 11);
            const std::int32_t mx = magnitude(reference);
            const std::int32_t my = magnitude(reference);

            ScriptedSource source{{sx, sy}};
            const Displacement d = draw_displacement(engine, source);
            EXPECT_EQ(source.next, 2U) << "two values per draw";
            EXPECT_EQ(d.dx, (sx & 1U) != 0 ? -mx : mx);
            EXPECT_EQ(d.dy, (sy & 1U) != 0 ? -my : my);
        }
    }
}

TEST(DrawDisplacement, EveryValueAndDirectionEquallyLikely)
{
    // 22 values per axis, 4 direction pairs. The bounds are about ten
    // standard deviations wide: a correct generator never fails them, a
    // missing value, a zero, a modulo bias of 1/11 or a stuck sign does.
    constexpr int draws = 110000;
    std::random_device device;
    std::mt19937 engine(device());
    std::map<std::int32_t, int> x_counts;
    std::map<std::int32_t, int> y_counts;
    std::array<int, 4> direction_counts{};
    for (int i = 0; i < draws; ++i) {
        const Displacement d = draw_displacement(engine, device);
        ASSERT_GE(std::abs(d.dx), 1);
        ASSERT_LE(std::abs(d.dx), 11);
        ASSERT_GE(std::abs(d.dy), 1);
        ASSERT_LE(std::abs(d.dy), 11);
        ++x_counts[d.dx];
        ++y_counts[d.dy];
        ++direction_counts[(d.dx < 0 ? 2U : 0U) + (d.dy < 0 ? 1U : 0U)];
    }
    const int per_value = draws / 22;
    for (std::int32_t v = -11; v <= 11; ++v) {
        if (v == 0)
            continue;
        EXPECT_NEAR(x_counts[v], per_value, per_value * 0.15) << "dx " << v;
        EXPECT_NEAR(y_counts[v], per_value, per_value * 0.15) << "dy " << v;
    }
    const int per_direction = draws / 4;
    for (int count : direction_counts)
        EXPECT_NEAR(count, per_direction, per_direction * 0.05);
}

TEST(DrawDisplacement, TwoRunsDiffer)
{
    auto run = [] {
        std::random_device device;
        std::mt19937 engine(device());
        std::vector<std::int32_t> steps;
        for (int i = 0; i < 32; ++i) {
            const Displacement d = draw_displacement(engine, device);
            steps.push_back(d.dx);
            steps.push_back(d.dy);
        }
        return steps;
    };
    EXPECT_NE(run(), run());
}

} // namespace
