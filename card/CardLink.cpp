#include "card/CardLink.h"

#include "platform/Platform.h"

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

CardCall::CardCall() : lock_(CardLock()) {}

CardCall::~CardCall() {
    if (StopLatched.load() && CardLink.Handle.load() != kClosedCardHandle) {
        CloseCardLocked();
    }
}

void CloseCardLocked() {
    plat::TecClose(CardLink.Handle.load());
    CardLink.Handle.store(kClosedCardHandle);
    CardLink.IsOpen.store(false);
}
