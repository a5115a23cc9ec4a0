// The simulated card where the service would not notice its faults: the timecode and the PC
// time of one frame, the date and the flags, and "no new data" within a frame.
#include "CardWorld.h"

#include "TimeFunc/TimecodeRecord.h"
#include "simcard/SimCard.h"
#include "tests/TestRecords.h"

#include <cstring>
#include <utility>

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
}

} // namespace
