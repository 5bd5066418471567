#include "ictx/measure/component_frame.h"

#include "frame/args.h"
#include "frame/bench_context.h"
#include "frame/step_frame.h"
#include "frame/text.h"
#include "ictx/program/component_order.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kGroupValidation = "VALIDATION";
constexpr const char* kGroupAdjust = "VALIDATION|ADJUST";
constexpr const char* kGroupPins = "TEST PINS";
constexpr const char* kGroupSense = "TEST PINS|SENSE";
constexpr const char* kGroupGuard = "TEST PINS|GUARD";
constexpr const char* kGroupDetails = "DETAILS";
constexpr const char* kGroupDetailMeas = "DETAILS|MEAS";
constexpr const char* kGroupTimes = "DETAILS|TIME";
constexpr const char* kCompensationGroup = "COMPENSATION";
constexpr const char* kVariantSuffix = " | VAR";
constexpr const char* kUpperHint = "%.1lf%% TOL+";
constexpr const char* kLowerHint = "  %.1lf%% TOL-";
constexpr const char* kLimitsHint = "UL/LL = X +/- %";
constexpr double kLimitBound = 1e16; // the limits and corrections of every class
constexpr const char* kTimeHint = "time of complete measurement (AVERAGE * INTERVAL)";
constexpr const char* kInvalidVariant = "Invalid VARIANT '%s' defined\n\nAvailable: %s";
constexpr double kDefaultAdjustPercent = 10.0;
constexpr long kLineMarker = 8;
constexpr long kAnswerIgnore = 11;

const char* const kPinNames[kPinSlots] = {"HI",  "LO",  "HI",  "LO",   "GP1",
                                          "GP2", "GP3", "GP4", "SENSE"};
const char* const kPinGroups[kPinSlots] = {kGroupPins,  kGroupPins,  kGroupSense,
                                           kGroupSense, kGroupGuard, kGroupGuard,
                                           kGroupGuard, kGroupGuard, kGroupGuard};
const char* const kTimeNames[kTimeCount] = {"PREPARE", "SETUP", "MEASURE", "CLEANUP"};

// The record's pin text of a slot.
const char*& RecordPinRef(ComponentRecord& r, int slot) {
    switch (slot) {
    case kSlotHi:
    case kSlotLo:
        return r.tp[slot];
    case kSlotSenseHi:
    case kSlotSenseLo:
        return r.ts[slot - kSlotSenseHi];
    case kSlotGs:
        return r.gs;
    default:
        return r.gp[slot - kSlotGp1];
    }
}

const char* RecordPin(const ComponentRecord& r, int slot) {
    return RecordPinRef(const_cast<ComponentRecord&>(r), slot);
}

double TolerancePercent(double limit, double nominal) {
    return nominal != 0 ? std::fabs(limit - nominal) * 100 / std::fabs(nominal) : 0;
}

void BuildHints(ComponentBlock& b) {
    FormatText(b.ulHint, sizeof b.ulHint, kUpperHint, TolerancePercent(b.ul, b.nom));
    FormatText(b.llHint, sizeof b.llHint, kLowerHint, TolerancePercent(b.ll, b.nom));
}

void ResolvePins(ComponentBlock& b) {
    for (int slot = 0; slot < kPinSlots; ++slot) {
        char error[kMessageSize];
        int32_t count = 0;
        const char* text = RecordPin(*b.record, slot);
        b.pin[slot] = text && *text ? ResolveTestPin(*b.bench, text, &count, error) : nullptr;
        b.pinDefined[slot] = b.pin[slot] != nullptr;
        CopyText(b.pinText[slot], b.pin[slot] ? b.pin[slot]->appName : "");
    }
}

void SwapSlots(ComponentBlock& b, int first, int second) {
    std::swap(b.pin[first], b.pin[second]);
    std::swap(b.pinDefined[first], b.pinDefined[second]);
    char text[64];
    CopyText(text, b.pinText[first]);
    CopyText(b.pinText[first], b.pinText[second]);
    CopyText(b.pinText[second], text);
}

} // namespace

long EnterComponentStep(const ComponentCall& call, const ClassTraits& cls, long size, void** data,
                        StepError& error) {
    const long lineCode =
        (static_cast<long>(call.record->index) << 8) | kLineMarker | call.lineFlags;
    return _EnterStep_KORA(kKindNone, lineCode, call.stepId, call.name, call.option,
                           call.record->comment ? call.record->comment : "", cls.methodName,
                           nullptr, static_cast<int32_t>(size), data, &error.code, error.message);
}

bool PrepareComponentBlock(ComponentBlock& b, const ComponentCall& call, const ClassTraits& cls,
                           StepError& error) {
    ComponentRecord& r = *call.record;
    b.component = rvo_GetCurrentComponent();
    b.bench = call.bench;
    b.record = call.record;
    b.availableVariants = call.availableVariants;
    b.linkEpoch = BenchMemoryEpoch();
    b.benchIndex = call.benchIndex;
    b.sectionIndex = r.index;
    b.classCode = r.classCode;
    b.flags = r.flags;
    if (ViStatus s = FetchBusChannelIds(b.bus); s < 0) {
        ModuleErrors errors;
        errors.sm160 = s;
        ReportModuleErrors(*b.bench, errors, error);
        return false;
    }
    ResolvePins(b);
    const bool compensation = (r.flags & kFlagCompensation) != 0;
    CopyText(b.typeText, compensation ? cls.compText : cls.typeText);
    CopyText(b.nameText, OrEmpty(r.name));
    if (r.variants && *r.variants) {
        AppendText(b.nameText, sizeof b.nameText, kVariantSuffix);
    }
    CopyText(b.idText, OrEmpty(r.pi));
    CopyText(b.infoText, OrEmpty(r.info));
    CopyText(b.variant, r.variantText);
    b.enabled = (r.flags & kFlagDisabled) == 0;
    b.locked = (r.flags & kFlagLocked) != 0;
    b.report = (r.flags & kFlagNoReport) == 0;
    b.abortOnFail = (r.flags & kFlagAbortOnFail) != 0;
    b.ul = r.sub[0].ul;
    b.nom = r.sub[0].nv;
    b.ll = r.sub[0].ll;
    b.correction = r.sub[0].mc;
    b.autozero = r.sub[0].az != 0;
    if (b.limitsPercent == 0) {
        b.limitsPercent = kDefaultAdjustPercent;
    }
    BuildHints(b);
    b.valid = 0;
    b.value = kBelowRange;
    return true;
}

bool LinkForRun(ComponentBlock& b, const ComponentCall& call) {
    b.bench = call.bench;
    const uint32_t epoch = BenchMemoryEpoch();
    if (b.linkEpoch == epoch && b.record == call.record) {
        return false;
    }
    b.record = call.record;
    b.availableVariants = call.availableVariants;
    b.linkEpoch = epoch;
    ResolvePins(b);
    return true;
}

void DefineHeadAttributes(ComponentBlock& b, const ClassTraits& cls, const char* optionsSuffix) {
    const char* group = (b.flags & kFlagCompensation) ? kCompensationGroup : cls.typeText;
    rvo_DefineAttrS("TYPE", group, b.typeText, 0, nullptr);
    rvo_DefineAttrS("NAME", group, b.nameText, 0, nullptr);
    rvo_DefineAttrS("ID", group, b.idText, 0, nullptr);
    rvo_DefineAttrS("INFO", group, b.infoText, 0, nullptr);
    char options[64];
    if (optionsSuffix) {
        FormatText(options, sizeof options, "%s%s", group, optionsSuffix);
        group = options;
    }
    rvo_DefineAttr("VARIANT", group, RVO_ATTR_TEXT, b.variant, sizeof b.variant, 0, nullptr);
    rvo_DefineAttrI("ENABLED", group, &b.enabled, 0, kBoolean);
    rvo_DefineAttrI("LOCKED", group, &b.locked, 0, kBoolean);
    rvo_DefineAttrI("REPORT", group, &b.report, 0, kBoolean);
    rvo_DefineAttrI("ABORTONFAIL", group, &b.abortOnFail, 0, kBoolean);
}

void DefineLimitAttributes(ComponentBlock& b, const ClassTraits& cls, const char* group) {
    group = group ? group : kGroupValidation;
    rvo_DefineAttrR("UL", group, &b.ul, cls.unit, b.ulHint);
    rvo_DefineAttrR("NOM", group, &b.nom, cls.unit, nullptr);
    rvo_DefineAttrR("LL", group, &b.ll, cls.unit, b.llHint);
    for (double* limit : {&b.ul, &b.nom, &b.ll}) {
        rvo_ScaleAttrR(b.component, limit, cls.unit);
    }
}

void DefineAdjustAttributes(ComponentBlock& b, const char* group) {
    group = group ? group : kGroupAdjust;
    rvo_DefineAttrR("LIMITS", group, &b.limitsPercent, kUnitPercent, kLimitsHint);
    rvo_DefineAttr("NOM", group, RVO_ATTR_BUTTON, &b.adjustNom, 1, 0, nullptr);
    rvo_DefineAttr("MEAS", group, RVO_ATTR_BUTTON, &b.adjustMeas, 1, 0, nullptr);
}

void DefinePinAttributes(ComponentBlock& b, const ClassTraits& cls) {
    const char* channels = b.bench->channelListPtr ? b.bench->channelListPtr : "";
    rvo_DefineAttrSList("METHOD", kGroupPins, b.method, sizeof b.method, cls.methodList, nullptr);
    for (int slot = 0; slot < kPinSlots; ++slot) {
        rvo_DefineAttrSList(kPinNames[slot], kPinGroups[slot], b.pinText[slot],
                            sizeof b.pinText[slot], channels, nullptr);
        if (slot == kSlotLo) {
            rvo_DefineAttr("SWAP", kGroupPins, RVO_ATTR_BUTTON, &b.swap, 1, 0, nullptr);
        } else if (slot == kSlotSenseLo) {
            rvo_DefineAttr("SWAP", kGroupSense, RVO_ATTR_BUTTON, &b.senseSwap, 1, 0, nullptr);
        }
    }
}

void DefineDetailAttributes(ComponentBlock& b) {
    rvo_DefineAttrI("ENABLE", kGroupDetails, &b.details, 0, kBoolean);
    rvo_DefineAttr("GRAPH", kGroupDetailMeas, RVO_ATTR_REAL_ARRAY, b.graph, kGraphPoints, 0,
                   nullptr);
    rvo_DefineAttrI("#READ", kGroupDetailMeas, &b.reads, 0, kShown);
    rvo_DefineAttrR("TIME", kGroupDetailMeas, &b.measTime, kUnitSecond, kTimeHint);
}

void DefineTimeAttributes(ComponentBlock& b) {
    for (int t = 0; t < kTimeCount; ++t) {
        rvo_DefineAttrR(kTimeNames[t], kGroupTimes, &b.times[t], kUnitSecond, kShown);
    }
}

void RegisterAttributeCallback(ComponentBlock& b, RVO_CALLBACK callback) {
    ComponentBlock* self = &b;
    rvo_RegisterCallback(RVO_CALLBACK_ATTRIBUTE, 0, callback, sizeof self, &self);
}

int32_t KeywordIndex(const char* text, const char* list, int32_t fallback) {
    const int k = MatchKeyword(text, list);
    return k > 0 ? k - 1 : fallback;
}

void KeywordText(const char* list, int32_t i, char* out, std::size_t size) {
    const char* p = list;
    for (int32_t k = 0; k < i && p; ++k) {
        p = std::strchr(p, ',');
        p = p ? p + 1 : nullptr;
    }
    if (!p) {
        out[0] = 0;
        return;
    }
    const char* end = std::strchr(p, ',');
    CopyText(out, size,
             std::string_view(p, end ? static_cast<std::size_t>(end - p) : std::strlen(p)));
}

ComponentBlock* CallbackBlock(void* context, long contextSize) {
    ComponentBlock* b = nullptr;
    if (!context || contextSize != static_cast<long>(sizeof b)) {
        return nullptr;
    }
    std::memcpy(&b, context, sizeof b);
    return b;
}

ComponentBlock* EditedBlock(long reason, void* context, long contextSize, long* answer) {
    ComponentBlock* b = CallbackBlock(context, contextSize);
    *answer = -1;
    if (!b) {
        return nullptr;
    }
    if (static_cast<uint32_t>(reason) == kRelink) {
        RelinkPins(*b);
        *answer = 0;
        return nullptr;
    }
    return static_cast<uint32_t>(reason) == kAttributeEdit ? b : nullptr;
}

void RelinkPins(ComponentBlock& b) {
    ResolvePins(b);
}

void WritePinsBack(ComponentBlock& b) {
    for (int slot = 0; slot < kPinSlots; ++slot) {
        const char* now = RecordPin(*b.record, slot);
        if (std::strcmp(OrEmpty(now), b.pinText[slot]) == 0) {
            continue;
        }
        if (!TakeEditedPin(*b.bench, b.pinText[slot], sizeof b.pinText[slot],
                           RecordPinRef(*b.record, slot), b.pin[slot])) {
            continue;
        }
        b.pinDefined[slot] = b.pin[slot] != nullptr;
        MarkBenchModified(b);
    }
}

bool TakeEditedPin(const BenchRecord& bench, char* text, std::size_t size, const char*& recordPin,
                   const ChannelRecord*& pin) {
    if (!text[0]) {
        recordPin = nullptr;
        pin = nullptr;
        return true;
    }
    char error[kMessageSize];
    int32_t count = 0;
    const ChannelRecord* found = ResolveTestPin(bench, text, &count, error);
    if (!found) {
        CopyText(text, size, OrEmpty(recordPin));
        return false;
    }
    // The record outlives the step's block (an executive reset drops the block, the program
    // stays with the bench), so it points at the channel's name in the bench's own table.
    recordPin = found->appName;
    CopyText(text, size, found->appName);
    pin = found;
    return true;
}

void ClampEdited(const ComponentBlock& b, std::initializer_list<RealBounds> bounds) {
    for (const RealBounds& x : bounds) {
        const double v = std::isnan(*x.value) ? x.low : std::clamp(*x.value, x.low, x.high);
        if (v != *x.value || std::isnan(*x.value)) {
            *x.value = v;
            rvo_UpdateAttrR(b.component, x.value);
        }
    }
}

void ClampEdited(const ComponentBlock& b, std::initializer_list<IntBounds> bounds) {
    for (const IntBounds& x : bounds) {
        const int32_t v = std::clamp(*x.value, x.low, x.high);
        if (v != *x.value) {
            *x.value = v;
            rvo_UpdateAttrI(b.component, x.value);
        }
    }
}

bool ReadBackHead(ComponentBlock& b, StepError& error) {
    ComponentRecord& r = *b.record;
    rvo_ReadAttrS(b.component, b.variant, sizeof b.variant);
    for (int32_t* flag : {&b.enabled, &b.locked, &b.report, &b.abortOnFail, &b.details, &b.swap,
                          &b.senseSwap, &b.adjustNom, &b.adjustMeas}) {
        rvo_ReadAttrB(b.component, flag);
    }
    for (double* value : {&b.ul, &b.nom, &b.ll, &b.limitsPercent}) {
        rvo_ReadAttrR(b.component, value);
    }
    ClampEdited(b, {{&b.ul, -kLimitBound, kLimitBound},
                    {&b.nom, -kLimitBound, kLimitBound},
                    {&b.ll, -kLimitBound, kLimitBound},
                    {&b.limitsPercent, 0.0, 100.0}});
    for (auto& text : b.pinText) {
        rvo_ReadAttrSList(b.component, text, sizeof text);
    }
    rvo_ReadAttrSList(b.component, b.method, sizeof b.method);

    if (std::strcmp(b.variant, r.variantText) != 0) {
        uint32_t set[kVariantWords] = {};
        char message[kMessageSize];
        if (ParseVariantText(b.variant, b.availableVariants, set, message) < 0) {
            error.Set(kErrResource, message);
            CopyText(b.variant, r.variantText);
            rvo_UpdateAttrS(b.component, "VARIANT", b.variant);
            return false;
        }
        std::memcpy(r.variantSet, set, sizeof set);
        CopyText(r.variantText, b.variant);
        MarkBenchModified(b);
    }
    if (b.swap) {
        SwapSlots(b, kSlotHi, kSlotLo);
        b.swap = 0;
    }
    if (b.senseSwap) {
        SwapSlots(b, kSlotSenseHi, kSlotSenseLo);
        b.senseSwap = 0;
    }
    WritePinsBack(b);

    const double x = b.limitsPercent / 100;
    if (b.adjustNom) {
        b.ul = (1 + x) * b.nom;
        b.ll = (1 - x) * b.nom;
    } else if (b.adjustMeas && b.valid) {
        b.ul = (1 + x) * b.value;
        b.ll = (1 - x) * b.value;
    }
    if (b.adjustNom || b.adjustMeas) {
        rvo_UpdateAttrR(b.component, &b.ul);
        rvo_UpdateAttrR(b.component, &b.ll);
        b.adjustNom = 0;
        b.adjustMeas = 0;
    }
    BuildHints(b);

    SubTest& s = r.sub[0];
    if (s.ul != b.ul || s.ll != b.ll || s.nv != b.nom) {
        s.ul = b.ul;
        s.ll = b.ll;
        s.nv = b.nom;
        r.paramMask |= kParamUL | kParamLL | kParamNV;
        MarkBenchModified(b);
    }
    const uint32_t flags =
        (b.enabled ? 0u : uint32_t{kFlagDisabled}) | (b.report ? 0u : uint32_t{kFlagNoReport}) |
        (b.locked ? uint32_t{kFlagLocked} : 0u) | (b.abortOnFail ? uint32_t{kFlagAbortOnFail} : 0u);
    const uint32_t mask = kFlagDisabled | kFlagNoReport | kFlagLocked | kFlagAbortOnFail;
    if ((r.flags & mask) != flags) {
        r.flags = (r.flags & ~mask) | flags;
        b.flags = r.flags;
        MarkBenchModified(b);
    }
    return true;
}

void MarkTime(ComponentBlock& b, ComponentTime which) {
    double before = 0;
    for (int t = 0; t < which; ++t) {
        before += b.times[t];
    }
    b.times[which] = std::max(0.0, rvo_TSTAMP() - b.start - before);
}

long VerifyComponent(ComponentBlock& b, const ClassTraits& cls, const char* comment) {
    return rvo_VerifyR(0, b.nameText, (static_cast<long>(b.sectionIndex) << 8) | kLineMarker,
                       cls.unit, b.ll, "<=", b.value, "<=", b.ul, RVO_VERDICT_EXECUTIVE, 0.0,
                       b.nameText, comment);
}

long AlertComponentError(ComponentBlock& b, const ClassTraits& cls, StepError& error) {
    char text[kReportSize];
    FormatText(text, sizeof text, cls.alertFormat, static_cast<long>(b.sectionIndex),
               b.bench ? b.bench->name : "", error.message);
    const long answer = rvo_Alert(nullptr, text, RVO_ALERT_ERROR);
    const long result = answer == RVO_ANSWER_STOP ? -5 : -2;
    rvo_SetSTEPResult(result);
    if (answer == kAnswerIgnore) {
        error.Clear();
    }
    return result;
}

void SetGraph(ComponentBlock& b, const double* samples, int32_t count, const char* label) {
    rvo_UpdateAttrS(b.component, "GRAPH", label);
    std::fill(std::begin(b.graph), std::end(b.graph), 0.0);
    if (count <= 0) {
        return;
    }
    const int32_t n = std::min<int32_t>(count, kGraphPoints);
    for (int32_t i = 0; i < n; ++i) {
        b.graph[i] = samples[static_cast<int64_t>(i) * count / n];
    }
}

void AppendMarker(char* comment, std::size_t size, const char* marker) {
    AppendText(comment, size, marker);
}

void MarkBenchModified(ComponentBlock& b) {
    if (BenchRecord* owner = BenchByIndex(b.benchIndex)) {
        owner->ictModified = 1;
    }
    if (b.bench) {
        b.bench->ictModified = 1;
    }
}

} // namespace kora
