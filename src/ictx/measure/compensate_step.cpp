// COMPENSATE_ICTX: the system compensation measures one class's offset on two given pins and keeps
// it in the bench (SYSR0, SYSC0, SYSL0); the fixture compensation measures, for every component
// of the class whose nominal is small, the value its own pins show with the board removed or
// shorted, and keeps it in the component record (RES0, CAP0, IND0). The measurement is the class's
// test method run on the class's compensation component.
#include "exports/export.h"
#include "ictx/measure/compensation_component.h"
#include "ictx/measure/component_methods.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/ictx_pass.h"

#include "frame/args.h"
#include "frame/bench_context.h"
#include "frame/errors.h"
#include "frame/step_frame.h"
#include "frame/text.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kMethodName = "COMPENSATE_ICTX";
constexpr const char* kClasses = "CAPACITORS,INDUCTORS,RESISTORS";
constexpr const char* kOptions = "DIALOG";
constexpr const char* kGroup = "COMPENSATION";
constexpr const char* kPinGroup = "TEST PINS";
constexpr const char* kNullWord = "<NULL>";
constexpr const char* kBadBench = "BenchIndex out or range";
constexpr const char* kNoPsam = "ICTDevice PSAM not defined";
constexpr const char* kNoPict = "ICTDevice PICT not defined";
constexpr const char* kTypeFormat = "%s%s";
constexpr const char* kComponentFormat = "- %s";
constexpr int kTypeArgument = 6;
constexpr long kCleanupResults = 101;
constexpr long kSetupResults = 1;
constexpr long kUnitOhm = 13, kUnitFarad = 14, kUnitHenry = 15;
constexpr long kStepsPerCompensation = 10000;

struct ClassCompensation {
    uint32_t classCode;
    const char* classText;
    const char* suffix;
    Compensation system;
    double lower, upper, nomMax;
    long unit;
    bool needsPict;
    const char* systemDialog;
    const char* fixtureDialog;
};
constexpr ClassCompensation kClassTable[] = {
    {kClassCapacitor, "CAPACITOR", " | SYSC0", kSysC0, 4e-11, 1.5e-10, 1e-8, kUnitFarad, true,
     "CAPACITANCE C0\n\n\nPlease REMOVE all DUTs from the fixture",
     "CAPACITANCE C0\n\nPlease REMOVE ANY CONNECTION from test pins\n\n%s\n%s"},
    {kClassInductor, "INDUCTOR", " | SYSL0", kSysL0, 2e-6, 6e-6, 1e-4, kUnitHenry, true,
     "INDUCTANCE L0\n\n\nPlease insert a fixture SHORT PLATE",
     "INDUCTANCE L0\n\nPlease ensure a SHORT CIRCUIT CONNECTION between test pins\n\n%s\n%s"},
    {kClassResistor, "RESISTOR", " | SYSR0", kSysR0, 1.0, 2.5, 100, kUnitOhm, false,
     "RESISTANCE R0\n\n\nPlease insert a fixture SHORT PLATE",
     "RESISTANCE R0\n\nPlease ensure a SHORT CIRCUIT CONNECTION between test pins\n\n%s\n%s"},
};
constexpr const char* kSystemNames[] = {"SYSR0", "SYSC0", "SYSL0"};

struct CompensateRecord {
    RVO_COMPONENT component;
    int32_t bench;
    int32_t classIndex;
    int32_t components;
    int32_t selected;
    int32_t system; // both pins given
    int32_t dialog;
    double lower, upper, nomMax;
    double value;
    char type[64];
    char hi[64];
    char lo[64];
    char name[136];
    ComponentRecord comp;
};

struct CompensateArguments {
    const char* type;
    const char* options;
    double lower, upper, nomMax;
    const char* hi;
    const char* lo;
    long bench;
};

const ClassCompensation& ClassOf(const CompensateRecord& r) {
    return kClassTable[r.classIndex];
}

BenchRecord* ProgramBench(int32_t index) {
    return index >= 1 && index < BenchCount() ? BenchByIndex(index) : nullptr;
}

// Counts the class's components and marks those to compensate.
void SelectComponents(CompensateRecord& r, BenchRecord* bench) {
    r.components = r.selected = 0;
    if (!bench || !bench->ictProgram) {
        return;
    }
    ComponentModel& model = *bench->ictProgram;
    for (int32_t i = 0; i < model.componentCount; ++i) {
        ComponentRecord& c = model.components[i];
        if (c.classCode != ClassOf(r).classCode || (c.flags & kFlagCompensation)) {
            continue;
        }
        ++r.components;
        const bool small = c.sub[0].nv <= r.nomMax;
        c.flags = small ? (c.flags | kFlagSelected) : (c.flags & ~kFlagSelected);
        r.selected += small ? 1 : 0;
    }
}

// The nested step of a compensation component: declared in the define phase under the same ID
// as it is measured, so that the executive hands it the run phase then.
long StepIdOf(const StepCall& step, long slot) {
    return step.stepRef * kStepsPerCompensation + slot;
}

// Measures one compensation component with the class's method; the method's step result, the
// value in `value`.
EN_NEV_RESULT Measure(const StepCall& step, long slot, BenchRecord& bench, ComponentRecord& comp,
                      double* value, StepError& error) {
    const ComponentMethod method = FindComponentMethod(comp.classCode);
    if (!method) {
        return 0;
    }
    ComponentCall call;
    call.stepId = StepIdOf(step, slot);
    call.name = comp.name;
    call.option = static_cast<long>(comp.reportOption);
    call.lineFlags = kLineFlagCompensation;
    call.benchIndex = bench.index;
    call.bench = &bench;
    call.record = &comp;
    call.availableVariants = bench.ictProgram ? bench.ictProgram->variants : "-";
    call.errorCode = &error.code;
    call.errorText = error.message;
    call.value = value;
    return method(call);
}

// Builds the compensation component of the system (slot 0) or of each selected component (slot
// 1 + its model position) into r.comp and hands it to `use`; false when a build fails.
template <typename Use>
bool ForEachCompensation(CompensateRecord& r, BenchRecord* bench, StepError& error, Use use) {
    char message[kMessageSize];
    if (r.system) {
        return use(0L, static_cast<ComponentRecord*>(nullptr));
    }
    if (!bench || !bench->ictProgram) {
        return true;
    }
    ComponentModel& model = *bench->ictProgram;
    for (int32_t i = 0; i < model.componentCount; ++i) {
        ComponentRecord& c = model.components[i];
        if (c.classCode != ClassOf(r).classCode || !(c.flags & kFlagSelected)) {
            continue;
        }
        if (!BuildFixtureCompensation(r.comp, c, message)) {
            error.Set(kErrResource, message);
            return false;
        }
        FormatText(r.name, sizeof r.name, kComponentFormat, OrEmpty(c.name));
        r.comp.name = r.name;
        if (!use(static_cast<long>(i) + 1, &c)) {
            return true;
        }
    }
    return true;
}

void Dialog(const StepCall& step, const char* text) {
    rvo_UserMessageBox(step.stepName, text, 0);
}

void Define(StepPass<CompensateRecord>& pass, const CompensateArguments& args) {
    CompensateRecord& r = *pass.record;
    r.component = rvo_GetCurrentComponent();
    const int k = MatchKeyword(args.type, kClasses);
    if (k == 0) {
        pass.error.Set(ParamError(kTypeArgument), args.type ? args.type : kNullWord);
        return;
    }
    r.classIndex = k - 1;
    const ClassCompensation& cls = ClassOf(r);
    r.dialog = args.options && std::strstr(args.options, kOptions) != nullptr;
    r.lower = std::isnan(args.lower) ? cls.lower : args.lower;
    r.upper = std::isnan(args.upper) ? cls.upper : args.upper;
    r.nomMax = std::isnan(args.nomMax) ? cls.nomMax : args.nomMax;
    r.bench = static_cast<int32_t>(args.bench == 0 ? pass.bench->index : args.bench);
    CopyText(r.hi, OrEmpty(args.hi));
    CopyText(r.lo, OrEmpty(args.lo));
    r.system = r.hi[0] && r.lo[0];
    FormatText(r.type, sizeof r.type, kTypeFormat, cls.classText, cls.suffix);
    if (r.system) {
        char error[kMessageSize];
        if (!BuildSystemCompensation(r.comp, cls.classText, kSystemNames[cls.system], r.hi, r.lo,
                                     error)) {
            pass.error.Set(kErrResource, error);
            return;
        }
    }
    BenchRecord* bench = ProgramBench(r.bench);
    SelectComponents(r, bench);
    rvo_DefineAttrI("BENCH", kGroup, &r.bench, 0, nullptr);
    rvo_DefineAttrS("TYPE", kGroup, r.type, 0, nullptr);
    rvo_DefineAttrI("COMPONENTS", kGroup, &r.components, 0, kShown);
    rvo_DefineAttrI("SELECTED", kGroup, &r.selected, 0, kShown);
    rvo_DefineAttrR("NomMax", kGroup, &r.nomMax, cls.unit, nullptr);
    if (r.system) {
        rvo_DefineAttrS("HI", kPinGroup, r.hi, 0, nullptr);
        rvo_DefineAttrS("LO", kPinGroup, r.lo, 0, nullptr);
    }
    if (!bench) {
        return;
    }
    StepError method;
    ForEachCompensation(r, bench, pass.error, [&](long slot, ComponentRecord*) {
        return Measure(pass.call, slot, *bench, r.comp, nullptr, method) > -2;
    });
}

EN_NEV_RESULT Execute(StepPass<CompensateRecord>& pass) {
    CompensateRecord& r = *pass.record;
    const StepCall& step = pass.call;
    const ClassCompensation& cls = ClassOf(r);
    BenchRecord* bench = ProgramBench(r.bench);
    if (!bench) {
        pass.error.Set(kErrResource, kBadBench);
        return -2;
    }
    if (!bench->ictModules[kIctPsam].inUse) {
        pass.error.Set(kErrResource, kNoPsam);
        return -2;
    }
    if (cls.needsPict && !bench->ictModules[kIctPict].inUse) {
        pass.error.Set(kErrResource, kNoPict);
        return -2;
    }
    SelectComponents(r, bench);
    double elapsed = 0;
    char message[kMessageSize] = {};
    if (const uint32_t code = IctSetup(kSetupResults, *bench, 1, 0, &elapsed, message)) {
        pass.error.Set(code, message);
        return -2;
    }
    EN_NEV_RESULT result = 0;
    r.value = 0;
    StepError method;
    ForEachCompensation(r, bench, pass.error, [&](long slot, ComponentRecord* c) {
        if (r.dialog) {
            char text[kMessageSize];
            FormatText(text, sizeof text, c ? cls.fixtureDialog : cls.systemDialog,
                       c ? OrEmpty(c->tp[0]) : "", c ? OrEmpty(c->tp[1]) : "");
            Dialog(step, text);
        }
        double value = 0;
        result = Measure(step, slot, *bench, r.comp, &value, method);
        if (result == 0 && c) {
            c->compensation = value;
            bench->ictModified = 1;
            r.value = std::max(r.value, value);
        } else if (result == 0) {
            bench->compensation[cls.system] = value;
            if (pass.bench->index == bench->index) {
                pass.bench->compensation[cls.system] = value;
            }
            r.value = value;
        }
        // A failing class method stops the compensation.
        return result > -2;
    });
    const uint32_t code = IctCleanup(kCleanupResults, *bench, false, 0, &elapsed, message);
    if (!pass.error.failed() && code != 0) {
        pass.error.Set(code, message);
    }
    if (pass.error.failed()) {
        return -2;
    }
    const long verdict =
        rvo_VerifyR(0, step.stepName, step.lineCode, cls.unit, r.lower, "<=", r.value,
                    "<=", r.upper, RVO_VERDICT_EXECUTIVE, 0.0, r.type, OrEmpty(step.comment));
    if (result <= -2) {
        return result;
    }
    return static_cast<EN_NEV_RESULT>(verdict < 0 ? verdict : result);
}

} // namespace

} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT COMPENSATE_ICTX(long stepRef, const char* stepName, long lineCode,
                                          long stepArg, const char* comment, const char* Type,
                                          const char* Options, double LowerLimit, double UpperLimit,
                                          double NomMax, const char* HiPin, const char* LoPin,
                                          long BenchIndex) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kMethodName};
    const CompensateArguments args{Type,   Options, LowerLimit, UpperLimit,
                                   NomMax, HiPin,   LoPin,      BenchIndex};
    // Not marked as an ICT program step: the step cleans the hardware up after itself, and an
    // EXEC_ICTX after it must set it up again.
    return RunIctPass<CompensateRecord>(
        call, kKindNone, [&](auto& pass) { Define(pass, args); },
        [&](auto& pass) { return Execute(pass); });
}
