#include "TimeFunc/ClockControl.h"

#include "TimeFunc/CivilTime.h"
#include "TimeFunc/TimeZone.h"
#include "card/CardLink.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace {

// Written at the process's start (InitDefaultTimeIncrement, before any thread); read by both.
std::atomic<std::uint32_t> defaultIncrement{0};

// Read before any service code runs, as the nominal rate everything else is measured against.
// A failure to start the process here is as good as anywhere.
const bool kIncrementRead = [] { // NOLINT(cert-err58-cpp)
    InitDefaultTimeIncrement();
    return true;
}();

// The time privilege, enabled for the span of one clock operation.
struct TimePrivilege {
    plat::Token Token;
    plat::TokenPrivileges Previous;
    bool Enabled = false;

    TimePrivilege() = default;
    TimePrivilege(const TimePrivilege&) = delete;
    TimePrivilege& operator=(const TimePrivilege&) = delete;
    // Puts back the state found before enabling; the token closes with this object.
    ~TimePrivilege() {
        if (Enabled) {
            plat::TokenPrivileges ignored;
            plat::AdjustTokenPrivileges(Token, Previous, ignored);
        }
    }
};

// Opens the process token and enables the time privilege in it. Returns ClockOk or the
// failing step; the operating system's error is then in the thread's last error.
ClockResult EnableTimePrivilege(TimePrivilege& privilege) {
    if (!plat::OpenProcessToken(plat::kTokenAllAccess, privilege.Token)) {
        return ClockTokenFailed;
    }
    plat::TokenPrivileges request;
    request.PrivilegeCount = 1;
    request.Attributes = plat::kSePrivilegeEnabled;
    if (!plat::LookupPrivilegeValue(plat::kSystemtimePrivilege, request.PrivilegeLuid)) {
        return ClockLookupFailed;
    }
    if (!plat::AdjustTokenPrivileges(privilege.Token, request, privilege.Previous)) {
        return ClockEnableFailed;
    }
    privilege.Enabled = true;
    return ClockOk;
}

// The rate this process last set, and whether a rate set by someone else has been seen since
// the last ClockRateMovedByOthers. Written by the loop's thread and the stop's (the control
// handler's), and only under ClockLock(), as every change of the rate is, so a reading can
// never catch one of our own changes half made, whichever thread makes it.
struct AppliedRate {
    bool Known = false;
    bool SystemRegulates = false; // handed to the system's own regulation
    std::uint32_t Adjustment = 0;
};
AppliedRate appliedRate;
bool rateMovedByOthers = false;

void RememberRate(std::uint32_t adjustment, bool systemRegulates) {
    appliedRate = AppliedRate{true, systemRegulates, adjustment};
}

// A unit either way is allowed for systems that keep the rate in finer units and round it
// when they report it.
bool RateIsOurs(std::uint32_t adjustment, bool systemRegulates) {
    if (!appliedRate.Known) {
        return true;
    }
    if (appliedRate.SystemRegulates || systemRegulates) {
        return appliedRate.SystemRegulates == systemRegulates;
    }
    const std::uint32_t difference = adjustment > appliedRate.Adjustment
                                         ? adjustment - appliedRate.Adjustment
                                         : appliedRate.Adjustment - adjustment;
    return difference <= 1;
}

// Another program's rate fights ours only while this process holds a correction of its own
// (ClockRateMovedByOthers decides): with the clock handed to the system's regulation (no
// timecode, nothing to correct), what others do to the rate is theirs to do.
bool HoldingCorrection() {
    return appliedRate.Known && !appliedRate.SystemRegulates;
}

void NoteRateReadBack(std::uint32_t adjustment, bool systemRegulates) {
    if (!RateIsOurs(adjustment, systemRegulates)) {
        rateMovedByOthers = true;
    }
}

// The card reads of the service thread overwrite LastCardResult at any moment; the stop on
// the other thread keeps its own copy of why its clock call failed.
thread_local std::uint32_t lastClockError = 0; // each thread its own

void StoreLastError() {
    lastClockError = plat::GetLastError();
    LastCardResult = static_cast<std::int32_t>(lastClockError);
}

// Hands the clock to the system's own regulation at the nominal rate, under the caller's
// enabled privilege.
bool HandClockToSystem() {
    if (!plat::SetSystemTimeAdjustment(DefaultTimeIncrement(), true)) {
        return false;
    }
    RememberRate(DefaultTimeIncrement(), true);
    return true;
}

// The base increment plus the correction, held inside the band around the base.
std::uint32_t WithinBand(std::uint32_t base, std::int32_t correction) {
    const std::int64_t band = base / kRateBandDivisor;
    return static_cast<std::uint32_t>(base + std::clamp<std::int64_t>(correction, -band, band));
}

// A record stamped further from now than this is no measure of the time since its frame.
constexpr std::int64_t kMaxAllowanceMs = 10000;

bool IsValidTime(const plat::SystemTime& t) {
    return civil::IsValidDate(t.Year, t.Month, t.Day) && t.Hour < 24 && t.Minute < 60 &&
           t.Second < 60 && t.Milliseconds < 1000;
}

// The record's frame and its System group stamp are the same moment: the timecode has moved
// on since by as much as the PC clock has. Left as it is when either time is not a valid one.
void AddTimeSinceStamp(plat::SystemTime& target, const TimecodeRecord& record,
                       const plat::SystemTime& now, std::int64_t nowLagMs) {
    const plat::SystemTime stamp = civil::SystemStampOf(record);
    if (!IsValidTime(stamp) || !IsValidTime(now) || !IsValidTime(target)) {
        return;
    }
    const std::int64_t elapsed = civil::StampMs(now) + nowLagMs - civil::StampMs(stamp);
    if (elapsed == 0 || elapsed > kMaxAllowanceMs || elapsed < -kMaxAllowanceMs) {
        return;
    }
    const std::int64_t moved = civil::StampMs(target) + elapsed;
    const std::int64_t day = moved / civil::kDayMs;
    if (day < 1 || day > civil::DayNumber(9999, 12, 31)) {
        return;
    }
    target = civil::TimeOfStamp(moved);
}

// Without a date in the timecode, the time of day belongs to whichever of yesterday, today
// and tomorrow puts it nearest to the clock: a timecode of 23:59:59 read just after
// midnight is yesterday's, not a whole day ahead.
void MoveToNearestDay(plat::SystemTime& target, const plat::SystemTime& now) {
    if (!civil::IsValidDate(now.Year, now.Month, now.Day)) {
        return;
    }
    const std::int64_t ahead = civil::MsOfDay(target) - civil::MsOfDay(now);
    std::int32_t shift = 0;
    if (ahead > civil::kHalfDayMs) {
        shift = -1;
    } else if (ahead < -civil::kHalfDayMs) {
        shift = 1;
    }
    if (shift == 0) {
        return;
    }
    const std::int32_t day = civil::DayNumber(now.Year, now.Month, now.Day) + shift;
    if (day < 1 || day > civil::DayNumber(9999, 12, 31)) {
        return;
    }
    const civil::Date date = civil::DateOf(day);
    target.Year = static_cast<std::uint16_t>(date.Year);
    target.Month = static_cast<std::uint16_t>(date.Month);
    target.Day = static_cast<std::uint16_t>(date.Day);
    target.DayOfWeek = static_cast<std::uint16_t>(civil::DayOfWeek(day));
}

// The system time moves only at the clock's interrupts (every 15.625 ms unless a program has
// asked for a finer timer), and is set from the time it reads: read between two interrupts it
// lags the clock by up to a whole interval, and the set would land that far behind. Just after
// an interrupt it lags by nothing. A short wait ends at the next interrupt on Windows, so the
// first or second one normally sees the time move; the bound covers waits that end sooner.
// Held under the device lock: a stop waits at most this long for it.
constexpr int kMostInterruptWaits = 20;
// Read just after an interrupt, the time still lags the clock by its truncation to the whole
// millisecond, and by however long the wait took to end after the interrupt: each up to a
// millisecond. One millisecond added puts the set within a millisecond either way.
constexpr std::int64_t kLagAfterInterruptMs = 1;

bool SameMillisecond(const plat::SystemTime& a, const plat::SystemTime& b) {
    return a.Milliseconds == b.Milliseconds && a.Second == b.Second && a.Minute == b.Minute &&
           a.Hour == b.Hour && a.Day == b.Day;
}

// The interpolated clock reads the time to well under a millisecond, but a set takes whole
// milliseconds: a target from a reading in the middle of one would land up to a millisecond
// behind. Just after the reading turns to the next millisecond, the time it shows is the time
// there is. Spinning costs at most that millisecond; the bound only guards against a clock
// that does not move.
constexpr int kMostPreciseReads = 1000000;

// False where the system has no interpolated clock.
bool AwaitMillisecondTurn(plat::SystemTime& now) {
    plat::SystemTime before;
    if (!plat::GetSystemTimePrecise(before)) {
        return false;
    }
    now = before;
    for (int read = 0; read < kMostPreciseReads; ++read) {
        (void)plat::GetSystemTimePrecise(now);
        if (!SameMillisecond(now, before)) {
            break;
        }
    }
    return true;
}

void AwaitClockInterrupt(plat::SystemTime& now) {
    plat::SystemTime before;
    plat::GetSystemTime(before);
    now = before;
    for (int wait = 0; wait < kMostInterruptWaits; ++wait) {
        plat::Sleep(1);
        plat::GetSystemTime(now);
        if (!SameMillisecond(now, before)) {
            return;
        }
    }
}

} // namespace

std::uint32_t LastClockError() {
    return lastClockError;
}

std::uint32_t DefaultTimeIncrement() {
    return defaultIncrement.load(std::memory_order_relaxed);
}

void InitDefaultTimeIncrement() {
    std::uint32_t adjustment = 0;
    std::uint32_t increment = 0;
    bool disabled = false;
    defaultIncrement.store(
        plat::GetSystemTimeAdjustment(adjustment, increment, disabled) ? increment : 0,
        std::memory_order_relaxed);
}

ClockResult SetClockRate(std::uint32_t adjustment) {
    const std::lock_guard lock(ClockLock());
    if (StopLatched) {
        adjustment = 0; // after the stop only the nominal rate may be set
    }
    TimePrivilege privilege;
    const ClockResult enabled = EnableTimePrivilege(privilege);
    if (enabled != ClockOk) {
        StoreLastError();
        return enabled;
    }
    const std::uint32_t nominal = DefaultTimeIncrement();
    if (adjustment == 0) {
        adjustment = nominal;
    }
    bool disable = adjustment == nominal;
    // Callers add a signed correction to the nominal rate; modulo 2^32 it comes back whole.
    const auto correction = static_cast<std::int32_t>(adjustment - nominal);
    std::uint32_t current = 0;
    std::uint32_t increment = 0;
    bool systemRegulates = false;
    if (plat::GetSystemTimeAdjustment(current, increment, systemRegulates)) {
        NoteRateReadBack(current, systemRegulates);
        // The correction is relative to the nominal rate; carry it over to the increment in
        // force now.
        adjustment = WithinBand(increment, correction);
    } else if (nominal == 0) {
        // With neither the start-up increment nor the present one known, the adjustment is a
        // bare correction that would stop or race the clock: leave the rate to the system.
        disable = true;
    } else {
        adjustment = WithinBand(nominal, correction);
    }
    ClockResult result = ClockOk;
    if (plat::SetSystemTimeAdjustment(adjustment, disable)) {
        RememberRate(adjustment, disable);
    } else {
        StoreLastError();
        result = ClockAdjustFailed;
    }
    return result;
}

bool ClockRateMovedByOthers() {
    const std::lock_guard lock(ClockLock());
    std::uint32_t adjustment = 0;
    std::uint32_t increment = 0;
    bool systemRegulates = false;
    if (plat::GetSystemTimeAdjustment(adjustment, increment, systemRegulates)) {
        NoteRateReadBack(adjustment, systemRegulates);
    }
    const bool moved = rateMovedByOthers && HoldingCorrection();
    rateMovedByOthers = false;
    return moved;
}

void ForgetAppliedRate() {
    const std::lock_guard lock(ClockLock());
    appliedRate = AppliedRate{};
    rateMovedByOthers = false;
}

bool ClockCorrectionPpm(double& ppm) {
    std::uint32_t adjustment = 0;
    std::uint32_t increment = 0;
    bool systemRegulates = true;
    if (!plat::GetSystemTimeAdjustment(adjustment, increment, systemRegulates) || systemRegulates ||
        increment == 0) {
        return false;
    }
    ppm = (static_cast<double>(adjustment) - static_cast<double>(increment)) * 1e6 /
          static_cast<double>(increment);
    return true;
}

HardSetResult HardSetSystemTime(const TimecodeRecord& record, bool dateFlag) {
    const std::lock_guard lock(ClockLock());
    if (StopLatched) {
        return HardSetStopped;
    }
    // The interpolated clock says where the clock stands at the turn of a millisecond; without
    // it, the coarse one does so only just after an interrupt.
    plat::SystemTime now;
    std::int64_t nowLagMs = 0;
    if (!AwaitMillisecondTurn(now)) {
        AwaitClockInterrupt(now);
        nowLagMs = kLagAfterInterruptMs;
    }
    plat::SystemTime target = now;
    // The timecode's time of day, and its date when it carries one, over the clock's.
    target = civil::LtcTimeOf(record, target, dateFlag);
    if (!dateFlag) {
        MoveToNearestDay(target, now);
    }
    AddTimeSinceStamp(target, record, now, nowLagMs);
    TimePrivilege privilege;
    if (EnableTimePrivilege(privilege) != ClockOk || !HandClockToSystem() ||
        !plat::SetSystemTime(target)) {
        StoreLastError();
        return HardSetRefused;
    }
    return HardSetDone;
}
