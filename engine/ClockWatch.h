// Other programs that discipline the same clock. Two of them fighting over the rate leave the
// lock unstable with nothing to tell the user why, so the service says so: a warning entry,
// and one line per finding in the status value "MonitorWarnings" (empty when all is well).
// The value also carries the loop's own findings that an operator must see beside them.
#pragma once

#include <string>

constexpr const char* kTimeServiceWarning =
    "The Windows Time service (W32Time) is running and also adjusts the clock. Stop it and "
    "set its start type to disabled (sc config W32Time start= disabled, then net stop "
    "W32Time), or stop it synchronising (w32tm /config /syncfromflags:NO /update).";
constexpr const char* kForeignRateWarning =
    "Another program changes the clock's rate while this service corrects it; the lock stays "
    "unstable until that program is stopped.";

// While the system refuses to set the clock: the entry's text, and the finding's line, begin
// with this and go on with the system's reason.
constexpr const char* kHardSetRefused = "System time hard set failed: ";

// At each start of the loop: forgets the last run's findings, warns once if the Windows Time
// service synchronises the clock, and writes "MonitorWarnings" afresh.
void StartClockWatch();

// At each settings reload (about every 10 s): looks again, warns of a foreign rate at most
// once an hour while it lasts, and rewrites "MonitorWarnings" when the findings change.
void WatchClock();

// Findings the loop raises itself, each shown at once and kept until the text given next is
// empty: a hard set the system refused (the line "System time hard set failed: <reason>",
// cleared by the next set that succeeds), and a metrics file that cannot be written. Both are
// forgotten at the start of a run. Called on the loop's thread only.
void SetHardSetFinding(const std::string& line);
void SetMetricsFinding(const std::string& line);

// What "MonitorWarnings" says now.
std::string ClockWarnings();
