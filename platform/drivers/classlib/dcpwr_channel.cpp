// DCPWR: the output of one channel of a DC power session (see dcpwr.cpp for sessions and channel
// names, dcpwr_acquire.cpp for measurements, waveforms and triggers).
//
// Every call acts on the supply's model on the bench (vbench/modules/psu.h), the one the module
// driver rspsu drives too; the channel keeps only what the model has no place for.
// - Modes: "NORMAL" and "PWM" source a voltage with a current limit (PWM switches it between the
//   level and 0 V); "CONST_CURRENT", "CONST_RESISTANCE" and "CONST_POWER" make the channel an
//   electronic load at its set point; "ARB_WFM" plays the loaded waveform once initiated.
// - Ranges: a range asked for is rounded up to the channel's next range; a level above the new
//   range is cut to it. DCPWR_Query_Max_Current_Limit and DCPWR_Query_Max_Voltage_Level answer
//   the top of the configured current and voltage range.
// - Current-limit behaviour "TRIP" switches the output off at the limit (over-current); over-
//   voltage protection switches it off above its level (psu.h). DCPWR_Reset_Output_Protection
//   clears a trip; the output stays off until it is enabled again.
// - Output states: CONSTANT_VOLTAGE while an enabled source regulates its level, CONSTANT_CURRENT
//   while it holds its current limit or a load runs, ARB_WFM_ACTIVE while a waveform plays,
//   UNREGULATED while the output is off and not tripped, OVER_VOLTAGE and OVER_CURRENT after a
//   trip; OVER_TEMPERATURE and HARDWARE_FAILURE are not monitored (DCPWR_ERR_STATE_NOT_SUPPORTED).
// - Sink state: 0 outside the sink modes; else bit 0x1 voltage reading valid, 0x2 current reading
//   valid (both while the load is on), 0x4 regulating its set point, 0x8 in a sink mode with the
//   load off, 0x10 voltage above the voltage range, 0x20 current above the current range. A current
//   below 0.01 % of the current range reads 0.
// - DCPWR_Wait_Until_Settled lets the station's settling time pass on the bench clock (at most
//   the time-out).
#include "dcpwr_state.h"

#include <algorithm>
#include <array>
#include <cmath>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::ClassLibCall;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using namespace kora::drivers::dcpwr;
using kora::vbench::FormatArgs;
using kora::vbench::PsuModule;

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
constexpr int32_t kSinkVoltageValid = 0x1, kSinkCurrentValid = 0x2, kSinkRegulating = 0x4,
                  kSinkOff = 0x8, kSinkVoltageOver = 0x10, kSinkCurrentOver = 0x20;
constexpr double kSinkResolution = 1e-4; // of the current range

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
template <typename Apply>
int32_t SetFlag(const char* function, long context, long session, const char* channel, long enable,
                int32_t* warning, int32_t* error, char* message, Apply&& apply) {
    return OnChannel(function, FormatArgs(context, session, channel, enable), context, session,
                     channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         apply(o, enable != 0);
                         return 0;
                     });
}

// Puts the load of a sink mode on the model, or takes it off.
void ApplyLoad(const Output& o) {
    using Load = PsuModule::Load;
    if (o.c.mode == "CONST_CURRENT") {
        // The load reads its current on the range of its set point.
        o.m.setCurrentRange(o.ch, RangeFor(kCurrentRanges, o.c.sinkCurrent));
        o.m.setLoad(o.ch, Load::Current, o.c.sinkCurrent);
    } else if (o.c.mode == "CONST_RESISTANCE") {
        o.m.setLoad(o.ch, Load::Resistance, o.c.sinkResistance);
    } else if (o.c.mode == "CONST_POWER") {
        o.m.setLoad(o.ch, Load::Power, o.c.sinkPower);
    } else {
        o.m.setLoad(o.ch, Load::None, 0);
    }
}

// A sink set point of mode `mode`.
int32_t SinkSetting(const char* function, long context, long session, const char* channel,
                    double value, const char* mode, double Channel::*field, int32_t* warning,
                    int32_t* error, char* message) {
    return OnChannel(
        function, FormatArgs(context, session, channel, value), context, session, channel, warning,
        error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
            if (Outcome r = NeedsMode(o.c, mode); r.status) {
                return r;
            }
            const double most = field == &Channel::sinkCurrent ? kCurrentRanges.back()
                                : field == &Channel::sinkPower
                                    ? o.m.voltageRange(o.ch) * o.m.currentRange(o.ch)
                                    : INFINITY;
            const bool ok = field == &Channel::sinkResistance ? value > 0 && std::isfinite(value)
                                                              : value >= 0 && value <= most;
            if (!ok) {
                return BadValue(kDcpwr, "sink set point", value,
                                field == &Channel::sinkResistance
                                    ? "above 0 ohms"
                                    : "0 up to 1 A (power: up to the voltage range times the "
                                      "current range)");
            }
            o.c.*field = value;
            ApplyLoad(o);
            return 0;
        });
}

} // namespace

extern "C" {

int32_t DCPWR_Reset(long context, long session, const char* channel, int32_t* warning,
                    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
                         ResetOutput(o);
                         return 0;
                     });
}

int32_t DCPWR_Conf_Output_Enabled(long context, long session, const char* channel, long enabled,
                                  int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enabled, warning, error, message,
                   [](const Output& o, bool on) {
                       o.m.setOutputEnabled(o.ch, on);
                       o.m.protect(o.ch);
                   });
}

int32_t DCPWR_Conf_Mode(long context, long session, const char* channel, const char* mode,
                        int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, mode), context, session,
                     channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         const std::string before = o.c.mode;
                         if (Outcome r = SetWord(o.c.mode, "mode", mode, kModes); r.status) {
                             return r;
                         }
                         if (o.c.mode != before) {
                             o.m.stopWaveform(o.ch);
                         }
                         o.m.setPwm(o.ch, o.c.mode == "PWM", o.c.pwmFrequency, o.c.pwmDutyCycle);
                         ApplyLoad(o);
                         return 0;
                     });
}

int32_t DCPWR_Conf_Output_Range(long context, long session, const char* channel, const char* kind,
                                double range, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, kind, range), context, session,
                     channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
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
                             o.m.setVoltageRange(o.ch, r);
                             o.m.setVoltageLevel(o.ch, std::clamp(o.m.voltageLevel(o.ch), -r, r));
                         } else {
                             o.m.setCurrentRange(o.ch, r);
                             o.m.setCurrentLimit(o.ch, std::min(o.m.currentLimit(o.ch), r));
                         }
                         return 0;
                     });
}

int32_t DCPWR_Conf_Voltage_Level(long context, long session, const char* channel, double volts,
                                 int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, volts), context, session,
                     channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         if (Outcome r = CheckVolts(o, volts); r.status) {
                             return r;
                         }
                         o.m.setVoltageLevel(o.ch, volts);
                         return 0;
                     });
}

int32_t DCPWR_Conf_Current_Limit(long context, long session, const char* channel,
                                 const char* behavior, double amperes, int32_t* warning,
                                 int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, behavior, amperes), context,
                     session, channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         const char* b = MatchWord(behavior, kBehaviors);
                         if (!b) {
                             return BadSetting(kDcpwr, "behavior", behavior, kBehaviors);
                         }
                         if (Outcome r = CheckAmperes(o, amperes, false); r.status) {
                             return r;
                         }
                         o.c.limitBehavior = b;
                         o.m.setLimitTrips(o.ch, b == kBehaviors[1]);
                         o.m.setCurrentLimit(o.ch, amperes);
                         return 0;
                     });
}

int32_t DCPWR_Query_Max_Current_Limit(long context, long session, const char* channel, double volts,
                                      double* maxAmperes, int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, volts, maxAmperes), context,
                     session, channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         if (!maxAmperes) {
                             return kErrNullPointer;
                         }
                         if (Outcome r = CheckVolts(o, volts); r.status) {
                             return r;
                         }
                         *maxAmperes = o.m.currentRange(o.ch);
                         return 0;
                     });
}

int32_t DCPWR_Query_Max_Voltage_Level(long context, long session, const char* channel,
                                      double amperes, double* maxVolts, int32_t* warning,
                                      int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, amperes, maxVolts), context,
                     session, channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         if (!maxVolts) {
                             return kErrNullPointer;
                         }
                         if (Outcome r = CheckAmperes(o, amperes, true); r.status) {
                             return r;
                         }
                         *maxVolts = o.m.voltageRange(o.ch);
                         return 0;
                     });
}

int32_t DCPWR_Conf_Output_PWM(long context, long session, const char* channel, double frequency,
                              double dutyCycle, int32_t* warning, int32_t* error,
                              char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, frequency, dutyCycle), context, session,
        channel, warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
            if (Outcome r = NeedsMode(o.c, "PWM"); r.status) {
                return r;
            }
            if (!(frequency > 0 && frequency <= kMaxPwmFrequency)) {
                return BadValue(kDcpwr, "frequency", frequency, "above 0 up to 100 kHz");
            }
            if (!(dutyCycle >= 0 && dutyCycle <= 100)) {
                return BadValue(kDcpwr, "duty cycle", dutyCycle, "0 to 100 %");
            }
            o.c.pwmFrequency = frequency;
            o.c.pwmDutyCycle = dutyCycle;
            o.m.setPwm(o.ch, true, frequency, dutyCycle);
            return 0;
        });
}

int32_t DCPWR_Conf_Const_Current(long context, long session, const char* channel, double amperes,
                                 int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return SinkSetting(__func__, context, session, channel, amperes, "CONST_CURRENT",
                       &Channel::sinkCurrent, warning, error, message);
}

int32_t DCPWR_Conf_Const_Resistance(long context, long session, const char* channel, double ohms,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return SinkSetting(__func__, context, session, channel, ohms, "CONST_RESISTANCE",
                       &Channel::sinkResistance, warning, error, message);
}

int32_t DCPWR_Conf_Const_Power(long context, long session, const char* channel, double watts,
                               int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return SinkSetting(__func__, context, session, channel, watts, "CONST_POWER",
                       &Channel::sinkPower, warning, error, message);
}

int32_t DCPWR_Wait_Until_Settled(long context, long session, const char* channel, long timeoutMs,
                                 int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, timeoutMs), context, session,
                     channel, warning, error, message,
                     [&](const Output& o, ClassLibCall& call) -> Outcome {
                         if (timeoutMs < 0) {
                             return BadValue(kDcpwr, "time-out", timeoutMs, "not negative");
                         }
                         auto* bench = call.bench();
                         const auto* station = bench->station();
                         const double settling =
                             station ? station->settlingTime : kora::vbench::Station{}.settlingTime;
                         bench->clock().waitSeconds(std::min(settling, timeoutMs * 1e-3));
                         o.m.protect(o.ch);
                         return 0;
                     });
}

int32_t DCPWR_Conf_Ground_Relay(long context, long session, const char* channel, long enable,
                                int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enable, warning, error, message,
                   [](const Output& o, bool on) { o.m.setGrounded(o.ch, on); });
}

int32_t DCPWR_Conf_Remote_Sensing(long context, long session, const char* channel, long enable,
                                  int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enable, warning, error, message,
                   [](const Output& o, bool on) { o.m.setRemoteSensing(o.ch, on); });
}

int32_t DCPWR_Conf_Triggered_Voltage_Level(long context, long session, const char* channel,
                                           double volts, int32_t* warning, int32_t* error,
                                           char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, volts), context, session,
                     channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         if (Outcome r = CheckVolts(o, volts); r.status) {
                             return r;
                         }
                         o.c.triggeredVolts = volts;
                         return 0;
                     });
}

int32_t DCPWR_Conf_Triggered_Current_Limit(long context, long session, const char* channel,
                                           double amperes, int32_t* warning, int32_t* error,
                                           char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, amperes), context, session,
                     channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         if (Outcome r = CheckAmperes(o, amperes, false); r.status) {
                             return r;
                         }
                         o.c.triggeredCurrent = amperes;
                         return 0;
                     });
}

int32_t DCPWR_Conf_OVP(long context, long session, const char* channel, long enable,
                       int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enable, warning, error, message,
                   [](const Output& o, bool on) {
                       o.c.ovp = on;
                       o.m.setOverVoltageProtection(o.ch, on);
                   });
}

int32_t DCPWR_Conf_Relay_Protection(long context, long session, const char* channel, long enable,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return SetFlag(__func__, context, session, channel, enable, warning, error, message,
                   [](const Output& o, bool on) { o.c.relayProtection = on; });
}

int32_t DCPWR_Conf_Gated_Output(long context, long session, const char* channel, const char* source,
                                const char* polarity, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, source, polarity), context,
                     session, channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         const char* s = MatchWord(source, kGateSources);
                         const char* p = MatchWord(polarity, kPolarities);
                         if (!s) {
                             return BadSetting(kDcpwr, "gate source", source, kGateSources);
                         }
                         if (!p) {
                             return BadSetting(kDcpwr, "polarity", polarity, kPolarities);
                         }
                         o.c.gatedSource = s;
                         o.c.gatedPolarity = p;
                         return 0;
                     });
}

int32_t DCPWR_Enable_Gated_Output(long context, long session, const char* channel, long enable,
                                  int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, enable), context, session,
                     channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         if (enable && o.c.gatedSource.empty()) {
                             return {kErrSetting, "no gate source configured "
                                                  "(DCPWR_Conf_Gated_Output)"};
                         }
                         o.c.gatedEnabled = enable != 0;
                         return 0;
                     });
}

int32_t DCPWR_Conf_PAC_Control(long context, long session, const char* channel, const char* mode,
                               double value, int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, mode, value), context, session,
                     channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         const char* m = MatchWord(mode, kPacModes);
                         if (!m) {
                             return BadSetting(kDcpwr, "PAC control", mode, kPacModes);
                         }
                         if (m == kPacModes[2] && !(value >= 0 && value <= kVoltageRanges.back())) {
                             return BadValue(kDcpwr, "manual supply voltage", value, "0 to 50 V");
                         }
                         o.c.pacMode = m;
                         o.c.pacVolts = m == kPacModes[2] ? value : 0;
                         o.m.setPacSupply(o.ch, o.c.pacVolts);
                         return 0;
                     });
}

int32_t DCPWR_Reset_Output_Protection(long context, long session, const char* channel,
                                      int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
                         o.m.clearTrip(o.ch);
                         return 0;
                     });
}

int32_t DCPWR_Query_Output_State(long context, long session, const char* channel, const char* state,
                                 int32_t* inState, int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, state, inState), context, session, channel,
        warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
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
                return {DCPWR_ERR_STATE_NOT_SUPPORTED, q + " is not monitored on " + o.supply.name};
            }
            using Trip = PsuModule::Trip;
            const Trip trip = o.m.protect(o.ch);
            const bool on = o.m.outputEnabled(o.ch);
            const bool playing = o.m.waveformActive(o.ch);
            const bool regulating = on && !playing;
            const bool sink = SinkMode(o.c);
            const bool limited = regulating && !sink && o.m.currentLimited(o.ch);
            if (q == "CONSTANT_VOLTAGE") {
                *inState = regulating && !sink && !limited;
            } else if (q == "CONSTANT_CURRENT") {
                *inState = limited || (regulating && sink);
            } else if (q == "ARB_WFM_ACTIVE") {
                *inState = on && playing;
            } else if (q == "UNREGULATED") {
                *inState = !on && trip == Trip::None;
            } else if (q == "OVER_VOLTAGE") {
                *inState = trip == Trip::OverVoltage;
            } else if (q == "OVER_CURRENT") {
                *inState = trip == Trip::OverCurrent;
            }
            return 0;
        });
}

int32_t DCPWR_Query_Sink_State(long context, long session, const char* channel, int32_t* state,
                               double* volts, double* amperes, int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, state, volts, amperes),
                     context, session, channel, warning, error, message,
                     [&](const Output& o, ClassLibCall&) -> Outcome {
                         if (!state || !volts || !amperes) {
                             return kErrNullPointer;
                         }
                         *state = 0;
                         *volts = 0;
                         *amperes = 0;
                         if (!SinkMode(o.c)) {
                             return 0;
                         }
                         using Q = PsuModule::Quantity;
                         const bool on = o.m.outputEnabled(o.ch);
                         const double v = std::fabs(o.m.reading(o.ch, Q::Voltage));
                         // A current below the load's resolution reads as none.
                         const double exact = std::fabs(o.m.exact(o.ch, Q::Current));
                         const double i = exact < kSinkResolution * o.m.currentRange(o.ch)
                                              ? 0.0
                                              : std::fabs(o.m.reading(o.ch, Q::Current));
                         int32_t s = on ? 0 : kSinkOff;
                         if (on) {
                             s |= kSinkVoltageValid | kSinkCurrentValid;
                             if (o.m.loadRegulating(o.ch)) {
                                 s |= kSinkRegulating;
                             }
                         }
                         if (v > o.m.voltageRange(o.ch)) {
                             s = (s & ~kSinkVoltageValid) | kSinkVoltageOver;
                         }
                         if (i > o.m.currentRange(o.ch)) {
                             s = (s & ~kSinkCurrentValid) | kSinkCurrentOver;
                         }
                         *state = s;
                         *volts = v;
                         *amperes = i;
                         return 0;
                     });
}

} // extern "C"
