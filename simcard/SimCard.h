// The simulated timecode reader card: the seven library functions of TECORA32.DLL.
//
// Portable: it reaches the system only through plat:: calls, so the same source becomes the
// DLL on Windows and the card behind the emulated platform on Linux. Its behaviour comes from
// the registry key HKEY_LOCAL_MACHINE "\SOFTWARE\TecoraSim", read at every tecOpen and again
// whenever a second of reference time has passed since the last reading:
//
//   "Present"        DWORD 1    0: tecOpen fails with -2 (no card)
//   "CardState"      DWORD 1    CardState of tecGetVersion
//   "FirmwareWord"   DWORD 9    FirmwareWord of tecGetVersion
//   "FirmwareMinor"  SZ "17"    tens then units character of the firmware's minor number
//   "TypeLetter"     SZ "t"     the card type letter
//   "LibraryVersion" DWORD 517  LibraryVersion of tecGetVersion
//   "OffsetMs"       DWORD 0    signed: the PC clock is this many ms ahead of the timecode
//   "TimecodeZone"   DWORD 1    0: UTC + "LtcZone" hours (UTC for 3), 1: PC local, 2: UTC
//   "LtcZone"        DWORD 3    the record's LtcZone
//   "SyncFlag"       DWORD 1    sets FlagLtcSync
//   "DateValid"      DWORD 1    0: FlagDateValid never set
//   "ReadResult"     DWORD 0    signed: when not 0, tecReadTime returns it instead of a record
//   "Unplugged"      DWORD 0    1: no timecode on the input; every read has no new data
//
// How hard a card it is, as real cards and PCs are:
//   "FrameRate"      DWORD 25   24, 25, 30, or 2997 for 29.97 drop-frame
//   "FrameMs"        DWORD 0    the ms of a label from its frame number: 0 rounded, 1 truncated
//   "StampLatency"   DWORD 0    the delay before the PC time is taken: 0 none, 1 typical
//                               (mean about 0.11 ms, rare spikes of a few ms), 2 a loaded PC
//                               (mean about 0.55 ms, a heavy tail up to 25 ms)
//   "StampClock"     DWORD 0    the PC clock stamped: 0 the precise one, 1 the interrupt clock
//                               (as the last interrupt left it), 2 a clock of whole ms
//   "StampMs"        DWORD 0    the stamp to whole ms: 0 rounded, 1 truncated
//   "Seed"           DWORD 1    of the latencies and faults, each a function of seed and frame
//   "RepeatPpm"      DWORD 0    per million frames: the previous record is delivered again
//   "SkipPpm"        DWORD 0    ... the frame never arrives
//   "LatePpm"        DWORD 0    ... the label is one frame late
//   "EarlyPpm"       DWORD 0    ... the label is one frame early
//   "GarbledPpm"     DWORD 0    ... the label is 1 to 9 seconds off
#pragma once

#include <cstdint>

#ifdef _WIN32
#define TEC_API __stdcall
#else
#define TEC_API
#endif

extern "C" {
std::int32_t TEC_API tecOpen(std::int32_t* handle, std::uint32_t portId);
std::int32_t TEC_API tecClose(std::int32_t handle);
std::int32_t TEC_API tecGetVersion(std::int32_t handle, std::uint32_t* cardState,
                                   std::uint32_t* firmwareWord, std::uint32_t* libraryVersion);
std::int32_t TEC_API tecGetCardInfo(std::int32_t handle, std::uint32_t* unitsDigit,
                                    std::uint32_t* tensDigit, std::uint32_t* typeLetter);
const char* TEC_API tecGetErrorText();
std::int32_t TEC_API tecReadTime(std::int32_t handle, void* record44);
std::int32_t TEC_API tecSetRealtimeMode(std::int32_t handle, std::uint32_t mode);
}

namespace simcard {
constexpr const char* kConfigKey = "SOFTWARE\\TecoraSim";
constexpr std::uint32_t kFirstPort = 4097; // the card answers on ports 4097 to 4106
constexpr std::uint32_t kLastPort = 4106;
constexpr std::uint32_t kFrames24 = 24;
constexpr std::uint32_t kFrames25 = 25;
constexpr std::uint32_t kFrames2997 = 2997; // drop-frame labels
constexpr std::uint32_t kFrames30 = 30;
constexpr std::uint32_t kRound = 0;
constexpr std::uint32_t kTruncate = 1;
constexpr std::uint32_t kLatencyNone = 0;
constexpr std::uint32_t kLatencyTypical = 1;
constexpr std::uint32_t kLatencyLoaded = 2;
constexpr std::uint32_t kClockPrecise = 0;
constexpr std::uint32_t kClockInterrupt = 1;
constexpr std::uint32_t kClockMs = 2;
constexpr int kMaxHandles = 4;
// Closes every handle and forgets the configuration and the last frame read.
void Reset();
// The configuration is read afresh at the next call, not up to a second later.
void Reconfigure();
} // namespace simcard
