// The resistor test: DC resistance between the two test pins, with the PSAM as voltage source and
// ammeter, as current source and voltmeter, on two or four wires, or guarded with the PICT's
// measurement unit as virtual-ground ammeter.
#include "ictx/measure/component_frame.h"
#include "ictx/measure/component_tests.h"
#include "ictx/measure/unit_control.h"
#include "ictx/program/component_compile.h"
#include "ictx/program/component_writer.h"

#include "frame/args.h"
#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspict.h>
#include <rspsam.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace kora {

namespace {

enum WireMode : int32_t {
    kTwoVoltage,
    kTwoCurrent,
    kFourVSensed,
    kFourCSensed,
    kThreeGuarded,
    kFourGuarded,
    kSixGuarded,
    kWireModes
};

constexpr const char* kWireModeList =
    "2-VOLTAGE,2-CURRENT,4-VSENSED,4-CSENSED,3-GUARDED,4-GUARDED,6-GUARDED";
constexpr const char* kWireTags[kWireModes] = {"RESISTOR.2V",  "RESISTOR.2C", "RESISTOR.4VS",
                                               "RESISTOR.4CS", "RESISTOR.3G", "RESISTOR.4G",
                                               "RESISTOR.6G"};
constexpr const char* kFilterList = "DIGITAL,400,4000,40000,100000,NONE";
constexpr const char* kCurrentRangeList =
    "0.001,0.002,0.005,0.01,0.02,0.05,0.1,0.2,0.5,1,2,5,10,20,50,100";
constexpr const char* kVoltageRangeList = "0.01,0.02,0.05,0.1,0.2,0.5,1,2,5,10,20,50,100";
constexpr int32_t kFilterDigital = 0;
constexpr int32_t kFilterNone = 5;
constexpr int32_t kFilterHertz[] = {0, 400, 4000, 40000, 100000, 0};

constexpr ClassTraits kResistorClass = {"RESISTOR",      "RES0",
                                        "ICTX_RESISTOR", "ICTX_RESISTOR[ %li ]\n\nBENCH=%s\n\n%s",
                                        kWireModeList,   kUnitOhm};

constexpr const char* kGroupStim = "SETTINGS|STIM";
constexpr const char* kGroupMeas = "SETTINGS|MEAS";
constexpr const char* kGroupCorr = "VALIDATION|CORR";
constexpr const char* kGroupDetailMeas = "DETAILS|MEAS";

constexpr const char* kBadTestPins = "Invalid test pin selection (HI|LO)";
constexpr const char* kBadSensePins = "Invalid SENSE pin selection (SH|SL)";
constexpr const char* kBadGuardPins = "Invalid GUARD pin selection (GPx)";
constexpr const char* kBadGuardSense = "Invalid GUARD pin selection (GPx|GS)";
constexpr const char* kHiParity = "TP HI/SH: Have to be odd/even or even/odd pin number";
constexpr const char* kLoParity = "TP LO/SL: Have to be odd/even or even/odd pin number";
constexpr const char* kNoPict = "ERROR: No GUARDING without PICT module";
constexpr const char* kNoPsam = "ICTDevice PSAM not defined";

constexpr int32_t kReadTimeoutMs = 1000;
constexpr int32_t kPsuCouplingOff = 8;

struct ResistorBlock {
    ComponentBlock head;
    int32_t wireMode;
    // SETTINGS|STIM
    double voltage;
    double currentLimit;
    int32_t currentRegulated;
    // SETTINGS|MEAS
    double delay;
    int32_t average;
    double interval;
    char filter[16];
    int32_t autorange;
    char rangeCurrent[16];
    char rangeVoltage[16];
    int32_t coverage;
    int32_t rangeSteps;
    // DETAILS|MEAS
    double mean;
};

// RES0: the component's own fixture compensation when the compensation step measured one, else
// the bench's system value; nothing for the compensation component itself.
double ResistorCompensation(const ComponentBlock& b) {
    if (b.flags & kFlagCompensation) {
        return 0.0;
    }
    return b.record->compensation != 0 ? b.record->compensation : b.bench->compensation[kSysR0];
}

bool CurrentMode(int32_t mode) {
    return mode == kTwoCurrent || mode == kFourCSensed;
}
bool Guarded(int32_t mode) {
    return mode >= kThreeGuarded;
}
bool Sensed(int32_t mode) {
    return mode == kFourVSensed || mode == kFourCSensed || mode == kSixGuarded;
}

int32_t DefaultWireMode(const ComponentBlock& b, char modeChar) {
    const int* d = b.pinDefined;
    const bool guard = d[kSlotGp1] || d[kSlotGp2] || d[kSlotGp3] || d[kSlotGp4];
    const bool bothSense = d[kSlotSenseHi] && d[kSlotSenseLo];
    const bool anySense = d[kSlotSenseHi] || d[kSlotSenseLo];
    const bool current = modeChar == 'C';
    if (!guard && !anySense) {
        return current ? kTwoCurrent : kTwoVoltage;
    }
    if (!guard && bothSense) {
        return current ? kFourCSensed : kFourVSensed;
    }
    if (guard && !anySense) {
        return d[kSlotGs] ? kFourGuarded : kThreeGuarded;
    }
    if (guard && bothSense && d[kSlotGs]) {
        return kSixGuarded;
    }
    return kTwoVoltage;
}

void LoadSettings(ResistorBlock& r) {
    const SubTest& s = r.head.record->sub[0];
    r.voltage = s.v;
    r.currentLimit = s.c;
    r.delay = s.md;
    r.average = s.ma;
    r.interval = s.mi;
    KeywordText(kFilterList, static_cast<int32_t>(s.mfIndex), r.filter, sizeof r.filter);
    r.autorange = s.ar != 0;
    KeywordText(kCurrentRangeList, static_cast<int32_t>(s.crIndex), r.rangeCurrent,
                sizeof r.rangeCurrent);
    KeywordText(kVoltageRangeList, static_cast<int32_t>(s.vrIndex), r.rangeVoltage,
                sizeof r.rangeVoltage);
}

// The settings as the record keeps them; true when anything changed.
bool StoreSettings(ResistorBlock& r) {
    ComponentRecord& rec = *r.head.record;
    SubTest& s = rec.sub[0];
    bool changed = false;
    auto real = [&](double& field, double value, uint32_t bit) {
        if (field != value) {
            field = value;
            rec.paramMask |= bit;
            changed = true;
        }
    };
    auto integer = [&](int32_t& field, int32_t value, uint32_t bit) {
        if (field != value) {
            field = value;
            rec.paramMask |= bit;
            changed = true;
        }
    };
    real(s.v, r.voltage, kParamV);
    real(s.c, r.currentLimit, kParamC);
    real(s.md, r.delay, kParamMD);
    integer(s.ma, r.average, kParamMA);
    real(s.mi, r.interval, kParamMI);
    integer(s.ar, r.autorange ? 1 : 0, kParamAR);
    real(s.mc, r.head.correction, kParamMC);
    if (s.az != (r.head.autozero ? 1 : 0)) {
        s.az = r.head.autozero ? 1 : 0;
        rec.paramMask2 |= kParam2AZ;
        changed = true;
    }
    const int32_t filter = KeywordIndex(r.filter, kFilterList, static_cast<int32_t>(s.mfIndex));
    if (static_cast<uint32_t>(filter) != s.mfIndex) {
        s.mfIndex = static_cast<uint32_t>(filter);
        s.mf = kSampleRates[filter];
        rec.paramMask |= kParamMF;
        changed = true;
    }
    const int32_t cr =
        KeywordIndex(r.rangeCurrent, kCurrentRangeList, static_cast<int32_t>(s.crIndex));
    if (static_cast<uint32_t>(cr) != s.crIndex) {
        s.crIndex = static_cast<uint32_t>(cr);
        s.cr = kCurrentRanges[cr];
        rec.paramMask |= kParamCR;
        changed = true;
    }
    const int32_t vr =
        KeywordIndex(r.rangeVoltage, kVoltageRangeList, static_cast<int32_t>(s.vrIndex));
    if (static_cast<uint32_t>(vr) != s.vrIndex) {
        s.vrIndex = static_cast<uint32_t>(vr);
        s.vr = kVoltageRanges[vr];
        rec.paramMask |= kParamVR;
        changed = true;
    }
    return changed;
}

// Attributes that only some wire modes use are shown disabled in the others.
void EnableForMode(ResistorBlock& r) {
    ComponentBlock& b = r.head;
    const int32_t mode = r.wireMode;
    rvo_SetAttrEnabled(b.component, b.pinText[kSlotSenseHi], Sensed(mode));
    rvo_SetAttrEnabled(b.component, b.pinText[kSlotSenseLo], Sensed(mode));
    for (int g = kSlotGp1; g <= kSlotGp4; ++g) {
        rvo_SetAttrEnabled(b.component, b.pinText[g], Guarded(mode));
    }
    rvo_SetAttrEnabled(b.component, b.pinText[kSlotGs],
                       mode == kFourGuarded || mode == kSixGuarded);
    rvo_SetAttrEnabled(b.component, r.rangeVoltage, CurrentMode(mode));
    rvo_SetAttrEnabled(b.component, r.rangeCurrent, !CurrentMode(mode));
}

void DefineAttributes(ResistorBlock& r) {
    ComponentBlock& b = r.head;
    DefineHeadAttributes(b, kResistorClass);
    rvo_DefineAttrR("VOLTAGE", kGroupStim, &r.voltage, kUnitVolt, nullptr);
    rvo_DefineAttrR("I.LIMIT", kGroupStim, &r.currentLimit, kUnitAmpere, nullptr);
    rvo_DefineAttrI("I.REG", kGroupStim, &r.currentRegulated, 0, kShown);
    rvo_DefineAttrR("DELAY", kGroupMeas, &r.delay, kUnitSecond, nullptr);
    rvo_DefineAttrI("AVERAGE", kGroupMeas, &r.average, 0,
                    "number of measurements to calculate average over");
    rvo_DefineAttrR("INTERVAL", kGroupMeas, &r.interval, kUnitSecond,
                    "interval between measurements");
    rvo_DefineAttrSList("FILTER", kGroupMeas, r.filter, sizeof r.filter, kFilterList, nullptr);
    rvo_DefineAttrI("AUTORANGE", kGroupMeas, &r.autorange, 0, kBoolean);
    rvo_DefineAttrSList("RANGE.CURRENT", kGroupMeas, r.rangeCurrent, sizeof r.rangeCurrent,
                        kCurrentRangeList, nullptr);
    rvo_DefineAttrSList("RANGE.VOLTAGE", kGroupMeas, r.rangeVoltage, sizeof r.rangeVoltage,
                        kVoltageRangeList, nullptr);
    rvo_DefineAttrI("RANGE.COV", kGroupMeas, &r.coverage, 0, kShown);
    rvo_DefineAttrI("RANGE.ADJ", kGroupMeas, &r.rangeSteps, 0, "+/- up/down");
    DefineLimitAttributes(b, kResistorClass);
    rvo_DefineAttrR("MEAS", kGroupCorr, &b.correction, kUnitOhm, "Measurement value");
    rvo_DefineAttrR("RES0", kGroupCorr, &b.compensation, kUnitOhm, "Compensation");
    rvo_DefineAttrI("AUTOZERO", kGroupCorr, &b.autozero, 0, kBoolean);
    rvo_DefineAttrR("CUR0", kGroupCorr, &b.offset, kUnitAmpere, "CMU Offset");
    DefineAdjustAttributes(b);
    DefinePinAttributes(b, kResistorClass);
    DefineDetailAttributes(b);
    rvo_DefineAttrR(CurrentMode(r.wireMode) ? "U.AVG" : "I.AVG", kGroupDetailMeas, &r.mean,
                    CurrentMode(r.wireMode) ? kUnitVolt : kUnitAmpere, kShown);
    DefineTimeAttributes(b);
    EnableForMode(r);
}

long ResistorCallback(long reason, void* context, long contextSize);

void Define(ResistorBlock& r, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = r.head;
    if (!PrepareComponentBlock(b, call, kResistorClass, error)) {
        return;
    }
    LoadSettings(r);
    r.wireMode = DefaultWireMode(b, b.record->sub[0].mode);
    KeywordText(kWireModeList, r.wireMode, b.method, sizeof b.method);
    b.compensation = ResistorCompensation(b);
    r.currentRegulated = -1;
    r.coverage = 999;
    DefineAttributes(r);
    RegisterAttributeCallback(b, ResistorCallback);
}

// The pin checks of the wire mode; false with the error set.
bool CheckPins(const ResistorBlock& r, StepError& error) {
    const ComponentBlock& b = r.head;
    const int* d = b.pinDefined;
    const int32_t mode = r.wireMode;
    if (!d[kSlotHi] || !d[kSlotLo]) {
        return error.Set(kErrResource, kBadTestPins);
    }
    // Six-wire guarding checks its sense pins after its guard pins, below.
    const bool senseMissing = !d[kSlotSenseHi] || !d[kSlotSenseLo];
    if ((mode == kFourVSensed || mode == kFourCSensed) && senseMissing) {
        return error.Set(kErrResource, kBadSensePins);
    }
    if (Guarded(mode) && !(d[kSlotGp1] || d[kSlotGp2] || d[kSlotGp3])) {
        return error.Set(kErrResource, kBadGuardPins);
    }
    if ((mode == kFourGuarded || mode == kSixGuarded) && !d[kSlotGs]) {
        return error.Set(kErrResource, kBadGuardSense);
    }
    if (mode == kSixGuarded) {
        if (senseMissing) {
            return error.Set(kErrResource, kBadSensePins);
        }
        if ((b.pin[kSlotHi]->pinIndex & 1) == (b.pin[kSlotSenseHi]->pinIndex & 1)) {
            return error.Set(kErrResource, kHiParity);
        }
        if ((b.pin[kSlotLo]->pinIndex & 1) == (b.pin[kSlotSenseLo]->pinIndex & 1)) {
            return error.Set(kErrResource, kLoParity);
        }
    }
    if (Guarded(mode) && !b.bench->ictModules[kIctPict].inUse) {
        return error.Set(kErrResource, kNoPict);
    }
    return true;
}

struct MeasureSettings {
    int32_t filterIndex;
    int32_t filterHertz; // 0 = the widest
    bool smoothing;
    int32_t samples;
    int32_t currentIndex;
    int32_t voltageIndex;
};

MeasureSettings SettingsOf(const ResistorBlock& r) {
    MeasureSettings m{};
    m.filterIndex = KeywordIndex(r.filter, kFilterList, kFilterDigital);
    m.filterHertz = kFilterHertz[m.filterIndex];
    m.smoothing = m.filterIndex == kFilterDigital;
    m.samples = std::clamp(r.average, 1, kMaxReadSamples);
    m.currentIndex = KeywordIndex(r.rangeCurrent, kCurrentRangeList, 0);
    m.voltageIndex = KeywordIndex(r.rangeVoltage, kVoltageRangeList, 0);
    (void)kFilterNone;
    return m;
}

// Sends the configuration of the wire mode; false on the first driver error.
bool Configure(ResistorBlock& r, const MeasureSettings& m, ModuleErrors& errors) {
    ComponentBlock& b = r.head;
    BenchRecord& bench = *b.bench;
    IctHardware& ict = bench.ict;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    const int32_t mode = r.wireMode;
    if (bench.ictModules[kIctPsu].inUse) {
        errors.psu = ConfigurePsu(ict.psu, bench.ictModules[kIctPsu].handle, kPsuCouplingOff, kKeep,
                                  kKeep, kKeepReal, kKeepReal, kKeep, kKeep, kKeepReal, kKeepReal);
        if (errors.psu < 0) {
            return false;
        }
        errors.psu = 0;
    }
    struct Dcs {
        int32_t m1, m4, m2, m3, attribute;
    };
    static constexpr Dcs kDcs[kWireModes] = {
        {0x88, 0x22, 0x88, 0x44, 1},
        {0x88, 0x44, 0x88, 0x44, 0},
        {0x88, 0, 0x22, 0x11, 1},
        {0x88, 0x44, 0x88, 0x44, 0},
        {0x88, 0x22, 0x88, 0x22, 0},
        {0x88, 0x22, 0x88, 0x11, 0},
        {0, 0, 0, 0, 0},
    };
    Dcs dcs = kDcs[mode];
    if (mode == kSixGuarded) {
        // Six wires: force and sense HI take the two A lines by the parity of the HI pin. The LO
        // side is set as in four-wire guarding (force LO on the guard lines, sense LO on the
        // guard-sense lines), not left as the component before left it: force LO on the LO
        // pin's lines would return the current past the PICT's measurement unit, and sense LO
        // anywhere but at the guard-sense pin would shift HI by the guard lead's drop.
        const bool hiOdd = (b.pin[kSlotHi]->pinIndex & 1) != 0;
        dcs = {hiOdd ? 0x08 : 0x80, 0x22, hiOdd ? 0x80 : 0x08, 0x11, 0};
    }
    errors.psam = ConfigureDcs(ict.dcs, psam, 1, dcs.m1, dcs.m4, dcs.m2, dcs.m3, dcs.attribute,
                               r.voltage, r.currentLimit, 0, 1);
    if (errors.psam < 0) {
        return false;
    }
    struct Mu {
        int32_t function, m5, m8;
    };
    static constexpr Mu kMu[kWireModes] = {
        {kMuCurrent, 0x44, 0x22},
        {kMuVoltage, 0x88, 0x44},
        {kMuCurrent, 0x44, 0},
        {kMuVoltage, 0x22, 0x11},
        {kKeep, 0, 0},
        {kKeep, 0, 0},
        {kKeep, 0, 0},
    };
    const Mu mu = kMu[mode];
    const double range = mu.function == kMuCurrent   ? kMuCurrentRanges[m.currentIndex]
                         : mu.function == kMuVoltage ? kMuVoltageRanges[m.voltageIndex]
                                                     : -1.0;
    errors.psam = ConfigureMu(ict.mu, psam, mu.function, mu.m5, mu.m8, range, m.filterHertz,
                              m.samples, r.interval, r.delay, 1);
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    if (bench.ictModules[kIctPict].inUse) {
        std::array<int32_t, 5> masks{};
        int32_t signal = 0;
        if (mode == kThreeGuarded) {
            masks = {0x0C, 0xC0, 0xC0, 0xC00, 0};
        } else if (mode == kFourGuarded) {
            masks = {0x0C, 0xC0, 0xC0, 0x3000, 0};
        } else if (mode == kSixGuarded) {
            const bool loOdd = (b.pin[kSlotLo]->pinIndex & 1) != 0;
            masks = loOdd ? std::array<int32_t, 5>{0x08, 0xC0, 0x40, 0x3000, 0}
                          : std::array<int32_t, 5>{0x04, 0xC0, 0x80, 0x3000, 0};
        }
        if (Guarded(mode)) {
            signal = 7;
        }
        errors.pict = ConfigureCmu(
            ict.cmu, bench.ictModules[kIctPict].handle, signal, masks[0], masks[1], masks[2],
            masks[3], masks[4], kMuCurrentRanges[m.currentIndex],
            m.filterHertz > 0 ? m.filterHertz : 100000, m.samples, r.interval, r.delay, 1);
        if (errors.pict < 0) {
            return false;
        }
        errors.pict = 0;
    }
    return true;
}

// Connects the pins in the order of the wire mode; false on an SM160 error.
bool Connect(ResistorBlock& r, PinConnector& pins, ModuleErrors& errors) {
    ComponentBlock& b = r.head;
    const int32_t mode = r.wireMode;
    auto pin = [&](int slot, PinRole role, bool six = false, BusLine force = kLabA1) {
        const ChannelRecord& c = *b.pin[slot];
        return pins.Connect(c, BusLineOf(role, c, six, force), errors);
    };
    const BusLine hiLine = BusLineOf(PinRole::Hi, *b.pin[kSlotHi]);
    const BusLine loLine = BusLineOf(PinRole::Lo, *b.pin[kSlotLo]);
    if (mode == kSixGuarded) {
        if (!pin(kSlotHi, PinRole::Hi) || !pin(kSlotSenseHi, PinRole::SenseHi, true, hiLine) ||
            !pin(kSlotLo, PinRole::Lo) || !pin(kSlotSenseLo, PinRole::SenseLo, true, loLine)) {
            return false;
        }
    } else {
        if (!pin(kSlotHi, PinRole::Hi) || !pin(kSlotLo, PinRole::Lo)) {
            return false;
        }
        if (Sensed(mode) &&
            (!pin(kSlotSenseHi, PinRole::SenseHi) || !pin(kSlotSenseLo, PinRole::SenseLo))) {
            return false;
        }
    }
    if (Guarded(mode)) {
        for (int g = kSlotGp1; g <= kSlotGp3; ++g) {
            if (b.pinDefined[g] && !pin(g, PinRole::Guard)) {
                return false;
            }
        }
        if (mode != kThreeGuarded && !pin(kSlotGs, PinRole::GuardSense)) {
            return false;
        }
    }
    return pins.Settle(Guarded(mode), errors);
}

// Markers of the measurement, collected in the order of the verification comment.
struct Outcome {
    bool limited = false;
    int32_t overUnder = 0;
    bool offsetUsed = false;
};

thread_local std::array<double, kMaxReadSamples> tlsSamples;

// The measurement itself; false on a driver error.
bool Measure(ResistorBlock& r, const MeasureSettings& m, Outcome& out, ModuleErrors& errors) {
    ComponentBlock& b = r.head;
    BenchRecord& bench = *b.bench;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    double* samples = tlsSamples.data();
    auto checkLimit = [&]() -> bool {
        if (r.mean > 0.95 * r.currentLimit) {
            ViBoolean limiting = VI_FALSE;
            if ((errors.psam = rspsam_dcs_QueryOutputState(psam, 1, &limiting)) < 0) {
                return false;
            }
            r.currentRegulated = limiting ? 1 : 0;
            if (limiting) {
                out.limited = true;
                b.value = kBelowRange;
            }
        }
        return true;
    };
    if (Guarded(r.wireMode)) {
        const ViSession pict = bench.ictModules[kIctPict].handle;
        if ((errors.pict = rspict_WaitForSettling(pict)) < 0) {
            return false;
        }
        ReadResult read;
        const double range = kMuCurrentRanges[m.currentIndex];
        errors.pict = CmuRead(pict, samples, m.samples, m.smoothing, kReadTimeoutMs, range, &read);
        if (errors.pict == RSPICT_ERROR_NO_SAMPLES) {
            errors.pict = 0; // no sample read: the value stays invalid, and no error is raised
            read = ReadResult{};
        }
        if (errors.pict < 0) {
            return false;
        }
        errors.pict = 0;
        r.mean = read.mean;
        b.reads = read.count;
        r.coverage = read.coverage;
        if (read.count <= 0) {
            return true;
        }
        if (read.coverage >= 111) {
            out.overUnder = 1;
            b.value = kBelowRange;
        } else if (read.coverage < 1) {
            out.overUnder = -1;
            b.value = kAboveRange;
        } else {
            if (!checkLimit()) {
                return false;
            }
            if (!out.limited) {
                b.value = r.voltage / r.mean;
                b.valid = 1;
            }
        }
        SetGraph(b, samples, read.count, kGraphCurrent);
        return true;
    }
    if (CurrentMode(r.wireMode)) {
        ViBoolean limiting = VI_FALSE;
        if ((errors.psam = rspsam_dcs_QueryOutputState(psam, 0, &limiting)) < 0) {
            return false;
        }
        if (limiting) {
            r.currentRegulated = 0;
            b.value = kAboveRange;
            return true;
        }
        r.currentRegulated = 1;
    }
    AutoRangeResult read;
    const int32_t start = CurrentMode(r.wireMode) ? m.voltageIndex : m.currentIndex;
    errors.psam = ReadAutoRange(bench.ict.mu, psam, start, r.autorange != 0, samples, m.samples,
                                m.smoothing, kReadTimeoutMs, &read);
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    r.mean = read.mean;
    b.reads = read.count;
    r.coverage = read.coverage;
    r.rangeSteps = read.steps;
    out.overUnder = read.overUnder;
    SetGraph(b, samples, read.count, CurrentMode(r.wireMode) ? kGraphVoltage : kGraphCurrent);
    if (read.overUnder > 0) {
        b.value = kBelowRange;
        return true;
    }
    if (read.overUnder < 0) {
        b.value = kAboveRange;
        return true;
    }
    if (CurrentMode(r.wireMode)) {
        b.value = r.mean / r.currentLimit;
        b.valid = 1;
        return true;
    }
    if (!checkLimit()) {
        return false;
    }
    if (out.limited) {
        return true;
    }
    if (b.autozero) {
        b.offset = bench.ict.currentOffsets[std::clamp(read.rangeIndex, 0, kCurrentRangeCount - 1)];
        out.offsetUsed = true;
        const double net = r.mean - b.offset;
        b.value = net <= 0 ? kAboveRange : r.voltage / net;
        b.valid = net > 0 ? 1 : 0;
    } else {
        b.offset = 0;
        b.value = r.voltage / r.mean;
        b.valid = 1;
    }
    return true;
}

void BuildComment(const ResistorBlock& r, const Outcome& out, char* comment, std::size_t size) {
    const ComponentBlock& b = r.head;
    CopyText(comment, size, kWireTags[r.wireMode]);
    if (b.flags & kFlagCompensation) {
        AppendMarker(comment, size, ".RES0");
    }
    if (!CurrentMode(r.wireMode) && out.limited) {
        AppendMarker(comment, size, ",ILIM");
    }
    if (out.overUnder > 0) {
        AppendMarker(comment, size, ",OR");
    } else if (out.overUnder < 0) {
        AppendMarker(comment, size, ",UR");
    } else if (r.rangeSteps > 0) {
        AppendMarker(comment, size, ",AR+");
    } else if (r.rangeSteps < 0) {
        AppendMarker(comment, size, ",AR-");
    }
    if (b.compensation != 0) {
        AppendMarker(comment, size, ",RES0");
    }
    if (out.offsetUsed) {
        AppendMarker(comment, size, ",CUR0");
    }
    if (b.correction != 0) {
        AppendMarker(comment, size, ",CORR");
    }
}

void UpdateOutputs(ResistorBlock& r) {
    ComponentBlock& b = r.head;
    for (int32_t* field : {&r.coverage, &r.rangeSteps, &r.currentRegulated}) {
        rvo_UpdateAttrI(b.component, field);
    }
    if (b.details) {
        b.measTime = r.average * r.interval;
        rvo_UpdateAttrI(b.component, &b.reads);
        rvo_UpdateAttrR(b.component, &r.mean);
        rvo_UpdateAttrR(b.component, &b.offset);
        rvo_UpdateAttrR(b.component, &b.measTime);
        rvo_UpdateAttr(b.component, b.graph);
        for (double& t : b.times) {
            rvo_UpdateAttrR(b.component, &t);
        }
    }
}

// One measurement of the component: the step result (0 passed, -1 failed, -2/-5 error, -3 stop
// the program after a failure with ABORTONFAIL).
long Run(ResistorBlock& r, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = r.head;
    BenchRecord& bench = *b.bench;
    b.start = rvo_TSTAMP();
    for (double& t : b.times) {
        t = 0;
    }
    b.value = kBelowRange;
    b.valid = 0;
    r.mean = 0;
    r.currentRegulated = -1;
    r.coverage = 999;
    r.rangeSteps = 0;
    b.reads = 0;
    b.offset = 0; // shown only: the offset this run subtracts, if any
    if (!b.enabled || call.inVariant == 0) {
        return 0;
    }
    r.wireMode = KeywordIndex(b.method, kWireModeList, r.wireMode);
    b.compensation = ResistorCompensation(b);

    PinConnector pins(bench, b.bus);
    ModuleErrors errors;
    Outcome out;
    long result = 0;
    if (!bench.ictModules[kIctPsam].inUse) {
        error.Set(kErrResource, kNoPsam);
    }
    if (!error.failed() && CheckPins(r, error)) {
        for (int slot = 0; slot < kPinSlots; ++slot) {
            const bool guard = slot >= kSlotGp1 && slot <= kSlotGp4;
            const bool wanted = guard ? Guarded(r.wireMode)
                                : slot == kSlotGs
                                    ? r.wireMode == kFourGuarded || r.wireMode == kSixGuarded
                                    : slot <= kSlotLo || Sensed(r.wireMode);
            if (b.pinDefined[slot] && wanted) {
                pins.NoteModule(*b.pin[slot]);
            }
        }
        MarkTime(b, kTimePrepare);
        const MeasureSettings m = SettingsOf(r);
        if (Configure(r, m, errors) && Connect(r, pins, errors)) {
            MarkTime(b, kTimeSetup);
            if (Measure(r, m, out, errors)) {
                MarkTime(b, kTimeMeasure);
                if (b.valid) {
                    b.value = b.value - b.compensation + b.correction;
                    if (b.value < 0) {
                        b.value = 0;
                    }
                }
                char comment[128];
                BuildComment(r, out, comment, sizeof comment);
                CopyText(b.comment, comment);
                result = VerifyComponent(b, kResistorClass, comment);
                if (call.value) {
                    *call.value = b.value;
                }
            }
        }
        if (!b.times[kTimeSetup]) {
            MarkTime(b, kTimeSetup);
        }
        if (!b.times[kTimeMeasure]) {
            MarkTime(b, kTimeMeasure);
        }
        pins.Disconnect(errors);
        MarkTime(b, kTimeCleanup);
    }
    ReportModuleErrors(bench, errors, error);
    b.usedModules = pins.usedModules();
    UpdateOutputs(r);
    if (error.failed()) {
        return AlertComponentError(b, kResistorClass, error);
    }
    if (result < 0 && b.abortOnFail) {
        return -3;
    }
    return result;
}

long ResistorCallback(long reason, void* context, long contextSize) {
    long answer = -1;
    ComponentBlock* b = EditedBlock(reason, context, contextSize, &answer);
    if (!b) {
        return answer;
    }
    auto& r = *reinterpret_cast<ResistorBlock*>(b);
    for (double* value : {&r.voltage, &r.currentLimit, &r.delay, &r.interval, &b->correction}) {
        rvo_ReadAttrR(b->component, value);
    }
    rvo_ReadAttrI(b->component, &r.average);
    ClampEdited(*b, {{&r.voltage, 0.2, 5.0},
                     {&r.currentLimit, 3e-6, 0.1},
                     {&r.delay, 0.0, 0.1},
                     {&r.interval, 1e-6, HUGE_VAL},
                     {&b->correction, -kCorrectionBound, kCorrectionBound}});
    ClampEdited(*b, {{&r.average, 1, 8192}});
    rvo_ReadAttrB(b->component, &r.autorange);
    rvo_ReadAttrB(b->component, &b->autozero);
    for (char* text : {r.filter, r.rangeCurrent, r.rangeVoltage}) {
        rvo_ReadAttrSList(b->component, text, 16);
    }
    StepError error;
    const bool ok = ReadBackHead(*b, error);
    r.wireMode = KeywordIndex(b->method, kWireModeList, r.wireMode);
    if (StoreSettings(r)) {
        MarkBenchModified(*b);
    }
    EnableForMode(r);
    rvo_SetAttributeCallback(1, 0);
    if (!ok) {
        rvo_Alert(nullptr, error.message, RVO_ALERT_ERROR);
        return -2;
    }
    return 0;
}

} // namespace

EN_NEV_RESULT TestResistor(ComponentCall& call) {
    if (call.mode == kMethodSave) {
        if (WriteComponentSection(call.file, call.record, call.availableVariants) != 0) {
            if (call.errorCode) {
                *call.errorCode = kErrResource;
            }
            return -2;
        }
        return 0;
    }
    const double start = rvo_TSTAMP();
    long result = 0;
    for (;;) {
        StepError error;
        void* data = nullptr;
        const long phase =
            EnterComponentStep(call, kResistorClass, sizeof(ResistorBlock), &data, error);
        if (phase == -4) {
            rvo_ExitSTEP();
            return 0;
        }
        auto* block = static_cast<ResistorBlock*>(data);
        if (!block && !error.failed()) {
            error.Set(kErrMemory, kResistorClass.methodName);
        }
        const bool define = phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN;
        if (!error.failed() && define) {
            Define(*block, call, error);
        }
        if (!error.failed() && block &&
            (phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN)) {
            LinkForRun(block->head, call);
            result = Run(*block, call, error);
        } else if (error.failed()) {
            result = block ? AlertComponentError(block->head, kResistorClass, error) : -2;
        }
        if (call.errorCode) {
            *call.errorCode = error.code;
        }
        if (call.errorText) {
            CopyText(call.errorText, kMessageSize, error.message);
        }
        if (rvo_ExitSTEP() != RVO_EXIT_AGAIN) {
            break;
        }
    }
    if (call.elapsed) {
        *call.elapsed = rvo_TSTAMP() - start;
    }
    return static_cast<EN_NEV_RESULT>(result);
}

} // namespace kora
