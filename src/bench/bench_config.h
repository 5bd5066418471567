// Reading the station's configuration through the resource manager, and the operator's log lines
// of the set-up and cleanup steps.
#pragma once

#include "bench/bench.h"
#include "frame/errors.h"

#include <cstddef>
#include <cstdint>

namespace kora {

// The two files of the resource manager.
constexpr long kPhysicalLayerFile = 0;
constexpr long kSoftwareConfigFile = 1;

// Reads a key into `out`; false when the key is missing (out is then ""). A failure of the
// resource manager itself sets `error` (its code and text) and also returns false.
bool ReadConfigKey(long file, const char* section, const char* key, char* out, std::size_t size,
                   StepError& error);

// The section of a bench: the value of its name in "LogicalNames", else the name itself.
void BenchSectionOf(const char* benchName, char* section, std::size_t size, StepError& error);
template <std::size_t N>
void BenchSectionOf(const char* benchName, char (&section)[N], StepError& error) {
    BenchSectionOf(benchName, section, N, error);
}

// One line of the set-up and cleanup log (the executive's message window, level 0).
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same line with " [EC=0x%lX]" appended when a driver returned a code.
void LogLineEc(int32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Sets `error` from a class library's status block when it holds an error; true then.
inline bool ClassLibFailed(int32_t code, const char* message, StepError& error) {
    if (code < 0) {
        error.Set(static_cast<uint32_t>(code), message);
        return true;
    }
    return false;
}

} // namespace kora
