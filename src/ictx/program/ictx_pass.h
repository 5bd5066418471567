// The pass loop of the ICT program steps. It is the standard pass of the step frame, except that
// the executive's phases 3 and -4 end the pass without any work and come back as the step's
// result, so that the executive sees them again, and that only the first pass marks the bench
// with the step's kind: a pass repeated at the executive's request (12 at the exit) enters
// without a mark, so it finds the step kinds as the first pass did and prepares and releases the
// hardware again as that pass did.
#pragma once

#include "frame/step_frame.h"

#include <rvoapi.h>

#include <cstdint>

namespace kora {

constexpr long kPhaseSkip = 3;
constexpr long kPhaseAbort = -4;

//   define(pass)            on phases 98 and 2;
//   execute(pass) -> result on phase 1, and on phase 2 after a clean definition.
template <typename Record, typename Define, typename Execute>
EN_NEV_RESULT RunIctPass(const StepCall& call, int32_t kind, Define define, Execute execute) {
    for (int32_t passKind = kind;; passKind = kKindNone) {
        EN_NEV_RESULT result = 0;
        StepPass<Record> pass{call, 0, nullptr, nullptr, {}};
        void* data = nullptr;
        pass.phase = _EnterStep_KORA(passKind, call.lineCode, call.stepRef, call.stepName,
                                     call.stepArg, call.comment, call.methodName, &pass.bench,
                                     static_cast<int32_t>(sizeof(Record)), &data, &pass.error.code,
                                     pass.error.message);
        if (pass.phase == kPhaseSkip || pass.phase == kPhaseAbort) {
            rvo_ExitSTEP();
            return static_cast<EN_NEV_RESULT>(pass.phase);
        }
        pass.record = static_cast<Record*>(data);
        const bool known = pass.phase == RVO_PHASE_RUN || pass.compiling();
        if (known && !pass.record && !pass.error.failed()) {
            pass.error.Set(kErrMemory, call.methodName);
        }
        if (pass.compiling() && !pass.error.failed()) {
            define(pass);
        }
        if ((pass.phase == RVO_PHASE_RUN || pass.phase == RVO_PHASE_COMPILE_RUN) &&
            !pass.error.failed()) {
            result = execute(pass);
        }
        if (pass.error.failed()) {
            ReportStepError(call.lineCode, call.methodName, pass.error.code, pass.error.message);
            result = -2;
        }
        if (rvo_ExitSTEP() != RVO_EXIT_AGAIN) {
            return result;
        }
    }
}

} // namespace kora
