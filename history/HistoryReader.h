// Reading the service's history files, for the operator's tool and the tray monitor.
#pragma once

#include "history/HistoryFormat.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace history {

// %ProgramData%\Chronel\history, where the service keeps its history; empty when the system
// does not name the data folder.
std::string HistoryFolder();

struct ReadResult {
    std::vector<Row> Rows;   // in minute order; rows of the same minute merged
    std::size_t Files = 0;   // day files read
    std::size_t Skipped = 0; // lines that were not whole rows
    bool FolderFound = false;
};

// The rows with fromUnix <= MinuteUnix < toUnix, from the day files that can hold them.
ReadResult ReadHistory(const std::string& folder, std::int64_t fromUnix, std::int64_t toUnix);

// The path of a day's file in a folder.
std::string DayFilePath(const std::string& folder, std::int64_t unixSeconds);

} // namespace history
