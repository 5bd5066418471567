#include "ictx/program/component_writer.h"

#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/component_classes.h"
#include "ictx/program/component_params.h"
#include "ictx/program/vector_items.h"

#include <winapi.h>

#include <clocale>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kSectionHead =
    "\n# ------------------\n\n[%li, \"%s\", \"%s\", \"%s\", \"%s\"]\n";
constexpr const char* kBackupError = "Component File Backup Error";
constexpr const char* kOpenError = "File Open Error";
constexpr const char* kBackupSuffix = "~";
constexpr const char* kUnknownItem = "// !!! UNKOWN ITEM !!!";
constexpr const char* kValueFormat = " %-8.7g";
constexpr const char* kCompensationLine = "#%s,%s\n";
constexpr int kCommentColumn = 40;
constexpr int kMinCommentGap = 3;

const char* Text(const char* s) {
    return s ? s : "";
}

// A number as the C locale writes it, whatever the process locale: the file must read back
// the same on every station.
const char* CNumber(char (&out)[64], const char* format, double value) {
    FormatText(out, sizeof out, format, value);
    const char* point = std::localeconv()->decimal_point;
    if (point && point[0] && std::strcmp(point, ".") != 0) {
        const std::size_t width = std::strlen(point);
        if (char* at = std::strstr(out, point)) {
            *at = '.';
            std::memmove(at + 1, at + width, std::strlen(at + width) + 1);
        }
    }
    return out;
}

// A jump to an exit label is stored without its ">" or ">>"; they are written back.
const char* ExitPrefix(const VectorItem& item) {
    return item.jumpMode == 'A' ? ">>" : item.jumpMode == 'T' ? ">" : "";
}

void WriteInfo(std::FILE* f, const char* info) {
    std::fputs("/*\n", f);
    for (const char* p = info; *p;) {
        const char* end = std::strchr(p, '\n');
        const char* next = end ? end + 1 : p + std::strlen(p);
        if (!end) {
            end = next;
        }
        while (p < end && static_cast<unsigned char>(*p) < 33) {
            ++p;
        }
        if (p < end) {
            // A line starting with '#' would read back as a pre-processor line.
            std::fprintf(f, "%s%.*s\n", *p == '#' ? " " : "", static_cast<int>(end - p), p);
        }
        p = next;
    }
    std::fputs("*/\n\n", f);
}

void WriteText(std::FILE* f, const char* key, const char* value) {
    if (value) {
        std::fprintf(f, "%s=\"%s\"\n", key, value);
    }
}

void WriteNumbers(std::FILE* f, const ComponentRecord& r) {
    int values = static_cast<int>(r.subTestCount);
    values = values < 1 ? 1 : values > kSubTests ? kSubTests : values;
    for (const NumericParam& p : kNumericParams) {
        if (!(r.paramMask & p.bit) && !(r.paramMask2 & p.bit2)) {
            continue;
        }
        std::fputs(p.written, f);
        for (int k = 0; k < values; ++k) {
            const double v =
                p.real ? r.sub[k].*(p.real) : static_cast<double>(r.sub[k].*(p.integer));
            if (k > 0) {
                std::fputs(", ", f);
            }
            char number[64];
            std::fputs(CNumber(number, kValueFormat, v), f);
        }
        std::fputc('\n', f);
    }
}

// Writes the item's line without its line end; returns the characters written.
int WriteItemText(std::FILE* f, const VectorItem& item) {
    const char* key = ItemKeyword(item.type);
    switch (item.type) {
    case kItemVdi:
    case kItemVdo:
    case kItemVdc:
    case kItemIlim:
    case kItemDterm:
    case kItemVmir:
    case kItemVmor:
        return std::fprintf(f, "%s=%s", key, Text(item.raw));
    case kItemDi:
    case kItemDo:
        return std::fprintf(f, "%s=%s,\"%s\"", key, Text(item.raw), Text(item.pins));
    case kItemDc:
        return item.pins ? std::fprintf(f, "DC=%s,\"%s\"", Text(item.raw), item.pins)
                         : std::fprintf(f, "DC=%s", Text(item.raw));
    case kItemMd:
    case kItemTo: {
        char number[64];
        return std::fprintf(f, "%s=%s", key, CNumber(number, "%.6lf", item.level[0]));
    }
    case kItemComment:
        return std::fprintf(f, "// %s", Text(item.comment));
    case kItemLabel:
        return std::fprintf(f, "LABEL=\"%s\"", Text(item.label));
    case kItemFail:
    case kItemPass:
    case kItemRepeat:
    case kItemToJump:
        return std::fprintf(f, "%s=%li,\"%s%s\"", key, static_cast<long>(item.count),
                            ExitPrefix(item), Text(item.label));
    case kItemStateEq:
    case kItemStateNe:
        // The state value as written, so that the item reads back with its value definition.
        return std::fprintf(f, "%s=%s,\"%s%s\"", key, Text(item.raw), ExitPrefix(item),
                            Text(item.label));
    case kItemIlimJump:
    case kItemGoto:
        return std::fprintf(f, "%s=\"%s%s\"", key, ExitPrefix(item), Text(item.label));
    case kItemGroup:
        return std::fprintf(f, "GROUP=\"%s\",\"%s\"", Text(item.raw), Text(item.pins));
    case kItemStat:
        return std::fprintf(f, "STAT=\"%s\"", Text(item.pins));
    case kItemInsert:
        return std::fprintf(f, "INSERT=%li,\"%s\"", static_cast<long>(item.value),
                            Text(item.label));
    case kItemPart:
        return std::fprintf(f, "PART=%li", static_cast<long>(item.value));
    default:
        return std::fprintf(f, "%s", kUnknownItem);
    }
}

// Items after which a blank line separates an item of another type.
bool EndsGroup(uint32_t type) {
    switch (type) {
    case kItemDo:
    case kItemComment:
    case kItemFail:
    case kItemPass:
    case kItemStateEq:
    case kItemStateNe:
    case kItemIlimJump:
    case kItemRepeat:
    case kItemGoto:
    case kItemGroup:
    case kItemToJump:
    case kItemInsert:
    case kItemPart:
        return true;
    default:
        return false;
    }
}

void WriteItems(std::FILE* f, const ComponentRecord& r) {
    const VectorItem* items = r.firstItem;
    const VectorItem* previous = nullptr;
    for (int32_t i = 0; items && i < r.itemCount; ++i) {
        const VectorItem& item = items[i];
        bool blank = false;
        if (previous) {
            blank = EndsGroup(previous->type) && previous->type != item.type;
            blank = blank || (item.type == kItemComment && previous->type != kItemComment);
            if ((item.type == kItemInsert || item.type == kItemPart) && !blank) {
                blank = true;
            }
        }
        if (blank) {
            std::fputc('\n', f);
        }
        const int written = WriteItemText(f, item);
        if (item.comment && item.type != kItemComment) {
            int gap = kCommentColumn - (written > 0 ? written : 0);
            std::fprintf(f, "%*s// %s\n", gap < kMinCommentGap ? kMinCommentGap : gap, "",
                         item.comment);
        } else {
            std::fputc('\n', f);
        }
        previous = &item;
        if (item.type == kItemInsert) {
            i += static_cast<int32_t>(item.second); // the copies come back from the INSERT line
        }
    }
}

} // namespace

int WriteComponentSection(std::FILE* file, const ComponentRecord* record,
                          const char* availableVariants) {
    const ComponentRecord& r = *record;
    const char* variants = r.variantText;
    if (r.classCode == kClassSetup) {
        variants = Text(availableVariants);
        if (std::strncmp(variants, "-,", 2) == 0) {
            variants += 2;
        } else if (std::strcmp(variants, "-") == 0) {
            variants = "";
        }
    }
    std::fprintf(file, kSectionHead, static_cast<long>(r.index), Text(r.name),
                 ComponentClassText(r), variants, Text(r.comment));
    if (r.reportOption & kReportDisabled) {
        std::fputs("#DISABLED\n", file);
    }
    if (r.reportOption & kReportOff) {
        std::fputs("#NOREPORT\n", file);
    }
    if (r.reportOption & kReportLocked) {
        std::fputs("#LOCKED\n", file);
    }
    if (r.flags & kFlagCompensation) {
        std::fputs("#COMPENSATION\n", file);
    }
    if (r.flags & kFlagAbortOnFail) {
        std::fputs("#ABORTONFAIL\n", file);
    }
    if (r.flags & kFlagSort) {
        std::fputs("#SORT\n", file);
    }
    // The component's own compensation value, which the compensation step measured.
    if (const char* name = CompensationValueName(r.classCode); name && r.compensation != 0) {
        char number[64];
        std::fprintf(file, kCompensationLine, name, CNumber(number, kValueFormat, r.compensation));
    }
    std::fputc('\n', file);
    if (r.info) {
        WriteInfo(file, r.info);
    }
    WriteText(file, "PI", r.pi);
    WriteText(file, "PT", r.pt);
    for (const char* pin : r.tp) {
        WriteText(file, "TP", pin && pin[0] ? pin : nullptr);
    }
    for (const char* pin : r.ts) {
        WriteText(file, "TS", pin && pin[0] ? pin : nullptr);
    }
    for (const char* pin : r.gp) {
        WriteText(file, "GP", pin && pin[0] ? pin : nullptr);
    }
    WriteText(file, "GS", r.gs);
    WriteText(file, "TL", r.tl);
    if (r.classCode == kClassDischarge) {
        WriteText(file, "RL", r.rl);
    } else if (r.classCode == kClassContact) {
        WriteText(file, "XS", r.rl);
        WriteText(file, "XO", r.xo);
    }
    if (r.paramMask & kParamMM) {
        char modes[kSubTests + 1] = {};
        for (int k = 0; k < kSubTests && r.sub[k].mode; ++k) {
            modes[k] = r.sub[k].mode;
        }
        WriteText(file, "MM", modes);
    }
    WriteNumbers(file, r);
    if (r.classCode == kClassDigital) {
        if (r.paramMask || r.paramMask2) {
            std::fputc('\n', file);
        }
        WriteItems(file, r);
    }
    return std::ferror(file) ? -1 : 0;
}

void WriteComponentFileHeader(std::FILE* file, const std::tm& local) {
    char date[32], time[32];
    std::strftime(date, sizeof date, "%d.%m.%Y", &local);
    std::strftime(time, sizeof time, "%H:%M", &local);
    std::fprintf(file, "# DATE %s\n", date);
    std::fprintf(file, "# TIME %s\n", time);
}

uint32_t SaveComponentModel(const ComponentModel* model, SectionWriter writer, void* context,
                            char* error) {
    char backup[kComponentFileNameSize + 2];
    FormatText(backup, sizeof backup, "%s%s", model->fileName, kBackupSuffix);
    if (!CopyFileA(model->fileName, backup, FALSE)) {
        CopyText(error, kMessageSize, kBackupError);
        return kErrResource;
    }
    std::FILE* file = std::fopen(model->fileName, "w");
    if (!file) {
        CopyText(error, kMessageSize, kOpenError);
        return kErrResource;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    WriteComponentFileHeader(file, local);
    uint32_t code = 0;
    for (int32_t i = 0; i < model->componentCount && code == 0; ++i) {
        const ComponentRecord* record = &model->components[i];
        if (writer) {
            code = writer(context, file, record, model->variants, error);
        } else if (WriteComponentSection(file, record, model->variants) != 0) {
            code = kErrResource;
            CopyText(error, kMessageSize, kOpenError);
        }
    }
    std::fclose(file);
    return code;
}

} // namespace kora
