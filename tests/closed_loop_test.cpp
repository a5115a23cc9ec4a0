// The whole service against the simulated card in the emulated world: the clock must lock.
#include "sim/ClosedLoop.h"

#include "platform/emu/World.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

struct LockCase {
    const char* Name;
    double OffsetMs;
    double DriftPpm;
    std::vector<std::pair<std::string, std::string>> Settings;
    double LockWithinS;
    std::uint64_t HardSets;
};

class ClosedLoop : public ::testing::TestWithParam<LockCase> {
  protected:
    void TearDown() override { emu::ResetWorld(); }
};

TEST_P(ClosedLoop, LocksAndHoldsTheClock) {
    const LockCase& c = GetParam();
    sim::Scenario s;
    s.OffsetMs = c.OffsetMs;
    s.DriftPpm = c.DriftPpm;
    s.DurationS = 180;
    s.Settings = c.Settings;
    const sim::RunResult run = sim::RunClosedLoop(s, nullptr);

    ASSERT_GE(run.Figures.ConvergedS, 0);
    EXPECT_LE(run.Figures.ConvergedS, c.LockWithinS);
    EXPECT_EQ(run.Figures.HardSets, c.HardSets);
    // Once settled, the whole-millisecond difference holds the error within about half a
    // millisecond of zero.
    double worst = 0;
    for (const sim::Sample& sample : run.Samples) {
        if (sample.TimeS >= 120) {
            worst = std::max(worst, std::fabs(sample.ErrorMs));
        }
    }
    EXPECT_LT(worst, 1.0);
    EXPECT_GT(run.Cycles, 3000U);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ClosedLoop,
    ::testing::Values(LockCase{"AheadAndFast", 250, 40, {}, 90, 0},
                      LockCase{"BehindAndSlow", -80, -100, {}, 90, 0},
                      LockCase{"AlmostThere", 5, 0, {}, 30, 0},
                      LockCase{"FarAheadIsHardSet", 2000, 40, {{"DifSys", "1000"}}, 60, 1}),
    [](const ::testing::TestParamInfo<LockCase>& p) { return std::string(p.param.Name); });

TEST(LockFigures, TakeTheLastStretchInsideTheBand) {
    const auto trace = [](std::vector<double> errors) {
        std::vector<sim::Sample> samples;
        for (std::size_t i = 0; i < errors.size(); ++i) {
            samples.push_back({static_cast<double>(i), errors[i], 0, 0});
        }
        return sim::ComputeLock(samples, 2.0);
    };
    const sim::LockFigures settled = trace({9, 3, 1, -2, 1, 1});
    EXPECT_EQ(settled.ConvergedS, 2);
    EXPECT_EQ(settled.MaxAbsMs, 2);
    EXPECT_NEAR(settled.RmsMs, std::sqrt(7.0 / 4), 1e-12);
    EXPECT_EQ(trace({1, 1, 3, 1}).ConvergedS, 3); // left the band once: counted from the return
    EXPECT_EQ(trace({1, 1, 1, 2.5}).ConvergedS, -1);
    EXPECT_EQ(trace({0.5, 0.5}).ConvergedS, 0);
    EXPECT_EQ(trace({}).ConvergedS, -1);
}

} // namespace
