// DIOMGR: ports, pattern runs and pattern sets (see diomgr.cpp for sessions and channels).
//
// A pattern is one character per channel of its port: '1' or 'H' drives the channel high, '0' or
// 'L' low, 'Z' switches a tri-state driver off (the channel's receiver then reads what the board
// holds), 'X' or '-' keeps the channel as it is. DIOMGR_PortStimulus takes one or more patterns
// separated by blanks or commas and applies them one after the other, each for 10 us of bench
// time; at the end of each pattern every receiving channel of the manager takes one character:
// '1' at or above its high threshold, '0' at or below its low one, in between 'X' for a window
// receiver and the last character for a hysteresis receiver. A channel that is looped back without
// a receiver of its own reads with both thresholds half way between its drive levels (the current
// limit of an analog driver: half its high level). A channel that reaches no module reads what it
// drives itself ('X' while it drives nothing).
//
// The run is the pattern set of its stimulus port (named like the port, replaced by the port's next
// run): its executed pattern count and what each receiving channel took. DIOMGR_PortResponse
// "RESULT" gives a port's channels' characters of the manager's last run, the patterns separated
// by one blank; "STATUS" is "DONE" for a port that was driven, or whose channels all received, in
// a run since the manager's reset, "IDLE" otherwise.
#include "diomgr_state.h"

#include <vbench/modules/pdft.h>

#include <cstring>

using kora::vbench::DigitalTestModule;

namespace kora::drivers::diomgr {

namespace {

constexpr long kSoftwareFile = 1;
constexpr const char* kPortsKey = "DigitalPorts";
constexpr double kPatternSeconds = 10e-6;
constexpr const char* kSeparators = " ,\t";
constexpr const char* kPatternChars = "01HLZX-";

std::vector<std::string> Split(const std::string& text, const char* separators) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while ((i = text.find_first_not_of(separators, i)) != std::string::npos) {
        const std::size_t end = text.find_first_of(separators, i);
        out.push_back(text.substr(i, end - i));
        i = end;
    }
    return out;
}

// The drive state of a pattern character: 1, 0, -1 (off) or 2 (keep).
int DriveOf(char c) {
    switch (c) {
    case '1':
    case 'H':
        return 1;
    case '0':
    case 'L':
        return 0;
    case 'Z':
        return -1;
    default:
        return 2;
    }
}

char Receive(vbench::VirtualBench* bench, DigitalChannel& c) {
    double volts = 0;
    if (c.pin >= 0 && bench) {
        volts = DigitalTestModuleOf(*bench, c.device).terminalVoltage(c.pin);
    } else if (c.state < 0) {
        return 'X';
    } else {
        const bool analog = c.driverMode == kDriverModes[kAnalog];
        volts = c.state == 1 ? c.driveHigh : analog ? 0.0 : c.driveLowOrLimit;
    }
    double high = c.thresholdHigh, low = c.thresholdLow;
    const bool window = c.receiverMode == kReceiverModes[kWindow];
    if (c.receiverMode.empty()) {
        high = low = c.driverMode == kDriverModes[kAnalog] ? c.driveHigh / 2
                                                           : (c.driveHigh + c.driveLowOrLimit) / 2;
    }
    if (volts >= high) {
        c.last = '1';
    } else if (volts <= low) {
        c.last = '0';
    } else if (window) {
        return 'X';
    }
    return c.last;
}

} // namespace

Outcome ReadPorts(const std::string& benchSection, Manager& m) {
    std::string problem;
    ConfigKey key;
    if (!ReadConfigKey(kSoftwareFile, benchSection, kPortsKey, &key, &problem)) {
        return {kErrConfig, problem};
    }
    if (!key.found) {
        return 0;
    }
    bool exists = false;
    std::vector<std::pair<std::string, std::string>> keys;
    if (!ReadConfigSection(kSoftwareFile, key.value, &exists, &keys, &problem)) {
        return {kErrConfig, problem};
    }
    if (!exists) {
        return {kErrConfig, "[" + key.value + "] (" + kPortsKey + " of [" + benchSection + "])"};
    }
    for (const auto& [port, channels] : keys) {
        std::vector<std::string>& list = m.ports[UpperCase(port.c_str())];
        for (const std::string& c : Split(channels, kSeparators)) {
            list.push_back(UpperCase(c.c_str()));
        }
        if (list.empty()) {
            return {kErrConfig, "port " + port + " of [" + key.value + "] lists no channel"};
        }
    }
    return 0;
}

Outcome ApplyPatterns(const ClassLibCall& call, Manager& m, const std::string& port,
                      const std::string& data) {
    auto p = m.ports.find(port);
    if (p == m.ports.end()) {
        return {kErrPort, port};
    }
    const std::vector<std::string>& names = p->second;
    const std::vector<std::string> patterns = Split(UpperCase(data.c_str()), kSeparators);
    if (patterns.empty()) {
        return {kErrPattern, "no pattern for port " + port};
    }
    std::vector<DigitalChannel*> channels;
    for (const std::string& n : names) {
        DigitalChannel& c = ChannelOf(call, m, n);
        if (c.driverMode.empty()) {
            return {kErrNoDriver, n + " of port " + port};
        }
        channels.push_back(&c);
    }
    for (const std::string& pattern : patterns) {
        if (pattern.size() != names.size() ||
            pattern.find_first_not_of(kPatternChars) != std::string::npos) {
            return {kErrPattern, "'" + pattern + "' for the " + std::to_string(names.size()) +
                                     " channels of port " + port + " (characters " + kPatternChars +
                                     ")"};
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (pattern[i] == 'Z' && channels[i]->driverMode != kDriverModes[kTristate]) {
                return {kErrPattern, "'Z' for " + names[i] + ", which has no tri-state driver"};
            }
        }
    }
    vbench::VirtualBench* bench = call.bench();
    PatternSet set;
    for (const std::string& pattern : patterns) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            DigitalChannel& c = *channels[i];
            const int state = DriveOf(pattern[i]);
            if (state == 2) {
                continue;
            }
            c.state = state;
            if (c.pin >= 0 && bench) {
                DigitalTestModuleOf(*bench, c.device).drive(c.pin, state);
            }
        }
        if (bench) {
            bench->wait(kPatternSeconds);
        }
        for (auto& [name, c] : m.channels) {
            if (c.receives()) {
                set.received[name] += Receive(bench, c);
            }
        }
        ++set.executed;
    }
    m.donePorts.insert(port);
    for (const auto& [name, list] : m.ports) {
        bool all = true;
        for (const std::string& c : list) {
            all = all && set.received.count(c) != 0;
        }
        if (all) {
            m.donePorts.insert(name);
        }
    }
    m.sets[port] = std::move(set);
    m.lastSet = port;
    return 0;
}

Outcome PortResult(Manager& m, const std::string& port, std::string* text) {
    text->clear();
    auto set = m.sets.find(m.lastSet);
    if (set == m.sets.end()) {
        return 0;
    }
    const std::vector<std::string>& names = m.ports.at(port);
    for (const std::string& n : names) {
        if (!set->second.received.count(n)) {
            return {kErrNoReceiver, n + " of port " + port};
        }
    }
    for (int32_t k = 0; k < set->second.executed; ++k) {
        if (k > 0) {
            *text += ' ';
        }
        for (const std::string& n : names) {
            *text += set->second.received.at(n)[static_cast<std::size_t>(k)];
        }
    }
    return 0;
}

Outcome PatternCount(Manager& m, const std::string& set, int32_t* count) {
    auto it = m.sets.find(set);
    if (it == m.sets.end()) {
        return {kErrPatternSet, set};
    }
    *count = it->second.executed;
    return 0;
}

Outcome ChannelData(Manager& m, const std::string& set, const std::string& channel,
                    std::string* text) {
    auto it = m.sets.find(set);
    if (it == m.sets.end()) {
        return {kErrPatternSet, set};
    }
    auto c = it->second.received.find(channel);
    if (c == it->second.received.end()) {
        return {kErrNoReceiver, channel + " in pattern set " + set};
    }
    *text = c->second;
    return 0;
}

} // namespace kora::drivers::diomgr
