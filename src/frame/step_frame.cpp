#include "step_frame.h"

#include "bench_context.h"
#include "text.h"

namespace kora {

extern "C" long _EnterStep_KORA(int32_t kind, long lineCode, long stepRef, const char* stepName,
                                long stepArg, const char* comment, const char* methodName,
                                BenchRecord** benchOut, int32_t dataSize, void** dataOut,
                                uint32_t* errorCode, char* message) {
    *errorCode = 0;
    if (message) {
        message[0] = 0;
    }
    BenchRecord* bench = nullptr;
    if (benchOut) {
        bench = ActiveBench();
        *benchOut = bench;
        if (!bench) {
            *errorCode = kErrResource;
            if (message) {
                CopyText(message, kMessageSize, kNoBench);
            }
            return -2;
        }
    }
    long phase = rvo_EnterSTEPMethod(stepRef, stepName, lineCode, stepArg, comment, methodName,
                                     dataSize, dataOut);
    if (bench && kind != kKindNone && (phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN)) {
        bench->PrevStepKind = bench->LastStepKind;
        bench->LastStepKind = kind;
    }
    return phase;
}

bool CompileDevChanAttr(StepError& error, StepHead& head, const char* devChanAttr,
                        const char* methodName, long option) {
    head.component = rvo_GetCurrentComponent();
    uint32_t code = SplitDevChanAttr(devChanAttr, &head.parts);
    if (code != 0) {
        error.Set(code, OrNull(devChanAttr));
        return false;
    }
    rvo_DefineAttrS("DevChanAttr", methodName, devChanAttr, option, nullptr);
    return true;
}

} // namespace kora
