// A component built from a step method's arguments and run as that step: the contact, track and
// discharge steps (and the compensation step) describe one component in their arguments instead
// of a component file. The step keeps its component between passes; once the executive has
// compiled the step's group, a pass takes over only the reals of its arguments.
#pragma once

#include "frame/step_frame.h"
#include "ictx/measure/component_methods.h"

#include <deque>
#include <functional>
#include <string>

namespace kora {

// The component a step keeps, with the texts its record points at.
struct KeptComponent {
    ComponentRecord record{};
    std::deque<std::string> texts;
    bool built = false;

    // A copy of `text` that lives as long as the component; null for null.
    const char* Keep(const char* text);
    // Sets a text parameter of the record (null or empty leaves it out).
    void SetText(const char*& field, const char* text, uint32_t bit);
};

struct ComponentStepPlan {
    uint32_t classCode;
    long bench;       // 1.. a configured bench; 0 the thread's active bench
    long reportLevel; // of the ICT set-up and release around the test
    ComponentMethod method;
    // Fills a fresh record from the arguments before the compile step derives its defaults.
    std::function<void(KeptComponent&)> build;
    // Takes the reals of the arguments over into the compiled record (NaN keeps the default);
    // also the only thing a pass of a compiled group does.
    std::function<void(ComponentRecord&)> takeReals;
};

// Runs the step: "BenchIndex out of range" (0x81000007) for a bench the thread does not have,
// the compile step's message for a component that does not compile, else the method's result.
EN_NEV_RESULT RunComponentStep(const StepCall& call, const ComponentStepPlan& plan);

// Takes `value` into `field` unless it is NaN; true when taken.
bool TakeReal(double& field, double value);

} // namespace kora
