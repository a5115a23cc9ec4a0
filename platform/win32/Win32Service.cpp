// Service controller, service dispatcher and event log on Win32.
#include "platform/Platform.h"

#include "platform/win32/Win32Api.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

static_assert(sizeof(SERVICE_STATUS) == sizeof(ServiceStatusRecord));
static_assert(offsetof(SERVICE_STATUS, dwControlsAccepted) ==
              offsetof(ServiceStatusRecord, ControlsAccepted));
static_assert(offsetof(SERVICE_STATUS, dwWaitHint) == offsetof(ServiceStatusRecord, WaitHint));

namespace {

SERVICE_STATUS ToWin(const ServiceStatusRecord& r) {
    return SameLayout<SERVICE_STATUS>(r);
}
ServiceStatusRecord FromWin(const SERVICE_STATUS& s) {
    return SameLayout<ServiceStatusRecord>(s);
}

// The dispatcher and the controller call back through fixed-signature entries; these hold
// the functions the program registered. The main thread stores the main before dispatching,
// ServiceMain's thread the handler; the dispatcher's threads read them.
std::atomic<ServiceMainFn> RegisteredMain{nullptr};
std::atomic<ServiceHandlerFn> RegisteredHandler{nullptr};

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
    if (ServiceMainFn main = RegisteredMain.load(); main != nullptr) {
        main(argc, argv);
    }
}

void WINAPI ServiceHandlerEntry(DWORD control) {
    if (ServiceHandlerFn handler = RegisteredHandler.load(); handler != nullptr) {
        handler(control);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Event log

// The program takes an event-source handle for valid only when it is positive as a signed
// 32-bit number. The system's handles need not be: some systems hand out values in the upper
// half, and a 64-bit handle cut to 32 bits can look like anything. So the program is given a
// small positive number standing for the system's handle, and the real handle never leaves
// this file.
namespace {

constexpr std::size_t kMaxEventSources = 64;
constexpr OsHandle kFirstSourceNumber = 0x100;

// The open event sources, by number: registered and closed by any thread, under SourcesLock.
std::mutex SourcesLock;
std::array<HANDLE, kMaxEventSources> Sources{};

HANDLE SourceFor(OsHandle number) {
    const OsHandle index = number - kFirstSourceNumber;
    if (index < 0 || index >= static_cast<OsHandle>(kMaxEventSources)) {
        return nullptr;
    }
    const std::lock_guard<std::mutex> guard(SourcesLock);
    return Sources[static_cast<std::size_t>(index)];
}

} // namespace

OsHandle RegisterEventSource(const char* sourceName) {
    HANDLE source = ::RegisterEventSourceA(nullptr, sourceName);
    if (source == nullptr) {
        return 0;
    }
    {
        const std::lock_guard<std::mutex> guard(SourcesLock);
        for (std::size_t i = 0; i < kMaxEventSources; ++i) {
            if (Sources[i] == nullptr) {
                Sources[i] = source;
                return kFirstSourceNumber + static_cast<OsHandle>(i);
            }
        }
    }
    ::DeregisterEventSource(source);
    ::SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return 0;
}

bool ReportEvent(OsHandle source, std::uint16_t type, std::uint16_t category, std::uint32_t eventId,
                 const char* text) {
    HANDLE handle = SourceFor(source);
    if (handle == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const char* strings[1] = {text};
    return ::ReportEventA(handle, type, category, eventId, nullptr, 1, 0, strings, nullptr) !=
           FALSE;
}

bool DeregisterEventSource(OsHandle source) {
    HANDLE handle = nullptr;
    const OsHandle index = source - kFirstSourceNumber;
    if (index >= 0 && index < static_cast<OsHandle>(kMaxEventSources)) {
        const std::lock_guard<std::mutex> guard(SourcesLock);
        handle = Sources[static_cast<std::size_t>(index)];
        Sources[static_cast<std::size_t>(index)] = nullptr;
    }
    if (handle == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::DeregisterEventSource(handle) != FALSE;
}

// ---------------------------------------------------------------------------
// Service dispatcher and status

bool StartServiceCtrlDispatcher(const char* serviceName, ServiceMainFn main) {
    // Filled by the main thread before the dispatcher reads them; they outlive the call.
    static char name[257];
    static SERVICE_TABLE_ENTRYA table[2];
    std::strncpy(name, serviceName, sizeof name - 1);
    RegisteredMain.store(main);
    table[0].lpServiceName = name;
    table[0].lpServiceProc = ServiceMainEntry;
    table[1].lpServiceName = nullptr;
    table[1].lpServiceProc = nullptr;
    return ::StartServiceCtrlDispatcherA(table) != FALSE;
}

OsHandle RegisterServiceCtrlHandler(const char* serviceName, ServiceHandlerFn handler) {
    RegisteredHandler.store(handler);
    return reinterpret_cast<OsHandle>(
        ::RegisterServiceCtrlHandlerA(serviceName, ServiceHandlerEntry));
}

bool SetServiceStatus(OsHandle statusHandle, const ServiceStatusRecord& status) {
    SERVICE_STATUS s = ToWin(status);
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &s) != FALSE;
}

// ---------------------------------------------------------------------------
// Service controller

OsHandle OpenSCManager(std::uint32_t access) {
    return AsOs(::OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, access));
}

OsHandle CreateService(OsHandle scm, const ServiceConfig& config) {
    return AsOs(::CreateServiceA(
        AsWin<SC_HANDLE>(scm), config.Name.c_str(), config.DisplayName.c_str(),
        config.DesiredAccess, config.ServiceType, config.StartType, config.ErrorControl,
        config.BinaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

bool StartService(OsHandle service) {
    return ::StartServiceA(AsWin<SC_HANDLE>(service), 0, nullptr) != FALSE;
}

OsHandle OpenService(OsHandle scm, const char* name, std::uint32_t access) {
    return AsOs(::OpenServiceA(AsWin<SC_HANDLE>(scm), name, access));
}

bool ControlService(OsHandle service, std::uint32_t control, ServiceStatusRecord& status) {
    // The system writes into the caller's record as it sees fit, also on some failures.
    SERVICE_STATUS s = ToWin(status);
    const BOOL ok = ::ControlService(AsWin<SC_HANDLE>(service), control, &s);
    status = FromWin(s);
    return ok != FALSE;
}

bool QueryServiceStatus(OsHandle service, ServiceStatusRecord& status) {
    // The system writes into the caller's record as it sees fit, also on some failures.
    SERVICE_STATUS s = ToWin(status);
    const BOOL ok = ::QueryServiceStatus(AsWin<SC_HANDLE>(service), &s);
    status = FromWin(s);
    return ok != FALSE;
}

bool DeleteService(OsHandle service) {
    return ::DeleteService(AsWin<SC_HANDLE>(service)) != FALSE;
}

bool QueryServiceConfig(OsHandle service, InstalledServiceConfig& config) {
    DWORD needed = 0;
    ::QueryServiceConfigA(AsWin<SC_HANDLE>(service), nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    // Kept as DWORDs so that the record's alignment holds.
    std::vector<DWORD> buffer((needed + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* info = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (::QueryServiceConfigA(AsWin<SC_HANDLE>(service), info,
                              static_cast<DWORD>(buffer.size() * sizeof(DWORD)),
                              &needed) == FALSE) {
        return false;
    }
    config.BinaryPath = info->lpBinaryPathName != nullptr ? info->lpBinaryPathName : "";
    config.Account = info->lpServiceStartName != nullptr ? info->lpServiceStartName : "";
    config.StartType = info->dwStartType;
    return true;
}

bool QueryServiceFailureActions(OsHandle service, ServiceFailureActions& actions) {
    const auto handle = AsWin<SC_HANDLE>(service);
    DWORD needed = 0;
    ::QueryServiceConfig2A(handle, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    // Kept as pointer-sized words so that the record's alignment holds.
    std::vector<void*> buffer((needed + sizeof(void*) - 1) / sizeof(void*));
    auto* info = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
    if (::QueryServiceConfig2A(
            handle, SERVICE_CONFIG_FAILURE_ACTIONS, reinterpret_cast<BYTE*>(buffer.data()),
            static_cast<DWORD>(buffer.size() * sizeof(void*)), &needed) == FALSE) {
        return false;
    }
    actions = ServiceFailureActions{};
    actions.ResetPeriodSeconds = info->dwResetPeriod;
    for (DWORD i = 0; i < info->cActions && info->lpsaActions != nullptr; ++i) {
        actions.Actions.push_back(ServiceAction{
            static_cast<std::uint32_t>(info->lpsaActions[i].Type), info->lpsaActions[i].Delay});
    }
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    if (::QueryServiceConfig2A(handle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                               reinterpret_cast<BYTE*>(&flag), sizeof flag, &needed) != FALSE) {
        actions.OnNonCrashFailures = flag.fFailureActionsOnNonCrashFailures != FALSE;
    }
    return true;
}

bool CloseServiceHandle(OsHandle handle) {
    return ::CloseServiceHandle(AsWin<SC_HANDLE>(handle)) != FALSE;
}

bool ChangeServiceDescription(OsHandle service, const std::string& description) {
    std::string text = description;
    SERVICE_DESCRIPTIONA info{};
    info.lpDescription = text.data();
    return ::ChangeServiceConfig2A(AsWin<SC_HANDLE>(service), SERVICE_CONFIG_DESCRIPTION, &info) !=
           FALSE;
}

bool ChangeServiceFailureActions(OsHandle service, const ServiceFailureActions& actions) {
    std::vector<SC_ACTION> list;
    for (const ServiceAction& action : actions.Actions) {
        list.push_back(SC_ACTION{static_cast<SC_ACTION_TYPE>(action.Type), action.DelayMs});
    }
    SERVICE_FAILURE_ACTIONSA info{};
    info.dwResetPeriod = actions.ResetPeriodSeconds;
    info.cActions = static_cast<DWORD>(list.size());
    info.lpsaActions = list.empty() ? nullptr : list.data();
    if (::ChangeServiceConfig2A(AsWin<SC_HANDLE>(service), SERVICE_CONFIG_FAILURE_ACTIONS, &info) ==
        FALSE) {
        return false;
    }
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    flag.fFailureActionsOnNonCrashFailures = actions.OnNonCrashFailures ? TRUE : FALSE;
    return ::ChangeServiceConfig2A(AsWin<SC_HANDLE>(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                   &flag) != FALSE;
}

} // namespace plat
