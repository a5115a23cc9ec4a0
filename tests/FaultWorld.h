// A fresh machine and process for the fault, race and soak tests, and the checks they share:
// where the clock, the card and the machine's handles are left.
#pragma once

#include "ServiceWorld.h"

#include "platform/emu/World.h"
#include "service/ServiceLifecycle.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace faultworld {

constexpr const char* kKey = "SOFTWARE\\Tecora";
constexpr const char* kSimKey = "SOFTWARE\\TecoraSim";

// The fresh process, the clock check and the log texts of the service-host tests.
using servicetest::ClockWithSystem;
using servicetest::EventTexts;
using servicetest::FreshProcess;

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

// Handles of every kind the emulated machine counts, summed: keys, events, tokens, event
// sources, service handles.
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

} // namespace faultworld
