// Other programs that discipline the same clock. Two of them fighting over the rate leave the
// lock unstable with nothing to tell the user why, so the service says so: a warning entry,
// and one line per finding in the status value "MonitorWarnings" (empty when all is well).
#pragma once

#include <string>

constexpr const char* kTimeServiceWarning =
    "The Windows Time service (W32Time) is running and also adjusts the clock. Stop it and "
    "set its start type to disabled (sc config W32Time start= disabled, then net stop "
    "W32Time), or stop it synchronising (w32tm /config /syncfromflags:NO /update).";
constexpr const char* kForeignRateWarning =
    "Another program changes the clock's rate while this service corrects it; the lock stays "
    "unstable until that program is stopped.";

// At each start of the loop: forgets the last run's findings, warns once if the Windows Time
// service synchronises the clock, and writes "MonitorWarnings" afresh.
void StartClockWatch();

// At each settings reload (about every 10 s): looks again, warns of a foreign rate at most
// once an hour while it lasts, and rewrites "MonitorWarnings" when the findings change.
void WatchClock();

// What "MonitorWarnings" says now.
std::string ClockWarnings();
