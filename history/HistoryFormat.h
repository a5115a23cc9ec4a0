// The service's history: one row per UTC minute in a CSV file per UTC day. The row's text,
// the files' names, and the time arithmetic on them; nothing here reaches the system.
#pragma once

#include "engine/StatusTable.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace history {

// How the clock was held in a minute: the worst of its cycles. The names are those that
// `chronelctl status --json` gives the lock state.
enum class State : std::uint8_t { Locked, Correcting, OutOfLimits, FormatError, TimecodeLost };

const char* StateName(State state);
std::optional<State> ParseState(std::string_view name);

struct Row {
    std::int64_t MinuteUnix = 0; // seconds since 1970 UTC, a whole minute
    State St = State::Locked;
    std::uint32_t Good = 0;   // usable readings, within "DifErr" or not
    std::uint32_t Failed = 0; // reads that gave no usable timecode
    std::int32_t MinMs = 0;   // of the good readings; meaningful when Good > 0
    std::int32_t MaxMs = 0;
    double MeanMs = 0;
    double RatePpm = 0; // mean rate correction over the minute's cycles (positive: faster)
    std::uint32_t HardSets = 0;
    std::uint32_t Entries = 0; // event-log entries written
    bool ByTimecode = false;   // keyed by the timecode's minute, else by the PC clock's
    std::string Settings;      // correction settings off their defaults, "DifErr=1000;SyncMode=1"
};

constexpr std::int64_t kSecondsPerDay = 86400;
using ::kLockedWithinMs;

// The header line and a row's line, both without the line end.
std::string HeaderLine();
std::string FormatRow(const Row& row);
// A row from its line (a CR at its end is taken off); nullopt for the header, a blank line
// or a line that is not a whole row (torn by a crash or a full disk).
std::optional<Row> ParseRow(std::string_view line);

// "chronel-2026-12-07.csv": the file of the UTC day that holds this moment.
std::string DayFileName(std::int64_t unixSeconds);
// The start (00:00 UTC, seconds since 1970) of the day a file name stands for.
std::optional<std::int64_t> DayOfFileName(std::string_view name);
constexpr const char* kFilePattern = "chronel-*.csv";

// Text and parsing of moments: "2026-12-07T14:05Z" (minutes) and "2026-12-07" (a day).
std::string MinuteText(std::int64_t unixSeconds);
std::string DayText(std::int64_t unixSeconds);
// Accepts "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" and "YYYY-MM-DDTHH:MM:SS", each with an optional
// "Z" (always UTC); a space may stand for the "T".
std::optional<std::int64_t> ParseMoment(std::string_view text);

// Days since 1970 of a moment, and the moment that starts a day.
constexpr std::int64_t DayStart(std::int64_t unixSeconds) {
    const std::int64_t day =
        unixSeconds >= 0 ? unixSeconds / kSecondsPerDay : (unixSeconds + 1) / kSecondsPerDay - 1;
    return day * kSecondsPerDay;
}
constexpr std::int64_t MinuteStart(std::int64_t unixSeconds) {
    const std::int64_t m = unixSeconds >= 0 ? unixSeconds / 60 : (unixSeconds + 1) / 60 - 1;
    return m * 60;
}

// Combines a second row of the same minute (a restart within it) into the first.
void MergeSameMinute(Row& into, const Row& more);

} // namespace history
