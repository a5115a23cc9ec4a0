// The emulated world's waiting and threads: last error, sleeping in virtual time, events,
// detached threads, the pseudo-random source; and what every area shares: the failure
// injection of the clock, zone, token, event and thread calls, and the hook at the entry of
// every platform call.
//
// Sleeping and waits with a time-out advance virtual time (EmuTime.h); only an INFINITE wait
// blocks, until another thread signals.
#pragma once

#include <cstdint>
#include <functional>

namespace emu {

// --- failure injection ----------------------------------------------------------------------

enum class Fail : std::uint8_t {
    GetSystemTimeAdjustment,
    SetSystemTimeAdjustment,
    SetSystemTime,
    GetTimeZoneInformation,
    SystemTimeToTzSpecificLocalTime,
    OpenProcessToken,
    LookupPrivilegeValue,
    AdjustTokenPrivileges,
    CreateEvent,
    StartThread,
};
// The next `count` calls (or every call with count < 0) fail with this last-error code.
void InjectFailure(Fail what, std::uint32_t errorCode, int count = -1);
void ClearFailures();

// --- observation ----------------------------------------------------------------------------

// Events open now (for leak checks).
int OpenEvents();
// Threads started by StartDetachedThread whose work has not returned yet (never reset: a
// thread outlives the test that started it), and a real-time wait until none is left.
int LiveDetachedThreads();
bool WaitForDetachedThreads(int timeoutMs = 5000);

// Called at the entry of every platform call with the call's name; a test can stop the
// service there, advance time, or inject a failure. Empty to remove.
void SetCallHook(std::function<void(const char* call)> hook);
// For the other areas: reports a platform call to the hook.
void NotifyCall(const char* call);

} // namespace emu
