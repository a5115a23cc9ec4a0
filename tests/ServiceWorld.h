// A fresh emulated machine and a fresh service process for the service-host, fault, race and
// soak tests, a run of the service as the controller would make it, and the checks they
// share: where the clock, the card and the machine's handles are left.
#pragma once

#include "TimeFunc/ClockControl.h"
#include "card/CardLink.h"
#include "engine/Settings.h"
#include "platform/emu/World.h"
#include "service/ModuleState.h"
#include "service/ServiceLifecycle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace servicetest {

constexpr const char* kKey = "SOFTWARE\\Tecora";
constexpr const char* kSimKey = "SOFTWARE\\TecoraSim";

// Everything a new process would start with: the world, and the module state of the program.
inline void FreshProcess() {
    emu::JoinServiceThreads();
    emu::ResetWorld();
    ResetModuleState();
}

class ServiceHostTest : public ::testing::Test {
  protected:
    void SetUp() override { FreshProcess(); }
    void TearDown() override {
        emu::JoinServiceThreads();
        emu::SetCallHook(nullptr);
    }
};

// The clock as the system leaves it to itself: regulation on, at its own increment.
inline bool ClockWithSystem() {
    const emu::ClockState clock = emu::Clock();
    return clock.SystemRegulates && clock.Adjustment == clock.Increment &&
           clock.Increment == DefaultTimeIncrement();
}

// Event-log texts without the leading line break every entry carries.
inline std::vector<std::string> EventTexts() {
    std::vector<std::string> texts;
    for (const std::string& text : emu::EventLogTexts()) {
        texts.push_back(text.rfind("\r\n", 0) == 0 ? text.substr(2) : text);
    }
    return texts;
}

inline std::vector<plat::ServiceStatusRecord> GoodReports() {
    std::vector<plat::ServiceStatusRecord> good;
    for (const emu::StatusReport& report : emu::StatusReports()) {
        if (report.Succeeded) {
            good.push_back(report.Status);
        }
    }
    return good;
}

// Card handles the library gave out and nobody closed.
inline std::vector<std::int32_t> CardHandlesLeftOpen() {
    std::vector<std::int32_t> open;
    for (const emu::TecCall& call : emu::TecCalls()) {
        if (call.Fn == emu::TecFn::Open && call.Result == 0) {
            open.push_back(call.Handle);
        } else if (call.Fn == emu::TecFn::Close && call.Result == 0) {
            std::erase(open, call.Handle);
        }
    }
    return open;
}

// Handles of every kind the emulated machine counts.
struct Handles {
    int Keys = 0;
    int Events = 0;
    int Tokens = 0;
    int EventSources = 0;
    int Services = 0;
    bool operator==(const Handles&) const = default;
};
inline Handles OpenHandles() {
    return {emu::RegOpenKeys(), emu::OpenEvents(), emu::OpenTokens(), emu::OpenEventSources(),
            emu::OpenServiceHandles()};
}

// Runs the service as the controller would, this thread being the process's main thread.
// onServiceCall sees every platform call of the service thread, numbered from 1. atProcessEnd
// runs when the dispatcher has returned, the moment the real process would end; then the
// service thread is waited for.
inline void RunService(const std::function<void(std::size_t, const char*)>& onServiceCall,
                       const std::function<void()>& atProcessEnd = {}) {
    emu::SetStartedByController(true);
    std::size_t calls = 0; // touched by the service thread only
    emu::SetCallHook([&](const char* call) {
        if (emu::IsServiceThread()) {
            onServiceCall(++calls, call);
        }
    });
    RunServiceDispatcher();
    if (atProcessEnd) {
        atProcessEnd();
    }
    emu::JoinServiceThreads();
    emu::SetCallHook(nullptr);
}

// Whether the control handler has run the stop's steps: it reports STOP_PENDING once more
// after them, before it waits for the service thread to end.
inline bool StopStepsDone() {
    int pending = 0;
    for (const emu::StatusReport& report : emu::StatusReports()) {
        if (report.Status.CurrentState == plat::kServiceStopped) {
            return true;
        }
        if (report.Status.CurrentState == plat::kServiceStopPending &&
            report.Status.WaitHint != 0) {
            ++pending;
        }
    }
    return pending >= 2;
}

// Waits in real time until the stop's steps are done; false after the bound (a hang).
inline bool AwaitStopSteps() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!StopStepsDone()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// Whether the service thread, inside this platform call, could wait for a control handler
// now: the handler takes the clock lock, and the status lock around its reports (held in
// SetServiceStatus, and around the event's creation), and would wait for a thread that holds
// either. It never waits for the card lock.
inline bool HandlerCouldRun(const char* call) {
    const std::string name = call;
    if (name == "SetServiceStatus" || name == "CreateEvent") {
        return false;
    }
    bool free = false;
    std::thread probe([&] {
        if (ClockLock().try_lock()) {
            free = true;
            ClockLock().unlock();
        }
    });
    probe.join();
    return free;
}

} // namespace servicetest
