#include "sim/SvgPlot.h"

#include "plot/SvgKit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

namespace sim {
namespace {

constexpr double kWidth = 1000;
constexpr double kHeight = 730;
constexpr double kLeft = 90;
constexpr double kRight = 30;
constexpr double kPlotWidth = kWidth - kLeft - kRight;

// One colour per trace, the first for the run as set.
constexpr std::array<const char*, 3> kTraces = {"#1f5fa8", "#d9822b", "#2a9d8f"};
const char* const kBand = "#2e9e4f";
const char* const kMarker = "#c0392b";

using svgkit::Format;
using svgkit::Panel;

Panel MakePanel(double top, double height, double yMin, double yMax, double xMax, const char* id) {
    Panel p;
    p.Left = kLeft;
    p.Width = kPlotWidth;
    p.Top = top;
    p.Height = height;
    p.YMin = yMin;
    p.YMax = yMax;
    p.XMax = xMax;
    p.Id = id;
    return p;
}

// One polyline through the minimum and maximum of every pixel column, in the order they
// occurred, so that a dense trace keeps its envelope.
void Trace(std::string& svg, const Panel& p, const std::vector<Sample>& samples,
           const char* colour) {
    if (samples.empty()) {
        return;
    }
    std::string points;
    const auto columns = static_cast<std::size_t>(kPlotWidth * 2);
    std::size_t i = 0;
    for (std::size_t c = 0; c < columns && i < samples.size(); ++c) {
        const double columnEnd = p.XMax * static_cast<double>(c + 1) / static_cast<double>(columns);
        std::size_t lo = i;
        std::size_t hi = i;
        std::size_t j = i;
        for (; j < samples.size() && (samples[j].TimeS <= columnEnd || j == i); ++j) {
            if (samples[j].ErrorMs < samples[lo].ErrorMs) {
                lo = j;
            }
            if (samples[j].ErrorMs > samples[hi].ErrorMs) {
                hi = j;
            }
        }
        for (const std::size_t k : {std::min(lo, hi), std::max(lo, hi)}) {
            // Clamped a little outside the panel so the clip path cuts it cleanly.
            const double y = std::clamp(p.Y(samples[k].ErrorMs), p.Top - 5, p.Top + p.Height + 5);
            points += Format("%.1f,%.1f ", p.X(samples[k].TimeS), y);
        }
        i = j;
    }
    svg += Format("<polyline clip-path=\"url(#%s)\" fill=\"none\" stroke=\"%s\" "
                  "stroke-width=\"1.3\" stroke-linejoin=\"round\" points=\"",
                  p.Id.c_str(), colour);
    svg += points;
    svg += "\"/>\n";
}

void Marker(std::string& svg, const Panel& p, const LockFigures& f, bool label, int row) {
    if (f.ConvergedS < 0) {
        return;
    }
    const double x = p.X(f.ConvergedS);
    svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                  "stroke-width=\"1.2\" stroke-dasharray=\"4 3\"/>\n",
                  x, p.Top, x, p.Top + p.Height, kMarker);
    if (label) {
        const bool right = x < kLeft + kPlotWidth * 0.75;
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\" class=\"marker\">locked "
                      "within \xC2\xB1%g ms from %.1f s</text>\n",
                      right ? x + 6 : x - 6, p.Top + 16 + 16 * row, right ? "start" : "end",
                      kLockBandMs, f.ConvergedS);
    }
}

} // namespace

std::string RenderErrorPlot(const std::vector<Sample>& samples, const LockFigures& figures,
                            double durationS, const PlotText& text) {
    return RenderErrorPlot(std::vector<PlotTrace>{{&samples, figures, ""}}, durationS, text);
}

std::string RenderErrorPlot(const std::vector<PlotTrace>& traces, double durationS,
                            const PlotText& text) {
    const std::size_t count = std::min(traces.size(), kTraces.size());
    const double xMax = durationS > 0 ? durationS : 1;
    double lo = -kLockBandMs;
    double hi = kLockBandMs;
    // The close-up: the band with room to spare, wider if the locked error needs it.
    double reach = 5;
    for (std::size_t i = 0; i < count; ++i) {
        for (const Sample& s : *traces[i].Samples) {
            lo = std::min(lo, s.ErrorMs);
            hi = std::max(hi, s.ErrorMs);
        }
        if (traces[i].Figures.MaxAbsMs > 0) {
            reach = std::max(reach, std::ceil(traces[i].Figures.MaxAbsMs * 1.5));
        }
    }
    const double pad = (hi - lo) * 0.06;
    const Panel whole = MakePanel(95, 250, lo - pad, hi + pad, xMax, "whole");
    const Panel close = MakePanel(410, 200, -reach, reach, xMax, "close");
    const double height = kHeight + 22 * static_cast<double>(count > 0 ? count - 1 : 0);

    std::string svg = svgkit::Open(kWidth, height);
    svg += Format("<text x=\"%.1f\" y=\"32\" class=\"title\">%s</text>\n", kLeft,
                  svgkit::Escape(text.Title).c_str());
    svg += Format("<text x=\"%.1f\" y=\"54\" class=\"subtitle\">%s</text>\n", kLeft,
                  svgkit::Escape(text.Subtitle).c_str());

    // The first trace is drawn last, on top of the others.
    const auto traceAll = [&](const Panel& p, bool labels) {
        for (std::size_t i = count; i-- > 0;) {
            Trace(svg, p, *traces[i].Samples, kTraces[i]);
        }
        for (std::size_t i = 0; i < count; ++i) {
            Marker(svg, p, traces[i].Figures, labels, static_cast<int>(i));
        }
    };
    svgkit::Frame(svg, whole, "The whole run", "clock error (ms)", true);
    svgkit::Band(svg, whole, kLockBandMs, kBand);
    traceAll(whole, true);
    svgkit::Border(svg, whole);

    svgkit::Frame(
        svg, close,
        Format("Close-up: \xC2\xB1%g ms around zero (shaded: the \xC2\xB1%g ms lock band)", reach,
               kLockBandMs),
        "clock error (ms)", true);
    svgkit::Band(svg, close, kLockBandMs, kBand);
    traceAll(close, false);
    svgkit::Border(svg, close);
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" class=\"axis\">simulated "
                  "time (s)</text>\n",
                  kLeft + kPlotWidth / 2, close.Top + close.Height + 40);

    // Legend and figures.
    const double legendY = close.Top + close.Height + 70;
    double legendX = kLeft;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string label =
            count == 1 ? std::string("system clock \xE2\x88\x92 true time") : traces[i].Label;
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                      "stroke-width=\"2\"/>\n",
                      legendX, legendY - 4, legendX + 24, legendY - 4, kTraces[i]);
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" class=\"legend\">%s</text>\n", legendX + 30,
                      legendY, svgkit::Escape(label).c_str());
        legendX += 60 + 7 * static_cast<double>(label.size());
    }
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"24\" height=\"10\" fill=\"%s\" "
                  "fill-opacity=\"0.25\"/>\n",
                  legendX, legendY - 9, kBand);
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" class=\"legend\">\xC2\xB1%g ms lock band</text>\n",
                  legendX + 30, legendY, kLockBandMs);
    for (std::size_t i = 0; i < count; ++i) {
        const LockFigures& figures = traces[i].Figures;
        std::string lock = count == 1 ? std::string() : traces[i].Label + ": ";
        if (figures.ConvergedS >= 0) {
            lock += Format("Locked from %.1f s: largest |error| after that %.3f ms, RMS %.3f ms.",
                           figures.ConvergedS, figures.MaxAbsMs, figures.RmsMs);
        } else {
            lock += Format("The error did not stay within \xC2\xB1%g ms to the end of the run.",
                           kLockBandMs);
        }
        lock += Format("  Rate changes: %llu, hard sets: %llu.",
                       static_cast<unsigned long long>(figures.RateChanges),
                       static_cast<unsigned long long>(figures.HardSets));
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" class=\"figures\">%s</text>\n", kLeft,
                      legendY + 26 + 22 * static_cast<double>(i), svgkit::Escape(lock).c_str());
    }
    svg += svgkit::Close();
    return svg;
}

} // namespace sim
