#include "ictx/measure/semis_frame.h"

#include "ictx/program/component_compile.h"
#include "ictx/program/component_writer.h"

#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspsam.h>
#include <winapi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kGroupPins = "TEST PINS";
constexpr const char* kGroupGuard = "TEST PINS|GUARD";
constexpr const char* kUpperHint = "%.1lf%% TOL+";
constexpr const char* kLowerHint = "  %.1lf%% TOL-";
constexpr const char* kNoPsam = "ICTDevice PSAM not defined";
constexpr const char* kPinPair = "%s-%s";
constexpr int32_t kFilterHertz[] = {0, 400, 4000, 40000, 100000, 0};
constexpr int32_t kFilterDigital = 0;
constexpr double kLimitBound = 1e16;
const char* const kGuardNames[] = {"GP1", "GP2", "GP3", "GP4"};

thread_local std::array<double, kMaxReadSamples> tlsSamples;

double* Ul(SemiBlock& b, int k) {
    return k == 0 ? &b.head.ul : &b.sub[k].ul;
}
double* Nom(SemiBlock& b, int k) {
    return k == 0 ? &b.head.nom : &b.sub[k].nom;
}
double* Ll(SemiBlock& b, int k) {
    return k == 0 ? &b.head.ll : &b.sub[k].ll;
}

double Tolerance(double limit, double nominal) {
    return nominal != 0 ? std::fabs(limit - nominal) * 100 / std::fabs(nominal) : 0;
}

void BuildSubHints(SemiBlock& b, int k) {
    SubBlock& s = b.sub[k];
    FormatText(s.ulHint, sizeof s.ulHint, kUpperHint, Tolerance(*Ul(b, k), *Nom(b, k)));
    FormatText(s.llHint, sizeof s.llHint, kLowerHint, Tolerance(*Ll(b, k), *Nom(b, k)));
}

void ResolveRolePins(SemiBlock& b) {
    for (int k = 0; k < kRolePins; ++k) {
        const char* text = b.roles->names[k] ? RolePinText(*b.head.record, k) : nullptr;
        char error[kMessageSize];
        int32_t count = 0;
        b.rolePin[k] = text && *text ? ResolveTestPin(*b.head.bench, text, &count, error) : nullptr;
        CopyText(b.roleText[k], b.rolePin[k] ? b.rolePin[k]->appName : "");
    }
}

void LoadSubSettings(SemiBlock& b) {
    for (int k = 0; k < kSubTests; ++k) {
        const SubTest& t = b.head.record->sub[k];
        SubBlock& s = b.sub[k];
        s.enabled = t.enable != 0;
        s.voltage = t.v;
        s.current = t.c;
        s.delay = t.md;
        s.interval = t.mi;
        s.average = t.ma;
        s.time = t.mt > 0 ? t.mt : t.ma * t.mi;
        KeywordText(kSemiFilterList, static_cast<int32_t>(t.mfIndex), s.filter, sizeof s.filter);
        KeywordText(kSemiCurrentRangeList, static_cast<int32_t>(t.crIndex), s.rangeSel,
                    sizeof s.rangeSel);
        s.rangeI = kCurrentRanges[std::min<uint32_t>(t.crIndex, kCurrentRangeCount - 1)];
        if (k > 0) {
            s.ul = t.ul;
            s.nom = t.nv;
            s.ll = t.ll;
        }
        s.ctrlLevel = t.sv;
        s.ctrlCurrent = t.sc;
        s.frequency = t.f;
        s.offset = t.vo;
        s.duty = t.sd;
        s.value = kBelowRange;
        s.valid = 0;
    }
    for (int k = 0; k < kSubTests; ++k) {
        BuildSubHints(b, k);
    }
}

// The settings as the record keeps them; true when anything changed.
bool StoreSubSettings(SemiBlock& b) {
    ComponentRecord& rec = *b.head.record;
    bool changed = false;
    auto real = [&](double& field, double value, uint32_t bit) {
        if (field != value) {
            field = value;
            rec.paramMask |= bit;
            changed = true;
        }
    };
    for (int k = 0; k < kSubTests; ++k) {
        SubTest& t = rec.sub[k];
        SubBlock& s = b.sub[k];
        real(t.v, s.voltage, kParamV);
        real(t.c, s.current, kParamC);
        real(t.md, s.delay, kParamMD);
        real(t.mi, s.interval, kParamMI);
        real(t.sv, s.ctrlLevel, kParamSV);
        real(t.sc, s.ctrlCurrent, kParamSC);
        real(t.f, s.frequency, kParamF);
        real(t.vo, s.offset, kParamVO);
        if (t.sd != s.duty) {
            t.sd = s.duty;
            rec.paramMask |= kParamSD;
            changed = true;
        }
        if (t.ma != s.average) {
            t.ma = s.average;
            rec.paramMask |= kParamMA;
            changed = true;
        }
        if (t.mt > 0 || s.time != t.ma * t.mi) {
            real(t.mt, s.time, kParamMT);
        }
        const int32_t f = KeywordIndex(s.filter, kSemiFilterList, static_cast<int32_t>(t.mfIndex));
        if (static_cast<uint32_t>(f) != t.mfIndex) {
            t.mfIndex = static_cast<uint32_t>(f);
            t.mf = kSampleRates[f];
            rec.paramMask |= kParamMF;
            changed = true;
        }
        const int32_t cr =
            KeywordIndex(s.rangeSel, kSemiCurrentRangeList, static_cast<int32_t>(t.crIndex));
        if (static_cast<uint32_t>(cr) != t.crIndex) {
            t.crIndex = static_cast<uint32_t>(cr);
            t.cr = kCurrentRanges[cr];
            s.rangeI = t.cr;
            rec.paramMask |= kParamCR;
            changed = true;
        }
        if (k > 0) {
            if (t.ul != s.ul || t.ll != s.ll || t.nv != s.nom) {
                t.ul = s.ul;
                t.ll = s.ll;
                t.nv = s.nom;
                rec.paramMask |= kParamUL | kParamLL | kParamNV;
                changed = true;
            }
        }
        if ((t.enable != 0) != (s.enabled != 0)) {
            t.enable = s.enabled ? 1 : 0;
            t.mode = s.enabled ? 'V' : '-';
            rec.paramMask |= kParamMM;
            changed = true;
        }
    }
    return changed;
}

void WriteRolePinsBack(SemiBlock& b) {
    for (int k = 0; k < kRolePins; ++k) {
        if (!b.roles->names[k]) {
            continue;
        }
        const char* now = RolePinText(*b.head.record, k);
        if (std::strcmp(OrEmpty(now), b.roleText[k]) == 0) {
            continue;
        }
        if (TakeEditedPin(*b.head.bench, b.roleText[k], sizeof b.roleText[k],
                          RolePinRef(*b.head.record, k), b.rolePin[k])) {
            MarkBenchModified(b.head);
        }
    }
}

long SemiCallback(long reason, void* context, long contextSize) {
    ComponentBlock* head = CallbackBlock(context, contextSize);
    if (!head) {
        return -1;
    }
    auto& b = *reinterpret_cast<SemiBlock*>(head);
    if (static_cast<uint32_t>(reason) == kRelink) {
        RelinkPins(*head);
        ResolveRolePins(b);
        return 0;
    }
    if (static_cast<uint32_t>(reason) != kAttributeEdit) {
        return -1;
    }
    const int subTests = std::clamp(b.subTests, 0, kSubTests);
    for (int k = 0; k < subTests; ++k) {
        SubBlock& s = b.sub[k];
        for (double* v :
             {&s.voltage, &s.current, &s.delay, &s.interval, &s.time, &s.ul, &s.nom, &s.ll,
              &s.gateLevel, &s.gateImp, &s.ctrlLevel, &s.ctrlCurrent, &s.frequency, &s.offset}) {
            rvo_ReadAttrR(head->component, v);
        }
        rvo_ReadAttrI(head->component, &s.average);
        rvo_ReadAttrI(head->component, &s.duty);
        rvo_ReadAttrB(head->component, &s.enabled);
        rvo_ReadAttrSList(head->component, s.filter, sizeof s.filter);
        rvo_ReadAttrSList(head->component, s.rangeSel, sizeof s.rangeSel);
        ClampEdited(*head, {{&s.voltage, -100.0, 100.0},
                            {&s.current, -1.0, 1.0},
                            {&s.delay, 0.0, 0.5},
                            {&s.interval, 1e-6, 1.0},
                            {&s.time, 0.0, 5.0},
                            {&s.ul, -kLimitBound, kLimitBound},
                            {&s.nom, -kLimitBound, kLimitBound},
                            {&s.ll, -kLimitBound, kLimitBound},
                            {&s.ctrlLevel, -30.0, 30.0},
                            {&s.ctrlCurrent, -1.0, 1.0},
                            {&s.frequency, 0.0, 1000.0},
                            {&s.offset, -30.0, 30.0}});
        ClampEdited(*head, {{&s.average, 1, kMaxReadSamples}, {&s.duty, 0, 100}});
    }
    for (auto& text : b.roleText) {
        rvo_ReadAttrSList(head->component, text, sizeof text);
    }
    StepError error;
    const bool ok = ReadBackHead(*head, error);
    WriteRolePinsBack(b);
    if (StoreSubSettings(b)) {
        MarkBenchModified(*head);
    }
    for (int k = 0; k < subTests; ++k) {
        BuildSubHints(b, k);
    }
    rvo_SetAttributeCallback(1, 0);
    if (!ok) {
        rvo_Alert(nullptr, error.message, RVO_ALERT_ERROR);
        return -2;
    }
    return 0;
}

void Define(SemiBlock& b, const ComponentCall& call, const SemiClass& cls, StepError& error) {
    if (!PrepareComponentBlock(b.head, call, cls.traits, error)) {
        return;
    }
    b.roles = RolesOf(b.head.classCode);
    if (!b.roles) {
        error.Set(kErrResource, cls.traits.methodName);
        return;
    }
    b.subTests = cls.subTests;
    ResolveRolePins(b);
    LoadSubSettings(b);
    DefineHeadAttributes(b.head, cls.traits);
    cls.defineSettings(b);
    DefineAdjustAttributes(b.head);
    DefineDetailAttributes(b.head);
    cls.defineDetails(b);
    DefineTimeAttributes(b.head);
    RegisterAttributeCallback(b.head, SemiCallback);
}

bool PinsDefined(const SemiBlock& b, int subTests) {
    for (int k = 0; k < subTests; ++k) {
        if (!b.sub[k].enabled) {
            continue;
        }
        PairSlot slots[kPairSlots];
        SlotsOf(b.roles->pairs[k], slots);
        for (const PairSlot& slot : slots) {
            if (slot.pin >= 0 && !b.rolePin[slot.pin]) {
                return false;
            }
        }
    }
    return true;
}

void UpdateOutputs(SemiBlock& b, int subTests) {
    ComponentBlock& h = b.head;
    // The current-regulation flag shows with or without details.
    for (int k = 0; k < subTests; ++k) {
        rvo_UpdateAttrI(h.component, &b.sub[k].regulated);
    }
    if (!h.details) {
        return;
    }
    rvo_UpdateAttrI(h.component, &h.reads);
    rvo_UpdateAttrR(h.component, &h.measTime);
    rvo_UpdateAttr(h.component, h.graph);
    for (int k = 0; k < subTests; ++k) {
        rvo_UpdateAttrI(h.component, &b.sub[k].reads);
        rvo_UpdateAttrR(h.component, &b.sub[k].mean);
        rvo_UpdateAttrR(h.component, &b.sub[k].rangeI);
        rvo_UpdateAttrR(h.component, &b.sub[k].auxMean);
    }
    for (double& t : h.times) {
        rvo_UpdateAttrR(h.component, &t);
    }
}

long Run(SemiBlock& b, const ComponentCall& call, const SemiClass& cls, StepError& error) {
    ComponentBlock& h = b.head;
    BenchRecord& bench = *h.bench;
    h.start = rvo_TSTAMP();
    std::fill(std::begin(h.times), std::end(h.times), 0.0);
    h.value = kBelowRange;
    h.valid = 0;
    h.reads = 0;
    for (SubBlock& s : b.sub) {
        s.value = kBelowRange;
        s.valid = 0;
        s.mean = 0;
        s.reads = 0;
        s.auxMean = 0;
        s.regulated = 0;
    }
    bool anySub = false;
    for (int k = 0; k < cls.subTests; ++k) {
        anySub = anySub || b.sub[k].enabled != 0;
    }
    // A component whose every sub-test is switched off has nothing to connect.
    if (!h.enabled || call.inVariant == 0 || !anySub) {
        return 0;
    }
    PinConnector pins(bench, h.bus);
    ModuleErrors errors;
    long result = 0;
    if (!bench.ictModules[kIctPsam].inUse) {
        error.Set(kErrResource, kNoPsam);
    } else if (!PinsDefined(b, cls.subTests)) {
        error.Set(kErrResource, b.roles->pinError);
    }
    if (!error.failed()) {
        MarkTime(h, kTimePrepare);
        result = cls.measure(b, pins, errors, error);
        if (!h.times[kTimeSetup]) {
            MarkTime(h, kTimeSetup);
        }
        if (!h.times[kTimeMeasure]) {
            MarkTime(h, kTimeMeasure);
        }
        pins.Disconnect(errors);
        MarkTime(h, kTimeCleanup);
    }
    h.value = b.sub[0].value;
    h.valid = b.sub[0].valid;
    ReportModuleErrors(bench, errors, error);
    h.usedModules = pins.usedModules();
    UpdateOutputs(b, cls.subTests);
    if (error.failed()) {
        return AlertComponentError(h, cls.traits, error);
    }
    if (result < 0 && h.abortOnFail) {
        return -3;
    }
    return result;
}

} // namespace

EN_NEV_RESULT RunSemiMethod(ComponentCall& call, const SemiClass& cls) {
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
        const long phase = EnterComponentStep(call, cls.traits, sizeof(SemiBlock), &data, error);
        if (phase == -4) {
            rvo_ExitSTEP();
            return 0;
        }
        auto* block = static_cast<SemiBlock*>(data);
        if (!block && !error.failed()) {
            error.Set(kErrMemory, cls.traits.methodName);
        }
        const bool define = phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN;
        if (!error.failed() && define) {
            Define(*block, call, cls, error);
        }
        if (!error.failed() && block && block->roles &&
            (phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN)) {
            if (LinkForRun(block->head, call)) {
                ResolveRolePins(*block);
            }
            result = Run(*block, call, cls, error);
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

void DefineSubStim(SubBlock& s, const char* group, const char* voltageName,
                   const char* currentName) {
    rvo_DefineAttrR(voltageName, group, &s.voltage, kUnitVolt, nullptr);
    rvo_DefineAttrR(currentName, group, &s.current, kUnitAmpere, nullptr);
}

void DefineSubMeas(SubBlock& s, const char* group, bool timed) {
    rvo_DefineAttrR("DELAY", group, &s.delay, kUnitSecond, nullptr);
    if (timed) {
        rvo_DefineAttrR("TIME", group, &s.time, kUnitSecond, nullptr);
    } else {
        rvo_DefineAttrI("AVERAGE", group, &s.average, 0,
                        "number of measurements to calculate average over");
        rvo_DefineAttrR("INTERVAL", group, &s.interval, kUnitSecond,
                        "interval between measurements");
    }
    rvo_DefineAttrSList("FILTER", group, s.filter, sizeof s.filter, kSemiFilterList, nullptr);
}

void DefineSubLimits(SemiBlock& b, int k, const char* group, bool switchable, long unit) {
    if (switchable) {
        rvo_DefineAttrI("ENABLED", group, &b.sub[k].enabled, 0, kBoolean);
    }
    rvo_DefineAttrR("UL", group, Ul(b, k), unit, b.sub[k].ulHint);
    rvo_DefineAttrR("NOM", group, Nom(b, k), unit, nullptr);
    rvo_DefineAttrR("LL", group, Ll(b, k), unit, b.sub[k].llHint);
}

void DefineRolePins(SemiBlock& b, bool guards) {
    const char* channels = b.head.bench->channelListPtr ? b.head.bench->channelListPtr : "";
    for (int k = 0; k < kRolePins; ++k) {
        if (b.roles->names[k]) {
            rvo_DefineAttrSList(b.roles->names[k], kGroupPins, b.roleText[k], sizeof b.roleText[k],
                                channels, nullptr);
        }
    }
    if (guards) {
        for (int g = 0; g < 4; ++g) {
            rvo_DefineAttrSList(kGuardNames[g], kGroupGuard, b.head.pinText[kSlotGp1 + g],
                                sizeof b.head.pinText[kSlotGp1 + g], channels, nullptr);
        }
    }
}

const ChannelRecord* HiPin(const SemiBlock& b, int k) {
    const int p = b.roles->pairs[k].hi;
    return p >= 0 ? b.rolePin[p] : nullptr;
}
const ChannelRecord* LoPin(const SemiBlock& b, int k) {
    const int p = b.roles->pairs[k].lo;
    return p >= 0 ? b.rolePin[p] : nullptr;
}
const ChannelRecord* GatePin(const SemiBlock& b, int k) {
    const int p = b.roles->pairs[k].gate;
    return p >= 0 ? b.rolePin[p] : nullptr;
}

SubRead ReadSettingsOf(const SubBlock& s, bool timed) {
    SubRead m{};
    const int32_t f = KeywordIndex(s.filter, kSemiFilterList, kFilterDigital);
    m.filterHertz = kFilterHertz[f];
    m.smoothing = f == kFilterDigital;
    const double interval = s.interval > 0 ? s.interval : 5e-6;
    const double wanted = timed && s.time > 0 ? std::floor(s.time / interval + 0.5) : s.average;
    m.samples = static_cast<int32_t>(std::clamp(wanted, 1.0, double{kMaxReadSamples}));
    return m;
}

bool ConnectPair(SemiBlock& b, int k, PinConnector& pins, ModuleErrors& errors) {
    const RolePair& p = b.roles->pairs[k];
    const ChannelRecord* hi = HiPin(b, k);
    const ChannelRecord* lo = LoPin(b, k);
    const ChannelRecord* gate = GatePin(b, k);
    for (const ChannelRecord* pin : {hi, lo, gate}) {
        if (pin) {
            pins.NoteModule(*pin);
        }
    }
    if (!pins.Connect(*hi, LineOf(p.hiGroup, *hi), errors) ||
        !pins.Connect(*lo, LineOf(p.loGroup, *lo), errors)) {
        return false;
    }
    if (gate && !pins.Connect(*gate, LineOf(p.gateGroup, *gate), errors)) {
        return false;
    }
    for (auto [k2, group] : {std::pair{p.senseHi, p.senseHiGroup}, {p.senseLo, p.senseLoGroup}}) {
        if (k2 >= 0) {
            const ChannelRecord& pin = *b.rolePin[k2];
            pins.NoteModule(pin);
            if (!pins.Connect(pin, LineOf(group, pin), errors)) {
                return false;
            }
        }
    }
    return pins.Settle(false, errors);
}

BusLine RoleBusLine(const SemiBlock& b, int k, int role) {
    return RoleLine(b.roles->pairs[k], role, b.rolePin);
}

bool ConnectRoles(SemiBlock& b, int k, PinConnector& pins, ModuleErrors& errors) {
    PairSlot slots[kPairSlots];
    SlotsOf(b.roles->pairs[k], slots);
    for (int i = 0; i < kPairSlots; ++i) {
        const PairSlot& slot = slots[i];
        bool before = false;
        for (int j = 0; j < i; ++j) {
            before = before || slots[j].pin == slot.pin;
        }
        if (slot.pin < 0 || before) {
            continue;
        }
        const ChannelRecord& pin = *b.rolePin[slot.pin];
        pins.NoteModule(pin);
        if (!pins.Connect(pin, RoleBusLine(b, k, slot.pin), errors)) {
            return false;
        }
    }
    return pins.Settle(false, errors);
}

void WaitSeconds(double seconds) {
    if (seconds > 0) {
        Sleep(static_cast<DWORD>(std::max(1.0, std::floor(seconds * 1000 + 0.5))));
    }
}

bool PsuCouplingOff(BenchRecord& bench, ModuleErrors& errors) {
    if (!bench.ictModules[kIctPsu].inUse) {
        return true;
    }
    errors.psu =
        ConfigurePsu(bench.ict.psu, bench.ictModules[kIctPsu].handle, kPsuCouplingOffPreset, kKeep,
                     kKeep, kKeepReal, kKeepReal, kKeep, kKeep, kKeepReal, kKeepReal);
    if (errors.psu < 0) {
        return false;
    }
    errors.psu = 0;
    return true;
}

bool ReadMeter(SemiBlock& b, int k, const SubRead& m, double range, const char* graph,
               bool& overRange, ModuleErrors& errors) {
    const ViSession psam = b.head.bench->ictModules[kIctPsam].handle;
    ReadResult read;
    double* samples = tlsSamples.data();
    const ViStatus status =
        ReadMultiPoint(psam, samples, m.samples, m.smoothing, kSemiReadTimeoutMs, range, &read);
    if (status < 0) {
        errors.psam = status;
        return false;
    }
    overRange = status == RSPSAM_WARN_OVER_RANGE;
    SubBlock& s = b.sub[k];
    s.mean = read.mean;
    s.reads = read.count;
    b.head.reads = read.count;
    b.head.measTime = m.samples * s.interval;
    SetGraph(b.head, samples, read.count, graph);
    return true;
}

long VerifySub(SemiBlock& b, int k, const char* name, long unit, const char* comment) {
    char pair[160];
    const ChannelRecord* hi = HiPin(b, k);
    const ChannelRecord* lo = LoPin(b, k);
    FormatText(pair, sizeof pair, kPinPair, hi ? hi->appName : "", lo ? lo->appName : "");
    CopyText(b.head.comment, comment);
    const long line = (static_cast<long>(b.head.sectionIndex) << 8) | 8;
    return rvo_VerifyR(0, name, line, unit, *Ll(b, k), "<=", b.sub[k].value, "<=", *Ul(b, k),
                       RVO_VERDICT_EXECUTIVE, 0.0, pair, comment);
}

} // namespace kora
