// The history files' rows and names, and reading them back over the emulated file system.
#include "engine/FileWriter.h"
#include "engine/History.h"
#include "engine/Settings.h"
#include "history/HistoryReader.h"
#include "platform/Platform.h"
#include "platform/emu/World.h"
#include "service/ModuleState.h"
#include "sim/ClosedLoop.h"

#include "CardScript.h"
#include "TestRecords.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using history::ParseRow;
using history::Row;

constexpr std::int64_t kDay = 1796601600; // 2026-12-07T00:00Z

TEST(HistoryFormat, RowsRoundTripAndTornLinesAreRefused) {
    Row row;
    row.MinuteUnix = kDay + 14 * 3600 + 5 * 60;
    row.St = history::State::Correcting;
    row.Good = 1190;
    row.Failed = 10;
    row.MinMs = -3;
    row.MaxMs = 7;
    row.MeanMs = 1.25;
    row.RatePpm = -128.0;
    row.HardSets = 1;
    row.Entries = 2;
    row.ByTimecode = true;
    row.Settings = "DifErr=1000;SyncMode=1";
    const std::string line = history::FormatRow(row);
    EXPECT_EQ(line, "2026-12-07T14:05Z,correcting,1190,10,-3,7,1.250,-128.000,1,2,timecode,"
                    "DifErr=1000;SyncMode=1");
    const auto back = ParseRow(line + "\r");
    ASSERT_TRUE(back);
    EXPECT_EQ(history::FormatRow(*back), line);

    Row lost;
    lost.MinuteUnix = kDay;
    lost.St = history::State::TimecodeLost;
    lost.Failed = 1200;
    EXPECT_EQ(history::FormatRow(lost), "2026-12-07T00:00Z,timecode_lost,0,1200,,,,0.000,0,0,pc,");
    ASSERT_TRUE(ParseRow(history::FormatRow(lost)));

    for (const std::string& bad : std::vector<std::string>{
             history::HeaderLine(), std::string(), line.substr(0, line.size() / 2), // torn
             "2026-12-07T14:05Z,locked,1,0,,,,0.000,0,0,pc,",         // good without figures
             "2026-12-07T14:05Z,locked,0,1,1,2,1.5,0.000,0,0,pc,",    // figures without good
             "2026-12-07T14:05Z,locked,2,0,5,1,3.0,0.000,0,0,pc,",    // min above max
             "2026-12-07T14:05Z,happy,1,0,1,1,1.0,0.000,0,0,pc,",     // unknown state
             "2026-12-07T14:05Z,locked,1,0,1,1,1.0,0.000,0,0,sun,",   // unknown source
             "2026-02-30T14:05Z,locked,1,0,1,1,1.0,0.000,0,0,pc,",    // no such day
             "2026-12-07T14:05:30Z,locked,1,0,1,1,1.0,0.000,0,0,pc,", // not a minute
         }) {
        EXPECT_FALSE(ParseRow(bad)) << bad;
    }
}

TEST(HistoryFormat, NamesAndMoments) {
    EXPECT_EQ(history::DayFileName(kDay + 86399), "chronel-2026-12-07.csv");
    EXPECT_EQ(history::DayOfFileName("chronel-2026-12-07.csv"), kDay);
    EXPECT_FALSE(history::DayOfFileName("chronel-2026-12-07.csv.tmp"));
    EXPECT_FALSE(history::DayOfFileName("other-2026-12-07.csv"));
    EXPECT_EQ(history::ParseMoment("2026-12-07"), kDay);
    EXPECT_EQ(history::ParseMoment("2026-12-07T01:02Z"), kDay + 3720);
    EXPECT_EQ(history::ParseMoment("2026-12-07 01:02:03"), kDay + 3723);
    EXPECT_FALSE(history::ParseMoment("2026-12-07T24:00"));
    EXPECT_FALSE(history::ParseMoment("2026-12-7"));
    EXPECT_EQ(history::DayStart(-1), -86400);
    EXPECT_EQ(history::MinuteStart(-1), -60);
}

TEST(HistoryReader, ReadsTheDaysAskedForInOrderMergingRestarts) {
    emu::ResetWorld();
    const std::string folder = history::HistoryFolder();
    EXPECT_EQ(folder, "C:\\ProgramData\\Chronel\\history");
    EXPECT_FALSE(history::ReadHistory(folder, 0, kDay * 2).FolderFound);
    ASSERT_TRUE(plat::CreateFolder(folder, true));
    EXPECT_TRUE(emu::FolderProtected(folder));
    EXPECT_FALSE(emu::FolderProtected("C:\\ProgramData\\Chronel"));

    const std::string header = history::HeaderLine() + "\r\n";
    const std::string a = "2026-12-07T23:58Z,locked,1200,0,0,1,0.500,0.000,0,0,timecode,\r\n";
    const std::string b = "2026-12-07T23:59Z,locked,600,0,-1,1,0.000,10.000,0,1,timecode,\r\n";
    const std::string b2 = "2026-12-07T23:59Z,correcting,600,0,0,9,2.000,20.000,1,1,timecode,\r\n";
    const std::string c = "2026-12-08T00:00Z,timecode_lost,0,1200,,,,0.000,0,1,pc,\r\n";
    plat::WriteWholeFile(folder + "\\chronel-2026-12-07.csv", header + a + b + "2026-12-07T2");
    plat::WriteWholeFile(folder + "\\chronel-2026-12-08.csv", header + b2 + c);
    plat::WriteWholeFile(folder + "\\chronel-2026-12-01.csv", header);
    plat::WriteWholeFile(folder + "\\notes.txt", "not history");

    const history::ReadResult all = history::ReadHistory(folder, kDay, kDay + 2 * 86400);
    EXPECT_TRUE(all.FolderFound);
    EXPECT_EQ(all.Files, 2U);
    EXPECT_EQ(all.Skipped, 1U); // the torn last line
    ASSERT_EQ(all.Rows.size(), 3U);
    const Row& merged = all.Rows[1];
    EXPECT_EQ(merged.Good, 1200U);
    EXPECT_EQ(merged.MinMs, -1);
    EXPECT_EQ(merged.MaxMs, 9);
    EXPECT_DOUBLE_EQ(merged.MeanMs, 1.0);
    EXPECT_DOUBLE_EQ(merged.RatePpm, 15.0);
    EXPECT_EQ(merged.St, history::State::Correcting);
    EXPECT_EQ(merged.HardSets, 1U);
    EXPECT_EQ(all.Rows[2].St, history::State::TimecodeLost);

    const history::ReadResult one = history::ReadHistory(folder, kDay + 86400, kDay + 86400 + 60);
    ASSERT_EQ(one.Rows.size(), 1U);
    EXPECT_EQ(one.Rows[0].MinuteUnix, kDay + 86400);
}

TEST(HistoryFiles, AppendsFillTheDiskPartlyAndReadOnlyFoldersRefuse) {
    emu::ResetWorld();
    ASSERT_TRUE(plat::CreateFolder("C:\\ProgramData\\Chronel\\history", true));
    const std::string path = "C:\\ProgramData\\Chronel\\history\\x.csv";
    emu::SetDiskFreeBytes(8);
    EXPECT_TRUE(plat::AppendToFile(path, "12345"));
    EXPECT_FALSE(plat::AppendToFile(path, "67890"));
    EXPECT_EQ(plat::GetLastError(), 112U);
    EXPECT_EQ(emu::FileContent(path), "12345678");
    EXPECT_TRUE(plat::DeleteFile(path));
    EXPECT_TRUE(plat::AppendToFile(path, "abc"));

    emu::SetFolderWritable("C:\\ProgramData\\Chronel\\history", false);
    EXPECT_FALSE(plat::AppendToFile(path, "more"));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAccessDenied);
    EXPECT_FALSE(plat::DeleteFile(path));
    EXPECT_FALSE(plat::CreateFolder("C:\\ProgramData\\Chronel\\history\\sub", false));
    std::vector<std::string> names;
    EXPECT_TRUE(plat::ListFiles("C:\\ProgramData\\Chronel\\history", "*.CSV", names));
    EXPECT_EQ(names, std::vector<std::string>{"x.csv"});
    EXPECT_FALSE(plat::ListFiles("C:\\missing", "*", names));
}

} // namespace

namespace {

std::vector<history::Row> AllRows() {
    return history::ReadHistory(history::HistoryFolder(), 0, std::int64_t{1} << 40).Rows;
}

// The service's own loop for five and a half minutes in virtual time: the PC 5 s ahead is hard
// set back at once, then the timecode is lost for 80 s. Just before the stop (where a crash
// would strike) every finished minute is on disk and the one in progress is not.
TEST(HistoryService, KeepsEachMinuteThroughAHardSetBackAndAnOutage) {
    sim::Scenario scenario;
    scenario.OffsetMs = 5000;
    scenario.DriftPpm = 40;
    scenario.DurationS = 330;
    scenario.SampleEveryMs = 1000;
    scenario.Settings = {{"DifSys", "1000"}};
    scenario.Outages = {{140, 80}};
    std::vector<history::Row> beforeStop;
    std::int64_t minuteAtStop = 0;
    scenario.BeforeStop = [&] {
        plat::SystemTime now;
        emu::TrueTimeUtc(now);
        minuteAtStop = history::MinuteStart(emu::TrueTime100ns() / 10000000 - 11644473600LL);
        // The writer runs on its own thread: give it a moment of real time to catch up.
        for (int i = 0; i < 200; ++i) {
            beforeStop = AllRows();
            if (!beforeStop.empty() && beforeStop.back().MinuteUnix + 60 == minuteAtStop) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    (void)sim::RunClosedLoop(scenario, nullptr);

    ASSERT_GE(beforeStop.size(), 5U);
    EXPECT_EQ(beforeStop.back().MinuteUnix + 60, minuteAtStop); // nothing of the open minute
    const std::vector<history::Row> rows = AllRows();
    ASSERT_EQ(rows.size(), beforeStop.size() + 1); // the stop wrote the minute in progress
    EXPECT_TRUE(emu::FolderProtected(history::HistoryFolder()));

    std::uint32_t hardSets = 0;
    std::uint32_t lostMinutes = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            EXPECT_EQ(rows[i].MinuteUnix, rows[i - 1].MinuteUnix + 60) << i;
        }
        hardSets += rows[i].HardSets;
        lostMinutes += rows[i].St == history::State::TimecodeLost ? 1 : 0;
        EXPECT_EQ(rows[i].Settings, "DifSys=1000");
    }
    EXPECT_EQ(hardSets, 1U);
    EXPECT_EQ(rows.front().HardSets, 1U);
    EXPECT_GT(rows.front().MaxMs, 4000); // measured before the set
    EXPECT_GE(lostMinutes, 2U);
    EXPECT_LE(lostMinutes, 3U);
    EXPECT_EQ(rows.back().St, history::State::Locked);
    EXPECT_GT(rows.back().Good, 0U);
}

// The loop works out a stamp's day once a day: across midnight each minute is still filed
// under its own day.
TEST(HistoryService, MinutesAcrossMidnightKeepTheirDay) {
    constexpr std::int64_t kMidnightUnix = 1'796'601'600; // 2026-12-07 00:00 UTC
    servicetest::FreshProcess();
    emu::SetTrueTimeUtc(testutil::Utc(2026, 12, 6, 23, 58, 50, 0));
    const servicetest::ScriptedCard card;
    servicetest::RunCycles(3000, [](const servicetest::CycleEnd&) {}); // about 150 s
    // The writer runs on its own thread: give it a moment of real time to catch up.
    std::vector<history::Row> rows;
    for (int i = 0; i < 200; ++i) {
        rows = AllRows();
        if (!rows.empty() && rows.back().MinuteUnix >= kMidnightUnix) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(rows.empty());
    for (const history::Row& r : rows) {
        EXPECT_GE(r.MinuteUnix, kMidnightUnix - 120);
        EXPECT_LT(r.MinuteUnix, kMidnightUnix + 3600);
    }
    EXPECT_GE(rows.back().MinuteUnix, kMidnightUnix);
}

// Minutes fed straight to the writer: each batch is one run of the loop (start to stop).
void RunMinutes(std::int64_t firstMinute, int minutes) {
    HistoryStart();
    for (int m = 0; m <= minutes; ++m) {
        HistoryCycleFacts f;
        f.What = HistoryCycleFacts::Good;
        f.DiffMs = 1;
        f.PcUnixMs = (firstMinute + 60 * m) * 1000 + 1;
        f.Increment = 156250;
        HistoryCycle(f);
    }
    HistoryStop();
    ASSERT_TRUE(StopFileWriter(std::chrono::seconds(5)));
}

std::size_t Warnings() {
    std::size_t n = 0;
    for (const std::string& text : emu::EventLogTexts()) {
        n += text.find("History not written") != std::string::npos ? 1 : 0;
    }
    return n;
}

TEST(HistoryWriter, AFullDiskOrAReadOnlyFolderGivesOneWarningAndLaterRowsStillCount) {
    for (const bool fullDisk : {true, false}) {
        SCOPED_TRACE(fullDisk ? "full disk" : "read-only folder");
        emu::ResetWorld();
        ResetModuleState();
        const std::string folder = history::HistoryFolder();
        RunMinutes(kDay, 2);
        ASSERT_EQ(AllRows().size(), 3U);
        if (fullDisk) {
            emu::SetDiskFreeBytes(10); // a part of the next row fits
        } else {
            emu::SetFolderWritable(folder, false);
        }
        RunMinutes(kDay + 180, 3);
        EXPECT_EQ(Warnings(), 1U);
        emu::SetDiskFreeBytes(-1);
        emu::SetFolderWritable(folder, true);
        RunMinutes(kDay + 600, 1);
        const std::vector<history::Row> rows = AllRows();
        ASSERT_EQ(rows.size(), 5U);
        EXPECT_EQ(rows[3].MinuteUnix, kDay + 600);
        EXPECT_EQ(history::ReadHistory(folder, 0, kDay * 2).Skipped, fullDisk ? 1U : 0U);
    }
}

TEST(HistoryWriter, OldDaysGoAtTheDayChangeAndZeroDaysWritesNothing) {
    emu::ResetWorld();
    ResetModuleState();
    Settings.HistoryDays = 3;
    const std::string folder = history::HistoryFolder();
    ASSERT_TRUE(plat::CreateFolder(folder, true));
    for (int back = 1; back <= 4; ++back) {
        plat::WriteWholeFile(history::DayFilePath(folder, kDay - back * 86400), "");
    }
    RunMinutes(kDay - 120, 3); // over midnight into kDay
    std::vector<std::string> names;
    ASSERT_TRUE(plat::ListFiles(folder, "*", names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"chronel-2026-12-05.csv", "chronel-2026-12-06.csv",
                                               "chronel-2026-12-07.csv"}));

    emu::ResetWorld();
    Settings.HistoryDays = 0;
    RunMinutes(kDay, 3);
    EXPECT_FALSE(emu::FolderExists(folder));
}

// A minute's range and state show what the clock held, not a single reading: a stamp taken a
// few ms late, or a label a frame off, is one reading among twenty a second.
TEST(HistoryService, AMinuteShowsWhatTheReadingsHeldNotOneOfThem) {
    struct Case {
        const char* Name;
        std::vector<std::int32_t> Diffs; // one reading each, all in one minute
        bool HardSetAfterLast;
        std::int32_t Min, Max;
        history::State St;
    };
    const std::vector<std::int32_t> calm(20, 0);
    auto with = [&calm](std::size_t at, std::vector<std::int32_t> run) {
        std::vector<std::int32_t> d = calm;
        d.insert(d.begin() + static_cast<std::ptrdiff_t>(at), run.begin(), run.end());
        return d;
    };
    const Case cases[] = {
        {"one late stamp", with(10, {5}), false, 0, 0, history::State::Locked},
        {"a label a frame late", with(10, {40}), false, 0, 0, history::State::Locked},
        {"two late stamps in a row", with(10, {4, 5}), false, 0, 0, history::State::Locked},
        {"held for three readings", with(10, {4, 5, 3}), false, 0, 3, history::State::Correcting},
        {"held behind", with(10, {-6, -3, -4}), false, -3, 0, history::State::Correcting},
        {"the first reading of a start", with(0, {7}), false, 0, 7, history::State::Correcting},
        {"a hard set on one reading", {0, 0, 0, 5000}, true, 0, 5000, history::State::Correcting},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        emu::ResetWorld();
        ResetModuleState();
        Settings.HistoryDays = 3;
        HistoryStart();
        for (std::size_t i = 0; i < c.Diffs.size(); ++i) {
            HistoryCycleFacts f;
            f.What = HistoryCycleFacts::Good;
            f.DiffMs = c.Diffs[i];
            f.PcUnixMs = (kDay + 60) * 1000 + static_cast<std::int64_t>(i) * 50 + c.Diffs[i];
            f.Increment = 156250;
            HistoryCycle(f);
        }
        if (c.HardSetAfterLast) {
            HistoryHardSet();
        }
        HistoryStop();
        ASSERT_TRUE(StopFileWriter(std::chrono::seconds(5)));
        const std::vector<history::Row> rows = AllRows();
        ASSERT_EQ(rows.size(), 1U);
        EXPECT_EQ(rows[0].MinMs, c.Min);
        EXPECT_EQ(rows[0].MaxMs, c.Max);
        EXPECT_EQ(rows[0].St, c.St);
        EXPECT_EQ(rows[0].Good, c.Diffs.size());
    }
}

} // namespace
