#include "CardWorld.h"

#include "TimeFunc/CivilTime.h"
#include "TimeFunc/TimeZone.h"
#include "ctl/Ctl.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

class CtlTest : public CardWorld {
  protected:
    // "MonitorSystem" as the service writes it, stamped ageMs before the emulated clock's now,
    // in a zone east of UTC by zoneMinutes.
    static std::string SystemText(std::int64_t ageMs, const std::string& diff,
                                  std::int32_t zoneMinutes = 0) {
        const std::int64_t local = ctl::NowUnixMs() - ageMs + zoneMinutes * 60000LL;
        const plat::SystemTime t = civil::TimeOfUnixMs(local);
        char text[96];
        std::snprintf(text, sizeof text, kLongForm, t.Hour, t.Minute, t.Second, t.Milliseconds,
                      zoneMinutes >= 0 ? " +" : " -", std::abs(zoneMinutes) / 60,
                      std::abs(zoneMinutes) % 60, t.Day, t.Month, t.Year);
        return diff.empty() ? text : std::string(text) + "    Diff: " + diff + " ms";
    }

    static void Install(std::uint32_t state, const std::string& account = "LocalSystem") {
        plat::ServiceConfig config;
        config.Name = "QN_Chronel";
        config.BinaryPath = "\"C:\\Program Files\\Quorlan\\chronel.exe\"";
        emu::AddService(config, state);
        emu::SetServiceAccount("QN_Chronel", account);
        SetRecovery(FullRecovery());
    }

    // What chronel /install sets.
    static plat::ServiceFailureActions FullRecovery() {
        return {86400,
                {{plat::kScActionRestart, 60000},
                 {plat::kScActionRestart, 120000},
                 {plat::kScActionRestart, 300000}},
                true};
    }

    static void SetRecovery(const plat::ServiceFailureActions& recovery) {
        const plat::ServiceHandle scm(plat::OpenSCManager(plat::kScManagerAllAccess));
        const plat::ServiceHandle service(
            plat::OpenService(scm.get(), "QN_Chronel", plat::kServiceAllAccess));
        ASSERT_TRUE(plat::ChangeServiceFailureActions(service.get(), recovery));
    }

    // The console lines written since the last call, CR LF taken off.
    static std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        for (const emu::ConsoleWrite& write : emu::ConsoleWrites()) {
            for (std::string& line : ctl::SplitLines(write.Text)) {
                lines.push_back(std::move(line));
            }
        }
        return lines;
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
    emu::AddFolder("C:\\m");
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
    const std::string ltc = "12:00:00.000  +0:00";
    const std::string refusal = "System time hard set failed: A required privilege is not held.";
    const std::string other = "System time hard set failed: Access is denied.";
    struct Case {
        std::uint32_t Service;
        int SetAfterPolls; // the service writes "LastSet" after this many polls; -1 never
        bool ConsumeRequest;
        std::string Ltc;
        int Exit;
        std::string Why;                // a word of the reason
        std::string RefusedBefore = {}; // "MonitorWarnings" before the request
        std::string RefusedAfter = {};  // ... and after the service has read it
        std::int64_t MaxMs = 20000;
    };
    const std::vector<Case> cases = {
        {plat::kServiceRunning, 3, true, ltc, 0, ""},
        {plat::kServiceRunning, 39, true, ltc, 0, ""},
        {plat::kServiceRunning, -1, true, "LTC source failure", 1, "timecode is lost"},
        {plat::kServiceRunning, -1, false, ltc, 1, "not read the request"},
        {plat::kServiceStopped, 1, true, "", 1, "stopped"},
        // A refusal answers at once; one that stood before may still be lifted, or stay.
        {plat::kServiceRunning, -1, true, ltc, 2, "privilege is not held. The", "", refusal, 500},
        {plat::kServiceRunning, 3, true, ltc, 0, "", refusal, refusal},
        {plat::kServiceRunning, -1, true, ltc, 2, "privilege is not held", refusal, refusal},
        {plat::kServiceRunning, -1, true, ltc, 2, "Access is denied", refusal, other, 500},
    };
    for (const Case& c : cases) {
        ResetAll();
        Install(c.Service);
        emu::RegSetString(kKey, "LastSet", "earlier");
        emu::RegSetString(kKey, "MonitorWarnings", "W32Time runs\r\n" + c.RefusedBefore);
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
            emu::RegSetString(kKey, "MonitorWarnings", "W32Time runs\r\n" + c.RefusedAfter);
            if (polls == c.SetAfterPolls) {
                emu::RegSetString(kKey, "LastSet", "now");
            }
        });
        const std::int64_t ms = ElapsedMs([&] { EXPECT_EQ(ctl::Sync(), c.Exit) << c.Why; });
        emu::SetCallHook({});
        EXPECT_LE(ms, c.MaxMs);
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
            emu::PutFile(library, "");
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

TEST_F(CtlTest, WatchPrintsOneLineForEachSecondOfThePcClock) {
    // Each look at the service costs 350 ms: a pause of a second after it would slip past
    // whole seconds.
    emu::SetCallHook([](const char* call) {
        if (std::string(call) == "OpenSCManager") {
            emu::AdvanceMs(350);
        }
    });
    const std::int64_t ms = ElapsedMs([] { EXPECT_EQ(ctl::Run({"watch", "10"}), 3); });
    emu::SetCallHook({});
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_LT(ms, 10000);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const int before = std::stoi(lines[i - 1].substr(6, 2));
        EXPECT_EQ(std::stoi(lines[i].substr(6, 2)), (before + 1) % 60) << lines[i];
    }
    EXPECT_EQ(ctl::Run({"watch", "0"}), 3);
    EXPECT_EQ(ctl::Run({"watch", "x"}), 3);
    EXPECT_EQ(ctl::Run({"status", "--xml"}), 3);
    EXPECT_EQ(ctl::Run({"/?"}), 0);
}

TEST_F(CtlTest, AServiceNotRunningShowsWhyAndMarksItsValuesAsLastSeen) {
    const std::string why = "Servicestart fails. 1, -2, PC RX hardware not found";
    const std::string system = SystemText(3600000, "0", 60);
    const std::string seen = ctl::LastSeenText(system);
    EXPECT_EQ(seen.size(), std::string("14:03:07 +1:00 07.12.2026").size()) << seen;
    EXPECT_EQ(system.substr(0, 8), seen.substr(0, 8));
    EXPECT_EQ(ctl::LastSeenText("LTC source failure"), "");
    struct Case {
        std::uint32_t State;
        std::string Error;
        int Exit;
        std::string Headline;
        bool Current;
    };
    const std::vector<Case> cases = {
        {plat::kServiceStopped, why, 2, "CHRONEL CRITICAL - service stopped: " + why, false},
        {plat::kServiceStopped, "", 2, "CHRONEL CRITICAL - service stopped", false},
        {plat::kServiceStartPending, "", 1, "CHRONEL WARNING - service start pending", false},
        {plat::kServiceRunning, "", 1, "CHRONEL WARNING - status stale", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Headline);
        ResetAll();
        Install(c.State);
        emu::RegSetString(kKey, "MonitorSystem", system);
        emu::RegSetString(kKey, "MonitorLtc", "12:00:00.000  +0:00");
        emu::RegSetString(kKey, "MonitorError", c.Error);
        EXPECT_EQ(ctl::Status(false), c.Exit);
        const std::vector<std::string> lines = Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind(c.Headline, 0), 0u) << lines[0];
        const std::string marker = "  Values      last seen at " + seen;
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.rfind(marker, 0) == 0; }),
                  c.Current ? 0 : 1);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "  Start error " + why),
                  c.Error.empty() ? 0 : 1);
        const std::size_t before = emu::ConsoleOutput().size();
        EXPECT_EQ(ctl::Status(true), c.Exit);
        const std::string json = emu::ConsoleOutput().substr(before);
        const auto has = [&json](const std::string& part) {
            return json.find(part) != std::string::npos;
        };
        EXPECT_TRUE(has(c.Current ? "\"values_current\":true" : "\"values_current\":false"));
        EXPECT_TRUE(has(c.Current ? "\"lock\":\"stale\"" : "\"lock\":\"not_running\""));
        EXPECT_TRUE(has(c.Current ? "\"last_seen\":null" : "\"last_seen\":\"" + seen + "\""));
        EXPECT_TRUE(
            has(c.Error.empty() ? "\"start_error\":null" : "\"start_error\":\"" + why + "\""));
    }
}

TEST_F(CtlTest, StatusTellsWhichWayAndHowHardTheClockIsSlewed) {
    struct Case {
        std::int32_t Delta; // 0: the system regulates
        const char* Text;
        const char* Json;
    };
    const std::vector<Case> cases = {
        {0, "nominal, under the system's own regulation",
         "\"clock_rate\":{\"direction\":\"nominal\",\"correction_ppm\":0.000}"},
        {500, "+3200.000 ppm, faster",
         "\"clock_rate\":{\"direction\":\"faster\",\"correction_ppm\":3200.000}"},
        {-156, "-998.400 ppm, slower",
         "\"clock_rate\":{\"direction\":\"slower\",\"correction_ppm\":-998.400}"},
    };
    for (const Case& c : cases) {
        ResetAll();
        Install(plat::kServiceRunning);
        emu::SetAdjustmentAsAnotherProgram(
            emu::Clock().Increment + static_cast<std::uint32_t>(c.Delta), c.Delta == 0);
        ctl::Status(false);
        const std::vector<std::string> lines = Lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) {
                                    return l.rfind(std::string("  Clock rate  ") + c.Text, 0) == 0;
                                }),
                  1)
            << c.Text;
        ctl::Status(true);
        EXPECT_NE(emu::ConsoleOutput().find(c.Json), std::string::npos) << c.Json;
    }
}

TEST_F(CtlTest, CheckReadsTheRecoveryBackAndGivesTheFixThatApplies) {
    const plat::ServiceAction restart{plat::kScActionRestart, 60000};
    const plat::ServiceAction none{0, 0};
    struct Case {
        plat::ServiceFailureActions Recovery;
        const char* Problem; // empty: none
    };
    const std::vector<Case> cases = {
        {FullRecovery(), ""},
        {{86400, {restart}, true}, ""},
        {{}, "restart after a failure is not configured"},
        {{86400, {none}, true}, "restart after a failure is not configured"},
        {{86400, {restart, restart}, false}, "does not cover a failed start"},
        {{86400, {restart, restart, none}, true}, "only after its first 2 failures"},
    };
    const std::string folder = "C:\\Program Files\\Quorlan\\";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Problem);
        const std::string problem = ctl::RecoveryProblem(c.Recovery);
        EXPECT_EQ(problem.empty(), std::string(c.Problem).empty()) << problem;
        EXPECT_NE(problem.find(c.Problem), std::string::npos) << problem;
        ResetAll();
        emu::RegCreateKeyPath(kKey);
        emu::RegSetString("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QN_Chronel",
                          "EventMessageFile", folder + "chronel.exe");
        emu::PutFile(folder + "TECORA32.DLL", "");
        Install(plat::kServiceRunning);
        SetRecovery(c.Recovery);
        EXPECT_EQ(ctl::Check(), problem.empty() ? 0 : 1);
        EXPECT_EQ(emu::ConsoleOutput().find("sc failureflag QN_Chronel 1") != std::string::npos,
                  !problem.empty());
    }
    // The event source: /install registers it only when it creates the service.
    for (const bool installed : {true, false}) {
        ResetAll();
        if (installed) {
            Install(plat::kServiceRunning);
        }
        ctl::Check();
        const std::string out = emu::ConsoleOutput();
        EXPECT_EQ(out.find("chronel /remove, then chronel /install") != std::string::npos,
                  installed);
        EXPECT_EQ(out.find("chronel /install registers it together with the service") !=
                      std::string::npos,
                  !installed);
    }
}

TEST_F(CtlTest, CheckWarnsWhenAnyoneButTheTrustedMayWriteTheSettingsKey) {
    using Entries = std::vector<plat::FileAccessEntry>;
    const plat::FileAccessEntry usersRead{"S-1-5-32-545", "BUILTIN\\Users", false};
    const struct {
        const char* Name;
        std::optional<Entries> Rights; // none: the key as the world makes it
        bool KeyExists;
        long OpenError; // what opening the key for its rights fails with
        std::string Finding;
    } cases[] = {
        {"as created", std::nullopt, true, 0,
         "  OK    only administrators may change the settings key"},
        {"the trusted and readers",
         Entries{{"S-1-5-32-544", "BUILTIN\\Administrators", true},
                 {"S-1-5-18", "NT AUTHORITY\\SYSTEM", true},
                 {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                  "NT SERVICE\\TrustedInstaller", true},
                 {"S-1-3-0", "CREATOR OWNER", true},
                 usersRead,
                 {"S-1-1-0", "Everyone", false}},
         true, 0, "  OK    only administrators may change the settings key"},
        {"users may write",
         Entries{{"S-1-5-18", "NT AUTHORITY\\SYSTEM", true},
                 {"S-1-5-32-545", "BUILTIN\\Users", true}},
         true, 0, "  WARN  the settings key can be changed by BUILTIN\\Users, who"},
        {"everyone and authenticated users",
         Entries{usersRead,
                 {"S-1-1-0", "Everyone", true},
                 {"S-1-5-11", "NT AUTHORITY\\Authenticated Users", true}},
         true, 0,
         "  WARN  the settings key can be changed by Everyone, NT AUTHORITY\\Authenticated Users, "
         "who"},
        // What the platform reports for a key without an access list.
        {"no access list", Entries{{"S-1-1-0", "Everyone", true}}, true, 0,
         "  WARN  the settings key can be changed by Everyone, who"},
        {"rights not readable", std::nullopt, true, 5,
         "  WARN  who may change the settings key cannot be read (error 5)"},
        {"no key", std::nullopt, false, 0, "  WARN  no settings key"},
    };
    const std::string folder = "C:\\Program Files\\Quorlan\\";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ResetAll();
        emu::RegSetString("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QN_Chronel",
                          "EventMessageFile", folder + "chronel.exe");
        emu::PutFile(folder + "TECORA32.DLL", "");
        Install(plat::kServiceRunning);
        if (c.KeyExists) {
            emu::RegCreateKeyPath(kKey);
        }
        if (c.Rights) {
            emu::RegSetKeyAccess(kKey, *c.Rights);
        }
        // The status values are read first: only the look at the rights fails.
        emu::SetCallHook([&c](const char* call) {
            if (c.OpenError != 0 && std::string(call) == "GetRegistryKeyAccess") {
                emu::InjectRegFailure(emu::RegOp::Open, c.OpenError, 1);
            }
        });
        const int exit = ctl::Check();
        emu::SetCallHook({});
        EXPECT_EQ(exit, c.Finding.rfind("  OK", 0) == 0 ? 0 : 1);
        const std::vector<std::string> lines = Lines();
        const auto settings = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("settings key") != std::string::npos;
        });
        ASSERT_NE(settings, lines.end());
        const auto finding = c.KeyExists ? settings + 1 : settings;
        ASSERT_NE(finding, lines.end());
        EXPECT_EQ(finding->substr(0, c.Finding.size()), c.Finding) << *finding;
        // Only the key's own finding: nothing else about it when it is missing.
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) {
                                    return l.find("settings key") != std::string::npos;
                                }),
                  c.KeyExists ? 2 : 1);
    }
}

TEST_F(CtlTest, ConfigSaysDefaultForAnEmptyText) {
    emu::RegSetString(kKey, "Sync", "");
    emu::RegSetString(kKey, "MetricsFile", "C:\\m\\chronel.prom");
    ctl::Config();
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "  Sync            empty (default)"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "  MetricsFile     \"C:\\m\\chronel.prom\""),
              1);
}

// set refuses what is out of range, and set and config name the value the service would use
// instead, by the service's own rule.
TEST_F(CtlTest, SetAndConfigNameTheValueTheServiceWouldUse) {
    struct Case {
        const char* Name;
        const char* Typed;
        std::uint32_t Stored;
        const char* Used;
    };
    const Case cases[] = {
        {"DifErr", "5", 5, "10"},         {"SyncM", "20000", 20000, "15625"},
        {"SyncP", "-1", 0xFFFFFFFF, "0"}, {"IOADR", "4107", 4107, "4097"},
        {"SyncMode", "2", 2, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Name) + "=" + c.Typed);
        const ctl::SetDecision decision = ctl::DecideSet(c.Name, c.Typed);
        EXPECT_EQ(decision.Row, nullptr);
        EXPECT_NE(decision.Why.find(std::string("(the service would use ") + c.Used + ")"),
                  std::string::npos)
            << decision.Why;
        emu::RegSetDword(kKey, c.Name, c.Stored);
        EXPECT_EQ(ctl::CurrentSettingText(*FindSetting(c.Name)),
                  std::to_string(static_cast<std::int32_t>(c.Stored)) +
                      " (out of range: the service uses " + c.Used + ")");
    }
}

} // namespace
