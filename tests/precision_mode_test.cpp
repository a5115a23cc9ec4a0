// The precision mode: its servo against a model clock, and the whole service in the
// emulated world.
#include "engine/PrecisionServo.h"
#include "sim/ClosedLoop.h"

#include "platform/emu/World.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kIncrement = 156250;

// What the card reports for a true clock error (ms) at the given cycle: by default the error
// rounded to whole milliseconds.
using CardModel = std::function<std::int32_t(double errorMs, int cycle)>;

// A clock whose oscillator runs DriftPpm fast, read every 50 ms through a card that rounds the
// difference to whole milliseconds, or as Card says.
struct ModelClock {
    CardModel Card;
    double ErrorMs = 0;
    double DriftPpm = 0;
    std::int64_t TimecodeMs = 1'000'000'000;
    ServoState Servo = ServoStart();
    std::int32_t SyncM = 2000;
    std::int32_t SyncP = 2000;
    std::int32_t Applied = 0;
    std::int32_t LeastApplied = 0;
    std::int32_t MostApplied = 0;
    int Cycle = 0;
    // Of the last Run: the mean error and the number of rate changes.
    double MeanMs = 0;
    int RateChanges = 0;

    // Runs for the given seconds, with readings or without; returns the largest |error|.
    double Run(double seconds, bool measured) {
        double worst = 0;
        double sum = 0;
        const int cycles = static_cast<int>(seconds * 20);
        RateChanges = 0;
        for (int i = 0; i < cycles; ++i, ++Cycle) {
            ErrorMs +=
                ((1 + DriftPpm * 1e-6) * (1 + static_cast<double>(Applied) / kIncrement) - 1) * 50;
            TimecodeMs += 50;
            ServoInput in;
            in.Measured = measured;
            in.DiffMs =
                Card ? Card(ErrorMs, Cycle) : static_cast<std::int32_t>(std::lround(ErrorMs));
            in.PcMs = TimecodeMs + (measured ? in.DiffMs : std::llround(ErrorMs));
            in.SyncM = SyncM;
            in.SyncP = SyncP;
            in.Increment = kIncrement;
            const std::int32_t applied = ServoStep(Servo, in);
            RateChanges += applied != Applied ? 1 : 0;
            Applied = applied;
            sum += ErrorMs;
            LeastApplied = std::min(LeastApplied, Applied);
            MostApplied = std::max(MostApplied, Applied);
            worst = std::max(worst, std::fabs(ErrorMs));
        }
        MeanMs = cycles > 0 ? sum / cycles : 0;
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
        EXPECT_NEAR(c.Servo.DriftPpm, drift, 0.6);

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
// frequency stays: no swing of the rate, no second approach. A step is believed only when
// several readings in a row show it; a hard set is known at once.
TEST(PrecisionServo, PhaseStartsAfreshFrequencyStays) {
    struct Case {
        const char* Name;
        bool HardSet;
        double StepMs;
        int Readings; // that show the new phase before the servo takes it
    };
    const Case cases[] = {{"hard set", true, -3.4, 1},
                          {"timecode step", false, 80, 4},
                          {"step ahead", false, 20, 4},
                          {"step behind", false, -20, 4}};
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
        const double before = c.Servo.PhaseMs;
        c.Run(0.05 * (k.Readings - 1), true);
        EXPECT_NEAR(c.Servo.PhaseMs, before, 1.0); // not yet
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

// Cards as they are: stamps taken late by a little and now and then by a lot, labels a frame
// off or garbled, stamps from the clock interrupt's coarse time. No single reading may move
// the clock by more than its band, and no one-sided error may shift it on average.
struct CardCase {
    const char* Name;
    double DriftPpm;
    CardModel (*Make)(std::mt19937& rng);
    double LockS;  // into the 2 ms band within this
    double MaxMs;  // largest |error| once locked
    double MeanMs; // largest |mean error| once locked
};

// Stamps taken after the frame: mostly a tenth of a millisecond, one in two hundred a few ms.
double LateByMs(std::mt19937& rng) {
    std::exponential_distribution<double> usual(1 / 0.11);
    std::uniform_real_distribution<double> u(0, 1);
    return usual(rng) + (u(rng) < 0.005 ? 1 + 4 * u(rng) : 0);
}

CardModel LateStamps(std::mt19937& rng) {
    return
        [&rng](double e, int) { return static_cast<std::int32_t>(std::lround(e + LateByMs(rng))); };
}

// Stamps that never come sooner than 0.08 ms after the frame, as through a busy interrupt
// path: the least delayed reading too shows the clock ahead.
CardModel FloorStamps(std::mt19937& rng) {
    return [&rng](double e, int) {
        std::exponential_distribution<double> tail(1 / 0.025);
        std::uniform_real_distribution<double> u(0, 1);
        const double late = 0.08 + tail(rng) + (u(rng) < 0.002 ? 1 + 4 * u(rng) : 0);
        return static_cast<std::int32_t>(std::lround(e + late));
    };
}

// One label in a hundred a frame (40 ms) late or early; with the frame's true stamp, the
// difference is a frame off.
CardModel FrameOffLabels(std::mt19937& rng) {
    return [&rng](double e, int) {
        std::uniform_real_distribution<double> u(0, 1);
        const double off = u(rng) < 0.01 ? (u(rng) < 0.5 ? 40 : -40) : 0;
        return static_cast<std::int32_t>(std::lround(e + off));
    };
}

// One label in five hundred off by seconds.
CardModel GarbledLabels(std::mt19937& rng) {
    return [&rng](double e, int) {
        std::uniform_real_distribution<double> u(0, 1);
        const double off = u(rng) < 0.002 ? std::round(u(rng) * 20000 - 10000) : 0;
        return static_cast<std::int32_t>(std::lround(e + off));
    };
}

// Stamps of the clock as the last 15.625 ms interrupt left it, late as above: the reading
// lies up to an interrupt below the error. Frames every 40 ms, read every 50.
CardModel InterruptStamps(std::mt19937& rng) {
    return [&rng](double e, int cycle) {
        const double frameMs = std::floor(cycle * 50.0 / 40) * 40 + LateByMs(rng);
        const double sinceTick = std::fmod(frameMs + 3.3, 15.625);
        return static_cast<std::int32_t>(std::lround(e - sinceTick));
    };
}

// The model run from startMs with the case's card: into the 2 ms band within its time, and the
// 300 s from settledS on within its bounds. Returned for the checks of each test.
ModelClock HeldFrom(const CardCase& k, double startMs, unsigned seed, double settledS) {
    std::mt19937 rng(seed);
    ModelClock c;
    c.Card = k.Make(rng);
    c.ErrorMs = startMs;
    c.DriftPpm = k.DriftPpm;
    c.Run(k.LockS, true);
    EXPECT_LE(std::fabs(c.ErrorMs), 2.0);
    c.Run(settledS - k.LockS, true);
    EXPECT_LE(c.Run(300, true), k.MaxMs);
    EXPECT_LE(std::fabs(c.MeanMs), k.MeanMs);
    return c;
}

TEST(PrecisionServo, TrustsNoSingleReading) {
    const CardCase cases[] = {
        {"late stamps, fast", 500, LateStamps, 25, 1.0, 0.1},
        {"late stamps, slow", -500, LateStamps, 25, 1.0, 0.1},
        {"late stamps, 40 ppm", 40, LateStamps, 25, 1.0, 0.1},
        {"stamps late by at least 0.08 ms, fast", 500, FloorStamps, 25, 1.0, 0.1},
        {"stamps late by at least 0.08 ms, slow", -500, FloorStamps, 25, 1.0, 0.1},
        {"stamps late by at least 0.08 ms, 40 ppm", 40, FloorStamps, 25, 1.0, 0.1},
        // Stamped at the frame's very edge, as no card does: held a little ahead.
        {"labels a frame off", 500, FrameOffLabels, 25, 1.0, 0.15},
        {"labels a frame off, slow", -40, FrameOffLabels, 25, 1.0, 0.15},
        {"garbled labels", 100, GarbledLabels, 25, 1.0, 0.15},
        {"interrupt stamps, fast", 500, InterruptStamps, 60, 2.0, 1.0},
        {"interrupt stamps, slow", -100, InterruptStamps, 60, 2.0, 1.0},
    };
    for (const CardCase& k : cases) {
        for (const double startMs : {250.0, -250.0}) {
            SCOPED_TRACE(std::string(k.Name) + (startMs > 0 ? ", ahead" : ", behind"));
            const ModelClock c = HeldFrom(k, startMs, 7, 300);
            EXPECT_LE(c.RateChanges, 300); // one a second
        }
    }
}

// Stamps of the interrupt's clock where the frame read moves on by stepMs of the interrupt
// each reading: the readings fall as a sawtooth through the band below the error, the beat of
// the frame rate against the interrupt.
CardModel Sawtooth(double stepMs) {
    return [stepMs](double e, int cycle) {
        const double sinceTick =
            std::fmod(15.625 - std::fmod(cycle * stepMs, 15.625) + 3.3, 15.625);
        return static_cast<std::int32_t>(std::lround(e - sinceTick));
    };
}

// Fine stamps, one in ten late by up to 25 ms: the readings spread as widely as coarse stamps,
// but most of them sit at the bottom.
CardModel LatencyTail(std::mt19937& rng) {
    return [&rng](double e, int) {
        std::uniform_real_distribution<double> u(0, 1);
        const double late = u(rng) < 0.1 ? 25 * u(rng) : 0.1 * u(rng);
        return static_cast<std::int32_t>(std::lround(e + late));
    };
}

CardModel SawtoothSlow(std::mt19937&) {
    return Sawtooth(1.875);
}

// Slower beats: a ring of readings spans most of the band, a block of them only part of it.
CardModel SawtoothSlower(std::mt19937&) {
    return Sawtooth(1.2);
}

CardModel SawtoothSlowest(std::mt19937&) {
    return Sawtooth(0.9);
}

// So slow that the first readings look like a steep slope of the phase, and a block visits
// only a third of the band.
CardModel SawtoothCrawl(std::mt19937&) {
    return Sawtooth(0.6);
}

// Stamps at two phases half an interrupt apart: a block may span under half an interrupt.
CardModel TwoPhases(std::mt19937&) {
    return Sawtooth(15.625 / 2);
}

// Five phases an interrupt apart: where in the gap between them the phase lies, no reading
// tells, so the middle may be off by up to half the gap (1.56 ms; here 1.39 ms).
CardModel FivePhases(std::mt19937&) {
    return Sawtooth(15.625 / 5);
}

// 24 frames a second stamped by the interrupt's clock of an oscillator 40 ppm fast: the stamps
// fall at three phases a third of an interrupt apart. The interrupts run on the oscillator and
// the frames on true time, so the three slide through the band at 40 us a second, and the
// middle with them: the estimate keeps leaving the dither zone by a little.
CardModel ThreePhasesSliding(std::mt19937& rng) {
    return [&rng](double e, int cycle) {
        const double frameMs = std::floor(cycle * 50.0 / (1000.0 / 24)) * (1000.0 / 24);
        std::exponential_distribution<double> tail(1 / 0.025);
        const double late = 0.08 + tail(rng);
        const double sinceTick = std::fmod((frameMs + late) * (1 + 40e-6) + 3.3, 15.625);
        return static_cast<std::int32_t>(std::lround(e + late - sinceTick));
    };
}

// A sawtooth with a stamp a frame late now and then, and a spike of a few ms.
CardModel SawtoothWithFaults(std::mt19937& rng) {
    return [&rng](double e, int cycle) {
        std::uniform_real_distribution<double> u(0, 1);
        const double r = u(rng);
        const double off = r < 0.01 ? 40 : (r < 0.02 ? 2 + 3 * u(rng) : 0);
        return Sawtooth(1.875)(e + off, cycle);
    };
}

// The card's stamps in the precision servo's coarse rules: how far the learned frequency may
// stray from the oscillator's, and how many rate changes 300 s may take, besides the figures
// of CardCase.
struct CoarseCase {
    CardCase Card;
    double DriftTolerancePpm;
    int RateChanges;
};

TEST(PrecisionServo, ReadsCoarseStampsByTheirBand) {
    const CoarseCase cases[] = {
        {{"sawtooth", 0, SawtoothSlow, 60, 1.0, 0.5}, 5, 150},
        {{"sawtooth, fast clock", 500, SawtoothSlow, 60, 1.0, 0.5}, 5, 150},
        {{"sawtooth, slow clock", -500, SawtoothSlow, 60, 1.0, 0.5}, 5, 150},
        {{"sawtooth with late labels and spikes", 40, SawtoothWithFaults, 60, 1.0, 0.5}, 5, 150},
        {{"sawtooth of 1.2 ms a reading", 0, SawtoothSlower, 30, 1.0, 0.5}, 5, 150},
        {{"sawtooth of 1.2 ms a reading, fast clock", 500, SawtoothSlower, 30, 1.0, 0.5}, 5, 150},
        {{"sawtooth of 0.9 ms a reading", 0, SawtoothSlowest, 30, 1.0, 0.5}, 5, 150},
        {{"sawtooth of 0.9 ms a reading, fast clock", 500, SawtoothSlowest, 30, 1.0, 0.5}, 5, 150},
        {{"sawtooth of 0.6 ms a reading, fast clock", 500, SawtoothCrawl, 30, 1.0, 0.5}, 5, 200},
        {{"sawtooth of 0.6 ms a reading, slow clock", -500, SawtoothCrawl, 25, 1.0, 0.5}, 5, 200},
        {{"two phases", 0, TwoPhases, 30, 1.0, 0.5}, 5, 150},
        {{"two phases, fast clock", 500, TwoPhases, 30, 1.0, 0.5}, 5, 150},
        {{"five phases", 0, FivePhases, 30, 2.0, 1.6}, 5, 150},
        {{"five phases, slow clock", -500, FivePhases, 30, 2.0, 1.6}, 5, 150},
        {{"three phases sliding with the oscillator", 40, ThreePhasesSliding, 60, 1.0, 0.5},
         5,
         300},
        {{"latency tail to 25 ms", 40, LatencyTail, 25, 3.0, 0.5}, 15, 300},
        {{"latency tail to 25 ms, fast clock", 500, LatencyTail, 25, 3.0, 0.5}, 15, 300},
    };
    for (const CoarseCase& t : cases) {
        const CardCase& k = t.Card;
        for (const double startMs : {250.0, -250.0}) {
            SCOPED_TRACE(std::string(k.Name) + (startMs > 0 ? ", ahead" : ", behind"));
            const ModelClock c = HeldFrom(k, startMs, 11, 240);
            // Neighbouring coarse stamps step through the band together: chasing each one's
            // middle is a rate change every few seconds for nothing.
            EXPECT_LE(c.RateChanges, t.RateChanges);
            // The beat of the frame rate against the interrupt is no frequency.
            EXPECT_NEAR(c.Servo.DriftPpm, k.DriftPpm, t.DriftTolerancePpm);
        }
    }
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
    ::testing::Values(LoopCase{"FastAhead", Scenario(250, 500, 900, 1), 25, 450, 1.0, 0.2, 0},
                      LoopCase{"SlowBehind", Scenario(-250, -500, 900, 1), 25, 450, 1.0, 0.2, 0},
                      LoopCase{"Ordinary", Scenario(250, 100, 600, 1), 25, 300, 1.0, 0.2, 0},
                      // The outage's error, relocked without a hard set by the end.
                      LoopCase{"Outage", Outage(), 2700, 600, 5.0, 3.0, 0},
                      LoopCase{"Wandering", Wander(), 30, 60, 1.5, 0.5, 0},
                      // Waits that end at the clock's interrupts: RMS 0.305 ms.
                      LoopCase{"FarAheadIsHardSet", FarAhead(), 30, 60, 1.0, 0.35, 0, 1},
                      LoopCase{"ProportionalUntouched", Scenario(250, 40, 180, 0), 90, 90, 0.6,
                               0.55, 0.45}),
    [](const ::testing::TestParamInfo<LoopCase>& p) { return std::string(p.param.Name); });

} // namespace
