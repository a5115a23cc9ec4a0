// The service's metrics in the Prometheus text format, written to the file that the setting
// "MetricsFile" names (about once a second), for fleets watched by Prometheus.
#pragma once

#include <cstdint>
#include <string>

// What the loop hands over at each publish.
struct MetricsFacts {
    bool Up = true; // false in the last write, when the service stops
    // The cycle whose status is being published.
    bool TimecodeOk = false;       // a usable reading, within the limits or not
    bool OutOfLimits = false;      // beyond "DifErr": not corrected
    std::int32_t DifferenceMs = 0; // of the last good reading
    // Counted since the service started.
    std::uint64_t HardSets = 0;
    std::uint64_t HardSetFailures = 0;       // sets the system refused
    std::uint64_t SourceFailures = 0;        // failed reads
    std::uint64_t OutOfLimitsReadings = 0;   // good readings beyond "DifErr"
    std::int64_t LastHardSetUnixSeconds = 0; // 0: none yet
    std::string VersionText;                 // as written to "MonitorVersion"
};

// The exposition text, every metric with its HELP and TYPE lines; updatedUnixSeconds is the
// heartbeat, the time of this write.
std::string MetricsText(const MetricsFacts& facts, double correctionPpm,
                        std::int64_t updatedUnixSeconds);

// Why the service refuses to write the metrics to this path (not a local path, not on a local
// disk, a folder missing, a reparse point on the way), or empty when it may. chronelctl asks
// the same before it stores the setting.
std::string MetricsPathRefusal(const std::string& path);

// Hands the metrics for Settings.MetricsFile (unless it is empty) to the file writer, which
// writes a temporary file in the same folder and renames it over the old one, so a reader
// never sees half a file; the loop never waits for the disk, and a snapshot overtaken by a
// newer one before it was written is dropped. A path that cannot be written is logged once (a
// warning), and again only after the setting changed; it is also a finding in
// "MonitorWarnings" from the publish after the failed write until one succeeds.
void PublishMetrics(const MetricsFacts& facts);

// Waits (up to 5 s of real time) until the metrics handed over so far are written or refused;
// false when the writer is still at it. For tests that read the file back.
bool AwaitMetricsWritten();

// The last write, as the service stops: chronel_up 0, and nothing locked or usable any more.
// The loop's end waits for it (bounded) with StopFileWriter before the stop is reported.
// The file stays, rather than going, so that a textfile collector goes on serving a host
// whose service is down as down instead of dropping its series; the counters stay readable.
void PublishStopped(MetricsFacts facts);

// Forgets which path was warned about (a new run of the service).
void ResetMetrics();

// The PC clock now, in seconds since 1970 UTC.
std::int64_t UnixSecondsNow();
