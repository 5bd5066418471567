// The signal analyzer's inputs and acquisitions in the circuit (see digitizer.h).
#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/digitizer.h>
#include <vbench/modules/module_registry.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>

namespace kora::vbench {

namespace {

constexpr const char* kChannelNames[kDigitizerChannels] = {"cha1", "cha2", "cha3", "cha4",
                                                           "chb1", "chb2", "chb3", "chb4"};
constexpr int kChannelsPerPath = 4;
// Catching up to a record's start: steps no longer than a sample, and no more than this many.
constexpr double kCatchUpSteps = 1000;

std::string Fold(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// One pole at `hertz` over samples `interval` apart, starting from the first sample.
void OnePole(std::vector<double>& samples, double hertz, double interval) {
    if (samples.empty() || !(hertz > 0)) {
        return;
    }
    const double alpha = 1 - std::exp(-2 * std::numbers::pi * hertz * interval);
    double y = samples.front();
    for (double& s : samples) {
        y += alpha * (s - y);
        s = y;
    }
}

} // namespace

Digitizer::Digitizer(VirtualBench& bench, const std::string& device)
    : bench_(bench), device_(Fold(device)) {
    Circuit& c = bench_.circuit();
    for (int k = 0; k < kDigitizerChannels; ++k) {
        const auto i = static_cast<std::size_t>(k);
        nodes_[i] = c.node(device_ + "!" + kChannelNames[i]);
        loads_[i] = &c.add<Resistor>(device_ + "!scope:" + kChannelNames[i], nodes_[i], kGround,
                                     inputs_[i].impedance);
    }
}

bool Digitizer::attachedTo(VirtualBench& bench) const {
    return &bench == &bench_ &&
           bench.circuit().find(device_ + "!scope:" + kChannelNames[0]) == loads_[0];
}

void Digitizer::setInput(int channel, const DigitizerInput& input) {
    const auto i = static_cast<std::size_t>(channel);
    if (input.impedance != inputs_[i].impedance) {
        bench_.beforeChange();
        loads_[i]->setResistance(input.impedance);
    }
    inputs_[i] = input;
}

void Digitizer::setTrigger(int path, const DigitizerTrigger& trigger) {
    paths_[static_cast<std::size_t>(path)].trigger = trigger;
}

void Digitizer::setRecord(int path, double acqTime, long count, double delay) {
    Path& p = paths_[static_cast<std::size_t>(path)];
    p.acqTime = acqTime;
    p.count = count;
    p.delay = delay;
}

void Digitizer::initiate(int path) {
    Path& p = paths_[static_cast<std::size_t>(path)];
    p.armed = true;
    p.complete.reset();
    for (int k = 0; k < kChannelsPerPath; ++k) {
        samples_[static_cast<std::size_t>(path * kChannelsPerPath + k)].clear();
    }
    switch (p.trigger.kind) {
    case DigitizerTrigger::Kind::Immediate:
        record(path, bench_.circuitNow());
        break;
    case DigitizerTrigger::Kind::Edge:
        if (p.trigger.channel >= 0) {
            if (auto t = findEdge(p)) {
                record(path, *t);
            }
        }
        break;
    case DigitizerTrigger::Kind::Software:
        break;
    }
}

bool Digitizer::softwareTrigger(int path) {
    Path& p = paths_[static_cast<std::size_t>(path)];
    if (!p.armed || p.trigger.kind != DigitizerTrigger::Kind::Software) {
        return false;
    }
    record(path, bench_.circuitNow());
    return true;
}

void Digitizer::abort(int path) {
    Path& p = paths_[static_cast<std::size_t>(path)];
    p.armed = false;
    p.complete.reset();
}

Digitizer::Status Digitizer::status(int path) const {
    const Path& p = paths_[static_cast<std::size_t>(path)];
    if (p.complete) {
        return bench_.circuitNow() >= *p.complete - 1e-12 ? Status::Complete : Status::InProgress;
    }
    return p.armed ? Status::InProgress : Status::Unknown;
}

std::optional<double> Digitizer::completeAt(int path) const {
    return paths_[static_cast<std::size_t>(path)].complete;
}

double Digitizer::inputVoltage(int channel) const {
    return bench_.circuit().voltage(nodes_[static_cast<std::size_t>(channel)]);
}

std::optional<double> Digitizer::findEdge(const Path& p) {
    bench_.settle();
    Solver& solver = bench_.solver();
    const double h = p.acqTime / static_cast<double>(p.count);
    const long steps = std::min(
        kEdgeSearchSteps, static_cast<long>(kEdgeSearchRecords * static_cast<double>(p.count)));
    const int channel = p.trigger.channel;
    const double level = p.trigger.level;
    double before = inputVoltage(channel);
    for (long i = 0; i < steps; ++i) {
        if (!solver.step(h, Integration::BackwardEuler).ok()) {
            return std::nullopt;
        }
        const double now = inputVoltage(channel);
        if (p.trigger.rising ? before < level && now >= level : before > level && now <= level) {
            return bench_.circuit().time();
        }
        before = now;
    }
    return std::nullopt;
}

void Digitizer::record(int path, double triggerTime) {
    Path& p = paths_[static_cast<std::size_t>(path)];
    bench_.settle();
    Circuit& c = bench_.circuit();
    Solver& solver = bench_.solver();
    const double interval = p.acqTime / static_cast<double>(p.count);
    const double start = triggerTime + p.delay;
    if (start > c.time()) {
        const double gap = start - c.time();
        solver.advance(gap, std::max(interval, gap / kCatchUpSteps), Integration::BackwardEuler);
    }
    const auto count = static_cast<std::size_t>(p.count);
    const int first = path * kChannelsPerPath;
    for (int k = 0; k < kChannelsPerPath; ++k) {
        samples_[static_cast<std::size_t>(first + k)].assign(count, 0.0);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            solver.step(interval, Integration::BackwardEuler);
        }
        for (int k = 0; k < kChannelsPerPath; ++k) {
            samples_[static_cast<std::size_t>(first + k)][i] = inputVoltage(first + k);
        }
    }
    for (int k = 0; k < kChannelsPerPath; ++k) {
        frontEnd(first + k, samples_[static_cast<std::size_t>(first + k)], interval);
    }
    p.armed = false;
    p.complete = start + p.acqTime;
}

void Digitizer::frontEnd(int channel, std::vector<double>& samples, double interval) const {
    const DigitizerInput& in = inputs_[static_cast<std::size_t>(channel)];
    OnePole(samples, in.maxFrequency, interval);
    if (in.digitalFilter) {
        OnePole(samples, in.maxFrequency, interval);
    }
    const double low = in.offset - in.range / 2;
    const double high = in.offset + in.range / 2;
    for (double& s : samples) {
        s = std::clamp(s, low, high);
    }
}

namespace {
ModuleRegistry<Digitizer>& Registry() {
    static ModuleRegistry<Digitizer> registry;
    return registry;
}
} // namespace

Digitizer& DigitizerOf(VirtualBench& bench, const std::string& device) {
    std::lock_guard lock(bench.mutex());
    return Registry().get(bench, device);
}

Digitizer* FindDigitizer(VirtualBench& bench, const std::string& device) {
    std::lock_guard lock(bench.mutex());
    return Registry().find(bench, device);
}

} // namespace kora::vbench
