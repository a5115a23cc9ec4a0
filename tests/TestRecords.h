// Building timecode records and date-times for tests.
#pragma once

#include "TimeFunc/CivilTime.h"
#include "TimeFunc/TimecodeRecord.h"
#include "platform/Platform.h"

#include <cstdint>
#include <cstdio>
#include <string>

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

inline plat::SystemTime TimeOf(const Moment& m) {
    return {m.Year, m.Month, 0, m.Day, m.Hour, m.Minute, m.Second, m.Milliseconds};
}

inline void SetLtc(TimecodeRecord& r, const Moment& m) {
    civil::SetLtcTime(r, TimeOf(m), true);
}

inline void SetSystem(TimecodeRecord& r, const Moment& m) {
    civil::SetSystemStamp(r, TimeOf(m));
}

inline TimecodeRecord MakeRecord(const Moment& system, const Moment& ltc) {
    TimecodeRecord r;
    SetSystem(r, system);
    SetLtc(r, ltc);
    return r;
}

constexpr plat::SystemTime Utc(std::uint16_t y, std::uint16_t mo, std::uint16_t d, std::uint16_t h,
                               std::uint16_t mi = 0, std::uint16_t s = 0, std::uint16_t ms = 0) {
    plat::SystemTime t;
    t.Year = y;
    t.Month = mo;
    t.Day = d;
    t.Hour = h;
    t.Minute = mi;
    t.Second = s;
    t.Milliseconds = ms;
    return t;
}

// Opens the process token and enables the time privilege in it, as the service does; restoring
// `previous` on `token` undoes it.
inline bool EnableTimePrivilege(plat::Token& token, plat::TokenPrivileges& previous) {
    plat::TokenPrivileges request;
    request.PrivilegeCount = 1;
    request.Attributes = plat::kSePrivilegeEnabled;
    return plat::OpenProcessToken(plat::kTokenAllAccess, token) &&
           plat::LookupPrivilegeValue(plat::kSystemtimePrivilege, request.PrivilegeLuid) &&
           plat::AdjustTokenPrivileges(token, request, previous);
}

// "YYYY-MM-DD hh:mm:ss.mmm", for comparing date-times in one readable piece.
inline std::string Text(const plat::SystemTime& t) {
    char s[64];
    std::snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.Year, t.Month, t.Day, t.Hour,
                  t.Minute, t.Second, t.Milliseconds);
    return s;
}

} // namespace testutil
