// Time, privileges, waiting, events and threads on Win32.
#include "platform/Platform.h"

#include "platform/win32/Win32Api.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <random>

namespace plat {

static_assert(sizeof(SYSTEMTIME) == sizeof(SystemTime));
static_assert(offsetof(SYSTEMTIME, wDayOfWeek) == offsetof(SystemTime, DayOfWeek));
static_assert(offsetof(SYSTEMTIME, wMilliseconds) == offsetof(SystemTime, Milliseconds));
static_assert(sizeof(TOKEN_PRIVILEGES) == sizeof(TokenPrivileges));

namespace {

SYSTEMTIME ToWin(const SystemTime& t) {
    return SameLayout<SYSTEMTIME>(t);
}
SystemTime FromWin(const SYSTEMTIME& st) {
    return SameLayout<SystemTime>(st);
}

TIME_ZONE_INFORMATION ToWin(const TimeZoneInfo& tz) {
    TIME_ZONE_INFORMATION w{};
    w.Bias = tz.Bias;
    w.StandardDate = ToWin(tz.StandardDate);
    w.StandardBias = tz.StandardBias;
    w.DaylightDate = ToWin(tz.DaylightDate);
    w.DaylightBias = tz.DaylightBias;
    return w;
}

} // namespace

std::uint32_t GetLastError() {
    return ::GetLastError();
}
void SetLastError(std::uint32_t code) {
    ::SetLastError(code);
}

// ---------------------------------------------------------------------------
// Time

void GetSystemTime(SystemTime& utc) {
    SYSTEMTIME st;
    ::GetSystemTime(&st);
    utc = FromWin(st);
}

void GetLocalTime(SystemTime& local) {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    local = FromWin(st);
}

bool SetSystemTime(const SystemTime& utc) {
    const SYSTEMTIME st = ToWin(utc);
    return ::SetSystemTime(&st) != FALSE;
}

std::uint32_t GetTimeZoneInformation(TimeZoneInfo& tz) {
    TIME_ZONE_INFORMATION w{};
    const DWORD id = ::GetTimeZoneInformation(&w);
    tz.Bias = w.Bias;
    tz.StandardDate = FromWin(w.StandardDate);
    tz.StandardBias = w.StandardBias;
    tz.DaylightDate = FromWin(w.DaylightDate);
    tz.DaylightBias = w.DaylightBias;
    return id;
}

bool SystemTimeToTzSpecificLocalTime(const TimeZoneInfo& tz, const SystemTime& utc,
                                     SystemTime& local) {
    const TIME_ZONE_INFORMATION w = ToWin(tz);
    const SYSTEMTIME u = ToWin(utc);
    SYSTEMTIME l{};
    if (::SystemTimeToTzSpecificLocalTime(&w, &u, &l) == FALSE) {
        return false;
    }
    local = FromWin(l);
    return true;
}

bool GetSystemTimeAdjustment(std::uint32_t& adjustment, std::uint32_t& increment,
                             bool& systemRegulates) {
    DWORD adj = 0;
    DWORD inc = 0;
    BOOL disabled = FALSE;
    if (::GetSystemTimeAdjustment(&adj, &inc, &disabled) == FALSE) {
        return false;
    }
    adjustment = adj;
    increment = inc;
    systemRegulates = disabled != FALSE;
    return true;
}

bool SetSystemTimeAdjustment(std::uint32_t adjustment, bool systemRegulates) {
    return ::SetSystemTimeAdjustment(adjustment, systemRegulates ? TRUE : FALSE) != FALSE;
}

namespace {

std::int64_t FromFileTime(const FILETIME& ft) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                                     ft.dwLowDateTime);
}

using PreciseFn = void(WINAPI*)(LPFILETIME);

// Windows 8 and later only; looked up once.
PreciseFn PreciseClock() {
    static const PreciseFn precise = reinterpret_cast<PreciseFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    return precise;
}

// The interpolated clock where Windows has one; the coarse one before.
std::int64_t PreciseNow() {
    FILETIME ft{};
    if (const PreciseFn precise = PreciseClock(); precise != nullptr) {
        precise(&ft);
    } else {
        ::GetSystemTimeAsFileTime(&ft);
    }
    return FromFileTime(ft);
}

} // namespace

bool GetSystemTimePrecise(SystemTime& utc) {
    const PreciseFn precise = PreciseClock();
    if (precise == nullptr) {
        return false;
    }
    FILETIME ft{};
    precise(&ft);
    SYSTEMTIME st{};
    if (::FileTimeToSystemTime(&ft, &st) == FALSE) {
        return false;
    }
    utc = FromWin(st);
    return true;
}

void CardClocks(CardClockView& view) {
    FILETIME coarse{};
    ::GetSystemTimeAsFileTime(&coarse);
    const std::int64_t precise = PreciseNow();
    DWORD adjustment = 0;
    DWORD increment = 0;
    BOOL disabled = TRUE;
    if (::GetSystemTimeAdjustment(&adjustment, &increment, &disabled) == FALSE || increment == 0) {
        adjustment = increment = 156250;
        disabled = TRUE;
    }
    view.Reference = precise;
    view.Precise = precise;
    view.Interrupt = FromFileTime(coarse);
    view.SinceInterrupt = precise > view.Interrupt ? precise - view.Interrupt : 0;
    view.InterruptPeriod = increment;
    view.InterruptStep = disabled != FALSE ? increment : adjustment;
    view.PcRate = 1.0;
}

// ---------------------------------------------------------------------------
// Process token and privileges

void detail::CloseToken(OsHandle h) {
    ::CloseHandle(AsWin<HANDLE>(h));
}

bool OpenProcessToken(std::uint32_t access, Token& token) {
    HANDLE h = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), access, &h) == FALSE) {
        return false;
    }
    token = Token(AsOs(h));
    return true;
}

bool LookupPrivilegeValue(const char* name, Luid& luid) {
    LUID l{};
    if (::LookupPrivilegeValueA(nullptr, name, &l) == FALSE) {
        return false;
    }
    luid.LowPart = l.LowPart;
    luid.HighPart = l.HighPart;
    return true;
}

bool AdjustTokenPrivileges(const Token& token, const TokenPrivileges& newState,
                           TokenPrivileges& previous) {
    TOKEN_PRIVILEGES next{};
    next.PrivilegeCount = newState.PrivilegeCount;
    next.Privileges[0].Luid.LowPart = newState.PrivilegeLuid.LowPart;
    next.Privileges[0].Luid.HighPart = newState.PrivilegeLuid.HighPart;
    next.Privileges[0].Attributes = newState.Attributes;
    TOKEN_PRIVILEGES prior{};
    DWORD returned = 0;
    if (::AdjustTokenPrivileges(AsWin<HANDLE>(token.get()), FALSE, &next, sizeof prior, &prior,
                                &returned) == FALSE) {
        return false;
    }
    previous.PrivilegeCount = prior.PrivilegeCount;
    previous.PrivilegeLuid.LowPart = prior.Privileges[0].Luid.LowPart;
    previous.PrivilegeLuid.HighPart = prior.Privileges[0].Luid.HighPart;
    previous.Attributes = prior.Privileges[0].Attributes;
    return true;
}

// ---------------------------------------------------------------------------
// Waiting, events and threads

void Sleep(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

std::uint64_t GetTickCount64() {
    return ::GetTickCount64();
}

std::uint32_t RandomBelow(std::uint32_t bound) {
    if (bound == 0) {
        return 0;
    }
    static std::mutex lock;
    static std::minstd_rand engine(static_cast<std::minstd_rand::result_type>(
        ::GetTickCount() ^ (::GetCurrentProcessId() << 16)));
    const std::lock_guard<std::mutex> guard(lock);
    std::uniform_int_distribution<std::uint32_t> pick(0, bound - 1);
    return pick(engine);
}

void detail::CloseEvent(OsHandle h) {
    ::CloseHandle(AsWin<HANDLE>(h));
}

Event CreateEvent(bool manualReset, bool initiallySignalled) {
    HANDLE h = ::CreateEventA(nullptr, manualReset ? TRUE : FALSE,
                              initiallySignalled ? TRUE : FALSE, nullptr);
    return Event(AsOs(h));
}

bool SetEvent(OsHandle event) {
    return ::SetEvent(AsWin<HANDLE>(event)) != FALSE;
}

std::uint32_t WaitForSingleObject(OsHandle object, std::uint32_t milliseconds) {
    return ::WaitForSingleObject(AsWin<HANDLE>(object), milliseconds);
}

namespace {

struct ThreadStart {
    void (*work)(void*);
    void* context;
};

DWORD WINAPI ThreadEntry(LPVOID parameter) {
    const std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
    start->work(start->context);
    return 0;
}

} // namespace

bool StartDetachedThread(void (*work)(void* context), void* context) {
    auto start = std::make_unique<ThreadStart>(ThreadStart{work, context});
    HANDLE thread = ::CreateThread(nullptr, 0, ThreadEntry, start.get(), 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    start.release(); // the thread owns it now
    ::CloseHandle(thread);
    return true;
}

} // namespace plat
