// The writer of component definition files: one section per component, in the syntax the
// parser reads, so that a saved program loads back as the same program.
#pragma once

#include "ictx/program/component_model.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace kora {

// Writes the section of `record`. `availableVariants` is the model's list ("-" and the SETUP
// variants); a SETUP section states it without the leading "-". Returns 0, or -1 when the file
// reports a write error.
int WriteComponentSection(std::FILE* file, const ComponentRecord* record,
                          const char* availableVariants);

// The "# DATE" and "# TIME" lines that open a saved file.
void WriteComponentFileHeader(std::FILE* file, const std::tm& local);

// Writes one component in the save of a model; returns 0 or an error code with the message in
// `error` (kMessageSize bytes). Test methods bring the record up to date from their attributes
// and then call WriteComponentSection.
using SectionWriter = uint32_t (*)(void* context, std::FILE* file, const ComponentRecord* record,
                                   const char* availableVariants, char* error);

// Saves the whole model into its file: copies the file to "<file>~" first, then writes the
// header and every component in model order through `writer` (WriteComponentSection when
// null). Returns 0, or kErrResource with "Component File Backup Error" or "File Open Error"
// (the file is left untouched), or the writer's code (the file then holds the sections written
// before the failing one).
uint32_t SaveComponentModel(const ComponentModel* model, SectionWriter writer, void* context,
                            char* error);

} // namespace kora
