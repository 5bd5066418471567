// A whole load of a component program as the load step performs it: parse, compile every
// component, sort when asked, copy the SETUP section and assign the variants.
#pragma once

#include "ictx/program/component_model.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kora {

constexpr int32_t kMaxCompileErrors = 27;

// Compiles the components in order, appending each failure's message to `errors` (cut at
// `size`); stops at the 27th failure. Returns the number of components compiled (the count to
// keep) and the failures in `failed`.
int32_t CompileComponents(ComponentRecord* components, int32_t count, char* errors,
                          std::size_t size, int32_t* failed);

// What a load found besides the model itself.
struct LoadOutcome {
    int32_t count = 0;           // components kept in the model
    int32_t compileFailures = 0; // their messages are in the error text
    double sortSeconds = 0;      // 0 when the program asks for no sort
};
using LoadClock = double (*)();

// Parses `fileName` (or, when `text` is given, that text under the file's name) into the model
// and finishes it, timing the sort with `clock` (may be null). False with the message in
// `error` (kMessageSize bytes) for a parse error or an unknown variant. Failed compiles leave a
// finished model whose failed records carry class 0: the result is true, and `outcome` counts
// the failures whose messages are in `error`.
bool LoadComponentModel(const BenchRecord* bench, ComponentModel* model, const char* fileName,
                        const std::string_view* text, char* strings, std::size_t stringSize,
                        LoadClock clock, LoadOutcome* outcome, char* error);

// As LoadComponentModel, with failed compiles counted as a failed load. Returns the number of
// components, or 0 with the message in `error`.
int32_t LoadComponentProgram(const BenchRecord* bench, ComponentModel* model, const char* fileName,
                             const std::string_view* text, char* strings, std::size_t stringSize,
                             char* error);

} // namespace kora
