// The card library behind plat::Tec* on the emulated platform.
//
// Each of the seven functions dispatches to a table entry. At reset every entry is the
// simulated card (simcard/, configured through the registry key "SOFTWARE\\TecoraSim");
// a test replaces single entries to script the library ("tecOpen succeeds on the 100th
// attempt"), and can call the simulated card's functions itself (simcard/SimCard.h) from a
// replacement to pass a call through. Every call is counted and logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace emu {

using TecOpenFn = std::function<std::int32_t(std::int32_t* handle, std::uint32_t portId)>;
using TecCloseFn = std::function<std::int32_t(std::int32_t handle)>;
using TecGetVersionFn =
    std::function<std::int32_t(std::int32_t handle, std::uint32_t* cardState,
                               std::uint32_t* firmwareWord, std::uint32_t* libraryVersion)>;
using TecGetCardInfoFn =
    std::function<std::int32_t(std::int32_t handle, std::uint32_t* unitsDigit,
                               std::uint32_t* tensDigit, std::uint32_t* typeLetter)>;
using TecGetErrorTextFn = std::function<const char*()>;
using TecReadTimeFn = std::function<std::int32_t(std::int32_t handle, void* record44)>;
using TecSetRealtimeModeFn = std::function<std::int32_t(std::int32_t handle, std::uint32_t mode)>;

// An empty function restores the simulated card's entry.
void SetTecOpen(TecOpenFn fn);
void SetTecClose(TecCloseFn fn);
void SetTecGetVersion(TecGetVersionFn fn);
void SetTecGetCardInfo(TecGetCardInfoFn fn);
void SetTecGetErrorText(TecGetErrorTextFn fn);
void SetTecReadTime(TecReadTimeFn fn);
void SetTecSetRealtimeMode(TecSetRealtimeModeFn fn);
void UseSimulatedCard(); // every entry back to the simulated card

enum class TecFn : std::uint8_t {
    Open,
    Close,
    GetVersion,
    GetCardInfo,
    GetErrorText,
    ReadTime,
    SetRealtimeMode,
};

struct TecCall {
    TecFn Fn = TecFn::Open;
    std::int32_t Handle = 0;  // the handle passed (tecOpen: the handle it wrote; else 0)
    std::uint32_t Arg = 0;    // tecOpen: port id; tecSetRealtimeMode: mode; else 0
    std::int32_t Result = 0;  // tecGetErrorText: 0
    std::int64_t At100ns = 0; // true time at the call
};

// A library call that hangs in the driver: from the nth call of fn on (counted as
// TecCallCount counts), every call of it blocks until ReleaseTecCalls or a reset.
// AwaitHeldTecCall waits in real time until a call is held; false after the timeout.
void HoldTecCalls(TecFn fn, std::uint64_t fromNth = 1);
bool AwaitHeldTecCall(int timeoutMs);
void ReleaseTecCalls();

// Calls of one function since the last reset (or ClearTecCalls).
std::uint64_t TecCallCount(TecFn fn);
// Every call in order (the most recent 100000 are kept).
std::vector<TecCall> TecCalls();
std::vector<TecCall> TecCalls(TecFn fn);
void ClearTecCalls();

} // namespace emu
