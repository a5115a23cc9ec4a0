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

#undef CreateEvent
#undef CreateService
#undef GetFileVersionInfo
#undef GetFileVersionInfoSize
#undef GetModuleFileName
#undef GetVersionEx
#undef LookupPrivilegeValue
#undef MessageBox
#undef OpenSCManager
#undef OpenService
#undef RegCreateKey
#undef RegOpenKey
#undef RegQueryValue
#undef RegSetValue
#undef RegisterEventSource
#undef RegisterServiceCtrlHandler
#undef ReportEvent
#undef StartService
#undef StartServiceCtrlDispatcher
#undef WriteConsole
