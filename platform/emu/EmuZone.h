// The emulated machine's time zone: the rules GetTimeZoneInformation reports, and the local
// time they make of the system clock.
#pragma once

#include "platform/Platform.h"

namespace emu {

// The machine's zone, with the platform's transition-date encoding (StandardDate and
// DaylightDate with Year 0: month, day of week, week 1 to 5 in Day, hour). Month 0 in both:
// no daylight time. UTC at reset.
void SetTimeZone(const plat::TimeZoneInfo& tz);
plat::TimeZoneInfo CentralEuropeanZone(); // UTC+1, daylight UTC+2 from last Sunday in March
plat::TimeZoneInfo UtcZone();

} // namespace emu
