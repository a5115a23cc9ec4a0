#include "plot/SvgKit.h"

#include <cmath>

namespace svgkit {

const char* const kGrid = "#e3e3e3";
const char* const kAxis = "#555555";

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

std::string Label(double value, double step) {
    const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    if (std::fabs(value) < step * 1e-6) {
        value = 0;
    }
    return Format("%.*f", decimals, value);
}

void Backdrop(std::string& svg, const Panel& p) {
    svg += Format("<clipPath id=\"%s\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" "
                  "height=\"%.1f\"/></clipPath>\n",
                  p.Id.c_str(), p.Left, p.Top, p.Width, p.Height);
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#ffffff\" "
                  "stroke=\"none\"/>\n",
                  p.Left, p.Top, p.Width, p.Height);
}

void TimeGrid(std::string& svg, const Panel& p, bool timeLabels, const TimeTicks& ticks) {
    const double xStep = ticks.Step > 0 ? ticks.Step : NiceStep(p.XMax - p.XMin, 10);
    const auto firstX = static_cast<long>(std::ceil(p.XMin / xStep - 1e-9));
    const auto lastX = static_cast<long>(std::floor(p.XMax / xStep + 1e-9));
    for (long k = firstX; k <= lastX; ++k) {
        const double t = static_cast<double>(k) * xStep;
        const double x = p.X(t);
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>\n", x,
                      p.Top, x, p.Bottom(), kGrid);
        if (timeLabels) {
            const std::string text = ticks.Text != nullptr ? ticks.Text(t) : Label(t, xStep);
            svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" "
                          "class=\"tick\">%s</text>\n",
                          x, p.Bottom() + 18, text.c_str());
        }
    }
}

void Heading(std::string& svg, const Panel& p, const std::string& heading,
             const std::string& valueAxis) {
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" class=\"heading\">%s</text>\n", p.Left, p.Top - 10,
                  Escape(heading).c_str());
    if (!valueAxis.empty()) {
        svg += Format("<text transform=\"translate(%.1f,%.1f) rotate(-90)\" "
                      "text-anchor=\"middle\" class=\"axis\">%s</text>\n",
                      p.Left - 58, p.Top + p.Height / 2, Escape(valueAxis).c_str());
    }
}

void Frame(std::string& svg, const Panel& p, const std::string& heading,
           const std::string& valueAxis, bool timeLabels, const TimeTicks& ticks) {
    Backdrop(svg, p);
    // Horizontal grid and value labels.
    const double yStep = NiceStep(p.YMax - p.YMin, 6);
    const auto firstY = static_cast<long>(std::ceil(p.YMin / yStep - 1e-9));
    const auto lastY = static_cast<long>(std::floor(p.YMax / yStep + 1e-9));
    for (long k = firstY; k <= lastY; ++k) {
        const double v = static_cast<double>(k) * yStep;
        const double y = p.Y(v);
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>\n",
                      p.Left, y, p.Right(), y, kGrid);
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\" class=\"tick\">%s</text>\n",
                      p.Left - 8, y + 4, Label(v, yStep).c_str());
    }
    TimeGrid(svg, p, timeLabels, ticks);
    Heading(svg, p, heading, valueAxis);
}

void Band(std::string& svg, const Panel& p, double half, const char* colour) {
    const double top = std::clamp(p.Y(half), p.Top, p.Bottom());
    const double bottom = std::clamp(p.Y(-half), p.Top, p.Bottom());
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\" "
                  "fill-opacity=\"0.13\"/>\n",
                  p.Left, top, p.Width, std::max(bottom - top, 0.8), colour);
    for (const double edge : {half, -half}) {
        const double y = p.Y(edge);
        if (y >= p.Top && y <= p.Bottom()) {
            svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                          "stroke-opacity=\"0.6\" stroke-dasharray=\"6 4\"/>\n",
                          p.Left, y, p.Right(), y, colour);
        }
    }
    const double zero = p.Y(0);
    if (zero >= p.Top && zero <= p.Bottom()) {
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                      "stroke-width=\"1.2\"/>\n",
                      p.Left, zero, p.Right(), zero, kAxis);
    }
}

void Border(std::string& svg, const Panel& p) {
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
                  "stroke=\"%s\"/>\n",
                  p.Left, p.Top, p.Width, p.Height, kAxis);
}

std::string Open(double width, double height) {
    std::string svg =
        Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
               "viewBox=\"0 0 %.0f %.0f\" font-family=\"DejaVu Sans, Helvetica, Arial, "
               "sans-serif\">\n",
               width, height, width, height);
    svg += "<style>.title{font-size:20px;font-weight:bold;fill:#222}"
           ".subtitle{font-size:13px;fill:#555}.heading{font-size:14px;font-weight:bold;"
           "fill:#333}.tick{font-size:12px;fill:#555}.axis{font-size:13px;fill:#333}"
           ".marker{font-size:12px;fill:#c0392b}.figures{font-size:13px;fill:#222}"
           ".legend{font-size:12px;fill:#333}</style>\n";
    svg += Format("<rect width=\"%.0f\" height=\"%.0f\" fill=\"#fafafa\"/>\n", width, height);
    return svg;
}

std::string Close() {
    return "</svg>\n";
}

} // namespace svgkit
