// SET_ADIO, GET_ADIO, CTRG_ADIO, TRIG_ADIO and CORR_ADIO: digital outputs and square-wave groups,
// the digital inputs under a mask, triggers and the self-corrections of the I/O module.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/adio_common.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <iterator>

namespace kora::adio {
namespace {

constexpr const char* kSetMethod = "SET_ADIO";
constexpr const char* kGetMethod = "GET_ADIO";
constexpr const char* kCtrgMethod = "CTRG_ADIO";
constexpr const char* kTrigMethod = "TRIG_ADIO";
constexpr const char* kCorrMethod = "CORR_ADIO";
constexpr const char* kSetFunctions = "DOUT,PWM";
constexpr const char* kStateLabel = "State";
constexpr const char* kEnableLabel = "Enable";
constexpr const char* kInputKeyword = "DIN";
constexpr const char* kTriggerKinds = "+IN,+OUT,-OUT";
constexpr const char* kTriggerSources =
    "IMMEDIATE,SOFTWARE,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7,XTI";
constexpr ViInt32 kSourceCodes[] = {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1};
constexpr const char* kTriggerOutputs = "PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7,XTO";
constexpr const char* kTriggerEvents = "GPT,SEQSTART,SCLK";
constexpr const char* kTrigActions = "ARM,SOFTWARE,STOP";
constexpr const char* kCorrections = "PRECISION,FAST";
// The driver call of each keyword, in list order.
ViStatus (*const kTrigCalls[])(ViSession) = {rspio2_Initiate, rspio2_SendSoftwareTrigger,
                                             rspio2_Abort};
ViStatus (*const kCorrCalls[])(ViSession) = {rspio2_PerformAutoCorrection,
                                             rspio2_PerformFastAutoCorrection};
constexpr int32_t kInputTimeoutMs = 100;
constexpr double kEnableThreshold = 0.001;
constexpr int kDevChanArgument = 6;

struct SetRecord {
    StepHead head; // selector: 1 DOUT, 2 PWM
    Selection selection;
    int32_t stateEnable;
    int32_t bitMask;
    int32_t bitValues;
};

struct GetRecord {
    StepHead head; // selector: 1 when DIN
    int32_t compMask;
    int32_t compValue;
};

struct TriggerRecord {
    StepHead head; // selector: 1 +IN, 2 +OUT, 3 -OUT
    int32_t source;
    int32_t outputMask;
    int32_t event;
    double enable;
};

struct KeywordRecord {
    StepHead head; // selector: the keyword's index
};

EN_NEV_RESULT RunSet(StepPass<SetRecord>& pass, const char* devChanAttr, long stateEnable) {
    SetRecord& r = *pass.record;
    r.stateEnable = TruncToInt32(static_cast<double>(stateEnable));
    rvo_UpdateAttrI(r.head.component, &r.stateEnable);
    if (r.head.selector < 1 || r.head.selector > 2) {
        return Refuse(pass.error, kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* d =
        FindModule(pass.error, pass.bench, r.head, ParamError(kDevChanArgument), devChanAttr);
    if (!d) {
        return -2;
    }
    const bool dout = r.head.selector == 1;
    r.bitMask = dout ? r.selection.channelMask : r.selection.groupMask;
    r.bitValues = r.bitMask & r.stateEnable;
    rvo_UpdateAttrI(r.head.component, &r.bitMask);
    rvo_UpdateAttrI(r.head.component, &r.bitValues);
    const ViSession vi = static_cast<ViSession>(d->handle);
    const ViStatus status = dout
                                ? rspio2_SetDigitalOutputState(vi, static_cast<ViUInt16>(r.bitMask),
                                                               static_cast<ViUInt16>(r.stateEnable))
                                : rspio2_SquareWaveEnabled(vi, r.bitMask, r.stateEnable);
    if (DriverFailed(pass.error, vi, status)) {
        return -2;
    }
    return VerifyNumber(pass.call, kUnitMask, r.bitValues, r.head.parts.channel);
}

EN_NEV_RESULT RunGet(StepPass<GetRecord>& pass, const char* devChanAttr, long* stateOut) {
    GetRecord& r = *pass.record;
    const StepCall& call = pass.call;
    rvo_UpdateAttrI(r.head.component, &r.compMask);
    rvo_UpdateAttrI(r.head.component, &r.compValue);
    if (r.head.selector != 1) {
        return Refuse(pass.error, kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* d =
        FindModule(pass.error, pass.bench, r.head, ParamError(kDevChanArgument), devChanAttr);
    if (!d) {
        return -2;
    }
    const ViSession vi = static_cast<ViSession>(d->handle);
    ViUInt16 state = 0;
    if (DriverFailed(pass.error, vi,
                     rspio2_FetchDigital(vi, kInputTimeoutMs, 1, &state, nullptr))) {
        return -2;
    }
    if (stateOut) {
        *stateOut = state;
    }
    if (r.compMask != 0) {
        // Equal on both sides: the expected value is the low limit as well, since an executive
        // that checks "0 = value" would fail every expectation but 0.
        const long expected = r.compValue & r.compMask;
        return static_cast<EN_NEV_RESULT>(rvo_VerifyI(
            0, call.stepName, call.lineCode, kUnitMask, expected, "=", state & r.compMask, "=",
            expected, RVO_VERDICT_EXECUTIVE, 0.0, "", call.comment));
    }
    return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, call.lineCode, kUnitMask, 0, "",
                                                  state, "", 0, 0, 0.0, "", call.comment));
}

EN_NEV_RESULT RunTrigger(StepPass<TriggerRecord>& pass, const char* devChanAttr, double enable) {
    TriggerRecord& r = *pass.record;
    r.enable = enable;
    DeviceRecord* d =
        FindModule(pass.error, pass.bench, r.head, ParamError(kDevChanArgument), devChanAttr);
    if (!d) {
        return -2;
    }
    const ViSession vi = static_cast<ViSession>(d->handle);
    if (r.head.selector == 1) {
        if (DriverFailed(pass.error, vi, rspio2_ConfigureTriggerSource(vi, r.source))) {
            return -2;
        }
        return VerifyText(pass.call, r.head.parts.function, r.head.parts.channel);
    }
    if (r.head.selector != 2 && r.head.selector != 3) {
        return Refuse(pass.error, kErrFunction, kInvalidSetting), -2;
    }
    const bool on = r.enable > kEnableThreshold;
    const ViStatus status = rspio2_ConfigureTriggerOutput(
        vi, r.outputMask, r.event, r.head.selector == 2 ? r.outputMask : 0, on ? r.outputMask : 0);
    if (DriverFailed(pass.error, vi, status)) {
        return -2;
    }
    return VerifyNumber(pass.call, kUnitNone, on ? 1 : 0, r.head.parts.channel);
}

// TRIG_ADIO and CORR_ADIO: one keyword, one driver call.
EN_NEV_RESULT RunKeyword(StepPass<KeywordRecord>& pass, const char* devChanAttr,
                         ViStatus (*const calls[])(ViSession), std::size_t count) {
    KeywordRecord& r = *pass.record;
    if (r.head.selector < 1 || static_cast<std::size_t>(r.head.selector) > count) {
        return Refuse(pass.error, kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* d =
        FindModule(pass.error, pass.bench, r.head, ParamError(kDevChanArgument), devChanAttr);
    if (!d) {
        return -2;
    }
    const ViSession vi = static_cast<ViSession>(d->handle);
    if (DriverFailed(pass.error, vi, calls[r.head.selector - 1](vi))) {
        return -2;
    }
    return VerifyText(pass.call, KeywordOf(r.head), "");
}

void CompileKeyword(StepPass<KeywordRecord>& pass, const char* devChanAttr, const char* method,
                    long option, const char* list) {
    KeywordRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, method, option)) {
        return;
    }
    r.head.selector = MatchKeyword(KeywordOf(r.head), list);
    if (r.head.selector == 0) {
        Refuse(pass.error, ParamError(kDevChanArgument), devChanAttr);
    }
}

} // namespace
} // namespace kora::adio

using namespace kora;
using namespace kora::adio;

KORA_EXPORT EN_NEV_RESULT SET_ADIO(long stepRef, const char* stepName, long lineCode, long stepArg,
                                   const char* comment, const char* DevChanAttr, long StateEnable) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kSetMethod};
    return RunStandardPass<SetRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            SetRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kSetMethod, 0)) {
                return;
            }
            const int k = MatchKeyword(r.head.parts.function, kSetFunctions);
            if (k == 0 || !SelectionOf(r.head.parts.channel, &r.selection) ||
                (k == 2 && r.selection.groupMask == 0)) {
                Refuse(pass.error, ParamError(kDevChanArgument), DevChanAttr);
                return;
            }
            r.head.selector = k;
            r.stateEnable = TruncToInt32(static_cast<double>(StateEnable));
            rvo_DefineAttrI("StateEnable", kSetMethod, &r.stateEnable, kUnitMask,
                            k == 1 ? kStateLabel : kEnableLabel);
            rvo_DefineAttrI("BitMask", kSetMethod, &r.bitMask, kUnitMask, nullptr);
            rvo_DefineAttrI("BitValues", kDetails, &r.bitValues, kUnitMask, nullptr);
        },
        [&](auto& pass) { return RunSet(pass, DevChanAttr, StateEnable); });
}

KORA_EXPORT EN_NEV_RESULT GET_ADIO(long stepRef, const char* stepName, long lineCode, long stepArg,
                                   const char* comment, const char* DevChanAttr, long* State,
                                   long CompMask, long CompValue) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kGetMethod};
    return RunStandardPass<GetRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            GetRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kGetMethod, 1)) {
                return;
            }
            if (MatchKeyword(KeywordOf(r.head), kInputKeyword) != 1) {
                Refuse(pass.error, ParamError(kDevChanArgument), DevChanAttr);
                return;
            }
            r.head.selector = 1;
            r.compMask = TruncToInt32(static_cast<double>(CompMask));
            r.compValue = TruncToInt32(static_cast<double>(CompValue));
            rvo_DefineAttrI("CompMask", kGetMethod, &r.compMask, kUnitMask, nullptr);
            rvo_DefineAttrI("CompValue", kGetMethod, &r.compValue, kUnitMask, nullptr);
        },
        [&](auto& pass) {
            GetRecord& r = *pass.record;
            r.compMask = TruncToInt32(static_cast<double>(CompMask));
            r.compValue = TruncToInt32(static_cast<double>(CompValue));
            return RunGet(pass, DevChanAttr, State);
        });
}

KORA_EXPORT EN_NEV_RESULT CTRG_ADIO(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr, double Enable) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kCtrgMethod};
    return RunStandardPass<TriggerRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            TriggerRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kCtrgMethod, 1)) {
                return;
            }
            const int kind = MatchKeyword(r.head.parts.channel, kTriggerKinds);
            bool ok = kind != 0;
            if (kind == 1) {
                const int s = MatchKeyword(r.head.parts.function, kTriggerSources);
                ok = s != 0;
                r.source = ok ? kSourceCodes[s - 1] : 0;
            } else if (ok) {
                const int out = MatchKeyword(r.head.parts.function, kTriggerOutputs);
                const int event = MatchKeyword(r.head.parts.suffix, kTriggerEvents);
                ok = out != 0 && event != 0;
                r.outputMask = out ? 1 << (out - 1) : 0;
                r.event = event - 1;
            }
            if (!ok) {
                Refuse(pass.error, ParamError(kDevChanArgument), DevChanAttr);
                return;
            }
            r.head.selector = kind;
            r.enable = Enable;
            rvo_DefineAttrR("Enable", kCtrgMethod, &r.enable, kUnitNone, nullptr);
        },
        [&](auto& pass) { return RunTrigger(pass, DevChanAttr, Enable); });
}

KORA_EXPORT EN_NEV_RESULT TRIG_ADIO(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kTrigMethod};
    return RunStandardPass<KeywordRecord>(
        call, kKindNone, true,
        [&](auto& pass) { CompileKeyword(pass, DevChanAttr, kTrigMethod, 0, kTrigActions); },
        [&](auto& pass) {
            return RunKeyword(pass, DevChanAttr, kTrigCalls, std::size(kTrigCalls));
        });
}

KORA_EXPORT EN_NEV_RESULT CORR_ADIO(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kCorrMethod};
    return RunStandardPass<KeywordRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) { CompileKeyword(pass, DevChanAttr, kCorrMethod, 1, kCorrections); },
        [&](auto& pass) {
            return RunKeyword(pass, DevChanAttr, kCorrCalls, std::size(kCorrCalls));
        });
}
