// The DC power library's codes, sessions, supplies and channel state, shared by its session calls
// (dcpwr.cpp) and its channel calls (dcpwr_channel.cpp).
#pragma once

#include <dcpwr.h>

#include "classlib.h"

#include <vbench/modules/psu.h>

#include <array>
#include <atomic>
#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace kora::drivers::dcpwr {

using vbench::DriverCall;

inline constexpr int32_t kErrContext = -19001;
inline constexpr int32_t kErrSession = -19002;
inline constexpr int32_t kErrNotPresent = -19003;
inline constexpr int32_t kErrNullPointer = -19004;
inline constexpr int32_t kErrSetting = -19005;
inline constexpr int32_t kErrValue = -19007;
inline constexpr int32_t kErrNoBench = -19008;
inline constexpr int32_t kErrNotSupported = -19009;
inline constexpr int32_t kErrChannel = -19010;
inline constexpr int32_t kErrNotArmed = -19011;
inline constexpr int32_t kErrConfig = -19013;
inline constexpr int32_t kErrSupply = -19014;
inline constexpr int32_t kErrNoWaveform = -19015;
inline constexpr int32_t kErrNoAcquisition = -19016;
inline constexpr int32_t kErrTimeout = -19017;
inline constexpr int32_t kWarnNotValid = 19018;

inline constexpr StatusText kStatusTexts[] = {
    {DCPWR_ERR_PAC_NOT_RESPONDING, "The PAC module does not answer"},
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrSession, "Invalid DCPWR session"},
    {kErrNotPresent, "Device not present"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrSetting, "Invalid setting"},
    {DCPWR_ERR_NOT_APPLICABLE, "Setting does not apply in the channel's mode"},
    {kErrValue, "Value out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrNotSupported, "Not supported by the virtual instrument"},
    {kErrChannel, "Unknown DC power channel"},
    {kErrNotArmed, "Channel not armed (DCPWR_Initiate)"},
    {DCPWR_ERR_STATE_NOT_SUPPORTED, "State not supported by the channel"},
    {kErrConfig, "Cannot read the DC power configuration"},
    {kErrSupply, "DC power supply not found in the configuration"},
    {kErrNoWaveform, "No waveform loaded (DCPWR_Set_Arb_Wfm)"},
    {kErrNoAcquisition, "No acquisition initiated (DCPWR_Initiate_Acquisition)"},
    {kErrTimeout, "Acquisition time-out: the trigger did not come"},
    {kWarnNotValid, "Measured value not valid (over range)"},
    {DCPWR_ERR_NO_CHANNELS, "The bench has no DC power channels"},
};

inline constexpr ClassLibrary kDcpwr = {"DCPWR",     kStatusTexts, kErrContext,
                                        kErrNoBench, kErrSession,  kErrNullPointer,
                                        kErrSetting, kErrValue,    kErrNotPresent};

// Ratings of every virtual supply channel, those of the power-supply module: voltage ranges and
// current ranges (ascending); a channel delivers the top of both ranges at once.
inline constexpr std::array<double, 2> kVoltageRanges = {10, 50};
inline constexpr std::array<double, 3> kCurrentRanges = {0.01, 0.1, 1};
inline constexpr double kMaxPwmFrequency = 100e3;
// The trigger lines of a channel: TTL0..TTL7 = 0x1..0x80, XTO1 = 0x100, XTO2 = 0x200.
inline constexpr long kTriggerMask = 0x3FF;

// What a channel keeps beside its supply's model (vbench/modules/psu.h), which holds the output
// itself: mode of the source, ranges, level, limit, output switch, ground relay, sensing, load,
// protection trips and the waveform that plays.
struct Channel {
    std::string mode = "NORMAL";
    std::string limitBehavior = "REGULATE";
    double pwmFrequency = 1000;
    double pwmDutyCycle = 50;
    double sinkCurrent = 0;
    double sinkResistance = 1e3;
    double sinkPower = 0;
    double triggeredVolts = NAN; // not configured
    double triggeredCurrent = NAN;
    bool ovp = false;
    bool relayProtection = false;
    std::string gatedSource;
    std::string gatedPolarity = "HIGH";
    bool gatedEnabled = false;
    std::string pacMode = "AUTOMATIC";
    double pacVolts = 0;
    long measureCount = 1;
    double measureTime = 1e-4;
    double measureDelay = 0;
    std::string acqQuantity;
    long acqCount = 0;
    double acqSampleTime = 0;
    std::string acqTrigger = "IMMEDIATE";
    double acqDelay = 0;
    bool acqInitiated = false;
    bool acqTriggered = false;
    int64_t acqStartNs = 0;
    double arbPointTime = 1e-4;
    long arbCycles = 0;
    std::vector<double> arbVolts;
    std::vector<double> arbAmperes;
    bool arbLoaded = false;
    std::string triggerSource = "IMMEDIATE";
    long triggerOutputs = 0;
    std::string triggerEvent = "CH1";
    long triggerPolarity = 0;
    long triggerEnable = 0;
    bool armed = false;
    long triggerPulses = 0;
};

// The start state of a channel.
inline void ResetChannel(Channel& c) {
    c = Channel{};
}

struct Supply {
    std::string name;         // device name in the configuration
    std::string type;         // its Type
    std::string resourceDesc; // its ResourceDesc
    std::string device;       // the station device reached
    bool simulated = false;
    int32_t moduleHandle = 0; // the module driver's session (rspsu), 0 without one
    int32_t resource = 0;     // the resource manager's resource that holds that session
    std::vector<Channel> channels;
};

struct Session {
    std::string bench;
    std::vector<Supply> supplies;
    std::map<std::string, std::string> logical; // upper-case name -> "DEVICE!CHn"
};

struct ChannelRef {
    Supply* supply = nullptr;
    std::size_t index = 0;
};

extern ClassSessions<Session> g_sessions;

// The supply channel of "DEVICE!CHn".
Outcome FindPhysical(Session& session, const std::string& physical, ChannelRef* ref);
// The supply channel of a channel argument: "DEVICE!CHn" or a logical channel name.
Outcome FindChannel(Session& session, const char* channel, ChannelRef* ref);

// The checks and changes the channel calls share.

inline Outcome NeedsMode(const Channel& c, const char* mode) {
    if (c.mode != mode) {
        return {DCPWR_ERR_NOT_APPLICABLE,
                std::string("needs mode ") + mode + ", the channel is in " + c.mode};
    }
    return 0;
}

inline bool SinkMode(const Channel& c) {
    return c.mode == "CONST_CURRENT" || c.mode == "CONST_RESISTANCE" || c.mode == "CONST_POWER";
}

// One channel of a supply and the model of its output.
struct Output {
    Supply& supply;
    Channel& c;
    vbench::PsuModule& m;
    int ch;
};

inline Outcome CheckVolts(const Output& o, double volts) {
    const double range = o.m.voltageRange(o.ch);
    if (!(std::fabs(volts) <= range)) {
        return BadValue(kDcpwr, "voltage", volts,
                        ("within the voltage range of " + std::to_string(range) + " V").c_str());
    }
    return 0;
}

inline Outcome CheckAmperes(const Output& o, double amperes, bool zeroAllowed) {
    const double range = o.m.currentRange(o.ch);
    if (!(amperes <= range) || !(zeroAllowed ? amperes >= 0 : amperes > 0)) {
        return BadValue(kDcpwr, "current", amperes,
                        ("within the current range of " + std::to_string(range) + " A").c_str());
    }
    return 0;
}

inline Outcome CheckMask(const char* what, long mask) {
    if (mask < 0 || (mask & ~kTriggerMask)) {
        return BadValue(kDcpwr, what, mask, "bits 0x3FF");
    }
    return 0;
}

// The triggered levels become the channel's levels.
inline void TakeTriggeredLevels(const Output& o) {
    if (!std::isnan(o.c.triggeredVolts)) {
        o.m.setVoltageLevel(o.ch, o.c.triggeredVolts);
    }
    if (!std::isnan(o.c.triggeredCurrent)) {
        o.m.setCurrentLimit(o.ch, o.c.triggeredCurrent);
    }
}

// The start state of a channel and its output.
inline void ResetOutput(const Output& o) {
    ResetChannel(o.c);
    o.m.stopWaveform(o.ch);
    o.m.setPwm(o.ch, false, 1000, 50);
    o.m.setLoad(o.ch, vbench::PsuModule::Load::None, 0);
    o.m.clearTrip(o.ch);
    o.m.setLimitTrips(o.ch, false);
    o.m.setOverVoltageProtection(o.ch, false);
    o.m.setPacSupply(o.ch, 0);
    o.m.setOutputEnabled(o.ch, false);
    o.m.setMode(o.ch, vbench::PsuModule::kSupply);
    o.m.setVoltageLevel(o.ch, 0);
    o.m.setVoltageRange(o.ch, kVoltageRanges.back());
    o.m.setCurrentLimit(o.ch, kCurrentRanges.front());
    o.m.setCurrentRange(o.ch, kCurrentRanges.back());
    o.m.setGrounded(o.ch, false);
    o.m.setRemoteSensing(o.ch, false);
}

// A setting of `words` into `out`.
inline Outcome SetWord(std::string& out, const char* what, const char* text, const auto& words) {
    const char* w = MatchWord(text, words);
    if (!w) {
        return BadSetting(kDcpwr, what, text, words);
    }
    out = w;
    return 0;
}

// The model of a supply's output on the call's bench.
vbench::PsuModule& ModelOf(ClassLibCall& call, const Supply& supply);

// The frame of a call on one channel of a session; the body gets the channel and its output.
template <typename Body>
int32_t OnChannel(const char* function, std::string arguments, long context, long session,
                  const char* channel, int32_t* warning, int32_t* error, char* message,
                  Body&& body) {
    return WithClassSession(
        kDcpwr, g_sessions, function, std::move(arguments), context, session, warning, error,
        message, [&](Session& s, ClassLibCall& call) -> Outcome {
            ChannelRef ref;
            if (Outcome o = FindChannel(s, channel, &ref); o.status) {
                return o;
            }
            if (!call.bench()) {
                return kErrNoBench;
            }
            const Output out{*ref.supply, ref.supply->channels[ref.index],
                             ModelOf(call, *ref.supply), static_cast<int>(ref.index)};
            return body(out, call);
        });
}

} // namespace kora::drivers::dcpwr
