// SIGANL: the signal analyzer (digitizer) class library over the virtual bench; the instrument
// calls. The analysis functions, which need no instrument, are in siganl_analysis.cpp.
//
// An analyzer is opened by resource descriptor (see SetupInstrument in classlib.h) and keeps the
// settings of its eight channels and two acquisition paths, checked against the words of the
// header. Every call hands the settings on to the analyzer's model in the circuit
// (vbench/modules/digitizer.h), which acquires the records; a simulated analyzer (no station
// device) keeps settings only and acquires nothing.
//
// A path's status is 'U' until it is armed (and again after SIGANL_Abort), 'I' while it waits
// for its trigger or its record is still running in virtual time, 'C' once the record is
// complete. SIGANL_ReadWaveform arms the channel's path and lets virtual time pass until the
// record is complete, or for the time-out when it does not complete by then.
//
// The analyzer's handle is also the handle of its module for the rspam driver
// (rspam_AcquisitionStatusPath), as the class library's session on a module is the module
// driver's session underneath: see SiganlDeviceOf.
#include <siganl.h>

#include "classlib.h"
#include "siganl_codes.h"
#include "siganl_module.h"

#include <vbench/modules/digitizer.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::ClassLibCall;
using kora::drivers::ClassSessions;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using kora::drivers::siganl::kErrNoAcquisition;
using kora::drivers::siganl::kErrNotComplete;
using kora::drivers::siganl::kErrNotSupported;
using kora::drivers::siganl::kErrNullPointer;
using kora::drivers::siganl::kErrTimeout;
using kora::drivers::siganl::kSiganl;
using kora::vbench::Digitizer;
using kora::vbench::DigitizerTrigger;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::VirtualBench;

namespace {

constexpr const char* kVersion = "SIGANL 1.0.0 (virtual bench)";

constexpr std::array<const char*, 8> kChannels = {"CHA1", "CHA2", "CHA3", "CHA4",
                                                  "CHB1", "CHB2", "CHB3", "CHB4"};
constexpr std::array<const char*, 2> kPaths = {"A", "B"};
constexpr std::array<const char*, 1> kCouplings = {"DC"};
constexpr std::array<const char*, 3> kTriggerTypes = {"IMMEDIATE", "SOFTWARE", "EDGE"};
constexpr std::array<const char*, 18> kEdgeSources = {
    "VAL_TTL0", "VAL_TTL1", "VAL_TTL2", "VAL_TTL3", "VAL_TTL4", "VAL_TTL5",
    "VAL_TTL6", "VAL_TTL7", "VAL_XTI1", "VAL_XTI2", "CHA1",     "CHA2",
    "CHA3",     "CHA4",     "CHB1",     "CHB2",     "CHB3",     "CHB4"};
constexpr std::array<const char*, 2> kSlopes = {"POSITIVE", "NEGATIVE"};
constexpr std::array<const char*, 10> kOutputs = {"VAL_XTO1", "VAL_XTO2", "VAL_TTL0", "VAL_TTL1",
                                                  "VAL_TTL2", "VAL_TTL3", "VAL_TTL4", "VAL_TTL5",
                                                  "VAL_TTL6", "VAL_TTL7"};
constexpr std::array<const char*, 11> kOutputSources = {
    "VAL_OUT_SRC_ATA1",  "VAL_OUT_SRC_ATA2",  "VAL_OUT_SRC_ATA3", "VAL_OUT_SRC_ATA4",
    "VAL_OUT_SRC_ATB1",  "VAL_OUT_SRC_ATB2",  "VAL_OUT_SRC_ATB3", "VAL_OUT_SRC_ATB4",
    "VAL_OUT_SRC_IT1_A", "VAL_OUT_SRC_IT1_B", "VAL_OUT_SRC_XTI"};
constexpr std::array<const char*, 2> kPolarities = {"HIGH", "LOW"};
constexpr long kTriggerOutputMask = 0x3FF;
constexpr std::size_t kFirstChannelSource = 10; // kEdgeSources from CHA1 on
constexpr std::size_t kChannelsPerPath = 4;
constexpr long kMaxRecord = 1 << 24;

struct InputChannel {
    double impedance = 1e6;
    double maxFrequency = 20e6;
    bool digitalFilter = false;
    double range = 10;
    double offset = 0;
    std::string coupling = "DC";
    double probeAttenuation = 1;
    bool enabled = true;
};

struct Path {
    bool groundRelay = false;
    std::string triggerType = "IMMEDIATE";
    double triggerValue = 0; // level (EDGE) or delay
    std::string edgeSource;
    double edgeLevel = 0;
    std::string edgeSlope = "POSITIVE";
    double acqTime = 1e-3;
    long count = 1000;
    double delay = 0;
};

struct Analyzer {
    std::string name;
    std::string device;
    bool simulated = false;
    std::array<InputChannel, 8> channels{};
    std::array<Path, 2> paths{Path{.edgeSource = "CHA1"}, Path{.edgeSource = "CHB1"}};
    long triggerOutputs = 0;
    std::array<std::string, 10> outputSource{}; // per entry of kOutputs; "" = not configured
    std::array<std::string, 10> outputPolarity{};
};

ClassSessions<Analyzer> g_analyzers;

std::size_t IndexOf(const char* word, const auto& words) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == word) {
            return i;
        }
    }
    return 0;
}

// The analyzer's model in the circuit; null for a simulated analyzer or without a bench.
Digitizer* ModelOf(const Analyzer& a, VirtualBench* bench) {
    if (!bench || a.simulated || a.device.empty()) {
        return nullptr;
    }
    return &kora::vbench::DigitizerOf(*bench, a.device);
}

// Hands the settings on to the model.
void Sync(const Analyzer& a, Digitizer& d) {
    for (std::size_t c = 0; c < kChannels.size(); ++c) {
        const InputChannel& in = a.channels[c];
        d.setInput(static_cast<int>(c), {.impedance = in.impedance,
                                         .maxFrequency = in.maxFrequency,
                                         .digitalFilter = in.digitalFilter,
                                         .range = in.range * in.probeAttenuation,
                                         .offset = in.offset});
    }
    for (std::size_t p = 0; p < a.paths.size(); ++p) {
        const Path& path = a.paths[p];
        DigitizerTrigger t;
        double delay = path.delay;
        if (path.triggerType == kTriggerTypes[1]) {
            t.kind = DigitizerTrigger::Kind::Software;
        } else if (path.triggerType == kTriggerTypes[2]) {
            t.kind = DigitizerTrigger::Kind::Edge;
            const auto s = std::find(kEdgeSources.begin(), kEdgeSources.end(), path.edgeSource);
            const auto index = static_cast<std::size_t>(s - kEdgeSources.begin());
            t.channel = s != kEdgeSources.end() && index >= kFirstChannelSource
                            ? static_cast<int>(index - kFirstChannelSource)
                            : -1;
            t.level = path.edgeLevel;
            t.rising = path.edgeSlope == kSlopes[0];
        }
        if (t.kind != DigitizerTrigger::Kind::Edge) {
            delay += path.triggerValue; // the trigger's own delay
        }
        d.setTrigger(static_cast<int>(p), t);
        d.setRecord(static_cast<int>(p), path.acqTime, path.count, delay);
    }
}

template <typename Body>
int32_t WithAnalyzer(const char* function, std::string arguments, long context, long handle,
                     int32_t* warning, int32_t* error, char* message, Body&& body) {
    return kora::drivers::WithClassSession(kSiganl, g_analyzers, function, std::move(arguments),
                                           context, handle, warning, error, message,
                                           [&](Analyzer& a, ClassLibCall& call) {
                                               Outcome o = body(a);
                                               if (Digitizer* d = ModelOf(a, call.bench())) {
                                                   Sync(a, *d);
                                               }
                                               return o;
                                           });
}

// Calls that act on the model: body(analyzer, model or null).
template <typename Body>
int32_t WithModel(const char* function, std::string arguments, long context, long handle,
                  int32_t* warning, int32_t* error, char* message, Body&& body) {
    return kora::drivers::WithClassSession(kSiganl, g_analyzers, function, std::move(arguments),
                                           context, handle, warning, error, message,
                                           [&](Analyzer& a, ClassLibCall& call) {
                                               Digitizer* d = ModelOf(a, call.bench());
                                               if (d) {
                                                   Sync(a, *d);
                                               }
                                               return body(a, d, call.bench());
                                           });
}

// The channel index of a channel name.
Outcome ChannelIndex(const char* channel, std::size_t* index) {
    const char* c = MatchWord(channel, kChannels);
    if (!c) {
        return BadSetting(kSiganl, "channel", channel, kChannels);
    }
    *index = IndexOf(c, kChannels);
    return 0;
}

// The paths a path text addresses: "" both, "A" or "B" one; with `single` only "A" or "B".
Outcome Paths(const char* path, bool single, std::vector<std::size_t>* out) {
    if (!path) {
        return {kErrNullPointer, "path"};
    }
    out->clear();
    if (path[0] == '\0' && !single) {
        *out = {0, 1};
        return 0;
    }
    const char* p = MatchWord(path, kPaths);
    if (!p) {
        return BadSetting(kSiganl, "path", path, kPaths);
    }
    out->push_back(IndexOf(p, kPaths));
    return 0;
}

template <typename Apply>
int32_t OnPaths(const char* function, std::string arguments, long context, long handle,
                const char* path, bool single, int32_t* warning, int32_t* error, char* message,
                Apply&& apply) {
    return WithAnalyzer(function, std::move(arguments), context, handle, warning, error, message,
                        [&](Analyzer& a) -> Outcome {
                            std::vector<std::size_t> which;
                            if (Outcome o = Paths(path, single, &which); o.status) {
                                return o;
                            }
                            return apply(a, which);
                        });
}

template <typename Apply>
int32_t OnChannel(const char* function, std::string arguments, long context, long handle,
                  const char* channel, int32_t* warning, int32_t* error, char* message,
                  Apply&& apply) {
    return WithAnalyzer(function, std::move(arguments), context, handle, warning, error, message,
                        [&](Analyzer& a) -> Outcome {
                            std::size_t c = 0;
                            if (Outcome o = ChannelIndex(channel, &c); o.status) {
                                return o;
                            }
                            return apply(a.channels[c]);
                        });
}

constexpr char kStatusUnknown = 'U';
constexpr const char* kSimulatedNoRecord = "a simulated analyzer acquires no record";
constexpr const char* kNoSoftwareWait = "no path waits for a software trigger";

char StatusLetter(Digitizer::Status s) {
    switch (s) {
    case Digitizer::Status::Complete:
        return 'C';
    case Digitizer::Status::InProgress:
        return 'I';
    case Digitizer::Status::Unknown:
        break;
    }
    return kStatusUnknown;
}

template <typename Apply>
int32_t OnModelPaths(const char* function, std::string arguments, long context, long handle,
                     const char* path, bool single, int32_t* warning, int32_t* error, char* message,
                     Apply&& apply) {
    return WithModel(function, std::move(arguments), context, handle, warning, error, message,
                     [&](Analyzer&, Digitizer* d, VirtualBench*) -> Outcome {
                         std::vector<std::size_t> which;
                         if (Outcome o = Paths(path, single, &which); o.status) {
                             return o;
                         }
                         return apply(d, which);
                     });
}

Outcome CopySamples(const Digitizer& d, std::size_t channel, long count, double* samples,
                    int32_t* countRead) {
    const std::vector<double>& record = d.samples(static_cast<int>(channel));
    const std::size_t n = std::min(record.size(), static_cast<std::size_t>(count));
    std::copy_n(record.begin(), n, samples);
    *countRead = static_cast<int32_t>(n);
    return 0;
}
} // namespace

extern "C" {

int32_t SIGANL_Setup(long context, const char* deviceName, const char* resourceDesc,
                     const char* driverOption, int32_t* handle, int32_t* warning, int32_t* error,
                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::SetupInstrument(kSiganl, g_analyzers, __func__, context, deviceName,
                                          resourceDesc, driverOption, false, handle, warning, error,
                                          message, [](const kora::drivers::OpenedDevice& d) {
                                              Analyzer a;
                                              a.name = d.name;
                                              a.device = d.device;
                                              a.simulated = d.simulated;
                                              return a;
                                          });
}

int32_t SIGANL_Cleanup(long context, long handle, int32_t* warning, int32_t* error,
                       char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::CleanupSession(kSiganl, g_analyzers, __func__, context, handle, warning,
                                         error, message);
}

int32_t SIGANL_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE], int32_t* warning,
                           int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::LibVersion(kSiganl, __func__, context, version, kVersion, warning, error,
                                     message);
}

int32_t SIGANL_Reset(long context, long handle, int32_t* warning, int32_t* error,
                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithModel(__func__, FormatArgs(context, handle), context, handle, warning, error,
                     message, [&](Analyzer& a, Digitizer* d, VirtualBench*) -> Outcome {
                         for (int p = 0; d && p < 2; ++p) {
                             d->abort(p);
                         }
                         Analyzer fresh;
                         fresh.name = std::move(a.name);
                         fresh.device = std::move(a.device);
                         fresh.simulated = a.simulated;
                         a = std::move(fresh);
                         if (d) {
                             Sync(a, *d);
                         }
                         return 0;
                     });
}

int32_t SIGANL_ConfigureChannelCharacteristics(long context, long handle, const char* channel,
                                               double impedance, double maxFrequency,
                                               int32_t* warning, int32_t* error,
                                               char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__, FormatArgs(context, handle, channel, impedance, maxFrequency), context, handle,
        channel, warning, error, message, [&](InputChannel& c) -> Outcome {
            if (!(impedance > 0) || !std::isfinite(impedance)) {
                return BadValue(kSiganl, "impedance", impedance, "above 0 ohms");
            }
            if (!(maxFrequency > 0) || !std::isfinite(maxFrequency)) {
                return BadValue(kSiganl, "maximum frequency", maxFrequency, "above 0 Hz");
            }
            c.impedance = impedance;
            c.maxFrequency = maxFrequency;
            return 0;
        });
}

int32_t SIGANL_ConfigureDigitalFilter(long context, long handle, const char* channel, long enable,
                                      int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(__func__, FormatArgs(context, handle, channel, enable), context, handle,
                     channel, warning, error, message, [&](InputChannel& c) -> Outcome {
                         c.digitalFilter = enable != 0;
                         return 0;
                     });
}

int32_t SIGANL_ConfigureGroundRelay(long context, long handle, const char* path, long enable,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnPaths(__func__, FormatArgs(context, handle, path, enable), context, handle, path,
                   false, warning, error, message,
                   [&](Analyzer& a, const std::vector<std::size_t>& which) -> Outcome {
                       for (auto p : which) {
                           a.paths[p].groundRelay = enable != 0;
                       }
                       return 0;
                   });
}

int32_t SIGANL_ConfigureChannel(long context, long handle, const char* channel, double range,
                                double offset, const char* coupling, double probeAttenuation,
                                long enabled, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannel(
        __func__,
        FormatArgs(context, handle, channel, range, offset, coupling, probeAttenuation, enabled),
        context, handle, channel, warning, error, message, [&](InputChannel& c) -> Outcome {
            const char* cp = MatchWord(coupling, kCouplings);
            if (!cp) {
                return BadSetting(kSiganl, "coupling", coupling, kCouplings);
            }
            if (!(range > 0) || !std::isfinite(range)) {
                return BadValue(kSiganl, "range", range, "above 0 V");
            }
            if (!std::isfinite(offset)) {
                return BadValue(kSiganl, "offset", offset, "a finite number");
            }
            if (!(probeAttenuation > 0) || !std::isfinite(probeAttenuation)) {
                return BadValue(kSiganl, "probe attenuation", probeAttenuation, "above 0");
            }
            c.range = range;
            c.offset = offset;
            c.coupling = cp;
            c.probeAttenuation = probeAttenuation;
            c.enabled = enabled != 0;
            return 0;
        });
}

int32_t SIGANL_ConfigureTrigger(long context, long handle, const char* path, const char* type,
                                double value, int32_t* warning, int32_t* error,
                                char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnPaths(__func__, FormatArgs(context, handle, path, type, value), context, handle, path,
                   false, warning, error, message,
                   [&](Analyzer& a, const std::vector<std::size_t>& which) -> Outcome {
                       const char* t = MatchWord(type, kTriggerTypes);
                       if (!t) {
                           return BadSetting(kSiganl, "trigger type", type, kTriggerTypes);
                       }
                       const bool edge = t == kTriggerTypes[2];
                       if (edge ? !std::isfinite(value) : !(value >= 0)) {
                           return BadValue(kSiganl, edge ? "level" : "delay", value,
                                           edge ? "a finite number" : "not negative");
                       }
                       for (auto p : which) {
                           a.paths[p].triggerType = t;
                           a.paths[p].triggerValue = value;
                       }
                       return 0;
                   });
}

int32_t SIGANL_ConfigureEdgeTriggerSource(long context, long handle, const char* path,
                                          const char* source, double level, const char* slope,
                                          int32_t* warning, int32_t* error,
                                          char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnPaths(__func__, FormatArgs(context, handle, path, source, level, slope), context,
                   handle, path, false, warning, error, message,
                   [&](Analyzer& a, const std::vector<std::size_t>& which) -> Outcome {
                       const char* s = MatchWord(source, kEdgeSources);
                       const char* sl = MatchWord(slope, kSlopes);
                       if (!s) {
                           return BadSetting(kSiganl, "trigger source", source, kEdgeSources);
                       }
                       if (!sl) {
                           return BadSetting(kSiganl, "slope", slope, kSlopes);
                       }
                       if (!std::isfinite(level)) {
                           return BadValue(kSiganl, "level", level, "a finite number");
                       }
                       for (auto p : which) {
                           a.paths[p].edgeSource = s;
                           a.paths[p].edgeLevel = level;
                           a.paths[p].edgeSlope = sl;
                       }
                       return 0;
                   });
}

int32_t SIGANL_EnableTriggerOutput(long context, long handle, long outputMask, int32_t* warning,
                                   int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithAnalyzer(__func__,
                        FormatArgs(context, handle, Hex{static_cast<uint64_t>(outputMask)}),
                        context, handle, warning, error, message, [&](Analyzer& a) -> Outcome {
                            if (outputMask < 0 || (outputMask & ~kTriggerOutputMask)) {
                                return BadValue(kSiganl, "output mask", outputMask, "bits 0x3FF");
                            }
                            a.triggerOutputs = outputMask;
                            return 0;
                        });
}

int32_t SIGANL_ConfigureTriggerOutput(long context, long handle, const char* output,
                                      const char* source, const char* polarity, int32_t* warning,
                                      int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithAnalyzer(__func__, FormatArgs(context, handle, output, source, polarity), context,
                        handle, warning, error, message, [&](Analyzer& a) -> Outcome {
                            const char* o = MatchWord(output, kOutputs);
                            const char* s = MatchWord(source, kOutputSources);
                            const char* p = MatchWord(polarity, kPolarities);
                            if (!o) {
                                return BadSetting(kSiganl, "output", output, kOutputs);
                            }
                            if (!s) {
                                return BadSetting(kSiganl, "source", source, kOutputSources);
                            }
                            if (!p) {
                                return BadSetting(kSiganl, "polarity", polarity, kPolarities);
                            }
                            const std::size_t i = IndexOf(o, kOutputs);
                            a.outputSource[i] = s;
                            a.outputPolarity[i] = p;
                            return 0;
                        });
}

int32_t SIGANL_ConfigureAcquisitionRecord(long context, long handle, const char* path,
                                          double acqTime, long count, double delay,
                                          int32_t* warning, int32_t* error,
                                          char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnPaths(__func__, FormatArgs(context, handle, path, acqTime, count, delay), context,
                   handle, path, false, warning, error, message,
                   [&](Analyzer& a, const std::vector<std::size_t>& which) -> Outcome {
                       if (!(acqTime > 0) || !std::isfinite(acqTime)) {
                           return BadValue(kSiganl, "acquisition time", acqTime, "above 0 s");
                       }
                       if (count < 1 || count > kMaxRecord) {
                           return BadValue(kSiganl, "count", count, "1 to 16777216 samples");
                       }
                       if (!(delay >= 0) || !std::isfinite(delay)) {
                           return BadValue(kSiganl, "delay", delay, "not negative");
                       }
                       for (auto p : which) {
                           a.paths[p].acqTime = acqTime;
                           a.paths[p].count = count;
                           a.paths[p].delay = delay;
                       }
                       return 0;
                   });
}

int32_t SIGANL_ActualRecordLength(long context, long handle, const char* path, int32_t* length,
                                  int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnPaths(__func__, FormatArgs(context, handle, path, length), context, handle, path, true,
                   warning, error, message,
                   [&](Analyzer& a, const std::vector<std::size_t>& which) -> Outcome {
                       if (!length) {
                           return kErrNullPointer;
                       }
                       *length = static_cast<int32_t>(a.paths[which[0]].count);
                       return 0;
                   });
}

int32_t SIGANL_AcquisitionStatus(long context, long handle, const char* path, char* status,
                                 int32_t* warning, int32_t* error,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnModelPaths(__func__, FormatArgs(context, handle, path, kora::vbench::kOut), context,
                        handle, path, true, warning, error, message,
                        [&](Digitizer* d, const std::vector<std::size_t>& which) -> Outcome {
                            if (!status) {
                                return kErrNullPointer;
                            }
                            *status = d ? StatusLetter(d->status(static_cast<int>(which[0])))
                                        : kStatusUnknown;
                            return 0;
                        });
}

int32_t SIGANL_InitiateAcquisition(long context, long handle, const char* path, int32_t* warning,
                                   int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnModelPaths(__func__, FormatArgs(context, handle, path), context, handle, path, false,
                        warning, error, message,
                        [&](Digitizer* d, const std::vector<std::size_t>& which) -> Outcome {
                            if (!d) {
                                return {kErrNotSupported, kSimulatedNoRecord};
                            }
                            for (auto p : which) {
                                d->initiate(static_cast<int>(p));
                            }
                            return 0;
                        });
}

int32_t SIGANL_SendSoftwareTrigger(long context, long handle, const char* path, int32_t* warning,
                                   int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnModelPaths(__func__, FormatArgs(context, handle, path), context, handle, path, false,
                        warning, error, message,
                        [&](Digitizer* d, const std::vector<std::size_t>& which) -> Outcome {
                            bool any = false;
                            for (auto p : which) {
                                any = (d && d->softwareTrigger(static_cast<int>(p))) || any;
                            }
                            return any ? Outcome(0) : Outcome(kErrNoAcquisition, kNoSoftwareWait);
                        });
}

int32_t SIGANL_Abort(long context, long handle, const char* path, int32_t* warning, int32_t* error,
                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnModelPaths(__func__, FormatArgs(context, handle, path), context, handle, path, false,
                        warning, error, message,
                        [&](Digitizer* d, const std::vector<std::size_t>& which) -> Outcome {
                            for (auto p : which) {
                                if (d) {
                                    d->abort(static_cast<int>(p));
                                }
                            }
                            return 0;
                        });
}

int32_t SIGANL_ReadWaveform(long context, long handle, const char* channel, long count,
                            double timeout, double samples[], int32_t* countRead, int32_t* warning,
                            int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithModel(__func__,
                     FormatArgs(context, handle, channel, count, timeout, samples, countRead),
                     context, handle, warning, error, message,
                     [&](Analyzer&, Digitizer* d, VirtualBench* bench) -> Outcome {
                         if (countRead) {
                             *countRead = 0;
                         }
                         std::size_t c = 0;
                         if (Outcome o = ChannelIndex(channel, &c); o.status) {
                             return o;
                         }
                         if (!samples || !countRead) {
                             return kErrNullPointer;
                         }
                         if (count < 1) {
                             return BadValue(kSiganl, "count", count, "at least 1");
                         }
                         if (!(timeout >= 0) || !std::isfinite(timeout)) {
                             return BadValue(kSiganl, "timeout", timeout, "not negative");
                         }
                         if (!d) {
                             return {kErrNotSupported, kSimulatedNoRecord};
                         }
                         const int path = static_cast<int>(c / kChannelsPerPath);
                         d->initiate(path);
                         const double now = bench->circuitNow();
                         const auto end = d->completeAt(path);
                         if (!end || *end - now > timeout) {
                             bench->clock().waitSeconds(timeout);
                             return kErrTimeout;
                         }
                         bench->clock().waitSeconds(std::max(0.0, *end - now));
                         return CopySamples(*d, c, count, samples, countRead);
                     });
}

int32_t SIGANL_FetchWaveform(long context, long handle, const char* channel, long count,
                             double samples[], int32_t* countRead, int32_t* warning, int32_t* error,
                             char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithModel(__func__, FormatArgs(context, handle, channel, count, samples, countRead),
                     context, handle, warning, error, message,
                     [&](Analyzer&, Digitizer* d, VirtualBench*) -> Outcome {
                         if (countRead) {
                             *countRead = 0;
                         }
                         std::size_t c = 0;
                         if (Outcome o = ChannelIndex(channel, &c); o.status) {
                             return o;
                         }
                         if (!samples || !countRead) {
                             return kErrNullPointer;
                         }
                         if (count < 1) {
                             return BadValue(kSiganl, "count", count, "at least 1");
                         }
                         const int path = static_cast<int>(c / kChannelsPerPath);
                         const auto status = d ? d->status(path) : Digitizer::Status::Unknown;
                         if (status == Digitizer::Status::Unknown) {
                             return kErrNoAcquisition;
                         }
                         if (status != Digitizer::Status::Complete) {
                             return kErrNotComplete;
                         }
                         return CopySamples(*d, c, count, samples, countRead);
                     });
}

} // extern "C"

namespace kora::drivers::siganl {

std::optional<std::string> SiganlDeviceOf(const vbench::DriverCall& call, long handle) {
    const Analyzer* a = g_analyzers.find(call, handle);
    if (!a || a->simulated || a->device.empty()) {
        return std::nullopt;
    }
    return a->device;
}

} // namespace kora::drivers::siganl
