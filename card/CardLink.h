// The process's one link to the card library, and the lock that two threads share.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

struct CardLinkState {
    std::atomic<std::int32_t> Handle{0};
    std::atomic<bool> IsOpen{false};
};

extern CardLinkState CardLink;

// Result of the last card library call, or of a failed clock operation.
extern std::atomic<std::int32_t> LastCardResult;

// How the service thread and the control handler share the card and the clock rate.
//
// The service thread reads the card and changes the clock rate; the control handler on the
// main thread resets the rate and closes the card while a cycle may be under way. Every card
// library call and every change of the clock's rate or time is made while holding
// DeviceLock(), so a close or a reset never overlaps a call in progress. StopService takes
// the lock, latches StopLatched, resets the rate and closes the card; from then on, until the
// next ServiceStart clears the latch, SetClockRate hands the clock to the system whatever it
// is asked for, HardSetSystemTime sets nothing and OpenCard opens nothing. So once the stop
// has run, nothing the service thread still does can move the clock off its nominal rate or
// reopen the card, and the process may end without waiting for that thread.
// The rate the service last set is recorded under the same lock, and the clock watch reads the
// rate back under it, so a rate set by either thread is never taken for another program's.
// The lock is held only around single calls, never across a sleep or a wait.
std::mutex& DeviceLock();
extern std::atomic<bool> StopLatched;
