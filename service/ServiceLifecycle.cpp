#include "service/ServiceLifecycle.h"

#include "TimeFunc/ClockControl.h"
#include "card/CardAccess.h"
#include "card/CardIdentify.h"
#include "card/CardLink.h"
#include "engine/EventLog.h"
#include "engine/Settings.h"
#include "engine/SyncLoop.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The status record and its handle: written under StatusLock() by whichever thread reports
// (the service thread, the control handler on the main thread).
plat::ServiceStatusRecord ServiceStatus;
plat::OsHandle ServiceStatusHandle = 0;
plat::Event StopEvent; // made and closed by the service thread under StopEventLock()

namespace {

constexpr std::uint32_t kStartWaitHint = 3000;
// SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN; pause and continue are never offered.
constexpr std::uint32_t kAcceptStopAndShutdown = 5;

// The service thread (start, failed start) and the control handler on the main thread both
// report. Each report changes several fields of ServiceStatus and counts the check point, and
// the controller must see the record whole and in the order the changes were made, so the
// change and its SetServiceStatus call happen under one lock. ServiceStatusHandle is set under
// it too: a control can arrive as soon as the handler is registered.
std::mutex& StatusLock() {
    static std::mutex lock;
    return lock;
}

// Guards the StopEvent handle itself (not the event): the service thread creates and closes
// it, the control handler signals it, and a stop can arrive while a failed start is closing
// it. Without this the handler could signal a handle that has just been closed and reused.
std::mutex& StopEventLock() {
    static std::mutex lock;
    return lock;
}

// The service thread's end. Whoever sees STOPPED may take the process for gone and replace
// its files (an installer does), so the stop handler reports STOPPED only once the service
// thread has left ServiceMain, or after a bound. Once STOPPED is reported the dispatcher
// returns and the process would end, tearing down module state (SettingsRegistry, StopEvent)
// that a thread past the bound may still be closing: the main thread gives it a last grace.
struct ServiceThreadState {
    std::mutex Lock;
    std::condition_variable Ended;
    bool Running = false;
    std::thread::id Id;
};
ServiceThreadState& ServiceThread() {
    static ServiceThreadState state;
    return state;
}
constexpr std::chrono::seconds kServiceThreadGrace{5};
// While the stop waits for the service thread, STOP_PENDING is reported again every period
// with a rising check point; the wait hint covers a period with room to spare. The thread
// needs well under a second to leave the loop; a few periods bound a thread stuck in a call.
constexpr std::uint32_t kStopWaitHint = 3000;
constexpr std::chrono::milliseconds kStopReportPeriod{1000};
constexpr int kStopReportsMax = 5;

// Marks the service thread running for the life of ServiceMain.
class ServiceThreadMark {
  public:
    ServiceThreadMark() {
        const std::lock_guard<std::mutex> lock(ServiceThread().Lock);
        ServiceThread().Running = true;
        ServiceThread().Id = std::this_thread::get_id();
    }
    ServiceThreadMark(const ServiceThreadMark&) = delete;
    ServiceThreadMark& operator=(const ServiceThreadMark&) = delete;
    ~ServiceThreadMark() {
        {
            const std::lock_guard<std::mutex> lock(ServiceThread().Lock);
            ServiceThread().Running = false;
        }
        ServiceThread().Ended.notify_all();
    }
};

// What the STOPPED report after StopService carries: 0 when the clock went back to the
// system, otherwise the code of the failed clock operation. Written by the stop's thread.
std::atomic<std::uint32_t> StopExitCode{0};

// Whether the last report, STOPPED, reached the controller (under StatusLock()). The
// controller then takes the service for gone, and a later report would bring it back to life:
// a failed start reports STOPPED itself while a stop that arrived meanwhile is being handled.
bool stoppedReported = false;

bool SetStatusLocked(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
    if (stoppedReported && ServiceStatus.CurrentState == plat::kServiceStopped) {
        return true; // nothing is left to tell
    }
    ServiceStatus.ControlsAccepted =
        state == plat::kServiceStartPending ? 0u : kAcceptStopAndShutdown;
    ServiceStatus.CurrentState = state;
    ServiceStatus.Win32ExitCode = exitCode;
    ServiceStatus.WaitHint = waitHint;
    if (state == plat::kServiceRunning || state == plat::kServiceStopped) {
        ServiceStatus.CheckPoint = 0;
    } else {
        ++ServiceStatus.CheckPoint;
    }
    const bool ok = plat::SetServiceStatus(ServiceStatusHandle, ServiceStatus);
    stoppedReported = ok && state == plat::kServiceStopped;
    return ok;
}

void NoteFailedReport() {
    // The callers pass this thread's last error on in their STOPPED report; writing the
    // event-log entry must not replace it.
    const std::uint32_t error = plat::GetLastError();
    WriteEventLog("SetServiceStauts", kEventError);
    plat::SetLastError(error);
}

// Interrogate and unknown controls: the state is read and reported again under one lock, so
// a report from the service thread cannot slip in between and be undone.
void ReportCurrentState() {
    bool ok = false;
    {
        const std::lock_guard<std::mutex> lock(StatusLock());
        ok = SetStatusLocked(ServiceStatus.CurrentState, 0, 0);
    }
    if (!ok) {
        NoteFailedReport();
    }
}

// After StopService: STOP_PENDING again, then the wait for the service thread's end.
void AwaitServiceThread() {
    ReportServiceStatus(plat::kServiceStopPending, 0, kStopWaitHint);
    ServiceThreadState& thread = ServiceThread();
    std::unique_lock<std::mutex> lock(thread.Lock);
    if (thread.Running && thread.Id == std::this_thread::get_id()) {
        return; // a handler called on the service thread itself cannot wait for it
    }
    for (int reports = 1;; ++reports) {
        if (thread.Ended.wait_for(lock, kStopReportPeriod, [&thread] { return !thread.Running; }) ||
            reports == kStopReportsMax) {
            return;
        }
        lock.unlock();
        ReportServiceStatus(plat::kServiceStopPending, 0, kStopWaitHint);
        lock.lock();
    }
}

void CloseStopEvent() {
    const std::lock_guard<std::mutex> lock(StopEventLock());
    StopEvent.reset();
}

std::string StartFailureText(std::int32_t startCode) {
    const std::string cardText = CardErrorText();
    const std::int32_t lastResult = LastCardResult.load();
    const int length = std::snprintf(nullptr, 0, "Servicestart fails. %d, %d, %s", startCode,
                                     lastResult, cardText.c_str());
    if (length <= 0) {
        return "Servicestart fails.";
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "Servicestart fails. %d, %d, %s", startCode,
                  lastResult, cardText.c_str());
    return text;
}

// The controller keeps only the exit code of a failed start; the reason goes into the event
// log and into "MonitorError", where the operator's tool shows it beside the stopped service.
// Before SettingsRegistry exists the key is only opened, never created: a start that failed
// that early leaves the registry as it found it.
void StartFailed(const std::string& text) {
    WriteEventLog(text, kEventError);
    if (SettingsRegistry) {
        WriteStatus(kStartErrorValue, text);
        return;
    }
    try {
        TRegistryDefault key;
        key.SetRootKeyLocalMachine();
        if (key.OpenKey(kSettingsKeyPath, false)) {
            key.WriteString(kStartErrorValue, text);
        }
    } catch (...) {
        // The entry is written; the status value is a courtesy.
    }
}

} // namespace

void RunServiceDispatcher() {
    if (!plat::StartServiceCtrlDispatcher(kServiceName, &ServiceMain)) {
        // Started from a console without a known argument: nothing to say there.
        WriteEventLog("StartServiceCtrlDispatcher Error!", kEventError);
        plat::ExitProcess(0);
    }
    // Normally the stop has waited for the service thread already. One stuck past that bound
    // cannot move the clock or reopen the card (StopLatched), so this wait is bounded too.
    std::unique_lock<std::mutex> lock(ServiceThread().Lock);
    ServiceThread().Ended.wait_for(lock, kServiceThreadGrace,
                                   [] { return !ServiceThread().Running; });
}

bool ReportServiceStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
    bool ok = false;
    {
        const std::lock_guard<std::mutex> lock(StatusLock());
        ok = SetStatusLocked(state, exitCode, waitHint);
    }
    if (!ok) {
        NoteFailedReport();
    }
    return ok;
}

void ServiceMain(std::uint32_t /*argc*/, char** /*argv*/) {
    const ServiceThreadMark mark;
    const plat::OsHandle handle =
        plat::RegisterServiceCtrlHandler(kServiceName, &ServiceCtrlHandler);
    const std::uint32_t registerError = plat::GetLastError();
    {
        const std::lock_guard<std::mutex> lock(StatusLock());
        ServiceStatusHandle = handle;
        stoppedReported = false;
    }
    if (handle == 0) {
        // Without a handle this report fails too; its event-log entry is all that remains.
        ReportServiceStatus(plat::kServiceStopped, registerError, 0);
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(StatusLock());
        ServiceStatus.ServiceType = plat::kServiceWin32OwnProcess;
        ServiceStatus.ServiceSpecificExitCode = 0;
        ServiceStatus.CheckPoint = 0;
    }
    if (!ReportServiceStatus(plat::kServiceStartPending, 0, kStartWaitHint)) {
        ReportServiceStatus(plat::kServiceStopped, plat::GetLastError(), 0);
        return;
    }
    ServiceStart();
}

void ServiceCtrlHandler(std::uint32_t control) {
    switch (control) {
    case plat::kServiceControlStop:
    case plat::kServiceControlShutdown:
        ReportServiceStatus(plat::kServiceStopPending, 0, kStopWaitHint);
        StopService();
        AwaitServiceThread();
        // The thread's last error after a stop is whatever the stop's own calls left behind,
        // which says nothing about the service: a clean stop reports 0.
        ReportServiceStatus(plat::kServiceStopped, StopExitCode.load(), 0);
        break;
    default:
        ReportCurrentState();
        break;
    }
}

void StopService() {
    // The loop is told first: from the latch on a card call may close the card as it ends,
    // and a loop not yet told would count the reads of a closed card as a lost timecode.
    {
        const std::lock_guard<std::mutex> lock(StopEventLock());
        if (StopEvent.valid()) {
            plat::SetEvent(StopEvent.get());
        }
    }
    // From here every clock call of the service thread leaves the clock with the system and
    // every card call leaves the card closed (see card/CardLink.h); the reset below waits only
    // for a clock call already under way, never for the card.
    StopLatched = true;
    if (SetClockRate(0) == ClockOk) {
        StopExitCode = 0;
    } else {
        // The clock could not be handed back: the controller should hear why.
        const std::uint32_t code = LastClockError();
        StopExitCode = code != 0 ? code : 1u;
    }
    CloseCardIfFree();
}

void ServiceStart() {
    StopLatched = false;
    SyncRequested = false;
    ReloadCountdown = 0; // the loop's first cycle loads the settings

    {
        const std::lock_guard<std::mutex> lock(StopEventLock());
        StopEvent = plat::CreateEvent(true, false);
    }
    if (!StopEvent.valid()) {
        StartFailed("CreateEvent");
        ReportServiceStatus(plat::kServiceStopped, kFailedStartExitCode, 0);
        return;
    }
    if (!ReportServiceStatus(plat::kServiceRunning, 0, 0)) {
        CloseStopEvent();
        ReportServiceStatus(plat::kServiceStopped, kFailedStartExitCode, 0);
        return;
    }

    SettingsRegistry = std::make_unique<TRegistryDefault>();
    SettingsRegistry->SetRootKeyLocalMachine();
    // A key that cannot be opened leaves the defaults in force; every later use copes.
    SettingsRegistry->OpenKey(kSettingsKeyPath, true);
    SyncSeen = false;

    std::int32_t startCode = OpenCard(ReadPortId());
    if (startCode == 0) {
        std::string cardText;
        std::uint32_t firmwareWord = 0;
        std::uint32_t libraryVersion = 0;
        if (!IdentifyCard(cardText, firmwareWord, libraryVersion)) {
            startCode = static_cast<std::int32_t>(kIdentificationRefused);
        } else {
            // Still the start value: the configured DateFormat reaches the card in the loop's
            // first cycle.
            startCode = SetRealtimeMode(Settings.DateFormat);
        }
    }

    if (startCode == 0) {
        WriteStatus(kStartErrorValue, ""); // this start is good: the last one's reason is past
        SyncLoop(); // the control handler waits for this thread before it reports STOPPED
    } else if (StopLatched.load()) {
        // A stop arrived while the card was coming up and took it down under our feet: the
        // start did not fail, it was called off, and the handler reports STOPPED itself.
    } else if (startCode == static_cast<std::int32_t>(kIdentificationRefused)) {
        StartFailed("Wrong firmware version, can't start!");
        ReportServiceStatus(plat::kServiceStopped, kFailedStartExitCode, 0);
    } else {
        StartFailed(StartFailureText(startCode));
        ReportServiceStatus(plat::kServiceStopped, kFailedStartExitCode, 0);
    }

    CloseStopEvent();
    SettingsRegistry.reset();
}

void ResetServiceLifecycle() {
    {
        const std::lock_guard<std::mutex> lock(StatusLock());
        ServiceStatus = {};
        ServiceStatusHandle = 0;
        stoppedReported = false;
    }
    CloseStopEvent();
    StopExitCode = 0;
}
