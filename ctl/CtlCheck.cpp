// check: what an installation needs, each finding with what to do about it.
#include "ctl/Ctl.h"

#include "engine/ClockWatch.h"
#include "engine/EventLog.h"
#include "engine/RegistryDefault.h"
#include "engine/Settings.h"
#include "platform/Platform.h"
#include "service/InstallFolder.h"

#include <cctype>

namespace ctl {
namespace {

constexpr const char* kLibraryName = "TECORA32.DLL";
// Our simulated card library says so in its version resource; the card maker's does not.
constexpr const char* kProductNameBlock = "\\StringFileInfo\\040904B0\\ProductName";
constexpr const char* kSimulatedProductName = "Chronel simulated card";

enum class Verdict : std::uint8_t { Ok, Warn, Fail };

struct Tally {
    int Warnings = 0;
    int Failures = 0;
};

void Report(Tally& tally, Verdict verdict, const std::string& finding, const std::string& todo) {
    const char* mark = "  OK    ";
    if (verdict == Verdict::Warn) {
        mark = "  WARN  ";
        ++tally.Warnings;
    } else if (verdict == Verdict::Fail) {
        mark = "  FAIL  ";
        ++tally.Failures;
    }
    Out(mark + finding);
    if (!todo.empty()) {
        Out("        -> " + todo);
    }
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// LocalSystem and LocalService hold "Change the system time" on every Windows; any other
// account holds it only if an administrator granted it.
bool AccountHoldsTimePrivilege(const std::string& account) {
    const std::string a = Lower(account);
    return a.empty() || a == "localsystem" || a == ".\\localsystem" ||
           a == "nt authority\\system" || a == "nt authority\\localservice" ||
           a == "nt authority\\local service";
}

bool IsSimulatedLibrary(const std::string& path) {
    const std::uint32_t size = plat::GetFileVersionInfoSize(path.c_str());
    if (size == 0) {
        return false;
    }
    std::vector<std::uint8_t> buffer(size);
    std::string product;
    return plat::GetFileVersionInfo(path.c_str(), size, buffer) &&
           plat::VerQueryStringValue(buffer, kProductNameBlock, product) &&
           product == kSimulatedProductName;
}

void CheckService(Tally& tally, const ServiceFacts& service) {
    switch (service.State) {
    case ServiceState::Unreadable:
        Report(tally, Verdict::Fail, "the service controller cannot be asked",
               "run chronelctl on the PC itself, as a user who may query services");
        return;
    case ServiceState::NotInstalled:
        Report(tally, Verdict::Fail, std::string("service \"") + kServiceName + "\" not installed",
               "in an administrator console, in the folder of chronel.exe: chronel /install");
        return;
    default:
        break;
    }
    Report(tally, Verdict::Ok,
           std::string("service \"") + kServiceName + "\" installed: " + service.BinaryPath, "");
    if (service.State == ServiceState::Running) {
        Report(tally, Verdict::Ok, "service running", "");
    } else {
        std::string state = ServiceStateText(service.State);
        if (service.State == ServiceState::Stopped && service.ExitCode != 0) {
            state += ", exit code " + std::to_string(service.ExitCode);
        }
        Report(tally, Verdict::Fail, "service not running (" + state + ")",
               std::string("start it (net start ") + kServiceName +
                   "); the event log says why it stopped");
    }
    if (service.ConfigKnown && AccountHoldsTimePrivilege(service.Account)) {
        Report(tally, Verdict::Ok,
               "runs as " +
                   (service.Account.empty() ? std::string("LocalSystem") : service.Account) +
                   ", which may change the system time",
               "");
    } else if (service.ConfigKnown) {
        Report(tally, Verdict::Warn,
               "runs as " + service.Account + ", which may lack the right to change the time",
               "grant it \"Change the system time\" in the local security policy, or run the "
               "service as LocalSystem");
    }
}

void CheckLibrary(Tally& tally, const ServiceFacts& service) {
    if (!service.ConfigKnown) {
        return;
    }
    // The service finds the library beside itself first, then in the system folder.
    std::string library =
        plat::PathIn(plat::FolderOf(ExecutablePath(service.BinaryPath)), kLibraryName);
    if (!plat::FileExists(library.c_str())) {
        const std::string beside = library;
        library = plat::SystemDirectoryFor32Bit() + "\\" + kLibraryName;
        if (!plat::FileExists(library.c_str())) {
            Report(tally, Verdict::Fail, "no card library at " + beside,
                   "put the card maker's TECORA32.DLL beside chronel.exe (or into the system "
                   "folder for 32-bit programs) and restart the service");
            return;
        }
    }
    if (IsSimulatedLibrary(library)) {
        Report(tally, Verdict::Warn, "the card library at " + library + " is the simulated card",
               "it follows the PC's own clock; for the house timecode put the card maker's "
               "TECORA32.DLL in its place");
        return;
    }
    Report(tally, Verdict::Ok, "card library " + library, "");
}

void CheckFolderRights(Tally& tally, const ServiceFacts& service) {
    if (!service.ConfigKnown) {
        return;
    }
    if (std::string why; InstallFolderOpenToUsers(ExecutablePath(service.BinaryPath), why)) {
        Report(tally, Verdict::Warn, why + ", who could run code as SYSTEM through the service",
               "remove the write rights of ordinary users from the folder, or install it under "
               "Program Files");
        return;
    }
    Report(tally, Verdict::Ok, "only administrators may change the service's files", "");
}

void CheckRegistry(Tally& tally, const StatusValues& values) {
    const std::string key = std::string(kSettingsKeyRoot) + kSettingsKeyPath;
    if (!values.KeyOpen) {
        Report(tally, Verdict::Warn, "no settings key " + key,
               "the service creates it at its first start; chronelctl set creates it too");
        return;
    }
    Report(tally, Verdict::Ok,
           "settings key " + key +
               " in the 32-bit view (HKLM\\SOFTWARE\\WOW6432Node\\Tecora to 64-bit tools)",
           "");
    // Whoever may write the key has the service hard-set the clock, open the port they choose
    // and write the files they name, all as SYSTEM: it must be as tight as the install folder.
    std::vector<plat::FileAccessEntry> rights;
    if (!plat::GetRegistryKeyAccess(kSettingsKeyPath, rights)) {
        Report(tally, Verdict::Warn,
               "who may change the settings key cannot be read (error " +
                   std::to_string(plat::GetLastError()) + ")",
               "run chronelctl check as an administrator");
        return;
    }
    if (const std::string others = UntrustedWriters(rights); !others.empty()) {
        Report(tally, Verdict::Warn,
               "the settings key can be changed by " + others +
                   ", who could make the service set the clock, choose the card port and write "
                   "files as SYSTEM",
               "in regedit, Permissions of HKLM\\SOFTWARE\\WOW6432Node\\Tecora (on 32-bit Windows "
               "HKLM\\SOFTWARE\\Tecora): leave Full Control to Administrators and SYSTEM only, "
               "Read to the others");
        return;
    }
    Report(tally, Verdict::Ok, "only administrators may change the settings key", "");
}

void CheckRecovery(Tally& tally, const ServiceFacts& service) {
    if (service.State == ServiceState::Unreadable || service.State == ServiceState::NotInstalled) {
        return;
    }
    const std::string fix = std::string("sc failure ") + kServiceName +
                            " reset= 86400 actions= restart/60000/restart/120000/restart/300000, "
                            "then sc failureflag " +
                            kServiceName + " 1 (chronel /install sets both)";
    if (!service.RecoveryKnown) {
        Report(tally, Verdict::Warn, "restart after a failure could not be read back", fix);
        return;
    }
    if (const std::string problem = RecoveryProblem(service.Recovery); !problem.empty()) {
        Report(tally, Verdict::Warn, problem, fix);
        return;
    }
    Report(tally, Verdict::Ok,
           "the system restarts the service after a failure, a failed start included", "");
}

void CheckEventSource(Tally& tally, const ServiceFacts& service) {
    TRegistryDefault key;
    key.SetRootKeyLocalMachine();
    std::string file;
    if (key.OpenKey(kEventSourceKeyPath, false)) {
        try {
            file = key.ReadString("EventMessageFile");
        } catch (const RegistryError&) {
            file.clear();
        }
    }
    if (file.empty()) {
        // chronel /install registers the source only when it creates the service.
        Report(tally, Verdict::Warn, "event source \"QN_Chronel\" not registered",
               service.State == ServiceState::NotInstalled
                   ? "chronel /install registers it together with the service"
                   : "the event viewer shows the entries without their texts; in an "
                     "administrator console: chronel /remove, then chronel /install");
        return;
    }
    Report(tally, Verdict::Ok, "event source registered: " + file, "");
}

// By the service's own rule: a running time service that does not synchronise is no fight.
void CheckW32Time(Tally& tally) {
    switch (LookAtTimeService()) {
    case TimeServiceUse::Disciplines:
        Report(tally, Verdict::Warn, "the Windows Time service (W32Time) synchronises the clock",
               "it adjusts the clock too; stop and disable it (sc config W32Time start= "
               "disabled, then net stop W32Time), or stop it synchronising (w32tm /config "
               "/syncfromflags:NO /update)");
        return;
    case TimeServiceUse::RunningWithoutSync:
        Report(tally, Verdict::Ok,
               "the Windows Time service (W32Time) is running with its type NoSync: it leaves "
               "the clock alone",
               "");
        return;
    case TimeServiceUse::NotRunning:
        break;
    }
    Report(tally, Verdict::Ok,
           std::string("the Windows Time service is ") +
               ServiceStateText(QueryService("W32Time").State),
           "");
}

} // namespace

std::string RecoveryProblem(const plat::ServiceFailureActions& recovery) {
    bool restarts = false;
    for (const plat::ServiceAction& action : recovery.Actions) {
        restarts = restarts || action.Type == plat::kScActionRestart;
    }
    if (!restarts) {
        return "restart after a failure is not configured";
    }
    // The last action repeats for every further failure.
    if (recovery.Actions.back().Type != plat::kScActionRestart) {
        return "the system restarts the service only after its first " +
               std::to_string(recovery.Actions.size() - 1) + " failures";
    }
    if (!recovery.OnNonCrashFailures) {
        return "restart after a failure does not cover a failed start (exit code 1062)";
    }
    return {};
}

int Check() {
    Tally tally;
    const ServiceFacts service = QueryService(kServiceName);
    const StatusValues values = ReadStatusValues();
    CheckService(tally, service);
    CheckLibrary(tally, service);
    CheckFolderRights(tally, service);
    CheckRegistry(tally, values);
    CheckRecovery(tally, service);
    CheckEventSource(tally, service);
    CheckW32Time(tally);
    for (const std::string& finding : SplitLines(values.Warnings)) {
        Report(tally, Verdict::Warn, "the service reports: " + finding, "");
    }
    Out(std::to_string(tally.Failures) + (tally.Failures == 1 ? " failure, " : " failures, ") +
        std::to_string(tally.Warnings) + (tally.Warnings == 1 ? " warning" : " warnings"));
    if (service.State == ServiceState::Unreadable) {
        return kUnknown;
    }
    return tally.Failures > 0 ? kCritical : tally.Warnings > 0 ? kWarning : kOk;
}

} // namespace ctl
