#include "engine/Metrics.h"

#include "TimeFunc/CivilTime.h"
#include "TimeFunc/ClockControl.h"
#include "engine/ClockWatch.h"
#include "engine/EventLog.h"
#include "engine/FileWriter.h"
#include "engine/Settings.h"
#include "engine/StatusTable.h"
#include "engine/VersionParts.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace {

// The loop's side: the path the current setting names, a number that changes with it (and
// with each run), the writes handed over, and the finding shown in "MonitorWarnings". Written
// by the loop's thread only.
std::string CurrentPath;
std::uint64_t Generation = 0;
std::atomic<std::uint64_t> PostedSeq{0}; // read by AwaitMetricsWritten on any thread
std::string FindingShown;

// What the writer's thread found (written there, under Lock), for the loop to take up at its
// next publish. A path that fails is logged once; again only once the setting (or the run)
// changed.
struct WriteResults {
    std::mutex Lock;
    std::condition_variable Written;
    std::uint64_t WrittenSeq = 0;
    std::uint64_t LoggedGeneration = 0;
    std::uint64_t Generation = 0; // of the last write
    std::string Finding;          // of the last write; empty when it succeeded
};
WriteResults& Results() {
    static WriteResults results;
    return results;
}

// Label values escape backslash, double quote and line feed.
std::string LabelValue(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void Metric(std::string& out, const char* name, const char* type, const char* help,
            const std::string& value) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    out.append(name).append(value.front() == '{' ? "" : " ").append(value).append("\n");
}

std::string Number(std::int64_t value) {
    return std::to_string(value);
}

std::string Number(std::uint64_t value) {
    return std::to_string(value);
}

} // namespace

// The service writes as LocalSystem whatever file the settings name, so it takes only a place
// that cannot lead elsewhere: a drive letter of a local fixed disk ("\\server\share", "\\?\"
// and "\\.\" paths, and a share mapped to a letter, are refused, which also keeps the writes
// off the network) and folders that exist and are no reparse point all the way down.
std::string MetricsPathRefusal(const std::string& path) {
    const bool drive = path.size() >= 4 && std::isalpha(static_cast<unsigned char>(path[0])) != 0 &&
                       path[1] == ':' && (path[2] == '\\' || path[2] == '/') &&
                       path.find(':', 2) == std::string::npos;
    if (!drive) {
        return "not a local path";
    }
    if (!plat::IsLocalFixedDrive(path[0])) {
        return "not on a local disk";
    }
    const std::string temporary = path + ".tmp";
    for (std::size_t end = path.find_first_of("\\/", 3);;
         end = path.find_first_of("\\/", end + 1)) {
        const std::string folder = path.substr(0, end);
        const bool last = end == std::string::npos;
        const std::uint32_t attributes = plat::GetFileAttributes(folder);
        if (!last) {
            if (attributes == plat::kInvalidFileAttributes ||
                (attributes & plat::kFileAttributeDirectory) == 0) {
                return "folder \"" + folder + "\" does not exist";
            }
        }
        if (attributes != plat::kInvalidFileAttributes &&
            (attributes & plat::kFileAttributeReparsePoint) != 0) {
            return "\"" + folder + "\" is a reparse point";
        }
        if (last) {
            break;
        }
    }
    const std::uint32_t attributes = plat::GetFileAttributes(temporary);
    if (attributes != plat::kInvalidFileAttributes &&
        (attributes & plat::kFileAttributeReparsePoint) != 0) {
        return "\"" + temporary + "\" is a reparse point";
    }
    return {};
}

namespace {

// Empty when written, else why not.
std::string WriteAtomically(const std::string& path, const std::string& text) {
    std::string refused = MetricsPathRefusal(path);
    if (!refused.empty()) {
        return refused;
    }
    const std::string temporary = path + ".tmp";
    if (!plat::WriteWholeFile(temporary, text)) {
        return plat::SystemMessageLine(plat::GetLastError());
    }
    if (!plat::MoveFileReplacing(temporary, path)) {
        const std::uint32_t error = plat::GetLastError();
        (void)plat::DeleteFile(temporary);
        return plat::SystemMessageLine(error);
    }
    return {};
}

// On the writer's thread.
void WriteMetricsFile(const std::string& path, const std::string& text, std::uint64_t generation,
                      std::uint64_t seq) {
    const std::string why = WriteAtomically(path, text);
    const std::string finding =
        why.empty() ? std::string() : "Metrics file \"" + path + "\" not written: " + why;
    WriteResults& r = Results();
    bool log = false;
    {
        const std::lock_guard<std::mutex> lock(r.Lock);
        log = !why.empty() && r.LoggedGeneration != generation;
        if (log) {
            r.LoggedGeneration = generation;
        }
        r.Generation = generation;
        r.Finding = finding;
    }
    if (log) {
        WriteEventLog(finding, kEventWarning);
    }
    {
        // Counted as written only now, so that whoever waits for it finds the entry too.
        const std::lock_guard<std::mutex> lock(r.Lock);
        r.WrittenSeq = std::max(r.WrittenSeq, seq);
    }
    r.Written.notify_all();
}

void ShowFinding(const std::string& line) {
    if (line != FindingShown) {
        FindingShown = line;
        SetMetricsFinding(line);
    }
}

// What the last write of the current path found: shown until a write finds otherwise.
void TakeUpResult() {
    std::string finding;
    {
        WriteResults& r = Results();
        const std::lock_guard<std::mutex> lock(r.Lock);
        if (r.Generation != Generation || r.Finding == FindingShown) {
            return;
        }
        finding = r.Finding;
    }
    ShowFinding(finding);
}

double CorrectionPpm() {
    double ppm = 0.0;
    return ClockCorrectionPpm(ppm) ? ppm : 0.0;
}

} // namespace

std::string MetricsText(const MetricsFacts& facts, double correctionPpm,
                        std::int64_t updatedUnixSeconds) {
    const bool locked =
        facts.Up && facts.TimecodeOk && !facts.OutOfLimits && WithinLockBand(facts.DifferenceMs);
    char ppm[32];
    std::snprintf(ppm, sizeof ppm, "%.3f", correctionPpm);
    const VersionParts v = SplitVersionText(facts.VersionText);
    std::string out;
    out.reserve(2048);
    Metric(out, "chronel_up", "gauge", "1 while the service runs; 0 once it has stopped.",
           facts.Up ? "1" : "0");
    Metric(out, "chronel_last_update_timestamp_seconds", "gauge",
           "Time of this update in seconds since 1970 UTC, about once a second while the "
           "service runs: an older one means the file is stale.",
           Number(updatedUnixSeconds));
    Metric(out, "chronel_offset_milliseconds", "gauge",
           "Difference of the PC clock from the timecode in the last good reading, in "
           "milliseconds (positive: the PC is ahead).",
           Number(std::int64_t{facts.DifferenceMs}));
    Metric(out, "chronel_locked", "gauge",
           "1 while the last reading was good and within 2 ms of the timecode, else 0.",
           locked ? "1" : "0");
    Metric(out, "chronel_timecode_ok", "gauge",
           "1 while the last reading gave a usable timecode, else 0.",
           facts.Up && facts.TimecodeOk ? "1" : "0");
    Metric(out, "chronel_correction_ppm", "gauge",
           "Rate correction of the PC clock in parts per million (positive: faster); 0 under "
           "the system's own regulation.",
           ppm);
    Metric(out, "chronel_hard_sets_total", "counter",
           "Hard sets of the system time since the service started.", Number(facts.HardSets));
    Metric(out, "chronel_hard_set_failures_total", "counter",
           "Hard sets the system refused since the service started.",
           Number(facts.HardSetFailures));
    Metric(out, "chronel_source_failures_total", "counter",
           "Failed timecode reads since the service started.", Number(facts.SourceFailures));
    Metric(out, "chronel_out_of_limits_total", "counter",
           "Good readings beyond DifErr (not corrected) since the service started.",
           Number(facts.OutOfLimitsReadings));
    Metric(out, "chronel_last_hard_set_timestamp_seconds", "gauge",
           "Time of the last hard set in seconds since 1970 UTC; 0 if none since the service "
           "started.",
           Number(facts.LastHardSetUnixSeconds));
    Metric(out, "chronel_info", "gauge",
           "Versions of the card firmware, the card, its library and the service; always 1.",
           "{firmware=\"" + LabelValue(v.Firmware) + "\",card=\"" + LabelValue(v.Card) +
               "\",library=\"" + LabelValue(v.Library) + "\",service=\"" + LabelValue(v.Service) +
               "\"} 1");
    return out;
}

void PublishMetrics(const MetricsFacts& facts) {
    try {
        if (Settings.MetricsFile.empty()) {
            if (!CurrentPath.empty()) {
                CurrentPath.clear();
                ++Generation;
            }
            ShowFinding("");
            return;
        }
        if (Settings.MetricsFile != CurrentPath) {
            CurrentPath = Settings.MetricsFile;
            ++Generation;
            ShowFinding(""); // the finding was about the path before
        } else {
            TakeUpResult();
        }
        const std::uint64_t seq = PostedSeq.load() + 1;
        // Rendered here, where the clock's rate and the time of the update are read; the
        // writer only writes, and drops a snapshot that a newer one overtook.
        if (PostFileJob(
                [path = CurrentPath,
                 text = MetricsText(facts, facts.Up ? CorrectionPpm() : 0.0, UnixSecondsNow()),
                 generation = Generation, seq] { WriteMetricsFile(path, text, generation, seq); },
                FileSlot::Metrics)) {
            PostedSeq = seq;
        }
    } catch (...) {
        // Out of memory: these metrics are lost, the next publish tries again.
    }
}

bool AwaitMetricsWritten() {
    WriteResults& r = Results();
    std::unique_lock<std::mutex> lock(r.Lock);
    return r.Written.wait_for(lock, std::chrono::seconds(5),
                              [&r] { return r.WrittenSeq >= PostedSeq.load(); });
}

void PublishStopped(MetricsFacts facts) {
    facts.Up = false;
    facts.TimecodeOk = false;
    PublishMetrics(facts);
}

void ResetMetrics() {
    CurrentPath.clear();
    ++Generation; // a new run warns afresh, and nothing an earlier run's writes found counts
    FindingShown.clear();
}

std::int64_t UnixSecondsNow() {
    plat::SystemTime utc;
    plat::GetSystemTime(utc);
    utc.Milliseconds = 0; // whole seconds, however far before 1970
    return civil::UnixMs(utc) / 1000;
}
