// The helpers of the function generator steps (see funcgen_common.h).
#include "instruments/funcgen_common.h"

#include "frame/text.h"

#include <rvoapi.h>

namespace kora::funcgen {
namespace {

constexpr const char* kContinuous = "CONTINUOUS";
constexpr const char* kBurst = "BURST";

} // namespace

DeviceRecord* FindGenerator(BenchRecord* bench, const char* device) {
    DeviceRecord* d = FindDevice(bench, kClassFuncgen, device);
    return d && d->inUse ? d : nullptr;
}

DeviceRecord* GeneratorOf(BenchRecord* bench, const StepHead& head, StepError& error, uint32_t code,
                          const char* devChanAttr) {
    DeviceRecord* g = FindGenerator(bench, head.parts.device);
    if (!g) {
        RefuseKeyword(error, code, devChanAttr);
        return nullptr;
    }
    rvo_SetSTEPDeviceName(g->name);
    return g;
}

int32_t SwitchingOf(const char* suffix) {
    const int s = MatchKeyword(suffix, kSwitchings);
    return s == kPreOff || s == kOffOn ? s : kPostOn;
}

bool EnableOutput(StepError& error, long handle, const char* channel, long on) {
    Status s;
    FUNCGEN_ConfigureOutputEnabled(0, handle, channel, on, &s.warning, &s.error, s.message);
    return !s.failed(error);
}

bool ConfigureCycles(StepError& error, long handle, const char* channel, long cycleCount) {
    Status s;
    FUNCGEN_ConfigureOperationMode(0, handle, channel, cycleCount == 0 ? kContinuous : kBurst,
                                   &s.warning, &s.error, s.message);
    if (s.failed(error)) {
        return false;
    }
    if (cycleCount != 0) {
        FUNCGEN_ConfigureBurstCount(0, handle, channel, cycleCount, &s.warning, &s.error,
                                    s.message);
    }
    return !s.failed(error);
}

bool RefuseKeyword(StepError& error, uint32_t code, const char* devChanAttr) {
    rvo_SetSTEPResult(-2);
    return error.Set(code, OrNull(devChanAttr));
}

EN_NEV_RESULT VerifyText(const StepCall& call, const char* value, const char* channel,
                         const char* comment) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, call.stepName, call.lineCode, 0, value,
                                                  nullptr, nullptr, RVO_VERDICT_EXECUTIVE, 0.0,
                                                  channel, comment));
}

EN_NEV_RESULT VerifyReal(const StepCall& call, long unit, double value, const char* channel,
                         const char* comment) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyR(0, call.stepName, call.lineCode, unit, 0.0, "",
                                                  value, "", 0.0, RVO_VERDICT_EXECUTIVE, 0.0,
                                                  channel, comment));
}

EN_NEV_RESULT VerifyInt(const StepCall& call, long value, const char* channel) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, call.lineCode, 0, 0, "", value,
                                                  "", 0, RVO_VERDICT_EXECUTIVE, 0.0, channel,
                                                  call.comment));
}

} // namespace kora::funcgen
