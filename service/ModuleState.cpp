#include "service/ModuleState.h"

#include "TimeFunc/ClockControl.h"
#include "card/CardLink.h"
#include "engine/ClockWatch.h"
#include "engine/EventLog.h"
#include "engine/History.h"
#include "engine/Metrics.h"
#include "engine/Settings.h"
#include "service/ServiceLifecycle.h"

void ResetModuleState() {
    InitDefaultTimeIncrement();
    ForgetAppliedRate();
    CardLink.Handle = 0;
    CardLink.IsOpen = false;
    LastCardResult = 0;
    StopLatched = false;
    ResetSettingsToStart();
    SettingsRegistry.reset();
    EventLogEntries = 0;
    ResetClockWatch();
    ResetMetrics();
    HistoryStart();
    ResetServiceLifecycle();
}
