#include "card/CardLink.h"

CardLinkState CardLink;                      // under CardLock(): the loop's thread and the stop's
std::atomic<std::int32_t> LastCardResult{0}; // the loop's card calls; the stop's failed clock call
std::atomic<bool> StopLatched{false};        // set by the stop, cleared by ServiceStart

std::mutex& CardLock() {
    static std::mutex lock;
    return lock;
}

std::mutex& ClockLock() {
    static std::mutex lock;
    return lock;
}
