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

// Two panels over the same time axis: the whole run, and a close-up around zero with the
// lock band. Returns the document.
std::string RenderErrorPlot(const std::vector<Sample>& samples, const LockFigures& figures,
                            double durationS, const PlotText& text);

} // namespace sim
