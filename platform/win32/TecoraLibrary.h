// The seven functions of the card library TECORA32.DLL as this program calls them.
//
// The library exports them by ordinal only. The import library built from tecora32-i686.def
// (or tecora32-x86_64.def) binds these declarations to the ordinals, so the executable
// carries no names for them. The simulated card defines the same functions with the same
// signatures when it is built as the library.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define TECORA_API __stdcall
#else
#define TECORA_API
#endif

extern "C" {
std::int32_t TECORA_API tecOpen(std::int32_t* handle, std::uint32_t portId); // ordinal 2
std::int32_t TECORA_API tecClose(std::int32_t handle);                       // ordinal 3
std::int32_t TECORA_API tecGetVersion(std::int32_t handle, std::uint32_t* cardState,
                                      std::uint32_t* firmwareWord,
                                      std::uint32_t* libraryVersion); // ordinal 59
std::int32_t TECORA_API tecGetCardInfo(std::int32_t handle, std::uint32_t* unitsDigit,
                                       std::uint32_t* tensDigit,
                                       std::uint32_t* typeLetter);                   // ordinal 66
const char* TECORA_API tecGetErrorText();                                            // ordinal 68
std::int32_t TECORA_API tecReadTime(std::int32_t handle, void* record44);            // ordinal 102
std::int32_t TECORA_API tecSetRealtimeMode(std::int32_t handle, std::uint32_t mode); // 103
}
