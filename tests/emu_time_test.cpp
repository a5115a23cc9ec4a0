// The emulated clock, zones, token and events that every other test stands on.
#include "platform/Platform.h"
#include "platform/emu/World.h"

#include "tests/TestRecords.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using testutil::Text;
using testutil::Utc;

constexpr std::int64_t kMs = 10000; // 100-ns units

class EmuTime : public ::testing::Test {
  protected:
    void SetUp() override { emu::ResetWorld(); }
    void TearDown() override { emu::ResetWorld(); }

    // Enables the time privilege the way the service does, for tests of the clock calls.
    static plat::Token EnablePrivilege() {
        plat::Token token;
        EXPECT_TRUE(plat::OpenProcessToken(plat::kTokenAllAccess, token));
        plat::TokenPrivileges request;
        request.PrivilegeCount = 1;
        request.Attributes = plat::kSePrivilegeEnabled;
        EXPECT_TRUE(plat::LookupPrivilegeValue(plat::kSystemtimePrivilege, request.PrivilegeLuid));
        plat::TokenPrivileges previous;
        EXPECT_TRUE(plat::AdjustTokenPrivileges(token, request, previous));
        return token;
    }
};

TEST_F(EmuTime, StartsFromAKnownWorld) {
    plat::SystemTime now;
    plat::GetSystemTime(now);
    EXPECT_EQ(Text(now), "2026-12-06 12:00:00.000");
    EXPECT_EQ(now.DayOfWeek, 0); // a Sunday
    EXPECT_EQ(emu::SystemTime100ns(), emu::TrueTime100ns());
    const emu::ClockState c = emu::Clock();
    EXPECT_EQ(c.Adjustment, 156250u);
    EXPECT_EQ(c.Increment, 156250u);
    EXPECT_TRUE(c.RegulationDisabled);
    plat::TimeZoneInfo tz;
    EXPECT_EQ(plat::GetTimeZoneInformation(tz), plat::kTimeZoneIdUnknown);
    EXPECT_EQ(tz.Bias, 0);
    EXPECT_FALSE(emu::PrivilegeEnabled());
}

TEST_F(EmuTime, ClockMovesInTicksOfItsOscillator) {
    const std::int64_t start = emu::SystemTime100ns();
    emu::Advance100ns(156249);
    EXPECT_EQ(emu::SystemTime100ns(), start); // the first tick is not due yet
    EXPECT_NEAR(emu::ClockErrorMs(), 0.0, 0.001);
    emu::Advance100ns(1);
    EXPECT_EQ(emu::SystemTime100ns(), start + 156250);
    emu::Advance100ns(1000 * kMs - 156250); // a whole second: 64 ticks
    EXPECT_EQ(emu::SystemTime100ns(), start + 1000 * kMs);
    EXPECT_EQ(emu::TrueTime100ns(), start + 1000 * kMs);
}

TEST_F(EmuTime, RateFollowsDriftAdjustmentAndIncrement) {
    struct Case {
        const char* name;
        double driftPpm;
        std::uint32_t adjustment;
        bool regulationDisabled;
        std::uint32_t increment;
        double errorAfter100sMs;
    };
    const Case cases[] = {
        {"nominal", 0, 156250, true, 156250, 0.0},
        {"fast oscillator", 100, 156250, true, 156250, 10.0},
        {"slow oscillator", -50, 156250, true, 156250, -5.0},
        {"slowed by the adjustment", 0, 154688, false, 156250, -1000.0 * 1562 / 156250 * 100},
        {"adjustment ignored under regulation", 0, 100000, true, 156250, 0.0},
        {"regulated to another increment", 0, 156250, true, 157812, 1000.0 * 1562 / 156250 * 100},
        {"adjustment against drift", 100, 156234, false, 156250,
         100000.0 * (156234.0 / 156250 * 1.0001 - 1)},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        emu::SetDriftPpm(c.driftPpm);
        emu::SetIncrement(c.increment);
        plat::Token token = EnablePrivilege();
        ASSERT_TRUE(plat::SetSystemTimeAdjustment(c.adjustment, c.regulationDisabled));
        emu::AdvanceMs(100000);
        EXPECT_NEAR(emu::ClockErrorMs(), c.errorAfter100sMs, 0.02) << c.name;
        // The reported clock differs from the smooth one by less than one tick.
        const double reported =
            static_cast<double>(emu::SystemTime100ns() - emu::TrueTime100ns()) / kMs;
        EXPECT_LE(reported, c.errorAfter100sMs + 0.02) << c.name;
        EXPECT_GT(reported, c.errorAfter100sMs - 16.0) << c.name;
    }
}

TEST_F(EmuTime, TickObserverSeesTheSameClockAsTheBulkAdvance) {
    emu::SetDriftPpm(37.5);
    emu::AdvanceMs(123456);
    const std::int64_t bulkSystem = emu::SystemTime100ns();
    const std::int64_t bulkTrue = emu::TrueTime100ns();

    emu::ResetWorld();
    emu::SetDriftPpm(37.5);
    std::vector<std::int64_t> ticks;
    emu::SetTickObserver([&ticks](std::int64_t, std::int64_t system) { ticks.push_back(system); });
    for (int i = 0; i < 1000; ++i) {
        emu::Advance100ns(1234560); // in pieces that end between ticks
    }
    EXPECT_EQ(emu::TrueTime100ns(), bulkTrue);
    EXPECT_EQ(emu::SystemTime100ns(), bulkSystem);
    ASSERT_FALSE(ticks.empty());
    EXPECT_EQ(ticks.back(), bulkSystem);
    EXPECT_NEAR(static_cast<double>(ticks.size()), 123.456 * 64 * 1.0000375, 1.0);
}

TEST_F(EmuTime, ClockCallsNeedThePrivilege) {
    ASSERT_FALSE(emu::PrivilegeEnabled());
    EXPECT_FALSE(plat::SetSystemTimeAdjustment(150000, false));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorPrivilegeNotHeld);
    EXPECT_FALSE(plat::SetSystemTime(Utc(2027, 1, 1, 0)));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorPrivilegeNotHeld);
    EXPECT_EQ(emu::Clock().AdjustmentCalls, 0u);
    EXPECT_EQ(emu::Clock().SetTimeCalls, 0u);

    plat::Token token = EnablePrivilege();
    EXPECT_TRUE(plat::SetSystemTime(Utc(2027, 1, 1, 0, 0, 0, 500)));
    plat::SystemTime now;
    plat::GetSystemTime(now);
    EXPECT_EQ(Text(now), "2027-01-01 00:00:00.500");
    EXPECT_FALSE(plat::SetSystemTime(Utc(2027, 2, 29, 0))); // refused, clock unchanged
    EXPECT_EQ(emu::Clock().SetTimeCalls, 1u);
}

TEST_F(EmuTime, PrivilegeStateIsRestoredByThePreviousState) {
    plat::Token token;
    ASSERT_TRUE(plat::OpenProcessToken(plat::kTokenAllAccess, token));
    EXPECT_EQ(emu::OpenTokens(), 1);
    plat::TokenPrivileges enable;
    enable.PrivilegeCount = 1;
    enable.Attributes = plat::kSePrivilegeEnabled;
    ASSERT_TRUE(plat::LookupPrivilegeValue(plat::kSystemtimePrivilege, enable.PrivilegeLuid));

    plat::TokenPrivileges first;
    ASSERT_TRUE(plat::AdjustTokenPrivileges(token, enable, first));
    EXPECT_TRUE(emu::PrivilegeEnabled());
    // Enabling what is already enabled changes nothing, so restoring that changes nothing.
    plat::TokenPrivileges second;
    ASSERT_TRUE(plat::AdjustTokenPrivileges(token, enable, second));
    EXPECT_EQ(second.PrivilegeCount, 0u);
    plat::TokenPrivileges ignored;
    ASSERT_TRUE(plat::AdjustTokenPrivileges(token, second, ignored));
    EXPECT_TRUE(emu::PrivilegeEnabled());
    ASSERT_TRUE(plat::AdjustTokenPrivileges(token, first, ignored));
    EXPECT_FALSE(emu::PrivilegeEnabled());

    token = plat::Token{};
    EXPECT_EQ(emu::OpenTokens(), 0);
}

TEST_F(EmuTime, DaylightTimeFollowsTheZoneRules) {
    emu::SetTimeZone(emu::CentralEuropeanZone());
    struct Case {
        plat::SystemTime utc;
        std::uint32_t id;
        const char* local;
    };
    // 2026: daylight from 29 March 01:00 UTC to 25 October 01:00 UTC.
    const Case cases[] = {
        {Utc(2026, 1, 15, 12), plat::kTimeZoneIdStandard, "2026-01-15 13:00:00.000"},
        {Utc(2026, 7, 15, 12), plat::kTimeZoneIdDaylight, "2026-07-15 14:00:00.000"},
        {Utc(2026, 3, 29, 0, 59, 59, 999), plat::kTimeZoneIdStandard, "2026-03-29 01:59:59.999"},
        {Utc(2026, 3, 29, 1), plat::kTimeZoneIdDaylight, "2026-03-29 03:00:00.000"},
        {Utc(2026, 10, 25, 0, 59, 59, 999), plat::kTimeZoneIdDaylight, "2026-10-25 02:59:59.999"},
        {Utc(2026, 10, 25, 1), plat::kTimeZoneIdStandard, "2026-10-25 02:00:00.000"},
        {Utc(2026, 12, 31, 23, 30), plat::kTimeZoneIdStandard, "2027-01-01 00:30:00.000"},
    };
    for (const auto& c : cases) {
        emu::SetTrueTimeUtc(c.utc);
        plat::TimeZoneInfo tz;
        EXPECT_EQ(plat::GetTimeZoneInformation(tz), c.id) << Text(c.utc);
        EXPECT_EQ(tz.Bias, -60);
        plat::SystemTime local;
        ASSERT_TRUE(plat::SystemTimeToTzSpecificLocalTime(tz, c.utc, local));
        EXPECT_EQ(Text(local), c.local);
        plat::GetLocalTime(local);
        EXPECT_EQ(Text(local), c.local);
    }
}

TEST_F(EmuTime, ConversionRefusesInvalidTimes) {
    const plat::TimeZoneInfo tz = emu::CentralEuropeanZone();
    const plat::SystemTime bad[] = {
        Utc(2026, 0, 1, 0),     Utc(2026, 13, 1, 0),       Utc(2026, 1, 0, 0),
        Utc(2026, 1, 32, 0),    Utc(2026, 2, 29, 0),       Utc(2026, 1, 1, 24),
        Utc(2026, 1, 1, 0, 60), Utc(2026, 1, 1, 0, 0, 60), Utc(2026, 1, 1, 0, 0, 0, 1000),
        Utc(1600, 12, 31, 0)};
    for (const auto& t : bad) {
        plat::SystemTime local = Utc(1, 2, 3, 4);
        EXPECT_FALSE(plat::SystemTimeToTzSpecificLocalTime(tz, t, local)) << Text(t);
        EXPECT_EQ(Text(local), Text(Utc(1, 2, 3, 4)));
    }
}

TEST_F(EmuTime, WaitsRunInVirtualTime) {
    plat::Event event = plat::CreateEvent(true, false);
    ASSERT_TRUE(event.valid());
    EXPECT_EQ(emu::OpenEvents(), 1);
    const std::int64_t start = emu::TrueTime100ns();
    EXPECT_EQ(plat::WaitForSingleObject(event.get(), 250), plat::kWaitTimeout);
    EXPECT_EQ(emu::TrueTime100ns() - start, 250 * kMs);
    plat::Sleep(50);
    EXPECT_EQ(emu::TrueTime100ns() - start, 300 * kMs);

    ASSERT_TRUE(plat::SetEvent(event.get()));
    EXPECT_EQ(plat::WaitForSingleObject(event.get(), 1), plat::kWaitObject0);
    EXPECT_EQ(plat::WaitForSingleObject(event.get(), 1), plat::kWaitObject0); // manual reset
    EXPECT_EQ(emu::TrueTime100ns() - start, 300 * kMs); // signalled waits take no time

    plat::Event automatic = plat::CreateEvent(false, true);
    EXPECT_EQ(plat::WaitForSingleObject(automatic.get(), 0), plat::kWaitObject0);
    EXPECT_EQ(plat::WaitForSingleObject(automatic.get(), 0), plat::kWaitTimeout);

    const plat::OsHandle stale = event.get();
    event.reset();
    EXPECT_EQ(emu::OpenEvents(), 1);
    EXPECT_EQ(plat::WaitForSingleObject(stale, 1), plat::kWaitFailed);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorInvalidHandle);
    EXPECT_FALSE(plat::SetEvent(stale));
}

TEST_F(EmuTime, InfiniteWaitBlocksUntilSignalled) {
    plat::Event event = plat::CreateEvent(true, false);
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        EXPECT_EQ(plat::WaitForSingleObject(event.get(), plat::kInfinite), plat::kWaitObject0);
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke);
    ASSERT_TRUE(plat::SetEvent(event.get()));
    waiter.join();
    EXPECT_TRUE(woke);
}

TEST_F(EmuTime, InjectedFailuresCountDownAndReset) {
    emu::InjectFailure(emu::Fail::GetSystemTimeAdjustment, 31, 2);
    std::uint32_t adjustment = 0;
    std::uint32_t increment = 0;
    bool disabled = false;
    EXPECT_FALSE(plat::GetSystemTimeAdjustment(adjustment, increment, disabled));
    EXPECT_EQ(plat::GetLastError(), 31u);
    EXPECT_FALSE(plat::GetSystemTimeAdjustment(adjustment, increment, disabled));
    EXPECT_TRUE(plat::GetSystemTimeAdjustment(adjustment, increment, disabled));

    emu::InjectFailure(emu::Fail::CreateEvent, 1450);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(plat::CreateEvent(true, false).valid());
        EXPECT_EQ(plat::GetLastError(), 1450u);
    }
    emu::ResetWorld();
    EXPECT_TRUE(plat::CreateEvent(true, false).valid());
    plat::TimeZoneInfo tz;
    EXPECT_EQ(plat::GetTimeZoneInformation(tz), plat::kTimeZoneIdUnknown);
}

TEST_F(EmuTime, CallHookSeesEveryCallAndKeepsTheLastError) {
    std::vector<std::string> calls;
    emu::SetCallHook([&calls](const char* call) {
        calls.emplace_back(call);
        plat::SetLastError(999); // must not leak into the caller's error
        plat::Sleep(1);          // calls from inside the hook are not reported again
    });
    plat::Token token;
    emu::InjectFailure(emu::Fail::OpenProcessToken, 5, 1);
    EXPECT_FALSE(plat::OpenProcessToken(plat::kTokenAllAccess, token));
    EXPECT_EQ(plat::GetLastError(), 5u);
    plat::Sleep(10);
    emu::SetCallHook(nullptr);
    plat::Sleep(10);
    EXPECT_EQ(calls, (std::vector<std::string>{"OpenProcessToken", "Sleep"}));
}

TEST_F(EmuTime, ReferenceFrameTimes) {
    struct Case {
        const char* name;
        std::uint32_t fps;
        plat::SystemTime trueNow;
        double offsetMs;
        const char* reference;
        const char* pc;
    };
    const Case cases[] = {
        {"25 fps", 25, Utc(2026, 12, 6, 12, 0, 0, 50), 0, "2026-12-06 12:00:00.040",
         "2026-12-06 12:00:00.040"},
        {"clock ahead", 25, Utc(2026, 12, 6, 12, 0, 0, 79), 250.0, "2026-12-06 12:00:00.040",
         "2026-12-06 12:00:00.290"},
        {"clock behind across midnight", 30, Utc(2026, 12, 7, 0, 0, 0, 10), -20.0,
         "2026-12-07 00:00:00.000", "2026-12-06 23:59:59.980"},
        {"30 fps frame at 33.3 ms", 30, Utc(2026, 12, 6, 12, 0, 0, 40), 0,
         "2026-12-06 12:00:00.033", "2026-12-06 12:00:00.033"},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        emu::SetTrueTimeUtc(c.trueNow);
        emu::SetClockOffsetMs(c.offsetMs);
        plat::SystemTime reference;
        plat::SystemTime pc;
        plat::ReferenceFrameTimes(c.fps, reference, pc);
        EXPECT_EQ(Text(reference), c.reference) << c.name;
        EXPECT_EQ(Text(pc), c.pc) << c.name;
    }
}

TEST_F(EmuTime, ReferenceFrameTimesFollowTheClockBetweenTicks) {
    // A clock running 1 % slow: 30 ms after the frame start it has lost 0.3 ms; the PC time
    // at the frame start is taken back along the clock's own rate, whatever the tick phase.
    plat::Token token = EnablePrivilege();
    ASSERT_TRUE(plat::SetSystemTimeAdjustment(154687, false));
    emu::AdvanceMs(40 * 1000 + 30);
    plat::SystemTime reference;
    plat::SystemTime pc;
    plat::ReferenceFrameTimes(25, reference, pc);
    EXPECT_EQ(Text(reference), "2026-12-06 12:00:40.000");
    const double errorAtFrame = emu::ClockErrorMs() + 30 * 0.01;
    const std::int64_t pcUnits = emu::UtcToUnits(pc);
    EXPECT_NEAR(static_cast<double>(pcUnits - emu::UtcToUnits(reference)) / kMs, errorAtFrame,
                0.5 + 1e-9);
}

} // namespace
