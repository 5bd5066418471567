#include "ictx/program/vector_items.h"

#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/component_params.h"
#include "ictx/program/pin_list.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kNoGroup = "No definition for GROUP \"%s\" found";
constexpr const char* kLinkError = "CompileLinkError: %s=...,%s\n\n%s";
constexpr const char* kControlPins = "More than one CONTROL PIN defined: \"%s\"";
constexpr const char* kControlDecimal = "DECIMAL VALUE (%li) for CONTROL SIGNAL not allowed";
constexpr const char* kStateMismatch = "Mismatch of PIN STATES (%li) and PIN COUNT (%li)";
constexpr const char* kInsertStateMismatch =
    "INSERTION@%li: Mismatch of PIN STATES (%li) and PIN COUNT (%li)";
constexpr const char* kSingleValue = "INSERTION@%li: INVALID VALUE \"%li\"assignment (0|1)";
constexpr const char* kOnePin = "Invalid TEST PIN count (1)";
constexpr const char* kTermHi = "TERM HI SELECTOR out of range (0...3)";
constexpr const char* kTermLo = "TERM LO SELECTOR out of range (0...3)";
constexpr const char* kLimitLo = "LO CURRENT LIMIT out of range (max. 0.5A)";
constexpr const char* kLimitHi = "HI CURRENT LIMIT out of range (max. 0.5A)";
constexpr const char* kLimitCtrl = "CTRL CURRENT LIMIT out of range (max. 0.1A)";
constexpr const char* kNoInsertion = "Insertion section \"%s\" not found";
constexpr const char* kNoInsertPart = "INSERTION PART %s not found";
constexpr const char* kInsertUnlinked =
    "%li unlinked DIGITAL VECTOR(S) in INSERTION \"%s\" found\n\n";
constexpr const char* kUnlinkedLine = "\"%s\" @ %li\n";
constexpr const char* kPoolFull = "Insufficient VECTOR BUFFER SPACE (max=%li)";
constexpr const char* kStringsFull = "String buffer overflow";

constexpr double kMaxSupplyLimit = 0.5;
constexpr double kMaxControlLimit = 0.1;
constexpr uint32_t kMaxTermSelector = 3;

const char* Text(const char* s) {
    return s ? s : "";
}

long AbsLine(int32_t line) {
    return std::labs(static_cast<long>(line));
}

// Same as LinkJumps walks: the items behind an INSERT item are its copies and are passed over.
template <typename Item, typename Fn> void ForEachOwnItem(Item* items, int32_t count, Fn fn) {
    for (int32_t i = 0; i < count; ++i) {
        fn(i);
        if (items[i].type == kItemInsert) {
            i += static_cast<int32_t>(items[i].second);
        }
    }
}

bool CountsAsUnlinked(const VectorItem& item) {
    return IsJumpItem(item.type) && item.type != kItemInsert && item.line < 0 && item.count != 0;
}

bool CheckStates(const VectorItem& item, bool inserted, char* error) {
    if (item.format == 'd') {
        if (item.pinCount == 1 && item.value > 1) {
            FormatText(error, kMessageSize, kSingleValue, AbsLine(item.line),
                       static_cast<long>(item.value));
            return false;
        }
        return true;
    }
    if (item.stateCount == item.pinCount) {
        return true;
    }
    if (inserted) {
        FormatText(error, kMessageSize, kInsertStateMismatch, AbsLine(item.line),
                   static_cast<long>(item.stateCount), static_cast<long>(item.pinCount));
    } else {
        FormatText(error, kMessageSize, kStateMismatch, static_cast<long>(item.stateCount),
                   static_cast<long>(item.pinCount));
    }
    return false;
}

bool CheckControlPins(const VectorItem& item, char* error) {
    if (item.type == kItemDc && item.pinCount > 1) {
        FormatText(error, kMessageSize, kControlPins, Text(item.pins));
        return false;
    }
    return true;
}

bool Insert(VectorContext& ctx, ComponentRecord* section, VectorItem* insert) {
    const char* name = Text(insert->label);
    const ComponentRecord* library = nullptr;
    for (int32_t s = 0; s < ctx.sectionCount; ++s) {
        const ComponentRecord& c = ctx.sections[s];
        if (c.classCode == kClassDigital && c.index == 0 && c.name &&
            std::strcmp(c.name, name) == 0) {
            library = &c;
            break;
        }
    }
    if (!library) {
        FormatText(ctx.error, kMessageSize, kNoInsertion, name);
        return false;
    }
    ComponentModel* model = ctx.model;
    VectorItem* block = &model->items[model->itemCount];
    const uint32_t part = insert->value;
    int32_t copies = 0;
    for (int32_t j = 0; j < library->itemCount && library->firstItem; ++j) {
        const VectorItem& src = library->firstItem[j];
        if (part != 0 && src.part != 0 && src.part != part) {
            continue;
        }
        if (model->itemCount >= kMaxVectorItems) {
            FormatText(ctx.error, kMessageSize, kPoolFull, static_cast<long>(kMaxVectorItems));
            return false;
        }
        VectorItem* dst = &model->items[model->itemCount++];
        *dst = src;
        if (src.raw) {
            dst->raw = ctx.strings->Copy(src.raw);
            if (!dst->raw) {
                FormatText(ctx.error, kMessageSize, "%s", kStringsFull);
                return false;
            }
        }
        ++copies;
    }
    if (copies == 0) {
        FormatText(ctx.error, kMessageSize, kNoInsertPart, Text(insert->raw));
        return false;
    }
    insert->second = static_cast<uint32_t>(copies);
    section->itemCount += copies;
    for (int32_t i = 0; i < copies; ++i) {
        VectorItem& copy = block[i];
        if (section->index != 0) {
            if (LinkGroups(&copy, 1, section->firstItem, ctx.error) != 0) {
                return false;
            }
        }
        if (!CheckControlPins(copy, ctx.error)) {
            return false;
        }
        if (section->index != 0 && (copy.type == kItemDi || copy.type == kItemDo) &&
            !CheckStates(copy, true, ctx.error)) {
            return false;
        }
    }
    const int32_t unlinked = LinkJumps(block, copies);
    if (unlinked > 0) {
        FormatText(ctx.error, kMessageSize, kInsertUnlinked, static_cast<long>(unlinked), name);
        AppendUnlinkedJumps(block, copies, ctx.error, kMessageSize);
        return false;
    }
    insert->line = static_cast<int32_t>(AbsLine(insert->line));
    return true;
}

} // namespace

const char* StringPool::Copy(std::string_view text) {
    if (!base || used >= size || size - used < text.size() + 1) {
        return nullptr;
    }
    char* dst = base + used;
    if (!text.empty()) {
        std::memcpy(dst, text.data(), text.size());
    }
    dst[text.size()] = 0;
    used += text.size() + 1;
    return dst;
}

bool IsJumpItem(uint32_t type) {
    switch (type) {
    case kItemFail:
    case kItemPass:
    case kItemStateEq:
    case kItemStateNe:
    case kItemIlimJump:
    case kItemRepeat:
    case kItemGoto:
    case kItemInsert:
    case kItemToJump:
        return true;
    default:
        return false;
    }
}

bool CompleteVectorItem(VectorContext& ctx, ComponentRecord* section, VectorItem* item) {
    const bool library = section->index == 0;
    if (item->type == kItemDc && item->format == 'd') {
        if (item->value > 1) {
            FormatText(ctx.error, kMessageSize, kControlDecimal, static_cast<long>(item->value));
            return false;
        }
        item->stateCount = 1;
    }
    if (item->pins) {
        if (item->pins[0] == '#') {
            if (!library && LinkGroups(item, 1, section->firstItem, ctx.error) != 0) {
                return false;
            }
        } else {
            char message[kMessageSize];
            message[0] = 0;
            uint32_t n = 0;
            if (ResolvePinList(ctx.bench, item->pins, kMaxVectorPins, item->pin, &n, nullptr,
                               message) != 0) {
                FormatText(ctx.error, kMessageSize, kLinkError, ItemKeyword(item->type), item->pins,
                           message);
                return false;
            }
            item->pinCount = n;
        }
    }
    if (!CheckControlPins(*item, ctx.error)) {
        return false;
    }
    switch (item->type) {
    case kItemGroup:
    case kItemStat:
        item->stateCount = item->pinCount;
        break;
    case kItemDi:
    case kItemDo:
        if (!library && !CheckStates(*item, false, ctx.error)) {
            return false;
        }
        break;
    case kItemVmir:
    case kItemVmor:
        item->level[2] = std::fmax(std::fabs(item->level[0]), std::fabs(item->level[1]));
        if (item->pinCount != 1) {
            FormatText(ctx.error, kMessageSize, "%s", kOnePin);
            return false;
        }
        break;
    case kItemDterm:
        if (item->value > kMaxTermSelector || item->second > kMaxTermSelector) {
            FormatText(ctx.error, kMessageSize, "%s",
                       item->value > kMaxTermSelector ? kTermHi : kTermLo);
            return false;
        }
        break;
    case kItemIlim:
        if (item->level[0] > kMaxSupplyLimit || item->level[1] > kMaxSupplyLimit ||
            item->level[2] > kMaxControlLimit) {
            FormatText(ctx.error, kMessageSize, "%s",
                       item->level[0] > kMaxSupplyLimit   ? kLimitLo
                       : item->level[1] > kMaxSupplyLimit ? kLimitHi
                                                          : kLimitCtrl);
            return false;
        }
        break;
    case kItemGoto:
        item->count = 1;
        break;
    default:
        break;
    }
    if (IsJumpItem(item->type)) {
        item->counter = item->count;
    }
    if (item->type == kItemInsert) {
        return Insert(ctx, section, item);
    }
    return true;
}

int LinkGroups(VectorItem* block, int32_t count, const VectorItem* sectionStart, char* error) {
    for (int32_t i = 0; i < count; ++i) {
        VectorItem& item = block[i];
        if (!item.pins || item.pins[0] != '#') {
            continue;
        }
        const VectorItem* found = nullptr;
        if (sectionStart) {
            for (const VectorItem* g = &item; g > sectionStart;) {
                --g;
                if (g->type == kItemGroup && g->raw && std::strcmp(g->raw, item.pins) == 0) {
                    found = g;
                    break;
                }
            }
        }
        if (!found) {
            FormatText(error, kMessageSize, kNoGroup, item.pins);
            return 1;
        }
        std::copy_n(found->pin, found->pinCount, item.pin);
        item.pinCount = found->pinCount;
        if (item.type == kItemGroup || item.type == kItemStat) {
            item.stateCount = item.pinCount;
        }
    }
    return 0;
}

int32_t LinkJumps(VectorItem* items, int32_t count) {
    int32_t unlinked = 0;
    ForEachOwnItem(items, count, [&](int32_t i) {
        VectorItem& jump = items[i];
        if (!IsJumpItem(jump.type) || jump.type == kItemInsert || jump.line >= 0) {
            return;
        }
        const char* label = Text(jump.label);
        if (label[0] == '>') {
            const bool all = label[1] == '>';
            jump.jumpMode = all ? 'A' : 'T';
            jump.label = label + (all ? 2 : 1);
            jump.line = -jump.line;
            jump.offset = 0;
            jump.count = 0;
            jump.counter = 0;
            return;
        }
        int32_t target = -1;
        ForEachOwnItem(items, count, [&](int32_t j) {
            if (target < 0 && items[j].type == kItemLabel &&
                std::strcmp(Text(items[j].label), label) == 0) {
                target = j;
            }
        });
        if (target >= 0) {
            jump.line = -jump.line;
            jump.offset = target - i;
            items[target].value++;
        } else if (jump.count != 0) {
            ++unlinked;
        }
    });
    return unlinked;
}

void AppendUnlinkedJumps(const VectorItem* items, int32_t count, char* text, std::size_t size) {
    ForEachOwnItem(items, count, [&](int32_t i) {
        if (CountsAsUnlinked(items[i])) {
            char line[kMessageSize];
            FormatText(line, sizeof line, kUnlinkedLine, Text(items[i].label),
                       AbsLine(items[i].line));
            AppendText(text, size, line);
        }
    });
}

} // namespace kora
