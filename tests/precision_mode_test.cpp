// The precision mode: its servo against a model clock, and the whole service in the
// emulated world.
#include "engine/PrecisionServo.h"
#include "sim/ClosedLoop.h"

#include "platform/emu/World.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kIncrement = 156250;

// A clock whose oscillator runs DriftPpm fast, read every 50 ms through a card that rounds the
// difference to whole milliseconds.
struct ModelClock {
    double ErrorMs = 0;
    double DriftPpm = 0;
    std::int64_t TimecodeMs = 1'000'000'000;
    ServoState Servo = ServoStart();
    std::int32_t SyncM = 2000;
    std::int32_t SyncP = 2000;
    std::int32_t Applied = 0;
    std::int32_t LeastApplied = 0;
    std::int32_t MostApplied = 0;

    // Runs for the given seconds, with readings or without; returns the largest |error|.
    double Run(double seconds, bool measured) {
        double worst = 0;
        for (int i = 0; i < static_cast<int>(seconds * 20); ++i) {
            ErrorMs +=
                ((1 + DriftPpm * 1e-6) * (1 + static_cast<double>(Applied) / kIncrement) - 1) * 50;
            TimecodeMs += 50;
            ServoInput in;
            in.Measured = measured;
            in.DiffMs = static_cast<std::int32_t>(std::lround(ErrorMs));
            in.PcMs = TimecodeMs + (measured ? in.DiffMs : std::llround(ErrorMs));
            in.SyncM = SyncM;
            in.SyncP = SyncP;
            in.Increment = kIncrement;
            Applied = ServoStep(Servo, in);
            LeastApplied = std::min(LeastApplied, Applied);
            MostApplied = std::max(MostApplied, Applied);
            worst = std::max(worst, std::fabs(ErrorMs));
        }
        return worst;
    }
};

TEST(PrecisionServo, LocksHoldsAndLetsGo) {
    for (const double drift : {-500.0, -40.0, 0.0, 100.0, 500.0}) {
        SCOPED_TRACE(drift);
        ModelClock c;
        c.ErrorMs = 250;
        c.DriftPpm = drift;
        c.Run(60, true);
        EXPECT_LE(c.Run(600, true), 0.7); // locked, within the reading's band and a probe
        EXPECT_NEAR(c.Servo.DriftPpm, drift, 0.5);

        // The timecode is gone: the learned frequency keeps the clock.
        const double start = c.ErrorMs;
        c.Run(3600, false);
        EXPECT_LE(std::fabs(c.ErrorMs - start), 3.0);
        EXPECT_NEAR(c.Applied, -drift * kIncrement * 1e-6, 1.0);

        // ... for four hours in all; then the clock is handed back at its nominal rate.
        c.Run(3 * 3600 - 60, false);
        EXPECT_EQ(c.Applied == 0, drift == 0);
        c.Run(61, false);
        EXPECT_EQ(c.Applied, 0);
    }
}

// After a hard set, and after a step of the timecode, the phase is learned afresh and the
// frequency stays: no swing of the rate, no second approach.
TEST(PrecisionServo, PhaseStartsAfreshFrequencyStays) {
    struct Case {
        const char* Name;
        bool HardSet;
        double StepMs;
    };
    const Case cases[] = {{"hard set", true, -3.4}, {"timecode step", false, 80}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.Name);
        ModelClock c;
        c.ErrorMs = 20;
        c.DriftPpm = 60;
        c.Run(300, true);
        const double learned = c.Servo.DriftPpm;
        if (k.HardSet) {
            ServoRestartPhase(c.Servo);
            c.Applied = 0; // the set hands the clock to the system at its nominal rate
        }
        c.ErrorMs += k.StepMs;
        c.Run(0.05, true);
        EXPECT_NEAR(c.Servo.DriftPpm, learned, 0.5);
        EXPECT_NEAR(c.Servo.PhaseMs, std::round(c.ErrorMs), 0.5);
        c.Run(120, true);
        EXPECT_NEAR(c.Servo.DriftPpm, learned, 3.0); // a fresh start would be 60 off
        EXPECT_LE(std::fabs(c.ErrorMs), 0.7);
    }
}

TEST(PrecisionServo, NeverSlewsBeyondTheSettings) {
    ModelClock c;
    c.ErrorMs = -250;
    c.DriftPpm = -500; // needs 78 units to hold, more than the settings allow
    c.SyncM = 30;
    c.SyncP = 50;
    c.Run(120, true);
    EXPECT_EQ(c.MostApplied, 50);
    EXPECT_GE(c.LeastApplied, -30);
}

// The whole service, in the emulated world.
struct LoopCase {
    const char* Name;
    sim::Scenario Scenario;
    double LockWithinS;
    double SteadyFromS;
    double SteadyMaxMs; // largest |error| from SteadyFromS on
    double SteadyRmsMs;
    double SteadyLeastRmsMs; // the proportional law's error is not expected to vanish
    std::uint64_t HardSets = 0;
};

sim::Scenario Scenario(double offsetMs, double driftPpm, double seconds, int mode) {
    sim::Scenario s;
    s.OffsetMs = offsetMs;
    s.DriftPpm = driftPpm;
    s.DurationS = seconds;
    s.SampleEveryMs = 50;
    s.Settings = {{"SyncMode", std::to_string(mode)}};
    return s;
}

class PrecisionLoop : public ::testing::TestWithParam<LoopCase> {
  protected:
    void TearDown() override { emu::ResetWorld(); }
};

TEST_P(PrecisionLoop, LocksAndHolds) {
    const LoopCase& c = GetParam();
    const sim::RunResult run = sim::RunClosedLoop(c.Scenario, nullptr);
    ASSERT_GE(run.Figures.ConvergedS, 0);
    EXPECT_LE(run.Figures.ConvergedS, c.LockWithinS);
    EXPECT_EQ(run.Figures.HardSets, c.HardSets);
    const sim::Steady steady = sim::SteadyFigures(run.Samples, c.SteadyFromS);
    EXPECT_LE(steady.MaxAbsMs, c.SteadyMaxMs);
    EXPECT_LE(steady.RmsMs, c.SteadyRmsMs);
    EXPECT_GE(steady.RmsMs, c.SteadyLeastRmsMs);
    if (c.Scenario.Settings[0].second == "1") {
        // About one rate change a second: the forced re-application at every LastSync
        // write, and little besides.
        EXPECT_LE(static_cast<double>(run.Figures.RateChanges), c.Scenario.DurationS);
    }
}

sim::Scenario Outage() {
    sim::Scenario s = Scenario(0, 40, 2700, 1);
    s.Outages = {{600, 1800}}; // locked ten minutes, then half an hour without timecode
    s.SampleEveryMs = 100;
    return s;
}

sim::Scenario Wander() {
    sim::Scenario s = Scenario(0, 60, 1800, 1);
    s.WanderPpmPerHour = 60;
    s.WanderLimitPpm = 80;
    s.SampleEveryMs = 100;
    return s;
}

sim::Scenario FarAhead() {
    sim::Scenario s = Scenario(2000, 40, 180, 1);
    s.Settings.emplace_back("DifSys", "1000");
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Targets, PrecisionLoop,
    ::testing::Values(LoopCase{"FastAhead", Scenario(250, 500, 900, 1), 30, 450, 1.0, 0.3, 0},
                      LoopCase{"SlowBehind", Scenario(-250, -500, 900, 1), 30, 450, 1.0, 0.3, 0},
                      LoopCase{"Ordinary", Scenario(250, 100, 600, 1), 30, 300, 1.0, 0.3, 0},
                      // The outage's error, relocked without a hard set by the end.
                      LoopCase{"Outage", Outage(), 2700, 600, 5.0, 3.0, 0},
                      LoopCase{"Wandering", Wander(), 30, 60, 1.5, 0.5, 0},
                      // Waits that end at the clock's interrupts: RMS 0.305 ms.
                      LoopCase{"FarAheadIsHardSet", FarAhead(), 30, 60, 1.0, 0.35, 0, 1},
                      LoopCase{"ProportionalUntouched", Scenario(250, 40, 180, 0), 90, 90, 0.6,
                               0.55, 0.45}),
    [](const ::testing::TestParamInfo<LoopCase>& p) { return std::string(p.param.Name); });

} // namespace
