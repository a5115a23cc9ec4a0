#include "TimeFunc/SystemInfo.h"

#include "platform/Platform.h"

#include <cstdint>

namespace {
constexpr std::int32_t kPlatformWin32s = 0;
constexpr std::int32_t kPlatformWindows = 1; // the 95 line
constexpr std::int32_t kPlatformNt = 2;
constexpr std::uint8_t kClassNt4 = 5;
} // namespace

std::uint8_t OsVersionClass() {
    plat::OsVersionInfo info;
    if (!plat::GetVersionEx(info)) {
        return 0;
    }
    const auto platform = static_cast<std::int32_t>(info.PlatformId);
    const auto major = static_cast<std::int32_t>(info.MajorVersion);
    const auto minor = static_cast<std::int32_t>(info.MinorVersion);
    switch (platform) {
    case kPlatformWin32s:
        return 1;
    case kPlatformWindows:
        return (major < 4 || (major == 4 && minor <= 0)) ? 2 : 3;
    case kPlatformNt:
        if (major < 4) {
            return 4;
        }
        return major == 4 ? kClassNt4 : 6;
    default:
        return 0;
    }
}

bool RunSetup(const std::string& argument) {
    // Only the one system class whose removal needs the setup program's help runs it, and only
    // when it lies in the current directory.
    if (OsVersionClass() != kClassNt4 || !plat::FileExists("setup.exe")) {
        return true;
    }
    std::uint32_t exitCode = 0;
    if (!plat::RunProcess("setup.exe " + argument, exitCode)) {
        return false;
    }
    return exitCode == 0;
}
