#include "card/CardLink.h"

CardLinkState CardLink;
std::atomic<std::int32_t> LastCardResult{0};
std::atomic<bool> StopLatched{false};

std::mutex& CardLock() {
    static std::mutex lock;
    return lock;
}

std::mutex& ClockLock() {
    static std::mutex lock;
    return lock;
}
