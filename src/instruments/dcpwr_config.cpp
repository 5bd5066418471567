// The DC power steps that configure and trigger a channel: CONF_DCPWR, CTRG_DCPWR and
// TRIG_DCPWR.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/dcpwr_common.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cstring>

namespace kora::dcpwr {
namespace {

constexpr const char* kConfMethod = "CONF_DCPWR";
constexpr const char* kCtrgMethod = "CTRG_DCPWR";
constexpr const char* kTrigMethod = "TRIG_DCPWR";

constexpr const char* kConfKeywords =
    "GROUNDED,XSENSING,TRSETTING,PROTECTION,+GATED,-GATED,PACCTRL,RESET";
enum Conf {
    kGrounded = 1,
    kXsensing,
    kTrsetting,
    kProtection,
    kGatedHigh,
    kGatedLow,
    kPacctrl,
    kReset
};
constexpr const char* kTrsettings = "VOLTAGE,CURRENT";
constexpr const char* kProtections = "OVP,RELAY";
constexpr const char* kGateSources = "XTI1,XTI2,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7";
constexpr const char* kGateDriverSources[] = {"XTI1", "XTI2", "TTL0", "TTL1", "TTL2",
                                              "TTL3", "TTL4", "TTL5", "TTL6", "TTL7"};
constexpr const char* kPacModes = "AUTO,UOUT,MANUAL";
constexpr const char* kPacDriverModes[] = {"AUTOMATIC", "UOUT", "MANUAL"};
constexpr const char* kResetProtection = "PROTECTION";
constexpr double kEnableThreshold = 0.001;

constexpr const char* kCtrgChannels = "+IN,+OUT,-OUT";
enum Ctrg { kIn = 1, kOutHigh, kOutLow };
constexpr const char* kTriggerSources =
    "IMMEDIATE,SOFTWARE,XTI1,XTI2,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7";
constexpr const char* kTriggerDriverSources[] = {"IMMEDIATE", "SOFTWARE", "XTI1", "XTI2",
                                                 "TTL0",      "TTL1",     "TTL2", "TTL3",
                                                 "TTL4",      "TTL5",     "TTL6", "TTL7"};
constexpr const char* kTriggerOutputs = "XTO1,XTO2,PXI0,PXI1,PXI2,PXI3,PXI4,PXI5,PXI6,PXI7";
constexpr long kTriggerOutputMasks[] = {0x100, 0x200, 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80};
constexpr const char* kTriggerEvents = "ENA1,ENA2,GPT";
constexpr const char* kTriggerDriverEvents[] = {"CH1", "CH2", "GP"};
constexpr long kAllPolarities = 0x3FF;

constexpr const char* kTrigActions = "ARM,SOFTWARE,ABORT,GPT,START,STOP";

struct ConfRecord {
    StepHead head; // selector: Conf
    int32_t sub;   // 1-based in the keyword's sub-list
    double valueEnable;
};

struct CtrgRecord {
    StepHead head; // selector: Ctrg
    int32_t item;  // source, or output
    int32_t event;
    double enable;
};

// ---- CONF_DCPWR ----------------------------------------------------------------------------

long ConfUnit(const ConfRecord& r) {
    if ((r.head.selector == kPacctrl && r.sub == 3) ||
        (r.head.selector == kTrsetting && r.sub == 1)) {
        return kUnitVolt;
    }
    return r.head.selector == kTrsetting && r.sub == 2 ? kUnitAmpere : 0;
}

void CompileConf(StepPass<ConfRecord>& pass, const char* devChanAttr, double valueEnable) {
    ConfRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kConfMethod, 1)) {
        return;
    }
    const int k = MatchKeyword(r.head.parts.function, kConfKeywords);
    const char* suffix = r.head.parts.suffix;
    int sub = 0;
    switch (k) {
    case kTrsetting:
        sub = MatchKeyword(suffix, kTrsettings);
        break;
    case kProtection:
        sub = MatchKeyword(suffix, kProtections);
        break;
    case kGatedHigh:
    case kGatedLow:
        sub = MatchKeyword(suffix, kGateSources);
        break;
    case kPacctrl:
        sub = MatchKeyword(suffix, kPacModes);
        break;
    case kReset:
        sub = std::strcmp(suffix, kResetProtection) == 0 ? 1 : 2;
        break;
    default:
        sub = k == 0 ? 0 : 1;
        break;
    }
    if (k == 0 || sub == 0) {
        RefuseKeyword(pass.error, 6, devChanAttr);
        return;
    }
    r.head.selector = k;
    r.sub = sub;
    r.valueEnable = valueEnable;
    rvo_DefineAttrR("ValueEnable", kConfMethod, &r.valueEnable, ConfUnit(r), nullptr);
}

EN_NEV_RESULT RunConf(StepPass<ConfRecord>& pass) {
    const ConfRecord& r = *pass.record;
    const StepCall& call = pass.call;
    if (r.head.selector == 0) {
        return InvalidSetting(pass.error), -2;
    }
    const char* channel = ChannelOf(r.head);
    ShowChannelDevice(pass.bench, channel);
    const long session = SessionOf(pass.bench);
    const long enable = r.valueEnable > kEnableThreshold ? 1 : 0;
    const char* devChanAttr = "";
    Status s;
    enum { kAsInteger, kAsReal, kAsText } verify = kAsInteger;
    switch (r.head.selector) {
    case kGrounded:
        DCPWR_Conf_Ground_Relay(0, session, channel, enable, &s.warning, &s.error, s.message);
        break;
    case kXsensing:
        DCPWR_Conf_Remote_Sensing(0, session, channel, enable, &s.warning, &s.error, s.message);
        break;
    case kTrsetting:
        verify = kAsReal;
        if (r.sub == 1) {
            DCPWR_Conf_Triggered_Voltage_Level(0, session, channel, r.valueEnable, &s.warning,
                                               &s.error, s.message);
        } else {
            DCPWR_Conf_Triggered_Current_Limit(0, session, channel, r.valueEnable, &s.warning,
                                               &s.error, s.message);
        }
        break;
    case kProtection:
        if (r.sub == 1) {
            DCPWR_Conf_OVP(0, session, channel, enable, &s.warning, &s.error, s.message);
        } else {
            DCPWR_Conf_Relay_Protection(0, session, channel, enable, &s.warning, &s.error,
                                        s.message);
        }
        break;
    case kGatedHigh:
    case kGatedLow:
        DCPWR_Conf_Gated_Output(0, session, channel, kGateDriverSources[r.sub - 1],
                                r.head.selector == kGatedHigh ? "HIGH" : "LOW", &s.warning,
                                &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
        DCPWR_Enable_Gated_Output(0, session, channel, enable, &s.warning, &s.error, s.message);
        break;
    case kPacctrl:
        verify = r.sub == 3 ? kAsReal : kAsText;
        DCPWR_Conf_PAC_Control(0, session, channel, kPacDriverModes[r.sub - 1], r.valueEnable,
                               &s.warning, &s.error, s.message);
        break;
    default:
        verify = kAsText;
        if (r.sub == 1) {
            DCPWR_Reset_Output_Protection(0, session, channel, &s.warning, &s.error, s.message);
        } else {
            DCPWR_Reset(0, session, channel, &s.warning, &s.error, s.message);
        }
        break;
    }
    if (s.failed(pass.error)) {
        return -2;
    }
    switch (verify) {
    case kAsReal:
        return static_cast<EN_NEV_RESULT>(
            rvo_VerifyR(0, call.stepName, call.lineCode, ConfUnit(r), 0.0, "", r.valueEnable, "",
                        0.0, RVO_VERDICT_EXECUTIVE, 0.0, devChanAttr, call.comment));
    case kAsText:
        return VerifyText(call, channel, devChanAttr, call.comment);
    default:
        return VerifyNumber(call, enable, devChanAttr);
    }
}

// ---- CTRG_DCPWR ----------------------------------------------------------------------------

void CompileCtrg(StepPass<CtrgRecord>& pass, const char* devChanAttr, double enable) {
    CtrgRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kCtrgMethod, 1)) {
        return;
    }
    const int k = MatchKeyword(r.head.parts.channel, kCtrgChannels);
    const int item =
        MatchKeyword(r.head.parts.function, k == kIn ? kTriggerSources : kTriggerOutputs);
    const int event = k == kIn ? 1 : MatchKeyword(r.head.parts.suffix, kTriggerEvents);
    if (k == 0 || item == 0 || event == 0) {
        RefuseKeyword(pass.error, 6, devChanAttr);
        return;
    }
    r.head.selector = k;
    r.item = item;
    r.event = event;
    r.enable = enable;
    rvo_DefineAttrR("Enable", kCtrgMethod, &r.enable, 0, nullptr);
}

EN_NEV_RESULT RunCtrg(StepPass<CtrgRecord>& pass) {
    const CtrgRecord& r = *pass.record;
    if (r.head.selector == 0) {
        return InvalidSetting(pass.error), -2;
    }
    const char* channel = ChannelOf(r.head);
    ShowChannelDevice(pass.bench, channel);
    const long session = SessionOf(pass.bench);
    Status s;
    if (r.head.selector == kIn) {
        const char* source = kTriggerDriverSources[r.item - 1];
        DCPWR_Conf_Trigger_Source(0, session, channel, source, &s.warning, &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
        CopyText(pass.bench->dcpwr.state.triggerSource, source);
        return VerifyText(pass.call, channel, "", pass.call.comment);
    }
    const long mask = kTriggerOutputMasks[r.item - 1];
    const long enabled = r.enable > kEnableThreshold ? 1 : 0;
    DCPWR_Conf_Trigger_Output(0, session, channel, mask, kTriggerDriverEvents[r.event - 1],
                              r.head.selector == kOutHigh ? kAllPolarities : 0, enabled ? mask : 0,
                              &s.warning, &s.error, s.message);
    return s.failed(pass.error) ? -2 : VerifyNumber(pass.call, enabled, "");
}

// ---- TRIG_DCPWR ----------------------------------------------------------------------------

EN_NEV_RESULT RunTrig(StepPass<StepHead>& pass) {
    const StepHead& r = *pass.record;
    if (r.selector == 0) {
        return InvalidSetting(pass.error), -2;
    }
    const char* channel = ChannelOf(r);
    ShowChannelDevice(pass.bench, channel);
    const long session = SessionOf(pass.bench);
    Status s;
    using Call = int32_t (*)(long, long, const char*, int32_t*, int32_t*, char*);
    static constexpr Call kCalls[] = {
        DCPWR_Initiate,         DCPWR_Send_Software_Trigger, DCPWR_Abort,
        DCPWR_Initiate_Trigger, DCPWR_Initiate_Arb_Wfm,      DCPWR_Abort_Arb_Wfm};
    kCalls[r.selector - 1](0, session, channel, &s.warning, &s.error, s.message);
    return s.failed(pass.error) ? -2 : VerifyText(pass.call, channel, "", pass.call.comment);
}

} // namespace
} // namespace kora::dcpwr

using namespace kora;
using namespace kora::dcpwr;

KORA_EXPORT EN_NEV_RESULT CONF_DCPWR(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     double ValueEnable) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kConfMethod};
    return RunStandardPass<ConfRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) { CompileConf(pass, DevChanAttr, ValueEnable); },
        [&](auto& pass) { return RunConf(pass); });
}

KORA_EXPORT EN_NEV_RESULT CTRG_DCPWR(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     double Enable) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kCtrgMethod};
    return RunStandardPass<CtrgRecord>(
        call, kKindNone, true, [&](auto& pass) { CompileCtrg(pass, DevChanAttr, Enable); },
        [&](auto& pass) { return RunCtrg(pass); });
}

KORA_EXPORT EN_NEV_RESULT TRIG_DCPWR(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kTrigMethod};
    return RunStandardPass<StepHead>(
        call, kKindNone, true,
        [&](auto& pass) {
            StepHead& r = *pass.record;
            r.selector = 0;
            if (!CompileDevChanAttr(pass.error, r, DevChanAttr, kTrigMethod, 0)) {
                return;
            }
            r.selector = MatchKeyword(r.parts.function, kTrigActions);
            if (r.selector == 0) {
                RefuseKeyword(pass.error, 6, DevChanAttr);
            }
        },
        [&](auto& pass) { return RunTrig(pass); });
}
