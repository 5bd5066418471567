#include "errors.h"

#include "text.h"

#include <rvoapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kora {

namespace {

struct ErrorEntry {
    uint32_t code;
    const char* text;
};

#define KORA_ERROR_ENTRY(code, text) {code, text},
constexpr ErrorEntry kErrorTable[] = {KORA_ERROR_TABLE(KORA_ERROR_ENTRY){0, "\n"}};
#undef KORA_ERROR_ENTRY

constexpr const char* kLibraryFormat = "ERROR# %li (0x%lX)        PROGRAM LINE# %u\n\n%s\n%s\n%s";
constexpr const char* kDriverFormat = "ERROR# %li (0x%lX)        PROGRAM LINE# %u\n\n%s\n%s";
constexpr const char* kWarningFormat = "WARNING# %li (0x%lX)        PROGRAM LINE# %u\n\n%s\n%s";

bool IsLibraryCode(uint32_t code) {
    return code >= 0x81000000u && code <= 0x810000FFu;
}

} // namespace

const char* ErrorTableText(uint32_t code) {
    const ErrorEntry* e = kErrorTable;
    while (e->code != 0 && e->code != code) {
        ++e;
    }
    return e->text;
}

bool StepError::Set(uint32_t errorCode, const char* text) {
    if (code == 0) {
        code = errorCode;
        CopyText(message, text);
    }
    return false;
}

bool StepError::SetF(uint32_t errorCode, const char* format, ...) {
    if (code == 0) {
        code = errorCode;
        va_list args;
        va_start(args, format);
        std::vsnprintf(message, sizeof message, format, args);
        va_end(args);
    }
    return false;
}

bool FormatStepReport(char* out, std::size_t size, long lineCode, const char* methodName,
                      uint32_t code, const char* message) {
    if (code == 0) {
        return false;
    }
    // Codes print as signed 32-bit decimal and as 32-bit hexadecimal whatever the width of long.
    auto sv = static_cast<long>(static_cast<int32_t>(code));
    auto hx = static_cast<unsigned long>(code);
    // The executive's line code is a 32-bit value; its upper 24 bits are the program line.
    auto line = static_cast<unsigned>(static_cast<uint32_t>(lineCode) >> 8);
    const char* method = methodName ? methodName : "";
    const char* msg = message ? message : "";
    if (IsLibraryCode(code)) {
        FormatText(out, size, kLibraryFormat, sv, hx, line, method, ErrorTableText(code), msg);
    } else if (static_cast<int32_t>(code) > 0) {
        FormatText(out, size, kWarningFormat, sv, hx, line, method, msg);
    } else {
        FormatText(out, size, kDriverFormat, sv, hx, line, method, msg);
    }
    return true;
}

long ReportStepError(long lineCode, const char* methodName, uint32_t code, const char* message) {
    char text[kReportSize];
    if (!FormatStepReport(text, sizeof text, lineCode, methodName, code, message)) {
        return 0;
    }
    if (!IsLibraryCode(code) && static_cast<int32_t>(code) > 0) {
        rvo_GUIMessage(0, text);
        return 0;
    }
    long answer = rvo_Alert(nullptr, text, RVO_ALERT_ERROR);
    rvo_SetSTEPResult(answer == RVO_ANSWER_STOP ? -5 : -2);
    return answer;
}

char* FormatWarning(const char* name, uint32_t code, const char* text, char* out) {
    std::size_t len = name ? FormatText(out, kWarningSize, "%s WARNING[0x%08lX]: ", name,
                                        static_cast<unsigned long>(code))
                           : FormatText(out, kWarningSize,
                                        "WARNING[0x%08lX]: ", static_cast<unsigned long>(code));
    for (const char* p = text; p && *p && len < kWarningSize - 1; ++p) {
        if (*p == '\n') {
            len = AppendText(out, kWarningSize, " / ");
        } else {
            out[len++] = *p;
            out[len] = 0;
        }
    }
    return out;
}

} // namespace kora
