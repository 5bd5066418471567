// The compile step of a component: class checks, defaults, clamps and the range settings the
// test methods use; and the range tables those settings index.
#pragma once

#include "ictx/program/component_model.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace kora {

// Voltage ranges (V), current ranges (A), AC test levels (V), test frequencies (Hz), offsets
// (V) and sampling rates (per second) of the ICT modules; the indices in a SubTest point here.
inline constexpr double kVoltageRanges[] = {0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1,
                                            2,    5,    10,   20,  50,  100};
inline constexpr double kCurrentRanges[] = {1e-6,   2e-6,   5e-6,   10e-6, 20e-6, 50e-6,
                                            100e-6, 200e-6, 500e-6, 1e-3,  2e-3,  5e-3,
                                            10e-3,  20e-3,  50e-3,  100e-3};
inline constexpr double kAcLevels[] = {0.1, 0.2, 1.0};
inline constexpr double kTestFrequencies[] = {100, 1000, 10000};
inline constexpr double kOffsets[] = {0, 1, -1};
inline constexpr int32_t kSampleRates[] = {100000, 400, 4000, 40000, 100000, 1000000};

// Index of the first entry of `table` not below `value` (the last entry for larger values).
uint32_t RangeIndex(std::span<const double> table, double value);

// Index into kSampleRates for a wanted sampling frequency: 0 when none is given, otherwise the
// first rate of 1 to 5 that is not below it.
uint32_t SampleRateIndex(int32_t frequency);

// Applies the rules of the component's class. Returns 0, or 1 with "%s %s (ID=%li)\n"
// (message, name, section index) in `error` (kMessageSize bytes) and the class code set to 0.
int CompileComponent(ComponentRecord* record, char* error);

} // namespace kora
