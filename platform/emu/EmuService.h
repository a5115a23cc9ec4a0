// The emulated service controller: the dispatcher of this process and the controller's
// database of installed services. (Processes, the console and the end of the process are in
// EmuProcess.h.)
//
// Threads are real here (a service is two threads on Windows, and the races between them are
// what the tests are after); time stays virtual. StartServiceCtrlDispatcher runs ServiceMain
// on a thread of its own and blocks, for real, until the service has reported STOPPED (or its
// ServiceMain thread has ended) and no control handler is running. Controls posted to the
// dispatcher run on the dispatcher's thread, as on Windows; SendControl runs the handler on
// the caller's thread instead, which suits tests that drive the handler step by step.
#pragma once

#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace emu {

// Error codes of the service controller, as Windows numbers them.
constexpr std::uint32_t kErrorInvalidServiceControl = 1052;
constexpr std::uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr std::uint32_t kErrorServiceNotActive = 1062;
constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr std::uint32_t kErrorServiceMarkedForDelete = 1072;
constexpr std::uint32_t kErrorServiceExists = 1073;

// --- failure injection ----------------------------------------------------------------------

enum class ServiceFail : std::uint8_t {
    Dispatcher,      // StartServiceCtrlDispatcher
    RegisterHandler, // RegisterServiceCtrlHandler
    SetServiceStatus,
    OpenSCManager,
    CreateService,
    StartService,
    OpenService,
    ControlService,
    QueryServiceStatus,
    DeleteService,
    ChangeServiceConfig2, // the description and the failure actions alike
};
// The next `count` calls (or every call with count < 0) fail with this last-error code.
void InjectServiceFailure(ServiceFail what, std::uint32_t errorCode, int count = -1);
// The SetServiceStatus call with this index (0 = the first since the reset) fails.
void FailStatusReportAt(std::size_t index, std::uint32_t errorCode);

// --- the dispatcher of this process ----------------------------------------------------------

// Whether this process was started by the service controller. False by default (started from
// a console): StartServiceCtrlDispatcher then fails with 1063, as on Windows. A process started
// through StartService (see SetServiceProcess) always counts as started by the controller.
void SetStartedByController(bool started);

struct StatusReport {
    plat::OsHandle Handle = 0;
    plat::ServiceStatusRecord Status;
    bool Succeeded = false;
    std::uint32_t Error = 0; // the last-error code of a failed report
};
// Every SetServiceStatus call since the reset, failed ones included, in order.
std::vector<StatusReport> StatusReports();
// The record of the last successful report (all zero before the first).
plat::ServiceStatusRecord CurrentServiceStatus();

// Delivers a control the way the controller would, running the registered handler on the
// caller's thread. 0 when the handler ran; otherwise the controller's refusal: 1062 when no
// handler is registered or the service has reported STOPPED, 1061 while nothing but
// START_PENDING accepts no control, 1052 for a control the service does not accept.
// Interrogate is always accepted. force skips these checks (not the missing handler).
std::uint32_t SendControl(std::uint32_t control, bool force = false);
// The same checks, but the handler runs on the dispatcher's thread. The call waits up to
// waitHandledMs of real time for the handler to return (0: not at all, < 0: without limit)
// and returns once the control is queued, whether it has been handled or not.
std::uint32_t PostControl(std::uint32_t control, int waitHandledMs = 0);
bool DispatcherRunning();
int DispatcherCalls(); // StartServiceCtrlDispatcher calls since the reset
// True on a thread that runs ServiceMain for the emulated dispatcher.
bool IsServiceThread();
// Waits until every thread the emulated controller started (ServiceMain threads, service
// processes) has ended. The service must have been stopped, or this waits for ever.
void JoinServiceThreads();

// --- the controller's database -----------------------------------------------------------------

struct ServiceEntry {
    plat::ServiceConfig Config;
    plat::ServiceStatusRecord Status;
    bool MarkedForDelete = false;
    std::string Account = "LocalSystem"; // what QueryServiceConfig reports
    std::string Description;
    std::optional<plat::ServiceFailureActions> FailureActions; // as last set
};
std::optional<ServiceEntry> FindService(const std::string& name);
// Installs a service as if by CreateService, in the given state (scripted, see below).
void AddService(const plat::ServiceConfig& config, std::uint32_t state = plat::kServiceStopped);
// The account an installed service runs under (CreateService registers LocalSystem).
void SetServiceAccount(const std::string& name, const std::string& account);
// service-controller and service handles open now (for leak checks)
int OpenServiceHandles();

// What StartService starts. With an entry set, StartService runs it on a thread of its own as
// the service's process (the entry typically calls ProcessCommandLine with no argument), and
// the service's state follows its status reports; when the process thread ends, the service
// counts as stopped. Without one, services are scripted: StartService makes them RUNNING at
// once, and a stop leaves them STOP_PENDING for stopDelayMs of virtual time and then in
// finalState (see ScriptServiceStop).
void SetServiceProcess(std::function<void()> entry);
// stopDelayMs < 0: the service never leaves STOP_PENDING.
void ScriptServiceStop(std::int64_t stopDelayMs, std::uint32_t finalState = plat::kServiceStopped);

} // namespace emu
