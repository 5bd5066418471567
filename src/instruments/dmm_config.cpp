// Multimeter set-up steps: CONF_DMM (power-line frequency, auto-zero, ground relay, reset),
// CTRG_DMM (trigger input, trigger output, measurement-complete destination), CTRGX_DMM (trigger
// pulse generators) and TRIG_DMM (arm, software trigger and signal, abort).
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/dmm_common.h"
#include "routing/routing.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cmath>
#include <cstring>

namespace kora::dmm {
namespace {

// ---- CONF_DMM
// -------------------------------------------------------------------------------------

constexpr const char* kConfMethod = "CONF_DMM";
constexpr const char* kConfKeywords = "POWERFREQ,AUTOZERO,GROUNDED,RESET";
enum ConfAction { kPowerFreq = 1, kAutoZero, kGrounded, kReset };
constexpr const char* kSettleCommand = "%,?#";

struct ConfRecord {
    StepHead head;
    double valueEnable;
};

// ---- CTRG_DMM
// ---------------------------------------------------------------------------------------

constexpr const char* kCtrgMethod = "CTRG_DMM";
constexpr const char* kCtrgKinds = "+IN,+OUT,-IN,-OUT,+MEASCOMP";
enum TriggerKind { kTriggerInput = 1, kTriggerOutput, kMeasComplete };
constexpr const char* kInputSources = "IMMEDIATE,SOFTWARE,XTI1,XTI2,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,"
                                      "PXI6,PXI7,XTA1_VDC,XTA1_ADC,XTA2_VDC,XTA2_ADC,GPT1,GPT2";
constexpr const char* kInputNames[] = {"IMMEDIATE", "SOFTWARE", "XTI1", "XTI2", "TTL0", "TTL1",
                                       "TTL2",      "TTL3",     "TTL4", "TTL5", "TTL6", "TTL7",
                                       "XTA1",      "XTA1",     "XTA2", "XTA2", "ITO1", "ITO2"};
constexpr const char* kOutputs = "XTO1,XTO2,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7";
constexpr const char* kOutputNames[] = {"XTO1", "XTO2", "TTL0", "TTL1", "TTL2",
                                        "TTL3", "TTL4", "TTL5", "TTL6", "TTL7"};
constexpr int32_t kOutputMasks[] = {0x100, 0x200, 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80};
constexpr const char* kMeasCompleteDests = "PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7,XTO1,XTO2,"
                                           "EXTERNAL";
constexpr const char* kMeasCompleteNames[] = {"TTL0", "TTL1", "TTL2", "TTL3", "TTL4",    "TTL5",
                                              "TTL6", "TTL7", "XTO1", "XTO2", "EXTERNAL"};

struct CtrgRecord {
    StepHead head; // selector: TriggerKind
    double enableLevel;
    char name[32];      // source, output or destination name for the driver
    char slope[16];     // "POSITIVE"/"NEGATIVE" or "HIGH"/"LOW"
    char analogUnit[8]; // "VOLT"/"AMPERE" for an analog source, else ""
    int32_t unit;       // unit code of the analog level
    int32_t outputMask;
};

// ---- CTRGX_DMM
// --------------------------------------------------------------------------------------

constexpr const char* kCtrgxMethod = "CTRGX_DMM";
constexpr const char* kGenerators = "+GPT1,+GPT2,-GPT1,-GPT2";
constexpr const char* kGeneratorSources = "SOFTWARE,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7,GPT1,"
                                          "GPT2,MU,XTI1,XTI2,XTA1,XTA2";
constexpr const char* kGeneratorSourceNames[] = {"SOFTWARE", "TTL0", "TTL1", "TTL2", "TTL3", "TTL4",
                                                 "TTL5",     "TTL6", "TTL7", "ITO1", "ITO2", "ITO4",
                                                 "XTI1",     "XTI2", "XTA1", "XTA2"};

struct CtrgxRecord {
    StepHead head; // selector: 1 once set up
    char generator[8];
    char slope[16];
    char source[16];
    char output[8];
    char polarity[8];
    int32_t outputMask;
    double trigDelay;
    int32_t pulseCount;
    double pulseWidth;
    double pulsePause;
};

// ---- TRIG_DMM
// ---------------------------------------------------------------------------------------

constexpr const char* kTrigMethod = "TRIG_DMM";
constexpr const char* kTrigActions = "ARM,SOFTWARE,GPT1,GPT2,ABORT";

// ---- shared
// -------------------------------------------------------------------------------------------

// Finds the step's meter and names it to the executive; error #6 with the DevChanAttr text when
// the bench has none.
template <typename Record>
DeviceRecord* MeterOf(StepPass<Record>& pass, const StepHead& head, const char* devChanAttr) {
    DeviceRecord* meter = FindMeter(pass.bench, head.parts.device);
    if (!meter) {
        rvo_SetSTEPResult(-2);
        pass.error.Set(ParamError(6), OrNull(devChanAttr));
        return nullptr;
    }
    rvo_SetSTEPDeviceName(meter->name);
    return meter;
}

// The keyword of a step that names its action in the channel part ("RESET:..."); a DevChanAttr
// without a channel part names it in the function part.
int ActionKeyword(const DevChanParts& parts, const char* list) {
    return MatchKeyword(parts.channel[0] ? parts.channel : parts.function, list);
}

template <typename Record> bool Refuse(StepPass<Record>& pass, const char* devChanAttr) {
    rvo_SetSTEPResult(-2);
    return pass.error.Set(ParamError(6), OrNull(devChanAttr));
}

EN_NEV_RESULT VerifyName(const StepCall& call, const char* value, const char* channel = "") {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, call.stepName, call.lineCode, 0, value,
                                                  nullptr, nullptr, RVO_VERDICT_EXECUTIVE, 0.0,
                                                  channel, call.comment));
}

EN_NEV_RESULT VerifyInt(const StepCall& call, long value) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, call.lineCode, 0, 0, nullptr,
                                                  value, nullptr, 0, RVO_VERDICT_EXECUTIVE, 0.0, "",
                                                  call.comment));
}

} // namespace
} // namespace kora::dmm

using namespace kora;
using namespace kora::dmm;

KORA_EXPORT EN_NEV_RESULT CONF_DMM(long stepRef, const char* stepName, long lineCode, long stepArg,
                                   const char* comment, const char* DevChanAttr,
                                   double ValueEnable) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kConfMethod};
    return RunStandardPass<ConfRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            ConfRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kConfMethod, 1)) {
                return;
            }
            const int action = ActionKeyword(r.head.parts, kConfKeywords);
            if (action == 0) {
                Refuse(pass, DevChanAttr);
                return;
            }
            r.head.selector = action;
            r.valueEnable = ValueEnable;
            rvo_DefineAttrR("ValueEnable", kConfMethod, &r.valueEnable,
                            action == kPowerFreq ? kUnitHertz : 0, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            ConfRecord& r = *pass.record;
            DeviceRecord* meter = MeterOf(pass, pass.record->head, DevChanAttr);
            if (!meter) {
                return -2;
            }
            Status s;
            switch (r.head.selector) {
            case kPowerFreq:
                DMM_Conf_Power_Line_Frequency(0, meter->handle, r.valueEnable, &s.warning, &s.error,
                                              s.message);
                if (s.failed(pass.error)) {
                    return -2;
                }
                return static_cast<EN_NEV_RESULT>(
                    rvo_VerifyR(0, stepName, lineCode, kUnitHertz, 0.0, "", r.valueEnable, "", 0.0,
                                RVO_VERDICT_EXECUTIVE, 0.0, "", comment));
            case kAutoZero: {
                const char* mode = std::isnan(r.valueEnable) ? "AUTO_ZERO_OFF"
                                   : r.valueEnable > 0.001   ? "AUTO_ZERO_ON"
                                                             : "AUTO_ZERO_ONCE";
                DMM_Conf_Auto_Zero_Mode(0, meter->handle, mode, &s.warning, &s.error, s.message);
                return s.failed(pass.error) ? -2 : VerifyName(call, mode);
            }
            case kGrounded: {
                const long enable = r.valueEnable >= 0.001 ? 1 : 0;
                DMM_Conf_Ground_Relay(0, meter->handle, enable, &s.warning, &s.error, s.message);
                return s.failed(pass.error) ? -2 : VerifyInt(call, enable);
            }
            case kReset: {
                DMM_Reset(0, meter->handle, &s.warning, &s.error, s.message);
                if (s.failed(pass.error)) {
                    return -2;
                }
                if (pass.bench->routing.handle >= 0) {
                    int32_t status = 0, code = 0;
                    char message[kMessageSize] = {};
                    RouteExecute(pass.bench, kSettleCommand, &status, &code, message);
                    if (code < 0) {
                        pass.error.Set(static_cast<uint32_t>(code), message);
                        return -2;
                    }
                }
                const EN_NEV_RESULT result = VerifyName(call, meter->name, r.head.parts.function);
                if (pass.bench->routeDisplay) {
                    ShowRouting(pass.bench, stepName);
                }
                return result;
            }
            default:
                rvo_SetSTEPResult(-2);
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
        });
}

KORA_EXPORT EN_NEV_RESULT CTRG_DMM(long stepRef, const char* stepName, long lineCode, long stepArg,
                                   const char* comment, const char* DevChanAttr,
                                   double EnableLevel) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kCtrgMethod};
    return RunStandardPass<CtrgRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            CtrgRecord& r = *pass.record;
            r.head.selector = 0;
            r.analogUnit[0] = 0;
            r.unit = 0;
            r.outputMask = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kCtrgMethod, 1)) {
                return;
            }
            const int kind = MatchKeyword(r.head.parts.channel, kCtrgKinds);
            const char* fn = r.head.parts.function;
            int k = 0;
            switch (kind) {
            case 1:
            case 3:
                k = MatchKeyword(fn, kInputSources);
                if (k > 0) {
                    r.head.selector = kTriggerInput;
                    CopyText(r.name, kInputNames[k - 1]);
                    CopyText(r.slope, kind == 1 ? "POSITIVE" : "NEGATIVE");
                    if (k >= 13 && k <= 16) {
                        const bool volts = k == 13 || k == 15;
                        CopyText(r.analogUnit, volts ? "VOLT" : "AMPERE");
                        r.unit = volts ? 5 : 9;
                    }
                }
                break;
            case 2:
            case 4:
                k = MatchKeyword(fn, kOutputs);
                if (k > 0) {
                    r.head.selector = kTriggerOutput;
                    CopyText(r.name, kOutputNames[k - 1]);
                    CopyText(r.slope, kind == 2 ? "HIGH" : "LOW");
                    r.outputMask = kOutputMasks[k - 1];
                }
                break;
            case 5:
                k = MatchKeyword(fn, kMeasCompleteDests);
                if (k > 0) {
                    r.head.selector = kMeasComplete;
                    CopyText(r.name, kMeasCompleteNames[k - 1]);
                }
                break;
            default:
                break;
            }
            if (r.head.selector == 0) {
                Refuse(pass, DevChanAttr);
                return;
            }
            r.enableLevel = EnableLevel;
            rvo_DefineAttrR("EnableLevel", kCtrgMethod, &r.enableLevel, r.unit, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            CtrgRecord& r = *pass.record;
            DeviceRecord* meter = MeterOf(pass, pass.record->head, DevChanAttr);
            if (!meter) {
                return -2;
            }
            Status s;
            switch (r.head.selector) {
            case kTriggerInput:
                DMM_Conf_Trigger(0, meter->handle, r.name, 0.0, &s.warning, &s.error, s.message);
                if (s.failed(pass.error)) {
                    return -2;
                }
                CopyText(meter->state.triggerSource, r.name);
                DMM_Conf_Trigger_Slope(0, meter->handle, r.slope, &s.warning, &s.error, s.message);
                if (s.failed(pass.error)) {
                    return -2;
                }
                if (r.analogUnit[0]) {
                    DMM_Conf_Analog_Trigger(0, meter->handle, r.name, r.enableLevel, r.analogUnit,
                                            &s.warning, &s.error, s.message);
                    if (s.failed(pass.error)) {
                        return -2;
                    }
                    return static_cast<EN_NEV_RESULT>(
                        rvo_VerifyR(0, stepName, lineCode, r.unit, 0.0, "", r.enableLevel, "", 0.0,
                                    RVO_VERDICT_EXECUTIVE, 0.0, "", comment));
                }
                return VerifyName(call, meter->name);
            case kTriggerOutput: {
                const bool enable = r.enableLevel > 0.001;
                int32_t& mask = meter->state.triggerOutputMask;
                mask = enable ? (mask | r.outputMask) : (mask & ~r.outputMask);
                DMM_Enable_Trigger_Output(0, meter->handle, mask, &s.warning, &s.error, s.message);
                if (s.failed(pass.error)) {
                    return -2;
                }
                DMM_Conf_Trigger_Output(0, meter->handle, r.name, "IT4", r.slope, &s.warning,
                                        &s.error, s.message);
                return s.failed(pass.error) ? -2 : VerifyInt(call, enable ? 1 : 0);
            }
            case kMeasComplete: {
                const bool enable = r.enableLevel > 0.001;
                DMM_Conf_Meas_Complete_Dest(0, meter->handle, enable ? r.name : "NONE", &s.warning,
                                            &s.error, s.message);
                return s.failed(pass.error) ? -2 : VerifyInt(call, enable ? 1 : 0);
            }
            default:
                rvo_SetSTEPResult(-2);
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
        });
}

KORA_EXPORT EN_NEV_RESULT CTRGX_DMM(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr, double TrigDelay,
                                    long PulseCount, double PulseWidth, double PulsePause) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kCtrgxMethod};
    return RunStandardPass<CtrgxRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            CtrgxRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kCtrgxMethod, 1)) {
                return;
            }
            const int generator = MatchKeyword(r.head.parts.channel, kGenerators);
            const int source = MatchKeyword(r.head.parts.function, kGeneratorSources);
            const char* suffix = r.head.parts.suffix;
            const int output =
                (suffix[0] == '+' || suffix[0] == '-') ? MatchKeyword(suffix + 1, kOutputs) : 0;
            if (generator == 0 || source == 0 || output == 0) {
                Refuse(pass, DevChanAttr);
                return;
            }
            CopyText(r.generator, (generator == 1 || generator == 3) ? "IT1" : "IT2");
            CopyText(r.slope, generator <= 2 ? "POSITIVE" : "NEGATIVE");
            CopyText(r.source, kGeneratorSourceNames[source - 1]);
            CopyText(r.output, kOutputNames[output - 1]);
            CopyText(r.polarity, suffix[0] == '+' ? "HIGH" : "LOW");
            r.outputMask = kOutputMasks[output - 1];
            r.head.selector = 1;
            r.trigDelay = TrigDelay;
            r.pulseCount = static_cast<int32_t>(PulseCount);
            r.pulseWidth = PulseWidth;
            r.pulsePause = PulsePause;
            rvo_DefineAttrR("TrigDelay", kCtrgxMethod, &r.trigDelay, kTimeUnit, nullptr);
            rvo_DefineAttrI("PulseCount", kCtrgxMethod, &r.pulseCount, 0, nullptr);
            rvo_DefineAttrR("PulseWidth", kCtrgxMethod, &r.pulseWidth, kTimeUnit, nullptr);
            rvo_DefineAttrR("PulsePause", kCtrgxMethod, &r.pulsePause, kTimeUnit, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            CtrgxRecord& r = *pass.record;
            if (r.head.selector != 1) {
                rvo_SetSTEPResult(-2);
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            DeviceRecord* meter = MeterOf(pass, pass.record->head, DevChanAttr);
            if (!meter) {
                return -2;
            }
            r.trigDelay = TrigDelay;
            r.pulseCount = static_cast<int32_t>(PulseCount);
            r.pulseWidth = PulseWidth;
            r.pulsePause = PulsePause;
            for (double* v : {&r.trigDelay, &r.pulseWidth, &r.pulsePause}) {
                rvo_UpdateAttrR(r.head.component, v);
            }
            rvo_UpdateAttrI(r.head.component, &r.pulseCount);
            int32_t& mask = meter->state.triggerOutputMask;
            Status s;
            if (PulseCount < 0) {
                mask &= ~r.outputMask;
            } else {
                if (PulseCount > 65535) {
                    return pass.error.Set(ParamError(8), "PulseCount out of range [0...65535]"), -2;
                }
                if (!(PulseWidth >= 50e-9)) {
                    return pass.error.Set(ParamError(8), "PulseWidth out of range [50e-9...]"), -2;
                }
                if (!(PulsePause >= 50e-9)) {
                    return pass.error.Set(ParamError(8), "PulsePause out of range [50e-9...]"), -2;
                }
                DMM_Conf_Trigger_Signal(0, meter->handle, r.generator, r.source, r.slope, r.output,
                                        r.polarity, r.trigDelay, r.pulseCount, r.pulseWidth,
                                        r.pulsePause, &s.warning, &s.error, s.message);
                if (s.failed(pass.error)) {
                    return -2;
                }
                mask |= r.outputMask;
            }
            DMM_Enable_Trigger_Output(0, meter->handle, mask, &s.warning, &s.error, s.message);
            return s.failed(pass.error) ? -2 : VerifyName(call, meter->name);
        });
}

KORA_EXPORT EN_NEV_RESULT TRIG_DMM(long stepRef, const char* stepName, long lineCode, long stepArg,
                                   const char* comment, const char* DevChanAttr) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kTrigMethod};
    return RunStandardPass<StepHead>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            StepHead& r = *pass.record;
            r.selector = 0;
            if (!CompileDevChanAttr(pass.error, r, DevChanAttr, kTrigMethod, 1)) {
                return;
            }
            r.selector = ActionKeyword(r.parts, kTrigActions);
            if (r.selector == 0) {
                Refuse(pass, DevChanAttr);
            }
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            StepHead& r = *pass.record;
            DeviceRecord* meter = MeterOf(pass, r, DevChanAttr);
            if (!meter) {
                return -2;
            }
            Status s;
            switch (r.selector) {
            case 1:
                DMM_Initiate(0, meter->handle, &s.warning, &s.error, s.message);
                break;
            case 2:
                DMM_Send_Software_Trigger(0, meter->handle, &s.warning, &s.error, s.message);
                break;
            case 3:
            case 4:
                DMM_Send_Software_Signal(0, meter->handle, r.selector == 3 ? "IT1" : "IT2",
                                         &s.warning, &s.error, s.message);
                break;
            case 5:
                DMM_Abort(0, meter->handle, &s.warning, &s.error, s.message);
                break;
            default:
                rvo_SetSTEPResult(-2);
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            return s.failed(pass.error) ? -2 : VerifyName(call, meter->name);
        });
}
