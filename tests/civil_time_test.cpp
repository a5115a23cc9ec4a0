// The time arithmetic against the emulated clock's own calendar, which is written
// independently: every field of a moment, over leap days, century years and 1970 itself.
#include "TimeFunc/CivilTime.h"
#include "platform/emu/EmuTime.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr std::int64_t k1601To1970Units = 116444736000000000;

TEST(CivilTime, MomentsAgreeWithTheEmulatedCalendar) {
    // From 1960 to 2110 in steps of a little over 11 days, each at another time of day.
    const std::int64_t first = civil::UnixMs(1960, 1, 1, 0);
    const std::int64_t last = civil::UnixMs(2110, 1, 1, 0);
    for (std::int64_t ms = first; ms < last; ms += 11 * civil::kDayMs + 3723457) {
        const plat::SystemTime got = civil::TimeOfUnixMs(ms);
        const plat::SystemTime want = emu::UnitsToUtc(ms * 10000 + k1601To1970Units);
        ASSERT_EQ(got.Year, want.Year) << ms;
        ASSERT_EQ(got.Month, want.Month) << ms;
        ASSERT_EQ(got.Day, want.Day) << ms;
        ASSERT_EQ(got.DayOfWeek, want.DayOfWeek) << ms;
        ASSERT_EQ(civil::MsOfDay(got), civil::MsOfDay(want)) << ms;
        ASSERT_EQ(civil::UnixMs(got), ms) << "and back";
    }
}

TEST(CivilTime, TheRecordsGroupsRoundTrip) {
    const plat::SystemTime t{2028, 2, 0, 29, 23, 59, 59, 999};
    TimecodeRecord r;
    civil::SetLtcTime(r, t, false);
    EXPECT_EQ(r.LtcYear, 0) << "no date without one";
    const plat::SystemTime day{2000, 1, 6, 1, 0, 0, 0, 0};
    const plat::SystemTime borrowed = civil::LtcTimeOf(r, day, false);
    EXPECT_EQ(borrowed.Year * 10000 + borrowed.Month * 100 + borrowed.Day, 20000101);
    EXPECT_EQ(civil::MsOfDay(borrowed), civil::MsOfDay(t));
    EXPECT_EQ(borrowed.DayOfWeek, 6) << "the borrowed day's own";
    civil::SetLtcTime(r, t, true);
    civil::SetSystemStamp(r, t);
    EXPECT_EQ(civil::StampMs(civil::LtcTimeOf(r, {}, true)), civil::StampMs(t));
    EXPECT_EQ(civil::StampMs(civil::SystemStampOf(r)), civil::StampMs(t));
}

} // namespace
