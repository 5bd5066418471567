// CONF_SCOPE (inputs, ground relays, reset), CTRG_SCOPE (trigger inputs and outputs) and
// TRIG_SCOPE (arm, software trigger, abort, wait until ready) of the signal analyzer.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/scope_common.h"
#include "routing/routing.h"

#include <kora/step_methods.h>
#include <rspam.h>
#include <rvoapi.h>
#include <util.h>
#include <winapi.h>

#include <cstring>
#include <vector>

namespace kora::scope {
namespace {

// ---- CONF_SCOPE -------------------------------------------------------------------------------

constexpr const char* kConfMethod = "CONF_SCOPE";
constexpr const char* kConfSelections = "CHA,CHB,CHA1,CHA2,CHA3,CHA4,CHB1,CHB2,CHB3,CHB4";
enum Selection { kAll = 0, kPathA = 1, kPathB = 2 }; // 3.. a single channel
constexpr const char* kConfFunctions = "INPUT,GROUNDED,RESET";
enum ConfFunction { kInput = 1, kGrounded, kReset };
constexpr const char* kInputModes = "10MOHM,10M_100KHZ,10M_400HZ,1MOHM,1M_100KHZ,1M_400HZ";
struct InputMode {
    double impedance;
    double maxFrequency;
};
constexpr InputMode kInputModeValues[] = {{1e7, 1e7}, {1e7, 99999}, {1e7, 399},
                                          {1e6, 1e7}, {1e6, 99999}, {1e6, 399}};
constexpr const char* kResetRouting = "%,?#";
constexpr const char* kResetText = "RESET";

struct ConfRecord {
    StepHead head; // selector: ConfFunction
    int32_t selection;
    int32_t inputMode;
    double enable;
    char devChanAttr[256];
};

void CompileConf(StepPass<ConfRecord>& pass, const char* devChanAttr, double enable) {
    ConfRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kConfMethod, 1)) {
        return;
    }
    const int f = MatchKeyword(r.head.parts.function, kConfFunctions);
    const bool noSelection = r.head.parts.channel[0] == 0;
    const int selection = noSelection ? kAll : MatchKeyword(r.head.parts.channel, kConfSelections);
    const int mode = f == kInput ? MatchKeyword(r.head.parts.suffix, kInputModes) : 0;
    if (f == 0 || (!noSelection && selection == 0) || (f == kInput && mode == 0) ||
        (f == kGrounded && selection > kPathB)) {
        RefuseKeyword(pass.error, ParamError(6), devChanAttr);
        return;
    }
    r.head.selector = f;
    r.selection = selection;
    r.inputMode = mode;
    r.enable = enable;
    CopyText(r.devChanAttr, OrEmpty(devChanAttr));
    rvo_DefineAttrR("Enable", kConfMethod, &r.enable, 2,
                    f == kInput      ? "DigitalFilter"
                    : f == kGrounded ? "Grounded"
                                     : nullptr);
}

// The channels of a selection, in order.
std::vector<const char*> SelectedChannels(int selection) {
    std::vector<const char*> out;
    for (int c = 0; c < 8; ++c) {
        const bool take = selection == kAll || (selection == kPathA && c < 4) ||
                          (selection == kPathB && c >= 4) || selection == c + 3;
        if (take) {
            out.push_back(kChannelNames[c]);
        }
    }
    return out;
}

EN_NEV_RESULT RunConf(StepPass<ConfRecord>& pass, double enable) {
    ConfRecord& r = *pass.record;
    r.enable = enable;
    rvo_UpdateAttrR(r.head.component, &r.enable);
    if (r.head.selector == 0) {
        rvo_SetSTEPResult(-2);
        return pass.error.Set(kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* a = FindAnalyzer(pass.bench, r.head.parts.device);
    if (!a) {
        RefuseKeyword(pass.error, ParamError(6), r.devChanAttr);
        return -2;
    }
    const long on = r.enable > 0 ? 1 : 0;
    Status s;
    switch (r.head.selector) {
    case kInput: {
        const InputMode& m = kInputModeValues[r.inputMode - 1];
        for (const char* channel : SelectedChannels(r.selection)) {
            SIGANL_ConfigureChannelCharacteristics(0, a->handle, channel, m.impedance,
                                                   m.maxFrequency, &s.warning, &s.error, s.message);
            if (s.failed(pass.error)) {
                return FailAsResult(pass.call, pass.error, r.devChanAttr);
            }
            SIGANL_ConfigureDigitalFilter(0, a->handle, channel, on, &s.warning, &s.error,
                                          s.message);
            if (s.failed(pass.error)) {
                return FailAsResult(pass.call, pass.error, r.devChanAttr);
            }
        }
        break;
    }
    case kGrounded:
        for (int p = 0; p < 2; ++p) {
            if (r.selection == kAll || r.selection == p + 1) {
                SIGANL_ConfigureGroundRelay(0, a->handle, kPathNames[p], on, &s.warning, &s.error,
                                            s.message);
                if (s.failed(pass.error)) {
                    return FailAsResult(pass.call, pass.error, r.devChanAttr);
                }
            }
        }
        break;
    case kReset: {
        SIGANL_Reset(0, a->handle, &s.warning, &s.error, s.message);
        if (s.failed(pass.error) || !RouteCommand(pass.error, pass.bench, kResetRouting)) {
            return FailAsResult(pass.call, pass.error, r.devChanAttr);
        }
        for (const char* path : kPathNames) {
            SIGANL_ConfigureTrigger(0, a->handle, path, kImmediate, 0.0, &s.warning, &s.error,
                                    s.message);
            if (s.failed(pass.error)) {
                return FailAsResult(pass.call, pass.error, r.devChanAttr);
            }
        }
        const EN_NEV_RESULT verdict = VerifyText(pass.call, kResetText, r.devChanAttr);
        if (pass.bench->routeDisplay) {
            ShowRouting(pass.bench, pass.call.stepName);
        }
        return verdict;
    }
    }
    return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, pass.call.stepName, pass.call.lineCode, 0, 0,
                                                  "", on, "", 0, RVO_VERDICT_EXECUTIVE, 0.0,
                                                  r.devChanAttr, pass.call.comment));
}

// ---- CTRG_SCOPE -------------------------------------------------------------------------------

constexpr const char* kCtrgMethod = "CTRG_SCOPE";
constexpr const char* kTriggerLines = "+IN,+INA,+INB,-IN,-INA,-INB,+OUTA,+OUTB,-OUTA,-OUTB";
constexpr const char* kInputSources = "IMMEDIATE,SOFTWARE,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7,"
                                      "XTI1,XTI2,ATA1,ATA2,ATA3,ATA4,ATB1,ATB2,ATB3,ATB4";
constexpr const char* kEdgeSources[] = {"VAL_TTL0", "VAL_TTL1", "VAL_TTL2", "VAL_TTL3", "VAL_TTL4",
                                        "VAL_TTL5", "VAL_TTL6", "VAL_TTL7", "VAL_XTI1", "VAL_XTI2",
                                        "CHA1",     "CHA2",     "CHA3",     "CHA4",     "CHB1",
                                        "CHB2",     "CHB3",     "CHB4"};
constexpr int kFirstEdgeSource = 3;    // PXI0
constexpr int kFirstAnalogSource = 13; // ATA1
constexpr const char* kTriggerTypes[] = {"IMMEDIATE", "SOFTWARE", "EDGE"};
constexpr const char* kOutputs = "XTO1,XTO2,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7";
constexpr const char* kOutputNames[] = {"VAL_XTO1", "VAL_XTO2", "VAL_TTL0", "VAL_TTL1", "VAL_TTL2",
                                        "VAL_TTL3", "VAL_TTL4", "VAL_TTL5", "VAL_TTL6", "VAL_TTL7"};
constexpr int32_t kOutputMasks[] = {0x100, 0x200, 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80};
constexpr const char* kOutputSourceList = "ATA1,ATA2,ATA3,ATA4,ATB1,ATB2,ATB3,ATB4,ITA,ITB,XTI";
constexpr const char* kOutputSources[] = {
    "VAL_OUT_SRC_ATA1",  "VAL_OUT_SRC_ATA2",  "VAL_OUT_SRC_ATA3", "VAL_OUT_SRC_ATA4",
    "VAL_OUT_SRC_ATB1",  "VAL_OUT_SRC_ATB2",  "VAL_OUT_SRC_ATB3", "VAL_OUT_SRC_ATB4",
    "VAL_OUT_SRC_IT1_A", "VAL_OUT_SRC_IT1_B", "VAL_OUT_SRC_XTI"};
constexpr double kEnableThreshold = 0.001;
enum TriggerKind { kTriggerInput = 1, kTriggerOutput = 2 };

struct CtrgRecord {
    StepHead head; // selector: TriggerKind
    char path[4];
    char slope[12]; // or the output's polarity
    int32_t source; // input source or output, 1-based
    int32_t outputSource;
    double levelEnable;
    char devChanAttr[256];
};

void CompileCtrg(StepPass<CtrgRecord>& pass, const char* devChanAttr, double levelEnable) {
    CtrgRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kCtrgMethod, 1)) {
        return;
    }
    const int line = MatchKeyword(r.head.parts.channel, kTriggerLines);
    const bool input = line >= 1 && line <= 6;
    const int source = input ? MatchKeyword(r.head.parts.function, kInputSources)
                             : MatchKeyword(r.head.parts.function, kOutputs);
    const int outputSource = input ? 0 : MatchKeyword(r.head.parts.suffix, kOutputSourceList);
    if (line == 0 || source == 0 || (!input && outputSource == 0)) {
        RefuseKeyword(pass.error, ParamError(6), devChanAttr);
        return;
    }
    const bool positive = r.head.parts.channel[0] == '+';
    const char* lineName = r.head.parts.channel + 1;
    const char last = lineName[std::strlen(lineName) - 1];
    CopyText(r.path, last == 'A' ? "A" : last == 'B' ? "B" : "");
    if (input) {
        CopyText(r.slope, positive ? "POSITIVE" : "NEGATIVE");
    } else {
        CopyText(r.slope, positive ? "HIGH" : "LOW");
    }
    r.head.selector = input ? kTriggerInput : kTriggerOutput;
    r.source = source;
    r.outputSource = outputSource;
    r.levelEnable = levelEnable;
    CopyText(r.devChanAttr, OrEmpty(devChanAttr));
    rvo_DefineAttrR("LevelEnable", kCtrgMethod, &r.levelEnable, input ? kUnitVolt : 0,
                    input ? "TrigLevel" : "TrigEnable");
}

EN_NEV_RESULT RunCtrg(StepPass<CtrgRecord>& pass, double levelEnable) {
    CtrgRecord& r = *pass.record;
    r.levelEnable = levelEnable;
    rvo_UpdateAttrR(r.head.component, &r.levelEnable);
    if (r.head.selector != kTriggerInput && r.head.selector != kTriggerOutput) {
        rvo_SetSTEPResult(-2);
        return pass.error.Set(kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* a = FindAnalyzer(pass.bench, r.head.parts.device);
    if (!a) {
        RefuseKeyword(pass.error, ParamError(6), r.devChanAttr);
        return -2;
    }
    Status s;
    if (r.head.selector == kTriggerInput) {
        const bool edge = r.source >= kFirstEdgeSource;
        const bool analog = r.source >= kFirstAnalogSource;
        const char* type = kTriggerTypes[edge ? 2 : r.source - 1];
        const double level = analog ? r.levelEnable : 0.0;
        SIGANL_ConfigureTrigger(0, a->handle, r.path, type, level, &s.warning, &s.error, s.message);
        if (!s.failed(pass.error) && edge) {
            SIGANL_ConfigureEdgeTriggerSource(0, a->handle, r.path,
                                              kEdgeSources[r.source - kFirstEdgeSource], level,
                                              r.slope, &s.warning, &s.error, s.message);
            s.failed(pass.error);
        }
        if (pass.error.failed()) {
            return FailAsResult(pass.call, pass.error, r.devChanAttr);
        }
        if (analog) {
            return static_cast<EN_NEV_RESULT>(rvo_VerifyR(
                0, pass.call.stepName, pass.call.lineCode, kUnitVolt, 0.0, "", r.levelEnable, "",
                0.0, RVO_VERDICT_EXECUTIVE, 0.0, r.devChanAttr, pass.call.comment));
        }
        return VerifyText(pass.call, r.head.parts.function, r.devChanAttr);
    }
    // The whole mask goes to the analyzer each time: it keeps no outputs of its own.
    const int32_t bit = kOutputMasks[r.source - 1];
    int32_t& mask = a->state.triggerOutputMask;
    mask = r.levelEnable > kEnableThreshold ? (mask | bit) : (mask & ~bit);
    SIGANL_EnableTriggerOutput(0, a->handle, mask, &s.warning, &s.error, s.message);
    if (!s.failed(pass.error)) {
        SIGANL_ConfigureTriggerOutput(0, a->handle, kOutputNames[r.source - 1],
                                      kOutputSources[r.outputSource - 1], r.slope, &s.warning,
                                      &s.error, s.message);
        s.failed(pass.error);
    }
    if (pass.error.failed()) {
        return FailAsResult(pass.call, pass.error, r.devChanAttr);
    }
    return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, pass.call.stepName, pass.call.lineCode, 0, 0,
                                                  "", mask, "", 0, RVO_VERDICT_EXECUTIVE, 0.0,
                                                  r.devChanAttr, pass.call.comment));
}

// ---- TRIG_SCOPE -------------------------------------------------------------------------------

constexpr const char* kTrigMethod = "TRIG_SCOPE";
constexpr const char* kTrigPaths = "CHA,CHB";
constexpr const char* kTrigActions = "ARM,SOFTWARE,ABORT,WAITRDY";
enum TrigAction { kArm = 1, kSoftware, kAbort, kWaitReady };
constexpr double kReadyTimeout = 1.0;
constexpr DWORD kPollMs = 1;
constexpr const char* kUnknownStatus[] = {"UNKNOWN ACQUISITION STATUS PATH A",
                                          "UNKNOWN ACQUISITION STATUS PATH B"};
constexpr const char* kReadyTimeoutText = "TIMEOUT WAITACQ";

struct TrigRecord {
    StepHead head; // selector: TrigAction
    int32_t paths; // bit 1 path A, bit 2 path B
    char devChanAttr[256];
};

void CompileTrig(StepPass<TrigRecord>& pass, const char* devChanAttr) {
    TrigRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kTrigMethod, 0)) {
        return;
    }
    const bool both = r.head.parts.channel[0] == 0;
    const int path = both ? 0 : MatchKeyword(r.head.parts.channel, kTrigPaths);
    const int action = MatchKeyword(r.head.parts.function, kTrigActions);
    if ((!both && path == 0) || action == 0) {
        RefuseKeyword(pass.error, ParamError(6), devChanAttr);
        return;
    }
    r.head.selector = action;
    r.paths = both ? 3 : path;
    CopyText(r.devChanAttr, OrEmpty(devChanAttr));
}

// Waits until every path of `paths` reports its acquisition complete, within a second of the
// bench clock.
bool WaitReady(StepError& error, long handle, int32_t paths) {
    const double start = UTIL_Hrestim_Time_Stamp();
    int32_t pending = paths;
    for (;;) {
        for (int p = 0; p < 2; ++p) {
            if (!(pending & (1 << p))) {
                continue;
            }
            ViInt32 status = RSPAM_ACQ_UNKNOWN;
            const ViStatus code = rspam_AcquisitionStatusPath(handle, p, &status);
            if (code < 0) {
                ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
                rspam_error_message(handle, code, text);
                return error.Set(kErrFunction, text);
            }
            if (status == RSPAM_ACQ_UNKNOWN) {
                return error.Set(kErrFunction, kUnknownStatus[p]);
            }
            if (status == RSPAM_ACQ_COMPLETE) {
                pending &= ~(1 << p);
            }
        }
        if (pending == 0) {
            return true;
        }
        SleepEx(kPollMs, TRUE);
        if (UTIL_Hrestim_Time_Stamp() - start >= kReadyTimeout) {
            return error.Set(kErrFunction, kReadyTimeoutText);
        }
    }
}

EN_NEV_RESULT RunTrig(StepPass<TrigRecord>& pass) {
    TrigRecord& r = *pass.record;
    if (r.head.selector == 0) {
        rvo_SetSTEPResult(-2);
        return pass.error.Set(kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* a = FindAnalyzer(pass.bench, r.head.parts.device);
    if (!a) {
        RefuseKeyword(pass.error, ParamError(6), r.devChanAttr);
        return -2;
    }
    const char* path = r.paths == 3 ? "" : kPathNames[r.paths - 1];
    Status s;
    switch (r.head.selector) {
    case kArm:
        SIGANL_InitiateAcquisition(0, a->handle, path, &s.warning, &s.error, s.message);
        break;
    case kSoftware:
        SIGANL_SendSoftwareTrigger(0, a->handle, path, &s.warning, &s.error, s.message);
        break;
    case kAbort:
        SIGANL_Abort(0, a->handle, path, &s.warning, &s.error, s.message);
        break;
    case kWaitReady:
        WaitReady(pass.error, a->handle, r.paths);
        break;
    }
    if (s.failed(pass.error) || pass.error.failed()) {
        return FailAsResult(pass.call, pass.error, r.devChanAttr);
    }
    return VerifyText(pass.call, r.head.parts.function, r.devChanAttr);
}

} // namespace
} // namespace kora::scope

using namespace kora;
using namespace kora::scope;

KORA_EXPORT EN_NEV_RESULT CONF_SCOPE(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     double Enable) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kConfMethod};
    return RunStandardPass<ConfRecord>(
        call, kKindNone, true, [&](auto& pass) { CompileConf(pass, DevChanAttr, Enable); },
        [&](auto& pass) { return RunConf(pass, Enable); });
}

KORA_EXPORT EN_NEV_RESULT CTRG_SCOPE(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     double LevelEnable) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kCtrgMethod};
    return RunStandardPass<CtrgRecord>(
        call, kKindNone, true, [&](auto& pass) { CompileCtrg(pass, DevChanAttr, LevelEnable); },
        [&](auto& pass) { return RunCtrg(pass, LevelEnable); });
}

KORA_EXPORT EN_NEV_RESULT TRIG_SCOPE(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kTrigMethod};
    return RunStandardPass<TrigRecord>(
        call, kKindNone, true, [&](auto& pass) { CompileTrig(pass, DevChanAttr); },
        [&](auto& pass) { return RunTrig(pass); });
}
