// The keywords of component sections, and the numeric parameters with their presence bits and
// sub-test fields in the order the writer puts them into a file.
#pragma once

#include "ictx/program/component_model.h"

#include <cstdint>

namespace kora {

struct NumericParam {
    const char* keyword;       // as read ("NV+")
    const char* written;       // as written, with the '=' ("NV+=", "V =")
    uint32_t bit;              // in the parameter mask, 0 for AZ
    uint32_t bit2;             // in the second parameter mask
    double SubTest::*real;     // the field of a real parameter, or null
    int32_t SubTest::*integer; // the field of an integer parameter, or null
};

// The 58 keywords of parameter lines with their value templates, and the item type of the
// keywords that create vector items (0 for component parameters).
struct KeywordEntry {
    const char* keyword;
    const char* tmpl;
    uint32_t type;
};
constexpr int kKeywordCount = 58;
extern const KeywordEntry kKeywords[kKeywordCount];

// 1-based index of `keyword` in kKeywords (exact, case-sensitive), 0 when it is none.
int FindKeyword(const char* keyword);

// The keyword that creates items of `type`, "" for other numbers.
const char* ItemKeyword(uint32_t type);

constexpr int kNumericParamCount = 23;
extern const NumericParam kNumericParams[kNumericParamCount];

// The numeric parameter named `keyword`, or null.
const NumericParam* FindNumericParam(const char* keyword);

// The numeric parameter of the keyword numbered `k` as FindKeyword gives it, or null; saves the
// parser a second search for a keyword it has found already.
const NumericParam* NumericParamOf(int k);

} // namespace kora
