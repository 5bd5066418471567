#include "ictx/measure/sine_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace kora {
namespace {

constexpr double kPi = std::numbers::pi;

std::vector<double> Sine(int n, int periods, double amplitude, double offset, double degrees) {
    std::vector<double> x(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        x[static_cast<std::size_t>(i)] =
            offset + amplitude * std::sin(2 * kPi * periods * i / n + degrees * kPi / 180);
    }
    return x;
}

TEST(SineAnalysis, AmplitudeOffsetAndPhaseInEveryQuadrant) {
    for (const double degrees : {0.0, 30.0, 90.0, 135.0, 179.0, -45.0, -90.0, -150.0}) {
        const auto x = Sine(80, 4, 0.2, 0.05, degrees);
        const SineFit f = AnalyseSine(x.data(), 80, 4);
        EXPECT_NEAR(f.amplitude, 0.2, 1e-12) << degrees;
        EXPECT_NEAR(f.offset, 0.05, 1e-12) << degrees;
        EXPECT_NEAR(f.phase, degrees, 1e-9) << degrees;
    }
    const std::vector<double> silent(20, 0.0);
    EXPECT_EQ(AnalyseSine(silent.data(), 20, 1).phase, 0.0);
}

TEST(SineAnalysis, PhaseDifferenceWrapsIntoHalfTurn) {
    const struct {
        double u, i, expected;
    } cases[] = {{0, 90, -90}, {-170, 170, 20}, {170, -170, -20}, {-90, 0, -90}, {10, 10, 0}};
    for (const auto& c : cases) {
        EXPECT_NEAR(PhaseDifference(c.u, c.i), c.expected, 1e-12) << c.u << " " << c.i;
    }
}

TEST(SineAnalysis, EquivalentsOfLossyParts) {
    const double f = 1000, w = 2 * kPi * f;
    // 1 uF with 2 ohm in series: series model exact, parallel model larger by 1 + (w R C)^2.
    const double xc = 1 / (w * 1e-6);
    const Equivalents c =
        CapacitorEquivalents(std::hypot(2.0, xc), -std::atan2(xc, 2.0) * 180 / kPi, f);
    EXPECT_NEAR(c.series, 1e-6, 1e-15);
    EXPECT_NEAR(c.esr, 2, 1e-9);
    EXPECT_NEAR(c.parallel, 1e-6 / (1 + std::pow(w * 2e-6, 2)), 1e-15);
    // 10 mH with 1 k in parallel: parallel model exact.
    const std::complex<double> z = 1.0 / (1.0 / 1e3 + 1.0 / std::complex<double>(0, w * 10e-3));
    const Equivalents l = InductorEquivalents(std::abs(z), std::arg(z) * 180 / kPi, f);
    EXPECT_NEAR(l.parallel, 10e-3, 1e-12);
    EXPECT_NEAR(l.epr, 1e3, 1e-6);
    EXPECT_NEAR(l.series, z.imag() / w, 1e-12);
}

} // namespace
} // namespace kora
