// The clock watch: the Windows Time service and other programs that change the clock's rate.
#include "CardWorld.h"

#include "TimeFunc/ClockControl.h"
#include "engine/ClockWatch.h"

#include <functional>
#include <thread>

namespace {

class ClockWatchTest : public CardWorld {
  protected:
    void SetUp() override {
        CardWorld::SetUp();
        Fresh();
    }
    static void Fresh() {
        ResetAll();
        InitDefaultTimeIncrement();
        SettingsRegistry = std::make_unique<TRegistryDefault>();
        SettingsRegistry->SetRootKeyLocalMachine();
        SettingsRegistry->OpenKey(kSettingsKeyPath, true);
    }
    static std::string Warnings() {
        return emu::RegGetString(kKey, "MonitorWarnings").value_or("<absent>");
    }
    static std::uint32_t Rate(std::int32_t delta) {
        return DefaultTimeIncrement() + static_cast<std::uint32_t>(delta);
    }
    static void AddTimeService(std::uint32_t state) {
        plat::ServiceConfig config;
        config.Name = "W32Time";
        emu::AddService(config, state);
    }
};

TEST_F(ClockWatchTest, OnlyAnotherProgramsRateIsAFinding) {
    struct Case {
        const char* Name;
        std::function<void()> Between; // after the service has set a rate of its own
        bool Foreign;
    };
    const std::uint32_t d = DefaultTimeIncrement();
    const Case cases[] = {
        {"own slew", [] { SetClockRate(Rate(-300)); }, false},
        {"stop handler's reset on the other thread",
         [] { std::thread([] { SetClockRate(DefaultTimeIncrement()); }).join(); }, false},
        {"hard set hands the clock to the system", [] { HardSetSystemTime({}, false); }, false},
        {"another rate", [d] { emu::SetAdjustmentAsAnotherProgram(d + 900, false); }, true},
        {"another rate, then ours again",
         [d] {
             emu::SetAdjustmentAsAnotherProgram(d + 900, false);
             SetClockRate(Rate(500));
         },
         true},
        {"taken back to the system's regulation",
         [d] { emu::SetAdjustmentAsAnotherProgram(d, true); }, true},
        // Nothing of ours to fight over: the clock was with the system (no timecode).
        {"taken while the system regulated",
         [d] {
             SetClockRate(DefaultTimeIncrement());
             emu::SetAdjustmentAsAnotherProgram(d + 900, false);
         },
         false},
        {"another rate, then the clock handed to the system",
         [d] {
             emu::SetAdjustmentAsAnotherProgram(d + 900, false);
             SetClockRate(DefaultTimeIncrement());
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        emu::ClearEventLog();
        StartClockWatch();
        SetClockRate(Rate(500));
        c.Between();
        WatchClock();
        EXPECT_EQ(Messages().size(), c.Foreign ? 1U : 0U);
        EXPECT_EQ(Warnings(), c.Foreign ? kForeignRateWarning : "");
    }
}

TEST_F(ClockWatchTest, AForeignRateIsLoggedAtMostHourlyAndClearedWhenItStops) {
    StartClockWatch();
    SetClockRate(Rate(500));
    int checks = 0;
    for (; checks < 400; ++checks) {
        emu::SetAdjustmentAsAnotherProgram(Rate(900), false);
        WatchClock();
    }
    EXPECT_EQ(Messages(), std::vector<std::string>(2, kForeignRateWarning)); // checks 1 and 353
    EXPECT_EQ(emu::EventLogEntries().front().Type, 2);
    SetClockRate(Rate(500)); // sees the other program's rate one last time
    WatchClock();
    WatchClock();
    EXPECT_EQ(Warnings(), "");
    emu::SetAdjustmentAsAnotherProgram(Rate(900), false);
    WatchClock(); // back within the hour: shown, not logged again
    EXPECT_EQ(Messages().size(), 2U);
    EXPECT_EQ(Warnings(), kForeignRateWarning);
}

TEST_F(ClockWatchTest, TheTimeServiceIsReportedWhileItSynchronises) {
    struct Case {
        const char* Name;
        std::function<void()> Arrange;
        bool Found;
    };
    const Case cases[] = {
        {"running", [] { AddTimeService(plat::kServiceRunning); }, true},
        {"starting", [] { AddTimeService(plat::kServiceStartPending); }, true},
        {"stopped", [] { AddTimeService(plat::kServiceStopped); }, false},
        {"not installed", [] {}, false},
        {"running without synchronising",
         [] {
             AddTimeService(plat::kServiceRunning);
             emu::RegSetString("SYSTEM\\CurrentControlSet\\Services\\W32Time\\Parameters", "Type",
                               "NoSync");
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Fresh();
        c.Arrange();
        StartClockWatch();
        EXPECT_EQ(Messages().size(), c.Found ? 1U : 0U);
        EXPECT_EQ(Warnings(), c.Found ? kTimeServiceWarning : "");
    }
    // Both findings, one a line; the service's finding goes with the service, unlogged.
    Fresh();
    AddTimeService(plat::kServiceRunning);
    StartClockWatch();
    SetClockRate(Rate(500));
    emu::SetAdjustmentAsAnotherProgram(Rate(900), false);
    WatchClock();
    EXPECT_EQ(Warnings(), std::string(kTimeServiceWarning) + "\r\n" + kForeignRateWarning);
    AddTimeService(plat::kServiceStopped);
    SetClockRate(Rate(500));
    WatchClock();
    WatchClock();
    EXPECT_EQ(Warnings(), "");
    EXPECT_EQ(Messages().size(), 2U);
}

} // namespace
