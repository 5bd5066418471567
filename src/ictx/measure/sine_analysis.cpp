#include "ictx/measure/sine_analysis.h"

#include <cmath>
#include <numbers>

namespace kora {

namespace {

constexpr double kDegrees = 180.0 / std::numbers::pi;

double Wrap360(double phase) {
    return phase < 0 ? phase + 360 : phase;
}

} // namespace

SineFit AnalyseSine(const double* samples, int32_t n, int32_t periods) {
    SineFit fit;
    if (n <= 0 || !samples) {
        return fit;
    }
    double a = 0, b = 0, sum = 0;
    const double step = 2 * std::numbers::pi * periods / n;
    for (int32_t i = 0; i < n; ++i) {
        const double x = samples[i];
        a += x * std::cos(step * i);
        b += x * std::sin(step * i);
        sum += x;
    }
    a *= 2.0 / n;
    b *= 2.0 / n;
    fit.amplitude = std::sqrt(a * a + b * b);
    fit.offset = sum / n;
    if (b > 0) {
        fit.phase = std::atan(a / b) * kDegrees;
    } else if (b < 0) {
        fit.phase = std::atan(a / b) * kDegrees + (a >= 0 ? 180 : -180);
    } else {
        // No signal at all (a = b = 0) counts as 0 degrees, so that the difference stays finite.
        fit.phase = a > 0 ? 90 : a < 0 ? -90 : 0;
    }
    return fit;
}

double PhaseDifference(double voltagePhase, double currentPhase) {
    double d = Wrap360(voltagePhase) - Wrap360(currentPhase);
    if (d > 180) {
        d -= 360;
    } else if (d < -180) {
        d += 360;
    }
    return d;
}

Equivalents CapacitorEquivalents(double imp, double phase, double frequency) {
    const double w = 2 * std::numbers::pi * frequency;
    const double rad = phase / kDegrees;
    Equivalents e;
    e.esr = imp * std::cos(rad);
    e.seriesReactance = -imp * std::sin(rad);
    e.series = 1 / (w * e.seriesReactance);
    e.epr = imp * imp / e.esr;
    e.parallelReactance = imp * imp / e.seriesReactance;
    e.parallel = 1 / (w * e.parallelReactance);
    return e;
}

Equivalents InductorEquivalents(double imp, double phase, double frequency) {
    const double w = 2 * std::numbers::pi * frequency;
    const double rad = phase / kDegrees;
    Equivalents e;
    e.esr = imp * std::cos(rad);
    e.seriesReactance = imp * std::sin(rad);
    e.series = e.seriesReactance / w;
    e.epr = imp * imp / e.esr;
    e.parallelReactance = imp * imp / e.seriesReactance;
    e.parallel = e.parallelReactance / w;
    return e;
}

} // namespace kora
