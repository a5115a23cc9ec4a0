// The one table of the status values the service writes into its settings key: name, who
// writes it, its format and the states it can show. The service writes them, the operator's
// tool and the tray monitor read them, and the metrics judge the lock by the same band.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

struct StatusRow {
    const char* Name;
    const char* Writer; // who writes it, and when
    const char* Format; // how it reads
    const char* States; // what it can show
};

// The texts the Ltc status shows in trouble, and the events and notices that name it.
inline constexpr const char* kSourceFailure = "LTC source failure";
inline constexpr const char* kUserFormatError = "LTC user format error";
inline constexpr const char* kOutOfLimits = "LTC is out of limits";
inline constexpr const char* kSourceRestored = "LTC source restored";
inline constexpr const char* kUserFormatCorrect = "LTC user format correct again";
inline constexpr const char* kBackWithinLimits = "LTC back within limits";

// A good reading this close to the timecode counts as locked.
inline constexpr std::int32_t kLockedWithinMs = 2;
inline constexpr bool WithinLockBand(std::int32_t diffMs) {
    return diffMs >= -kLockedWithinMs && diffMs <= kLockedWithinMs;
}

inline constexpr std::array<StatusRow, 8> kStatusTable{{
    {"MonitorVersion", "the loop, at each start",
     "Firmware: 9.17    Card: PCIe RX    DLL: 2.05 ...",
     "the card identified, or that it could not be"},
    {"MonitorSystem", "the loop, about once a second",
     "hh:mm:ss.mmm +h:mm    dd.mm.yyyy, then \"    Diff: n ms\" for a good reading",
     "the PC's local time of the reading; the difference while readings are good"},
    {"MonitorLtc", "the loop, about once a second",
     "the timecode's time as MonitorSystem's, or \"LTC source failure\"",
     "good (\"    Sync\" or \"    Not sync\" where the format carries the flag), out of limits, "
     "user format error, source failure"},
    {"LastSync", "the loop, every 50th cycle in sync", "as MonitorLtc, without the trouble texts",
     "the last timecode read in sync"},
    {"LastSet", "the loop, after each hard set", "local time, then \"    Diff: n ms\"",
     "when the clock was last hard set, and by how much"},
    {"MonitorWarnings", "the clock watch and the metrics, at each reload and finding",
     "one finding a line, \"\\r\\n\" between them", "empty when all is well"},
    {"MonitorError", "the start sequence", "one line",
     "why the last start failed; empty after a good start"},
    {"MonitorFrequency", "the loop, in precision mode, at most once a minute",
     "ppm=+n.nnn sd=n.nn utc=yyyy-mm-ddThh:mm:ssZ card=xxxxxxxx src=learned|restored|unused",
     "the frequency learned with this card, for the next start"},
}};

// The row of a status value, or nullptr for a name that is not one. Names are exact.
constexpr const StatusRow* FindStatus(std::string_view name) {
    for (const StatusRow& row : kStatusTable) {
        if (name == row.Name) {
            return &row;
        }
    }
    return nullptr;
}

// A status value's name as code writes or reads it: a name without a row does not compile.
struct StatusName {
    const char* Text;
    consteval StatusName(const char* name) // NOLINT(google-explicit-constructor)
        : Text(name) {
        if (FindStatus(name) == nullptr) {
            throw "no status row";
        }
    }
};
