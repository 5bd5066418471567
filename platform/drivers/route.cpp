// ROUTE: the switching class library over the virtual bench: the routing of a bench.
//
// ROUTE_Setup reads the bench section's key "RoutingTable" of the software configuration: the
// name of the section that describes the bench's routing topology. A bench without the key has
// no routing (ROUTE_ERR_NOT_CONFIGURED, handle -1); a key that names no section is refused.
//
// The routing model itself (points, paths, the switches that make them) is not there yet, so
// no connection can be made: ROUTE_Execute refuses every connect command ("A>B") with "routing
// model not available" and carries out the others as what they are with nothing connected:
// disconnects ("A|B", "A||", "%" alone or with a list) and the settling and status commands
// ("?#") leave nothing to do, and the connection display (ROUTE_GetDisplayString) is empty.
// A command that is none of these is refused.
#include <route.h>

#include "classlib.h"

#include <string>
#include <string_view>

using kora::drivers::ClassLibCall;
using kora::drivers::ClassLibrary;
using kora::drivers::ClassSessions;
using kora::drivers::ConfigKey;
using kora::drivers::Outcome;
using kora::drivers::StatusText;
using kora::vbench::FormatArgs;

namespace {

constexpr int32_t kErrContext = -37001;
constexpr int32_t kErrHandle = -37002;
constexpr int32_t kErrNullPointer = -37004;
constexpr int32_t kErrSetting = -37006;
constexpr int32_t kErrValue = -37007;
constexpr int32_t kErrNoBench = -37008;
constexpr int32_t kErrNoModel = -37009;
constexpr int32_t kErrConfig = -37051;
constexpr int32_t kErrTable = -37052;

constexpr StatusText kStatusTexts[] = {
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrHandle, "Invalid ROUTE handle"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {ROUTE_ERR_CONNECTION, "Connection failed"},
    {kErrSetting, "Invalid routing command"},
    {kErrValue, "Value out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrNoModel, "Routing model not available"},
    {ROUTE_ERR_NOT_CONFIGURED, "No routing configured"},
    {kErrConfig, "Cannot read the routing configuration"},
    {kErrTable, "Routing table not found"},
};

// ROUTE opens no device by resource descriptor: its not-present code is never returned.
constexpr ClassLibrary kRoute = {"ROUTE",     kStatusTexts, kErrContext,
                                 kErrNoBench, kErrHandle,   kErrNullPointer,
                                 kErrSetting, kErrValue,    kErrTable};

constexpr const char* kVersion = "ROUTE 1.0.0 (virtual bench)";
constexpr const char* kTableKey = "RoutingTable";
constexpr long kSoftwareFile = 1;

struct Routing {
    std::string bench;
    std::string table; // section of the software configuration
};

ClassSessions<Routing> g_routings;

} // namespace

extern "C" {

int32_t ROUTE_Setup(long context, const char* benchSection, int32_t* handle, int32_t* warning,
                    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    ClassLibCall call(kRoute, __func__, FormatArgs(context, benchSection, handle), context, warning,
                      error, message);
    if (handle) {
        *handle = -1;
    }
    if (call.early()) {
        return call.finish(call.early());
    }
    if (!benchSection || !handle) {
        return call.finish(kErrNullPointer);
    }
    std::string problem;
    ConfigKey table;
    if (!kora::drivers::ReadConfigKey(kSoftwareFile, benchSection, kTableKey, &table, &problem)) {
        return call.finish(kErrConfig, problem);
    }
    if (!table.found || table.value.empty()) {
        return call.finish(ROUTE_ERR_NOT_CONFIGURED, std::string("for bench ") + benchSection);
    }
    bool exists = false;
    std::vector<std::pair<std::string, std::string>> keys;
    if (!kora::drivers::ReadConfigSection(kSoftwareFile, table.value, &exists, &keys, &problem)) {
        return call.finish(kErrConfig, problem);
    }
    if (!exists) {
        return call.finish(kErrTable, std::string("bench ") + benchSection + ": " + kTableKey +
                                          " = " + table.value +
                                          " names no section of the "
                                          "software configuration");
    }
    *handle = g_routings.open(call.driverCall(), Routing{benchSection, table.value});
    return call.finish(0);
}

int32_t ROUTE_Cleanup(long context, long handle, int32_t* warning, int32_t* error,
                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::CleanupSession(kRoute, g_routings, __func__, context, handle, warning,
                                         error, message);
}

int32_t ROUTE_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE], int32_t* warning,
                          int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::LibVersion(kRoute, __func__, context, version, kVersion, warning, error,
                                     message);
}

int32_t ROUTE_Execute(long context, long handle, const char* command, int32_t* status,
                      int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::WithClassSession(
        kRoute, g_routings, __func__, FormatArgs(context, handle, command), context, handle, status,
        error, message, [&](Routing& r, ClassLibCall&) -> Outcome {
            if (!command) {
                return kErrNullPointer;
            }
            std::string_view rest = command;
            for (;;) {
                const auto comma = rest.find(',');
                const std::string_view one = rest.substr(0, comma);
                if (one.find('>') != std::string_view::npos) {
                    return {kErrNoModel, std::string("'")
                                             .append(one)
                                             .append("' on bench ")
                                             .append(r.bench)
                                             .append(" (table ")
                                             .append(r.table)
                                             .append(")")};
                }
                const bool disconnect = one.find('|') != std::string_view::npos || one == "%";
                const bool settle = one == "?#" || one.empty();
                if (!disconnect && !settle) {
                    return {kErrSetting, std::string("'").append(one).append("'")};
                }
                if (comma == std::string_view::npos) {
                    break;
                }
                rest.remove_prefix(comma + 1);
            }
            return 0;
        });
}

int32_t ROUTE_GetDisplayString(long context, long handle, char* buffer, long size, int32_t* length,
                               int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::WithClassSession(
        kRoute, g_routings, __func__, FormatArgs(context, handle, kora::vbench::kOut, size, length),
        context, handle, warning, error, message, [&](Routing&, ClassLibCall&) -> Outcome {
            if (!length) {
                return kErrNullPointer;
            }
            if (buffer && size < 1) {
                return kora::drivers::BadValue(kRoute, "size", size, "at least 1 with a buffer");
            }
            // Nothing is connected (see above): the display is empty.
            *length = 0;
            if (buffer) {
                buffer[0] = '\0';
            }
            return 0;
        });
}

} // extern "C"
