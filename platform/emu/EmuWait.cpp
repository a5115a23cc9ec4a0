#include "platform/emu/EmuWait.h"

#include "platform/emu/EmuTime.h"
#include "platform/emu/EmuTimeInternal.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace emu {
namespace {

constexpr std::uint32_t kErrorNotEnoughMemory = 8;

struct DetachedThreads {
    std::mutex Lock;
    std::condition_variable Ended;
    int Live = 0;
};

// Never destroyed: a detached thread may still be ending while the process exits, and must
// not meet a lock or condition that the exit has torn down.
union LastingThreads {
    DetachedThreads Value;
    LastingThreads() : Value() {}
    LastingThreads(const LastingThreads&) = delete;
    LastingThreads& operator=(const LastingThreads&) = delete;
    ~LastingThreads() {}
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
DetachedThreads& Detached() {
    static LastingThreads threads;
    return threads.Value;
}

void DetachedThreadEnded() {
    DetachedThreads& d = Detached();
    const std::lock_guard<std::mutex> lock(d.Lock);
    --d.Live;
    d.Ended.notify_all();
}
constexpr std::uint64_t kRandomSeed = 0x243F6A8885A308D3u;

thread_local std::uint32_t lastError = 0; // each thread its own, as on the platform

// --- failure injection and the call hook ------------------------------------------------------

struct Injection {
    std::uint32_t code = 0;
    int remaining = 0; // < 0: every call
};

constexpr std::size_t kFailKinds = static_cast<std::size_t>(Fail::StartThread) + 1;

struct HookState {
    std::mutex lock;
    std::array<Injection, kFailKinds> injections{};
    std::shared_ptr<const std::function<void(const char*)>> hook;
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
HookState& Hooks() {
    static HookState state;
    return state;
}

thread_local bool inHook = false; // each thread its own: a hook's own calls do not call it

// --- events -----------------------------------------------------------------------------------

struct EventObject {
    bool manualReset = false;
    bool signalled = false;
};

struct EventState {
    std::mutex lock;
    std::condition_variable changed;
    std::map<plat::OsHandle, std::shared_ptr<EventObject>> events;
    std::uint64_t random = kRandomSeed;
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
EventState& Events() {
    static EventState state;
    return state;
}

// Handles are never reused, not even across resets, so that a handle left over from an
// earlier test cannot close an object of a later one. Taken by any thread.
std::atomic<std::int64_t> nextHandle{0x1000};

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

} // namespace

void InjectFailure(Fail what, std::uint32_t errorCode, int count) {
    auto& h = Hooks();
    const std::lock_guard lock(h.lock);
    h.injections.at(static_cast<std::size_t>(what)) = Injection{errorCode, count};
}

void ClearFailures() {
    auto& h = Hooks();
    const std::lock_guard lock(h.lock);
    h.injections.fill(Injection{});
}

void SetCallHook(std::function<void(const char* call)> hook) {
    auto& h = Hooks();
    auto shared =
        hook ? std::make_shared<const std::function<void(const char*)>>(std::move(hook)) : nullptr;
    const std::lock_guard lock(h.lock);
    h.hook = std::move(shared);
}

void NotifyCall(const char* call) {
    if (inHook) {
        return; // calls the hook itself makes are not reported again
    }
    std::shared_ptr<const std::function<void(const char*)>> hook;
    {
        auto& h = Hooks();
        const std::lock_guard lock(h.lock);
        hook = h.hook;
    }
    if (hook) {
        // The hook must not disturb the last error that the caller is about to rely on.
        const std::uint32_t saved = lastError;
        inHook = true;
        try {
            (*hook)(call);
        } catch (...) {
            inHook = false;
            lastError = saved;
            throw;
        }
        inHook = false;
        lastError = saved;
    }
}

int OpenEvents() {
    auto& e = Events();
    const std::lock_guard lock(e.lock);
    return static_cast<int>(e.events.size());
}

namespace detail {

bool Injected(Fail what) {
    auto& h = Hooks();
    const std::lock_guard lock(h.lock);
    auto& injection = h.injections.at(static_cast<std::size_t>(what));
    if (injection.remaining == 0) {
        return false;
    }
    if (injection.remaining > 0) {
        --injection.remaining;
    }
    lastError = injection.code;
    return true;
}

plat::OsHandle NewHandle() {
    return static_cast<plat::OsHandle>(nextHandle.fetch_add(4));
}

bool CloseEvent(plat::OsHandle handle) {
    auto& e = Events();
    const std::lock_guard lock(e.lock);
    return e.events.erase(handle) != 0;
}

void ResetFailuresAndHook() {
    ClearFailures();
    SetCallHook(nullptr);
}

void ResetEventsAndRandom() {
    auto& e = Events();
    const std::lock_guard lock(e.lock);
    e.events.clear();
    e.random = kRandomSeed;
}

} // namespace detail

int LiveDetachedThreads() {
    DetachedThreads& d = Detached();
    const std::lock_guard<std::mutex> lock(d.Lock);
    return d.Live;
}

bool WaitForDetachedThreads(int timeoutMs) {
    DetachedThreads& d = Detached();
    std::unique_lock<std::mutex> lock(d.Lock);
    return d.Ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&d] { return d.Live == 0; });
}

} // namespace emu

namespace plat {

std::uint32_t GetLastError() {
    return emu::lastError;
}

void SetLastError(std::uint32_t code) {
    emu::lastError = code;
}

void Sleep(std::uint32_t milliseconds) {
    emu::NotifyCall("Sleep");
    emu::WaitMs(milliseconds);
}

// True time, which no clock setting moves.
std::uint64_t GetTickCount64() {
    emu::NotifyCall("GetTickCount64");
    return static_cast<std::uint64_t>(emu::TrueTime100ns() / 10000);
}

std::uint32_t RandomBelow(std::uint32_t bound) {
    emu::NotifyCall("RandomBelow");
    if (bound == 0) {
        return 0;
    }
    auto& e = emu::Events();
    const std::lock_guard lock(e.lock);
    // The high half scaled onto the range: uniform enough for any bound used here.
    return static_cast<std::uint32_t>((emu::SplitMix(e.random) >> 32) * bound >> 32);
}

void detail::CloseEvent(OsHandle h) {
    emu::detail::CloseEvent(h);
}

Event CreateEvent(bool manualReset, bool initiallySignalled) {
    emu::NotifyCall("CreateEvent");
    if (emu::detail::Injected(emu::Fail::CreateEvent)) {
        return Event{};
    }
    const OsHandle h = emu::detail::NewHandle();
    auto object = std::make_shared<emu::EventObject>();
    object->manualReset = manualReset;
    object->signalled = initiallySignalled;
    auto& e = emu::Events();
    {
        const std::lock_guard lock(e.lock);
        e.events.emplace(h, std::move(object));
    }
    return Event(h);
}

bool SetEvent(OsHandle event) {
    emu::NotifyCall("SetEvent");
    auto& e = emu::Events();
    {
        const std::lock_guard lock(e.lock);
        const auto it = e.events.find(event);
        if (it == e.events.end()) {
            SetLastError(kErrorInvalidHandle);
            return false;
        }
        it->second->signalled = true;
    }
    e.changed.notify_all();
    return true;
}

std::uint32_t WaitForSingleObject(OsHandle object, std::uint32_t milliseconds) {
    emu::NotifyCall("WaitForSingleObject");
    auto& e = emu::Events();
    std::unique_lock lock(e.lock);
    const auto it = e.events.find(object);
    if (it == e.events.end()) {
        SetLastError(kErrorInvalidHandle);
        return kWaitFailed;
    }
    // Holding the object keeps a wait valid even if its handle is closed meanwhile.
    const std::shared_ptr<emu::EventObject> event = it->second;
    const auto take = [&event] {
        if (!event->manualReset) {
            event->signalled = false;
        }
        return kWaitObject0;
    };
    if (event->signalled) {
        return take();
    }
    if (milliseconds == kInfinite) {
        e.changed.wait(lock, [&event] { return event->signalled; });
        return take();
    }
    lock.unlock();
    // Nothing in this world signals while time stands still, so the wait runs its full
    // time-out in virtual time.
    emu::WaitMs(milliseconds);
    lock.lock();
    if (event->signalled) {
        return take();
    }
    return kWaitTimeout;
}

bool StartDetachedThread(void (*work)(void* context), void* context) {
    emu::NotifyCall("StartDetachedThread");
    if (emu::detail::Injected(emu::Fail::StartThread)) {
        return false;
    }
    emu::DetachedThreads& d = emu::Detached();
    {
        const std::lock_guard<std::mutex> lock(d.Lock);
        ++d.Live;
    }
    try {
        std::thread([work, context] {
            work(context);
            emu::DetachedThreadEnded();
        }).detach();
    } catch (const std::system_error&) {
        emu::DetachedThreadEnded();
        SetLastError(emu::kErrorNotEnoughMemory);
        return false;
    }
    return true;
}

} // namespace plat
