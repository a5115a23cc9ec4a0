// Failures of the platform injected into a running service, one row each: the settings key
// that cannot be opened, a value of the wrong type for every setting, each status value that
// cannot be written, each step of a clock change failing for a while, the stop's own status
// reports failing, an event log that takes no entries, popups that cannot start. Each row: the
// service keeps running, logs what the row expects and nothing else, reports its states to
// the controller, and leaves the clock locked and then with the system at the stop.
#include "CardScript.h"
#include "FaultWorld.h"

#include "platform/emu/World.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using faultworld::kKey;

constexpr std::size_t kCycles = 1600;
constexpr std::size_t kFaultFrom = 200;
constexpr std::size_t kFaultTo = 600;

struct Row {
    std::string Name;
    std::function<void()> Arrange;      // before the start
    std::function<void()> FaultBegin;   // at the end of cycle kFaultFrom (may be empty)
    std::function<void()> FaultEnd;     // at the end of cycle kFaultTo (may be empty)
    std::map<std::string, int> Entries; // entries besides START and STOP, by prefix
    std::vector<bool> ReportsSucceed = {true, true, true, true};
    bool Logged = true; // START and STOP reach the log
};

std::string ReadIgnored(const std::string& name) {
    return "Registry value \"" + name + "\" ignored, default used: ";
}
std::string NotWritten(const std::string& name) {
    return "Registry value \"" + name + "\" not written: ";
}

Row R(std::string name, std::function<void()> arrange, std::function<void()> begin = {},
      std::function<void()> end = {}) {
    Row row;
    row.Name = std::move(name);
    row.Arrange = std::move(arrange);
    row.FaultBegin = std::move(begin);
    row.FaultEnd = std::move(end);
    return row;
}

std::vector<Row> Rows() {
    std::vector<Row> rows;
    rows.push_back(R("settings key cannot be opened",
                     [] { emu::InjectRegFailure(emu::RegOp::Create, 5, 1); }));
    for (const char* name : {"MonitorVersion", "Sync", "MonitorSystem", "MonitorLtc", "LastSync"}) {
        rows.back().Entries[NotWritten(name)] = 1;
    }
    // Every setting stored with the wrong type. "PopUps" is read only before a popup, and a
    // port id that is no number quietly gives the default port.
    const std::map<std::string, int> wrongType = {
        {"SyncM", 1},      {"SyncP", 1},          {"DifErr", 1}, {"DifSys", 1}, {"SyncLTC", 1},
        {"DateFormat", 1}, {"SelectTimezone", 1}, {"PopUps", 0}, {"IOADR", 0}};
    for (const auto& [name, entries] : wrongType) {
        rows.push_back(
            R("wrong type: " + name, [n = name] { emu::RegSetString(kKey, n, "fast"); }));
        if (entries > 0) {
            rows.back().Entries[ReadIgnored(name)] = entries;
        }
    }
    rows.push_back(R("wrong type: Sync", [] { emu::RegSetDword(kKey, "Sync", 1); }));
    rows.back().Entries[ReadIgnored("Sync")] = 1;
    // Status values that cannot be written while the fault lasts; "LastSet" is written only
    // at a hard set.
    for (const char* name : {"MonitorSystem", "MonitorLtc", "LastSync", "Sync", "LastSet"}) {
        rows.push_back(R(
            std::string("status write fails: ") + name, {},
            [n = std::string(name)] { emu::InjectRegFailure(emu::RegOp::Set, 5, -1, n); },
            [] { emu::ClearRegFailures(); }));
        if (std::string(name) != "LastSet") {
            rows.back().Entries[NotWritten(name)] = 1;
        }
    }
    rows.push_back(R("status write fails: MonitorVersion",
                     [] { emu::InjectRegFailure(emu::RegOp::Set, 5, 1, "MonitorVersion"); }));
    rows.back().Entries[NotWritten("MonitorVersion")] = 1;
    // Each step of a clock change failing for 400 cycles: nothing is logged (the loop goes
    // on), and the clock locks again afterwards.
    const std::vector<std::pair<const char*, emu::Fail>> steps = {
        {"OpenProcessToken", emu::Fail::OpenProcessToken},
        {"LookupPrivilegeValue", emu::Fail::LookupPrivilegeValue},
        {"AdjustTokenPrivileges", emu::Fail::AdjustTokenPrivileges},
        {"GetSystemTimeAdjustment", emu::Fail::GetSystemTimeAdjustment},
        {"SetSystemTimeAdjustment", emu::Fail::SetSystemTimeAdjustment},
    };
    for (const auto& [name, step] : steps) {
        rows.push_back(R(
            std::string("clock step fails: ") + name, {}, [s = step] { emu::InjectFailure(s, 5); },
            [] { emu::ClearFailures(); }));
    }
    rows.push_back(R(
        "time privilege not held", {}, [] { emu::SetPrivilegeHeld(false); },
        [] { emu::SetPrivilegeHeld(true); }));
    rows.push_back(R("STOP_PENDING report fails", [] { emu::FailStatusReportAt(2, 87); }));
    rows.back().Entries["SetServiceStauts"] = 1;
    rows.back().ReportsSucceed = {true, true, false, true};
    rows.push_back(R("STOPPED report fails", [] { emu::FailStatusReportAt(3, 87); }));
    rows.back().Entries["SetServiceStauts"] = 1;
    rows.back().ReportsSucceed = {true, true, true, false};
    rows.push_back(R("event log takes no entries", [] { emu::InjectEventSourceFailure(0, -1); }));
    rows.back().Logged = false;
    rows.push_back(
        R("event source handle negative", [] { emu::InjectEventSourceFailure(0x80000000u, -1); }));
    rows.back().Logged = false;
    return rows;
}

int Matching(const std::vector<std::string>& texts, const std::string& prefix) {
    int n = 0;
    for (const std::string& text : texts) {
        n += text.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
}

TEST(FaultMatrix, ARunningServiceContainsEachPlatformFailure) {
    int injected = 0;
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.Name);
        faultworld::FreshProcess();
        emu::SetClockOffsetMs(15);
        emu::SetDriftPpm(25);
        if (row.Arrange) {
            row.Arrange();
        }
        std::vector<faultworld::CycleEnd> ends;
        faultworld::RunCycles(kCycles, [&](const faultworld::CycleEnd& end) {
            ends.push_back(end);
            if (end.Cycle == kFaultFrom && row.FaultBegin) {
                row.FaultBegin();
            } else if (end.Cycle == kFaultTo && row.FaultEnd) {
                row.FaultEnd();
            }
        });
        ++injected;
        ASSERT_EQ(ends.size(), kCycles);
        // Locked once the fault is over, and with the system after the stop.
        EXPECT_LT(std::fabs(ends.back().ClockErrorMs), 3.0);
        EXPECT_TRUE(faultworld::ClockWithSystem());
        EXPECT_FALSE(emu::PrivilegeEnabled());
        EXPECT_TRUE(faultworld::CardHandlesLeftOpen().empty());
        EXPECT_EQ(faultworld::OpenHandles(), faultworld::Handles{});

        std::vector<std::uint32_t> states;
        std::vector<bool> succeeded;
        for (const emu::StatusReport& report : emu::StatusReports()) {
            states.push_back(report.Status.CurrentState);
            succeeded.push_back(report.Succeeded);
        }
        EXPECT_EQ(states,
                  (std::vector<std::uint32_t>{plat::kServiceStartPending, plat::kServiceRunning,
                                              plat::kServiceStopPending, plat::kServiceStopped}));
        EXPECT_EQ(succeeded, row.ReportsSucceed);

        const std::vector<std::string> texts = faultworld::EventTexts();
        int accounted = 0;
        if (row.Logged) {
            EXPECT_EQ(Matching(texts, "START"), 1);
            EXPECT_EQ(Matching(texts, "STOP"), 1);
            accounted += 2;
        }
        for (const auto& [prefix, count] : row.Entries) {
            EXPECT_EQ(Matching(texts, prefix), count) << prefix;
            accounted += Matching(texts, prefix);
        }
        EXPECT_EQ(accounted, static_cast<int>(texts.size()))
            << "unexpected entries: " << ::testing::PrintToString(texts);
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
    std::cout << "[ faults   ] " << injected << " kinds of platform failure injected\n";
}

} // namespace
