#include "history/HistoryReader.h"

#include "platform/Platform.h"

#include <algorithm>

namespace history {

std::string HistoryFolder() {
    const std::string data = plat::ProgramDataFolder();
    if (data.empty()) {
        return {};
    }
    const bool slash = data.back() == '\\' || data.back() == '/';
    return data + (slash ? "" : "\\") + "Chronel\\history";
}

std::string DayFilePath(const std::string& folder, std::int64_t unixSeconds) {
    return folder + "\\" + DayFileName(unixSeconds);
}

ReadResult ReadHistory(const std::string& folder, std::int64_t fromUnix, std::int64_t toUnix) {
    ReadResult result;
    std::vector<std::string> names;
    if (!plat::ListFiles(folder, kFilePattern, names)) {
        return result;
    }
    result.FolderFound = true;
    std::vector<std::pair<std::int64_t, std::string>> days;
    for (const std::string& name : names) {
        const std::optional<std::int64_t> day = DayOfFileName(name);
        if (day && *day + kSecondsPerDay > fromUnix && *day < toUnix) {
            days.emplace_back(*day, name);
        }
    }
    std::sort(days.begin(), days.end());
    for (const auto& [day, name] : days) {
        std::string content;
        if (!plat::ReadWholeFile(folder + "\\" + name, content)) {
            continue;
        }
        ++result.Files;
        std::size_t from = 0;
        while (from < content.size()) {
            std::size_t end = content.find('\n', from);
            if (end == std::string::npos) {
                end = content.size();
            }
            const std::string_view line(content.data() + from, end - from);
            from = end + 1;
            const std::optional<Row> row = ParseRow(line);
            if (!row) {
                const bool blank = line.empty() || line == "\r";
                const bool header = line.substr(0, 11) == "minute_utc,";
                if (!blank && !header) {
                    ++result.Skipped;
                }
                continue;
            }
            // A row in another day's file (a hand-made copy) is still taken for its minute.
            if (row->MinuteUnix < fromUnix || row->MinuteUnix >= toUnix) {
                continue;
            }
            result.Rows.push_back(*row);
        }
    }
    // Files are written in order; a copied or restored file may not be, so sort, then merge
    // the rows two runs wrote for one minute.
    std::stable_sort(result.Rows.begin(), result.Rows.end(),
                     [](const Row& a, const Row& b) { return a.MinuteUnix < b.MinuteUnix; });
    std::vector<Row> merged;
    merged.reserve(result.Rows.size());
    for (Row& row : result.Rows) {
        if (!merged.empty() && merged.back().MinuteUnix == row.MinuteUnix) {
            MergeSameMinute(merged.back(), row);
        } else {
            merged.push_back(std::move(row));
        }
    }
    result.Rows = std::move(merged);
    return result;
}

} // namespace history
