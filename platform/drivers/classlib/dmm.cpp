// DMM: the multimeter class library over the virtual bench.
//
// A meter is opened by resource descriptor (see SetupInstrument in classlib.h) and keeps every
// setting it is given, checked against the words and ranges of the header. It measures the
// station's circuit through its terminals "<device>!hi", "!lo", "!shi", "!slo" and "!i" (the
// device being the name it was opened with); a simulated meter reads fixed values. Functions,
// ranges, accuracy, triggers, records and trigger outputs are those of the meter model
// (vbench/modules/dmm_meter.h). In short:
// - DMM_Conf_Measurement takes a range up to the function's largest; on AUTO_RANGE_OFF the meter
//   uses the smallest range of its table that holds it, on AUTO_RANGE_ON it picks its own.
// - DMM_Initiate arms a record of trigger count x sample count samples (DMM_Conf_Multi_Point),
//   taken as the triggers of the trigger source arrive (IMMEDIATE at once, SOFTWARE at each
//   DMM_Send_Software_Trigger, ITO1/ITO2 at the pulses of the meter's generators, XTA1/XTA2 when
//   the input stands at the analog level); DMM_Fetch hands over the samples, waiting up to its
//   maximum time for missing ones; DMM_Read is DMM_Initiate and DMM_Fetch in one, on a record of
//   its own that ends with the read (samples it did not ask for are dropped).
// - A read or fetch that hands over no sample that is a number answers the warning
//   DMM_ERR_NO_VALID_SAMPLE (15001), with the count of samples it did hand over.
// - DMM_Cleanup puts the meter's input back to a plain voltmeter before it closes the session, so
//   that no test current is left flowing into the board.
// - Over range: a meter hands back +/-9.9e37 for a reading above 120 % of its range (not-a-number
//   for an invalid sample); DMM_Is_Over_Range tells those values apart.
#include <dmm.h>

#include "classlib.h"

#include <vbench/modules/dmm_meter.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::ClassLibCall;
using kora::drivers::ClassLibrary;
using kora::drivers::ClassSessions;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using kora::drivers::StatusText;
using kora::vbench::DmmFunction;
using kora::vbench::DmmMeter;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::kDmmOutputs;
using kora::vbench::VirtualBench;

namespace {

constexpr int32_t kErrContext = -15001;
constexpr int32_t kErrHandle = -15002;
constexpr int32_t kErrNullPointer = -15004;
constexpr int32_t kErrSetting = -15005;
constexpr int32_t kErrValue = -15006;
constexpr int32_t kErrNoBench = -15007;
constexpr int32_t kErrNotInitiated = -15009;

constexpr StatusText kStatusTexts[] = {
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrHandle, "Invalid DMM handle"},
    {DMM_ERR_DEVICE_NOT_PRESENT, "Device not present"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrSetting, "Invalid setting"},
    {kErrValue, "Value out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrNotInitiated, "No acquisition initiated (DMM_Initiate)"},
    {DMM_ERR_NO_VALID_SAMPLE, "No valid sample"},
};

constexpr ClassLibrary kDmm = {"DMM",       kStatusTexts, kErrContext,
                               kErrNoBench, kErrHandle,   kErrNullPointer,
                               kErrSetting, kErrValue,    DMM_ERR_DEVICE_NOT_PRESENT};

constexpr const char* kVersion = "DMM 1.0.0 (virtual bench)";
// A reading above the range.
constexpr double kOverRangeValue = kora::vbench::kDmmOverRangeReading;
// Samples one record may hold (trigger count x sample count).
constexpr long kSampleMemory = 1000000;

// In the order of DmmFunction.
constexpr std::array<const char*, 8> kFunctions = {
    "DC_VOLTS", "DC_CURRENT", "2_WIRE_RES",       "4_WIRE_RES",
    "AC_VOLTS", "AC_CURRENT", "AC_PLUS_DC_VOLTS", "AC_PLUS_DC_CURRENT"};
constexpr std::array<const char*, 2> kRangeModes = {"AUTO_RANGE_OFF", "AUTO_RANGE_ON"};
constexpr std::array<const char*, 1> kRmsMethods = {"EVALUATION"};
constexpr std::array<const char*, 1> kSampleTriggers = {"INTERVAL"};
constexpr std::array<const char*, 3> kAutoZero = {"AUTO_ZERO_ON", "AUTO_ZERO_ONCE",
                                                  "AUTO_ZERO_OFF"};
constexpr std::array<const char*, 16> kTriggerSources = {
    "IMMEDIATE", "SOFTWARE", "XTI1", "XTI2", "TTL0", "TTL1", "TTL2", "TTL3",
    "TTL4",      "TTL5",     "TTL6", "TTL7", "XTA1", "XTA2", "ITO1", "ITO2"};
// What may start a pulse generator: the meter's trigger sources and its measurement event ITO4.
constexpr std::array<const char*, 17> kGeneratorSources = {
    "IMMEDIATE", "SOFTWARE", "XTI1", "XTI2", "TTL0", "TTL1", "TTL2", "TTL3", "TTL4",
    "TTL5",      "TTL6",     "TTL7", "XTA1", "XTA2", "ITO1", "ITO2", "ITO4"};
constexpr std::array<const char*, 2> kSlopes = {"POSITIVE", "NEGATIVE"};
constexpr std::array<const char*, 2> kAnalogSources = {"XTA1", "XTA2"};
constexpr std::array<const char*, 2> kAnalogUnits = {"VOLT", "AMPERE"};
constexpr std::array<const char*, 4> kOutputEvents = {"IT1", "IT2", "IT3", "IT4"};
constexpr std::array<const char*, 2> kPolarities = {"HIGH", "LOW"};
constexpr std::array<const char*, 12> kCompleteDestinations = {"TTL0", "TTL1", "TTL2",     "TTL3",
                                                               "TTL4", "TTL5", "TTL6",     "TTL7",
                                                               "XTO1", "XTO2", "EXTERNAL", "NONE"};
constexpr std::array<const char*, 2> kGenerators = {"IT1", "IT2"};
constexpr long kTriggerOutputMask = 0x3FF;

// The settings the meter model works with live in `meter`; the others are kept here.
struct Meter {
    std::string name;
    std::string device;
    DmmMeter meter{"", false};

    std::string function = "DC_VOLTS";
    std::string rangeMode = "AUTO_RANGE_ON";
    double resolution = 0;
    double lowpass = 0; // 0: no filter
    std::string rmsMethod = "EVALUATION";
    std::string sampleTrigger = "INTERVAL";
    double powerLine = 50;
    std::string autoZero = "AUTO_ZERO_ON";
};

ClassSessions<Meter> g_meters;

// The start state of a meter, keeping what identifies it.
void ResetMeter(Meter& m, VirtualBench* bench) {
    Meter fresh;
    fresh.name = std::move(m.name);
    fresh.device = std::move(m.device);
    fresh.meter = std::move(m.meter);
    m = std::move(fresh);
    m.meter.reset(bench);
}

std::size_t IndexOf(const char* word, const auto& words) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == word) {
            return i;
        }
    }
    return 0;
}

template <typename Body>
int32_t WithMeter(const char* function, std::string arguments, long context, long handle,
                  int32_t* warning, int32_t* error, char* message, Body&& body) {
    return kora::drivers::WithClassSession(
        kDmm, g_meters, function, std::move(arguments), context, handle, warning, error, message,
        [&](Meter& m, ClassLibCall& call) { return body(m, call.bench()); });
}

// A setting of `words` into `out`.
Outcome SetWord(std::string& out, const char* what, const char* text, const auto& words) {
    const char* w = MatchWord(text, words);
    if (!w) {
        return BadSetting(kDmm, what, text, words);
    }
    out = w;
    return 0;
}

std::string Number(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", value);
    return buf;
}

// The checks of DMM_Read and DMM_Fetch.
Outcome CheckReading(double maxTime, long count, double values[], int32_t* countRead) {
    if (!values || !countRead) {
        return kErrNullPointer;
    }
    if (count < 1) {
        return BadValue(kDmm, "count", static_cast<double>(count), "at least 1");
    }
    if (!(maxTime >= 0)) {
        return BadValue(kDmm, "maxTime", maxTime, "not negative");
    }
    return 0;
}

// Hands over the samples of the armed record.
Outcome Fetch(Meter& m, VirtualBench* bench, double maxTime, long count, double values[],
              int32_t* countRead) {
    const DmmMeter::Fetched got = m.meter.fetch(bench, maxTime, count, values);
    *countRead = static_cast<int32_t>(got.count);
    if (got.count == 0) {
        return {DMM_ERR_NO_VALID_SAMPLE, "no trigger from " + m.meter.settings.triggerSource +
                                             " within " + Number(maxTime) + " s"};
    }
    if (got.valid == 0) {
        return {DMM_ERR_NO_VALID_SAMPLE,
                "all " + std::to_string(got.count) + " samples are invalid"};
    }
    return 0;
}

} // namespace

extern "C" {

int32_t DMM_Setup(long context, const char* deviceName, const char* resourceDesc,
                  const char* driverOption, int32_t* handle, int32_t* warning, int32_t* error,
                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::SetupInstrument(
        kDmm, g_meters, __func__, context, deviceName, resourceDesc, driverOption, true, handle,
        warning, error, message, [](const kora::drivers::OpenedDevice& d) {
            Meter m;
            m.name = d.name;
            m.device = d.device;
            // The terminals carry the name the meter is opened with.
            m.meter = DmmMeter(d.name.empty() ? d.device : d.name, d.simulated);
            // The input is part of the circuit from now on.
            m.meter.apply(VirtualBench::active().get());
            return m;
        });
}

int32_t DMM_Cleanup(long context, long handle, int32_t* warning, int32_t* error,
                    char message[CLASSLIB_MESSAGE_SIZE]) {
    ClassLibCall call(kDmm, __func__, FormatArgs(context, handle), context, warning, error,
                      message);
    if (call.early()) {
        return call.finish(call.early());
    }
    Meter* m = g_meters.find(call.driverCall(), handle);
    if (!m) {
        return call.finish(kErrHandle);
    }
    // The input goes back to a plain voltmeter: no test current is left flowing into the board.
    m->meter.reset(call.bench());
    g_meters.close(handle);
    return call.finish(0);
}

int32_t DMM_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE], int32_t* warning,
                        int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::LibVersion(kDmm, __func__, context, version, kVersion, warning, error,
                                     message);
}

int32_t DMM_Conf_Measurement(long context, long handle, const char* function, double range,
                             const char* rangeMode, double resolution, int32_t* warning,
                             int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__, FormatArgs(context, handle, function, range, rangeMode, resolution), context,
        handle, warning, error, message, [&](Meter& m, VirtualBench* bench) -> Outcome {
            const char* f = MatchWord(function, kFunctions);
            const char* r = MatchWord(rangeMode, kRangeModes);
            if (!f) {
                return BadSetting(kDmm, "function", function, kFunctions);
            }
            if (!r) {
                return BadSetting(kDmm, "range mode", rangeMode, kRangeModes);
            }
            if (!(range >= 0)) {
                return BadValue(kDmm, "range", range, "not negative");
            }
            if (!(resolution >= 0)) {
                return BadValue(kDmm, "resolution", resolution, "not negative");
            }
            const auto which = static_cast<DmmFunction>(IndexOf(f, kFunctions));
            const bool autoRange = r == kRangeModes[1];
            const double fixed = kora::vbench::DmmRangeFor(which, range);
            if (!autoRange && fixed == 0) {
                const std::string allowed =
                    "at most " + Number(kora::vbench::DmmRanges(which).back()) + " for " + f;
                return BadValue(kDmm, "range", range, allowed.c_str());
            }
            m.function = f;
            m.rangeMode = r;
            m.resolution = resolution;
            m.meter.settings.function = which;
            m.meter.settings.autoRange = autoRange;
            if (!autoRange) {
                m.meter.settings.range = fixed;
            }
            m.meter.apply(bench);
            return 0;
        });
}

int32_t DMM_Read(long context, long handle, double maxTime, long count, double values[],
                 int32_t* countRead, int32_t* warning, int32_t* error,
                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__, FormatArgs(context, handle, maxTime, count, values, countRead), context, handle,
        warning, error, message, [&](Meter& m, VirtualBench* bench) -> Outcome {
            if (countRead) {
                *countRead = 0;
            }
            if (Outcome bad = CheckReading(maxTime, count, values, countRead); bad.status) {
                return bad;
            }
            // A record of its own, over when the read is.
            m.meter.initiate(bench);
            Outcome got = Fetch(m, bench, maxTime, count, values, countRead);
            m.meter.abort();
            return got;
        });
}

int32_t DMM_Fetch(long context, long handle, double maxTime, long count, double values[],
                  int32_t* countRead, int32_t* warning, int32_t* error,
                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__, FormatArgs(context, handle, maxTime, count, values, countRead), context, handle,
        warning, error, message, [&](Meter& m, VirtualBench* bench) -> Outcome {
            if (countRead) {
                *countRead = 0;
            }
            if (!m.meter.initiated()) {
                return kErrNotInitiated;
            }
            if (Outcome bad = CheckReading(maxTime, count, values, countRead); bad.status) {
                return bad;
            }
            return Fetch(m, bench, maxTime, count, values, countRead);
        });
}

int32_t DMM_Is_Over_Range(long context, long handle, double value, int32_t* overRange,
                          int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, value, overRange), context, handle,
                     warning, error, message, [&](Meter&, VirtualBench*) -> Outcome {
                         if (!overRange) {
                             return kErrNullPointer;
                         }
                         *overRange = std::isnan(value) || std::fabs(value) >= kOverRangeValue;
                         return 0;
                     });
}

int32_t DMM_Conf_Lowpass_Filter(long context, long handle, double frequency, int32_t* warning,
                                int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, frequency), context, handle, warning,
                     error, message, [&](Meter& m, VirtualBench*) -> Outcome {
                         if (!(frequency >= 0)) {
                             return BadValue(kDmm, "frequency", frequency, "0 = off, or above");
                         }
                         m.lowpass = frequency;
                         return 0;
                     });
}

int32_t DMM_Conf_Average(long context, long handle, long count, double sampleTime, int32_t* warning,
                         int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, count, sampleTime), context, handle,
                     warning, error, message, [&](Meter& m, VirtualBench*) -> Outcome {
                         if (count < 1) {
                             return BadValue(kDmm, "count", static_cast<double>(count),
                                             "at least 1");
                         }
                         if (!(sampleTime >= 0)) {
                             return BadValue(kDmm, "sample time", sampleTime, "not negative");
                         }
                         m.meter.settings.averageCount = count;
                         m.meter.settings.averageTime = sampleTime;
                         return 0;
                     });
}

int32_t DMM_Conf_RMS_Measurement(long context, long handle, const char* method, int32_t* warning,
                                 int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, method), context, handle, warning, error,
                     message, [&](Meter& m, VirtualBench*) {
                         return SetWord(m.rmsMethod, "RMS method", method, kRmsMethods);
                     });
}

int32_t DMM_Conf_Multi_Point(long context, long handle, long triggerCount, long sampleCount,
                             const char* sampleTrigger, double sampleInterval, int32_t* warning,
                             int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__,
        FormatArgs(context, handle, triggerCount, sampleCount, sampleTrigger, sampleInterval),
        context, handle, warning, error, message, [&](Meter& m, VirtualBench*) -> Outcome {
            const char* t = MatchWord(sampleTrigger, kSampleTriggers);
            if (!t) {
                return BadSetting(kDmm, "sample trigger", sampleTrigger, kSampleTriggers);
            }
            if (triggerCount < 1) {
                return BadValue(kDmm, "trigger count", static_cast<double>(triggerCount),
                                "at least 1");
            }
            if (sampleCount < 1) {
                return BadValue(kDmm, "sample count", static_cast<double>(sampleCount),
                                "at least 1");
            }
            if (sampleCount > kSampleMemory / triggerCount) {
                return BadValue(kDmm, "sample count", static_cast<double>(sampleCount),
                                "the record of trigger count x sample count holds at most "
                                "1000000 samples");
            }
            if (!(sampleInterval >= 0)) {
                return BadValue(kDmm, "sample interval", sampleInterval, "not negative");
            }
            m.meter.settings.triggerCount = triggerCount;
            m.meter.settings.sampleCount = sampleCount;
            m.sampleTrigger = t;
            m.meter.settings.sampleInterval = sampleInterval;
            return 0;
        });
}

int32_t DMM_Conf_Power_Line_Frequency(long context, long handle, double frequency, int32_t* warning,
                                      int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, frequency), context, handle, warning,
                     error, message, [&](Meter& m, VirtualBench*) -> Outcome {
                         if (frequency != 50 && frequency != 60 && frequency != 400) {
                             return BadValue(kDmm, "power-line frequency", frequency,
                                             "50, 60 or 400 Hz");
                         }
                         m.powerLine = frequency;
                         return 0;
                     });
}

int32_t DMM_Conf_Auto_Zero_Mode(long context, long handle, const char* mode, int32_t* warning,
                                int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, mode), context, handle, warning, error,
                     message, [&](Meter& m, VirtualBench*) {
                         return SetWord(m.autoZero, "auto-zero mode", mode, kAutoZero);
                     });
}

int32_t DMM_Conf_Ground_Relay(long context, long handle, long enable, int32_t* warning,
                              int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, enable), context, handle, warning, error,
                     message, [&](Meter& m, VirtualBench* bench) -> Outcome {
                         m.meter.settings.groundRelay = enable != 0;
                         m.meter.apply(bench);
                         return 0;
                     });
}

int32_t DMM_Conf_Trigger(long context, long handle, const char* source, double delay,
                         int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, source, delay), context, handle, warning,
                     error, message, [&](Meter& m, VirtualBench*) -> Outcome {
                         const char* s = MatchWord(source, kTriggerSources);
                         if (!s) {
                             return BadSetting(kDmm, "trigger source", source, kTriggerSources);
                         }
                         if (!(delay >= 0)) {
                             return BadValue(kDmm, "delay", delay, "not negative");
                         }
                         m.meter.settings.triggerSource = s;
                         m.meter.settings.triggerDelay = delay;
                         return 0;
                     });
}

int32_t DMM_Conf_Trigger_Slope(long context, long handle, const char* slope, int32_t* warning,
                               int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, slope), context, handle, warning, error,
                     message, [&](Meter& m, VirtualBench*) {
                         return SetWord(m.meter.settings.triggerSlope, "slope", slope, kSlopes);
                     });
}

int32_t DMM_Conf_Analog_Trigger(long context, long handle, const char* source, double level,
                                const char* unit, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, source, level, unit), context, handle,
                     warning, error, message, [&](Meter& m, VirtualBench*) -> Outcome {
                         const char* s = MatchWord(source, kAnalogSources);
                         const char* u = MatchWord(unit, kAnalogUnits);
                         if (!s) {
                             return BadSetting(kDmm, "analog trigger source", source,
                                               kAnalogSources);
                         }
                         if (!u) {
                             return BadSetting(kDmm, "unit", unit, kAnalogUnits);
                         }
                         if (!std::isfinite(level)) {
                             return BadValue(kDmm, "level", level, "a finite number");
                         }
                         m.meter.settings.analogSource = s;
                         m.meter.settings.analogLevel = level;
                         m.meter.settings.analogUnit = u;
                         return 0;
                     });
}

int32_t DMM_Enable_Trigger_Output(long context, long handle, long outputMask, int32_t* warning,
                                  int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__, FormatArgs(context, handle, Hex{static_cast<uint64_t>(outputMask)}), context,
        handle, warning, error, message, [&](Meter& m, VirtualBench*) -> Outcome {
            if (outputMask < 0 || (outputMask & ~kTriggerOutputMask)) {
                return BadValue(kDmm, "output mask", static_cast<double>(outputMask), "bits 0x3FF");
            }
            m.meter.settings.outputMask = outputMask;
            return 0;
        });
}

int32_t DMM_Conf_Trigger_Output(long context, long handle, const char* output, const char* event,
                                const char* polarity, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, output, event, polarity), context,
                     handle, warning, error, message, [&](Meter& m, VirtualBench*) -> Outcome {
                         const char* o = MatchWord(output, kDmmOutputs);
                         const char* e = MatchWord(event, kOutputEvents);
                         const char* p = MatchWord(polarity, kPolarities);
                         if (!o) {
                             return BadSetting(kDmm, "output", output, kDmmOutputs);
                         }
                         if (!e) {
                             return BadSetting(kDmm, "event", event, kOutputEvents);
                         }
                         if (!p) {
                             return BadSetting(kDmm, "polarity", polarity, kPolarities);
                         }
                         const std::size_t i = IndexOf(o, kDmmOutputs);
                         m.meter.settings.outputEvent[i] = e;
                         m.meter.settings.outputPolarity[i] = p;
                         return 0;
                     });
}

int32_t DMM_Conf_Meas_Complete_Dest(long context, long handle, const char* destination,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, destination), context, handle, warning,
                     error, message, [&](Meter& m, VirtualBench*) {
                         return SetWord(m.meter.settings.completeDestination, "destination",
                                        destination, kCompleteDestinations);
                     });
}

int32_t DMM_Conf_Trigger_Signal(long context, long handle, const char* generator,
                                const char* source, const char* slope, const char* output,
                                const char* polarity, double delay, long pulseCount,
                                double pulseWidth, double pulsePause, int32_t* warning,
                                int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__,
        FormatArgs(context, handle, generator, source, slope, output, polarity, delay, pulseCount,
                   pulseWidth, pulsePause),
        context, handle, warning, error, message, [&](Meter& m, VirtualBench*) -> Outcome {
            const char* g = MatchWord(generator, kGenerators);
            const char* s = MatchWord(source, kGeneratorSources);
            const char* sl = MatchWord(slope, kSlopes);
            const char* o = MatchWord(output, kDmmOutputs);
            const char* p = MatchWord(polarity, kPolarities);
            if (!g) {
                return BadSetting(kDmm, "generator", generator, kGenerators);
            }
            if (!s) {
                return BadSetting(kDmm, "source", source, kGeneratorSources);
            }
            if (!sl) {
                return BadSetting(kDmm, "slope", slope, kSlopes);
            }
            if (!o) {
                return BadSetting(kDmm, "output", output, kDmmOutputs);
            }
            if (!p) {
                return BadSetting(kDmm, "polarity", polarity, kPolarities);
            }
            if (!(delay >= 0)) {
                return BadValue(kDmm, "delay", delay, "not negative");
            }
            if (pulseCount < 0) {
                return BadValue(kDmm, "pulse count", static_cast<double>(pulseCount),
                                "0 = until aborted, or more");
            }
            if (!(pulseWidth > 0) || !(pulsePause >= 0)) {
                return BadValue(kDmm, "pulse width", pulseWidth,
                                "above 0, with a pause not negative");
            }
            kora::vbench::DmmGenerator& gen = m.meter.settings.generators[IndexOf(g, kGenerators)];
            gen.source = s;
            gen.slope = sl;
            gen.output = o;
            gen.polarity = p;
            gen.delay = delay;
            gen.pulseCount = pulseCount;
            gen.pulseWidth = pulseWidth;
            gen.pulsePause = pulsePause;
            // A new configuration stops the generator until it is started again.
            gen.startNs.reset();
            return 0;
        });
}

int32_t DMM_Initiate(long context, long handle, int32_t* warning, int32_t* error,
                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle), context, handle, warning, error,
                     message, [&](Meter& m, VirtualBench* bench) -> Outcome {
                         m.meter.initiate(bench);
                         return 0;
                     });
}

int32_t DMM_Send_Software_Trigger(long context, long handle, int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__, FormatArgs(context, handle), context, handle, warning, error, message,
        [&](Meter& m, VirtualBench* bench) -> Outcome {
            if (!m.meter.initiated()) {
                return kErrNotInitiated;
            }
            const std::string& source = m.meter.settings.triggerSource;
            if (source != "SOFTWARE") {
                return {kErrSetting, "the trigger source is " + source + ", not SOFTWARE"};
            }
            // A trigger after the record's last one goes nowhere.
            m.meter.softwareTrigger(bench);
            return 0;
        });
}

int32_t DMM_Send_Software_Signal(long context, long handle, const char* generator, int32_t* warning,
                                 int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, generator), context, handle, warning,
                     error, message, [&](Meter& m, VirtualBench* bench) -> Outcome {
                         const char* g = MatchWord(generator, kGenerators);
                         if (!g) {
                             return BadSetting(kDmm, "generator", generator, kGenerators);
                         }
                         const std::size_t i = IndexOf(g, kGenerators);
                         const std::string& source = m.meter.settings.generators[i].source;
                         if (source != "SOFTWARE") {
                             return {kErrSetting, std::string("the source of ") + g + " is " +
                                                      source + ", not SOFTWARE"};
                         }
                         m.meter.startGenerator(bench, static_cast<int>(i));
                         return 0;
                     });
}

int32_t DMM_Abort(long context, long handle, int32_t* warning, int32_t* error,
                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle), context, handle, warning, error,
                     message, [&](Meter& m, VirtualBench*) -> Outcome {
                         m.meter.abort();
                         return 0;
                     });
}

int32_t DMM_Reset(long context, long handle, int32_t* warning, int32_t* error,
                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle), context, handle, warning, error,
                     message, [&](Meter& m, VirtualBench* bench) -> Outcome {
                         ResetMeter(m, bench);
                         return 0;
                     });
}

} // extern "C"
