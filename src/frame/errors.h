// Error codes of the library, the per-pass error of a step, and the report texts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kora {

// The library's own codes and their texts, in table order.
#define KORA_ERROR_TABLE(X)                                                                        \
    X(0x81000001u, "Invalid function parameter #1\n")                                              \
    X(0x81000002u, "Invalid function parameter #2\n")                                              \
    X(0x81000003u, "Invalid function parameter #3\n")                                              \
    X(0x81000004u, "Invalid function parameter #4\n")                                              \
    X(0x81000005u, "Invalid function parameter #5\n")                                              \
    X(0x81000006u, "Invalid function parameter #6\n")                                              \
    X(0x81000007u, "Invalid function parameter #7\n")                                              \
    X(0x81000008u, "Invalid function parameter #8\n")                                              \
    X(0x81000009u, "Invalid function parameter #9\n")                                              \
    X(0x8100000Au, "Invalid function parameter #10\n")                                             \
    X(0x8100000Bu, "Invalid function parameter #11\n")                                             \
    X(0x8100000Cu, "Invalid function parameter #12\n")                                             \
    X(0x8100000Du, "Invalid function parameter #13\n")                                             \
    X(0x8100000Eu, "Invalid function parameter #14\n")                                             \
    X(0x8100000Fu, "Invalid function parameter #15\n")                                             \
    X(0x81000010u, "Memory allocation error\n")                                                    \
    X(0x81000011u, "KORA function error\n")                                                        \
    X(0x81000012u, "KORA resource error\n")                                                        \
    X(0x81000013u, "KORA LabView VIServer error\n")                                                \
    X(0x81000014u, "KORA resource description|length")

constexpr uint32_t kErrParam1 = 0x81000000u; // + the argument's number, counted from 1
constexpr uint32_t kErrMemory = 0x81000010u;
constexpr uint32_t kErrFunction = 0x81000011u;
constexpr uint32_t kErrResource = 0x81000012u;
constexpr uint32_t kErrLabView = 0x81000013u;
constexpr uint32_t kErrLength = 0x81000014u;

constexpr uint32_t ParamError(int argumentNumber) {
    return kErrParam1 + static_cast<uint32_t>(argumentNumber);
}

constexpr std::size_t kMessageSize = 1024;
constexpr std::size_t kReportSize = 1152;
constexpr std::size_t kWarningSize = 255;
constexpr std::size_t kWarningCommentSize = 512;

constexpr const char* kInvalidSetting = "INVALID SETTING => no execution";
constexpr const char* kNoBench = "pBENCH==NULL";

// Table text of a library code; the empty table line "\n" for a code it does not hold.
const char* ErrorTableText(uint32_t code);

// The one error of a pass: the first failing check sets code and message, later ones are
// ignored so the report names the cause.
struct StepError {
    uint32_t code = 0;
    char message[kMessageSize] = {};

    bool failed() const { return code != 0; }
    // Sets the error unless one is already set; returns false so callers can `return Set(...)`.
    bool Set(uint32_t errorCode, const char* text);
    bool SetF(uint32_t errorCode, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Clear() {
        code = 0;
        message[0] = 0;
    }
};

// Builds the report text of a code into `out` (kReportSize bytes); returns false for code 0.
bool FormatStepReport(char* out, std::size_t size, long lineCode, const char* methodName,
                      uint32_t code, const char* message);

// Shows the error of a pass: a warning goes to the message window; an error becomes an alert
// whose answer sets the step result (-5 stop, otherwise -2). Returns the operator's answer.
long ReportStepError(long lineCode, const char* methodName, uint32_t code, const char* message);

// "<name> WARNING[0x%08lX]: text" with line feeds shown as " / "; `out` holds kWarningSize.
char* FormatWarning(const char* name, uint32_t code, const char* text, char* out);

} // namespace kora
