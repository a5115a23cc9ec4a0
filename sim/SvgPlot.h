// The error trace of a closed-loop run as an SVG picture.
#pragma once

#include "sim/ClosedLoop.h"

#include <string>
#include <vector>

namespace sim {

struct PlotText {
    std::string Title;
    std::string Subtitle; // the scenario in words
};

// One run's error trace.
struct PlotTrace {
    const std::vector<Sample>* Samples;
    LockFigures Figures;
    std::string Label; // for the legend when there is more than one trace
};

// Two panels over the same time axis: the whole run, and a close-up around zero with the
// lock band. Returns the document.
std::string RenderErrorPlot(const std::vector<Sample>& samples, const LockFigures& figures,
                            double durationS, const PlotText& text);
// The same with several runs on one chart; the first is drawn on top.
std::string RenderErrorPlot(const std::vector<PlotTrace>& traces, double durationS,
                            const PlotText& text);

} // namespace sim
