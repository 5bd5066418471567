// The track test of the TRACK component: each pair of consecutive pins of its list must be joined
// by a conducting track of less than the upper limit.
#include "ictx/measure/component_frame.h"
#include "ictx/measure/component_tests.h"
#include "ictx/measure/pin_test_support.h"
#include "ictx/measure/unit_control.h"

#include "frame/args.h"
#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspsam.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kModeList = "NO,NORMAL,TRACK_FAST";
constexpr const char* kGroup = "TRACK";
constexpr const char* kGroupOptions = "TRACK|OPTIONS";
constexpr const char* kGroupSettings = "SETTINGS";
constexpr const char* kGroupValidation = "VALIDATION";
constexpr const char* kGroupCorr = "VALIDATION|CORR";
constexpr const char* kGroupPins = "TEST PINS";
constexpr const char* kGroupDetails = "DETAILS";
constexpr const char* kGroupDetailMeas = "DETAILS|MEAS";
constexpr const char* kGroupTimes = "DETAILS|TIME";
constexpr const char* kSelectedHint = "List of test pins to check for track connection";
constexpr const char* kListName = "TRACK";
constexpr const char* kTooFewPins = "At least 2 TEST PINS needed";
constexpr const char* kPairName = "%s - %s";
constexpr const char* kTimeNames[kTimeCount] = {"Prepare", "Setup", "Measure", "Cleanup"};
constexpr long kFirstPairResult = 10000;
constexpr long kLineMarker = 8;
constexpr int32_t kQueryCurrent = 1;
constexpr ViStatus kOverRange = 0x3FFA2001;
constexpr double kFlowShare = 1.0 / 5000; // of the current limit: below it nothing conducts
constexpr std::size_t kListSize = 1024;

constexpr ClassTraits kTrackClass = {"TRACK",   "TRACK", "ICTX_TRACK", "ICTX_TRACK[ %li ]\n",
                                     kModeList, kUnitOhm};
constexpr PinTestHead kTrackHead = {kGroup, kGroupOptions, "ATTR", "ABORTONFAIL"};

struct TrackBlock {
    ComponentBlock head;
    char mode[16];
    double voltage, range, limit;
    double upper;
    char selected[kListSize];
    char detailPin[64];
    int32_t currentMode;
};

thread_local std::array<double, kMaxReadSamples> tlsRecord;

void Load(TrackBlock& t) {
    const SubTest& s = t.head.record->sub[0];
    ModeText(s.mode, kModeList, t.mode, sizeof t.mode);
    t.voltage = s.v;
    t.range = s.cr;
    t.limit = s.c;
    t.upper = s.nv;
    CopyText(t.selected, OrEmpty(t.head.record->tl));
}

long TrackCallback(long reason, void* context, long contextSize);

void Define(TrackBlock& t, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = t.head;
    if (!PrepareComponentBlock(b, call, kTrackClass, error)) {
        return;
    }
    Load(t);
    b.compensation = b.bench->compensation[kSysR0];
    DefinePinTestHead(b, kTrackHead);
    rvo_DefineAttrSList("MODE", kGroupSettings, t.mode, sizeof t.mode, kModeList, nullptr);
    rvo_DefineAttrR("VOLTAGE", kGroupSettings, &t.voltage, kUnitVolt, "DCS");
    rvo_DefineAttrR("I.RANGE", kGroupSettings, &t.range, kUnitAmpere, "MU");
    rvo_DefineAttrR("I.LIMIT", kGroupSettings, &t.limit, kUnitAmpere, nullptr);
    rvo_DefineAttrR("UL", kGroupValidation, &t.upper, kUnitOhm, nullptr);
    rvo_DefineAttrR("SYSR0", kGroupCorr, &b.compensation, kUnitOhm, "Compensation");
    rvo_DefineAttr("SELECTED", kGroupPins, RVO_ATTR_TEXT, t.selected, sizeof t.selected, 0,
                   kSelectedHint);
    rvo_DefineAttrI("ENABLE", kGroupDetails, &b.details, 0, kBoolean);
    rvo_DefineAttrSList("PIN", kGroupDetails, t.detailPin, sizeof t.detailPin,
                        b.bench->channelListPtr ? b.bench->channelListPtr : "", nullptr);
    rvo_DefineAttr("GRAPH", kGroupDetailMeas, RVO_ATTR_REAL_ARRAY, b.graph, kGraphPoints, 0,
                   nullptr);
    rvo_DefineAttrI("CMODE", kGroupDetailMeas, &t.currentMode, 0, "DCS");
    for (int k = 0; k < kTimeCount; ++k) {
        rvo_DefineAttrR(kTimeNames[k], kGroupTimes, &b.times[k], kUnitSecond, kShown);
    }
    RegisterAttributeCallback(b, TrackCallback);
}

// Configures the source and the ammeter; false on a driver error.
bool Configure(TrackBlock& t, bool fast, ModuleErrors& errors) {
    BenchRecord& bench = *t.head.bench;
    const SubTest& s = t.head.record->sub[0];
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    errors.psam =
        ConfigureMu(bench.ict.mu, psam, kMuCurrent, 0x44, 0x22, t.range, s.mf,
                    std::clamp(s.ma, 1, kMaxReadSamples), s.mi > 0 ? s.mi : 5e-6, s.md, 1);
    // By resistance the source may deliver up to the meter's range, so that a good track reads
    // its own resistance and not the one the limit's current gives.
    const double sourceLimit = fast ? t.limit : t.range;
    if (errors.psam >= 0) {
        errors.psam = ConfigureDcs(bench.ict.dcs, psam, 1, 0x88, 0x22, 0x88, 0x44, 1, t.voltage,
                                   sourceLimit, 0, 1);
    }
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    return true;
}

// One pair's value with the pins in place; false on a driver error.
bool MeasurePair(TrackBlock& t, bool fast, bool detail, double& value, ModuleErrors& errors) {
    ComponentBlock& b = t.head;
    const ViSession psam = b.bench->ictModules[kIctPsam].handle;
    value = kAboveRange;
    if (fast) {
        ViBoolean limiting = VI_FALSE;
        if ((errors.psam = rspsam_dcs_QueryOutputState(psam, kQueryCurrent, &limiting)) < 0) {
            return false;
        }
        errors.psam = 0;
        t.currentMode = limiting ? 1 : 0;
        if (limiting) {
            value = 0;
        }
        return true;
    }
    ReadResult read;
    const SubTest& s = b.record->sub[0];
    const ViStatus status =
        ReadMultiPoint(psam, tlsRecord.data(), std::clamp(s.ma, 1, kMaxReadSamples), false,
                       kPinReadTimeoutMs, t.range, &read);
    if (status < 0) {
        errors.psam = status;
        return false;
    }
    if (detail) {
        SetGraph(b, tlsRecord.data(), read.count, kGraphCurrent);
    }
    if (status == kOverRange) {
        value = 0;
    } else if (read.mean > t.limit * kFlowShare) {
        value = std::max(0.0, t.voltage / read.mean - b.compensation);
    }
    return true;
}

long Run(TrackBlock& t, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = t.head;
    BenchRecord& bench = *b.bench;
    b.start = rvo_TSTAMP();
    for (double& x : b.times) {
        x = 0;
    }
    t.currentMode = 0;
    if (!b.enabled || call.inVariant == 0) {
        return 0;
    }
    Load(t); // edits and a step method's new values are in the record
    b.compensation = bench.compensation[kSysR0];
    const bool fast = ModeChar(t.mode, kModeList) == 'F';
    ModuleErrors errors;
    uint32_t used = 0;
    long result = 0;
    std::vector<const ChannelRecord*> pins;
    if (OwnSetup(b, call, error) && CheckPinTestHardware(bench, error) &&
        ResolvePinNames(bench, t.selected, kListName, pins, error) &&
        (pins.size() >= 2 || error.Set(kErrResource, kTooFewPins)) &&
        ReleaseOtherUnits(bench, errors)) {
        MarkTime(b, kTimePrepare);
        const long line = (static_cast<long>(b.sectionIndex) << 8) | kLineMarker;
        long failures = 0;
        bool ok = Configure(t, fast, errors);
        MarkTime(b, kTimeSetup);
        for (std::size_t k = 0; ok && k + 1 < pins.size(); ++k) {
            const ChannelRecord& p = *pins[k];
            const ChannelRecord& q = *pins[k + 1];
            ok = MovePin(bench, p, k == 0 ? 0 : 2, 1, 0, 0, used, errors) &&
                 MovePin(bench, q, 0, 2, 0, 0, used, errors);
            double value = kAboveRange;
            const bool detail = b.details && std::strcmp(t.detailPin, q.appName) == 0;
            ok = ok && MeasurePair(t, fast, detail, value, errors) &&
                 MovePin(bench, p, 1, 0, 0, 0, used, errors);
            if (!ok) {
                break;
            }
            char name[160];
            FormatText(name, sizeof name, kPairName, p.appName, q.appName);
            if (rvo_VerifyR(kFirstPairResult + static_cast<long>(k), name, line, kUnitOhm, 0, "",
                            value, "<=", t.upper, RVO_VERDICT_EXECUTIVE, 0.0, name,
                            fast ? "TRACK_FAST" : "TRACK") < 0) {
                ++failures;
            }
        }
        MarkTime(b, kTimeMeasure);
        if (ok) {
            result = rvo_VerifyI(0, b.nameText, line, kUnitFailCount, 0, "", failures, "<=", 0,
                                 RVO_VERDICT_EXECUTIVE, 0.0, b.nameText, OwnResetText(call));
        }
    }
    DisconnectModules(bench, used, errors);
    MarkTime(b, kTimeCleanup);
    ReportModuleErrors(bench, errors, error);
    OwnCleanup(b, call, error);
    b.usedModules = used;
    rvo_UpdateAttrI(b.component, &t.currentMode);
    for (double& x : b.times) {
        rvo_UpdateAttrR(b.component, &x);
    }
    if (b.details) {
        rvo_UpdateAttr(b.component, b.graph);
    }
    if (error.failed()) {
        return AlertPinTestError(b, kTrackClass.alertFormat, error);
    }
    if (result < 0 && b.abortOnFail) {
        return -3;
    }
    return result;
}

long TrackCallback(long reason, void* context, long contextSize) {
    long answer = -1;
    ComponentBlock* b = EditedBlock(reason, context, contextSize, &answer);
    if (!b) {
        return answer;
    }
    auto& t = *reinterpret_cast<TrackBlock*>(b);
    ComponentRecord& r = *b->record;
    SubTest& s = r.sub[0];
    for (double* value : {&t.voltage, &t.range, &t.limit, &t.upper}) {
        rvo_ReadAttrR(b->component, value);
    }
    ClampEdited(*b, {{&t.voltage, 0.2, 5.0},
                     {&t.range, kMuCurrentRanges[0], kMuCurrentRanges[kCurrentRangeCount - 1]},
                     {&t.limit, 3e-6, 0.1},
                     {&t.upper, s.ll, s.ul}});
    rvo_ReadAttrSList(b->component, t.mode, sizeof t.mode);
    rvo_ReadAttrSList(b->component, t.detailPin, sizeof t.detailPin);
    rvo_ReadAttrS(b->component, t.selected, sizeof t.selected);
    StepError error;
    const bool ok = ReadBackHead(*b, error);
    bool changed = StoreRecordText(*b, r.tl, t.selected, kParamTL);
    auto real = [&](double& field, double value, uint32_t bit) {
        if (field != value) {
            field = value;
            r.paramMask |= bit;
            changed = true;
        }
    };
    real(s.v, t.voltage, kParamV);
    real(s.cr, t.range, kParamCR);
    real(s.c, t.limit, kParamC);
    real(s.nv, t.upper, kParamNV);
    const char mode = ModeChar(t.mode, kModeList);
    if (s.mode != mode) {
        s.mode = mode;
        s.enable = mode != '-' ? 1 : 0;
        r.paramMask |= kParamMM;
        changed = true;
    }
    if (changed) {
        MarkBenchModified(*b);
    }
    rvo_SetAttributeCallback(1, 0);
    if (!ok) {
        rvo_Alert(nullptr, error.message, RVO_ALERT_ERROR);
        return -2;
    }
    return 0;
}

} // namespace

EN_NEV_RESULT TestTrack(ComponentCall& call) {
    return RunPinTestMethod<TrackBlock>(
        call, kTrackClass, [&](TrackBlock& t, StepError& error) { Define(t, call, error); },
        [&](TrackBlock& t, StepError& error) { return Run(t, call, error); });
}

} // namespace kora
