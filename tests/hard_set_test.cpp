// A hard set through the whole service against the simulated card: the clock lands where the
// timecode is at the moment of the set, not where it was when its frame began.
#include "sim/ClosedLoop.h"

#include "platform/emu/World.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

TEST(HardSet, LandsOnTheTimecodeAndLeavesALockedClockLocked) {
    struct Case {
        const char* name;
        double offsetMs;
        std::vector<std::pair<std::string, std::string>> settings;
    };
    const Case cases[] = {
        {"requested on a locked clock", 0.5, {{"Sync", "1"}}},
        {"beyond DifSys", 2000, {{"DifSys", "1000"}}},
        {"behind, beyond DifSys", -1500, {{"DifSys", "1000"}}},
    };
    for (const auto& c : cases) {
        sim::Scenario s;
        s.OffsetMs = c.offsetMs;
        s.DriftPpm = 0;
        s.DurationS = 5;
        s.Settings = c.settings;
        const sim::RunResult run = sim::RunClosedLoop(s, nullptr);
        emu::ResetWorld();
        EXPECT_EQ(run.Figures.HardSets, 1U) << c.name;
        double worst = 0;
        for (const sim::Sample& sample : run.Samples) {
            if (sample.TimeS >= 1) { // the set comes in the first good cycle
                worst = std::max(worst, std::fabs(sample.ErrorMs));
            }
        }
        EXPECT_LE(worst, 1.01) << c.name;
    }
}

} // namespace
