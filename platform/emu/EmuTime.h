// The emulated world's clock: true time, the PC's system clock with its physics, and the
// process token's time privilege. (Zones are in EmuZone.h; sleeping, events and threads in
// EmuWait.h.)
//
// Virtual time: true time advances only when code sleeps or waits with a time-out, or when a
// test advances it; nothing here ever waits in real time (except an INFINITE wait, which
// blocks until another thread signals). The system clock ticks at each clock interrupt, every
// 15.625 ms of its own oscillator unless set otherwise; the oscillator runs (1 + drift) times
// as fast as true time, and each tick adds the increment (while the system regulates) or the
// adjustment (while it does not), in 100-ns units, in proportion to its period.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <functional>

namespace emu {

// --- true time and the system clock -------------------------------------------------------

// True time in 100-ns units since 1601-01-01 UTC (the platform's FILETIME scale).
std::int64_t TrueTime100ns();
void TrueTimeUtc(plat::SystemTime& utc);
// System clock in the same units, as the platform reports it: it moves only at its ticks.
std::int64_t SystemTime100ns();
// The system clock read between its ticks, as the fraction of the running tick already
// elapsed on its oscillator would put it; what a precise time stamp of the PC clock shows.
std::int64_t SmoothSystemTime100ns();
// Advances true time (and the system clock with it) by this many milliseconds.
void AdvanceMs(std::int64_t ms);
void Advance100ns(std::int64_t units);
// System clock (read between ticks, as SmoothSystemTime100ns) minus true time, in
// milliseconds (fractional), so that the tick phase does not show as error.
double ClockErrorMs();

// Conversions between the platform's date-time record and 100-ns units since 1601.
std::int64_t UtcToUnits(const plat::SystemTime& utc);
plat::SystemTime UnitsToUtc(std::int64_t units); // with the day of week

// Scripting the world.
void SetTrueTimeUtc(const plat::SystemTime& utc); // the system clock is set equal to it
void SetClockOffsetMs(double ms);                 // system clock := true time + ms
void SetDriftPpm(double ppm); // oscillator runs (1 + ppm/1e6) x true rate; |ppm| <= 100000
void SetIncrement(std::uint32_t increment); // what the system regulates to (156250)
// The clock interrupt: its period (15.625 ms unless another program raised the timer
// resolution: 1 ms, 0.5 ms), and how late each interrupt comes after its point on the grid:
// up to Jitter100ns, and for a LateShare of them up to Late100ns more (less than a period in
// all). Each interrupt adds its period's share of the adjustment. Seeded, so a run repeats.
struct InterruptModel {
    std::int64_t Period100ns = 156250;
    std::int64_t Jitter100ns = 0;
    double LateShare = 0;
    std::int64_t Late100ns = 0;
    std::uint64_t Seed = 1;
};
void SetClockInterrupt(const InterruptModel& model);
// Whether a wait with a time-out ends at the clock interrupt that follows its time, as on
// Windows (Sleep(50) lasts 50 to 65.6 ms), rather than exactly on time (the default, which
// the tests that count virtual time stand on).
void SetWaitsEndAtInterrupt(bool atInterrupt);
// Whether the system has the clock read between interrupts (Windows 8 and later: the
// default), or only the coarse one (Windows 7).
void SetPreciseTimeAvailable(bool available);
// Advances true time by this many ms and, when waits end at interrupts, on to the next one.
void WaitMs(std::int64_t ms);

// Called once for every clock tick with true and system time after the tick (may be empty).
// The observer may read the world but must not advance time or script the clock.
void SetTickObserver(std::function<void(std::int64_t true100ns, std::int64_t system100ns)> obs);

// Another program sets the clock's rate, as its own SetSystemTimeAdjustment call would (not
// counted in AdjustmentCalls below).
void SetAdjustmentAsAnotherProgram(std::uint32_t adjustment, bool systemRegulates);

struct ClockState {
    std::uint32_t Adjustment = 0;
    std::uint32_t Increment = 0;
    bool SystemRegulates = true;       // the adjustment is ignored
    std::uint64_t AdjustmentCalls = 0; // successful SetSystemTimeAdjustment calls
    std::uint64_t SetTimeCalls = 0;    // successful SetSystemTime calls
};
ClockState Clock();

// --- the process token ----------------------------------------------------------------------

// Whether the process token holds the time privilege at all (it does by default, as a
// service under the local system account). Without it AdjustTokenPrivileges succeeds but
// enables nothing and leaves the last error 1300, as the platform does.
void SetPrivilegeHeld(bool held);

// --- observation ----------------------------------------------------------------------------

// Process tokens open now (for leak checks).
int OpenTokens();
bool PrivilegeEnabled(); // the time privilege is enabled in the process token right now

} // namespace emu
