// The common entry and exit of every step method: phases, the repeat loop, one error per pass.
#pragma once

#include "args.h"
#include "bench/bench.h"
#include "errors.h"

#include <rvoapi.h>

#include <cstdint>

namespace kora {

// Step kinds handed to the entry.
constexpr int32_t kKindInstrument = 1;
constexpr int32_t kKindIctProgram = 2;
constexpr int32_t kKindNone = -1;

// Categories of an attribute definition that tell the executive how to show the value: a boolean
// switch, or a value the step shows and the operator does not edit.
constexpr const char* kBoolean = "BOOL";
constexpr const char* kShown = "SHOW";

// The head of every step data record (the ICT methods use their own layouts).
struct StepHead {
    void* component;
    DevChanParts parts;
    int32_t selector;
};

// Enters the step: clears the error, finds the calling thread's active bench when `benchOut` is
// given (error 0x81000012 "pBENCH==NULL" and -2 without asking the executive when there is
// none), asks the executive for the phase and the step data record, and notes the step kind.
extern "C" long _EnterStep_KORA(int32_t kind, long lineCode, long stepRef, const char* stepName,
                                long stepArg, const char* comment, const char* methodName,
                                BenchRecord** benchOut, int32_t dataSize, void** dataOut,
                                uint32_t* errorCode, char* message);

// The five common arguments of a step method and its exported name.
struct StepCall {
    long stepRef;
    const char* stepName;
    long lineCode;
    long stepArg;
    const char* comment;
    const char* methodName;
};

// What one pass sees: phase, record, bench and the pass's error.
template <typename Record> struct StepPass {
    const StepCall& call;
    long phase;
    Record* record;
    BenchRecord* bench;
    StepError error;

    bool compiling() const { return phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN; }
};

// The standard pass, repeated while the executive answers 12 at the exit:
//   compile(pass)        on phases 98 and 2;
//   run(pass) -> result  on phase 1, and on phase 2 after a clean compile.
// An error of the pass is reported once and makes the pass result -2.
template <typename Record, typename Compile, typename Run>
EN_NEV_RESULT RunStandardPass(const StepCall& call, int32_t kind, bool needsBench, Compile compile,
                              Run run) {
    for (;;) {
        EN_NEV_RESULT result = 0;
        StepPass<Record> pass{call, 0, nullptr, nullptr, {}};
        void* data = nullptr;
        pass.phase = _EnterStep_KORA(
            kind, call.lineCode, call.stepRef, call.stepName, call.stepArg, call.comment,
            call.methodName, needsBench ? &pass.bench : nullptr,
            static_cast<int32_t>(sizeof(Record)), &data, &pass.error.code, pass.error.message);
        pass.record = static_cast<Record*>(data);
        const bool known = pass.phase == RVO_PHASE_RUN || pass.compiling();
        if (known && !pass.record && !pass.error.failed()) {
            pass.error.Set(kErrMemory, call.methodName);
        }
        if (pass.compiling() && !pass.error.failed()) {
            compile(pass);
        }
        if ((pass.phase == RVO_PHASE_RUN || pass.phase == RVO_PHASE_COMPILE_RUN) &&
            !pass.error.failed()) {
            result = run(pass);
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

// Splits DevChanAttr into the record head and declares the DevChanAttr attribute; false after
// an over-long part (error set).
bool CompileDevChanAttr(StepError& error, StepHead& head, const char* devChanAttr,
                        const char* methodName, long option);

} // namespace kora
