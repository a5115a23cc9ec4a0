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
constexpr std::uint32_t kFramesPerSecond = 25;
constexpr int kMaxHandles = 4;
// Closes every handle and forgets the configuration and the last frame read.
void Reset();
} // namespace simcard
