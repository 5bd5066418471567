// FUNCGEN: the function/arbitrary waveform generator class library over the virtual bench.
//
// A generator is opened by resource descriptor (see SetupInstrument in classlib.h) and keeps its
// two channels' settings, its arbitrary waveforms and its sequences. Its outputs are sources on
// the routing nets of its terminals (vbench/modules/funcgen_output.h); a simulated generator
// keeps the settings only.
//
// Ratings of the virtual generator: outputs within +-10 V (offset plus half the peak-to-peak
// amplitude, or gain plus offset for waveforms and sequences), frequencies above 0 up to 10 MHz,
// duty cycles strictly between 0 and 100 percent, waveform samples within -1..1.
//
// What a channel plays: its standard waveform ("FUNCTION"), its arbitrary waveform times the gain
// plus the offset ("ARBITRARY"), or the waveforms of its sequence one after the other, likewise
// ("SEQUENCE"), at the arbitrary frequency per pass through the samples; "BURST" plays the burst
// count of periods per start, "CONTINUOUS" without end. A marker output follows the markers of the
// first channel that enables it.
//
// Starts. A channel on the trigger source "INTERNAL" runs freely: it starts, after its trigger
// delay, whenever what it plays is configured and at FUNCGEN_InitiateGeneration. A channel on any
// other source is armed by those and waits: FUNCGEN_SendSoftwareTrigger starts a "SOFTWARE"
// channel (again after its delay, a burst again from its first period); nothing on the virtual
// bench drives the "TTLn" and "XTIn" lines. Switching an output on or off does not restart it.
//
// FUNCGEN_InitiateGeneration warns (a positive result) when no channel output is enabled, and
// fails when an enabled channel plays a waveform or sequence it was never given.
#include <funcgen.h>

#include "classlib.h"

#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/funcgen_output.h>

#include <array>
#include <cmath>
#include <map>
#include <string>
#include <vector>

using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::ClassLibCall;
using kora::drivers::ClassLibrary;
using kora::drivers::ClassSessions;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using kora::drivers::StatusText;
using kora::vbench::FormatArgs;

namespace {

constexpr int32_t kErrContext = -18001;
constexpr int32_t kErrHandle = -18002;
constexpr int32_t kErrNotPresent = -18003;
constexpr int32_t kErrNullPointer = -18004;
constexpr int32_t kErrSetting = -18005;
constexpr int32_t kErrValue = -18006;
constexpr int32_t kErrNoBench = -18007;
constexpr int32_t kErrWaveform = -18010;
constexpr int32_t kErrSequence = -18011;
constexpr int32_t kErrInUse = -18012;
constexpr int32_t kErrNothingToPlay = -18013;
constexpr int32_t kErrNotGenerating = -18014;
constexpr int32_t kWarnNoOutput = 18001;

constexpr StatusText kStatusTexts[] = {
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrHandle, "Invalid FUNCGEN handle"},
    {kErrNotPresent, "Device not present"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrSetting, "Invalid setting"},
    {kErrValue, "Value out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrWaveform, "Unknown waveform handle"},
    {kErrSequence, "Unknown sequence handle"},
    {kErrInUse, "Waveform or sequence in use"},
    {kErrNothingToPlay, "No waveform or sequence configured for an enabled channel"},
    {kErrNotGenerating, "Generation not initiated (FUNCGEN_InitiateGeneration)"},
    {kWarnNoOutput, "No channel output is enabled"},
};

constexpr ClassLibrary kFuncgen = {"FUNCGEN",   kStatusTexts, kErrContext,
                                   kErrNoBench, kErrHandle,   kErrNullPointer,
                                   kErrSetting, kErrValue,    kErrNotPresent};

constexpr const char* kVersion = "FUNCGEN 1.0.0 (virtual bench)";
constexpr double kMaxVolts = 10;
constexpr double kMaxFrequency = 10e6;

constexpr std::array<const char*, 2> kChannels = {"CH1", "CH2"};
constexpr std::array<const char*, 3> kOutputModes = {"FUNCTION", "ARBITRARY", "SEQUENCE"};
constexpr std::array<const char*, 2> kOperationModes = {"CONTINUOUS", "BURST"};
constexpr std::array<const char*, 6> kWaveforms = {"DC",       "SINE",    "SQUARE",
                                                   "TRIANGLE", "RAMP_UP", "RAMP_DOWN"};
constexpr std::array<const char*, 12> kTriggerSources = {"INTERNAL", "SOFTWARE", "TTL0", "TTL1",
                                                         "TTL2",     "TTL3",     "TTL4", "TTL5",
                                                         "TTL6",     "TTL7",     "XTI1", "XTI2"};
constexpr std::array<const char*, 2> kMarkers = {"MO1", "MO2"};
constexpr std::array<const char*, 2> kPolarities = {"HIGH", "LOW"};

struct Marker {
    bool enabled = false;
    std::string polarity = "HIGH";
};

struct Channel {
    bool enabled = false;
    std::string outputMode = "FUNCTION";
    std::string operationMode = "CONTINUOUS";
    long burstCount = 1;
    std::string waveform = "SINE";
    double amplitude = 1;
    double offset = 0;
    double frequency = 1000;
    double phase = 0;
    double dutyCycle = 50;
    bool groundRelay = false;
    long waveformHandle = 0; // 0: none
    long sequenceHandle = 0;
    double gain = 1;
    double arbOffset = 0;
    double arbFrequency = 1000;
    std::string triggerSource = "INTERNAL";
    double triggerDelay = 0;
    std::array<Marker, 2> markers{};
    long softwareTriggers = 0;
    bool restart = true;    // what it plays changed since the output last took it
    bool triggered = false; // a trigger came since the output last took it
};

struct Waveform {
    std::vector<double> samples;
    std::array<std::vector<double>, 2> markers; // per channel; empty: none
};

struct Generator {
    std::string name;
    std::string device;
    bool simulated = false;
    std::array<Channel, 2> channels{};
    std::map<long, Waveform> waveforms;
    std::map<long, std::vector<long>> sequences;
    long nextWaveform = 1;
    long nextSequence = 1;
    bool generating = false;
};

ClassSessions<Generator> g_generators;

// What channel c plays now.
kora::vbench::FuncgenSignal SignalOf(const Generator& g, int c) {
    using kora::vbench::FuncgenSignal;
    const Channel& ch = g.channels[static_cast<std::size_t>(c)];
    FuncgenSignal s;
    s.cycles = ch.operationMode == "BURST" ? ch.burstCount : 0;
    if (ch.outputMode == "FUNCTION") {
        constexpr FuncgenSignal::Shape kShapes[] = {
            FuncgenSignal::Shape::Dc,     FuncgenSignal::Shape::Sine,
            FuncgenSignal::Shape::Square, FuncgenSignal::Shape::Triangle,
            FuncgenSignal::Shape::RampUp, FuncgenSignal::Shape::RampDown};
        for (std::size_t k = 0; k < kWaveforms.size(); ++k) {
            if (ch.waveform == kWaveforms[k]) {
                s.shape = kShapes[k];
            }
        }
        s.amplitude = ch.amplitude;
        s.offset = ch.offset;
        s.frequency = ch.frequency;
        s.phase = ch.phase;
        s.duty = ch.dutyCycle;
        return s;
    }
    s.offset = ch.arbOffset;
    std::vector<long> played;
    if (ch.outputMode == "ARBITRARY" && ch.waveformHandle != 0) {
        played.push_back(ch.waveformHandle);
    } else if (ch.outputMode == "SEQUENCE" && g.sequences.count(ch.sequenceHandle)) {
        played = g.sequences.at(ch.sequenceHandle);
    }
    bool anyMarker = false;
    for (long w : played) {
        const Waveform& wave = g.waveforms.at(w);
        anyMarker = anyMarker || !wave.markers[static_cast<std::size_t>(c)].empty();
    }
    for (long w : played) {
        const Waveform& wave = g.waveforms.at(w);
        const auto& marks = wave.markers[static_cast<std::size_t>(c)];
        for (std::size_t i = 0; i < wave.samples.size(); ++i) {
            s.samples.push_back(ch.gain * wave.samples[i] + ch.arbOffset);
            if (anyMarker) {
                s.markers.push_back(i < marks.size() ? marks[i] : 0.0);
            }
        }
    }
    if (!s.samples.empty()) {
        s.shape = FuncgenSignal::Shape::Samples;
        s.frequency = ch.arbFrequency;
    }
    return s;
}

// Brings the generator's outputs in the circuit up to its settings.
void Drive(Generator& g, kora::vbench::VirtualBench* bench) {
    if (!bench || g.simulated) {
        return;
    }
    auto& out = kora::vbench::FuncgenFrontEndOf(*bench, g.device);
    for (int c = 0; c < 2; ++c) {
        Channel& ch = g.channels[static_cast<std::size_t>(c)];
        out.setOutputEnabled(c, ch.enabled);
        out.setGroundRelay(c, ch.groundRelay);
        if (ch.restart || ch.triggered) {
            // Any other source leaves the channel armed: it holds its offset until a trigger.
            std::optional<double> start;
            if (ch.triggerSource == "INTERNAL" || ch.triggered) {
                start = bench->circuitNow() + ch.triggerDelay;
            }
            ch.restart = ch.triggered = false;
            out.play(c, SignalOf(g, c), start);
        }
    }
    for (int line = 0; line < 2; ++line) {
        int from = -1;
        for (int c = 1; c >= 0; --c) {
            if (g.channels[static_cast<std::size_t>(c)]
                    .markers[static_cast<std::size_t>(line)]
                    .enabled) {
                from = c;
            }
        }
        const Marker& m = g.channels[static_cast<std::size_t>(from < 0 ? 0 : from)]
                              .markers[static_cast<std::size_t>(line)];
        out.setMarkerOutput(line, from < 0 ? 0 : from, from >= 0, m.polarity == "HIGH");
    }
}

template <typename Body>
int32_t WithGenerator(const char* function, std::string arguments, long context, long handle,
                      int32_t* warning, int32_t* error, char* message, Body&& body) {
    return kora::drivers::WithClassSession(kFuncgen, g_generators, function, std::move(arguments),
                                           context, handle, warning, error, message,
                                           [&](Generator& g, ClassLibCall& call) {
                                               const Outcome o = body(g);
                                               if (o.status >= 0) {
                                                   Drive(g, call.bench());
                                               }
                                               return o;
                                           });
}

// The channels a channel text addresses: "" both, "CH1" or "CH2" one.
Outcome Addressed(const char* channel, std::vector<int>* out) {
    if (!channel) {
        return {kErrNullPointer, "channel"};
    }
    out->clear();
    if (channel[0] == '\0') {
        *out = {0, 1};
        return 0;
    }
    const char* c = MatchWord(channel, kChannels);
    if (!c) {
        return BadSetting(kFuncgen, "channel", channel, kChannels);
    }
    out->push_back(c == kChannels[0] ? 0 : 1);
    return 0;
}

// Runs `apply` on every addressed channel once `check` has accepted the call.
template <typename Apply>
int32_t OnChannels(const char* function, std::string arguments, long context, long handle,
                   const char* channel, int32_t* warning, int32_t* error, char* message,
                   Apply&& apply) {
    return WithGenerator(function, std::move(arguments), context, handle, warning, error, message,
                         [&](Generator& g) -> Outcome {
                             std::vector<int> which;
                             if (Outcome o = Addressed(channel, &which); o.status) {
                                 return o;
                             }
                             return apply(g, which);
                         });
}

bool WithinOutput(double peak) {
    return std::isfinite(peak) && std::fabs(peak) <= kMaxVolts;
}

// A waveform in a sequence cannot go; one that a channel plays can, and the channel then holds its
// offset.
bool WaveformInUse(const Generator& g, long handle) {
    for (const auto& [id, list] : g.sequences) {
        for (long w : list) {
            if (w == handle) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

extern "C" {

int32_t FUNCGEN_Setup(long context, const char* deviceName, const char* resourceDesc,
                      const char* driverOption, int32_t* handle, int32_t* warning, int32_t* error,
                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::SetupInstrument(kFuncgen, g_generators, __func__, context, deviceName,
                                          resourceDesc, driverOption, false, handle, warning, error,
                                          message, [](const kora::drivers::OpenedDevice& d) {
                                              Generator g;
                                              g.name = d.name;
                                              g.device = d.device;
                                              g.simulated = d.simulated;
                                              // An opened generator starts from its start state,
                                              // whatever an earlier session left on the outputs.
                                              Drive(g, kora::vbench::VirtualBench::active().get());
                                              return g;
                                          });
}

int32_t FUNCGEN_Cleanup(long context, long handle, int32_t* warning, int32_t* error,
                        char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::CleanupSession(kFuncgen, g_generators, __func__, context, handle, warning,
                                         error, message);
}

int32_t FUNCGEN_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE], int32_t* warning,
                            int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return kora::drivers::LibVersion(kFuncgen, __func__, context, version, kVersion, warning, error,
                                     message);
}

int32_t FUNCGEN_Reset(long context, long handle, int32_t* warning, int32_t* error,
                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithGenerator(__func__, FormatArgs(context, handle), context, handle, warning, error,
                         message, [&](Generator& g) -> Outcome {
                             Generator fresh;
                             fresh.name = std::move(g.name);
                             fresh.device = std::move(g.device);
                             fresh.simulated = g.simulated;
                             g = std::move(fresh);
                             return 0;
                         });
}

int32_t FUNCGEN_ConfigureOutputEnabled(long context, long handle, const char* channel, long enabled,
                                       int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, enabled), context, handle,
                      channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          for (int c : which) {
                              g.channels[c].enabled = enabled != 0;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_ConfigureOutputMode(long context, long handle, const char* channel,
                                    const char* mode, int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, mode), context, handle,
                      channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          const char* m = MatchWord(mode, kOutputModes);
                          if (!m) {
                              return BadSetting(kFuncgen, "output mode", mode, kOutputModes);
                          }
                          for (int c : which) {
                              g.channels[c].outputMode = m;
                              g.channels[c].restart = true;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_ConfigureOperationMode(long context, long handle, const char* channel,
                                       const char* mode, int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, mode), context, handle,
                      channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          const char* m = MatchWord(mode, kOperationModes);
                          if (!m) {
                              return BadSetting(kFuncgen, "operation mode", mode, kOperationModes);
                          }
                          for (int c : which) {
                              g.channels[c].operationMode = m;
                              g.channels[c].restart = true;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_ConfigureBurstCount(long context, long handle, const char* channel, long count,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, count), context, handle,
                      channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          if (count < 1) {
                              return BadValue(kFuncgen, "burst count", count, "at least 1");
                          }
                          for (int c : which) {
                              g.channels[c].burstCount = count;
                              g.channels[c].restart = true;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_ConfigureStandardWaveform(long context, long handle, const char* channel,
                                          const char* waveform, double amplitude, double offset,
                                          double frequency, double phase, double dutyCycle,
                                          int32_t* warning, int32_t* error,
                                          char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(
        __func__,
        FormatArgs(context, handle, channel, waveform, amplitude, offset, frequency, phase,
                   dutyCycle),
        context, handle, channel, warning, error, message,
        [&](Generator& g, const std::vector<int>& which) -> Outcome {
            const char* w = MatchWord(waveform, kWaveforms);
            if (!w) {
                return BadSetting(kFuncgen, "waveform", waveform, kWaveforms);
            }
            const bool dc = w == kWaveforms[0];
            if (!(amplitude >= 0) || !WithinOutput(std::fabs(offset) + (dc ? 0 : amplitude / 2))) {
                return BadValue(kFuncgen, "amplitude", amplitude,
                                "not negative, with the offset within +-10 V");
            }
            if (!dc && !(frequency > 0 && frequency <= kMaxFrequency)) {
                return BadValue(kFuncgen, "frequency", frequency, "above 0 up to 10 MHz");
            }
            if (!std::isfinite(phase)) {
                return BadValue(kFuncgen, "phase", phase, "a finite number of degrees");
            }
            if (!dc && !(dutyCycle > 0 && dutyCycle < 100)) {
                return BadValue(kFuncgen, "duty cycle", dutyCycle, "between 0 and 100 %");
            }
            for (int c : which) {
                Channel& ch = g.channels[c];
                ch.waveform = w;
                ch.restart = true;
                ch.amplitude = amplitude;
                ch.offset = offset;
                ch.frequency = frequency;
                ch.phase = phase;
                ch.dutyCycle = dutyCycle;
            }
            return 0;
        });
}

int32_t FUNCGEN_ConfigureGroundRelay(long context, long handle, const char* channel, long enable,
                                     int32_t* warning, int32_t* error,
                                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, enable), context, handle,
                      channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          for (int c : which) {
                              g.channels[c].groundRelay = enable != 0;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_CreateArbWaveform(long context, long handle, long count, const double samples[],
                                  int32_t* waveformHandle, int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithGenerator(__func__, FormatArgs(context, handle, count, samples, waveformHandle),
                         context, handle, warning, error, message, [&](Generator& g) -> Outcome {
                             if (!samples || !waveformHandle) {
                                 return kErrNullPointer;
                             }
                             if (count < 1) {
                                 return BadValue(kFuncgen, "count", count, "at least 1");
                             }
                             for (long i = 0; i < count; ++i) {
                                 if (!(samples[i] >= -1 && samples[i] <= 1)) {
                                     return BadValue(kFuncgen,
                                                     ("sample " + std::to_string(i)).c_str(),
                                                     samples[i], "-1 to 1");
                                 }
                             }
                             const long id = g.nextWaveform++;
                             g.waveforms[id].samples.assign(samples, samples + count);
                             *waveformHandle = static_cast<int32_t>(id);
                             return 0;
                         });
}

int32_t FUNCGEN_ClearArbWaveform(long context, long handle, long waveformHandle, int32_t* warning,
                                 int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithGenerator(__func__, FormatArgs(context, handle, waveformHandle), context, handle,
                         warning, error, message, [&](Generator& g) -> Outcome {
                             if (!g.waveforms.count(waveformHandle)) {
                                 return kErrWaveform;
                             }
                             if (WaveformInUse(g, waveformHandle)) {
                                 return {kErrInUse, "waveform " + std::to_string(waveformHandle)};
                             }
                             g.waveforms.erase(waveformHandle);
                             for (auto& c : g.channels) {
                                 if (c.waveformHandle == waveformHandle) {
                                     c.waveformHandle = 0;
                                     c.restart = true;
                                 }
                             }
                             return 0;
                         });
}

int32_t FUNCGEN_ConfigureArbMarker(long context, long handle, const char* channel,
                                   long waveformHandle, const double markers[], int32_t* warning,
                                   int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, waveformHandle, markers),
                      context, handle, channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          auto it = g.waveforms.find(waveformHandle);
                          if (it == g.waveforms.end()) {
                              return kErrWaveform;
                          }
                          if (!markers) {
                              return kErrNullPointer;
                          }
                          const auto n = it->second.samples.size();
                          for (int c : which) {
                              it->second.markers[c].assign(markers, markers + n);
                              g.channels[c].restart = true;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_ConfigureArbWaveform(long context, long handle, const char* channel,
                                     long waveformHandle, double gain, double offset,
                                     int32_t* warning, int32_t* error,
                                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, waveformHandle, gain, offset),
                      context, handle, channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          if (!g.waveforms.count(waveformHandle)) {
                              return kErrWaveform;
                          }
                          if (!WithinOutput(std::fabs(gain) + std::fabs(offset))) {
                              return BadValue(kFuncgen, "gain", gain,
                                              "with the offset within +-10 V");
                          }
                          for (int c : which) {
                              g.channels[c].waveformHandle = waveformHandle;
                              g.channels[c].gain = gain;
                              g.channels[c].arbOffset = offset;
                              g.channels[c].restart = true;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_ConfigureArbFrequency(long context, long handle, const char* channel,
                                      double frequency, int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(
        __func__, FormatArgs(context, handle, channel, frequency), context, handle, channel,
        warning, error, message, [&](Generator& g, const std::vector<int>& which) -> Outcome {
            if (!(frequency > 0 && frequency <= kMaxFrequency)) {
                return BadValue(kFuncgen, "frequency", frequency, "above 0 up to 10 MHz");
            }
            for (int c : which) {
                g.channels[c].arbFrequency = frequency;
                g.channels[c].restart = true;
            }
            return 0;
        });
}

int32_t FUNCGEN_CreateArbSequence(long context, long handle, long count,
                                  const long waveformHandles[], int32_t* sequenceHandle,
                                  int32_t* warning, int32_t* error,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithGenerator(
        __func__, FormatArgs(context, handle, count, waveformHandles, sequenceHandle), context,
        handle, warning, error, message, [&](Generator& g) -> Outcome {
            if (!waveformHandles || !sequenceHandle) {
                return kErrNullPointer;
            }
            if (count < 1) {
                return BadValue(kFuncgen, "count", count, "at least 1");
            }
            for (long i = 0; i < count; ++i) {
                if (!g.waveforms.count(waveformHandles[i])) {
                    return {kErrWaveform, "waveform " + std::to_string(waveformHandles[i])};
                }
            }
            const long id = g.nextSequence++;
            g.sequences[id].assign(waveformHandles, waveformHandles + count);
            *sequenceHandle = static_cast<int32_t>(id);
            return 0;
        });
}

int32_t FUNCGEN_ClearArbSequence(long context, long handle, long sequenceHandle, int32_t* warning,
                                 int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithGenerator(__func__, FormatArgs(context, handle, sequenceHandle), context, handle,
                         warning, error, message, [&](Generator& g) -> Outcome {
                             if (!g.sequences.count(sequenceHandle)) {
                                 return kErrSequence;
                             }
                             for (auto& c : g.channels) {
                                 if (c.sequenceHandle == sequenceHandle) {
                                     c.sequenceHandle = 0; // the channel holds its offset
                                     c.restart = true;
                                 }
                             }
                             g.sequences.erase(sequenceHandle);
                             return 0;
                         });
}

int32_t FUNCGEN_ConfigureArbSequence(long context, long handle, const char* channel,
                                     long sequenceHandle, double gain, double offset,
                                     int32_t* warning, int32_t* error,
                                     char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, sequenceHandle, gain, offset),
                      context, handle, channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          if (!g.sequences.count(sequenceHandle)) {
                              return kErrSequence;
                          }
                          if (!WithinOutput(std::fabs(gain) + std::fabs(offset))) {
                              return BadValue(kFuncgen, "gain", gain,
                                              "with the offset within +-10 V");
                          }
                          for (int c : which) {
                              g.channels[c].sequenceHandle = sequenceHandle;
                              g.channels[c].gain = gain;
                              g.channels[c].arbOffset = offset;
                              g.channels[c].restart = true;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_ConfigureTriggerSource(long context, long handle, const char* channel,
                                       const char* source, int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(
        __func__, FormatArgs(context, handle, channel, source), context, handle, channel, warning,
        error, message, [&](Generator& g, const std::vector<int>& which) -> Outcome {
            const char* s = MatchWord(source, kTriggerSources);
            if (!s) {
                return BadSetting(kFuncgen, "trigger source", source, kTriggerSources);
            }
            for (int c : which) {
                g.channels[c].triggerSource = s;
                g.channels[c].restart = true;
            }
            return 0;
        });
}

int32_t FUNCGEN_ConfigureTriggerDelay(long context, long handle, const char* channel, double delay,
                                      int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, delay), context, handle,
                      channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          if (!(delay >= 0)) {
                              return BadValue(kFuncgen, "delay", delay, "not negative");
                          }
                          for (int c : which) {
                              g.channels[c].triggerDelay = delay;
                              g.channels[c].restart = true;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_ConfigureMarkerOutput(long context, long handle, const char* channel,
                                      const char* marker, long enable, const char* polarity,
                                      int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(__func__, FormatArgs(context, handle, channel, marker, enable, polarity),
                      context, handle, channel, warning, error, message,
                      [&](Generator& g, const std::vector<int>& which) -> Outcome {
                          const char* m = MatchWord(marker, kMarkers);
                          const char* p = MatchWord(polarity, kPolarities);
                          if (!m) {
                              return BadSetting(kFuncgen, "marker", marker, kMarkers);
                          }
                          if (!p) {
                              return BadSetting(kFuncgen, "polarity", polarity, kPolarities);
                          }
                          for (int c : which) {
                              Marker& out = g.channels[c].markers[m == kMarkers[0] ? 0 : 1];
                              out.enabled = enable != 0;
                              out.polarity = p;
                          }
                          return 0;
                      });
}

int32_t FUNCGEN_InitiateGeneration(long context, long handle, int32_t* warning, int32_t* error,
                                   char message[CLASSLIB_MESSAGE_SIZE]) {
    return WithGenerator(
        __func__, FormatArgs(context, handle), context, handle, warning, error, message,
        [&](Generator& g) -> Outcome {
            bool any = false;
            for (std::size_t c = 0; c < g.channels.size(); ++c) {
                const Channel& ch = g.channels[c];
                if (!ch.enabled) {
                    continue;
                }
                any = true;
                if ((ch.outputMode == "ARBITRARY" && ch.waveformHandle == 0) ||
                    (ch.outputMode == "SEQUENCE" && ch.sequenceHandle == 0)) {
                    return {kErrNothingToPlay, std::string(kChannels[c]) + " in " + ch.outputMode};
                }
            }
            g.generating = true;
            for (Channel& ch : g.channels) {
                ch.restart = ch.restart || ch.enabled;
            }
            return any ? 0 : kWarnNoOutput;
        });
}

int32_t FUNCGEN_SendSoftwareTrigger(long context, long handle, const char* channel,
                                    int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]) {
    return OnChannels(
        __func__, FormatArgs(context, handle, channel), context, handle, channel, warning, error,
        message, [&](Generator& g, const std::vector<int>& which) -> Outcome {
            if (!g.generating) {
                return kErrNotGenerating;
            }
            for (int c : which) {
                if (g.channels[c].triggerSource != "SOFTWARE") {
                    return {kErrSetting, std::string(kChannels[c]) + " is triggered by " +
                                             g.channels[c].triggerSource + ", not SOFTWARE"};
                }
            }
            for (int c : which) {
                ++g.channels[c].softwareTriggers;
                g.channels[c].triggered = true;
            }
            return 0;
        });
}

} // extern "C"
