// The learned frequency across runs: its status value, what a start takes up, when it is
// written, and a restart in the middle of an outage.
#include "TimeFunc/CivilTime.h"
#include "ctl/Ctl.h"
#include "engine/PrecisionServo.h"
#include "engine/StoredFrequency.h"
#include "sim/ClosedLoop.h"

#include "platform/emu/World.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kKey = "SOFTWARE\\Tecora";
using civil::kDayMs;
// 2026-12-08T14:00:00Z
constexpr std::int64_t kNoonish = 1796738400000;

TEST(StoredFrequency, OnlyTheExactFormIsRead) {
    const std::string good =
        "ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned";
    const std::optional<StoredFrequency> f = ParseStoredFrequency(good);
    ASSERT_TRUE(f);
    EXPECT_DOUBLE_EQ(f->Ppm, 12.345);
    EXPECT_DOUBLE_EQ(f->SdPpm, 0.5);
    EXPECT_EQ(f->UnixMs, kNoonish);
    EXPECT_EQ(f->Card, 0x1a2b3c4du);
    EXPECT_EQ(f->Source, FrequencySource::Learned);
    EXPECT_EQ(FormatStoredFrequency(*f), good);

    struct Case {
        const char* Text;
        std::optional<double> Ppm; // nothing: not read at all
    };
    const std::vector<Case> cases = {
        {"ppm=-0.500 sd=1.25 utc=2024-02-29T23:59:59Z card=00000000 src=restored", -0.5},
        {"ppm=+499.999 sd=0.50 utc=2026-12-08T14:00:00Z card=ffffffff src=unused", 499.999},
        {"", {}},
        {"ppm=12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12,345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+1e3 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+nan sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12. sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+.5 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12.345 sd=+0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12.345 sd=-0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-02-30T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-12-08T24:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-12-08 14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00 card=1a2b3c4d src=learned", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1A2B3C4D src=learned", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4 src=learned", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=guessed", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned ", {}},
        {" ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12.345  sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"sd=0.50 ppm=+12.345 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned", {}},
        {"ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned x=1", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        const std::optional<StoredFrequency> parsed = ParseStoredFrequency(c.Text);
        ASSERT_EQ(parsed.has_value(), c.Ppm.has_value());
        if (parsed) {
            EXPECT_DOUBLE_EQ(parsed->Ppm, *c.Ppm);
            EXPECT_EQ(FormatStoredFrequency(*parsed), c.Text);
        }
    }
}

TEST(StoredFrequency, TakenUpOnlyWhenRecentFromTheSameCardAndWithinBounds) {
    struct Case {
        const char* Name;
        double Ppm;
        double SdPpm;
        std::int64_t AgeMs; // negative: ahead of the PC clock
        std::uint32_t Card;
        FrequencyVerdict Verdict;
    };
    const std::uint32_t card = 0x1a2b3c4d;
    const std::vector<Case> cases = {
        {"an hour old", 40, 0.8, 3600000, card, FrequencyVerdict::Usable},
        {"seven days old", -40, 0.8, 7 * kDayMs, card, FrequencyVerdict::Usable},
        {"a second more", 40, 0.8, 7 * kDayMs + 1000, card, FrequencyVerdict::TooOld},
        {"a minute ahead", 40, 0.8, -60000, card, FrequencyVerdict::Usable},
        {"more ahead", 40, 0.8, -61000, card, FrequencyVerdict::InFuture},
        {"a day ahead", 40, 0.8, -kDayMs, card, FrequencyVerdict::InFuture},
        {"another card", 40, 0.8, 3600000, card ^ 1u, FrequencyVerdict::OtherCard},
        {"at the servo's bound", -500, 0.8, 3600000, card, FrequencyVerdict::Usable},
        {"beyond it", 500.001, 0.8, 3600000, card, FrequencyVerdict::OutOfBounds},
        {"no spread", 40, 0, 3600000, card, FrequencyVerdict::OutOfBounds},
        {"a vast spread", 40, 600, 3600000, card, FrequencyVerdict::OutOfBounds},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        StoredFrequency f;
        f.Ppm = c.Ppm;
        f.SdPpm = c.SdPpm;
        f.UnixMs = kNoonish - c.AgeMs;
        f.Card = c.Card;
        EXPECT_EQ(JudgeStoredFrequency(f, kNoonish, card), c.Verdict);
    }
}

TEST(StoredFrequency, EachPartOfTheCardTellsCardsApart) {
    const std::uint32_t base = CardIdentity("    Card: PCIe RX", 0x0917, 4097);
    EXPECT_EQ(CardIdentity("    Card: PCIe RX", 0x0917, 4097), base);
    EXPECT_NE(CardIdentity("    Card: PCIe K", 0x0917, 4097), base);
    EXPECT_NE(CardIdentity("    Card: PCIe RX", 0x0918, 4097), base);
    EXPECT_NE(CardIdentity("    Card: PCIe RX", 0x0917, 4098), base);
}

TEST(StoredFrequency, StatusSaysWhereTheFrequencyCameFrom) {
    const std::string rest = " sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=";
    EXPECT_EQ(ctl::FrequencyText("ppm=+12.345" + rest + "learned"), "+12.345 ppm (learned)");
    EXPECT_EQ(ctl::FrequencyText("ppm=-3.000" + rest + "restored"), "-3.000 ppm (restored)");
    EXPECT_EQ(ctl::FrequencyText("ppm=+1.000" + rest + "unused"), "+1.000 ppm (kept, not in use)");
    EXPECT_EQ(ctl::FrequencyText("ppm=+1.000" + rest + "later"), "");
    EXPECT_EQ(ctl::FrequencyText(""), "");
}

// The servo's side: a clock whose oscillator runs 40 ppm fast, as in the precision tests.
struct HeldClock {
    double ErrorMs = 0;
    double DriftPpm = 40;
    std::int64_t TimecodeMs = 1'000'000'000;
    ServoState Servo = ServoStart();
    std::int32_t Applied = 0;

    double Run(double seconds, bool measured) {
        double worst = 0;
        for (int i = 0; i < static_cast<int>(seconds * 20); ++i) {
            ErrorMs +=
                ((1 + DriftPpm * 1e-6) * (1 + static_cast<double>(Applied) / 156250) - 1) * 50;
            TimecodeMs += 50;
            ServoInput in;
            in.Measured = measured;
            in.DiffMs = static_cast<std::int32_t>(std::lround(ErrorMs));
            in.PcMs = TimecodeMs + (measured ? in.DiffMs : std::llround(ErrorMs));
            in.SyncM = 2000;
            in.SyncP = 2000;
            in.Increment = 156250;
            Applied = ServoStep(Servo, in);
            worst = std::max(worst, std::fabs(ErrorMs));
        }
        return worst;
    }
};

TEST(StoredFrequency, ARestoredFrequencyHoldsTheClockWhereItStands) {
    ServoInput limits;
    limits.SyncM = 2000;
    limits.SyncP = 2000;
    limits.Increment = 156250;
    HeldClock c;
    c.ErrorMs = 2.6; // where the clock stands after the restart
    c.Applied = ServoRestoreFrequency(c.Servo, 40, 0.8, 60, limits);
    // 40 ppm is 6.25 units: the rate is one of its two whole neighbours from the start.
    EXPECT_TRUE(c.Applied == -6 || c.Applied == -7) << c.Applied;
    EXPECT_DOUBLE_EQ(c.Servo.DriftPpm, 40);
    // Half an hour without a reading: the rate dithers to the frequency.
    EXPECT_LE(c.Run(1800, false), 3.2);
    // The first reading places the phase; where the clock stood says nothing of its frequency,
    // and one reading does not make a restored frequency learned.
    c.Run(0.05, true);
    EXPECT_NEAR(c.Servo.PhaseMs, c.ErrorMs, 0.6);
    EXPECT_NEAR(c.Servo.DriftPpm, 40, 0.3);
    EXPECT_FALSE(ServoFrequencyLearned(c.Servo));
    c.Run(300, true);
    EXPECT_TRUE(ServoFrequencyLearned(c.Servo));
    EXPECT_LE(std::fabs(c.ErrorMs), 0.7);

    // Nor when the timecode is there from the restart on.
    HeldClock quick;
    quick.Applied = ServoRestoreFrequency(quick.Servo, 40, 0.8, 60, limits);
    quick.Run(0.05, true);
    EXPECT_FALSE(ServoFrequencyLearned(quick.Servo));

    HeldClock far;
    // At most 500 ppm, 78.1 units: the whole value below it, as the servo holds it.
    EXPECT_EQ(ServoRestoreFrequency(far.Servo, 900, 0.8, 60, limits), -79);
}

// The service's side, in the emulated world.
sim::Scenario Precision(double seconds, int mode = 1) {
    sim::Scenario s;
    s.OffsetMs = 0;
    s.DriftPpm = 40;
    s.DurationS = seconds;
    s.SampleEveryMs = 1000;
    s.Settings = {{"SyncMode", std::to_string(mode)}};
    return s;
}

std::string Stored() {
    return emu::RegGetString(kKey, kFrequencyValue).value_or("");
}

// What a first run learned and left, then the world reset for the next run.
StoredFrequency LearnedByAFirstRun() {
    (void)sim::RunClosedLoop(Precision(300), nullptr);
    const std::optional<StoredFrequency> f = ParseStoredFrequency(Stored());
    EXPECT_TRUE(f) << Stored();
    return f.value_or(StoredFrequency{});
}

class StoredFrequencyLoop : public ::testing::Test {
  protected:
    void TearDown() override { emu::ResetWorld(); }
};

TEST_F(StoredFrequencyLoop, AStartTakesUpOnlyAUsableFrequency) {
    const StoredFrequency learned = LearnedByAFirstRun();
    EXPECT_EQ(learned.Source, FrequencySource::Learned);
    EXPECT_NEAR(learned.Ppm, 40, 2);
    // The emulated PC clock starts at the same moment each run.
    const std::int64_t start = learned.UnixMs - 299000;
    struct Case {
        const char* Name;
        std::int64_t AgeMs;
        std::uint32_t CardXor;
        int Mode;
        std::string Text;        // empty: the learned value, aged
        const char* SourceAfter; // nullptr: the value is left as it was
    };
    const std::vector<Case> cases = {
        {"recent", 3600000, 0, 1, "", "restored"},
        {"too old", 8 * kDayMs, 0, 1, "", "unused"},
        {"ahead", -3600000, 0, 1, "", "unused"},
        {"another card", 3600000, 1, 1, "", "unused"},
        {"SyncMode 0", 3600000, 0, 0, "", "unused"},
        {"malformed", 3600000, 0, 1, "ppm=+40.000 sd=0.80", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        StoredFrequency f = learned;
        f.UnixMs = (start - c.AgeMs) / 1000 * 1000;
        f.Card ^= c.CardXor;
        const std::string text = c.Text.empty() ? FormatStoredFrequency(f) : c.Text;
        // No timecode in the first minute: only a restored frequency moves the rate.
        sim::Scenario s = Precision(60, c.Mode);
        s.Settings.emplace_back(kFrequencyValue, text);
        s.Outages = {{0, 60}};
        const sim::RunResult run = sim::RunClosedLoop(s, nullptr);
        ASSERT_GE(run.Samples.size(), 60u);
        const bool restored = c.SourceAfter != nullptr && std::string(c.SourceAfter) == "restored";
        // At once, before the start-up reads give up on the timecode.
        const std::int32_t early = run.Samples[2].Correction;
        EXPECT_EQ(early == -6 || early == -7, restored) << early;
        EXPECT_EQ(std::fabs(run.Samples.back().ErrorMs) < 0.5, restored)
            << run.Samples.back().ErrorMs;
        if (c.SourceAfter == nullptr) {
            EXPECT_EQ(Stored(), text);
        } else {
            f.Source = restored ? FrequencySource::Restored : FrequencySource::Unused;
            EXPECT_EQ(Stored(), FormatStoredFrequency(f));
        }
    }
}

// Keeps the times at which "MonitorFrequency" changed.
class FrequencyWrites : public sim::Observer {
  public:
    void EventLogged(double /*timeS*/, std::uint16_t /*type*/,
                     const std::string& /*text*/) override {}
    void StatusChanged(double timeS, const std::string& name, const std::string& text,
                       double /*errorMs*/) override {
        if (name == kFrequencyValue) {
            Times.push_back(timeS);
            Texts.push_back(text);
        }
    }
    std::vector<double> Times;
    std::vector<std::string> Texts;
};

TEST_F(StoredFrequencyLoop, WrittenAtMostOnceAMinuteAndAtTheStop) {
    FrequencyWrites writes;
    (void)sim::RunClosedLoop(Precision(600), &writes);
    const std::uint64_t count = emu::RegWriteCount(kKey, kFrequencyValue);
    ASSERT_GE(writes.Times.size(), 5u);
    EXPECT_EQ(count, writes.Times.size()); // each write told something new
    EXPECT_LE(count, 600 / 60 + 1);
    for (std::size_t i = 1; i + 1 < writes.Times.size(); ++i) {
        EXPECT_GE(writes.Times[i] - writes.Times[i - 1], 59.9) << i;
    }
    // The stop's write carries the last reading's time.
    EXPECT_GE(writes.Times.back(), 600);
    const std::optional<StoredFrequency> last = ParseStoredFrequency(writes.Texts.back());
    ASSERT_TRUE(last);
    const std::optional<StoredFrequency> first = ParseStoredFrequency(writes.Texts.front());
    ASSERT_TRUE(first);
    EXPECT_GE(last->UnixMs - first->UnixMs, 600000 - 120000);
    EXPECT_EQ(last->Source, FrequencySource::Learned);
}

TEST_F(StoredFrequencyLoop, ARestartInTheMiddleOfAnOutageHoldsTheFrequency) {
    struct Case {
        const char* Name;
        std::vector<double> RestartsS;
        double OutageFromS;
        double OutageS;
    };
    const std::vector<Case> cases = {
        {"half an hour, restarted after 5 min", {1200}, 900, 1800},
        {"an hour, restarted twice", {1500, 2700}, 900, 3600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        sim::Scenario s = Precision(c.OutageFromS + c.OutageS + 60);
        s.Outages = {{c.OutageFromS, c.OutageS}};
        s.RestartsS = c.RestartsS;
        const sim::RunResult run = sim::RunClosedLoop(s, nullptr);
        double atReturn = 1e9;
        for (const sim::Sample& sample : run.Samples) {
            if (sample.TimeS <= c.OutageFromS + c.OutageS) {
                atReturn = sample.ErrorMs;
            }
        }
        EXPECT_LE(std::fabs(atReturn), 5.0);
        EXPECT_EQ(run.Figures.HardSets, 0u);
    }
}

} // namespace
