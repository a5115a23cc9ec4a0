#include "TimeFunc/TimeDifference.h"

#include "tests/TestRecords.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

using testutil::MakeRecord;
using testutil::Moment;

struct Case {
    const char* name;
    Moment system;
    Moment ltc;
    bool dateFlag;
    std::int32_t expected;
};

Moment At(std::uint16_t h, std::uint16_t m, std::uint16_t s, std::uint16_t ms,
          std::uint16_t day = 6, std::uint16_t month = 12, std::uint16_t year = 2026) {
    return Moment{year, month, day, h, m, s, ms};
}

// Without a date the time of day wraps into half a day either way; with one, whole days
// count, an invalid date drops the day term, and beyond 32 bits the result saturates.
TEST(TimeDifference, Table) {
    const Case cases[] = {
        {"across midnight, ahead", At(0, 0, 0, 100), At(23, 59, 59, 900), false, 200},
        {"across midnight, behind", At(23, 59, 59, 900), At(0, 0, 0, 100), false, -200},
        {"exactly twelve hours ahead", At(12, 0, 0, 0), At(0, 0, 0, 0), false, 43200000},
        {"exactly twelve hours behind", At(0, 0, 0, 0), At(12, 0, 0, 0), false, -43200000},
        {"just past twelve hours", At(12, 0, 0, 1), At(0, 0, 0, 0), false, -43199999},
        {"just short of minus twelve", At(0, 0, 0, 0), At(12, 0, 0, 1), false, 43199999},
        {"equal", At(8, 30, 15, 250), At(8, 30, 15, 250), false, 0},
        {"dates ignored", At(10, 0, 0, 0, 1, 1, 1990), At(9, 59, 59, 0), false, 1000},
        // Unchecked fields far beyond a day are still brought into range.
        {"hour 65535", At(65535, 0, 0, 0), At(0, 0, 0, 0), false, -32400000},
        {"every field at its maximum", At(65535, 65535, 65535, 65535), At(0, 0, 0, 0), false,
         -9099465},
        // With a date: whole days count.
        {"across midnight", At(0, 0, 0, 100, 7), At(23, 59, 59, 900, 6), true, 200},
        {"a day behind", At(10, 0, 0, 0, 6), At(10, 0, 0, 0, 7), true, -86400000},
        {"no wrap at 13 hours", At(13, 0, 0, 0), At(0, 0, 0, 0), true, 46800000},
        {"across a year", At(0, 0, 0, 0, 1, 1, 2027), At(23, 0, 0, 0, 31, 12, 2026), true, 3600000},
        {"leap day 2000 counts", At(0, 0, 0, 0, 1, 3, 2000), At(0, 0, 0, 0, 28, 2, 2000), true,
         2 * 86400000},
        {"1900 has no leap day", At(0, 0, 0, 0, 1, 3, 1900), At(0, 0, 0, 0, 28, 2, 1900), true,
         86400000},
        {"leap 2024", At(0, 0, 0, 0, 1, 3, 2024), At(0, 0, 0, 0, 28, 2, 2024), true, 2 * 86400000},
        {"24 days, still 32 bits", At(0, 0, 0, 0, 25), At(0, 0, 0, 0, 1), true, 24 * 86400000},
        // An invalid date drops the day term, without a wrap.
        {"timecode month 0", At(0, 0, 0, 100, 7), At(23, 59, 59, 900, 6, 0), true, -86399800},
        {"timecode month 13", At(0, 0, 0, 100, 7), At(23, 59, 59, 900, 6, 13), true, -86399800},
        {"system day 0", At(0, 0, 0, 100, 0), At(23, 59, 59, 900, 6), true, -86399800},
        {"system day 32", At(0, 0, 0, 100, 32, 1), At(23, 59, 59, 900, 6), true, -86399800},
        {"30 February", At(1, 0, 0, 0, 30, 2, 2024), At(0, 0, 0, 0, 1, 1, 2020), true, 3600000},
        {"29 Feb 2026 system", At(1, 0, 0, 0, 29, 2, 2026), At(0, 0, 0, 0, 1, 1, 2020), true,
         3600000},
        {"29 Feb 2026 timecode", At(1, 0, 0, 0, 1, 1, 2020), At(0, 0, 0, 0, 29, 2, 2026), true,
         3600000},
        {"29 Feb 1900", At(1, 0, 0, 0, 1, 1, 2020), At(0, 0, 0, 0, 29, 2, 1900), true, 3600000},
        {"year 0", At(1, 0, 0, 0, 1, 1, 0), At(0, 0, 0, 0, 1, 1, 2020), true, 3600000},
        {"year 10000", At(1, 0, 0, 0, 1, 1, 10000), At(0, 0, 0, 0, 1, 1, 2020), true, 3600000},
        {"29 Feb 2000 is a real day", At(0, 0, 0, 0, 1, 3, 2000), At(0, 0, 0, 0, 29, 2, 2000), true,
         86400000},
        // Dates more than 24.8 days apart do not fit 32 bits: the result keeps its sign and
        // lies beyond every limit instead of wrapping round to a small or opposite value.
        {"25 days ahead", At(0, 0, 0, 0, 26), At(0, 0, 0, 0, 1), true, INT32_MAX},
        {"25 days behind", At(0, 0, 0, 0, 1), At(0, 0, 0, 0, 26), true, -INT32_MAX},
        {"50 days ahead (wraps to a small value in 32 bits)", At(0, 0, 0, 0, 20, 1, 2027),
         At(0, 0, 0, 0, 1, 12, 2026), true, INT32_MAX},
        {"years apart", At(0, 0, 0, 0, 1, 1, 9999), At(0, 0, 0, 0, 1, 1, 1), true, INT32_MAX},
        {"years behind", At(0, 0, 0, 0, 1, 1, 1), At(23, 59, 59, 999, 31, 12, 9999), true,
         -INT32_MAX},
        {"last representable", At(20, 31, 23, 647, 25), At(0, 0, 0, 0, 1), true, INT32_MAX},
        {"one past it", At(20, 31, 23, 648, 25), At(0, 0, 0, 0, 1), true, INT32_MAX},
        {"last negative", At(0, 0, 0, 0, 1), At(20, 31, 23, 647, 25), true, -INT32_MAX},
        {"time fields alone past 32 bits", At(65535, 0, 0, 0, 0), At(0, 0, 0, 0), true, INT32_MAX},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TimeDifferenceMs(MakeRecord(c.system, c.ltc), c.dateFlag), c.expected) << c.name;
    }
}

} // namespace
