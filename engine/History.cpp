#include "engine/History.h"

#include "engine/EventLog.h"
#include "engine/Settings.h"
#include "engine/SettingsTable.h"
#include "history/HistoryReader.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Rows kept for another try while the disk refuses them: two days' worth.
constexpr std::size_t kMostPending = 2880;
constexpr std::chrono::milliseconds kStopWait{1500};

// What the loop's thread and the writer's thread share. The loop only ever holds the lock to
// push a finished row (once a minute); the writer takes the rows out under it and writes them
// without it, so no file operation, however slow, can make the loop wait. The waits are on
// the real clock: they are between two threads of this process, not on the system's time.
struct WriterShared {
    std::mutex Lock;
    std::vector<history::Row> Pending;
    bool Quit = false;
    bool Woken = false;
    bool Done = false;
    std::condition_variable Wake;  // rows or the quit are there
    std::condition_variable Ended; // the writer has written what it could and ended
    std::string Folder;
    std::atomic<std::int32_t> Days{0};
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
std::uint32_t FailuresInRow = 0;

std::shared_ptr<WriterShared> Writer;
Minute Current;

history::State StateOf(const HistoryCycleFacts& f) {
    switch (f.What) {
    case HistoryCycleFacts::Good:
        return f.DiffMs >= -history::kLockedWithinMs && f.DiffMs <= history::kLockedWithinMs
                   ? history::State::Locked
                   : history::State::Correcting;
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

std::string Reason(std::uint32_t code) {
    std::string text;
    if (!plat::FormatSystemMessage(code, text)) {
        text = "error " + std::to_string(code);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// The writer's own state, on its thread only.
struct FileCursor {
    std::int64_t Day = std::numeric_limits<std::int64_t>::min();
    std::int64_t LastMinute = std::numeric_limits<std::int64_t>::min();
    bool FreshLine = false; // the file may end in a torn line: start the next row on a new one
    bool Header = false;    // the file is new: the header goes first
    bool Warned = false;    // this run of failures has been reported
};

void DeleteOldDays(const WriterShared& w, std::int64_t today) {
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
void OpenDay(const WriterShared& w, FileCursor& c, std::int64_t day) {
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
bool WriteRow(const WriterShared& w, FileCursor& c, const history::Row& row) {
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
            WriteEventLog("History not written to \"" + path + "\": " + Reason(error) +
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

void RunWriter(void* context) {
    const std::unique_ptr<std::shared_ptr<WriterShared>> owner(
        static_cast<std::shared_ptr<WriterShared>*>(context));
    WriterShared& w = **owner;
    FileCursor cursor;
    std::vector<history::Row> rows;
    for (;;) {
        bool quit = false;
        {
            std::unique_lock<std::mutex> lock(w.Lock);
            w.Wake.wait(lock, [&w] { return w.Woken; });
            w.Woken = false;
            rows.insert(rows.end(), w.Pending.begin(), w.Pending.end());
            w.Pending.clear();
            quit = w.Quit;
        }
        std::size_t done = 0;
        while (done < rows.size() && WriteRow(w, cursor, rows[done])) {
            ++done;
        }
        rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(done));
        if (rows.size() > kMostPending) {
            rows.erase(rows.begin(),
                       rows.begin() + static_cast<std::ptrdiff_t>(rows.size() - kMostPending));
        }
        if (quit) {
            const std::lock_guard<std::mutex> lock(w.Lock);
            w.Done = true;
            w.Ended.notify_all();
            return;
        }
    }
}

void HandOver(const history::Row& row) {
    if (!Writer) {
        return;
    }
    try {
        const std::lock_guard<std::mutex> lock(Writer->Lock);
        Writer->Pending.push_back(row);
        Writer->Woken = true;
    } catch (...) {
        return; // out of memory: this minute is lost
    }
    Writer->Wake.notify_one();
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

void StartWriter() {
    try {
        auto shared = std::make_shared<WriterShared>();
        shared->Folder = history::HistoryFolder();
        shared->Days = Settings.HistoryDays;
        if (shared->Folder.empty()) {
            return;
        }
        auto context = std::make_unique<std::shared_ptr<WriterShared>>(shared);
        if (plat::StartDetachedThread(&RunWriter, context.get())) {
            static_cast<void>(context.release()); // the thread owns it now
            Writer = std::move(shared);
        }
    } catch (...) {
        Writer.reset(); // out of memory: no history for now
    }
}

bool WriterTried = false; // once a run: a writer that cannot start is not retried each cycle

} // namespace

void HistoryStart() {
    Current = Minute{};
    FailuresInRow = 0;
    Writer.reset();
    WriterTried = false;
}

void HistoryCycle(const HistoryCycleFacts& facts) {
    // "HistoryDays" is followed as the settings reload: 0 ends the writer, a number starts it.
    if (Settings.HistoryDays <= 0) {
        if (Writer) {
            HistoryStop();
        }
        WriterTried = false;
        return;
    }
    if (!Writer && !WriterTried) {
        WriterTried = true;
        StartWriter();
    }
    if (!Writer) {
        return;
    }
    Writer->Days = Settings.HistoryDays;
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
    const history::State seen = StateOf(facts);
    if (seen <= history::State::OutOfLimits ||
        (seen == history::State::TimecodeLost && FailuresInRow >= kLostAfterFailures)) {
        r.St = std::max(r.St, seen);
    }
    r.ByTimecode = r.ByTimecode || measured;
    if (measured) {
        r.MinMs = r.Good == 0 ? facts.DiffMs : std::min(r.MinMs, facts.DiffMs);
        r.MaxMs = r.Good == 0 ? facts.DiffMs : std::max(r.MaxMs, facts.DiffMs);
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
        ++Current.Row.HardSets;
    }
}

void HistoryStop() {
    CloseMinute();
    if (Writer) {
        // The last rows are written before the stop is reported, unless the disk hangs: then
        // the stop goes on after a while and the writer ends when the disk lets it.
        std::unique_lock<std::mutex> lock(Writer->Lock);
        Writer->Quit = true;
        Writer->Woken = true;
        Writer->Wake.notify_one();
        const std::shared_ptr<WriterShared> w = Writer;
        (void)w->Ended.wait_for(lock, kStopWait, [&w] { return w->Done; });
        lock.unlock();
        Writer.reset();
    }
}
