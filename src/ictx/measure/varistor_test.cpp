// The varistor test: the clamp current in each polarity at a pulsed voltage. The PSAM's source
// drives the part between its idle level ("V.OFFSET") and the polarity's "VOLTAGE", "FREQUENCY"
// pulses a second with "DUTYCYCLE" percent of each period on, so that a part that conducts
// hard is not heated by the test; the meter, an ammeter in the part's return, reads during each
// pulse after the settling "DELAY"; the clamp current is the mean over "PERIODS" pulses.
#include "ictx/measure/component_tests.h"
#include "ictx/measure/semis_frame.h"

#include "ictx/program/component_compile.h"

#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspsam.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace kora {

namespace {

constexpr ClassTraits kVaristorClass = {
    "VARISTOR", "", "ICTX_VARISTOR", "ICTX_VARISTOR[ %li ]\n\nBENCH=%s\n\n%s", "", kUnitAmpere};

struct PolarityNames {
    const char* stim;
    const char* meas;
    const char* limits;
    const char* details;
    const char* graph;
    const char* result;
    const char* tag;
};
constexpr PolarityNames kPolarities[2] = {
    {"SETTINGS|I.CLAMP+|STIM", "SETTINGS|I.CLAMP+|MEAS", "VALIDATION|I.CLAMP+",
     "DETAILS|MEAS|I.CLAMP+", "CLAMP+", "ICLAMP+", "VARISTOR.ICLAMP+"},
    {"SETTINGS|I.CLAMP-|STIM", "SETTINGS|I.CLAMP-|MEAS", "VALIDATION|I.CLAMP-",
     "DETAILS|MEAS|I.CLAMP-", "CLAMP-", "I.CLAMP-", "VARISTOR.ICLAMP-"},
};
constexpr const char* kMarkOver = ",OR";
constexpr const char* kMarkLimit = ",ILIM";

constexpr int32_t kCmuOpen = 1;
constexpr int32_t kVoltageSource = 1;
constexpr int32_t kPsuPreset = 9;
constexpr int32_t kQueryCurrent = 1;

// The stimulus when the file gives none: 5 V pulses of 1 ms (100 Hz, 10 %) limited to 10 mA,
// read 100 us after each edge, over 4 periods.
constexpr double kDefaultVoltage = 5.0;
constexpr double kDefaultLimit = 10e-3;
constexpr double kDefaultFrequency = 100.0;
constexpr int32_t kDefaultDuty = 10;
constexpr int32_t kDefaultPeriods = 4;
constexpr double kDefaultDelay = 100e-6;
constexpr double kDefaultInterval = 5e-6;

thread_local std::array<double, kMaxReadSamples> tlsRecord;

void LoadDefaults(SemiBlock& b) {
    const ComponentRecord& r = *b.head.record;
    // A polarity the file gives no level or limit takes the other's: the second polarity is the
    // first's mirror, whatever sign the file gives it.
    SubBlock& plus = b.sub[0];
    SubBlock& minus = b.sub[1];
    if (!(r.paramMask & kParamV)) {
        plus.voltage = kDefaultVoltage;
    }
    for (double* v : {&plus.voltage, &minus.voltage, &plus.current, &minus.current}) {
        *v = std::fabs(*v);
    }
    plus.voltage = plus.voltage > 0 ? plus.voltage : minus.voltage;
    minus.voltage = -(minus.voltage > 0 ? minus.voltage : plus.voltage);
    if (!(r.paramMask & kParamC)) {
        plus.current = kDefaultLimit;
    }
    plus.current = plus.current > 0 ? plus.current : minus.current;
    minus.current = minus.current > 0 ? minus.current : plus.current;
    for (int k = 0; k < 2; ++k) {
        SubBlock& s = b.sub[k];
        if (!(r.paramMask & kParamF) || s.frequency <= 0) {
            s.frequency = kDefaultFrequency;
        }
        if (!(r.paramMask & kParamSD) || s.duty <= 0) {
            s.duty = kDefaultDuty;
        }
        if (!(r.paramMask & kParamMA)) {
            s.average = kDefaultPeriods;
        }
        if (!(r.paramMask & kParamMD)) {
            s.delay = kDefaultDelay;
        }
        if (s.interval <= 0) {
            s.interval = kDefaultInterval;
        }
    }
}

void DefineVaristor(SemiBlock& b) {
    LoadDefaults(b);
    for (int k = 0; k < 2; ++k) {
        SubBlock& s = b.sub[k];
        const PolarityNames& n = kPolarities[k];
        rvo_DefineAttrR("FREQUENCY", n.stim, &s.frequency, 0, nullptr);
        rvo_DefineAttrI("DUTYCYCLE", n.stim, &s.duty, kUnitPercent, nullptr);
        DefineSubStim(s, n.stim, "VOLTAGE", "I.LIMIT");
        rvo_DefineAttrR("V.OFFSET", n.stim, &s.offset, kUnitVolt, nullptr);
        rvo_DefineAttrI("I.REG", n.stim, &s.regulated, 0, kShown);
        rvo_DefineAttrR("DELAY", n.meas, &s.delay, kUnitSecond, nullptr);
        rvo_DefineAttrI("PERIODS", n.meas, &s.average, 0, nullptr);
    }
    for (int k = 0; k < 2; ++k) {
        DefineSubLimits(b, k, kPolarities[k].limits, false, kUnitAmpere);
    }
    DefineRolePins(b, false);
}

void DefineVaristorDetails(SemiBlock& b) {
    for (int k = 0; k < 2; ++k) {
        rvo_DefineAttrI("#READ", kPolarities[k].details, &b.sub[k].reads, 0, kShown);
        rvo_DefineAttrR("INTERVAL", kPolarities[k].details, &b.sub[k].interval, kUnitSecond,
                        kShown);
    }
}

// The source's level and limit, its masks unchanged.
bool Level(BenchRecord& bench, double volts, double limit, ModuleErrors& errors) {
    errors.psam = ConfigureDcs(bench.ict.dcs, bench.ictModules[kIctPsam].handle, 1, kKeep, kKeep,
                               kKeep, kKeep, kVoltageSource, volts, limit, 0, kKeep);
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    return true;
}

// One polarity: the pulses, a read on each, the mean of all. The part's current enters the meter
// at its - terminal and reads with the sign opposite to the stimulus's; the clamp current is
// reported as its magnitude in the stimulus's direction.
long MeasurePolarity(SemiBlock& b, int k, ModuleErrors& errors, bool& ok) {
    BenchRecord& bench = *b.head.bench;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    SubBlock& s = b.sub[k];
    const PolarityNames& n = kPolarities[k];
    ok = false;
    const int32_t periods = std::clamp(s.average, 1, kMaxReadSamples);
    const double period = 1.0 / (s.frequency > 0 ? s.frequency : kDefaultFrequency);
    const double on = period * std::clamp(s.duty, 1, 100) / 100.0;
    const double sampled = std::max(on - s.delay, s.interval);
    const int32_t perPulse = static_cast<int32_t>(std::clamp(
        std::floor(sampled / s.interval), 1.0, static_cast<double>(kMaxReadSamples / periods)));
    const double range = RangeAtLeast(kMuCurrentRanges, s.current);
    errors.psam = ConfigureMu(bench.ict.mu, psam, kMuCurrent, 0x11, 0x22, range, 0, perPulse,
                              s.interval, s.delay, 1);
    if (errors.psam < 0) {
        return 0;
    }
    double sum = 0;
    int32_t count = 0;
    bool over = false;
    s.regulated = 0;
    for (int32_t p = 0; p < periods; ++p) {
        if (!Level(bench, s.voltage, std::fabs(s.current), errors)) {
            return 0;
        }
        ReadResult read;
        const ViStatus status = ReadMultiPoint(psam, tlsRecord.data() + count, perPulse, false,
                                               kSemiReadTimeoutMs, range, &read);
        if (status < 0) {
            errors.psam = status;
            return 0;
        }
        over = over || status == RSPSAM_WARN_OVER_RANGE;
        ViBoolean limited = VI_FALSE;
        if ((errors.psam = rspsam_dcs_QueryOutputState(psam, kQueryCurrent, &limited)) < 0) {
            return 0;
        }
        s.regulated = s.regulated || limited != VI_FALSE;
        sum += read.mean * read.count;
        count += read.count;
        if (!Level(bench, s.offset, std::fabs(s.current), errors)) {
            return 0;
        }
        WaitSeconds(period - on);
    }
    errors.psam = 0;
    ok = true;
    s.reads = count;
    s.mean = count > 0 ? sum / count : 0;
    b.head.reads = count;
    b.head.measTime = count * s.interval;
    SetGraph(b.head, tlsRecord.data(), count, n.graph);
    char comment[64];
    CopyText(comment, n.tag);
    if (s.regulated) {
        AppendMarker(comment, sizeof comment, kMarkLimit);
    }
    if (over) {
        AppendMarker(comment, sizeof comment, kMarkOver);
        s.value = kAboveRange;
    } else if (count > 0) {
        s.value = s.voltage < 0 ? s.mean : -s.mean;
        s.valid = 1;
    }
    return VerifySub(b, k, n.result, kUnitAmpere, comment);
}

long MeasureVaristor(SemiBlock& b, PinConnector& pins, ModuleErrors& errors, StepError& error) {
    BenchRecord& bench = *b.head.bench;
    IctHardware& ict = bench.ict;
    if (!bench.ictModules[kIctPsu].inUse) {
        error.Set(kErrResource, kNoPsuAvailable);
        return 0;
    }
    if (bench.ictModules[kIctPict].inUse) {
        errors.pict = ConfigureCmu(ict.cmu, bench.ictModules[kIctPict].handle, kCmuOpen, 0, 0, 0, 0,
                                   0, -1.0, -1.0, kKeep, -1.0, -1.0, kKeep);
        if (errors.pict < 0) {
            return 0;
        }
        errors.pict = 0;
    }
    // The supply's second channel on its own lines, none of the part's.
    errors.psu = ConfigurePsu(ict.psu, bench.ictModules[kIctPsu].handle, kPsuPreset, 0, 0,
                              kKeepReal, kKeepReal, 0, 0, kKeepReal, kKeepReal);
    if (errors.psu < 0) {
        return 0;
    }
    errors.psu = 0;
    const int first = b.sub[0].enabled ? 0 : 1;
    // Force HI on A, force LO (and its sense) with the meter's + terminal on D: the meter's -
    // terminal on C takes the part's LO pin, so the ammeter closes the loop.
    errors.psam =
        ConfigureDcs(ict.dcs, bench.ictModules[kIctPsam].handle, 1, 0x88, 0x11, 0x88, 0x11,
                     kVoltageSource, b.sub[first].offset, std::fabs(b.sub[first].current), 0, 1);
    if (errors.psam < 0) {
        return 0;
    }
    errors.psam = 0;
    if (!ConnectRoles(b, first, pins, errors)) {
        return 0;
    }
    MarkTime(b.head, kTimeSetup);
    long result = 0;
    for (int k = 0; k < 2; ++k) {
        if (!b.sub[k].enabled) {
            continue;
        }
        bool ok = false;
        result = Worse(result, MeasurePolarity(b, k, errors, ok));
        if (!ok) {
            return result;
        }
    }
    MarkTime(b.head, kTimeMeasure);
    return result;
}

constexpr SemiClass kVaristor = {kVaristorClass, 2, DefineVaristor, DefineVaristorDetails,
                                 MeasureVaristor};

} // namespace

EN_NEV_RESULT TestVaristor(ComponentCall& call) {
    return RunSemiMethod(call, kVaristor);
}

} // namespace kora
