// UTIL: the utility class library over the virtual bench: the module search of the module buses
// and the high-resolution time stamp.
//
// The modules on a bus are the station's devices whose Type is a module code of the table below
// and whose ResourceDesc "CAN<n>::<m>::<slot>" puts them on that bus (see
// vbench/bench/station.h). A search lists them in the order of the physical layer file. Their
// attributes:
//   1 kind: the number of the code in the table (integer); the code itself as the module name
//     (text)
//   2 node address on the bus: 32 + slot (integer)
//   3 slot (integer)
//   4 resource descriptor, as written in the physical layer file
//   5 driver library "<prefix>.dll", 6 driver prefix ("rspsam", ...)
//   7 serial number "VB-<code>-<n><m>-<slot>" ("VB-PSAM-00-03" for CAN0::0::3), 8 hardware
//     revision "1.0"
// A device whose Type is a plain number is a module of that kind that this bench knows no code
// for (a newer module, or one that answers with garbage): it has an empty name, library and prefix.
// Integer attributes are also handed out as decimal texts; the text attributes have no integer
// value. The search needs no UTIL_Setup; UTIL_Setup and UTIL_Cleanup count the library's users.
#include <util.h>

#include "classlib.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using kora::drivers::BadValue;
using kora::drivers::ClassLibCall;
using kora::drivers::ClassLibrary;
using kora::drivers::ClassSessions;
using kora::drivers::Outcome;
using kora::drivers::StatusText;
using kora::drivers::UpperCase;
using kora::vbench::FormatArgs;

namespace {

constexpr int32_t kErrContext = -21001;
constexpr int32_t kErrList = -21002;
constexpr int32_t kErrNullPointer = -21004;
constexpr int32_t kErrBus = -21005;
constexpr int32_t kErrIndex = -21006;
constexpr int32_t kErrNoBench = -21007;
constexpr int32_t kErrAttribute = -21008;
constexpr int32_t kErrTextAttribute = -21009;
constexpr int32_t kErrSortKey = -21010;
constexpr int32_t kErrNotSetUp = -21011;

constexpr StatusText kStatusTexts[] = {
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrList, "Invalid module list handle"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrBus, "Invalid bus name"},
    {kErrIndex, "Module index out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrAttribute, "Unknown module attribute"},
    {kErrTextAttribute, "The module attribute is a text"},
    {kErrSortKey, "Invalid sort key"},
    {kErrNotSetUp, "UTIL_Cleanup without UTIL_Setup"},
};

// UTIL opens no device: the not-present code and the setting code are never returned.
constexpr ClassLibrary kUtil = {"UTIL",          kStatusTexts, kErrContext, kErrNoBench, kErrList,
                                kErrNullPointer, kErrBus,      kErrIndex,   kErrBus};

constexpr const char* kVersion = "UTIL 1.0.0 (virtual bench)";
constexpr int32_t kNodeAddressBase = 32;
constexpr const char* kHardwareRevision = "1.0";

struct ModuleKind {
    int32_t kind;
    const char* code;
    const char* prefix;
};

// The module codes a search knows, with their kind numbers and drivers.
constexpr ModuleKind kModuleKinds[] = {
    {1, "PSAM", "rspsam"},    {2, "PAM", "rspam"},     {3, "PDFT", "rspdft"},
    {4, "PFG", "rspfg"},      {5, "PHDT", "rsphdt"},   {6, "PICT", "rspict"},
    {7, "PIO1", "rspio1"},    {8, "PIO2", "rspio2"},   {9, "PSU", "rspsu"},
    {10, "PMB", "rspmb"},     {11, "PSM1", "rspsm1"},  {12, "PSM2", "rspsm2"},
    {13, "PSYS1", "rspsys"},  {14, "PSYS2", "rspsys"}, {15, "PSU12", "rspsu"},
    {16, "PIO3B", "rspio3b"}, {17, "PSM3", "rspsm3"},  {18, "PSM4", "rspsm4"},
    {19, "PSM5", "rspsm5"},
};

struct Module {
    ModuleKind kind;
    int32_t slot;
    std::string resource;
    std::string serial;
};

using ModuleList = std::vector<Module>;

ClassSessions<ModuleList> g_lists;
std::atomic<int> g_users{0};

std::optional<ModuleKind> KindOf(const std::string& type) {
    const std::string upper = UpperCase(type.c_str());
    for (const auto& k : kModuleKinds) {
        if (upper == k.code) {
            return k;
        }
    }
    if (!type.empty() && type.size() < 6 &&
        std::all_of(type.begin(), type.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return ModuleKind{std::stoi(type), "", ""};
    }
    return std::nullopt;
}

// "<letters><n>::<m>" as a bus name.
bool ValidBus(const char* bus) {
    const auto address = kora::vbench::ModuleAddress(std::string(bus) + "::0");
    return address && UpperCase(address->bus.c_str()) == UpperCase(bus);
}

template <typename Body>
int32_t WithModule(const char* function, std::string arguments, long context, long list, long index,
                   int32_t* warning, int32_t* error, char* message, Body&& body) {
    return kora::drivers::WithClassSession(
        kUtil, g_lists, function, std::move(arguments), context, list, warning, error, message,
        [&](ModuleList& modules, ClassLibCall&) -> Outcome {
            if (index < 0 || static_cast<std::size_t>(index) >= modules.size()) {
                return BadValue(
                    kUtil, "index", index,
                    ("0 to " + std::to_string(static_cast<long>(modules.size()) - 1)).c_str());
            }
            return body(modules[static_cast<std::size_t>(index)]);
        });
}

// The integer of attributes 1 to 3.
bool IntegerAttribute(const Module& m, long attribute, int32_t* value) {
    switch (attribute) {
    case UTIL_ATTR_KIND:
        *value = m.kind.kind;
        return true;
    case UTIL_ATTR_BUS_ADDRESS:
        *value = kNodeAddressBase + m.slot;
        return true;
    case UTIL_ATTR_SLOT:
        *value = m.slot;
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" {

int32_t UTIL_Setup(long context, int32_t* warning, int32_t* error,
                   char message[CLASSLIB_MESSAGE_SIZE]) {
    ClassLibCall call(kUtil, __func__, FormatArgs(context), context, warning, error, message);
    if (call.early()) {
        return call.finish(call.early());
    }
    ++g_users;
    return call.finish(0);
}

int32_t UTIL_Cleanup(long context, int32_t* warning, int32_t* error,
                     char message[CLASSLIB_MESSAGE_SIZE]) {
    ClassLibCall call(kUtil, __func__, FormatArgs(context), context, warning, error, message);
    if (call.early()) {
        return call.finish(call.early());
    }
    int users = g_users.load();
    while (users > 0 && !g_users.compare_exchange_weak(users, users - 1)) {
    }
    return call.finish(users > 0 ? 0 : kErrNotSetUp);
}

int32_t UTIL_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE], int32_t* warning,
                         int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::LibVersion(kUtil, __func__, context, version, kVersion, warning, error,
                                     message);
}

int32_t UTIL_Module_Search(long context, const char* bus, int32_t* list, int32_t* count,
                           int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    ClassLibCall call(kUtil, __func__, FormatArgs(context, bus, list, count), context, warning,
                      error, message);
    if (list) {
        *list = -1;
    }
    if (count) {
        *count = 0;
    }
    if (call.early()) {
        return call.finish(call.early());
    }
    if (!bus || !list || !count) {
        return call.finish(kErrNullPointer);
    }
    if (!ValidBus(bus)) {
        return call.finish(kErrBus, std::string("'") + bus + "' (CAN<n>::<m>)");
    }
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    ModuleList modules;
    if (const auto* station = call.bench()->station()) {
        for (const auto& d : station->devices) {
            const auto kind = KindOf(d.type);
            const auto address = kora::vbench::ModuleAddress(d.resource);
            if (!kind || !address || UpperCase(address->bus.c_str()) != UpperCase(bus)) {
                continue;
            }
            const auto colons = address->bus.find("::");
            char serial[96];
            std::snprintf(serial, sizeof serial, "VB-%s-%d%s-%02d", kind->code, address->frame,
                          address->bus.substr(colons + 2).c_str(), address->slot);
            modules.push_back({*kind, address->slot, d.resource, serial});
        }
    }
    *count = static_cast<int32_t>(modules.size());
    *list = g_lists.open(call.driverCall(), std::move(modules));
    return call.finish(0);
}

int32_t UTIL_Module_Sort_List(long context, long list, long sortKey, int32_t* warning,
                              int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::WithClassSession(
        kUtil, g_lists, __func__, FormatArgs(context, list, sortKey), context, list, warning, error,
        message, [&](ModuleList& modules, ClassLibCall&) -> Outcome {
            if (sortKey == UTIL_SORT_BY_KIND) {
                std::stable_sort(
                    modules.begin(), modules.end(),
                    [](const Module& a, const Module& b) { return a.kind.kind < b.kind.kind; });
            } else if (sortKey == UTIL_SORT_BY_SLOT) {
                std::stable_sort(modules.begin(), modules.end(),
                                 [](const Module& a, const Module& b) { return a.slot < b.slot; });
            } else {
                return {kErrSortKey, std::to_string(sortKey) + " (1 by kind, 2 by slot)"};
            }
            return 0;
        });
}

int32_t UTIL_Module_Attribute_Int(long context, long list, long index, long attribute,
                                  int32_t* value, int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithModule(__func__, FormatArgs(context, list, index, attribute, value), context, list,
                      index, warning, error, message, [&](const Module& m) -> Outcome {
                          if (!value) {
                              return kErrNullPointer;
                          }
                          if (IntegerAttribute(m, attribute, value)) {
                              return 0;
                          }
                          if (attribute >= UTIL_ATTR_RESOURCE_DESC &&
                              attribute <= UTIL_ATTR_HW_REVISION) {
                              return {kErrTextAttribute, std::to_string(attribute)};
                          }
                          return {kErrAttribute, std::to_string(attribute) + " (1 to 8)"};
                      });
}

int32_t UTIL_Module_Attribute_Text(long context, long list, long index, long attribute,
                                   char value[256], int32_t* warning, int32_t* error,
                                   char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithModule(
        __func__, FormatArgs(context, list, index, attribute, kora::vbench::kOut), context, list,
        index, warning, error, message, [&](const Module& m) -> Outcome {
            if (!value) {
                return kErrNullPointer;
            }
            std::string text;
            int32_t number = 0;
            switch (attribute) {
            case UTIL_ATTR_KIND:
                text = m.kind.code;
                break;
            case UTIL_ATTR_BUS_ADDRESS:
            case UTIL_ATTR_SLOT:
                IntegerAttribute(m, attribute, &number);
                text = std::to_string(number);
                break;
            case UTIL_ATTR_RESOURCE_DESC:
                text = m.resource;
                break;
            case UTIL_ATTR_DRIVER_LIBRARY:
                text = m.kind.prefix[0] ? std::string(m.kind.prefix) + ".dll" : std::string();
                break;
            case UTIL_ATTR_DRIVER_PREFIX:
                text = m.kind.prefix;
                break;
            case UTIL_ATTR_SERIAL_NUMBER:
                text = m.serial;
                break;
            case UTIL_ATTR_HW_REVISION:
                text = kHardwareRevision;
                break;
            default:
                return {kErrAttribute, std::to_string(attribute) + " (1 to 8)"};
            }
            kora::drivers::CopyOut(value, 256, text);
            return 0;
        });
}

int32_t UTIL_Module_Free_List(long context, long list, int32_t* warning, int32_t* error,
                              char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::CleanupSession(kUtil, g_lists, __func__, context, list, warning, error,
                                         message);
}

double UTIL_Hrestim_Time_Stamp(void) {
    kora::vbench::DriverCall call(kUtil.interface, __func__, "");
    double seconds = 0;
    if (call.bench()) {
        seconds = static_cast<double>(call.bench()->clock().nowNs()) * 1e-9;
    } else {
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    }
    call.finish(0);
    return seconds;
}

} // extern "C"
