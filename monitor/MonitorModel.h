// Chronel Monitor's decisions, free of any window: which icon and text a state gets, when a
// notification is due, whether a typed setting may be applied, and where the chart's marks go.
// The program's windows only show what these decide.
#pragma once

#include "ctl/Ctl.h"
#include "history/HistoryFormat.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mon {

// --- the state in the tray ---------------------------------------------------------------------

// Ordered from good to bad: a higher value is a change for the worse.
enum class TrayState : std::uint8_t {
    Locked,   // locked, no findings
    Warning,  // correcting, starting, stale, or locked with findings
    Critical, // timecode lost, out of limits, user format error
    Stopped,  // the service stopped, not installed, or the controller unreadable
};

struct Observation {
    TrayState State = TrayState::Stopped;
    std::string Name;       // short: "Locked", "Timecode lost", "Service stopped"...
    std::string Difference; // "Difference: -12 ms", or "Difference: unknown"
    std::string Summary;    // the line `chronelctl status` heads its screen with
};

Observation Observe(const ctl::ServiceFacts& service, const ctl::StatusValues& values,
                    const ctl::LockFacts& lock);

// The tray's tooltip: the state and the difference, within the 127 characters it holds.
std::string Tooltip(const Observation& observation);

// The icon: square, size x size pixels, rows top down, 0xAARRGGBB with straight alpha. Each
// state has its own shape, so that it reads without colour too: a disc (locked), a triangle
// (warning), a square with a cross (critical), a ring with a bar (stopped).
std::vector<std::uint32_t> IconPixels(TrayState state, int size);

// --- notifications -----------------------------------------------------------------------------

struct Notice {
    bool Recovery = false; // true: back to locked; false: a change for the worse
    std::string Title;
    std::string Text;
};

// One notice per change for the worse and one per recovery to locked; a change that is only
// less bad (critical to warning) changes the icon and says nothing. A state counts once it has
// been seen twice running, so that one odd reading (the service between two publications)
// raises nothing. The first state after the monitor starts is the baseline, not a change.
class NoticeRule {
  public:
    std::optional<Notice> Next(const Observation& observation);

  private:
    std::optional<TrayState> shown_;   // the state last settled on
    std::optional<TrayState> pending_; // seen once, not yet settled
};

// --- settings ------------------------------------------------------------------------------------

struct FieldCheck {
    bool MayApply = false;
    std::string Why; // when it may not: what the field says
};
// Whether the text typed for a setting may be written: the same check `chronelctl set` makes.
FieldCheck CheckField(const SettingRow& row, const std::string& typed);

// The dialog's description lines of a setting, from the table.
std::string DescribeSetting(const SettingRow& row);

// --- the chart ----------------------------------------------------------------------------------

// One minute of the service's history, as the chart needs it.
struct ChartRow {
    std::int64_t MinuteUnixMs = 0; // start of the UTC minute
    bool Good = false;             // the minute had good readings (locked or correcting)
    double MinMs = 0;
    double MaxMs = 0;
    double MeanMs = 0;
};

enum class Span : std::uint8_t { Hour, Day, Week };
std::int64_t SpanMs(Span span);

// One column of pixels of the plot area.
struct ChartColumn {
    bool HasData = false; // some good minute falls into it
    bool Outage = false;  // some minute in it had no usable timecode, or no row where one belonged
    int YTop = 0;         // the band from the highest max to the lowest min, in pixels
    int YBottom = 0;
    int YMean = 0;
};

struct ChartTick {
    int Pos = 0; // pixel: y for the value axis, x for the time axis
    std::string Label;
};

struct ChartLayout {
    double TopMs = 1;
    double BottomMs = -1;
    int YZero = 0;
    std::vector<ChartColumn> Columns; // as many as the plot is wide
    std::vector<ChartTick> YTicks;
    std::vector<ChartTick> XTicks; // labelled with the time before now ("-30 min")
    bool Empty = true;             // no good minute in the span at all
};

// The chart's rows from the service's history: a minute counts as good when it had usable
// readings and the clock was held (locked or correcting) through it.
std::vector<ChartRow> ChartRowsFrom(const std::vector<history::Row>& rows);

// rows in any order; the plot area is width x height pixels; nowUnixMs ends the span.
ChartLayout LayoutChart(const std::vector<ChartRow>& rows, std::int64_t nowUnixMs, Span span,
                        int width, int height);

// --- actions that need an administrator ------------------------------------------------------

enum class Action : std::uint8_t { Set, Reset, Sync, StartService, StopService, Report };

// One argument for a command line, quoted so that the program's C runtime splits it back into
// exactly this text (backslashes before a quote doubled, the quote escaped).
std::string QuoteArgument(const std::string& argument);

// What the monitor says when a program it started for an action has ended: started false
// with the system's error when it never ran (1223: the elevation prompt was declined).
std::string OutcomeText(Action action, bool started, std::uint32_t error, std::uint32_t exitCode);

} // namespace mon
