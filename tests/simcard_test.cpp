// The simulated card where the service would not notice its faults: the timecode and the PC
// time of one frame, the date and the flags, "no new data" within a frame, and each of the
// ways it can be made as hard as a real card in a real PC.
#include "CardWorld.h"

#include "card/CardAccess.h"

#include "TimeFunc/TimecodeRecord.h"
#include "simcard/SimCard.h"
#include "tests/TestRecords.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

namespace {

class SimCardTest : public CardWorld {
  protected:
    void SetUp() override {
        CardWorld::SetUp();
        SetUtc(2026, 12, 6, 8, 5, 3, 0);
    }
    static void SetUtc(std::uint16_t y, std::uint16_t mo, std::uint16_t d, std::uint16_t h,
                       std::uint16_t mi, std::uint16_t s, std::uint16_t ms) {
        emu::SetTrueTimeUtc(testutil::Utc(y, mo, d, h, mi, s, ms));
    }
    static std::int32_t Open() {
        std::int32_t h = 0;
        EXPECT_EQ(plat::TecOpen(&h, 4097), 0);
        return h;
    }
    static std::int32_t Read(std::int32_t h, TimecodeRecord& r) { return plat::TecReadTime(h, &r); }
    static void Set(const char* name, std::int32_t v) {
        emu::RegSetDword(kSimKey, name, static_cast<std::uint32_t>(v));
    }
    struct Hms {
        int h, m, s, ms;
        bool operator==(const Hms&) const = default;
    };
    static Hms Ltc(const TimecodeRecord& r) {
        return {r.LtcHour, r.LtcMinute, r.LtcSecond, r.LtcMilliseconds};
    }
    static Hms Sys(const TimecodeRecord& r) {
        return {r.SystemHour, r.SystemMinute, r.SystemSecond, r.SystemMilliseconds};
    }
};

TEST_F(SimCardTest, RecordCarriesTheTimecodeAndThePcTimeOfOneFrame) {
    struct Case {
        const char* name;
        std::int32_t timecodeZone, offsetMs, ltcZone; // card settings; -1 leaves one alone
        bool centralEurope;                           // the PC's own zone, else UTC
        Hms ltc;
        std::uint16_t zone;
    };
    const Case cases[] = {
        {"PC local time in UTC zone", -1, -1, -1, false, {8, 5, 3, 0}, 3},
        {"UTC, PC 250 ms ahead", 2, 250, -1, false, {8, 5, 2, 750}, 3},
        {"UTC, PC 200 ms behind", 2, -200, -1, false, {8, 5, 3, 200}, 3},
        {"carried zone 10", 0, -1, 10, false, {18, 5, 3, 0}, 10},
        {"carried zone 3 is UTC", 0, -1, 3, false, {8, 5, 3, 0}, 3},
        {"PC local time in central Europe", -1, -1, -1, true, {9, 5, 3, 0}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        SetUtc(2026, 12, 6, 8, 5, 3, 0);
        for (const auto& [name, value] :
             {std::pair{"TimecodeZone", c.timecodeZone}, std::pair{"OffsetMs", c.offsetMs},
              std::pair{"LtcZone", c.ltcZone}}) {
            if (value != -1) {
                Set(name, value);
            }
        }
        if (c.centralEurope) {
            emu::SetTimeZone(emu::CentralEuropeanZone());
        }
        const std::int32_t h = Open();
        TimecodeRecord r;
        ASSERT_EQ(Read(h, r), 0);
        EXPECT_TRUE(Ltc(r) == c.ltc)
            << r.LtcHour << ":" << r.LtcMinute << ":" << r.LtcSecond << "." << r.LtcMilliseconds;
        EXPECT_TRUE(Sys(r) == (Hms{8, 5, 3, 0}));
        EXPECT_EQ(r.SystemDay, 6);
        EXPECT_EQ(r.SystemMonth, 12);
        EXPECT_EQ(r.SystemYear, 2026);
        EXPECT_EQ(r.LtcZone, c.zone);
        EXPECT_EQ(r.Flags, FlagLtcSync);
    }
}

TEST_F(SimCardTest, DateAndFlagsFollowTheModeAndTheSettings) {
    SetUtc(2026, 12, 31, 23, 30, 0, 0);
    Set("TimecodeZone", 0);
    Set("LtcZone", 1);
    const std::int32_t h = Open();
    TimecodeRecord r;
    ASSERT_EQ(Read(h, r), 0);
    EXPECT_EQ(r.Flags, FlagLtcSync) << "no date before a real-time mode is set";
    EXPECT_EQ(r.LtcYear, 0);

    ASSERT_EQ(plat::TecSetRealtimeMode(h, 2), 0);
    emu::AdvanceMs(40);
    ASSERT_EQ(Read(h, r), 0);
    EXPECT_EQ(r.Flags, FlagLtcSync | FlagDateValid);
    EXPECT_TRUE(Ltc(r) == (Hms{0, 30, 0, 40}));
    EXPECT_EQ(r.LtcDay, 1);
    EXPECT_EQ(r.LtcMonth, 1);
    EXPECT_EQ(r.LtcYear, 2027);
    EXPECT_EQ(r.SystemYear, 2026);

    Set("SyncFlag", 0);
    Set("DateValid", 0);
    emu::AdvanceMs(1000);
    ASSERT_EQ(Read(h, r), 0);
    EXPECT_EQ(r.Flags, 0u);

    Set("DateValid", 1);
    ASSERT_EQ(plat::TecSetRealtimeMode(h, 0), 0);
    emu::AdvanceMs(1000);
    ASSERT_EQ(Read(h, r), 0);
    EXPECT_EQ(r.Flags, 0u);
}

TEST_F(SimCardTest, AReadWithinTheSameFrameHasNoNewData) {
    const std::int32_t h = Open();
    TimecodeRecord r;
    EXPECT_EQ(Read(h, r), 0);
    r.LtcHour = 99;
    EXPECT_EQ(Read(h, r), 1);
    EXPECT_EQ(r.LtcHour, 99) << "no data, no write";
    emu::AdvanceMs(39);
    EXPECT_EQ(Read(h, r), 1);
    emu::AdvanceMs(1);
    EXPECT_EQ(Read(h, r), 0);
    EXPECT_EQ(r.LtcMilliseconds, 40);
    const std::int32_t other = Open(); // each handle has its own last frame
    EXPECT_EQ(Read(other, r), 0);
    ASSERT_EQ(plat::TecClose(h), 0);
    ASSERT_EQ(Open(), h);
    EXPECT_EQ(Read(h, r), 0) << "a handle opened again starts afresh";
}

// --- the hard card ------------------------------------------------------------------------------

// Frame f of the day (true time, 100-ns units since midnight) at a rate of num/den per second.
std::int64_t FrameStartUnits(std::int64_t f, std::int64_t num, std::int64_t den) {
    return (f * 10000000 * den + num - 1) / num;
}

std::int64_t MsOfDay(const TimecodeRecord& r, bool ltc) {
    return ltc ? ((r.LtcHour * 60 + r.LtcMinute) * 60 + r.LtcSecond) * 1000 + r.LtcMilliseconds
               : ((r.SystemHour * 60 + r.SystemMinute) * 60 + r.SystemSecond) * 1000 +
                     r.SystemMilliseconds;
}

TEST_F(SimCardTest, LabelsAndStampsFollowTheFrameRateAndTheirRounding) {
    struct Case {
        const char* name;
        std::int32_t frameRate, frameMs, stampClock, stampMs; // -1 leaves one alone
        std::int64_t frame;          // of the day, read just after its start
        std::int64_t num, den;       // the true frame rate
        std::int64_t readAfter100ns; // after the frame's start
        double driftPpm;
        std::int64_t ltcMs, pcMs; // of the day
    };
    constexpr std::int64_t kMin = 60000;
    const Case cases[] = {
        {"25 fps", -1, -1, -1, -1, 1, 25, 1, 1, 0, 40, 40},
        {"24 fps, rounded", 24, -1, -1, -1, 1, 24, 1, 1, 0, 42, 42},
        {"24 fps, truncated label", 24, 1, -1, -1, 1, 24, 1, 1, 0, 41, 42},
        {"24 fps, truncated stamp", 24, -1, -1, 1, 1, 24, 1, 1, 0, 42, 41},
        {"30 fps, rounded", 30, -1, -1, -1, 2, 30, 1, 1, 0, 67, 67},
        {"30 fps, truncated", 30, 1, -1, 1, 2, 30, 1, 1, 0, 66, 66},
        {"1 ms clock floors", 24, -1, 2, -1, 1, 24, 1, 1, 0, 42, 41},
        {"interrupt clock, rounded", 30, -1, 1, -1, 2, 30, 1, 233333, 0, 67, 63},
        {"interrupt clock, truncated", 30, -1, 1, 1, 2, 30, 1, 233333, 0, 67, 62},
        {"a fast clock, stamped at the frame's start", -1, -1, -1, -1, 1, 25, 1, 390000, 100000, 40,
         40},
        {"drop-frame, last of minute 0", 2997, -1, -1, -1, 1799, 30000, 1001, 1, 0, 59967, 60027},
        {"drop-frame skips 0 and 1 at minute 1", 2997, -1, -1, -1, 1800, 30000, 1001, 1, 0,
         kMin + 67, 60060},
        {"drop-frame, truncated", 2997, 1, -1, -1, 1800, 30000, 1001, 1, 0, kMin + 66, 60060},
        {"drop-frame skips at minute 2", 2997, -1, -1, -1, 3598, 30000, 1001, 1, 0, 2 * kMin + 67,
         120053},
        {"drop-frame, last before minute 10", 2997, -1, -1, -1, 17981, 30000, 1001, 1, 0,
         10 * kMin - 33, 599966},
        {"drop-frame keeps 0 at minute 10", 2997, -1, -1, -1, 17982, 30000, 1001, 1, 0, 10 * kMin,
         599999},
        {"drop-frame keeps 1 at minute 10", 2997, -1, -1, -1, 17983, 30000, 1001, 1, 0,
         10 * kMin + 33, 600033},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        SetUtc(2026, 12, 6, 0, 0, 0, 0);
        Set("TimecodeZone", 2);
        for (const auto& [name, value] :
             {std::pair{"FrameRate", c.frameRate}, std::pair{"FrameMs", c.frameMs},
              std::pair{"StampClock", c.stampClock}, std::pair{"StampMs", c.stampMs}}) {
            if (value != -1) {
                Set(name, value);
            }
        }
        const std::int32_t h = Open();
        const std::int64_t start = FrameStartUnits(c.frame, c.num, c.den);
        emu::Advance100ns(start); // the clock is in step at its start
        emu::SetDriftPpm(c.driftPpm);
        emu::Advance100ns(c.readAfter100ns);
        TimecodeRecord r;
        ASSERT_EQ(Read(h, r), 0);
        EXPECT_EQ(MsOfDay(r, true), c.ltcMs);
        EXPECT_EQ(MsOfDay(r, false), c.pcMs);
    }
}

TEST_F(SimCardTest, InterruptStampsFallOnTheClocksTicks) {
    for (const std::int32_t stampMs : {0, 1}) {
        SCOPED_TRACE(stampMs);
        ResetAll();
        SetUtc(2026, 12, 6, 8, 5, 3, 0);
        Set("StampClock", 1);
        Set("StampMs", stampMs);
        std::set<int> ticks; // ms of the second that an interrupt leaves the clock on
        for (int k = 0; k < 64; ++k) {
            ticks.insert(static_cast<int>(stampMs == 1 ? std::floor(k * 15.625)
                                                       : std::floor(k * 15.625 + 0.5)) %
                         1000);
        }
        const std::int32_t h = Open();
        int read = 0;
        for (int i = 0; i < 2000; ++i) {
            emu::AdvanceMs(7);
            TimecodeRecord r;
            if (Read(h, r) != 0) {
                continue;
            }
            ++read;
            EXPECT_EQ(ticks.count(r.SystemMilliseconds), 1u) << r.SystemMilliseconds;
            // The last interrupt before the frame began.
            EXPECT_LE(MsOfDay(r, false), MsOfDay(r, true));
            EXPECT_GT(MsOfDay(r, false), MsOfDay(r, true) - 16);
        }
        EXPECT_GT(read, 300);
    }
}

TEST_F(SimCardTest, StampLatencyIsDrawnFromItsDistributionBySeed) {
    // Each frame's latency, to 20 us: the frame's record appears only once it is stamped.
    constexpr int kFrames = 10000;
    constexpr std::int64_t kStep = 200;
    const auto latencies = [](std::int32_t kind, std::int32_t seed, int frames) {
        ResetAll();
        SetUtc(2026, 12, 6, 8, 5, 3, 0);
        Set("StampLatency", kind);
        Set("Seed", seed);
        Set("StampMs", 1);
        const std::int32_t h = Open();
        std::vector<std::int64_t> out;
        TimecodeRecord r;
        emu::AdvanceMs(39);
        (void)Read(h, r); // stamped by now
        emu::AdvanceMs(1);
        for (int f = 1; f <= frames; ++f) {
            const std::int64_t start = emu::TrueTime100ns();
            std::int64_t waited = 0;
            while (Read(h, r) != 0 && waited < 400000) {
                emu::Advance100ns(kStep);
                waited += kStep;
            }
            out.push_back(waited);
            // The stamp is the PC clock once the latency has passed (truncated to whole ms).
            const std::int64_t stampedAt = (start + waited) / 10000 % 86400000;
            EXPECT_GE(stampedAt - MsOfDay(r, false), 0) << f;
            EXPECT_LE(stampedAt - MsOfDay(r, false), 1) << f;
            EXPECT_EQ(r.LtcMilliseconds, (start / 10000) % 1000) << "labelled with its frame";
            emu::Advance100ns(400000 - waited);
        }
        return out;
    };
    struct Case {
        const char* name;
        std::int32_t kind;
        double meanLow, meanHigh; // ms
        double maxLow, maxHigh;   // ms
        int overOneMsLow, overOneMsHigh;
    };
    const Case cases[] = {
        {"none", 0, 0, 0, 0, 0, 0, 0},
        {"typical", 1, 0.095, 0.135, 1.0, 5.5, 6, 40},
        {"loaded", 2, 0.45, 0.7, 5.0, 25.0, 500, 1500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::int64_t> l = latencies(c.kind, 7, kFrames);
        double sum = 0;
        int overOneMs = 0;
        for (const std::int64_t units : l) {
            sum += static_cast<double>(units) / 10000;
            overOneMs += units > 10000 ? 1 : 0;
        }
        const double maxMs = static_cast<double>(*std::max_element(l.begin(), l.end())) / 10000;
        EXPECT_GE(sum / kFrames, c.meanLow);
        EXPECT_LE(sum / kFrames, c.meanHigh);
        EXPECT_GE(maxMs, c.maxLow);
        EXPECT_LE(maxMs, c.maxHigh);
        EXPECT_GE(overOneMs, c.overOneMsLow);
        EXPECT_LE(overOneMs, c.overOneMsHigh);
    }
    EXPECT_EQ(latencies(1, 7, 200), latencies(1, 7, 200)) << "the same seed, the same world";
    EXPECT_NE(latencies(1, 7, 200), latencies(1, 8, 200));
}

TEST_F(SimCardTest, FaultyFramesComeAtTheRateAsked) {
    enum Kind { kRepeated, kSkipped, kLate, kEarly, kGarbled, kKinds };
    struct Case {
        const char* knob;
        Kind kind;
    };
    const Case cases[] = {{"RepeatPpm", kRepeated},
                          {"SkipPpm", kSkipped},
                          {"LatePpm", kLate},
                          {"EarlyPpm", kEarly},
                          {"GarbledPpm", kGarbled}};
    constexpr int kFrames = 20000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.knob);
        ResetAll();
        SetUtc(2026, 12, 6, 8, 5, 3, 0);
        Set("TimecodeZone", 2);
        Set(c.knob, 10000); // 1%
        const std::int32_t h = Open();
        std::array<int, kKinds> seen{};
        TimecodeRecord last;
        for (int f = 0; f < kFrames; ++f) {
            emu::AdvanceMs(40);
            const std::int64_t frameMs = emu::TrueTime100ns() / 10000 % 86400000;
            TimecodeRecord r;
            if (Read(h, r) != 0) {
                ++seen[kSkipped];
                continue;
            }
            const std::int64_t off = MsOfDay(r, true) - frameMs;
            if (std::memcmp(&r, &last, sizeof r) == 0) {
                ++seen[kRepeated];
            } else if (off == -40) {
                ++seen[kLate];
            } else if (off == 40) {
                ++seen[kEarly];
            } else if (off != 0 && off % 1000 == 0 && std::abs(off) <= 9000) {
                ++seen[kGarbled];
            } else {
                EXPECT_EQ(off, 0);
                EXPECT_EQ(MsOfDay(r, false), frameMs);
            }
            last = r;
        }
        for (int k = 0; k < kKinds; ++k) {
            if (k == c.kind) {
                EXPECT_GE(seen[k], 140); // 200 expected
                EXPECT_LE(seen[k], 260);
            } else {
                EXPECT_EQ(seen[k], 0) << "kind " << k;
            }
        }
    }
}

TEST_F(SimCardTest, UnpluggedTimecodeIsNoNewDataNotAFailure) {
    Set("TimecodeZone", 2);
    ASSERT_EQ(OpenCard(4097), 0);
    emu::AdvanceMs(40);
    TimecodeRecord r;
    EXPECT_EQ(ReadTimecode(r), ReadGood);
    Set("Unplugged", 1);
    simcard::Reconfigure();
    for (int i = 0; i < 50; ++i) {
        emu::AdvanceMs(40);
        r.LtcHour = 99;
        EXPECT_EQ(ReadTimecode(r), ReadNoNewData);
        EXPECT_EQ(r.LtcHour, 99);
    }
    EXPECT_EQ(CardErrorText().find("no frame") != std::string::npos, true) << CardErrorText();
    Set("Unplugged", 0);
    emu::AdvanceMs(1000); // the card notices within a second
    EXPECT_EQ(ReadTimecode(r), ReadGood);
}

} // namespace
