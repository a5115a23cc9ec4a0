#include "engine/Settings.h"

#include "engine/EventLog.h"

#include <set>
#include <string>

SettingsValues Settings;
std::unique_ptr<TRegistryDefault> SettingsRegistry;
bool SyncRequested = false;
std::int32_t ReloadCountdown = 0;
bool SyncSeen = false;
bool InSync = false;

namespace {

// Registry trouble is reported once when it appears and again only after the value has been
// read or written successfully in between: a broken value is met at every reload (every ten
// seconds) and must not flood the log. Service thread only, like the settings themselves.
std::set<std::string> UnreadableValues;
std::set<std::string> UnwritableValues;

// The text of "Sync" whose clearing failed: the request it carried has been honoured, and the
// same text still standing there is not a new request.
std::string UnclearedSyncText;
bool SyncClearFailed = false;

// The text of the last request consumed, to put back if it cannot be carried out.
std::string ConsumedSyncText;

void NoteReadFailure(const std::string& name, const RegistryError& error) {
    if (UnreadableValues.insert(name).second) {
        WriteEventLog("Registry value \"" + name + "\" ignored, default used: " + error.what(),
                      kEventError);
    }
}

void NoteWriteFailure(const std::string& name, const RegistryError& error) {
    if (UnwritableValues.insert(name).second) {
        WriteEventLog("Registry value \"" + name + "\" not written: " + error.what(), kEventError);
    }
}

std::int32_t ReadSetting(const char* name, std::int32_t defaultValue) {
    if (!SettingsRegistry) {
        return defaultValue;
    }
    try {
        const std::int32_t value = SettingsRegistry->ReadIntegerDefault(name, defaultValue);
        UnreadableValues.erase(name);
        return value;
    } catch (const RegistryError& error) {
        NoteReadFailure(name, error);
        return defaultValue;
    }
}

std::string ReadTextSetting(const char* name) {
    if (!SettingsRegistry) {
        return {};
    }
    try {
        std::string text = SettingsRegistry->ReadString(name);
        UnreadableValues.erase(name);
        return text;
    } catch (const RegistryError& error) {
        NoteReadFailure(name, error);
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
            NoteReadFailure("Sync", error);
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
    if (!ConsumedSyncText.empty()) {
        WriteStatus("Sync", ConsumedSyncText);
    }
}

void ReloadSettings() {
    try {
        Settings.SyncM = ReadSetting("SyncM", 2000);
        Settings.SyncP = ReadSetting("SyncP", 2000);
        Settings.DifErr = ReadSetting("DifErr", 300000);
        Settings.DifSys = ReadSetting("DifSys", 300000);
        SyncRequested = ConsumeSyncRequest();
        Settings.SyncLTC = LowByte(ReadSetting("SyncLTC", 0));
        Settings.DateFormat = LowByte(ReadSetting("DateFormat", 0));
        Settings.DateExpected = Settings.DateFormat != 0;
        Settings.SyncFlagCarried = Settings.DateFormat == 1 || Settings.DateFormat == 3;
        Settings.SelectTimezone = LowByte(ReadSetting("SelectTimezone", 1));
        Settings.MetricsFile = ReadTextSetting("MetricsFile");
    } catch (...) {
        // Only running out of memory gets here; the settings read so far stand.
    }
}

bool PopUpsWanted() {
    try {
        return ReadSetting("PopUps", 1) != 0;
    } catch (...) {
        return true;
    }
}

void WriteStatus(const char* name, const std::string& text) {
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
