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

// However a correction is computed, the clock never runs more than a tenth of its increment
// fast or slow (156,250 x 100 ns nominal: at most 15,625 either way).
constexpr std::uint32_t kRateBandDivisor = 10;

// The system error of this thread's last failed clock operation (also stored in
// LastCardResult, which the other thread's card calls may overwrite meanwhile).
std::uint32_t LastClockError();

// Sets the clock's rate; 0 or DefaultTimeIncrement() hands the clock back to the system.
// The correction (adjustment - DefaultTimeIncrement(), as a signed number) is held inside
// the band around the increment in force.
ClockResult SetClockRate(std::uint32_t adjustment);

// Whether a program other than this one has changed the clock's rate since the last call: the
// rate read back now, or before any of the service's own changes since, differs from the one
// the service last set. Rates this process set, from either thread, never count, and neither
// does anything while the clock is handed to the system's own regulation.
bool ClockRateMovedByOthers();

// Forgets the rate this process last set (at the start of a run: what an earlier run set
// says nothing about who changed the clock since).
void ForgetAppliedRate();

// The clock's rate correction now, in parts per million of its nominal increment (positive:
// the clock runs fast). False when the system regulates the clock itself, or it cannot be read.
bool ClockCorrectionPpm(double& ppm);

enum HardSetResult : std::uint8_t {
    HardSetDone = 0,
    HardSetStopped = 1, // the service's stop came first; nothing was touched
    HardSetRefused = 2, // the system refused; its error code is LastClockError()
};

// Sets the system time to the timecode's time of this moment: the record's Ltc group (UTC)
// plus the time that has passed on the PC clock since the record's System group stamp.
HardSetResult HardSetSystemTime(const TimecodeRecord& record, bool dateFlag);
