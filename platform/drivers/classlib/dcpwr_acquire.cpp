// DCPWR: the measurements, acquisitions, arbitrary waveforms and triggers of a DC power channel
// (see dcpwr_channel.cpp for what a channel keeps).
//
// - Measurements (DCPWR_Measure, DCPWR_Fetch_Acquisition) answer "not supported by the virtual
//   instrument" once their arguments and the acquisition state have been checked.
// - A waveform needs the mode "ARB_WFM" (else DCPWR_ERR_NOT_APPLICABLE) and its points
//   (DCPWR_Set_Arb_Wfm); a null array of points keeps that quantity at the channel's level.
// - Triggering: DCPWR_Initiate arms the channel; with the trigger source "IMMEDIATE" it takes
//   the triggered levels at once, with "SOFTWARE" at DCPWR_Send_Software_Trigger.
#include "dcpwr_state.h"

#include <array>
#include <cmath>
#include <utility>
#include <vector>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
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

} // namespace

extern "C" {

int32_t DCPWR_Conf_Measurement(long context, long session, const char* channel, long sampleCount,
                               double sampleTime, double delay, int32_t* warning, int32_t* error,
                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__,
                     FormatArgs(context, session, channel, sampleCount, sampleTime, delay), context,
                     session, channel, warning, error, message,
                     [&](Supply&, Channel& c, std::size_t) -> Outcome {
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
                         return 0;
                     });
}

int32_t DCPWR_Measure(long context, long session, const char* channel, const char* quantity,
                      double* value, int32_t* warning, int32_t* error,
                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, quantity, value), context,
                     session, channel, warning, error, message,
                     [&](Supply& s, Channel&, std::size_t) -> Outcome {
                         if (!value) {
                             return kErrNullPointer;
                         }
                         *value = NAN;
                         if (!MatchWord(quantity, kMeasureQuantities)) {
                             return BadSetting(kDcpwr, "quantity", quantity, kMeasureQuantities);
                         }
                         return {kErrNotSupported,
                                 "the virtual supply " + s.name + " has no measuring model yet"};
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
        [&](Supply&, Channel& c, std::size_t) -> Outcome {
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
                     warning, error, message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (c.acqCount == 0) {
                             return {kErrSetting, "no acquisition configured "
                                                  "(DCPWR_Conf_Acquisition)"};
                         }
                         c.acqInitiated = true;
                         return 0;
                     });
}

int32_t DCPWR_Fetch_Acquisition(long context, long session, const char* channel, double timeout,
                                long count, double samples[], int32_t* countRead, int32_t* warning,
                                int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, timeout, count, samples, countRead),
        context, session, channel, warning, error, message,
        [&](Supply& s, Channel& c, std::size_t) -> Outcome {
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
            return {kErrNotSupported,
                    "the virtual supply " + s.name + " has no measuring model yet"};
        });
}

int32_t DCPWR_Conf_Arb_Wfm(long context, long session, const char* channel, long waveform,
                           double pointTime, long cycleCount, int32_t* warning, int32_t* error,
                           char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, session, channel, waveform, pointTime, cycleCount), context,
        session, channel, warning, error, message,
        [&](Supply&, Channel& c, std::size_t) -> Outcome {
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
        channel, warning, error, message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
            if (count < 1 || count > kMaxPoints) {
                return BadValue(kDcpwr, "count", count, "1 to 100000");
            }
            for (long i = 0; i < count; ++i) {
                if (volts) {
                    if (Outcome o = CheckVolts(c, volts[i]); o.status) {
                        return {o.status, "point " + std::to_string(i) + ": " + o.detail};
                    }
                }
                if (amperes) {
                    if (Outcome o = CheckAmperes(c, amperes[i], true); o.status) {
                        return {o.status, "point " + std::to_string(i) + ": " + o.detail};
                    }
                }
            }
            // A null array keeps that quantity at its configured level.
            c.arbVolts = volts ? std::vector<double>(volts, volts + count)
                               : std::vector<double>(static_cast<std::size_t>(count), c.volts);
            c.arbAmperes =
                amperes ? std::vector<double>(amperes, amperes + count)
                        : std::vector<double>(static_cast<std::size_t>(count), c.currentLimit);
            c.arbLoaded = true;
            return 0;
        });
}

int32_t DCPWR_Initiate_Arb_Wfm(long context, long session, const char* channel, int32_t* warning,
                               int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (Outcome o = NeedsMode(c, "ARB_WFM"); o.status) {
                             return o;
                         }
                         if (!c.arbLoaded) {
                             return kErrNoWaveform;
                         }
                         c.arbRunning = true;
                         return 0;
                     });
}

int32_t DCPWR_Abort_Arb_Wfm(long context, long session, const char* channel, int32_t* warning,
                            int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (Outcome o = NeedsMode(c, "ARB_WFM"); o.status) {
                             return o;
                         }
                         c.arbRunning = false;
                         return 0;
                     });
}

int32_t DCPWR_Conf_Trigger_Source(long context, long session, const char* channel,
                                  const char* source, int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel, source), context, session,
                     channel, warning, error, message, [&](Supply&, Channel& c, std::size_t) {
                         return SetWord(c.triggerSource, "trigger source", source, kTriggerSources);
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
        [&](Supply&, Channel& c, std::size_t) -> Outcome {
            const char* e = MatchWord(event, kEvents);
            if (!e) {
                return BadSetting(kDcpwr, "event", event, kEvents);
            }
            for (auto [what, mask] :
                 {std::pair{"output mask", outputMask}, std::pair{"polarity mask", polarityMask},
                  std::pair{"enable mask", enableMask}}) {
                if (Outcome o = CheckMask(what, mask); o.status) {
                    return o;
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
                     warning, error, message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         if (c.triggerSource == "IMMEDIATE") {
                             TakeTriggeredLevels(c);
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
        message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
            if (!c.armed) {
                return kErrNotArmed;
            }
            if (c.triggerSource != "SOFTWARE") {
                return {kErrSetting, "the trigger source is " + c.triggerSource + ", not SOFTWARE"};
            }
            TakeTriggeredLevels(c);
            c.armed = false;
            return 0;
        });
}

int32_t DCPWR_Initiate_Trigger(long context, long session, const char* channel, int32_t* warning,
                               int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         ++c.triggerPulses;
                         return 0;
                     });
}

int32_t DCPWR_Abort(long context, long session, const char* channel, int32_t* warning,
                    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, session, channel), context, session, channel,
                     warning, error, message, [&](Supply&, Channel& c, std::size_t) -> Outcome {
                         c.armed = false;
                         c.acqInitiated = false;
                         return 0;
                     });
}

} // extern "C"
