#include "resmgr_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kora::resmgr {
namespace {

struct CodeEntry {
    int32_t code;
    const char* text;
};

#define RESMGR_CODE_TEXT_ENTRY(name, value, text) CodeEntry{name, text},
constexpr CodeEntry kCodes[] = {RESMGR_CODE_TABLE(RESMGR_CODE_TEXT_ENTRY)};
#undef RESMGR_CODE_TEXT_ENTRY

constexpr std::string_view kDevicePrefix = "device->";

// The in-memory trace keeps the most recent lines only.
constexpr std::size_t kTraceMemoryLines = 100000;

} // namespace

State& GlobalState() {
    // Never destroyed: threads of the executive may still call in while the process exits.
    static State* state = new State;
    return *state;
}

void ReleaseEverything(State& state) {
    for (auto& file : state.files) {
        file.reset();
    }
    for (auto& path : state.paths) {
        path.clear();
    }
    state.clients.clear();
    state.resources.clear();
    state.resourceByName.clear();
    state.sessions.clear();
    state.sessionByUse.clear();
    state.devices.clear();
    state.tracing = false;
    state.tracedSessions.clear();
    state.anyTraced = false;
    state.unlocked.notify_all();
}

std::string DeviceName(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    if (text.size() > kDevicePrefix.size() &&
        EqualsNoCase(text.substr(0, kDevicePrefix.size()), kDevicePrefix)) {
        text.remove_prefix(kDevicePrefix.size());
    }
    return std::string(text);
}

std::string DeviceKey(std::string_view text) {
    return FoldCase(DeviceName(text));
}

int32_t WriteTraceLine(State& state, std::string_view line) {
    const char* path = std::getenv("KORA_RESMGR_TRACE");
    if (path == nullptr || *path == '\0') {
        if (state.traceLines.size() >= kTraceMemoryLines) {
            state.traceLines.pop_front();
        }
        state.traceLines.emplace_back(line);
        return 0;
    }
    std::FILE* out = std::fopen(path, "a");
    if (out == nullptr) {
        return RESMGR_ERR_TRACE_FILE;
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), out) == line.size() &&
                         std::fputc('\n', out) != EOF;
    const bool closed = std::fclose(out) == 0;
    return written && closed ? 0 : RESMGR_ERR_TRACE_FILE;
}

const char* CodeText(int32_t code) {
    for (const CodeEntry& entry : kCodes) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return "Unknown resource manager code";
}

bool CopyText(char* buffer, std::size_t size, std::string_view text) {
    if (buffer == nullptr || size == 0) {
        return !text.empty();
    }
    const std::size_t length = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length < text.size();
}

Reply::Reply(int32_t* warning, int32_t* error, char* message)
    : warningOut_(warning), errorOut_(error), message_(message) {
    if (warningOut_ != nullptr) {
        *warningOut_ = 0;
    }
    if (errorOut_ != nullptr) {
        *errorOut_ = 0;
    }
    if (message_ != nullptr) {
        message_[0] = '\0';
    }
}

int32_t Reply::fail(int32_t code, std::string_view detail) {
    if (error_ == 0) {
        error_ = code;
        if (errorOut_ != nullptr) {
            *errorOut_ = code;
        }
        writeMessage(code, detail);
    }
    return error_;
}

void Reply::warn(int32_t code, std::string_view detail) {
    if (warning_ != 0) {
        return;
    }
    warning_ = code;
    if (warningOut_ != nullptr) {
        *warningOut_ = code;
    }
    if (error_ == 0) {
        writeMessage(code, detail);
    }
}

void Reply::writeMessage(int32_t code, std::string_view detail) {
    // No allocation here: this also reports running out of memory.
    if (message_ == nullptr) {
        return;
    }
    const int detailLength =
        static_cast<int>(detail.size() < RESMGR_MESSAGE_SIZE ? detail.size() : RESMGR_MESSAGE_SIZE);
    if (detailLength == 0) {
        std::snprintf(message_, RESMGR_MESSAGE_SIZE, "%s", CodeText(code));
    } else {
        std::snprintf(message_, RESMGR_MESSAGE_SIZE, "%s: %.*s", CodeText(code), detailLength,
                      detail.data());
    }
}

} // namespace kora::resmgr
