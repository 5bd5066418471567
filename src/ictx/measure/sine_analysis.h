// The single-frequency analysis of the AC component tests: amplitude, offset and phase of a
// record that holds a whole number of stimulus periods, and the series and parallel equivalents
// of a capacitor or an inductor from impedance and phase.
#pragma once

#include <cstdint>

namespace kora {

struct SineFit {
    double amplitude = 0;
    double offset = 0;
    double phase = 0; // degrees, -180 .. 180
};

// Analyses n samples that hold `periods` periods of the sine (n > 0, periods > 0).
SineFit AnalyseSine(const double* samples, int32_t n, int32_t periods);

// Voltage phase minus current phase, each first brought into 0 .. 360, the result into -180 ..
// 180.
double PhaseDifference(double voltagePhase, double currentPhase);

// The equivalent circuits of an impedance of magnitude `imp` and phase `phase` (degrees) at
// `frequency`: series (value, ESR, reactance) and parallel (value, EPR, reactance). The reactances
// are those of a capacitor (positive for a capacitive phase) or of an inductor. A division by 0
// gives an infinite value; callers turn it into the over-range value.
struct Equivalents {
    double series = 0, esr = 0, seriesReactance = 0;
    double parallel = 0, epr = 0, parallelReactance = 0;
};
Equivalents CapacitorEquivalents(double imp, double phase, double frequency);
Equivalents InductorEquivalents(double imp, double phase, double frequency);

} // namespace kora
