// LOAD_ICTX: reads a component definition file into the component program of one configured
// bench or of all of them, and reports how many components of each kind it holds.
#include "bench/bench_setup.h"
#include "exports/export.h"
#include "frame/bench_context.h"
#include "frame/step_frame.h"
#include "frame/text.h"
#include "ictx/program/component_classes.h"
#include "ictx/program/component_load.h"
#include "ictx/program/ictx_pass.h"
#include "ictx/program/ictx_save.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cstdlib>
#include <cstring>

namespace kora {
namespace {

constexpr const char* kLoadMethod = "LOAD_ICTX";
constexpr const char* kDetails = "-DETAILS";
constexpr const char* kOutOfRange = "BENCH selector out of range";
constexpr const char* kOneBenchTitle = "%s: %s";
constexpr const char* kRangeTitle = "%s[%li...%li]: %s";
constexpr int kBenchArgument = 7;
constexpr long kWritable = 1;
constexpr long kUnitCount = 2;
constexpr long kUnitSeconds = 0x510;
constexpr std::size_t kFileNameSize = 256;
constexpr std::size_t kTitleSize = 1024;

// The string buffer holds every text of the loaded file: the component records of each bench
// loaded by this step point into it, so it lives as long as the executive keeps the step.
struct LoadRecord {
    void* component;
    int32_t firstBench;  // the bench whose model the parse filled
    uint32_t loadSerial; // that model's, right after the parse
    int32_t benchIndex;
    int32_t componentCount;
    double tQsort;
    char title[kTitleSize];
    char strings[kStringBufferSize];
    char componentFile[kFileNameSize];
};
static_assert(sizeof(LoadRecord) == 1025312);

// The model a configured bench owns, allocated zero-filled on its first load and kept for
// every later one.
ComponentModel* ModelOf(BenchRecord& bench) {
    if (!bench.ictProgram) {
        bench.ictProgram = static_cast<ComponentModel*>(std::calloc(1, sizeof(ComponentModel)));
    }
    return bench.ictProgram;
}

// A further bench of the range takes the first bench's program; its vector items are its own
// copy, so a run on one bench leaves the other's item counters alone.
void CopyModel(const ComponentModel& from, ComponentModel& to) {
    std::memcpy(to.fileName, from.fileName, sizeof to.fileName);
    to.componentCount = from.componentCount;
    to.setup = from.setup;
    to.variants = from.variants;
    to.itemCount = from.itemCount;
    to.loadSerial = from.loadSerial;
    std::memcpy(to.components, from.components,
                sizeof(ComponentRecord) * static_cast<std::size_t>(from.componentCount));
    std::memcpy(to.items, from.items,
                sizeof(VectorItem) * static_cast<std::size_t>(from.itemCount));
    for (int32_t i = 0; i < to.componentCount; ++i) {
        VectorItem*& first = to.components[i].firstItem;
        if (first >= from.items && first < from.items + kMaxVectorItems) {
            first = to.items + (first - from.items);
        }
    }
}

double Now() {
    return rvo_TSTAMP();
}

// Loads the record's file into the model of every bench of its range. False with the pass's
// error set; a program with failed compiles is kept (as the parser left it) and still fails.
bool LoadRange(StepPass<LoadRecord>& pass) {
    LoadRecord& r = *pass.record;
    const int32_t benches = BenchCount();
    const int32_t first = r.benchIndex == 0 ? 1 : r.benchIndex;
    const int32_t last = r.benchIndex == 0 ? benches - 1 : r.benchIndex;
    if (r.benchIndex < 0 || r.benchIndex >= benches || first > last) {
        return pass.error.Set(ParamError(kBenchArgument), kOutOfRange);
    }
    BenchRecord& bench = *BenchByIndex(first);
    if (first == last) {
        FormatText(r.title, sizeof r.title, kOneBenchTitle, bench.name, r.componentFile);
    } else {
        FormatText(r.title, sizeof r.title, kRangeTitle, bench.name, static_cast<long>(first),
                   static_cast<long>(last), r.componentFile);
    }
    ComponentModel* model = ModelOf(bench);
    if (!model) {
        return pass.error.Set(kErrMemory, kLoadMethod);
    }
    r.firstBench = first;
    r.componentCount = 0;
    r.tQsort = 0;
    LoadOutcome outcome;
    char message[kMessageSize] = {};
    const bool loaded = LoadComponentModel(&bench, model, r.componentFile, nullptr, r.strings,
                                           sizeof r.strings, Now, &outcome, message);
    r.loadSerial = model->loadSerial;
    bench.ictModified = 0;
    if (!loaded) {
        return pass.error.Set(kErrResource, message);
    }
    r.componentCount = outcome.count;
    r.tQsort = outcome.sortSeconds;
    for (int32_t b = first + 1; b <= last; ++b) {
        BenchRecord& further = *BenchByIndex(b);
        ComponentModel* copy = ModelOf(further);
        if (!copy) {
            return pass.error.Set(kErrMemory, kLoadMethod);
        }
        CopyModel(*model, *copy);
        further.ictModified = 0;
    }
    BenchRecord& active = *pass.bench;
    if (active.index >= first && active.index <= last) {
        active.ictProgram = BenchByIndex(active.index)->ictProgram;
    }
    // From now on there is a program whose parameters the operator may change.
    SetIctParameterSaver(SaveIctProgramOfBench);
    if (outcome.compileFailures > 0) {
        return pass.error.Set(kErrResource, message);
    }
    return true;
}

void DefineLoad(StepPass<LoadRecord>& pass, const char* componentFile, long benchIndex) {
    LoadRecord& r = *pass.record;
    r.component = rvo_GetCurrentComponent();
    CopyText(r.componentFile, OrEmpty(componentFile));
    r.benchIndex = TruncToInt32(static_cast<double>(benchIndex));
    rvo_DefineAttr("ComponentFile", kLoadMethod, RVO_ATTR_TEXT, r.componentFile,
                   static_cast<long>(sizeof r.componentFile), kWritable, nullptr);
    rvo_DefineAttrI("BenchIndex", kLoadMethod, &r.benchIndex, 0, nullptr);
    rvo_ReadAttrS(r.component, r.componentFile, static_cast<long>(sizeof r.componentFile));
    rvo_ReadAttrI(r.component, &r.benchIndex);
    if (LoadRange(pass)) {
        rvo_DefineAttrR("TQsort", kDetails, &r.tQsort, kUnitSeconds, nullptr);
    }
}

// A later execution runs the program as the first did: when the bench no longer holds the
// program this step loaded (a full clean-up freed it with the bench memory, or another load
// replaced it), the step loads its file again.
bool StillLoaded(const LoadRecord& r) {
    const BenchRecord* bench = r.firstBench >= 1 ? BenchByIndex(r.firstBench) : nullptr;
    return bench && bench->ictProgram && bench->ictProgram->loadSerial == r.loadSerial;
}

EN_NEV_RESULT ReportCounts(StepPass<LoadRecord>& pass) {
    LoadRecord& r = *pass.record;
    const StepCall& call = pass.call;
    rvo_ReadAttrS(r.component, r.componentFile, static_cast<long>(sizeof r.componentFile));
    rvo_ReadAttrI(r.component, &r.benchIndex);
    if (r.loadSerial != 0 && !StillLoaded(r) && !LoadRange(pass)) {
        return -2;
    }
    const BenchRecord* bench = r.firstBench >= 1 ? BenchByIndex(r.firstBench) : nullptr;
    const ComponentModel* model = bench ? bench->ictProgram : nullptr;
    const int32_t count = model ? r.componentCount : 0;
    ClassCount lines[kClassCountLines];
    const int32_t total = CountComponentClasses(model ? model->components : nullptr, count, lines);
    for (const ClassCount& line : lines) {
        if (line.count > 0) {
            rvo_VerifyI(line.id, line.name, call.lineCode, kUnitCount, 0, nullptr, line.count,
                        nullptr, 0, RVO_VERDICT_EXECUTIVE, 0.0, "", call.comment);
        }
    }
    return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, call.lineCode, kUnitCount, 0,
                                                  nullptr, total, nullptr, 0, RVO_VERDICT_EXECUTIVE,
                                                  0.0, r.title, call.comment));
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT LOAD_ICTX(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* ComponentFile,
                                    long BenchIndex) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kLoadMethod};
    return RunIctPass<LoadRecord>(
        call, kKindNone, [&](auto& pass) { DefineLoad(pass, ComponentFile, BenchIndex); },
        [&](auto& pass) { return ReportCounts(pass); });
}
