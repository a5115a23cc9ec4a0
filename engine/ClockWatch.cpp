#include "engine/ClockWatch.h"

#include "TimeFunc/ClockControl.h"
#include "engine/EventLog.h"
#include "engine/Settings.h"
#include "platform/Platform.h"

#include <cctype>
#include <cstdint>
#include <vector>

namespace {

constexpr std::uint32_t kScManagerConnect = 0x0001;
constexpr std::uint32_t kServiceQueryStatus = 0x0004;
constexpr const char* kTimeService = "W32Time";
constexpr const char* kTimeServiceParameters =
    "SYSTEM\\CurrentControlSet\\Services\\W32Time\\Parameters";

// Checks come with the settings reload, at least 10.25 s apart (201 cycles of 50 ms sleep and
// a 1 ms wait), so 352 of them span an hour or more.
constexpr std::int32_t kForeignRepeatChecks = 352;

bool timeServiceFinding = false;
bool foreignRateFinding = false;
std::int32_t foreignHoldOff = 0; // checks to go before the foreign rate is logged again
std::string published;           // what "MonitorWarnings" holds
std::string hardSetFinding;      // the loop's own findings, empty when none
std::string metricsFinding;

// "w32tm /config /syncfromflags:NO" leaves the service running with its type "NoSync": it
// then keeps its hands off the clock.
bool TimeServiceSynchronises() {
    plat::RegKey key;
    if (plat::RegOpenKey(kTimeServiceParameters, plat::kKeyRead, key) != plat::kRegErrorSuccess) {
        return true;
    }
    plat::RegType type = plat::RegType::None;
    std::vector<std::uint8_t> data;
    if (plat::RegQueryValue(key, "Type", type, data) != plat::kRegErrorSuccess ||
        type != plat::RegType::Sz) {
        return true;
    }
    std::string text;
    for (const std::uint8_t c : data) {
        if (c == 0) {
            break;
        }
        text.push_back(static_cast<char>(std::tolower(c)));
    }
    return text != "nosync";
}

bool TimeServiceRunning() {
    const plat::ServiceHandle manager(plat::OpenSCManager(kScManagerConnect));
    if (!manager.valid()) {
        return false;
    }
    const plat::ServiceHandle service(
        plat::OpenService(manager.get(), kTimeService, kServiceQueryStatus));
    plat::ServiceStatusRecord status;
    if (!service.valid() || !plat::QueryServiceStatus(service.get(), status)) {
        return false;
    }
    const bool running = status.CurrentState == plat::kServiceRunning ||
                         status.CurrentState == plat::kServiceStartPending;
    return running && TimeServiceSynchronises();
}

void Publish(bool always) {
    const std::string text = ClockWarnings();
    if (always || text != published) {
        published = text;
        WriteStatus("MonitorWarnings", text);
    }
}

} // namespace

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
        foreignHoldOff = 0;
        timeServiceFinding = TimeServiceRunning();
        if (timeServiceFinding) {
            WriteEventLog(kTimeServiceWarning, kEventWarning);
        }
        Publish(true);
    } catch (...) {
        // Out of memory: the watch is a courtesy, the loop goes on without it.
    }
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
        timeServiceFinding = TimeServiceRunning();
        foreignRateFinding = ClockRateMovedByOthers();
        if (foreignHoldOff > 0) {
            --foreignHoldOff;
        }
        if (foreignRateFinding && foreignHoldOff == 0) {
            WriteEventLog(kForeignRateWarning, kEventWarning);
            foreignHoldOff = kForeignRepeatChecks;
        }
        Publish(false);
    } catch (...) {
        // As above.
    }
}
