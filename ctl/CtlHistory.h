// chronelctl history, report and plot: what the service's history says about a period, and the
// decisions taken on it. The figures are worked out here from rows; the commands read the rows
// through history/ and write through the platform.
#pragma once

#include "history/HistoryFormat.h"
#include "plot/SvgKit.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ctl {

// --- history --------------------------------------------------------------------------------

// One line per UTC hour that has rows: minutes by state, the difference's range and mean, the
// hard sets.
std::vector<std::string> HourlyLines(const std::vector<history::Row>& rows);
// A row as a JSON object on one line.
std::string RowJson(const history::Row& row);

// --- report ---------------------------------------------------------------------------------

// A stretch without a timecode to hold the clock to: minutes with no usable reading, or with
// no row at all (the service or the PC not running). End is the first minute after it.
struct Outage {
    std::int64_t Start = 0;
    std::int64_t End = 0;
    bool NoRows = false; // the whole stretch has no rows
};

struct HardSetMinute {
    std::int64_t Minute = 0;
    std::uint32_t Count = 0;
};

// Consecutive rows written under the same correction settings.
struct SettingsSpan {
    std::int64_t From = 0;
    std::int64_t To = 0; // the first minute after the last row of the span
    std::string Text;    // the settings off their defaults, empty for none
};

struct Proof {
    std::int64_t From = 0; // the period's minutes, From <= m < To
    std::int64_t To = 0;
    std::int64_t Minutes = 0;
    std::int64_t Rows = 0;        // minutes of the period that have a row
    std::int64_t Within2 = 0;     // minutes locked within 2 ms throughout
    std::int64_t WithinLimit = 0; // minutes with every reading within that minute's DifErr
    std::int64_t OutOfLimits = 0; // minutes with a reading beyond DifErr
    bool HasWorst = false;        // some minute had a good reading
    std::int32_t WorstMs = 0;     // the difference furthest from zero, with its sign
    std::int64_t WorstMinute = 0;
    std::vector<Outage> Outages;
    std::vector<HardSetMinute> HardSets;
    std::uint32_t HardSetTotal = 0;
    std::vector<SettingsSpan> Settings;
};

// DifErr as a row's settings text gives it (the default when it names none; 0 is off).
std::int64_t DifErrOf(const std::string& settingsText);

// rows in minute order, as the reader gives them; the period is [fromUnix, toUnix) in whole
// minutes.
Proof BuildProof(const std::vector<history::Row>& rows, std::int64_t fromUnix, std::int64_t toUnix);
// 0 when the whole period was locked within 2 ms; 1 when it stayed within DifErr but not
// always within 2 ms; 2 after an outage or a difference beyond DifErr; 3 with no rows at all.
int ProofExit(const Proof& proof);
// The report's lines, the verdict last.
std::vector<std::string> ProofText(const Proof& proof);

// --- plot -----------------------------------------------------------------------------------

// Where the day picture puts its two panels: the difference over the day, and the state. Both
// run from hour 0 to hour 24 of the UTC day.
struct DayLayout {
    double Width = 0;
    double Height = 0;
    svgkit::Panel Diff;
    svgkit::Panel State;
};
DayLayout DayPlotLayout(const std::vector<history::Row>& rows);

// The colours that mean something in the picture, for the legend and for those who check it.
extern const char* const kOutageFill;
extern const char* const kBandFill; // a minute's range of differences
const char* StateColour(history::State state);

// The picture of one UTC day (dayUnix: its first second); rows in minute order.
std::string DaySvg(const std::vector<history::Row>& rows, std::int64_t dayUnix);

// --- commands -------------------------------------------------------------------------------

// Where the history is read from: folder, or the service's own when empty.
int History(const std::string& folder, const std::string& from, const std::string& to, bool csv,
            bool json);
// period: a day ("2026-12-07"), "" for today, or "--last" with its span in last ("24h", "7d").
int Report(const std::string& folder, const std::string& day, const std::string& last);
int Plot(const std::string& folder, const std::string& day, const std::string& outPath);

} // namespace ctl
