// The emulated platform's own behaviour, where the clock tests take it on trust.
#include "platform/Platform.h"
#include "platform/emu/World.h"
#include "tests/TestRecords.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using testutil::Utc;

constexpr std::uint32_t kNominal = 156250;

class EmulatedClock : public ::testing::Test {
  protected:
    void SetUp() override { emu::ResetWorld(); }
    void TearDown() override { emu::ResetWorld(); }
};

// The emulated clock every clock test stands on: its rate follows the oscillator's drift, and
// the adjustment only while the system does not regulate.
TEST_F(EmulatedClock, TheEmulatedClockRunsAtTheRateItIsGiven) {
    struct Case {
        const char* name;
        double driftPpm;
        std::uint32_t adjustment;
        bool systemRegulates;
        std::uint32_t increment;
        double errorAfter100sMs;
        emu::InterruptModel interrupt{};
    };
    // A faster or later interrupt changes when the clock moves, never how fast it runs.
    const emu::InterruptModel oneMs{10000, 2000, 0.01, 5000, 7};
    const emu::InterruptModel halfMs{5000, 0, 0, 0, 1};
    const emu::InterruptModel late{156250, 5000, 0.05, 100000, 3};
    const Case cases[] = {
        {"fast oscillator", 100, kNominal, true, kNominal, 10.0},
        {"slow oscillator", -50, kNominal, true, kNominal, -5.0},
        {"slowed by the adjustment", 0, 154688, false, kNominal, -1000.0 * 1562 / 156250 * 100},
        {"adjustment ignored under regulation", 0, 100000, true, kNominal, 0.0},
        {"regulated to another increment", 0, kNominal, true, 157812, 1000.0 * 1562 / 156250 * 100},
        {"1 ms interrupt, slowed", 0, 154688, false, kNominal, -1000.0 * 1562 / 156250 * 100,
         oneMs},
        {"0.5 ms interrupt, sped up", 0, 157812, false, kNominal, 1000.0 * 1562 / 156250 * 100,
         halfMs},
        {"late interrupts, fast oscillator", 100, kNominal, true, kNominal, 10.0, late},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        emu::SetClockInterrupt(c.interrupt);
        emu::SetDriftPpm(c.driftPpm);
        emu::SetIncrement(c.increment);
        plat::Token token;
        plat::TokenPrivileges previous;
        ASSERT_TRUE(testutil::EnableTimePrivilege(token, previous));
        ASSERT_TRUE(plat::SetSystemTimeAdjustment(c.adjustment, c.systemRegulates));
        emu::AdvanceMs(100000);
        EXPECT_NEAR(emu::ClockErrorMs(), c.errorAfter100sMs, 0.02) << c.name;
    }
}

TEST_F(EmulatedClock, TheClockMovesAtEachInterruptAndWaitsEndThere) {
    struct Case {
        const char* name;
        emu::InterruptModel interrupt;
        std::int64_t stepUnits;   // what one interrupt adds
        std::int64_t latestUnits; // how late after its grid point one may come
    };
    const Case cases[] = {
        {"15.625 ms", {156250, 0, 0, 0, 1}, 156250, 0},
        {"1 ms", {10000, 0, 0, 0, 1}, 10000, 0},
        {"0.5 ms with jitter", {5000, 1000, 0, 0, 5}, 5000, 1000},
        {"15.625 ms, some late", {156250, 2000, 0.2, 60000, 9}, 156250, 62000},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        emu::SetClockInterrupt(c.interrupt);
        const std::int64_t start = emu::TrueTime100ns();
        std::vector<std::pair<std::int64_t, std::int64_t>> ticks;
        emu::SetTickObserver([&](std::int64_t t, std::int64_t sys) { ticks.emplace_back(t, sys); });
        emu::AdvanceMs(2000);
        emu::SetTickObserver(nullptr);
        ASSERT_GE(ticks.size(), 2U) << c.name;
        const std::int64_t period = c.interrupt.Period100ns;
        EXPECT_NEAR(static_cast<double>(ticks.size()), 2000.0 * 10000 / static_cast<double>(period),
                    1.0)
            << c.name;
        std::int64_t latest = 0;
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            const std::int64_t sincePoint = (ticks[i].first - start) % period;
            EXPECT_LE(sincePoint, c.latestUnits) << c.name << ": interrupt " << i << " too late";
            latest = std::max(latest, sincePoint);
            if (i > 0) {
                EXPECT_EQ(ticks[i].second - ticks[i - 1].second, c.stepUnits) << c.name;
            }
        }
        EXPECT_EQ(latest > c.latestUnits / 2, c.latestUnits > 0) << c.name << ": no jitter seen";
        // Between interrupts the coarse clock stands; the precise one does not.
        const std::int64_t coarse = emu::SystemTime100ns();
        emu::Advance100ns(period / 4);
        if (emu::SystemTime100ns() == coarse) {
            EXPECT_GT(emu::SmoothSystemTime100ns(), coarse) << c.name;
        }
        // A wait ends at the first interrupt after its time.
        emu::SetWaitsEndAtInterrupt(true);
        for (int i = 0; i < 20; ++i) {
            const std::int64_t before = emu::TrueTime100ns();
            plat::Sleep(50);
            const std::int64_t took = emu::TrueTime100ns() - before;
            EXPECT_GE(took, 500000) << c.name;
            EXPECT_LE(took, 500000 + period + c.latestUnits) << c.name;
        }
    }
}

TEST_F(EmulatedClock, ASetClockReadsExactlyTheValueWhateverTheInterrupt) {
    // Just past a grid point whose interrupt is late: the set falls before that interrupt.
    for (const std::uint64_t seed : {1U, 2U, 3U}) {
        for (const std::int64_t period : {std::int64_t{156250}, std::int64_t{10000}}) {
            emu::ResetWorld();
            emu::SetClockInterrupt({period, 0, 1.0, period * 4 / 5, seed});
            emu::Advance100ns(period + period / 20);
            plat::Token token;
            plat::TokenPrivileges previous;
            ASSERT_TRUE(testutil::EnableTimePrivilege(token, previous));
            const plat::SystemTime value = Utc(2026, 12, 8, 10, 11, 12, 345);
            ASSERT_TRUE(plat::SetSystemTime(value));
            EXPECT_EQ(emu::SmoothSystemTime100ns(), emu::UtcToUnits(value)) << period;
            EXPECT_LE(emu::SystemTime100ns(), emu::UtcToUnits(value)) << period;
            EXPECT_GT(emu::SystemTime100ns(), emu::UtcToUnits(value) - 2 * period) << period;
        }
    }
}

// One disk: a file exists for FileExists whichever way it was put there, a bare name being one
// in the current folder, and a folder is no file.
TEST(EmulatedFiles, ABareNameIsOneInTheCurrentFolder) {
    const std::string here = std::string(emu::kCurrentFolder) + "\\";
    struct Case {
        const char* name;
        std::string file;   // put by the test; empty: none
        std::string folder; // added by the test; empty: none
        const char* asked;
        bool exists;
    };
    const Case cases[] = {
        {"bare name, bare put", "SETUP.EXE", "", "setup.exe", true},
        {"bare name, put by its full path", here + "setup.exe", "", "Setup.Exe", true},
        {"full path, bare put", "setup.exe", "", "C:\\Program Files\\Quorlan\\SETUP.EXE", true},
        {"elsewhere", "C:\\Other\\setup.exe", "", "setup.exe", false},
        {"a folder of that name", "", "setup.exe", "setup.exe", false},
        {"written by the program", "", here, "setup.exe", true},
    };
    for (const auto& c : cases) {
        emu::ResetWorld();
        if (!c.file.empty()) {
            emu::PutFile(c.file, "");
        }
        if (!c.folder.empty()) {
            emu::AddFolder(c.folder);
        }
        if (c.folder == here) {
            ASSERT_TRUE(plat::WriteWholeFile(here + "SETUP.EXE", "x")) << c.name;
        }
        EXPECT_EQ(plat::FileExists(c.asked), c.exists) << c.name;
    }
    emu::ResetWorld();
}

} // namespace
