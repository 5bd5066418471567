// Plots as inline SVG for the HTML reports: a series over time and a histogram, each with its
// limits drawn as lines. The pictures carry their own sizes and need no style sheet.
#pragma once

#include <string>
#include <vector>

namespace kora::run {

struct PlotLimits {
    bool hasLow = false, hasHigh = false;
    double low = 0, high = 0;
};

// `values` over `span` seconds (0: over the sample number); non-finite samples are left out.
// `unit` is the unit code of the values, for the axis labels. Class "plot".
std::string SeriesPlot(const std::vector<double>& values, double span, long unit,
                       const PlotLimits& limits);
// A histogram of `values` with `bins` bins (0: chosen from the count). Class "plot histogram".
std::string HistogramPlot(const std::vector<double>& values, long unit, const PlotLimits& limits,
                          int bins = 0);

} // namespace kora::run
