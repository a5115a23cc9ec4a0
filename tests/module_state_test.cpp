// What one run leaves behind in the program's globals is gone after the reset, as in a new
// process: each row dirties one piece the way a run does and checks it is back at its start.
#include "service/ModuleState.h"

#include "TimeFunc/ClockControl.h"
#include "card/CardLink.h"
#include "engine/ClockWatch.h"
#include "engine/EventLog.h"
#include "engine/Settings.h"
#include "platform/Platform.h"
#include "platform/emu/World.h"
#include "service/ServiceLifecycle.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

TEST(ModuleState, TheResetLeavesWhatANewProcessStartsWith) {
    struct Case {
        const char* name;
        std::function<void()> dirty;
        std::function<bool()> fresh;
    };
    const Case cases[] = {
        {"stop latched", [] { StopLatched = true; }, [] { return !StopLatched; }},
        {"card link",
         [] {
             CardLink.Handle = 5;
             CardLink.IsOpen = true;
             LastCardResult = 7;
         },
         [] { return CardLink.Handle == 0 && !CardLink.IsOpen && LastCardResult == 0; }},
        {"settings",
         [] {
             Settings.SyncMode = 1;
             SyncRequested = true;
             SettingsRegistry = std::make_unique<TRegistryDefault>();
         },
         [] { return Settings.SyncMode == 0 && !SyncRequested && !SettingsRegistry; }},
        {"service status",
         [] {
             ServiceStatus.CurrentState = plat::kServiceRunning;
             ServiceStatusHandle = 9;
             StopEvent = plat::CreateEvent(true, false);
         },
         [] {
             return ServiceStatus.CurrentState == 0 && ServiceStatusHandle == 0 &&
                    !StopEvent.valid();
         }},
        {"event-log count", [] { EventLogEntries = 3; }, [] { return EventLogEntries == 0; }},
        {"clock watch's findings", [] { SetHardSetFinding("System time hard set failed: x"); },
         [] { return ClockWarnings().empty(); }},
        {"nominal rate read afresh",
         [] {
             emu::SetIncrement(100000);
             InitDefaultTimeIncrement();
         },
         [] { return DefaultTimeIncrement() == 156250; }},
        {"the last run's rate",
         [] {
             (void)SetClockRate(156250 - 777);
             emu::SetAdjustmentAsAnotherProgram(156250 - 777, false);
         },
         [] {
             // Set by this process in the last run, it is another program's to this one.
             emu::SetAdjustmentAsAnotherProgram(156250 - 700, false);
             return !ClockRateMovedByOthers();
         }},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        ResetModuleState();
        c.dirty();
        emu::ResetWorld();
        ResetModuleState();
        EXPECT_TRUE(c.fresh()) << c.name;
    }
    emu::ResetWorld();
    ResetModuleState();
}

} // namespace
