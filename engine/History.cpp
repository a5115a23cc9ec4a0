#include "engine/History.h"

#include "engine/EventLog.h"
#include "engine/FileWriter.h"
#include "engine/Settings.h"
#include "engine/SettingsTable.h"
#include "history/HistoryReader.h"
#include "platform/Platform.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

// Rows kept for another try while the disk refuses them: two days' worth.
constexpr std::size_t kMostPending = 2880;

// Where the rows go and what the writer knows of the files. The loop sets Days; the rest is
// the writer's, touched only by the jobs of this sink, which the writer runs one at a time.
struct FileCursor {
    std::int64_t Day = std::numeric_limits<std::int64_t>::min();
    std::int64_t LastMinute = std::numeric_limits<std::int64_t>::min();
    bool FreshLine = false; // the file may end in a torn line: start the next row on a new one
    bool Header = false;    // the file is new: the header goes first
    bool Warned = false;    // this run of failures has been reported
};
struct Sink {
    std::string Folder;
    std::atomic<std::int32_t> Days{0};
    FileCursor Cursor;
    std::vector<history::Row> Rows; // not written yet
};

// The minute in progress, owned by the loop's thread.
struct Minute {
    bool Open = false;
    history::Row Row;
    std::int64_t DiffSum = 0;
    double RateSum = 0;
    std::uint32_t Cycles = 0;
    std::uint64_t EntriesAtStart = 0;
    std::uint32_t FormatErrors = 0;
};

// Failed reads in a row, across minutes: the card misses a frame now and then, which the
// service shrugs off; as many in a row as make it report the source lost mark a minute lost.
constexpr std::uint32_t kLostAfterFailures = 51;
std::uint32_t FailuresInRow = 0; // written by the loop's thread, like the rest of this file's state

std::shared_ptr<Sink> Target; // while "HistoryDays" asks for rows; the writer's jobs share it
Minute Current;               // the minute being summed, on the loop's thread

// A minute's range and state count a difference only once the readings have held it
// kHeldReadings times in a row. A card stamps a frame a few ms late now and then, or labels it
// a frame off; such a single reading is no error of the clock, yet it would mark nearly every
// minute as off the timecode. A reading the loop acts on (a hard set, an out-of-limits notice)
// counts as it stands. The readings run on across minutes, written by the loop's thread.
constexpr std::size_t kHeldReadings = 3;
struct RecentReadings {
    std::array<std::int32_t, kHeldReadings> Diffs{};
    std::size_t Count = 0;
    std::size_t Next = 0;
};
RecentReadings Recent;

// The difference nearest zero that each of the recent readings reached: all of them were at
// least that far off, on that side.
std::int32_t HeldDifference(std::int32_t diffMs) {
    Recent.Diffs[Recent.Next] = diffMs;
    Recent.Next = (Recent.Next + 1) % kHeldReadings;
    Recent.Count = std::min(Recent.Count + 1, kHeldReadings);
    const auto first = Recent.Diffs.begin();
    const auto [low, high] =
        std::minmax_element(first, first + static_cast<std::ptrdiff_t>(Recent.Count));
    return std::clamp(0, *low, *high);
}

void CountDifference(history::Row& r, std::int32_t diffMs) {
    r.MinMs = r.Good == 0 ? diffMs : std::min(r.MinMs, diffMs);
    r.MaxMs = r.Good == 0 ? diffMs : std::max(r.MaxMs, diffMs);
}

history::State StateOf(const HistoryCycleFacts& f, std::int32_t heldMs) {
    switch (f.What) {
    case HistoryCycleFacts::Good:
        return WithinLockBand(heldMs) ? history::State::Locked : history::State::Correcting;
    case HistoryCycleFacts::OutOfLimits:
        return history::State::OutOfLimits;
    case HistoryCycleFacts::FormatError:
        return history::State::FormatError;
    case HistoryCycleFacts::Failure:
    case HistoryCycleFacts::None:
        break;
    }
    return history::State::TimecodeLost;
}

// The correction settings that differ from their defaults.
std::string SettingsText() {
    const std::pair<const char*, std::int32_t> values[] = {
        {"SyncM", Settings.SyncM},
        {"SyncP", Settings.SyncP},
        {"DifErr", Settings.DifErr},
        {"DifSys", Settings.DifSys},
        {"SyncLTC", Settings.SyncLTC},
        {"DateFormat", Settings.DateFormat},
        {"SelectTimezone", Settings.SelectTimezone},
        {"SyncMode", Settings.SyncMode},
    };
    std::string text;
    for (const auto& [name, value] : values) {
        const SettingRow* row = FindSetting(name);
        if (row != nullptr && row->Default != value) {
            text += (text.empty() ? "" : ";") + std::string(name) + "=" + std::to_string(value);
        }
    }
    return text;
}

void DeleteOldDays(const Sink& w, std::int64_t today) {
    std::vector<std::string> names;
    if (!plat::ListFiles(w.Folder, history::kFilePattern, names)) {
        return;
    }
    const std::int64_t oldestKept = today - std::int64_t{w.Days - 1} * history::kSecondsPerDay;
    for (const std::string& name : names) {
        const std::optional<std::int64_t> day = history::DayOfFileName(name);
        if (day && *day < oldestKept) {
            (void)plat::DeleteFile(w.Folder + "\\" + name);
        }
    }
}

// A new day's file: the folder made if need be, old days deleted, and what the file holds
// already taken into account (the header, its last minute, a torn last line).
void OpenDay(const Sink& w, FileCursor& c, std::int64_t day) {
    (void)plat::CreateFolder(w.Folder, true);
    DeleteOldDays(w, day);
    c = FileCursor{day, std::numeric_limits<std::int64_t>::min(), false, true, c.Warned};
    std::string content;
    if (!plat::ReadWholeFile(history::DayFilePath(w.Folder, day), content) || content.empty()) {
        return;
    }
    c.Header = false;
    c.FreshLine = content.back() != '\n';
    std::size_t end = content.size();
    while (end > 0) {
        const std::size_t start = content.rfind('\n', end - 1);
        const std::size_t from = start == std::string::npos ? 0 : start + 1;
        if (const auto row =
                history::ParseRow(std::string_view(content).substr(from, end - from))) {
            c.LastMinute = row->MinuteUnix;
            return;
        }
        if (start == std::string::npos) {
            return;
        }
        end = start;
    }
}

// False when the disk refused it (the row is to be tried again).
bool WriteRow(const Sink& w, FileCursor& c, const history::Row& row) {
    const std::int64_t day = history::DayStart(row.MinuteUnix);
    if (day != c.Day) {
        if (day < c.Day) {
            return true; // an earlier day than one written: never reorder
        }
        OpenDay(w, c, day);
    }
    if (row.MinuteUnix < c.LastMinute) {
        return true; // likewise within the day
    }
    std::string text = c.FreshLine ? "\r\n" : "";
    if (c.Header) {
        text += history::HeaderLine() + "\r\n";
    }
    text += history::FormatRow(row) + "\r\n";
    const std::string path = history::DayFilePath(w.Folder, day);
    if (!plat::AppendToFile(path, text)) {
        const std::uint32_t error = plat::GetLastError();
        c.FreshLine = true;
        if (!c.Warned) {
            c.Warned = true;
            WriteEventLog("History not written to \"" + path +
                              "\": " + plat::SystemMessageLine(error) +
                              "; the service goes on and tries again each minute",
                          kEventWarning);
        }
        return false;
    }
    c.FreshLine = false;
    c.Header = false;
    c.LastMinute = row.MinuteUnix;
    c.Warned = false;
    return true;
}

// On the writer's thread: the rows refused before go first, in order.
void WriteRows(Sink& sink) {
    std::size_t done = 0;
    while (done < sink.Rows.size() && WriteRow(sink, sink.Cursor, sink.Rows[done])) {
        ++done;
    }
    sink.Rows.erase(sink.Rows.begin(), sink.Rows.begin() + static_cast<std::ptrdiff_t>(done));
    if (sink.Rows.size() > kMostPending) {
        sink.Rows.erase(sink.Rows.begin(),
                        sink.Rows.begin() +
                            static_cast<std::ptrdiff_t>(sink.Rows.size() - kMostPending));
    }
}

void HandOver(const history::Row& row) {
    if (!Target) {
        return;
    }
    // A row that cannot be handed over (no writer, no memory) is lost.
    (void)PostFileJob([sink = Target, row] {
        sink->Rows.push_back(row);
        WriteRows(*sink);
    });
}

void CloseMinute() {
    if (!Current.Open) {
        return;
    }
    history::Row& r = Current.Row;
    if (r.Good > 0) {
        r.MeanMs = static_cast<double>(Current.DiffSum) / r.Good;
    }
    r.RatePpm = Current.Cycles > 0 ? Current.RateSum / Current.Cycles : 0;
    r.Entries = static_cast<std::uint32_t>(EventLogEntries.load() - Current.EntriesAtStart);
    // A minute mostly in the wrong format is shown as such, however good the rest was.
    if (Current.FormatErrors > r.Good && r.St < history::State::FormatError) {
        r.St = history::State::FormatError;
    }
    HandOver(r);
    Current = Minute{};
}

} // namespace

namespace {

void StartSink() {
    try {
        auto sink = std::make_shared<Sink>();
        sink->Folder = history::HistoryFolder();
        sink->Days = Settings.HistoryDays;
        if (!sink->Folder.empty()) {
            Target = std::move(sink);
        }
    } catch (...) {
        Target.reset(); // out of memory: no history for now
    }
}

bool SinkTried = false; // once a run: a history without a folder is not looked for each cycle

} // namespace

void HistoryStart() {
    Current = Minute{};
    Recent = RecentReadings{};
    FailuresInRow = 0;
    Target.reset();
    SinkTried = false;
}

void HistoryCycle(const HistoryCycleFacts& facts) {
    // "HistoryDays" is followed as the settings reload: 0 ends the writer, a number starts it.
    if (Settings.HistoryDays <= 0) {
        if (Target) {
            HistoryStop();
        }
        SinkTried = false;
        return;
    }
    if (!Target && !SinkTried) {
        SinkTried = true;
        StartSink();
    }
    if (!Target) {
        return;
    }
    Target->Days = Settings.HistoryDays;
    const bool measured =
        facts.What == HistoryCycleFacts::Good || facts.What == HistoryCycleFacts::OutOfLimits;
    // The timecode's own minute where a reading gives it; the PC clock's otherwise.
    const std::int64_t trueMs = measured ? facts.PcUnixMs - facts.DiffMs : facts.PcUnixMs;
    const std::int64_t minute =
        history::MinuteStart(trueMs >= 0 ? trueMs / 1000 : (trueMs - 999) / 1000);
    if (Current.Open && minute > Current.Row.MinuteUnix) {
        CloseMinute();
    }
    if (!Current.Open) {
        Current.Open = true;
        Current.Row.MinuteUnix = minute;
        Current.Row.Settings = SettingsText();
        Current.EntriesAtStart = EventLogEntries.load();
    }
    // A minute before the one in progress (the PC clock set back) counts into it, so rows
    // are never written twice or out of order.
    history::Row& r = Current.Row;
    if (facts.What == HistoryCycleFacts::Failure) {
        FailuresInRow = FailuresInRow < kLostAfterFailures ? FailuresInRow + 1 : FailuresInRow;
    } else if (facts.What != HistoryCycleFacts::None) {
        FailuresInRow = 0;
    }
    std::int32_t held = 0;
    if (measured) {
        held = HeldDifference(facts.DiffMs);
        if (facts.What == HistoryCycleFacts::OutOfLimits) {
            held = facts.DiffMs; // the loop acted on it: it counts as it stands
        }
    }
    const history::State seen = StateOf(facts, held);
    if (seen <= history::State::OutOfLimits ||
        (seen == history::State::TimecodeLost && FailuresInRow >= kLostAfterFailures)) {
        r.St = std::max(r.St, seen);
    }
    r.ByTimecode = r.ByTimecode || measured;
    if (measured) {
        CountDifference(r, held);
        ++r.Good;
        Current.DiffSum += facts.DiffMs;
    } else if (facts.What == HistoryCycleFacts::Failure) {
        ++r.Failed;
    } else if (facts.What == HistoryCycleFacts::FormatError) {
        ++Current.FormatErrors;
    }
    if (facts.Increment > 0) {
        Current.RateSum += facts.Correction * 1e6 / facts.Increment;
    }
    ++Current.Cycles;
}

void HistoryHardSet() {
    if (Current.Open) {
        history::Row& r = Current.Row;
        ++r.HardSets;
        // The set acted on the newest reading, held or not; the readings after it are new.
        if (r.Good > 0 && Recent.Count > 0) {
            const std::int32_t acted =
                Recent.Diffs[(Recent.Next + kHeldReadings - 1) % kHeldReadings];
            CountDifference(r, acted);
            if (!WithinLockBand(acted)) {
                r.St = std::max(r.St, history::State::Correcting);
            }
        }
    }
    Recent = RecentReadings{};
}

void HistoryStop() {
    CloseMinute();
    Target.reset(); // the jobs handed over keep the sink until they are written
}
