#include "bench/bench_config.h"

#include "frame/text.h"

#include <resmgr.h>
#include <rvoapi.h>

#include <cstdarg>
#include <cstdio>

namespace kora {

namespace {

constexpr const char* kLogicalNames = "LogicalNames";
constexpr std::size_t kLogLineSize = 1024;

void Show(const char* format, va_list args, int32_t code) {
    char line[kLogLineSize];
    std::vsnprintf(line, sizeof line, format, args);
    if (code != 0) {
        char ec[32];
        std::snprintf(ec, sizeof ec, " [EC=0x%lX]",
                      static_cast<unsigned long>(static_cast<uint32_t>(code)));
        AppendText(line, sizeof line, ec);
    }
    rvo_GUIMessage(0, line);
}

} // namespace

bool ReadConfigKey(long file, const char* section, const char* key, char* out, std::size_t size,
                   StepError& error) {
    int32_t status = RESMGR_KEY_MISSING, warning = 0, code = 0;
    char message[kMessageSize] = {};
    out[0] = 0;
    RESMGR_Get_Key_Value(0, file, section, key, out, static_cast<long>(size), &status, &warning,
                         &code, message);
    if (code < 0) {
        error.Set(static_cast<uint32_t>(code), message);
        out[0] = 0;
        return false;
    }
    if (status != RESMGR_KEY_FOUND) {
        out[0] = 0;
        return false;
    }
    return true;
}

void BenchSectionOf(const char* benchName, char* section, std::size_t size, StepError& error) {
    if (!ReadConfigKey(kSoftwareConfigFile, kLogicalNames, benchName, section, size, error) ||
        section[0] == 0) {
        CopyText(section, size, benchName ? benchName : "");
    }
}

void LogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Show(format, args, 0);
    va_end(args);
}

void LogLineEc(int32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Show(format, args, code);
    va_end(args);
}

} // namespace kora
