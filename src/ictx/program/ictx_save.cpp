#include "ictx/program/ictx_save.h"

#include "frame/bench_context.h"
#include "frame/text.h"
#include "ictx/program/component_writer.h"
#include "ictx/program/exec_step.h"
#include "ictx/program/generic_step.h"

#include <winapi.h>

namespace kora {

namespace {

constexpr const char* kSaveName = "EXEC_ICTX: Save component definition file";
constexpr const char* kProgressTitle = "Saving ICTX Parameters";
constexpr const char* kOutOfRange = "BENCH selector out of range";
constexpr int kSaveBenchArgument = 7;
// Long enough for the operator to see the display open, a failure, and the end.
constexpr DWORD kOpenWaitMs = 500;
constexpr DWORD kErrorWaitMs = 3000;
constexpr DWORD kCloseWaitMs = 1000;

struct SaveContext {
    BenchRecord* bench;
    int32_t benchNumber;
    ComponentModel* model;
    bool progressOpen;
};

void OpenProgress(SaveContext& c) {
    rvo_ProgressOpen(kProgressTitle, c.model->fileName, c.model->componentCount - 1);
    Sleep(kOpenWaitMs);
    c.progressOpen = true;
}

// Each component is written by its own class's method, which first brings the record up to
// date from the attributes the operator edited.
uint32_t WriteComponent(void* context, std::FILE* file, const ComponentRecord* written,
                        const char* availableVariants, char* error) {
    SaveContext& c = *static_cast<SaveContext*>(context);
    if (!c.progressOpen) {
        OpenProgress(c);
    }
    const auto position = static_cast<long>(written - c.model->components);
    ComponentRecord& record = c.model->components[position];
    rvo_ProgressStep(position, OrEmpty(record.name));
    ComponentMethod method = ComponentMethodOf(record.classCode);
    if (!method) {
        method = GenericComponentStep;
    }
    uint32_t code = 0;
    ComponentCall call;
    call.stepId = record.index;
    call.name = record.name;
    call.option = static_cast<long>(record.reportOption);
    call.mode = kMethodSave;
    call.benchIndex = c.benchNumber;
    call.bench = c.bench;
    call.record = &record;
    call.availableVariants = availableVariants;
    call.file = file;
    call.errorCode = &code;
    call.errorText = error;
    method(call);
    if (code != 0) {
        rvo_ProgressStep(position, error);
        Sleep(kErrorWaitMs);
        rvo_ProgressClose();
        c.progressOpen = false;
    }
    return code;
}

} // namespace

bool SaveBenchProgram(BenchRecord& bench, int32_t benchNumber, StepError& error) {
    ComponentModel* model = bench.ictProgram;
    if (!model) {
        return true; // nothing loaded, nothing to save
    }
    SaveContext context{&bench, benchNumber, model, false};
    char message[kMessageSize] = {};
    const uint32_t code = SaveComponentModel(model, WriteComponent, &context, message);
    if (code != 0) {
        if (context.progressOpen) {
            rvo_ProgressClose();
        }
        return error.Set(code, message);
    }
    if (!context.progressOpen) {
        OpenProgress(context); // a program without components still shows its save
    }
    Sleep(kCloseWaitMs);
    rvo_ProgressClose();
    return true;
}

EN_NEV_RESULT RunSaveRequest(long benchIndex) {
    StepError error;
    const BenchRecord* active = ActiveBench();
    if (!active) {
        error.Set(kErrResource, kNoBench);
    } else {
        const long n = benchIndex == 0 ? active->index : benchIndex;
        BenchRecord* bench =
            n >= 1 && n < BenchCount() ? BenchByIndex(static_cast<int32_t>(n)) : nullptr;
        if (!bench) {
            error.Set(ParamError(kSaveBenchArgument), kOutOfRange);
        } else {
            SaveBenchProgram(*bench, static_cast<int32_t>(n), error);
        }
    }
    // The report sets the step result of whichever step asked for the save.
    ReportStepError(0, kSaveName, error.code, error.message);
    return 1;
}

bool SaveIctProgramOfBench(BenchRecord& bench, int32_t benchNumber, StepError& error) {
    (void)error; // reported under the save's own name, as the save entry does
    StepError saveError;
    SaveBenchProgram(bench, benchNumber, saveError);
    ReportStepError(0, kSaveName, saveError.code, saveError.message);
    return true;
}

} // namespace kora
