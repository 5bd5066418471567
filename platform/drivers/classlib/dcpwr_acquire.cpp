// DCPWR: the measurements, acquisitions, arbitrary waveforms and triggers of a DC power channel
// (see dcpwr_channel.cpp for what a channel keeps).
//
// - DCPWR_Measure waits the configured delay, then averages the configured samples of the supply
//   model (psu.h), sampleTime apart on the bench clock: "VOLTAGE" at the output terminals,
//   "VOLTAGE_SENSE" at the sense terminals, "VOLTAGE_SUPPLY" the power stage's supply, "CURRENT"
//   out of HI, "POWER" and "RESISTANCE" as the output sees them. A value that is not valid (a
//   resistance at no current) answers the warning 19018 and NaN.
// - Acquisitions: DCPWR_Initiate_Acquisition arms; the trigger "IMMEDIATE" starts at once,
//   "SOFTWARE" at DCPWR_Send_Software_Trigger, the hardware lines never on the virtual bench.
//   Sample k is taken at start + delay + k sampleTime; a fetch lets the clock run to each sample
//   (one already past is taken at once) and, without a trigger, waits its time-out and answers
//   -19017. Quantities: "VOLTAGE" and "VOLTAGE_SENSE" the output terminals (the voltage the
//   channel senses itself), "VOLTAGE_EXT" the sense terminals, "VOLTAGE_SUPPLY", "CURRENT".
// - A waveform needs the mode "ARB_WFM" (else DCPWR_ERR_NOT_APPLICABLE) and its points
//   (DCPWR_Set_Arb_Wfm); a null array of points keeps that quantity at the channel's level.
//   DCPWR_Initiate_Arb_Wfm plays it from that instant on the model.
// - Triggering: DCPWR_Initiate arms the channel; with the trigger source "IMMEDIATE" it takes
//   the triggered levels at once, with "SOFTWARE" at DCPWR_Send_Software_Trigger.
#include "dcpwr_state.h"

#include <array>
#include <cmath>
#include <utility>
#include <vector>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::ClassLibCall;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using kora::vbench::PsuModule;
using namespace kora::drivers::dcpwr;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;

namespace {

constexpr std::array<const char*, 6> kMeasureQuantities = {
    "VOLTAGE", "VOLTAGE_SENSE", "VOLTAGE_SUPPLY", "CURRENT", "RESISTANCE", "POWER"};
constexpr std::array<const char*, 5> kAcquireQuantities = {
    "VOLTAGE", "VOLTAGE_SENSE", "VOLTAGE_EXT", "VOLTAGE_SUPPLY", "CURRENT"};
constexpr std::array<const char*, 12> kTriggerSources = {"IMMEDIATE", "SOFTWARE", "XTI1", "XTI2",
                                                         "TTL0",      "TTL1",     "TTL2", "TTL3",
                                                         "TTL4",      "TTL5",     "TTL6", "TTL7"};
constexpr std::array<const char*, 3> kEvents = {"CH1", "CH2", "GP"};
// A channel's sample memory for acquisitions and waveforms.
constexpr long kMaxPoints = 100000;

PsuModule::Quantity MeasureQuantity(const char* word) {
    using Q = PsuModule::Quantity;
    const std::string q = word;
    return q == "VOLTAGE_SENSE"    ? Q::SenseVoltage
           : q == "VOLTAGE_SUPPLY" ? Q::SupplyVoltage
           : q == "CURRENT"        ? Q::Current
           : q == "RESISTANCE"     ? Q::Resistance
           : q == "POWER"          ? Q::Power
                                   : Q::Voltage;
}

PsuModule::Quantity AcquireQuantity(const std::string& q) {
    using Q = PsuModule::Quantity;
    return q == "VOLTAGE_EXT"      ? Q::SenseVoltage
           : q == "VOLTAGE_SUPPLY" ? Q::SupplyVoltage
           : q == "CURRENT"        ? Q::Current
                                   : Q::Voltage;
}

} // namespace

extern "C" {

int32_t DCPWR_Conf_Measurement(long context, long session, const char* channel, long sampleCount,
                               double sampleTime, double delay, int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, sampleCount, sampleTime, delay), context,
        session, channel, warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
            Channel& c = o.c;
            if (sampleCount < 1 || sampleCount > kMaxPoints) {
                return BadValue(kDcpwr, "sample count", sampleCount, "1 to 100000");
            }
            if (!(sampleTime > 0) || !(delay >= 0)) {
                return BadValue(kDcpwr, "sample time", sampleTime,
                                "above 0 s, with a delay not negative");
            }
            c.measureCount = sampleCount;
            c.measureTime = sampleTime;
            c.measureDelay = delay;
            o.m.setMeasurement(o.ch, static_cast<int>(sampleCount), sampleTime);
            return 0;
        });
}

int32_t DCPWR_Measure(long context, long session, const char* channel, const char* quantity,
                      double* value, int32_t* warning, int32_t* error,
                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, quantity, value), context,
                     session, channel, warning, error, message,
                     [&](const Output& o, ClassLibCall& call) -> Outcome {
                         if (!value) {
                             return kErrNullPointer;
                         }
                         *value = NAN;
                         const char* q = MatchWord(quantity, kMeasureQuantities);
                         if (!q) {
                             return BadSetting(kDcpwr, "quantity", quantity, kMeasureQuantities);
                         }
                         if (o.c.measureDelay > 0) {
                             call.bench()->clock().waitSeconds(o.c.measureDelay);
                         }
                         o.m.protect(o.ch);
                         *value = o.m.reading(o.ch, MeasureQuantity(q));
                         if (std::isnan(*value)) {
                             return {kWarnNotValid, std::string(q) + " at no current"};
                         }
                         return 0;
                     });
}

int32_t DCPWR_Conf_Acquisition(long context, long session, const char* channel,
                               const char* quantity, long count, double sampleTime,
                               const char* triggerSource, double delay, int32_t* warning,
                               int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__,
        FormatArgs(context, session, channel, quantity, count, sampleTime, triggerSource, delay),
        context, session, channel, warning, error, message,
        [&](const Output& o, ClassLibCall&) -> Outcome {
            Channel& c = o.c;
            const char* q = MatchWord(quantity, kAcquireQuantities);
            const char* t = MatchWord(triggerSource, kTriggerSources);
            if (!q) {
                return BadSetting(kDcpwr, "quantity", quantity, kAcquireQuantities);
            }
            if (!t) {
                return BadSetting(kDcpwr, "trigger source", triggerSource, kTriggerSources);
            }
            if (count < 1 || count > kMaxPoints) {
                return BadValue(kDcpwr, "count", count, "1 to 100000");
            }
            if (!(sampleTime > 0) || !(delay >= 0)) {
                return BadValue(kDcpwr, "sample time", sampleTime,
                                "above 0 s, with a delay not negative");
            }
            c.acqQuantity = q;
            c.acqCount = count;
            c.acqSampleTime = sampleTime;
            c.acqTrigger = t;
            c.acqDelay = delay;
            c.acqInitiated = false;
            return 0;
        });
}

int32_t DCPWR_Initiate_Acquisition(long context, long session, const char* channel,
                                   int32_t* warning, int32_t* error,
                                   char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](const Output& o, ClassLibCall& call) -> Outcome {
                         Channel& c = o.c;
                         if (c.acqCount == 0) {
                             return {kErrSetting, "no acquisition configured "
                                                  "(DCPWR_Conf_Acquisition)"};
                         }
                         c.acqInitiated = true;
                         c.acqTriggered = c.acqTrigger == "IMMEDIATE";
                         c.acqStartNs = call.bench()->clock().nowNs();
                         return 0;
                     });
}

int32_t DCPWR_Fetch_Acquisition(long context, long session, const char* channel, double timeout,
                                long count, double samples[], int32_t* countRead, int32_t* warning,
                                int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, timeout, count, samples, countRead),
        context, session, channel, warning, error, message,
        [&](const Output& o, ClassLibCall& call) -> Outcome {
            Channel& c = o.c;
            if (countRead) {
                *countRead = 0;
            }
            if (!samples) {
                return kErrNullPointer;
            }
            if (count < 1 || !(timeout >= 0)) {
                return BadValue(kDcpwr, "count", count, "at least 1, with a time-out not negative");
            }
            if (!c.acqInitiated) {
                return kErrNoAcquisition;
            }
            auto& clock = call.bench()->clock();
            if (!c.acqTriggered) {
                clock.waitSeconds(timeout);
                return {kErrTimeout, "trigger " + c.acqTrigger};
            }
            const long n = std::min(count, c.acqCount);
            const auto quantity = AcquireQuantity(c.acqQuantity);
            for (long k = 0; k < n; ++k) {
                const auto at =
                    c.acqStartNs +
                    std::llround((c.acqDelay + static_cast<double>(k) * c.acqSampleTime) * 1e9);
                if (clock.nowNs() < at) {
                    clock.wait(at - clock.nowNs());
                }
                samples[k] = o.m.sample(o.ch, quantity);
            }
            c.acqInitiated = false;
            if (countRead) {
                *countRead = static_cast<int32_t>(n);
            }
            return 0;
        });
}

int32_t DCPWR_Conf_Arb_Wfm(long context, long session, const char* channel, long waveform,
                           double pointTime, long cycleCount, int32_t* warning, int32_t* error,
                           char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, waveform, pointTime, cycleCount), context,
        session, channel, warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
            Channel& c = o.c;
            if (waveform != 0) {
                return BadValue(kDcpwr, "waveform", waveform, "0, the channel's one waveform");
            }
            if (!(pointTime > 0) || !std::isfinite(pointTime)) {
                return BadValue(kDcpwr, "point time", pointTime, "above 0 s");
            }
            if (cycleCount < 0) {
                return BadValue(kDcpwr, "cycle count", cycleCount, "0 = until aborted, or more");
            }
            c.arbPointTime = pointTime;
            c.arbCycles = cycleCount;
            return 0;
        });
}

int32_t DCPWR_Set_Arb_Wfm(long context, long session, const char* channel, long count,
                          const double volts[], const double amperes[], int32_t* warning,
                          int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, count, volts, amperes), context, session,
        channel, warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
            Channel& c = o.c;
            if (count < 1 || count > kMaxPoints) {
                return BadValue(kDcpwr, "count", count, "1 to 100000");
            }
            for (long i = 0; i < count; ++i) {
                if (volts) {
                    if (Outcome r = CheckVolts(o, volts[i]); r.status) {
                        return {r.status, "point " + std::to_string(i) + ": " + r.detail};
                    }
                }
                if (amperes) {
                    if (Outcome r = CheckAmperes(o, amperes[i], true); r.status) {
                        return {r.status, "point " + std::to_string(i) + ": " + r.detail};
                    }
                }
            }
            // A null array keeps that quantity at its configured level.
            const auto n = static_cast<std::size_t>(count);
            c.arbVolts = volts ? std::vector<double>(volts, volts + count)
                               : std::vector<double>(n, o.m.voltageLevel(o.ch));
            c.arbAmperes = amperes ? std::vector<double>(amperes, amperes + count)
                                   : std::vector<double>(n, o.m.currentLimit(o.ch));
            c.arbLoaded = true;
            return 0;
        });
}

int32_t DCPWR_Initiate_Arb_Wfm(long context, long session, const char* channel, int32_t* warning,
                               int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
                         Channel& c = o.c;
                         if (Outcome r = NeedsMode(c, "ARB_WFM"); r.status) {
                             return r;
                         }
                         if (!c.arbLoaded) {
                             return kErrNoWaveform;
                         }
                         o.m.playWaveform(o.ch, c.arbVolts, c.arbAmperes, c.arbPointTime,
                                          c.arbCycles);
                         return 0;
                     });
}

int32_t DCPWR_Abort_Arb_Wfm(long context, long session, const char* channel, int32_t* warning,
                            int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
                         Channel& c = o.c;
                         if (Outcome r = NeedsMode(c, "ARB_WFM"); r.status) {
                             return r;
                         }
                         o.m.stopWaveform(o.ch);
                         return 0;
                     });
}

int32_t DCPWR_Conf_Trigger_Source(long context, long session, const char* channel,
                                  const char* source, int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, source), context, session,
                     channel, warning, error, message, [&](const Output& o, ClassLibCall&) {
                         return SetWord(o.c.triggerSource, "trigger source", source,
                                        kTriggerSources);
                     });
}

int32_t DCPWR_Conf_Trigger_Output(long context, long session, const char* channel, long outputMask,
                                  const char* event, long polarityMask, long enableMask,
                                  int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__,
        FormatArgs(context, session, channel, Hex{static_cast<uint64_t>(outputMask)}, event,
                   Hex{static_cast<uint64_t>(polarityMask)},
                   Hex{static_cast<uint64_t>(enableMask)}),
        context, session, channel, warning, error, message,
        [&](const Output& o, ClassLibCall&) -> Outcome {
            Channel& c = o.c;
            const char* e = MatchWord(event, kEvents);
            if (!e) {
                return BadSetting(kDcpwr, "event", event, kEvents);
            }
            for (auto [what, mask] :
                 {std::pair{"output mask", outputMask}, std::pair{"polarity mask", polarityMask},
                  std::pair{"enable mask", enableMask}}) {
                if (Outcome r = CheckMask(what, mask); r.status) {
                    return r;
                }
            }
            // The outputs named take the event, polarity and enable bits given; the others keep
            // theirs.
            c.triggerOutputs |= outputMask;
            c.triggerEvent = e;
            c.triggerPolarity = (c.triggerPolarity & ~outputMask) | (polarityMask & outputMask);
            c.triggerEnable = (c.triggerEnable & ~outputMask) | (enableMask & outputMask);
            return 0;
        });
}

int32_t DCPWR_Initiate(long context, long session, const char* channel, int32_t* warning,
                       int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
                         Channel& c = o.c;
                         if (c.triggerSource == "IMMEDIATE") {
                             TakeTriggeredLevels(o);
                             c.armed = false;
                         } else {
                             c.armed = true;
                         }
                         return 0;
                     });
}

int32_t DCPWR_Send_Software_Trigger(long context, long session, const char* channel,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel), context, session, channel, warning, error,
        message, [&](const Output& o, ClassLibCall& call) -> Outcome {
            Channel& c = o.c;
            if (c.acqInitiated && !c.acqTriggered && c.acqTrigger == "SOFTWARE") {
                // A software trigger starts the acquisition that waits for it.
                c.acqTriggered = true;
                c.acqStartNs = call.bench()->clock().nowNs();
                return 0;
            }
            if (!c.armed) {
                return kErrNotArmed;
            }
            if (c.triggerSource != "SOFTWARE") {
                return {kErrSetting, "the trigger source is " + c.triggerSource + ", not SOFTWARE"};
            }
            TakeTriggeredLevels(o);
            c.armed = false;
            return 0;
        });
}

int32_t DCPWR_Initiate_Trigger(long context, long session, const char* channel, int32_t* warning,
                               int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
                         Channel& c = o.c;
                         ++c.triggerPulses;
                         return 0;
                     });
}

int32_t DCPWR_Abort(long context, long session, const char* channel, int32_t* warning,
                    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](const Output& o, ClassLibCall&) -> Outcome {
                         Channel& c = o.c;
                         c.armed = false;
                         c.acqInitiated = false;
                         return 0;
                     });
}

} // extern "C"
