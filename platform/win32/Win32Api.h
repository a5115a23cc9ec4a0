// <windows.h> for the Win32 platform sources, with the A/W name macros that collide with the
// platform seam's own function names taken away. The sources call the A functions by their
// full names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <wtsapi32.h>

#include "platform/Platform.h"

#include <bit>

#undef CreateEvent
#undef CreateService
#undef DeleteFile
#undef GetFileAttributes
#undef GetFileVersionInfo
#undef GetFileVersionInfoSize
#undef GetModuleFileName
#undef GetVersionEx
#undef LookupPrivilegeValue
#undef OpenSCManager
#undef OpenService
#undef QueryServiceConfig
#undef RegCreateKey
#undef RegDeleteValue
#undef RegDeleteKey
#undef RegOpenKey
#undef RegQueryValue
#undef RegSetValue
#undef RegisterEventSource
#undef RegisterServiceCtrlHandler
#undef ReportEvent
#undef StartService
#undef StartServiceCtrlDispatcher
#undef WriteConsole
#undef WTSSendMessage

namespace plat {

// Handles cross the seam as plain integers.
template <class H> H AsWin(OsHandle h) {
    return reinterpret_cast<H>(h);
}
template <class H> OsHandle AsOs(H h) {
    return reinterpret_cast<OsHandle>(h);
}

// FormatGroupedNumber in a given locale rather than the user's (for the platform probe).
std::string FormatGroupedNumberInLocale(LCID locale, std::int32_t value);

// The seam's records mirror their Win32 counterparts field for field (same order, same
// widths), so they cross by copy.
template <class To, class From> To SameLayout(const From& from) {
    return std::bit_cast<To>(from);
}

} // namespace plat
