#include "TimeFunc/TimeZone.h"

#include "platform/Platform.h"
#include "platform/emu/World.h"
#include "tests/TestRecords.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using testutil::Moment;
using testutil::Utc;

plat::TimeZoneInfo FixedZone(std::int32_t bias) {
    plat::TimeZoneInfo tz;
    tz.Bias = bias;
    return tz;
}

constexpr plat::SystemTime kWinter = Utc(2026, 12, 6, 12);
constexpr plat::SystemTime kSummer = Utc(2026, 7, 15, 12);

enum class Machine : std::uint8_t { Utc, Cet, PlusOne, MinusFive, PlusTen };

plat::TimeZoneInfo ZoneOf(Machine m) {
    switch (m) {
    case Machine::Cet:
        return emu::CentralEuropeanZone();
    case Machine::PlusOne:
        return FixedZone(-60);
    case Machine::MinusFive:
        return FixedZone(300);
    case Machine::PlusTen:
        return FixedZone(-600);
    default:
        return emu::UtcZone();
    }
}

class TimeZone : public ::testing::Test {
  protected:
    void SetUp() override { emu::ResetWorld(); }
    static void Place(Machine m, const plat::SystemTime& now) {
        emu::SetTimeZone(ZoneOf(m));
        emu::SetTrueTimeUtc(now);
    }
};

TEST_F(TimeZone, SuffixTable) {
    struct Case {
        std::int32_t bias;
        const char* text;
    };
    const Case cases[] = {
        {0, " +0:00"},
        {-60, " +1:00"},
        {300, " -5:00"},
        {-330, " +5:30"},
        {210, " -3:30"},
        {-599, " +9:59"},
        {-600, "+10:00"},
        {599, " -9:59"},
        {600, "-10:00"},
        {-780, "+13:00"},
        {-45, " +0:45"},
        {1, " -0:01"},
        {INT32_MIN, "+35791394:08"},
        {INT32_MAX, "-35791394:07"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZoneSuffix(c.bias), c.text) << c.bias;
    }
}

TEST_F(TimeZone, CurrentBiasAddsDaylightOnlyWhileInForce) {
    struct Case {
        Machine machine;
        plat::SystemTime now;
        std::int32_t bias;
    };
    const Case cases[] = {
        {Machine::Utc, kWinter, 0},        {Machine::Cet, kWinter, -60},
        {Machine::Cet, kSummer, -120},     {Machine::MinusFive, kSummer, 300},
        {Machine::PlusTen, kWinter, -600},
    };
    for (const auto& c : cases) {
        Place(c.machine, c.now);
        EXPECT_EQ(CurrentBias(), c.bias);
    }
    // StandardBias is never added, even while standard time is in force.
    plat::TimeZoneInfo odd = emu::CentralEuropeanZone();
    odd.StandardBias = 30;
    emu::SetTimeZone(odd);
    emu::SetTrueTimeUtc(kWinter);
    EXPECT_EQ(CurrentBias(), -60);
}

TEST_F(TimeZone, ZoneOffsetByMode) {
    struct Case {
        std::uint8_t mode;
        std::uint16_t ltcZone;
        Machine machine;
        plat::SystemTime now;
        std::int32_t offset;
    };
    const Case cases[] = {
        {0, 1, Machine::Cet, kSummer, 60},  {0, 10, Machine::Utc, kWinter, 600},
        {0, 0, Machine::Cet, kSummer, 0},   {0, 3, Machine::PlusTen, kWinter, 0},
        {0, 2, Machine::Utc, kWinter, 120}, {1, 3, Machine::Cet, kSummer, 120},
        {1, 1, Machine::Cet, kWinter, 60},  {1, 1, Machine::MinusFive, kWinter, -300},
        {2, 1, Machine::Cet, kSummer, 0},   {7, 5, Machine::PlusTen, kWinter, 0},
        {255, 5, Machine::Cet, kSummer, 0},
    };
    for (const auto& c : cases) {
        Place(c.machine, c.now);
        TimecodeRecord r;
        r.LtcZone = c.ltcZone;
        EXPECT_EQ(TimecodeZoneOffset(r, c.mode), c.offset)
            << "mode " << int{c.mode} << " zone " << c.ltcZone;
    }
}

std::string LtcText(const TimecodeRecord& r) {
    char s[64];
    std::snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d.%03d", r.LtcYear, r.LtcMonth,
                  r.LtcDay, r.LtcHour, r.LtcMinute, r.LtcSecond, r.LtcMilliseconds);
    return s;
}

TEST_F(TimeZone, ConvertTimecodeZoneToUtc) {
    struct Case {
        const char* name;
        Machine machine;
        plat::SystemTime now;
        std::uint8_t mode;
        std::uint16_t ltcZone;
        bool dateFlag;
        Moment ltc;
        const char* utc;
    };
    const Case cases[] = {
        {"carry back into 1999", Machine::Utc, kWinter, 0, 1, false, Moment{0, 0, 0, 0, 30, 0, 0},
         "1999-12-31 23:30:00.000"},
        {"no date: 1 January 2000 stands in", Machine::Utc, kWinter, 0, 10, false,
         Moment{2026, 12, 6, 23, 30, 0, 0}, "2000-01-01 13:30:00.000"},
        {"mode 1, daylight in force", Machine::Cet, kSummer, 1, 3, true,
         Moment{2026, 7, 15, 14, 0, 0, 0}, "2026-07-15 12:00:00.000"},
        {"mode 1, standard time", Machine::Cet, kWinter, 1, 3, true,
         Moment{2026, 12, 6, 14, 0, 0, 0}, "2026-12-06 13:00:00.000"},
        {"mode 1 west of UTC carries forward", Machine::MinusFive, kWinter, 1, 3, false,
         Moment{0, 0, 0, 21, 0, 0, 0}, "2000-01-02 02:00:00.000"},
        {"mode 0 with a date across a year", Machine::Cet, kWinter, 0, 2, true,
         Moment{2027, 1, 1, 1, 0, 0, 0}, "2026-12-31 23:00:00.000"},
        {"mode 0 into a leap day", Machine::Utc, kWinter, 0, 1, true,
         Moment{2028, 3, 1, 0, 15, 0, 0}, "2028-02-29 23:15:00.000"},
        {"mode 7 is UTC", Machine::Cet, kSummer, 7, 5, false, Moment{2026, 7, 15, 14, 0, 0, 0},
         "2000-01-01 14:00:00.000"},
        {"refused month 13 stays unconverted", Machine::Utc, kWinter, 0, 1, true,
         Moment{2026, 13, 6, 14, 0, 0, 0}, "2026-13-06 14:00:00.000"},
        {"refused hour 24 stays unconverted", Machine::Cet, kWinter, 1, 1, false,
         Moment{2026, 12, 6, 24, 0, 0, 0}, "2000-01-01 24:00:00.000"},
        {"refused 30 February stays unconverted", Machine::Utc, kWinter, 0, 1, true,
         Moment{2026, 2, 30, 14, 0, 0, 0}, "2026-02-30 14:00:00.000"},
    };
    for (const auto& c : cases) {
        Place(c.machine, c.now);
        TimecodeRecord in;
        testutil::SetLtc(in, c.ltc);
        testutil::SetSystem(in, Moment{2026, 12, 6, 1, 2, 3, 4});
        in.Flags = 0xDEADBEEF;
        in.LtcZone = c.ltcZone;
        std::memset(in.Reserved1, 0x5A, sizeof in.Reserved1);
        std::memset(in.Reserved2, 0xA5, sizeof in.Reserved2);
        const TimecodeRecord before = in;
        const TimecodeRecord out = ConvertTimecodeZone(in, c.dateFlag, c.mode);
        EXPECT_EQ(LtcText(out), c.utc) << c.name;
        EXPECT_EQ(std::memcmp(&in, &before, sizeof in), 0) << c.name;
        // Everything outside the Ltc time and date comes through as it was.
        TimecodeRecord rest = out;
        testutil::SetLtc(rest, c.ltc);
        EXPECT_EQ(std::memcmp(&rest, &before, sizeof rest), 0) << c.name;
    }
}

// Within two hours of a daylight saving change a local timecode takes whichever bias puts it
// nearer the PC's stamp (the generator and the PC never switch at the same instant).
TEST_F(TimeZone, LocalTimecodeNearADaylightChangeTakesTheNearerBias) {
    struct Case {
        const char* name;
        Moment stamp; // UTC; the PC clock reads the same
        Moment ltc;   // local
        const char* utc;
        const char* shown; // the timecode's own reading, with the bias the conversion chose
    };
    const Case cases[] = {
        {"autumn: PC changed, timecode not yet",
         {2026, 10, 25, 1, 0, 0, 20},
         {2026, 10, 25, 2, 59, 59, 990},
         "2026-10-25 00:59:59.990",
         "02:59:59.990  +2:00"},
        {"autumn: timecode changed, PC not yet",
         {2026, 10, 25, 0, 59, 59, 980},
         {2026, 10, 25, 2, 0, 0, 10},
         "2026-10-25 01:00:00.010",
         "02:00:00.010  +1:00"},
        {"spring: PC changed, timecode not yet",
         {2026, 3, 29, 1, 0, 0, 20},
         {2026, 3, 29, 1, 59, 59, 990},
         "2026-03-29 00:59:59.990",
         "01:59:59.990  +1:00"},
        {"spring, two hours on: the bias in force",
         {2026, 3, 29, 3, 0, 0, 20},
         {2026, 3, 29, 4, 0, 0, 0},
         "2026-03-29 02:00:00.000",
         "04:00:00.000  +2:00"},
        {"away from a change an hour off stays off",
         {2026, 12, 6, 12, 0, 0, 0},
         {2026, 12, 6, 14, 0, 0, 0},
         "2026-12-06 13:00:00.000",
         "14:00:00.000  +1:00"},
    };
    for (const auto& c : cases) {
        Place(Machine::Cet, Utc(c.stamp.Year, c.stamp.Month, c.stamp.Day, c.stamp.Hour,
                                c.stamp.Minute, c.stamp.Second, c.stamp.Milliseconds));
        for (const bool dateFlag : {true, false}) {
            TimecodeRecord in;
            testutil::SetLtc(in, c.ltc);
            testutil::SetSystem(in, c.stamp);
            std::int32_t bias = 0;
            const TimecodeRecord converted = ConvertTimecodeZone(in, dateFlag, 1, bias);
            const std::string utc = LtcText(converted);
            EXPECT_EQ(dateFlag ? utc : utc.substr(11), dateFlag ? c.utc : std::string(c.utc + 11))
                << c.name;
            EXPECT_EQ(FormatLtcGroup(converted, dateFlag, bias).substr(0, 19), c.shown) << c.name;
        }
    }
}

TEST_F(TimeZone, FormatTimecodeTexts) {
    struct Case {
        const char* name;
        Machine machine;
        plat::SystemTime now;
        bool systemGroup;
        bool dateFlag;
        std::uint8_t mode;
        std::uint16_t ltcZone;
        Moment group;
        const char* text;
    };
    const Case cases[] = {
        {"timecode zone +10, short", Machine::Utc, kWinter, false, false, 0, 10,
         Moment{0, 0, 0, 23, 30, 0, 0}, "09:30:00.000 +10:00"},
        {"mode 1 with date, daylight", Machine::Cet, kSummer, false, true, 1, 3,
         Moment{2026, 7, 15, 12, 0, 0, 0}, "14:00:00.000  +2:00    15.07.2026"},
        {"mode 1 with date, carry to the next day", Machine::Cet, kWinter, false, true, 1, 3,
         Moment{2026, 12, 31, 23, 30, 0, 5}, "00:30:00.005  +1:00    01.01.2027"},
        {"mode 1 west of UTC", Machine::MinusFive, kWinter, false, true, 1, 3,
         Moment{2026, 12, 6, 3, 0, 0, 0}, "22:00:00.000  -5:00    05.12.2026"},
        {"system group at UTC+1", Machine::PlusOne, kWinter, true, false, 0, 3,
         Moment{2026, 12, 6, 8, 5, 3, 7}, "09:05:03.007  +1:00    06.12.2026"},
        // A summer time stamp read in winter: that date's rules, today's offset text.
        {"system group by the date's own rules", Machine::Cet, kWinter, true, true, 1, 3,
         Moment{2026, 7, 15, 8, 0, 0, 0}, "10:00:00.000  +1:00    15.07.2026"},
        {"system group, all zero, unconverted", Machine::Cet, kWinter, true, false, 1, 3,
         Moment{0, 0, 0, 0, 0, 0, 0}, "00:00:00.000  +1:00    00.00.0000"},
    };
    for (const auto& c : cases) {
        Place(c.machine, c.now);
        TimecodeRecord r;
        r.LtcZone = c.ltcZone;
        if (c.systemGroup) {
            testutil::SetSystem(r, c.group);
            testutil::SetLtc(r, Moment{2026, 1, 1, 5, 5, 5, 5});
        } else {
            testutil::SetLtc(r, c.group);
            testutil::SetSystem(r, Moment{2026, 1, 1, 5, 5, 5, 5});
        }
        EXPECT_EQ(FormatTimecode(r, c.systemGroup, c.dateFlag, c.mode), c.text) << c.name;
    }
}

TEST_F(TimeZone, FormatLocalNow) {
    struct Case {
        Machine machine;
        plat::SystemTime now;
        const char* text;
    };
    const Case cases[] = {
        {Machine::Utc, Utc(2026, 12, 6, 12, 0, 0, 7), "12:00:00.007  +0:00    06.12.2026"},
        {Machine::Cet, Utc(2026, 12, 6, 23, 30), "00:30:00.000  +1:00    07.12.2026"},
        {Machine::Cet, kSummer, "14:00:00.000  +2:00    15.07.2026"},
        {Machine::PlusTen, kWinter, "22:00:00.000 +10:00    06.12.2026"},
    };
    for (const auto& c : cases) {
        Place(c.machine, c.now);
        EXPECT_EQ(FormatLocalNow(), c.text);
    }
}

TEST_F(TimeZone, FailingZoneQueryCountsAsNoZone) {
    Place(Machine::Cet, kSummer);
    emu::InjectFailure(emu::Fail::GetTimeZoneInformation, 5);
    EXPECT_EQ(CurrentBias(), 0);
    TimecodeRecord r;
    testutil::SetLtc(r, Moment{2026, 7, 15, 14, 0, 0, 0});
    EXPECT_EQ(LtcText(ConvertTimecodeZone(r, true, 1)), "2026-07-15 14:00:00.000");
}

} // namespace
