// DIOMGR: the digital I/O manager class library over the virtual bench.
//
// DIOMGR_Setup opens a session for a bench section of the software configuration (the section
// must be there; the manager reads no keys of it). Channels and ports are named by text and keep
// the settings they are given:
// - Drivers (DIOMGR_ConfigureStimulus): "TRISTATE" and "TTL" with a high level above the low
//   level, both within -10..10 V; "ANALOG" with a high level within -10..10 V and a current limit
//   above 0 up to 0.1 A. Loopback needs a driver on the channel.
// - Receivers (DIOMGR_ConfigureResponse): "HYSTERESIS" or "WINDOW", thresholds within -10..10 V,
//   the high one not below the low one.
// - A stimulus port keeps the last pattern applied (kept as given). DIOMGR_PortResponse with
//   "STATUS" tells "IDLE" for a port that was never driven and "DONE" for one that was; the data
//   a port received ("RESULT") and the pattern sets need a digital signal model, which is not
//   there yet: those calls answer "not supported by the virtual instrument".
// - DIOMGR_Instrument_Get_Handle: a channel "DEVICE!PIN" names a pin of a module of the physical
//   layer file ([device->DEVICE]); the module must be a device of the station unless its
//   DriverOption holds "Simulate=1". The handle is the manager's own for that module (counted up
//   from 1 across all sessions, the same for every channel of the module in one session); the
//   module channel is the pin, "po1".."po4" in lower case for the power outputs.
#include <diomgr.h>

#include "classlib.h"

#include <array>
#include <atomic>
#include <cmath>
#include <map>
#include <string>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::ClassLibCall;
using kora::drivers::ClassLibrary;
using kora::drivers::ClassSessions;
using kora::drivers::ConfigKey;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using kora::drivers::StatusText;
using kora::drivers::UpperCase;
using kora::vbench::FormatArgs;

namespace {

constexpr int32_t kErrContext = -20001;
constexpr int32_t kErrSession = -20002;
constexpr int32_t kErrNotPresent = -20003;
constexpr int32_t kErrNullPointer = -20004;
constexpr int32_t kErrSetting = -20005;
constexpr int32_t kErrValue = -20006;
constexpr int32_t kErrNoBench = -20007;
constexpr int32_t kErrNotSupported = -20008;
constexpr int32_t kErrChannel = -20010;
constexpr int32_t kErrConfig = -20011;
constexpr int32_t kErrBench = -20012;
constexpr int32_t kErrNoDriver = -20013;

constexpr StatusText kStatusTexts[] = {
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrSession, "Invalid DIOMGR session"},
    {kErrNotPresent, "Device not present"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrSetting, "Invalid setting"},
    {kErrValue, "Value out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrNotSupported, "Not supported by the virtual instrument"},
    {kErrChannel, "Unknown digital channel"},
    {kErrConfig, "Cannot read the digital I/O configuration"},
    {kErrBench, "Bench section not found"},
    {kErrNoDriver, "The channel has no driver configured (DIOMGR_ConfigureStimulus)"},
};

constexpr ClassLibrary kDiomgr = {"DIOMGR",    kStatusTexts, kErrContext,
                                  kErrNoBench, kErrSession,  kErrNullPointer,
                                  kErrSetting, kErrValue,    kErrNotPresent};

constexpr const char* kVersion = "DIOMGR 1.0.0 (virtual bench)";
constexpr long kSoftwareFile = 1;
constexpr long kPhysicalFile = 0;
constexpr double kMaxLevel = 10;
constexpr double kMaxAnalogCurrent = 0.1;

constexpr std::array<const char*, 3> kDriverModes = {"TRISTATE", "TTL", "ANALOG"};
constexpr std::array<const char*, 2> kReceiverModes = {"HYSTERESIS", "WINDOW"};
constexpr std::array<const char*, 2> kResponses = {"STATUS", "RESULT"};
constexpr std::array<const char*, 4> kPowerOutputs = {"po1", "po2", "po3", "po4"};

struct DigitalChannel {
    std::string driverMode; // "" = no driver
    double driveHigh = 0;
    double driveLowOrLimit = 0;
    bool loopback = false;
    std::string receiverMode; // "" = no receiver
    double thresholdHigh = 0;
    double thresholdLow = 0;
};

struct Port {
    std::string pattern;
    long applied = 0;
};

struct Manager {
    std::string bench;
    std::map<std::string, DigitalChannel> channels; // by upper-case name
    std::map<std::string, Port> ports;              // by upper-case name
    std::map<std::string, int32_t> modules;         // upper-case device name -> module handle
};

ClassSessions<Manager> g_managers;
std::atomic<int32_t> g_nextModule{1};

template <typename Body>
int32_t WithManager(const char* function, std::string arguments, long context, long session,
                    int32_t* warning, int32_t* error, char* message, Body&& body) {
    return kora::drivers::WithClassSession(kDiomgr, g_managers, function, std::move(arguments),
                                           context, session, warning, error, message,
                                           std::forward<Body>(body));
}

Outcome CheckLevel(const char* what, double volts) {
    if (!(std::fabs(volts) <= kMaxLevel)) {
        return BadValue(kDiomgr, what, volts, "-10 to 10 V");
    }
    return 0;
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
    if (!kora::drivers::ReadConfigKey(kPhysicalFile, section, "ResourceDesc", &resource,
                                      &problem) ||
        !kora::drivers::ReadConfigKey(kPhysicalFile, section, "DriverOption", &options, &problem)) {
        return {kErrConfig, problem};
    }
    if (!resource.found) {
        return {kErrChannel, "'" + text + "': the physical layer file has no [" + section +
                                 "] with a ResourceDesc"};
    }
    std::string reached;
    const ViStatus opened = kora::drivers::OpenStationDevice(
        call.driverCall(), resource.value.c_str(),
        kora::drivers::OptionSimulates(options.value.c_str()), &reached);
    if (opened == kora::drivers::kErrNoBench) {
        return kErrNoBench;
    }
    if (opened != VI_SUCCESS) {
        return {kErrNotPresent, "no device of the station has the resource descriptor '" +
                                    resource.value + "' (module " + device + ")"};
    }
    *handle = g_nextModule++;
    m.modules[key] = *handle;
    return 0;
}

} // namespace

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
    *session = g_managers.openOnDevice(call.driverCall(), std::move(m),
                                       std::string("DIOMGR ") + benchSection);
    return call.finish(0);
}

int32_t DIOMGR_Cleanup(long context, long session, int32_t* warning, int32_t* error,
                       char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::CleanupSession(kDiomgr, g_managers, __func__, context, session, warning,
                                         error, message);
}

int32_t DIOMGR_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE], int32_t* warning,
                           int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::LibVersion(kDiomgr, __func__, context, version, kVersion, warning, error,
                                     message);
}

int32_t DIOMGR_Reset(long context, long session, int32_t* warning, int32_t* error,
                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(__func__, FormatArgs(context, session), context, session, warning, error,
                       message, [&](Manager& m, ClassLibCall&) -> Outcome {
                           m.channels.clear();
                           m.ports.clear();
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
        session, warning, error, message, [&](Manager& m, ClassLibCall&) -> Outcome {
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
            if (d == kDriverModes[2]) {
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
            DigitalChannel& c = m.channels[UpperCase(channel)];
            c.driverMode = d;
            c.driveHigh = high;
            c.driveLowOrLimit = lowOrCurrentLimit;
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
        error, message, [&](Manager& m, ClassLibCall&) -> Outcome {
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
            DigitalChannel& c = m.channels[UpperCase(channel)];
            c.receiverMode = r;
            c.thresholdHigh = high;
            c.thresholdLow = low;
            return 0;
        });
}

int32_t DIOMGR_PortStimulus(long context, long session, const char* port, const char* data,
                            int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(__func__, FormatArgs(context, session, port, data), context, session,
                       warning, error, message, [&](Manager& m, ClassLibCall&) -> Outcome {
                           if (!port || !data) {
                               return kErrNullPointer;
                           }
                           if (port[0] == '\0') {
                               return {kErrChannel, "an empty port name"};
                           }
                           Port& p = m.ports[UpperCase(port)];
                           p.pattern = data;
                           ++p.applied;
                           return 0;
                       });
}

int32_t DIOMGR_PortResponse(long context, long session, const char* port, const char* what,
                            long size, char* buffer, int32_t* warning, int32_t* error,
                            char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(
        __func__, FormatArgs(context, session, port, what, size, kora::vbench::kOut), context,
        session, warning, error, message, [&](Manager& m, ClassLibCall&) -> Outcome {
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
            if (w == kResponses[1]) {
                return {kErrNotSupported, "the data a port receives needs a digital signal model"};
            }
            auto it = m.ports.find(UpperCase(port));
            const bool driven = it != m.ports.end() && it->second.applied > 0;
            kora::drivers::CopyOut(buffer, static_cast<std::size_t>(size),
                                   driven ? "DONE" : "IDLE");
            return 0;
        });
}

int32_t DIOMGR_GetPatternSetExecutedPatternCount(long context, long session, const char* patternSet,
                                                 int32_t* count, int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(__func__, FormatArgs(context, session, patternSet, count), context, session,
                       warning, error, message, [&](Manager&, ClassLibCall&) -> Outcome {
                           if (!patternSet || !count) {
                               return kErrNullPointer;
                           }
                           *count = 0;
                           return {kErrNotSupported, "pattern sets need a digital signal model"};
                       });
}

int32_t DIOMGR_GetPatternSetChannelData(long context, long session, const char* patternSet,
                                        const char* channel, long size, char* buffer,
                                        int32_t* warning, int32_t* error,
                                        char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithManager(
        __func__, FormatArgs(context, session, patternSet, channel, size, kora::vbench::kOut),
        context, session, warning, error, message, [&](Manager&, ClassLibCall&) -> Outcome {
            if (!patternSet || !channel || !buffer) {
                return kErrNullPointer;
            }
            if (size > 0) {
                buffer[0] = '\0';
            }
            return {kErrNotSupported, "pattern sets need a digital signal model"};
        });
}

} // extern "C"
