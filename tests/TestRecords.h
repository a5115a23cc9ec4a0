// Building timecode records for tests.
#pragma once

#include "TimeFunc/TimecodeRecord.h"

#include <cstdint>

namespace testutil {

struct Moment {
    std::uint16_t Year = 2026;
    std::uint16_t Month = 12;
    std::uint16_t Day = 6;
    std::uint16_t Hour = 0;
    std::uint16_t Minute = 0;
    std::uint16_t Second = 0;
    std::uint16_t Milliseconds = 0;
};

inline void SetLtc(TimecodeRecord& r, const Moment& m) {
    r.LtcYear = m.Year;
    r.LtcMonth = m.Month;
    r.LtcDay = m.Day;
    r.LtcHour = m.Hour;
    r.LtcMinute = m.Minute;
    r.LtcSecond = m.Second;
    r.LtcMilliseconds = m.Milliseconds;
}

inline void SetSystem(TimecodeRecord& r, const Moment& m) {
    r.SystemYear = m.Year;
    r.SystemMonth = m.Month;
    r.SystemDay = m.Day;
    r.SystemHour = m.Hour;
    r.SystemMinute = m.Minute;
    r.SystemSecond = m.Second;
    r.SystemMilliseconds = m.Milliseconds;
}

inline TimecodeRecord MakeRecord(const Moment& system, const Moment& ltc) {
    TimecodeRecord r;
    SetSystem(r, system);
    SetLtc(r, ltc);
    return r;
}

} // namespace testutil
