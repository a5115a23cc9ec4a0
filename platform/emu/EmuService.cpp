#include "platform/emu/EmuService.h"

#include "platform/emu/World.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace emu {
namespace {

// SERVICE_ACCEPT_* bit that a control needs.
std::uint32_t AcceptBitFor(std::uint32_t control) {
    switch (control) {
    case plat::kServiceControlStop:
        return 1;
    case 2: // pause
    case 3: // continue
        return 2;
    case plat::kServiceControlShutdown:
        return 4;
    default:
        return 0x10000; // nothing this emulation offers
    }
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

struct Injected {
    std::uint32_t Error = 0;
    int Count = 0; // < 0: every call
};

struct PostedControl {
    std::uint32_t Control = 0;
    std::shared_ptr<bool> Done;
};

struct ScmService {
    ServiceEntry Entry;
    bool InProcess = false;       // started as an in-process service process
    std::int64_t StopDoneAt = -1; // scripted: true time at which STOP_PENDING ends
};

struct State {
    std::mutex Lock;
    std::condition_variable Changed;

    std::map<ServiceFail, Injected> Failures;
    std::map<std::size_t, std::uint32_t> FailedReports;

    // dispatcher
    bool StartedByController = false;
    bool DispatcherActive = false;
    std::string DispatcherService;
    int DispatcherCallCount = 0;
    bool StoppedReported = false;
    bool ServiceMainEnded = false;
    int HandlersInFlight = 0;
    std::deque<PostedControl> Posted;
    plat::ServiceHandlerFn Handler = nullptr;
    plat::OsHandle StatusHandle = 0;
    plat::OsHandle NextStatusHandle = 0x3000;
    std::vector<StatusReport> Reports;
    plat::ServiceStatusRecord Current;
    std::vector<std::thread> Threads;

    // database
    std::map<std::string, ScmService> Services; // by lower-case name
    std::map<plat::OsHandle, std::string> ServiceHandles;
    std::map<plat::OsHandle, bool> ManagerHandles;
    plat::OsHandle NextHandle = 0x1000;
    std::function<void()> ProcessEntry;
    std::int64_t ScriptedStopDelayMs = 0;
    std::uint32_t ScriptedFinalState = plat::kServiceStopped;
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
State& S() {
    static State state;
    return state;
}

// Each thread its own: set on the threads the emulated controller starts.
thread_local bool tlsServiceThread = false;
thread_local bool tlsStartedByController = false;

// Under the lock: whether this call is to fail, and with which code.
bool TakeFailure(State& s, ServiceFail what, std::uint32_t& error) {
    auto it = s.Failures.find(what);
    if (it == s.Failures.end() || it->second.Count == 0) {
        return false;
    }
    error = it->second.Error;
    if (it->second.Count > 0) {
        --it->second.Count;
    }
    return true;
}

// Under the lock: brings a scripted stop up to the present.
void SettleScripted(ScmService& service) {
    if (service.InProcess || service.StopDoneAt < 0) {
        return;
    }
    if (TrueTime100ns() >= service.StopDoneAt) {
        service.StopDoneAt = -1;
        service.Entry.Status.CurrentState = S().ScriptedFinalState;
        service.Entry.Status.CheckPoint = 0;
        service.Entry.Status.ControlsAccepted =
            S().ScriptedFinalState == plat::kServiceStopped ? 0u : 5u;
    }
}

// Under the lock: the service a handle refers to, or null; `settle` brings a scripted stop up
// to the present first.
ScmService* ServiceOf(State& s, plat::OsHandle service, bool settle) {
    const auto handle = s.ServiceHandles.find(service);
    if (handle == s.ServiceHandles.end()) {
        return nullptr;
    }
    const auto it = s.Services.find(handle->second);
    if (it == s.Services.end()) {
        return nullptr;
    }
    if (settle) {
        SettleScripted(it->second);
    }
    return &it->second;
}

// Under the lock: a service marked for deletion goes once it is stopped and no handle refers
// to it.
void RemoveIfDeleted(State& s, const std::string& key) {
    auto it = s.Services.find(key);
    if (it == s.Services.end() || !it->second.Entry.MarkedForDelete) {
        return;
    }
    SettleScripted(it->second);
    if (it->second.Entry.Status.CurrentState != plat::kServiceStopped &&
        it->second.Entry.Status.CurrentState != 0) {
        return;
    }
    for (const auto& [handle, name] : s.ServiceHandles) {
        if (name == key) {
            return;
        }
    }
    s.Services.erase(it);
}

// Under the lock: why the controller would not deliver this control now (0: it would).
std::uint32_t Refusal(const State& s, std::uint32_t control) {
    if (s.Handler == nullptr || s.Current.CurrentState == plat::kServiceStopped) {
        return kErrorServiceNotActive;
    }
    if (control == plat::kServiceControlInterrogate) {
        return 0;
    }
    if (s.Current.ControlsAccepted == 0) {
        return kErrorServiceCannotAcceptCtrl;
    }
    if ((s.Current.ControlsAccepted & AcceptBitFor(control)) == 0) {
        return kErrorInvalidServiceControl;
    }
    return 0;
}

void RunHandler(plat::ServiceHandlerFn handler, std::uint32_t control) {
    handler(control);
    State& s = S();
    const std::lock_guard<std::mutex> lock(s.Lock);
    --s.HandlersInFlight;
    s.Changed.notify_all();
}

// Runs a service process's entry the way a process runs main: an ExitProcess ends it.
void RunServiceProcess(const std::function<void()>& entry, const std::string& key) {
    tlsStartedByController = true;
    try {
        entry();
    } catch (const ProcessExit&) {
        // the process has ended
    }
    State& s = S();
    const std::lock_guard<std::mutex> lock(s.Lock);
    auto it = s.Services.find(key);
    if (it != s.Services.end() && it->second.InProcess) {
        it->second.Entry.Status.CurrentState = plat::kServiceStopped;
        it->second.Entry.Status.ControlsAccepted = 0;
        it->second.Entry.Status.CheckPoint = 0;
        it->second.InProcess = false;
        RemoveIfDeleted(s, key);
    }
    s.Changed.notify_all();
}

void Reset() {
    JoinServiceThreads();
    State& s = S();
    const std::lock_guard<std::mutex> lock(s.Lock);
    s.Failures.clear();
    s.FailedReports.clear();
    s.StartedByController = false;
    s.DispatcherActive = false;
    s.DispatcherService.clear();
    s.DispatcherCallCount = 0;
    s.StoppedReported = false;
    s.ServiceMainEnded = false;
    s.HandlersInFlight = 0;
    s.Posted.clear();
    s.Handler = nullptr;
    s.StatusHandle = 0;
    s.NextStatusHandle = 0x3000;
    s.Reports.clear();
    s.Current = {};
    s.Services.clear();
    s.ServiceHandles.clear();
    s.ManagerHandles.clear();
    s.NextHandle = 0x1000;
    s.ProcessEntry = nullptr;
    s.ScriptedStopDelayMs = 0;
    s.ScriptedFinalState = plat::kServiceStopped;
}

const detail::ResetRegistration registration(&Reset);

} // namespace

// --- control API ------------------------------------------------------------------------------

void InjectServiceFailure(ServiceFail what, std::uint32_t errorCode, int count) {
    const std::lock_guard<std::mutex> lock(S().Lock);
    S().Failures[what] = Injected{errorCode, count};
}

void FailStatusReportAt(std::size_t index, std::uint32_t errorCode) {
    const std::lock_guard<std::mutex> lock(S().Lock);
    S().FailedReports[index] = errorCode;
}

void SetStartedByController(bool started) {
    const std::lock_guard<std::mutex> lock(S().Lock);
    S().StartedByController = started;
}

std::vector<StatusReport> StatusReports() {
    const std::lock_guard<std::mutex> lock(S().Lock);
    return S().Reports;
}

plat::ServiceStatusRecord CurrentServiceStatus() {
    const std::lock_guard<std::mutex> lock(S().Lock);
    return S().Current;
}

std::uint32_t SendControl(std::uint32_t control, bool force) {
    State& s = S();
    plat::ServiceHandlerFn handler = nullptr;
    {
        const std::lock_guard<std::mutex> lock(s.Lock);
        if (s.Handler == nullptr) {
            return kErrorServiceNotActive;
        }
        if (!force) {
            if (const std::uint32_t refused = Refusal(s, control); refused != 0) {
                return refused;
            }
        }
        handler = s.Handler;
        ++s.HandlersInFlight;
    }
    RunHandler(handler, control);
    return 0;
}

std::uint32_t PostControl(std::uint32_t control, int waitHandledMs) {
    State& s = S();
    std::unique_lock<std::mutex> lock(s.Lock);
    if (!s.DispatcherActive) {
        return kErrorServiceNotActive;
    }
    if (const std::uint32_t refused = Refusal(s, control); refused != 0) {
        return refused;
    }
    auto done = std::make_shared<bool>(false);
    s.Posted.push_back(PostedControl{control, done});
    s.Changed.notify_all();
    if (waitHandledMs < 0) {
        s.Changed.wait(lock, [&] { return *done; });
    } else if (waitHandledMs > 0) {
        s.Changed.wait_for(lock, std::chrono::milliseconds(waitHandledMs), [&] { return *done; });
    }
    return 0;
}

bool DispatcherRunning() {
    const std::lock_guard<std::mutex> lock(S().Lock);
    return S().DispatcherActive;
}

int DispatcherCalls() {
    const std::lock_guard<std::mutex> lock(S().Lock);
    return S().DispatcherCallCount;
}

bool IsServiceThread() {
    return tlsServiceThread;
}

void JoinServiceThreads() {
    State& s = S();
    for (;;) {
        std::vector<std::thread> threads;
        {
            const std::lock_guard<std::mutex> lock(s.Lock);
            threads.swap(s.Threads);
        }
        if (threads.empty()) {
            return;
        }
        for (auto& thread : threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }
}

std::optional<ServiceEntry> FindService(const std::string& name) {
    const std::lock_guard<std::mutex> lock(S().Lock);
    auto it = S().Services.find(Lower(name));
    if (it == S().Services.end()) {
        return std::nullopt;
    }
    SettleScripted(it->second);
    return it->second.Entry;
}

void AddService(const plat::ServiceConfig& config, std::uint32_t state) {
    const std::lock_guard<std::mutex> lock(S().Lock);
    ScmService service;
    service.Entry.Config = config;
    service.Entry.Status.ServiceType = config.ServiceType;
    service.Entry.Status.CurrentState = state;
    service.Entry.Status.ControlsAccepted = state == plat::kServiceRunning ? 5u : 0u;
    S().Services[Lower(config.Name)] = service;
}

int OpenServiceHandles() {
    const std::lock_guard<std::mutex> lock(S().Lock);
    return static_cast<int>(S().ServiceHandles.size() + S().ManagerHandles.size());
}

void SetServiceProcess(std::function<void()> entry) {
    const std::lock_guard<std::mutex> lock(S().Lock);
    S().ProcessEntry = std::move(entry);
}

void ScriptServiceStop(std::int64_t stopDelayMs, std::uint32_t finalState) {
    const std::lock_guard<std::mutex> lock(S().Lock);
    S().ScriptedStopDelayMs = stopDelayMs;
    S().ScriptedFinalState = finalState;
}

void SetServiceAccount(const std::string& name, const std::string& account) {
    const std::lock_guard<std::mutex> lock(S().Lock);
    if (auto it = S().Services.find(Lower(name)); it != S().Services.end()) {
        it->second.Entry.Account = account;
    }
}

} // namespace emu

// --- the platform calls -------------------------------------------------------------------------

namespace plat {

using emu::ServiceFail;

bool StartServiceCtrlDispatcher(const char* serviceName, ServiceMainFn main) {
    emu::NotifyCall("StartServiceCtrlDispatcher");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    ++s.DispatcherCallCount;
    std::uint32_t error = 0;
    if (emu::TakeFailure(s, ServiceFail::Dispatcher, error)) {
    } else if (!s.StartedByController && !emu::tlsStartedByController) {
        error = emu::kErrorFailedServiceControllerConnect;
    } else if (s.DispatcherActive) {
        error = emu::kErrorServiceAlreadyRunning;
    }
    if (error != 0) {
        lock.unlock();
        SetLastError(error);
        return false;
    }
    s.DispatcherActive = true;
    s.DispatcherService = serviceName != nullptr ? serviceName : "";
    s.StoppedReported = false;
    s.ServiceMainEnded = false;
    s.Posted.clear();
    s.Current = {};
    s.Threads.emplace_back([main, name = s.DispatcherService]() {
        emu::tlsServiceThread = true;
        std::array<char, 64> argument{};
        std::strncpy(argument.data(), name.c_str(), argument.size() - 1);
        std::array<char*, 2> argv{argument.data(), nullptr};
        main(1, argv.data());
        emu::State& state = emu::S();
        const std::lock_guard<std::mutex> guard(state.Lock);
        state.ServiceMainEnded = true;
        state.Changed.notify_all();
    });

    for (;;) {
        s.Changed.wait(lock, [&] {
            return !s.Posted.empty() ||
                   ((s.StoppedReported || s.ServiceMainEnded) && s.HandlersInFlight == 0);
        });
        if (s.Posted.empty()) {
            break;
        }
        emu::PostedControl posted = s.Posted.front();
        s.Posted.pop_front();
        ServiceHandlerFn handler = s.Handler;
        if (handler == nullptr) {
            *posted.Done = true;
            s.Changed.notify_all();
            continue;
        }
        ++s.HandlersInFlight;
        lock.unlock();
        emu::RunHandler(handler, posted.Control);
        lock.lock();
        *posted.Done = true;
        s.Changed.notify_all();
    }
    // Controls that arrive from now on find no dispatcher.
    for (auto& posted : s.Posted) {
        *posted.Done = true;
    }
    s.Posted.clear();
    s.DispatcherActive = false;
    s.Changed.notify_all();
    return true;
}

OsHandle RegisterServiceCtrlHandler(const char* /*serviceName*/, ServiceHandlerFn handler) {
    emu::NotifyCall("RegisterServiceCtrlHandler");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    if (emu::TakeFailure(s, ServiceFail::RegisterHandler, error)) {
        lock.unlock();
        SetLastError(error);
        return 0;
    }
    s.Handler = handler;
    s.StatusHandle = s.NextStatusHandle++;
    return s.StatusHandle;
}

bool SetServiceStatus(OsHandle statusHandle, const ServiceStatusRecord& status) {
    emu::NotifyCall("SetServiceStatus");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    const std::size_t index = s.Reports.size();
    std::uint32_t error = 0;
    if (auto it = s.FailedReports.find(index); it != s.FailedReports.end()) {
        error = it->second;
    } else if (emu::TakeFailure(s, ServiceFail::SetServiceStatus, error)) {
    } else if (statusHandle == 0 || statusHandle != s.StatusHandle) {
        error = kErrorInvalidHandle;
    }
    s.Reports.push_back(emu::StatusReport{statusHandle, status, error == 0, error});
    if (error != 0) {
        lock.unlock();
        SetLastError(error);
        return false;
    }
    s.Current = status;
    if (auto it = s.Services.find(emu::Lower(s.DispatcherService));
        it != s.Services.end() && it->second.InProcess) {
        it->second.Entry.Status = status;
    }
    if (status.CurrentState == kServiceStopped) {
        s.StoppedReported = true;
    }
    s.Changed.notify_all();
    return true;
}

OsHandle OpenSCManager(std::uint32_t /*access*/) {
    emu::NotifyCall("OpenSCManager");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    if (emu::TakeFailure(s, ServiceFail::OpenSCManager, error)) {
        lock.unlock();
        SetLastError(error);
        return 0;
    }
    const OsHandle handle = s.NextHandle++;
    s.ManagerHandles[handle] = true;
    return handle;
}

OsHandle CreateService(OsHandle scm, const ServiceConfig& config) {
    emu::NotifyCall("CreateService");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    const std::string key = emu::Lower(config.Name);
    auto existing = s.Services.find(key);
    if (emu::TakeFailure(s, ServiceFail::CreateService, error)) {
    } else if (s.ManagerHandles.count(scm) == 0) {
        error = kErrorInvalidHandle;
    } else if (existing != s.Services.end()) {
        error = existing->second.Entry.MarkedForDelete ? emu::kErrorServiceMarkedForDelete
                                                       : emu::kErrorServiceExists;
    }
    if (error != 0) {
        lock.unlock();
        SetLastError(error);
        return 0;
    }
    emu::ScmService service;
    service.Entry.Config = config;
    service.Entry.Status.ServiceType = config.ServiceType;
    service.Entry.Status.CurrentState = kServiceStopped;
    s.Services[key] = service;
    const OsHandle handle = s.NextHandle++;
    s.ServiceHandles[handle] = key;
    return handle;
}

bool StartService(OsHandle service) {
    emu::NotifyCall("StartService");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    emu::ScmService* entry = emu::ServiceOf(s, service, true);
    if (emu::TakeFailure(s, ServiceFail::StartService, error)) {
    } else if (entry == nullptr) {
        error = kErrorInvalidHandle;
    } else if (entry->Entry.MarkedForDelete) {
        error = emu::kErrorServiceMarkedForDelete;
    } else if (entry->Entry.Status.CurrentState != kServiceStopped) {
        error = emu::kErrorServiceAlreadyRunning;
    }
    if (error != 0 || entry == nullptr) {
        lock.unlock();
        SetLastError(error != 0 ? error : kErrorInvalidHandle);
        return false;
    }
    entry->Entry.Status.CurrentState = kServiceStartPending;
    entry->Entry.Status.ControlsAccepted = 0;
    entry->Entry.Status.Win32ExitCode = 0;
    if (s.ProcessEntry) {
        entry->InProcess = true;
        s.Threads.emplace_back(emu::RunServiceProcess, s.ProcessEntry,
                               s.ServiceHandles.at(service));
    } else {
        entry->Entry.Status.CurrentState = kServiceRunning;
        entry->Entry.Status.ControlsAccepted = 5;
    }
    return true;
}

OsHandle OpenService(OsHandle scm, const char* name, std::uint32_t /*access*/) {
    emu::NotifyCall("OpenService");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    const std::string key = emu::Lower(name != nullptr ? name : "");
    if (emu::TakeFailure(s, ServiceFail::OpenService, error)) {
    } else if (s.ManagerHandles.count(scm) == 0) {
        error = kErrorInvalidHandle;
    } else if (s.Services.count(key) == 0) {
        error = emu::kErrorServiceDoesNotExist;
    }
    if (error != 0) {
        lock.unlock();
        SetLastError(error);
        return 0;
    }
    const OsHandle handle = s.NextHandle++;
    s.ServiceHandles[handle] = key;
    return handle;
}

bool ControlService(OsHandle service, std::uint32_t control, ServiceStatusRecord& status) {
    emu::NotifyCall("ControlService");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    emu::ScmService* entry = emu::ServiceOf(s, service, true);
    if (emu::TakeFailure(s, ServiceFail::ControlService, error)) {
    } else if (entry == nullptr) {
        error = kErrorInvalidHandle;
    } else if (entry->InProcess && s.DispatcherActive) {
        error = emu::Refusal(s, control);
    } else {
        const std::uint32_t state = entry->Entry.Status.CurrentState;
        if (state == kServiceStopped || state == 0) {
            error = emu::kErrorServiceNotActive;
        } else if (control != kServiceControlInterrogate &&
                   (entry->Entry.Status.ControlsAccepted == 0 || state == kServiceStopPending)) {
            error = emu::kErrorServiceCannotAcceptCtrl;
        } else if (control != kServiceControlInterrogate &&
                   (entry->Entry.Status.ControlsAccepted & emu::AcceptBitFor(control)) == 0) {
            error = emu::kErrorInvalidServiceControl;
        }
    }
    if (error != 0 || entry == nullptr) {
        lock.unlock();
        SetLastError(error != 0 ? error : kErrorInvalidHandle);
        return false;
    }
    const std::string key = s.ServiceHandles.at(service);
    if (entry->InProcess) {
        // The controller hands the control to the service's dispatcher and waits for the
        // handler to return, as Windows does for a plain handler.
        auto done = std::make_shared<bool>(false);
        s.Posted.push_back(emu::PostedControl{control, done});
        s.Changed.notify_all();
        s.Changed.wait(lock, [&] { return *done; });
        auto it = s.Services.find(key);
        status = it != s.Services.end() ? it->second.Entry.Status : s.Current;
        return true;
    }
    if (control == kServiceControlStop || control == kServiceControlShutdown) {
        entry->Entry.Status.CurrentState = kServiceStopPending;
        entry->Entry.Status.CheckPoint = 1;
        entry->Entry.Status.ControlsAccepted = 0;
        // A negative delay: the service hangs in STOP_PENDING.
        entry->StopDoneAt = s.ScriptedStopDelayMs < 0
                                ? std::int64_t{-1}
                                : emu::TrueTime100ns() + s.ScriptedStopDelayMs * 10000;
        emu::SettleScripted(*entry);
    }
    status = entry->Entry.Status;
    return true;
}

bool QueryServiceStatus(OsHandle service, ServiceStatusRecord& status) {
    emu::NotifyCall("QueryServiceStatus");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    emu::ScmService* entry = emu::ServiceOf(s, service, true);
    if (emu::TakeFailure(s, ServiceFail::QueryServiceStatus, error)) {
    } else if (entry == nullptr) {
        error = kErrorInvalidHandle;
    }
    if (error != 0 || entry == nullptr) {
        lock.unlock();
        SetLastError(error != 0 ? error : kErrorInvalidHandle);
        return false;
    }
    status = entry->Entry.Status;
    return true;
}

bool QueryServiceConfig(OsHandle service, InstalledServiceConfig& config) {
    emu::NotifyCall("QueryServiceConfig");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    emu::ScmService* entry = emu::ServiceOf(s, service, true);
    if (entry == nullptr) {
        lock.unlock();
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    config.BinaryPath = entry->Entry.Config.BinaryPath;
    config.Account = entry->Entry.Account;
    config.StartType = entry->Entry.Config.StartType;
    return true;
}

bool DeleteService(OsHandle service) {
    emu::NotifyCall("DeleteService");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    emu::ScmService* entry = emu::ServiceOf(s, service, false);
    if (emu::TakeFailure(s, ServiceFail::DeleteService, error)) {
    } else if (entry == nullptr) {
        error = kErrorInvalidHandle;
    } else if (entry->Entry.MarkedForDelete) {
        error = emu::kErrorServiceMarkedForDelete;
    }
    if (error != 0 || entry == nullptr) {
        lock.unlock();
        SetLastError(error != 0 ? error : kErrorInvalidHandle);
        return false;
    }
    entry->Entry.MarkedForDelete = true;
    return true;
}

namespace {

// Under the lock: the service a handle open on it refers to, or the reason there is none.
emu::ScmService* ServiceToConfigure(emu::State& s, OsHandle service, std::uint32_t& error) {
    emu::ScmService* entry = emu::ServiceOf(s, service, false);
    if (emu::TakeFailure(s, ServiceFail::ChangeServiceConfig2, error)) {
        return nullptr;
    }
    if (entry == nullptr) {
        error = kErrorInvalidHandle;
        return nullptr;
    }
    if (entry->Entry.MarkedForDelete) {
        error = emu::kErrorServiceMarkedForDelete;
        return nullptr;
    }
    return entry;
}

// Applies one change to a service's configuration, as ChangeServiceConfig2 does.
template <typename Change>
bool ConfigureService(const char* call, OsHandle service, Change change) {
    emu::NotifyCall(call);
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    emu::ScmService* entry = ServiceToConfigure(s, service, error);
    if (entry == nullptr) {
        lock.unlock();
        SetLastError(error);
        return false;
    }
    change(entry->Entry);
    return true;
}

} // namespace

bool ChangeServiceDescription(OsHandle service, const std::string& description) {
    return ConfigureService("ChangeServiceDescription", service,
                            [&](auto& entry) { entry.Description = description; });
}

bool ChangeServiceFailureActions(OsHandle service, const ServiceFailureActions& actions) {
    return ConfigureService("ChangeServiceFailureActions", service,
                            [&](auto& entry) { entry.FailureActions = actions; });
}

bool QueryServiceFailureActions(OsHandle service, ServiceFailureActions& actions) {
    emu::NotifyCall("QueryServiceFailureActions");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    emu::ScmService* entry = emu::ServiceOf(s, service, true);
    if (entry == nullptr) {
        lock.unlock();
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    actions = entry->Entry.FailureActions.value_or(ServiceFailureActions{});
    return true;
}

bool CloseServiceHandle(OsHandle handle) {
    emu::NotifyCall("CloseServiceHandle");
    emu::State& s = emu::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    if (s.ManagerHandles.erase(handle) > 0) {
        return true;
    }
    auto it = s.ServiceHandles.find(handle);
    if (it == s.ServiceHandles.end()) {
        lock.unlock();
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    const std::string key = it->second;
    s.ServiceHandles.erase(it);
    emu::RemoveIfDeleted(s, key);
    return true;
}

} // namespace plat
