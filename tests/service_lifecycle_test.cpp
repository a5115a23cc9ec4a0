// The service under the emulated controller: what the controller sees, what the log says,
// and where the card and the clock are left, for a normal life, each failed start, and a stop
// arriving at every point of the start and the loop.
#include "ServiceWorld.h"

#include "card/CardAccess.h"
#include "card/CardLink.h"
#include "platform/emu/World.h"
#include "service/ServiceLifecycle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using servicetest::ClockWithSystem;
using servicetest::EventTexts;
using servicetest::GoodReports;

constexpr std::uint32_t kStopped = plat::kServiceStopped;
constexpr std::uint32_t kStartPending = plat::kServiceStartPending;
constexpr std::uint32_t kStopPending = plat::kServiceStopPending;
constexpr std::uint32_t kRunning = plat::kServiceRunning;
constexpr std::uint32_t kStop = plat::kServiceControlStop;
constexpr std::uint32_t kShutdown = plat::kServiceControlShutdown;
constexpr std::uint32_t kInterrogate = plat::kServiceControlInterrogate;
constexpr const char* kSimKey = "SOFTWARE\\TecoraSim";

// state, check point, wait hint, controls accepted, exit code
using Row = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;

std::vector<Row> Rows(const std::vector<plat::ServiceStatusRecord>& reports) {
    std::vector<Row> rows;
    for (const auto& r : reports) {
        EXPECT_EQ(r.ServiceType, plat::kServiceWin32OwnProcess);
        EXPECT_EQ(r.ServiceSpecificExitCode, 0u);
        rows.emplace_back(r.CurrentState, r.CheckPoint, r.WaitHint, r.ControlsAccepted,
                          r.Win32ExitCode);
    }
    return rows;
}

// What the world looked like the moment the dispatcher returned, when the real process ends.
struct AtProcessEnd {
    bool ClockWithSystem = false;
    bool CardOpen = true;
    bool ServiceThreadDone = false; // its event closed, SettingsRegistry freed
};

// Runs the service as the controller would; onServiceCall sees every platform call of the
// service thread, numbered from 1.
AtProcessEnd RunService(const std::function<void(std::size_t, const char*)>& onServiceCall) {
    AtProcessEnd end;
    servicetest::RunService(onServiceCall, [&end] {
        end = {ClockWithSystem(), CardLink.IsOpen.load(),
               emu::OpenEvents() == 0 && SettingsRegistry == nullptr};
    });
    return end;
}

// Where the service thread holds no lock the handler needs, the stop runs to its end before
// the service thread goes on, which pins the moment of the stop to the call; elsewhere it runs
// as soon as the lock is let go, a true race.
void DeliverStop(const char* call) {
    ASSERT_EQ(emu::PostControl(kStop, servicetest::HandlerCouldRun(call) ? 5000 : 0), 0u);
}

class ServiceLifecycle : public servicetest::ServiceHostTest {};

struct ControlStep {
    std::uint32_t Control;
    bool Force; // delivered although the controller would refuse it
};

struct LifeCase {
    const char* Name;
    std::vector<ControlStep> Controls; // one per loop cycle, from the second cycle on
    bool InterrogateWhileStopping;
    std::vector<Row> Expected;
};

TEST_F(ServiceLifecycle, ReportsAndLeavesTheMachineCleanThroughANormalLife) {
    const Row startPending{kStartPending, 1, 3000, 0, 0};
    const Row running{kRunning, 0, 0, 5, 0};
    const Row stopPending{kStopPending, 1, 3000, 5, 0};
    const Row stopStepsDone{kStopPending, 2, 3000, 5, 0};
    const Row stopped{kStopped, 0, 0, 5, 0};
    const std::vector<LifeCase> cases = {
        {"stop",
         {{kStop, false}},
         false,
         {startPending, running, stopPending, stopStepsDone, stopped}},
        {"shutdown",
         {{kShutdown, false}},
         false,
         {startPending, running, stopPending, stopStepsDone, stopped}},
        {"interrogate while running",
         {{kInterrogate, false}, {kStop, false}},
         false,
         {startPending, running, running, stopPending, stopStepsDone, stopped}},
        {"unknown control while running",
         {{128, true}, {kShutdown, false}},
         false,
         {startPending, running, running, stopPending, stopStepsDone, stopped}},
        {"interrogate while stopping",
         {{kStop, false}},
         true,
         {startPending,
          running,
          stopPending,
          {kStopPending, 2, 0, 5, 0},
          {kStopPending, 3, 3000, 5, 0},
          stopped}},
    };
    for (const LifeCase& c : cases) {
        SCOPED_TRACE(c.Name);
        servicetest::FreshProcess();
        emu::RegSetDword("SOFTWARE\\Tecora", "DateFormat", 1);
        std::size_t waits = 0;
        bool loopEndedAtStopped = false;
        const AtProcessEnd end = RunService([&](std::size_t, const char* call) {
            if (std::string(call) != "WaitForSingleObject" || ++waits < 2 ||
                waits - 2 >= c.Controls.size()) {
                return;
            }
            const ControlStep step = c.Controls[waits - 2];
            if (waits - 1 == c.Controls.size()) { // the stop
                emu::SetCallHook([&](const char* inner) {
                    if (emu::IsServiceThread()) {
                        return;
                    }
                    if (std::string(inner) == "SetServiceStatus" &&
                        ServiceStatus.CurrentState == kStopped) {
                        loopEndedAtStopped = EventTexts().back() == "STOP";
                    } else if (c.InterrogateWhileStopping && std::string(inner) == "SetEvent") {
                        // between the stop's STOP_PENDING report and its end
                        EXPECT_EQ(emu::SendControl(kInterrogate), 0u);
                    }
                });
            }
            if (step.Force) {
                EXPECT_EQ(emu::SendControl(step.Control, true), 0u);
            } else if (step.Control == kInterrogate) {
                EXPECT_EQ(emu::PostControl(step.Control, -1), 0u);
            } else {
                // The stop's steps run before this thread goes on; the rest of the stop waits
                // for this thread.
                EXPECT_EQ(emu::PostControl(step.Control), 0u);
                EXPECT_TRUE(servicetest::AwaitStopSteps());
            }
        });
        EXPECT_TRUE(loopEndedAtStopped); // whoever sees STOPPED may replace the program's files
        EXPECT_EQ(Rows(GoodReports()), c.Expected);
        EXPECT_EQ(GoodReports().size(), emu::StatusReports().size()); // none failed
        EXPECT_TRUE(end.ClockWithSystem);
        EXPECT_FALSE(end.CardOpen);
        EXPECT_TRUE(end.ServiceThreadDone);
        EXPECT_TRUE(ClockWithSystem());
        EXPECT_EQ(EventTexts(), (std::vector<std::string>{"START", "STOP"}));
        EXPECT_EQ(emu::OpenEvents(), 0);
        EXPECT_EQ(emu::RegOpenKeys(), 0);
        EXPECT_EQ(SettingsRegistry, nullptr);
        // The start sets the card's mode with the start value; the first cycle with the
        // configured one.
        const auto modes = emu::TecCalls(emu::TecFn::SetRealtimeMode);
        ASSERT_GE(modes.size(), 2u);
        EXPECT_EQ(modes[0].Arg, 0u);
        EXPECT_EQ(modes[1].Arg, 1u);
    }
}

struct Report {
    std::uint32_t State;
    std::uint32_t ExitCode;
    bool Succeeded;
    bool operator==(const Report&) const = default;
};

struct FailCase {
    const char* Name;
    std::function<void()> Arrange;
    std::vector<Report> Expected;
    std::vector<std::string> EventPrefixes;
    bool CardTouched;
};

TEST_F(ServiceLifecycle, EachFailedStartIsLoggedAndReportedStopped) {
    const std::vector<FailCase> cases = {
        {"handler registration",
         [] { emu::InjectServiceFailure(emu::ServiceFail::RegisterHandler, 5); },
         {{kStopped, 5, false}},
         {"SetServiceStauts"},
         false},
        {"START_PENDING report",
         [] { emu::FailStatusReportAt(0, 87); },
         {{kStartPending, 0, false}, {kStopped, 87, true}},
         {"SetServiceStauts"},
         false},
        {"START_PENDING report with the event log unreachable",
         [] {
             emu::FailStatusReportAt(0, 87);
             emu::InjectEventSourceFailure(0, 1); // the entry's own failure is not the reason
         },
         {{kStartPending, 0, false}, {kStopped, 87, true}},
         {},
         false},
        {"stop event",
         [] { emu::InjectFailure(emu::Fail::CreateEvent, 8, 1); },
         {{kStartPending, 0, true}, {kStopped, 1062, true}},
         {"CreateEvent"},
         false},
        {"RUNNING report",
         [] { emu::FailStatusReportAt(1, 87); },
         {{kStartPending, 0, true}, {kRunning, 0, false}, {kStopped, 1062, true}},
         {"SetServiceStauts"},
         false},
        {"no card",
         [] { emu::RegSetDword(kSimKey, "Present", 0); },
         {{kStartPending, 0, true}, {kRunning, 0, true}, {kStopped, 1062, true}},
         {"tecOpen failed: PC RX hardware not found\r\n",
          "Servicestart fails. 1, -2, PC RX hardware not found\r\n"},
         true},
        {"firmware refused",
         [] {
             emu::RegSetString(kSimKey, "TypeLetter", "v");
             emu::RegSetString(kSimKey, "FirmwareMinor", "16");
         },
         {{kStartPending, 0, true}, {kRunning, 0, true}, {kStopped, 1062, true}},
         {"Wrong firmware version, can't start!"},
         true},
        {"real-time mode",
         [] { emu::SetTecSetRealtimeMode([](std::int32_t, std::uint32_t) { return -10; }); },
         {{kStartPending, 0, true}, {kRunning, 0, true}, {kStopped, 1062, true}},
         {"tecSetRealtimeMode failed: Parameter out of range\r\n",
          "Servicestart fails. 3, -10, Parameter out of range\r\n"},
         true},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.Name);
        servicetest::FreshProcess();
        c.Arrange();
        bool looping = false;
        const AtProcessEnd end = RunService([&](std::size_t, const char* call) {
            if (!looping && std::string(call) == "WaitForSingleObject") {
                looping = true; // the start did not fail: end it rather than hang
                DeliverStop(call);
            }
        });
        EXPECT_FALSE(looping);
        EXPECT_TRUE(end.ServiceThreadDone);
        std::vector<Report> reports;
        for (const auto& r : emu::StatusReports()) {
            reports.push_back({r.Status.CurrentState, r.Status.Win32ExitCode, r.Succeeded});
        }
        EXPECT_EQ(reports, c.Expected);
        const auto texts = EventTexts();
        ASSERT_EQ(texts.size(), c.EventPrefixes.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(texts[i].rfind(c.EventPrefixes[i], 0), 0u) << texts[i];
        }
        EXPECT_EQ(emu::TecCallCount(emu::TecFn::Open) > 0, c.CardTouched);
        EXPECT_EQ(emu::RegKeyExists("SOFTWARE\\Tecora"), c.CardTouched);
        // The reason stays where the operator's tool finds it: the text of the last entry.
        const std::optional<std::string> reason =
            emu::RegGetString("SOFTWARE\\Tecora", "MonitorError");
        EXPECT_EQ(reason.has_value(), c.CardTouched);
        if (reason) {
            EXPECT_EQ(*reason, texts.back());
        }
        EXPECT_EQ(emu::Clock().AdjustmentCalls, 0u);
        EXPECT_EQ(emu::OpenEvents(), 0);
        EXPECT_EQ(emu::RegOpenKeys(), 0);
        EXPECT_EQ(SettingsRegistry, nullptr);
    }
}

TEST_F(ServiceLifecycle, AGoodStartClearsTheReasonOfTheLastFailedOne) {
    emu::RegSetString("SOFTWARE\\Tecora", "MonitorError", "Servicestart fails. 1, -2, gone");
    bool stopped = false;
    std::optional<std::string> atLoop;
    RunService([&](std::size_t, const char* call) {
        if (!stopped && std::string(call) == "WaitForSingleObject") {
            stopped = true;
            atLoop = emu::RegGetString("SOFTWARE\\Tecora", "MonitorError");
            DeliverStop(call);
        }
    });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(atLoop, std::optional<std::string>(""));
    EXPECT_EQ(emu::RegGetString("SOFTWARE\\Tecora", "MonitorError"),
              std::optional<std::string>(""));
}

// The clock first: a close that hangs in the card library must not leave it slewed.
TEST_F(ServiceLifecycle, TheStopHandsTheClockBackBeforeClosingTheCard) {
    ASSERT_EQ(OpenCard(4097), 0);
    ASSERT_EQ(SetClockRate(DefaultTimeIncrement() - 1000), ClockOk);
    std::vector<std::string> calls;
    emu::SetCallHook([&](const char* call) {
        if (std::string(call) == "SetSystemTimeAdjustment" || std::string(call) == "TecClose") {
            calls.emplace_back(call);
        }
    });
    StopService();
    emu::SetCallHook(nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"SetSystemTimeAdjustment", "TecClose"}));
    EXPECT_TRUE(ClockWithSystem());
}

TEST_F(ServiceLifecycle, ReportsAreRefusedWithoutARegisteredHandle) {
    EXPECT_FALSE(ReportServiceStatus(kRunning, 0, 0));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorInvalidHandle); // kept across the log entry
    EXPECT_EQ(EventTexts(), std::vector<std::string>{"SetServiceStauts"});
}

} // namespace

// The STOPPED report after a stop tells whether the clock went back to the system, not what
// the stop's own calls left in the thread's last error.
TEST_F(ServiceLifecycle, TheStoppedReportSaysWhetherTheStopWasClean) {
    const struct {
        const char* Name;
        bool PrivilegeHeld;
        std::uint32_t ExitCode;
    } cases[] = {
        {"clean", true, 0},
        {"clock not handed back", false, plat::kErrorPrivilegeNotHeld},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        servicetest::FreshProcess();
        emu::SetStartedByController(true);
        std::thread mainThread([] { RunServiceDispatcher(); });
        while (emu::CurrentServiceStatus().CurrentState != kRunning) {
            std::this_thread::yield();
        }
        emu::SetPrivilegeHeld(c.PrivilegeHeld);
        plat::SetLastError(1234); // stale, from whatever this thread did before
        EXPECT_EQ(emu::SendControl(kStop), 0u);
        mainThread.join();
        emu::JoinServiceThreads();
        EXPECT_EQ(Rows(GoodReports()).back(), Row(kStopped, 0, 0, 5, c.ExitCode));
    }
}

// A disk that stopped answering holds the metrics writes: the stop still ends the service
// thread well within the handler's bound, so STOPPED follows the loop's end (not the bound),
// and the last write ("chronel_up 0") lands once the disk answers.
TEST_F(ServiceLifecycle, AHungMetricsWriteDoesNotHoldUpTheStop) {
    const std::string path = "C:\\metrics\\chronel.prom";
    emu::AddFolder("C:\\metrics");
    emu::RegSetString("SOFTWARE\\Tecora", "MetricsFile", path);
    emu::HoldFiles(true);
    emu::SetStartedByController(true);
    std::thread mainThread([] { RunServiceDispatcher(); });
    ASSERT_TRUE(emu::AwaitHeldFileWrite()); // a publish of the running service hangs
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(emu::SendControl(kStop), 0u);
    const auto took = std::chrono::steady_clock::now() - start;
    const bool threadDone = SettingsRegistry == nullptr; // released as ServiceStart ends
    const std::vector<std::string> texts = EventTexts();
    emu::HoldFiles(false);
    mainThread.join();
    emu::JoinServiceThreads();
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_TRUE(threadDone);
    EXPECT_EQ(texts.back(), "STOP");
    EXPECT_EQ(Rows(GoodReports()).back(), Row(kStopped, 0, 0, 5, 0));
    ASSERT_TRUE(emu::WaitForDetachedThreads());
    EXPECT_NE(emu::FileContent(path).value_or("").find("\nchronel_up 0\n"), std::string::npos);
}
