#include "classlib.h"

#include <platform_types.h>
#include <resmgr.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include <strings.h>

namespace kora::drivers {

const char* MatchWord(const char* text, std::span<const char* const> words) {
    if (!text) {
        return nullptr;
    }
    for (const char* w : words) {
        if (strcasecmp(text, w) == 0) {
            return w;
        }
    }
    return nullptr;
}

Outcome BadSetting(const ClassLibrary& library, const char* what, const char* text,
                   std::span<const char* const> words) {
    if (!text) {
        return {library.nullPointer, what};
    }
    std::string detail = std::string(what) + " '" + text + "' (one of ";
    for (std::size_t i = 0; i < words.size(); ++i) {
        detail += (i ? ", " : "") + std::string(words[i]);
    }
    return {library.invalidSetting, detail + ")"};
}

Outcome BadValue(const ClassLibrary& library, const char* what, double value, const char* allowed) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", value);
    return {library.invalidValue, std::string(what) + " " + buf + " (" + allowed + ")"};
}

std::string UpperCase(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

bool ReadConfigKey(long file, const std::string& section, const std::string& key, ConfigKey* out,
                   std::string* problem) {
    char value[RESMGR_VALUE_SIZE] = {};
    char message[RESMGR_MESSAGE_SIZE] = {};
    int32_t status = 0, warning = 0, error = 0;
    RESMGR_Get_Key_Value(0, file, section.c_str(), key.c_str(), value, sizeof value, &status,
                         &warning, &error, message);
    if (error < 0) {
        *problem = message;
        return false;
    }
    out->found = status == RESMGR_KEY_FOUND;
    out->value = value;
    return true;
}

bool ReadConfigSection(long file, const std::string& section, bool* exists,
                       std::vector<std::pair<std::string, std::string>>* keys,
                       std::string* problem) {
    keys->clear();
    *exists = false;
    char message[RESMGR_MESSAGE_SIZE] = {};
    int32_t count = 0, warning = 0, error = 0;
    RESMGR_Number_Of_Keys(0, file, section.c_str(), &count, &warning, &error, message);
    if (error == RESMGR_ERR_SECTION_NOT_FOUND) {
        return true;
    }
    if (error < 0) {
        *problem = message;
        return false;
    }
    *exists = true;
    for (long i = 1; i <= count; ++i) {
        char name[RESMGR_NAME_SIZE] = {}, value[RESMGR_VALUE_SIZE] = {};
        RESMGR_Nth_Key_Name(0, file, section.c_str(), i, name, &warning, &error, message);
        if (error >= 0) {
            RESMGR_Nth_Key_Value(0, file, section.c_str(), i, value, &warning, &error, message);
        }
        if (error < 0) {
            *problem = message;
            return false;
        }
        keys->emplace_back(name, value);
    }
    return true;
}

std::string DeviceNameOf(const std::string& value) {
    const auto arrow = value.find("->");
    return arrow == std::string::npos ? value : value.substr(arrow + 2);
}

int32_t LibVersion(const ClassLibrary& library, const char* function, long context, char* version,
                   const char* text, int32_t* warning, int32_t* error, char* message) {
    ClassLibCall call(library, function, vbench::FormatArgs(context, vbench::kOut), context,
                      warning, error, message);
    if (call.early()) {
        return call.finish(call.early());
    }
    if (!version) {
        return call.finish(library.nullPointer);
    }
    CopyOut(version, CLASSLIB_VERSION_SIZE, text);
    return call.finish(0);
}

void CopyOut(char* buffer, std::size_t size, const std::string& text) {
    if (!buffer || size == 0) {
        return;
    }
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

std::string ClassLibStatusText(const ClassLibrary& library, vbench::VirtualBench* bench,
                               int32_t status) {
    if (bench) {
        if (auto injected = bench->faults().messageFor(status); injected && !injected->empty()) {
            return *injected;
        }
    }
    for (const auto& s : library.own) {
        if (s.code == status) {
            return s.text;
        }
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "Unknown status code %d", status);
    return buf;
}

ClassLibCall::ClassLibCall(const ClassLibrary& library, const char* function, std::string arguments,
                           long context, int32_t* warning, int32_t* error, char* message)
    : library_(library), call_(library.interface, function, std::move(arguments)),
      warning_(warning), error_(error), message_(message) {
    if (warning_) {
        *warning_ = 0;
    }
    if (error_) {
        *error_ = 0;
    }
    if (message_) {
        message_[0] = '\0';
    }
    if (call_.fault()) {
        early_ = call_.fault()->code;
    } else if (context != 0) {
        early_ = library_.contextError;
    }
}

int32_t ClassLibCall::finish(int32_t status, const std::string& detail) {
    if (finished_) {
        return status;
    }
    finished_ = true;
    if (status < 0 && error_) {
        *error_ = status;
    } else if (status > 0 && warning_) {
        *warning_ = status;
    }
    if (status != 0 && message_) {
        std::string text;
        if (call_.fault() && status == call_.fault()->code && !call_.fault()->message.empty()) {
            text = call_.fault()->message;
        } else {
            text = ClassLibStatusText(library_, call_.bench(), status);
        }
        std::string why = detail;
        if (status == library_.noBench && why.empty()) {
            why = vbench::VirtualBench::activationError();
        }
        if (!why.empty()) {
            text += ": " + why;
        }
        CopyOut(message_, CLASSLIB_MESSAGE_SIZE, text);
    }
    return call_.finish(status);
}

} // namespace kora::drivers
