// What the two halves of the DIOMGR stand-in share (diomgr.cpp: sessions, channels and module
// handles; diomgr_patterns.cpp: ports, pattern runs and pattern sets): the library's codes and the
// state of one manager session.
#pragma once

#include "classlib.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kora::drivers::diomgr {

constexpr int32_t kErrContext = -20001;
constexpr int32_t kErrSession = -20002;
constexpr int32_t kErrNotPresent = -20003;
constexpr int32_t kErrNullPointer = -20004;
constexpr int32_t kErrSetting = -20005;
constexpr int32_t kErrValue = -20006;
constexpr int32_t kErrNoBench = -20007;
constexpr int32_t kErrChannel = -20010;
constexpr int32_t kErrConfig = -20011;
constexpr int32_t kErrBench = -20012;
constexpr int32_t kErrNoDriver = -20013;
constexpr int32_t kErrPort = -20014;
constexpr int32_t kErrPattern = -20015;
constexpr int32_t kErrPatternSet = -20016;
constexpr int32_t kErrNoReceiver = -20017;

extern const ClassLibrary kDiomgr;

// The words of the drivers' and receivers' modes, as the channels keep them.
inline constexpr std::array<const char*, 3> kDriverModes = {"TRISTATE", "TTL", "ANALOG"};
inline constexpr std::array<const char*, 2> kReceiverModes = {"HYSTERESIS", "WINDOW"};
inline constexpr std::size_t kTristate = 0, kAnalog = 2, kWindow = 1;

struct DigitalChannel {
    std::string driverMode; // "" = no driver
    double driveHigh = 0;
    double driveLowOrLimit = 0;
    bool loopback = false;
    std::string receiverMode; // "" = no receiver
    double thresholdHigh = 0;
    double thresholdLow = 0;
    // Where the channel is: a digital test module of the station and its channel; none (-1) for
    // a name that reaches no module, whose settings are kept only.
    std::string device;
    int pin = -1;
    int state = -1;  // last drive: 1 high, 0 low, -1 off
    char last = '0'; // last received, for a hysteresis receiver
    bool receives() const { return !receiverMode.empty() || loopback; }
};

// What a run of patterns on a stimulus port left: the patterns executed and, per receiving
// channel, one character per pattern.
struct PatternSet {
    int32_t executed = 0;
    std::map<std::string, std::string> received; // by upper-case channel name
};

struct Manager {
    std::string bench;
    std::map<std::string, std::vector<std::string>> ports; // upper-case names
    std::map<std::string, DigitalChannel> channels;        // by upper-case name
    std::map<std::string, PatternSet> sets;                // by upper-case stimulus port
    std::string lastSet;
    std::set<std::string> donePorts;
    std::map<std::string, int32_t> modules; // upper-case device name -> module handle
};

extern ClassSessions<Manager> g_managers;

template <typename Body>
int32_t WithManager(const char* function, std::string arguments, long context, long session,
                    int32_t* warning, int32_t* error, char* message, Body&& body) {
    return WithClassSession(kDiomgr, g_managers, function, std::move(arguments), context, session,
                            warning, error, message, std::forward<Body>(body));
}

// The channel of that name, made (and placed on its module) on first use.
DigitalChannel& ChannelOf(const ClassLibCall& call, Manager& m, const std::string& name);

// The ports of a bench section (its key DigitalPorts names the section that lists them).
Outcome ReadPorts(const std::string& benchSection, Manager& m);

// DIOMGR_PortStimulus and DIOMGR_PortResponse, pattern sets.
Outcome ApplyPatterns(const ClassLibCall& call, Manager& m, const std::string& port,
                      const std::string& data);
Outcome PortResult(Manager& m, const std::string& port, std::string* text);
Outcome PatternCount(Manager& m, const std::string& set, int32_t* count);
Outcome ChannelData(Manager& m, const std::string& set, const std::string& channel,
                    std::string* text);

} // namespace kora::drivers::diomgr
