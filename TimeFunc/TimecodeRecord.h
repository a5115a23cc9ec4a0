// The 44-byte record that the card library fills on every read.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct TimecodeRecord {
    std::uint32_t Flags = 0;
    // Ltc group: the timecode's time (and date, when the user bits carry one).
    std::uint16_t LtcMilliseconds = 0;
    std::uint16_t LtcSecond = 0;
    std::uint16_t LtcMinute = 0;
    std::uint16_t LtcHour = 0;
    std::uint16_t LtcDay = 0;
    std::uint16_t LtcMonth = 0;
    std::uint16_t LtcYear = 0;
    std::uint16_t LtcZone = 0;
    std::uint8_t Reserved1[4] = {};
    // System group: the PC's UTC time stamp of the same moment.
    std::uint16_t SystemMilliseconds = 0;
    std::uint16_t SystemSecond = 0;
    std::uint16_t SystemMinute = 0;
    std::uint16_t SystemHour = 0;
    std::uint16_t SystemDay = 0;
    std::uint16_t SystemMonth = 0;
    std::uint16_t SystemYear = 0;
    std::uint8_t Reserved2[6] = {};
};
#pragma pack(pop)

static_assert(sizeof(TimecodeRecord) == 44);
static_assert(offsetof(TimecodeRecord, Flags) == 0);
static_assert(offsetof(TimecodeRecord, LtcMilliseconds) == 4);
static_assert(offsetof(TimecodeRecord, LtcSecond) == 6);
static_assert(offsetof(TimecodeRecord, LtcMinute) == 8);
static_assert(offsetof(TimecodeRecord, LtcHour) == 10);
static_assert(offsetof(TimecodeRecord, LtcDay) == 12);
static_assert(offsetof(TimecodeRecord, LtcMonth) == 14);
static_assert(offsetof(TimecodeRecord, LtcYear) == 16);
static_assert(offsetof(TimecodeRecord, LtcZone) == 18);
static_assert(offsetof(TimecodeRecord, Reserved1) == 20);
static_assert(offsetof(TimecodeRecord, SystemMilliseconds) == 24);
static_assert(offsetof(TimecodeRecord, SystemSecond) == 26);
static_assert(offsetof(TimecodeRecord, SystemMinute) == 28);
static_assert(offsetof(TimecodeRecord, SystemHour) == 30);
static_assert(offsetof(TimecodeRecord, SystemDay) == 32);
static_assert(offsetof(TimecodeRecord, SystemMonth) == 34);
static_assert(offsetof(TimecodeRecord, SystemYear) == 36);
static_assert(offsetof(TimecodeRecord, Reserved2) == 38);

constexpr std::uint32_t FlagLtcSync = 1;   // the source signals it is synchronised
constexpr std::uint32_t FlagDateValid = 2; // the user bits carried a date
constexpr std::uint16_t LtcZoneNone = 3;   // a reading without a usable zone
