// The executable's command line: help, install, remove and the service path, as a console
// shows them; the operating-system class and the setup program run after a removal.
#include "ServiceWorld.h"

#include "TimeFunc/SystemInfo.h"
#include "platform/emu/World.h"
#include "service/CommandLine.h"
#include "service/InstallFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using servicetest::ClockWithSystem;
using servicetest::EventTexts;

constexpr std::int64_t kMs = 10000;
constexpr const char* kNoService = "The specified service does not exist as an installed service.";
constexpr const char* kSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QN_Chronel";

// Runs the program with these arguments; the exit code, or -1 when it returned from main.
std::int64_t RunProgram(const std::vector<std::string>& args) {
    std::vector<std::string> storage = {"chronel.exe"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    try {
        ProcessCommandLine(static_cast<int>(storage.size()), argv.data());
    } catch (const emu::ProcessExit& exit) {
        return exit.Code;
    }
    return -1;
}

plat::ServiceConfig OurService() {
    plat::ServiceConfig config;
    config.Name = "QN_Chronel";
    config.DisplayName = "Quorlan Chronel Service";
    config.ServiceType = 16;
    config.StartType = 2;
    config.ErrorControl = 1;
    config.BinaryPath = "\"C:\\Program Files\\Quorlan\\chronel.exe\"";
    return config;
}

class CommandLine : public servicetest::ServiceHostTest {};

TEST_F(CommandLine, ChoosesThePathByTheFirstArgumentAlone) {
    const std::string help = "------------------------------------------------\r\n"
                             "Chronel usage help\r\n"
                             "------------------------------------------------\r\n"
                             "Chronel /install   to install the service\r\n"
                             "Chronel /remove    to uninstall the service\r\n"
                             "Chronel /?         to show this help\r\n";
    enum Path { Help, Install, Remove, Dispatcher };
    const struct {
        std::vector<std::string> Args;
        Path Expected;
    } cases[] = {
        {{"/?"}, Help},
        {{"/?", "/install"}, Help},
        {{"/install"}, Install},
        {{"/INSTALL"}, Install},
        {{"/InStAlL", "/remove"}, Install},
        {{"/remove"}, Remove},
        {{"/REMOVE"}, Remove},
        {{"/rEmOvE"}, Remove},
        {{}, Dispatcher},
        {{""}, Dispatcher},
        {{"/help"}, Dispatcher},
        {{"-?"}, Dispatcher},
        {{"?"}, Dispatcher},
        {{"/??"}, Dispatcher},
        {{"/? "}, Dispatcher},
        {{"/installx"}, Dispatcher},
        {{"/instal"}, Dispatcher},
        {{"install"}, Dispatcher},
        {{"-install"}, Dispatcher},
        {{" /install"}, Dispatcher},
        {{"/remov"}, Dispatcher},
        {{"/removes"}, Dispatcher},
        {{"/\xC4\xB1nstall"}, Dispatcher}, // a dotless i does not upper-case to I
        {{"/r\xC3\xA9move"}, Dispatcher},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args.empty() ? std::string("(none)") : c.Args[0]);
        servicetest::FreshProcess();
        const std::int64_t start = emu::TrueTime100ns();
        EXPECT_EQ(RunProgram(c.Args), 0);
        const std::string console = emu::ConsoleOutput();
        const std::int64_t waitedMs = (emu::TrueTime100ns() - start) / kMs;
        switch (c.Expected) {
        case Help:
            EXPECT_EQ(console, help);
            EXPECT_EQ(waitedMs, 0);
            break;
        case Install:
            EXPECT_EQ(console, "Install Ok.\r\n");
            EXPECT_EQ(waitedMs, 1000);
            break;
        case Remove:
            EXPECT_EQ(console, "OpenService fail (" + std::string(kNoService) + ").\r\n");
            EXPECT_EQ(waitedMs, 1000);
            break;
        case Dispatcher:
            EXPECT_EQ(console, "");
            break;
        }
        EXPECT_EQ(emu::DispatcherCalls(), c.Expected == Dispatcher ? 1 : 0);
        EXPECT_EQ(EventTexts(), c.Expected == Dispatcher
                                    ? std::vector<std::string>{"StartServiceCtrlDispatcher Error!"}
                                    : std::vector<std::string>{});
        EXPECT_EQ(emu::OpenServiceHandles(), 0);
    }
}

TEST_F(CommandLine, InstallRegistersAQuotedPathAndStartsTheService) {
    EXPECT_EQ(RunProgram({"/install"}), 0);
    const auto service = emu::FindService("QN_Chronel");
    ASSERT_TRUE(service.has_value());
    const plat::ServiceConfig& c = service->Config;
    const plat::ServiceConfig expected = OurService();
    EXPECT_EQ(c.Name, expected.Name);
    EXPECT_EQ(c.DisplayName, expected.DisplayName);
    EXPECT_EQ(c.DesiredAccess, 0xF01FFu);
    EXPECT_EQ(c.ServiceType, expected.ServiceType);
    EXPECT_EQ(c.StartType, expected.StartType);
    EXPECT_EQ(c.ErrorControl, expected.ErrorControl);
    EXPECT_EQ(c.BinaryPath, expected.BinaryPath);
    EXPECT_EQ(service->Status.CurrentState, plat::kServiceRunning);
    EXPECT_EQ(service->Description,
              "Keeps this PC's clock locked to the house timecode read from the timecode reader "
              "card.");
    ASSERT_TRUE(service->FailureActions.has_value());
    const plat::ServiceFailureActions& recovery = *service->FailureActions;
    EXPECT_EQ(recovery.ResetPeriodSeconds, 86400u);
    ASSERT_EQ(recovery.Actions.size(), 3u);
    const std::uint32_t delays[] = {60000, 120000, 300000};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(recovery.Actions[i].Type, plat::kScActionRestart);
        EXPECT_EQ(recovery.Actions[i].DelayMs, delays[i]);
    }
    EXPECT_TRUE(recovery.OnNonCrashFailures);
    EXPECT_EQ(emu::RegGetString(kSourceKey, "EventMessageFile"), emu::kDefaultModulePath);
    EXPECT_EQ(emu::RegGetDword(kSourceKey, "TypesSupported"), 7u);
}

TEST_F(CommandLine, InstallNamesTheStepThatFailed) {
    const struct {
        const char* Name;
        void (*Arrange)();
        std::string Console;
        bool Installed;
        std::uint32_t State; // of the service afterwards
    } cases[] = {
        {"module path", [] { emu::InjectModuleFileNameFailure(); },
         "Unable to install QN_Chronel,GetModuleFileName Fail.\r\n", false, 0},
        {"path cut short", [] { emu::SetModulePath("C:\\" + std::string(520, 'x') + ".exe"); },
         "Unable to install QN_Chronel,GetModuleFileName Fail.\r\n", false, 0},
        {"controller", [] { emu::InjectServiceFailure(emu::ServiceFail::OpenSCManager, 5); },
         "Unable to install QN_Chronel,OpenSCManager Fail.\r\n", false, 0},
        {"already there", [] { emu::AddService(OurService()); },
         "Unable to install QN_Chronel,CreateService Fail.\r\n", true, plat::kServiceStopped},
        {"start refused", [] { emu::InjectServiceFailure(emu::ServiceFail::StartService, 1053); },
         "Install Ok.\r\n", true, plat::kServiceStopped},
        // What follows the install only warns: the service is installed and started.
        {"configuration refused",
         [] { emu::InjectServiceFailure(emu::ServiceFail::ChangeServiceConfig2, 5); },
         "Install Ok.\r\nWarning: the service's description could not be set (Access is "
         "denied.).\r\nWarning: restart after a failure could not be set (Access is denied.); the "
         "system may not restart the service when it fails.\r\n",
         true, plat::kServiceRunning},
        {"event source refused",
         [] { emu::InjectRegFailure(emu::RegOp::Set, 5, 1, "", kSourceKey); },
         "Install Ok.\r\nWarning: the event source could not be registered (Access is denied.); "
         "Event Viewer will show the service's entries behind a note that their description "
         "cannot be found.\r\n",
         true, plat::kServiceRunning},
        {"folder open to users",
         [] {
             emu::SetFileAccess("C:\\Program Files\\Quorlan",
                                {{"S-1-5-11", "NT AUTHORITY\\Authenticated Users", true}});
         },
         "Install Ok.\r\nWarning: the folder \"C:\\Program Files\\Quorlan\" can be changed by NT "
         "AUTHORITY\\Authenticated Users, who could then run code as SYSTEM through the service. "
         "Install it under Program Files, or remove the write rights of ordinary users from the "
         "folder.\r\n",
         true, plat::kServiceRunning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        servicetest::FreshProcess();
        c.Arrange();
        EXPECT_EQ(RunProgram({"/install"}), 0);
        EXPECT_EQ(emu::ConsoleOutput(), c.Console);
        const auto service = emu::FindService("QN_Chronel");
        EXPECT_EQ(service.has_value(), c.Installed);
        if (service) {
            EXPECT_EQ(service->Status.CurrentState, c.State);
        }
        EXPECT_EQ(emu::OpenServiceHandles(), 0);
        EXPECT_TRUE(EventTexts().empty());
    }
}

TEST_F(CommandLine, RemoveStopsWithADotPerSecondThenDeletes) {
    const struct {
        const char* Name;
        std::uint32_t State;  // of the installed service; 0: not installed
        std::int64_t StopMs;  // how long its stop takes
        std::uint32_t EndsIn; // where its stop ends
        void (*Arrange)();
        std::string Console;
        bool Remains;
    } cases[] = {
        {"not running", plat::kServiceStopped, 0, plat::kServiceStopped, [] {},
         "Service Uninstall Ok.\r\n", false},
        {"stops at once", plat::kServiceRunning, 0, plat::kServiceStopped, [] {},
         "Stopping Service \r\nService Stop Now\r\nService Uninstall Ok.\r\n", false},
        {"stops within a second", plat::kServiceRunning, 999, plat::kServiceStopped, [] {},
         "Stopping Service \r\nService Stop Now\r\nService Uninstall Ok.\r\n", false},
        {"stops after 2.5 s", plat::kServiceRunning, 2500, plat::kServiceStopped, [] {},
         "Stopping Service ..\r\nService Stop Now\r\nService Uninstall Ok.\r\n", false},
        {"stop undone", plat::kServiceRunning, 1500, plat::kServiceRunning, [] {},
         "Stopping Service .\r\nService Stop Fail\r\n", true},
        {"status lost", plat::kServiceRunning, 5000, plat::kServiceStopped,
         [] { emu::InjectServiceFailure(emu::ServiceFail::QueryServiceStatus, 6); },
         "Stopping Service \r\nService Stop Fail\r\n", true},
        {"not installed", 0, 0, 0, [] {}, "OpenService fail (" + std::string(kNoService) + ").\r\n",
         false},
        {"controller refused", plat::kServiceStopped, 0, 0,
         [] { emu::InjectServiceFailure(emu::ServiceFail::OpenSCManager, 5); },
         "OpenSCManager fail (Access is denied.).\r\n", true},
        {"delete refused", plat::kServiceStopped, 0, 0,
         [] { emu::InjectServiceFailure(emu::ServiceFail::DeleteService, 1072); },
         "DeleteService fail (The specified service has been marked for deletion.).\r\n", true},
        {"error without text", plat::kServiceStopped, 0, 0,
         [] { emu::InjectServiceFailure(emu::ServiceFail::OpenService, 12345); },
         "OpenService fail (Unknown error 12345).\r\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        servicetest::FreshProcess();
        if (c.State != 0) {
            emu::AddService(OurService(), c.State);
            emu::RegSetDword(kSourceKey, "TypesSupported", 7);
        }
        emu::ScriptServiceStop(c.StopMs, c.EndsIn);
        c.Arrange();
        const std::int64_t start = emu::TrueTime100ns();
        EXPECT_EQ(RunProgram({"/remove"}), 0);
        EXPECT_EQ(emu::ConsoleOutput(), c.Console);
        EXPECT_EQ(emu::FindService("QN_Chronel").has_value(), c.Remains);
        EXPECT_EQ(emu::RegKeyExists(kSourceKey), c.Remains); // the event source goes with it
        EXPECT_EQ(emu::OpenServiceHandles(), 0);
        // Each piece of the progress line shows before the second it announces.
        for (const emu::ConsoleWrite& write : emu::ConsoleWrites()) {
            if (write.Text == ".") {
                EXPECT_EQ((write.TrueTime100ns - start) % (1000 * kMs), 0);
            }
        }
    }
}

TEST_F(CommandLine, InstallAndRemoveRunTheRealServiceInTheirOwnProcess) {
    emu::SetServiceProcess([] { RunProgram({}); });
    EXPECT_EQ(RunProgram({"/install"}), 0);
    EXPECT_EQ(emu::ConsoleOutput(), "Install Ok.\r\n");
    // The service comes up while the installer waits its second. RUNNING is reported before the
    // card is opened, so wait for the loop's own START too: a stop before it calls the start off.
    for (int i = 0;
         i < 5000 && (emu::CurrentServiceStatus().CurrentState != plat::kServiceRunning ||
                      EventTexts().empty());
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(emu::FindService("QN_Chronel")->Status.CurrentState, plat::kServiceRunning);

    EXPECT_EQ(RunProgram({"/remove"}), 0);
    EXPECT_EQ(emu::ConsoleOutput(), "Install Ok.\r\n"
                                    "Stopping Service \r\nService Stop Now\r\n"
                                    "Service Uninstall Ok.\r\n");
    EXPECT_TRUE(ClockWithSystem());
    EXPECT_FALSE(CardLink.IsOpen.load());
    emu::JoinServiceThreads();
    EXPECT_FALSE(emu::FindService("QN_Chronel").has_value());
    EXPECT_EQ(EventTexts(), (std::vector<std::string>{"START", "STOP"}));
    EXPECT_TRUE(ClockWithSystem());
    EXPECT_EQ(emu::OpenServiceHandles(), 0);
}

TEST_F(CommandLine, SystemErrorTextKeepsTheSystemsWordsOrSaysWhichCode) {
    plat::SetLastError(1060);
    EXPECT_EQ(SystemErrorText(), kNoService);
    emu::SetSystemMessage(1060, "First line.\r\n  Second line. \t\r\n");
    EXPECT_EQ(SystemErrorText(), "First line.\r\n  Second line.");
    emu::SetSystemMessage(1060, " \r\n");
    EXPECT_EQ(SystemErrorText(), "Unknown error 1060");
    emu::SetSystemMessage(1060, "");
    EXPECT_EQ(SystemErrorText(), "Unknown error 1060");
    plat::SetLastError(0xFFFFFFFFu);
    EXPECT_EQ(SystemErrorText(), "Unknown error 4294967295");
}

TEST_F(CommandLine, InstallFolderIsOpenWhenAnyoneButTheTrustedMayChangeIt) {
    using Entries = std::vector<plat::FileAccessEntry>;
    const Entries trusted = {
        {"S-1-5-32-544", "BUILTIN\\Administrators", true},
        {"S-1-5-18", "NT AUTHORITY\\SYSTEM", true},
        {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
         "NT SERVICE\\TrustedInstaller", true},
        {"S-1-3-0", "CREATOR OWNER", true},
        {"S-1-5-32-545", "BUILTIN\\Users", false},
        {"S-1-1-0", "Everyone", false},
    };
    const struct {
        const char* Name;
        std::string Exe;
        std::string Object; // whose rights the case sets; the rest are left as the world has them
        Entries Rights;
        std::uint32_t Error;
        std::string Why;
    } cases[] = {
        {"only the trusted", "C:\\Chronel\\chronel.exe", "C:\\Chronel", trusted, 0, ""},
        {"users may change the folder",
         "C:\\Chronel\\chronel.exe",
         "C:\\Chronel",
         {{"S-1-5-32-545", "BUILTIN\\Users", true}, {"S-1-1-0", "Everyone", true}},
         0,
         "the folder \"C:\\Chronel\" can be changed by BUILTIN\\Users, Everyone"},
        {"a user without a name may change the program",
         "C:\\Chronel\\chronel.exe",
         "C:\\Chronel\\chronel.exe",
         {{"S-1-5-21-1-2-3-1001", "", true}},
         0,
         "the program \"C:\\Chronel\\chronel.exe\" can be changed by S-1-5-21-1-2-3-1001"},
        {"a program in a drive's root",
         "C:\\chronel.exe",
         "C:\\TECORA32.DLL",
         {{"S-1-5-11", "NT AUTHORITY\\Authenticated Users", true}},
         0,
         "the card library \"C:\\TECORA32.DLL\" can be changed by NT AUTHORITY\\Authenticated "
         "Users"},
        {"no card library", "C:\\Chronel\\chronel.exe", "C:\\Chronel\\TECORA32.DLL", {}, 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        servicetest::FreshProcess();
        emu::SetFileAccess(c.Object, c.Rights, c.Error);
        std::string why = "stale";
        EXPECT_EQ(InstallFolderOpenToUsers(c.Exe, why), !c.Why.empty());
        EXPECT_EQ(why, c.Why);
    }
}

TEST_F(CommandLine, OsVersionClassFollowsPlatformAndVersion) {
    const struct {
        std::uint32_t Platform, Major, Minor;
        std::uint8_t Class;
    } cases[] = {
        {0, 3, 10, 1}, {1, 4, 0, 2},           {1, 3, 95, 2},          {1, 4, 10, 3},
        {1, 4, 90, 3}, {1, 5, 0, 3},           {1, 4, 0xFFFFFFFFu, 2}, {1, 0x80000000u, 0, 2},
        {2, 3, 51, 4}, {2, 4, 0, 5},           {2, 4, 99, 5},          {2, 5, 0, 6},
        {2, 10, 0, 6}, {2, 0x80000000u, 0, 4}, {3, 10, 0, 0},          {0xFFFFFFFFu, 4, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Platform) + " " + std::to_string(c.Major) + "." +
                     std::to_string(c.Minor));
        emu::SetOsVersion({c.Major, c.Minor, 0, c.Platform});
        EXPECT_EQ(OsVersionClass(), c.Class);
    }
    emu::InjectProcessFailure(emu::ProcessFail::GetVersionEx, 87);
    EXPECT_EQ(OsVersionClass(), 0);
}

TEST_F(CommandLine, SetupRunsOnlyOnItsSystemClassAndOnlyAsAFile) {
    const struct {
        const char* Name;
        std::uint32_t Major;  // on platform 2: 4 gives class 5, 5 gives class 6
        bool File, Directory; // "setup.exe" in the current directory
        bool Starts;
        std::uint32_t ExitCode;
        bool Runs, Result;
    } cases[] = {
        {"class 5 ends well", 4, true, false, true, 0, true, true},
        {"class 5 ends badly", 4, true, false, true, 3, true, false},
        {"class 5 cannot start", 4, true, false, false, 0, true, false},
        {"class 5 no file", 4, false, false, true, 0, false, true},
        {"class 5 a directory", 4, false, true, true, 0, false, true},
        {"class 6", 5, true, false, true, 3, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        servicetest::FreshProcess();
        emu::SetOsVersion({c.Major, 0, 1381, 2});
        if (c.File) {
            emu::PutFile("SETUP.EXE", "");
        }
        if (c.Directory) {
            emu::AddFolder("setup.exe");
        }
        emu::SetProcessResult(c.Starts, c.ExitCode);
        EXPECT_EQ(RunSetup("remove"), c.Result);
        EXPECT_EQ(emu::ProcessesRun(), c.Runs ? std::vector<std::string>{"setup.exe remove"}
                                              : std::vector<std::string>{});
    }
    // After a removal, whatever became of it.
    servicetest::FreshProcess();
    emu::SetOsVersion({4, 0, 1381, 2});
    emu::PutFile("setup.exe", "");
    EXPECT_EQ(RunProgram({"/remove"}), 0);
    EXPECT_EQ(emu::ProcessesRun(), std::vector<std::string>{"setup.exe remove"});
}

TEST_F(CommandLine, ADispatcherThatCannotStartEndsTheProcessQuietly) {
    emu::SetStartedByController(true);
    emu::InjectServiceFailure(emu::ServiceFail::Dispatcher, 1063);
    try {
        RunServiceDispatcher();
        ADD_FAILURE() << "the process went on";
    } catch (const emu::ProcessExit& exit) {
        EXPECT_EQ(exit.Code, 0u);
    }
    EXPECT_EQ(EventTexts(), std::vector<std::string>{"StartServiceCtrlDispatcher Error!"});
    EXPECT_EQ(emu::ConsoleOutput(), "");
}

} // namespace
