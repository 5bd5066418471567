#include "ictx/program/component_step.h"

#include "frame/bench_context.h"
#include "frame/text.h"
#include "ictx/program/component_classes.h"
#include "ictx/program/component_compile.h"
#include "ictx/program/ictx_pass.h"

#include <rvoapi.h>

#include <cmath>
#include <map>
#include <memory>

namespace kora {

namespace {

constexpr const char* kBenchOutOfRange = "BenchIndex out of range";
constexpr int kBenchArgument = 7;

struct NoRecord {
    int32_t unused;
};

// Each thread's steps keep their components by step reference, like their bench arrays.
thread_local std::map<long, std::unique_ptr<KeptComponent>> tlsKept;

// An error found before the component exists, reported as the step's own.
EN_NEV_RESULT ReportBeforeComponent(const StepCall& call, uint32_t code, const char* message) {
    return RunIctPass<NoRecord>(
        call, kKindNone, [](auto&) {},
        [&](auto& pass) {
            pass.error.Set(code, message);
            return EN_NEV_RESULT{-2};
        });
}

} // namespace

const char* KeptComponent::Keep(const char* text) {
    if (!text) {
        return nullptr;
    }
    texts.emplace_back(text);
    return texts.back().c_str();
}

void KeptComponent::SetText(const char*& field, const char* text, uint32_t bit) {
    if (text && *text) {
        field = Keep(text);
        record.paramMask |= bit;
    }
}

bool TakeReal(double& field, double value) {
    if (std::isnan(value)) {
        return false;
    }
    field = value;
    return true;
}

EN_NEV_RESULT RunComponentStep(const StepCall& call, const ComponentStepPlan& plan) {
    const BenchRecord* active = ActiveBench();
    const long n = plan.bench == 0 && active ? active->index : plan.bench;
    if (!active || n < 1 || n >= BenchCount()) {
        return ReportBeforeComponent(call, ParamError(kBenchArgument), kBenchOutOfRange);
    }
    BenchRecord* bench = BenchByIndex(static_cast<int32_t>(n));
    std::unique_ptr<KeptComponent>& kept = tlsKept[call.stepRef];
    if (!kept) {
        kept = std::make_unique<KeptComponent>();
    }
    if (!(kept->built && rvo_IsGROUPCompiled())) {
        kept->record = ComponentRecord{};
        kept->texts.clear();
        ComponentRecord& r = kept->record;
        r.classCode = plan.classCode;
        uint32_t classCode = 0;
        LookupComponentClass(ComponentClassText(r), &classCode, &r.subTestCount);
        for (uint32_t k = 0; k < r.subTestCount && k < kSubTests; ++k) {
            r.sub[k].enable = 1;
            r.sub[k].mode = '1';
        }
        r.index = static_cast<int32_t>(call.lineCode >> 8);
        r.reportOption = static_cast<uint32_t>(call.stepArg);
        r.headerLine = r.index;
        r.name = kept->Keep(OrEmpty(call.stepName));
        r.comment = kept->Keep(OrEmpty(call.comment));
        r.classText = ComponentClassText(r);
        plan.build(*kept);
        char error[kMessageSize] = {};
        if (CompileComponent(&r, error) != 0) {
            kept->built = false;
            return ReportBeforeComponent(call, kErrResource, error);
        }
        kept->built = true;
    }
    plan.takeReals(kept->record);

    uint32_t code = 0;
    char text[kMessageSize] = {};
    ComponentCall c;
    c.stepId = call.stepRef;
    c.name = kept->record.name;
    c.option = call.stepArg;
    c.benchIndex = static_cast<int32_t>(n);
    c.bench = bench;
    c.record = &kept->record;
    c.availableVariants = bench->ictProgram ? bench->ictProgram->variants : nullptr;
    c.errorCode = &code;
    c.errorText = text;
    c.ownHardware.enabled = true;
    // These steps enter without a step kind of their own: the last kind is the step before.
    c.ownHardware.afterIctStep = active->LastStepKind == kKindIctProgram;
    c.ownHardware.reportLevel = plan.reportLevel;
    return plan.method(c);
}

} // namespace kora
