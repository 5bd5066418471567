// The LABVIEW step methods are no longer supported: every one of their names leads to one entry
// that refuses the call without entering the step.
#include "exports/export.h"

#include <kora/step_methods.h>

namespace {
constexpr const char* kLabviewTitle = "KORA - LABVIEW";
constexpr const char* kLabviewText = "LABVIEW functions are not supported anymore";
} // namespace

extern "C" __attribute__((visibility("default"))) EN_NEV_RESULT
kora_LabviewRefused(long, const char*, long, long, const char*) {
    rvo_Alert(kLabviewTitle, kLabviewText, RVO_ALERT_NOTICE);
    rvo_ExitSTEPEx(-5);
    return -5;
}

#define KORA_LABVIEW_ALIAS(NAME)                                                                   \
    KORA_EXPORT EN_NEV_RESULT NAME(long, const char*, long, long, const char*)                     \
        __attribute__((alias("kora_LabviewRefused")));
KORA_LABVIEW_TABLE(KORA_LABVIEW_ALIAS)
#undef KORA_LABVIEW_ALIAS
