// The process's one link to the card library, and the locks that two threads share.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

struct CardLinkState {
    std::atomic<std::int32_t> Handle{0};
    std::atomic<bool> IsOpen{false};
};

extern CardLinkState CardLink;

// What CloseCard leaves in CardLink.Handle: nothing is left to close.
constexpr std::int32_t kClosedCardHandle = -1;

// Result of the last card library call, or of a failed clock operation.
extern std::atomic<std::int32_t> LastCardResult;

// How the service thread and the control handler share the card and the clock.
//
// The service thread reads the card and changes the clock's rate and time; the control
// handler on the main thread hands the clock back to the system and closes the card while a
// cycle may be under way. Two locks, never held together, so that a card call hung in the
// driver cannot keep the clock off its nominal rate or the handler from reporting STOPPED:
// - CardLock(): every card library call and every change of CardLink, taken through CardCall.
// - ClockLock(): every change of the clock's rate or time, the record of the rate last set,
//   and the clock watch's reading of the rate, so a rate set by either thread is never taken
//   for another program's.
// StopService latches StopLatched, then resets the rate under ClockLock(): a rate change
// already under way ends before the reset, and from the latch on, until the next ServiceStart
// clears it, SetClockRate hands the clock to the system whatever it is asked for and
// HardSetSystemTime sets nothing. It closes the card only if CardLock() is free at once;
// otherwise the call that holds it closes the card as it lets go (CardCall), and OpenCard
// opens nothing once latched. So once the stop has run, nothing the service thread still does
// can move the clock off its nominal rate or leave the card open, and the process may end
// without waiting for that thread. Neither lock is held while taking the other or waiting for
// the other thread; ClockLock() is held only for bounded calls (a hard set waits at most a few
// ms under it for the clock's tick), so the stop's reset cannot be held up for long.
std::mutex& CardLock();
std::mutex& ClockLock();
extern std::atomic<bool> StopLatched;

// Holds CardLock() for one card library call; after the stop it closes the card on leaving.
class CardCall {
  public:
    CardCall();
    CardCall(const CardCall&) = delete;
    CardCall& operator=(const CardCall&) = delete;
    ~CardCall();

  private:
    std::unique_lock<std::mutex> lock_;
};

// Closes the card; the caller holds CardLock().
void CloseCardLocked();
