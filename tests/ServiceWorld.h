// A fresh emulated machine and a fresh service process for the service-host tests.
#pragma once

#include "TimeFunc/ClockControl.h"
#include "card/CardLink.h"
#include "engine/Settings.h"
#include "platform/emu/World.h"
#include "service/ServiceLifecycle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace servicetest {

// Everything a new process would start with: the world, and the module state of the program.
inline void FreshProcess() {
    emu::JoinServiceThreads();
    emu::ResetWorld();
    InitDefaultTimeIncrement();
    ResetSettingsToStart();
    SettingsRegistry.reset();
    ServiceStatus = {};
    ServiceStatusHandle = 0;
    StopEvent.reset();
    CardLink.Handle = 0;
    CardLink.IsOpen = false;
    LastCardResult = 0;
    StopLatched = false;
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
    return clock.RegulationDisabled && clock.Adjustment == clock.Increment &&
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

} // namespace servicetest
