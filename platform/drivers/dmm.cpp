// DMM: the multimeter class library over the virtual bench.
//
// A meter is opened by resource descriptor (see SetupInstrument in classlib.h) and keeps every
// setting it is given, checked against the words and ranges of the header. The meter has no
// measuring model yet: DMM_Read and DMM_Fetch answer "not supported by the virtual instrument"
// once their arguments and the trigger state have been checked.
//
// Over range: a meter hands back 9.9e37 (or not-a-number) for a reading above its range;
// DMM_Is_Over_Range tells those values apart.
#include <dmm.h>

#include "classlib.h"

#include <array>
#include <cmath>
#include <string>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::ClassLibCall;
using kora::drivers::ClassLibrary;
using kora::drivers::ClassSessions;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using kora::drivers::StatusText;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;

namespace {

constexpr int32_t kErrContext = -15001;
constexpr int32_t kErrHandle = -15002;
constexpr int32_t kErrNullPointer = -15004;
constexpr int32_t kErrSetting = -15005;
constexpr int32_t kErrValue = -15006;
constexpr int32_t kErrNoBench = -15007;
constexpr int32_t kErrNotSupported = -15008;
constexpr int32_t kErrNotInitiated = -15009;

constexpr StatusText kStatusTexts[] = {
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrHandle, "Invalid DMM handle"},
    {DMM_ERR_DEVICE_NOT_PRESENT, "Device not present"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrSetting, "Invalid setting"},
    {kErrValue, "Value out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrNotSupported, "Not supported by the virtual instrument"},
    {kErrNotInitiated, "No acquisition initiated (DMM_Initiate)"},
    {DMM_ERR_NO_VALID_SAMPLE, "No valid sample"},
};

constexpr ClassLibrary kDmm = {"DMM",       kStatusTexts, kErrContext,
                               kErrNoBench, kErrHandle,   kErrNullPointer,
                               kErrSetting, kErrValue,    DMM_ERR_DEVICE_NOT_PRESENT};

constexpr const char* kVersion = "DMM 1.0.0 (virtual bench)";
// A reading above the range.
constexpr double kOverRangeValue = 9.9e37;

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
constexpr std::array<const char*, 2> kSlopes = {"POSITIVE", "NEGATIVE"};
constexpr std::array<const char*, 2> kAnalogSources = {"XTA1", "XTA2"};
constexpr std::array<const char*, 2> kAnalogUnits = {"VOLT", "AMPERE"};
constexpr std::array<const char*, 10> kOutputs = {"XTO1", "XTO2", "TTL0", "TTL1", "TTL2",
                                                  "TTL3", "TTL4", "TTL5", "TTL6", "TTL7"};
constexpr std::array<const char*, 4> kOutputEvents = {"IT1", "IT2", "IT3", "IT4"};
constexpr std::array<const char*, 2> kPolarities = {"HIGH", "LOW"};
constexpr std::array<const char*, 12> kCompleteDestinations = {"TTL0", "TTL1", "TTL2",     "TTL3",
                                                               "TTL4", "TTL5", "TTL6",     "TTL7",
                                                               "XTO1", "XTO2", "EXTERNAL", "NONE"};
constexpr std::array<const char*, 2> kGenerators = {"IT1", "IT2"};
constexpr long kTriggerOutputMask = 0x3FF;

struct PulseGenerator {
    std::string source = "SOFTWARE";
    std::string slope = "POSITIVE";
    std::string output = "XTO1";
    std::string polarity = "HIGH";
    double delay = 0;
    long pulseCount = 1;
    double pulseWidth = 1e-6;
    double pulsePause = 1e-6;
    long started = 0; // software starts so far
};

struct Meter {
    std::string name;
    std::string device;
    bool simulated = false;

    std::string function = "DC_VOLTS";
    double range = 0;
    std::string rangeMode = "AUTO_RANGE_ON";
    double resolution = 0;
    double lowpass = 0; // 0: no filter
    long averageCount = 1;
    double averageTime = 0;
    std::string rmsMethod = "EVALUATION";
    long triggerCount = 1;
    long sampleCount = 1;
    std::string sampleTrigger = "INTERVAL";
    double sampleInterval = 0;
    double powerLine = 50;
    std::string autoZero = "AUTO_ZERO_ON";
    bool groundRelay = false;
    std::string triggerSource = "IMMEDIATE";
    double triggerDelay = 0;
    std::string triggerSlope = "POSITIVE";
    std::string analogSource = "XTA1";
    double analogLevel = 0;
    std::string analogUnit = "VOLT";
    long triggerOutputs = 0;
    std::array<std::string, 10> outputEvent{}; // per entry of kOutputs: "" = not configured
    std::array<std::string, 10> outputPolarity{};
    std::string completeDestination = "NONE";
    std::array<PulseGenerator, 2> generators{};
    bool initiated = false;
    long softwareTriggers = 0;
};

ClassSessions<Meter> g_meters;

// The start state of a meter, keeping what identifies it.
void ResetMeter(Meter& m) {
    Meter fresh;
    fresh.name = std::move(m.name);
    fresh.device = std::move(m.device);
    fresh.simulated = m.simulated;
    m = std::move(fresh);
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
    return kora::drivers::WithClassSession(kDmm, g_meters, function, std::move(arguments), context,
                                           handle, warning, error, message,
                                           [&](Meter& m, ClassLibCall&) { return body(m); });
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

// The checks of DMM_Read and DMM_Fetch; the reading itself needs the meter's measuring model.
Outcome Reading(const Meter& m, double maxTime, long count, double values[], int32_t* countRead) {
    if (countRead) {
        *countRead = 0;
    }
    if (!values || !countRead) {
        return kErrNullPointer;
    }
    if (count < 1) {
        return BadValue(kDmm, "count", count, "at least 1");
    }
    if (maxTime < 0) {
        return BadValue(kDmm, "maxTime", maxTime, "not negative");
    }
    return {kErrNotSupported, "the virtual meter " + m.name + " has no measuring model yet"};
}

} // namespace

extern "C" {

int32_t DMM_Setup(long context, const char* deviceName, const char* resourceDesc,
                  const char* driverOption, int32_t* handle, int32_t* warning, int32_t* error,
                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::SetupInstrument(kDmm, g_meters, __func__, context, deviceName,
                                          resourceDesc, driverOption, true, handle, warning, error,
                                          message, [](const kora::drivers::OpenedDevice& d) {
                                              Meter m;
                                              m.name = d.name;
                                              m.device = d.device;
                                              m.simulated = d.simulated;
                                              return m;
                                          });
}

int32_t DMM_Cleanup(long context, long handle, int32_t* warning, int32_t* error,
                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::CleanupSession(kDmm, g_meters, __func__, context, handle, warning, error,
                                         message);
}

int32_t DMM_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE], int32_t* warning,
                        int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::LibVersion(kDmm, __func__, context, version, kVersion, warning, error,
                                     message);
}

int32_t DMM_Conf_Measurement(long context, long handle, const char* function, double range,
                             const char* rangeMode, double resolution, int32_t* warning,
                             int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, function, range, rangeMode, resolution),
                     context, handle, warning, error, message, [&](Meter& m) -> Outcome {
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
                         m.function = f;
                         m.range = range;
                         m.rangeMode = r;
                         m.resolution = resolution;
                         return 0;
                     });
}

int32_t DMM_Read(long context, long handle, double maxTime, long count, double values[],
                 int32_t* countRead, int32_t* warning, int32_t* error,
                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, maxTime, count, values, countRead),
                     context, handle, warning, error, message,
                     [&](Meter& m) { return Reading(m, maxTime, count, values, countRead); });
}

int32_t DMM_Fetch(long context, long handle, double maxTime, long count, double values[],
                  int32_t* countRead, int32_t* warning, int32_t* error,
                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, maxTime, count, values, countRead),
                     context, handle, warning, error, message, [&](Meter& m) -> Outcome {
                         if (countRead) {
                             *countRead = 0;
                         }
                         if (!m.initiated) {
                             return kErrNotInitiated;
                         }
                         return Reading(m, maxTime, count, values, countRead);
                     });
}

int32_t DMM_Is_Over_Range(long context, long handle, double value, int32_t* overRange,
                          int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, value, overRange), context, handle,
                     warning, error, message, [&](Meter&) -> Outcome {
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
                     error, message, [&](Meter& m) -> Outcome {
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
                     warning, error, message, [&](Meter& m) -> Outcome {
                         if (count < 1) {
                             return BadValue(kDmm, "count", count, "at least 1");
                         }
                         if (!(sampleTime >= 0)) {
                             return BadValue(kDmm, "sample time", sampleTime, "not negative");
                         }
                         m.averageCount = count;
                         m.averageTime = sampleTime;
                         return 0;
                     });
}

int32_t DMM_Conf_RMS_Measurement(long context, long handle, const char* method, int32_t* warning,
                                 int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__, FormatArgs(context, handle, method), context, handle, warning, error, message,
        [&](Meter& m) { return SetWord(m.rmsMethod, "RMS method", method, kRmsMethods); });
}

int32_t DMM_Conf_Multi_Point(long context, long handle, long triggerCount, long sampleCount,
                             const char* sampleTrigger, double sampleInterval, int32_t* warning,
                             int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__,
        FormatArgs(context, handle, triggerCount, sampleCount, sampleTrigger, sampleInterval),
        context, handle, warning, error, message, [&](Meter& m) -> Outcome {
            const char* t = MatchWord(sampleTrigger, kSampleTriggers);
            if (!t) {
                return BadSetting(kDmm, "sample trigger", sampleTrigger, kSampleTriggers);
            }
            if (triggerCount < 1) {
                return BadValue(kDmm, "trigger count", triggerCount, "at least 1");
            }
            if (sampleCount < 1) {
                return BadValue(kDmm, "sample count", sampleCount, "at least 1");
            }
            if (!(sampleInterval >= 0)) {
                return BadValue(kDmm, "sample interval", sampleInterval, "not negative");
            }
            m.triggerCount = triggerCount;
            m.sampleCount = sampleCount;
            m.sampleTrigger = t;
            m.sampleInterval = sampleInterval;
            return 0;
        });
}

int32_t DMM_Conf_Power_Line_Frequency(long context, long handle, double frequency, int32_t* warning,
                                      int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, frequency), context, handle, warning,
                     error, message, [&](Meter& m) -> Outcome {
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
    return WithMeter(
        __func__, FormatArgs(context, handle, mode), context, handle, warning, error, message,
        [&](Meter& m) { return SetWord(m.autoZero, "auto-zero mode", mode, kAutoZero); });
}

int32_t DMM_Conf_Ground_Relay(long context, long handle, long enable, int32_t* warning,
                              int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, enable), context, handle, warning, error,
                     message, [&](Meter& m) -> Outcome {
                         m.groundRelay = enable != 0;
                         return 0;
                     });
}

int32_t DMM_Conf_Trigger(long context, long handle, const char* source, double delay,
                         int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, source, delay), context, handle, warning,
                     error, message, [&](Meter& m) -> Outcome {
                         const char* s = MatchWord(source, kTriggerSources);
                         if (!s) {
                             return BadSetting(kDmm, "trigger source", source, kTriggerSources);
                         }
                         if (!(delay >= 0)) {
                             return BadValue(kDmm, "delay", delay, "not negative");
                         }
                         m.triggerSource = s;
                         m.triggerDelay = delay;
                         return 0;
                     });
}

int32_t DMM_Conf_Trigger_Slope(long context, long handle, const char* slope, int32_t* warning,
                               int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, slope), context, handle, warning, error,
                     message,
                     [&](Meter& m) { return SetWord(m.triggerSlope, "slope", slope, kSlopes); });
}

int32_t DMM_Conf_Analog_Trigger(long context, long handle, const char* source, double level,
                                const char* unit, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, source, level, unit), context, handle,
                     warning, error, message, [&](Meter& m) -> Outcome {
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
                         m.analogSource = s;
                         m.analogLevel = level;
                         m.analogUnit = u;
                         return 0;
                     });
}

int32_t DMM_Enable_Trigger_Output(long context, long handle, long outputMask, int32_t* warning,
                                  int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, Hex{static_cast<uint64_t>(outputMask)}),
                     context, handle, warning, error, message, [&](Meter& m) -> Outcome {
                         if (outputMask < 0 || (outputMask & ~kTriggerOutputMask)) {
                             return BadValue(kDmm, "output mask", outputMask, "bits 0x3FF");
                         }
                         m.triggerOutputs = outputMask;
                         return 0;
                     });
}

int32_t DMM_Conf_Trigger_Output(long context, long handle, const char* output, const char* event,
                                const char* polarity, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, output, event, polarity), context,
                     handle, warning, error, message, [&](Meter& m) -> Outcome {
                         const char* o = MatchWord(output, kOutputs);
                         const char* e = MatchWord(event, kOutputEvents);
                         const char* p = MatchWord(polarity, kPolarities);
                         if (!o) {
                             return BadSetting(kDmm, "output", output, kOutputs);
                         }
                         if (!e) {
                             return BadSetting(kDmm, "event", event, kOutputEvents);
                         }
                         if (!p) {
                             return BadSetting(kDmm, "polarity", polarity, kPolarities);
                         }
                         const std::size_t i = IndexOf(o, kOutputs);
                         m.outputEvent[i] = e;
                         m.outputPolarity[i] = p;
                         return 0;
                     });
}

int32_t DMM_Conf_Meas_Complete_Dest(long context, long handle, const char* destination,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, destination), context, handle, warning,
                     error, message, [&](Meter& m) {
                         return SetWord(m.completeDestination, "destination", destination,
                                        kCompleteDestinations);
                     });
}

int32_t DMM_Conf_Trigger_Signal(long context, long handle, const char* generator,
                                const char* source, const char* slope, const char* output,
                                const char* polarity, double delay, long pulseCount,
                                double pulseWidth, double pulsePause, int32_t* warning,
                                int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__,
                     FormatArgs(context, handle, generator, source, slope, output, polarity, delay,
                                pulseCount, pulseWidth, pulsePause),
                     context, handle, warning, error, message, [&](Meter& m) -> Outcome {
                         const char* g = MatchWord(generator, kGenerators);
                         const char* s = MatchWord(source, kTriggerSources);
                         const char* sl = MatchWord(slope, kSlopes);
                         const char* o = MatchWord(output, kOutputs);
                         const char* p = MatchWord(polarity, kPolarities);
                         if (!g) {
                             return BadSetting(kDmm, "generator", generator, kGenerators);
                         }
                         if (!s) {
                             return BadSetting(kDmm, "source", source, kTriggerSources);
                         }
                         if (!sl) {
                             return BadSetting(kDmm, "slope", slope, kSlopes);
                         }
                         if (!o) {
                             return BadSetting(kDmm, "output", output, kOutputs);
                         }
                         if (!p) {
                             return BadSetting(kDmm, "polarity", polarity, kPolarities);
                         }
                         if (!(delay >= 0)) {
                             return BadValue(kDmm, "delay", delay, "not negative");
                         }
                         if (pulseCount < 0) {
                             return BadValue(kDmm, "pulse count", pulseCount,
                                             "0 = until aborted, or more");
                         }
                         if (!(pulseWidth > 0) || !(pulsePause >= 0)) {
                             return BadValue(kDmm, "pulse width", pulseWidth,
                                             "above 0, with a pause not negative");
                         }
                         PulseGenerator& gen = m.generators[IndexOf(g, kGenerators)];
                         gen.source = s;
                         gen.slope = sl;
                         gen.output = o;
                         gen.polarity = p;
                         gen.delay = delay;
                         gen.pulseCount = pulseCount;
                         gen.pulseWidth = pulseWidth;
                         gen.pulsePause = pulsePause;
                         return 0;
                     });
}

int32_t DMM_Initiate(long context, long handle, int32_t* warning, int32_t* error,
                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle), context, handle, warning, error,
                     message, [&](Meter& m) -> Outcome {
                         m.initiated = true;
                         return 0;
                     });
}

int32_t DMM_Send_Software_Trigger(long context, long handle, int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(
        __func__, FormatArgs(context, handle), context, handle, warning, error, message,
        [&](Meter& m) -> Outcome {
            if (!m.initiated) {
                return kErrNotInitiated;
            }
            if (m.triggerSource != "SOFTWARE") {
                return {kErrSetting, "the trigger source is " + m.triggerSource + ", not SOFTWARE"};
            }
            ++m.softwareTriggers;
            return 0;
        });
}

int32_t DMM_Send_Software_Signal(long context, long handle, const char* generator, int32_t* warning,
                                 int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle, generator), context, handle, warning,
                     error, message, [&](Meter& m) -> Outcome {
                         const char* g = MatchWord(generator, kGenerators);
                         if (!g) {
                             return BadSetting(kDmm, "generator", generator, kGenerators);
                         }
                         ++m.generators[IndexOf(g, kGenerators)].started;
                         return 0;
                     });
}

int32_t DMM_Abort(long context, long handle, int32_t* warning, int32_t* error,
                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle), context, handle, warning, error,
                     message, [&](Meter& m) -> Outcome {
                         m.initiated = false;
                         return 0;
                     });
}

int32_t DMM_Reset(long context, long handle, int32_t* warning, int32_t* error,
                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithMeter(__func__, FormatArgs(context, handle), context, handle, warning, error,
                     message, [&](Meter& m) -> Outcome {
                         ResetMeter(m);
                         return 0;
                     });
}

} // extern "C"
