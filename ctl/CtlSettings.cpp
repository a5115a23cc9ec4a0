// config, set, reset and sync: the settings in the service's key, checked against the one
// settings table.
#include "ctl/Ctl.h"

#include "engine/ClockWatch.h"
#include "engine/EventLog.h"
#include "engine/Metrics.h"
#include "engine/RegistryDefault.h"
#include "engine/Settings.h"
#include "platform/Platform.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ctl {
namespace {

constexpr std::uint32_t kPollMs = 500;

std::string KeyPath() {
    return std::string(kSettingsKeyPath).substr(1); // without the leading backslash
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string SystemText(long code) {
    std::string text = plat::SystemMessageLine(static_cast<std::uint32_t>(code));
    if (code == static_cast<long>(plat::kErrorAccessDenied)) {
        text += " Run chronelctl from an administrator console.";
    }
    return text;
}

// When the service picks a setting up.
const char* TakesEffect(const SettingRow& row) {
    const std::string name = row.Name;
    if (name == "IOADR") {
        return "at the next start of the service";
    }
    if (name == "PopUps") {
        return "at the next notification";
    }
    return "within about 10 s, at the service's next reload";
}

// A DWORD as typed: decimal with an optional sign, or hexadecimal after "0x"; anything that
// does not fit 32 bits is no DWORD.
std::optional<std::uint32_t> ParseDword(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) != 0) {
        return std::nullopt;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* begin = text.c_str() + (hex ? 2 : 0);
    if (hex && (*begin == '-' || *begin == '+')) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, hex ? 16 : 10);
    if (errno != 0 || end == begin || *end != '\0' || value < -2147483648LL ||
        value > 4294967295LL) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string CurrentText(const TRegistryDefault& key, const SettingRow& row) {
    try {
        if (!key.IsOpen() || !key.ValueExists(row.Name)) {
            return std::string(row.DefaultText) + " (default)";
        }
        if (row.Type == SettingType::String) {
            const std::string text = key.ReadString(row.Name);
            return text.empty() ? std::string(row.DefaultText) + " (default)" : "\"" + text + "\"";
        }
        const std::int32_t value = key.ReadInteger(row.Name);
        if (!SettingAccepts(row, value)) {
            return std::to_string(value) + " (out of range: the service uses " +
                   std::to_string(SettingValueUsed(row, value)) + ")";
        }
        return std::to_string(value);
    } catch (const RegistryError& error) {
        return std::string(error.what()) + " (the default " + row.DefaultText + " applies)";
    }
}

// Writes one value; false after telling why.
bool WriteValue(const SettingRow& row, plat::RegType type, const void* data, std::size_t size) {
    plat::RegKey key;
    long error = plat::RegCreateKey(KeyPath(), key);
    if (error == plat::kRegErrorSuccess) {
        error = plat::RegSetValue(key, row.Name, type, data, size);
    }
    if (error != plat::kRegErrorSuccess) {
        Err(std::string("chronelctl: cannot write \"") + row.Name + "\": " + SystemText(error));
        return false;
    }
    return true;
}

bool WriteText(const SettingRow& row, const std::string& text) {
    return WriteValue(row, plat::RegType::Sz, text.c_str(), text.size() + 1);
}

std::string WhyNoHardSet(const ServiceFacts& service, const StatusValues& values) {
    if (service.State != ServiceState::Running) {
        return std::string("the service is ") + ServiceStateText(service.State);
    }
    TRegistryDefault key;
    key.SetRootKeyLocalMachine();
    std::string pending;
    if (key.OpenKey(kSettingsKeyPath, false)) {
        try {
            pending = key.ReadString("Sync");
        } catch (const RegistryError&) {
            pending.clear();
        }
    }
    if (!pending.empty()) {
        return "the service has not read the request; it stands, and the service reads it at "
               "its next reload";
    }
    switch (DeriveLock(values, NowUnixMs()).State) {
    case Lock::TimecodeLost:
        return "the timecode is lost; the clock is set at the next good reading";
    case Lock::FormatError:
        return "the timecode is in the wrong user format; the clock is set at the next good "
               "reading";
    case Lock::Stale:
    case Lock::NoStatus:
        return "the service publishes no status; see the event log";
    default:
        return "the service took the request but has not set the clock yet";
    }
}

} // namespace

std::string HardSetRefusal(const std::string& warnings) {
    const std::string prefix = kHardSetRefused;
    for (const std::string& line : SplitLines(warnings)) {
        if (line.rfind(prefix, 0) == 0) {
            return line;
        }
    }
    return {};
}

const SettingRow* FindSettingAnyCase(const std::string& name) {
    for (const SettingRow& row : kSettingsTable) {
        if (Lower(row.Name) == Lower(name)) {
            return &row;
        }
    }
    return nullptr;
}

SetDecision DecideSet(const std::string& name, const std::string& value) {
    SetDecision decision;
    const SettingRow* row = FindSettingAnyCase(name);
    if (row == nullptr) {
        decision.Why = "\"" + name + "\" is not a setting; chronelctl config lists them";
        return decision;
    }
    if (row->Type == SettingType::String) {
        // A path the service would refuse is refused here with the service's own reason.
        const std::string refusal = std::string(row->Name) == "MetricsFile" && !value.empty()
                                        ? MetricsPathRefusal(value)
                                        : std::string();
        if (!refusal.empty()) {
            decision.Why = "the service would not write metrics to \"" + value + "\": " + refusal;
            return decision;
        }
        decision.Row = row;
        return decision;
    }
    const std::optional<std::uint32_t> dword = ParseDword(value);
    if (!dword) {
        decision.Why = std::string("\"") + row->Name + "\" takes a whole number (DWORD), not \"" +
                       value + "\"";
        return decision;
    }
    // Refused rather than written: the service would not take it as typed either.
    const auto typed = static_cast<std::int32_t>(*dword);
    if (!SettingAccepts(*row, typed)) {
        decision.Why = std::string("\"") + row->Name + "\" takes " + row->RangeText + ", not " +
                       value + " (the service would use " +
                       std::to_string(SettingValueUsed(*row, typed)) + ")";
        return decision;
    }
    decision.Row = row;
    decision.Dword = *dword;
    return decision;
}

std::string CurrentSettingText(const SettingRow& row) {
    TRegistryDefault key;
    key.SetRootKeyLocalMachine();
    // A key that cannot be opened reads as every default, as the service takes it.
    if (!key.OpenKey(kSettingsKeyPath, false)) {
        return std::string(row.DefaultText) + " (default)";
    }
    return CurrentText(key, row);
}

int Config() {
    TRegistryDefault key;
    key.SetRootKeyLocalMachine();
    const bool open = key.OpenKey(kSettingsKeyPath, false);
    Out(std::string("Settings in ") + kSettingsKeyRoot + kSettingsKeyPath + " (32-bit view)" +
        (open ? "" : ": the key does not exist yet, every default applies"));
    for (const SettingRow& row : kSettingsTable) {
        std::string line = std::string("  ") + row.Name;
        line.resize(18, ' ');
        Out(line + CurrentText(key, row));
        Out(std::string(18, ' ') + "default " + row.DefaultText + "; " + row.RangeText);
        Out(std::string(18, ' ') + row.Meaning);
    }
    Out("The service reads them about every 10 s; \"IOADR\" at its next start, \"PopUps\" "
        "before each popup.");
    return kOk;
}

int Set(const std::string& name, const std::string& value) {
    const SetDecision decision = DecideSet(name, value);
    if (decision.Row == nullptr) {
        Err("chronelctl: " + decision.Why + ". Nothing written.");
        return kWarning;
    }
    const SettingRow& row = *decision.Row;
    const bool written =
        row.Type == SettingType::String
            ? WriteText(row, value)
            : WriteValue(row, plat::RegType::Dword, &decision.Dword, sizeof decision.Dword);
    if (!written) {
        return kWarning;
    }
    Out(std::string(row.Name) + " set to " +
        (row.Type == SettingType::String
             ? "\"" + value + "\""
             : std::to_string(static_cast<std::int32_t>(decision.Dword))) +
        "; the service applies it " + TakesEffect(row) + ".");
    return kOk;
}

int Reset(const std::string& name) {
    const SettingRow* row = FindSettingAnyCase(name);
    if (row == nullptr) {
        Err("chronelctl: \"" + name + "\" is not a setting; chronelctl config lists them.");
        return kWarning;
    }
    plat::RegKey key;
    long error = plat::RegOpenKey(KeyPath(), plat::kKeyAllAccess, key);
    if (error == plat::kRegErrorSuccess) {
        error = plat::RegDeleteValue(key, row->Name);
    }
    if (error == plat::kRegErrorFileNotFound) {
        Out(std::string(row->Name) + " was not set; its default " + row->DefaultText + " applies.");
        return kOk;
    }
    if (error != plat::kRegErrorSuccess) {
        Err(std::string("chronelctl: cannot reset \"") + row->Name + "\": " + SystemText(error));
        return kWarning;
    }
    Out(std::string(row->Name) + " reset; the default " + row->DefaultText + " applies " +
        TakesEffect(*row) + ".");
    return kOk;
}

int Sync(std::uint32_t timeoutMs) {
    const ServiceFacts service = QueryService(kServiceName);
    if (service.State != ServiceState::Running) {
        Err(std::string("chronelctl: the service is ") + ServiceStateText(service.State) +
            "; no hard set requested.");
        return kWarning;
    }
    const std::string before = ReadStatusValues().LastSet;
    if (!WriteText(*FindSettingAnyCase("Sync"), "chronelctl")) {
        return kWarning;
    }
    Out("Hard set requested; waiting up to " + std::to_string(timeoutMs / 1000) +
        " s for the service.");
    // A refusal standing from before the request may be lifted by this attempt; one that comes
    // up while we wait is the answer to it.
    const std::string refusedBefore = HardSetRefusal(ReadStatusValues().Warnings);
    std::string refused;
    for (std::uint32_t waited = 0; waited < timeoutMs; waited += kPollMs) {
        plat::Sleep(kPollMs);
        const StatusValues values = ReadStatusValues();
        if (!values.LastSet.empty() && values.LastSet != before) {
            Out("Hard set: " + values.LastSet);
            return kOk;
        }
        refused = HardSetRefusal(values.Warnings);
        if (!refused.empty() && refused != refusedBefore) {
            break;
        }
    }
    if (!refused.empty()) {
        std::string reason = refused.substr(std::strlen(kHardSetRefused));
        if (reason.empty() || reason.back() != '.') {
            reason += '.'; // the system's own texts mostly end a sentence already
        }
        Err("chronelctl: the system refused to set the clock: " + reason +
            " The request stays pending; the service tries again while it corrects by rate.");
        return kCritical;
    }
    Err("chronelctl: no hard set within " + std::to_string(timeoutMs / 1000) +
        " s: " + WhyNoHardSet(QueryService(kServiceName), ReadStatusValues()) + ".");
    return kWarning;
}

} // namespace ctl
