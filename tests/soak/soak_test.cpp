// Seven days of the service in virtual time, with card and registry faults, clock jumps and
// setting changes injected at random. Throughout: no growth of memory or of open handles,
// each hold-off notifying once per episode, every requested hard set made once, and the clock
// locked again within a minute after every disturbance ends.
#include "CardScript.h"

#include "platform/emu/World.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

using servicetest::CardBehaviour;
using servicetest::kKey;
using servicetest::kSimKey;

constexpr std::int64_t kUnitsPerSecond = 10000000;
constexpr double kLockedMs = 5.0;

enum class Kind : std::uint8_t {
    CardGone,
    NoData,
    BadRecords,
    DateLost,
    StatusWritesFail,
    SettingUnreadable,
    SettingWrongType,
    ClockJump,
    SettingChange,
    SyncRequest,
};
constexpr int kKinds = 10;

struct Episode {
    Kind What = Kind::CardGone;
    std::int64_t Start = 0; // seconds of virtual time from the loop's start
    std::int64_t End = 0;
    int Value = 0;
};

const char* const kSettings[] = {"SyncM", "SyncP", "DifErr", "DifSys", "PopUps", "SyncLTC"};

std::vector<Episode> Schedule(std::mt19937& random, std::int64_t days) {
    std::vector<Episode> plan;
    std::int64_t t = 120; // locked before the first
    const std::int64_t end = days * 86400 - 600;
    while (t < end) {
        Episode e;
        e.What = static_cast<Kind>(random() % kKinds);
        e.Start = t;
        switch (e.What) {
        case Kind::CardGone: // briefer than 51 cycles or well beyond
            e.End = t + (random() % 2 == 0 ? 1 : 5 + static_cast<std::int64_t>(random() % 600));
            e.Value = -1 - static_cast<int>(random() % 16);
            break;
        case Kind::NoData:
            e.End = t + 5 + static_cast<std::int64_t>(random() % 300);
            break;
        case Kind::BadRecords:
            e.End = t + 1 + static_cast<std::int64_t>(random() % 120);
            e.Value = static_cast<int>(random() % 6);
            break;
        case Kind::DateLost: // beyond 600 cycles
            e.End = t + 40 + static_cast<std::int64_t>(random() % 120);
            break;
        case Kind::StatusWritesFail:
        case Kind::SettingUnreadable:
        case Kind::SettingWrongType:
            e.End = t + 5 + static_cast<std::int64_t>(random() % 600);
            e.Value = static_cast<int>(random() % std::size(kSettings));
            break;
        case Kind::ClockJump:
            e.End = t;
            e.Value = static_cast<int>(random() % 101) - 50;
            break;
        case Kind::SettingChange:
            e.End = t;
            e.Value = static_cast<int>(random());
            break;
        case Kind::SyncRequest:
            e.End = t;
            break;
        }
        plan.push_back(e);
        // The next one after the clock has had a minute to lock again.
        t = e.End + 90 + static_cast<std::int64_t>(random() % 1800);
    }
    return plan;
}

void Begin(const Episode& e, servicetest::ScriptedCard& card, std::mt19937& random) {
    CardBehaviour b;
    switch (e.What) {
    case Kind::CardGone:
        b.ReadCode = e.Value;
        b.SetModeFails = true;
        card.Set(b);
        break;
    case Kind::NoData:
        b.ReadCode = 1;
        card.Set(b);
        break;
    case Kind::BadRecords: {
        std::uint16_t TimecodeRecord::*const fields[] = {
            &TimecodeRecord::LtcHour, &TimecodeRecord::LtcMonth,
            &TimecodeRecord::LtcDay,  &TimecodeRecord::LtcMilliseconds,
            &TimecodeRecord::LtcZone, &TimecodeRecord::LtcMinute};
        const std::uint16_t values[] = {24, 13, 32, 1000, 65535, 60};
        b.Overwrite = fields[e.Value];
        b.Value = values[e.Value];
        card.Set(b);
        break;
    }
    case Kind::DateLost:
        emu::RegSetDword(kSimKey, "DateValid", 0);
        break;
    case Kind::StatusWritesFail:
        emu::InjectRegFailure(emu::RegOp::Set, 5);
        break;
    case Kind::SettingUnreadable:
        emu::InjectRegFailure(emu::RegOp::Query, 5, -1, kSettings[e.Value]);
        break;
    case Kind::SettingWrongType:
        emu::RegSetString(kKey, kSettings[e.Value], "not a number");
        break;
    case Kind::ClockJump:
        emu::SetClockOffsetMs(emu::ClockErrorMs() + e.Value);
        break;
    case Kind::SettingChange:
        emu::RegSetDword(kKey, "SyncM", static_cast<std::uint32_t>(1500 + random() % 3500));
        emu::RegSetDword(kKey, "SyncP", static_cast<std::uint32_t>(1500 + random() % 3500));
        // Limits at or below the hard-set limit, so that every hard set is one requested: a
        // record with a date and the hour 24 is no error of the read, and with the hard-set
        // limit inside the out-of-limits one it would be set (and refused) cycle after cycle.
        emu::RegSetDword(kKey, "DifErr", random() % 2 == 0 ? 300000 : 200000);
        emu::RegSetDword(kKey, "PopUps", static_cast<std::uint32_t>(random() % 2));
        break;
    case Kind::SyncRequest:
        emu::RegSetString(kKey, "Sync", "soak");
        break;
    }
}

void Finish(const Episode& e, servicetest::ScriptedCard& card) {
    switch (e.What) {
    case Kind::CardGone:
    case Kind::NoData:
    case Kind::BadRecords:
        card.Normal();
        break;
    case Kind::DateLost:
        emu::RegSetDword(kSimKey, "DateValid", 1);
        break;
    case Kind::StatusWritesFail:
    case Kind::SettingUnreadable:
        emu::ClearRegFailures();
        break;
    case Kind::SettingWrongType:
        emu::RegDeleteValue(kKey, kSettings[e.Value]);
        break;
    case Kind::ClockJump:
    case Kind::SettingChange:
    case Kind::SyncRequest:
        break;
    }
}

std::int64_t Days() {
    const char* text = std::getenv("CHRONEL_SOAK_DAYS");
    return text != nullptr ? std::atoll(text) : 7;
}

TEST(Soak, SevenDaysOfFaultsLeaveNoTraceAndTheClockLocked) {
    servicetest::FreshProcess();
    emu::SetDriftPpm(30);
    emu::RegSetDword(kKey, "DateFormat", 2);
    emu::RegSetDword(kKey, "PopUps", 0);
    std::mt19937 random(7);
    const std::int64_t days = Days();
    const std::vector<Episode> plan = Schedule(random, days);
    servicetest::ScriptedCard card;

    struct Tally {
        int SourceFailures = 0;
        int FormatErrors = 0;
        int HardSets = 0;
    };
    Tally seen;
    Tally expected;
    std::int64_t start = -1;
    std::size_t next = 0;
    bool active = false;
    std::int64_t settleFrom = -1; // since when the clock should be locking again
    servicetest::Handles baseline;
    std::size_t heapAtDayOne = 0;
    std::size_t heapAtEnd = 0;
    std::uint64_t cycles = 0;
    int handleDrift = 0;

    const auto drainLog = [&] {
        for (const std::string& text : servicetest::EventTexts()) {
            if (text == "LTC source failure") {
                ++seen.SourceFailures;
            } else if (text == "LTC user format error") {
                ++seen.FormatErrors;
            } else if (text.rfind("System time is hard set.", 0) == 0) {
                ++seen.HardSets;
            } else if (text.rfind("LTC source restored after ", 0) == 0 ||
                       text.rfind("LTC user format correct again after ", 0) == 0 ||
                       text.rfind("LTC back within limits after ", 0) == 0) {
                // the end of trouble reported above
            } else if (text != "START" && text != "STOP" &&
                       text.rfind("tecSetRealtimeMode failed: ", 0) != 0 &&
                       text.rfind("Registry value \"", 0) != 0 && text != "LTC is out of limits") {
                ADD_FAILURE() << "unexpected entry: " << text;
            }
        }
        emu::ClearEventLog();
        emu::ClearPopups();
    };

    servicetest::RunCycles(
        static_cast<std::size_t>(days * 86400 * 1000 / 51), [&](const auto& end) {
            ++cycles;
            if (start < 0) {
                start = end.At100ns;
                baseline = servicetest::OpenHandles();
            }
            const std::int64_t now = (end.At100ns - start) / kUnitsPerSecond;
            if (settleFrom >= 0) {
                if (std::fabs(end.ClockErrorMs) < kLockedMs) {
                    settleFrom = -1;
                } else if (now - settleFrom > 60) {
                    ADD_FAILURE() << "not locked a minute after a disturbance ended at "
                                  << settleFrom << " s: " << end.ClockErrorMs << " ms";
                    settleFrom = -1;
                }
            }
            if (next < plan.size()) {
                const Episode& e = plan[next];
                if (!active && now >= e.Start) {
                    if (servicetest::OpenHandles() != baseline) {
                        ++handleDrift;
                    }
                    Begin(e, card, random);
                    active = true;
                    if (e.What == Kind::CardGone || e.What == Kind::NoData) {
                        expected.SourceFailures += e.End - e.Start >= 5 ? 1 : 0;
                    } else if (e.What == Kind::DateLost) {
                        ++expected.FormatErrors;
                    } else if (e.What == Kind::SyncRequest) {
                        ++expected.HardSets;
                    }
                }
                if (active && now >= e.End) {
                    Finish(e, card);
                    active = false;
                    ++next;
                    settleFrom = now;
                }
            }
            if (cycles % 20000 == 0) {
                // The heap is measured with the emulated world's own records just drained.
                drainLog();
                const std::size_t heap = mallinfo2().uordblks;
                if (heapAtDayOne == 0 && now >= 86400) {
                    heapAtDayOne = heap;
                }
                heapAtEnd = heap;
            }
        });
    drainLog();

    EXPECT_EQ(next, plan.size());
    EXPECT_EQ(handleDrift, 0);
    EXPECT_EQ(seen.SourceFailures, expected.SourceFailures);
    EXPECT_EQ(seen.FormatErrors, expected.FormatErrors);
    EXPECT_EQ(seen.HardSets, expected.HardSets);
    // The heap of the service (the emulated world's own records are drained above).
    EXPECT_LT(heapAtEnd, heapAtDayOne + 64 * 1024);
    EXPECT_TRUE(servicetest::ClockWithSystem());
    EXPECT_EQ(servicetest::OpenHandles(), servicetest::Handles{});
    std::cout << "[ soak     ] " << days << " days, " << cycles << " cycles, " << plan.size()
              << " episodes, heap " << heapAtDayOne << " -> " << heapAtEnd << " bytes\n";
}

} // namespace
