#include "ictx/program/component_order.h"

#include "frame/args.h"
#include "frame/errors.h"
#include "frame/text.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

namespace kora {

namespace {

constexpr const char* kNoVariants = "-";
constexpr const char* kVariantPrefix = "-,";
constexpr const char* kLoadVariant =
    "LINE %li\n\n%s: Invalid VARIANT '%s' defined\n\nAvailable: %s\n\n";
constexpr const char* kEditVariant = "Invalid VARIANT '%s' defined\n\nAvailable: %s";
constexpr double kNominalEqual = 1e-13;
constexpr std::size_t kMaxVariantName = 254;

void SetAll(uint32_t (&set)[kVariantWords]) {
    for (auto& w : set) {
        w = 0xFFFFFFFFu;
    }
}

// Sets the bit of the k-th available variant (k from 1, where entry 1 is "-").
void SetVariantBit(uint32_t (&set)[kVariantWords], int k) {
    if (k >= 2 && k - 2 < kVariantWords * 32) {
        set[(k - 2) / 32] |= 1u << ((k - 2) % 32);
    }
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsSeparator(char c) {
    return c == ',' || c == ' ' || c == '\t';
}

} // namespace

namespace {

// What the order looks at, taken out of the records once: the merge passes then compare small
// entries next to each other instead of records a kilobyte apart.
struct SortKey {
    uint32_t classCode;
    int32_t headerLine;
    double nv;
};

SortKey KeyOf(const ComponentRecord& r) {
    return SortKey{r.classCode, r.headerLine, r.sub[0].nv};
}

int CompareKeys(const SortKey& a, const SortKey& b) {
    const bool aTested = a.classCode < kClassDigital;
    const bool bTested = b.classCode < kClassDigital;
    if (aTested != bTested) {
        return aTested ? -1 : 1;
    }
    if (!aTested) {
        return 0;
    }
    if (a.classCode != b.classCode) {
        return a.classCode < b.classCode ? -1 : 1;
    }
    const double d = a.nv - b.nv;
    if (std::fabs(d) > kNominalEqual) {
        return d < 0 ? -1 : 1;
    }
    if (a.headerLine != b.headerLine) {
        return a.headerLine < b.headerLine ? -1 : 1;
    }
    return 0;
}

} // namespace

int CompareComponents(const ComponentRecord& a, const ComponentRecord& b) {
    return CompareKeys(KeyOf(a), KeyOf(b));
}

void SortComponents(ComponentRecord* components, int32_t count) {
    if (count > kMaxComponents) {
        count = kMaxComponents;
    }
    if (count < 2) {
        return;
    }
    // A bottom-up merge sort of positions keeps equal components in order and moves each record
    // only once, when the permutation is applied.
    uint16_t order[kMaxComponents];
    uint16_t merged[kMaxComponents];
    std::vector<SortKey> keys(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        order[i] = static_cast<uint16_t>(i);
        keys[i] = KeyOf(components[i]);
    }
    uint16_t* from = order;
    uint16_t* to = merged;
    for (int32_t width = 1; width < count; width *= 2) {
        for (int32_t lo = 0; lo < count; lo += 2 * width) {
            const int32_t mid = std::min(lo + width, count);
            const int32_t hi = std::min(lo + 2 * width, count);
            int32_t i = lo, j = mid, out = lo;
            while (i < mid && j < hi) {
                if (CompareKeys(keys[from[j]], keys[from[i]]) < 0) {
                    to[out++] = from[j++];
                } else {
                    to[out++] = from[i++];
                }
            }
            while (i < mid) {
                to[out++] = from[i++];
            }
            while (j < hi) {
                to[out++] = from[j++];
            }
        }
        std::swap(from, to);
    }
    // Apply: position p takes record from[p]; follow each cycle once.
    uint8_t done[kMaxComponents] = {};
    ComponentRecord held;
    for (int32_t start = 0; start < count; ++start) {
        if (done[start] || from[start] == start) {
            continue;
        }
        std::memcpy(&held, &components[start], sizeof held);
        int32_t p = start;
        while (from[p] != start) {
            std::memcpy(&components[p], &components[from[p]], sizeof held);
            done[p] = 1;
            p = from[p];
        }
        std::memcpy(&components[p], &held, sizeof held);
        done[p] = 1;
    }
}

bool SortRequested(const ComponentRecord* components, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        if (components[i].classCode == kClassSetup && (components[i].flags & kFlagSort)) {
            return true;
        }
    }
    return false;
}

void CopySetup(ComponentModel* model, const ComponentRecord* components, int32_t count) {
    const ComponentRecord* setup = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        if (components[i].classCode == kClassSetup) {
            setup = &components[i];
        }
    }
    if (setup) {
        std::memcpy(&model->setup, setup, sizeof model->setup);
        if (!model->setup.variants || !model->setup.variants[0]) {
            model->setup.variants = kNoVariants;
        }
    } else {
        std::memset(&model->setup, 0, sizeof model->setup);
    }
    model->variants = setup ? model->setup.variants : kNoVariants;
}

bool AssignVariants(const ComponentModel* model, ComponentRecord* components, int32_t count,
                    char* error) {
    const char* available = model->variants ? model->variants : kNoVariants;
    for (int32_t i = 0; i < count; ++i) {
        ComponentRecord& c = components[i];
        const char* list = c.variants ? c.variants : "";
        if (c.classCode == kClassSetup) {
            if (std::strncmp(list, kVariantPrefix, 2) == 0) {
                list += 2;
            } else if (std::strcmp(list, kNoVariants) == 0) {
                list = "";
            }
            CopyText(c.variantText, list);
            c.variantWord = 0xFFFFFFFFu;
            SetAll(c.variantSet);
            continue;
        }
        CopyText(c.variantText, list);
        if (c.index == 0) {
            continue;
        }
        c.variantWord = 0;
        std::memset(c.variantSet, 0, sizeof c.variantSet);
        bool any = false;
        for (const char* p = list; *p;) {
            const char* start = p;
            while (*p && *p != ',') {
                ++p;
            }
            const char* end = p;
            if (*p) {
                ++p;
            }
            while (start < end && IsBlank(*start)) {
                ++start;
            }
            while (end > start && IsBlank(end[-1])) {
                --end;
            }
            if (start == end) {
                continue;
            }
            char name[kMaxVariantName + 1];
            CopyText(name, std::string_view(start, static_cast<std::size_t>(end - start)));
            const int k = MatchKeyword(name, available, ',');
            if (k == 0) {
                FormatText(error, kMessageSize, kLoadVariant, static_cast<long>(c.headerLine),
                           c.name ? c.name : "", name, available);
                return false;
            }
            if (k <= 32) {
                c.variantWord |= 1u << (k - 1);
            }
            SetVariantBit(c.variantSet, k);
            any = true;
        }
        if (!any) {
            SetAll(c.variantSet);
        }
    }
    return true;
}

int ParseVariantText(const char* text, const char* available, uint32_t (&set)[kVariantWords],
                     char* error) {
    if (!available || !available[0]) {
        SetAll(set);
        return 0;
    }
    std::memset(set, 0, sizeof set);
    bool any = false;
    for (const char* p = text ? text : ""; *p;) {
        while (*p && IsSeparator(*p)) {
            ++p;
        }
        const char* start = p;
        while (*p && !IsSeparator(*p)) {
            ++p;
        }
        if (p == start) {
            continue;
        }
        char name[kMaxVariantName + 1];
        CopyText(name, std::string_view(start, static_cast<std::size_t>(p - start)));
        const int k = MatchKeyword(name, available, ',');
        if (k == 0) {
            FormatText(error, kMessageSize, kEditVariant, name, available);
            return -1;
        }
        SetVariantBit(set, k);
        any = true;
    }
    if (!any) {
        SetAll(set);
    }
    return 0;
}

} // namespace kora
