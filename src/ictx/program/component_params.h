// The numeric parameters of a component section: keyword, presence bit and sub-test field, in
// the order the writer puts them into a file.
#pragma once

#include "ictx/program/component_model.h"

#include <cstdint>

namespace kora {

struct NumericParam {
    const char* keyword;  // as read ("NV+")
    const char* written;  // as written, with the '=' ("NV+=", "V =")
    uint32_t bit;         // in the parameter mask, 0 for AZ
    uint32_t bit2;        // in the second parameter mask
    double SubTest::*real;     // the field of a real parameter, or null
    int32_t SubTest::*integer; // the field of an integer parameter, or null
};

constexpr int kNumericParamCount = 23;
extern const NumericParam kNumericParams[kNumericParamCount];

// The numeric parameter named `keyword`, or null.
const NumericParam* FindNumericParam(const char* keyword);

} // namespace kora
