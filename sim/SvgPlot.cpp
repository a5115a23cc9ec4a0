#include "sim/SvgPlot.h"

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
const char* const kGrid = "#e3e3e3";
const char* const kAxis = "#555555";
const char* const kMarker = "#c0392b";

// printf into a string; the figures here are short.
template <class... Args> std::string Format(const char* format, Args... args) {
    std::array<char, 512> buffer{};
    const int n = std::snprintf(buffer.data(), buffer.size(), format, args...);
    if (n < 0) {
        return {};
    }
    return {buffer.data(), std::min(buffer.size() - 1, static_cast<std::size_t>(n))};
}

std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A step of 1, 2 or 5 times a power of ten giving about `target` intervals over the span.
double NiceStep(double span, int target) {
    if (span <= 0) {
        return 1;
    }
    const double raw = span / target;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / power;
    const double nice = f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10;
    return nice * power;
}

// Tick labels without trailing zeros: 0.5, 2, 250, -1.5.
std::string Label(double value, double step) {
    const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    if (std::fabs(value) < step * 1e-6) {
        value = 0;
    }
    return Format("%.*f", decimals, value);
}

struct Panel {
    double Top;
    double Height;
    double YMin;
    double YMax;
    double XMax;
    std::string Id;

    [[nodiscard]] double X(double t) const { return kLeft + t / XMax * kPlotWidth; }
    [[nodiscard]] double Y(double v) const { return Top + (YMax - v) / (YMax - YMin) * Height; }
};

void Frame(std::string& svg, const Panel& p, const std::string& heading, bool timeLabels) {
    svg += Format("<clipPath id=\"%s\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" "
                  "height=\"%.1f\"/></clipPath>\n",
                  p.Id.c_str(), kLeft, p.Top, kPlotWidth, p.Height);
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#ffffff\" "
                  "stroke=\"none\"/>\n",
                  kLeft, p.Top, kPlotWidth, p.Height);
    // Horizontal grid and value labels.
    const double yStep = NiceStep(p.YMax - p.YMin, 6);
    const auto firstY = static_cast<long>(std::ceil(p.YMin / yStep - 1e-9));
    const auto lastY = static_cast<long>(std::floor(p.YMax / yStep + 1e-9));
    for (long k = firstY; k <= lastY; ++k) {
        const double v = static_cast<double>(k) * yStep;
        const double y = p.Y(v);
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>\n",
                      kLeft, y, kLeft + kPlotWidth, y, kGrid);
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\" class=\"tick\">%s</text>\n",
                      kLeft - 8, y + 4, Label(v, yStep).c_str());
    }
    // Vertical grid and time labels.
    const double xStep = NiceStep(p.XMax, 10);
    const auto lastX = static_cast<long>(std::floor(p.XMax / xStep + 1e-9));
    for (long k = 0; k <= lastX; ++k) {
        const double t = static_cast<double>(k) * xStep;
        const double x = p.X(t);
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>\n", x,
                      p.Top, x, p.Top + p.Height, kGrid);
        if (timeLabels) {
            svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" "
                          "class=\"tick\">%s</text>\n",
                          x, p.Top + p.Height + 18, Label(t, xStep).c_str());
        }
    }
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" class=\"heading\">%s</text>\n", kLeft, p.Top - 10,
                  Escape(heading).c_str());
    svg += Format("<text transform=\"translate(%.1f,%.1f) rotate(-90)\" text-anchor=\"middle\" "
                  "class=\"axis\">clock error (ms)</text>\n",
                  kLeft - 58, p.Top + p.Height / 2);
}

void Band(std::string& svg, const Panel& p, double bandMs) {
    const double top = std::clamp(p.Y(bandMs), p.Top, p.Top + p.Height);
    const double bottom = std::clamp(p.Y(-bandMs), p.Top, p.Top + p.Height);
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\" "
                  "fill-opacity=\"0.13\"/>\n",
                  kLeft, top, kPlotWidth, std::max(bottom - top, 0.8), kBand);
    for (const double edge : {bandMs, -bandMs}) {
        const double y = p.Y(edge);
        if (y >= p.Top && y <= p.Top + p.Height) {
            svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                          "stroke-opacity=\"0.6\" stroke-dasharray=\"6 4\"/>\n",
                          kLeft, y, kLeft + kPlotWidth, y, kBand);
        }
    }
    const double zero = p.Y(0);
    if (zero >= p.Top && zero <= p.Top + p.Height) {
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                      "stroke-width=\"1.2\"/>\n",
                      kLeft, zero, kLeft + kPlotWidth, zero, kAxis);
    }
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

void Border(std::string& svg, const Panel& p) {
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
                  "stroke=\"%s\"/>\n",
                  kLeft, p.Top, kPlotWidth, p.Height, kAxis);
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
    const Panel whole{95, 250, lo - pad, hi + pad, xMax, "whole"};
    const Panel close{410, 200, -reach, reach, xMax, "close"};
    const double height = kHeight + 22 * static_cast<double>(count > 0 ? count - 1 : 0);

    std::string svg;
    svg += Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                  "viewBox=\"0 0 %.0f %.0f\" font-family=\"DejaVu Sans, Helvetica, Arial, "
                  "sans-serif\">\n",
                  kWidth, height, kWidth, height);
    svg += "<style>.title{font-size:20px;font-weight:bold;fill:#222}"
           ".subtitle{font-size:13px;fill:#555}.heading{font-size:14px;font-weight:bold;"
           "fill:#333}.tick{font-size:12px;fill:#555}.axis{font-size:13px;fill:#333}"
           ".marker{font-size:12px;fill:#c0392b}.figures{font-size:13px;fill:#222}"
           ".legend{font-size:12px;fill:#333}</style>\n";
    svg += Format("<rect width=\"%.0f\" height=\"%.0f\" fill=\"#fafafa\"/>\n", kWidth, height);
    svg += Format("<text x=\"%.1f\" y=\"32\" class=\"title\">%s</text>\n", kLeft,
                  Escape(text.Title).c_str());
    svg += Format("<text x=\"%.1f\" y=\"54\" class=\"subtitle\">%s</text>\n", kLeft,
                  Escape(text.Subtitle).c_str());

    // The first trace is drawn last, on top of the others.
    const auto traceAll = [&](const Panel& p, bool labels) {
        for (std::size_t i = count; i-- > 0;) {
            Trace(svg, p, *traces[i].Samples, kTraces[i]);
        }
        for (std::size_t i = 0; i < count; ++i) {
            Marker(svg, p, traces[i].Figures, labels, static_cast<int>(i));
        }
    };
    Frame(svg, whole, "The whole run", true);
    Band(svg, whole, kLockBandMs);
    traceAll(whole, true);
    Border(svg, whole);

    Frame(svg, close,
          Format("Close-up: \xC2\xB1%g ms around zero (shaded: the \xC2\xB1%g ms lock band)", reach,
                 kLockBandMs),
          true);
    Band(svg, close, kLockBandMs);
    traceAll(close, false);
    Border(svg, close);
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
                      legendY, Escape(label).c_str());
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
                      legendY + 26 + 22 * static_cast<double>(i), Escape(lock).c_str());
    }
    svg += "</svg>\n";
    return svg;
}

} // namespace sim
