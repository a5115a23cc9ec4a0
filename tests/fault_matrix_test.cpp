// Failures of the platform injected into a running service, one row each: the settings key
// that cannot be opened, status values that cannot be written, every setting of the wrong
// type, each step of a clock change failing for a while, the stop's own status reports
// failing, an event log that takes no entries. Each row: the service keeps running, logs what
// the row expects and nothing else, reports its states to the controller, and leaves the
// clock locked and then with the system at the stop.
#include "CardScript.h"

#include "platform/emu/World.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using servicetest::kKey;

constexpr std::size_t kCycles = 1600;
constexpr std::size_t kFaultFrom = 200;
constexpr std::size_t kFaultTo = 600;

struct Row {
    std::string Name;
    std::function<void()> Arrange;         // before the start
    std::function<void()> FaultBegin = {}; // at the end of cycle kFaultFrom (may be empty)
    std::function<void()> FaultEnd = {};   // at the end of cycle kFaultTo (may be empty)
    std::map<std::string, int> Entries = {{"START", 1}, {"STOP", 1}}; // by prefix
    std::vector<bool> ReportsSucceed = {true, true, true, true, true};
};

std::vector<Row> Rows() {
    std::vector<Row> rows;
    rows.push_back(
        {"settings key cannot be opened", [] { emu::InjectRegFailure(emu::RegOp::Create, 5, 1); }});
    rows.push_back({"status values cannot be written",
                    [] { emu::InjectRegFailure(emu::RegOp::Set, 5); },
                    {},
                    [] { emu::ClearRegFailures(); }});
    for (Row& row : rows) {
        for (const char* name : {"MonitorError", "MonitorVersion", "MonitorWarnings", "Sync",
                                 "MonitorSystem", "MonitorLtc", "LastSync"}) {
            row.Entries[std::string("Registry value \"") + name + "\" not written: "] = 1;
        }
    }
    // "PopUps" is read only before a popup; a port id that is no number gives the default port
    // and says so, like every other setting.
    rows.push_back({"every setting of the wrong type", [] {
                        for (const char* name :
                             {"SyncM", "SyncP", "DifErr", "DifSys", "SyncLTC", "DateFormat",
                              "SelectTimezone", "PopUps", "IOADR"}) {
                            emu::RegSetString(kKey, name, "fast");
                        }
                        emu::RegSetDword(kKey, "Sync", 1);
                    }});
    for (const char* name : {"SyncM", "SyncP", "DifErr", "DifSys", "SyncLTC", "DateFormat",
                             "SelectTimezone", "Sync", "IOADR"}) {
        rows.back().Entries[std::string("Registry value \"") + name + "\" ignored"] = 1;
    }
    // Each step of a clock change failing for 400 cycles: nothing is logged, the loop goes on.
    for (const emu::Fail step :
         {emu::Fail::OpenProcessToken, emu::Fail::LookupPrivilegeValue,
          emu::Fail::AdjustTokenPrivileges, emu::Fail::GetSystemTimeAdjustment,
          emu::Fail::SetSystemTimeAdjustment}) {
        rows.push_back({"clock step " + std::to_string(static_cast<int>(step)) + " fails",
                        {},
                        [step] { emu::InjectFailure(step, 5); },
                        [] { emu::ClearFailures(); }});
    }
    rows.push_back({"time privilege not held",
                    {},
                    [] { emu::SetPrivilegeHeld(false); },
                    [] { emu::SetPrivilegeHeld(true); }});
    for (const std::size_t report : {2U, 4U}) { // STOP_PENDING, STOPPED
        rows.push_back({"stop report " + std::to_string(report) + " fails",
                        [report] { emu::FailStatusReportAt(report, 87); }});
        rows.back().Entries["SetServiceStauts"] = 1;
        rows.back().ReportsSucceed[report] = false;
    }
    for (const std::uint32_t handle : {0U, 0x80000000U}) { // none, and one that is negative
        rows.push_back({"event source " + std::to_string(handle),
                        [handle] { emu::InjectEventSourceFailure(handle, -1); }});
        rows.back().Entries.clear();
    }
    return rows;
}

TEST(FaultMatrix, ARunningServiceContainsEachPlatformFailure) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.Name);
        servicetest::FreshProcess();
        emu::SetClockOffsetMs(15);
        emu::SetDriftPpm(25);
        if (row.Arrange) {
            row.Arrange();
        }
        std::vector<servicetest::CycleEnd> ends;
        servicetest::RunCycles(kCycles, [&](const servicetest::CycleEnd& end) {
            ends.push_back(end);
            if (end.Cycle == kFaultFrom && row.FaultBegin) {
                row.FaultBegin();
            } else if (end.Cycle == kFaultTo && row.FaultEnd) {
                row.FaultEnd();
            }
        });
        ASSERT_EQ(ends.size(), kCycles);
        // Locked once the fault is over, and with the system after the stop.
        EXPECT_LT(std::fabs(ends.back().ClockErrorMs), 3.0);
        EXPECT_TRUE(servicetest::ClockWithSystem());
        EXPECT_FALSE(emu::PrivilegeEnabled());
        EXPECT_TRUE(servicetest::CardHandlesLeftOpen().empty());
        EXPECT_EQ(servicetest::OpenHandles(), servicetest::Handles{});

        std::vector<std::uint32_t> states;
        std::vector<bool> succeeded;
        for (const emu::StatusReport& report : emu::StatusReports()) {
            states.push_back(report.Status.CurrentState);
            succeeded.push_back(report.Succeeded);
        }
        EXPECT_EQ(states,
                  (std::vector<std::uint32_t>{plat::kServiceStartPending, plat::kServiceRunning,
                                              plat::kServiceStopPending, plat::kServiceStopPending,
                                              plat::kServiceStopped}));
        EXPECT_EQ(succeeded, row.ReportsSucceed);

        // Each expected entry as often as expected, and nothing else.
        std::map<std::string, int> entries;
        for (const std::string& text : servicetest::EventTexts()) {
            std::string prefix = text;
            for (const auto& expected : row.Entries) {
                if (text.rfind(expected.first, 0) == 0) {
                    prefix = expected.first;
                }
            }
            ++entries[prefix];
        }
        EXPECT_EQ(entries, row.Entries);
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

} // namespace
