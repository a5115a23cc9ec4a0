// history and report: the service's minutes read back, by the hour or as they are, and the
// proof-of-time summary of a period.
#include "ctl/CtlHistory.h"

#include "ctl/Ctl.h"
#include "engine/SettingsTable.h"
#include "history/HistoryReader.h"
#include "platform/Platform.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace ctl {
namespace {

using history::Row;
using history::State;

std::int32_t Furthest(const Row& row) {
    return std::abs(row.MaxMs) > std::abs(row.MinMs) ? row.MaxMs : row.MinMs;
}

std::string Signed(std::int64_t value) {
    return (value > 0 ? "+" : "") + std::to_string(value);
}

// A share never rounds up to 100 %: one minute in 1440 off still shows as 99.93 %.
std::string Percent(std::int64_t part, std::int64_t whole) {
    if (whole <= 0) {
        return "-";
    }
    const double hundredths =
        std::floor(static_cast<double>(part) * 10000.0 / static_cast<double>(whole));
    return svgkit::Format("%.2f %%", hundredths / 100.0);
}

std::string Length(std::int64_t seconds) {
    const std::int64_t minutes = seconds / 60;
    if (minutes < 60) {
        return std::to_string(minutes) + " min";
    }
    return svgkit::Format("%lld h %02lld min", static_cast<long long>(minutes / 60),
                          static_cast<long long>(minutes % 60));
}

std::string SettingsShown(const std::string& text) {
    if (text.empty()) {
        return "all defaults";
    }
    std::string shown;
    for (const char c : text) {
        shown += c == ';' ? std::string(", ") : std::string(1, c);
    }
    return shown;
}

void AddOutage(std::vector<Outage>& outages, std::int64_t start, std::int64_t end, bool noRows) {
    if (!outages.empty() && outages.back().End == start) {
        outages.back().End = end;
        outages.back().NoRows = outages.back().NoRows && noRows;
        return;
    }
    outages.push_back({start, end, noRows});
}

// The history folder to read: the one named, else the service's own.
bool FolderToRead(const std::string& named, std::string& folder) {
    folder = named.empty() ? history::HistoryFolder() : named;
    if (folder.empty()) {
        Err("chronelctl: the system names no ProgramData folder; give one with --dir");
        return false;
    }
    return true;
}

bool Read(const std::string& folder, std::int64_t from, std::int64_t to,
          history::ReadResult& result) {
    result = history::ReadHistory(folder, from, to);
    if (!result.FolderFound) {
        Err("chronelctl: no history folder can be read at " + folder);
        return false;
    }
    return true;
}

std::int64_t NowMinute() {
    return history::MinuteStart(NowUnixMs() / 1000);
}

// "24h", "7d", "90m": a span of time in seconds; 0 when not one.
std::int64_t SpanSeconds(const std::string& text) {
    if (text.size() < 2 || text.size() > 6) {
        return 0;
    }
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    const std::string unit(end);
    if (end == text.c_str() || number <= 0 || text[0] < '0' || text[0] > '9') {
        return 0;
    }
    const std::int64_t scale = unit == "m" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : 0;
    return std::min<std::int64_t>(number * scale, 400 * history::kSecondsPerDay);
}

// A --from or --to value: a UTC day or minute; says what it wants when it is neither.
std::optional<std::int64_t> MomentOption(const char* option, const std::string& text) {
    std::optional<std::int64_t> moment = history::ParseMoment(text);
    if (!moment) {
        Err(std::string("chronelctl: ") + option +
            " wants a UTC day or minute (2026-12-07, 2026-12-07T14:00), not \"" + text + "\"");
    }
    return moment;
}

} // namespace

std::vector<std::string> HourlyLines(const std::vector<Row>& rows) {
    std::vector<std::string> lines;
    std::size_t i = 0;
    while (i < rows.size()) {
        const std::int64_t hour = rows[i].MinuteUnix - rows[i].MinuteUnix % 3600 -
                                  (rows[i].MinuteUnix % 3600 < 0 ? 3600 : 0);
        std::array<std::uint32_t, 5> byState{};
        std::uint32_t minutes = 0;
        std::uint32_t hardSets = 0;
        std::uint64_t good = 0;
        double sum = 0;
        std::int32_t lo = 0;
        std::int32_t hi = 0;
        for (; i < rows.size() && rows[i].MinuteUnix < hour + 3600; ++i) {
            const Row& r = rows[i];
            ++minutes;
            ++byState.at(static_cast<std::size_t>(r.St));
            hardSets += r.HardSets;
            if (r.Good > 0) {
                lo = good == 0 ? r.MinMs : std::min(lo, r.MinMs);
                hi = good == 0 ? r.MaxMs : std::max(hi, r.MaxMs);
                good += r.Good;
                sum += r.MeanMs * r.Good;
            }
        }
        std::string line = history::MinuteText(hour).substr(0, 13) + "Z  " +
                           svgkit::Format("%2u", minutes) + " min:";
        const char* separator = " ";
        for (std::size_t s = 0; s < byState.size(); ++s) {
            if (byState.at(s) > 0) {
                line += separator + std::to_string(byState.at(s)) + " " +
                        history::StateName(static_cast<State>(s));
                separator = ", ";
            }
        }
        if (good > 0) {
            line += "; diff " + Signed(lo) + " to " + Signed(hi) + " ms, mean " +
                    svgkit::Format("%+.2f", sum / static_cast<double>(good)) + " ms";
        } else {
            line += "; no good reading";
        }
        if (hardSets > 0) {
            line += "; hard sets " + std::to_string(hardSets);
        }
        lines.push_back(line);
    }
    return lines;
}

std::string RowJson(const Row& row) {
    std::string json = "{\"minute\":\"" + history::MinuteText(row.MinuteUnix) + "\",\"state\":\"" +
                       history::StateName(row.St) +
                       "\",\"good_readings\":" + std::to_string(row.Good) +
                       ",\"failed_reads\":" + std::to_string(row.Failed);
    if (row.Good > 0) {
        json += ",\"diff_min_ms\":" + std::to_string(row.MinMs) +
                ",\"diff_max_ms\":" + std::to_string(row.MaxMs) +
                svgkit::Format(",\"diff_mean_ms\":%.3f", row.MeanMs);
    } else {
        json += ",\"diff_min_ms\":null,\"diff_max_ms\":null,\"diff_mean_ms\":null";
    }
    json += svgkit::Format(",\"rate_ppm\":%.3f", row.RatePpm) +
            ",\"hard_sets\":" + std::to_string(row.HardSets) +
            ",\"entries\":" + std::to_string(row.Entries) + ",\"time_source\":\"" +
            (row.ByTimecode ? "timecode" : "pc") + "\",\"settings\":" + JsonString(row.Settings) +
            "}";
    return json;
}

std::int64_t DifErrOf(const std::string& settingsText) {
    constexpr std::string_view kName = "DifErr=";
    std::size_t at = 0;
    while (at < settingsText.size()) {
        std::size_t end = settingsText.find(';', at);
        if (end == std::string::npos) {
            end = settingsText.size();
        }
        const std::string_view item(settingsText.data() + at, end - at);
        if (item.substr(0, kName.size()) == kName) {
            return std::strtoll(std::string(item.substr(kName.size())).c_str(), nullptr, 10);
        }
        at = end + 1;
    }
    return FindSetting("DifErr")->Default;
}

Proof BuildProof(const std::vector<Row>& rows, std::int64_t fromUnix, std::int64_t toUnix) {
    Proof p;
    p.From = fromUnix;
    p.To = std::max(fromUnix, toUnix);
    p.Minutes = (p.To - p.From) / 60;
    std::int64_t next = p.From; // the first minute not yet accounted for
    for (const Row& r : rows) {
        const std::int64_t m = r.MinuteUnix;
        if (m < next || m >= p.To) {
            continue;
        }
        if (m > next) {
            AddOutage(p.Outages, next, m, true);
        }
        next = m + 60;
        ++p.Rows;
        const bool lost = r.Good == 0 || r.St == State::TimecodeLost || r.St == State::FormatError;
        if (lost) {
            AddOutage(p.Outages, m, m + 60, false);
        }
        if (r.Good > 0) {
            const std::int32_t furthest = Furthest(r);
            if (!p.HasWorst || std::abs(furthest) > std::abs(p.WorstMs)) {
                p.HasWorst = true;
                p.WorstMs = furthest;
                p.WorstMinute = m;
            }
            const std::int64_t limit = DifErrOf(r.Settings);
            const bool beyond =
                r.St == State::OutOfLimits || (limit > 0 && std::abs(furthest) > limit);
            p.OutOfLimits += beyond ? 1 : 0;
            p.WithinLimit += !lost && !beyond ? 1 : 0;
            p.Within2 += !lost && r.St == State::Locked && std::abs(furthest) <= kLockedWithinMs;
        }
        if (r.HardSets > 0) {
            p.HardSets.push_back({m, r.HardSets});
            p.HardSetTotal += r.HardSets;
        }
        if (p.Settings.empty() || p.Settings.back().Text != r.Settings) {
            p.Settings.push_back({m, m + 60, r.Settings});
        } else {
            p.Settings.back().To = m + 60;
        }
    }
    if (next < p.To) {
        AddOutage(p.Outages, next, p.To, true);
    }
    return p;
}

int ProofExit(const Proof& proof) {
    if (proof.Rows == 0) {
        return kUnknown;
    }
    if (proof.Within2 == proof.Minutes) {
        return kOk;
    }
    if (!proof.Outages.empty() || proof.OutOfLimits > 0 || proof.WithinLimit < proof.Minutes) {
        return kCritical;
    }
    return kWarning;
}

std::vector<std::string> ProofText(const Proof& p) {
    std::vector<std::string> lines;
    lines.push_back("Proof of time, " + history::MinuteText(p.From) + " to " +
                    history::MinuteText(p.To) + " (" + std::to_string(p.Minutes) +
                    " minutes, UTC)");
    const auto item = [&lines](const char* name, const std::string& value) {
        std::string line = "  ";
        line += name;
        line.resize(22, ' ');
        line += value;
        while (line.back() == ' ') {
            line.pop_back();
        }
        lines.push_back(line);
    };
    item("within 2 ms", Percent(p.Within2, p.Minutes) + " (" + std::to_string(p.Within2) + " of " +
                            std::to_string(p.Minutes) + " minutes)");
    item("within DifErr", Percent(p.WithinLimit, p.Minutes) + " (" + std::to_string(p.WithinLimit) +
                              " of " + std::to_string(p.Minutes) + " minutes)");
    item("minutes with rows", std::to_string(p.Rows));
    item("worst difference", p.HasWorst ? Signed(p.WorstMs) + " ms in the minute from " +
                                              history::MinuteText(p.WorstMinute)
                                        : "none: no good reading");
    std::int64_t outageSeconds = 0;
    for (const Outage& o : p.Outages) {
        outageSeconds += o.End - o.Start;
    }
    item("outages", p.Outages.empty() ? "none"
                                      : std::to_string(p.Outages.size()) + ", " +
                                            Length(outageSeconds) + " in all");
    for (const Outage& o : p.Outages) {
        lines.push_back(
            "    " + history::MinuteText(o.Start) + " to " + history::MinuteText(o.End) + "  " +
            Length(o.End - o.Start) + "  " +
            (o.NoRows ? "no history (service or PC not running)" : "no usable timecode"));
    }
    item("hard sets", p.HardSetTotal == 0 ? "none" : std::to_string(p.HardSetTotal));
    for (const HardSetMinute& h : p.HardSets) {
        lines.push_back("    " + history::MinuteText(h.Minute) +
                        (h.Count > 1 ? "  " + std::to_string(h.Count) + " sets" : ""));
    }
    item("settings in force", p.Settings.empty() ? "unknown: no rows" : "");
    for (const SettingsSpan& s : p.Settings) {
        const std::int64_t difErr = DifErrOf(s.Text);
        lines.push_back("    " + history::MinuteText(s.From) + " to " + history::MinuteText(s.To) +
                        "  " + SettingsShown(s.Text) + " (DifErr " +
                        (difErr > 0 ? std::to_string(difErr) + " ms" : "off") + ")");
    }
    const int code = ProofExit(p);
    std::string summary;
    switch (code) {
    case kOk:
        summary = "locked within 2 ms throughout";
        break;
    case kWarning:
        summary = "within DifErr throughout, within 2 ms " + Percent(p.Within2, p.Minutes);
        break;
    case kCritical:
        if (!p.Outages.empty()) {
            summary = std::to_string(p.Outages.size()) +
                      (p.Outages.size() == 1 ? " outage; " : " outages; ");
        }
        if (p.OutOfLimits > 0) {
            summary += std::to_string(p.OutOfLimits) + " minutes beyond DifErr; ";
        }
        summary += "within 2 ms " + Percent(p.Within2, p.Minutes);
        break;
    default:
        summary = "no history for the period";
    }
    lines.push_back(Headline(code, summary));
    return lines;
}

int History(const std::string& named, const std::string& from, const std::string& to, bool csv,
            bool json) {
    std::string folder;
    if (!FolderToRead(named, folder)) {
        return kUnknown;
    }
    const std::int64_t now = NowMinute() + 60;
    std::int64_t toUnix = now;
    if (!to.empty()) {
        const std::optional<std::int64_t> moment = MomentOption("--to", to);
        if (!moment) {
            return kUnknown;
        }
        // A day names all of it.
        toUnix = *moment + (to.size() <= 11 ? history::kSecondsPerDay : 0);
    }
    std::int64_t fromUnix = toUnix - history::kSecondsPerDay;
    if (!from.empty()) {
        const std::optional<std::int64_t> moment = MomentOption("--from", from);
        if (!moment) {
            return kUnknown;
        }
        fromUnix = *moment;
    }
    history::ReadResult read;
    if (!Read(folder, fromUnix, toUnix, read)) {
        return kUnknown;
    }
    if (csv) {
        Out(history::HeaderLine());
        for (const Row& row : read.Rows) {
            Out(history::FormatRow(row));
        }
    } else if (json) {
        Out("[");
        for (std::size_t i = 0; i < read.Rows.size(); ++i) {
            Out(RowJson(read.Rows[i]) + (i + 1 < read.Rows.size() ? "," : ""));
        }
        Out("]");
    } else {
        for (const std::string& line : HourlyLines(read.Rows)) {
            Out(line);
        }
        if (read.Rows.empty()) {
            Out("no rows from " + history::MinuteText(fromUnix) + " to " +
                history::MinuteText(toUnix) + " in " + folder);
        }
    }
    if (read.Skipped > 0) {
        Err("chronelctl: " + std::to_string(read.Skipped) +
            " lines that are not whole rows were left out");
    }
    return kOk;
}

int Report(const std::string& named, const std::string& day, const std::string& last) {
    std::string folder;
    if (!FolderToRead(named, folder)) {
        return kUnknown;
    }
    const std::int64_t now = NowMinute();
    std::int64_t from = 0;
    std::int64_t to = 0;
    if (!last.empty()) {
        const std::int64_t span = SpanSeconds(last);
        if (span == 0) {
            Err("chronelctl: --last wants a span such as 24h, 7d or 90m, not \"" + last + "\"");
            return kUnknown;
        }
        to = now;
        from = history::MinuteStart(now - span);
    } else {
        const std::optional<std::int64_t> start =
            day.empty() ? std::optional<std::int64_t>(history::DayStart(now))
                        : history::ParseMoment(day);
        if (!start || (!day.empty() && day.size() != 10)) {
            Err("chronelctl: report wants a UTC day (2026-12-07), not \"" + day + "\"");
            return kUnknown;
        }
        from = *start;
        // The minute in progress is not over yet: a day still running ends before it.
        to = std::min(from + history::kSecondsPerDay, now);
    }
    if (to <= from) {
        Err("chronelctl: " + history::DayText(from) + " has not begun yet by this PC's clock");
        return kUnknown;
    }
    history::ReadResult read;
    if (!Read(folder, from, to, read)) {
        return kUnknown;
    }
    const Proof proof = BuildProof(read.Rows, from, to);
    for (const std::string& line : ProofText(proof)) {
        Out(line);
    }
    if (read.Skipped > 0) {
        Out("  (" + std::to_string(read.Skipped) +
            " lines that were not whole rows were left out: torn by a crash or a full disk)");
    }
    return ProofExit(proof);
}

int Plot(const std::string& named, const std::string& day, const std::string& outPath) {
    std::string folder;
    if (!FolderToRead(named, folder)) {
        return kUnknown;
    }
    const std::optional<std::int64_t> start = history::ParseMoment(day);
    if (!start || day.size() != 10) {
        Err("chronelctl: plot wants a UTC day (2026-12-07), not \"" + day + "\"");
        return kUnknown;
    }
    history::ReadResult read;
    if (!Read(folder, *start, *start + history::kSecondsPerDay, read)) {
        return kUnknown;
    }
    if (!plat::WriteWholeFile(outPath, DaySvg(read.Rows, *start))) {
        Err("chronelctl: cannot write " + outPath + " (error " +
            std::to_string(plat::GetLastError()) + ")");
        return kUnknown;
    }
    Out("chronelctl: " + std::to_string(read.Rows.size()) + " minutes of " + day + " drawn into " +
        outPath);
    return kOk;
}

} // namespace ctl
