#pragma once

#include "TimeFunc/TimecodeRecord.h"

#include <cstdint>

// Results of SetClockRate.
enum ClockResult : std::uint8_t {
    ClockOk = 0,
    ClockTokenFailed = 1,
    ClockLookupFailed = 2,
    ClockEnableFailed = 3,
    ClockAdjustFailed = 4,
};

// The increment per clock interrupt that the system reported when the process started
// (0 when it could not be read).
std::uint32_t DefaultTimeIncrement();

// Reads DefaultTimeIncrement from the system. Runs once at process start; tests call it again
// after they have scripted the emulated clock.
void InitDefaultTimeIncrement();

// Sets the clock's rate; 0 or DefaultTimeIncrement() hands the clock back to the system.
ClockResult SetClockRate(std::uint32_t adjustment);

// Whether a program other than this one has changed the clock's rate since the last call: the
// rate read back now, or before any of the service's own changes since, differs from the one
// the service last set. Rates this process set, from either thread, never count.
bool ClockRateMovedByOthers();

// Forgets the rate this process last set (at the start of a run: what an earlier run set
// says nothing about who changed the clock since).
void ForgetAppliedRate();

// Sets the system time from the record's Ltc group (UTC). False only when the service's stop
// came first and nothing was touched; a failing platform call is not told apart.
bool HardSetSystemTime(const TimecodeRecord& record, bool dateFlag);
