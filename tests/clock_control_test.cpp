#include "TimeFunc/ClockControl.h"

#include "card/CardLink.h"
#include "platform/Platform.h"
#include "platform/emu/World.h"
#include "service/ModuleState.h"
#include "tests/TestRecords.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using testutil::Text;
using testutil::Utc;

constexpr std::uint32_t kNominal = 156250;

plat::SystemTime SystemNow() {
    plat::SystemTime now;
    plat::GetSystemTime(now);
    return now;
}

// Puts the emulated clock off its nominal rate, as a correction in progress would.
void SlewClock(std::uint32_t adjustment) {
    plat::Token token;
    plat::TokenPrivileges previous;
    ASSERT_TRUE(testutil::EnableTimePrivilege(token, previous));
    ASSERT_TRUE(plat::SetSystemTimeAdjustment(adjustment, false));
    plat::TokenPrivileges ignored;
    ASSERT_TRUE(plat::AdjustTokenPrivileges(token, previous, ignored));
}

class ClockControl : public ::testing::Test {
  protected:
    void SetUp() override {
        emu::ResetWorld();
        ResetModuleState();
    }
    void TearDown() override {
        emu::ResetWorld();
        ResetModuleState();
    }
};

TEST_F(ClockControl, DefaultIncrementIsTheSystemsAtStart) {
    EXPECT_EQ(DefaultTimeIncrement(), kNominal);
    emu::SetIncrement(100000);
    EXPECT_EQ(DefaultTimeIncrement(), kNominal); // fixed until read again
    SlewClock(154250);
    InitDefaultTimeIncrement();
    EXPECT_EQ(DefaultTimeIncrement(), 100000u); // the increment, not the adjustment in force
    emu::InjectFailure(emu::Fail::GetSystemTimeAdjustment, 5, 1);
    InitDefaultTimeIncrement();
    EXPECT_EQ(DefaultTimeIncrement(), 0u);
}

TEST_F(ClockControl, RatesAreRebasedOntoTheIncrementInForce) {
    struct Case {
        const char* name;
        bool defaultUnreadable;
        std::uint32_t currentIncrement;
        bool queryFails;
        std::uint32_t asked;
        std::uint32_t adjustment; // what the system is handed (ignored when disabled)
        bool disable;
    };
    const Case cases[] = {
        {"0 is the nominal rate", false, kNominal, false, 0, kNominal, true},
        {"the nominal rate", false, kNominal, false, kNominal, kNominal, true},
        {"slow down", false, kNominal, false, 154250, 154250, false},
        {"speed up", false, kNominal, false, 158250, 158250, false},
        {"re-based onto another increment", false, 100000, false, 156750, 100500, false},
        {"nominal on another increment", false, 100000, false, kNominal, 100000, true},
        {"query fails: used unchanged", false, kNominal, true, 154250, 154250, false},
        {"query fails: nominal", false, kNominal, true, 0, kNominal, true},
        {"unknown default, correction re-based", true, kNominal, false,
         static_cast<std::uint32_t>(-740), kNominal - 740, false},
        {"unknown default, nominal", true, kNominal, false, 0, kNominal, true},
        // Nothing to be relative to: the bare correction would stop the clock or race it.
        {"unknown default and query fails", true, kNominal, true, static_cast<std::uint32_t>(-740),
         static_cast<std::uint32_t>(-740), true},
        {"unknown default and query fails, speed-up", true, kNominal, true, 740, 740, true},
        // Whatever the correction, the clock stays within a tenth of its increment.
        {"wrapped slow-down held at the band", false, kNominal, false,
         kNominal + static_cast<std::uint32_t>(-200000), kNominal - 15625, false},
        {"runaway speed-up held at the band", false, kNominal, false, kNominal + 0x7FFFFFFF,
         kNominal + 15625, false},
        {"band of the increment in force", false, 100000, false, kNominal + 15625, 110000, false},
        {"band without the query", false, kNominal, true, kNominal - 20000, kNominal - 15625,
         false},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        if (c.defaultUnreadable) {
            emu::InjectFailure(emu::Fail::GetSystemTimeAdjustment, 5, 1);
        }
        InitDefaultTimeIncrement();
        emu::SetIncrement(c.currentIncrement);
        SlewClock(12345); // something else in force before
        if (c.queryFails) {
            emu::InjectFailure(emu::Fail::GetSystemTimeAdjustment, 5, 1);
        }
        EXPECT_EQ(SetClockRate(c.asked), ClockOk) << c.name;
        const emu::ClockState clock = emu::Clock();
        EXPECT_EQ(clock.SystemRegulates, c.disable) << c.name;
        if (!c.disable) {
            EXPECT_EQ(clock.Adjustment, c.adjustment) << c.name;
        }
        EXPECT_EQ(clock.AdjustmentCalls, 2u) << c.name;
        EXPECT_FALSE(emu::PrivilegeEnabled()) << c.name;
        EXPECT_EQ(emu::OpenTokens(), 0) << c.name;
    }
}

TEST_F(ClockControl, EachFailingStepIsReported) {
    struct Case {
        emu::Fail step;
        std::uint32_t error;
        ClockResult result;
    };
    const Case cases[] = {
        {emu::Fail::OpenProcessToken, 5, ClockTokenFailed},
        {emu::Fail::LookupPrivilegeValue, 1313, ClockLookupFailed},
        {emu::Fail::AdjustTokenPrivileges, 6, ClockEnableFailed},
        {emu::Fail::SetSystemTimeAdjustment, 87, ClockAdjustFailed},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        LastCardResult = -99;
        int tokensOpenAtFailure = -1;
        const char* failingCall =
            c.step == emu::Fail::OpenProcessToken        ? "OpenProcessToken"
            : c.step == emu::Fail::LookupPrivilegeValue  ? "LookupPrivilegeValue"
            : c.step == emu::Fail::AdjustTokenPrivileges ? "AdjustTokenPrivileges"
                                                         : "SetSystemTimeAdjustment";
        emu::SetCallHook([&](const char* call) {
            if (std::string(call) == failingCall) {
                tokensOpenAtFailure = emu::OpenTokens();
            }
        });
        emu::InjectFailure(c.step, c.error, 1);
        EXPECT_EQ(SetClockRate(154250), c.result);
        emu::SetCallHook(nullptr);
        EXPECT_EQ(LastCardResult, static_cast<std::int32_t>(c.error));
        // The token was open from the lookup on, and is closed whatever failed.
        EXPECT_EQ(tokensOpenAtFailure, c.step == emu::Fail::OpenProcessToken ? 0 : 1);
        EXPECT_EQ(emu::OpenTokens(), 0);
        EXPECT_FALSE(emu::PrivilegeEnabled());
        EXPECT_EQ(emu::Clock().AdjustmentCalls, 0u);
        EXPECT_TRUE(emu::Clock().SystemRegulates);
    }
}

TEST_F(ClockControl, PrivilegeFoundEnabledStaysEnabled) {
    plat::Token own;
    plat::TokenPrivileges previous;
    ASSERT_TRUE(testutil::EnableTimePrivilege(own, previous));

    EXPECT_EQ(SetClockRate(154250), ClockOk);
    EXPECT_TRUE(emu::PrivilegeEnabled());
    HardSetSystemTime(TimecodeRecord{}, false);
    EXPECT_TRUE(emu::PrivilegeEnabled());
    EXPECT_EQ(emu::OpenTokens(), 1); // only the test's own
}

TEST_F(ClockControl, AfterTheStopOnlyTheNominalRateIsSet) {
    StopLatched = true;
    EXPECT_EQ(SetClockRate(154250), ClockOk);
    EXPECT_TRUE(emu::Clock().SystemRegulates);
    EXPECT_EQ(emu::Clock().AdjustmentCalls, 1u);

    TimecodeRecord r;
    r.LtcHour = 3;
    HardSetSystemTime(r, false);
    EXPECT_EQ(emu::Clock().SetTimeCalls, 0u);
    EXPECT_EQ(Text(SystemNow()), "2026-12-06 12:00:00.000");
}

TEST_F(ClockControl, ClockCallsHoldTheClockLock) {
    int checked = 0;
    emu::SetCallHook([&checked](const char* call) {
        const std::string name = call;
        if (name != "SetSystemTimeAdjustment" && name != "SetSystemTime") {
            return;
        }
        bool free = false;
        std::thread probe([&free] {
            free = ClockLock().try_lock();
            if (free) {
                ClockLock().unlock();
            }
        });
        probe.join();
        EXPECT_FALSE(free) << name;
        ++checked;
    });
    SetClockRate(154250);
    TimecodeRecord r;
    r.LtcHour = 12;
    r.LtcSecond = 5;
    HardSetSystemTime(r, false);
    emu::SetCallHook(nullptr);
    EXPECT_EQ(checked, 3); // one rate, then hand-back and set
}

TEST_F(ClockControl, HardSetTakesTheTimecodeTimeOfDay) {
    struct Case {
        const char* name;
        plat::SystemTime now;
        testutil::Moment ltc;
        bool dateFlag;
        const char* expected;
    };
    const Case cases[] = {
        {"same day",
         Utc(2026, 12, 6, 12, 0, 0, 0),
         {2026, 12, 6, 12, 0, 5, 500},
         false,
         "2026-12-06 12:00:05.500"},
        {"timecode date ignored without the flag",
         Utc(2026, 12, 6, 8, 0, 0, 0),
         {1999, 1, 1, 9, 0, 0, 0},
         false,
         "2026-12-06 09:00:00.000"},
        // Without a date, the day is the one that puts the time nearest to the clock.
        {"clock just past midnight, timecode before",
         Utc(2026, 12, 7, 0, 0, 0, 200),
         {0, 0, 0, 23, 59, 59, 900},
         false,
         "2026-12-06 23:59:59.900"},
        {"clock just before midnight, timecode after",
         Utc(2026, 12, 6, 23, 59, 59, 900),
         {0, 0, 0, 0, 0, 0, 100},
         false,
         "2026-12-07 00:00:00.100"},
        {"into the new year",
         Utc(2026, 12, 31, 23, 59, 59, 900),
         {0, 0, 0, 0, 0, 0, 100},
         false,
         "2027-01-01 00:00:00.100"},
        {"back over a month end",
         Utc(2027, 3, 1, 0, 0, 0, 100),
         {0, 0, 0, 23, 59, 59, 0},
         false,
         "2027-02-28 23:59:59.000"},
        {"back into a leap day",
         Utc(2028, 3, 1, 0, 0, 0, 100),
         {0, 0, 0, 23, 59, 59, 0},
         false,
         "2028-02-29 23:59:59.000"},
        {"exactly twelve hours stays on the day",
         Utc(2026, 12, 6, 0, 0, 0, 0),
         {0, 0, 0, 12, 0, 0, 0},
         false,
         "2026-12-06 12:00:00.000"},
        {"with date",
         Utc(2026, 12, 6, 12, 0, 0, 0),
         {2026, 12, 24, 18, 30, 0, 0},
         true,
         "2026-12-24 18:30:00.000"},
        {"with date across midnight taken as given",
         Utc(2026, 12, 7, 0, 0, 0, 200),
         {2026, 12, 7, 23, 59, 59, 900},
         true,
         "2026-12-07 23:59:59.900"},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        emu::SetTrueTimeUtc(c.now);
        SlewClock(154250);
        TimecodeRecord r;
        testutil::SetLtc(r, c.ltc);
        HardSetSystemTime(r, c.dateFlag);
        // The value set, as the clock reads it between its interrupts.
        EXPECT_EQ(Text(emu::UnitsToUtc(emu::SmoothSystemTime100ns())), c.expected) << c.name;
        EXPECT_EQ(emu::Clock().SetTimeCalls, 1u) << c.name;
        EXPECT_TRUE(emu::Clock().SystemRegulates) << c.name; // handed back before the set
        EXPECT_FALSE(emu::PrivilegeEnabled()) << c.name;
        EXPECT_EQ(emu::OpenTokens(), 0) << c.name;
    }
}

TEST_F(ClockControl, AFailingStepIsARefusalWithTheSystemsError) {
    const emu::Fail steps[] = {emu::Fail::OpenProcessToken, emu::Fail::LookupPrivilegeValue,
                               emu::Fail::AdjustTokenPrivileges, emu::Fail::SetSystemTimeAdjustment,
                               emu::Fail::SetSystemTime};
    for (const auto step : steps) {
        emu::ResetWorld();
        LastCardResult = 17;
        emu::InjectFailure(step, 5, 1);
        TimecodeRecord r;
        r.LtcHour = 3;
        EXPECT_EQ(HardSetSystemTime(r, false), HardSetRefused);
        EXPECT_EQ(emu::Clock().SetTimeCalls, 0u);
        EXPECT_DOUBLE_EQ(emu::ClockErrorMs(), 0.0); // the clock untouched
        EXPECT_EQ(emu::OpenTokens(), 0);
        EXPECT_FALSE(emu::PrivilegeEnabled()); // restored also when the hand-back failed
        EXPECT_EQ(LastCardResult, 5);
    }
}

// The record's frame and stamp are one moment; the set lands where the timecode is now.
TEST_F(ClockControl, HardSetAllowsForTheTimeSinceTheStamp) {
    struct Case {
        const char* name;
        testutil::Moment stamp;
        testutil::Moment ltc;
        bool dateFlag;
        // Without the interpolated clock, the set waits for the clock's first interrupt, when
        // it reads 12:00:00.015, and allows a millisecond for the lag of that reading.
        const char* expected;
    };
    const Case cases[] = {
        {"50 ms since the stamp",
         {2026, 12, 6, 11, 59, 59, 966},
         {0, 0, 0, 11, 59, 59, 940},
         false,
         "2026-12-06 11:59:59.990"},
        {"with date, over midnight",
         {2026, 12, 6, 11, 59, 59, 990},
         {2026, 12, 31, 23, 59, 59, 995},
         true,
         "2027-01-01 00:00:00.021"},
        {"stamp too old to measure by",
         {2026, 12, 6, 11, 59, 0, 0},
         {0, 0, 0, 11, 0, 0, 0},
         false,
         "2026-12-06 11:00:00.000"},
        {"no stamp",
         {0, 0, 0, 0, 0, 0, 0},
         {0, 0, 0, 11, 0, 0, 0},
         false,
         "2026-12-06 11:00:00.000"},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        emu::SetPreciseTimeAvailable(false);
        TimecodeRecord r;
        testutil::SetLtc(r, c.ltc);
        r.SystemYear = c.stamp.Year;
        r.SystemMonth = c.stamp.Month;
        r.SystemDay = c.stamp.Day;
        r.SystemHour = c.stamp.Hour;
        r.SystemMinute = c.stamp.Minute;
        r.SystemSecond = c.stamp.Second;
        r.SystemMilliseconds = c.stamp.Milliseconds;
        EXPECT_EQ(HardSetSystemTime(r, c.dateFlag), HardSetDone) << c.name;
        EXPECT_EQ(Text(emu::UnitsToUtc(emu::SmoothSystemTime100ns())), c.expected) << c.name;
    }
}

// Wherever the clock stands within its interrupt and within its millisecond when the set comes,
// it lands on the timecode: exactly with the interpolated clock, and with the coarse one within
// the millisecond its reading is cut to.
TEST_F(ClockControl, HardSetLandsOnTheTimecodeInEveryPhase) {
    struct Case {
        const char* name;
        bool precise;
        std::int64_t period100ns; // of the clock interrupt
        std::int64_t since100ns;  // true time from the interrupt grid's start to the set
        double lowMs;
        double highMs;
    };
    constexpr double kExact = 0.011; // a read of the interpolated clock costs 100 ns
    const Case cases[] = {
        {"precise, on a millisecond", true, 156250, 2000000, -kExact, kExact},
        {"precise, 0.3 ms into one", true, 156250, 2003000, -kExact, kExact},
        {"precise, 0.9 ms into one, mid-interrupt", true, 156250, 2009000 + 70000, -kExact, kExact},
        {"precise, 1 ms timer", true, 10000, 2006500, -kExact, kExact},
        {"coarse, just after an interrupt", false, 156250, 156250 * 13 + 10, 0.0, 1.0 + kExact},
        {"coarse, mid-interrupt", false, 156250, 156250 * 13 + 80000, 0.0, 1.0 + kExact},
        {"coarse, interrupt late in its ms", false, 156250, 156250 * 14 - 5, 0.0, 1.0 + kExact},
        {"coarse, 1 ms timer", false, 10000, 2006500, 0.0, 1.0 + kExact},
    };
    constexpr std::int64_t kUnitsPerMs = 10000;
    constexpr std::int64_t kAheadUnits = 30000 * kUnitsPerMs; // resumed 30 s ahead
    for (const auto& c : cases) {
        emu::ResetWorld();
        InitDefaultTimeIncrement();
        emu::SetWaitsEndAtInterrupt(true);
        emu::SetPreciseTimeAvailable(c.precise);
        emu::InterruptModel interrupt;
        interrupt.Period100ns = c.period100ns;
        emu::SetClockInterrupt(interrupt);
        emu::SetClockOffsetMs(30000.0); // the interrupt grid starts here
        emu::Advance100ns(c.since100ns);
        // A frame 20 ms ago and its stamp from the same clock, both whole milliseconds.
        const std::int64_t frame =
            (emu::TrueTime100ns() / kUnitsPerMs) * kUnitsPerMs - 20 * kUnitsPerMs;
        const plat::SystemTime ltc = emu::UnitsToUtc(frame);
        const plat::SystemTime stamp = emu::UnitsToUtc(frame + kAheadUnits);
        TimecodeRecord r;
        testutil::SetLtc(
            r, {ltc.Year, ltc.Month, ltc.Day, ltc.Hour, ltc.Minute, ltc.Second, ltc.Milliseconds});
        testutil::SetSystem(r, {stamp.Year, stamp.Month, stamp.Day, stamp.Hour, stamp.Minute,
                                stamp.Second, stamp.Milliseconds});
        ASSERT_EQ(HardSetSystemTime(r, true), HardSetDone) << c.name;
        const double landing = emu::ClockErrorMs();
        EXPECT_GE(landing, c.lowMs) << c.name;
        EXPECT_LE(landing, c.highMs) << c.name;
    }
}

} // namespace
