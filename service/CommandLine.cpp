#include "service/CommandLine.h"

#include "TimeFunc/SystemInfo.h"
#include "engine/EventLog.h"
#include "platform/Platform.h"
#include "service/ServiceLifecycle.h"

#include <array>
#include <cstdint>
#include <string>

namespace {

constexpr const char* kDisplayName = "Quorlan Chronel Service";
constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
constexpr std::uint32_t kServiceAllAccess = 0xF01FF;
constexpr std::uint32_t kServiceAutoStart = 2;
constexpr std::uint32_t kServiceErrorNormal = 1;
constexpr std::uint32_t kModulePathSize = 512;
constexpr std::uint32_t kSettleMs = 1000;

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

// On 64-bit Windows service controller handles are pointers whose low half can look
// negative; null is the only failure value there. The 32-bit build keeps the rule that a
// handle is valid when it is positive as a signed 32-bit number.
bool ScHandleValid(plat::OsHandle handle) {
    if constexpr (sizeof(plat::OsHandle) > 4) {
        return handle != 0;
    } else {
        return plat::HandleValid(handle);
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
    // A path that filled the buffer was cut short; registering it would name another file.
    if (length == 0 || length >= kModulePathSize) {
        PrintLine("Unable to install QN_Chronel,GetModuleFileName Fail.");
        return;
    }
    const plat::OsHandle manager = plat::OpenSCManager(kScManagerAllAccess);
    if (!ScHandleValid(manager)) {
        PrintLine("Unable to install QN_Chronel,OpenSCManager Fail.");
        return;
    }

    plat::ServiceConfig config;
    config.Name = kServiceName;
    config.DisplayName = kDisplayName;
    config.DesiredAccess = kServiceAllAccess;
    config.ServiceType = plat::kServiceWin32OwnProcess;
    config.StartType = kServiceAutoStart;
    config.ErrorControl = kServiceErrorNormal;
    // Quoted: an unquoted path with blanks lets the controller run "C:\Program.exe" or the
    // like, which anyone able to write there could plant.
    config.BinaryPath = "\"" + std::string(path.data(), length) + "\"";

    const plat::OsHandle service = plat::CreateService(manager, config);
    if (!ScHandleValid(service)) {
        plat::CloseServiceHandle(manager);
        PrintLine("Unable to install QN_Chronel,CreateService Fail.");
        return;
    }
    PrintLine("Install Ok.");
    // Installed is installed: a start that fails shows in the event log and the controller.
    plat::StartService(service);
    plat::CloseServiceHandle(service);
    plat::CloseServiceHandle(manager);
}

void RemoveService() {
    const plat::OsHandle manager = plat::OpenSCManager(kScManagerAllAccess);
    if (!ScHandleValid(manager)) {
        PrintLine("OpenSCManager fail (" + SystemErrorText() + ").");
        return;
    }
    const plat::OsHandle service = plat::OpenService(manager, kServiceName, kServiceAllAccess);
    if (!ScHandleValid(service)) {
        PrintLine("OpenService fail (" + SystemErrorText() + ").");
        plat::CloseServiceHandle(manager);
        return;
    }

    // The controller's answers go into a record of our own: ServiceStatus belongs to the
    // service side of the program.
    plat::ServiceStatusRecord status;
    if (plat::ControlService(service, plat::kServiceControlStop, status)) {
        // WriteConsole is unbuffered, so each piece shows before the wait that follows it.
        plat::WriteConsole("Stopping Service ");
        plat::Sleep(kSettleMs);
        while (plat::QueryServiceStatus(service, status) &&
               status.CurrentState == plat::kServiceStopPending) {
            plat::WriteConsole(".");
            plat::Sleep(kSettleMs);
        }
        plat::WriteConsole("\r\n");
        if (status.CurrentState != plat::kServiceStopped) {
            plat::CloseServiceHandle(service);
            plat::CloseServiceHandle(manager);
            PrintLine("Service Stop Fail");
            return;
        }
        PrintLine("Service Stop Now");
    }

    if (plat::DeleteService(service)) {
        PrintLine("Service Uninstall Ok.");
    } else {
        PrintLine("DeleteService fail (" + SystemErrorText() + ").");
    }
    plat::CloseServiceHandle(service);
    plat::CloseServiceHandle(manager);
}

std::string SystemErrorText() {
    const std::uint32_t code = plat::GetLastError();
    std::string text;
    if (!plat::FormatSystemMessage(code, text) || text.empty()) {
        return "Unknown error " + std::to_string(code);
    }
    return text;
}
