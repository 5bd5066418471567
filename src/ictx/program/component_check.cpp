#include "ictx/program/component_check.h"

#include "frame/errors.h"
#include "ictx/program/component_classes.h"
#include "ictx/program/component_load.h"

#include <cstdlib>
#include <memory>

namespace kora {

namespace {

constexpr const char* kLoadMethod = "LOAD_ICTX";
constexpr const char* kCountLine = "%6li  %-20s %6li\n";
constexpr const char* kTotalName = "TOTAL";

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

void ReportError(std::FILE* out, const char* message) {
    char report[kReportSize];
    FormatStepReport(report, sizeof report, 0, kLoadMethod, kErrResource, message);
    std::fprintf(out, "%s\n", report);
}

} // namespace

int CheckComponentFile(const BenchRecord* bench, const char* fileName, std::FILE* out) {
    std::unique_ptr<ComponentModel, FreeDeleter> model(
        static_cast<ComponentModel*>(std::calloc(1, sizeof(ComponentModel))));
    std::unique_ptr<char, FreeDeleter> strings(static_cast<char*>(std::malloc(kStringBufferSize)));
    if (!model || !strings) {
        ReportError(out, ErrorTableText(kErrMemory));
        return kCheckFailed;
    }
    char error[kMessageSize] = {};
    const int32_t count = LoadComponentProgram(bench, model.get(), fileName, nullptr, strings.get(),
                                               kStringBufferSize, error);
    if (count < 1) {
        ReportError(out, error);
        return kCheckFailed;
    }
    ClassCount lines[kClassCountLines];
    const int32_t total = CountComponentClasses(model->components, count, lines);
    for (const ClassCount& line : lines) {
        if (line.count > 0) {
            std::fprintf(out, kCountLine, static_cast<long>(line.id), line.name,
                         static_cast<long>(line.count));
        }
    }
    std::fprintf(out, kCountLine, 0L, kTotalName, static_cast<long>(total));
    return kCheckPassed;
}

} // namespace kora
