// status and watch: the service's state and the lock, read from the controller and the
// status values.
#include "ctl/Ctl.h"

#include "TimeFunc/CivilTime.h"
#include "TimeFunc/ClockControl.h"
#include "engine/ClockWatch.h"
#include "engine/EventLog.h"
#include "engine/RegistryDefault.h"
#include "engine/Settings.h"
#include "engine/StoredFrequency.h"
#include "engine/VersionParts.h"
#include "platform/Platform.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace ctl {
namespace {

ServiceState StateOf(std::uint32_t current) {
    switch (current) {
    case plat::kServiceStopped:
        return ServiceState::Stopped;
    case plat::kServiceStartPending:
        return ServiceState::StartPending;
    case plat::kServiceStopPending:
        return ServiceState::StopPending;
    case plat::kServiceRunning:
        return ServiceState::Running;
    default:
        return ServiceState::Other;
    }
}

std::string ReadText(const TRegistryDefault& key, StatusName name) {
    try {
        return key.ReadString(name.Text);
    } catch (const RegistryError&) {
        return {}; // not a text: nothing the service wrote
    }
}

std::string Number(std::int64_t n) {
    return std::to_string(n);
}

const char* Label(int exitCode) {
    switch (exitCode) {
    case kOk:
        return "OK";
    case kWarning:
        return "WARNING";
    case kCritical:
        return "CRITICAL";
    default:
        return "UNKNOWN";
    }
}

const char* LockName(Lock lock) {
    switch (lock) {
    case Lock::Locked:
        return "locked";
    case Lock::Correcting:
        return "correcting";
    case Lock::OutOfLimits:
        return "out_of_limits";
    case Lock::TimecodeLost:
        return "timecode_lost";
    case Lock::FormatError:
        return "format_error";
    case Lock::Stale:
        return "stale";
    case Lock::NoStatus:
        return "no_status";
    }
    return "no_status";
}

// Only a running service's values are its present state; any other state shows what the
// last run left behind.
bool ValuesCurrent(const ServiceFacts& service) {
    return service.State == ServiceState::Running;
}

// What the last run left says nothing about the clock now.
const char* LockName(const ServiceFacts& service, Lock lock) {
    return ValuesCurrent(service) ? LockName(lock) : "not_running";
}

std::string DiffPart(const LockFacts& lock) {
    return lock.DiffMs ? Number(*lock.DiffMs) + " ms" : std::string("unknown");
}

std::string ServiceText(const ServiceFacts& service) {
    std::string text = ServiceStateText(service.State);
    if (service.State == ServiceState::Stopped && service.ExitCode != 0) {
        text += " (exit code " + Number(service.ExitCode) + ")";
    }
    return text;
}

} // namespace

// One line that says it all: what monitoring systems show.
std::string Summary(const ServiceFacts& service, const StatusValues& values,
                    const LockFacts& lock) {
    switch (service.State) {
    case ServiceState::Unreadable:
        return "cannot ask the service controller";
    case ServiceState::NotInstalled:
        return "service not installed";
    case ServiceState::Running:
        break;
    default:
        return "service " + ServiceText(service) +
               (values.Error.empty() ? "" : ": " + values.Error);
    }
    if (!values.KeyOpen) {
        return "settings key not readable";
    }
    std::string text;
    switch (lock.State) {
    case Lock::Locked:
        text =
            "locked within " + Number(kLockedWithinMs) + " ms (difference " + DiffPart(lock) + ")";
        break;
    case Lock::Correcting:
        text = "correcting: difference " + DiffPart(lock);
        break;
    case Lock::OutOfLimits:
        text = "out of limits: difference " + DiffPart(lock) + ", not corrected";
        break;
    case Lock::TimecodeLost:
        text = "timecode lost: the clock runs free";
        break;
    case Lock::FormatError:
        text = "timecode in the wrong user format: check DateFormat and SelectTimezone";
        break;
    case Lock::Stale:
        text = "status stale: nothing published for " +
               (lock.AgeMs ? Number(std::llabs(*lock.AgeMs) / 1000) + " s" : "a while");
        break;
    case Lock::NoStatus:
        text = "no status published yet";
        break;
    }
    const std::size_t findings = SplitLines(values.Warnings).size();
    if (findings > 0) {
        text += "; " + Number(static_cast<std::int64_t>(findings)) +
                (findings == 1 ? " finding" : " findings");
    }
    return text;
}

std::string Headline(int code, const std::string& summary) {
    return std::string("CHRONEL ") + Label(code) + " - " + summary;
}

std::vector<std::string> StatusScreen(int code, const ServiceFacts& service,
                                      const StatusValues& values, const LockFacts& lock) {
    std::vector<std::string> lines;
    const auto row = [&lines](const char* name, const std::string& value) {
        std::string line = "  ";
        line += name;
        line.resize(14, ' ');
        lines.push_back(line + (value.empty() ? "-" : value));
    };
    lines.push_back(Headline(code, Summary(service, values, lock)));
    row("Service", ServiceText(service));
    if (!values.Error.empty()) {
        row("Start error", values.Error);
    }
    row("Clock rate", RateText(ReadClockRate()));
    if (!ValuesCurrent(service)) {
        const std::string seen = LastSeenText(values.System);
        row("Values",
            (seen.empty() ? std::string("last seen at an unknown time") : "last seen at " + seen) +
                ", while the service ran; not current");
    }
    row("Timecode", values.Ltc);
    row("PC clock", values.System);
    row("Last set", values.LastSet);
    row("Last sync", values.LastSync);
    row("Frequency", FrequencyText(values.Frequency));
    const VersionParts v = SplitVersionText(values.Version);
    if (v.Firmware.empty()) {
        row("Versions", values.Version);
    } else {
        row("Card", v.Card + ", firmware " + v.Firmware);
        row("Versions", "library " + v.Library + ", service " + v.Service);
    }
    const std::vector<std::string> findings = SplitLines(values.Warnings);
    if (findings.empty()) {
        row("Findings", "none");
    }
    for (const std::string& finding : findings) {
        row("Finding", finding);
    }
    return lines;
}

namespace {

void PrintScreen(int code, const ServiceFacts& service, const StatusValues& values,
                 const LockFacts& lock) {
    for (const std::string& line : StatusScreen(code, service, values, lock)) {
        Out(line);
    }
}

void PrintJson(int code, const ServiceFacts& service, const StatusValues& values,
               const LockFacts& lock) {
    const auto optional = [](const auto& value) {
        return value ? Number(*value) : std::string("null");
    };
    const auto text = [](const std::string& value) {
        return value.empty() ? std::string("null") : JsonString(value);
    };
    const VersionParts v = SplitVersionText(values.Version);
    const RateFacts rate = ReadClockRate();
    char ppm[32];
    std::snprintf(ppm, sizeof ppm, "%.3f", rate.Corrected ? rate.Ppm : 0.0);
    const char* direction = !rate.Corrected ? "nominal" : rate.Ppm >= 0 ? "faster" : "slower";
    const bool current = ValuesCurrent(service);
    const std::optional<std::int64_t> stamp = ParseStampUnixMs(values.System);
    std::string frequency = "null";
    if (const std::optional<StoredFrequency> f = ParseStoredFrequency(values.Frequency)) {
        std::array<char, 96> numbers{};
        std::snprintf(numbers.data(), numbers.size(), "{\"ppm\":%.3f,\"sd_ppm\":%.2f,", f->Ppm,
                      f->SdPpm);
        frequency = std::string(numbers.data()) +
                    "\"source\":" + JsonString(FrequencySourceName(f->Source)) +
                    ",\"learned_unix_ms\":" + Number(f->UnixMs) + "}";
    }
    std::string json =
        "{\"status\":" + JsonString(Label(code)) + ",\"exit_code\":" + Number(code) +
        ",\"summary\":" + JsonString(Summary(service, values, lock)) +
        ",\"service\":{\"state\":" + JsonString(ServiceStateText(service.State)) +
        ",\"exit_code\":" + Number(service.ExitCode) + ",\"start_error\":" + text(values.Error) +
        "}" + ",\"lock\":" + JsonString(LockName(service, lock.State)) +
        ",\"clock_rate\":{\"direction\":" + JsonString(direction) + ",\"correction_ppm\":" + ppm +
        "}" + ",\"values_current\":" + (current ? "true" : "false") +
        ",\"last_seen\":" + (current ? std::string("null") : text(LastSeenText(values.System))) +
        ",\"last_seen_unix_ms\":" + (current ? std::string("null") : optional(stamp)) +
        ",\"difference_ms\":" + optional(lock.DiffMs) +
        ",\"status_age_ms\":" + optional(lock.AgeMs) + ",\"timecode\":" + JsonString(values.Ltc) +
        ",\"pc_clock\":" + JsonString(values.System) +
        ",\"last_set\":" + JsonString(values.LastSet) +
        ",\"last_sync\":" + JsonString(values.LastSync) + ",\"frequency\":" + frequency +
        ",\"versions\":{\"text\":" + JsonString(values.Version) +
        ",\"firmware\":" + JsonString(v.Firmware) + ",\"card\":" + JsonString(v.Card) +
        ",\"library\":" + JsonString(v.Library) + ",\"service\":" + JsonString(v.Service) +
        "},\"findings\":[";
    bool first = true;
    for (const std::string& finding : SplitLines(values.Warnings)) {
        json += (first ? "" : ",") + JsonString(finding);
        first = false;
    }
    Out(json + "]}");
}

// The PC clock's second now, and the local time text of the line that goes with it.
struct WatchTick {
    std::uint16_t Second = 0;
    std::uint16_t Milliseconds = 0;
    std::string Time;
};
WatchTick ReadTick() {
    plat::SystemTime local;
    plat::GetLocalTime(local);
    char time[24];
    std::snprintf(time, sizeof time, "%02u:%02u:%02u", unsigned{local.Hour}, unsigned{local.Minute},
                  unsigned{local.Second});
    return {local.Second, local.Milliseconds, time};
}

// Sleeps past the start of the PC clock's next second. A sleep may end a little early, so it
// looks again until the second has changed; a clock set back stops the wait after a second.
WatchTick AwaitNextSecond(const WatchTick& last) {
    constexpr std::uint32_t kPastTheSecondMs = 5;
    WatchTick now = ReadTick();
    for (int waits = 0; now.Second == last.Second && waits < 3; ++waits) {
        plat::Sleep(1000U - std::min<std::uint32_t>(now.Milliseconds, 999U) + kPastTheSecondMs);
        now = ReadTick();
    }
    return now;
}

} // namespace

ServiceFacts QueryService(const char* name) {
    ServiceFacts facts;
    const plat::ServiceHandle scm(plat::OpenSCManager(plat::kScManagerConnect));
    if (!scm.valid()) {
        return facts;
    }
    const plat::ServiceHandle service(
        plat::OpenService(scm.get(), name, plat::kServiceQueryStatus | plat::kServiceQueryConfig));
    if (!service.valid()) {
        // Only "does not exist" says it is not installed; anything else leaves it unknown.
        if (plat::GetLastError() == plat::kErrorServiceDoesNotExist) {
            facts.State = ServiceState::NotInstalled;
        }
        return facts;
    }
    plat::ServiceStatusRecord status;
    if (plat::QueryServiceStatus(service.get(), status)) {
        facts.State = StateOf(status.CurrentState);
        facts.ExitCode = status.Win32ExitCode;
    }
    plat::InstalledServiceConfig config;
    if (plat::QueryServiceConfig(service.get(), config)) {
        facts.ConfigKnown = true;
        facts.BinaryPath = config.BinaryPath;
        facts.Account = config.Account;
    }
    facts.RecoveryKnown = plat::QueryServiceFailureActions(service.get(), facts.Recovery);
    return facts;
}

const char* ServiceStateText(ServiceState state) {
    switch (state) {
    case ServiceState::Unreadable:
        return "unknown";
    case ServiceState::NotInstalled:
        return "not installed";
    case ServiceState::Stopped:
        return "stopped";
    case ServiceState::StartPending:
        return "start pending";
    case ServiceState::StopPending:
        return "stop pending";
    case ServiceState::Running:
        return "running";
    case ServiceState::Other:
        return "paused or unknown state";
    }
    return "unknown";
}

std::string ExecutablePath(const std::string& binaryPath) {
    const std::size_t start = binaryPath.find_first_not_of(' ');
    if (start == std::string::npos) {
        return {};
    }
    if (binaryPath[start] == '"') {
        const std::size_t close = binaryPath.find('"', start + 1);
        return binaryPath.substr(start + 1, close == std::string::npos ? std::string::npos
                                                                       : close - start - 1);
    }
    // Unquoted, a blank may be part of the path ("C:\Program Files\..."): the controller takes
    // the shortest prefix that names an executable, and so does this.
    std::string lower = binaryPath;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::size_t exe = lower.find(".exe", start);
    if (exe != std::string::npos) {
        return binaryPath.substr(start, exe + 4 - start);
    }
    return binaryPath.substr(start, binaryPath.find(' ', start) - start);
}

StatusValues ReadStatusValues() {
    StatusValues values;
    TRegistryDefault key;
    key.SetRootKeyLocalMachine();
    if (!key.OpenKey(kSettingsKeyPath, false)) {
        return values;
    }
    values.KeyOpen = true;
    values.Version = ReadText(key, "MonitorVersion");
    values.System = ReadText(key, "MonitorSystem");
    values.Ltc = ReadText(key, "MonitorLtc");
    values.LastSync = ReadText(key, "LastSync");
    values.LastSet = ReadText(key, "LastSet");
    values.Warnings = ReadText(key, "MonitorWarnings");
    values.Error = ReadText(key, kStartErrorValue);
    values.Frequency = ReadText(key, kFrequencyValue);
    return values;
}

std::string FrequencyText(const std::string& monitorFrequency) {
    const std::optional<StoredFrequency> f = ParseStoredFrequency(monitorFrequency);
    if (!f) {
        return {};
    }
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%+.3f ppm", f->Ppm);
    switch (f->Source) {
    case FrequencySource::Learned:
        return std::string(text.data()) + " (learned)";
    case FrequencySource::Restored:
        return std::string(text.data()) + " (restored)";
    case FrequencySource::Unused:
        break;
    }
    return std::string(text.data()) + " (kept, not in use)";
}

std::string LastSeenText(const std::string& monitorSystem) {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int ms = 0;
    char sign = 0;
    int zoneHours = 0;
    int zoneMinutes = 0;
    int day = 0;
    int month = 0;
    int year = 0;
    if (!ParseStampUnixMs(monitorSystem)) {
        return {};
    }
    // NOLINTNEXTLINE(cert-err34-c): the stamp has been checked whole above
    (void)std::sscanf(monitorSystem.c_str(), "%d:%d:%d.%d %c%d:%d %d.%d.%d", &hour, &minute,
                      &second, &ms, &sign, &zoneHours, &zoneMinutes, &day, &month, &year);
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d %c%d:%02d %02d.%02d.%04d", hour, minute,
                  second, sign, zoneHours, zoneMinutes, day, month, year);
    return text;
}

RateFacts ReadClockRate() {
    RateFacts rate;
    rate.Corrected = ClockCorrectionPpm(rate.Ppm);
    return rate;
}

std::string RateText(const RateFacts& rate) {
    if (!rate.Corrected) {
        return "nominal, under the system's own regulation";
    }
    char text[96];
    std::snprintf(text, sizeof text, "%+.3f ppm, %s", rate.Ppm,
                  rate.Ppm >= 0 ? "faster: the PC clock catches up with the timecode"
                                : "slower: the timecode catches up with the PC clock");
    return text;
}

std::optional<std::int32_t> ParseDiff(const std::string& monitorSystem) {
    const std::string label = "Diff: ";
    const std::size_t at = monitorSystem.rfind(label);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t end = monitorSystem.find(" ms", at);
    if (end == std::string::npos) {
        return std::nullopt;
    }
    // Digits and the sign count; the locale's group separators (comma, dot, blank, or a
    // character beyond ASCII) do not.
    std::int64_t value = 0;
    bool negative = false;
    bool digits = false;
    for (std::size_t i = at + label.size(); i < end; ++i) {
        const char c = monitorSystem[i];
        if (c == '-' && !digits) {
            negative = true;
        } else if (c >= '0' && c <= '9') {
            digits = true;
            value = value * 10 + (c - '0');
            if (value > 2147483648LL) {
                return std::nullopt;
            }
        }
    }
    if (!digits) {
        return std::nullopt;
    }
    value = negative ? -value : value;
    if (value > 2147483647LL) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<std::int64_t> ParseStampUnixMs(const std::string& monitorSystem) {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int ms = 0;
    char sign = 0;
    int zoneHours = 0;
    int zoneMinutes = 0;
    int day = 0;
    int month = 0;
    int year = 0;
    // NOLINTNEXTLINE(cert-err34-c): every field is range-checked below
    if (std::sscanf(monitorSystem.c_str(), "%d:%d:%d.%d %c%d:%d %d.%d.%d", &hour, &minute, &second,
                    &ms, &sign, &zoneHours, &zoneMinutes, &day, &month, &year) != 10) {
        return std::nullopt;
    }
    if ((sign != '+' && sign != '-') || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59 || ms < 0 || ms > 999 || zoneHours < 0 || zoneHours > 24 ||
        zoneMinutes < 0 || zoneMinutes > 59 || !civil::IsValidDate(year, month, day)) {
        return std::nullopt;
    }
    const std::int64_t local =
        civil::UnixMs(year, month, day, civil::MsOfDay(hour, minute, second, ms));
    const std::int64_t east = (zoneHours * 60LL + zoneMinutes) * 60000 * (sign == '+' ? 1 : -1);
    return local - east;
}

std::int64_t NowUnixMs() {
    plat::SystemTime utc;
    plat::GetSystemTime(utc);
    return civil::UnixMs(utc);
}

LockFacts DeriveLock(const StatusValues& values, std::int64_t nowUnixMs) {
    LockFacts facts;
    facts.DiffMs = ParseDiff(values.System);
    if (values.System.empty() && values.Ltc.empty()) {
        return facts; // NoStatus
    }
    const std::optional<std::int64_t> stamp = ParseStampUnixMs(values.System);
    if (stamp) {
        facts.AgeMs = nowUnixMs - *stamp;
    }
    // A stamp far in the future is as suspect as an old one: the PC clock was set back and
    // nothing has been published since.
    if (!stamp || *facts.AgeMs > kStaleAfterMs || *facts.AgeMs < -kStaleAfterMs) {
        facts.State = Lock::Stale;
        return facts;
    }
    const auto endsWith = [&values](const std::string& tail) {
        return values.Ltc.size() >= tail.size() &&
               values.Ltc.compare(values.Ltc.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (values.Ltc == kSourceFailure) {
        facts.State = Lock::TimecodeLost;
    } else if (endsWith(std::string("    ") + kOutOfLimits)) {
        facts.State = Lock::OutOfLimits;
    } else if (endsWith(std::string("    ") + kUserFormatError)) {
        facts.State = Lock::FormatError;
    } else if (!facts.DiffMs) {
        facts.State = Lock::Stale; // a good reading always carries its difference
    } else if (WithinLockBand(*facts.DiffMs)) {
        facts.State = Lock::Locked;
    } else {
        facts.State = Lock::Correcting;
    }
    return facts;
}

int StatusExit(const ServiceFacts& service, const StatusValues& values, const LockFacts& lock) {
    switch (service.State) {
    case ServiceState::Unreadable:
    case ServiceState::NotInstalled:
        return kUnknown;
    case ServiceState::StartPending:
        return kWarning;
    case ServiceState::Running:
        break;
    default:
        return kCritical;
    }
    if (!values.KeyOpen) {
        return kUnknown;
    }
    switch (lock.State) {
    case Lock::OutOfLimits:
    case Lock::TimecodeLost:
    case Lock::FormatError:
        return kCritical;
    case Lock::Correcting:
    case Lock::Stale:
    case Lock::NoStatus:
        return kWarning;
    case Lock::Locked:
        break;
    }
    return SplitLines(values.Warnings).empty() ? kOk : kWarning;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t to = text.find('\n', from);
        if (to == std::string::npos) {
            to = text.size();
        }
        std::string line = text.substr(from, to - from);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(' ') != std::string::npos) {
            lines.push_back(line);
        }
        from = to + 1;
    }
    return lines;
}

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Texts are in the system's 8-bit code page; outside ASCII they are passed as the
            // code points of the same number, which keeps the output valid JSON.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

int Status(bool json) {
    const ServiceFacts service = QueryService(kServiceName);
    const StatusValues values = ReadStatusValues();
    const LockFacts lock = DeriveLock(values, NowUnixMs());
    const int code = StatusExit(service, values, lock);
    if (json) {
        PrintJson(code, service, values, lock);
    } else {
        PrintScreen(code, service, values, lock);
    }
    return code;
}

int Watch(std::optional<std::uint32_t> seconds) {
    // On a console the line is rewritten in place; into a file or a pipe, one line a second.
    const bool console = plat::StdoutIsConsole();
    int code = kUnknown;
    std::size_t lastWidth = 0;
    WatchTick tick = ReadTick();
    for (std::uint32_t lines = 0; !seconds || lines < *seconds; ++lines) {
        if (lines > 0) {
            tick = AwaitNextSecond(tick);
        }
        const ServiceFacts service = QueryService(kServiceName);
        const StatusValues values = ReadStatusValues();
        const LockFacts lock = DeriveLock(values, NowUnixMs());
        code = StatusExit(service, values, lock);
        std::string line = tick.Time + "  " + Headline(code, Summary(service, values, lock));
        if (console) {
            const std::size_t width = line.size();
            line.resize(std::max(width, lastWidth), ' ');
            lastWidth = width;
            plat::WriteConsole("\r" + line);
        } else {
            Out(line);
        }
    }
    if (console) {
        plat::WriteConsole("\r\n");
    }
    return code;
}

} // namespace ctl
