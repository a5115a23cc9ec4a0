#include "simcard/SimCard.h"

#include "TimeFunc/CivilTime.h"
#include "TimeFunc/TimecodeRecord.h"
#include "platform/Platform.h"

#include <algorithm>
#include <array>
#include <cmath>
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
    std::uint32_t FrameRate = simcard::kFrames25;
    std::uint32_t FrameMs = simcard::kRound;
    std::uint32_t StampLatency = simcard::kLatencyNone;
    std::uint32_t StampClock = simcard::kClockPrecise;
    std::uint32_t StampMs = simcard::kRound;
    std::uint32_t Seed = 1;
    std::uint32_t RepeatPpm = 0;
    std::uint32_t SkipPpm = 0;
    std::uint32_t LatePpm = 0;
    std::uint32_t EarlyPpm = 0;
    std::uint32_t GarbledPpm = 0;
    std::uint32_t Unplugged = 0;
};

struct CardState {
    std::mutex Lock;
    Config Current;
    bool Loaded = false;
    std::int64_t LoadedAtMs = 0; // reference time of the last reading of the configuration
    std::array<bool, simcard::kMaxHandles + 1> Open{};
    std::array<std::int64_t, simcard::kMaxHandles + 1> LastFrame{}; // its start, 100-ns units
    std::array<TimecodeRecord, simcard::kMaxHandles + 1> LastRecord{};
    std::uint32_t RealtimeMode = 0;
    std::int32_t LastResult = kOk;
};

CardState& State() {
    static CardState state;
    return state;
}

// --- configuration from the registry ----------------------------------------------------------

bool QueryValue(const plat::RegKey& key, const char* name, plat::RegType& type,
                std::vector<std::uint8_t>& data) {
    return key.valid() && plat::RegQueryValue(key, name, type, data) == plat::kRegErrorSuccess;
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
    ReadDword(key, "FrameRate", c.FrameRate);
    ReadDword(key, "FrameMs", c.FrameMs);
    ReadDword(key, "StampLatency", c.StampLatency);
    ReadDword(key, "StampClock", c.StampClock);
    ReadDword(key, "StampMs", c.StampMs);
    ReadDword(key, "Seed", c.Seed);
    ReadDword(key, "RepeatPpm", c.RepeatPpm);
    ReadDword(key, "SkipPpm", c.SkipPpm);
    ReadDword(key, "LatePpm", c.LatePpm);
    ReadDword(key, "EarlyPpm", c.EarlyPpm);
    ReadDword(key, "GarbledPpm", c.GarbledPpm);
    ReadDword(key, "Unplugged", c.Unplugged);
    return c;
}

// 100-ns units since 1601 to ms since 1970, and a frame's length in those units.
constexpr std::int64_t kUnitsPerMs = 10000;
constexpr std::int64_t kUnitsPerSecond = 1000 * kUnitsPerMs;
constexpr std::int64_t kUnitsPerDay = civil::kDayMs * kUnitsPerMs;
constexpr std::int64_t k1601To1970Ms = 11644473600000;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t UnitsToMs(std::int64_t units, bool truncate) {
    return FloorDiv(units + (truncate ? 0 : kUnitsPerMs / 2), kUnitsPerMs) - k1601To1970Ms;
}

// The start of the 25-fps frame under way: the configuration's clock, whatever the frame rate.
std::int64_t ReferenceNowMs() {
    plat::CardClockView view;
    plat::CardClocks(view);
    constexpr std::int64_t kFrame = kUnitsPerSecond / 25;
    return UnitsToMs(FloorDiv(view.Reference, kFrame) * kFrame, false);
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
        return civil::TimeOfUnixMs(utcMs + shift * 3600000);
    }
    case 1: {
        plat::TimeZoneInfo tz;
        const plat::SystemTime utc = civil::TimeOfUnixMs(utcMs);
        plat::SystemTime local = utc;
        if (plat::GetTimeZoneInformation(tz) == plat::kTimeZoneIdInvalid ||
            !plat::SystemTimeToTzSpecificLocalTime(tz, utc, local)) {
            return utc;
        }
        return local;
    }
    default:
        return civil::TimeOfUnixMs(utcMs);
    }
}

// --- frames, stamps and faults ----------------------------------------------------------------

// A frame rate as a fraction of frames per second, and the frames a label counts per second.
struct Rate {
    std::int64_t Frames;  // frames ...
    std::int64_t Seconds; // ... per this many seconds
    std::int64_t Nominal; // frames a label counts in a second
    bool DropFrame;
};

Rate RateOf(std::uint32_t setting) {
    switch (setting) {
    case simcard::kFrames24:
        return {24, 1, 24, false};
    case simcard::kFrames2997:
        return {30000, 1001, 30, true};
    case simcard::kFrames30:
        return {30, 1, 30, false};
    default:
        return {25, 1, 25, false};
    }
}

std::int64_t FrameStart(const Rate& r, std::int64_t dayStart, std::int64_t frame) {
    return dayStart + FloorDiv(frame * kUnitsPerSecond * r.Seconds, r.Frames);
}

// The label of a frame counted from midnight, as ms of the day (it may leave the day at either
// end). Drop-frame labels skip frames 0 and 1 at each minute not divisible by ten, so that ten
// minutes of labels span ten minutes of real frames.
std::int64_t LabelMs(const Rate& r, std::int64_t frame, bool truncate) {
    std::int64_t counted = frame;
    if (r.DropFrame) {
        constexpr std::int64_t kPerTenMinutes = 17982; // 10 * 60 * 30 - 9 * 2
        constexpr std::int64_t kPerMinute = 1798;      // 60 * 30 - 2
        const std::int64_t tens = FloorDiv(frame, kPerTenMinutes);
        const std::int64_t rest = frame - tens * kPerTenMinutes;
        counted = frame + 18 * tens + (rest > 1 ? 2 * ((rest - 2) / kPerMinute) : 0);
    }
    const std::int64_t second = FloorDiv(counted, r.Nominal);
    const std::int64_t inSecond = counted - second * r.Nominal;
    const std::int64_t scaled = inSecond * 1000;
    return second * 1000 +
           (truncate ? scaled / r.Nominal : (2 * scaled + r.Nominal) / (2 * r.Nominal));
}

// One number from (seed, frame, stream), the same wherever and whenever it is asked for: a
// frame's latency and faults do not depend on how often the card is read.
std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

enum Stream : std::uint64_t {
    kLatencyBase,
    kLatencySpike,
    kLatencySpikeSize,
    kRepeat,
    kSkip,
    kLate,
    kEarly,
    kGarbled,
    kGarbledBy
};

// Uniform in (0, 1).
double Draw(const Config& c, std::int64_t frameStart, Stream stream) {
    const std::uint64_t h = Mix(Mix(Mix(c.Seed) ^ static_cast<std::uint64_t>(frameStart)) ^
                                (stream * 0x2545F4914F6CDD1DULL));
    return (static_cast<double>(h >> 11) + 0.5) / 9007199254740992.0;
}

bool Happens(const Config& c, std::int64_t frameStart, Stream stream, std::uint32_t ppm) {
    return ppm != 0 && Draw(c, frameStart, stream) * 1e6 < static_cast<double>(ppm);
}

// How long after its start a frame is stamped, in 100-ns units. A busy interrupt path adds a
// short, skewed delay to every frame and, now and then, one of a few ms; a loaded PC more of
// both and a long tail. Never a frame or more, so a frame is always stamped before the next.
std::int64_t Latency(const Config& c, std::int64_t frameStart, std::int64_t frameLength) {
    double base = 0;
    double spikeChance = 0;
    double spike = 0;
    const double size = Draw(c, frameStart, kLatencySpikeSize);
    switch (c.StampLatency) {
    case simcard::kLatencyTypical: // mean about 0.11 ms
        base = 0.08 - 0.025 * std::log(Draw(c, frameStart, kLatencyBase));
        spikeChance = 0.002;
        spike = 1.0 + 4.0 * size; // 1 to 5 ms
        break;
    case simcard::kLatencyLoaded: // mean about 0.55 ms
        base = 0.15 - 0.35 * std::log(Draw(c, frameStart, kLatencyBase));
        spikeChance = 0.02;
        spike = std::pow(size, -1.0 / 1.5); // from 1 ms on, a heavy tail
        break;
    default:
        return 0;
    }
    double ms = base + (Draw(c, frameStart, kLatencySpike) < spikeChance ? spike : 0.0);
    ms = std::min(ms, 25.0);
    const auto units = static_cast<std::int64_t>(ms * kUnitsPerMs);
    return std::min(units, frameLength - kUnitsPerMs);
}

// The PC's time `ago` before the view was taken, by the clock the card stamps with.
std::int64_t StampUnits(const Config& c, const plat::CardClockView& v, std::int64_t ago) {
    const std::int64_t precise = v.Precise - std::llround(static_cast<double>(ago) * v.PcRate);
    switch (c.StampClock) {
    case simcard::kClockInterrupt: {
        if (ago <= v.SinceInterrupt || v.InterruptPeriod <= 0) {
            return v.Interrupt;
        }
        const std::int64_t ticks =
            (ago - v.SinceInterrupt + v.InterruptPeriod - 1) / v.InterruptPeriod;
        return v.Interrupt - ticks * v.InterruptStep;
    }
    case simcard::kClockMs:
        return FloorDiv(precise, kUnitsPerMs) * kUnitsPerMs;
    default:
        return precise;
    }
}

// The frame a read sees: the latest one whose stamp has been taken.
struct Frame {
    std::int64_t Start = 0;   // reference time, 100-ns units
    std::int64_t LabelMs = 0; // the timecode's label, ms since 1970 (UTC)
    std::int64_t StampMs = 0; // the PC's stamp, ms since 1970 (UTC)
};

Frame LatestFrame(const Config& c) {
    plat::CardClockView view;
    plat::CardClocks(view);
    const Rate rate = RateOf(c.FrameRate);
    const std::int64_t dayStart = FloorDiv(view.Reference, kUnitsPerDay) * kUnitsPerDay;
    std::int64_t index =
        FloorDiv((view.Reference - dayStart) * rate.Frames, kUnitsPerSecond * rate.Seconds);
    std::int64_t start = FrameStart(rate, dayStart, index);
    std::int64_t stampAt = start + Latency(c, start, FrameStart(rate, dayStart, index + 1) - start);
    if (stampAt > view.Reference) {
        --index;
        const std::int64_t next = start;
        start = FrameStart(rate, dayStart, index);
        stampAt = start + Latency(c, start, next - start);
    }
    std::int64_t label = index;
    if (Happens(c, start, kLate, c.LatePpm)) {
        --label;
    } else if (Happens(c, start, kEarly, c.EarlyPpm)) {
        ++label;
    }
    Frame f;
    f.Start = start;
    f.LabelMs = UnitsToMs(dayStart, false) + LabelMs(rate, label, c.FrameMs == simcard::kTruncate);
    if (Happens(c, start, kGarbled, c.GarbledPpm)) {
        // A few seconds off either way, never none.
        const auto by = static_cast<std::int64_t>(Draw(c, start, kGarbledBy) * 18.0) - 9;
        f.LabelMs += (by >= 0 ? by + 1 : by) * 1000;
    }
    f.StampMs =
        UnitsToMs(StampUnits(c, view, view.Reference - stampAt), c.StampMs == simcard::kTruncate);
    return f;
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
    s.LastFrame.fill(0);
    s.LastRecord.fill(TimecodeRecord{});
    s.RealtimeMode = 0;
    s.LastResult = kOk;
}

void Reconfigure() {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Loaded = false;
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
                s.LastFrame[h] = 0;
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
    if (c.Unplugged != 0) {
        return Finish(kNoNewData); // no signal, so no frame: not a failure of the card
    }
    const Frame frame = LatestFrame(c);

    auto& s = State();
    std::uint32_t mode = 0;
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        const auto slot = static_cast<std::size_t>(handle);
        auto& last = s.LastFrame[slot];
        if (last == frame.Start || Happens(c, frame.Start, kSkip, c.SkipPpm)) {
            s.LastResult = kNoNewData;
            return kNoNewData;
        }
        const bool repeat = last != 0 && Happens(c, frame.Start, kRepeat, c.RepeatPpm);
        last = frame.Start;
        if (repeat) {
            std::memcpy(record44, &s.LastRecord[slot], sizeof(TimecodeRecord));
            s.LastResult = kOk;
            return kOk;
        }
        mode = s.RealtimeMode;
    }

    const plat::SystemTime tc = TimecodeLocal(c, frame.LabelMs - c.OffsetMs);
    const plat::SystemTime pc = civil::TimeOfUnixMs(frame.StampMs);
    const bool dateValid = mode != 0 && c.DateValid != 0;

    TimecodeRecord r;
    r.Flags = (c.SyncFlag != 0 ? FlagLtcSync : 0u) | (dateValid ? FlagDateValid : 0u);
    civil::SetLtcTime(r, tc, dateValid);
    r.LtcZone = static_cast<std::uint16_t>(c.LtcZone);
    civil::SetSystemStamp(r, pc);
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        s.LastRecord[static_cast<std::size_t>(handle)] = r;
    }
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
