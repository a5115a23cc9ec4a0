// chronelctl, the operator's tool: what it finds out about the service and the decisions it
// takes on that. Every command returns the process's exit code; status and check follow the
// monitoring-plugin convention (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN).
#pragma once

#include "engine/SettingsTable.h"
#include "engine/StatusTable.h"
#include "platform/Platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ctl {

enum ExitCode : int { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };

// --- the service as the service controller sees it -----------------------------------------

enum class ServiceState : std::uint8_t {
    Unreadable, // the controller could not be asked
    NotInstalled,
    Stopped,
    StartPending,
    StopPending,
    Running,
    Other, // paused, or a state this tool does not know
};

struct ServiceFacts {
    ServiceState State = ServiceState::Unreadable;
    std::uint32_t ExitCode = 0; // the Win32 exit code of a stopped service
    bool ConfigKnown = false;
    std::string BinaryPath; // as registered (maybe quoted, maybe with arguments)
    std::string Account;
    bool RecoveryKnown = false; // the recovery below could be read back
    plat::ServiceFailureActions Recovery;
};

ServiceFacts QueryService(const char* name);
const char* ServiceStateText(ServiceState state);
// The executable's path from a registered command line: quotes and arguments taken off.
std::string ExecutablePath(const std::string& binaryPath);

// --- the status values ----------------------------------------------------------------------

struct StatusValues {
    bool KeyOpen = false; // false: the settings key is missing or not readable
    std::string Version;
    std::string System;
    std::string Ltc;
    std::string LastSync;
    std::string LastSet;
    std::string Warnings;  // findings, one a line ("\r\n" between them)
    std::string Error;     // why the last start failed; empty after a good start
    std::string Frequency; // the precision mode's frequency as kept for the next run
};
StatusValues ReadStatusValues();

// "+12.345 ppm (restored)" from "MonitorFrequency"; empty when it holds none.
std::string FrequencyText(const std::string& monitorFrequency);

// When the service last published, from the stamp in "MonitorSystem" as the service wrote it
// ("14:03:07 +1:00 07.12.2026"); empty when there is none.
std::string LastSeenText(const std::string& monitorSystem);

// The clock's rate as the system has it now: who regulates it, and the correction.
struct RateFacts {
    bool Corrected = false; // false: the system's own regulation (or not readable)
    double Ppm = 0.0;       // positive: the clock runs fast
};
RateFacts ReadClockRate();
// "+12.800 ppm fast: the PC clock catches up with the timecode", or the nominal rate.
std::string RateText(const RateFacts& rate);

// How the clock is held, as far as the status values tell.
enum class Lock : std::uint8_t {
    Locked,      // a good reading within 2 ms
    Correcting,  // a good reading, further off
    OutOfLimits, // a good reading beyond "DifErr": not corrected
    TimecodeLost,
    FormatError,
    Stale,    // nothing published for more than 5 s
    NoStatus, // nothing published yet
};

constexpr std::int64_t kStaleAfterMs = 5000;

struct LockFacts {
    Lock State = Lock::NoStatus;
    std::optional<std::int32_t> DiffMs; // the difference in "MonitorSystem"
    std::optional<std::int64_t> AgeMs;  // how old the time stamp in "MonitorSystem" is
};

// The difference that "MonitorSystem" carries ("... Diff: -1,234 ms"), whatever grouping the
// service's locale put into it.
std::optional<std::int32_t> ParseDiff(const std::string& monitorSystem);
// The PC's time stamp at the front of "MonitorSystem" (local time with its zone, then the
// date), in milliseconds since 1970 UTC.
std::optional<std::int64_t> ParseStampUnixMs(const std::string& monitorSystem);
// The PC's clock now, in milliseconds since 1970 UTC.
std::int64_t NowUnixMs();

// The stamp is the PC clock when the service published: compared with the clock now it tells
// whether the service is still publishing (about once a second while it runs).
LockFacts DeriveLock(const StatusValues& values, std::int64_t nowUnixMs);
// 0 locked; 1 correcting, stale, starting or with findings; 2 timecode lost, out of limits,
// format error or the service not running; 3 not installed or unreadable.
int StatusExit(const ServiceFacts& service, const StatusValues& values, const LockFacts& lock);

// The one line that sums the state up, as monitoring systems show it ("locked within 2 ms
// (difference 0 ms)"), that line behind its label ("CHRONEL OK - ..."), and the whole screen
// of `status`, headline first, for every front end that shows it.
std::string Summary(const ServiceFacts& service, const StatusValues& values, const LockFacts& lock);
std::string Headline(int code, const std::string& summary);
std::vector<std::string> StatusScreen(int code, const ServiceFacts& service,
                                      const StatusValues& values, const LockFacts& lock);

std::vector<std::string> SplitLines(const std::string& text);
std::string JsonString(const std::string& text);

// --- settings ----------------------------------------------------------------------------------

// The row of a setting, the name taken without regard to letter case as the registry does.
const SettingRow* FindSettingAnyCase(const std::string& name);

struct SetDecision {
    const SettingRow* Row = nullptr; // null: refused
    std::uint32_t Dword = 0;         // for a DWORD setting, as stored
    std::string Why;                 // for a refusal
};
// Checks name, type and range; nothing is written here.
SetDecision DecideSet(const std::string& name, const std::string& value);
// A setting's value as `config` shows it: the value, "(default)", or why the default applies.
std::string CurrentSettingText(const SettingRow& row);

// --- commands ----------------------------------------------------------------------------------

// What is wrong with the service's recovery after a failure; empty when it restarts the
// service after every kind of failure, a failed start included.
std::string RecoveryProblem(const plat::ServiceFailureActions& recovery);

// The finding the service raises while the system refuses to set the clock, and its reason;
// empty when there is no such finding.
std::string HardSetRefusal(const std::string& warnings);

int Status(bool json);
int Watch(std::optional<std::uint32_t> seconds);
int Config();
int Set(const std::string& name, const std::string& value);
int Reset(const std::string& name);
int Sync(std::uint32_t timeoutMs = 20000);
int Check();
int Help();

// The whole program: args without the program's name.
int Run(const std::vector<std::string>& args);

// Output: standard output and standard error, lines ended by CR LF.
void Out(const std::string& line);
void Err(const std::string& line);

} // namespace ctl
