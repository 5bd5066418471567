// Source and measure unit control of the ICT modules: five configuration operations that state a
// unit's whole wanted configuration and send only what differs from the bench's cache, and the
// reads that turn a record of samples into a mean, a count and a range coverage.
//
// No-change values: kKeep for integers and masks, kKeepReal for reals (for the MU and CMU any
// negative real). A mode, function or preset of kResetUnit puts the unit into its start state and
// marks its cache. Every operation stops at the first driver error and returns its status; the
// cache keeps what the successful calls set, so a repeated call sends only what is missing.
#pragma once

#include "bench/ict_settings.h"

#include <platform_types.h>

#include <cstdint>

namespace kora {

constexpr int32_t kKeep = -1;
constexpr double kKeepReal = 9.999e9;
constexpr int32_t kResetUnit = -2;

// Measurement functions of the MU cache and of ConfigureMu.
constexpr int32_t kMuVoltage = 3;
constexpr int32_t kMuCurrent = 4;
// AOS modes.
constexpr int32_t kAosDc = 13;
constexpr int32_t kAosAc = 14;

constexpr int32_t kMaxReadSamples = 8192;

// Range tables of the PSAM: index order is the range number of the auto-range read. They are
// the compile step's tables (kVoltageRanges, kCurrentRanges of component_compile.h), bound here
// by reference so that the values are written once and their counts are checked.
extern const double (&kMuVoltageRanges)[kVoltageRangeCount];
extern const double (&kMuCurrentRanges)[kCurrentRangeCount];

// Marks every setting of a cache unknown (-1, NaN).
void MarkUnknown(DcsSettings& s);
void MarkUnknown(MuSettings& s);
void MarkUnknown(AosSettings& s);
void MarkUnknown(CmuSettings& s);
void MarkUnknown(PsuSettings& s);

// PSAM DC source. outputMode 1 enables the output, 0 or less disables it, kResetUnit marks the
// cache and grounds terminal 4 first. attribute: driver attribute 1150026 (1 voltage source).
ViStatus ConfigureDcs(DcsSettings& s, ViSession vi, int32_t outputMode, int32_t mask1,
                      int32_t mask4, int32_t mask2, int32_t mask3, int32_t attribute,
                      double voltage, double currentLimit, int32_t limitRange, int32_t ground);

// PSAM measurement unit. function kMuVoltage or kMuCurrent (range in volts or amperes), or
// kResetUnit; filter: low-pass corner in hertz, 0 the widest.
ViStatus ConfigureMu(MuSettings& s, ViSession vi, int32_t function, int32_t mask5, int32_t mask8,
                     double range, int32_t filter, int32_t sampleCount, double interval,
                     double delay, int32_t triggerSource);

// PICT analog output source. mode kAosDc, kAosAc, kResetUnit, or any other value for off.
ViStatus ConfigureAos(AosSettings& s, ViSession vi, int32_t mode, double frequency, double level,
                      double offset, double dcRange);

// PICT complex measurement unit. gainRange is a current in amperes, frequency the filter corner.
// The cache keeps the signal, filter and gain codes (CmuSettings::signalMode holds the signal
// code 0, 1 or 2), so that modes with the same code send nothing.
ViStatus ConfigureCmu(CmuSettings& s, ViSession vi, int32_t signalMode, int32_t mask1,
                      int32_t mask2, int32_t mask3, int32_t mask4, int32_t mask5, double gainRange,
                      double frequency, int32_t sampleCount, double interval, double delay,
                      int32_t triggerSource);

// PSU. Bus masks in the bit order of the analog bus (bit 0 ABa1 .. bit 7 ABd2).
ViStatus ConfigurePsu(PsuSettings& s, ViSession vi, int32_t preset, int32_t ch1Hi, int32_t ch1Lo,
                      double ch1Voltage, double ch1Limit, int32_t ch2Hi, int32_t ch2Lo,
                      double ch2Voltage, double ch2Limit);

// What a read hands back.
struct ReadResult {
    double mean = 0;
    int32_t count = 0;    // samples averaged (after smoothing)
    int32_t coverage = 0; // mean in percent of the range, rounded
};

// A record of the PSAM meter (ReadMultiPoint) or of the PICT CMU (CmuRead). buffer may be null
// (an internal one of kMaxReadSamples per thread is used); count is at most its size. Smoothing
// needs at least 7 samples and leaves the smoothed record in the first count - 6 entries of the
// buffer. range > 0 gives the coverage. Returns a driver error (negative), 0xBFFA402B when no
// sample was read, else the driver's status: 0, or the warning 0x3FFA2001 (over range; the NaN
// samples were counted as 1.2 x range) that callers act on.
ViStatus ReadMultiPoint(ViSession vi, double* buffer, int32_t count, bool smoothing,
                        int32_t timeoutMs, double range, ReadResult* out);
ViStatus CmuRead(ViSession vi, double* buffer, int32_t count, bool smoothing, int32_t timeoutMs,
                 double range, ReadResult* out);

// The arithmetic of a read. MeanOfRecord: the mean of `count` samples, smoothed in place first
// when asked and count >= 7; *used gets the number averaged (count - 6 when smoothed).
// RangeCoverage: the integer part of mean x 100 / range + 0.5, 0 without a range above 0.
double MeanOfRecord(double* samples, int32_t count, bool smoothing, int32_t* used);
int32_t RangeCoverage(double mean, double range);

struct AutoRangeResult {
    double mean = 0;
    int32_t count = 0;
    int32_t coverage = 0;
    int32_t steps = 0;      // +1 per step up, -1 per step down
    int32_t overUnder = 0;  // +1 over range, -1 under range, 0 in range
    int32_t rangeIndex = 0; // final range index
    double range = 0;       // final range value
};

// Reads the PSAM meter in its configured function (the MU cache's), starting at range index
// startIndex (configured by the caller), stepping the range when autoRange is on; each step
// configures the meter and keeps the cache's range up to date. Returns the first driver error,
// else the last read's status (0 or the over-range warning; the flag tells the outcome).
// A cache function other than kMuVoltage and kMuCurrent is 0x81000001 (parameter 1), a start
// index outside the function's table 0x81000003 (parameter 3).
ViStatus ReadAutoRange(MuSettings& s, ViSession vi, int32_t startIndex, bool autoRange,
                       double* buffer, int32_t count, bool smoothing, int32_t timeoutMs,
                       AutoRangeResult* out);

} // namespace kora
