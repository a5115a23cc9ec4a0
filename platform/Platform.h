// The one seam between Chronel and the operating system (and the card library).
//
// Two implementations stand behind this header and exactly one is linked:
//   platform/win32/  the real Win32 calls (the only code that includes <windows.h>)
//   platform/emu/    an in-process model of the same behaviour, driven by tests through
//                    platform/emu/World.h
//
// Every call mirrors one Win32 call closely enough that the Win32 side is a thin
// forwarder; values, codes and flags keep their Win32 meaning and numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// ---------------------------------------------------------------------------
// Common values

using OsHandle = std::intptr_t; // an opaque kernel or service handle; 0 is "none"

// A handle counts as valid when its value, taken as a signed 32-bit number, is above zero.
inline bool HandleValid(OsHandle h) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(h)) > 0;
}

constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPrivilegeNotHeld = 1314;
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;

std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// ---------------------------------------------------------------------------
// Time

// Same fields and order as the platform's SYSTEMTIME.
struct SystemTime {
    std::uint16_t Year = 0;
    std::uint16_t Month = 0;
    std::uint16_t DayOfWeek = 0;
    std::uint16_t Day = 0;
    std::uint16_t Hour = 0;
    std::uint16_t Minute = 0;
    std::uint16_t Second = 0;
    std::uint16_t Milliseconds = 0;
};
static_assert(sizeof(SystemTime) == 16);

// TIME_ZONE_INFORMATION without the zone names, which nothing here reads.
// Bias convention: UTC = local time + bias, in minutes.
struct TimeZoneInfo {
    std::int32_t Bias = 0;
    SystemTime StandardDate; // transition rule in the platform's encoding; Month 0 = no DST
    std::int32_t StandardBias = 0;
    SystemTime DaylightDate;
    std::int32_t DaylightBias = 0;
};

constexpr std::uint32_t kTimeZoneIdInvalid = 0xFFFFFFFFu;
constexpr std::uint32_t kTimeZoneIdUnknown = 0;
constexpr std::uint32_t kTimeZoneIdStandard = 1;
constexpr std::uint32_t kTimeZoneIdDaylight = 2;

void GetSystemTime(SystemTime& utc);
// The clock read between its interrupts, cut to the whole ms as GetSystemTime cuts it, where
// the system can (Windows 8 and later: looked up at run time, so that the program still
// starts on Windows 7); false where it cannot, and utc is then left as it was.
bool GetSystemTimePrecise(SystemTime& utc);
void GetLocalTime(SystemTime& local);
bool SetSystemTime(const SystemTime& utc); // needs the time privilege
std::uint32_t GetTimeZoneInformation(TimeZoneInfo& tz);
bool SystemTimeToTzSpecificLocalTime(const TimeZoneInfo& tz, const SystemTime& utc,
                                     SystemTime& local);

// The clock's rate: 100-ns units added per clock interrupt. systemRegulates is what Windows
// calls the time adjustment being disabled: true while the system's own regulation runs the
// clock at its increment and ignores the adjustment.
bool GetSystemTimeAdjustment(std::uint32_t& adjustment, std::uint32_t& increment,
                             bool& systemRegulates);
// systemRegulates true hands the clock back to the system's own regulation; false makes the
// adjustment the rate. Needs the time privilege.
bool SetSystemTimeAdjustment(std::uint32_t adjustment, bool systemRegulates);

// ---------------------------------------------------------------------------
// Process token and privileges

// How each kind of handle is closed (the owners below do it).
namespace detail {
void CloseToken(OsHandle h);
void CloseEvent(OsHandle h);
void CloseRegKey(OsHandle h);
inline bool NonZero(OsHandle h) {
    return h != 0;
}
} // namespace detail

// An owned handle of one kind: Close ends it on destruction and on reset; Valid tells a
// handle from the kind's failure value. Movable, not copyable.
template <auto Close, auto Valid> class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(OsHandle h) : handle_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.release();
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }
    [[nodiscard]] OsHandle get() const { return handle_; }
    [[nodiscard]] bool valid() const { return Valid(handle_); }
    OsHandle release() {
        const OsHandle h = handle_;
        handle_ = 0;
        return h;
    }
    void reset() { // closes now
        if (Valid(handle_)) {
            Close(handle_);
        }
        handle_ = 0;
    }

  private:
    OsHandle handle_ = 0;
};

// An open process token.
using Token = UniqueHandle<detail::CloseToken, detail::NonZero>;

struct Luid {
    std::uint32_t LowPart = 0;
    std::int32_t HighPart = 0;
};

// TOKEN_PRIVILEGES with room for exactly one entry.
struct TokenPrivileges {
    std::uint32_t PrivilegeCount = 0;
    Luid PrivilegeLuid;
    std::uint32_t Attributes = 0;
};
static_assert(sizeof(TokenPrivileges) == 16);

constexpr std::uint32_t kSePrivilegeEnabled = 2;
constexpr std::uint32_t kTokenAllAccess = 0xF00FF;
constexpr const char* kSystemtimePrivilege = "SeSystemtimePrivilege";

bool OpenProcessToken(std::uint32_t access, Token& token);
bool LookupPrivilegeValue(const char* name, Luid& luid);
// Applies newState; previous receives the state it replaced.
bool AdjustTokenPrivileges(const Token& token, const TokenPrivileges& newState,
                           TokenPrivileges& previous);

// ---------------------------------------------------------------------------
// Waiting, events and threads

void Sleep(std::uint32_t milliseconds);
// Milliseconds since the system started; never goes back, whatever is done to the clock.
std::uint64_t GetTickCount64();
// A pseudo-random whole number drawn uniformly from 0 to bound-1.
std::uint32_t RandomBelow(std::uint32_t bound);

using Event = UniqueHandle<detail::CloseEvent, HandleValid>;

constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Unnamed, no security attributes. Returns an Event whose valid() is false on failure.
Event CreateEvent(bool manualReset, bool initiallySignalled);
bool SetEvent(OsHandle event);
std::uint32_t WaitForSingleObject(OsHandle object, std::uint32_t milliseconds);

// Runs work on a thread of its own that nobody joins; false when it could not start.
bool StartDetachedThread(void (*work)(void* context), void* context);

// ---------------------------------------------------------------------------
// Registry (HKEY_LOCAL_MACHINE only: nothing here uses another root)
//
// Keys are opened in the 32-bit view, the one the 32-bit service (bound to the 32-bit card
// library) sees; so a 64-bit build reads and writes the same settings and status.

enum class RegType : std::uint32_t {
    None = 0,
    Sz = 1,
    ExpandSz = 2,
    Binary = 3,
    Dword = 4,
    MultiSz = 7,
};

constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;
constexpr long kRegErrorSuccess = 0;
constexpr long kRegErrorFileNotFound = 2;
constexpr long kRegErrorMoreData = 234;

// An open registry key.
using RegKey = UniqueHandle<detail::CloseRegKey, detail::NonZero>;

// path is relative to HKEY_LOCAL_MACHINE, without a leading backslash ("SOFTWARE\\Tecora").
// All return Win32 error codes (0 = success).
long RegCreateKey(const std::string& path, RegKey& key); // non-volatile, KEY_ALL_ACCESS
long RegOpenKey(const std::string& path, std::uint32_t access, RegKey& key);
// Reads a value's type and raw bytes (strings include whatever terminator is stored).
long RegQueryValue(const RegKey& key, const std::string& name, RegType& type,
                   std::vector<std::uint8_t>& data);
long RegSetValue(const RegKey& key, const std::string& name, RegType type, const void* data,
                 std::size_t size);
// Deletes a value; kRegErrorFileNotFound when there was none.
long RegDeleteValue(const RegKey& key, const std::string& name);
// Deletes a key that has no subkeys.
long RegDeleteKey(const std::string& path);

// ---------------------------------------------------------------------------
// Event log

OsHandle RegisterEventSource(const char* sourceName);
bool ReportEvent(OsHandle source, std::uint16_t type, std::uint16_t category, std::uint32_t eventId,
                 const char* text);
bool DeregisterEventSource(OsHandle source);

// ---------------------------------------------------------------------------
// User interface

// A service's own session has no desktop anybody sees; the user's is the console session's.
constexpr std::uint32_t kNoConsoleSession = 0xFFFFFFFFu; // nobody at the console
constexpr std::uint32_t kMbOk = 0x00000000;              // one OK button, no icon

void MessageBeep(std::uint32_t type);
std::uint32_t WTSGetActiveConsoleSessionId();
// WTSSendMessageA on this server, no time-out: a message box on that session's desktop. With
// wait false it returns at once and the user's answer is not awaited.
bool WTSSendMessage(std::uint32_t session, const std::string& title, const std::string& message,
                    std::uint32_t style, bool wait);

// ---------------------------------------------------------------------------
// Version resources, module and process services

// The product version words of a file's fixed version record.
struct FileVersionWords {
    std::uint32_t ProductVersionMS = 0;
    std::uint32_t ProductVersionLS = 0;
};
std::uint32_t GetFileVersionInfoSize(const char* path);
bool GetFileVersionInfo(const char* path, std::uint32_t size, std::vector<std::uint8_t>& buffer);
// Queries the root block ("\\") of a buffer filled by GetFileVersionInfo.
bool VerQueryRootValue(const std::vector<std::uint8_t>& buffer, FileVersionWords& words);
// Queries one text of a buffer filled by GetFileVersionInfo, by its full block path
// ("\\StringFileInfo\\040904B0\\ProductName").
bool VerQueryStringValue(const std::vector<std::uint8_t>& buffer, const char* subBlock,
                         std::string& text);

// Full path of the running executable into a buffer of bufferSize bytes; 0 on failure.
std::uint32_t GetModuleFileName(char* buffer, std::uint32_t bufferSize);

struct OsVersionInfo {
    std::uint32_t MajorVersion = 0;
    std::uint32_t MinorVersion = 0;
    std::uint32_t BuildNumber = 0;
    std::uint32_t PlatformId = 0;
};
bool GetVersionEx(OsVersionInfo& info);

// The system's message text for an error code, exactly as the system gives it;
// false when it has none.
bool FormatSystemMessage(std::uint32_t code, std::string& text);

// The system's text for an error code as one line: without the line break the system ends
// it with, which would split the caller's line; "Unknown error N" when the system has none.
// Every text of the system that the programs show goes through here.
inline std::string SystemMessageLine(std::uint32_t code) {
    std::string text;
    if (!FormatSystemMessage(code, text)) {
        text.clear();
    }
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    return text.empty() ? "Unknown error " + std::to_string(code) : text;
}

// "C:\dir\chronel.exe" -> "C:\dir"; a file in a drive's root keeps the root's backslash
// ("C:\"); a bare name lies in ".".
inline std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0 || path[slash - 1] == ':') {
        return path.substr(0, slash + 1);
    }
    return path.substr(0, slash);
}

// The path of a file of that name in a folder as FolderOf gives it.
inline std::string PathIn(const std::string& folder, const std::string& name) {
    const bool ends = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
    return ends ? folder + name : folder + "\\" + name;
}

// True when a file (not a directory) of this name exists: a bare name in the current
// directory, or a full path.
bool FileExists(const char* name);

// The system folder that a 32-bit program loads its libraries from (System32 on 32-bit
// Windows, SysWOW64 on 64-bit Windows), whichever build asks; empty when unknown.
std::string SystemDirectoryFor32Bit();

// Creates the file, or empties an existing one, and writes data into it (CreateFileA with
// CREATE_ALWAYS, WriteFile, CloseHandle). False, with the last error set, on failure.
bool WriteWholeFile(const std::string& path, const std::string& data);
// Renames a file in one step, replacing any file of the new name (MoveFileExA with
// MOVEFILE_REPLACE_EXISTING): readers see either the old or the new file, never a part.
bool MoveFileReplacing(const std::string& from, const std::string& to);
bool DeleteFile(const std::string& path);

// The folder for the data of programs, shared by all users (%ProgramData%, normally
// "C:\ProgramData"); empty when the system does not say.
std::string ProgramDataFolder();
// Creates a folder and any missing parents. With protect, the last folder gets rights of its
// own instead of inheriting them: administrators and SYSTEM full control, users read, passed on
// to what is created inside. A folder that exists already is left as it is and counts as made.
// False, with the last error set, on failure.
bool CreateFolder(const std::string& path, bool protect);
// Appends data at the end of a file, creating it, and flushes it to the disk before returning
// (FILE_APPEND_DATA, WriteFile, FlushFileBuffers). On failure, with the last error set, part of
// the data may have been written (a disk that filled up on the way).
bool AppendToFile(const std::string& path, const std::string& data);
// The whole content of a file; false, with the last error set, on failure.
bool ReadWholeFile(const std::string& path, std::string& data);
// The names (without the folder) of the files in a folder that match a pattern of * and ?,
// letter case ignored (FindFirstFileA). No names when none match; false, with the last error
// set, when the folder cannot be read.
bool ListFiles(const std::string& folder, const std::string& pattern,
               std::vector<std::string>& names);
// What GetFileAttributesA gives: kInvalidFileAttributes when nothing of this name exists.
constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFF;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;
constexpr std::uint32_t kFileAttributeReparsePoint = 0x400; // junction, symbolic link, mount
std::uint32_t GetFileAttributes(const std::string& path);
// True when the drive of this letter is a local fixed disk (GetDriveTypeA gives
// DRIVE_FIXED): not a share mapped to a letter, nor removable or optical media.
bool IsLocalFixedDrive(char letter);

// Runs a command line in a new console, waits for it, and yields its exit code.
bool RunProcess(const std::string& commandLine, std::uint32_t& exitCode);

// Who may change a file or folder: one entry per principal named by an access-allowed entry
// of its access list that applies to the object itself, with whether what it is allowed (less
// what a deny entry for the same principal takes away) includes writing, deleting, or
// changing its rights or owner. A missing access list (no protection at all) is reported as
// Everyone allowed to write.
struct FileAccessEntry {
    std::string Sid;  // "S-1-5-32-545"
    std::string Name; // "BUILTIN\Users", or empty when the system cannot name it
    bool MayWrite = false;
};
// False (with the last error set) when the object's rights cannot be read, or it is missing.
bool GetFileAccess(const std::string& path, std::vector<FileAccessEntry>& entries);
// The same for a registry key (path as for RegOpenKey, in the same view): MayWrite when what a
// principal is allowed includes setting values, creating subkeys, deleting the key, or changing
// its rights or owner. Reading them needs only READ_CONTROL on the key.
bool GetRegistryKeyAccess(const std::string& path, std::vector<FileAccessEntry>& entries);

// Console output, unbuffered by us: text goes out exactly as given.
void WriteConsole(const std::string& text);
// The same to standard error.
void WriteConsoleError(const std::string& text);
// True when standard output is a console window, false when it goes to a file or a pipe.
bool StdoutIsConsole();

// The number format of the process's locale: grouping, no decimals.
std::string FormatGroupedNumber(std::int32_t value);

// The locale's group separator as an ANSI text carries it, from its conversion to the ANSI
// code page (lossy: the code page had no character for it). Newer locales use U+202F, which
// most code pages lack: a "?" in the difference text reads as a fault, a plain space does not.
// A separator of several bytes becomes a space too, so every reader can skip one byte a group.
inline std::string AnsiGroupSeparator(const std::string& converted, bool lossy) {
    return lossy || converted.size() > 1 ? std::string(" ") : converted;
}

// ---------------------------------------------------------------------------
// Service controller

constexpr std::uint32_t kServiceWin32OwnProcess = 16;
constexpr std::uint32_t kServiceAutoStart = 2;
constexpr std::uint32_t kServiceErrorNormal = 1;
constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
constexpr std::uint32_t kServiceAllAccess = 0xF01FF;
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceControlStop = 1;
constexpr std::uint32_t kServiceControlInterrogate = 4;
constexpr std::uint32_t kServiceControlShutdown = 5;

// Same fields and order as SERVICE_STATUS.
struct ServiceStatusRecord {
    std::uint32_t ServiceType = 0;
    std::uint32_t CurrentState = 0;
    std::uint32_t ControlsAccepted = 0;
    std::uint32_t Win32ExitCode = 0;
    std::uint32_t ServiceSpecificExitCode = 0;
    std::uint32_t CheckPoint = 0;
    std::uint32_t WaitHint = 0;
};
static_assert(sizeof(ServiceStatusRecord) == 28);

using ServiceMainFn = void (*)(std::uint32_t argc, char** argv);
using ServiceHandlerFn = void (*)(std::uint32_t control);

bool StartServiceCtrlDispatcher(const char* serviceName, ServiceMainFn main);
OsHandle RegisterServiceCtrlHandler(const char* serviceName, ServiceHandlerFn handler);
bool SetServiceStatus(OsHandle statusHandle, const ServiceStatusRecord& status);

struct ServiceConfig {
    std::string Name;
    std::string DisplayName;
    std::uint32_t DesiredAccess = 0;
    std::uint32_t ServiceType = 0;
    std::uint32_t StartType = 0;
    std::uint32_t ErrorControl = 0;
    std::string BinaryPath;
};

// Recovery after a failure: what the controller does after the 1st, 2nd, 3rd... failure
// (the last repeats), when it forgets earlier failures, and whether a stop with a non-zero
// exit code counts as a failure as well as a crash does.
constexpr std::uint32_t kScActionRestart = 1;
struct ServiceAction {
    std::uint32_t Type = 0;
    std::uint32_t DelayMs = 0;
};
struct ServiceFailureActions {
    std::uint32_t ResetPeriodSeconds = 0;
    std::vector<ServiceAction> Actions;
    bool OnNonCrashFailures = false;
};

OsHandle OpenSCManager(std::uint32_t access);
OsHandle CreateService(OsHandle scm, const ServiceConfig& config);
bool StartService(OsHandle service);
OsHandle OpenService(OsHandle scm, const char* name, std::uint32_t access);
bool ControlService(OsHandle service, std::uint32_t control, ServiceStatusRecord& status);
bool QueryServiceStatus(OsHandle service, ServiceStatusRecord& status);
bool DeleteService(OsHandle service);
bool ChangeServiceDescription(OsHandle service, const std::string& description);
bool ChangeServiceFailureActions(OsHandle service, const ServiceFailureActions& actions);
// Reads back what the controller stores of the recovery (QueryServiceConfig2A): no actions
// when none are set. A system that cannot report the flag leaves OnNonCrashFailures false.
// Needs SERVICE_QUERY_CONFIG.
bool QueryServiceFailureActions(OsHandle service, ServiceFailureActions& actions);
bool CloseServiceHandle(OsHandle handle);

// On 64-bit Windows service controller handles are pointers whose low half can look
// negative; null is the only failure value there. The 32-bit build keeps the rule that a
// handle is valid when it is positive as a signed 32-bit number.
inline bool ServiceHandleValid(OsHandle handle) {
    if constexpr (sizeof(OsHandle) > 4) {
        return handle != 0;
    } else {
        return HandleValid(handle);
    }
}

// A service controller or service handle.
using ServiceHandle = UniqueHandle<CloseServiceHandle, ServiceHandleValid>;

// Access rights enough to look at the controller and a service without administrator rights.
constexpr std::uint32_t kScManagerConnect = 0x0001;
constexpr std::uint32_t kServiceQueryConfig = 0x0001;
constexpr std::uint32_t kServiceQueryStatus = 0x0004;

// What QueryServiceConfigA reports of an installed service.
struct InstalledServiceConfig {
    std::string BinaryPath; // as registered: possibly in quotes, possibly with arguments
    std::string Account;    // the account it runs under ("LocalSystem", ".\\name", ...)
    std::uint32_t StartType = 0;
};
bool QueryServiceConfig(OsHandle service, InstalledServiceConfig& config);

// Ends the process at once with this exit code.
[[noreturn]] void ExitProcess(std::uint32_t exitCode);

// ---------------------------------------------------------------------------
// The card library (TECORA32.DLL), reached by ordinal on Windows and through the
// simulated card (or a test's script) on the emulated platform. All arguments are
// 32 bits wide; out arguments point to the caller's storage.

std::int32_t TecOpen(std::int32_t* handle, std::uint32_t portId); // ordinal 2
std::int32_t TecClose(std::int32_t handle);                       // ordinal 3
std::int32_t TecGetVersion(std::int32_t handle, std::uint32_t* cardState,
                           std::uint32_t* firmwareWord, std::uint32_t* libraryVersion); // 59
std::int32_t TecGetCardInfo(std::int32_t handle, std::uint32_t* unitsDigit,
                            std::uint32_t* tensDigit, std::uint32_t* typeLetter); // ordinal 66
const char* TecGetErrorText();                                                    // ordinal 68
std::int32_t TecReadTime(std::int32_t handle, void* record44);                    // ordinal 102
std::int32_t TecSetRealtimeMode(std::int32_t handle, std::uint32_t mode);         // 103

// What a card's clock sees at one moment, enough to place any frame and stamp it by any of
// the PC's clocks a little earlier. Times are 100-ns units since 1601 (UTC); durations are
// in the same units. On Windows the reference is the PC clock itself.
struct CardClockView {
    std::int64_t Reference = 0;       // the time of day the timecode signal carries, now
    std::int64_t Precise = 0;         // the PC clock, interpolated between interrupts
    std::int64_t Interrupt = 0;       // the PC clock as the last clock interrupt left it
    std::int64_t SinceInterrupt = 0;  // reference time since that interrupt
    std::int64_t InterruptPeriod = 0; // reference time between interrupts
    std::int64_t InterruptStep = 0;   // what each interrupt adds to the PC clock
    double PcRate = 1.0;              // PC clock time per unit of reference time
};
void CardClocks(CardClockView& view);

} // namespace plat
