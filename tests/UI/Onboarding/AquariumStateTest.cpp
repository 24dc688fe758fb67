#include "UI/Onboarding/AquariumState.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <cmath>
#include <ctime>
#include <numbers>

using namespace quillmere;

namespace {

constexpr double width = 780;
constexpr double height = 520;
constexpr double pi = std::numbers::pi;
constexpr int stepsPerMinute = 60 * 60;

// Plays the given draws in turn, then 0.5 for ever.
AquariumState::RandomSource scripted(std::vector<double> draws)
{
    return [draws = std::move(draws), next = std::size_t(0)]() mutable {
        return next < draws.size() ? draws[next++] : 0.5;
    };
}

double threadCPUSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// The least CPU time of a few runs of this many steps.
double stepCost(AquariumState &tank, int steps)
{
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const double start = threadCPUSeconds();
        for (int i = 0; i < steps; ++i)
            tank.update(width, height);
        best = std::min(best, threadCPUSeconds() - start);
    }
    return best;
}

} // namespace

TEST(AquariumState, FillsFiveFishOnceAndOnlyForAUsableSize)
{
    AquariumState tank(AquariumState::seededRandom(1));
    QSignalSpy initialised(&tank, &AquariumState::hasInitializedChanged);
    for (const auto &[w, h] : {std::pair(0.0, height), std::pair(width, 0.0), std::pair(-5.0, height),
                               std::pair(std::nan(""), height), std::pair(width, double(INFINITY))})
        tank.update(w, h);
    EXPECT_TRUE(tank.fish().empty());
    EXPECT_FALSE(tank.hasInitialized());
    EXPECT_EQ(initialised.count(), 0);

    tank.update(width, height);
    EXPECT_EQ(tank.fish().size(), 5u);
    EXPECT_EQ(tank.fishSpawnTimer(), 1);
    tank.update(width, height);
    EXPECT_EQ(tank.fish().size(), 5u) << "the first five come once";
    EXPECT_EQ(initialised.count(), 1);
}

TEST(AquariumState, SpawnedFishEnterJustOutsideTheChosenEdgeAimedAtTheCentre)
{
    struct Edge
    {
        double draw;
        double x, y; // NaN: along the edge
    };
    const Edge edges[] = {{0.0, NAN, -30}, {0.3, width + 30, NAN}, {0.6, NAN, height + 30}, {0.99, -30, NAN}};
    for (const Edge &edge : edges) {
        // Edge, position along it, aim spread (0: the full -0.3), speed, size, ...
        AquariumState tank(scripted({edge.draw, 0.25, 0.0, 1.0, 1.0}));
        const Fish fish = tank.spawnFish(width, height);
        SCOPED_TRACE(edge.draw);
        if (std::isnan(edge.x))
            EXPECT_DOUBLE_EQ(fish.x, 0.25 * width);
        else
            EXPECT_DOUBLE_EQ(fish.x, edge.x);
        if (std::isnan(edge.y))
            EXPECT_DOUBLE_EQ(fish.y, 0.25 * height);
        else
            EXPECT_DOUBLE_EQ(fish.y, edge.y);
        const double aim = std::atan2(height / 2 - fish.y, width / 2 - fish.x);
        EXPECT_NEAR(AquariumState::wrapAngle(fish.heading - aim), -0.3, 1e-9);
        EXPECT_DOUBLE_EQ(fish.speed, 2.4);
        EXPECT_DOUBLE_EQ(fish.size, 30);
        EXPECT_GE(fish.orbitRadius, 120);
        EXPECT_LE(fish.orbitRadius, 260);
        EXPECT_TRUE(fish.orbitDirection == 1 || fish.orbitDirection == -1);
        EXPECT_GE(fish.fishType, 0);
        EXPECT_LE(fish.fishType, 4);
    }
}

// Ten simulated minutes at 60 steps a second, for three seeds: no fish ever gets farther from
// the centre than the corners where fish enter (a fish steered by a plain weighted sum of two
// angles on either side of +-pi swims off for good), the tank never holds more than 25, the
// angles stay bounded (so each step costs the same), and a scatter empties the tank.
TEST(AquariumState, TenMinutesKeepEveryFishWithinReachAndAScatterEmptiesTheTank)
{
    const double reach = std::hypot(width / 2 + 30, height / 2 + 30);
    for (const std::uint64_t seed : {11u, 4242u, 987654321u}) {
        SCOPED_TRACE(seed);
        AquariumState tank(AquariumState::seededRandom(seed));
        std::size_t most = 0;
        for (int step = 0; step < 10 * stepsPerMinute; ++step) {
            tank.update(width, height);
            ASSERT_LE(tank.fish().size(), std::size_t(AquariumState::fishMaxCount));
            most = std::max(most, tank.fish().size());
            for (const Fish &fish : tank.fish()) {
                ASSERT_LE(std::hypot(fish.x - width / 2, fish.y - height / 2), reach) << "step " << step;
                ASSERT_LE(std::abs(fish.heading), pi + 1e-9);
                ASSERT_LE(std::abs(fish.bodyPhase), pi + 1e-9);
            }
        }
        EXPECT_EQ(most, std::size_t(AquariumState::fishMaxCount)) << "the tank fills up";
        const int timer = tank.fishSpawnTimer();
        tank.update(width, height);
        EXPECT_EQ(tank.fishSpawnTimer(), timer) << "a full tank does not count towards a spawn";

        QSignalSpy gone(&tank, &AquariumState::allGoneChanged);
        tank.scatter(width, height);
        for (const Fish &fish : tank.fish()) {
            EXPECT_DOUBLE_EQ(fish.heading, std::atan2(fish.y - height / 2, fish.x - width / 2));
            EXPECT_GE(fish.speed, 4 * 1.6);
            EXPECT_EQ(fish.dartTimer, 30);
        }
        const std::vector<Fish> turned = tank.fish();
        tank.scatter(width, height);
        EXPECT_EQ(tank.fish(), turned) << "a second scatter changes nothing";

        int steps = 0;
        while (!tank.allGone() && steps < 600) {
            tank.update(width, height);
            ++steps;
            for (const Fish &fish : tank.fish()) {
                ASSERT_GE(fish.x, -60);
                ASSERT_LE(fish.x, width + 60);
                ASSERT_GE(fish.y, -60);
                ASSERT_LE(fish.y, height + 60);
            }
        }
        EXPECT_TRUE(tank.allGone());
        EXPECT_TRUE(tank.fish().empty());
        EXPECT_EQ(gone.count(), 1);
        tank.update(width, height);
        EXPECT_TRUE(tank.fish().empty()) << "no spawning while scattering";

        tank.reset();
        EXPECT_FALSE(tank.allGone());
        EXPECT_FALSE(tank.isScattering());
        EXPECT_FALSE(tank.hasInitialized());
        tank.update(width, height);
        EXPECT_EQ(tank.fish().size(), 5u);
    }
}

TEST(AquariumState, AScatterBeforeTheFirstFishSendsThemAcrossAtTheirOwnSpeed)
{
    AquariumState tank(AquariumState::seededRandom(3));
    tank.scatter(width, height);
    EXPECT_TRUE(tank.isScattering());
    tank.update(width, height);
    ASSERT_EQ(tank.fish().size(), 5u);
    for (const Fish &fish : tank.fish()) {
        EXPECT_LE(fish.speed, 2.4);
        EXPECT_EQ(fish.dartTimer, 0);
    }
    for (int step = 0; step < 2000 && !tank.allGone(); ++step)
        tank.update(width, height);
    EXPECT_TRUE(tank.allGone());
}

TEST(AquariumState, StepCostDoesNotGrowWithTheNumberOfSteps)
{
    AquariumState tank(AquariumState::seededRandom(77));
    while (tank.fish().size() < std::size_t(AquariumState::fishMaxCount))
        tank.update(width, height);
    const double early = stepCost(tank, 2000);
    for (int step = 0; step < 100000; ++step)
        tank.update(width, height);
    const double late = stepCost(tank, 2000);
    EXPECT_LT(late, early * 3 + 0.002) << "early " << early << " s, late " << late << " s";
}
