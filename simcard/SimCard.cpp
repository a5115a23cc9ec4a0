#include "simcard/SimCard.h"

#include "TimeFunc/TimecodeRecord.h"
#include "platform/Platform.h"

#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr std::int32_t kOk = 0;
constexpr std::int32_t kNoNewData = 1;
constexpr std::int32_t kInvalidPort = -1;
constexpr std::int32_t kNoHardware = -2;
constexpr std::int32_t kNoFreeHandle = -3;
constexpr std::int32_t kInvalidHandle = -4;
constexpr std::int32_t kHandleNotOpened = -5;
constexpr std::int32_t kNullPointer = -6;

constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::int64_t kReloadAfterMs = 1000;

struct Config {
    std::uint32_t Present = 1;
    std::uint32_t CardState = 1;
    std::uint32_t FirmwareWord = 9;
    std::string FirmwareMinor = "17";
    std::string TypeLetter = "t";
    std::uint32_t LibraryVersion = 517;
    std::int32_t OffsetMs = 0;
    std::uint32_t TimecodeZone = 1;
    std::uint32_t LtcZone = 3;
    std::uint32_t SyncFlag = 1;
    std::uint32_t DateValid = 1;
    std::int32_t ReadResult = 0;
};

struct CardState {
    std::mutex Lock;
    Config Current;
    bool Loaded = false;
    std::int64_t LoadedAtMs = 0; // reference time of the last reading of the configuration
    std::array<bool, simcard::kMaxHandles + 1> Open{};
    std::array<std::int64_t, simcard::kMaxHandles + 1> LastFrameMs{};
    std::uint32_t RealtimeMode = 0;
    std::int32_t LastResult = kOk;
};

CardState& State() {
    static CardState state;
    return state;
}

// --- calendar arithmetic on milliseconds since 1970-01-01 -------------------------------------

std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::int64_t ToMs(const plat::SystemTime& t) {
    return DaysFromCivil(t.Year, t.Month, t.Day) * kMsPerDay +
           ((static_cast<std::int64_t>(t.Hour) * 60 + t.Minute) * 60 + t.Second) * 1000 +
           t.Milliseconds;
}

plat::SystemTime FromMs(std::int64_t ms) {
    std::int64_t days = ms / kMsPerDay;
    std::int64_t rest = ms % kMsPerDay;
    if (rest < 0) {
        rest += kMsPerDay;
        --days;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp + (mp < 10 ? 3 : -9);
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    plat::SystemTime t;
    t.Year = static_cast<std::uint16_t>(y);
    t.Month = static_cast<std::uint16_t>(m);
    t.Day = static_cast<std::uint16_t>(d);
    t.DayOfWeek = static_cast<std::uint16_t>(((days % 7) + 11) % 7); // 1970-01-01 was a Thursday
    t.Hour = static_cast<std::uint16_t>(rest / 3600000);
    t.Minute = static_cast<std::uint16_t>(rest / 60000 % 60);
    t.Second = static_cast<std::uint16_t>(rest / 1000 % 60);
    t.Milliseconds = static_cast<std::uint16_t>(rest % 1000);
    return t;
}

// --- configuration from the registry ----------------------------------------------------------

bool QueryValue(const plat::RegKey& key, const char* name, plat::RegType& type,
                std::vector<std::uint8_t>& data) {
    return key.isOpen() && plat::RegQueryValue(key, name, type, data) == plat::kRegErrorSuccess;
}

void ReadDword(const plat::RegKey& key, const char* name, std::uint32_t& out) {
    plat::RegType type = plat::RegType::None;
    std::vector<std::uint8_t> data;
    if (QueryValue(key, name, type, data) && type == plat::RegType::Dword && data.size() == 4) {
        std::uint32_t v = 0;
        std::memcpy(&v, data.data(), 4);
        out = v;
    }
}

void ReadSigned(const plat::RegKey& key, const char* name, std::int32_t& out) {
    auto v = static_cast<std::uint32_t>(out);
    ReadDword(key, name, v);
    out = static_cast<std::int32_t>(v);
}

void ReadText(const plat::RegKey& key, const char* name, std::string& out) {
    plat::RegType type = plat::RegType::None;
    std::vector<std::uint8_t> data;
    if (QueryValue(key, name, type, data) &&
        (type == plat::RegType::Sz || type == plat::RegType::ExpandSz)) {
        std::string text(data.begin(), data.end());
        out = text.substr(0, text.find('\0'));
    }
}

Config ReadConfig() {
    Config c;
    plat::RegKey key;
    if (plat::RegOpenKey(simcard::kConfigKey, plat::kKeyRead, key) != plat::kRegErrorSuccess) {
        return c; // no key: a present card with the defaults
    }
    ReadDword(key, "Present", c.Present);
    ReadDword(key, "CardState", c.CardState);
    ReadDword(key, "FirmwareWord", c.FirmwareWord);
    ReadText(key, "FirmwareMinor", c.FirmwareMinor);
    ReadText(key, "TypeLetter", c.TypeLetter);
    ReadDword(key, "LibraryVersion", c.LibraryVersion);
    ReadSigned(key, "OffsetMs", c.OffsetMs);
    ReadDword(key, "TimecodeZone", c.TimecodeZone);
    ReadDword(key, "LtcZone", c.LtcZone);
    ReadDword(key, "SyncFlag", c.SyncFlag);
    ReadDword(key, "DateValid", c.DateValid);
    ReadSigned(key, "ReadResult", c.ReadResult);
    return c;
}

std::int64_t ReferenceNowMs() {
    plat::SystemTime reference;
    plat::SystemTime pc;
    plat::ReferenceFrameTimes(simcard::kFramesPerSecond, reference, pc);
    return ToMs(reference);
}

// The configuration in force: read afresh when forced, at the first call, or once a second of
// reference time has passed (or the reference went back). The registry is read without the
// card's lock held, so nothing the platform calls back into can deadlock on it.
Config CurrentConfig(bool force) {
    auto& s = State();
    const std::int64_t now = ReferenceNowMs();
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        const bool fresh = s.Loaded && now >= s.LoadedAtMs && now - s.LoadedAtMs < kReloadAfterMs;
        if (!force && fresh) {
            return s.Current;
        }
    }
    Config c = ReadConfig();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Current = c;
    s.Loaded = true;
    s.LoadedAtMs = now;
    return c;
}

std::int32_t Finish(std::int32_t result) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.LastResult = result;
    return result;
}

// 0 when the handle is one that tecOpen gave out and is still open.
std::int32_t CheckHandle(std::int32_t handle) {
    if (handle <= 0 || handle > simcard::kMaxHandles) {
        return kInvalidHandle;
    }
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    return s.Open[static_cast<std::size_t>(handle)] ? kOk : kHandleNotOpened;
}

std::uint32_t CharAt(const std::string& text, std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : static_cast<std::uint32_t>(' ');
}

// The timecode's local time for a UTC instant, in the zone the configuration names.
plat::SystemTime TimecodeLocal(const Config& c, std::int64_t utcMs) {
    switch (c.TimecodeZone) {
    case 0: {
        const std::uint32_t hours = c.LtcZone & 0xFFFFu;
        const std::int64_t shift = hours == LtcZoneNone ? 0 : static_cast<std::int64_t>(hours);
        return FromMs(utcMs + shift * 3600000);
    }
    case 1: {
        plat::TimeZoneInfo tz;
        const plat::SystemTime utc = FromMs(utcMs);
        plat::SystemTime local = utc;
        if (plat::GetTimeZoneInformation(tz) == plat::kTimeZoneIdInvalid ||
            !plat::SystemTimeToTzSpecificLocalTime(tz, utc, local)) {
            return utc;
        }
        return local;
    }
    default:
        return FromMs(utcMs);
    }
}

} // namespace

namespace simcard {
void Reset() {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Current = Config{};
    s.Loaded = false;
    s.LoadedAtMs = 0;
    s.Open.fill(false);
    s.LastFrameMs.fill(0);
    s.RealtimeMode = 0;
    s.LastResult = kOk;
}
} // namespace simcard

extern "C" {

std::int32_t TEC_API tecOpen(std::int32_t* handle, std::uint32_t portId) {
    if (handle == nullptr) {
        return Finish(kNullPointer);
    }
    const Config c = CurrentConfig(true);
    if (c.Present == 0) {
        return Finish(kNoHardware);
    }
    if (portId < simcard::kFirstPort || portId > simcard::kLastPort) {
        return Finish(kInvalidPort);
    }
    auto& s = State();
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        for (std::size_t h = 1; h < s.Open.size(); ++h) {
            if (!s.Open[h]) {
                s.Open[h] = true;
                s.LastFrameMs[h] = 0;
                *handle = static_cast<std::int32_t>(h);
                s.LastResult = kOk;
                return kOk;
            }
        }
    }
    return Finish(kNoFreeHandle);
}

std::int32_t TEC_API tecClose(std::int32_t handle) {
    if (std::int32_t check = CheckHandle(handle); check != kOk) {
        return Finish(check);
    }
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Open[static_cast<std::size_t>(handle)] = false;
    s.LastResult = kOk;
    return kOk;
}

std::int32_t TEC_API tecGetVersion(std::int32_t handle, std::uint32_t* cardState,
                                   std::uint32_t* firmwareWord, std::uint32_t* libraryVersion) {
    if (std::int32_t check = CheckHandle(handle); check != kOk) {
        return Finish(check);
    }
    if (cardState == nullptr || firmwareWord == nullptr || libraryVersion == nullptr) {
        return Finish(kNullPointer);
    }
    const Config c = CurrentConfig(false);
    *cardState = c.CardState;
    *firmwareWord = c.FirmwareWord;
    *libraryVersion = c.LibraryVersion;
    return Finish(kOk);
}

std::int32_t TEC_API tecGetCardInfo(std::int32_t handle, std::uint32_t* unitsDigit,
                                    std::uint32_t* tensDigit, std::uint32_t* typeLetter) {
    if (std::int32_t check = CheckHandle(handle); check != kOk) {
        return Finish(check);
    }
    if (unitsDigit == nullptr || tensDigit == nullptr || typeLetter == nullptr) {
        return Finish(kNullPointer);
    }
    const Config c = CurrentConfig(false);
    *tensDigit = CharAt(c.FirmwareMinor, 0);
    *unitsDigit = CharAt(c.FirmwareMinor, 1);
    *typeLetter = CharAt(c.TypeLetter, 0);
    return Finish(kOk);
}

const char* TEC_API tecGetErrorText() {
    std::int32_t last = 0;
    {
        auto& s = State();
        std::lock_guard<std::mutex> lock(s.Lock);
        last = s.LastResult;
    }
    switch (last) {
    case kOk:
        return "Simulated card: last call succeeded";
    case kNoNewData:
        return "Simulated card: no frame since the last read";
    case kInvalidPort:
        return "Simulated card: no card on this port";
    case kNoHardware:
        return "Simulated card: card not present";
    case kNoFreeHandle:
        return "Simulated card: all handles in use";
    case kInvalidHandle:
        return "Simulated card: bad handle";
    case kHandleNotOpened:
        return "Simulated card: handle is not open";
    case kNullPointer:
        return "Simulated card: null pointer";
    default:
        return "Simulated card: scripted failure";
    }
}

std::int32_t TEC_API tecReadTime(std::int32_t handle, void* record44) {
    if (std::int32_t check = CheckHandle(handle); check != kOk) {
        return Finish(check);
    }
    if (record44 == nullptr) {
        return Finish(kNullPointer);
    }
    const Config c = CurrentConfig(false);
    if (c.ReadResult != 0) {
        return Finish(c.ReadResult);
    }
    plat::SystemTime reference;
    plat::SystemTime pc;
    plat::ReferenceFrameTimes(simcard::kFramesPerSecond, reference, pc);
    const std::int64_t frameMs = ToMs(reference);

    auto& s = State();
    std::uint32_t mode = 0;
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        auto& last = s.LastFrameMs[static_cast<std::size_t>(handle)];
        if (last == frameMs) {
            s.LastResult = kNoNewData;
            return kNoNewData;
        }
        last = frameMs;
        mode = s.RealtimeMode;
    }

    const plat::SystemTime tc = TimecodeLocal(c, frameMs - c.OffsetMs);
    const bool dateValid = mode != 0 && c.DateValid != 0;

    TimecodeRecord r;
    r.Flags = (c.SyncFlag != 0 ? FlagLtcSync : 0u) | (dateValid ? FlagDateValid : 0u);
    r.LtcMilliseconds = tc.Milliseconds;
    r.LtcSecond = tc.Second;
    r.LtcMinute = tc.Minute;
    r.LtcHour = tc.Hour;
    if (dateValid) {
        r.LtcDay = tc.Day;
        r.LtcMonth = tc.Month;
        r.LtcYear = tc.Year;
    }
    r.LtcZone = static_cast<std::uint16_t>(c.LtcZone);
    r.SystemMilliseconds = pc.Milliseconds;
    r.SystemSecond = pc.Second;
    r.SystemMinute = pc.Minute;
    r.SystemHour = pc.Hour;
    r.SystemDay = pc.Day;
    r.SystemMonth = pc.Month;
    r.SystemYear = pc.Year;
    std::memcpy(record44, &r, sizeof r);
    return Finish(kOk);
}

std::int32_t TEC_API tecSetRealtimeMode(std::int32_t handle, std::uint32_t mode) {
    if (std::int32_t check = CheckHandle(handle); check != kOk) {
        return Finish(check);
    }
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.RealtimeMode = mode;
    s.LastResult = kOk;
    return kOk;
}

} // extern "C"
