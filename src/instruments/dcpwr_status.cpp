// GET_DCPWR: the regulation or protection status of a DC power channel, or of its load in sink
// mode, as a number and a text, checked against an expected status.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/dcpwr_common.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cstring>

namespace kora::dcpwr {
namespace {

constexpr const char* kGetMethod = "GET_DCPWR";
constexpr const char* kStatusKeyword = "STATUS";
constexpr const char* kSinkChannel = "SINK";
constexpr int32_t kUnitMask = 0x19;

// The output states in the order they are asked; `optional` ones may be unsupported.
struct OutputState {
    const char* state;
    bool optional;
    int32_t status;
    const char* text;
};
constexpr OutputState kOutputStates[] = {
    {"CONSTANT_VOLTAGE", false, 1, "VOLTAGE REGULATION"},
    {"CONSTANT_CURRENT", false, 2, "CURRENT REGULATION"},
    {"ARB_WFM_ACTIVE", true, 3, "WAVEFORM GENERATION"},
    {"UNREGULATED", false, 0, "OUTPUT UNREGULATED"},
    {"OVER_TEMPERATURE", true, -1, "OVER TEMPERATURE PROTECTION"},
    {"OVER_VOLTAGE", false, -2, "OVER VOLTAGE PROTECTION"},
    {"OVER_CURRENT", false, -3, "OVER CURRENT PROTECTION"},
    {"HARDWARE_FAILURE", true, -6, "HARDWARE FAILURE"},
};
constexpr int32_t kUnknownStatus = -100;
constexpr const char* kUnknownText = "UNKNOWN HARDWARE STATE";
constexpr const char* kNotSinkText = "NOT IN SINKMODE";
constexpr const char* kSinkRegulationText = "CURRENT REGULATION";
constexpr const char* kSinkVoltageOverText = "SINK VOLTAGE OVERRANGE";
constexpr const char* kSinkCurrentOverText = "SINK CURRENT OVERRANGE";
constexpr int32_t kSinkRegulating = 0x4, kSinkVoltageOver = 0x10, kSinkCurrentOver = 0x20;

struct GetRecord {
    StepHead head; // selector: 1 output status, 2 sink status
    int32_t compMask;
    int32_t compValue;
};

// ---- GET_DCPWR -----------------------------------------------------------------------------

// The output status: the first state the channel is in decides.
bool OutputStatus(StepError& error, long session, const char* channel, int32_t* status,
                  const char** text) {
    for (const OutputState& s : kOutputStates) {
        Status q;
        int32_t in = 0;
        DCPWR_Query_Output_State(0, session, channel, s.state, &in, &q.warning, &q.error,
                                 q.message);
        if (s.optional && q.error == kErrStateNotSupported) {
            continue;
        }
        if (q.failed(error)) {
            return false;
        }
        if (in) {
            *status = s.status;
            *text = s.text;
            return true;
        }
    }
    *status = kUnknownStatus;
    *text = kUnknownText;
    return true;
}

bool SinkStatus(StepError& error, long session, const char* channel, int32_t* status,
                const char** text) {
    Status q;
    int32_t state = 0;
    double volts = 0, amperes = 0;
    DCPWR_Query_Sink_State(0, session, channel, &state, &volts, &amperes, &q.warning, &q.error,
                           q.message);
    if (q.failed(error)) {
        return false;
    }
    // A load that regulates has its readings valid as well: the regulation bit decides.
    if (state == 0) {
        *status = 0, *text = kNotSinkText;
    } else if (state & kSinkRegulating) {
        *status = 2, *text = kSinkRegulationText;
    } else if (state & kSinkVoltageOver) {
        *status = -4, *text = kSinkVoltageOverText;
    } else if (state & kSinkCurrentOver) {
        *status = -5, *text = kSinkCurrentOverText;
    } else {
        *status = kUnknownStatus, *text = kUnknownText;
    }
    return true;
}

EN_NEV_RESULT RunGet(StepPass<GetRecord>& pass, long* statusOut) {
    GetRecord& r = *pass.record;
    const StepCall& call = pass.call;
    rvo_UpdateAttrI(r.head.component, &r.compMask);
    rvo_UpdateAttrI(r.head.component, &r.compValue);
    if (r.head.selector == 0) {
        return InvalidSetting(pass.error), -2;
    }
    const char* channel = ChannelOf(r.head);
    ShowChannelDevice(pass.bench, channel);
    int32_t status = 0;
    const char* text = "";
    const bool ok = r.head.selector == 2
                        ? SinkStatus(pass.error, SessionOf(pass.bench), channel, &status, &text)
                        : OutputStatus(pass.error, SessionOf(pass.bench), channel, &status, &text);
    if (!ok) {
        return -2;
    }
    if (statusOut) {
        *statusOut = status;
    }
    char comment[kWarningCommentSize];
    if (call.comment && call.comment[0]) {
        FormatText(comment, sizeof comment, "%s KORA info: %s", call.comment, text);
    } else {
        CopyText(comment, sizeof comment, text);
    }
    if (r.compMask != 0) {
        return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, call.lineCode, 0,
                                                      r.compValue, "=", status, "=", r.compValue,
                                                      RVO_VERDICT_EXECUTIVE, 0.0, "", comment));
    }
    return static_cast<EN_NEV_RESULT>(
        rvo_VerifyI(0, call.stepName, call.lineCode, 0, 0, "", status, "", 0, 0, 0.0, "", comment));
}

} // namespace
} // namespace kora::dcpwr

using namespace kora;
using namespace kora::dcpwr;

KORA_EXPORT EN_NEV_RESULT GET_DCPWR(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr, long* Status,
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
            if (std::strcmp(r.head.parts.function, kStatusKeyword) != 0) {
                RefuseKeyword(pass.error, 6, DevChanAttr);
                return;
            }
            r.head.selector = std::strcmp(r.head.parts.channel, kSinkChannel) == 0 ? 2 : 1;
            r.compMask = TruncToInt32(static_cast<double>(CompMask));
            r.compValue = TruncToInt32(static_cast<double>(CompValue));
            rvo_DefineAttrI("CompMask", kGetMethod, &r.compMask, kUnitMask, nullptr);
            rvo_DefineAttrI("CompValue", kGetMethod, &r.compValue, kUnitMask, nullptr);
        },
        [&](auto& pass) { return RunGet(pass, Status); });
}
