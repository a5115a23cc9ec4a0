// Other programs that discipline the same clock. Two of them fighting over the rate leave the
// lock unstable with nothing to tell the user why, so the service says so: a warning entry,
// and one line per finding in the status value "MonitorWarnings" (empty when all is well).
// The value also carries the loop's own findings that an operator must see beside them.
#pragma once

#include <cstdint>
#include <optional>
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

// What the Windows Time service does to the clock. The service and chronelctl decide it by
// this one rule, so that the operator's tool never warns of what the service lets pass.
enum class TimeServiceUse : std::uint8_t {
    NotRunning,
    RunningWithoutSync, // its "Type" is "NoSync": it keeps its hands off the clock
    Disciplines,
};
// state: as the service controller reports it (0 when not installed or not to be asked);
// type: its "Type" parameter, nullopt when absent, unreadable or not a string.
TimeServiceUse JudgeTimeService(std::uint32_t state, const std::optional<std::string>& type);
// The rule applied to what the system says now.
TimeServiceUse LookAtTimeService();

// At each start of the loop: forgets the last run's findings, warns if the Windows Time
// service disciplines the clock, and writes "MonitorWarnings" afresh.
void StartClockWatch();
// The findings and their hold-offs forgotten, without a look at the system (ResetModuleState).
void ResetClockWatch();

// At each settings reload (about every 10 s): looks again and rewrites "MonitorWarnings" when
// the findings change. The Windows Time service is often started after us (trigger start at
// boot), so it is warned of when it is first seen disciplining the clock, and again when it
// comes back after having stopped or been set to NoSync, at most once an hour; a foreign rate
// is warned of at most once an hour while it lasts.
void WatchClock();

// Findings the loop raises itself, each shown at once and kept until the text given next is
// empty: a hard set the system refused (the line "System time hard set failed: <reason>",
// cleared by the next set that succeeds), and a metrics file that cannot be written. Both are
// forgotten at the start of a run. Called on the loop's thread only.
void SetHardSetFinding(const std::string& line);
void SetMetricsFinding(const std::string& line);

// What "MonitorWarnings" says now.
std::string ClockWarnings();
