#include "history/HistoryFormat.h"

#include "TimeFunc/CivilDate.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace history {
namespace {

constexpr std::array<const char*, 5> kStateNames = {"locked", "correcting", "out_of_limits",
                                                    "format_error", "timecode_lost"};
constexpr const char* kHeader = "minute_utc,state,good_readings,failed_reads,diff_min_ms,"
                                "diff_max_ms,diff_mean_ms,rate_ppm,hard_sets,entries,time_source,"
                                "settings";
constexpr std::size_t kColumns = 12;
using civil::kUnixEpochDay;
// The calendar's own range, as seconds since 1970.
constexpr std::int64_t kFirstMoment =
    (std::int64_t{civil::DayNumber(1, 1, 1)} - kUnixEpochDay) * kSecondsPerDay;
constexpr std::int64_t kLastMoment =
    (std::int64_t{civil::DayNumber(9999, 12, 31)} - kUnixEpochDay + 1) * kSecondsPerDay - 1;

civil::Date DateOfMoment(std::int64_t unixSeconds, std::int64_t& secondOfDay) {
    unixSeconds = std::clamp(unixSeconds, kFirstMoment, kLastMoment);
    const std::int64_t start = DayStart(unixSeconds);
    secondOfDay = unixSeconds - start;
    return civil::DateOf(static_cast<std::int32_t>(start / kSecondsPerDay + kUnixEpochDay));
}

template <class T> bool Whole(std::string_view text, T& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

bool Decimal(std::string_view text, double& value) {
    // from_chars for doubles is missing from some of the toolchains here; the text is short.
    if (text.empty() || text.size() > 40) {
        return false;
    }
    std::array<char, 48> buffer{};
    text.copy(buffer.data(), text.size());
    char* end = nullptr;
    value = std::strtod(buffer.data(), &end);
    return end == buffer.data() + text.size() && std::isfinite(value);
}

std::string Fixed3(double value) {
    std::array<char, 48> text{};
    // Rounded values of -0.0005 and closer print without a minus sign.
    if (std::fabs(value) < 0.0005) {
        value = 0;
    }
    std::snprintf(text.data(), text.size(), "%.3f", value);
    return text.data();
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = line.find(',', from);
        if (comma == std::string_view::npos) {
            fields.push_back(line.substr(from));
            return fields;
        }
        fields.push_back(line.substr(from, comma - from));
        from = comma + 1;
    }
}

} // namespace

const char* StateName(State state) {
    return kStateNames.at(static_cast<std::size_t>(state));
}

std::optional<State> ParseState(std::string_view name) {
    for (std::size_t i = 0; i < kStateNames.size(); ++i) {
        if (name == kStateNames.at(i)) {
            return static_cast<State>(i);
        }
    }
    return std::nullopt;
}

std::string HeaderLine() {
    return kHeader;
}

std::string FormatRow(const Row& row) {
    std::string line = MinuteText(row.MinuteUnix);
    line += ',';
    line += StateName(row.St);
    line += ',' + std::to_string(row.Good) + ',' + std::to_string(row.Failed) + ',';
    if (row.Good > 0) {
        line +=
            std::to_string(row.MinMs) + ',' + std::to_string(row.MaxMs) + ',' + Fixed3(row.MeanMs);
    } else {
        line += ",,";
    }
    line += ',' + Fixed3(row.RatePpm) + ',' + std::to_string(row.HardSets) + ',' +
            std::to_string(row.Entries) + ',' + (row.ByTimecode ? "timecode" : "pc") + ',';
    // The settings' text holds no comma or line end: names and numbers only.
    for (const char c : row.Settings) {
        line += c == ',' || c == '\r' || c == '\n' ? ';' : c;
    }
    return line;
}

std::optional<Row> ParseRow(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    const std::vector<std::string_view> f = Fields(line);
    if (f.size() != kColumns) {
        return std::nullopt;
    }
    Row row;
    const std::optional<std::int64_t> minute = ParseMoment(f[0]);
    const std::optional<State> state = ParseState(f[1]);
    if (!minute || f[0].size() != 17 || !state || !Whole(f[2], row.Good) ||
        !Whole(f[3], row.Failed) || !Decimal(f[7], row.RatePpm) || !Whole(f[8], row.HardSets) ||
        !Whole(f[9], row.Entries) || (f[10] != "timecode" && f[10] != "pc")) {
        return std::nullopt;
    }
    row.MinuteUnix = *minute;
    row.St = *state;
    if (row.Good > 0) {
        if (!Whole(f[4], row.MinMs) || !Whole(f[5], row.MaxMs) || !Decimal(f[6], row.MeanMs) ||
            row.MinMs > row.MaxMs) {
            return std::nullopt;
        }
    } else if (!f[4].empty() || !f[5].empty() || !f[6].empty()) {
        return std::nullopt;
    }
    row.ByTimecode = f[10] == "timecode";
    row.Settings = std::string(f[11]);
    return row;
}

std::string DayFileName(std::int64_t unixSeconds) {
    return "chronel-" + DayText(unixSeconds) + ".csv";
}

std::optional<std::int64_t> DayOfFileName(std::string_view name) {
    constexpr std::string_view kPrefix = "chronel-";
    constexpr std::string_view kSuffix = ".csv";
    if (name.size() != kPrefix.size() + 10 + kSuffix.size() ||
        name.substr(0, kPrefix.size()) != kPrefix || name.substr(name.size() - 4) != kSuffix) {
        return std::nullopt;
    }
    return ParseMoment(name.substr(kPrefix.size(), 10));
}

std::string MinuteText(std::int64_t unixSeconds) {
    std::int64_t second = 0;
    const civil::Date d = DateOfMoment(unixSeconds, second);
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02dZ", d.Year, d.Month, d.Day,
                  static_cast<int>(second / 3600), static_cast<int>(second / 60 % 60));
    return text.data();
}

std::string DayText(std::int64_t unixSeconds) {
    std::int64_t second = 0;
    const civil::Date d = DateOfMoment(unixSeconds, second);
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02d", d.Year, d.Month, d.Day);
    return text.data();
}

std::optional<std::int64_t> ParseMoment(std::string_view text) {
    if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) {
        text.remove_suffix(1);
    }
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!civil::FixedDigits(text, 0, 4, year) || text[4] != '-' ||
        !civil::FixedDigits(text, 5, 2, month) || text[7] != '-' ||
        !civil::FixedDigits(text, 8, 2, day) || !civil::IsValidDate(year, month, day)) {
        return std::nullopt;
    }
    if (text.size() != 10) {
        const bool separator = text.size() > 10 && (text[10] == 'T' || text[10] == ' ');
        if (!separator || !civil::FixedDigits(text, 11, 2, hour) || text.size() < 16 ||
            text[13] != ':' || !civil::FixedDigits(text, 14, 2, minute) || hour > 23 ||
            minute > 59) {
            return std::nullopt;
        }
        if (text.size() != 16 && (text.size() != 19 || text[16] != ':' ||
                                  !civil::FixedDigits(text, 17, 2, second) || second > 59)) {
            return std::nullopt;
        }
    }
    const std::int64_t days = civil::DayNumber(year, month, day) - kUnixEpochDay;
    return days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

void MergeSameMinute(Row& into, const Row& more) {
    if (more.Good > 0) {
        if (into.Good == 0) {
            into.MinMs = more.MinMs;
            into.MaxMs = more.MaxMs;
        } else {
            into.MinMs = std::min(into.MinMs, more.MinMs);
            into.MaxMs = std::max(into.MaxMs, more.MaxMs);
        }
        into.MeanMs = (into.MeanMs * into.Good + more.MeanMs * more.Good) / (into.Good + more.Good);
    }
    const std::uint32_t cyclesInto = into.Good + into.Failed;
    const std::uint32_t cyclesMore = more.Good + more.Failed;
    if (cyclesInto + cyclesMore > 0) {
        into.RatePpm =
            (into.RatePpm * cyclesInto + more.RatePpm * cyclesMore) / (cyclesInto + cyclesMore);
    }
    into.Good += more.Good;
    into.Failed += more.Failed;
    into.St = std::max(into.St, more.St);
    into.HardSets += more.HardSets;
    into.Entries += more.Entries;
    into.ByTimecode = into.ByTimecode || more.ByTimecode;
    if (into.Settings.empty()) {
        into.Settings = more.Settings;
    }
}

} // namespace history
