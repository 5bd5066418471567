// DCPWR: the settings and states of one channel of a DC power session (see dcpwr.cpp for
// sessions and channel names, dcpwr_acquire.cpp for measurements, waveforms and triggers).
//
// A channel keeps every setting it is given, checked against the words of the header and the
// ratings in dcpwr_state.h; the output does not reach a circuit yet, so:
// - Ranges: a range asked for is rounded up to the channel's next range; a level above the new
//   range is cut to it. DCPWR_Query_Max_Current_Limit and DCPWR_Query_Max_Voltage_Level answer
//   the top of the configured current and voltage range.
// - Output state: an enabled channel regulates what its mode sets (CONSTANT_VOLTAGE in "NORMAL"
//   and "PWM", CONSTANT_CURRENT in "CONST_CURRENT", ARB_WFM_ACTIVE while a waveform plays), a
//   disabled one is UNREGULATED; no protection trips; OVER_TEMPERATURE and HARDWARE_FAILURE are
//   not monitored (DCPWR_ERR_STATE_NOT_SUPPORTED).
// - The sink readings of DCPWR_Query_Sink_State need a load model: in a sink mode they answer
//   "not supported by the virtual instrument".
// - Settings that belong to a mode (PWM, the sink set points) are refused with
//   DCPWR_ERR_NOT_APPLICABLE while the channel is in another mode.
// - DCPWR_Wait_Until_Settled lets the station's settling time pass on the bench clock (at most
//   the time-out).
#include "dcpwr_state.h"

#include <algorithm>
#include <array>
#include <cmath>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using namespace kora::drivers::dcpwr;
using kora::vbench::FormatArgs;

namespace {

constexpr std::array<const char*, 6> kModes = {"NORMAL",           "PWM",         "CONST_CURRENT",
                                               "CONST_RESISTANCE", "CONST_POWER", "ARB_WFM"};
constexpr std::array<const char*, 2> kRangeKinds = {"VOLTAGE", "CURRENT"};
constexpr std::array<const char*, 2> kBehaviors = {"REGULATE", "TRIP"};
constexpr std::array<const char*, 10> kGateSources = {"XTI1", "XTI2", "TTL0", "TTL1", "TTL2",
                                                      "TTL3", "TTL4", "TTL5", "TTL6", "TTL7"};
constexpr std::array<const char*, 2> kPolarities = {"HIGH", "LOW"};
constexpr std::array<const char*, 3> kPacModes = {"AUTOMATIC", "UOUT", "MANUAL"};
constexpr std::array<const char*, 8> kStates = {
    "CONSTANT_VOLTAGE", "CONSTANT_CURRENT", "ARB_WFM_ACTIVE", "UNREGULATED",
    "OVER_TEMPERATURE", "OVER_VOLTAGE",     "OVER_CURRENT",   "HARDWARE_FAILURE"};

// The smallest range of `ranges` that holds `value`; 0 when none does.
template <std::size_t N> double RangeFor(const std::array<double, N>& ranges, double value) {
    for (double r : ranges) {
        if (value <= r) {
            return r;
        }
    }
    return 0;
}

// A boolean setting of a channel.
int32_t SetFlag(const char* function, long context, long session, const char* channel, long enable,
                bool Channel::*flag, int32_t* warning, int32_t* error, char* message) {
    return OnChannel(function, FormatArgs(context, session, channel, enable), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         c.*flag = enable != 0;
                         return 0;
                     });
}

} // namespace

extern "C" {

int32_t DCPWR_Reset(long context, long session, const char* channel, int32_t* warning,
                    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         ResetChannel(c);
                         return 0;
                     });
}

int32_t DCPWR_Conf_Output_Enabled(long context, long session, const char* channel, long enabled,
                                  int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enabled, &Channel::enabled, warning, error,
                   message);
}

int32_t DCPWR_Conf_Mode(long context, long session, const char* channel, const char* mode,
                        int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, mode), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         const std::string before = c.mode;
                         if (Outcome o = SetWord(c.mode, "mode", mode, kModes); o.status) {
                             return o;
                         }
                         if (c.mode != before) {
                             c.arbRunning = false;
                         }
                         return 0;
                     });
}

int32_t DCPWR_Conf_Output_Range(long context, long session, const char* channel, const char* kind,
                                double range, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, kind, range), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         const char* k = MatchWord(kind, kRangeKinds);
                         if (!k) {
                             return BadSetting(kDcpwr, "range kind", kind, kRangeKinds);
                         }
                         const bool voltage = k == kRangeKinds[0];
                         const double r = voltage ? RangeFor(kVoltageRanges, std::fabs(range))
                                                  : RangeFor(kCurrentRanges, range);
                         if (!(range >= 0) && !voltage) {
                             return BadValue(kDcpwr, "current range", range, "not negative");
                         }
                         if (r == 0 || std::isnan(range)) {
                             return BadValue(kDcpwr, voltage ? "voltage range" : "current range",
                                             range, voltage ? "up to 50 V" : "up to 1 A");
                         }
                         if (voltage) {
                             c.voltageRange = r;
                             c.volts = std::clamp(c.volts, -r, r);
                         } else {
                             c.currentRange = r;
                             c.currentLimit = std::min(c.currentLimit, r);
                         }
                         return 0;
                     });
}

int32_t DCPWR_Conf_Voltage_Level(long context, long session, const char* channel, double volts,
                                 int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, volts), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (Outcome o = CheckVolts(c, volts); o.status) {
                             return o;
                         }
                         c.volts = volts;
                         return 0;
                     });
}

int32_t DCPWR_Conf_Current_Limit(long context, long session, const char* channel,
                                 const char* behavior, double amperes, int32_t* warning,
                                 int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, behavior, amperes), context,
                     session, channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         const char* b = MatchWord(behavior, kBehaviors);
                         if (!b) {
                             return BadSetting(kDcpwr, "behavior", behavior, kBehaviors);
                         }
                         if (Outcome o = CheckAmperes(c, amperes, false); o.status) {
                             return o;
                         }
                         c.limitBehavior = b;
                         c.currentLimit = amperes;
                         return 0;
                     });
}

int32_t DCPWR_Query_Max_Current_Limit(long context, long session, const char* channel, double volts,
                                      double* maxAmperes, int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, volts, maxAmperes), context,
                     session, channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (!maxAmperes) {
                             return kErrNullPointer;
                         }
                         if (Outcome o = CheckVolts(c, volts); o.status) {
                             return o;
                         }
                         *maxAmperes = c.currentRange;
                         return 0;
                     });
}

int32_t DCPWR_Query_Max_Voltage_Level(long context, long session, const char* channel,
                                      double amperes, double* maxVolts, int32_t* warning,
                                      int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, amperes, maxVolts), context,
                     session, channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (!maxVolts) {
                             return kErrNullPointer;
                         }
                         if (Outcome o = CheckAmperes(c, amperes, true); o.status) {
                             return o;
                         }
                         *maxVolts = c.voltageRange;
                         return 0;
                     });
}

int32_t DCPWR_Conf_Output_PWM(long context, long session, const char* channel, double frequency,
                              double dutyCycle, int32_t* warning, int32_t* error,
                              char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, frequency, dutyCycle), context, session,
        channel, warning, error, message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
            if (Outcome o = NeedsMode(c, "PWM"); o.status) {
                return o;
            }
            if (!(frequency > 0 && frequency <= kMaxPwmFrequency)) {
                return BadValue(kDcpwr, "frequency", frequency, "above 0 up to 100 kHz");
            }
            if (!(dutyCycle >= 0 && dutyCycle <= 100)) {
                return BadValue(kDcpwr, "duty cycle", dutyCycle, "0 to 100 %");
            }
            c.pwmFrequency = frequency;
            c.pwmDutyCycle = dutyCycle;
            return 0;
        });
}

int32_t DCPWR_Conf_Const_Current(long context, long session, const char* channel, double amperes,
                                 int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, amperes), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (Outcome o = NeedsMode(c, "CONST_CURRENT"); o.status) {
                             return o;
                         }
                         if (Outcome o = CheckAmperes(c, amperes, true); o.status) {
                             return o;
                         }
                         c.sinkCurrent = amperes;
                         return 0;
                     });
}

int32_t DCPWR_Conf_Const_Resistance(long context, long session, const char* channel, double ohms,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, ohms), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (Outcome o = NeedsMode(c, "CONST_RESISTANCE"); o.status) {
                             return o;
                         }
                         if (!(ohms > 0) || !std::isfinite(ohms)) {
                             return BadValue(kDcpwr, "resistance", ohms, "above 0 ohms");
                         }
                         c.sinkResistance = ohms;
                         return 0;
                     });
}

int32_t DCPWR_Conf_Const_Power(long context, long session, const char* channel, double watts,
                               int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, watts), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (Outcome o = NeedsMode(c, "CONST_POWER"); o.status) {
                             return o;
                         }
                         const double most = c.voltageRange * c.currentRange;
                         if (!(watts >= 0 && watts <= most)) {
                             return BadValue(kDcpwr, "power", watts,
                                             "not above the voltage range times the current "
                                             "range");
                         }
                         c.sinkPower = watts;
                         return 0;
                     });
}

int32_t DCPWR_Wait_Until_Settled(long context, long session, const char* channel, long timeoutMs,
                                 int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::WithClassSession(
        kDcpwr, g_sessions, __func__, FormatArgs(context, session, channel, timeoutMs), context,
        session, warning, error, message,
        [&](Session& s, kora::drivers::ClassLibCall& call) -> Outcome {
            ChannelRef ref;
            if (Outcome o = FindChannel(s, channel, &ref); o.status) {
                return o;
            }
            if (timeoutMs < 0) {
                return BadValue(kDcpwr, "time-out", timeoutMs, "not negative");
            }
            if (auto* bench = call.bench()) {
                const auto* station = bench->station();
                const double settling =
                    station ? station->settlingTime : kora::vbench::Station{}.settlingTime;
                bench->clock().waitSeconds(std::min(settling, timeoutMs * 1e-3));
            }
            return 0;
        });
}

int32_t DCPWR_Conf_Ground_Relay(long context, long session, const char* channel, long enable,
                                int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enable, &Channel::groundRelay, warning,
                   error, message);
}

int32_t DCPWR_Conf_Remote_Sensing(long context, long session, const char* channel, long enable,
                                  int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enable, &Channel::remoteSensing, warning,
                   error, message);
}

int32_t DCPWR_Conf_Triggered_Voltage_Level(long context, long session, const char* channel,
                                           double volts, int32_t* warning, int32_t* error,
                                           char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, volts), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (Outcome o = CheckVolts(c, volts); o.status) {
                             return o;
                         }
                         c.triggeredVolts = volts;
                         return 0;
                     });
}

int32_t DCPWR_Conf_Triggered_Current_Limit(long context, long session, const char* channel,
                                           double amperes, int32_t* warning, int32_t* error,
                                           char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, amperes), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (Outcome o = CheckAmperes(c, amperes, false); o.status) {
                             return o;
                         }
                         c.triggeredCurrent = amperes;
                         return 0;
                     });
}

int32_t DCPWR_Conf_OVP(long context, long session, const char* channel, long enable,
                       int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enable, &Channel::ovp, warning, error,
                   message);
}

int32_t DCPWR_Conf_Relay_Protection(long context, long session, const char* channel, long enable,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enable, &Channel::relayProtection, warning,
                   error, message);
}

int32_t DCPWR_Conf_Gated_Output(long context, long session, const char* channel, const char* source,
                                const char* polarity, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, source, polarity), context,
                     session, channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         const char* s = MatchWord(source, kGateSources);
                         const char* p = MatchWord(polarity, kPolarities);
                         if (!s) {
                             return BadSetting(kDcpwr, "gate source", source, kGateSources);
                         }
                         if (!p) {
                             return BadSetting(kDcpwr, "polarity", polarity, kPolarities);
                         }
                         c.gatedSource = s;
                         c.gatedPolarity = p;
                         return 0;
                     });
}

int32_t DCPWR_Enable_Gated_Output(long context, long session, const char* channel, long enable,
                                  int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, enable), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (enable && c.gatedSource.empty()) {
                             return {kErrSetting, "no gate source configured "
                                                  "(DCPWR_Conf_Gated_Output)"};
                         }
                         c.gatedEnabled = enable != 0;
                         return 0;
                     });
}

int32_t DCPWR_Conf_PAC_Control(long context, long session, const char* channel, const char* mode,
                               double value, int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, mode, value), context, session,
                     channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         const char* m = MatchWord(mode, kPacModes);
                         if (!m) {
                             return BadSetting(kDcpwr, "PAC control", mode, kPacModes);
                         }
                         if (m == kPacModes[2] && !(value >= 0 && value <= kVoltageRanges.back())) {
                             return BadValue(kDcpwr, "manual supply voltage", value, "0 to 50 V");
                         }
                         c.pacMode = m;
                         c.pacVolts = m == kPacModes[2] ? value : 0;
                         return 0;
                     });
}

int32_t DCPWR_Reset_Output_Protection(long context, long session, const char* channel,
                                      int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]) {
    // No protection of a virtual channel trips (see above): there is nothing to clear.
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message,
                     [&](Supply&, Channel&, std::size_t) -> Outcome { return 0; });
}

int32_t DCPWR_Query_Output_State(long context, long session, const char* channel, const char* state,
                                 int32_t* inState, int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, state, inState), context, session, channel,
        warning, error, message, [&](Supply& s, Channel& c, std::size_t) -> Outcome {
            if (!inState) {
                return kErrNullPointer;
            }
            *inState = 0;
            const char* w = MatchWord(state, kStates);
            if (!w) {
                return BadSetting(kDcpwr, "state", state, kStates);
            }
            const std::string q = w;
            if (q == "OVER_TEMPERATURE" || q == "HARDWARE_FAILURE") {
                return {DCPWR_ERR_STATE_NOT_SUPPORTED, q + " is not monitored on " + s.name};
            }
            const bool regulating = c.enabled && !c.arbRunning;
            if (q == "CONSTANT_VOLTAGE") {
                *inState = regulating && (c.mode == "NORMAL" || c.mode == "PWM");
            } else if (q == "CONSTANT_CURRENT") {
                *inState = regulating && c.mode == "CONST_CURRENT";
            } else if (q == "ARB_WFM_ACTIVE") {
                *inState = c.arbRunning;
            } else if (q == "UNREGULATED") {
                *inState = !c.enabled;
            }
            return 0;
        });
}

int32_t DCPWR_Query_Sink_State(long context, long session, const char* channel, int32_t* state,
                               double* volts, double* amperes, int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, state, volts, amperes), context, session,
        channel, warning, error, message, [&](Supply& s, Channel& c, std::size_t) -> Outcome {
            if (!state || !volts || !amperes) {
                return kErrNullPointer;
            }
            *state = 0;
            *volts = 0;
            *amperes = 0;
            if (c.mode != "CONST_CURRENT" && c.mode != "CONST_RESISTANCE" &&
                c.mode != "CONST_POWER") {
                return 0;
            }
            return {kErrNotSupported, "the sink readings of " + s.name + " need a load model"};
        });
}

} // extern "C"
