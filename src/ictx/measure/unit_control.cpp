#include "ictx/measure/unit_control.h"

#include "frame/errors.h"
#include "ictx/program/component_compile.h"

#include <rspict.h>
#include <rspsam.h>
#include <rspsu.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace kora {

const double (&kMuVoltageRanges)[kVoltageRangeCount] = kVoltageRanges;
const double (&kMuCurrentRanges)[kCurrentRangeCount] = kCurrentRanges;

// Sends one driver call; a driver error (negative status) ends the operation with that status.
// Warnings (positive) go on. The cache is written after the call, so it keeps what succeeded.
#define KORA_SEND(call)                                                                            \
    if (const ViStatus status_ = (call); status_ < 0)                                              \
    return status_

namespace {

constexpr ViAttr kAttrSourceMode = 1150026;
constexpr ViInt32 kAllLines = 255;
constexpr int32_t kUnknown = -1;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// PSAM terminals.
constexpr ViInt32 kDcsTerminals[4] = {1, 4, 2, 3}; // order of DcsSettings::mask
constexpr ViInt32 kForceLo = 4;
constexpr ViInt32 kMeterHi = 5;
constexpr ViInt32 kMeterLo = 8;

// MU start state (reset).
constexpr double kMuStartVoltageRange = 5.0;
constexpr int32_t kMuStartFilter = 400;
constexpr int32_t kMuStartSamples = 200;
constexpr double kMuStartInterval = 5e-6;
constexpr ViInt32 kSampleTriggerClock = 10;
constexpr ViInt32 kTriggerImmediate = 1;
constexpr int32_t kWidestFilter = 100000;

// AOS start state and codes.
constexpr ViInt32 kAosSetModeDc = 1, kAosSetModeAc = 0;
constexpr int32_t kAosStartFrequencyCode = 0, kAosStartAmplitudeCode = 1, kAosStartOffsetCode = 0;
constexpr int32_t kAosStartDcRangeCode = 3;
constexpr double kAosStartDcLevel = 2.0;
constexpr ViInt32 kAosDcRanges[4] = {0, 10, 100, 1000}; // range argument of each range code

// CMU start state and codes.
constexpr int32_t kCmuStartSignalCode = 0, kCmuStartGainCode = 15, kCmuStartFilterCode = 1;
constexpr ViInt32 kCmuCoupling = 1;
constexpr int32_t kCmuStartSamples = 200;
constexpr double kCmuStartInterval = 5e-6;
constexpr int32_t kCmuTopGainCode = 16;
constexpr double kCmuTopGainRange = 0.2;

// PSU.
constexpr const char* kPsuChannels[2] = {"CH1", "CH2"};
constexpr const char* kPsuTerminals[4] = {"CH1_HI", "CH1_LO", "CH2_HI", "CH2_LO"};
constexpr const char* kBusLines[8] = {"ABa1", "ABa2", "ABb1", "ABb2",
                                      "ABc1", "ABc2", "ABd1", "ABd2"};
constexpr int32_t kPsuResetPreset = -2;
constexpr int32_t kPsuStartPreset = 8;
constexpr double kPsuStartVoltageRange = 50.0;
constexpr double kPsuStartVoltage = 5.0;
constexpr double kPsuStartLimit = 0.005;
constexpr double kPsuStartCurrentRange = 0.01;
constexpr ViInt32 kPsuSupplyMode = 0;
constexpr ViInt32 kPsuStartSamples = 10;
constexpr double kPsuStartSampleInterval = 0.0001;
constexpr ViInt32 kPsuTriggerImmediate = 0;

// What a preset of 9 to 12 sets: the coupling mask, the current range of each channel
// (0: unchanged) and the grounds (-1: unchanged).
struct PsuPreset {
    int32_t preset;
    int32_t coupling;
    double range[2];
    int32_t ground[2];
};
constexpr PsuPreset kPsuPresets[] = {
    {9, 0xF0, {0, 0.1}, {kUnknown, 1}},
    {10, 0xF0, {0, 1.0}, {kUnknown, 1}},
    {11, 0xFF, {0.01, 0.01}, {kUnknown, 1}},
    {12, 0x3C, {1.0, 1.0}, {1, 1}},
};

// Reads.
constexpr ViStatus kNoSamples = RSPSAM_ERROR_NO_SAMPLES;
constexpr ViStatus kOverRange = RSPSAM_WARN_OVER_RANGE;
constexpr double kOverRangeFactor = 1.2;
constexpr int kSmoothingTaps = 7;
constexpr double kSmoothingWeights[kSmoothingTaps] = {1, 6, 15, 20, 15, 6, 1};
constexpr double kSmoothingDivisor = 64;
constexpr int32_t kOverCoverage = 111;  // this and above: over range
constexpr int32_t kUpperCoverage = 86;  // below this: a smaller range may fit
constexpr int32_t kEnoughCoverage = 25; // this and above: no step down
constexpr int32_t kUnderCoverage = 1;   // below this: under range

// A real argument given for the DCS, AOS and PSU (no-change value 9.999e9), and for the MU and
// CMU (no-change value: any negative real).
bool Given(double v) {
    return !std::isnan(v) && v != kKeepReal;
}
bool GivenNonNegative(double v) {
    return v >= 0; // false for NaN
}
// Whether a wanted value differs from the cached one; an unknown (NaN) cache always differs.
bool Differs(double cached, double wanted) {
    return !(cached == wanted);
}

int32_t AosFrequencyCode(double frequency, int32_t old) {
    return frequency == 100 ? 0 : frequency == 1000 ? 1 : frequency == 10000 ? 2 : old;
}
int32_t AosAmplitudeCode(double level, int32_t old) {
    if (!Given(level)) {
        return old;
    }
    return level >= 1.0 ? 2 : level >= 0.2 ? 1 : level >= 0.1 ? 0 : old;
}
int32_t AosOffsetCode(double offset, int32_t old) {
    if (!Given(offset)) {
        return old;
    }
    return offset < 0 ? 2 : offset == 0 ? 0 : offset >= 1 ? 1 : old;
}
int32_t AosDcRangeCode(double range, int32_t old) {
    for (int32_t code = 0; code < 4; ++code) {
        if (range == kAosDcRanges[code]) {
            return code;
        }
    }
    return old;
}

int32_t CmuSignalCode(int32_t mode) {
    return mode == 7 ? 2 : mode == 6 ? 1 : 0;
}
int32_t CmuFilterCode(double frequency) {
    return frequency <= 400 ? 3 : frequency <= 4000 ? 2 : frequency <= 40000 ? 1 : 0;
}
// 0 up to 1 uA, one code per step of the 1-2-5 series up to 100 mA, 16 above.
int32_t CmuGainCode(double range) {
    for (int32_t code = 0; code < kCurrentRangeCount; ++code) {
        if (range <= kCurrentRanges[code] * (1 + 1e-9)) {
            return code;
        }
    }
    return kCmuTopGainCode;
}
double CmuGainRangeOf(int32_t code) {
    return code >= 0 && code < kCurrentRangeCount ? kCurrentRanges[code] : kCmuTopGainRange;
}

int32_t PsuLinesOf(int terminal) {
    return 0x0F << (4 * (terminal / 2)); // CH1 terminals bits 0-3, CH2 terminals bits 4-7
}

// One read: the driver's record, NaN samples of an over-range record replaced, the mean and the
// coverage.
template <typename ReadFn>
ViStatus Read(ReadFn readFn, ViSession vi, double* buffer, int32_t count, bool smoothing,
              int32_t timeoutMs, double range, ReadResult* out) {
    thread_local std::array<double, kMaxReadSamples> internal;
    if (!buffer) {
        buffer = internal.data();
        count = std::min(count, kMaxReadSamples);
    }
    ReadResult result;
    ViInt32 actual = 0;
    const ViStatus status = readFn(vi, timeoutMs, std::max(count, 0), buffer, &actual);
    if (status < 0) {
        if (out) {
            *out = result;
        }
        return status;
    }
    if (actual <= 0) {
        if (out) {
            *out = result;
        }
        return kNoSamples;
    }
    if (status == kOverRange) {
        std::replace_if(
            buffer, buffer + actual, [](double v) { return std::isnan(v); },
            kOverRangeFactor * range);
    }
    result.mean = MeanOfRecord(buffer, actual, smoothing, &result.count);
    result.coverage = RangeCoverage(result.mean, range);
    if (out) {
        *out = result;
    }
    return status;
}

} // namespace

// ---- caches -----------------------------------------------------------------------------------

void MarkUnknown(DcsSettings& s) {
    std::fill(std::begin(s.mask), std::end(s.mask), kUnknown);
    s.attribute = s.outputEnabled = s.limitRange = s.ground = kUnknown;
    s.voltage = s.currentLimit = kNaN;
}

void MarkUnknown(MuSettings& s) {
    s.mask5 = s.mask8 = s.ground8 = s.sampleCount = s.triggerSource = s.filter = s.function =
        kUnknown;
    s.interval = s.delay = s.voltageRange = s.currentRange = kNaN;
}

void MarkUnknown(AosSettings& s) {
    s.mode = s.frequencyCode = s.amplitudeCode = s.offsetCode = s.dcRangeCode = s.outputEnabled =
        kUnknown;
    s.dcLevel = kNaN;
}

void MarkUnknown(CmuSettings& s) {
    std::fill(std::begin(s.masks), std::end(s.masks), kUnknown);
    s.signalMode = s.filterCode = s.gainCode = s.sampleCount = s.triggerSource = kUnknown;
    s.interval = s.delay = kNaN;
}

void MarkUnknown(PsuSettings& s) {
    s.preset = s.coupling = kUnknown;
    std::fill(std::begin(s.masks), std::end(s.masks), kUnknown);
    std::fill(std::begin(s.ground), std::end(s.ground), kUnknown);
    std::fill(std::begin(s.voltage), std::end(s.voltage), kNaN);
    std::fill(std::begin(s.currentLimit), std::end(s.currentLimit), kNaN);
    std::fill(std::begin(s.outputRange), std::end(s.outputRange), kNaN);
}

// ---- PSAM DC source ---------------------------------------------------------------------------

ViStatus ConfigureDcs(DcsSettings& s, ViSession vi, int32_t outputMode, int32_t mask1,
                      int32_t mask4, int32_t mask2, int32_t mask3, int32_t attribute,
                      double voltage, double currentLimit, int32_t limitRange, int32_t ground) {
    if (outputMode == kResetUnit) {
        MarkUnknown(s);
        KORA_SEND(rspsam_cnx_Gnd(vi, kForceLo, VI_TRUE));
        s.ground = 1;
    }
    if (attribute >= 0 && s.attribute != (attribute ? 1 : 0)) {
        KORA_SEND(rspsam_SetAttributeViInt32(vi, "", kAttrSourceMode, attribute ? 1 : 0));
        s.attribute = attribute ? 1 : 0;
    }
    if (ground >= 0 && s.ground != (ground ? 1 : 0)) {
        KORA_SEND(rspsam_cnx_Gnd(vi, kForceLo, ground ? VI_TRUE : VI_FALSE));
        s.ground = ground ? 1 : 0;
    }
    const int32_t masks[4] = {mask1, mask4, mask2, mask3};
    for (int i = 0; i < 4; ++i) {
        if (masks[i] >= 0 && s.mask[i] != masks[i]) {
            KORA_SEND(rspsam_cnx_Matrix(vi, kDcsTerminals[i], kAllLines, masks[i]));
            s.mask[i] = masks[i];
        }
    }
    if (Given(voltage) && Differs(s.voltage, voltage)) {
        KORA_SEND(rspsam_dcs_ConfigureVoltageLevel(vi, voltage));
        s.voltage = voltage;
    }
    if (limitRange >= 0 && s.limitRange != limitRange) {
        KORA_SEND(rspsam_dcs_ConfigureCurrentLimitRange(vi, limitRange));
        s.limitRange = limitRange;
    }
    if (Given(currentLimit) && Differs(s.currentLimit, currentLimit)) {
        KORA_SEND(rspsam_dcs_ConfigureCurrentLimit(vi, currentLimit));
        s.currentLimit = currentLimit;
    }
    if (outputMode == 1 || outputMode <= 0) {
        const int32_t enabled = outputMode == 1 ? 1 : 0;
        if (s.outputEnabled != enabled) {
            KORA_SEND(rspsam_dcs_ConfigureOutputEnabled(vi, enabled ? VI_TRUE : VI_FALSE));
            s.outputEnabled = enabled;
        }
    }
    return VI_SUCCESS;
}

// ---- PSAM measurement unit --------------------------------------------------------------------

ViStatus ConfigureMu(MuSettings& s, ViSession vi, int32_t function, int32_t mask5, int32_t mask8,
                     double range, int32_t filter, int32_t sampleCount, double interval,
                     double delay, int32_t triggerSource) {
    if (function == kResetUnit) {
        MarkUnknown(s);
        KORA_SEND(rspsam_cnx_Gnd(vi, kMeterLo, VI_FALSE));
        s.ground8 = 0;
        KORA_SEND(rspsam_ConfigureDmmMethod(vi, 0));
        KORA_SEND(rspsam_ConfigureMeasurement(vi, RSPSAM_FUNCTION_VOLTAGE, kMuStartVoltageRange));
        s.function = kMuVoltage;
        s.voltageRange = kMuStartVoltageRange;
        s.filter = kMuStartFilter;
        KORA_SEND(rspsam_ConfigureMultiPoint(vi, 1, kMuStartSamples, kSampleTriggerClock,
                                             kMuStartInterval));
        s.sampleCount = kMuStartSamples;
        s.interval = kMuStartInterval;
        KORA_SEND(rspsam_ConfigureTrigger(vi, kTriggerImmediate, 0.0));
        s.triggerSource = kTriggerImmediate;
        s.delay = 0.0;
        KORA_SEND(rspsam_trig_ConfigureSignal(vi, 0, 3, 0, 1e-6, 1e-6, 111, 1, 0, 1));
        KORA_SEND(rspsam_trig_EnableOutput(vi, 1));
        KORA_SEND(rspsam_trig_Abort(vi, 0));
    }
    if (function == kMuVoltage || function == kMuCurrent) {
        double& cachedRange = function == kMuVoltage ? s.voltageRange : s.currentRange;
        const double wanted = GivenNonNegative(range) ? range : cachedRange;
        if (s.function != function || Differs(cachedRange, wanted)) {
            KORA_SEND(rspsam_ConfigureMeasurement(
                vi, function == kMuVoltage ? RSPSAM_FUNCTION_VOLTAGE : RSPSAM_FUNCTION_CURRENT,
                wanted));
            s.function = function;
            cachedRange = wanted;
            s.filter = kUnknown;
        }
    }
    if (mask5 >= 0 && s.mask5 != mask5) {
        KORA_SEND(rspsam_cnx_Matrix(vi, kMeterHi, kAllLines, mask5));
        s.mask5 = mask5;
    }
    if (mask8 < 0 && mask5 >= 0) {
        // Terminal 5 alone: terminal 8 is opened and grounded.
        if (s.mask8 != 0) {
            KORA_SEND(rspsam_cnx_Matrix(vi, kMeterLo, kAllLines, 0));
            s.mask8 = 0;
        }
        if (s.ground8 != 1) {
            KORA_SEND(rspsam_cnx_Gnd(vi, kMeterLo, VI_TRUE));
            s.ground8 = 1;
        }
    } else if (mask8 >= 0) {
        if (s.ground8 != 0) {
            KORA_SEND(rspsam_cnx_Gnd(vi, kMeterLo, VI_FALSE));
            s.ground8 = 0;
        }
        if (s.mask8 != mask8) {
            KORA_SEND(rspsam_cnx_Matrix(vi, kMeterLo, kAllLines, mask8));
            s.mask8 = mask8;
        }
    }
    if (sampleCount >= 0 || GivenNonNegative(interval)) {
        const int32_t count = sampleCount >= 0 ? sampleCount : s.sampleCount;
        const double wanted = GivenNonNegative(interval) ? interval : s.interval;
        if (s.sampleCount != count || Differs(s.interval, wanted)) {
            KORA_SEND(rspsam_ConfigureMultiPoint(vi, 1, count, kSampleTriggerClock, wanted));
            s.sampleCount = count;
            s.interval = wanted;
        }
    }
    if (filter >= 0) {
        const int32_t hertz = filter == 0 ? kWidestFilter : filter;
        if (s.filter != hertz) {
            KORA_SEND(rspsam_mu_ConfigureLowpassFilter(vi, static_cast<double>(hertz)));
            s.filter = hertz;
        }
    }
    // The trigger source counts as given when it is not 0 (nor the no-change value).
    if (GivenNonNegative(delay) || triggerSource > 0) {
        const int32_t source = triggerSource > 0 ? triggerSource : s.triggerSource;
        const double wanted = GivenNonNegative(delay) ? delay : s.delay;
        if (s.triggerSource != source || Differs(s.delay, wanted)) {
            KORA_SEND(rspsam_ConfigureTrigger(vi, source, wanted));
            s.triggerSource = source;
            s.delay = wanted;
        }
    }
    return VI_SUCCESS;
}

// ---- PICT analog output source ----------------------------------------------------------------

ViStatus ConfigureAos(AosSettings& s, ViSession vi, int32_t mode, double frequency, double level,
                      double offset, double dcRange) {
    if (mode == kResetUnit) {
        MarkUnknown(s);
        KORA_SEND(rspict_aos_SetMode(vi, kAosSetModeDc));
        s.mode = kAosDc;
        KORA_SEND(rspict_aos_ConfigureIct(vi, kAosStartFrequencyCode, kAosStartAmplitudeCode,
                                          kAosStartOffsetCode));
        s.frequencyCode = kAosStartFrequencyCode;
        s.amplitudeCode = kAosStartAmplitudeCode;
        s.offsetCode = kAosStartOffsetCode;
        KORA_SEND(rspict_aos_ConfigureDc(vi, kAosDcRanges[kAosStartDcRangeCode],
                                         kAosStartDcRangeCode, kAosStartDcLevel));
        s.dcRangeCode = kAosStartDcRangeCode;
        s.dcLevel = kAosStartDcLevel;
        KORA_SEND(rspict_aos_EnableOutput(vi, VI_FALSE));
        s.outputEnabled = 0;
    }
    if ((mode == kAosDc || mode == kAosAc) && s.mode != mode) {
        KORA_SEND(rspict_aos_SetMode(vi, mode == kAosDc ? kAosSetModeDc : kAosSetModeAc));
        s.mode = mode;
    }
    int32_t enabled = 0;
    if (mode == kAosAc) {
        const int32_t f = AosFrequencyCode(frequency, s.frequencyCode);
        const int32_t a = AosAmplitudeCode(level, s.amplitudeCode);
        const int32_t o = AosOffsetCode(offset, s.offsetCode);
        if (f != s.frequencyCode || a != s.amplitudeCode || o != s.offsetCode) {
            KORA_SEND(rspict_aos_ConfigureIct(vi, f, a, o));
            s.frequencyCode = f;
            s.amplitudeCode = a;
            s.offsetCode = o;
        }
        enabled = 1;
    } else if (mode == kAosDc) {
        const int32_t code = AosDcRangeCode(dcRange, s.dcRangeCode);
        const double wanted = Given(level) ? level : s.dcLevel;
        if (code != s.dcRangeCode || Differs(s.dcLevel, wanted)) {
            const ViInt32 rangeArgument = code >= 0 && code < 4 ? kAosDcRanges[code] : code;
            KORA_SEND(rspict_aos_ConfigureDc(vi, rangeArgument, code, wanted));
            s.dcRangeCode = code;
            s.dcLevel = wanted;
        }
        enabled = 1;
    }
    if (s.outputEnabled != enabled) {
        KORA_SEND(rspict_aos_EnableOutput(vi, enabled ? VI_TRUE : VI_FALSE));
        s.outputEnabled = enabled;
    }
    return VI_SUCCESS;
}

// ---- PICT complex measurement unit ------------------------------------------------------------

ViStatus ConfigureCmu(CmuSettings& s, ViSession vi, int32_t signalMode, int32_t mask1,
                      int32_t mask2, int32_t mask3, int32_t mask4, int32_t mask5, double gainRange,
                      double frequency, int32_t sampleCount, double interval, double delay,
                      int32_t triggerSource) {
    if (signalMode == kResetUnit) {
        MarkUnknown(s);
        KORA_SEND(rspict_cmu_ConfigAutoRange(vi, VI_FALSE));
        KORA_SEND(rspict_cmu_ConfigureSigCon(vi, kCmuStartSignalCode, kCmuStartGainCode,
                                             kCmuCoupling, kCmuStartFilterCode,
                                             CmuGainRangeOf(kCmuStartGainCode)));
        s.signalMode = kCmuStartSignalCode;
        s.gainCode = kCmuStartGainCode;
        s.filterCode = kCmuStartFilterCode;
        KORA_SEND(rspict_cmu_ConfigureTrigger(vi, kTriggerImmediate, 0.0));
        s.triggerSource = kTriggerImmediate;
        s.delay = 0.0;
        KORA_SEND(rspict_cmu_ConfigureRecorder(vi, kCmuStartSamples, kCmuStartInterval));
        s.sampleCount = kCmuStartSamples;
        s.interval = kCmuStartInterval;
    }
    const int32_t signal = CmuSignalCode(signalMode);

    const int32_t given[5] = {mask1, mask2, mask3, mask4, mask5};
    int32_t masks[5];
    bool switches = false;
    for (int i = 0; i < 5; ++i) {
        masks[i] = given[i] >= 0 ? given[i] : s.masks[i];
        switches |= masks[i] != s.masks[i];
    }
    if (switches) {
        KORA_SEND(
            rspict_cnx_ConfigureSwitches(vi, masks[4], masks[0], masks[1], masks[2], masks[3]));
        std::copy(std::begin(masks), std::end(masks), std::begin(s.masks));
    }

    const int32_t filterCode =
        GivenNonNegative(frequency) ? CmuFilterCode(frequency) : s.filterCode;
    const int32_t gainCode = GivenNonNegative(gainRange) ? CmuGainCode(gainRange) : s.gainCode;
    if (signal != s.signalMode || filterCode != s.filterCode || gainCode != s.gainCode) {
        const double range = GivenNonNegative(gainRange) ? gainRange : CmuGainRangeOf(gainCode);
        KORA_SEND(
            rspict_cmu_ConfigureSigCon(vi, signal, gainCode, kCmuCoupling, filterCode, range));
        s.signalMode = signal;
        s.filterCode = filterCode;
        s.gainCode = gainCode;
    }

    const int32_t count = sampleCount >= 0 ? sampleCount : s.sampleCount;
    const double wantedInterval = GivenNonNegative(interval) ? interval : s.interval;
    if ((sampleCount >= 0 || GivenNonNegative(interval)) &&
        (count != s.sampleCount || Differs(s.interval, wantedInterval))) {
        KORA_SEND(rspict_cmu_ConfigureRecorder(vi, count, wantedInterval));
        s.sampleCount = count;
        s.interval = wantedInterval;
    }
    const int32_t source = triggerSource > 0 ? triggerSource : s.triggerSource;
    const double wantedDelay = GivenNonNegative(delay) ? delay : s.delay;
    if ((triggerSource > 0 || GivenNonNegative(delay)) &&
        (source != s.triggerSource || Differs(s.delay, wantedDelay))) {
        KORA_SEND(rspict_cmu_ConfigureTrigger(vi, source, wantedDelay));
        s.triggerSource = source;
        s.delay = wantedDelay;
    }
    return VI_SUCCESS;
}

// ---- PSU --------------------------------------------------------------------------------------

ViStatus ConfigurePsu(PsuSettings& s, ViSession vi, int32_t preset, int32_t ch1Hi, int32_t ch1Lo,
                      double ch1Voltage, double ch1Limit, int32_t ch2Hi, int32_t ch2Lo,
                      double ch2Voltage, double ch2Limit) {
    if (preset == kPsuResetPreset) {
        // CH2's ground stays as remembered (unknown counts as released, the start state).
        const int32_t ground2 = s.ground[1] > 0 ? 1 : 0;
        MarkUnknown(s);
        KORA_SEND(rspsu_ConfigureCoupling(vi, 0));
        s.coupling = 0;
        KORA_SEND(rspsu_DisconnectAll(vi));
        std::fill(std::begin(s.masks), std::end(s.masks), 0);
        KORA_SEND(rspsu_ConfigureGround(vi, kPsuChannels[0], VI_FALSE));
        s.ground[0] = 0;
        KORA_SEND(rspsu_ConfigureGround(vi, kPsuChannels[1], ground2 ? VI_TRUE : VI_FALSE));
        s.ground[1] = ground2;
        for (const char* channel : kPsuChannels) {
            KORA_SEND(rspsu_ConfigureMode(vi, channel, kPsuSupplyMode));
        }
        for (int ch = 0; ch < 2; ++ch) {
            const char* channel = kPsuChannels[ch];
            KORA_SEND(rspsu_ConfigureOutputRange(vi, channel, RSPSU_RANGE_VOLTAGE,
                                                 kPsuStartVoltageRange));
            KORA_SEND(rspsu_ConfigureVoltageLevel(vi, channel, kPsuStartVoltage));
            s.voltage[ch] = kPsuStartVoltage;
            KORA_SEND(rspsu_ConfigureCurrentLimit(vi, channel, kPsuStartLimit));
            s.currentLimit[ch] = kPsuStartLimit;
            KORA_SEND(rspsu_ConfigureOutputRange(vi, channel, RSPSU_RANGE_CURRENT,
                                                 kPsuStartCurrentRange));
            s.outputRange[ch] = kPsuStartCurrentRange;
            KORA_SEND(rspsu_ConfigureOutputEnabled(vi, channel, VI_TRUE));
            KORA_SEND(rspsu_ConfigureMeasurement(vi, channel, kPsuStartSamples,
                                                 kPsuStartSampleInterval, kPsuTriggerImmediate));
        }
        s.preset = kPsuStartPreset;
        preset = kPsuStartPreset;
    }

    const PsuPreset* table = nullptr;
    for (const PsuPreset& p : kPsuPresets) {
        if (p.preset == preset) {
            table = &p;
        }
    }
    if (!table && preset >= 0 && preset != s.preset) {
        if (s.coupling != 0) {
            KORA_SEND(rspsu_ConfigureCoupling(vi, 0));
            s.coupling = 0;
        }
        s.preset = preset;
    }

    // Bus connections: every leaving line of every terminal is disconnected before any entering
    // line is connected, terminal by terminal (CH1_HI, CH1_LO, CH2_HI, CH2_LO) in bit order.
    const int32_t given[4] = {ch1Hi, ch1Lo, ch2Hi, ch2Lo};
    for (int pass = 0; pass < 2; ++pass) {
        for (int t = 0; t < 4; ++t) {
            if (given[t] < 0) {
                continue;
            }
            const int32_t lines = PsuLinesOf(t);
            const int32_t wanted = given[t] & lines;
            const bool known = s.masks[t] >= 0;
            const int32_t old = known ? s.masks[t] : lines & ~wanted; // unknown: open the rest
            const int32_t change = pass == 0 ? old & ~wanted : wanted & ~(known ? old : 0);
            for (int bit = 0; bit < 8; ++bit) {
                if (!(change & (1 << bit))) {
                    continue;
                }
                if (pass == 0) {
                    KORA_SEND(rspsu_Disconnect(vi, kPsuTerminals[t], kBusLines[bit]));
                } else {
                    KORA_SEND(rspsu_Connect(vi, kPsuTerminals[t], kBusLines[bit]));
                }
                if (known) {
                    s.masks[t] ^= 1 << bit;
                }
            }
            if (pass == 1) {
                s.masks[t] = wanted;
            }
        }
    }

    // Grounds, voltages, current ranges and limits of each channel.
    const double voltages[2] = {ch1Voltage, ch2Voltage};
    const double limits[2] = {ch1Limit, ch2Limit};
    for (int ch = 0; ch < 2; ++ch) {
        const char* channel = kPsuChannels[ch];
        if (table && table->ground[ch] >= 0 && s.ground[ch] != table->ground[ch]) {
            KORA_SEND(rspsu_ConfigureGround(vi, channel, table->ground[ch] ? VI_TRUE : VI_FALSE));
            s.ground[ch] = table->ground[ch];
        }
        if (Given(voltages[ch]) && Differs(s.voltage[ch], voltages[ch])) {
            KORA_SEND(rspsu_ConfigureVoltageLevel(vi, channel, voltages[ch]));
            s.voltage[ch] = voltages[ch];
        }
        if (table && table->range[ch] > 0 && Differs(s.outputRange[ch], table->range[ch])) {
            const double range = table->range[ch];
            // A range below the present (or an unknown) limit needs the limit lowered first.
            if (!(s.currentLimit[ch] <= range)) {
                const double limit = Given(limits[ch]) ? limits[ch] : range;
                KORA_SEND(rspsu_ConfigureCurrentLimit(vi, channel, limit));
                s.currentLimit[ch] = limit;
            }
            KORA_SEND(rspsu_ConfigureOutputRange(vi, channel, RSPSU_RANGE_CURRENT, range));
            s.outputRange[ch] = range;
        }
        if (Given(limits[ch]) && Differs(s.currentLimit[ch], limits[ch])) {
            KORA_SEND(rspsu_ConfigureCurrentLimit(vi, channel, limits[ch]));
            s.currentLimit[ch] = limits[ch];
        }
    }

    if (table) {
        if (s.coupling != table->coupling) {
            KORA_SEND(rspsu_ConfigureCoupling(vi, table->coupling));
            s.coupling = table->coupling;
        }
        s.preset = table->preset;
    }
    return VI_SUCCESS;
}

#undef KORA_SEND

// ---- reads ------------------------------------------------------------------------------------

double MeanOfRecord(double* samples, int32_t count, bool smoothing, int32_t* used) {
    int32_t n = std::max(count, 0);
    if (smoothing && n >= kSmoothingTaps) {
        // In place: output i reads samples i .. i + 6, which no earlier output has overwritten.
        n -= kSmoothingTaps - 1;
        for (int32_t i = 0; i < n; ++i) {
            double sum = 0;
            for (int k = 0; k < kSmoothingTaps; ++k) {
                sum += kSmoothingWeights[k] * samples[i + k];
            }
            samples[i] = sum / kSmoothingDivisor;
        }
    }
    double sum = 0;
    for (int32_t i = 0; i < n; ++i) {
        sum += samples[i];
    }
    if (used) {
        *used = n;
    }
    return n > 0 ? sum / n : 0.0;
}

int32_t RangeCoverage(double mean, double range) {
    if (!(range > 0)) {
        return 0;
    }
    const double percent = mean * 100 / range + 0.5;
    constexpr double kLimit = std::numeric_limits<int32_t>::max();
    if (std::isnan(percent)) {
        return 0;
    }
    return static_cast<int32_t>(std::clamp(percent, -kLimit, kLimit)); // integer part
}

ViStatus ReadMultiPoint(ViSession vi, double* buffer, int32_t count, bool smoothing,
                        int32_t timeoutMs, double range, ReadResult* out) {
    return Read(rspsam_ReadMultiPoint, vi, buffer, count, smoothing, timeoutMs, range, out);
}

ViStatus CmuRead(ViSession vi, double* buffer, int32_t count, bool smoothing, int32_t timeoutMs,
                 double range, ReadResult* out) {
    return Read(rspict_cmu_Read, vi, buffer, count, smoothing, timeoutMs, range, out);
}

ViStatus ReadAutoRange(MuSettings& s, ViSession vi, int32_t startIndex, bool autoRange,
                       double* buffer, int32_t count, bool smoothing, int32_t timeoutMs,
                       AutoRangeResult* out) {
    const bool current = s.function == kMuCurrent;
    if (!current && s.function != kMuVoltage) {
        return static_cast<ViStatus>(ParamError(1));
    }
    const double* table = current ? kMuCurrentRanges : kMuVoltageRanges;
    const int32_t top = (current ? kCurrentRangeCount : kVoltageRangeCount) - 1;
    if (startIndex < 0 || startIndex > top) {
        return static_cast<ViStatus>(ParamError(3));
    }
    AutoRangeResult result;
    result.rangeIndex = startIndex;
    bool steppedUp = false, steppedDown = false;
    ViStatus status = VI_SUCCESS;
    for (;;) {
        result.range = table[result.rangeIndex];
        ReadResult read;
        status = ReadMultiPoint(vi, buffer, count, smoothing, timeoutMs, result.range, &read);
        if (status < 0) {
            break;
        }
        result.mean = read.mean;
        result.count = read.count;
        result.coverage = std::abs(RangeCoverage(read.mean, result.range));
        const int32_t cov = result.coverage;
        int step = 0;
        if (cov >= kOverCoverage) {
            if (!autoRange || result.rangeIndex == top) {
                result.overUnder = 1;
                break;
            }
            step = 1;
        } else if (cov < kUpperCoverage) {
            if (cov >= kEnoughCoverage || !autoRange || result.rangeIndex == 0 || steppedUp) {
                result.overUnder = cov < kUnderCoverage ? -1 : 0;
                break;
            }
            step = -1;
        } else {
            if (!autoRange || result.rangeIndex == top) {
                break;
            }
            step = 1;
        }
        if (step > 0 && steppedDown) {
            autoRange = false; // no way back down: the search cannot oscillate
        }
        const int32_t next = result.rangeIndex + step;
        status = rspsam_ConfigureMeasurement(
            vi, current ? RSPSAM_FUNCTION_CURRENT : RSPSAM_FUNCTION_VOLTAGE, table[next]);
        if (status < 0) {
            break;
        }
        (current ? s.currentRange : s.voltageRange) = table[next];
        s.filter = kUnknown; // as after every change of the measurement (ConfigureMu step 2)
        result.rangeIndex = next;
        result.steps += step;
        (step > 0 ? steppedUp : steppedDown) = true;
    }
    result.range = table[result.rangeIndex];
    if (out) {
        *out = result;
    }
    return status;
}

} // namespace kora
