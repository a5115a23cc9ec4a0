#include "platform/emu/EmuZone.h"

#include "platform/emu/EmuTime.h"
#include "platform/emu/EmuTimeInternal.h"
#include "platform/emu/World.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

namespace emu {
namespace {

constexpr std::int64_t kUnitsPerMinute = std::int64_t{60} * 1000 * 10000;
constexpr std::uint32_t kErrorInvalidParameter = 87;

struct ZoneState {
    std::mutex Lock;
    plat::TimeZoneInfo Zone{}; // written by tests (SetTimeZone), read by any thread
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
ZoneState& Zone() {
    static ZoneState state;
    return state;
}

plat::TimeZoneInfo CurrentZone() {
    const std::lock_guard lock(Zone().Lock);
    return Zone().Zone;
}

void ResetZone() {
    const std::lock_guard lock(Zone().Lock);
    Zone().Zone = UtcZone();
}

const detail::ResetRegistration kRegistration{&ResetZone}; // NOLINT(cert-err58-cpp)

bool HasDaylightRules(const plat::TimeZoneInfo& tz) {
    return tz.StandardDate.Month >= 1 && tz.StandardDate.Month <= 12 &&
           tz.DaylightDate.Month >= 1 && tz.DaylightDate.Month <= 12;
}

// The local moment of a transition rule in year y: either "week n (5 = last) of the month on
// this day of week" (Year 0) or a fixed day of the month.
std::int64_t TransitionLocal(const plat::SystemTime& rule, std::uint16_t y) {
    const int m = rule.Month;
    const int length = detail::DaysInMonth(y, m);
    int day = 0;
    if (rule.Year == 0) {
        plat::SystemTime first;
        first.Year = y;
        first.Month = rule.Month;
        first.Day = 1;
        const int firstDow = UnitsToUtc(UtcToUnits(first)).DayOfWeek;
        const int dow = rule.DayOfWeek % 7;
        const int week = std::clamp<int>(rule.Day, 1, 5);
        day = 1 + (dow - firstDow + 7) % 7 + (week - 1) * 7;
        while (day > length) {
            day -= 7;
        }
    } else {
        day = std::clamp<int>(rule.Day, 1, length);
    }
    plat::SystemTime at;
    at.Year = y;
    at.Month = rule.Month;
    at.Day = static_cast<std::uint16_t>(day);
    at.Hour = std::min<std::uint16_t>(rule.Hour, 23);
    at.Minute = std::min<std::uint16_t>(rule.Minute, 59);
    at.Second = std::min<std::uint16_t>(rule.Second, 59);
    at.Milliseconds = std::min<std::uint16_t>(rule.Milliseconds, 999);
    return UtcToUnits(at);
}

// Daylight time in force at a UTC moment by the zone's rules. Each rule is written in the
// local time that is in force just before it: daylight begins at a standard-time moment and
// ends at a daylight-time moment.
bool DaylightAt(const plat::TimeZoneInfo& tz, std::int64_t utc) {
    const std::int64_t standardLocal =
        utc - std::int64_t{tz.Bias + tz.StandardBias} * kUnitsPerMinute;
    const std::uint16_t y = UnitsToUtc(standardLocal).Year;
    const std::int64_t daylightStart = TransitionLocal(tz.DaylightDate, y) +
                                       std::int64_t{tz.Bias + tz.StandardBias} * kUnitsPerMinute;
    const std::int64_t standardStart = TransitionLocal(tz.StandardDate, y) +
                                       std::int64_t{tz.Bias + tz.DaylightBias} * kUnitsPerMinute;
    if (daylightStart < standardStart) {
        return utc >= daylightStart && utc < standardStart; // northern hemisphere
    }
    return utc >= daylightStart || utc < standardStart; // southern: daylight spans new year
}

std::uint32_t ZoneIdAt(const plat::TimeZoneInfo& tz, std::int64_t utc) {
    if (!HasDaylightRules(tz)) {
        return plat::kTimeZoneIdUnknown;
    }
    return DaylightAt(tz, utc) ? plat::kTimeZoneIdDaylight : plat::kTimeZoneIdStandard;
}

std::int64_t BiasAt(const plat::TimeZoneInfo& tz, std::int64_t utc) {
    switch (ZoneIdAt(tz, utc)) {
    case plat::kTimeZoneIdDaylight:
        return std::int64_t{tz.Bias} + tz.DaylightBias;
    case plat::kTimeZoneIdStandard:
        return std::int64_t{tz.Bias} + tz.StandardBias;
    default:
        return tz.Bias;
    }
}

} // namespace

void SetTimeZone(const plat::TimeZoneInfo& tz) {
    const std::lock_guard lock(Zone().Lock);
    Zone().Zone = tz;
}

plat::TimeZoneInfo CentralEuropeanZone() {
    plat::TimeZoneInfo tz;
    tz.Bias = -60;
    tz.StandardBias = 0;
    tz.DaylightBias = -60;
    tz.StandardDate.Month = 10; // last Sunday in October, 03:00 daylight time
    tz.StandardDate.DayOfWeek = 0;
    tz.StandardDate.Day = 5;
    tz.StandardDate.Hour = 3;
    tz.DaylightDate.Month = 3; // last Sunday in March, 02:00 standard time
    tz.DaylightDate.DayOfWeek = 0;
    tz.DaylightDate.Day = 5;
    tz.DaylightDate.Hour = 2;
    return tz;
}

plat::TimeZoneInfo UtcZone() {
    return plat::TimeZoneInfo{};
}

} // namespace emu

// --- the platform calls -----------------------------------------------------------------------

namespace plat {

void GetLocalTime(SystemTime& local) {
    emu::NotifyCall("GetLocalTime");
    const std::int64_t system = emu::SystemTime100ns();
    local =
        emu::UnitsToUtc(system - emu::BiasAt(emu::CurrentZone(), system) * emu::kUnitsPerMinute);
}

std::uint32_t GetTimeZoneInformation(TimeZoneInfo& tz) {
    emu::NotifyCall("GetTimeZoneInformation");
    if (emu::detail::Injected(emu::Fail::GetTimeZoneInformation)) {
        return kTimeZoneIdInvalid;
    }
    tz = emu::CurrentZone();
    return emu::ZoneIdAt(tz, emu::SystemTime100ns());
}

bool SystemTimeToTzSpecificLocalTime(const TimeZoneInfo& tz, const SystemTime& utc,
                                     SystemTime& local) {
    emu::NotifyCall("SystemTimeToTzSpecificLocalTime");
    if (emu::detail::Injected(emu::Fail::SystemTimeToTzSpecificLocalTime)) {
        return false;
    }
    if (!emu::detail::ValidUtc(utc)) {
        SetLastError(emu::kErrorInvalidParameter);
        return false;
    }
    const std::int64_t units = emu::UtcToUnits(utc);
    local = emu::UnitsToUtc(units - emu::BiasAt(tz, units) * emu::kUnitsPerMinute);
    return true;
}

} // namespace plat
