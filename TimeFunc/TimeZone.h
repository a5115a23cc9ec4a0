#pragma once

#include "TimeFunc/TimecodeRecord.h"
#include "platform/Platform.h"

#include <cstdint>
#include <string>

// How every time text reads: hours, minutes, seconds, milliseconds, the zone's sign text,
// hours and minutes, then in the long form the day, month and year.
inline constexpr const char* kLongForm = "%.2d:%.2d:%.2d.%.3d %s%d:%.2d    %.2d.%.2d.%.4d";
inline constexpr const char* kShortForm = "%.2d:%.2d:%.2d.%.3d %s%d:%.2d";

// The machine's bias now (UTC = local + bias, minutes), daylight bias included while in force.
std::int32_t CurrentBias();

// Offset of the record's timecode zone in minutes east of UTC, for a "SelectTimezone" mode.
std::int32_t TimecodeZoneOffset(const TimecodeRecord& record, std::uint8_t zoneMode);

// The zone text after every time text, for a bias in minutes (" +1:00", "+10:00", " -5:00").
std::string ZoneSuffix(std::int32_t bias);

// A copy of the record whose Ltc group holds UTC.
TimecodeRecord ConvertTimecodeZone(const TimecodeRecord& record, bool dateFlag,
                                   std::uint8_t zoneMode);
// The same, and the bias the conversion took the timecode to be in (UTC = timecode + bias):
// near a daylight saving change that is not always the bias in force now.
TimecodeRecord ConvertTimecodeZone(const TimecodeRecord& record, bool dateFlag,
                                   std::uint8_t zoneMode, std::int32_t& timecodeBias);

// systemGroup true renders the System group (always with date), false the Ltc group.
std::string FormatTimecode(const TimecodeRecord& record, bool systemGroup, bool dateFlag,
                           std::uint8_t zoneMode);

// The converted Ltc group as the timecode itself read, with the bias the conversion chose.
std::string FormatLtcGroup(const TimecodeRecord& record, bool dateFlag, std::int32_t bias);

// The PC's local time now, in the long form.
std::string FormatLocalNow();
