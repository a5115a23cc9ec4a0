#include "service/CommandLine.h"

#include "TimeFunc/SystemInfo.h"
#include "engine/EventLog.h"
#include "platform/Platform.h"
#include "service/InstallFolder.h"
#include "service/ServiceLifecycle.h"

#include <array>
#include <cstdint>
#include <string>

namespace {

constexpr const char* kDisplayName = "Quorlan Chronel Service";
constexpr std::uint32_t kModulePathSize = 512;
constexpr std::uint32_t kSettleMs = 1000;
constexpr const char* kDescription =
    "Keeps this PC's clock locked to the house timecode read from the timecode reader card.";
constexpr std::uint32_t kResetFailuresAfterS = 86400;
constexpr std::uint32_t kEventTypesSupported = 7; // error, warning, information

constexpr std::array<const char*, 6> kHelpText = {
    "------------------------------------------------", "Chronel usage help",
    "------------------------------------------------", "Chronel /install   to install the service",
    "Chronel /remove    to uninstall the service",      "Chronel /?         to show this help",
};

void PrintLine(const std::string& line) {
    plat::WriteConsole(line + "\r\n");
}

// Only a to z change, so no locale can make another spelling match.
std::string UpperAsciiLetters(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::string EventSourceKey() {
    return std::string(kEventSourceKeyPath).substr(1); // without the leading backslash
}

// Names the program as the message file of the service's event source, so that Event Viewer
// shows each entry's text instead of a note that its description cannot be found.
long RegisterEventSourceKey(const std::string& exePath) {
    plat::RegKey key;
    long rc = plat::RegCreateKey(EventSourceKey(), key);
    if (rc == plat::kRegErrorSuccess) {
        rc = plat::RegSetValue(key, "EventMessageFile", plat::RegType::Sz, exePath.c_str(),
                               exePath.size() + 1);
    }
    if (rc == plat::kRegErrorSuccess) {
        rc = plat::RegSetValue(key, "TypesSupported", plat::RegType::Dword, &kEventTypesSupported,
                               sizeof kEventTypesSupported);
    }
    return rc;
}

// A start that fails (the card's driver not ready at boot, the card briefly gone) ends with a
// non-zero exit code rather than a crash, so the restarts must apply to both.
bool ConfigureRecovery(plat::OsHandle service) {
    plat::ServiceFailureActions recovery;
    recovery.ResetPeriodSeconds = kResetFailuresAfterS;
    recovery.Actions = {{plat::kScActionRestart, 60000},
                        {plat::kScActionRestart, 120000},
                        {plat::kScActionRestart, 300000}};
    recovery.OnNonCrashFailures = true;
    return plat::ChangeServiceFailureActions(service, recovery);
}

// The service is installed by then: what follows only improves it, so each failure is a
// warning and the install stands.
void ConfigureInstalledService(plat::OsHandle service, const std::string& exePath) {
    if (!plat::ChangeServiceDescription(service, kDescription)) {
        PrintLine("Warning: the service's description could not be set (" + SystemErrorText() +
                  ").");
    }
    if (!ConfigureRecovery(service)) {
        PrintLine("Warning: restart after a failure could not be set (" + SystemErrorText() +
                  "); the system may not restart the service when it fails.");
    }
    if (const long rc = RegisterEventSourceKey(exePath); rc != plat::kRegErrorSuccess) {
        plat::SetLastError(static_cast<std::uint32_t>(rc));
        PrintLine("Warning: the event source could not be registered (" + SystemErrorText() +
                  "); Event Viewer will show the service's entries behind a note that their "
                  "description cannot be found.");
    }
    if (std::string why; InstallFolderOpenToUsers(exePath, why)) {
        PrintLine("Warning: " + why +
                  ", who could then run code as SYSTEM through the service. Install it under "
                  "Program Files, or remove the write rights of ordinary users from the folder.");
    }
}

} // namespace

void ProcessCommandLine(int argc, char** argv) {
    if (argc > 1 && argv != nullptr && argv[1] != nullptr) {
        const std::string first = argv[1];
        if (first == "/?") {
            for (const char* line : kHelpText) {
                PrintLine(line);
            }
            plat::ExitProcess(0);
        }
        const std::string upper = UpperAsciiLetters(first);
        if (upper == "/INSTALL") {
            InstallService();
            plat::Sleep(kSettleMs);
            plat::ExitProcess(0);
        }
        if (upper == "/REMOVE") {
            RemoveService();
            plat::Sleep(kSettleMs);
            RunSetup("remove"); // whatever the removal achieved; its result changes nothing here
            plat::ExitProcess(0);
        }
    }
    RunServiceDispatcher();
}

void InstallService() {
    std::array<char, kModulePathSize> path{};
    const std::uint32_t length = plat::GetModuleFileName(path.data(), kModulePathSize);
    const std::string exePath(path.data(), length);
    // A path that filled the buffer was cut short; registering it would name another file.
    if (length == 0 || length >= kModulePathSize) {
        PrintLine("Unable to install QN_Chronel,GetModuleFileName Fail.");
        return;
    }
    const plat::ServiceHandle manager(plat::OpenSCManager(plat::kScManagerAllAccess));
    if (!manager.valid()) {
        PrintLine("Unable to install QN_Chronel,OpenSCManager Fail.");
        return;
    }

    plat::ServiceConfig config;
    config.Name = kServiceName;
    config.DisplayName = kDisplayName;
    config.DesiredAccess = plat::kServiceAllAccess;
    config.ServiceType = plat::kServiceWin32OwnProcess;
    config.StartType = plat::kServiceAutoStart;
    config.ErrorControl = plat::kServiceErrorNormal;
    // Quoted: an unquoted path with blanks lets the controller run "C:\Program.exe" or the
    // like, which anyone able to write there could plant.
    config.BinaryPath = "\"" + exePath + "\"";

    const plat::ServiceHandle service(plat::CreateService(manager.get(), config));
    if (!service.valid()) {
        PrintLine("Unable to install QN_Chronel,CreateService Fail.");
        return;
    }
    PrintLine("Install Ok.");
    ConfigureInstalledService(service.get(), exePath);
    // Installed is installed: a start that fails shows in the event log and the controller.
    plat::StartService(service.get());
}

void RemoveService() {
    const plat::ServiceHandle manager(plat::OpenSCManager(plat::kScManagerAllAccess));
    if (!manager.valid()) {
        PrintLine("OpenSCManager fail (" + SystemErrorText() + ").");
        return;
    }
    const plat::ServiceHandle service(
        plat::OpenService(manager.get(), kServiceName, plat::kServiceAllAccess));
    if (!service.valid()) {
        PrintLine("OpenService fail (" + SystemErrorText() + ").");
        return;
    }

    // The controller's answers go into a record of our own: ServiceStatus belongs to the
    // service side of the program.
    plat::ServiceStatusRecord status;
    if (plat::ControlService(service.get(), plat::kServiceControlStop, status)) {
        // WriteConsole is unbuffered, so each piece shows before the wait that follows it.
        plat::WriteConsole("Stopping Service ");
        plat::Sleep(kSettleMs);
        while (plat::QueryServiceStatus(service.get(), status) &&
               status.CurrentState == plat::kServiceStopPending) {
            plat::WriteConsole(".");
            plat::Sleep(kSettleMs);
        }
        plat::WriteConsole("\r\n");
        if (status.CurrentState != plat::kServiceStopped) {
            PrintLine("Service Stop Fail");
            return;
        }
        PrintLine("Service Stop Now");
    }

    if (plat::DeleteService(service.get())) {
        PrintLine("Service Uninstall Ok.");
        // Gone already is as good as removed.
        if (const long rc = plat::RegDeleteKey(EventSourceKey());
            rc != plat::kRegErrorSuccess && rc != plat::kRegErrorFileNotFound) {
            plat::SetLastError(static_cast<std::uint32_t>(rc));
            PrintLine("Warning: the event source could not be removed (" + SystemErrorText() +
                      ").");
        }
    } else {
        PrintLine("DeleteService fail (" + SystemErrorText() + ").");
    }
}

std::string SystemErrorText() {
    return plat::SystemMessageLine(plat::GetLastError());
}
