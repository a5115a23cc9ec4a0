#include "engine/ClockWatch.h"

#include "TimeFunc/ClockControl.h"
#include "engine/EventLog.h"
#include "engine/Settings.h"
#include "platform/Platform.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

constexpr const char* kTimeService = "W32Time";
constexpr const char* kTimeServiceParameters =
    "SYSTEM\\CurrentControlSet\\Services\\W32Time\\Parameters";

// A finding that comes back, or lasts, is logged again at most this often.
constexpr std::uint64_t kRepeatAfterMs = 3600000;

// Written by the loop's thread only (the watch's calls come from the loop).
bool timeServiceFinding = false;
bool foreignRateFinding = false;
// When each finding was last logged, in system ticks (which no clock setting moves); none yet
// in this run.
std::optional<std::uint64_t> timeServiceLoggedMs;
std::optional<std::uint64_t> foreignLoggedMs;
std::string published;      // what "MonitorWarnings" holds
std::string hardSetFinding; // the loop's own findings, empty when none
std::string metricsFinding;

std::optional<std::string> TimeServiceType() {
    plat::RegKey key;
    if (plat::RegOpenKey(kTimeServiceParameters, plat::kKeyRead, key) != plat::kRegErrorSuccess) {
        return std::nullopt;
    }
    plat::RegType type = plat::RegType::None;
    std::vector<std::uint8_t> data;
    if (plat::RegQueryValue(key, "Type", type, data) != plat::kRegErrorSuccess ||
        type != plat::RegType::Sz) {
        return std::nullopt;
    }
    std::string text;
    for (const std::uint8_t c : data) {
        if (c == 0) {
            break;
        }
        text.push_back(static_cast<char>(c));
    }
    return text;
}

// 0 when the service is not installed or the controller cannot be asked.
std::uint32_t TimeServiceState() {
    const plat::ServiceHandle manager(plat::OpenSCManager(plat::kScManagerConnect));
    if (!manager.valid()) {
        return 0;
    }
    const plat::ServiceHandle service(
        plat::OpenService(manager.get(), kTimeService, plat::kServiceQueryStatus));
    plat::ServiceStatusRecord status;
    if (!service.valid() || !plat::QueryServiceStatus(service.get(), status)) {
        return 0;
    }
    return status.CurrentState;
}

// Whether a finding last logged then may be logged now; if so, now is when it was.
bool MayLogAgain(std::optional<std::uint64_t>& loggedMs) {
    const std::uint64_t now = plat::GetTickCount64();
    if (loggedMs && now - *loggedMs < kRepeatAfterMs) {
        return false;
    }
    loggedMs = now;
    return true;
}

// The entry goes with each appearance, so that a service that comes back (trigger start, a
// policy, a scheduled resynchronisation) is dated in the log; one that comes and goes at every
// look is bounded like a foreign rate.
void LookAtTimeServiceAgain() {
    const bool found = LookAtTimeService() == TimeServiceUse::Disciplines;
    if (found && !timeServiceFinding && MayLogAgain(timeServiceLoggedMs)) {
        WriteEventLog(kTimeServiceWarning, kEventWarning);
    }
    timeServiceFinding = found;
}

void Publish(bool always) {
    const std::string text = ClockWarnings();
    if (always || text != published) {
        published = text;
        WriteStatus("MonitorWarnings", text);
    }
}

} // namespace

TimeServiceUse JudgeTimeService(std::uint32_t state, const std::optional<std::string>& type) {
    if (state != plat::kServiceRunning && state != plat::kServiceStartPending) {
        return TimeServiceUse::NotRunning;
    }
    // "w32tm /config /syncfromflags:NO" leaves it running with this type. Any other type, or
    // none to be read, leaves it synchronising.
    std::string lower = type.value_or("");
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower == "nosync" ? TimeServiceUse::RunningWithoutSync : TimeServiceUse::Disciplines;
}

TimeServiceUse LookAtTimeService() {
    return JudgeTimeService(TimeServiceState(), TimeServiceType());
}

std::string ClockWarnings() {
    std::string text;
    const auto add = [&text](bool found, const std::string& line) {
        if (found) {
            text += text.empty() ? "" : "\r\n";
            text += line;
        }
    };
    add(timeServiceFinding, kTimeServiceWarning);
    add(foreignRateFinding, kForeignRateWarning);
    add(!hardSetFinding.empty(), hardSetFinding);
    add(!metricsFinding.empty(), metricsFinding);
    return text;
}

void StartClockWatch() {
    try {
        ForgetAppliedRate();
        foreignRateFinding = false;
        hardSetFinding.clear();
        metricsFinding.clear();
        foreignLoggedMs.reset();
        timeServiceFinding = false;
        timeServiceLoggedMs.reset();
        LookAtTimeServiceAgain();
        Publish(true);
    } catch (...) {
        // Out of memory: the watch is a courtesy, the loop goes on without it.
    }
}

void ResetClockWatch() {
    timeServiceFinding = false;
    timeServiceLoggedMs.reset();
    foreignRateFinding = false;
    foreignLoggedMs.reset();
    published.clear();
    hardSetFinding.clear();
    metricsFinding.clear();
}

void SetHardSetFinding(const std::string& line) {
    try {
        hardSetFinding = line;
        Publish(false);
    } catch (...) {
        // Out of memory: the entry in the event log still tells.
    }
}

void SetMetricsFinding(const std::string& line) {
    try {
        metricsFinding = line;
        Publish(false);
    } catch (...) {
        // As above.
    }
}

void WatchClock() {
    try {
        LookAtTimeServiceAgain();
        foreignRateFinding = ClockRateMovedByOthers();
        if (foreignRateFinding && MayLogAgain(foreignLoggedMs)) {
            WriteEventLog(kForeignRateWarning, kEventWarning);
        }
        Publish(false);
    } catch (...) {
        // As above.
    }
}
