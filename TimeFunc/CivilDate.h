// Day numbers in the proleptic Gregorian calendar, for the date arithmetic of the time
// functions. Day 1 is 1 January of year 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace civil {

constexpr bool IsLeapYear(std::int32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr std::int32_t DaysInMonth(std::int32_t year, std::int32_t month) {
    constexpr std::int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Years 1 to 9999, months 1 to 12, days 1 to the month's length.
constexpr bool IsValidDate(std::int32_t year, std::int32_t month, std::int32_t day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
           day <= DaysInMonth(year, month);
}

// The day number of a valid date.
constexpr std::int32_t DayNumber(std::int32_t year, std::int32_t month, std::int32_t day) {
    constexpr std::int32_t kBeforeMonth[12] = {0,   31,  59,  90,  120, 151,
                                               181, 212, 243, 273, 304, 334};
    const std::int32_t past = year - 1;
    std::int32_t n = past * 365 + past / 4 - past / 100 + past / 400;
    n += kBeforeMonth[month - 1] + (month > 2 && IsLeapYear(year) ? 1 : 0);
    return n + day;
}

struct Date {
    std::int32_t Year = 0;
    std::int32_t Month = 0;
    std::int32_t Day = 0;
};

// The date of a day number (1 to DayNumber(9999, 12, 31)).
constexpr Date DateOf(std::int32_t dayNumber) {
    // Estimate the year from the mean year length, then correct by at most one.
    std::int32_t year = static_cast<std::int32_t>((std::int64_t{dayNumber} * 400) / 146097) + 1;
    while (year > 1 && DayNumber(year, 1, 1) > dayNumber) {
        --year;
    }
    while (DayNumber(year + 1, 1, 1) <= dayNumber) {
        ++year;
    }
    std::int32_t month = 1;
    while (month < 12 && DayNumber(year, month + 1, 1) <= dayNumber) {
        ++month;
    }
    return Date{year, month, dayNumber - DayNumber(year, month, 1) + 1};
}

// 0 = Sunday, as the platform counts the day of week.
constexpr std::int32_t DayOfWeek(std::int32_t dayNumber) {
    return dayNumber % 7;
}

inline constexpr std::int32_t kUnixEpochDay = DayNumber(1970, 1, 1);

static_assert(DayNumber(1, 1, 1) == 1);
static_assert(DayOfWeek(DayNumber(2026, 12, 6)) == 0); // a Sunday
static_assert(DateOf(DayNumber(2000, 2, 29)).Day == 29);
static_assert(DateOf(DayNumber(2000, 12, 31)).Month == 12);
static_assert(DateOf(DayNumber(2001, 1, 1)).Year == 2001);

// Decimal digits at a fixed place of a date's or a moment's text; false for any other
// character, or a text too short.
constexpr bool FixedDigits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (text.size() < at + count) {
        return false;
    }
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

} // namespace civil
