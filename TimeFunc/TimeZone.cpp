#include "TimeFunc/TimeZone.h"

#include "TimeFunc/CivilTime.h"
#include "TimeFunc/TimeDifference.h"
#include "platform/Platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// One zone query: the machine's zone record and the bias in force now.
struct MachineZone {
    plat::TimeZoneInfo Info;
    std::int32_t Bias = 0;
};

// Biases come from the zone record as they are; kept inside the 32-bit range so that they
// can be negated and added without overflow.
std::int32_t ClampBias(std::int64_t bias) {
    constexpr std::int64_t kLimit = INT32_MAX;
    return static_cast<std::int32_t>(bias > kLimit ? kLimit : bias < -kLimit ? -kLimit : bias);
}

MachineZone QueryMachineZone() {
    MachineZone zone;
    const std::uint32_t id = plat::GetTimeZoneInformation(zone.Info);
    std::int64_t bias = zone.Info.Bias;
    if (id == plat::kTimeZoneIdDaylight) {
        bias += zone.Info.DaylightBias;
    }
    zone.Bias = ClampBias(bias);
    return zone;
}

std::int32_t ZoneOffset(const TimecodeRecord& record, std::uint8_t zoneMode,
                        std::int32_t currentBias) {
    switch (zoneMode) {
    case 0:
        return record.LtcZone == LtcZoneNone ? 0 : 60 * std::int32_t{record.LtcZone};
    case 1:
        return -currentBias;
    default:
        return 0;
    }
}

// UTC minus a fixed bias, with carry into the date; the platform's conversion with the
// machine's zone record reduced to that bias. Unchanged when the platform refuses the time.
plat::SystemTime ShiftByBias(const plat::TimeZoneInfo& machine, const plat::SystemTime& utc,
                             std::int32_t bias) {
    if (bias == 0) {
        return utc;
    }
    plat::TimeZoneInfo fixed = machine;
    fixed.Bias = bias;
    fixed.StandardBias = 0;
    fixed.DaylightBias = 0;
    plat::SystemTime shifted = utc;
    if (!plat::SystemTimeToTzSpecificLocalTime(fixed, utc, shifted)) {
        return utc;
    }
    return shifted;
}

constexpr std::int32_t kChangeWindowMinutes = 120;

// The bias the machine's own rules give for a moment (UTC); false when there is none.
bool BiasAt(const plat::TimeZoneInfo& machine, const plat::SystemTime& utc, std::int32_t& bias) {
    plat::SystemTime local;
    if (!plat::SystemTimeToTzSpecificLocalTime(machine, utc, local) ||
        !civil::IsValidDate(local.Year, local.Month, local.Day)) {
        return false;
    }
    // A zone's bias is within a day; anything else is no bias the rules can give.
    const std::int64_t minutes =
        civil::StampMs(utc) / civil::kMinuteMs - civil::StampMs(local) / civil::kMinuteMs;
    if (minutes < -1440 || minutes > 1440) {
        return false;
    }
    bias = static_cast<std::int32_t>(minutes);
    return true;
}

// The biases in force two hours before and two hours after the record's PC stamp (or the PC
// clock now, when the stamp is no time); true when they differ, that is near a daylight
// saving change.
bool NearZoneChange(const plat::TimeZoneInfo& machine, const TimecodeRecord& record,
                    std::int32_t& before, std::int32_t& after) {
    if (machine.StandardDate.Month == 0 || machine.DaylightDate.Month == 0 ||
        machine.StandardBias == machine.DaylightBias) {
        return false; // a zone without daylight saving time never changes
    }
    plat::SystemTime stamp = civil::SystemStampOf(record);
    if (!civil::IsValidDate(stamp.Year, stamp.Month, stamp.Day) || stamp.Hour > 23 ||
        stamp.Minute > 59 || stamp.Second > 59 || stamp.Milliseconds > 999) {
        plat::GetSystemTime(stamp);
    }
    const plat::SystemTime earlier = ShiftByBias(machine, stamp, kChangeWindowMinutes);
    const plat::SystemTime later = ShiftByBias(machine, stamp, -kChangeWindowMinutes);
    return BiasAt(machine, earlier, before) && BiasAt(machine, later, after) && before != after;
}

// How far the record's PC stamp is from the timecode, taken as this UTC time.
std::int64_t DistanceToStamp(const TimecodeRecord& record, const plat::SystemTime& utc,
                             bool dateFlag) {
    TimecodeRecord r = record;
    civil::SetLtcTime(r, utc, true);
    return std::llabs(std::int64_t{TimeDifferenceMs(r, dateFlag)});
}

// The three parts of the zone text. The sign text loses its blank from ten hours on, so
// that one- and two-digit offsets give texts of the same width.
struct SuffixParts {
    const char* Sign = nullptr;
    int Hours = 0;
    int Minutes = 0;
};

SuffixParts SplitBias(std::int32_t bias) {
    const std::int64_t magnitude = std::llabs(std::int64_t{bias});
    SuffixParts parts;
    if (magnitude < 600) {
        parts.Sign = bias <= 0 ? " +" : " -";
    } else {
        parts.Sign = bias <= 0 ? "+" : "-";
    }
    parts.Hours = static_cast<int>(magnitude / 60);
    parts.Minutes = static_cast<int>(magnitude % 60);
    return parts;
}

std::string Compose(const plat::SystemTime& t, std::int32_t bias, bool withDate) {
    const SuffixParts zone = SplitBias(bias);
    char text[96];
    if (withDate) {
        std::snprintf(text, sizeof text, kLongForm, t.Hour, t.Minute, t.Second, t.Milliseconds,
                      zone.Sign, zone.Hours, zone.Minutes, t.Day, t.Month, t.Year);
    } else {
        std::snprintf(text, sizeof text, kShortForm, t.Hour, t.Minute, t.Second, t.Milliseconds,
                      zone.Sign, zone.Hours, zone.Minutes);
    }
    return text;
}

std::string ComposeLtcGroup(const plat::TimeZoneInfo& machine, const TimecodeRecord& record,
                            bool dateFlag, std::int32_t bias) {
    plat::SystemTime today;
    if (!dateFlag) {
        plat::GetSystemTime(today);
    }
    const plat::SystemTime utc = civil::LtcTimeOf(record, today, dateFlag);
    return Compose(ShiftByBias(machine, utc, bias), bias, dateFlag);
}

} // namespace

std::int32_t CurrentBias() {
    return QueryMachineZone().Bias;
}

std::int32_t TimecodeZoneOffset(const TimecodeRecord& record, std::uint8_t zoneMode) {
    return ZoneOffset(record, zoneMode, zoneMode == 1 ? CurrentBias() : 0);
}

std::string ZoneSuffix(std::int32_t bias) {
    const SuffixParts zone = SplitBias(bias);
    char text[32];
    std::snprintf(text, sizeof text, "%s%d:%.2d", zone.Sign, zone.Hours, zone.Minutes);
    return text;
}

TimecodeRecord ConvertTimecodeZone(const TimecodeRecord& record, bool dateFlag,
                                   std::uint8_t zoneMode) {
    std::int32_t timecodeBias = 0;
    return ConvertTimecodeZone(record, dateFlag, zoneMode, timecodeBias);
}

TimecodeRecord ConvertTimecodeZone(const TimecodeRecord& record, bool dateFlag,
                                   std::uint8_t zoneMode, std::int32_t& timecodeBias) {
    TimecodeRecord copy = record;
    const MachineZone zone = QueryMachineZone();
    // A timecode without a date stands on a fixed one: only its time of day is converted.
    constexpr plat::SystemTime kStandInDay{2000, 1, 0, 1, 0, 0, 0, 0};
    const plat::SystemTime input = civil::LtcTimeOf(record, kStandInDay, dateFlag);
    // Local time in the timecode's zone is UTC plus the offset; converting with the offset as
    // the bias takes it off again.
    const std::int32_t offset = ZoneOffset(record, zoneMode, zone.Bias);
    plat::SystemTime utc = ShiftByBias(zone.Info, input, offset);
    timecodeBias = -offset;
    std::int32_t before = 0;
    std::int32_t after = 0;
    if (zoneMode == 1 && NearZoneChange(zone.Info, record, before, after)) {
        // Near a change the local time is ambiguous, and a generator never switches at the
        // PC's very instant: the bias that puts the timecode nearer the PC clock is the one
        // it runs on.
        const plat::SystemTime first = ShiftByBias(zone.Info, input, -before);
        const plat::SystemTime second = ShiftByBias(zone.Info, input, -after);
        const bool nearerBefore =
            DistanceToStamp(record, first, dateFlag) <= DistanceToStamp(record, second, dateFlag);
        utc = nearerBefore ? first : second;
        timecodeBias = nearerBefore ? before : after;
    }
    civil::SetLtcTime(copy, utc, true);
    return copy;
}

std::string FormatTimecode(const TimecodeRecord& record, bool systemGroup, bool dateFlag,
                           std::uint8_t zoneMode) {
    const MachineZone zone = QueryMachineZone();
    if (systemGroup) {
        const plat::SystemTime utc = civil::SystemStampOf(record);
        // The machine's own rules for that date; the offset shown is the one in force now.
        plat::SystemTime local = utc;
        if (!plat::SystemTimeToTzSpecificLocalTime(zone.Info, utc, local)) {
            local = utc;
        }
        return Compose(local, zone.Bias, true);
    }
    return ComposeLtcGroup(zone.Info, record, dateFlag, -ZoneOffset(record, zoneMode, zone.Bias));
}

std::string FormatLtcGroup(const TimecodeRecord& record, bool dateFlag, std::int32_t bias) {
    return ComposeLtcGroup(QueryMachineZone().Info, record, dateFlag, bias);
}

std::string FormatLocalNow() {
    const std::int32_t bias = CurrentBias();
    plat::SystemTime local;
    plat::GetLocalTime(local);
    return Compose(local, bias, true);
}
