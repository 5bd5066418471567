#include "svg_plot.h"

#include "format.h"
#include "html_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kora::run {

namespace {

constexpr double kWidth = 640, kHeight = 200;
constexpr double kLeft = 90, kRight = 12, kTop = 12, kBottom = 30;
constexpr double kPlotW = kWidth - kLeft - kRight, kPlotH = kHeight - kTop - kBottom;

std::string Num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// The value range a plot shows: the data and the limits, padded so that nothing sits on the
// frame; a flat range is opened around its value.
struct Range {
    double lo, hi;
    double y(double v) const { return kTop + kPlotH - (v - lo) / (hi - lo) * kPlotH; }
};

Range RangeOf(double lo, double hi, const PlotLimits& limits) {
    if (limits.hasLow && std::isfinite(limits.low)) {
        lo = std::min(lo, limits.low);
        hi = std::max(hi, limits.low);
    }
    if (limits.hasHigh && std::isfinite(limits.high)) {
        lo = std::min(lo, limits.high);
        hi = std::max(hi, limits.high);
    }
    if (!(hi > lo)) {
        const double pad = lo == 0 ? 1.0 : std::fabs(lo) * 0.01;
        return {lo - pad, hi + pad};
    }
    const double pad = (hi - lo) * 0.05;
    return {lo - pad, hi + pad};
}

std::string Open(const char* cls, const std::string& label) {
    return "<svg class=\"" + std::string(cls) + "\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           Num(kWidth) + "\" height=\"" + Num(kHeight) + "\" viewBox=\"0 0 " + Num(kWidth) + " " +
           Num(kHeight) + "\" role=\"img\" aria-label=\"" + EscapeHtml(label) + "\">" +
           "<rect x=\"" + Num(kLeft) + "\" y=\"" + Num(kTop) + "\" width=\"" + Num(kPlotW) +
           "\" height=\"" + Num(kPlotH) + "\" fill=\"#fbfbfd\" stroke=\"#99a\"/>";
}

std::string Text(double x, double y, const std::string& text, const char* anchor) {
    return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) +
           "\" font-size=\"11\" font-family=\"sans-serif\" text-anchor=\"" + anchor +
           "\" fill=\"#334\">" + EscapeHtml(text) + "</text>";
}

// Value axis labels and the limit lines, with the limit's value at the left.
std::string ValueAxis(const Range& r, long unit, const PlotLimits& limits) {
    std::string out = Text(kLeft - 4, kTop + 10, FormatValue(r.hi, unit), "end") +
                      Text(kLeft - 4, kTop + kPlotH, FormatValue(r.lo, unit), "end");
    const auto line = [&](double v, const char* cls) {
        const double y = r.y(v);
        out += "<line class=\"" + std::string(cls) + "\" x1=\"" + Num(kLeft) + "\" x2=\"" +
               Num(kLeft + kPlotW) + "\" y1=\"" + Num(y) + "\" y2=\"" + Num(y) +
               "\" stroke=\"#c0392b\" stroke-dasharray=\"6 4\" stroke-width=\"1.2\"/>" +
               Text(kLeft + kPlotW - 4, y - 3, FormatValue(v, unit), "end");
    };
    if (limits.hasLow && std::isfinite(limits.low)) {
        line(limits.low, "limit low");
    }
    if (limits.hasHigh && std::isfinite(limits.high)) {
        line(limits.high, "limit high");
    }
    return out;
}

} // namespace

std::string SeriesPlot(const std::vector<double>& values, double span, long unit,
                       const PlotLimits& limits) {
    double lo = INFINITY, hi = -INFINITY;
    std::size_t finite = 0;
    for (double v : values) {
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            ++finite;
        }
    }
    if (finite == 0) {
        lo = hi = 0;
    }
    const Range r = RangeOf(lo, hi, limits);
    std::string out = Open("plot", std::to_string(values.size()) + " samples");
    out += ValueAxis(r, unit, limits);
    const double last = values.size() > 1 ? static_cast<double>(values.size() - 1) : 1.0;
    const std::string xEnd = span > 0 ? FormatValue(span, 16) : std::to_string(values.size());
    out += Text(kLeft, kHeight - 10, span > 0 ? "0 s" : "1", "start") +
           Text(kLeft + kPlotW, kHeight - 10, xEnd, "end");
    // Long records are drawn from at most one point per pixel column pair (minimum and maximum),
    // so that a spike stays visible and the file stays small.
    const std::size_t columns = static_cast<std::size_t>(kPlotW);
    std::string points;
    const auto add = [&](double index, double v) {
        points += Num(kLeft + index / last * kPlotW) + "," + Num(r.y(v)) + " ";
    };
    if (values.size() <= 2 * columns) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (std::isfinite(values[i])) {
                add(static_cast<double>(i), values[i]);
            }
        }
    } else {
        for (std::size_t c = 0; c < columns; ++c) {
            const std::size_t a = c * values.size() / columns;
            const std::size_t b = (c + 1) * values.size() / columns;
            double mn = INFINITY, mx = -INFINITY;
            std::size_t at = a, bt = a;
            for (std::size_t i = a; i < b; ++i) {
                if (std::isfinite(values[i])) {
                    if (values[i] < mn) {
                        mn = values[i];
                        at = i;
                    }
                    if (values[i] > mx) {
                        mx = values[i];
                        bt = i;
                    }
                }
            }
            if (std::isfinite(mn)) {
                add(static_cast<double>(std::min(at, bt)), at < bt ? mn : mx);
                add(static_cast<double>(std::max(at, bt)), at < bt ? mx : mn);
            }
        }
    }
    if (values.size() == 1 && finite == 1) {
        out += "<circle cx=\"" + Num(kLeft) + "\" cy=\"" + Num(r.y(values[0])) +
               "\" r=\"3\" fill=\"#1f5fa8\"/>";
    }
    out += "<polyline fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"1.3\" points=\"" + points +
           "\"/></svg>";
    return out;
}

std::string HistogramPlot(const std::vector<double>& values, long unit, const PlotLimits& limits,
                          int bins) {
    std::vector<double> data;
    for (double v : values) {
        if (std::isfinite(v)) {
            data.push_back(v);
        }
    }
    if (bins <= 0) {
        bins = std::clamp(static_cast<int>(std::ceil(std::sqrt(static_cast<double>(data.size())))),
                          5, 40);
    }
    double lo = data.empty() ? 0 : *std::min_element(data.begin(), data.end());
    double hi = data.empty() ? 0 : *std::max_element(data.begin(), data.end());
    const Range r = RangeOf(lo, hi, limits);
    // Bins over the value range; the value axis runs along x here.
    std::vector<int> counts(static_cast<std::size_t>(bins), 0);
    for (double v : data) {
        int b = static_cast<int>((v - r.lo) / (r.hi - r.lo) * bins);
        counts[static_cast<std::size_t>(std::clamp(b, 0, bins - 1))]++;
    }
    const int most = std::max(1, *std::max_element(counts.begin(), counts.end()));
    std::string out = Open("plot histogram", std::to_string(data.size()) + " values");
    const auto x = [&](double v) { return kLeft + (v - r.lo) / (r.hi - r.lo) * kPlotW; };
    const double w = kPlotW / bins;
    for (int b = 0; b < bins; ++b) {
        const double h = static_cast<double>(counts[static_cast<std::size_t>(b)]) / most * kPlotH;
        out += "<rect class=\"bin\" x=\"" + Num(kLeft + b * w + 0.5) + "\" y=\"" +
               Num(kTop + kPlotH - h) + "\" width=\"" + Num(std::max(w - 1, 0.5)) + "\" height=\"" +
               Num(h) + "\" fill=\"#7fa7d6\"><title>" +
               std::to_string(counts[static_cast<std::size_t>(b)]) + "</title></rect>";
    }
    out += Text(kLeft - 4, kTop + 10, std::to_string(most), "end") +
           Text(kLeft - 4, kTop + kPlotH, "0", "end") +
           Text(kLeft, kHeight - 10, FormatValue(r.lo, unit), "start") +
           Text(kLeft + kPlotW, kHeight - 10, FormatValue(r.hi, unit), "end");
    const auto line = [&](double v, const char* cls) {
        out += "<line class=\"" + std::string(cls) + "\" x1=\"" + Num(x(v)) + "\" x2=\"" +
               Num(x(v)) + "\" y1=\"" + Num(kTop) + "\" y2=\"" + Num(kTop + kPlotH) +
               "\" stroke=\"#c0392b\" stroke-dasharray=\"6 4\" stroke-width=\"1.2\"/>";
    };
    if (limits.hasLow && std::isfinite(limits.low)) {
        line(limits.low, "limit low");
    }
    if (limits.hasHigh && std::isfinite(limits.high)) {
        line(limits.high, "limit high");
    }
    return out + "</svg>";
}

} // namespace kora::run
