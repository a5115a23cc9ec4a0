// The pieces of an SVG chart that the simulator's plots and the operator's day pictures
// share: number texts, panels with their grid and labels, bands, and the document around them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace svgkit {

// printf into a string; the figures here are short.
template <class... Args> std::string Format(const char* format, Args... args) {
    std::array<char, 512> buffer{};
    const int n = std::snprintf(buffer.data(), buffer.size(), format, args...);
    if (n < 0) {
        return {};
    }
    return {buffer.data(), std::min(buffer.size() - 1, static_cast<std::size_t>(n))};
}

std::string Escape(const std::string& text);

// A step of 1, 2 or 5 times a power of ten giving about `target` intervals over the span.
double NiceStep(double span, int target);
// Tick labels without trailing zeros: 0.5, 2, 250, -1.5.
std::string Label(double value, double step);

extern const char* const kGrid;
extern const char* const kAxis;

// A rectangle of the chart and the values its edges stand for.
struct Panel {
    double Left = 0;
    double Width = 0;
    double Top = 0;
    double Height = 0;
    double YMin = 0;
    double YMax = 1;
    double XMin = 0;
    double XMax = 1;
    std::string Id; // of its clip path

    [[nodiscard]] double X(double t) const { return Left + (t - XMin) / (XMax - XMin) * Width; }
    [[nodiscard]] double Y(double v) const { return Top + (YMax - v) / (YMax - YMin) * Height; }
    [[nodiscard]] double Bottom() const { return Top + Height; }
    [[nodiscard]] double Right() const { return Left + Width; }
};

// How the time axis is marked: a step (0: a nice one of about ten) and the text of a tick
// (null: the number itself).
struct TimeTicks {
    double Step = 0;
    std::string (*Text)(double t) = nullptr;
};

// The pieces of a panel's frame, also for a panel that has no value axis: background and clip
// path; the vertical grid with the time labels below; the heading above and the value axis' name.
void Backdrop(std::string& svg, const Panel& p);
void TimeGrid(std::string& svg, const Panel& p, bool timeLabels, const TimeTicks& ticks = {});
void Heading(std::string& svg, const Panel& p, const std::string& heading,
             const std::string& valueAxis);
// Background, clip path, grid with value and time labels, heading and the value axis' name.
void Frame(std::string& svg, const Panel& p, const std::string& heading,
           const std::string& valueAxis, bool timeLabels, const TimeTicks& ticks = {});
// A shaded band of +-half around zero with dashed edges, and the zero line.
void Band(std::string& svg, const Panel& p, double half, const char* colour);
void Border(std::string& svg, const Panel& p);

// The document's start (size, fonts, the text classes both charts use, background) and end.
std::string Open(double width, double height);
std::string Close();

} // namespace svgkit
