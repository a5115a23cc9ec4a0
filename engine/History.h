// The service's history: one row per UTC minute, appended to a file per UTC day under
// %ProgramData%\Chronel\history by the service's file writer (engine/FileWriter.h), so that
// a slow or full disk never holds up the loop. "HistoryDays" says how many days are kept (0: none
// written).
#pragma once

#include <cstdint>

// What one cycle of the loop saw.
struct HistoryCycleFacts {
    enum Kind : std::uint8_t { Good, OutOfLimits, FormatError, Failure, None } What = None;
    std::int32_t DiffMs = 0;     // of a good reading (also when out of limits)
    std::int64_t PcUnixMs = 0;   // the PC clock (UTC) of the reading, or now without one
    std::int32_t Correction = 0; // the rate applied: 100 ns per tick above nominal
    std::uint32_t Increment = 0; // the nominal 100 ns per tick
};

// At the loop's start: reads "HistoryDays" as the settings stand and starts the writer.
void HistoryStart();
// Each cycle; when its minute is past the one in progress, that one goes to the writer.
void HistoryCycle(const HistoryCycleFacts& facts);
void HistoryHardSet();
// At the loop's end (or when "HistoryDays" turns 0): the minute in progress goes to the
// writer; the loop's end waits for the writer with StopFileWriter.
void HistoryStop();
