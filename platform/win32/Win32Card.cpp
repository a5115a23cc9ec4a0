// The card library, bound to TECORA32.DLL by ordinal through its import library.
//
// Kept apart from the rest of the platform so that the simulated library, which links the
// platform for the registry and the clock, never pulls in imports of itself.
#include "platform/Platform.h"
#include "platform/win32/TecoraLibrary.h"

namespace plat {

std::int32_t TecOpen(std::int32_t* handle, std::uint32_t portId) {
    return ::tecOpen(handle, portId);
}

std::int32_t TecClose(std::int32_t handle) {
    return ::tecClose(handle);
}

std::int32_t TecGetVersion(std::int32_t handle, std::uint32_t* cardState,
                           std::uint32_t* firmwareWord, std::uint32_t* libraryVersion) {
    return ::tecGetVersion(handle, cardState, firmwareWord, libraryVersion);
}

std::int32_t TecGetCardInfo(std::int32_t handle, std::uint32_t* unitsDigit,
                            std::uint32_t* tensDigit, std::uint32_t* typeLetter) {
    return ::tecGetCardInfo(handle, unitsDigit, tensDigit, typeLetter);
}

const char* TecGetErrorText() {
    return ::tecGetErrorText();
}

std::int32_t TecReadTime(std::int32_t handle, void* record44) {
    return ::tecReadTime(handle, record44);
}

std::int32_t TecSetRealtimeMode(std::int32_t handle, std::uint32_t mode) {
    return ::tecSetRealtimeMode(handle, mode);
}

} // namespace plat
