// DIOMGR: the digital I/O manager class library over the virtual bench; sessions, channels and
// module handles. Ports, pattern runs and pattern sets are in diomgr_patterns.cpp.
//
// DIOMGR_Setup opens a session for a bench section of the software configuration (the section
// must be there). Its key DigitalPorts names the section of the bench's ports, one key per port:
// "PORT = CHANNEL, CHANNEL, ...", the first channel taking the first character of a pattern.
//
// Channels are named by text and keep the settings they are given. A channel "DEVICE!DIOn" of a
// digital functional test module of the station (vbench/modules/pdft.h) is that module's channel
// n in the circuit: its driver drives the terminal, its receiver reads it. Any other name keeps its
// settings only (and reads back its own drive when looped back).
// - Drivers (DIOMGR_ConfigureStimulus): "TRISTATE" and "TTL" with a high level above the low
//   level, both within -10..10 V; "ANALOG" with a high level within -10..10 V and a current limit
//   above 0 up to 0.1 A. Loopback needs a driver on the channel.
// - Receivers (DIOMGR_ConfigureResponse): "HYSTERESIS" or "WINDOW", thresholds within -10..10 V,
//   the high one not below the low one.
// - DIOMGR_Instrument_Get_Handle: a channel "DEVICE!PIN" names a pin of a module of the physical
//   layer file ([device->DEVICE]); the module must be a device of the station unless its
//   DriverOption holds "Simulate=1". The handle is the manager's resource-manager session on that
//   module (the same for every channel of the module in one session; rspdft takes it, see
//   diomgr_module.h); the module channel is the pin, "po1".."po4" in lower case for the power
//   outputs. The manager's module sessions end with DIOMGR_Cleanup.
#include <diomgr.h>

#include "diomgr_module.h"
#include "diomgr_state.h"

#include <vbench/modules/pdft.h>

#include <array>
#include <cctype>
#include <cmath>
#include <map>
#include <mutex>
#include <string>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::ClassLibCall;
using kora::drivers::ClassSessions;
using kora::drivers::ConfigKey;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using kora::drivers::StatusText;
using kora::drivers::UpperCase;
using kora::vbench::DigitalTestModule;
using kora::vbench::FormatArgs;

namespace kora::drivers::diomgr {

namespace {

constexpr StatusText kStatusTexts[] = {
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrSession, "Invalid DIOMGR session"},
    {kErrNotPresent, "Device not present"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrSetting, "Invalid setting"},
    {kErrValue, "Value out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrChannel, "Unknown digital channel"},
    {kErrConfig, "Cannot read the digital I/O configuration"},
    {kErrBench, "Bench section not found"},
    {kErrNoDriver, "The channel has no driver configured (DIOMGR_ConfigureStimulus)"},
    {kErrPort, "Unknown port"},
    {kErrPattern, "Invalid pattern"},
    {kErrPatternSet, "Unknown pattern set"},
    {kErrNoReceiver, "The channel receives nothing (no receiver and no loopback)"},
};

} // namespace

const ClassLibrary kDiomgr = {"DIOMGR",    kStatusTexts, kErrContext,
                              kErrNoBench, kErrSession,  kErrNullPointer,
                              kErrSetting, kErrValue,    kErrNotPresent};

ClassSessions<Manager> g_managers;

namespace {

constexpr const char* kVersion = "DIOMGR 1.0.0 (virtual bench)";
constexpr long kSoftwareFile = 1;
constexpr long kPhysicalFile = 0;
constexpr double kMaxLevel = 10;
constexpr double kMaxAnalogCurrent = 0.1;

constexpr std::array<const char*, 2> kResponses = {"STATUS", "RESULT"};
constexpr std::array<const char*, 4> kPowerOutputs = {"po1", "po2", "po3", "po4"};
constexpr const char* kStatusIdle = "IDLE";
constexpr const char* kStatusDone = "DONE";

// The module sessions handed out, for rspdft.
struct ModuleSession {
    std::weak_ptr<vbench::VirtualBench> bench;
    std::string device;
};
std::mutex g_modulesMutex;
std::map<long, ModuleSession> g_moduleSessions;

Outcome CheckLevel(const char* what, double volts) {
    if (!(std::fabs(volts) <= kMaxLevel)) {
        return BadValue(kDiomgr, what, volts, "-10 to 10 V");
    }
    return 0;
}

// A station device by name (without regard to case); its station name, or "".
std::string StationDeviceNamed(const vbench::VirtualBench* bench, const std::string& name) {
    if (!bench || !bench->station()) {
        return {};
    }
    for (const vbench::StationDevice& d : bench->station()->devices) {
        if (UpperCase(d.name.c_str()) == UpperCase(name.c_str())) {
            return d.name;
        }
    }
    return {};
}

// The module and pin of a channel "DEVICE!PIN".
Outcome ModuleOf(const ClassLibCall& call, Manager& m, const char* channel, int32_t* handle,
                 std::string* pin) {
    if (!channel) {
        return {kErrNullPointer, "channel"};
    }
    const std::string text = channel;
    const auto bang = text.find('!');
    if (bang == std::string::npos || bang == 0 || bang + 1 == text.size()) {
        return {kErrChannel, "'" + text + "' (a module channel is DEVICE!PIN)"};
    }
    const std::string device = text.substr(0, bang);
    *pin = text.substr(bang + 1);
    if (const char* power = MatchWord(pin->c_str(), kPowerOutputs)) {
        *pin = power;
    }
    const std::string key = UpperCase(device.c_str());
    if (auto it = m.modules.find(key); it != m.modules.end()) {
        *handle = it->second;
        return 0;
    }
    std::string problem;
    ConfigKey resource, options;
    const std::string section = "device->" + device;
    if (!ReadConfigKey(kPhysicalFile, section, "ResourceDesc", &resource, &problem) ||
        !ReadConfigKey(kPhysicalFile, section, "DriverOption", &options, &problem)) {
        return {kErrConfig, problem};
    }
    if (!resource.found) {
        return {kErrChannel, "'" + text + "': the physical layer file has no [" + section +
                                 "] with a ResourceDesc"};
    }
    std::string reached;
    const ViStatus opened = OpenStationDevice(call.driverCall(), resource.value.c_str(),
                                              OptionSimulates(options.value.c_str()), &reached);
    if (opened == kora::drivers::kErrNoBench) {
        return kErrNoBench;
    }
    if (opened != VI_SUCCESS) {
        return {kErrNotPresent, "no device of the station has the resource descriptor '" +
                                    resource.value + "' (module " + device + ")"};
    }
    *handle = LibrarySession(reached);
    m.modules[key] = *handle;
    std::lock_guard lock(g_modulesMutex);
    g_moduleSessions[*handle] = {vbench::VirtualBench::active(), reached};
    return 0;
}

void EndModuleSessions(Manager& m) {
    std::lock_guard lock(g_modulesMutex);
    for (const auto& [device, handle] : m.modules) {
        g_moduleSessions.erase(handle);
        EndLibrarySession(handle);
    }
    m.modules.clear();
}

} // namespace

DigitalChannel& ChannelOf(const ClassLibCall& call, Manager& m, const std::string& name) {
    const std::string key = UpperCase(name.c_str());
    auto [it, made] = m.channels.try_emplace(key);
    if (made) {
        const auto bang = name.find('!');
        if (bang != std::string::npos) {
            const std::string device = StationDeviceNamed(call.bench(), name.substr(0, bang));
            const int pin = DigitalTestModule::channelOf(name.substr(bang + 1));
            if (!device.empty() && pin >= 0) {
                it->second.device = device;
                it->second.pin = pin;
            }
        }
    }
    return it->second;
}

std::optional<std::string> ModuleDeviceOf(const vbench::DriverCall& call, long handle) {
    std::lock_guard lock(g_modulesMutex);
    auto it = g_moduleSessions.find(handle);
    if (it == g_moduleSessions.end() || !call.bench() ||
        it->second.bench.lock().get() != call.bench()) {
        return std::nullopt;
    }
    return it->second.device;
}

} // namespace kora::drivers::diomgr

using namespace kora::drivers::diomgr;

extern "C" {

int32_t DIOMGR_Setup(long context, const char* benchSection, int32_t* session, int32_t* warning,
                     int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    ClassLibCall call(kDiomgr, __func__, FormatArgs(context, benchSection, session), context,
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
    bool exists = false;
    std::vector<std::pair<std::string, std::string>> keys;
    std::string problem;
    if (!kora::drivers::ReadConfigSection(kSoftwareFile, benchSection, &exists, &keys, &problem)) {
        return call.finish(kErrConfig, problem);
    }
    if (!exists) {
        return call.finish(kErrBench,
                           std::string("[") + benchSection + "] of the software configuration");
    }
    Manager m;
    m.bench = benchSection;
    if (Outcome o = ReadPorts(benchSection, m); o.status) {
        return call.finish(o.status, o.detail);
    }
    *session = g_managers.openOnDevice(call.driverCall(), std::move(m),
                                       std::string("DIOMGR ") + benchSection);
    return call.finish(0);
}

int32_t DIOMGR_Cleanup(long context, long session, int32_t* warning, int32_t* error,
                       char message[CLASSLIB_MESSAGE_SIZE]) {
    ClassLibCall call(kDiomgr, __func__, FormatArgs(context, session), context, warning, error,
                      message);
    if (call.early()) {
        return call.finish(call.early());
    }
    Manager* m = g_managers.find(call.driverCall(), session);
    if (!m) {
        return call.finish(kErrSession);
    }
    EndModuleSessions(*m);
    g_managers.close(session);
    return call.finish(0);
}

int32_t DIOMGR_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE], int32_t* warning,
                           int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::LibVersion(kDiomgr, __func__, context, version, kVersion, warning, error,
                                     message);
}

int32_t DIOMGR_Reset(long context, long session, int32_t* warning, int32_t* error,
                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(__func__, FormatArgs(context, session), context, session, warning, error,
                       message, [&](Manager& m, ClassLibCall& call) -> Outcome {
                           for (auto& [name, c] : m.channels) {
                               if (c.pin >= 0 && call.bench()) {
                                   DigitalTestModuleOf(*call.bench(), c.device)
                                       .setDriver(c.pin, DigitalTestModule::Driver::Off, 0, 0);
                               }
                           }
                           m.channels.clear();
                           m.sets.clear();
                           m.lastSet.clear();
                           m.donePorts.clear();
                           return 0;
                       });
}

int32_t DIOMGR_Instrument_Get_Handle(long context, long session, const char* channel,
                                     ViSession* moduleHandle, char moduleChannel[256],
                                     int32_t* warning, int32_t* error,
                                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(
        __func__, FormatArgs(context, session, channel, moduleHandle, kora::vbench::kOut), context,
        session, warning, error, message, [&](Manager& m, ClassLibCall& call) -> Outcome {
            if (!moduleHandle) {
                return kErrNullPointer;
            }
            int32_t handle = 0;
            std::string pin;
            if (Outcome o = ModuleOf(call, m, channel, &handle, &pin); o.status) {
                return o;
            }
            *moduleHandle = handle;
            if (moduleChannel) {
                kora::drivers::CopyOut(moduleChannel, 256, pin);
            }
            return 0;
        });
}

int32_t DIOMGR_ConfigureStimulus(long context, long session, const char* channel, const char* mode,
                                 double high, double lowOrCurrentLimit, int32_t* warning,
                                 int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(
        __func__, FormatArgs(context, session, channel, mode, high, lowOrCurrentLimit), context,
        session, warning, error, message, [&](Manager& m, ClassLibCall& call) -> Outcome {
            if (!channel || channel[0] == '\0') {
                return {kErrChannel, "an empty channel name"};
            }
            const char* d = MatchWord(mode, kDriverModes);
            if (!d) {
                return BadSetting(kDiomgr, "driver mode", mode, kDriverModes);
            }
            if (Outcome o = CheckLevel("high level", high); o.status) {
                return o;
            }
            const bool analog = d == kDriverModes[kAnalog];
            if (analog) {
                if (!(lowOrCurrentLimit > 0 && lowOrCurrentLimit <= kMaxAnalogCurrent)) {
                    return BadValue(kDiomgr, "current limit", lowOrCurrentLimit,
                                    "above 0 up to 0.1 A");
                }
            } else {
                if (Outcome o = CheckLevel("low level", lowOrCurrentLimit); o.status) {
                    return o;
                }
                if (!(high > lowOrCurrentLimit)) {
                    return BadValue(kDiomgr, "high level", high, "above the low level");
                }
            }
            DigitalChannel& c = ChannelOf(call, m, channel);
            c.driverMode = d;
            c.driveHigh = high;
            c.driveLowOrLimit = lowOrCurrentLimit;
            if (c.pin >= 0 && call.bench()) {
                DigitalTestModuleOf(*call.bench(), c.device)
                    .setDriver(c.pin,
                               analog ? DigitalTestModule::Driver::Analog
                                      : DigitalTestModule::Driver::Levels,
                               high, lowOrCurrentLimit);
            }
            return 0;
        });
}

int32_t DIOMGR_ConfigureLoopback(long context, long session, const char* channel, long enable,
                                 int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(__func__, FormatArgs(context, session, channel, enable), context, session,
                       warning, error, message, [&](Manager& m, ClassLibCall&) -> Outcome {
                           if (!channel) {
                               return kErrNullPointer;
                           }
                           auto it = m.channels.find(UpperCase(channel));
                           if (it == m.channels.end() || it->second.driverMode.empty()) {
                               return {kErrNoDriver, channel};
                           }
                           it->second.loopback = enable != 0;
                           return 0;
                       });
}

int32_t DIOMGR_ConfigureResponse(long context, long session, const char* channel, const char* mode,
                                 double high, double low, int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(
        __func__, FormatArgs(context, session, channel, mode, high, low), context, session, warning,
        error, message, [&](Manager& m, ClassLibCall& call) -> Outcome {
            if (!channel || channel[0] == '\0') {
                return {kErrChannel, "an empty channel name"};
            }
            const char* r = MatchWord(mode, kReceiverModes);
            if (!r) {
                return BadSetting(kDiomgr, "receiver mode", mode, kReceiverModes);
            }
            for (auto [what, v] :
                 {std::pair{"high threshold", high}, std::pair{"low threshold", low}}) {
                if (Outcome o = CheckLevel(what, v); o.status) {
                    return o;
                }
            }
            if (!(high >= low)) {
                return BadValue(kDiomgr, "high threshold", high, "not below the low threshold");
            }
            DigitalChannel& c = ChannelOf(call, m, channel);
            c.receiverMode = r;
            c.thresholdHigh = high;
            c.thresholdLow = low;
            return 0;
        });
}

int32_t DIOMGR_PortStimulus(long context, long session, const char* port, const char* data,
                            int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(__func__, FormatArgs(context, session, port, data), context, session,
                       warning, error, message, [&](Manager& m, ClassLibCall& call) -> Outcome {
                           if (!port || !data) {
                               return kErrNullPointer;
                           }
                           return ApplyPatterns(call, m, UpperCase(port), data);
                       });
}

int32_t DIOMGR_PortResponse(long context, long session, const char* port, const char* what,
                            long size, char* buffer, int32_t* warning, int32_t* error,
                            char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(__func__, FormatArgs(context, session, port, what, size, kora::vbench::kOut),
                       context, session, warning, error, message,
                       [&](Manager& m, ClassLibCall&) -> Outcome {
                           if (!port || !buffer) {
                               return kErrNullPointer;
                           }
                           if (size < 1) {
                               return BadValue(kDiomgr, "size", size, "at least 1");
                           }
                           buffer[0] = '\0';
                           const char* w = MatchWord(what, kResponses);
                           if (!w) {
                               return BadSetting(kDiomgr, "response", what, kResponses);
                           }
                           const std::string name = UpperCase(port);
                           if (!m.ports.count(name)) {
                               return {kErrPort, port};
                           }
                           std::string text;
                           if (w == kResponses[1]) {
                               if (Outcome o = PortResult(m, name, &text); o.status) {
                                   return o;
                               }
                           } else {
                               text = m.donePorts.count(name) ? kStatusDone : kStatusIdle;
                           }
                           kora::drivers::CopyOut(buffer, static_cast<std::size_t>(size), text);
                           return 0;
                       });
}

int32_t DIOMGR_GetPatternSetExecutedPatternCount(long context, long session, const char* patternSet,
                                                 int32_t* count, int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(__func__, FormatArgs(context, session, patternSet, count), context, session,
                       warning, error, message, [&](Manager& m, ClassLibCall&) -> Outcome {
                           if (!patternSet || !count) {
                               return kErrNullPointer;
                           }
                           *count = 0;
                           return PatternCount(m, UpperCase(patternSet), count);
                       });
}

int32_t DIOMGR_GetPatternSetChannelData(long context, long session, const char* patternSet,
                                        const char* channel, long size, char* buffer,
                                        int32_t* warning, int32_t* error,
                                        char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(
        __func__, FormatArgs(context, session, patternSet, channel, size, kora::vbench::kOut),
        context, session, warning, error, message, [&](Manager& m, ClassLibCall&) -> Outcome {
            if (!patternSet || !channel || !buffer) {
                return kErrNullPointer;
            }
            if (size < 1) {
                return BadValue(kDiomgr, "size", size, "at least 1");
            }
            buffer[0] = '\0';
            std::string text;
            if (Outcome o = ChannelData(m, UpperCase(patternSet), UpperCase(channel), &text);
                o.status) {
                return o;
            }
            kora::drivers::CopyOut(buffer, static_cast<std::size_t>(size), text);
            return 0;
        });
}

} // extern "C"
