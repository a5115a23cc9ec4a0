// The synchronisation loop against a scripted card in virtual time: each test lays out what
// the card delivers cycle by cycle and stops the loop at the end of a chosen cycle.
#include "TimeFunc/ClockControl.h"
#include "TimeFunc/TimecodeRecord.h"
#include "card/CardLink.h"
#include "engine/ClockWatch.h"
#include "engine/EventLog.h"
#include "engine/Metrics.h"
#include "engine/Settings.h"
#include "engine/SyncLoop.h"
#include "platform/emu/World.h"
#include "service/ModuleState.h"
#include "service/ServiceLifecycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kKey = "SOFTWARE\\Tecora";

// What the card delivers in one cycle.
//   G  a good record, the system clock D ms ahead of the timecode
//   F  "no new data" (the buffer is left alone)
//   E  a library error (-7)
//   U  a record in the wrong user format: no date although one is expected (DateFormat 2)
//   I  an impossible record (milliseconds 1000)
struct Cycle {
    char Kind = 'G';
    std::int32_t D = 0;
    bool Sync = false;
};

struct Run {
    char Kind;
    int Count;
    std::int32_t D = 0;
    bool Sync = false;
};

std::vector<Cycle> Script(std::initializer_list<Run> runs) {
    std::vector<Cycle> cycles;
    for (const Run& r : runs) {
        cycles.insert(cycles.end(), static_cast<std::size_t>(r.Count), Cycle{r.Kind, r.D, r.Sync});
    }
    return cycles;
}

void SetFields(std::int64_t msOfDay, std::uint16_t& ms, std::uint16_t& s, std::uint16_t& m,
               std::uint16_t& h) {
    ms = static_cast<std::uint16_t>(msOfDay % 1000);
    s = static_cast<std::uint16_t>(msOfDay / 1000 % 60);
    m = static_cast<std::uint16_t>(msOfDay / 60000 % 60);
    h = static_cast<std::uint16_t>(msOfDay / 3600000 % 24);
}

// Cycle n's record: the PC stamp runs on from 10:00:00.000 on 6 Dec 2026 in steps of 50 ms,
// so its second changes every 20 cycles; the timecode is d ms behind it.
TimecodeRecord MakeRecord(int n, std::int32_t d, bool sync, bool dateValid) {
    TimecodeRecord r;
    const std::int64_t system = 10LL * 3600000 + std::int64_t{n} * 50;
    SetFields(system, r.SystemMilliseconds, r.SystemSecond, r.SystemMinute, r.SystemHour);
    SetFields(system - d, r.LtcMilliseconds, r.LtcSecond, r.LtcMinute, r.LtcHour);
    r.SystemDay = r.LtcDay = 6;
    r.SystemMonth = r.LtcMonth = 12;
    r.SystemYear = r.LtcYear = 2026;
    r.LtcZone = LtcZoneNone;
    r.Flags = (sync ? FlagLtcSync : 0U) | (dateValid ? FlagDateValid : 0U);
    return r;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Test names from the cases' own names.
struct {
    template <class Case> std::string operator()(const ::testing::TestParamInfo<Case>& p) const {
        return p.param.Name;
    }
} const NameOf;

struct Snapshot {
    std::uint64_t AdjustmentCalls = 0;
    std::uint32_t Adjustment = 0;
    bool SystemRegulates = true;
    std::uint64_t SetTimeCalls = 0;
    std::int64_t AtMs = 0; // virtual time
};

class SyncLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        emu::ResetWorld();
        ResetModuleState();
        StopEvent = plat::CreateEvent(true, false);
        SettingsRegistry = std::make_unique<TRegistryDefault>();
        SettingsRegistry->SetRootKeyLocalMachine();
        SettingsRegistry->OpenKey(kSettingsKeyPath, true);
        emu::RegSetDword(kKey, "PopUps", 0);
        (void)SetClockRate(DefaultTimeIncrement() - 777); // what an earlier run left behind
        CardLink.Handle = 1;
        CardLink.IsOpen = true;

        emu::SetTecGetVersion(
            [this](std::int32_t, std::uint32_t* state, std::uint32_t* fw, std::uint32_t* lib) {
                if (identificationFails_) {
                    return -4;
                }
                *state = 1;
                *fw = 9;
                *lib = 0x205;
                return 0;
            });
        emu::SetTecGetCardInfo(
            [this](std::int32_t, std::uint32_t* units, std::uint32_t* tens, std::uint32_t* letter) {
                *units = '7';
                *tens = '1';
                *letter = 't';
                checkReadNext_ = true;
                return 0;
            });
        emu::SetTecSetRealtimeMode([this](std::int32_t, std::uint32_t mode) {
            modes_.push_back(mode);
            inCycles_ = true;
            checkReadNext_ = modeResult_ >= 0; // a refused mode is not checked
            return modeResult_;
        });
        emu::SetTecReadTime([this](std::int32_t, void* buffer) { return Read(buffer); });
        emu::SetCallHook([this](const char* call) { Hook(call); });
    }

    void TearDown() override {
        emu::SetCallHook({});
        emu::UseSimulatedCard();
        SettingsRegistry.reset();
        StopEvent.reset();
        CardLink.IsOpen = false;
        CardLink.Handle = 0;
    }

    // Runs the loop over the script and stops it at the end of its last cycle.
    void RunLoop(std::vector<Cycle> script) {
        script_ = std::move(script);
        ASSERT_FALSE(script_.empty());
        snapshots_.reserve(script_.size() + 1);
        SyncLoop();
        EXPECT_EQ(ended_, static_cast<int>(script_.size()));
    }

    std::int32_t Read(void* buffer) {
        if (checkReadNext_ || !inCycles_) {
            // Identification, mode checks and start-up reads: a plain good record.
            if (!checkReadNext_ && startUpFails_) {
                ++startUpReads_;
                return 1;
            }
            checkReadNext_ = false;
            const TimecodeRecord r = MakeRecord(0, 0, false, true);
            std::memcpy(buffer, &r, sizeof r);
            return 0;
        }
        const int n = std::min(ended_ + 1, static_cast<int>(script_.size()));
        const Cycle& c = script_[static_cast<std::size_t>(n - 1)];
        switch (c.Kind) {
        case 'F':
            return 1;
        case 'E':
            return -7;
        default:
            break;
        }
        TimecodeRecord r = MakeRecord(n, c.D, c.Sync, c.Kind != 'U');
        if (c.Kind == 'I') {
            r.LtcMilliseconds = 1000;
        }
        if (shapeRecord_) {
            shapeRecord_(r);
        }
        std::memcpy(buffer, &r, sizeof r);
        return 0;
    }

    void Hook(const char* call) {
        // Only the loop's own calls count: a popup's thread makes calls of its own.
        if (std::this_thread::get_id() != loopThread_ || inHook_) {
            return;
        }
        inHook_ = true;
        if (std::strcmp(call, "ReportEvent") == 0) {
            regulationAtEntry_.push_back(emu::Clock().SystemRegulates);
        }
        if (std::strcmp(call, "SetSystemTime") == 0) {
            setTimeAttempts_.push_back(ended_ + 1);
        }
        if (onCall_) {
            onCall_(call);
        }
        // The loop waits once per cycle, at its end, and nowhere else.
        if (std::strcmp(call, "WaitForSingleObject") == 0) {
            ++ended_;
            const emu::ClockState c = emu::Clock();
            snapshots_.push_back({c.AdjustmentCalls, c.Adjustment, c.SystemRegulates,
                                  c.SetTimeCalls, emu::TrueTime100ns() / 10000});
            if (onCycleEnd_) {
                onCycleEnd_(ended_);
            }
            if (ended_ >= static_cast<int>(script_.size())) {
                plat::SetEvent(StopEvent.get());
            }
        }
        inHook_ = false;
    }

    // Entries of this text (the log stores it after a line break).
    static int CountOf(const std::string& text) {
        const auto texts = emu::EventLogTexts();
        return static_cast<int>(std::count(texts.begin(), texts.end(), "\r\n" + text));
    }
    static std::string Status(const char* name) {
        return emu::RegGetString(kKey, name).value_or("<absent>");
    }
    static std::int64_t Delta(const Snapshot& s) {
        return static_cast<std::int64_t>(s.Adjustment) - DefaultTimeIncrement();
    }

    std::vector<Cycle> script_;
    int ended_ = 0;
    bool inCycles_ = false;
    bool checkReadNext_ = false;
    bool inHook_ = false;
    std::thread::id loopThread_ = std::this_thread::get_id();
    bool identificationFails_ = false;
    bool startUpFails_ = false;
    int startUpReads_ = 0;
    std::vector<bool> regulationAtEntry_; // whether the system regulated, at each log entry
    std::int32_t modeResult_ = 0;
    std::vector<std::uint32_t> modes_;
    std::vector<int> setTimeAttempts_; // the cycle of each attempt, refused or not
    std::vector<Snapshot> snapshots_;
    std::function<void(int)> onCycleEnd_;
    std::function<void(const char*)> onCall_; // at every platform call of the loop's thread
    std::function<void(TimecodeRecord&)> shapeRecord_; // of each scripted record
};

// --- notification hold-offs ----------------------------------------------------------------

// "LTC source failure" on the 51st failure in a run, "LTC user format error" on the 600th
// format error since the last good record, "LTC is out of limits" at once and then every 5000
// good cycles (DateFormat 2, DifErr 100).
struct NoticeCase {
    const char* Name;
    std::vector<Cycle> Cycles;
    int Failures, FormatErrors, OutOfLimits; // notices expected
};

class Notice : public SyncLoopTest, public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(Notice, FollowsItsHoldOff) {
    emu::RegSetDword(kKey, "DateFormat", 2);
    emu::RegSetDword(kKey, "DifErr", 100);
    RunLoop(GetParam().Cycles);
    EXPECT_EQ(CountOf("LTC source failure"), GetParam().Failures);
    EXPECT_EQ(CountOf("LTC user format error"), GetParam().FormatErrors);
    EXPECT_EQ(CountOf("LTC is out of limits"), GetParam().OutOfLimits);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Notice,
    ::testing::Values(
        NoticeCase{"FailureFifty", Script({{'F', 50}}), 0, 0, 0},
        NoticeCase{"FailureFiftyOne", Script({{'F', 51}}), 1, 0, 0},
        NoticeCase{"FailureMany", Script({{'F', 300}}), 1, 0, 0},
        NoticeCase{"FailureLibraryErrorsCountToo", Script({{'E', 25}, {'F', 26}}), 1, 0, 0},
        NoticeCase{"FailureGoodRecordRearms", Script({{'F', 51}, {'G', 1}, {'F', 51}}), 2, 0, 0},
        NoticeCase{"FailureGoodRecordResets", Script({{'F', 50}, {'G', 1}, {'F', 50}}), 0, 0, 0},
        NoticeCase{"FailureFormatErrorNeitherCountsNorResets",
                   Script({{'F', 30}, {'U', 5}, {'F', 21}}), 1, 0, 0},
        NoticeCase{"FailureFormatErrorDoesNotRearm", Script({{'F', 51}, {'U', 1}, {'F', 60}}), 1, 0,
                   0},
        NoticeCase{"FailureInvalidRecordLeavesNoTrace", Script({{'F', 50}, {'I', 10}, {'F', 1}}), 1,
                   0, 0},
        NoticeCase{"FormatFiveHundredNinetyNine", Script({{'U', 599}}), 0, 0, 0},
        NoticeCase{"FormatSixHundred", Script({{'U', 600}}), 0, 1, 0},
        NoticeCase{"FormatSilentAfterwards", Script({{'U', 1300}}), 0, 1, 0},
        NoticeCase{"FormatGoodRecordRearms", Script({{'U', 600}, {'G', 1}, {'U', 600}}), 0, 2, 0},
        NoticeCase{"FormatGoodRecordRestartsCount", Script({{'U', 300}, {'G', 1}, {'U', 300}}), 0,
                   0, 0},
        NoticeCase{"FormatFailuresDoNotReset", Script({{'U', 300}, {'F', 60}, {'U', 300}}), 1, 1,
                   0},
        NoticeCase{"FormatInvalidRecordsDoNotCount", Script({{'U', 599}, {'I', 5}, {'U', 1}}), 0, 1,
                   0},
        NoticeCase{"LimitsAtOnce", Script({{'G', 1, 500}}), 0, 0, 1},
        NoticeCase{"LimitsNotAgainWithinFiveThousand", Script({{'G', 5000, 500}}), 0, 0, 1},
        NoticeCase{"LimitsAgainAfterFiveThousand", Script({{'G', 5001, 500}}), 0, 0, 2},
        NoticeCase{"LimitsExactlyTheLimitIsWithin", Script({{'G', 3, 100}, {'G', 3, -100}}), 0, 0,
                   0},
        NoticeCase{"LimitsWithinLimitsRearms", Script({{'G', 1, 500}, {'G', 1, 5}, {'G', 1, -500}}),
                   0, 0, 2},
        NoticeCase{"LimitsFailuresDoNotRearm", Script({{'G', 1, 500}, {'F', 10}, {'G', 1, 500}}), 0,
                   0, 1},
        NoticeCase{"LimitsOnlyGoodCyclesCount",
                   Script({{'G', 4990, 500}, {'F', 100}, {'G', 10, 500}}), 1, 0, 1}),
    NameOf);

TEST_F(SyncLoopTest, OutOfLimitsNoticeIsEventTypeThreeAndResetsTheRate) {
    emu::RegSetDword(kKey, "DifErr", 100);
    RunLoop(Script({{'G', 3, 50}, {'G', 3, 500}}));
    const auto entries = emu::EventLogEntries();
    const auto it = std::find_if(entries.begin(), entries.end(), [](const auto& e) {
        return e.Text == "\r\nLTC is out of limits";
    });
    ASSERT_NE(it, entries.end());
    EXPECT_EQ(it->Type, 3);
    // Slewing at 50 ms, then the notice hands the clock back; the next two out-of-limits
    // cycles leave it there.
    EXPECT_EQ(Delta(snapshots_[2]), -1000);
    EXPECT_TRUE(snapshots_[3].SystemRegulates);
    EXPECT_EQ(snapshots_[5].AdjustmentCalls, snapshots_[3].AdjustmentCalls);
}

// The log said "back within limits" when the limits were switched off; switched on again, the
// difference is out of limits once more and the log must say so at once.
TEST_F(SyncLoopTest, LimitsSwitchedOffAndOnAgainNotifyAgainAtOnce) {
    emu::RegSetDword(kKey, "DifErr", 100);
    onCycleEnd_ = [](int n) {
        if (n == 150 || n == 350) { // read by the reloads of cycles 202 and 403
            emu::RegSetDword(kKey, "DifErr", n == 150 ? 0 : 100);
        }
    };
    RunLoop(Script({{'G', 420, 500}}));
    EXPECT_EQ(CountOf("LTC is out of limits"), 2);
    EXPECT_EQ(CountOf("LTC back within limits after 10 s"), 1);
}

TEST_F(SyncLoopTest, DifErrZeroNeverNotifiesAndKeepsCorrecting) {
    emu::RegSetDword(kKey, "DifErr", 0);
    emu::RegSetDword(kKey, "DifSys", 0); // else the default would hard-set at this distance
    RunLoop(Script({{'G', 30, 400000}}));
    EXPECT_EQ(CountOf("LTC is out of limits"), 0);
    EXPECT_EQ(Delta(snapshots_.back()), -2000);
    EXPECT_EQ(Status("MonitorSystem").substr(Status("MonitorSystem").find("Diff:")),
              "Diff: 400,000 ms");
}

// --- the invalid record ----------------------------------------------------------------------

TEST_F(SyncLoopTest, InvalidRecordLeavesTextsCountersAndRateAlone) {
    RunLoop(Script({{'G', 25, 7}, {'I', 60}}));
    // The record's stamp moved on, so the texts were published again, unchanged.
    EXPECT_GE(emu::RegWriteCount(kKey, "MonitorSystem"), 3U);
    EXPECT_NE(Status("MonitorSystem").find("Diff: 7 ms"), std::string::npos);
    EXPECT_EQ(snapshots_.back().AdjustmentCalls, snapshots_[24].AdjustmentCalls);
    EXPECT_EQ(Delta(snapshots_.back()), -140);
}

// --- the rate and the LastSync cadence -------------------------------------------------------

TEST_F(SyncLoopTest, SteadyDifferenceSetsTheRateOnceThenAtEachLastSync) {
    RunLoop(Script({{'G', 402, 10, true}}));
    // ReloadCountdown is 200, 150, 100, 50, 0 in cycles 1, 51, 101, 151, 201 and again after the
    // reload of cycle 202: each of those re-applies the unchanged correction.
    std::vector<int> rateCycles;
    for (std::size_t i = 1; i < snapshots_.size(); ++i) {
        if (snapshots_[i].AdjustmentCalls != snapshots_[i - 1].AdjustmentCalls) {
            rateCycles.push_back(static_cast<int>(i) + 1);
        }
    }
    EXPECT_EQ(rateCycles, (std::vector<int>{51, 101, 151, 201, 202, 252, 302, 352, 402}));
    EXPECT_EQ(Delta(snapshots_.back()), -200);
    EXPECT_FALSE(snapshots_.back().SystemRegulates);
    EXPECT_EQ(emu::RegWriteCount(kKey, "LastSync"), 10U);
    EXPECT_EQ(Status("LastSync"), ""); // a sync bit means nothing in this format: empty
}

TEST_F(SyncLoopTest, ReadFailureResetsTheRateAndForgetsTheCorrection) {
    RunLoop(Script({{'G', 3, 10}, {'F', 3}, {'G', 3, 10}}));
    EXPECT_EQ(Delta(snapshots_[2]), -200);
    EXPECT_TRUE(snapshots_[3].SystemRegulates);
    // Forgotten: the same correction is applied again by the first good cycle.
    EXPECT_EQ(Delta(snapshots_[6]), -200);
    EXPECT_FALSE(snapshots_[6].SystemRegulates);
}

TEST_F(SyncLoopTest, FormatErrorResetsTheRateButKeepsTheCorrection) {
    emu::RegSetDword(kKey, "DateFormat", 2);
    RunLoop(Script({{'G', 3, 10}, {'U', 20}, {'G', 3, 10}}));
    EXPECT_TRUE(snapshots_[5].SystemRegulates);
    // Remembered as applied, so an unchanged correction waits for the next LastSync cycle.
    EXPECT_TRUE(snapshots_[25].SystemRegulates);
    EXPECT_NE(Status("MonitorLtc").find("    LTC user format error"), std::string::npos);
}

// "SyncMode" written in cycle 150 is in force from the reload of cycle 202 on, not before:
// a steady 10 ms gives the proportional law's -200 at every cycle, the servo something else.
TEST_F(SyncLoopTest, ASwitchOfTheLawTakesEffectAtTheNextReload) {
    struct Case {
        std::uint32_t From, To;
    };
    for (const Case& c : {Case{0, 1}, Case{1, 0}}) {
        SCOPED_TRACE(c.From);
        SetUp();
        emu::RegSetDword(kKey, "SyncMode", c.From);
        onCycleEnd_ = [c](int cycle) {
            if (cycle == 150) {
                emu::RegSetDword(kKey, "SyncMode", c.To);
            }
        };
        ended_ = 0;
        inCycles_ = false;
        checkReadNext_ = false;
        snapshots_.clear();
        RunLoop(Script({{'G', 260, 10}}));
        const auto proportional = [this](int from, int to) {
            for (int cycle = from; cycle <= to; ++cycle) {
                if (Delta(snapshots_[static_cast<std::size_t>(cycle - 1)]) != -200) {
                    return false;
                }
            }
            return true;
        };
        const bool before = proportional(2, 201);
        const bool after = proportional(202, 260);
        EXPECT_EQ(before, c.From == 0);
        EXPECT_EQ(after, c.To == 0);
        TearDown();
    }
}

TEST_F(SyncLoopTest, ARecordWithoutAZoneIsAFormatErrorWhenTheZoneIsTakenFromIt) {
    emu::RegSetDword(kKey, "SelectTimezone", 0);
    RunLoop(Script({{'G', 600, 10}}));
    EXPECT_EQ(CountOf("LTC user format error"), 1);
}

// Just after the autumn change the PC is on winter time, the generator still on summer time:
// the timecode is shown as it read, with the offset the conversion took it in.
TEST_F(SyncLoopTest, TimecodeNearADaylightChangeIsShownAsItRead) {
    emu::SetTimeZone(emu::CentralEuropeanZone());
    emu::SetTrueTimeUtc({2026, 10, 0, 25, 1, 0, 0, 0});
    emu::RegSetDword(kKey, "SelectTimezone", 1);
    shapeRecord_ = [](TimecodeRecord& r) {
        r.SystemDay = r.LtcDay = 25;
        r.SystemMonth = r.LtcMonth = 10;
        r.SystemHour = static_cast<std::uint16_t>(r.SystemHour - 9); // 01:00 UTC
        r.LtcHour = static_cast<std::uint16_t>(r.LtcHour - 7);       // 03:00 summer time
    };
    RunLoop(Script({{'G', 30, 30}}));
    EXPECT_EQ(Status("MonitorLtc").substr(0, 19), "03:00:00.970  +2:00");
    EXPECT_NE(Status("MonitorSystem").find("Diff: 30 ms"), std::string::npos);
}

// --- hard sets ---------------------------------------------------------------------------

TEST_F(SyncLoopTest, SyncRequestWaitsForAGoodRecord) {
    onCycleEnd_ = [](int n) {
        if (n == 150) {
            emu::RegSetString(kKey, "Sync", "1");
        }
    };
    // The request is read in the reload of cycle 202, whose read fails; so do the reads up to
    // cycle 206, 207 is in the wrong format and 208 impossible: none of these records may set
    // the clock. The first good record (cycle 209) does.
    emu::RegSetDword(kKey, "DateFormat", 2);
    emu::SetPreciseTimeAvailable(false); // the set's wait is then the interrupt's, counted below
    RunLoop(Script({{'G', 100, 7}, {'F', 105}, {'E', 1}, {'U', 1}, {'I', 1}, {'G', 3, -1234}}));
    EXPECT_EQ(Status("Sync"), "");
    EXPECT_EQ(snapshots_[207].SetTimeCalls, snapshots_[0].SetTimeCalls);
    EXPECT_EQ(snapshots_[208].SetTimeCalls, snapshots_[0].SetTimeCalls + 1);
    // The set waits for the clock's interrupt (8 ms here) and settles 540 ms.
    EXPECT_EQ(snapshots_[208].AtMs - snapshots_[207].AtMs, 599);
    EXPECT_EQ(emu::Clock().SetTimeCalls, snapshots_[0].SetTimeCalls + 1); // once only
    EXPECT_EQ(CountOf("System time is hard set.  Diff: -1,234 ms"), 1);
    EXPECT_TRUE(EndsWith(Status("LastSet"), "    Diff: -1,234 ms")) << Status("LastSet");
    EXPECT_FALSE(SyncRequested);
}

TEST_F(SyncLoopTest, SyncRequestNotHonouredBeforeTheStopIsHandedBack) {
    emu::RegSetString(kKey, "Sync", "0"); // any text is a request
    emu::RegSetDword(kKey, "DateFormat", 2);
    onCycleEnd_ = [](int n) {
        if (n == 1) {
            EXPECT_EQ(Status("Sync"), ""); // consumed by the first reload
        }
    };
    RunLoop(Script({{'F', 2}, {'U', 2}, {'I', 2}}));
    EXPECT_EQ(emu::Clock().SetTimeCalls, 0U);
    EXPECT_EQ(emu::RegWriteCount(kKey, "LastSet"), 0U);
    EXPECT_EQ(Status("Sync"), "0"); // for the next start
}

TEST_F(SyncLoopTest, SyncRequestOutlivesReloadsUntilAGoodRecord) {
    emu::RegSetString(kKey, "Sync", "1");
    // Reloads in cycles 1, 202 and 403 see no request; the one of cycle 1 stands.
    RunLoop(Script({{'F', 450}, {'G', 3, 20}}));
    EXPECT_EQ(emu::Clock().SetTimeCalls, 1U);
    EXPECT_EQ(snapshots_[450].SetTimeCalls, 1U);
    EXPECT_EQ(Status("Sync"), "");
}

// A refused set is no set: no report of one, one entry per reason, and the request stands.
// It is tried again once a minute, and meanwhile the clock is slewed as if none were pending.
TEST_F(SyncLoopTest, RefusedHardSetIsRetriedOnceAMinuteWhileTheClockSlews) {
    emu::RegSetDword(kKey, "PopUps", 1);
    emu::RegSetString(kKey, "Sync", "now");
    emu::InjectFailure(emu::Fail::SetSystemTime, 5);
    onCycleEnd_ = [](int n) {
        if (n == 20) {
            emu::ClearFailures();
            emu::InjectFailure(emu::Fail::SetSystemTime, 1314);
        }
    };
    RunLoop(Script({{'G', 1300, 37}}));
    EXPECT_EQ(emu::Clock().SetTimeCalls, 0U);
    ASSERT_EQ(setTimeAttempts_.size(), 2U);
    EXPECT_EQ(setTimeAttempts_[0], 1);
    const std::int64_t apart = snapshots_[static_cast<std::size_t>(setTimeAttempts_[1] - 1)].AtMs -
                               snapshots_[static_cast<std::size_t>(setTimeAttempts_[0] - 1)].AtMs;
    EXPECT_GE(apart, 60000);
    EXPECT_LT(apart, 60200);
    // Between the attempts the correction for 37 ms is in force at every cycle end.
    int slewed = 0;
    for (int n = 2; n < setTimeAttempts_[1]; ++n) {
        const Snapshot& at = snapshots_[static_cast<std::size_t>(n - 1)];
        slewed += !at.SystemRegulates && Delta(at) != 0 ? 1 : 0;
    }
    EXPECT_EQ(slewed, setTimeAttempts_[1] - 2);
    EXPECT_LT(snapshots_[199].AdjustmentCalls - snapshots_[0].AdjustmentCalls, 10U);
    const auto texts = emu::EventLogTexts();
    EXPECT_EQ(
        std::vector<std::string>(texts.begin() + 1, texts.end() - 1),
        (std::vector<std::string>{
            "\r\nSystem time hard set failed: Access is denied.",
            "\r\nSystem time hard set failed: A required privilege is not held by the client."}));
    EXPECT_EQ(emu::RegWriteCount(kKey, "LastSet"), 0U);
    EXPECT_TRUE(emu::Popups().empty());
    EXPECT_EQ(Status("Sync"), "now");
}

TEST_F(SyncLoopTest, ARefusedSetIsAFindingAndCountedUntilASetSucceeds) {
    emu::AddFolder("C:\\metrics");
    emu::RegSetString(kKey, "MetricsFile", "C:\\metrics\\chronel.prom");
    emu::RegSetString(kKey, "Sync", "now");
    emu::InjectFailure(emu::Fail::SetSystemTime, 1314);
    std::string whileRefused;
    onCycleEnd_ = [&whileRefused](int n) {
        if (n == 600) {
            whileRefused = emu::RegGetString(kKey, "MonitorWarnings").value_or("");
            emu::ClearFailures(); // the retry a minute after the first attempt succeeds
        }
    };
    RunLoop(Script({{'G', 1300, 37}}));
    EXPECT_EQ(emu::Clock().SetTimeCalls, 1U);
    EXPECT_EQ(whileRefused,
              std::string(kHardSetRefused) + "A required privilege is not held by the client.");
    EXPECT_EQ(Status("MonitorWarnings"), "");
    const std::string metrics = emu::FileContent("C:\\metrics\\chronel.prom").value_or("");
    EXPECT_NE(metrics.find("\nchronel_hard_set_failures_total 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nchronel_hard_sets_total 1\n"), std::string::npos);
}

// The other thread's card calls store their results in the same shared variable while the
// loop words a refusal; the reason is the clock call's own.
TEST_F(SyncLoopTest, ARefusalQuotesTheClockCallsErrorWhateverTheCardStoresMeanwhile) {
    emu::RegSetString(kKey, "Sync", "now");
    emu::InjectFailure(emu::Fail::SetSystemTime, 1314);
    bool refused = false;
    onCall_ = [&refused](const char* call) {
        if (std::strcmp(call, "SetSystemTime") == 0) {
            refused = true;
        } else if (refused) {
            LastCardResult.store(1); // "No new data" from a read on the other thread
        }
    };
    RunLoop(Script({{'G', 3, 37}}));
    EXPECT_EQ(
        CountOf(std::string(kHardSetRefused) + "A required privilege is not held by the client."),
        1);
}

struct HardSetCase {
    const char* Name;
    std::int32_t DifSys;
    std::int32_t D;
    bool Requested;
    int Expected;
};

class HardSetRule : public SyncLoopTest, public ::testing::WithParamInterface<HardSetCase> {};

TEST_P(HardSetRule, HappensWhenDueOrRequested) {
    const HardSetCase& c = GetParam();
    emu::RegSetDword(kKey, "DifSys", static_cast<std::uint32_t>(c.DifSys));
    if (c.Requested) {
        emu::RegSetString(kKey, "Sync", "yes");
    }
    RunLoop(Script({{'G', 3, c.D}}));
    EXPECT_EQ(emu::Clock().SetTimeCalls, static_cast<std::uint64_t>(c.Expected));
    EXPECT_EQ(static_cast<int>(emu::RegWriteCount(kKey, "LastSet")), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HardSetRule,
    ::testing::Values(HardSetCase{"BeyondDifSys", 500, 600, false, 3},
                      HardSetCase{"AtDifSys", 500, 500, false, 0},
                      HardSetCase{"BehindBeyondDifSys", 500, -501, false, 3},
                      HardSetCase{"DifSysZeroNeverAutomatic", 0, 9000, false, 0},
                      HardSetCase{"DifSysZeroStillHonoursARequest", 0, 10, true, 1}),
    NameOf);

// --- sync gating -----------------------------------------------------------------------------

struct GatingCase {
    const char* Name;
    std::uint32_t DateFormat;
    std::uint32_t SyncLtc;
    std::vector<Cycle> Cycles;
    bool SystemRegulates; // at the end
    std::int64_t Delta;
    const char* LtcSuffix;
};

class SyncGating : public SyncLoopTest, public ::testing::WithParamInterface<GatingCase> {};

TEST_P(SyncGating, DecidesWhetherTheClockIsCorrected) {
    const GatingCase& c = GetParam();
    emu::RegSetDword(kKey, "DateFormat", c.DateFormat);
    emu::RegSetDword(kKey, "SyncLTC", c.SyncLtc);
    RunLoop(c.Cycles);
    EXPECT_EQ(snapshots_.back().SystemRegulates, c.SystemRegulates);
    if (!c.SystemRegulates) {
        EXPECT_EQ(Delta(snapshots_.back()), c.Delta);
    }
    EXPECT_TRUE(EndsWith(Status("MonitorLtc"), c.LtcSuffix)) << Status("MonitorLtc");
    EXPECT_NE(Status("MonitorSystem").find("Diff: "), std::string::npos);
    EXPECT_EQ(modes_.back(), c.DateFormat);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SyncGating,
    ::testing::Values(
        GatingCase{"Mode2StopsWithoutFlagButKeepsRate", 1, 2,
                   Script({{'G', 30, 10, true}, {'G', 30, 20, false}}), false, -200,
                   "    Not sync"},
        GatingCase{"Mode2CorrectsWhileFlagged", 3, 2, Script({{'G', 30, 20, true}}), false, -400,
                   "    Sync"},
        GatingCase{"Mode1WaitsForTheFirstFlag", 1, 1, Script({{'G', 30, 10, false}}), true, 0,
                   "    Not sync"},
        GatingCase{"Mode1NeverStopsOnceSeen", 1, 1,
                   Script({{'G', 5, 10, false}, {'G', 5, 10, true}, {'G', 30, 20, false}}), false,
                   -400, "    Not sync"},
        GatingCase{"Mode3NeverCorrects", 3, 3, Script({{'G', 30, 20, true}}), true, 0, "    Sync"},
        GatingCase{"NoSyncFormatIgnoresMode", 2, 2, Script({{'G', 30, 20, false}}), false, -400,
                   "2026"},
        GatingCase{"NoDateIgnoresMode", 0, 3, Script({{'G', 30, 20, false}}), false, -400, "0:00"}),
    NameOf);

TEST_F(SyncLoopTest, LastSyncCarriesTheTimecodeWhileInSync) {
    emu::RegSetDword(kKey, "DateFormat", 1);
    RunLoop(Script({{'G', 51, 0, true}}));
    EXPECT_EQ(emu::RegWriteCount(kKey, "LastSync"), 2U);
    EXPECT_EQ(Status("LastSync").rfind("10:00:02.550", 0), 0U) << Status("LastSync");
    EXPECT_TRUE(SyncSeen);
}

// --- publishing ------------------------------------------------------------------------------

TEST_F(SyncLoopTest, PublishesOnlyWhenTheStampsSecondChanges) {
    RunLoop(Script({{'G', 100, 3}}));
    // Seconds 0 to 5 of the stamp over cycles 1 to 100: cycles 1 to 19 still show second 0,
    // which start-up remembered; the change to 1 to 5 is published at the start of the next.
    EXPECT_EQ(emu::RegWriteCount(kKey, "MonitorSystem"), 4U);
    EXPECT_EQ(emu::RegWriteCount(kKey, "MonitorLtc"), 4U);
    EXPECT_EQ(Status("MonitorSystem"), "10:00:04.000  +0:00    06.12.2026    Diff: 3 ms");
    EXPECT_EQ(Status("MonitorLtc"), "10:00:03.997  +0:00");
}

// The record is stale while reads fail: the PC clock's own second paces the status then.
TEST_F(SyncLoopTest, WhileReadsFailTheStatusShowsThePcTimeAndTheFailure) {
    std::string ltcAfterTwoSeconds;
    onCycleEnd_ = [&](int n) {
        if (n == 30 + 39) {
            ltcAfterTwoSeconds = Status("MonitorLtc");
        }
    };
    RunLoop(Script({{'G', 30, 7}, {'F', 120}}));
    EXPECT_EQ(ltcAfterTwoSeconds, "LTC source failure");
    const std::string system = Status("MonitorSystem");
    EXPECT_EQ(system.find("Diff"), std::string::npos) << system;
    // The records' stamps run at 10:00; the PC clock reads 12:00 and some seconds.
    EXPECT_EQ(system.rfind("12:00:0", 0), 0U) << system;
    EXPECT_GE(emu::RegWriteCount(kKey, "MonitorSystem"), 7U);
}

// --- trouble that ends ----------------------------------------------------------------------

struct RecoveryCase {
    const char* Name;
    std::vector<Cycle> Cycles;
    const char* Entry; // nullptr: none
};

class RecoveryEntry : public SyncLoopTest, public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(RecoveryEntry, SaysWhatEndedAndHowLongItLasted) {
    emu::RegSetDword(kKey, "DateFormat", 2);
    emu::RegSetDword(kKey, "DifErr", 100);
    RunLoop(GetParam().Cycles);
    std::vector<std::string> found;
    for (const auto& e : emu::EventLogEntries()) {
        if (e.Type == 4) {
            found.push_back(e.Text);
        }
    }
    const std::vector<std::string> want =
        GetParam().Entry == nullptr
            ? std::vector<std::string>{}
            : std::vector<std::string>{std::string("\r\n") + GetParam().Entry};
    EXPECT_EQ(found, want);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RecoveryEntry,
    ::testing::Values(
        RecoveryCase{"SourceRestored", Script({{'G', 1}, {'F', 1300}, {'G', 1}}),
                     "LTC source restored after 1 min 6 s"},
        RecoveryCase{"SourceNotReported", Script({{'G', 1}, {'F', 50}, {'G', 1}}), nullptr},
        RecoveryCase{"FormatCorrectAgain", Script({{'U', 600}, {'G', 1}}),
                     "LTC user format correct again after 31 s"},
        RecoveryCase{"BackWithinLimits", Script({{'G', 100, 500}, {'G', 1, 5}}),
                     "LTC back within limits after 5 s"},
        RecoveryCase{"StillOutOfLimits", Script({{'G', 100, 500}, {'F', 1}, {'U', 1}}), nullptr}),
    NameOf);

TEST_F(SyncLoopTest, RealtimeModeFailureIsLoggedOncePerRunOfFailures) {
    onCycleEnd_ = [this](int n) {
        // Reloads in cycles 202 and 403 fail, 604 succeeds, 805 fails again.
        modeResult_ = n == 201 || n == 804 ? -7 : n == 603 ? 0 : modeResult_;
    };
    RunLoop(Script({{'G', 806, 3}}));
    const auto texts = emu::EventLogTexts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) {
                                return t.rfind("\r\ntecSetRealtimeMode failed: Timeout", 0) == 0;
                            }),
              2);
}

// --- start and stop --------------------------------------------------------------------------

// A disk that stops answering holds up the file writer, never the loop: the cycles go on in
// virtual time while a metrics write hangs, the snapshots that queue up meanwhile give way to
// the latest, and the stop waits for the last write ("chronel_up 0") only within its bound.
struct HungWriteCase {
    const char* Name;
    int ReleaseAfterMs; // real time after the last cycle; -1: held past the stop
    bool DownAtReturn;  // the file says "chronel_up 0" when the loop returns
};

class HungMetricsWrite : public SyncLoopTest,
                         public ::testing::WithParamInterface<HungWriteCase> {};

TEST_P(HungMetricsWrite, HoldsUpNeitherTheCyclesNorTheStop) {
    const HungWriteCase& c = GetParam();
    const std::string path = "C:\\metrics\\chronel.prom";
    emu::AddFolder("C:\\metrics");
    emu::RegSetString(kKey, "MetricsFile", path);
    emu::HoldFiles(true);
    bool heldWhileCycling = false;
    std::thread release;
    onCycleEnd_ = [&](int n) {
        if (n == 60) {
            heldWhileCycling = emu::AwaitHeldFileWrite(); // the first publish hangs
        }
        if (n == 100 && c.ReleaseAfterMs >= 0) {
            release = std::thread([&c] {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.ReleaseAfterMs));
                emu::HoldFiles(false);
            });
        }
    };
    const auto start = std::chrono::steady_clock::now();
    RunLoop(Script({{'G', 100, 3}}));
    const auto took = std::chrono::steady_clock::now() - start;
    const bool down =
        emu::FileContent(path).value_or("").find("\nchronel_up 0\n") != std::string::npos;
    if (release.joinable()) {
        release.join();
    }
    EXPECT_TRUE(heldWhileCycling);
    ASSERT_EQ(snapshots_.size(), 100U);
    EXPECT_GE(snapshots_.back().AtMs - snapshots_.front().AtMs, 99 * 50);
    EXPECT_LT(took, std::chrono::seconds(3)); // well within the stop's 5 s
    EXPECT_EQ(down, c.DownAtReturn);
    emu::HoldFiles(false);
    ASSERT_TRUE(AwaitMetricsWritten());
    EXPECT_NE(emu::FileContent(path).value_or("").find("\nchronel_up 0\n"), std::string::npos);
    EXPECT_EQ(emu::FileWrites(path), 2U);       // the hung one and the last; none in between
    EXPECT_TRUE(emu::WaitForDetachedThreads()); // the writer has ended
}

INSTANTIATE_TEST_SUITE_P(Disks, HungMetricsWrite,
                         ::testing::Values(HungWriteCase{"ReleasedDuringTheStop", 300, true},
                                           HungWriteCase{"HeldPastTheStopsBound", -1, false}),
                         NameOf);

TEST_F(SyncLoopTest, StartAndStopAreLoggedAndTheRateEndsNominal) {
    emu::AddFolder("C:\\metrics");
    emu::RegSetString(kKey, "MetricsFile", "C:\\metrics\\chronel.prom");
    RunLoop(Script({{'G', 30, 30}}));
    // The metrics say so too: a collector goes on serving the file after the stop.
    const std::string metrics = emu::FileContent("C:\\metrics\\chronel.prom").value_or("");
    EXPECT_NE(metrics.find("\nchronel_up 0\n"), std::string::npos) << metrics;
    const auto entries = emu::EventLogEntries();
    ASSERT_GE(entries.size(), 2U);
    EXPECT_NE(entries.front().Text.find("START"), std::string::npos);
    EXPECT_EQ(entries.front().Type, 3);
    EXPECT_NE(entries.back().Text.find("STOP"), std::string::npos);
    EXPECT_EQ(entries.back().Type, 3);
    EXPECT_TRUE(emu::Clock().SystemRegulates); // handed back to the system
    EXPECT_FALSE(snapshots_.back().SystemRegulates);
    EXPECT_TRUE(regulationAtEntry_.back()) << "STOP logged before the clock was handed back";
    EXPECT_EQ(modes_.front(), 0U);
}

TEST_F(SyncLoopTest, StartUpGivesUpAfterTwoHundredAndOneReadsWithoutData) {
    startUpFails_ = true;
    RunLoop(Script({{'G', 1}}));
    EXPECT_EQ(startUpReads_, 201);
}

TEST_F(SyncLoopTest, OtherDisciplinesOfTheClockAreWarnedOf) {
    plat::ServiceConfig timeService;
    timeService.Name = "W32Time";
    emu::AddService(timeService, plat::kServiceRunning);
    onCycleEnd_ = [](int n) {
        if (n == 300) {
            emu::SetAdjustmentAsAnotherProgram(DefaultTimeIncrement() + 900, false);
        }
    };
    RunLoop(Script({{'G', 410, 10}})); // the settings are reloaded in cycles 1, 202 and 403
    std::vector<std::pair<std::uint16_t, std::string>> entries;
    for (const auto& e : emu::EventLogEntries()) {
        entries.emplace_back(e.Type, e.Text.substr(2));
    }
    EXPECT_EQ(entries,
              (std::vector<std::pair<std::uint16_t, std::string>>{
                  {3, "START"}, {2, kTimeServiceWarning}, {2, kForeignRateWarning}, {3, "STOP"}}));
    EXPECT_EQ(Status("MonitorWarnings"),
              std::string(kTimeServiceWarning) + "\r\n" + kForeignRateWarning);
}

// W32Time as the loop meets it while running: its changes at the ends of some cycles. The
// settings are reloaded in cycles 1, 202, 403 and 604, and W32Time is looked at with each.
enum class TimeServiceChange : std::uint8_t { Start, StartNoSync, Stop, GoNoSync };
struct TimeServiceCase {
    const char* Name;
    std::map<int, TimeServiceChange> Changes;
    int Cycles;
    int Entries;
    std::vector<int> Shown; // the cycles after which "MonitorWarnings" has changed, in turn
};

class TimeServiceWhileRunning : public SyncLoopTest,
                                public ::testing::WithParamInterface<TimeServiceCase> {};

TEST_P(TimeServiceWhileRunning, IsWarnedOfOnceAndShownWhileItSynchronises) {
    using C = TimeServiceChange;
    const TimeServiceCase& c = GetParam();
    std::vector<int> shown;
    std::string warnings;
    onCycleEnd_ = [&](int n) {
        if (Status("MonitorWarnings") != warnings) {
            warnings = Status("MonitorWarnings");
            shown.push_back(n);
        }
        const auto change = c.Changes.find(n);
        if (change == c.Changes.end()) {
            return;
        }
        plat::ServiceConfig config;
        config.Name = "W32Time";
        emu::AddService(config,
                        change->second == C::Stop ? plat::kServiceStopped : plat::kServiceRunning);
        const bool syncs = change->second == C::Start || change->second == C::Stop;
        emu::RegSetString("SYSTEM\\CurrentControlSet\\Services\\W32Time\\Parameters", "Type",
                          syncs ? "NT5DS" : "NoSync");
    };
    RunLoop(Script({{'G', c.Cycles, 10}}));
    EXPECT_EQ(CountOf(kTimeServiceWarning), c.Entries);
    EXPECT_EQ(shown, c.Shown);
    EXPECT_EQ(warnings, c.Shown.size() % 2 == 1 ? kTimeServiceWarning : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimeServiceWhileRunning,
    ::testing::Values(
        TimeServiceCase{"StartedAfterTheLoop", {{10, TimeServiceChange::Start}}, 210, 1, {202}},
        TimeServiceCase{"StartedThenStopped",
                        {{10, TimeServiceChange::Start}, {300, TimeServiceChange::Stop}},
                        410,
                        1,
                        {202, 403}},
        TimeServiceCase{
            "StartedWithoutSynchronising", {{10, TimeServiceChange::StartNoSync}}, 410, 0, {}},
        TimeServiceCase{"SetToNoSyncWhileItRuns",
                        {{10, TimeServiceChange::Start}, {300, TimeServiceChange::GoNoSync}},
                        410,
                        1,
                        {202, 403}},
        // Within the hour: shown again, not logged again.
        TimeServiceCase{"BackAfterAStop",
                        {{10, TimeServiceChange::Start},
                         {300, TimeServiceChange::Stop},
                         {450, TimeServiceChange::Start}},
                        610,
                        1,
                        {202, 403, 604}}),
    NameOf);

struct VersionCase {
    const char* Name;
    bool IdentificationFails;
    const char* Expected;
};

class MonitorVersion : public SyncLoopTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(MonitorVersion, IsWrittenAtStart) {
    identificationFails_ = GetParam().IdentificationFails;
    RunLoop(Script({{'G', 1}}));
    EXPECT_EQ(Status("MonitorVersion"), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MonitorVersion,
    ::testing::Values(
        VersionCase{"Identified", false,
                    "Firmware: 9.17    Card: PCIe RX    DLL: 2.05    Service: 1.0.0.1"},
        VersionCase{"NotIdentified", true, "(not available)"}),
    NameOf);

// --- containment ---------------------------------------------------------------------------

TEST_F(SyncLoopTest, RegistryFailuresDoNotStopTheLoop) {
    emu::RegSetString(kKey, "SyncM", "not a number");
    emu::InjectRegFailure(emu::RegOp::Set, plat::kErrorAccessDenied);
    RunLoop(Script({{'G', 250, 10}}));
    EXPECT_EQ(snapshots_.size(), 250U);
    EXPECT_FALSE(snapshots_.back().SystemRegulates); // still correcting
    EXPECT_EQ(CountOf("STOP"), 1);
}

TEST_F(SyncLoopTest, PopupsFollowTheSettingAtTheMomentOfEachNotice) {
    emu::RegSetDword(kKey, "DifErr", 100);
    emu::RegSetDword(kKey, "PopUps", 1);
    onCycleEnd_ = [](int n) {
        if (n == 2) {
            emu::RegSetDword(kKey, "PopUps", 0);
        }
    };
    RunLoop(Script({{'G', 1, 500}, {'G', 1, 5}, {'G', 1, 500}}));
    ASSERT_TRUE(emu::WaitForPopups(1));
    EXPECT_EQ(CountOf("LTC is out of limits"), 2);
    const auto popups = emu::Popups();
    ASSERT_EQ(popups.size(), 1U);
    EXPECT_NE(popups[0].Text.find("LTC is out of limits"), std::string::npos);
}

// --- the difference as text ------------------------------------------------------------------

TEST(DiffText, GroupsThousandsAsTheLocaleDoes) {
    emu::ResetWorld();
    const std::map<std::int32_t, std::string> cases = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {-1234, "-1,234"},
        {300000, "300,000"},
        {-999999, "-999,999"},
        {2147483647, "2,147,483,647"},
        {-2147483647 - 1, "-2,147,483,648"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(DiffText(value), text) << value;
    }
    // The locale's separator as the ANSI text can carry it: a character the code page lacks,
    // or one of several bytes, is a plain space rather than "?".
    const std::pair<const char*, const char*> separators[] = {
        {".", "-1.234.567"},
        {"", "-1234567"},
        {"\u00a0", "-1\xa0"
                   "234\xa0"
                   "567"},
        {"\u2019", "-1\x92"
                   "234\x92"
                   "567"},
        {"\u202f", "-1 234 567"},
        {"\u066c", "-1 234 567"},
        {"..", "-1 234 567"},
    };
    for (const auto& [separator, text] : separators) {
        emu::SetThousandsSeparator(separator);
        EXPECT_EQ(DiffText(-1234567), text) << separator;
    }
    emu::ResetWorld();
    EXPECT_EQ(DiffText(1234567), "1,234,567");
}

} // namespace
