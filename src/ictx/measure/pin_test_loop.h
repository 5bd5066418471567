// The step loop of the pin-at-a-time test methods (included by pin_test_support.h).
#pragma once

#include "frame/step_frame.h"
#include "frame/text.h"

#include <rvoapi.h>

namespace kora {

template <typename Block, typename Define, typename Run>
EN_NEV_RESULT RunPinTestMethod(ComponentCall& call, const ClassTraits& cls, Define define,
                               Run run) {
    if (call.mode == kMethodSave) {
        return SaveComponent(call);
    }
    const double start = rvo_TSTAMP();
    long result = 0;
    for (;;) {
        StepError error;
        void* data = nullptr;
        const long phase = EnterComponentStep(call, cls, sizeof(Block), &data, error);
        if (phase == -4) {
            rvo_ExitSTEP();
            return 0;
        }
        auto* block = static_cast<Block*>(data);
        if (!block && !error.failed()) {
            error.Set(kErrMemory, cls.methodName);
        }
        const bool defining = phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN;
        if (!error.failed() && defining) {
            define(*block, error);
        }
        if (!error.failed() && block &&
            (phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN)) {
            LinkForRun(block->head, call);
            result = run(*block, error);
        } else if (error.failed()) {
            result = block ? AlertPinTestError(block->head, cls.alertFormat, error) : -2;
        }
        if (call.errorCode) {
            *call.errorCode = error.code;
        }
        if (call.errorText) {
            CopyText(call.errorText, kMessageSize, error.message);
        }
        if (rvo_ExitSTEP() != RVO_EXIT_AGAIN) {
            break;
        }
    }
    if (call.elapsed) {
        *call.elapsed = rvo_TSTAMP() - start;
    }
    return static_cast<EN_NEV_RESULT>(result);
}

} // namespace kora
