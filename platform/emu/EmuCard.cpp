#include "platform/emu/EmuCard.h"

#include "platform/emu/World.h"
#include "simcard/SimCard.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace emu {
namespace {

constexpr std::size_t kKeptCalls = 100000;

struct CardTable {
    TecOpenFn Open;
    TecCloseFn Close;
    TecGetVersionFn GetVersion;
    TecGetCardInfoFn GetCardInfo;
    TecGetErrorTextFn GetErrorText;
    TecReadTimeFn ReadTime;
    TecSetRealtimeModeFn SetRealtimeMode;
};

CardTable SimulatedTable() {
    return CardTable{&::tecOpen,         &::tecClose,    &::tecGetVersion,     &::tecGetCardInfo,
                     &::tecGetErrorText, &::tecReadTime, &::tecSetRealtimeMode};
}

struct CardState {
    std::mutex Lock;
    CardTable Table = SimulatedTable();
    std::array<std::uint64_t, 7> Counts{};
    // A ring of the latest calls, allocated once, so that a call allocates nothing.
    std::vector<TecCall> Calls = std::vector<TecCall>(kKeptCalls);
    std::size_t Next = 0;   // where the next call goes
    std::size_t Stored = 0; // how many of the ring hold calls
    // A call hung in the driver: from call number HoldFrom of HoldFn on, calls block.
    std::optional<TecFn> HoldFn;
    std::uint64_t HoldFrom = 0;
    int HeldNow = 0;
    std::condition_variable HoldChanged;
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
CardState& State() {
    static CardState state;
    return state;
}

void ResetCard() {
    {
        auto& s = State();
        std::lock_guard<std::mutex> lock(s.Lock);
        s.Table = SimulatedTable();
        s.Counts.fill(0);
        s.Next = 0;
        s.Stored = 0;
        s.HoldFn.reset(); // a call still held goes on, as after a release
    }
    State().HoldChanged.notify_all();
    simcard::Reset();
}

const detail::ResetRegistration kReset(&ResetCard); // NOLINT(cert-err58-cpp)

// The entry to call, copied so that a test may replace it while a call is running.
template <typename Fn> Fn Entry(Fn CardTable::*member) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    return s.Table.*member;
}

template <typename Fn> void Replace(Fn CardTable::*member, Fn fn, Fn simulated) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Table.*member = fn ? std::move(fn) : std::move(simulated);
}

void Record(TecFn fn, std::int32_t handle, std::uint32_t arg, std::int32_t result,
            std::int64_t at) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    ++s.Counts[static_cast<std::size_t>(fn)];
    s.Calls[s.Next] = TecCall{fn, handle, arg, result, at};
    s.Next = (s.Next + 1) % kKeptCalls;
    s.Stored = std::min(s.Stored + 1, kKeptCalls);
}

// Blocks while calls of fn are held and this one is among them.
void HoldIfAsked(TecFn fn) {
    auto& s = State();
    std::unique_lock<std::mutex> lock(s.Lock);
    const auto held = [&s, fn, nth = s.Counts[static_cast<std::size_t>(fn)] + 1] {
        return s.HoldFn == fn && nth >= s.HoldFrom;
    };
    if (!held()) {
        return;
    }
    ++s.HeldNow;
    s.HoldChanged.notify_all();
    s.HoldChanged.wait(lock, [&held] { return !held(); });
    --s.HeldNow;
}

} // namespace

void HoldTecCalls(TecFn fn, std::uint64_t fromNth) {
    auto& s = State();
    const std::lock_guard<std::mutex> lock(s.Lock);
    s.HoldFn = fn;
    s.HoldFrom = fromNth;
}

bool AwaitHeldTecCall(int timeoutMs) {
    auto& s = State();
    std::unique_lock<std::mutex> lock(s.Lock);
    return s.HoldChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&s] { return s.HeldNow > 0; });
}

void ReleaseTecCalls() {
    auto& s = State();
    {
        const std::lock_guard<std::mutex> lock(s.Lock);
        s.HoldFn.reset();
    }
    s.HoldChanged.notify_all();
}

void SetTecOpen(TecOpenFn fn) {
    Replace(&CardTable::Open, std::move(fn), TecOpenFn(&::tecOpen));
}
void SetTecClose(TecCloseFn fn) {
    Replace(&CardTable::Close, std::move(fn), TecCloseFn(&::tecClose));
}
void SetTecGetVersion(TecGetVersionFn fn) {
    Replace(&CardTable::GetVersion, std::move(fn), TecGetVersionFn(&::tecGetVersion));
}
void SetTecGetCardInfo(TecGetCardInfoFn fn) {
    Replace(&CardTable::GetCardInfo, std::move(fn), TecGetCardInfoFn(&::tecGetCardInfo));
}
void SetTecGetErrorText(TecGetErrorTextFn fn) {
    Replace(&CardTable::GetErrorText, std::move(fn), TecGetErrorTextFn(&::tecGetErrorText));
}
void SetTecReadTime(TecReadTimeFn fn) {
    Replace(&CardTable::ReadTime, std::move(fn), TecReadTimeFn(&::tecReadTime));
}
void SetTecSetRealtimeMode(TecSetRealtimeModeFn fn) {
    Replace(&CardTable::SetRealtimeMode, std::move(fn),
            TecSetRealtimeModeFn(&::tecSetRealtimeMode));
}

void UseSimulatedCard() {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Table = SimulatedTable();
}

std::uint64_t TecCallCount(TecFn fn) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    return s.Counts[static_cast<std::size_t>(fn)];
}

std::vector<TecCall> TecCalls() {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    std::vector<TecCall> out;
    out.reserve(s.Stored);
    for (std::size_t i = 0; i < s.Stored; ++i) {
        out.push_back(s.Calls[(s.Next + kKeptCalls - s.Stored + i) % kKeptCalls]);
    }
    return out;
}

std::vector<TecCall> TecCalls(TecFn fn) {
    std::vector<TecCall> out;
    for (const auto& c : TecCalls()) {
        if (c.Fn == fn) {
            out.push_back(c);
        }
    }
    return out;
}

void ClearTecCalls() {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Counts.fill(0);
    s.Next = 0;
    s.Stored = 0;
}

} // namespace emu

namespace plat {

std::int32_t TecOpen(std::int32_t* handle, std::uint32_t portId) {
    emu::NotifyCall("TecOpen");
    emu::HoldIfAsked(emu::TecFn::Open);
    std::int64_t at = emu::TrueTime100ns();
    std::int32_t result = emu::Entry(&emu::CardTable::Open)(handle, portId);
    emu::Record(emu::TecFn::Open, handle != nullptr ? *handle : 0, portId, result, at);
    return result;
}

std::int32_t TecClose(std::int32_t handle) {
    emu::NotifyCall("TecClose");
    emu::HoldIfAsked(emu::TecFn::Close);
    std::int64_t at = emu::TrueTime100ns();
    std::int32_t result = emu::Entry(&emu::CardTable::Close)(handle);
    emu::Record(emu::TecFn::Close, handle, 0, result, at);
    return result;
}

std::int32_t TecGetVersion(std::int32_t handle, std::uint32_t* cardState,
                           std::uint32_t* firmwareWord, std::uint32_t* libraryVersion) {
    emu::NotifyCall("TecGetVersion");
    emu::HoldIfAsked(emu::TecFn::GetVersion);
    std::int64_t at = emu::TrueTime100ns();
    std::int32_t result =
        emu::Entry(&emu::CardTable::GetVersion)(handle, cardState, firmwareWord, libraryVersion);
    emu::Record(emu::TecFn::GetVersion, handle, 0, result, at);
    return result;
}

std::int32_t TecGetCardInfo(std::int32_t handle, std::uint32_t* unitsDigit,
                            std::uint32_t* tensDigit, std::uint32_t* typeLetter) {
    emu::NotifyCall("TecGetCardInfo");
    emu::HoldIfAsked(emu::TecFn::GetCardInfo);
    std::int64_t at = emu::TrueTime100ns();
    std::int32_t result =
        emu::Entry(&emu::CardTable::GetCardInfo)(handle, unitsDigit, tensDigit, typeLetter);
    emu::Record(emu::TecFn::GetCardInfo, handle, 0, result, at);
    return result;
}

const char* TecGetErrorText() {
    emu::NotifyCall("TecGetErrorText");
    emu::HoldIfAsked(emu::TecFn::GetErrorText);
    std::int64_t at = emu::TrueTime100ns();
    const char* text = emu::Entry(&emu::CardTable::GetErrorText)();
    emu::Record(emu::TecFn::GetErrorText, 0, 0, 0, at);
    return text;
}

std::int32_t TecReadTime(std::int32_t handle, void* record44) {
    emu::NotifyCall("TecReadTime");
    emu::HoldIfAsked(emu::TecFn::ReadTime);
    std::int64_t at = emu::TrueTime100ns();
    std::int32_t result = emu::Entry(&emu::CardTable::ReadTime)(handle, record44);
    emu::Record(emu::TecFn::ReadTime, handle, 0, result, at);
    return result;
}

std::int32_t TecSetRealtimeMode(std::int32_t handle, std::uint32_t mode) {
    emu::NotifyCall("TecSetRealtimeMode");
    emu::HoldIfAsked(emu::TecFn::SetRealtimeMode);
    std::int64_t at = emu::TrueTime100ns();
    std::int32_t result = emu::Entry(&emu::CardTable::SetRealtimeMode)(handle, mode);
    emu::Record(emu::TecFn::SetRealtimeMode, handle, mode, result, at);
    return result;
}

} // namespace plat
