// The emulated world's clock: true time, the PC's system clock with its tick physics, the
// process token's time privilege.
#include "platform/emu/EmuTime.h"

#include "platform/emu/EmuTimeInternal.h"
#include "platform/emu/World.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

namespace emu {
namespace {

constexpr std::int64_t kUnitsPerMs = 10000;
constexpr std::int64_t kUnitsPerMinute = std::int64_t{60} * 1000 * kUnitsPerMs;
constexpr std::int64_t kUnitsPerDay = std::int64_t{24} * 60 * kUnitsPerMinute;
constexpr std::uint32_t kNominalIncrement = 156250;
// The oscillator's phase is kept in billionths of a 100-ns unit so that a drift of a
// fraction of a ppm still accumulates exactly in integers.
constexpr std::int64_t kRateScale = 1000000000;
constexpr std::int64_t kDefaultPeriod = 156250; // the clock interrupt: 15.625 ms
// Without an observer, long advances are taken in chunks this long (100 s) so that the
// phase sum stays well inside 64 bits.
constexpr std::int64_t kBulkChunk = 1000000000;
constexpr double kMaxDriftPpm = 100000.0;
// What one read of the interpolated clock costs in true time: a real one takes tens of ns,
// this is the finest step the emulated world has.
constexpr std::int64_t kPreciseReadUnits = 1;
constexpr std::uint32_t kSystemtimeLuidLow = 12;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorNoSuchPrivilege = 1313;
constexpr std::uint32_t kErrorNotAllAssigned = 1300;

// --- calendar (days since 1601-01-01) ---------------------------------------------------------

constexpr bool IsLeap(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

constexpr int MonthLength(std::int64_t y, int m) {
    constexpr int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kLengths[m - 1];
}

// Era-based civil day count, shifted so that 1601-01-01 is day 0.
constexpr std::int64_t DaysFrom1601(std::int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + 134774;
}

constexpr void CivilFrom1601(std::int64_t days, std::int64_t& y, int& m, int& d) {
    const std::int64_t z = days - 134774 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

static_assert(DaysFrom1601(1601, 1, 1) == 0);
static_assert(DaysFrom1601(1970, 1, 1) == 134774);

constexpr std::int64_t Units(std::int64_t y, int m, int d, int h, int min, int s, int ms) {
    return DaysFrom1601(y, m, d) * kUnitsPerDay +
           ((std::int64_t{h} * 60 + min) * 60 + s) * 1000 * kUnitsPerMs + ms * kUnitsPerMs;
}

constexpr std::int64_t kStartTime = Units(2026, 12, 6, 12, 0, 0, 0);

bool ValidSystemTime(const plat::SystemTime& t) {
    return t.Year >= 1601 && t.Year <= 30827 && t.Month >= 1 && t.Month <= 12 && t.Day >= 1 &&
           t.Day <= MonthLength(t.Year, t.Month) && t.Hour < 24 && t.Minute < 60 && t.Second < 60 &&
           t.Milliseconds < 1000;
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// --- the state --------------------------------------------------------------------------------

struct TimeState {
    std::int64_t trueTime = kStartTime;
    std::int64_t systemTime = kStartTime; // as of the last tick
    // Oscillator progress since the interrupt's last grid point. An interrupt fires at its
    // grid point plus its own jitter (less than a period), so the grid never drifts.
    std::int64_t phase = 0;
    std::int64_t rate = kRateScale; // phase gained per unit of true time
    std::int64_t period = kDefaultPeriod;
    std::int64_t tickPhase = kDefaultPeriod * kRateScale; // one period of phase
    std::int64_t jitterPrev = 0;                          // the grid point's before it
    std::int64_t jitterNow = 0;  // the latest grid point's jitter, in phase
    std::int64_t jitterNext = 0; // the next one's, drawn ahead so that waits can know it
    bool fired = true;           // whether the latest grid point's interrupt has come
    std::int64_t gainCarry = 0;  // of a tick's gain, in 1/156250 of a unit
    InterruptModel model{};
    std::uint64_t random = 1;
    double driftPpm = 0.0;
    std::uint32_t adjustment = kNominalIncrement;
    std::uint32_t increment = kNominalIncrement;
    bool systemRegulates = true;
    std::uint64_t adjustmentCalls = 0;
    std::uint64_t setTimeCalls = 0;
    std::function<void(std::int64_t, std::int64_t)> observer;
    std::set<plat::OsHandle> tokens;
    bool privilegeEnabled = false;
    bool privilegeHeld = true;
    bool waitsEndAtInterrupt = false;
    bool preciseAvailable = true;

    [[nodiscard]] std::uint32_t perTick() const { return systemRegulates ? increment : adjustment; }
    // What the next interrupts add: the adjustment is per 15.625 ms, and a faster interrupt
    // adds its share of it, the fraction carried so that no rate is lost.
    std::int64_t gain(std::int64_t ticks) {
        const std::int64_t total = ticks * perTick() * period + gainCarry;
        gainCarry = total % kDefaultPeriod;
        return total / kDefaultPeriod;
    }
    // What the system clock has gained since the last grid point, read between interrupts.
    [[nodiscard]] std::int64_t sinceGrid() const {
        const double fraction =
            static_cast<double>(phase) / static_cast<double>(kDefaultPeriod * kRateScale);
        return static_cast<std::int64_t>(std::floor(fraction * perTick()));
    }
    [[nodiscard]] std::int64_t pendingGain() const {
        return fired ? 0 : (perTick() * period + gainCarry) / kDefaultPeriod;
    }
    double next01() {
        random ^= random << 13U;
        random ^= random >> 7U;
        random ^= random << 17U;
        return static_cast<double>(random >> 11U) / 9007199254740992.0; // 2^53
    }
    std::int64_t drawJitter() {
        if (model.Jitter100ns <= 0 && model.LateShare <= 0) {
            return 0;
        }
        double units = next01() * static_cast<double>(std::max<std::int64_t>(model.Jitter100ns, 0));
        if (next01() < model.LateShare) {
            units += next01() * static_cast<double>(std::max<std::int64_t>(model.Late100ns, 0));
        }
        const auto j = static_cast<std::int64_t>(units * kRateScale);
        return std::min(j, tickPhase - kRateScale);
    }
    // Past a grid point: the next interrupt's jitter becomes the present one's.
    void newGridPoint() {
        jitterPrev = jitterNow;
        jitterNow = jitterNext;
        jitterNext = drawJitter();
        fired = false;
    }
};

// Recursive so that a tick observer may read the world from inside an advance.
std::recursive_mutex& Lock() {
    static std::recursive_mutex lock;
    return lock;
}

// Written by the test's control calls and by platform calls on any thread, under its lock.
TimeState& State() {
    static TimeState state;
    return state;
}

// The phase at which the next interrupt fires, measured from the latest grid point.
std::int64_t NextFiring(const TimeState& s) {
    return s.fired ? s.tickPhase + s.jitterNext : s.jitterNow;
}

void Fire(TimeState& s) {
    s.fired = true;
    s.systemTime += s.gain(1);
}

void AdvanceLocked(TimeState& s, std::int64_t units) {
    while (units > 0) {
        if (s.observer) {
            const std::int64_t toTick = (NextFiring(s) - s.phase + s.rate - 1) / s.rate;
            if (toTick > units) {
                s.phase += units * s.rate;
                s.trueTime += units;
                return;
            }
            s.trueTime += toTick;
            units -= toTick;
            s.phase += toTick * s.rate;
            if (s.phase >= s.tickPhase) {
                s.phase -= s.tickPhase;
                s.newGridPoint();
            }
            Fire(s);
            s.observer(s.trueTime, s.systemTime);
        } else {
            // Every grid point passed on the way fired within its period, whatever its
            // jitter; only the last one's may still be to come.
            const std::int64_t chunk = std::min(units, kBulkChunk);
            const std::int64_t total = s.phase + chunk * s.rate;
            const std::int64_t points = total / s.tickPhase;
            s.phase = total % s.tickPhase;
            if (points > 0) {
                s.systemTime += s.gain(points - (s.fired ? 1 : 0));
                s.newGridPoint();
            }
            if (!s.fired && s.phase >= s.jitterNow) {
                Fire(s);
            }
            s.trueTime += chunk;
            units -= chunk;
        }
    }
}

// The true time left until the next interrupt (0 when one falls just now).
std::int64_t UntilInterrupt(const TimeState& s) {
    // An advance that ends on an interrupt leaves less than a unit's worth of phase past it.
    if (s.fired && s.phase - s.jitterNow < s.rate) {
        return 0;
    }
    return (NextFiring(s) - s.phase + s.rate - 1) / s.rate;
}

std::int64_t SmoothLocked(const TimeState& s) {
    return s.systemTime + s.pendingGain() + s.sinceGrid();
}

void ResetTime() {
    const std::lock_guard lock(Lock());
    State() = TimeState{};
}

void ResetAll() {
    ResetTime();
    detail::ResetFailuresAndHook();
    detail::ResetEventsAndRandom();
    plat::SetLastError(0);
}

const detail::ResetRegistration kRegistration{&ResetAll}; // NOLINT(cert-err58-cpp)

} // namespace

std::int64_t UtcToUnits(const plat::SystemTime& utc) {
    return Units(utc.Year, utc.Month, utc.Day, utc.Hour, utc.Minute, utc.Second, utc.Milliseconds);
}

plat::SystemTime UnitsToUtc(std::int64_t units) {
    const std::int64_t days = FloorDiv(units, kUnitsPerDay);
    const std::int64_t inDay = units - days * kUnitsPerDay;
    std::int64_t y = 0;
    int m = 0;
    int d = 0;
    CivilFrom1601(days, y, m, d);
    const std::int64_t ms = inDay / kUnitsPerMs;
    plat::SystemTime t;
    t.Year = static_cast<std::uint16_t>(y);
    t.Month = static_cast<std::uint16_t>(m);
    t.Day = static_cast<std::uint16_t>(d);
    t.DayOfWeek = static_cast<std::uint16_t>((days % 7 + 8) % 7); // day 0 was a Monday
    t.Hour = static_cast<std::uint16_t>(ms / 3600000);
    t.Minute = static_cast<std::uint16_t>(ms / 60000 % 60);
    t.Second = static_cast<std::uint16_t>(ms / 1000 % 60);
    t.Milliseconds = static_cast<std::uint16_t>(ms % 1000);
    return t;
}

std::int64_t TrueTime100ns() {
    const std::lock_guard lock(Lock());
    return State().trueTime;
}

void TrueTimeUtc(plat::SystemTime& utc) {
    utc = UnitsToUtc(TrueTime100ns());
}

std::int64_t SystemTime100ns() {
    const std::lock_guard lock(Lock());
    return State().systemTime;
}

std::int64_t SmoothSystemTime100ns() {
    const std::lock_guard lock(Lock());
    return SmoothLocked(State());
}

void AdvanceMs(std::int64_t ms) {
    if (ms > 0) {
        Advance100ns(ms > INT64_MAX / kUnitsPerMs ? INT64_MAX : ms * kUnitsPerMs);
    }
}

void Advance100ns(std::int64_t units) {
    const std::lock_guard lock(Lock());
    AdvanceLocked(State(), units);
}

void SetWaitsEndAtInterrupt(bool atInterrupt) {
    const std::lock_guard lock(Lock());
    State().waitsEndAtInterrupt = atInterrupt;
}

void SetPreciseTimeAvailable(bool available) {
    const std::lock_guard lock(Lock());
    State().preciseAvailable = available;
}

void WaitMs(std::int64_t ms) {
    AdvanceMs(ms);
    const std::lock_guard lock(Lock());
    auto& s = State();
    if (s.waitsEndAtInterrupt && ms > 0) {
        AdvanceLocked(s, UntilInterrupt(s));
    }
}

double ClockErrorMs() {
    const std::lock_guard lock(Lock());
    const auto& s = State();
    return static_cast<double>(SmoothLocked(s) - s.trueTime) / kUnitsPerMs;
}

void SetTrueTimeUtc(const plat::SystemTime& utc) {
    const std::lock_guard lock(Lock());
    auto& s = State();
    s.trueTime = UtcToUnits(utc);
    s.systemTime = s.trueTime;
    s.phase = 0;
    s.fired = true;
}

void SetClockOffsetMs(double ms) {
    const std::lock_guard lock(Lock());
    auto& s = State();
    s.systemTime = s.trueTime + std::llround(ms * kUnitsPerMs);
    s.phase = 0;
    s.fired = true;
}

void SetClockInterrupt(const InterruptModel& model) {
    const std::lock_guard lock(Lock());
    auto& s = State();
    // The clock reads on from where it stands, as if an interrupt fell now.
    s.systemTime = SmoothLocked(s);
    s.phase = 0;
    s.fired = true;
    s.gainCarry = 0;
    s.model = model;
    s.period = std::clamp<std::int64_t>(model.Period100ns, 1000, kDefaultPeriod);
    s.tickPhase = s.period * kRateScale;
    s.random = model.Seed != 0 ? model.Seed : 1;
    s.jitterPrev = 0;
    s.jitterNow = 0;
    s.jitterNext = s.drawJitter();
}

void SetDriftPpm(double ppm) {
    const std::lock_guard lock(Lock());
    auto& s = State();
    s.driftPpm = std::clamp(ppm, -kMaxDriftPpm, kMaxDriftPpm);
    s.rate = kRateScale + std::llround(s.driftPpm * 1000.0);
}

void SetIncrement(std::uint32_t increment) {
    const std::lock_guard lock(Lock());
    State().increment = increment;
}

void SetTickObserver(std::function<void(std::int64_t, std::int64_t)> obs) {
    const std::lock_guard lock(Lock());
    State().observer = std::move(obs);
}

void SetAdjustmentAsAnotherProgram(std::uint32_t adjustment, bool systemRegulates) {
    const std::lock_guard lock(Lock());
    auto& s = State();
    s.adjustment = adjustment;
    s.systemRegulates = systemRegulates;
}

ClockState Clock() {
    const std::lock_guard lock(Lock());
    const auto& s = State();
    ClockState c;
    c.Adjustment = s.adjustment;
    c.Increment = s.increment;
    c.SystemRegulates = s.systemRegulates;
    c.AdjustmentCalls = s.adjustmentCalls;
    c.SetTimeCalls = s.setTimeCalls;
    return c;
}

void SetPrivilegeHeld(bool held) {
    const std::lock_guard lock(Lock());
    State().privilegeHeld = held;
    if (!held) {
        State().privilegeEnabled = false; // a privilege the token lacks is not in force either
    }
}

int OpenTokens() {
    const std::lock_guard lock(Lock());
    return static_cast<int>(State().tokens.size());
}

bool PrivilegeEnabled() {
    const std::lock_guard lock(Lock());
    return State().privilegeEnabled;
}

namespace detail {
bool ValidUtc(const plat::SystemTime& utc) {
    return ValidSystemTime(utc);
}

int DaysInMonth(int year, int month) {
    return MonthLength(year, month);
}

bool CloseToken(plat::OsHandle handle) {
    const std::lock_guard lock(Lock());
    return State().tokens.erase(handle) != 0;
}
} // namespace detail

} // namespace emu

// --- the platform calls -----------------------------------------------------------------------

namespace plat {

using emu::Fail;
using emu::detail::Injected;

void GetSystemTime(SystemTime& utc) {
    emu::NotifyCall("GetSystemTime");
    utc = emu::UnitsToUtc(emu::SystemTime100ns());
}

bool GetSystemTimePrecise(SystemTime& utc) {
    emu::NotifyCall("GetSystemTimePrecise");
    const std::lock_guard lock(emu::Lock());
    auto& s = emu::State();
    if (!s.preciseAvailable) {
        return false;
    }
    // A read takes time, if little: code that spins on this clock sees it move.
    emu::AdvanceLocked(s, emu::kPreciseReadUnits);
    utc = emu::UnitsToUtc(emu::SmoothLocked(s));
    return true;
}

bool SetSystemTime(const SystemTime& utc) {
    emu::NotifyCall("SetSystemTime");
    if (Injected(Fail::SetSystemTime)) {
        return false;
    }
    const std::lock_guard lock(emu::Lock());
    auto& s = emu::State();
    if (!s.privilegeEnabled) {
        SetLastError(kErrorPrivilegeNotHeld);
        return false;
    }
    if (!emu::ValidSystemTime(utc)) {
        SetLastError(emu::kErrorInvalidParameter);
        return false;
    }
    // As on Windows, the clock reads exactly the value passed from this moment on: the
    // running interrupt's fraction is not added on top. The interrupts keep their own
    // schedule, so until the next one the coarse time lags the value by that fraction.
    s.systemTime = emu::UtcToUnits(utc) - s.pendingGain() - s.sinceGrid();
    ++s.setTimeCalls;
    return true;
}

bool GetSystemTimeAdjustment(std::uint32_t& adjustment, std::uint32_t& increment,
                             bool& systemRegulates) {
    emu::NotifyCall("GetSystemTimeAdjustment");
    if (Injected(Fail::GetSystemTimeAdjustment)) {
        return false;
    }
    const std::lock_guard lock(emu::Lock());
    const auto& s = emu::State();
    adjustment = s.adjustment;
    increment = s.increment;
    systemRegulates = s.systemRegulates;
    return true;
}

bool SetSystemTimeAdjustment(std::uint32_t adjustment, bool systemRegulates) {
    emu::NotifyCall("SetSystemTimeAdjustment");
    if (Injected(Fail::SetSystemTimeAdjustment)) {
        return false;
    }
    const std::lock_guard lock(emu::Lock());
    auto& s = emu::State();
    if (!s.privilegeEnabled) {
        SetLastError(kErrorPrivilegeNotHeld);
        return false;
    }
    s.adjustment = adjustment;
    s.systemRegulates = systemRegulates;
    ++s.adjustmentCalls;
    return true;
}

void detail::CloseToken(OsHandle h) {
    emu::detail::CloseToken(h);
}

bool OpenProcessToken(std::uint32_t access, Token& token) {
    emu::NotifyCall("OpenProcessToken");
    static_cast<void>(access);
    if (Injected(Fail::OpenProcessToken)) {
        return false;
    }
    const OsHandle h = emu::detail::NewHandle();
    {
        const std::lock_guard lock(emu::Lock());
        emu::State().tokens.insert(h);
    }
    token = Token(h);
    return true;
}

bool LookupPrivilegeValue(const char* name, Luid& luid) {
    emu::NotifyCall("LookupPrivilegeValue");
    if (Injected(Fail::LookupPrivilegeValue)) {
        return false;
    }
    if (name == nullptr || std::strcmp(name, kSystemtimePrivilege) != 0) {
        SetLastError(emu::kErrorNoSuchPrivilege);
        return false;
    }
    luid.LowPart = emu::kSystemtimeLuidLow;
    luid.HighPart = 0;
    return true;
}

bool AdjustTokenPrivileges(const Token& token, const TokenPrivileges& newState,
                           TokenPrivileges& previous) {
    emu::NotifyCall("AdjustTokenPrivileges");
    if (Injected(Fail::AdjustTokenPrivileges)) {
        return false;
    }
    const std::lock_guard lock(emu::Lock());
    auto& s = emu::State();
    if (s.tokens.count(token.get()) == 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (newState.PrivilegeCount > 1) {
        SetLastError(emu::kErrorInvalidParameter);
        return false;
    }
    // Only privileges whose state changes are reported back, so that applying the previous
    // state restores exactly what was found.
    previous = TokenPrivileges{};
    if (newState.PrivilegeCount == 0) {
        SetLastError(kErrorSuccess);
        return true;
    }
    const bool isTimePrivilege = newState.PrivilegeLuid.LowPart == emu::kSystemtimeLuidLow &&
                                 newState.PrivilegeLuid.HighPart == 0;
    if (!isTimePrivilege || !s.privilegeHeld) {
        SetLastError(emu::kErrorNotAllAssigned);
        return true;
    }
    const bool enable = (newState.Attributes & kSePrivilegeEnabled) != 0;
    if (enable != s.privilegeEnabled) {
        previous.PrivilegeCount = 1;
        previous.PrivilegeLuid = newState.PrivilegeLuid;
        previous.Attributes = s.privilegeEnabled ? kSePrivilegeEnabled : 0;
        s.privilegeEnabled = enable;
    }
    SetLastError(kErrorSuccess);
    return true;
}

void CardClocks(CardClockView& view) {
    emu::NotifyCall("CardClocks");
    const std::lock_guard lock(emu::Lock());
    const auto& s = emu::State();
    view.Reference = s.trueTime;
    view.Precise = emu::SmoothLocked(s);
    view.Interrupt = s.systemTime;
    view.SinceInterrupt =
        (s.fired ? s.phase - s.jitterNow : s.phase + s.tickPhase - s.jitterPrev) / s.rate;
    view.InterruptPeriod = s.tickPhase / s.rate;
    view.InterruptStep = s.perTick() * s.period / emu::kDefaultPeriod;
    view.PcRate = static_cast<double>(s.perTick()) / emu::kNominalIncrement *
                  static_cast<double>(s.rate) / emu::kRateScale;
}

} // namespace plat
