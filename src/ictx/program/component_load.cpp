#include "ictx/program/component_load.h"

#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/component_compile.h"
#include "ictx/program/component_order.h"
#include "ictx/program/component_parser.h"

#include <atomic>

namespace kora {

int32_t CompileComponents(ComponentRecord* components, int32_t count, char* errors,
                          std::size_t size, int32_t* failed) {
    *failed = 0;
    if (size > 0) {
        errors[0] = 0;
    }
    for (int32_t i = 0; i < count; ++i) {
        char message[kMessageSize];
        if (CompileComponent(&components[i], message) != 0) {
            AppendText(errors, size, message);
            if (++*failed >= kMaxCompileErrors) {
                return i + 1;
            }
        }
    }
    return count;
}

namespace {
std::atomic<uint32_t> gLoads{0};
} // namespace

bool LoadComponentModel(const BenchRecord* bench, ComponentModel* model, const char* fileName,
                        const std::string_view* text, char* strings, std::size_t stringSize,
                        LoadClock clock, LoadOutcome* outcome, char* error) {
    *outcome = LoadOutcome{};
    model->componentCount = 0;
    model->loadSerial = gLoads.fetch_add(1, std::memory_order_relaxed) + 1;
    int32_t count = text ? ParseComponentText(bench, model, fileName, *text, model->components,
                                              kMaxComponents, strings, stringSize, error)
                         : ParseComponentFile(bench, model, fileName, model->components,
                                              kMaxComponents, strings, stringSize, error);
    if (count < 1) {
        return false;
    }
    char errors[kMessageSize];
    count = CompileComponents(model->components, count, errors, sizeof errors,
                              &outcome->compileFailures);
    if (SortRequested(model->components, count)) {
        const double start = clock ? clock() : 0.0;
        SortComponents(model->components, count);
        outcome->sortSeconds = clock ? clock() - start : 0.0;
    }
    model->componentCount = count;
    outcome->count = count;
    CopySetup(model, model->components, count);
    if (!AssignVariants(model, model->components, count, error)) {
        return false;
    }
    if (outcome->compileFailures > 0) {
        CopyText(error, kMessageSize, errors);
    }
    return true;
}

int32_t LoadComponentProgram(const BenchRecord* bench, ComponentModel* model, const char* fileName,
                             const std::string_view* text, char* strings, std::size_t stringSize,
                             char* error) {
    LoadOutcome outcome;
    if (!LoadComponentModel(bench, model, fileName, text, strings, stringSize, nullptr, &outcome,
                            error) ||
        outcome.compileFailures > 0) {
        return 0;
    }
    return outcome.count;
}

} // namespace kora
