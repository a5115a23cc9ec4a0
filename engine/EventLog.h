#pragma once

#include <atomic>
#include <cstdint>
#include <string>

constexpr const char* kServiceName = "QN_Chronel";
// The service's event source, under HKEY_LOCAL_MACHINE, as the settings key path is written.
constexpr const char* kEventSourceKeyPath =
    "\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QN_Chronel";
constexpr std::uint16_t kEventError = 1;
constexpr std::uint16_t kEventWarning = 2;
constexpr std::uint16_t kEventNotice = 3;      // passed as it stands for START, STOP, out of limits
constexpr std::uint16_t kEventInformation = 4; // trouble that has ended

// One entry under the service's source: "\r\n" + text, event id 0.
void WriteEventLog(const std::string& text, std::uint16_t type);

// Entries written since the process started, by any thread (the history counts them).
extern std::atomic<std::uint64_t> EventLogEntries;
