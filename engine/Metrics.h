// The service's metrics in the Prometheus text format, written to the file that the setting
// "MetricsFile" names (about once a second), for fleets watched by Prometheus.
#pragma once

#include <cstdint>
#include <string>

// What the loop hands over at each publish.
struct MetricsFacts {
    // The cycle whose status is being published.
    bool TimecodeOk = false;       // a usable reading, within the limits or not
    bool OutOfLimits = false;      // beyond "DifErr": not corrected
    std::int32_t DifferenceMs = 0; // of the last good reading
    // Counted since the service started.
    std::uint64_t HardSets = 0;
    std::uint64_t SourceFailures = 0;        // failed reads
    std::uint64_t OutOfLimitsReadings = 0;   // good readings beyond "DifErr"
    std::int64_t LastHardSetUnixSeconds = 0; // 0: none yet
    std::string VersionText;                 // as written to "MonitorVersion"
};

// The exposition text, every metric with its HELP and TYPE lines.
std::string MetricsText(const MetricsFacts& facts, double correctionPpm);

// Writes the metrics to Settings.MetricsFile unless it is empty: a temporary file in the same
// folder, then renamed over the old one, so a reader never sees half a file. A path that
// cannot be written is logged once (a warning), and again only after the setting changed.
void PublishMetrics(const MetricsFacts& facts);

// Forgets which path was warned about (a new run of the service).
void ResetMetrics();

// The PC clock now, in seconds since 1970 UTC.
std::int64_t UnixSecondsNow();
