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

// Writes the metrics to Settings.MetricsFile unless it is empty: a temporary file in the same
// folder, then renamed over the old one, so a reader never sees half a file. A path that
// cannot be written is logged once (a warning), and again only after the setting changed.
void PublishMetrics(const MetricsFacts& facts);

// The last write, as the service stops: chronel_up 0, and nothing locked or usable any more.
// The file stays, rather than going, so that a textfile collector goes on serving a host
// whose service is down as down instead of dropping its series; the counters stay readable.
void PublishStopped(MetricsFacts facts);

// Forgets which path was warned about (a new run of the service).
void ResetMetrics();

// The PC clock now, in seconds since 1970 UTC.
std::int64_t UnixSecondsNow();
