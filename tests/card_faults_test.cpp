// The card failing while the service runs: gone with each of the library's error codes and
// back again, silent for minutes, and delivering records with fields out of any range. The
// loop keeps its pace, notifies once per outage, leaves the clock at its nominal rate while it
// cannot read, corrects nothing from a record it refused, and locks again once the card is
// back.
#include "CardScript.h"
#include "FaultWorld.h"

#include "platform/emu/World.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using faultworld::CardBehaviour;
using faultworld::CycleEnd;
using faultworld::Field;
using faultworld::kKey;

constexpr std::int64_t kUnitsPerMs = 10000;

// A clock that starts 20 ms ahead and drifts, so that locking shows.
void OffClock() {
    emu::SetClockOffsetMs(20);
    emu::SetDriftPpm(20);
}

int Count(const std::vector<std::string>& texts, const std::string& prefix) {
    return static_cast<int>(std::count_if(
        texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }));
}

// Cycle lengths in ms of virtual time, from the ends of consecutive cycles.
struct Pace {
    std::int64_t Longest = 0;
    double Mean = 0;
};
Pace PaceOf(const std::vector<CycleEnd>& ends, std::size_t from, std::size_t to) {
    Pace pace;
    std::int64_t total = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        const std::int64_t ms = (ends[i].At100ns - ends[i - 1].At100ns) / kUnitsPerMs;
        pace.Longest = std::max(pace.Longest, ms);
        total += ms;
    }
    pace.Mean = static_cast<double>(total) / static_cast<double>(to - from - 1);
    return pace;
}

// The first cycle end in [from, to) from which on, up to `to`, the clock stays within 3 ms of
// the timecode; `to` when there is none.
std::size_t LockedFrom(const std::vector<CycleEnd>& ends, std::size_t from, std::size_t to) {
    std::size_t locked = to;
    for (std::size_t i = to; i-- > from;) {
        if (std::fabs(ends[i].ClockErrorMs) >= 3.0) {
            break;
        }
        locked = i;
    }
    return locked;
}

double SecondsBetween(const CycleEnd& a, const CycleEnd& b) {
    return static_cast<double>(b.At100ns - a.At100ns) / 1e7;
}

class CardFaults : public ::testing::Test {
  protected:
    void SetUp() override { faultworld::FreshProcess(); }
    void TearDown() override { emu::JoinServiceThreads(); }
};

// The card gone for 150 cycles (reads and mode changes failing with the code), then back.
TEST_F(CardFaults, TheCardVanishingWithAnyCodeIsNotifiedOnceAndTheClockLocksAgain) {
    constexpr std::size_t kFaultFrom = 600; // well locked by then
    constexpr std::size_t kFaultTo = 750;
    constexpr std::size_t kCycles = 2000;
    for (std::int32_t code = -1; code >= -16; --code) {
        SCOPED_TRACE("read result " + std::to_string(code));
        faultworld::FreshProcess();
        OffClock();
        emu::RegSetDword(kKey, "PopUps", code == -2 ? 1 : 0);
        faultworld::ScriptedCard card;
        std::vector<CycleEnd> ends;
        faultworld::RunCycles(kCycles, [&](const CycleEnd& end) {
            ends.push_back(end);
            if (end.Cycle == kFaultFrom) {
                CardBehaviour gone;
                gone.ReadCode = code;
                gone.SetModeFails = true;
                card.Set(gone);
                emu::SetClockOffsetMs(25); // and the clock jumps meanwhile
            } else if (end.Cycle == kFaultTo) {
                card.Normal();
            }
        });
        ASSERT_EQ(ends.size(), kCycles);

        ASSERT_LT(LockedFrom(ends, 0, kFaultFrom), kFaultFrom);
        // While the card is gone the clock runs at its nominal rate under the system, set
        // there by the first failed read, and no time is set.
        for (std::size_t i = kFaultFrom; i < kFaultTo; ++i) {
            EXPECT_TRUE(ends[i].ClockWithSystem) << "cycle " << ends[i].Cycle;
            EXPECT_EQ(ends[i].SetTimeCalls, 0u);
        }
        const Pace fault = PaceOf(ends, kFaultFrom, kFaultTo);
        EXPECT_LE(fault.Longest, 52);
        EXPECT_NEAR(fault.Mean, 51.0, 0.5);

        const std::size_t locked = LockedFrom(ends, kFaultTo, ends.size());
        ASSERT_LT(locked, ends.size());
        EXPECT_LE(SecondsBetween(ends[kFaultTo - 1], ends[locked]), 60.0);

        const auto texts = faultworld::EventTexts();
        EXPECT_EQ(Count(texts, "LTC source failure"), 1);
        EXPECT_EQ(Count(texts, "System time is hard set"), 0);
        // Nothing but the outage's own entries: the failure and the mode changes that failed.
        EXPECT_EQ(Count(texts, "START") + Count(texts, "STOP") +
                      Count(texts, "LTC source failure") +
                      Count(texts, "tecSetRealtimeMode failed: "),
                  static_cast<int>(texts.size()));
        if (code == -2) {
            EXPECT_TRUE(emu::WaitForPopups(1));
            ASSERT_EQ(emu::Popups().size(), 1u);
            EXPECT_EQ(emu::Popups()[0].Text.rfind("LTC source failure\n\n", 0), 0u);
        }
        EXPECT_TRUE(faultworld::ClockWithSystem());
        EXPECT_TRUE(faultworld::CardHandlesLeftOpen().empty());
        if (HasFailure()) {
            return;
        }
    }
}

// Three minutes without a new frame: one notification, nominal rate throughout, full pace.
TEST_F(CardFaults, MinutesWithoutNewDataKeepThePaceAndTheClockWithTheSystem) {
    constexpr std::size_t kFaultFrom = 600;
    constexpr std::size_t kFaultTo = kFaultFrom + 3600; // about three minutes
    constexpr std::size_t kCycles = kFaultTo + 1300;
    OffClock();
    emu::RegSetDword(kKey, "PopUps", 0);
    faultworld::ScriptedCard card;
    std::vector<CycleEnd> ends;
    faultworld::RunCycles(kCycles, [&](const CycleEnd& end) {
        ends.push_back(end);
        if (end.Cycle == kFaultFrom) {
            CardBehaviour silent;
            silent.ReadCode = 1;
            card.Set(silent);
        } else if (end.Cycle == kFaultTo) {
            card.Normal();
        }
    });
    ASSERT_EQ(ends.size(), kCycles);
    for (std::size_t i = kFaultFrom; i < kFaultTo; ++i) {
        ASSERT_TRUE(ends[i].ClockWithSystem) << "cycle " << ends[i].Cycle;
    }
    // The mode is set again every 201 cycles, and its check read, answered "no new data",
    // counts as done after its two pauses.
    const Pace fault = PaceOf(ends, kFaultFrom, kFaultTo);
    EXPECT_LE(fault.Longest, 72);
    EXPECT_NEAR(fault.Mean, 51.1, 0.3);
    const std::size_t locked = LockedFrom(ends, kFaultTo, ends.size());
    ASSERT_LT(locked, ends.size());
    EXPECT_LE(SecondsBetween(ends[kFaultTo - 1], ends[locked]), 60.0);
    const auto texts = faultworld::EventTexts();
    EXPECT_EQ(texts, (std::vector<std::string>{"START", "LTC source failure", "STOP"}));
}

// Records with one field beyond its range, for 300 cycles each. A record the read refuses
// leaves no trace at all; any other is measured like a good one, so it is either out of
// limits (no correction) or consistent, and never moves the clock beyond the slew bounds or
// sets the time. The clock locks again once the records are sound.
TEST_F(CardFaults, RecordsWithFieldsOutOfRangeNeverThrowTheClockOff) {
    struct Case {
        Field What;
        std::uint16_t Value;
        std::uint8_t DateFormat;
        std::uint8_t SelectTimezone;
        bool Refused; // the read refuses it
    };
    std::vector<Case> cases = {
        {Field::LtcMilliseconds, 1000, 0, 1, true},
        {Field::LtcMilliseconds, 65535, 0, 1, true},
        {Field::LtcMilliseconds, 4999, 2, 0, true},
        {Field::LtcMonth, 0, 2, 2, false},
        {Field::LtcMonth, 13, 2, 2, false},
        {Field::LtcMonth, 65535, 2, 1, false},
        {Field::LtcDay, 0, 2, 2, false},
        {Field::LtcDay, 32, 2, 2, false},
        {Field::LtcDay, 65535, 2, 1, false},
        {Field::LtcYear, 0, 2, 2, false},
        {Field::LtcYear, 65535, 2, 1, false},
        {Field::LtcSecond, 60, 0, 1, false},
        {Field::LtcMinute, 65535, 0, 1, false},
    };
    for (std::uint32_t hour : {24u, 25u, 99u, 1000u, 65535u}) {
        cases.push_back({Field::LtcHour, static_cast<std::uint16_t>(hour), 0, 1, false});
        cases.push_back({Field::LtcHour, static_cast<std::uint16_t>(hour), 2, 2, false});
    }
    for (std::uint32_t zone = 0; zone <= 65535; zone += 4369) { // 0, 4369, ... 65535
        cases.push_back({Field::LtcZone, static_cast<std::uint16_t>(zone), 0, 0, false});
    }
    for (std::uint32_t zone : {3u, 12u, 13u, 23u, 24u, 48u, 255u, 32768u}) {
        cases.push_back({Field::LtcZone, static_cast<std::uint16_t>(zone), 2, 0, false});
    }

    constexpr std::size_t kFaultFrom = 600;
    constexpr std::size_t kFaultTo = 900;
    constexpr std::size_t kCycles = 2100;
    constexpr std::int32_t kSlewBound = 2000; // SyncM and SyncP at their defaults
    for (const Case& c : cases) {
        SCOPED_TRACE("field " + std::to_string(static_cast<int>(c.What)) + " = " +
                     std::to_string(c.Value) + ", DateFormat " + std::to_string(c.DateFormat) +
                     ", SelectTimezone " + std::to_string(c.SelectTimezone));
        faultworld::FreshProcess();
        OffClock();
        emu::RegSetDword(kKey, "PopUps", 0);
        emu::RegSetDword(kKey, "DateFormat", c.DateFormat);
        emu::RegSetDword(kKey, "SelectTimezone", c.SelectTimezone);
        // The card's timecode in the zone the service is told to expect.
        emu::RegSetDword(faultworld::kSimKey, "TimecodeZone", c.SelectTimezone == 0 ? 0 : 2);
        emu::RegSetDword(faultworld::kSimKey, "LtcZone", 0);
        faultworld::ScriptedCard card;
        std::vector<CycleEnd> ends;
        std::vector<emu::ClockState> clocks;
        faultworld::RunCycles(kCycles, [&](const CycleEnd& end) {
            ends.push_back(end);
            clocks.push_back(emu::Clock());
            if (end.Cycle == kFaultFrom) {
                CardBehaviour bad;
                bad.Overwrite = c.What;
                bad.Value = c.Value;
                card.Set(bad);
            } else if (end.Cycle == kFaultTo) {
                card.Normal();
            }
        });
        ASSERT_EQ(ends.size(), kCycles);
        ASSERT_LT(LockedFrom(ends, 0, kFaultFrom), kFaultFrom);

        for (std::size_t i = kFaultFrom; i < kFaultTo; ++i) {
            const emu::ClockState& clock = clocks[i];
            if (!clock.RegulationDisabled) {
                const std::int64_t u = std::int64_t{clock.Adjustment} - clock.Increment;
                EXPECT_LE(std::abs(u), kSlewBound) << "cycle " << ends[i].Cycle;
            }
            EXPECT_EQ(ends[i].SetTimeCalls, 0u);
            if (c.Refused) {
                // No correction from a refused record: the rate changes only back to the
                // system (the reload's check read takes the frame, and the cycle's own read
                // then finds no new data).
                EXPECT_TRUE(ends[i].AdjustmentCalls == ends[i - 1].AdjustmentCalls ||
                            ends[i].ClockWithSystem)
                    << "cycle " << ends[i].Cycle;
            }
        }
        const Pace fault = PaceOf(ends, kFaultFrom, kFaultTo);
        EXPECT_LE(fault.Longest, 72);

        const std::size_t locked = LockedFrom(ends, kFaultTo, ends.size());
        ASSERT_LT(locked, ends.size());
        EXPECT_LE(SecondsBetween(ends[kFaultTo - 1], ends[locked]), 60.0);
        const auto texts = faultworld::EventTexts();
        EXPECT_EQ(Count(texts, "LTC source failure"), 0);
        EXPECT_EQ(Count(texts, "System time is hard set"), 0);
        EXPECT_TRUE(faultworld::ClockWithSystem());
        if (HasFailure()) {
            return;
        }
    }
}

} // namespace
