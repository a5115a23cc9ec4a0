// The one table of the service's settings: name, type, default, range (and what a value
// beyond it becomes) and meaning. The
// service reads its settings through it, the operator's tool lists and checks them with it,
// and the README's settings table says the same.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

enum class SettingType : std::uint8_t { Dword, String };

// What a DWORD outside its range becomes. A quantity is clamped to the nearest bound, so that
// a limit typed too tight stays tight rather than turning into the loose default; a choice
// (a port, a mode) has no "nearest" meaning and takes its default.
enum class OutOfRange : std::uint8_t { Clamp, Default };

struct SettingRow {
    const char* Name;
    SettingType Type;
    std::int32_t Default;    // a DWORD's default (unused for strings)
    const char* DefaultText; // how the default reads
    // The DWORD values the service accepts, as signed 32-bit numbers; ZeroAllowed admits 0
    // besides [Min, Max] (0 switches a check off). A string accepts any text.
    std::int32_t Min;
    std::int32_t Max;
    bool ZeroAllowed;
    OutOfRange Outside;
    const char* RangeText; // how the range reads
    const char* Meaning;   // one line
};

inline constexpr std::int32_t kInt32Max = 2147483647;
inline constexpr std::int32_t kInt32Min = -kInt32Max - 1;

// The largest slew gain: a tenth of the nominal clock increment (156,250 x 100 ns), so the
// clock never runs more than 10 % fast or slow, however the settings are typed.
inline constexpr std::int32_t kMaxSlewGain = 15625;

inline constexpr std::array<SettingRow, 13> kSettingsTable{{
    {"SyncM", SettingType::Dword, 2000, "2000", 0, kMaxSlewGain, true, OutOfRange::Clamp,
     "0 to 15625", "largest slow-down, 100 ns per clock interrupt, reached 100 ms ahead"},
    {"SyncP", SettingType::Dword, 2000, "2000", 0, kMaxSlewGain, true, OutOfRange::Clamp,
     "0 to 15625", "largest speed-up, 100 ns per clock interrupt, reached 100 ms behind"},
    {"DifErr", SettingType::Dword, 300000, "300000", 10, kInt32Max, true, OutOfRange::Clamp,
     "0 (off), or 10 to 2147483647", "ms beyond which the difference is out of limits"},
    {"DifSys", SettingType::Dword, 300000, "300000", 10, kInt32Max, true, OutOfRange::Clamp,
     "0 (off), or 10 to 2147483647", "ms beyond which the clock is hard set"},
    {"Sync", SettingType::String, 0, "empty", 0, 0, true, OutOfRange::Clamp, "any text",
     "any text requests one hard set; the service empties it"},
    {"SyncLTC", SettingType::Dword, 0, "0", kInt32Min, kInt32Max, true, OutOfRange::Clamp,
     "any (low 8 bits)",
     "sync flag gate: 0 always, 1 from the first flag, 2 while flagged, else never"},
    {"DateFormat", SettingType::Dword, 0, "0", kInt32Min, kInt32Max, true, OutOfRange::Clamp,
     "any (low 8 bits)",
     "user-bits format of the timecode; 0 = time of day only, 1 and 3 carry a sync flag"},
    {"SelectTimezone", SettingType::Dword, 1, "1", kInt32Min, kInt32Max, true, OutOfRange::Clamp,
     "any (low 8 bits)", "zone of the timecode: 0 carried in it, 1 PC local time, else UTC"},
    {"PopUps", SettingType::Dword, 1, "1", kInt32Min, kInt32Max, true, OutOfRange::Clamp, "any",
     "not 0: notifications also pop up on the desktop"},
    {"IOADR", SettingType::Dword, 4097, "4097", 4097, 4106, false, OutOfRange::Default,
     "4097 to 4106", "the card's port id, read at each start; anything else means 4097"},
    {"SyncMode", SettingType::Dword, 0, "0", 0, 1, true, OutOfRange::Default, "0 or 1",
     "0 proportional slew; 1 precision mode (learns the frequency, holds it); else 0"},
    {"MetricsFile", SettingType::String, 0, "empty", 0, 0, true, OutOfRange::Clamp,
     "a file path, or empty",
     "when set, metrics in the Prometheus text format are written there every second"},
    {"HistoryDays", SettingType::Dword, 90, "90", 1, 3650, true, OutOfRange::Clamp,
     "0 (off), or 1 to 3650",
     "days of minute-by-minute history kept under %ProgramData%\\Chronel\\history"},
}};

// The row of a setting, or nullptr for a name that is not a setting. Names are exact.
constexpr const SettingRow* FindSetting(std::string_view name) {
    for (const SettingRow& row : kSettingsTable) {
        if (name == row.Name) {
            return &row;
        }
    }
    return nullptr;
}

// Whether the service accepts this DWORD (as stored, taken as signed) for the setting.
constexpr bool SettingAccepts(const SettingRow& row, std::int32_t value) {
    if (value == 0 && row.ZeroAllowed) {
        return true;
    }
    return value >= row.Min && value <= row.Max;
}

// The value the service uses for this DWORD (as stored, taken as signed). 0, where allowed,
// is an off switch and not a bound: a clamp never switches a check off, so "DifErr" 5 gives
// 10 and a negative "DifErr" gives 10 as well.
constexpr std::int32_t SettingValueUsed(const SettingRow& row, std::int32_t value) {
    if (SettingAccepts(row, value)) {
        return value;
    }
    if (row.Outside == OutOfRange::Default) {
        return row.Default;
    }
    return value < row.Min ? row.Min : row.Max;
}

// The row of a setting named in code; a name without a row does not compile.
consteval const SettingRow& SettingRowOf(std::string_view name) {
    const SettingRow* row = FindSetting(name);
    if (row == nullptr) {
        throw "no settings row";
    }
    return *row;
}
