// DCPWR: the DC power class library over the virtual bench: the session of a bench, its supplies
// and the names of their channels. The channel calls are in dcpwr_channel.cpp.
//
// DCPWR_Setup reads the bench section's keys "DCPwrSupply", "DCPwrSupply2", "DCPwrSupply3", ...
// of the software configuration, up to the first one missing. Each value names a supply (the text
// after "->" when it holds one):
// - a device of the physical layer file ([device->NAME] with Type, ResourceDesc, DriverOption):
//   the supply itself; or
// - a logical name (section "LogicalNames") whose section has the key "DCPWRChannelTable": every
//   key of that table is a logical channel name and its value a channel "DEVICE!CHn", whose
//   device is then a supply of the bench.
// Every supply must be a device of the station (its ResourceDesc), unless its DriverOption holds
// "Simulate=1". Channels are "DEVICE!CH1" ("CH1" and "CH2" for the types PSU and PSU12, "CH1"
// alone for any other type), the logical names of the DCPWRChannelTable, and the names of the
// bench's AppChannelTable whose value is such a channel. Names match without regard to case.
//
// A supply of type PSU or PSU12 that is not simulated is a power-supply module: DCPWR_Setup opens
// its resource-manager session (resource = the bench section, device "device->NAME") and, when it
// is the device's first session, its module driver (rspsu_InitWithOptions with a reset) and
// stores the driver's session with the resource manager, so that set-up calls and other steps
// reach the same module (a simulated module gets a simulated driver session);
// DCPWR_Instrument_Get_Handle answers that driver session, and DCPWR_Cleanup closes the
// resource-manager session and, with the last one, the driver. Every channel drives the supply's
// one model on the bench (vbench/modules/psu.h), the same the module driver drives. Any other
// supply (an electronic load of another type) has no module driver: its handle is a number of its
// own, counted up from 1000001 across all sessions, that names it to other libraries.
#include <dcpwr.h>
#include <resmgr.h>
#include <rspsu.h>

#include "dcpwr_state.h"

#include <map>
#include <set>

using kora::drivers::ClassLibCall;
using kora::drivers::ConfigKey;
using kora::drivers::DeviceNameOf;
using kora::drivers::Outcome;
using kora::drivers::ReadConfigKey;
using kora::drivers::ReadConfigSection;
using kora::drivers::UpperCase;
using namespace kora::drivers::dcpwr;
using kora::vbench::FormatArgs;

namespace kora::drivers::dcpwr {

ClassSessions<Session> g_sessions;

namespace {

constexpr const char* kVersion = "DCPWR 1.0.0 (virtual bench)";
constexpr const char* kSupplyKey = "DCPwrSupply";
constexpr const char* kTableKey = "DCPWRChannelTable";
constexpr const char* kAppTableKey = "AppChannelTable";
constexpr const char* kLogicalNames = "LogicalNames";
constexpr long kSoftwareFile = 1;
constexpr long kPhysicalFile = 0;

std::atomic<int32_t> g_nextOther{1000001};

bool IsModule(const std::string& type) {
    const std::string t = UpperCase(type.c_str());
    return t == "PSU" || t == "PSU12";
}

// Opens the module driver session of a supply through the resource manager.
Outcome OpenModule(const std::string& bench, Supply& s, const std::string& options) {
    int32_t warning = 0, error = 0, first = 0, session = -1;
    char message[RESMGR_MESSAGE_SIZE] = {};
    const std::string device = "device->" + s.name;
    RESMGR_Alloc_Resource(0, bench.c_str(), &s.resource, &warning, &error, message);
    if (error >= 0) {
        RESMGR_Open_Session(0, s.resource, device.c_str(), &session, &first, &warning, &error,
                            message);
    }
    if (error < 0) {
        return {kErrConfig, message};
    }
    if (!first) {
        int32_t handle = 0;
        RESMGR_Get_Session_Handle(0, s.resource, device.c_str(), &handle, &warning, &error,
                                  message);
        s.moduleHandle = error < 0 ? 0 : handle;
        return 0;
    }
    ViSession vi = 0;
    const ViStatus opened =
        rspsu_InitWithOptions(s.resourceDesc.c_str(), VI_FALSE, VI_TRUE, options.c_str(), &vi);
    if (opened < 0) {
        int32_t last = 0;
        RESMGR_Close_Session(0, s.resource, device.c_str(), &last, &warning, &error, message);
        return {kErrNotPresent,
                "rspsu_InitWithOptions of " + s.name + " answered " + std::to_string(opened)};
    }
    s.moduleHandle = vi;
    RESMGR_Set_Session_Handle(0, s.resource, device.c_str(), vi, &warning, &error, message);
    return 0;
}

void CloseModule(Supply& s) {
    if (s.resource == 0) {
        return;
    }
    int32_t warning = 0, error = 0, last = 0;
    char message[RESMGR_MESSAGE_SIZE] = {};
    const std::string device = "device->" + s.name;
    RESMGR_Close_Session(0, s.resource, device.c_str(), &last, &warning, &error, message);
    if (error >= 0 && last && s.moduleHandle > 0) {
        rspsu_close(s.moduleHandle);
    }
    RESMGR_Free_Resource(0, s.resource, &warning, &error, message);
    s.resource = 0;
    s.moduleHandle = 0;
}

int ChannelCount(const std::string& type) {
    const std::string t = UpperCase(type.c_str());
    return t == "PSU" || t == "PSU12" ? 2 : 1;
}

// Builds the session of one bench section from the configuration.
class SessionBuilder {
  public:
    SessionBuilder(const DriverCall& call, std::string bench) : call_(call) {
        session_.bench = std::move(bench);
    }

    Outcome build() {
        for (int n = 1;; ++n) {
            const std::string key = n == 1 ? kSupplyKey : kSupplyKey + std::to_string(n);
            ConfigKey value;
            if (!ReadConfigKey(kSoftwareFile, session_.bench, key, &value, &problem_)) {
                return {kErrConfig, problem_};
            }
            if (!value.found) {
                break;
            }
            if (Outcome o = addSupplyValue(key, DeviceNameOf(value.value)); o.status) {
                return o;
            }
        }
        if (session_.supplies.empty()) {
            return {DCPWR_ERR_NO_CHANNELS, std::string("no key ") + kSupplyKey +
                                               " in bench section '" + session_.bench + "'"};
        }
        return addAppChannels();
    }

    Session take() { return std::move(session_); }
    // Closes what build() opened, when the session is not taken.
    void abandon() {
        for (auto& s : session_.supplies) {
            CloseModule(s);
        }
    }

  private:
    // The value of a DCPwrSupply key: a device, else a logical DCPWR name.
    Outcome addSupplyValue(const std::string& key, const std::string& name) {
        bool exists = false;
        std::vector<std::pair<std::string, std::string>> keys;
        if (!ReadConfigSection(kPhysicalFile, "device->" + name, &exists, &keys, &problem_)) {
            return {kErrConfig, problem_};
        }
        if (exists) {
            return addSupply(name);
        }
        ConfigKey section, table;
        if (!ReadConfigKey(kSoftwareFile, kLogicalNames, name, &section, &problem_) ||
            (section.found &&
             !ReadConfigKey(kSoftwareFile, section.value, kTableKey, &table, &problem_))) {
            return {kErrConfig, problem_};
        }
        if (!section.found || !table.found) {
            return {kErrSupply, key + " = " + name + ": neither a [device->" + name +
                                    "] section of the physical layer file nor a logical name "
                                    "with a " +
                                    kTableKey};
        }
        if (!ReadConfigSection(kSoftwareFile, table.value, &exists, &keys, &problem_)) {
            return {kErrConfig, problem_};
        }
        if (!exists) {
            return {kErrSupply, kTableKey + std::string(" [") + table.value + "] not found"};
        }
        for (const auto& [logical, physical] : keys) {
            const auto bang = physical.find('!');
            if (bang == std::string::npos) {
                return {kErrChannel, table.value + ": " + logical + " = " + physical +
                                         " is no channel DEVICE!CHn"};
            }
            if (Outcome o = addSupply(physical.substr(0, bang)); o.status) {
                return o;
            }
            if (Outcome o = addLogical(logical, physical, table.value); o.status) {
                return o;
            }
        }
        return 0;
    }

    Outcome addSupply(const std::string& name) {
        for (const auto& s : session_.supplies) {
            if (UpperCase(s.name.c_str()) == UpperCase(name.c_str())) {
                return 0;
            }
        }
        const std::string section = "device->" + name;
        ConfigKey type, resource, options;
        if (!ReadConfigKey(kPhysicalFile, section, "Type", &type, &problem_) ||
            !ReadConfigKey(kPhysicalFile, section, "ResourceDesc", &resource, &problem_) ||
            !ReadConfigKey(kPhysicalFile, section, "DriverOption", &options, &problem_)) {
            return {kErrConfig, problem_};
        }
        if (!resource.found) {
            return {kErrConfig, "[" + section + "] of the physical layer file has no ResourceDesc"};
        }
        Supply s;
        s.name = name;
        s.type = type.value;
        s.resourceDesc = resource.value;
        s.simulated = OptionSimulates(options.value.c_str());
        const ViStatus opened =
            OpenStationDevice(call_, s.resourceDesc.c_str(), s.simulated, &s.device);
        if (opened == kErrNoBench) {
            return kErrNoBench;
        }
        if (opened != VI_SUCCESS) {
            return {kErrNotPresent, "no device of the station has the resource descriptor '" +
                                        s.resourceDesc + "' (supply " + name + ")"};
        }
        s.channels.resize(static_cast<std::size_t>(ChannelCount(s.type)));
        for (auto& c : s.channels) {
            ResetChannel(c);
        }
        if (IsModule(s.type)) {
            if (Outcome o = OpenModule(session_.bench, s, options.value); o.status) {
                return o;
            }
        } else {
            s.moduleHandle = g_nextOther++;
        }
        session_.supplies.push_back(std::move(s));
        return 0;
    }

    Outcome addLogical(const std::string& logical, const std::string& physical,
                       const std::string& where) {
        ChannelRef ref;
        if (Outcome o = FindPhysical(session_, physical, &ref); o.status) {
            return {o.status, where + ": " + logical + " = " + physical + ": " + o.detail};
        }
        session_.logical[UpperCase(logical.c_str())] = physical;
        return 0;
    }

    // The names of the bench's application channel table that name a supply's channel.
    Outcome addAppChannels() {
        ConfigKey table;
        if (!ReadConfigKey(kSoftwareFile, session_.bench, kAppTableKey, &table, &problem_)) {
            return {kErrConfig, problem_};
        }
        if (!table.found) {
            return 0;
        }
        bool exists = false;
        std::vector<std::pair<std::string, std::string>> keys;
        if (!ReadConfigSection(kSoftwareFile, table.value, &exists, &keys, &problem_)) {
            return {kErrConfig, problem_};
        }
        for (const auto& [logical, physical] : keys) {
            ChannelRef ref;
            if (FindPhysical(session_, physical, &ref).status == 0) {
                session_.logical.emplace(UpperCase(logical.c_str()), physical);
            }
        }
        return 0;
    }

    const DriverCall& call_;
    Session session_;
    std::string problem_;
};

} // namespace

Outcome FindPhysical(Session& session, const std::string& physical, ChannelRef* ref) {
    const auto bang = physical.find('!');
    if (bang == std::string::npos) {
        return {kErrChannel, "'" + physical + "'"};
    }
    const std::string device = UpperCase(physical.substr(0, bang).c_str());
    const std::string channel = UpperCase(physical.substr(bang + 1).c_str());
    for (auto& s : session.supplies) {
        if (UpperCase(s.name.c_str()) != device) {
            continue;
        }
        for (std::size_t c = 0; c < s.channels.size(); ++c) {
            if (channel == "CH" + std::to_string(c + 1)) {
                ref->supply = &s;
                ref->index = c;
                return 0;
            }
        }
        return {kErrChannel,
                "'" + physical + "': " + s.name + " has the channels CH1" +
                    (s.channels.size() > 1 ? " to CH" + std::to_string(s.channels.size())
                                           : std::string())};
    }
    return {kErrChannel, "'" + physical + "': no supply " + physical.substr(0, bang) +
                             " in the DC power session of bench " + session.bench};
}

vbench::PsuModule& ModelOf(ClassLibCall& call, const Supply& supply) {
    return vbench::PsuOf(*call.bench(), supply.device.empty() ? supply.name : supply.device);
}

Outcome FindChannel(Session& session, const char* channel, ChannelRef* ref) {
    if (!channel) {
        return {kErrNullPointer, "channel"};
    }
    const std::string text = channel;
    if (text.find('!') != std::string::npos) {
        return FindPhysical(session, text, ref);
    }
    auto it = session.logical.find(UpperCase(channel));
    if (it == session.logical.end()) {
        return {kErrChannel, "'" + text + "' is neither DEVICE!CHn nor a channel name of bench " +
                                 session.bench};
    }
    return FindPhysical(session, it->second, ref);
}

} // namespace kora::drivers::dcpwr

extern "C" {

int32_t DCPWR_Setup(long context, const char* benchSection, int32_t* session, int32_t* warning,
                    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    ClassLibCall call(kDcpwr, __func__, FormatArgs(context, benchSection, session), context,
                      warning, error, message);
    if (session) {
        *session = -1;
    }
    if (call.early()) {
        return call.finish(call.early());
    }
    if (!benchSection || !session) {
        return call.finish(kErrNullPointer);
    }
    SessionBuilder builder(call.driverCall(), benchSection);
    if (Outcome o = builder.build(); o.status) {
        builder.abandon();
        return call.finish(o.status, o.detail);
    }
    *session = g_sessions.openOnDevice(call.driverCall(), builder.take(),
                                       std::string("DCPWR ") + benchSection);
    return call.finish(0);
}

int32_t DCPWR_Cleanup(long context, long session, int32_t* warning, int32_t* error,
                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::WithClassSession(kDcpwr, g_sessions, __func__,
                                           FormatArgs(context, session), context, session, warning,
                                           error, message, [&](Session& s, ClassLibCall&) {
                                               for (auto& supply : s.supplies) {
                                                   CloseModule(supply);
                                               }
                                               g_sessions.close(session);
                                               return Outcome(0);
                                           });
}

int32_t DCPWR_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE], int32_t* warning,
                          int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::LibVersion(kDcpwr, __func__, context, version, kVersion, warning, error,
                                     message);
}

int32_t DCPWR_Instrument_Get_Handle(long context, long session, const char* channel,
                                    ViSession* moduleHandle, char moduleChannel[256],
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, moduleHandle, kora::vbench::kOut), context,
        session, channel, warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
            if (!moduleHandle) {
                return kErrNullPointer;
            }
            *moduleHandle = o.supply.moduleHandle;
            if (moduleChannel) {
                kora::drivers::CopyOut(moduleChannel, 256, "CH" + std::to_string(o.ch + 1));
            }
            return 0;
        });
}

} // extern "C"
