#include "format.h"

#include <cmath>
#include <cstdio>

namespace kora::run {

namespace {

struct UnitName {
    long code;
    const char* text;
};
constexpr UnitName kUnits[] = {
    {5, "V"},    {6, "V AC"},  {7, "V ACDC"}, {8, "V rms"}, {9, "A"},   {10, "A AC"}, {11, "A rms"},
    {13, "Ohm"}, {14, "F"},    {15, "H"},     {16, "s"},    {17, "Hz"}, {18, "T"},    {19, "%"},
    {20, "deg"}, {21, "degC"}, {22, "degF"},  {23, "J"},    {24, "W"},
};

bool Prefixed(long unit) {
    long u = unit >= 0x500 ? unit - 0x500 : unit;
    return u >= 5 && u != 19 && u != 20 && u != 21 && u != 22;
}

} // namespace

// A text on one console line: line ends and tabs shown as escapes.
static std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : std::string(1, c);
    }
    return out;
}

std::string UnitText(long unit) {
    long u = unit >= 0x500 ? unit - 0x500 : unit;
    for (const auto& n : kUnits) {
        if (n.code == u) {
            return n.text;
        }
    }
    return "";
}

std::string FormatValue(double value, long unit, bool integer) {
    const std::string unitText = UnitText(unit);
    const std::string sep = unitText.empty() ? "" : " ";
    char buf[64];
    if (std::isnan(value)) {
        return "NaN" + sep + unitText;
    }
    if (std::isinf(value)) {
        return std::string(value > 0 ? "+Inf" : "-Inf") + sep + unitText;
    }
    if (integer) {
        std::snprintf(buf, sizeof buf, "%.0f", value);
        return buf + sep + unitText;
    }
    if (!Prefixed(unit) || value == 0.0) {
        std::snprintf(buf, sizeof buf, "%.6g", value);
        return buf + sep + unitText;
    }
    static constexpr struct {
        double factor;
        const char* prefix;
    } kPrefixes[] = {{1e12, "T"}, {1e9, "G"},  {1e6, "M"},  {1e3, "k"},   {1, ""},
                     {1e-3, "m"}, {1e-6, "u"}, {1e-9, "n"}, {1e-12, "p"}, {1e-15, "f"}};
    const double mag = std::fabs(value);
    for (const auto& p : kPrefixes) {
        if (mag >= p.factor * 0.9999995 || p.factor == 1e-15) {
            std::snprintf(buf, sizeof buf, "%.4f", value / p.factor);
            return std::string(buf) + " " + p.prefix + unitText;
        }
    }
    return buf;
}

std::string FormatLimits(const rvo::Result& r) {
    const bool integer = r.kind == rvo::ResultKind::Integer;
    std::string out;
    if (r.kind == rvo::ResultKind::Text) {
        if (r.unit != 0 && r.expectedGiven && !r.lowOp.empty()) {
            out = "x " + r.lowOp + " \"" + OneLine(r.expected) + "\"";
        }
        return out;
    }
    if (r.kind == rvo::ResultKind::Series) {
        return "";
    }
    if (!r.lowOp.empty()) {
        out = FormatValue(r.low, r.unit, integer) + " " + r.lowOp + " ";
    }
    if (!r.lowOp.empty() || !r.highOp.empty()) {
        out += "x";
    }
    if (!r.highOp.empty()) {
        out += " " + r.highOp + " " + FormatValue(r.high, r.unit, integer);
    }
    return out;
}

std::string ResultValueText(const rvo::Result& r) {
    switch (r.kind) {
    case rvo::ResultKind::Real:
        return FormatValue(r.value, r.unit);
    case rvo::ResultKind::Integer:
        return FormatValue(r.value, r.unit, true);
    case rvo::ResultKind::Text:
        return "\"" + OneLine(r.text) + "\"";
    case rvo::ResultKind::Series:
        return std::to_string(r.series.size()) + " values" +
               (UnitText(r.unit).empty() ? "" : " (" + UnitText(r.unit) + ")");
    }
    return "";
}

std::string ExactNumber(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "Infinity" : "-Infinity";
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return buf;
}

} // namespace kora::run
