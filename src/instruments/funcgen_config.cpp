// Generator set-up steps: CONF_FUNCGEN (ground relays, reset), CTRG_FUNCGEN (trigger inputs and
// delays, marker outputs) and TRIG_FUNCGEN (arm, software trigger, start and stop).
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/funcgen_common.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

namespace kora::funcgen {
namespace {

constexpr int kDevChanAttrArgument = 6;

// ---- CONF_FUNCGEN ------------------------------------------------------------------------------

constexpr const char* kConfMethod = "CONF_FUNCGEN";
constexpr const char* kConfActions = "GROUNDED,RESET";
enum ConfAction { kGrounded = 1, kReset };
constexpr double kGroundThreshold = 0.1;

struct ConfRecord {
    StepHead head;   // selector: ConfAction
    int32_t channel; // 0: both
    double enable;
};

// ---- CTRG_FUNCGEN ------------------------------------------------------------------------------

constexpr const char* kCtrgMethod = "CTRG_FUNCGEN";
constexpr const char* kCtrgKinds = "+IN,+IN1,+IN2,+OUT1,+OUT2,-OUT1,-OUT2";
constexpr const char* kInputSources =
    "IMMEDIATE,SOFTWARE,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7,XTI1,XTI2";
constexpr const char* kInputNames[] = {"INTERNAL", "SOFTWARE", "TTL0", "TTL1", "TTL2", "TTL3",
                                       "TTL4",     "TTL5",     "TTL6", "TTL7", "XTI1", "XTI2"};
constexpr const char* kMarkerOutputs = "MO1,MO2";
constexpr const char* kMarkerNames[] = {"MO1", "MO2"};
constexpr double kMarkerThreshold = 0.001;
enum CtrgKind { kInput = 1, kOutput };

struct CtrgRecord {
    StepHead head;   // selector: CtrgKind
    int32_t channel; // 0: both (inputs only)
    int32_t name;    // index into kInputNames or kMarkerNames
    int32_t activeHigh;
    double delayEnable;
};

// ---- TRIG_FUNCGEN ------------------------------------------------------------------------------

constexpr const char* kTrigMethod = "TRIG_FUNCGEN";
constexpr const char* kTrigActions = "ARM,SOFTWARE,START,STOP";
enum TrigAction { kArm = 1, kSoftware, kStart, kStop };

// The channels a channel part addresses: an empty part both, otherwise one of "CH1,CH2"; false
// for any other text.
bool ChannelsOf(const char* part, int32_t* channel) {
    if (!part || !part[0]) {
        *channel = 0;
        return true;
    }
    *channel = MatchKeyword(part, kChannelList);
    return *channel != 0;
}

template <typename Record> EN_NEV_RESULT InvalidSetting(StepPass<Record>& pass) {
    rvo_SetSTEPResult(-2);
    pass.error.Set(kErrFunction, kInvalidSetting);
    return -2;
}

} // namespace
} // namespace kora::funcgen

using namespace kora;
using namespace kora::funcgen;

KORA_EXPORT EN_NEV_RESULT CONF_FUNCGEN(long stepRef, const char* stepName, long lineCode,
                                       long stepArg, const char* comment, const char* DevChanAttr,
                                       double Enable) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kConfMethod};
    return RunStandardPass<ConfRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            ConfRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kConfMethod, 1)) {
                return;
            }
            const int action = MatchKeyword(r.head.parts.function, kConfActions);
            if (!ChannelsOf(r.head.parts.channel, &r.channel) || action == 0) {
                RefuseKeyword(pass.error, ParamError(kDevChanAttrArgument), DevChanAttr);
                return;
            }
            r.head.selector = action;
            r.enable = Enable;
            rvo_DefineAttrR("Enable", nullptr, &r.enable, 0,
                            action == kGrounded ? "Grounded" : nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            ConfRecord& r = *pass.record;
            r.enable = Enable;
            rvo_UpdateAttrR(r.head.component, &r.enable);
            if (r.head.selector != kGrounded && r.head.selector != kReset) {
                return InvalidSetting(pass);
            }
            DeviceRecord* gen = GeneratorOf(pass.bench, r.head, pass.error,
                                            ParamError(kDevChanAttrArgument), DevChanAttr);
            if (!gen) {
                return -2;
            }
            Status s;
            if (r.head.selector == kReset) {
                FUNCGEN_Reset(0, gen->handle, &s.warning, &s.error, s.message);
                return s.failed(pass.error) ? -2 : VerifyText(call, gen->name, "", comment);
            }
            const long enable = r.enable > kGroundThreshold ? 1 : 0;
            for (int c = 1; c <= 2; ++c) {
                if (r.channel == 0 || r.channel == c) {
                    FUNCGEN_ConfigureGroundRelay(0, gen->handle, kChannelNames[c - 1], enable,
                                                 &s.warning, &s.error, s.message);
                    if (s.failed(pass.error)) {
                        return -2;
                    }
                }
            }
            return VerifyInt(call, enable, "");
        });
}

KORA_EXPORT EN_NEV_RESULT CTRG_FUNCGEN(long stepRef, const char* stepName, long lineCode,
                                       long stepArg, const char* comment, const char* DevChanAttr,
                                       double DelayEnable) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kCtrgMethod};
    return RunStandardPass<CtrgRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            CtrgRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kCtrgMethod, 1)) {
                return;
            }
            const int kind = MatchKeyword(r.head.parts.channel, kCtrgKinds);
            const bool input = kind >= 1 && kind <= 3;
            const int name =
                MatchKeyword(r.head.parts.function, input ? kInputSources : kMarkerOutputs);
            if (kind == 0 || name == 0) {
                RefuseKeyword(pass.error, ParamError(kDevChanAttrArgument), DevChanAttr);
                return;
            }
            r.head.selector = input ? kInput : kOutput;
            // +IN both channels, +IN1/+IN2 one; +OUT1/-OUT1 CH1, +OUT2/-OUT2 CH2.
            constexpr int32_t kChannelOfKind[] = {0, 1, 2, 1, 2, 1, 2};
            r.channel = kChannelOfKind[kind - 1];
            r.name = name - 1;
            r.activeHigh = kind <= 5 ? 1 : 0;
            r.delayEnable = DelayEnable;
            rvo_DefineAttrR("DelayEnable", kCtrgMethod, &r.delayEnable, input ? kUnitSecond : 0,
                            input ? "Delay" : nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            CtrgRecord& r = *pass.record;
            r.delayEnable = DelayEnable;
            rvo_UpdateAttrR(r.head.component, &r.delayEnable);
            if (r.head.selector == 0) {
                return InvalidSetting(pass);
            }
            DeviceRecord* gen = GeneratorOf(pass.bench, r.head, pass.error,
                                            ParamError(kDevChanAttrArgument), DevChanAttr);
            if (!gen) {
                return -2;
            }
            Status s;
            if (r.head.selector == kInput) {
                for (int c = 1; c <= 2; ++c) {
                    if (r.channel != 0 && r.channel != c) {
                        continue;
                    }
                    const char* channel = kChannelNames[c - 1];
                    FUNCGEN_ConfigureTriggerSource(0, gen->handle, channel, kInputNames[r.name],
                                                   &s.warning, &s.error, s.message);
                    if (s.failed(pass.error)) {
                        return -2;
                    }
                    FUNCGEN_ConfigureTriggerDelay(0, gen->handle, channel, r.delayEnable,
                                                  &s.warning, &s.error, s.message);
                    if (s.failed(pass.error)) {
                        return -2;
                    }
                }
                return VerifyReal(call, kUnitSecond, r.delayEnable, "", comment);
            }
            const long enable = r.delayEnable > kMarkerThreshold ? 1 : 0;
            FUNCGEN_ConfigureMarkerOutput(
                0, gen->handle, kChannelNames[r.channel - 1], kMarkerNames[r.name], enable,
                r.activeHigh ? "HIGH" : "LOW", &s.warning, &s.error, s.message);
            return s.failed(pass.error) ? -2 : VerifyInt(call, enable, "");
        });
}

KORA_EXPORT EN_NEV_RESULT TRIG_FUNCGEN(long stepRef, const char* stepName, long lineCode,
                                       long stepArg, const char* comment, const char* DevChanAttr) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kTrigMethod};
    return RunStandardPass<StepHead>(
        call, kKindNone, true,
        [&](auto& pass) {
            StepHead& head = *pass.record;
            head.selector = 0;
            if (!CompileDevChanAttr(pass.error, head, DevChanAttr, kTrigMethod, 0)) {
                return;
            }
            int32_t channel = 0;
            const int action = MatchKeyword(head.parts.function, kTrigActions);
            if (!ChannelsOf(head.parts.channel, &channel) || action == 0) {
                RefuseKeyword(pass.error, ParamError(kDevChanAttrArgument), DevChanAttr);
                return;
            }
            head.selector = action;
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            StepHead& head = *pass.record;
            int32_t channel = 0;
            if (head.selector == 0 || !ChannelsOf(head.parts.channel, &channel)) {
                return InvalidSetting(pass);
            }
            DeviceRecord* gen = GeneratorOf(pass.bench, head, pass.error,
                                            ParamError(kDevChanAttrArgument), DevChanAttr);
            if (!gen) {
                return -2;
            }
            const char* named = channel == 0 ? "" : kChannelNames[channel - 1];
            char text[kWarningCommentSize];
            CopyText(text, OrEmpty(comment));
            Status s;
            switch (head.selector) {
            case kArm: {
                const int32_t result =
                    FUNCGEN_InitiateGeneration(0, gen->handle, &s.warning, &s.error, s.message);
                if (s.failed(pass.error)) {
                    return -2;
                }
                if (result > 0) {
                    char warning[kWarningSize];
                    FormatWarning(nullptr, static_cast<uint32_t>(result), s.message, warning);
                    FormatText(text, sizeof text, "%s KORA warning: %s", OrEmpty(comment), warning);
                }
                break;
            }
            case kSoftware:
                FUNCGEN_SendSoftwareTrigger(0, gen->handle, named, &s.warning, &s.error, s.message);
                if (s.failed(pass.error)) {
                    return -2;
                }
                break;
            default:
                for (int c = 1; c <= 2; ++c) {
                    if ((channel == 0 || channel == c) &&
                        !EnableOutput(pass.error, gen->handle, kChannelNames[c - 1],
                                      head.selector == kStart ? 1 : 0)) {
                        return -2;
                    }
                }
                break;
            }
            return VerifyText(call, gen->name, head.parts.function, text);
        });
}
