// The discharge of the DISCHARGE component: each pin in turn is emptied through the PSAM's
// discharge unit, handed to the DC source once its voltage is low enough to hold, and grounded.
#include "ictx/measure/component_frame.h"
#include "ictx/measure/component_tests.h"
#include "ictx/measure/pin_test_support.h"
#include "ictx/measure/unit_control.h"

#include "frame/args.h"
#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspsam.h>
#include <winapi.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kGroup = "DISCHARGE";
constexpr const char* kGroupOptions = "DISCHARGE|OPTIONS";
constexpr const char* kGroupSettings = "SETTINGS";
constexpr const char* kGroupValidation = "VALIDATION";
constexpr const char* kGroupPins = "TEST PINS";
constexpr const char* kGroupDetails = "DETAILS";
constexpr const char* kGroupTimes = "DETAILS|TIME";
constexpr const char* kSelectedHint = "List of test pins to discharge (empty = all test pins)";
constexpr const char* kReferenceHint =
    "List of test pins to use as GND for discharge (they are also discharged first)";
constexpr const char* kResultsHint = "Sub-Results Setup,Cleanup";
constexpr const char* kListSelected = "DISCHARGE";
constexpr const char* kListReference = "REFERENCE";
constexpr const char* kPinStart = "PIN=%.2lfV, DCH";
constexpr const char* kReferenceStart = "REF=%.2lfV, DCH";
constexpr const char* kSourceStage = ">DCS";
constexpr const char* kGroundStage = ">GND";
constexpr const char* kPinPlace = "%s.%s";
constexpr const char* kTimeNames[kTimeCount] = {"PREPARE", "SETUP", "MEASURE", "CLEANUP"};
constexpr long kFirstPinResult = 10000;
constexpr long kLineMarker = 8;
constexpr int32_t kSamples = 64;
constexpr int32_t kQueryVoltage = 0;
constexpr DWORD kStepMs = 1;
constexpr int32_t kGroundReference = 3; // B selector of a reference pin's final connection
constexpr int32_t kGround = 4;          // and of every other pin's
// The discharge current steps up as the voltage falls below each threshold.
constexpr double kStepThresholds[] = {50.0, 25.0, 12.5};
constexpr std::size_t kListSize = 1024;

constexpr ClassTraits kDischargeClass = {
    "DISCHARGE", "DISCHARGE", "ICTX_DISCHARGE", "ICTX_DISCHARGE[ %li ]\n", "", kUnitVolt};
constexpr PinTestHead kDischargeHead = {kGroup, kGroupOptions, "ATTR", "ABORTONFAIL"};

struct DischargeBlock {
    ComponentBlock head;
    double activeLevel; // ACTIVE DCH
    double timeout;
    double discharged;
    char selected[kListSize];
    char reference[kListSize];
    int32_t results;
};

long DischargeCallback(long reason, void* context, long contextSize);

void Load(DischargeBlock& d) {
    const ComponentRecord& r = *d.head.record;
    d.discharged = r.sub[0].nv;
    d.activeLevel = r.sub[1].nv;
    d.timeout = r.sub[2].mt;
    CopyText(d.selected, OrEmpty(r.tl));
    CopyText(d.reference, OrEmpty(r.rl));
}

void Define(DischargeBlock& d, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = d.head;
    if (!PrepareComponentBlock(b, call, kDischargeClass, error)) {
        return;
    }
    Load(d);
    DefinePinTestHead(b, kDischargeHead);
    rvo_DefineAttrR("ACTIVE DCH", kGroupSettings, &d.activeLevel, kUnitVolt, "DCS");
    rvo_DefineAttrR("TIMEOUT", kGroupSettings, &d.timeout, kUnitSecond, nullptr);
    rvo_DefineAttrR("DISCHARGED", kGroupValidation, &d.discharged, kUnitVolt, "Pin voltage");
    rvo_DefineAttr("SELECTED", kGroupPins, RVO_ATTR_TEXT, d.selected, sizeof d.selected, 0,
                   kSelectedHint);
    rvo_DefineAttr("REFERENCE", kGroupPins, RVO_ATTR_TEXT, d.reference, sizeof d.reference, 0,
                   kReferenceHint);
    rvo_DefineAttrI("RESULTS", kGroupDetails, &d.results, 0, kResultsHint);
    for (int k = 0; k < kTimeCount; ++k) {
        rvo_DefineAttrR(kTimeNames[k], kGroupTimes, &b.times[k], kUnitSecond, kShown);
    }
    RegisterAttributeCallback(b, DischargeCallback);
}

// The discharge unit on the A lines, the meter across the pin, the source at 0 V on the B lines.
bool Configure(DischargeBlock& d, ModuleErrors& errors) {
    BenchRecord& bench = *d.head.bench;
    const SubTest& s = d.head.record->sub[1];
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    if ((errors.psam = rspsam_dch_ConfigureCurrent(psam, 0)) >= 0 &&
        (errors.psam = rspsam_dch_ConfigureEnabled(psam, VI_TRUE)) >= 0 &&
        (errors.psam = rspsam_cnx_Matrix(psam, 0, 255, 0x88)) >= 0 &&
        (errors.psam = ConfigureMu(bench.ict.mu, psam, kMuVoltage, 0x88, 0x22, s.vr, s.mf, kSamples,
                                   s.mi > 0 ? s.mi : 5e-6, s.md, 1)) >= 0) {
        errors.psam =
            ConfigureDcs(bench.ict.dcs, psam, 1, 0x44, 0x33, 0x44, 0x22, 0, 0.0, 0.1, 0, 1);
    }
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    return true;
}

// The discharge unit off the bus again, so that the tests after this one find the A lines free.
void ReleaseDischargeUnit(BenchRecord& bench, ModuleErrors& errors) {
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    ViStatus s = rspsam_dch_ConfigureEnabled(psam, VI_FALSE);
    if (s >= 0) {
        s = rspsam_cnx_Matrix(psam, 0, 255, 0);
    }
    if (s < 0 && errors.psam == 0) {
        errors.psam = s;
    }
}

struct PinOutcome {
    double volts = 0;
    double seconds = 0;
    char comment[128] = {};
};

bool ReadVoltage(const BenchRecord& bench, double range, double& volts, ModuleErrors& errors) {
    ReadResult read;
    const ViStatus s = ReadMultiPoint(bench.ictModules[kIctPsam].handle, nullptr, kSamples, false,
                                      kPinReadTimeoutMs, range, &read);
    if (s < 0) {
        errors.psam = s;
        return false;
    }
    volts = read.mean;
    return true;
}

// Discharges one pin; false on a driver error.
bool DischargePin(DischargeBlock& d, const ChannelRecord& pin, bool reference, uint32_t& used,
                  PinOutcome& out, ModuleErrors& errors) {
    BenchRecord& bench = *d.head.bench;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    const double range = d.head.record->sub[1].vr;
    const double start = rvo_TSTAMP();
    long budget = std::lround(d.timeout * 1000);
    int32_t step = 0;
    if ((errors.psam = rspsam_dch_ConfigureCurrent(psam, step)) < 0 ||
        !MovePin(bench, pin, 0, 1, 0, 0, used, errors)) {
        return false;
    }
    bool toSource = false;
    for (bool first = true;; first = false) {
        if (!ReadVoltage(bench, range, out.volts, errors)) {
            return false;
        }
        if (first) {
            FormatText(out.comment, sizeof out.comment, reference ? kReferenceStart : kPinStart,
                       out.volts);
        }
        const double magnitude = std::fabs(out.volts);
        if (magnitude < d.discharged || bench.ict.dischargeToGround) {
            break;
        }
        if (magnitude < d.activeLevel) {
            toSource = true;
            break;
        }
        int32_t wanted = 0;
        for (const double threshold : kStepThresholds) {
            wanted += magnitude < threshold ? 1 : 0;
        }
        if (wanted != step) {
            step = wanted;
            if ((errors.psam = rspsam_dch_ConfigureCurrent(psam, step)) < 0) {
                return false;
            }
        }
        if (budget-- <= 0) {
            out.seconds = rvo_TSTAMP() - start;
            return true; // failed with its last voltage
        }
        Sleep(kStepMs);
    }
    if (toSource) {
        AppendText(out.comment, sizeof out.comment, kSourceStage);
        if (!MovePin(bench, pin, 1, 2, 0, 0, used, errors)) {
            return false;
        }
        for (;;) {
            ViBoolean regulated = VI_FALSE;
            if ((errors.psam = rspsam_dcs_QueryOutputState(psam, kQueryVoltage, &regulated)) < 0) {
                return false;
            }
            if (regulated) {
                out.volts = 0;
                break;
            }
            if (budget-- <= 0) {
                out.seconds = rvo_TSTAMP() - start;
                return true;
            }
            Sleep(kStepMs);
        }
    }
    AppendText(out.comment, sizeof out.comment, kGroundStage);
    if (!MovePin(bench, pin, 0, reference ? kGroundReference : kGround, 0, 0, used, errors)) {
        return false;
    }
    out.seconds = rvo_TSTAMP() - start;
    return true;
}

long Run(DischargeBlock& d, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = d.head;
    BenchRecord& bench = *b.bench;
    b.start = rvo_TSTAMP();
    for (double& x : b.times) {
        x = 0;
    }
    if (!b.enabled || call.inVariant == 0) {
        return 0;
    }
    Load(d); // edits and a step method's new values are in the record
    ComponentCall own = call;
    own.ownHardware.reportLevel = std::max<long>(call.ownHardware.reportLevel, d.results);
    ModuleErrors errors;
    uint32_t used = 0;
    long result = 0;
    std::vector<const ChannelRecord*> selected, references;
    bool configured = false;
    if (OwnSetup(b, own, error) && CheckPinTestHardware(bench, error) &&
        ResolvePinNames(bench, d.selected, kListSelected, selected, error) &&
        ResolvePinNames(bench, d.reference, kListReference, references, error) &&
        ReleaseOtherUnits(bench, errors)) {
        if (selected.empty()) {
            for (int32_t m = 0; m < MatrixModuleCount(bench); ++m) {
                for (const ChannelRecord* pin : PinsOfModule(bench, m)) {
                    if (pin) {
                        selected.push_back(pin);
                    }
                }
            }
        }
        MarkTime(b, kTimePrepare);
        configured = Configure(d, errors);
        MarkTime(b, kTimeSetup);
        const long line = (static_cast<long>(b.sectionIndex) << 8) | kLineMarker;
        long number = kFirstPinResult;
        std::vector<const ChannelRecord*> order = references;
        for (const ChannelRecord* pin : selected) {
            if (std::find(references.begin(), references.end(), pin) == references.end()) {
                order.push_back(pin);
            }
        }
        for (std::size_t k = 0; configured && k < order.size(); ++k) {
            const ChannelRecord& pin = *order[k];
            const bool reference = k < references.size();
            PinOutcome out;
            if (!DischargePin(d, pin, reference, used, out, errors)) {
                break;
            }
            char place[160];
            FormatText(place, sizeof place, kPinPlace, bench.switchCards[pin.cardIndex].name,
                       pin.pinName);
            if (rvo_VerifyR(number++, pin.appName, line, kUnitVolt, -d.discharged, "<=", out.volts,
                            "<=", d.discharged, RVO_VERDICT_EXECUTIVE, out.seconds, out.comment,
                            place) < 0) {
                result = -1;
            }
        }
        MarkTime(b, kTimeMeasure);
    }
    if (configured) {
        ReleaseDischargeUnit(bench, errors);
    }
    DisconnectModules(bench, used, errors);
    MarkTime(b, kTimeCleanup);
    ReportModuleErrors(bench, errors, error);
    OwnCleanup(b, own, error);
    b.usedModules = used;
    for (double& x : b.times) {
        rvo_UpdateAttrR(b.component, &x);
    }
    if (error.failed()) {
        return AlertPinTestError(b, kDischargeClass.alertFormat, error);
    }
    if (result < 0 && b.abortOnFail) {
        return -3;
    }
    return result;
}

long DischargeCallback(long reason, void* context, long contextSize) {
    long answer = -1;
    ComponentBlock* b = EditedBlock(reason, context, contextSize, &answer);
    if (!b) {
        return answer;
    }
    auto& d = *reinterpret_cast<DischargeBlock*>(b);
    ComponentRecord& r = *b->record;
    for (double* value : {&d.activeLevel, &d.timeout, &d.discharged}) {
        rvo_ReadAttrR(b->component, value);
    }
    ClampEdited(*b, {{&d.discharged, r.sub[0].ll, r.sub[0].ul},
                     {&d.activeLevel, r.sub[1].ll, r.sub[1].ul},
                     {&d.timeout, 0.0, 5.0}});
    rvo_ReadAttrB(b->component, &d.results);
    rvo_ReadAttrS(b->component, d.selected, sizeof d.selected);
    rvo_ReadAttrS(b->component, d.reference, sizeof d.reference);
    StepError error;
    const bool ok = ReadBackHead(*b, error);
    bool changed = StoreRecordText(*b, r.tl, d.selected, kParamTL);
    changed |= StoreRecordText(*b, r.rl, d.reference, kParamRL);
    auto real = [&](double& field, double value, uint32_t bit) {
        if (field != value) {
            field = value;
            r.paramMask |= bit;
            changed = true;
        }
    };
    real(r.sub[0].nv, d.discharged, kParamNV);
    real(r.sub[1].nv, d.activeLevel, kParamNV);
    real(r.sub[2].mt, d.timeout, kParamMT);
    real(r.sub[0].mt, d.timeout, kParamMT); // where the file keeps it
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

EN_NEV_RESULT TestDischarge(ComponentCall& call) {
    return RunPinTestMethod<DischargeBlock>(
        call, kDischargeClass, [&](DischargeBlock& d, StepError& error) { Define(d, call, error); },
        [&](DischargeBlock& d, StepError& error) { return Run(d, call, error); });
}

} // namespace kora
