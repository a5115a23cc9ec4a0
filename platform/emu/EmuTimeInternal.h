// Shared between the files of the emulated time area; not for tests or other areas.
#pragma once

#include "platform/emu/EmuTime.h"
#include "platform/emu/EmuWait.h"

#include <cstdint>

namespace emu::detail {

// True when an injected failure of this kind is due now; the caller's last error is then set.
bool Injected(Fail what);

// A fresh handle value, valid as a signed 32-bit number and never handed out twice.
plat::OsHandle NewHandle();

// The calendar's checks, for the zone's rules: a valid date and time of day; the length of a
// month (1 to 12).
bool ValidUtc(const plat::SystemTime& utc);
int DaysInMonth(int year, int month);

// Closing a token or an event handle; false when the handle is not open.
bool CloseToken(plat::OsHandle handle);
bool CloseEvent(plat::OsHandle handle);

void ResetFailuresAndHook();
void ResetEventsAndRandom();

} // namespace emu::detail
