// The two paths the fuzz targets drive. Each returns an empty text when every check held,
// otherwise what went wrong.
//
// Record path: 44 bytes of record as the library delivers it, the library's result code, and
// arbitrary settings, through the read, the zone conversion, the difference, the correction
// law, the clock and the texts.
// Settings path: arbitrary values of any type and length in the settings key, and failures of
// the registry, through ReloadSettings, the popup setting and the port id.
#pragma once

#include "TimeFunc/ClockControl.h"
#include "TimeFunc/TimeDifference.h"
#include "TimeFunc/TimeZone.h"
#include "TimeFunc/TimecodeRecord.h"
#include "card/CardAccess.h"
#include "card/CardLink.h"
#include "engine/CorrectionLaw.h"
#include "engine/Settings.h"
#include "engine/SettingsTable.h"
#include "engine/SyncLoop.h"
#include "platform/emu/World.h"
#include "service/ModuleState.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fuzzpath {

// Takes fixed-size values from the front of the input; past its end every value is zero.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    template <typename T> T Take() {
        T value{};
        const std::size_t n = std::min(sizeof value, size_);
        if (n > 0) {
            std::memcpy(&value, data_, n);
        }
        data_ += n;
        size_ -= n;
        return value;
    }
    std::vector<std::uint8_t> Bytes(std::size_t count) {
        const std::size_t n = std::min(count, size_);
        std::vector<std::uint8_t> bytes(data_, data_ + n);
        data_ += n;
        size_ -= n;
        return bytes;
    }
    [[nodiscard]] bool Empty() const { return size_ == 0; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

inline bool PlainText(const std::string& text) {
    return !text.empty() && text.size() < 200 && text.find('\0') == std::string::npos;
}

inline bool ClockWithSystem() {
    const emu::ClockState clock = emu::Clock();
    return clock.SystemRegulates && clock.Adjustment == clock.Increment;
}

inline std::string RunRecordPath(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    TimecodeRecord wire;
    const std::vector<std::uint8_t> recordBytes = in.Bytes(sizeof wire);
    if (!recordBytes.empty()) {
        std::memcpy(&wire, recordBytes.data(), recordBytes.size());
    }
    const auto libraryResult = static_cast<std::int32_t>(in.Take<std::int8_t>());
    CorrectionInput law;
    law.SyncM = in.Take<std::int32_t>();
    law.SyncP = in.Take<std::int32_t>();
    law.DifErr = in.Take<std::int32_t>();
    law.DifSys = in.Take<std::int32_t>();
    law.SyncLTC = in.Take<std::uint8_t>();
    const auto dateFormat = in.Take<std::uint8_t>();
    const auto zoneMode = in.Take<std::uint8_t>();
    const auto flags = in.Take<std::uint8_t>();
    const bool dateExpected = dateFormat != 0;
    law.SyncFlagCarried = dateFormat == 1 || dateFormat == 3;
    law.SyncSeen = (flags & 1) != 0;

    emu::ResetWorld();
    ResetModuleState();
    if ((flags & 2) != 0) {
        emu::SetTimeZone(emu::CentralEuropeanZone());
    }
    emu::SetTecReadTime([&wire, libraryResult](std::int32_t, void* record) {
        std::memcpy(record, &wire, sizeof wire);
        return libraryResult;
    });
    CardLink.Handle = 1;
    CardLink.IsOpen = true;

    TimecodeRecord record;
    const std::uint8_t outcome = ReadTimecode(record);
    const std::uint8_t expected = libraryResult == 0   ? (wire.LtcMilliseconds < 1000 ? 0 : 4)
                                  : libraryResult == 1 ? 2
                                                       : 3;
    if (outcome != expected) {
        return "read outcome " + std::to_string(outcome) + ", expected " + std::to_string(expected);
    }
    if (outcome != ReadGood) {
        return {};
    }

    const TimecodeRecord converted = ConvertTimecodeZone(record, dateExpected, zoneMode);
    if (converted.Flags != record.Flags || converted.LtcZone != record.LtcZone ||
        // Reserved1, the System group and Reserved2: the bytes from offset 20 on.
        std::memcmp(reinterpret_cast<const unsigned char*>(&converted) + 20,
                    reinterpret_cast<const unsigned char*>(&record) + 20, 24) != 0) {
        return "conversion touched more than the timecode's time and date";
    }
    const std::int32_t d = TimeDifferenceMs(converted, dateExpected);
    if (!dateExpected && (d > 43200000 || d < -43200000)) {
        return "time-of-day difference beyond twelve hours: " + std::to_string(d);
    }
    law.d = d;
    law.InSync = law.SyncFlagCarried && (converted.Flags & FlagLtcSync) != 0;
    const CorrectionDecision decision = ApplyCorrectionLaw(law);
    if (decision.OutOfLimits && (decision.Permitted || decision.Effective != 0)) {
        return "out of limits, yet a correction";
    }
    if (decision.Permitted) {
        const std::int64_t bound =
            std::max(std::abs(std::int64_t{law.SyncM}), std::abs(std::int64_t{law.SyncP}));
        if (std::abs(std::int64_t{decision.U}) > bound) {
            return "correction beyond the gains: " + std::to_string(decision.U);
        }
        if (SetClockRate(DefaultTimeIncrement() + static_cast<std::uint32_t>(decision.U)) !=
            ClockOk) {
            return "rate not set";
        }
    }

    const std::string texts[] = {
        FormatTimecode(converted, true, dateExpected, zoneMode),
        FormatTimecode(converted, false, dateExpected, zoneMode),
        DiffText(d),
        FormatLocalNow(),
    };
    for (const std::string& text : texts) {
        if (!PlainText(text)) {
            return "bad text: \"" + text + "\"";
        }
    }

    if (HardSetSystemTime(converted, dateExpected) == HardSetStopped) {
        return "hard set refused without a stop";
    }
    if (SetClockRate(DefaultTimeIncrement()) != ClockOk || !ClockWithSystem()) {
        return "the clock is not back with the system";
    }
    if (emu::OpenTokens() != 0 || emu::PrivilegeEnabled()) {
        return "token left open or privilege left enabled";
    }
    return {};
}

inline constexpr const char* kKey = kSettingsKeyPath + 1; // without the leading backslash

inline std::string RunSettingsPath(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const auto faults = in.Take<std::uint8_t>();
    emu::ResetWorld();
    ResetModuleState();
    while (!in.Empty()) {
        const std::size_t which = in.Take<std::uint8_t>() % kSettingsTable.size();
        static constexpr plat::RegType kTypes[] = {plat::RegType::None,     plat::RegType::Sz,
                                                   plat::RegType::ExpandSz, plat::RegType::Binary,
                                                   plat::RegType::Dword,    plat::RegType::MultiSz};
        const plat::RegType type = kTypes[in.Take<std::uint8_t>() % std::size(kTypes)];
        const std::size_t length = in.Take<std::uint8_t>() % 24;
        emu::RegSetRaw(kKey, kSettingsTable[which].Name, type, in.Bytes(length));
    }
    const bool failing = (faults & 7) != 0;
    if ((faults & 1) != 0) {
        emu::InjectRegFailure(emu::RegOp::Query, 5, -1, kSettingsTable[faults >> 4 & 7].Name);
    }
    if ((faults & 2) != 0) {
        emu::InjectRegFailure(emu::RegOp::Set, 5, -1, "Sync");
    }
    if ((faults & 4) != 0) {
        emu::InjectRegFailure(emu::RegOp::Open, 5, (faults >> 3 & 1) != 0 ? 1 : -1);
        emu::InjectRegFailure(emu::RegOp::Create, 5, 1);
    }

    // What the key holds, as the service is to understand it.
    const auto dword = [](const char* name) -> std::optional<std::int32_t> {
        const auto value = emu::RegGetValue(kKey, name);
        if (!value || value->Type != plat::RegType::Dword || value->Data.size() != 4) {
            return std::nullopt;
        }
        std::uint32_t v = 0;
        std::memcpy(&v, value->Data.data(), 4);
        return static_cast<std::int32_t>(v);
    };
    const auto syncValue = emu::RegGetValue(kKey, "Sync");
    bool requestStored = false;
    if (syncValue &&
        (syncValue->Type == plat::RegType::Sz || syncValue->Type == plat::RegType::ExpandSz)) {
        const std::string text(syncValue->Data.begin(), syncValue->Data.end());
        requestStored = !text.empty() && text[0] != '\0';
    }

    SettingsRegistry = std::make_unique<TRegistryDefault>();
    SettingsRegistry->SetRootKeyLocalMachine();
    SettingsRegistry->OpenKey(kSettingsKeyPath, true);
    std::string problem;
    try {
        ReloadSettings();
        (void)PopUpsWanted();
        const std::uint16_t port = ReadPortId();
        if (port < 4097 || port > 4106) {
            problem = "port id " + std::to_string(port);
        }
    } catch (...) {
        problem = "an exception escaped";
    }
    const SettingsValues s = Settings;
    if (problem.empty() && (s.DateExpected != (s.DateFormat != 0) ||
                            s.SyncFlagCarried != (s.DateFormat == 1 || s.DateFormat == 3))) {
        problem = "derived flags do not follow DateFormat";
    }
    if (problem.empty() && !failing) {
        // A value outside its row's range becomes what the row makes of it.
        const auto expectInt = [&](const char* name, std::int32_t got, std::int32_t fallback,
                                   bool lowByte) {
            std::int32_t want = dword(name).value_or(fallback);
            want = SettingValueUsed(*FindSetting(name), want);
            if (lowByte) {
                want &= 0xFF;
            }
            if (got != want && problem.empty()) {
                problem = std::string(name) + " read as " + std::to_string(got) + ", expected " +
                          std::to_string(want);
            }
        };
        expectInt("SyncM", s.SyncM, 2000, false);
        expectInt("SyncP", s.SyncP, 2000, false);
        expectInt("DifErr", s.DifErr, 300000, false);
        expectInt("DifSys", s.DifSys, 300000, false);
        expectInt("SyncLTC", s.SyncLTC, 0, true);
        expectInt("DateFormat", s.DateFormat, 0, true);
        expectInt("SelectTimezone", s.SelectTimezone, 1, true);
        if (problem.empty() && SyncRequested != requestStored) {
            problem = "Sync request " + std::to_string(SyncRequested) + ", stored " +
                      std::to_string(requestStored);
        }
        if (problem.empty() && emu::RegGetString(kKey, "Sync") != std::string()) {
            problem = "Sync not consumed";
        }
        if (problem.empty()) {
            SyncRequested = false; // honoured
            ReloadSettings();
            if (SyncRequested) {
                problem = "one request honoured twice";
            }
        }
    }
    SettingsRegistry.reset();
    if (problem.empty() && emu::RegOpenKeys() != 0) {
        problem = "registry key left open";
    }
    return problem;
}

} // namespace fuzzpath
