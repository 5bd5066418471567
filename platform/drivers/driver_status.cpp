#include "driver_status.h"

#include <cstdio>
#include <string>

namespace kora::drivers {

namespace {

constexpr StatusText kCommonStatusTexts[] = {
    {VI_SUCCESS, "No error"},
    {kErrSession, "Invalid session handle"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrNoBench, "No virtual bench is active"},
};

const char* Lookup(std::span<const StatusText> table, ViStatus status) {
    for (const auto& s : table) {
        if (s.code == status) {
            return s.text;
        }
    }
    return nullptr;
}

} // namespace

ViStatus ErrorMessage(vbench::DriverCall& call, std::span<const StatusText> own, ViStatus status,
                      ViChar message[VI_ERROR_MESSAGE_SIZE]) {
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!message) {
        return call.finish(kErrNullPointer);
    }
    std::string text;
    if (call.bench()) {
        text = call.bench()->faults().messageFor(status).value_or("");
    }
    if (text.empty()) {
        const char* known = Lookup(own, status);
        if (!known) {
            known = Lookup(kCommonStatusTexts, status);
        }
        text = known ? known : "";
    }
    if (text.empty()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "Unknown status code 0x%08X", static_cast<unsigned>(status));
        text = buf;
    }
    std::snprintf(message, VI_ERROR_MESSAGE_SIZE, "%s", text.c_str());
    return call.finish(VI_SUCCESS);
}

} // namespace kora::drivers
