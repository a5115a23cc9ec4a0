// The service's settings and the flags shared between the start sequence and the loop.
#pragma once

#include "engine/RegistryDefault.h"
#include "engine/StatusTable.h"

#include <cstdint>
#include <memory>
#include <string>

struct SettingRow;

struct SettingsValues {
    std::int32_t SyncM = 2000;
    std::int32_t SyncP = 2000;
    std::int32_t DifErr = 300000;
    std::int32_t DifSys = 300000;
    std::uint8_t SyncLTC = 0;
    std::uint8_t DateFormat = 0;
    std::uint8_t SelectTimezone = 1;
    std::uint8_t SyncMode = 0;     // 1: the precision servo chooses the rate
    bool DateExpected = false;     // DateFormat != 0
    bool SyncFlagCarried = false;  // DateFormat is 1 or 3
    std::string MetricsFile;       // where the metrics go; empty: none
    std::int32_t HistoryDays = 90; // days of history kept; 0: none written
};

extern SettingsValues Settings;
extern std::unique_ptr<TRegistryDefault> SettingsRegistry;
extern bool SyncRequested;
extern std::int32_t ReloadCountdown;
extern bool SyncSeen;
extern bool InSync;

constexpr const char* kSettingsKeyPath = "\\SOFTWARE\\Tecora";
// The key as the operator finds it in regedit.
constexpr const char* kSettingsKeyRoot = "HKEY_LOCAL_MACHINE";
// The status value that holds why the last start failed; emptied by a good start.
constexpr const char* kStartErrorValue = "MonitorError";

// Restores Settings to the values they hold at process start.
void ResetSettingsToStart();

// Refreshes Settings from SettingsRegistry, each value through ReadSettingFrom; a "Sync"
// request sets SyncRequested, which stays set until the loop honours it. Never throws.
void ReloadSettings();

// A DWORD setting from an open key through its row of the settings table: absent, its
// default; of the wrong type or unreadable, its default and one entry per change; outside its
// range, what the row makes of it (SettingValueUsed) and one entry per change naming the value
// used. Service thread only; never throws a RegistryError.
std::int32_t ReadSettingFrom(const TRegistryDefault& key, const SettingRow& row);

// Puts a "Sync" request that is still pending back into the registry when the loop ends
// before it could be honoured, so that the next start honours it; clears SyncRequested.
void RestoreSyncRequest();

// Reads "PopUps" (default 1) afresh; never throws.
bool PopUpsWanted();

// Writes one status value through SettingsRegistry; a failure is contained, never thrown.
void WriteStatus(StatusName name, const std::string& text);
// The same for any value of the key (the "Sync" request put back).
void WriteValue(const char* name, const std::string& text);
