// Stops and shutdowns delivered at random points of the service's life: while the card is
// being opened with retries, identified, during the start-up reads, anywhere in a cycle and
// during a hard set; some pinned to a platform call (the handler runs the stop's steps before
// the service thread goes on), the rest racing the service thread freely. Whatever the point,
// the controller sees STOP_PENDING then STOPPED, the clock is with the system, the card is
// closed, nothing is left open, no request is lost and nothing false is logged.
#include "ServiceWorld.h"

#include "card/CardLink.h"
#include "platform/emu/World.h"
#include "simcard/SimCard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using servicetest::ClockWithSystem;
using servicetest::EventTexts;
using servicetest::kKey;
using servicetest::kSimKey;

// The stretch of service-thread calls (numbered from 1) to stop in: from the nth call of one
// name, moved by an offset, to the nth of another, in the calls of an undisturbed run.
struct Mark {
    const char* Call;
    int Nth;
    int Offset = 0;
};

struct Scenario {
    const char* Name;
    std::function<void()> Arrange;
    Mark First;
    Mark Last;
};

std::size_t Find(const std::vector<std::string>& calls, const Mark& mark) {
    int nth = mark.Nth;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] == mark.Call && --nth == 0) {
            return i + 1 + mark.Offset;
        }
    }
    return 0;
}

// A card library whose first `count` calls of one kind fail before the simulated card
// answers.
void FailFirstOpens(int count, std::int32_t code) {
    auto left = std::make_shared<std::atomic<int>>(count);
    emu::SetTecOpen([left, code](std::int32_t* handle, std::uint32_t port) {
        if (left->fetch_sub(1) > 0) {
            return code;
        }
        return tecOpen(handle, port);
    });
}
void NoDataForFirstReads(int count) {
    auto left = std::make_shared<std::atomic<int>>(count);
    emu::SetTecReadTime([left](std::int32_t handle, void* record) {
        if (left->fetch_sub(1) > 0) {
            return 1;
        }
        return tecReadTime(handle, record);
    });
}

// A clock that is off and drifts, so that cycles change the rate often.
void DriftingClock() {
    emu::RegSetDword(kSimKey, "OffsetMs", 40);
    emu::SetDriftPpm(60);
    emu::RegSetDword(kKey, "PopUps", 0);
}

std::vector<Scenario> Scenarios() {
    return {
        {"open retries",
         [] {
             DriftingClock();
             FailFirstOpens(40, -2);
         },
         {"TecOpen", 1},
         {"TecGetVersion", 1}},
        {"identification",
         [] { DriftingClock(); },
         {"TecGetVersion", 1},
         {"TecSetRealtimeMode", 1}},
        {"start-up reads",
         [] {
             DriftingClock();
             NoDataForFirstReads(30);
         },
         {"TecSetRealtimeMode", 1},
         {"WaitForSingleObject", 1}},
        {"cycles", [] { DriftingClock(); }, {"WaitForSingleObject", 1}, {"WaitForSingleObject", 8}},
        {"hard set",
         [] {
             DriftingClock();
             emu::RegSetDword(kSimKey, "OffsetMs", 2500);
             emu::RegSetString(kKey, "Sync", "now");
         },
         {"SetSystemTime", 1, -20},
         {"SetSystemTime", 1, 15}},
    };
}

struct Outcome {
    bool Delivered = false;
    bool Pinned = false;
    bool Hung = false;
    std::string At;
    bool ClockWithSystemAtEnd = false;
    bool CardOpenAtEnd = true;
};

Outcome StopOnce(const Scenario& scenario, std::size_t at, std::uint32_t control, bool pin) {
    servicetest::FreshProcess();
    scenario.Arrange();
    Outcome out;
    servicetest::RunService(
        [&](std::size_t n, const char* call) {
            if (out.Delivered || n < at ||
                emu::CurrentServiceStatus().CurrentState != plat::kServiceRunning) {
                return; // the controller holds a stop back until RUNNING
            }
            if (emu::PostControl(control) != 0) {
                return;
            }
            out.Delivered = true;
            out.At = call;
            out.Pinned = pin && servicetest::HandlerCouldRun(call);
            if (out.Pinned) {
                out.Hung = !servicetest::AwaitStopSteps();
            }
        },
        [&] {
            out.ClockWithSystemAtEnd = ClockWithSystem();
            out.CardOpenAtEnd = CardLink.IsOpen.load();
        });
    return out;
}

std::vector<std::string> ReferenceCalls(const Scenario& scenario) {
    servicetest::FreshProcess();
    scenario.Arrange();
    std::vector<std::string> calls;
    int waits = 0;
    servicetest::RunService([&](std::size_t, const char* call) {
        calls.emplace_back(call);
        if (calls.back() == "WaitForSingleObject" && ++waits == 12) {
            EXPECT_EQ(emu::PostControl(plat::kServiceControlStop), 0u);
        }
    });
    return calls;
}

unsigned Seed() {
    const char* text = std::getenv("CHRONEL_STOP_RACE_SEED");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 20261206u;
}

int StopsPerScenario() {
    const char* text = std::getenv("CHRONEL_STOP_RACE_STOPS");
    return text != nullptr ? std::atoi(text) : 220;
}

TEST(StopRace, AStopAtAnyStageLeavesTheClockWithTheSystemAndTheCardClosed) {
    const unsigned seed = Seed();
    std::mt19937 random(seed);
    std::map<std::string, int> stoppedAt;
    for (const Scenario& scenario : Scenarios()) {
        const std::vector<std::string> calls = ReferenceCalls(scenario);
        const std::size_t first = Find(calls, scenario.First);
        const std::size_t last = Find(calls, scenario.Last);
        ASSERT_TRUE(first > 0 && last > first) << scenario.Name;
        std::uniform_int_distribution<std::size_t> point(first, last);
        for (int i = 0; i < StopsPerScenario(); ++i) {
            const std::size_t at = point(random);
            const std::uint32_t control =
                random() % 2 == 0 ? plat::kServiceControlStop : plat::kServiceControlShutdown;
            const bool pin = random() % 2 == 0;
            SCOPED_TRACE(std::string(scenario.Name) + ", call " + std::to_string(at) +
                         ", control " + std::to_string(control) + (pin ? ", pinned" : ", racing") +
                         ", seed " + std::to_string(seed));

            const Outcome out = StopOnce(scenario, at, control, pin);
            ASSERT_TRUE(out.Delivered);
            ASSERT_FALSE(out.Hung);
            ++stoppedAt[out.At];

            EXPECT_TRUE(out.ClockWithSystemAtEnd);
            EXPECT_FALSE(out.CardOpenAtEnd);
            EXPECT_TRUE(ClockWithSystem());
            EXPECT_FALSE(emu::PrivilegeEnabled());
            EXPECT_TRUE(servicetest::CardHandlesLeftOpen().empty());
            EXPECT_EQ(servicetest::OpenHandles(), servicetest::Handles{});

            std::vector<std::uint32_t> states;
            for (const emu::StatusReport& report : emu::StatusReports()) {
                EXPECT_TRUE(report.Succeeded);
                if (states.empty() || states.back() != report.Status.CurrentState) {
                    states.push_back(report.Status.CurrentState);
                }
            }
            const std::vector<std::uint32_t> expected = {
                plat::kServiceStartPending, plat::kServiceRunning, plat::kServiceStopPending,
                plat::kServiceStopped};
            EXPECT_EQ(states, expected);
            EXPECT_EQ(emu::CurrentServiceStatus().Win32ExitCode, 0u);

            // Nothing but the run's own start and stop, and a hard set only if one happened.
            const std::vector<std::string> texts = EventTexts();
            bool started = false;
            bool stopped = false;
            for (const std::string& text : texts) {
                if (text == "START") {
                    started = true;
                } else if (text == "STOP") {
                    stopped = true;
                } else if (text.rfind("System time is hard set.", 0) == 0) {
                    EXPECT_GE(emu::Clock().SetTimeCalls, 1u) << "hard set logged, none made";
                } else {
                    ADD_FAILURE() << "unexpected entry: " << text;
                }
            }
            EXPECT_EQ(started, stopped);

            // A "Sync" request is honoured or still standing for the next start.
            if (std::string(scenario.Name) == "hard set" && emu::Clock().SetTimeCalls == 0) {
                EXPECT_NE(emu::RegGetString(kKey, "Sync").value_or(""), "");
            }
            if (::testing::Test::HasFailure()) {
                return;
            }
        }
    }
    const std::vector<std::string> inCycle = {"TecReadTime", "SetSystemTimeAdjustment",
                                              "SetSystemTime", "TecOpen", "TecGetVersion"};
    for (const std::string& name : inCycle) {
        EXPECT_GT(stoppedAt[name], 0) << "no stop landed at " << name;
    }
}

// A start that fails reports STOPPED itself. A stop that arrives while it does so must
// report nothing after it: the controller would take the service for running again.
TEST(StopRace, AStopDuringAFailedStartReportsNothingAfterStopped) {
    const Scenario failing{"failed start",
                           [] {
                               DriftingClock();
                               FailFirstOpens(1000, -2);
                           },
                           {},
                           {}};
    servicetest::FreshProcess();
    failing.Arrange();
    std::vector<std::string> calls;
    servicetest::RunService([&](std::size_t, const char* call) { calls.emplace_back(call); });
    const auto last = [&calls](const std::string& name) {
        return static_cast<std::size_t>(std::find(calls.rbegin(), calls.rend(), name).base() -
                                        calls.begin());
    };
    const std::size_t first = last("TecOpen");
    const std::size_t stopped = last("SetServiceStatus");
    ASSERT_GT(stopped, first);
    int delivered = 0;
    for (std::size_t at = first; at <= stopped; ++at) {
        for (const bool pin : {true, false}) {
            SCOPED_TRACE("call " + std::to_string(at) + (pin ? ", pinned" : ", racing"));
            const Outcome out = StopOnce(failing, at, plat::kServiceControlStop, pin);
            if (!out.Delivered) {
                continue;
            }
            ++delivered;
            ASSERT_FALSE(out.Hung);
            const std::vector<emu::StatusReport> reports = emu::StatusReports();
            const auto firstStopped =
                std::find_if(reports.begin(), reports.end(), [](const emu::StatusReport& r) {
                    return r.Status.CurrentState == plat::kServiceStopped;
                });
            ASSERT_NE(firstStopped, reports.end());
            EXPECT_EQ(firstStopped + 1, reports.end()) << "reported after STOPPED";
        }
    }
    EXPECT_GT(delivered, 0);
}

// A card call that hangs in the driver must hold up neither the stop's report nor the clock's
// return to the system; when the call comes back at last, the card is closed.
TEST(StopRace, ACardCallThatHangsHoldsUpNeitherTheStopNorTheClock) {
    struct Case {
        const char* Name;
        emu::TecFn Fn;
        std::uint64_t FromNth;
    };
    const Case cases[] = {
        {"a read in a cycle", emu::TecFn::ReadTime, 60},
        {"the real-time mode at start", emu::TecFn::SetRealtimeMode, 1},
    };
    // The handler's own bound, and room for a slow host.
    constexpr auto kBound = std::chrono::milliseconds(6500);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        servicetest::FreshProcess();
        DriftingClock();
        emu::HoldTecCalls(c.Fn, c.FromNth);
        bool held = false;
        std::chrono::steady_clock::duration tookToStop{};
        bool clockWithSystemAtStop = false;
        std::uint64_t closesAtStop = 0;
        std::thread controller([&] {
            held = emu::AwaitHeldTecCall(20000);
            const auto posted = std::chrono::steady_clock::now();
            EXPECT_EQ(emu::PostControl(plat::kServiceControlStop), 0u);
            // A handler that waits for the card would wait for ever: let the call go after
            // the bound, so that the test fails instead.
            const auto deadline = posted + kBound + std::chrono::seconds(2);
            while (emu::CurrentServiceStatus().CurrentState != plat::kServiceStopped &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            tookToStop = std::chrono::steady_clock::now() - posted;
            clockWithSystemAtStop = ClockWithSystem();
            closesAtStop = emu::TecCallCount(emu::TecFn::Close);
            emu::ReleaseTecCalls();
        });
        servicetest::RunService([](std::size_t, const char*) {}, [&] { controller.join(); });
        ASSERT_TRUE(held);
        EXPECT_LT(tookToStop, kBound);
        EXPECT_TRUE(clockWithSystemAtStop);
        EXPECT_EQ(closesAtStop, 0u) << "the stop closed the card under a call in progress";
        EXPECT_TRUE(servicetest::CardHandlesLeftOpen().empty());
        EXPECT_FALSE(CardLink.IsOpen.load());
        ASSERT_FALSE(emu::StatusReports().empty());
        EXPECT_EQ(emu::StatusReports().back().Status.CurrentState, plat::kServiceStopped);
        EXPECT_EQ(servicetest::OpenHandles(), servicetest::Handles{});
    }
}

} // namespace
