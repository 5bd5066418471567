#include "ictx/measure/ac_component_test.h"

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
    kFourVSensed,
    kThreeGuarded,
    kFourGuarded,
    kSixGuarded,
    kWireModes
};

constexpr const char* kWireModeList = "2-VOLTAGE,4-VSENSED,3-GUARDED,4-GUARDED,6-GUARDED";
constexpr const char* kWireTags[kWireModes] = {"2V", "4VS", "3G", "4G", "6G"};
constexpr const char* kFrequencyList = "100 Hz,1 kHz,10 kHz";
constexpr const char* kLevelList = "0.1,0.2,1.0";
constexpr const char* kOffsetList = "NONE,POS,NEG";
constexpr const char* kCurrentRangeList =
    "0.001,0.002,0.005,0.01,0.02,0.05,0.1,0.2,0.5,1,2,5,10,20,50,100,200";
constexpr double kCmuRanges[] = {1e-6, 2e-6, 5e-6, 1e-5, 2e-5, 5e-5, 1e-4, 2e-4, 5e-4,
                                 1e-3, 2e-3, 5e-3, 1e-2, 2e-2, 5e-2, 0.1,  0.2};

// Sampling per stimulus frequency: one record covers AVERAGE periods.
struct Sampling {
    double frequency;
    int32_t perPeriod;
    double interval;
    double period;
    double searchInterval; // of the range search's short read
};
constexpr Sampling kSampling[] = {
    {100, 400, 25e-6, 0.01, 5e-4}, {1000, 200, 5e-6, 0.001, 5e-5}, {10000, 20, 5e-6, 0.0001, 5e-6}};
constexpr int32_t kOffsetArgument[] = {0, 1, -1};

constexpr const char* kGroupStim = "SETTINGS|STIM";
constexpr const char* kGroupMeas = "SETTINGS|MEAS";
constexpr const char* kGroupValidation = "VALIDATION";
constexpr const char* kGroupLimits = "VALIDATION|LIMITS";
constexpr const char* kGroupResImp = "VALIDATION|LIMITS|RES/IMP";
constexpr const char* kGroupPhase = "VALIDATION|LIMITS|PHASE";
constexpr const char* kGroupCorr = "VALIDATION|CORR";
constexpr const char* kGroupDetailU = "DETAILS|MEAS|U";
constexpr const char* kGroupDetailI = "DETAILS|MEAS|I";
constexpr const char* kGroupCalc = "DETAILS|CALC";
constexpr const char* kGroupTimes = "DETAILS|TIME";

constexpr const char* kBadTestPins = "Invalid test pin selection (HI|LO)";
constexpr const char* kBadSensePins = "Invalid sense pin selection (SH|SL)";
constexpr const char* kBadGuardPins = "Invalid guard pin selection (GPx)";
constexpr const char* kBadGuardSense = "Invalid guard pin selection (GPx|GS)";
constexpr const char* kBadPinSet = "Invalid test pin configuration";
constexpr const char* kHiParity = "TP HI/SH: Have to be odd/even or even/odd pin number";
constexpr const char* kLoParity = "TP LO/SL: Have to be odd/even or even/odd pin number";
constexpr const char* kNoGuardPict = "ERROR: No GUARDING withcout PICT module";
constexpr const char* kNoPsam = "ICTDevice PSAM not defined";
constexpr const char* kNoPict = "ICTDevice PICT not defined";

constexpr int32_t kTriggerPsamLine = 111;
constexpr int32_t kTriggerImmediate = 1;
constexpr int32_t kSignalMode = 6;
constexpr int32_t kSignalRecordCode = 1;
constexpr int32_t kFilterHertz = 100000;
constexpr int32_t kFetchUTimeoutMs = 2100;
constexpr int32_t kFetchITimeoutMs = 1000;
constexpr int32_t kSearchSamples = 20;
constexpr ViStatus kOverRange = 0x3FFA2001;
constexpr int32_t kStateVoltageOver = -1;
constexpr int32_t kStateUnder = 1;
constexpr int32_t kStateOver = 2;
constexpr int32_t kStateTimeout = 4;
constexpr int32_t kPsuCouplingOff = 8;
constexpr long kUnitFarad = 14;
constexpr long kUnitHenry = 15;
constexpr long kUnitDegree = 20;

enum AcTime { kFetchU, kFetchI, kAutorange, kCalcSine, kAcTimes };

struct AcBlock {
    ComponentBlock head;
    const AcClass* cls;
    int32_t wireMode;
    int32_t model;
    // SETTINGS|STIM
    char frequency[16];
    char level[16];
    char offset[16];
    // SETTINGS|MEAS
    double delay;
    int32_t average;
    int32_t autorange;
    double rangeU;
    char rangeI[16];
    double rangeSel;
    int32_t coverage;
    int32_t cmuState;
    // VALIDATION
    char modelText[16];
    double valueLimits[3]; // the limit groups a model does not verify show 0
    double resLimits[3];
    double phaseLimits[3];
    // DETAILS
    int32_t reads[2];
    SineFit fit[2];
    double imp, phase, phaseT;
    Equivalents eq;
    double times[kAcTimes];
};

// The keyword matcher passes over blanks in its list, so "10 kHz" is matched without them.
int32_t KeywordIndexNoBlanks(const char* text, const char* list, int32_t fallback) {
    char word[32];
    std::size_t n = 0;
    for (const char* p = text; p && *p && n + 1 < sizeof word; ++p) {
        if (*p != ' ') {
            word[n++] = *p;
        }
    }
    word[n] = 0;
    return KeywordIndex(word, list, fallback);
}

bool Guarded(int32_t mode) {
    return mode >= kThreeGuarded;
}
bool Sensed(int32_t mode) {
    return mode == kFourVSensed || mode == kSixGuarded;
}
bool ValueModel(int32_t model) {
    return model == kModelParallel || model == kModelSeries;
}

// The wire mode that the defined pins fit; -1 when they fit none.
int32_t PinWireMode(const ComponentBlock& b) {
    const int32_t* d = b.pinDefined;
    const bool guard = d[kSlotGp1] || d[kSlotGp2] || d[kSlotGp3] || d[kSlotGp4];
    const bool bothSense = d[kSlotSenseHi] && d[kSlotSenseLo];
    const bool anySense = d[kSlotSenseHi] || d[kSlotSenseLo];
    if (!guard && !anySense) {
        return kTwoVoltage;
    }
    if (!guard && bothSense) {
        return kFourVSensed;
    }
    if (guard && !anySense) {
        return d[kSlotGs] ? kFourGuarded : kThreeGuarded;
    }
    if (guard && bothSense && d[kSlotGs]) {
        return kSixGuarded;
    }
    return -1;
}

int32_t ModelOfText(const AcBlock& a) {
    const int32_t k = KeywordIndexNoBlanks(a.modelText, a.cls->modelList, -1);
    return k < 0 ? a.model : a.cls->listModel[k];
}

void ModelText(AcBlock& a) {
    for (int32_t k = 0; k < kAcModels; ++k) {
        if (a.cls->listModel[k] == a.model) {
            KeywordText(a.cls->modelList, k, a.modelText, sizeof a.modelText);
        }
    }
}

void LoadSettings(AcBlock& a) {
    const SubTest& s = a.head.record->sub[0];
    KeywordText(kFrequencyList, static_cast<int32_t>(std::min<uint32_t>(s.fIndex, 2)), a.frequency,
                sizeof a.frequency);
    KeywordText(kLevelList, static_cast<int32_t>(std::min<uint32_t>(s.vIndex, 2)), a.level,
                sizeof a.level);
    KeywordText(kOffsetList, static_cast<int32_t>(std::min<uint32_t>(s.voIndex, 2)), a.offset,
                sizeof a.offset);
    a.delay = s.md;
    a.average = s.ma;
    a.autorange = s.ar != 0;
    a.rangeU = s.vr;
    KeywordText(kCurrentRangeList, static_cast<int32_t>(std::min<uint32_t>(s.crIndex, 16)),
                a.rangeI, sizeof a.rangeI);
    a.model = static_cast<int32_t>(std::min<uint32_t>(s.modeIndex, kAcModels - 1));
    ModelText(a);
    // The component's own limits belong to the verified model's group; the others are cleared.
    const ComponentRecord& r = *a.head.record;
    const auto limits = [](const SubTest& t, double* out) {
        out[0] = t.ul;
        out[1] = t.nv;
        out[2] = t.ll;
    };
    for (double* group : {a.valueLimits, a.resLimits, a.phaseLimits}) {
        std::fill(group, group + 3, 0.0);
    }
    if (ValueModel(a.model)) {
        limits(r.sub[1], a.resLimits);
        limits(r.sub[2], a.phaseLimits);
    }
}

// The settings as the record keeps them; true when anything changed.
bool StoreSettings(AcBlock& a) {
    ComponentRecord& rec = *a.head.record;
    SubTest& s = rec.sub[0];
    bool changed = false;
    auto real = [&](double& field, double value, uint32_t bit) {
        if (field != value) {
            field = value;
            rec.paramMask |= bit;
            changed = true;
        }
    };
    auto index = [&](uint32_t& field, double& value, int32_t i, const double* table, uint32_t bit) {
        if (i >= 0 && static_cast<uint32_t>(i) != field) {
            field = static_cast<uint32_t>(i);
            value = table[i];
            rec.paramMask |= bit;
            changed = true;
        }
    };
    index(s.fIndex, s.f, KeywordIndexNoBlanks(a.frequency, kFrequencyList, -1), kTestFrequencies,
          kParamF);
    index(s.vIndex, s.v, KeywordIndexNoBlanks(a.level, kLevelList, -1), kAcLevels, kParamV);
    index(s.voIndex, s.vo, KeywordIndexNoBlanks(a.offset, kOffsetList, -1), kOffsets, kParamVO);
    index(s.crIndex, s.cr, KeywordIndexNoBlanks(a.rangeI, kCurrentRangeList, -1), kCmuRanges,
          kParamCR);
    real(s.md, a.delay, kParamMD);
    real(s.vr, a.rangeU, kParamVR);
    real(s.mc, a.head.correction, kParamMC);
    if (s.ma != a.average) {
        s.ma = a.average;
        rec.paramMask |= kParamMA;
        changed = true;
    }
    if (s.ar != (a.autorange ? 1 : 0)) {
        s.ar = a.autorange ? 1 : 0;
        rec.paramMask |= kParamAR;
        changed = true;
    }
    const int32_t model = ModelOfText(a);
    if (static_cast<uint32_t>(model) != s.modeIndex) {
        a.model = model;
        s.modeIndex = static_cast<uint32_t>(model);
        const char* mm = a.cls->modelChars[model];
        s.mode = mm[0];
        rec.sub[1].mode = mm[1];
        rec.mm = mm;
        rec.paramMask |= kParamMM;
        changed = true;
    }
    return changed;
}

void EnableForMode(AcBlock& a) {
    ComponentBlock& b = a.head;
    const int32_t mode = a.wireMode;
    rvo_SetAttrEnabled(b.component, b.pinText[kSlotSenseHi], Sensed(mode));
    rvo_SetAttrEnabled(b.component, b.pinText[kSlotSenseLo], Sensed(mode));
    for (int g = kSlotGp1; g <= kSlotGp4; ++g) {
        rvo_SetAttrEnabled(b.component, b.pinText[g], Guarded(mode));
    }
    rvo_SetAttrEnabled(b.component, b.pinText[kSlotGs],
                       mode == kFourGuarded || mode == kSixGuarded);
}

long ValueUnit(const AcClass& cls) {
    return cls.system == kSysL0 ? kUnitHenry : kUnitFarad;
}

// Binds one limit group: the head's limits (the component's own) for the verified model's group.
void DefineLimitGroup(AcBlock& a, const char* group, double* cleared, long unit, bool verified) {
    ComponentBlock& b = a.head;
    double* ul = verified ? &b.ul : &cleared[0];
    double* nom = verified ? &b.nom : &cleared[1];
    double* ll = verified ? &b.ll : &cleared[2];
    rvo_DefineAttrR("UL", group, ul, unit, verified ? b.ulHint : nullptr);
    rvo_DefineAttrR("NOM", group, nom, unit, nullptr);
    rvo_DefineAttrR("LL", group, ll, unit, verified ? b.llHint : nullptr);
    for (double* limit : {ul, nom, ll}) {
        rvo_ScaleAttrR(b.component, limit, unit);
    }
}

void DefineAttributes(AcBlock& a) {
    ComponentBlock& b = a.head;
    const AcClass& cls = *a.cls;
    DefineHeadAttributes(b, cls.traits, cls.optionsSuffix);
    rvo_DefineAttrSList("FREQUENCY", kGroupStim, a.frequency, sizeof a.frequency, kFrequencyList,
                        nullptr);
    rvo_DefineAttrSList("VOLTAGE", kGroupStim, a.level, sizeof a.level, kLevelList, nullptr);
    rvo_DefineAttrSList("OFFSET", kGroupStim, a.offset, sizeof a.offset, kOffsetList, nullptr);
    rvo_DefineAttrR("DELAY", kGroupMeas, &a.delay, kUnitSecond, nullptr);
    rvo_DefineAttrI(cls.averageName, kGroupMeas, &a.average, 0, nullptr);
    rvo_DefineAttrI("AUTORANGE", kGroupMeas, &a.autorange, 0, kBoolean);
    rvo_DefineAttrR("RANGE.U", kGroupMeas, &a.rangeU, kUnitVolt, nullptr);
    rvo_DefineAttrSList("RANGE.I", kGroupMeas, a.rangeI, sizeof a.rangeI, kCurrentRangeList, "mA");
    rvo_DefineAttrR("RANGE.SEL", kGroupMeas, &a.rangeSel, kUnitAmpere, kShown);
    rvo_DefineAttrI("RANGE.COV", kGroupMeas, &a.coverage, kUnitPercent, kShown);
    rvo_DefineAttrI(cls.stateName, kGroupMeas, &a.cmuState, 0, kShown);
    rvo_DefineAttrSList("MODEL", kGroupValidation, a.modelText, sizeof a.modelText, cls.modelList,
                        nullptr);
    const int32_t m = a.model;
    DefineLimitGroup(a, kGroupLimits, a.valueLimits, ValueUnit(cls), ValueModel(m));
    DefineLimitGroup(a, kGroupResImp, a.resLimits, kUnitOhm,
                     m == kModelResParallel || m == kModelResSeries || m == kModelImpedance);
    DefineLimitGroup(a, kGroupPhase, a.phaseLimits, kUnitDegree, m == kModelPhase);
    rvo_DefineAttrR("MEAS", kGroupCorr, &b.correction, ValueUnit(cls), "Measurement value");
    rvo_DefineAttrR(cls.traits.compText, kGroupCorr, &b.compensation, ValueUnit(cls),
                    "Compensation");
    DefineAdjustAttributes(b, cls.adjustGroup);
    DefinePinAttributes(b, cls.traits);
    DefineDetailAttributes(b);
    const char* groups[2] = {kGroupDetailU, kGroupDetailI};
    for (int k = 0; k < 2; ++k) {
        const long unit = k == 0 ? kUnitVolt : kUnitAmpere;
        rvo_DefineAttrI("#READ", groups[k], &a.reads[k], 0, kShown);
        rvo_DefineAttrR("AMP", groups[k], &a.fit[k].amplitude, unit, kShown);
        rvo_DefineAttrR("OFFS", groups[k], &a.fit[k].offset, unit, kShown);
        rvo_DefineAttrR("PHASE", groups[k], &a.fit[k].phase, kUnitDegree, kShown);
    }
    const struct {
        double* value;
        long unit;
        const char* hint;
    } calc[9] = {{&a.eq.series, ValueUnit(cls), kShown},
                 {&a.eq.parallel, ValueUnit(cls), kShown},
                 {&a.imp, kUnitOhm, cls.impHint},
                 {&a.phase, kUnitDegree, kShown},
                 {&a.phaseT, kUnitSecond, kShown},
                 {&a.eq.esr, kUnitOhm, kShown},
                 {&a.eq.seriesReactance, kUnitOhm, kShown},
                 {&a.eq.epr, kUnitOhm, kShown},
                 {&a.eq.parallelReactance, kUnitOhm, kShown}};
    for (int k = 0; k < 9; ++k) {
        rvo_DefineAttrR(cls.calcNames[k], kGroupCalc, calc[k].value, calc[k].unit, calc[k].hint);
    }
    const struct {
        const char* name;
        double* value;
    } times[] = {{"PREPARE", &b.times[kTimePrepare]}, {"SETUP", &b.times[kTimeSetup]},
                 {"MEASURE", &b.times[kTimeMeasure]}, {"FETCH.U", &a.times[kFetchU]},
                 {"FETCH.I", &a.times[kFetchI]},      {"AUTORANGE", &a.times[kAutorange]},
                 {"CALC.SINE", &a.times[kCalcSine]},  {"CLEANUP", &b.times[kTimeCleanup]}};
    for (const auto& t : times) {
        rvo_DefineAttrR(t.name, kGroupTimes, t.value, kUnitSecond, kShown);
    }
    EnableForMode(a);
}

long AcCallback(long reason, void* context, long contextSize);

// The component's own fixture compensation when the compensation step measured one, else the
// bench's system value; nothing for a compensation component itself.
double SystemCompensation(const AcBlock& a) {
    const ComponentRecord& r = *a.head.record;
    if (a.head.flags & kFlagCompensation) {
        return 0.0;
    }
    return r.compensation != 0 ? r.compensation : a.head.bench->compensation[a.cls->system];
}

void Define(AcBlock& a, const ComponentCall& call, const AcClass& cls, StepError& error) {
    ComponentBlock& b = a.head;
    a.cls = &cls;
    if (!PrepareComponentBlock(b, call, cls.traits, error)) {
        return;
    }
    LoadSettings(a);
    const int32_t mode = PinWireMode(b);
    a.wireMode = mode < 0 ? kTwoVoltage : mode;
    KeywordText(kWireModeList, a.wireMode, b.method, sizeof b.method);
    b.compensation = SystemCompensation(a);
    a.coverage = 999;
    a.cmuState = 0;
    DefineAttributes(a);
    RegisterAttributeCallback(b, AcCallback);
}

bool CheckPins(const AcBlock& a, StepError& error) {
    const ComponentBlock& b = a.head;
    const int32_t* d = b.pinDefined;
    const int32_t mode = a.wireMode;
    if (!d[kSlotHi] || !d[kSlotLo]) {
        return error.Set(kErrResource, kBadTestPins);
    }
    if (a.cls->pinConfigurationCheck && PinWireMode(b) < 0) {
        return error.Set(kErrResource, kBadPinSet);
    }
    const bool senseMissing = !d[kSlotSenseHi] || !d[kSlotSenseLo];
    if (mode == kFourVSensed && senseMissing) {
        return error.Set(kErrResource, kBadSensePins);
    }
    if (Guarded(mode) && !(d[kSlotGp1] || d[kSlotGp2] || d[kSlotGp3] || d[kSlotGp4])) {
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
        return error.Set(kErrResource, kNoGuardPict);
    }
    return true;
}

struct AcSettings {
    Sampling sampling;
    int32_t periods;
    int32_t samples;
    double level;
    int32_t offset;
    double gainRange;
};

AcSettings SettingsOf(const AcBlock& a) {
    AcSettings m{};
    m.sampling = kSampling[KeywordIndexNoBlanks(a.frequency, kFrequencyList, 1)];
    // A record holds at most what one read can fetch.
    m.periods = std::clamp(a.average, 1, kMaxReadSamples / m.sampling.perPeriod);
    m.samples = m.sampling.perPeriod * m.periods;
    m.level = kAcLevels[KeywordIndexNoBlanks(a.level, kLevelList, 1)];
    m.offset = kOffsetArgument[KeywordIndexNoBlanks(a.offset, kOffsetList, 0)];
    m.gainRange = kCmuRanges[KeywordIndexNoBlanks(a.rangeI, kCurrentRangeList, 15)];
    return m;
}

// Bus-line bits of the PSAM masks and of the PICT's CMU-input and AOS masks.
constexpr int32_t kPsamBit[kBusLines] = {0x80, 0x08, 0x40, 0x04, 0x20, 0x02, 0x10, 0x01};
constexpr int32_t PictLineBit(BusLine line) {
    return 1 << static_cast<int>(line);
}

struct Masks {
    int32_t m5, m8;
    std::array<int32_t, 5> pict;
};

// The meter and switch masks of the wire mode. Meter + reads HI's side (SH in the sensed
// modes), meter - the point the CMU holds at 0 V (the guard lines, or SL).
Masks MasksOf(const AcBlock& a) {
    const ComponentBlock& b = a.head;
    switch (a.wireMode) {
    case kFourVSensed: {
        const BusLine sh = BusLineOf(PinRole::SenseHi, *b.pin[kSlotSenseHi]);
        const BusLine sl = BusLineOf(PinRole::SenseLo, *b.pin[kSlotSenseLo]);
        return {kPsamBit[sh], kPsamBit[sl], {0x0C, 0, 0x300, 0x400, 3}};
    }
    case kFourGuarded:
        return {0x88, 0x22, {0x0C, 0xC0, 0xC0, 0x3000, 3}};
    case kSixGuarded: {
        const BusLine hi = BusLineOf(PinRole::Hi, *b.pin[kSlotHi]);
        const BusLine lo = BusLineOf(PinRole::Lo, *b.pin[kSlotLo]);
        const BusLine sh = BusLineOf(PinRole::SenseHi, *b.pin[kSlotSenseHi], true, hi);
        const BusLine sl = BusLineOf(PinRole::SenseLo, *b.pin[kSlotSenseLo], true, lo);
        // CMU sense bits 6 and 7 are B1 and B2.
        const int32_t sense = sl == kLabB1 ? 0x40 : 0x80;
        return {
            kPsamBit[sh], kPsamBit[sl], {PictLineBit(lo), 0xC0, sense, 0x3000, PictLineBit(hi)}};
    }
    default: // 2-VOLTAGE, 3-GUARDED
        return {0x88, 0x22, {0x0C, 0xC0, 0xC0, 0xC00, 3}};
    }
}

bool Configure(AcBlock& a, const AcSettings& m, ModuleErrors& errors) {
    BenchRecord& bench = *a.head.bench;
    IctHardware& ict = bench.ict;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    const ViSession pict = bench.ictModules[kIctPict].handle;
    if (bench.ictModules[kIctPsu].inUse) {
        errors.psu = ConfigurePsu(ict.psu, bench.ictModules[kIctPsu].handle, kPsuCouplingOff, kKeep,
                                  kKeep, kKeepReal, kKeepReal, kKeep, kKeep, kKeepReal, kKeepReal);
        if (errors.psu < 0) {
            return false;
        }
        errors.psu = 0;
    }
    errors.psam = ConfigureDcs(ict.dcs, psam, 1, 0, 0, 0, 0, 0, kKeepReal, kKeepReal, kKeep, 1);
    if (errors.psam < 0) {
        return false;
    }
    errors.pict =
        ConfigureAos(ict.aos, pict, kAosAc, m.sampling.frequency, m.level, m.offset, kKeepReal);
    if (errors.pict < 0) {
        return false;
    }
    const Masks masks = MasksOf(a);
    // The PSAM's record starts later by the CMU's extra trigger-to-sample delay with the
    // measurement unit's 100 kHz filter, so that both records sample the same instants.
    const double cmuDelay = bench.compensation[kCmuD3];
    errors.psam = ConfigureMu(ict.mu, psam, kMuVoltage, masks.m5, masks.m8, a.rangeU, kFilterHertz,
                              m.samples, m.sampling.interval, a.delay + cmuDelay, kTriggerPsamLine);
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    const auto& p = masks.pict;
    errors.pict =
        ConfigureCmu(ict.cmu, pict, kSignalMode, p[0], p[1], p[2], p[3], p[4], m.gainRange,
                     kFilterHertz, m.samples, m.sampling.interval, a.delay, kTriggerPsamLine);
    if (errors.pict < 0) {
        return false;
    }
    errors.pict = 0;
    return true;
}

bool Connect(AcBlock& a, PinConnector& pins, ModuleErrors& errors) {
    ComponentBlock& b = a.head;
    const int32_t mode = a.wireMode;
    auto pin = [&](int slot, PinRole role, bool six = false, BusLine force = kLabA1) {
        const ChannelRecord& c = *b.pin[slot];
        return pins.Connect(c, BusLineOf(role, c, six, force), errors);
    };
    const BusLine hiLine = BusLineOf(PinRole::Hi, *b.pin[kSlotHi]);
    const BusLine loLine = BusLineOf(PinRole::Lo, *b.pin[kSlotLo]);
    const bool six = mode == kSixGuarded;
    if (!pin(kSlotHi, PinRole::Hi) || !pin(kSlotLo, PinRole::Lo)) {
        return false;
    }
    if (Sensed(mode) && (!pin(kSlotSenseHi, PinRole::SenseHi, six, hiLine) ||
                         !pin(kSlotSenseLo, PinRole::SenseLo, six, loLine))) {
        return false;
    }
    if (Guarded(mode)) {
        for (int g = kSlotGp1; g <= kSlotGp4; ++g) {
            if (b.pinDefined[g] && !pin(g, PinRole::Guard)) {
                return false;
            }
        }
        if (mode != kThreeGuarded && !pin(kSlotGs, PinRole::GuardSense)) {
            return false;
        }
    }
    return pins.Settle(true, errors);
}

struct Outcome {
    bool searched = false;
    bool voltageOver = false;
    bool timeout = false;
};

struct Records {
    std::array<double, kMaxReadSamples> u, i;
};
thread_local Records tlsRecords;

// One triggered pair of records; false on a driver error.
bool Record(AcBlock& a, const AcSettings& m, Outcome& out, ModuleErrors& errors) {
    BenchRecord& bench = *a.head.bench;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    const ViSession pict = bench.ictModules[kIctPict].handle;
    if ((errors.pict = rspict_WaitForSettling(pict)) < 0 ||
        (errors.psam = rspsam_Initiate(psam)) < 0 ||
        (errors.pict = rspict_cmu_Initiate(pict)) < 0 ||
        (errors.psam = rspsam_trig_SendSoftwareSignal(psam, 0)) < 0) {
        return false;
    }
    double t = rvo_TSTAMP();
    ViInt32 count = 0;
    const ViStatus u =
        rspsam_FetchMultiPoint(psam, kFetchUTimeoutMs, m.samples, tlsRecords.u.data(), &count);
    a.times[kFetchU] += rvo_TSTAMP() - t;
    a.reads[0] = count;
    if (u < 0) {
        errors.psam = u;
        return false;
    }
    out.voltageOver = u == kOverRange;
    t = rvo_TSTAMP();
    ViInt32 state = 0;
    double range = 0;
    count = 0;
    const ViStatus i = rspict_cmu_FetchData(pict, kFetchITimeoutMs, m.samples, tlsRecords.i.data(),
                                            &count, &range, &state);
    a.times[kFetchI] += rvo_TSTAMP() - t;
    a.reads[1] = count;
    if (i < 0 && state != kStateTimeout) {
        errors.pict = i;
        return false;
    }
    a.rangeSel = range;
    a.cmuState = out.voltageOver ? kStateVoltageOver : state;
    out.timeout = state == kStateTimeout;
    return true;
}

// The CMU's range search: a short read with the unit's auto-range on, then the record settings
// back as they were (the range the search found stays).
bool SearchRange(AcBlock& a, const AcSettings& m, ModuleErrors& errors) {
    BenchRecord& bench = *a.head.bench;
    CmuSettings& cache = bench.ict.cmu;
    const ViSession pict = bench.ictModules[kIctPict].handle;
    const double t = rvo_TSTAMP();
    std::array<double, kSearchSamples> samples{};
    ViInt32 count = 0;
    ViStatus s = rspict_cmu_ConfigureTrigger(pict, kTriggerImmediate, 0);
    s = s < 0 ? s : rspict_cmu_ConfigAutoRange(pict, VI_TRUE);
    s = s < 0 ? s
              : rspict_cmu_ConfigureSigCon(pict, kSignalRecordCode, cache.gainCode, 1,
                                           cache.filterCode, m.gainRange);
    s = s < 0 ? s : rspict_WaitForSettling(pict);
    s = s < 0 ? s : rspict_cmu_ConfigureRecorder(pict, kSearchSamples, m.sampling.searchInterval);
    s = s < 0 ? s : rspict_cmu_Read(pict, kFetchITimeoutMs, kSearchSamples, samples.data(), &count);
    if (s >= 0 || s == RSPICT_ERROR_NO_SAMPLES) {
        s = rspict_cmu_ConfigAutoRange(pict, VI_FALSE);
        s = s < 0 ? s : rspict_cmu_ConfigureTrigger(pict, cache.triggerSource, cache.delay);
        s = s < 0 ? s : rspict_cmu_ConfigureRecorder(pict, cache.sampleCount, cache.interval);
    }
    // The unit chose its gain: the cache no longer knows it.
    cache.gainCode = -1;
    a.times[kAutorange] += rvo_TSTAMP() - t;
    if (s < 0) {
        errors.pict = s;
        return false;
    }
    return true;
}

void SetAll(AcBlock& a, double value) {
    a.imp = a.phase = a.phaseT = value;
    a.eq = Equivalents{value, value, value, value, value, value};
}

double Finite(double v) {
    return std::isfinite(v) ? v : kAboveRange;
}

// The measurement; false on a driver error.
bool Measure(AcBlock& a, const AcSettings& m, Outcome& out, ModuleErrors& errors) {
    ComponentBlock& b = a.head;
    if (!Record(a, m, out, errors)) {
        return false;
    }
    const bool asks = a.cmuState == kStateUnder || a.cmuState == kStateOver;
    if (a.autorange && asks && !out.voltageOver) {
        out.searched = true;
        if (!SearchRange(a, m, errors) || !Record(a, m, out, errors)) {
            return false;
        }
    }
    if (out.voltageOver || a.cmuState == kStateOver) {
        SetAll(a, kAboveRange);
        return true;
    }
    if (out.timeout) {
        SetAll(a, kBelowRange);
        return true;
    }
    const double t = rvo_TSTAMP();
    a.fit[0] = AnalyseSine(tlsRecords.u.data(), a.reads[0], m.periods);
    a.fit[1] = AnalyseSine(tlsRecords.i.data(), a.reads[1], m.periods);
    double peak = 0;
    for (int32_t k = 0; k < a.reads[1]; ++k) {
        peak = std::max(peak, std::fabs(tlsRecords.i[static_cast<std::size_t>(k)]));
    }
    a.coverage = a.rangeSel > 0 ? static_cast<int32_t>(peak * 100 / a.rangeSel + 0.5) : 0;
    a.phase = PhaseDifference(a.fit[0].phase, a.fit[1].phase);
    a.imp = a.fit[1].amplitude > 0 ? a.fit[0].amplitude / a.fit[1].amplitude : kAboveRange;
    a.phaseT = a.phase / 360 * m.sampling.period;
    Equivalents e = a.cls->equivalents(a.imp, a.phase, m.sampling.frequency);
    for (double* v :
         {&e.series, &e.esr, &e.seriesReactance, &e.parallel, &e.epr, &e.parallelReactance}) {
        *v = Finite(*v);
    }
    a.eq = e;
    a.times[kCalcSine] += rvo_TSTAMP() - t;
    SetGraph(b, tlsRecords.i.data(), a.reads[1], kGraphCurrent);
    b.valid = 1;
    return true;
}

// The verified value of the model, and its unit.
double VerifiedValue(AcBlock& a, long* unit) {
    ComponentBlock& b = a.head;
    switch (a.model) {
    case kModelParallel:
    case kModelSeries: {
        *unit = ValueUnit(*a.cls);
        const double raw = a.model == kModelParallel ? a.eq.parallel : a.eq.series;
        if (!b.valid || raw == kAboveRange) {
            return raw;
        }
        return std::max(0.0, raw - b.compensation + b.correction);
    }
    case kModelResParallel:
        *unit = kUnitOhm;
        return a.eq.epr;
    case kModelResSeries:
        *unit = kUnitOhm;
        return a.eq.esr;
    case kModelImpedance:
        *unit = kUnitOhm;
        return a.imp;
    default:
        *unit = kUnitDegree;
        return a.phase;
    }
}

void BuildComment(const AcBlock& a, const Outcome& out, char* comment, std::size_t size) {
    const ComponentBlock& b = a.head;
    const char* compText = a.cls->traits.compText;
    FormatText(comment, size, "%s.%s", a.cls->modelNames[a.model], kWireTags[a.wireMode]);
    if (b.flags & kFlagCompensation) {
        // The system compensation component stands on two pins of no section of the file.
        const bool system = b.sectionIndex == 0 && a.cls->systemMarker;
        char marker[16];
        FormatText(marker, sizeof marker, ".%s", compText);
        AppendMarker(comment, size, system ? a.cls->systemMarker : marker);
    }
    if (out.searched) {
        AppendMarker(comment, size, ",AR");
    }
    if (out.voltageOver) {
        AppendMarker(comment, size, ",ORV");
    } else if (a.cmuState == kStateUnder) {
        AppendMarker(comment, size, ",URC");
    } else if (a.cmuState == kStateOver) {
        AppendMarker(comment, size, ",ORC");
    } else if (out.timeout) {
        AppendMarker(comment, size, ",TOC");
    }
    if (ValueModel(a.model)) {
        if (b.compensation != 0) {
            char marker[16];
            FormatText(marker, sizeof marker, ",%s", compText);
            AppendMarker(comment, size, marker);
        }
        if (b.correction != 0) {
            AppendMarker(comment, size, ",CORR");
        }
    }
}

void UpdateOutputs(AcBlock& a) {
    ComponentBlock& b = a.head;
    for (double* v : {&a.rangeSel, &a.imp, &a.phase, &a.phaseT, &a.eq.series, &a.eq.parallel,
                      &a.eq.esr, &a.eq.seriesReactance, &a.eq.epr, &a.eq.parallelReactance}) {
        rvo_UpdateAttrR(b.component, v);
    }
    rvo_UpdateAttrI(b.component, &a.coverage);
    rvo_UpdateAttrI(b.component, &a.cmuState);
    if (b.details) {
        for (int k = 0; k < 2; ++k) {
            rvo_UpdateAttrI(b.component, &a.reads[k]);
            rvo_UpdateAttrR(b.component, &a.fit[k].amplitude);
            rvo_UpdateAttrR(b.component, &a.fit[k].offset);
            rvo_UpdateAttrR(b.component, &a.fit[k].phase);
        }
        rvo_UpdateAttr(b.component, b.graph);
        for (double& t : b.times) {
            rvo_UpdateAttrR(b.component, &t);
        }
        for (double& t : a.times) {
            rvo_UpdateAttrR(b.component, &t);
        }
    }
}

long Run(AcBlock& a, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = a.head;
    BenchRecord& bench = *b.bench;
    const AcClass& cls = *a.cls;
    b.start = rvo_TSTAMP();
    for (double& t : b.times) {
        t = 0;
    }
    for (double& t : a.times) {
        t = 0;
    }
    b.value = kBelowRange;
    b.valid = 0;
    a.coverage = 0;
    a.cmuState = 0;
    a.reads[0] = a.reads[1] = 0;
    a.fit[0] = a.fit[1] = SineFit{};
    SetAll(a, kBelowRange);
    if (!b.enabled || call.inVariant == 0) {
        return 0;
    }
    a.wireMode = KeywordIndexNoBlanks(b.method, kWireModeList, a.wireMode);
    a.model = ModelOfText(a);
    b.compensation = SystemCompensation(a);

    PinConnector pins(bench, b.bus);
    ModuleErrors errors;
    Outcome out;
    long result = 0;
    if (!bench.ictModules[kIctPsam].inUse) {
        error.Set(kErrResource, kNoPsam);
    } else if (!bench.ictModules[kIctPict].inUse) {
        error.Set(kErrResource, kNoPict);
    }
    if (!error.failed() && CheckPins(a, error)) {
        for (int slot = 0; slot < kPinSlots; ++slot) {
            const bool guard = slot >= kSlotGp1 && slot <= kSlotGp4;
            const bool wanted = guard ? Guarded(a.wireMode)
                                : slot == kSlotGs
                                    ? a.wireMode == kFourGuarded || a.wireMode == kSixGuarded
                                    : slot <= kSlotLo || Sensed(a.wireMode);
            if (b.pinDefined[slot] && wanted) {
                pins.NoteModule(*b.pin[slot]);
            }
        }
        MarkTime(b, kTimePrepare);
        const AcSettings m = SettingsOf(a);
        if (Configure(a, m, errors) && Connect(a, pins, errors)) {
            MarkTime(b, kTimeSetup);
            if (Measure(a, m, out, errors)) {
                MarkTime(b, kTimeMeasure);
                ClassTraits verified = cls.traits;
                b.value = VerifiedValue(a, &verified.unit);
                char comment[128];
                BuildComment(a, out, comment, sizeof comment);
                CopyText(b.comment, comment);
                result = VerifyComponent(b, verified, comment);
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
    UpdateOutputs(a);
    if (error.failed()) {
        return AlertComponentError(b, cls.traits, error);
    }
    if (result < 0 && b.abortOnFail) {
        return -3;
    }
    return result;
}

long AcCallback(long reason, void* context, long contextSize) {
    long answer = -1;
    ComponentBlock* b = EditedBlock(reason, context, contextSize, &answer);
    if (!b) {
        return answer;
    }
    auto& a = *reinterpret_cast<AcBlock*>(b);
    for (double* value : {&a.delay, &a.rangeU, &b->correction}) {
        rvo_ReadAttrR(b->component, value);
    }
    rvo_ReadAttrI(b->component, &a.average);
    rvo_ReadAttrB(b->component, &a.autorange);
    ClampEdited(*b, {{&a.delay, 0.0, 2.0},
                     {&a.rangeU, 0.1, 5.0},
                     {&b->correction, -kCorrectionBound, kCorrectionBound}});
    ClampEdited(*b, {{&a.average, 1, kMaxReadSamples / kSampling[0].perPeriod}});
    for (char* text : {a.frequency, a.level, a.offset, a.rangeI, a.modelText}) {
        rvo_ReadAttrSList(b->component, text, 16);
    }
    StepError error;
    const bool ok = ReadBackHead(*b, error);
    a.wireMode = KeywordIndexNoBlanks(b->method, kWireModeList, a.wireMode);
    if (StoreSettings(a)) {
        MarkBenchModified(*b);
    }
    EnableForMode(a);
    rvo_SetAttributeCallback(1, 0);
    if (!ok) {
        rvo_Alert(nullptr, error.message, RVO_ALERT_ERROR);
        return -2;
    }
    return 0;
}

} // namespace

EN_NEV_RESULT RunAcComponent(ComponentCall& call, const AcClass& cls) {
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
        const long phase = EnterComponentStep(call, cls.traits, sizeof(AcBlock), &data, error);
        if (phase == -4) {
            rvo_ExitSTEP();
            return 0;
        }
        auto* block = static_cast<AcBlock*>(data);
        if (!block && !error.failed()) {
            error.Set(kErrMemory, cls.traits.methodName);
        }
        const bool define = phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN;
        if (!error.failed() && define) {
            Define(*block, call, cls, error);
        }
        if (!error.failed() && block &&
            (phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN)) {
            LinkForRun(block->head, call);
            block->cls = &cls;
            result = Run(*block, call, error);
        } else if (error.failed()) {
            result = block ? AlertComponentError(block->head, cls.traits, error) : -2;
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
