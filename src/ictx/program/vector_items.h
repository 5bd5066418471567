// The rules that complete a digital vector item as its line is read: pin lists, group
// references, state and pin counts, range checks, insertions; and the linking of jumps.
#pragma once

#include "ictx/program/component_model.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kora {

// The loader's string buffer, filled front to back and never compacted.
struct StringPool {
    char* base;
    std::size_t size;
    std::size_t used;

    // A terminated copy of `text` in the buffer, or null when it does not fit.
    const char* Copy(std::string_view text);
};

// What the item rules need from the parser.
struct VectorContext {
    const BenchRecord* bench;
    ComponentModel* model;           // holds the vector pool
    const ComponentRecord* sections; // the sections read before the current one
    int32_t sectionCount;
    StringPool* strings;
    char* error; // kMessageSize bytes
};

// Whether an item of `type` jumps to a label (and is stored unlinked until linked).
bool IsJumpItem(uint32_t type);

// Completes `item`, the newest item of `section` (already counted in the section and the
// pool). False with the message in ctx.error when a rule fails.
bool CompleteVectorItem(VectorContext& ctx, ComponentRecord* section, VectorItem* item);

// Replaces the "#group" pin texts of `count` items at `block` by the pins of the nearest GROUP
// item before them, searching back to `sectionStart`. Returns 0, or 1 with "No definition for
// GROUP" in `error`.
int LinkGroups(VectorItem* block, int32_t count, const VectorItem* sectionStart, char* error);

// Links the unlinked jumps among `count` items to their labels; items inserted behind an INSERT
// item are passed over with it. Returns the number of jumps left unlinked (a jump whose count
// is 0 may stay unlinked).
int32_t LinkJumps(VectorItem* items, int32_t count);

// Appends one line "\"label\" @ line\n" per unlinked jump that counts as unlinked.
void AppendUnlinkedJumps(const VectorItem* items, int32_t count, char* text, std::size_t size);

} // namespace kora
