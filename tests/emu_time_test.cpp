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
        plat::TokenPrivileges previous;
        EXPECT_TRUE(testutil::EnableTimePrivilege(token, previous));
        return token;
    }
};

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
