// The SETUP section as the first step of an ICT run: the program's options (variant, sorting,
// automatic zero) shown to the operator, and with automatic zero the PSAM's current offset in
// each of its ranges, measured with nothing connected, which the resistor test subtracts.
#include "ictx/measure/component_frame.h"
#include "ictx/measure/component_tests.h"
#include "ictx/measure/unit_control.h"
#include "ictx/program/component_writer.h"

#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspsam.h>

#include <cstring>

namespace kora {

namespace {

constexpr ClassTraits kSetupClass = {
    "SETUP", "", "ICTX_SETUP", "ICTX_SETUP[ %li ]\n\nBENCH=%s\n\n%s", "", 0};
constexpr const char* kGroupOptions = "SETUP|OPTIONS";
constexpr const char* kSortHint = "COMPONENT sorting by TYPE";
constexpr const char* kAutozeroHint = "MU CMU";
constexpr const char* kOffsetFormat = "OFFS.%s";
constexpr const char* kNoPsam = "ERROR: No PSAM module";
constexpr long kStepResult = 6;

struct OffsetRange {
    const char* name;
    int32_t samples;
};
constexpr OffsetRange kOffsetRanges[kCurrentRangeCount] = {
    {"1uA", 1600},  {"2uA", 1600},  {"5uA", 1600},  {"10uA", 800}, {"20uA", 800}, {"50uA", 800},
    {"100uA", 400}, {"200uA", 400}, {"500uA", 400}, {"1mA", 400},  {"2mA", 400},  {"5mA", 400},
    {"10mA", 400},  {"20mA", 400},  {"50mA", 400},  {"100mA", 400}};
constexpr int32_t kOffsetFilter = 40000;
constexpr double kOffsetInterval = 5e-6;
constexpr int32_t kOffsetReadCount = 1600;
constexpr int32_t kOffsetTimeoutMs = 100;
constexpr int32_t kTriggerImmediate = 1;

struct SetupBlock {
    ComponentBlock head;
    char variants[kVariantTextSize];
    int32_t sort;
    int32_t autozero;
};

long LineCode(const ComponentBlock& b) {
    return (static_cast<long>(b.sectionIndex) << 8) | 8;
}

// The passing result of the step: its ID text under the component's name.
void VerifyId(const ComponentBlock& b) {
    rvo_VerifyS(0, b.nameText, LineCode(b), 0, b.idText, nullptr, nullptr, RVO_VERDICT_EXECUTIVE,
                0.0, "", "");
}

long SetupCallback(long reason, void* context, long contextSize);

void Define(SetupBlock& s, const ComponentCall& call, bool run) {
    ComponentBlock& b = s.head;
    const ComponentRecord& r = *call.record;
    b.component = rvo_GetCurrentComponent();
    b.bench = call.bench;
    b.record = call.record;
    b.availableVariants = call.availableVariants;
    b.linkEpoch = BenchMemoryEpoch();
    b.benchIndex = call.benchIndex;
    b.sectionIndex = r.index;
    b.classCode = r.classCode;
    b.flags = r.flags;
    CopyText(b.typeText, kSetupClass.typeText);
    CopyText(b.nameText, OrEmpty(r.name));
    CopyText(b.idText, OrEmpty(r.pi));
    CopyText(b.infoText, OrEmpty(r.info));
    s.sort = (r.flags & kFlagSort) != 0;
    s.autozero = r.sub[0].az != 0;
    const char* group = kSetupClass.typeText;
    rvo_DefineAttrS("TYPE", group, b.typeText, 0, nullptr);
    rvo_DefineAttrS("NAME", group, b.nameText, 0, nullptr);
    rvo_DefineAttrS("ID", group, b.idText, 0, nullptr);
    rvo_DefineAttrS("INFO", group, b.infoText, 0, nullptr);
    const char* available = OrEmpty(call.availableVariants);
    if (!s.variants[0]) {
        const char* comma = std::strchr(available, ',');
        CopyText(s.variants, sizeof s.variants,
                 std::string_view(available, comma ? static_cast<std::size_t>(comma - available)
                                                   : std::strlen(available)));
    }
    rvo_DefineAttrSList("VARIANTS", kGroupOptions, s.variants, sizeof s.variants, available,
                        nullptr);
    if (run) {
        rvo_DefineAttrI("SORT", kGroupOptions, &s.sort, 0, kSortHint);
        rvo_DefineAttrI("AUTOZERO", kGroupOptions, &s.autozero, 0, kAutozeroHint);
    }
    RegisterAttributeCallback(b, SetupCallback);
}

// The offsets of the 16 current ranges; false on a PSAM error (in `status`).
bool MeasureOffsets(SetupBlock& s, ViStatus& status) {
    ComponentBlock& b = s.head;
    BenchRecord& bench = *b.bench;
    IctHardware& ict = bench.ict;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    for (double& offset : ict.currentOffsets) {
        offset = 0;
    }
    double previous = rvo_TSTAMP();
    for (int32_t k = 0; k < kCurrentRangeCount; ++k) {
        status =
            ConfigureMu(ict.mu, psam, kMuCurrent, kKeep, kKeep, kMuCurrentRanges[k], kOffsetFilter,
                        kOffsetRanges[k].samples, kOffsetInterval, 0, kTriggerImmediate);
        if (status < 0) {
            return false;
        }
        ReadResult read;
        status = ReadMultiPoint(psam, nullptr, kOffsetReadCount, true, kOffsetTimeoutMs,
                                kMuCurrentRanges[k], &read);
        if (status < 0) {
            return false;
        }
        if (read.count > 0) {
            ict.currentOffsets[k] = read.mean;
        }
        const double now = rvo_TSTAMP();
        char name[32];
        FormatText(name, sizeof name, kOffsetFormat, kOffsetRanges[k].name);
        rvo_VerifyR(k + 1, name, LineCode(b), kUnitAmpere, 0.0, "", ict.currentOffsets[k], "", 0.0,
                    0, now - previous, "", "");
        previous = now;
    }
    status = ConfigureMu(ict.mu, psam, kResetUnit, kKeep, kKeep, -1.0, -1, kKeep, -1.0, -1.0, 0);
    return status >= 0;
}

// One passing result per pass: the step's ID text, after the offsets when they were measured.
long Run(SetupBlock& s, StepError& error) {
    ComponentBlock& b = s.head;
    BenchRecord& bench = *b.bench;
    if (!s.autozero) {
        VerifyId(b);
        return 0;
    }
    if (!bench.ictModules[kIctPsam].inUse) {
        error.Set(kErrResource, kNoPsam);
        return AlertComponentError(b, kSetupClass, error);
    }
    ModuleErrors errors;
    if (!MeasureOffsets(s, errors.psam)) {
        ReportModuleErrors(bench, errors, error);
        return AlertComponentError(b, kSetupClass, error);
    }
    VerifyId(b);
    rvo_SetSTEPResult(kStepResult);
    return 0;
}

long SetupCallback(long reason, void* context, long contextSize) {
    ComponentBlock* b = CallbackBlock(context, contextSize);
    if (!b) {
        return -1;
    }
    auto& s = *reinterpret_cast<SetupBlock*>(b);
    if (static_cast<uint32_t>(reason) == kRelink) {
        return 0;
    }
    if (static_cast<uint32_t>(reason) != kAttributeEdit) {
        return -1;
    }
    rvo_ReadAttrB(b->component, &s.sort);
    rvo_ReadAttrB(b->component, &s.autozero);
    ComponentRecord& r = *b->record;
    const uint32_t flags = s.sort ? (r.flags | kFlagSort) : (r.flags & ~kFlagSort);
    const int32_t az = s.autozero ? 1 : 0;
    if (flags != r.flags || az != r.sub[0].az) {
        r.flags = flags;
        r.sub[0].az = az;
        r.paramMask2 |= kParam2AZ;
        MarkBenchModified(*b);
    }
    rvo_SetAttributeCallback(1, 0);
    return 0;
}

} // namespace

EN_NEV_RESULT TestSetup(ComponentCall& call) {
    if (call.mode == kMethodSave) {
        if (WriteComponentSection(call.file, call.record, call.availableVariants) != 0) {
            if (call.errorCode) {
                *call.errorCode = kErrResource;
            }
            return -2;
        }
        return 0;
    }
    const double start = rvo_TSTAMP();
    long result = 0;
    for (;;) {
        StepError error;
        void* data = nullptr;
        const long phase = EnterComponentStep(call, kSetupClass, sizeof(SetupBlock), &data, error);
        if (phase == -4) {
            rvo_ExitSTEP();
            return 0;
        }
        auto* block = static_cast<SetupBlock*>(data);
        if (!block && !error.failed()) {
            error.Set(kErrMemory, kSetupClass.methodName);
        }
        const bool run = phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN;
        if (!error.failed() && (phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN)) {
            Define(*block, call, run);
        }
        if (!error.failed() && block && run) {
            LinkForRun(block->head, call);
            result = Run(*block, error);
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
