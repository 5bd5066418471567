// rspio2, the working calls of the analog and digital I/O module: channels, groups, levels, the
// sampling engine, triggers and self-correction, over the module's model on the bench
// (vbench/modules/pio2.h says what each setting does to the board).
//
// What the arguments mean here:
// - levels are volts within +-28 V, current limits amperes within 1 mA..0.2 A, thresholds volts
//   with the input low level at or below the input high level; frequencies 0.1 Hz..100 kHz, duty
//   cycles 0..100 %;
// - sample counts 1..5000 (memories 2..5000), sample times 200 us..1000 s;
// - trigger sources 0..10, trigger output masks within 0x1FF, events 0..2.
#include <rspio2.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/pio2.h>

#include "driver_status.h"
#include "module_sessions.h"
#include "rspio2_sessions.h"

#include <cmath>
#include <numeric>
#include <vector>

using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::Pio2Module;
using kora::vbench::Pio2Of;

namespace kora::drivers {
namespace {

constexpr const char* kInterface = "rspio2";

constexpr ViStatus kErrChannel = -1074118640;      // 0xBFFA4010
constexpr ViStatus kErrGroup = -1074118639;        // 0xBFFA4011
constexpr ViStatus kErrValue = -1074118638;        // 0xBFFA4012
constexpr ViStatus kErrAttribute = -1074118637;    // 0xBFFA4013
constexpr ViStatus kErrNotPower = -1074118636;     // 0xBFFA4014
constexpr ViStatus kErrTimeout = -1074118635;      // 0xBFFA4015
constexpr ViStatus kErrNoMeasure = -1074118634;    // 0xBFFA4016
constexpr ViStatus kErrCount = -1074118633;        // 0xBFFA4017
constexpr ViStatus kErrSampleTime = -1074118632;   // 0xBFFA4018
constexpr ViStatus kErrSelector = -1074118631;     // 0xBFFA4019
constexpr ViStatus kErrCouplingMask = -1074118626; // 0xBFFA401E

constexpr StatusText kStatusTexts[] = {
    {kErrChannel, "Invalid channel name (CH1..CH16)"},
    {kErrGroup, "Invalid group name (GRP_A..GRP_D)"},
    {kErrValue, "Parameter value out of range"},
    {kErrAttribute, "Unknown attribute for this channel or group"},
    {kErrNotPower, "Only CH4, CH8, CH12 and CH16 have current limit and remote sensing"},
    {kErrTimeout, "Maximum time exceeded before the operation completed"},
    {kErrNoMeasure, "No analog measurement configured"},
    {kErrCount, "Sample count out of range"},
    {kErrSampleTime, "Sample time out of range (200 us to 1000 s)"},
    {kErrSelector, "Invalid mode, multiplexer, trigger or event selector"},
    {kErrCouplingMask, "Invalid coupling mask (0 to 0xFF)"},
    {RSPIO2_WARN_OVER_RANGE, "Warning: input over range"},
};

constexpr int kMaxSamples = 5000;
constexpr double kMinSampleTime = 2e-4, kMaxSampleTime = 1000;
constexpr double kMinLimit = 1e-3, kMaxLimit = 0.2;
constexpr double kMinFrequency = 0.1, kMaxFrequency = 1e5;
constexpr double kPrecisionCorrection = 2.0, kFastCorrection = 0.3; // seconds
constexpr int kTriggerSources = 11;
constexpr int kTriggerOutputs = 0x1FF;
constexpr int kTriggerEvents = 3;

bool Level(double v) {
    return std::isfinite(v) && std::fabs(v) <= Pio2Module::kMaxLevel;
}

// A call on the module of an open session.
template <typename Body>
ViStatus OnModule(const char* function, std::string args, ViSession vi, Body&& body) {
    return WithSession(kInterface, function, std::move(args), Rspio2Sessions(), vi,
                       [&](DriverCall& call, const std::string& device) -> ViStatus {
                           return body(Pio2Of(*call.bench(), device), call);
                       });
}

// A call on one channel "CH1".."CH16".
template <typename Body>
ViStatus OnChannel(const char* function, std::string args, ViSession vi, ViConstString channel,
                   Body&& body) {
    return OnModule(function, std::move(args), vi, [&](Pio2Module& m, DriverCall&) -> ViStatus {
        const int c = channel ? Pio2Module::channelOf(channel) : -1;
        return c < 0 ? kErrChannel : body(m, c);
    });
}

// A call on one group "GRP_A".."GRP_D".
template <typename Body>
ViStatus OnGroup(const char* function, std::string args, ViSession vi, ViConstString group,
                 Body&& body) {
    return OnModule(function, std::move(args), vi, [&](Pio2Module& m, DriverCall&) -> ViStatus {
        const int g = group ? Pio2Module::groupOf(group) : -1;
        return g < 0 ? kErrGroup : body(m, g);
    });
}

ViStatus FetchStatus(Pio2Module::Fetch f) {
    switch (f) {
    case Pio2Module::Fetch::Ok:
        return VI_SUCCESS;
    case Pio2Module::Fetch::OverRange:
        return RSPIO2_WARN_OVER_RANGE;
    case Pio2Module::Fetch::NotConfigured:
        return kErrNoMeasure;
    default:
        return kErrTimeout;
    }
}

} // namespace

std::span<const StatusText> Rspio2StatusTexts() {
    return kStatusTexts;
}

ViStatus Rspio2CouplingMaskError() {
    return kErrCouplingMask;
}

void Rspio2ResetModule(vbench::VirtualBench& bench, const std::string& device) {
    // A module not used yet is in its start state; making it would only grow the circuit.
    if (Pio2Module* m = vbench::FindPio2(bench, device)) {
        m->reset();
    }
}

} // namespace kora::drivers

using namespace kora::drivers;

extern "C" {

ViStatus rspio2_GetAttributeViReal64(ViSession vi, ViConstString channelOrGroup, ViAttr attribute,
                                     ViReal64* value) {
    return OnModule(
        __func__, FormatArgs(vi, channelOrGroup, Hex{attribute}, value), vi,
        [&](Pio2Module& m, DriverCall&) -> ViStatus {
            if (!value || !channelOrGroup) {
                return kErrNullPointer;
            }
            const int c = Pio2Module::channelOf(channelOrGroup);
            const int g = Pio2Module::groupOf(channelOrGroup);
            switch (attribute) {
            case RSPIO2_ATTR_OUTPUT_LOW_LEVEL:
            case RSPIO2_ATTR_OUTPUT_HIGH_LEVEL:
                if (c < 0) {
                    return kErrChannel;
                }
                *value = attribute == RSPIO2_ATTR_OUTPUT_LOW_LEVEL ? m.lowLevel(c) : m.highLevel(c);
                return VI_SUCCESS;
            case RSPIO2_ATTR_GROUP_OUTPUT_LOW_LEVEL:
            case RSPIO2_ATTR_GROUP_INPUT_HIGH_LEVEL:
            case RSPIO2_ATTR_GROUP_INPUT_LOW_LEVEL:
            case RSPIO2_ATTR_SQUARE_WAVE_FREQUENCY:
            case RSPIO2_ATTR_SQUARE_WAVE_DUTY_CYCLE: {
                if (g < 0) {
                    return kErrGroup;
                }
                const Pio2Module::Group& x = m.group(g);
                const double values[] = {x.outputLow, x.inputHigh, x.inputLow, x.frequency, x.duty};
                *value = values[attribute - RSPIO2_ATTR_GROUP_OUTPUT_LOW_LEVEL];
                return VI_SUCCESS;
            }
            default:
                return kErrAttribute;
            }
        });
}

ViStatus rspio2_WaitForDebounce(ViSession vi, ViInt32 maxTimeMs) {
    return OnModule(
        __func__, FormatArgs(vi, maxTimeMs), vi, [&](Pio2Module& m, DriverCall& call) -> ViStatus {
            const kora::vbench::Station defaults;
            const auto* st = call.bench()->station();
            const double debounce = (st ? st : &defaults)->debounceTime;
            auto& clock = call.bench()->clock();
            const int64_t due = m.lastSwitchNs() + std::llround(debounce * 1e9);
            const int64_t limit = clock.nowNs() + int64_t{std::max(maxTimeMs, 0)} * 1000000;
            if (due > clock.nowNs()) {
                clock.wait(std::min(due, limit) - clock.nowNs());
            }
            return due > limit ? kErrTimeout : VI_SUCCESS;
        });
}

ViStatus rspio2_ConfigureOutputMux(ViSession vi, ViConstString channel, ViInt32 mux) {
    return OnChannel(__func__, FormatArgs(vi, channel, mux), vi, channel,
                     [&](Pio2Module& m, int c) -> ViStatus {
                         if (mux < Pio2Module::kOpen || mux > Pio2Module::kAnalogInput) {
                             return kErrSelector;
                         }
                         m.setMux(c, mux);
                         return VI_SUCCESS;
                     });
}

ViStatus rspio2_ConfigureGround(ViSession vi, ViBoolean grounded) {
    return OnModule(__func__, FormatArgs(vi, grounded), vi,
                    [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        m.setGrounded(grounded != 0);
                        return VI_SUCCESS;
                    });
}

ViStatus rspio2_ConfigureChannelMode(ViSession vi, ViConstString channel, ViInt32 mode) {
    return OnChannel(__func__, FormatArgs(vi, channel, mode), vi, channel,
                     [&](Pio2Module& m, int c) -> ViStatus {
                         if (mode < RSPIO2_MODE_ANALOG || mode > RSPIO2_MODE_PWM) {
                             return kErrSelector;
                         }
                         m.setMode(c, mode);
                         return VI_SUCCESS;
                     });
}

ViStatus rspio2_ConfigureChannelLevels(ViSession vi, ViConstString channel, ViReal64 highLevel,
                                       ViReal64 lowLevel) {
    return OnChannel(__func__, FormatArgs(vi, channel, highLevel, lowLevel), vi, channel,
                     [&](Pio2Module& m, int c) -> ViStatus {
                         if (!Level(highLevel) || !Level(lowLevel)) {
                             return kErrValue;
                         }
                         m.setLevels(c, highLevel, lowLevel);
                         return VI_SUCCESS;
                     });
}

ViStatus rspio2_ConfigureChannelCurrentLimit(ViSession vi, ViConstString channel,
                                             ViReal64 amperes) {
    return OnChannel(__func__, FormatArgs(vi, channel, amperes), vi, channel,
                     [&](Pio2Module& m, int c) -> ViStatus {
                         if (!Pio2Module::isPowerChannel(c)) {
                             return kErrNotPower;
                         }
                         if (!(amperes >= kMinLimit && amperes <= kMaxLimit)) {
                             return kErrValue;
                         }
                         m.setCurrentLimit(c, amperes);
                         return VI_SUCCESS;
                     });
}

ViStatus rspio2_ConfigureGroup(ViSession vi, ViConstString group, ViReal64 outputLow,
                               ViReal64 inputHigh, ViReal64 inputLow) {
    return OnGroup(__func__, FormatArgs(vi, group, outputLow, inputHigh, inputLow), vi, group,
                   [&](Pio2Module& m, int g) -> ViStatus {
                       if (!Level(outputLow) || !Level(inputHigh) || !Level(inputLow) ||
                           inputLow > inputHigh) {
                           return kErrValue;
                       }
                       m.setGroupLevels(g, outputLow, inputHigh, inputLow);
                       return VI_SUCCESS;
                   });
}

ViStatus rspio2_ConfigureSquareWave(ViSession vi, ViConstString group, ViReal64 frequency,
                                    ViReal64 dutyCycle) {
    return OnGroup(__func__, FormatArgs(vi, group, frequency, dutyCycle), vi, group,
                   [&](Pio2Module& m, int g) -> ViStatus {
                       if (!(frequency >= kMinFrequency && frequency <= kMaxFrequency) ||
                           !(dutyCycle >= 0 && dutyCycle <= 100)) {
                           return kErrValue;
                       }
                       m.setSquareWave(g, frequency, dutyCycle);
                       return VI_SUCCESS;
                   });
}

ViStatus rspio2_SquareWaveEnabled(ViSession vi, ViInt32 groupMask, ViInt32 enableMask) {
    return OnModule(__func__,
                    FormatArgs(vi, Hex{static_cast<uint32_t>(groupMask)},
                               Hex{static_cast<uint32_t>(enableMask)}),
                    vi, [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        if (groupMask < 0 || groupMask > 0xF) {
                            return kErrValue;
                        }
                        m.enableSquareWaves(groupMask, enableMask);
                        return VI_SUCCESS;
                    });
}

ViStatus rspio2_ConfigureRemoteSensing(ViSession vi, ViConstString channel, ViBoolean enabled) {
    return OnChannel(__func__, FormatArgs(vi, channel, enabled), vi, channel,
                     [&](Pio2Module& m, int c) -> ViStatus {
                         if (!Pio2Module::isPowerChannel(c)) {
                             return kErrNotPower;
                         }
                         m.setRemoteSensing(c, enabled != 0);
                         return VI_SUCCESS;
                     });
}

ViStatus rspio2_SetDigitalOutputState(ViSession vi, ViUInt16 mask, ViUInt16 state) {
    return OnModule(__func__, FormatArgs(vi, Hex{mask}, Hex{state}), vi,
                    [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        m.setOutputs(mask, state);
                        return VI_SUCCESS;
                    });
}

ViStatus rspio2_ConfigureSampling(ViSession vi, ViInt32 count, ViReal64 sampleTime) {
    return OnModule(
        __func__, FormatArgs(vi, count, sampleTime), vi,
        [&](Pio2Module& m, DriverCall&) -> ViStatus {
            if (count < 1 || count > kMaxSamples) {
                return kErrCount;
            }
            if (!(sampleTime >= kMinSampleTime * (1 - 1e-9) && sampleTime <= kMaxSampleTime)) {
                return kErrSampleTime;
            }
            m.setSampling(count, sampleTime);
            return VI_SUCCESS;
        });
}

ViStatus rspio2_ConfigureAnalogMeasurement(ViSession vi, ViConstString channel, ViReal64 range) {
    return OnModule(__func__, FormatArgs(vi, channel, range), vi,
                    [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        if (!channel || !m.setMeasurement(channel, range)) {
                            return kErrChannel;
                        }
                        return VI_SUCCESS;
                    });
}

ViStatus rspio2_Initiate(ViSession vi) {
    return OnModule(__func__, FormatArgs(vi), vi, [&](Pio2Module& m, DriverCall&) -> ViStatus {
        m.initiate();
        return VI_SUCCESS;
    });
}

ViStatus rspio2_Abort(ViSession vi) {
    return OnModule(__func__, FormatArgs(vi), vi, [&](Pio2Module& m, DriverCall&) -> ViStatus {
        m.abort();
        return VI_SUCCESS;
    });
}

ViStatus rspio2_SendSoftwareTrigger(ViSession vi) {
    return OnModule(__func__, FormatArgs(vi), vi, [&](Pio2Module& m, DriverCall&) -> ViStatus {
        m.softwareTrigger();
        return VI_SUCCESS;
    });
}

ViStatus rspio2_FetchAverage(ViSession vi, ViInt32 timeoutMs, ViReal64* value) {
    return OnModule(__func__, FormatArgs(vi, timeoutMs, value), vi,
                    [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        if (!value) {
                            return kErrNullPointer;
                        }
                        std::vector<double> samples;
                        const auto f = m.fetchAnalog(timeoutMs * 1e-3, m.sampleCount(), &samples);
                        *value = samples.empty()
                                     ? 0.0
                                     : std::accumulate(samples.begin(), samples.end(), 0.0) /
                                           static_cast<double>(samples.size());
                        return FetchStatus(f);
                    });
}

ViStatus rspio2_FetchAnalog(ViSession vi, ViInt32 timeoutMs, ViInt32 count, ViReal64 samples[],
                            ViInt32* actualCount) {
    return OnModule(__func__, FormatArgs(vi, timeoutMs, count, samples, actualCount), vi,
                    [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        if (!samples) {
                            return kErrNullPointer;
                        }
                        if (count < 1 || count > kMaxSamples) {
                            return kErrCount;
                        }
                        std::vector<double> taken;
                        const auto f = m.fetchAnalog(timeoutMs * 1e-3, count, &taken);
                        std::copy(taken.begin(), taken.end(), samples);
                        if (actualCount) {
                            *actualCount = static_cast<ViInt32>(taken.size());
                        }
                        return FetchStatus(f);
                    });
}

ViStatus rspio2_FetchDigital(ViSession vi, ViInt32 timeoutMs, ViInt32 count, ViUInt16 states[],
                             ViInt32* actualCount) {
    return OnModule(__func__, FormatArgs(vi, timeoutMs, count, states, actualCount), vi,
                    [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        if (!states) {
                            return kErrNullPointer;
                        }
                        if (count < 1 || count > kMaxSamples) {
                            return kErrCount;
                        }
                        std::vector<uint16_t> taken;
                        const auto f = m.fetchDigital(timeoutMs * 1e-3, count, &taken);
                        std::copy(taken.begin(), taken.end(), states);
                        if (actualCount) {
                            *actualCount = static_cast<ViInt32>(taken.size());
                        }
                        return FetchStatus(f);
                    });
}

ViStatus rspio2_SetAnalogWaveformMemory(ViSession vi, ViInt32 count, const ViReal64 samples[]) {
    return OnModule(__func__, FormatArgs(vi, count, samples), vi,
                    [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        if (!samples) {
                            return kErrNullPointer;
                        }
                        if (count < 2 || count > kMaxSamples) {
                            return kErrCount;
                        }
                        for (int i = 0; i < count; ++i) {
                            if (!Level(samples[i])) {
                                return kErrValue;
                            }
                        }
                        m.loadWaveform(std::vector<double>(samples, samples + count));
                        return VI_SUCCESS;
                    });
}

ViStatus rspio2_SetDigitalDynamicMemory(ViSession vi, ViInt32 count, const ViUInt16 patterns[]) {
    return OnModule(__func__, FormatArgs(vi, count, patterns), vi,
                    [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        if (!patterns) {
                            return kErrNullPointer;
                        }
                        if (count < 2 || count > kMaxSamples) {
                            return kErrCount;
                        }
                        m.loadPattern(std::vector<uint16_t>(patterns, patterns + count));
                        return VI_SUCCESS;
                    });
}

ViStatus rspio2_ConfigureTriggerSource(ViSession vi, ViInt32 source) {
    return OnModule(__func__, FormatArgs(vi, source), vi,
                    [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        if (source < 0 || source >= kTriggerSources) {
                            return kErrSelector;
                        }
                        m.setTriggerSource(source);
                        return VI_SUCCESS;
                    });
}

ViStatus rspio2_ConfigureTriggerOutput(ViSession vi, ViInt32 outputMask, ViInt32 event,
                                       ViInt32 polarityMask, ViInt32 enableMask) {
    return OnModule(__func__,
                    FormatArgs(vi, Hex{static_cast<uint32_t>(outputMask)}, event,
                               Hex{static_cast<uint32_t>(polarityMask)},
                               Hex{static_cast<uint32_t>(enableMask)}),
                    vi, [&](Pio2Module& m, DriverCall&) -> ViStatus {
                        if (outputMask <= 0 || (outputMask & ~kTriggerOutputs) || event < 0 ||
                            event >= kTriggerEvents) {
                            return kErrSelector;
                        }
                        m.setTriggerOutput(outputMask, event, polarityMask, enableMask);
                        return VI_SUCCESS;
                    });
}

ViStatus rspio2_PerformAutoCorrection(ViSession vi) {
    return OnModule(__func__, FormatArgs(vi), vi, [&](Pio2Module&, DriverCall& call) -> ViStatus {
        call.bench()->clock().waitSeconds(kPrecisionCorrection);
        return VI_SUCCESS;
    });
}

ViStatus rspio2_PerformFastAutoCorrection(ViSession vi) {
    return OnModule(__func__, FormatArgs(vi), vi, [&](Pio2Module&, DriverCall& call) -> ViStatus {
        call.bench()->clock().waitSeconds(kFastCorrection);
        return VI_SUCCESS;
    });
}

} // extern "C"
