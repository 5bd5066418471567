#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/module_registry.h>
#include <vbench/modules/pio2.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace kora::vbench {

namespace {

constexpr double kInputOhms = 100e6;  // loads a 10 kohm source by 0.01 %
constexpr double kSenseBridge = 10e3; // sense node to the source's output
constexpr double kInternal = 1e-3;    // the internal sense switches
constexpr double kFixedLimit = 0.02;  // the channels without a settable limit
constexpr double kPowerLimit = 0.1;   // start value of the settable ones
constexpr double kRanges[] = {1.0, 5.0, 10.0, 28.0};
constexpr double kOfReading = 5e-4, kOfRange = 2e-4; // three sigma
constexpr const char* kGroupNames[] = {"GRP_A", "GRP_B", "GRP_C", "GRP_D"};

std::string Fold(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

int64_t Ns(double seconds) {
    return static_cast<int64_t>(std::llround(seconds * 1e9));
}

} // namespace

Pio2Module::Pio2Module(VirtualBench& bench, std::string name)
    : bench_(bench), name_(std::move(name)), prefix_("vb:" + Fold(name_) + ":") {
    Circuit& c = bench_.circuit();
    const Station defaults;
    const Station* st = bench_.station() ? bench_.station() : &defaults;
    for (int k = 0; k < kChannels; ++k) {
        Channel& x = ch(k);
        const std::string id = prefix_ + "ch" + std::to_string(k + 1);
        const int drive = c.node(id + "_drv");
        x.terminalNode = c.node(Fold(name_) + "!ch" + std::to_string(k + 1));
        x.inputNode = c.node(id + "_in");
        x.source = &c.add<Source>(id, drive, kGround, Source::Mode::Voltage);
        if (isPowerChannel(k)) {
            const int sense = c.node(id + "_sense");
            x.source->setSense(sense, kGround);
            c.add<Resistor>(id + "_bridge", sense, drive, kSenseBridge);
            x.localSense = &c.add<Switch>(id + "_local", sense, drive, kInternal,
                                          st->relayOffResistance, true);
            x.remoteSense = &c.add<Switch>(id + "_remote", sense, x.terminalNode, kInternal,
                                           st->relayOffResistance, false);
        }
        x.output = &c.add<Switch>(id + "_out", drive, x.terminalNode, st->relayResistance,
                                  st->relayOffResistance, false);
        x.input = &c.add<Switch>(id + "_inp", x.terminalNode, x.inputNode, st->relayResistance,
                                 st->relayOffResistance, false);
        c.add<Resistor>(id + "_rin", x.inputNode, kGround, kInputOhms);
    }
    reset();
}

bool Pio2Module::attachedTo(VirtualBench& bench) const {
    return &bench == &bench_ && bench.circuit().find(prefix_ + "ch1") == channels_[0].source;
}

int Pio2Module::channelOf(std::string_view name) {
    if (name.size() < 3 || name.size() > 4 || name.substr(0, 2) != "CH" || name[2] == '0') {
        return -1;
    }
    int n = 0;
    for (char c : name.substr(2)) {
        if (c < '0' || c > '9') {
            return -1;
        }
        n = n * 10 + (c - '0');
    }
    return n >= 1 && n <= kChannels ? n - 1 : -1;
}

int Pio2Module::groupOf(std::string_view name) {
    for (int g = 0; g < kGroups; ++g) {
        if (name == kGroupNames[g]) {
            return g;
        }
    }
    return -1;
}

bool Pio2Module::measurementOf(std::string_view name, int* plus, int* minus) {
    const auto dash = name.find('-');
    *plus = channelOf(name.substr(0, dash));
    *minus = dash == std::string_view::npos ? -1 : channelOf(name.substr(dash + 1));
    if (*plus < 0) {
        return false;
    }
    return dash == std::string_view::npos || (*plus < 8 && *minus == *plus + 8);
}

double Pio2Module::rangeFor(double volts) {
    for (double r : kRanges) {
        if (std::fabs(volts) <= r) {
            return r;
        }
    }
    return 0;
}

void Pio2Module::reset() {
    abort();
    for (int k = 0; k < kChannels; ++k) {
        Channel& x = ch(k);
        setMux(k, kOpen);
        x.mode = kDigital;
        x.high = 5.0;
        x.low = 0.0;
        x.limit = isPowerChannel(k) ? kPowerLimit : kFixedLimit;
        if (isPowerChannel(k)) {
            setRemoteSensing(k, false);
        }
        x.source->setLimit(x.limit);
    }
    groups_ = {};
    grounded_ = false;
    outputs_ = lastInputs_ = 0;
    sampleCount_ = 1;
    sampleTime_ = 2e-4;
    plus_ = minus_ = -1;
    range_ = kMaxLevel;
    waveform_.clear();
    pattern_.clear();
    playbackLoaded_ = false;
    trigger_ = kImmediate;
    triggerEnabled_ = 0;
    follow();
}

void Pio2Module::setMux(int channel, int mux) {
    Channel& x = ch(channel);
    if (x.mux == mux && x.output) {
        x.output->setClosed(mux == kOutput);
        x.input->setClosed(mux == kAnalogInput);
        return;
    }
    bench_.beforeChange();
    x.mux = mux;
    x.output->setClosed(mux == kOutput);
    x.input->setClosed(mux == kAnalogInput);
    lastSwitchNs_ = bench_.clock().nowNs();
}

void Pio2Module::setRemoteSensing(int channel, bool on) {
    Channel& x = ch(channel);
    bench_.beforeChange();
    x.sensing = on;
    x.localSense->setClosed(!on);
    x.remoteSense->setClosed(on);
}

void Pio2Module::setMode(int channel, int mode) {
    ch(channel).mode = mode;
    follow();
}

void Pio2Module::setLevels(int channel, double high, double low) {
    ch(channel).high = high;
    ch(channel).low = low;
    follow();
}

void Pio2Module::setCurrentLimit(int channel, double amperes) {
    bench_.beforeChange();
    ch(channel).limit = amperes;
    ch(channel).source->setLimit(amperes);
}

void Pio2Module::setGroupLevels(int group, double outputLow, double inputHigh, double inputLow) {
    Group& g = groups_[static_cast<std::size_t>(group)];
    g.outputLow = outputLow;
    g.inputHigh = inputHigh;
    g.inputLow = inputLow;
    follow();
}

void Pio2Module::setSquareWave(int group, double frequency, double duty) {
    Group& g = groups_[static_cast<std::size_t>(group)];
    g.frequency = frequency;
    g.duty = duty;
    follow();
}

void Pio2Module::enableSquareWaves(int groupMask, int enableMask) {
    for (int g = 0; g < kGroups; ++g) {
        if (groupMask & (1 << g)) {
            Group& x = groups_[static_cast<std::size_t>(g)];
            const bool on = (enableMask & (1 << g)) != 0;
            if (on && !x.squareWave) {
                x.squareStartNs = bench_.clock().nowNs();
            }
            x.squareWave = on;
        }
    }
    follow();
}

void Pio2Module::setOutputs(uint16_t mask, uint16_t state) {
    outputs_ = static_cast<uint16_t>((outputs_ & ~mask) | (state & mask));
    follow();
}

void Pio2Module::setSampling(int count, double sampleTime) {
    sampleCount_ = count;
    sampleTime_ = sampleTime;
    acquisition_ = Run{};
}

bool Pio2Module::setMeasurement(std::string_view channel, double range) {
    int plus = -1, minus = -1;
    if (!measurementOf(channel, &plus, &minus)) {
        return false;
    }
    plus_ = plus;
    minus_ = minus;
    range_ = range > 0 ? rangeFor(std::min(range, kMaxLevel)) : kMaxLevel;
    acquisition_ = Run{};
    return true;
}

void Pio2Module::loadWaveform(std::vector<double> volts) {
    waveform_ = std::move(volts);
    playbackLoaded_ = true;
}

void Pio2Module::loadPattern(std::vector<uint16_t> words) {
    pattern_ = std::move(words);
    playbackLoaded_ = true;
}

void Pio2Module::setTriggerOutput(int outputMask, int /*event*/, int /*polarityMask*/,
                                  int enableMask) {
    triggerEnabled_ = (triggerEnabled_ & ~outputMask) | (enableMask & outputMask);
}

void Pio2Module::start(Run& run) {
    run.count = sampleCount_;
    run.sampleTime = sampleTime_;
    run.armed = trigger_ != kImmediate;
    run.running = !run.armed;
    run.startNs = bench_.clock().nowNs();
}

void Pio2Module::initiate() {
    follow();
    if (playbackLoaded_) {
        start(playback_);
        playbackLoaded_ = false;
    }
    start(acquisition_);
    follow();
}

void Pio2Module::softwareTrigger() {
    follow();
    for (Run* run : {&playback_, &acquisition_}) {
        if (run->armed && trigger_ == kSoftware) {
            run->armed = false;
            run->running = true;
            run->startNs = bench_.clock().nowNs();
        }
    }
    follow();
}

void Pio2Module::abort() {
    follow();
    playback_ = Run{};
    acquisition_ = Run{};
    follow();
}

bool Pio2Module::playing() {
    return playback_.running;
}

double Pio2Module::levelNow(int channel, int64_t nowNs) const {
    const Channel& x = ch(channel);
    const Group& g = groups_[static_cast<std::size_t>(channel / 4)];
    const bool bit = (outputs_ >> channel) & 1;
    // The playing memory's sample, held at the last one after the end.
    auto played = [&](std::size_t size) -> long {
        if (!playback_.running || size == 0) {
            return -1;
        }
        const double t = static_cast<double>(nowNs - playback_.startNs) * 1e-9;
        const long last = static_cast<long>(std::min<std::size_t>(
                              size, static_cast<std::size_t>(std::max(playback_.count, 1)))) -
                          1;
        return std::clamp(static_cast<long>(std::floor(t / playback_.sampleTime + 1e-9)), 0L, last);
    };
    switch (x.mode) {
    case kAnalog:
        return x.high;
    case kDigital:
        return bit ? x.high : g.outputLow;
    case kPwm: {
        if (!g.squareWave || g.frequency <= 0) {
            return x.low;
        }
        const double t = static_cast<double>(nowNs - g.squareStartNs) * 1e-9;
        const double phase = t * g.frequency - std::floor(t * g.frequency);
        return phase * 100.0 < g.duty ? x.high : x.low;
    }
    case kPattern: {
        const long i = played(pattern_.size());
        return i >= 0 && ((pattern_[static_cast<std::size_t>(i)] >> channel) & 1) ? x.high
                                                                                  : g.outputLow;
    }
    case kWaveform: {
        const long i = played(waveform_.size());
        return i >= 0 ? waveform_[static_cast<std::size_t>(i)] : 0.0;
    }
    default:
        return 0.0;
    }
}

void Pio2Module::follow() {
    const int64_t now = bench_.clock().nowNs();
    bool changed = false;
    for (int k = 0; k < kChannels; ++k) {
        Channel& x = ch(k);
        const double level = levelNow(k, now);
        if (level == x.applied) {
            continue;
        }
        if (!changed) {
            bench_.beforeChange(); // the time so far with the levels as they were
            changed = true;
        }
        x.applied = level;
        x.source->setLevel(level);
    }
}

double Pio2Module::inputVoltage(int channel) {
    follow();
    bench_.settle();
    const Channel& x = ch(channel);
    const Circuit& c = bench_.circuit();
    return c.voltage(x.mux == kOutput ? x.terminalNode : x.inputNode);
}

uint16_t Pio2Module::decodeInputs() {
    uint16_t states = lastInputs_;
    for (int k = 0; k < kChannels; ++k) {
        const Group& g = groups_[static_cast<std::size_t>(k / 4)];
        const double v = inputVoltage(k);
        const uint16_t bit = static_cast<uint16_t>(1u << k);
        if (v >= g.inputHigh) {
            states |= bit;
        } else if (v <= g.inputLow) {
            states &= static_cast<uint16_t>(~bit);
        }
    }
    lastInputs_ = states;
    return states;
}

uint16_t Pio2Module::inputStates() {
    return decodeInputs();
}

template <typename Take>
Pio2Module::Fetch Pio2Module::acquire(double timeoutSeconds, int count, Take take) {
    if (!acquisition_.armed && !acquisition_.running) {
        start(acquisition_);
        if (acquisition_.armed) {
            // A fetch that starts the acquisition itself reads at once, whatever the trigger.
            acquisition_.armed = false;
            acquisition_.running = true;
        }
    }
    Clock& clock = bench_.clock();
    const int64_t begin = clock.nowNs();
    if (acquisition_.armed) {
        clock.wait(Ns(timeoutSeconds));
        return Fetch::TimedOut;
    }
    const int n = std::min(count, acquisition_.count);
    const int64_t end =
        acquisition_.startNs + Ns(acquisition_.sampleTime * std::max(acquisition_.count - 1, 0));
    if (end - begin > Ns(timeoutSeconds)) {
        clock.wait(Ns(timeoutSeconds));
        return Fetch::TimedOut;
    }
    for (int i = 0; i < n; ++i) {
        const int64_t at = acquisition_.startNs + Ns(acquisition_.sampleTime * i);
        if (at > clock.nowNs()) {
            clock.wait(at - clock.nowNs());
        }
        take(i);
    }
    if (end > clock.nowNs()) {
        clock.wait(end - clock.nowNs());
    }
    acquisition_ = Run{};
    return Fetch::Ok;
}

Pio2Module::Fetch Pio2Module::fetchAnalog(double timeoutSeconds, int count,
                                          std::vector<double>* samples) {
    if (plus_ < 0) {
        return Fetch::NotConfigured;
    }
    samples->clear();
    bool over = false;
    const Fetch f = acquire(timeoutSeconds, count, [&](int) {
        double v = inputVoltage(plus_) - (minus_ >= 0 ? inputVoltage(minus_) : 0.0);
        v = bench_.noise().around(v, (kOfReading * std::fabs(v) + kOfRange * range_) / 3.0);
        over = over || std::fabs(v) > range_;
        samples->push_back(v);
    });
    return f == Fetch::Ok && over ? Fetch::OverRange : f;
}

Pio2Module::Fetch Pio2Module::fetchDigital(double timeoutSeconds, int count,
                                           std::vector<uint16_t>* states) {
    states->clear();
    if (count == 1 && !acquisition_.armed && !acquisition_.running) {
        states->push_back(decodeInputs());
        return Fetch::Ok;
    }
    return acquire(timeoutSeconds, count, [&](int) { states->push_back(decodeInputs()); });
}

namespace {
ModuleRegistry<Pio2Module>& Registry() {
    static ModuleRegistry<Pio2Module> registry;
    return registry;
}
} // namespace

Pio2Module& Pio2Of(VirtualBench& bench, const std::string& name) {
    std::lock_guard lock(bench.mutex());
    return Registry().get(bench, name);
}

Pio2Module* FindPio2(VirtualBench& bench, const std::string& name) {
    std::lock_guard lock(bench.mutex());
    return Registry().find(bench, name);
}

} // namespace kora::vbench
