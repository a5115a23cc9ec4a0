// Milliseconds on the calendar of CivilDate.h, and the record's two groups as SystemTime: the
// one place where a date and a time of day become a number and back. Header only and free of
// the service, so that the simulated card can use it as well.
#pragma once

#include "TimeFunc/CivilDate.h"
#include "TimeFunc/TimecodeRecord.h"
#include "platform/Platform.h"

#include <cstdint>

namespace civil {

inline constexpr std::int64_t kDayMs = 86400000;
inline constexpr std::int64_t kHalfDayMs = kDayMs / 2;
inline constexpr std::int64_t kMinuteMs = 60000;

// In 64 bits: unchecked fields may hold anything up to 65535.
constexpr std::int64_t MsOfDay(std::int64_t hour, std::int64_t minute, std::int64_t second,
                               std::int64_t ms) {
    return ((hour * 60 + minute) * 60 + second) * 1000 + ms;
}

constexpr std::int64_t MsOfDay(const plat::SystemTime& t) {
    return MsOfDay(t.Hour, t.Minute, t.Second, t.Milliseconds);
}

// Milliseconds since the start of day 1: the stamp every difference of moments is taken on.
constexpr std::int64_t StampMs(std::int32_t dayNumber, std::int64_t msOfDay) {
    return std::int64_t{dayNumber} * kDayMs + msOfDay;
}

// The stamp of a date-time whose date is valid.
constexpr std::int64_t StampMs(const plat::SystemTime& t) {
    return StampMs(DayNumber(t.Year, t.Month, t.Day), MsOfDay(t));
}

inline constexpr std::int64_t kUnixEpochStampMs = StampMs(kUnixEpochDay, 0);

constexpr std::int64_t UnixMsOfStamp(std::int64_t stampMs) {
    return stampMs - kUnixEpochStampMs;
}

// Milliseconds since 1970 of a valid date and a time of day.
constexpr std::int64_t UnixMs(std::int32_t year, std::int32_t month, std::int32_t day,
                              std::int64_t msOfDay) {
    return UnixMsOfStamp(StampMs(DayNumber(year, month, day), msOfDay));
}

// A UTC date-time as milliseconds since 1970; 0 for a date that is no date.
constexpr std::int64_t UnixMs(const plat::SystemTime& utc) {
    return IsValidDate(utc.Year, utc.Month, utc.Day) ? UnixMsOfStamp(StampMs(utc)) : 0;
}

// The date-time of a stamp whose day lies on the calendar (1 to DayNumber(9999, 12, 31)).
constexpr plat::SystemTime TimeOfStamp(std::int64_t stampMs) {
    std::int64_t day = stampMs / kDayMs;
    std::int64_t inDay = stampMs % kDayMs;
    if (inDay < 0) {
        inDay += kDayMs;
        --day;
    }
    const auto dayNumber = static_cast<std::int32_t>(day);
    const Date date = DateOf(dayNumber);
    plat::SystemTime t;
    t.Year = static_cast<std::uint16_t>(date.Year);
    t.Month = static_cast<std::uint16_t>(date.Month);
    t.Day = static_cast<std::uint16_t>(date.Day);
    t.DayOfWeek = static_cast<std::uint16_t>(DayOfWeek(dayNumber));
    t.Hour = static_cast<std::uint16_t>(inDay / 3600000);
    t.Minute = static_cast<std::uint16_t>(inDay / kMinuteMs % 60);
    t.Second = static_cast<std::uint16_t>(inDay / 1000 % 60);
    t.Milliseconds = static_cast<std::uint16_t>(inDay % 1000);
    return t;
}

constexpr plat::SystemTime TimeOfUnixMs(std::int64_t unixMs) {
    return TimeOfStamp(unixMs + kUnixEpochStampMs);
}

// The record's System group: the PC's UTC time stamp of the frame.
constexpr plat::SystemTime SystemStampOf(const TimecodeRecord& record) {
    plat::SystemTime stamp;
    stamp.Year = record.SystemYear;
    stamp.Month = record.SystemMonth;
    stamp.Day = record.SystemDay;
    stamp.Hour = record.SystemHour;
    stamp.Minute = record.SystemMinute;
    stamp.Second = record.SystemSecond;
    stamp.Milliseconds = record.SystemMilliseconds;
    return stamp;
}

constexpr void SetSystemStamp(TimecodeRecord& record, const plat::SystemTime& stamp) {
    record.SystemYear = stamp.Year;
    record.SystemMonth = stamp.Month;
    record.SystemDay = stamp.Day;
    record.SystemHour = stamp.Hour;
    record.SystemMinute = stamp.Minute;
    record.SystemSecond = stamp.Second;
    record.SystemMilliseconds = stamp.Milliseconds;
}

// The Ltc group's time of day over base, and its date as well when withDate: a timecode
// without a date borrows one.
constexpr plat::SystemTime LtcTimeOf(const TimecodeRecord& record, plat::SystemTime base,
                                     bool withDate) {
    if (withDate) {
        base.Year = record.LtcYear;
        base.Month = record.LtcMonth;
        base.Day = record.LtcDay;
    }
    base.Hour = record.LtcHour;
    base.Minute = record.LtcMinute;
    base.Second = record.LtcSecond;
    base.Milliseconds = record.LtcMilliseconds;
    return base;
}

// Puts the time of day into the Ltc group, and the date when withDate (else it is left as
// it is).
constexpr void SetLtcTime(TimecodeRecord& record, const plat::SystemTime& t, bool withDate) {
    if (withDate) {
        record.LtcYear = t.Year;
        record.LtcMonth = t.Month;
        record.LtcDay = t.Day;
    }
    record.LtcHour = t.Hour;
    record.LtcMinute = t.Minute;
    record.LtcSecond = t.Second;
    record.LtcMilliseconds = t.Milliseconds;
}

static_assert(UnixMs(1970, 1, 1, 0) == 0);
static_assert(UnixMs(2000, 3, 1, 1) == 951868800001);
static_assert(TimeOfUnixMs(-1).Year == 1969 && TimeOfUnixMs(-1).Milliseconds == 999);
static_assert(TimeOfUnixMs(0).DayOfWeek == 4); // a Thursday

} // namespace civil
