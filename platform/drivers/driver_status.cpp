#include "driver_status.h"

#include <resmgr/resmgr_inspect.h>

#include <cctype>
#include <cstdio>
#include <string>

#include <strings.h>

namespace kora::drivers {

namespace {

constexpr StatusText kCommonStatusTexts[] = {
    {VI_SUCCESS, "No error"},
    {kErrSession, "Invalid session handle"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrResourceNotFound, "No device of the station has this resource descriptor"},
};

std::string Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    std::string out(text.substr(first, last - first + 1));
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

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
        if (status == kErrNoBench) {
            const std::string why = vbench::VirtualBench::activationError();
            if (!why.empty()) {
                text += ": " + why;
            }
        }
    }
    if (text.empty()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "Unknown status code 0x%08X", static_cast<unsigned>(status));
        text = buf;
    }
    std::snprintf(message, VI_ERROR_MESSAGE_SIZE, "%s", text.c_str());
    return call.finish(VI_SUCCESS);
}

bool OptionSimulates(const char* options, bool acceptTrue) {
    std::string_view rest = options ? options : "";
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string_view entry = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const auto eq = entry.find('=');
        if (eq == std::string_view::npos || Trimmed(entry.substr(0, eq)) != "simulate") {
            continue;
        }
        const std::string value = Trimmed(entry.substr(eq + 1));
        return value == "1" || (acceptTrue && value == "true");
    }
    return false;
}

ViStatus OpenStationDevice(const vbench::DriverCall& call, const char* resource, bool simulate,
                           std::string* device) {
    if (!resource || !device) {
        return kErrNullPointer;
    }
    const vbench::Station* station = call.bench() ? call.bench()->station() : nullptr;
    if (simulate) {
        *device = station ? station->deviceForResource(resource) : resource;
        return VI_SUCCESS;
    }
    if (!call.bench()) {
        return kErrNoBench;
    }
    if (!station) {
        // A bench without a station description (tests that build circuits by hand) has every
        // device it is asked for.
        *device = resource;
        return VI_SUCCESS;
    }
    for (const auto& d : station->devices) {
        if (!d.resource.empty() && strcasecmp(d.resource.c_str(), resource) == 0) {
            *device = d.name;
            return VI_SUCCESS;
        }
    }
    return kErrResourceNotFound;
}

bool DriverTraceWanted() {
    return resmgr::inspect::AnySessionTraced();
}

namespace {
std::string TraceLine(const char* function, const std::string& arguments, int32_t status) {
    return std::string(function) + "(" + arguments + ") = " + std::to_string(status);
}
} // namespace

void TraceDriverCall(const std::string& device, const char* function, const std::string& arguments,
                     ViStatus status) {
    resmgr::inspect::TraceDevice(device, TraceLine(function, arguments, status));
}

void TraceSessionCall(long session, const char* function, const std::string& arguments,
                      int32_t status) {
    resmgr::inspect::TraceSession(session, TraceLine(function, arguments, status));
}

int32_t LibrarySession(const std::string& device) {
    return resmgr::inspect::OpenLibrarySession(device);
}

void EndLibrarySession(int32_t session) {
    resmgr::inspect::CloseLibrarySession(session);
}

uint64_t ResourceManagerSetups() {
    return resmgr::inspect::SetupCount();
}

} // namespace kora::drivers
