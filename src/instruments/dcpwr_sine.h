// The sine table of SET_DCPWR's ASINE function and the waveform points made from it: one block of
// three arrays of 10000 doubles (table, voltage points, current points) per step record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kora::dcpwr {

constexpr int32_t kSinePointsMax = 10000;
constexpr std::size_t kSineArray = kSinePointsMax;

// Points of one period at `frequency` hertz, 0.1 ms apart: 10000 / frequency, rounded.
int32_t SinePoints(double frequency);

// Lives in the step data record (zero-filled there). The block itself is kept by the library per
// record and released when the process ends: the executive owns the record and never tells when
// it goes.
struct SineBlock {
    double* block;
    int32_t points;

    // Gets the block of the record at `owner`; false when it cannot be had.
    bool Allocate(const void* owner);
    // Sine table entry i = sin(i 6.2831853 / n), i = 0..n-1.
    void Compute(int32_t n);
    // Voltage points: +voltage for the first half (n / 2, integer), -voltage for the rest; current
    // points: |amplitude sine[i] + offset|.
    void Fill(double voltage, double amplitude, double offset);
    const double* Table() const { return block; }
    const double* Volts() const { return block + kSineArray; }
    const double* Amperes() const { return block + 2 * kSineArray; }
};

} // namespace kora::dcpwr
