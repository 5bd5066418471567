// The test methods of the component classes, as the execute step calls them: one method per
// class, each a nested step of the executive.
#pragma once

#include "bench/bench.h"
#include "ictx/program/component_model.h"

#include <rvoapi.h>

#include <cstdint>
#include <cstdio>

namespace kora {

// Mode words of a method call.
constexpr uint32_t kMethodSave = 0x80000000u; // write the component back into its file
// Caller flags or'ed into the frame's line code (section index << 8 | 8 | flags).
constexpr long kLineFlagCompensation = 5;

// One call of a component's test method.
struct ComponentCall {
    long stepId = 0;            // first step ID + section index
    const char* name = nullptr; // component name
    long option = 0;            // report option word (define calls add bits 1 and 4)
    long inVariant = 1;         // 1 when the component is in the selected variant
    uint32_t mode = 0;          // 0, or kMethodSave
    long lineFlags = 0;         // caller flags of the line code
    int32_t benchIndex = 0;
    BenchRecord* bench = nullptr;
    ComponentRecord* record = nullptr;
    const char* availableVariants = nullptr; // for the save mode and the variant check
    std::FILE* file = nullptr;               // save mode: the file being written
    uint32_t* errorCode = nullptr;
    char* errorText = nullptr; // kMessageSize bytes
    double* elapsed = nullptr; // total time of the call, may be null
    // Set by a step method that runs one component on its own: the method prepares the ICT
    // hardware before its test and releases it after, as the execute step does around a walk.
    struct OwnHardware {
        bool enabled = false;
        bool afterIctStep = false; // the step before was an ICT step: routes stay as they are
        long reportLevel = 0;      // > 0: the set-up and release actions are sub-results
    } ownHardware;
    double* value = nullptr; // the verified value, for the compensation step; may be null
};

// Returns the step result: -1 failed, -2 error reported, -3 stop the program, -5 stop with -5,
// other values continue. In save mode 0 or an error code in *errorCode.
using ComponentMethod = EN_NEV_RESULT (*)(ComponentCall& call);

// The method of a class code; null for classes without one (0, 26, 29 and unknown codes), which
// the execute step declares as generic "NO TEST" steps.
ComponentMethod FindComponentMethod(uint32_t classCode);

} // namespace kora
