// The parser of component definition files: sections of components with their test
// parameters and, for digital parts, lists of vector items.
#pragma once

#include "ictx/program/component_model.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kora {

constexpr std::size_t kComponentLineSize = 524288; // longer lines are read in pieces

// Reads the file `fileName` into `components` (at most `maxComponents`) and the vector pool of
// `model`, copying all texts into `strings`; pin names are resolved in the channel table of
// `bench`. Returns the number of sections read; 0 for a file without sections, below 0 on an
// error, whose text (with the section, file and line it was found in) is left in `error`
// (kMessageSize bytes). Copies the file name into the model and clears its vector pool; the
// caller compiles, sorts and counts.
int32_t ParseComponentFile(const BenchRecord* bench, ComponentModel* model, const char* fileName,
                           ComponentRecord* components, int32_t maxComponents, char* strings,
                           std::size_t stringSize, char* error);

// The same over a file's contents in memory; `fileName` names it in the model and in messages.
int32_t ParseComponentText(const BenchRecord* bench, ComponentModel* model, const char* fileName,
                           std::string_view text, ComponentRecord* components,
                           int32_t maxComponents, char* strings, std::size_t stringSize,
                           char* error);

} // namespace kora
