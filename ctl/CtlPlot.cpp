// plot: a UTC day of the history as a picture, from the chart pieces the simulator's plots use.
#include "ctl/CtlHistory.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace ctl {
namespace {

using history::Row;
using history::State;
using svgkit::Format;
using svgkit::Panel;

constexpr double kWidth = 1200;
constexpr double kHeight = 620;
constexpr const char* kMeanStroke = "#1c4f8a";
constexpr const char* kLockBand = "#2e9d4a";
constexpr const char* kHardSetStroke = "#c0392b";

constexpr std::array<const char*, 5> kStateColours = {"#2e9d4a", "#e8a33d", "#c0392b", "#8e44ad",
                                                      "#6b6b6b"};

double HourOf(std::int64_t unixSeconds, std::int64_t day) {
    return static_cast<double>(unixSeconds - day) / 3600.0;
}

std::string HourText(double hour) {
    return Format("%02d:00", static_cast<int>(std::lround(hour)));
}

// A rectangle over the minutes [from, to) of the day, the panel's full height, clipped to it.
void Stretch(std::string& svg, const Panel& p, double fromHour, double toHour, const char* fill) {
    const double x = p.X(fromHour);
    const double w = std::max(p.X(toHour) - x, 1.0);
    svg += Format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" fill=\"%s\"/>\n", x,
                  p.Top, w, p.Height, fill);
}

void Legend(std::string& svg, double& x, double y, const char* fill, const char* text) {
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"14\" height=\"14\" fill=\"%s\" "
                  "stroke=\"#888888\" stroke-width=\"0.5\"/>\n",
                  x, y - 11, fill);
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" class=\"legend\">%s</text>\n", x + 20, y, text);
    x += 40 + 7.0 * static_cast<double>(std::char_traits<char>::length(text));
}

} // namespace

const char* const kOutageFill = "#f2c4c4";
const char* const kBandFill = "#8fb8de";

const char* StateColour(State state) {
    return kStateColours.at(static_cast<std::size_t>(state));
}

DayLayout DayPlotLayout(const std::vector<Row>& rows) {
    DayLayout l;
    l.Width = kWidth;
    l.Height = kHeight;
    double lo = -3;
    double hi = 3;
    for (const Row& r : rows) {
        if (r.Good > 0) {
            lo = std::min(lo, static_cast<double>(r.MinMs));
            hi = std::max(hi, static_cast<double>(r.MaxMs));
        }
    }
    const double pad = (hi - lo) * 0.08;
    l.Diff = {90, kWidth - 130, 110, 300, lo - pad, hi + pad, 0, 24, "diff"};
    l.State = {90, kWidth - 130, 460, 44, 0, 1, 0, 24, "state"};
    return l;
}

std::string DaySvg(const std::vector<Row>& rows, std::int64_t dayUnix) {
    const DayLayout l = DayPlotLayout(rows);
    const Panel& d = l.Diff;
    const Panel& s = l.State;
    const Proof proof = BuildProof(rows, dayUnix, dayUnix + history::kSecondsPerDay);
    const svgkit::TimeTicks ticks{3, HourText};

    std::string svg = svgkit::Open(l.Width, l.Height);
    svg +=
        Format("<text x=\"%.1f\" y=\"36\" class=\"title\">Chronel: the clock on %s (UTC)</text>\n",
               d.Left, history::DayText(dayUnix).c_str());
    std::string figures =
        std::to_string(proof.Rows) + " minutes recorded; within 2 ms " +
        Format("%.2f %%",
               std::floor(static_cast<double>(proof.Within2) * 10000.0 / 1440.0) / 100.0) +
        " of the day; " + std::to_string(proof.Outages.size()) +
        (proof.Outages.size() == 1 ? " outage; " : " outages; ") +
        std::to_string(proof.HardSetTotal) + (proof.HardSetTotal == 1 ? " hard set" : " hard sets");
    if (proof.HasWorst) {
        figures += "; worst " + std::string(proof.WorstMs > 0 ? "+" : "") +
                   std::to_string(proof.WorstMs) + " ms at " +
                   history::MinuteText(proof.WorstMinute).substr(11, 5);
    }
    svg += Format("<text x=\"%.1f\" y=\"60\" class=\"subtitle\">%s</text>\n", d.Left,
                  svgkit::Escape(figures).c_str());

    // The difference: outages under everything, then the 2 ms band, the minutes' range, the
    // mean and the hard sets.
    svgkit::Frame(svg, d, "Difference to the timecode: each minute's range and mean",
                  "difference (ms)", false, ticks);
    svg += Format("<g clip-path=\"url(#%s)\">\n", d.Id.c_str());
    for (const Outage& o : proof.Outages) {
        Stretch(svg, d, HourOf(o.Start, dayUnix), HourOf(o.End, dayUnix), kOutageFill);
    }
    svgkit::Band(svg, d, history::kLockedWithinMs, kLockBand);
    // Neighbouring minutes of the same range are one rectangle; a single minute is still at
    // least 3 pixels wide, so that a spike shows.
    for (std::size_t i = 0; i < rows.size();) {
        const Row& r = rows[i];
        if (r.Good == 0) {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < rows.size() && rows[j].Good > 0 && rows[j].MinMs == r.MinMs &&
               rows[j].MaxMs == r.MaxMs && rows[j].MinuteUnix == rows[j - 1].MinuteUnix + 60) {
            ++j;
        }
        const double x = d.X(HourOf(r.MinuteUnix, dayUnix));
        const double w = std::max(d.X(HourOf(rows[j - 1].MinuteUnix + 60, dayUnix)) - x, 3.0);
        const double top = d.Y(r.MaxMs + 0.5);
        const double bottom = d.Y(r.MinMs - 0.5);
        svg += Format("<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\"/>\n",
                      x, top, w, bottom - top, kBandFill);
        i = j;
    }
    std::string mean;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        if (r.Good == 0) {
            continue;
        }
        const bool joined =
            i > 0 && rows[i - 1].Good > 0 && rows[i - 1].MinuteUnix + 60 == r.MinuteUnix;
        mean += joined || mean.empty() ? (mean.empty() ? "M" : " ") : " M";
        mean += Format("%.2f,%.2f", d.X(HourOf(r.MinuteUnix, dayUnix) + 1.0 / 120), d.Y(r.MeanMs));
    }
    if (!mean.empty()) {
        // Longer than a formatted figure: put together as it is.
        svg += "<path d=\"" + mean + "\" fill=\"none\" stroke=\"" + kMeanStroke +
               "\" stroke-width=\"1.4\"/>\n";
    }
    svg += "</g>\n";
    svgkit::Border(svg, d);

    // The state, one colour a stretch; minutes without a row shaded as outages.
    svgkit::Backdrop(svg, s);
    for (const Outage& o : proof.Outages) {
        if (o.NoRows) {
            Stretch(svg, s, HourOf(o.Start, dayUnix), HourOf(o.End, dayUnix), kOutageFill);
        }
    }
    for (std::size_t i = 0; i < rows.size();) {
        std::size_t j = i + 1;
        while (j < rows.size() && rows[j].St == rows[i].St &&
               rows[j].MinuteUnix == rows[j - 1].MinuteUnix + 60) {
            ++j;
        }
        Stretch(svg, s, HourOf(rows[i].MinuteUnix, dayUnix),
                HourOf(rows[j - 1].MinuteUnix + 60, dayUnix), StateColour(rows[i].St));
        i = j;
    }
    svgkit::TimeGrid(svg, s, true, ticks);
    svgkit::Heading(svg, s, "State of each minute", "");
    svgkit::Border(svg, s);
    for (const HardSetMinute& h : proof.HardSets) {
        // Just left of its minute, so that the difference it mended stays in sight.
        const double x = d.X(HourOf(h.Minute, dayUnix)) - 2.5;
        svg += Format("<line x1=\"%.2f\" y1=\"%.1f\" x2=\"%.2f\" y2=\"%.1f\" stroke=\"%s\" "
                      "stroke-width=\"1.5\" stroke-dasharray=\"4 3\"/>\n",
                      x, d.Top, x, s.Bottom(), kHardSetStroke);
        svg += Format("<text x=\"%.2f\" y=\"%.1f\" class=\"marker\">hard set</text>\n", x + 4,
                      d.Top + 14);
    }

    double x = d.Left;
    const double y = s.Bottom() + 60;
    Legend(svg, x, y, kBandFill, "difference, min to max");
    Legend(svg, x, y, kMeanStroke, "mean");
    Legend(svg, x, y, kOutageFill, "outage");
    double x2 = d.Left;
    for (std::size_t st = 0; st < kStateColours.size(); ++st) {
        Legend(svg, x2, y + 26, kStateColours.at(st), history::StateName(static_cast<State>(st)));
    }
    svg += svgkit::Close();
    return svg;
}

} // namespace ctl
