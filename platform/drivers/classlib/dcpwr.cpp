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
// Each supply gets a module handle of its own (DCPWR_Instrument_Get_Handle), counted up from 1
// across all sessions; it names the supply's module to other libraries.
#include <dcpwr.h>

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

std::atomic<int32_t> g_nextModule{1};

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
        s.resource = resource.value;
        s.simulated = OptionSimulates(options.value.c_str());
        const ViStatus opened =
            OpenStationDevice(call_, s.resource.c_str(), s.simulated, &s.device);
        if (opened == kErrNoBench) {
            return kErrNoBench;
        }
        if (opened != VI_SUCCESS) {
            return {kErrNotPresent, "no device of the station has the resource descriptor '" +
                                        s.resource + "' (supply " + name + ")"};
        }
        s.moduleHandle = g_nextModule++;
        s.channels.resize(static_cast<std::size_t>(ChannelCount(s.type)));
        for (auto& c : s.channels) {
            ResetChannel(c);
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
        return call.finish(o.status, o.detail);
    }
    *session = g_sessions.open(call.driverCall(), builder.take());
    return call.finish(0);
}

int32_t DCPWR_Cleanup(long context, long session, int32_t* warning, int32_t* error,
                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::CleanupSession(kDcpwr, g_sessions, __func__, context, session, warning,
                                         error, message);
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
        session, channel, warning, error, message,
        [&](Supply& s, Channel&, std::size_t index) -> Outcome {
            if (!moduleHandle) {
                return kErrNullPointer;
            }
            *moduleHandle = s.moduleHandle;
            if (moduleChannel) {
                kora::drivers::CopyOut(moduleChannel, 256, "CH" + std::to_string(index + 1));
            }
            return 0;
        });
}

} // extern "C"
