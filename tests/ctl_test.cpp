#include "CardWorld.h"

#include "ctl/Ctl.h"

#include <cstdio>

namespace {

class CtlTest : public CardWorld {
  protected:
    // "MonitorSystem" as the service writes it, stamped ageMs before the emulated clock's now,
    // in a zone east of UTC by zoneMinutes.
    static std::string SystemText(std::int64_t ageMs, const std::string& diff,
                                  std::int32_t zoneMinutes = 0) {
        const std::int64_t local = ctl::NowUnixMs() - ageMs + zoneMinutes * 60000LL;
        const std::int64_t units = local * 10000 + 116444736000000000LL; // since 1601
        const plat::SystemTime t = emu::UnitsToUtc(units);
        char text[96];
        std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d.%.3d %s%d:%.2d    %.2d.%.2d.%.4d", t.Hour,
                      t.Minute, t.Second, t.Milliseconds, zoneMinutes >= 0 ? " +" : " -",
                      std::abs(zoneMinutes) / 60, std::abs(zoneMinutes) % 60, t.Day, t.Month,
                      t.Year);
        return diff.empty() ? text : std::string(text) + "    Diff: " + diff + " ms";
    }

    static void Install(std::uint32_t state, const std::string& account = "LocalSystem") {
        plat::ServiceConfig config;
        config.Name = "QN_Chronel";
        config.BinaryPath = "\"C:\\Program Files\\Quorlan\\chronel.exe\"";
        emu::AddService(config, state);
        emu::SetServiceAccount("QN_Chronel", account);
    }
};

TEST_F(CtlTest, LockStateAndExitCodeFollowTheStatusValues) {
    struct Case {
        std::uint32_t Service; // 0: not installed
        std::int64_t AgeMs;
        std::string Diff;
        std::string Ltc;
        std::string Warnings;
        ctl::Lock Lock;
        int Exit;
    };
    const std::string ltc = "12:00:00.000  +0:00";
    const std::vector<Case> cases = {
        {plat::kServiceRunning, 300, "2", ltc, "", ctl::Lock::Locked, 0},
        {plat::kServiceRunning, 300, "-2", ltc + "    Sync", "", ctl::Lock::Locked, 0},
        {plat::kServiceRunning, 300, "-3", ltc, "", ctl::Lock::Correcting, 1},
        {plat::kServiceRunning, 300, "1,234", ltc, "", ctl::Lock::Correcting, 1},
        {plat::kServiceRunning, 300, "0", ltc, "W32Time runs\r\n", ctl::Lock::Locked, 1},
        {plat::kServiceRunning, 5500, "0", ltc, "", ctl::Lock::Stale, 1},
        {plat::kServiceRunning, -5500, "0", ltc, "", ctl::Lock::Stale, 1},
        {plat::kServiceRunning, 300, "", "LTC source failure", "", ctl::Lock::TimecodeLost, 2},
        {plat::kServiceRunning, 300, "9,000", ltc + "    LTC is out of limits", "",
         ctl::Lock::OutOfLimits, 2},
        {plat::kServiceRunning, 300, "", ltc + "    LTC user format error", "",
         ctl::Lock::FormatError, 2},
        {plat::kServiceStartPending, 300, "0", ltc, "", ctl::Lock::Locked, 1},
        {plat::kServiceStopped, 300, "0", ltc, "", ctl::Lock::Locked, 2},
        {0, 300, "0", ltc, "", ctl::Lock::Locked, 3},
    };
    for (const Case& c : cases) {
        ResetAll();
        if (c.Service != 0) {
            Install(c.Service);
        }
        emu::RegSetString(kKey, "MonitorSystem", SystemText(c.AgeMs, c.Diff));
        emu::RegSetString(kKey, "MonitorLtc", c.Ltc);
        emu::RegSetString(kKey, "MonitorWarnings", c.Warnings);
        const ctl::StatusValues values = ctl::ReadStatusValues();
        const ctl::LockFacts lock = ctl::DeriveLock(values, ctl::NowUnixMs());
        const std::string what = c.Ltc + " / " + c.Diff + " / age " + std::to_string(c.AgeMs);
        EXPECT_EQ(lock.State, c.Lock) << what;
        EXPECT_EQ(ctl::Status(false), c.Exit) << what;
        EXPECT_EQ(ctl::Status(true), c.Exit) << what;
    }
}

TEST_F(CtlTest, StampAndDifferenceReadInAnyZoneAndGrouping) {
    // Three hours east, 40 s old: the zone is taken off before comparing with UTC.
    const std::string text = SystemText(40000, "-12.345", 180);
    ASSERT_TRUE(ctl::ParseStampUnixMs(text).has_value());
    EXPECT_EQ(ctl::NowUnixMs() - *ctl::ParseStampUnixMs(text), 40000);
    EXPECT_EQ(ctl::ParseDiff(text), -12345);
    EXPECT_EQ(ctl::ParseDiff(SystemText(0, "1\xA0"
                                           "234")),
              1234);
    EXPECT_EQ(ctl::ParseDiff("Diff: 3000000000 ms"), std::nullopt);
    EXPECT_EQ(ctl::ParseStampUnixMs("LTC source failure"), std::nullopt);
}

TEST_F(CtlTest, SetChecksNameTypeAndRangeAndWritesOnlyWhatPasses) {
    struct Case {
        const char* Name;
        const char* Value;
        std::optional<std::uint32_t> Stored; // nothing: refused
    };
    const std::vector<Case> cases = {
        {"SyncM", "2500", 2500},
        {"syncm", "15625", 15625},
        {"SyncM", "15626", std::nullopt},
        {"SyncM", "-1", std::nullopt},
        {"SyncM", "12x", std::nullopt},
        {"SyncM", "", std::nullopt},
        {"DifErr", "0", 0},
        {"DifErr", "5", std::nullopt},
        {"DifErr", "4294967295", std::nullopt}, // -1 as the service reads it
        {"IOADR", "0x1001", 4097},
        {"IOADR", "4107", std::nullopt},
        {"SyncLTC", "-1", 0xFFFFFFFFu},
        {"SyncLTC", "4294967296", std::nullopt},
        {"Nonsense", "1", std::nullopt},
    };
    for (const Case& c : cases) {
        ResetAll();
        const std::string what = std::string(c.Name) + "=" + c.Value;
        EXPECT_EQ(ctl::Set(c.Name, c.Value), c.Stored ? 0 : 1) << what;
        const ctl::SetDecision decision = ctl::DecideSet(c.Name, c.Value);
        const std::string name = decision.Row != nullptr ? decision.Row->Name : c.Name;
        EXPECT_EQ(emu::RegGetDword(kKey, name), c.Stored) << what;
        EXPECT_EQ(emu::RegValueNames(kKey).size(), c.Stored ? 1u : 0u) << what;
    }
    EXPECT_EQ(ctl::Set("MetricsFile", "C:\\m\\chronel.prom"), 0);
    EXPECT_EQ(emu::RegGetString(kKey, "MetricsFile"), "C:\\m\\chronel.prom");
    EXPECT_EQ(ctl::Reset("MetricsFile"), 0);
    EXPECT_FALSE(emu::RegGetValue(kKey, "MetricsFile").has_value());
    EXPECT_EQ(ctl::Reset("MetricsFile"), 0); // nothing left to delete is no failure

    emu::RegSetKeyReadOnly(kKey, true);
    EXPECT_EQ(ctl::Set("SyncP", "100"), 1);
    EXPECT_NE(emu::ConsoleErrorOutput().find("administrator"), std::string::npos);
}

TEST_F(CtlTest, SyncWaitsForLastSetAndSaysWhyNot) {
    struct Case {
        std::uint32_t Service;
        int SetAfterPolls; // the service writes "LastSet" after this many polls; -1 never
        bool ConsumeRequest;
        std::string Ltc;
        int Exit;
        const char* Why; // a word of the reason
    };
    const std::vector<Case> cases = {
        {plat::kServiceRunning, 3, true, "12:00:00.000  +0:00", 0, ""},
        {plat::kServiceRunning, 39, true, "12:00:00.000  +0:00", 0, ""},
        {plat::kServiceRunning, -1, true, "LTC source failure", 1, "timecode is lost"},
        {plat::kServiceRunning, -1, false, "12:00:00.000  +0:00", 1, "not read the request"},
        {plat::kServiceStopped, 1, true, "", 1, "stopped"},
    };
    for (const Case& c : cases) {
        ResetAll();
        Install(c.Service);
        emu::RegSetString(kKey, "LastSet", "earlier");
        int polls = 0;
        emu::SetCallHook([&](const char* call) {
            if (std::string(call) != "Sleep") {
                return;
            }
            ++polls;
            if (c.ConsumeRequest) {
                emu::RegSetString(kKey, "Sync", "");
            }
            emu::RegSetString(kKey, "MonitorSystem", SystemText(200, "0"));
            emu::RegSetString(kKey, "MonitorLtc", c.Ltc);
            if (polls == c.SetAfterPolls) {
                emu::RegSetString(kKey, "LastSet", "now");
            }
        });
        const std::int64_t ms = ElapsedMs([&] { EXPECT_EQ(ctl::Sync(), c.Exit) << c.Why; });
        emu::SetCallHook({});
        EXPECT_LE(ms, 20000);
        EXPECT_NE(emu::ConsoleErrorOutput().find(c.Why), std::string::npos)
            << emu::ConsoleErrorOutput();
        // A stopped service gets no request that would set the clock at its next start.
        EXPECT_EQ(emu::RegGetString(kKey, "Sync").has_value(), c.Service == plat::kServiceRunning);
    }
}

TEST_F(CtlTest, CheckGradesTheInstallation) {
    const std::string folder = "C:\\Program Files\\Quorlan\\";
    struct Case {
        bool Installed;
        std::uint32_t State;
        bool Library;
        const char* Product; // of the library's version resource; null: none
        bool W32TimeRunning;
        std::string Account;
        int Exit;
        bool UsersMayWrite = false;
    };
    const std::vector<Case> cases = {
        {true, plat::kServiceRunning, true, "Timecode reader library", false, "LocalSystem", 0},
        {true, plat::kServiceRunning, true, nullptr, false, "LocalSystem", 0},
        {true, plat::kServiceRunning, true, "Chronel simulated card", false, "LocalSystem", 1},
        {true, plat::kServiceRunning, true, nullptr, true, "LocalSystem", 1},
        {true, plat::kServiceRunning, true, nullptr, false, ".\\operator", 1},
        {true, plat::kServiceRunning, false, nullptr, false, "LocalSystem", 2},
        {true, plat::kServiceRunning, false, "Timecode reader library", false, "LocalSystem", 0},
        {true, plat::kServiceRunning, true, nullptr, false, "LocalSystem", 1, true},
        {true, plat::kServiceStopped, true, nullptr, false, "LocalSystem", 2},
        {false, 0, false, nullptr, false, "", 2},
    };
    for (const Case& c : cases) {
        ResetAll();
        emu::RegCreateKeyPath(kKey);
        emu::RegSetString("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QN_Chronel",
                          "EventMessageFile", folder + "chronel.exe");
        if (c.Installed) {
            Install(c.State, c.Account);
        }
        // Library: beside the service; else a library with a product name is in the system
        // folder only.
        const std::string library = c.Library
                                        ? folder + "TECORA32.DLL"
                                        : std::string(emu::kSystemDirectory32) + "\\TECORA32.DLL";
        if (c.Library || c.Product != nullptr) {
            emu::AddFile(library);
        }
        if (c.Product != nullptr) {
            emu::SetVersionString(library, "\\StringFileInfo\\040904B0\\ProductName", c.Product);
        }
        if (c.UsersMayWrite) {
            emu::SetFileAccess("C:\\Program Files\\Quorlan",
                               {{"S-1-5-32-545", "BUILTIN\\Users", true}});
        }
        if (c.W32TimeRunning) {
            plat::ServiceConfig w32time;
            w32time.Name = "W32Time";
            emu::AddService(w32time, plat::kServiceRunning);
        }
        EXPECT_EQ(ctl::Check(), c.Exit)
            << c.Installed << c.State << c.Library << c.W32TimeRunning << c.Account;
    }
}

TEST_F(CtlTest, WatchRefreshesOnceASecondForTheGivenTime) {
    const std::int64_t ms = ElapsedMs([] { EXPECT_EQ(ctl::Run({"watch", "3"}), 3); });
    EXPECT_EQ(ms, 3000);
    EXPECT_EQ(emu::ConsoleWrites().size(), 4u); // at 0, 1, 2 and 3 s, one line each
    EXPECT_EQ(ctl::Run({"watch", "x"}), 3);
    EXPECT_EQ(ctl::Run({"status", "--xml"}), 3);
    EXPECT_EQ(ctl::Run({"/?"}), 0);
}

} // namespace
