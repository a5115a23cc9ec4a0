// The clock watch: the Windows Time service and other programs that change the clock's rate.
#include "CardWorld.h"

#include "TimeFunc/ClockControl.h"
#include "ctl/Ctl.h"
#include "engine/ClockWatch.h"

#include <functional>
#include <thread>

namespace {

constexpr const char* kTimeServiceParameters =
    "SYSTEM\\CurrentControlSet\\Services\\W32Time\\Parameters";
// Looks at the clock come with the settings reload, 201 cycles of at least 51 ms apart.
constexpr std::int64_t kLookApartMs = 10250;

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
        emu::AdvanceMs(kLookApartMs);
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

// The service and chronelctl check judge W32Time by the same rule.
TEST_F(ClockWatchTest, TheTimeServiceIsReportedWhileItSynchronisesAndCheckAgrees) {
    struct Case {
        const char* Name;
        std::uint32_t State; // 0: not installed
        std::function<void()> Type;
        bool Found;
        const char* CheckLine; // how chronelctl check's line on it begins
    };
    const auto type = [](const char* text) {
        return [text] { emu::RegSetString(kTimeServiceParameters, "Type", text); };
    };
    const auto none = [] {};
    const Case cases[] = {
        {"running", plat::kServiceRunning, none, true, "  WARN  the Windows Time"},
        {"starting", plat::kServiceStartPending, none, true, "  WARN  the Windows Time"},
        {"running, synchronising", plat::kServiceRunning, type("NT5DS"), true, "  WARN  the"},
        {"stopped", plat::kServiceStopped, none, false, "  OK    the Windows Time service is st"},
        {"stopping", plat::kServiceStopPending, none, false, "  OK    the Windows Time"},
        {"not installed", 0, none, false, "  OK    the Windows Time service is not installed"},
        {"running without synchronising", plat::kServiceRunning, type("NoSync"), false,
         "  OK    the Windows Time service (W32Time) is running with its type NoSync"},
        {"starting without synchronising, as w32tm may spell it", plat::kServiceStartPending,
         type("NOSYNC"), false, "  OK    the Windows Time service (W32Time) is running"},
        {"a type that is not a string", plat::kServiceRunning,
         [] { emu::RegSetDword(kTimeServiceParameters, "Type", 0); }, true, "  WARN  the"},
        {"NoSync when stopped", plat::kServiceStopped, type("NoSync"), false, "  OK    the"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Fresh();
        if (c.State != 0) {
            AddTimeService(c.State);
        }
        c.Type();
        StartClockWatch();
        EXPECT_EQ(Messages().size(), c.Found ? 1U : 0U);
        EXPECT_EQ(Warnings(), c.Found ? kTimeServiceWarning : "");
        (void)ctl::Check();
        std::string line = "<none>"; // its own line, before those that quote the service
        for (const emu::ConsoleWrite& write : emu::ConsoleWrites()) {
            if (line == "<none>" && write.Text.find("Windows Time") != std::string::npos) {
                line = write.Text;
            }
        }
        EXPECT_EQ(line.rfind(c.CheckLine, 0), 0U) << line;
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

// Started after us, as a trigger-started W32Time is at boot: logged when it appears, not at
// each look while it stays, and again when it comes back an hour or more later. The looks come
// 10.25 s apart, as with the settings reload.
TEST_F(ClockWatchTest, TheTimeServiceIsLoggedWhenItAppearsAndAgainWhenItComesBackLater) {
    struct Case {
        int Back;     // the check at which it is seen again
        bool Stopped; // between check 2 and then
        bool Logged;
    };
    for (const Case& c : {Case{352, true, false}, Case{353, true, true}, Case{400, false, false}}) {
        SCOPED_TRACE(c.Back);
        SCOPED_TRACE(c.Stopped);
        Fresh();
        StartClockWatch();
        AddTimeService(plat::kServiceRunning);
        WatchClock(); // check 1
        emu::AdvanceMs(kLookApartMs);
        WatchClock();
        EXPECT_EQ(Messages(), std::vector<std::string>{kTimeServiceWarning});
        EXPECT_EQ(Warnings(), kTimeServiceWarning);
        AddTimeService(c.Stopped ? plat::kServiceStopped : plat::kServiceRunning);
        for (int check = 3; check < c.Back; ++check) {
            emu::AdvanceMs(kLookApartMs);
            WatchClock();
        }
        EXPECT_EQ(Warnings(), c.Stopped ? "" : kTimeServiceWarning);
        AddTimeService(plat::kServiceRunning);
        emu::AdvanceMs(kLookApartMs);
        WatchClock(); // check Back
        EXPECT_EQ(Messages().size(), c.Logged ? 2U : 1U);
        EXPECT_EQ(Warnings(), kTimeServiceWarning);
    }
}

} // namespace
