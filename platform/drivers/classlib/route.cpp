// ROUTE: the switching class library over the virtual bench: the routing of a bench.
//
// ROUTE_Setup reads the bench section's key "RoutingTable" of the software configuration: the
// name of the section that lists the bench's relays, "RELAY = POINT_A, POINT_B" one a line. A
// bench without the key has no routing (ROUTE_ERR_NOT_CONFIGURED, handle -1); a key that names
// no section is refused, and so is a table with a line that is no relay. The bench section's
// AppChannelTable, when it has one, supplies the application channel names that commands may use
// instead of the physical point names.
//
// The first session on a bench's routing table starts from open relays: ROUTE_Setup resets the
// switching system as the initialisation of a switching library does, so that connections a
// program left behind (its post-routing skipped after a failure, a program stopped half-way) do not
// join the next program's. Sessions opened while another is open on the same table share its
// connections. A session that the thread's earlier program never closed (its clean-up broke off at
// a failure) no longer counts once the thread's next program sets up the resource manager.
//
// ROUTE_Execute carries out a routing text and ROUTE_GetDisplayString shows the connections; the
// command language, the switching rules and the display format are those of the routing model
// (vbench/modules/routing.h). The relays are per bench and per table: every session on the same
// bench and table switches the same relays. Without an active bench a session keeps its
// connections on its own, with no circuit behind them.
//
// Results of ROUTE_Execute:
//   0       done
//   37101   warning: a disconnection found nothing to undo ("A|B" of points that were not
//           connected by "A>B", "A||" of a point connected to nothing)
//   37102   warning: a connection whose points were joined already (nothing switched)
//   -37005  connections could not be made: the message's first line counts them, then one line
//           "A > B" per failed connection, the names as written in the command; the other items
//           of the list were carried out
//   -37006  an item of the text is no command of the language (nothing switched)
//   -37010  a name is no point of the routing table, nor an application channel of the bench
//           that names one (nothing switched)
// ROUTE_GetDisplayString warns 37103 when the display did not fit the buffer.
#include <route.h>

#include "classlib.h"

#include <vbench/modules/routing.h>

#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using kora::drivers::ClassLibCall;
using kora::drivers::ClassLibrary;
using kora::drivers::ClassSessions;
using kora::drivers::ConfigKey;
using kora::drivers::Outcome;
using kora::drivers::StatusText;
using kora::vbench::FormatArgs;
using kora::vbench::RoutingModel;
using kora::vbench::RoutingOutcome;

namespace {

constexpr int32_t kErrContext = -37001;
constexpr int32_t kErrHandle = -37002;
constexpr int32_t kErrNullPointer = -37004;
constexpr int32_t kErrSetting = -37006;
constexpr int32_t kErrValue = -37007;
constexpr int32_t kErrNoBench = -37008;
constexpr int32_t kErrUnknownPoint = -37010;
constexpr int32_t kErrConfig = -37051;
constexpr int32_t kErrTable = -37052;
constexpr int32_t kErrTableLine = -37053;
constexpr int32_t kWarnNotConnected = 37101;
constexpr int32_t kWarnConnectedAlready = 37102;
constexpr int32_t kWarnTruncated = 37103;

constexpr StatusText kStatusTexts[] = {
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrHandle, "Invalid ROUTE handle"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {ROUTE_ERR_CONNECTION, "Connection failed"},
    {kErrSetting, "Invalid routing command"},
    {kErrValue, "Value out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrUnknownPoint, "Unknown routing point"},
    {ROUTE_ERR_NOT_CONFIGURED, "No routing configured"},
    {kErrConfig, "Cannot read the routing configuration"},
    {kErrTable, "Routing table not found"},
    {kErrTableLine, "Invalid routing table"},
    {kWarnNotConnected, "Points were not connected"},
    {kWarnConnectedAlready, "Points were connected already"},
    {kWarnTruncated, "Routing display truncated to the buffer"},
};

// ROUTE opens no device by resource descriptor: its not-present code is never returned.
constexpr ClassLibrary kRoute = {"ROUTE",     kStatusTexts, kErrContext,
                                 kErrNoBench, kErrHandle,   kErrNullPointer,
                                 kErrSetting, kErrValue,    kErrTable};

constexpr const char* kVersion = "ROUTE 1.0.0 (virtual bench)";
constexpr const char* kTableKey = "RoutingTable";
constexpr const char* kResetCommand = "||";
constexpr const char* kChannelTableKey = "AppChannelTable";
constexpr long kSoftwareFile = 1;

struct Routing {
    std::string bench;
    std::string table; // section of the software configuration
    kora::vbench::RoutingTable relays;
    kora::vbench::ChannelAliases aliases;
    std::shared_ptr<RoutingModel> detached; // the connections of a session without a bench
};

ClassSessions<Routing> g_routings;

std::string Fold(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The switching system a session works on: the bench's, or the session's own without a bench.
RoutingModel& ModelOf(Routing& r, const ClassLibCall& call) {
    if (kora::vbench::VirtualBench* bench = call.bench()) {
        RoutingModel& model = kora::vbench::RoutingOf(*bench, r.table);
        model.configure(r.relays);
        return model;
    }
    if (!r.detached) {
        r.detached = std::make_shared<RoutingModel>(r.table);
    }
    r.detached->configure(r.relays);
    return *r.detached;
}

// The lines of a -37005 message after its first: whole lines only, as many as the message holds.
std::string FailedConnections(const RoutingOutcome& o) {
    std::string text = std::to_string(o.failed.size()) + " of " + std::to_string(o.connections) +
                       " connections not made (" + std::to_string(o.busy) +
                       " blocked by points in use, " + std::to_string(o.unreachable) +
                       " without any path)";
    const std::size_t room =
        CLASSLIB_MESSAGE_SIZE - 1 - std::string_view("Connection failed: ").size();
    for (const std::string& line : o.failed) {
        if (text.size() + 1 + line.size() > room) {
            break;
        }
        text += "\n" + line;
    }
    return text;
}

Outcome Warnings(const RoutingOutcome& o) {
    std::string detail;
    for (const std::string& item : o.notConnected) {
        detail += (detail.empty() ? "'" : ", '") + item + "' (not connected)";
    }
    for (const std::string& item : o.alreadyConnected) {
        detail += (detail.empty() ? "'" : ", '") + item + "' (connected already)";
    }
    return {o.notConnected.empty() ? kWarnConnectedAlready : kWarnNotConnected, detail};
}

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
    Routing routing{benchSection, table.value, {}, {}, nullptr};
    auto relays = kora::vbench::RoutingTable::FromKeys(keys, &problem);
    if (!relays) {
        return call.finish(kErrTableLine, "[" + table.value + "] " + problem);
    }
    routing.relays = std::move(*relays);
    // Application channel names are a convenience: a bench without a channel table has none.
    ConfigKey channels;
    if (!kora::drivers::ReadConfigKey(kSoftwareFile, benchSection, kChannelTableKey, &channels,
                                      &problem)) {
        return call.finish(kErrConfig, problem);
    }
    if (channels.found && !channels.value.empty()) {
        if (!kora::drivers::ReadConfigSection(kSoftwareFile, channels.value, &exists, &keys,
                                              &problem)) {
            return call.finish(kErrConfig, problem);
        }
        for (const auto& [name, physical] : keys) {
            routing.aliases.emplace(Fold(Trimmed(name)), Trimmed(physical));
        }
    }
    const std::string folded = Fold(routing.table);
    if (call.bench() && !g_routings.anyHeldOnBench(call.driverCall(), [&](const Routing& r) {
            return Fold(r.table) == folded;
        })) {
        ModelOf(routing, call).execute(kResetCommand, {});
    }
    *handle = g_routings.openOnDevice(call.driverCall(), std::move(routing),
                                      std::string("ROUTE ") + benchSection);
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
        error, message, [&](Routing& r, ClassLibCall& call) -> Outcome {
            if (!command) {
                return kErrNullPointer;
            }
            const RoutingOutcome o = ModelOf(r, call).execute(command, r.aliases);
            switch (o.failure) {
            case RoutingOutcome::Failure::Syntax:
                return {kErrSetting, o.problem};
            case RoutingOutcome::Failure::UnknownPoint:
                return {kErrUnknownPoint, o.problem};
            case RoutingOutcome::Failure::Connection:
                return {ROUTE_ERR_CONNECTION, FailedConnections(o)};
            case RoutingOutcome::Failure::None:
                break;
            }
            if (!o.notConnected.empty() || !o.alreadyConnected.empty()) {
                return Warnings(o);
            }
            return 0;
        });
}

int32_t ROUTE_GetDisplayString(long context, long handle, char* buffer, long size, int32_t* length,
                               int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::WithClassSession(
        kRoute, g_routings, __func__, FormatArgs(context, handle, kora::vbench::kOut, size, length),
        context, handle, warning, error, message, [&](Routing& r, ClassLibCall& call) -> Outcome {
            if (!length) {
                return kErrNullPointer;
            }
            if (buffer && size < 1) {
                return kora::drivers::BadValue(kRoute, "size", size, "at least 1 with a buffer");
            }
            const std::string display = ModelOf(r, call).display();
            *length = static_cast<int32_t>(display.size());
            if (!buffer) {
                return 0;
            }
            kora::drivers::CopyOut(buffer, static_cast<std::size_t>(size), display);
            if (display.size() > static_cast<std::size_t>(size - 1)) {
                return {kWarnTruncated, std::to_string(size - 1) + " of " +
                                            std::to_string(display.size()) + " characters"};
            }
            return 0;
        });
}

} // extern "C"
