// SET_FUNCGEN: a standard waveform (DC, sine, square, triangle, ramps) on a generator channel,
// burst or continuous, with pre- and post-routing and the output switching.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/funcgen_common.h"
#include "routing/routing.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cstring>

namespace kora::funcgen {
namespace {

constexpr const char* kSetMethod = "SET_FUNCGEN";
constexpr const char* kFunctions = "VDC,SINE,SQUARE,TRIANGLE,RAMP_UP,RAMP_DOWN";
constexpr const char* kWaveforms[] = {"DC", "SINE", "SQUARE", "TRIANGLE", "RAMP_UP", "RAMP_DOWN"};
enum Function { kVdc = 1, kSine, kSquare };
constexpr const char* kFunctionMode = "FUNCTION";
constexpr const char* kRoutingCategory = "HOLM";
constexpr const char* kSettleCommand = "?#";
constexpr double kStandardDuty = 50.0;
constexpr int kDevChanAttrArgument = 7;
constexpr int kPostRoutingArgument = 13;

struct SetRecord {
    StepHead head; // selector: Function
    int32_t channel;
    int32_t switching;
    double voltageDC;
    double voltagePP;
    double frequency;
    double phaseDuty;
    int32_t cycleCount;
    char preRouting[kRoutingTextSize];
    char postRouting[kRoutingTextSize];
    char devChanAttr[256];
};

void Compile(StepPass<SetRecord>& pass, const char* pre, const char* devChanAttr, double dc,
             double pp, double frequency, double phaseDuty, long cycleCount, const char* post) {
    SetRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kSetMethod, 0)) {
        return;
    }
    r.channel = MatchKeyword(r.head.parts.channel, kChannelList);
    const int f = MatchKeyword(r.head.parts.function, kFunctions);
    if (r.channel == 0 || f == 0) {
        RefuseKeyword(pass.error, ParamError(kDevChanAttrArgument), devChanAttr);
        return;
    }
    char message[kMessageSize] = {};
    if (_CompileRouting(pre, post, r.preRouting, r.postRouting, kRoutingTextSize, message) != 0) {
        const bool preFailed = std::strstr(message, "PRE-Routing") != nullptr;
        pass.error.Set(ParamError(preFailed ? 6 : kPostRoutingArgument), message);
        return;
    }
    r.head.selector = f;
    r.switching = SwitchingOf(r.head.parts.suffix);
    CopyText(r.devChanAttr, OrEmpty(devChanAttr));
    r.voltageDC = dc;
    r.voltagePP = pp;
    r.frequency = frequency;
    r.phaseDuty = phaseDuty;
    r.cycleCount = TruncToInt32(static_cast<double>(cycleCount));
    const bool dcOnly = f == kVdc;
    rvo_DefineAttrS("PreRouting", kSetMethod, r.preRouting, 1, kRoutingCategory);
    rvo_DefineAttrR("VoltageDC", kSetMethod, &r.voltageDC, kUnitVolt, nullptr);
    rvo_DefineAttrR("VoltagePP", kSetMethod, &r.voltagePP, dcOnly ? 0 : kUnitVolt, nullptr);
    rvo_DefineAttrR("Frequency", kSetMethod, &r.frequency, dcOnly ? 0 : kUnitHertz, nullptr);
    rvo_DefineAttrR("PhaseDuty", kSetMethod, &r.phaseDuty,
                    dcOnly         ? 0
                    : f == kSquare ? kUnitPercent
                                   : kUnitDegree,
                    dcOnly         ? nullptr
                    : f == kSquare ? "DutyCyle"
                                   : "PhaseAngle");
    rvo_DefineAttrI("CycleCount", kSetMethod, &r.cycleCount, kUnitCount, nullptr);
    rvo_DefineAttrS("PostRouting", kSetMethod, r.postRouting, 1, kRoutingCategory);
}

bool Settle(StepError& error, const BenchRecord* bench) {
    if (!bench || bench->routing.handle < 0) {
        return true;
    }
    int32_t status = 0, code = 0;
    char message[kMessageSize] = {};
    RouteExecute(bench, kSettleCommand, &status, &code, message);
    return code < 0 ? !error.Set(static_cast<uint32_t>(code), message) : true;
}

EN_NEV_RESULT Run(StepPass<SetRecord>& pass, const char* devChanAttr, double dc, double pp,
                  double frequency, double phaseDuty, long cycleCount) {
    SetRecord& r = *pass.record;
    r.voltageDC = dc;
    r.voltagePP = pp;
    r.frequency = frequency;
    r.phaseDuty = phaseDuty;
    r.cycleCount = TruncToInt32(static_cast<double>(cycleCount));
    for (double* pushed : {&r.voltageDC, &r.voltagePP, &r.frequency, &r.phaseDuty}) {
        rvo_UpdateAttrR(r.head.component, pushed);
    }
    rvo_UpdateAttrI(r.head.component, &r.cycleCount);
    const int f = r.head.selector;
    if (f == 0) {
        rvo_SetSTEPResult(-2);
        return pass.error.Set(kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* gen =
        GeneratorOf(pass.bench, r.head, pass.error, ParamError(kDevChanAttrArgument), devChanAttr);
    if (!gen) {
        return -2;
    }
    const char* channel = kChannelNames[r.channel - 1];
    const long handle = gen->handle;
    char warning[kWarningSize] = {};
    if (OffBefore(r.switching) && !EnableOutput(pass.error, handle, channel, 0)) {
        return -2;
    }
    if (r.preRouting[0] &&
        (!RunRoutingList(pass.bench, r.preRouting, "PreRoute", warning, pass.error) ||
         !Settle(pass.error, pass.bench))) {
        return -2;
    }
    if (!ConfigureCycles(pass.error, handle, channel, r.cycleCount)) {
        return -2;
    }
    Status s;
    FUNCGEN_ConfigureOutputMode(0, handle, channel, kFunctionMode, &s.warning, &s.error, s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    if (f == kVdc) {
        FUNCGEN_ConfigureStandardWaveform(0, handle, channel, kWaveforms[0], 0.0, r.voltageDC, 0.0,
                                          0.0, 0.0, &s.warning, &s.error, s.message);
    } else {
        const double phase = f == kSquare ? 0.0 : r.phaseDuty;
        const double duty = f == kSquare ? r.phaseDuty : kStandardDuty;
        FUNCGEN_ConfigureStandardWaveform(0, handle, channel, kWaveforms[f - 1], r.voltagePP,
                                          r.voltageDC, r.frequency, phase, duty, &s.warning,
                                          &s.error, s.message);
    }
    if (s.failed(pass.error)) {
        return -2;
    }
    if (r.postRouting[0] &&
        !RunRoutingList(pass.bench, r.postRouting, "PostRoute", warning, pass.error)) {
        return -2;
    }
    if (OnAfter(r.switching)) {
        if (r.postRouting[0] && !Settle(pass.error, pass.bench)) {
            return -2;
        }
        if (!EnableOutput(pass.error, handle, channel, 1)) {
            return -2;
        }
    }
    char comment[kWarningCommentSize];
    if (warning[0]) {
        FormatText(comment, sizeof comment, "%s KORA warning: %s", OrEmpty(pass.call.comment),
                   warning);
    } else {
        CopyText(comment, OrEmpty(pass.call.comment));
    }
    // One result per execution: the DC level for VDC, the channel for every other waveform.
    const EN_NEV_RESULT verdict =
        f == kVdc ? VerifyReal(pass.call, kUnitVolt, r.voltageDC, r.devChanAttr, comment)
                  : VerifyText(pass.call, channel, r.devChanAttr, comment);
    if (pass.bench && pass.bench->routeDisplay) {
        ShowRouting(pass.bench, pass.call.stepName);
    }
    return verdict;
}

} // namespace
} // namespace kora::funcgen

using namespace kora;
using namespace kora::funcgen;

KORA_EXPORT EN_NEV_RESULT SET_FUNCGEN(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* PreRouting,
                                      const char* DevChanAttr, double VoltageDC, double VoltagePP,
                                      double Frequency, double PhaseDuty, long CycleCount,
                                      const char* PostRouting) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kSetMethod};
    return RunStandardPass<SetRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            Compile(pass, PreRouting, DevChanAttr, VoltageDC, VoltagePP, Frequency, PhaseDuty,
                    CycleCount, PostRouting);
        },
        [&](auto& pass) {
            return Run(pass, DevChanAttr, VoltageDC, VoltagePP, Frequency, PhaseDuty, CycleCount);
        });
}
