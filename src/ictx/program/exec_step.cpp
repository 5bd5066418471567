// EXEC_ICTX: runs the component program of a bench. The define walk declares every component
// as a step of its own through its class's test method; the execute walk brings the ICT
// hardware into its start state, calls each component's method in model order, counts the
// failures and honours the methods' requests to stop. With kSaveRequest as first argument it
// saves the program instead.
//
// The program, the ICT hardware and the compensation values used are those of the configured
// bench record (BenchByIndex of the bench number), never of the active bench's copy: the
// component methods get the same record, so the unit caches and the unsaved mark stay in one
// place whichever way a bench is reached.
#include "ictx/program/exec_step.h"

#include "exports/export.h"
#include "frame/bench_context.h"
#include "frame/step_frame.h"
#include "frame/text.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/generic_step.h"
#include "ictx/program/ictx_pass.h"
#include "ictx/program/ictx_save.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <atomic>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kExecMethod = "EXEC_ICTX";
constexpr const char* kModes = "ANALOG,DIGITAL";
constexpr int kModeDigital = 2;
constexpr const char* kAnalogType = "ANALOG";
constexpr const char* kDigitalType = "DIGITAL";
constexpr const char* kTitle = "%s | BENCH=%s";
constexpr const char* kVariantMark = " | VAR";
constexpr const char* kResultWithVariant = "%s=%s";
constexpr const char* kCompensationGroup = "COMPENSATION";
constexpr const char* kDetails = "-DETAILS";
constexpr const char* kOutOfRange = "BENCH selector out of range";
constexpr const char* kNoProgram = "No ICTX component program loaded";
constexpr const char* kInvalidVariant =
    "LINE %li\n\n%s: Invalid VARIANT '%s' selected\n\nAvailable: %s\n\n";
constexpr const char* kNoPsam = "ICTDevice PSAM not defined";
constexpr const char* kPsamType = "PSAM";
constexpr const char* kAnalogReset = "RESET: ROUTE,ICTX";
constexpr const char* kDigitalReset = "RESET: ICTX";
constexpr const char* kNoVariants = "-";
constexpr const char* kVariantPrefix = "-,";
constexpr int kModeArgument = 6;
constexpr int kBenchArgument = 7;
constexpr long kUnitOhm = 13;
constexpr long kUnitFaradDisplay = 2062;
constexpr long kUnitHenryDisplay = 1551;
constexpr long kUnitSeconds = 0x510;
constexpr long kUnitFailCount = 4;
// Option bits added for the steps the walk declares on its own terms: SETUP, insertion sections
// and generic steps.
constexpr long kDeclareOnly = 1 | 4;
constexpr long kFirstMacroStep = 999999;
constexpr long kSetupResults = 1;
constexpr long kCleanupResults = 101;

// Method results the walk acts on.
constexpr EN_NEV_RESULT kFailed = -1;
constexpr EN_NEV_RESULT kErrorReported = -2;
constexpr EN_NEV_RESULT kStopProgram = -3;
constexpr EN_NEV_RESULT kStopped = -5;

std::atomic<ComponentMethodLookup> g_lookup{nullptr};

struct ExecRecord {
    void* component;
    DevChanParts mode;
    double tCompile;
    double tMeasure;
    int32_t variantBit; // -1: no variant selected, every component is in
    int32_t results;    // report the set-up and clean-up actions as sub-results
    int32_t analog;
    int32_t digital;
    int32_t componentCount;
    int32_t bench;
    int32_t stepId;
    char variant[128];
    char type[8];
    char title[128];
    uint32_t linkEpoch; // the bench memory epoch the compensation attributes point into
};
static_assert(sizeof(ExecRecord) == 800);

// The arguments of one call of the step method, and the pass's start time.
struct ExecArguments {
    const char* mode;
    long bench;
    long stepId;
    const char* variant;
    double entered;
};

// The configured bench a bench argument names; 0 is the bench selected in record 0.
BenchRecord* ProgramBench(const BenchRecord& active, long bench, StepError& error) {
    const long n = bench == 0 ? active.index : bench;
    if (n < 1 || n >= BenchCount()) {
        error.Set(ParamError(kBenchArgument), kOutOfRange);
        return nullptr;
    }
    BenchRecord* record = BenchByIndex(static_cast<int32_t>(n));
    if (!record->ictProgram) {
        error.Set(kErrResource, kNoProgram);
        return nullptr;
    }
    return record;
}

ComponentCall BaseCall(BenchRecord& bench, uint32_t* code, char* text) {
    ComponentCall call;
    call.benchIndex = bench.index;
    call.bench = &bench;
    call.availableVariants = bench.ictProgram->variants;
    call.errorCode = code;
    call.errorText = text;
    return call;
}

// Declares every component the mode runs: SETUP always, DIGITAL sections in DIGITAL mode
// (insertion sections under step IDs counted down from 999999), every other class in ANALOG
// mode, those without a test method as generic steps.
void DeclareComponents(const ExecRecord& r, BenchRecord& bench, long firstStep) {
    ComponentModel& model = *bench.ictProgram;
    uint32_t code = 0;
    char text[kMessageSize] = {};
    long macroStep = kFirstMacroStep;
    for (int32_t i = 0; i < model.componentCount; ++i) {
        ComponentRecord& c = model.components[i];
        ComponentCall call = BaseCall(bench, &code, text);
        call.stepId = firstStep + c.index;
        call.name = c.name;
        call.option = static_cast<long>(c.reportOption);
        call.record = &c;
        ComponentMethod method = ComponentMethodOf(c.classCode);
        if (c.classCode == kClassDigital) {
            if (!r.digital || !method) {
                continue;
            }
            if (c.index == 0) {
                call.stepId = macroStep--;
                c.reportOption |= kDeclareOnly;
                call.option = static_cast<long>(c.reportOption);
            }
        } else if (c.classCode == kClassSetup) {
            call.option |= kDeclareOnly;
        } else if (!r.analog) {
            continue;
        }
        if (!method) {
            if (!r.analog) {
                continue;
            }
            method = GenericComponentStep;
            call.option |= kDeclareOnly;
        }
        if (method(call) == kErrorReported) {
            return;
        }
    }
}

// The system compensation attributes show the bench's own values, so they point into the bench
// memory; a later execution after a full clean-up points them at the bench set up afresh.
void DefineCompensation(ExecRecord& r, BenchRecord& bench) {
    rvo_DefineAttrR("SYSR0", kCompensationGroup, &bench.compensation[kSysR0], kUnitOhm, nullptr);
    rvo_DefineAttrR("SYSC0", kCompensationGroup, &bench.compensation[kSysC0], kUnitFaradDisplay,
                    nullptr);
    rvo_DefineAttrR("SYSL0", kCompensationGroup, &bench.compensation[kSysL0], kUnitHenryDisplay,
                    nullptr);
    r.linkEpoch = BenchMemoryEpoch();
}

void DefineExec(StepPass<ExecRecord>& pass, ExecArguments& args) {
    ExecRecord& r = *pass.record;
    args.entered = rvo_TSTAMP();
    r.component = rvo_GetCurrentComponent();
    BenchRecord* bench = ProgramBench(*pass.bench, args.bench, pass.error);
    if (!bench) {
        return;
    }
    const uint32_t split = SplitDevChanAttr(args.mode, &r.mode);
    if (split != 0) {
        pass.error.Set(ParamError(kModeArgument), OrNull(args.mode));
        return;
    }
    // The mode is the channel part ("DIGITAL:"); a mode written alone ("DIGITAL") lands in the
    // function part and means the same, as an operator would expect.
    const char* mode = r.mode.channel[0] ? r.mode.channel : r.mode.function;
    r.digital = MatchKeyword(mode, kModes) == kModeDigital ? 1 : 0;
    r.analog = r.digital ? 0 : 1;
    CopyText(r.type, r.digital ? kDigitalType : kAnalogType);
    CopyText(r.variant, OrEmpty(args.variant));
    FormatText(r.title, sizeof r.title, kTitle, r.type, bench->name);
    if (r.variant[0]) {
        AppendText(r.title, sizeof r.title, kVariantMark);
    }
    r.bench = static_cast<int32_t>(args.bench);
    r.stepId = static_cast<int32_t>(args.stepId);
    r.componentCount = bench->ictProgram->componentCount;

    rvo_DefineAttrS("NAME", kExecMethod, r.title, 0, nullptr);
    rvo_DefineAttrS("TYPE", kExecMethod, r.type, 0, nullptr);
    rvo_DefineAttrI("BENCH", kExecMethod, &r.bench, 0, "Index");
    rvo_DefineAttrI("STEP ID", kExecMethod, &r.stepId, 0, "First component");
    rvo_DefineAttrS("VARIANT", kExecMethod, r.variant, 0, nullptr);
    if (r.analog) {
        DefineCompensation(r, *bench);
    }
    // A writable switch; the executive's boolean category leaves no room for its hint.
    rvo_DefineAttrI("RESULTS", kDetails, &r.results, 0, kBoolean);
    rvo_DefineAttrR("TCompile", kDetails, &r.tCompile, kUnitSeconds, nullptr);
    rvo_DefineAttrR("TMeasure", kDetails, &r.tMeasure, kUnitSeconds, nullptr);

    DeclareComponents(r, *bench, args.stepId);
    r.tCompile = rvo_TSTAMP() - args.entered;
}

// The variant's position in the SETUP list (without the leading "-" entry), -1 without a
// variant; false with the error set for a name the list does not hold.
bool SelectVariant(ExecRecord& r, const ComponentModel& model, StepError& error) {
    r.variantBit = -1;
    if (!r.variant[0]) {
        return true;
    }
    const char* list = model.variants ? model.variants : kNoVariants;
    if (std::strncmp(list, kVariantPrefix, 2) == 0) {
        list += 2;
    } else if (std::strcmp(list, kNoVariants) == 0) {
        list = "";
    }
    const int k = MatchKeyword(r.variant, list);
    if (k == 0) {
        return error.SetF(kErrResource, kInvalidVariant, static_cast<long>(model.setup.headerLine),
                          OrEmpty(model.setup.name), r.variant, list);
    }
    r.variantBit = k - 1;
    return true;
}

long InVariant(const ComponentRecord& c, int32_t bit) {
    if (bit < 0) {
        return 1;
    }
    if (bit >= kVariantWords * 32) {
        return 0;
    }
    return (c.variantSet[bit / 32] >> (bit % 32)) & 1u;
}

bool HasPsam(const BenchRecord& bench) {
    const IctModuleRecord& m = bench.ictModules[kIctPsam];
    return m.inUse && std::strcmp(m.type, kPsamType) == 0;
}

struct WalkOutcome {
    EN_NEV_RESULT result = 0;
    long failures = 0;
    bool broken = false; // stopped by an error or by the operator
};

// Calls the test method of every component the mode runs, in model order, and acts on what
// each returns.
WalkOutcome MeasureComponents(const ExecRecord& r, BenchRecord& bench, long firstStep) {
    ComponentModel& model = *bench.ictProgram;
    WalkOutcome out;
    for (int32_t i = 0; i < model.componentCount; ++i) {
        ComponentRecord& c = model.components[i];
        if (c.index <= 0 && c.classCode != kClassSetup) {
            continue;
        }
        const bool runs = c.classCode == kClassSetup     ? true
                          : c.classCode == kClassDigital ? r.digital != 0
                                                         : r.analog != 0;
        const ComponentMethod method = ComponentMethodOf(c.classCode);
        if (!runs || !method) {
            continue;
        }
        uint32_t code = 0;
        char text[kMessageSize] = {};
        ComponentCall call = BaseCall(bench, &code, text);
        call.stepId = firstStep + c.index;
        call.name = c.name;
        call.option = static_cast<long>(c.reportOption);
        call.inVariant = InVariant(c, r.variantBit);
        call.record = &c;
        switch (const EN_NEV_RESULT result = method(call)) {
        case kStopProgram:
        case kStopped:
            out.result = result;
            out.broken = result == kStopped;
            return out;
        case kErrorReported:
            out.result = kErrorReported;
            if (code != 0) {
                out.broken = true;
                return out;
            }
            break;
        case kFailed:
            ++out.failures;
            out.result = kFailed;
            break;
        default:
            break;
        }
    }
    return out;
}

EN_NEV_RESULT ExecuteExec(StepPass<ExecRecord>& pass, ExecArguments& args) {
    ExecRecord& r = *pass.record;
    const StepCall& call = pass.call;
    const double started = rvo_TSTAMP();
    if (pass.phase == RVO_PHASE_RUN) {
        args.entered = started;
    }
    BenchRecord* bench = ProgramBench(*pass.bench, args.bench, pass.error);
    if (!bench || !SelectVariant(r, *bench->ictProgram, pass.error)) {
        return -2;
    }
    if (r.analog && r.linkEpoch != BenchMemoryEpoch()) {
        DefineCompensation(r, *bench);
    }
    if (r.analog) {
        rvo_UpdateAttrR(r.component, &bench->compensation[kSysR0]);
        rvo_UpdateAttrR(r.component, &bench->compensation[kSysC0]);
        rvo_UpdateAttrR(r.component, &bench->compensation[kSysL0]);
    }
    rvo_ReadAttrB(r.component, &r.results);
    rvo_UpdateAttrS(r.component, "VARIANT", r.variant);
    if (!HasPsam(*bench)) {
        pass.error.Set(kErrResource, kNoPsam);
        return -2;
    }

    // After another ICT step the hardware is in its ICT state already.
    const bool prepare = pass.bench->PrevStepKind != kKindIctProgram;
    char comment[kMessageSize];
    CopyText(comment, kMessageSize, OrEmpty(call.comment));
    WalkOutcome walk;
    bool walked = true;
    if (prepare) {
        if (!comment[0]) {
            CopyText(comment, kMessageSize, r.analog ? kAnalogReset : kDigitalReset);
        }
        double elapsed = 0;
        char message[kMessageSize] = {};
        if (IctSetup(kSetupResults, *bench, r.analog, r.results, &elapsed, message) != 0) {
            walked = false;
            walk.result = kFailed;
            CopyText(comment, kMessageSize, message);
        }
    }
    if (walked) {
        walk = MeasureComponents(r, *bench, args.stepId);
    }
    r.tMeasure = rvo_TSTAMP() - started;
    if (walked && prepare) {
        double elapsed = 0;
        char message[kMessageSize] = {};
        const uint32_t code =
            IctCleanup(kCleanupResults, *bench, r.analog != 0, r.results, &elapsed, message);
        if (code != 0) {
            pass.error.Set(code, message);
        }
    } else if (walked && walk.broken) {
        // The hardware was set up by an earlier ICT step, but a component broke off with a
        // driver error that may have left its pins on the buses: disconnect it all the same, and
        // have the next ICT step set it up again. The component has reported the error; a module
        // that fails again here would only repeat it.
        double elapsed = 0;
        char message[kMessageSize] = {};
        IctCleanup(kCleanupResults, *bench, r.analog != 0, 0, &elapsed, message);
        pass.bench->LastStepKind = kKindNone;
    }

    rvo_UpdateAttrR(r.component, &r.tCompile);
    rvo_UpdateAttrR(r.component, &r.tMeasure);
    char resultText[sizeof r.title + sizeof r.variant + 2];
    if (r.variant[0]) {
        FormatText(resultText, sizeof resultText, kResultWithVariant, r.title, r.variant);
    } else {
        CopyText(resultText, sizeof resultText, r.title);
    }
    rvo_VerifyI(0, call.stepName, call.lineCode, kUnitFailCount, 0, nullptr, walk.failures, nullptr,
                0, RVO_VERDICT_EXECUTIVE, rvo_TSTAMP() - args.entered, resultText, comment);
    rvo_SetSTEPResult(walk.result);
    return walk.result;
}

} // namespace

ComponentMethod ComponentMethodOf(uint32_t classCode) {
    const ComponentMethodLookup lookup = g_lookup.load();
    return lookup ? lookup(classCode) : FindComponentMethod(classCode);
}

void SetComponentMethodLookup(ComponentMethodLookup lookup) {
    g_lookup.store(lookup);
}

} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT EXEC_ICTX(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* Mode, long BenchIndex,
                                    long StepId, const char* Variant) {
    if (static_cast<uint32_t>(stepRef) == kSaveRequest) {
        return RunSaveRequest(BenchIndex);
    }
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kExecMethod};
    ExecArguments args{Mode, BenchIndex, StepId, Variant, 0.0};
    return RunIctPass<ExecRecord>(
        call, kKindIctProgram, [&](auto& pass) { DefineExec(pass, args); },
        [&](auto& pass) { return ExecuteExec(pass, args); });
}
