#include "engine/Settings.h"

#include "engine/EventLog.h"
#include "engine/SettingsTable.h"

#include <map>
#include <set>
#include <string>

// All written by the service thread only: the loop reads and reloads them, ServiceStart opens
// the registry object and closes it when the run ends.
SettingsValues Settings;
std::unique_ptr<TRegistryDefault> SettingsRegistry;
bool SyncRequested = false;
std::int32_t ReloadCountdown = 0;
bool SyncSeen = false;
bool InSync = false;

namespace {

// Registry trouble is reported once when it appears, again when it changes, and again after
// the value has been read or written successfully in between: a broken value is met at every
// reload (every ten seconds) and must not flood the log. Service thread only, like the
// settings themselves. For each unreadable value, what was last said about it.
std::map<std::string, std::string> UnreadableValues;
std::set<std::string> UnwritableValues;

// The text of "Sync" whose clearing failed: the request it carried has been honoured, and the
// same text still standing there is not a new request.
std::string UnclearedSyncText;
bool SyncClearFailed = false;

// The text of the last request consumed, to put back if it cannot be carried out.
std::string ConsumedSyncText;

// One entry per change of what is said about a value.
void NoteValueTrouble(const std::string& name, const std::string& text) {
    auto [it, added] = UnreadableValues.try_emplace(name, text);
    if (added || it->second != text) {
        it->second = text;
        WriteEventLog(text, kEventError);
    }
}

void NoteReadFailure(const std::string& name, const std::string& why) {
    NoteValueTrouble(name, "Registry value \"" + name + "\" ignored, default used: " + why);
}

void NoteWriteFailure(const std::string& name, const RegistryError& error) {
    if (UnwritableValues.insert(name).second) {
        WriteEventLog("Registry value \"" + name + "\" not written: " + error.what(), kEventError);
    }
}

std::int32_t ReadSetting(const SettingRow& row) {
    if (!SettingsRegistry) {
        return row.Default;
    }
    return ReadSettingFrom(*SettingsRegistry, row);
}

std::string ReadTextSetting(const SettingRow& row) {
    if (!SettingsRegistry) {
        return {};
    }
    try {
        std::string text = SettingsRegistry->ReadString(row.Name);
        UnreadableValues.erase(row.Name);
        return text;
    } catch (const RegistryError& error) {
        NoteReadFailure(row.Name, error.what());
        return {};
    }
}

std::uint8_t LowByte(std::int32_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

// Reads and consumes the one-shot request.
bool ConsumeSyncRequest() {
    std::string text;
    if (SettingsRegistry) {
        try {
            text = SettingsRegistry->ReadString("Sync");
            UnreadableValues.erase("Sync");
        } catch (const RegistryError& error) {
            NoteReadFailure("Sync", error.what());
        }
    }
    bool requested = !text.empty();
    if (SyncClearFailed && text == UnclearedSyncText) {
        requested = false; // the request standing there was honoured already
    }
    if (requested) {
        ConsumedSyncText = text;
    }
    try {
        if (!SettingsRegistry) {
            throw RegistryError("no settings key for value \"Sync\"");
        }
        SettingsRegistry->WriteString("Sync", "");
        UnwritableValues.erase("Sync");
        SyncClearFailed = false;
        UnclearedSyncText.clear();
    } catch (const RegistryError& error) {
        NoteWriteFailure("Sync", error);
        SyncClearFailed = !text.empty();
        UnclearedSyncText = text;
    }
    return requested;
}

} // namespace

std::int32_t ReadSettingFrom(const TRegistryDefault& key, const SettingRow& row) {
    try {
        const std::int32_t value = key.ReadIntegerDefault(row.Name, row.Default);
        const std::int32_t used = SettingValueUsed(row, value);
        if (used != value) {
            NoteValueTrouble(row.Name, std::string("Registry value \"") + row.Name +
                                           "\" out of range: " + std::to_string(value) + ", " +
                                           std::to_string(used) + " used");
            return used;
        }
        UnreadableValues.erase(row.Name);
        return value;
    } catch (const RegistryError& error) {
        NoteReadFailure(row.Name, error.what());
        return row.Default;
    }
}

void ResetSettingsToStart() {
    Settings = SettingsValues{};
    SyncRequested = false;
    ReloadCountdown = 0;
    SyncSeen = false;
    InSync = false;
    UnreadableValues.clear();
    UnwritableValues.clear();
    UnclearedSyncText.clear();
    SyncClearFailed = false;
    ConsumedSyncText.clear();
}

void RestoreSyncRequest() {
    if (SyncRequested && !ConsumedSyncText.empty()) {
        WriteValue("Sync", ConsumedSyncText);
    }
    SyncRequested = false;
}

void ReloadSettings() {
    try {
        Settings.SyncM = ReadSetting(SettingRowOf("SyncM"));
        Settings.SyncP = ReadSetting(SettingRowOf("SyncP"));
        Settings.DifErr = ReadSetting(SettingRowOf("DifErr"));
        Settings.DifSys = ReadSetting(SettingRowOf("DifSys"));
        // A request stays pending until the loop honours it; a reload only adds to it.
        if (ConsumeSyncRequest()) {
            SyncRequested = true;
        }
        Settings.SyncLTC = LowByte(ReadSetting(SettingRowOf("SyncLTC")));
        Settings.DateFormat = LowByte(ReadSetting(SettingRowOf("DateFormat")));
        Settings.DateExpected = Settings.DateFormat != 0;
        Settings.SyncFlagCarried = Settings.DateFormat == 1 || Settings.DateFormat == 3;
        Settings.SelectTimezone = LowByte(ReadSetting(SettingRowOf("SelectTimezone")));
        Settings.MetricsFile = ReadTextSetting(SettingRowOf("MetricsFile"));
        Settings.SyncMode = LowByte(ReadSetting(SettingRowOf("SyncMode")));
        Settings.HistoryDays = ReadSetting(SettingRowOf("HistoryDays"));
    } catch (...) {
        // Only running out of memory gets here; the settings read so far stand.
    }
}

bool PopUpsWanted() {
    try {
        return ReadSetting(SettingRowOf("PopUps")) != 0;
    } catch (...) {
        return true;
    }
}

void WriteStatus(StatusName name, const std::string& text) {
    WriteValue(name.Text, text);
}

void WriteValue(const char* name, const std::string& text) {
    try {
        if (!SettingsRegistry) {
            throw RegistryError(std::string("no settings key for value \"") + name + "\"");
        }
        SettingsRegistry->WriteString(name, text);
        UnwritableValues.erase(name);
    } catch (const RegistryError& error) {
        NoteWriteFailure(name, error);
    } catch (...) {
        // Out of memory: the status text is lost this time.
    }
}
