// The function generator's outputs in the circuit (see funcgen_output.h).
#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/funcgen_output.h>
#include <vbench/modules/module_registry.h>

#include <cctype>
#include <cmath>
#include <numbers>

namespace kora::vbench {

namespace {

constexpr double kIsolation = 10e9;
constexpr double kRelayOpen = 1e12;
constexpr double kRelayClosed = 1e-3;
constexpr int kMeanPoints = 4096;

std::string Fold(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The part of the period passed at t (t >= 0), and the period's number.
double PeriodPart(double t, double frequency, double* period) {
    const double cycles = t * frequency;
    *period = std::floor(cycles);
    return cycles - *period;
}

double ShapeValue(FuncgenSignal::Shape shape, double u, double duty) {
    using S = FuncgenSignal::Shape;
    switch (shape) {
    case S::Dc:
    case S::Samples:
        return 0;
    case S::Sine:
        return std::sin(2 * std::numbers::pi * u);
    case S::Square:
        return u < duty / 100 ? 1 : -1;
    case S::Triangle:
        return u < 0.25 ? 4 * u : u < 0.75 ? 2 - 4 * u : 4 * u - 4;
    case S::RampUp:
        return 2 * u - 1;
    case S::RampDown:
        return 1 - 2 * u;
    }
    return 0;
}

} // namespace

double FuncgenSignal::valueAt(double t) const {
    if (shape == Shape::Dc || t < 0 || !(frequency > 0)) {
        return offset;
    }
    double period = 0;
    const double u = PeriodPart(t, frequency, &period);
    if (cycles > 0 && period >= static_cast<double>(cycles)) {
        return offset;
    }
    if (shape == Shape::Samples) {
        if (samples.empty()) {
            return offset;
        }
        const auto n = samples.size();
        return samples[std::min(n - 1, static_cast<std::size_t>(u * static_cast<double>(n)))];
    }
    const double shifted = std::fmod(u + phase / 360.0 + 1.0, 1.0);
    return offset + amplitude / 2 * ShapeValue(shape, shape == Shape::Square ? u : shifted, duty);
}

bool FuncgenSignal::markerAt(double t) const {
    if (markers.empty() || t < 0 || !(frequency > 0)) {
        return false;
    }
    double period = 0;
    const double u = PeriodPart(t, frequency, &period);
    if (cycles > 0 && period >= static_cast<double>(cycles)) {
        return false;
    }
    const auto n = markers.size();
    return markers[std::min(n - 1, static_cast<std::size_t>(u * static_cast<double>(n)))] != 0;
}

double FuncgenSignal::mean() const {
    if (shape == Shape::Dc || !(frequency > 0)) {
        return offset;
    }
    if (shape == Shape::Samples) {
        double sum = 0;
        for (double s : samples) {
            sum += s;
        }
        return samples.empty() ? offset : sum / static_cast<double>(samples.size());
    }
    double sum = 0;
    for (int i = 0; i < kMeanPoints; ++i) {
        sum += valueAt((i + 0.5) / kMeanPoints / frequency);
    }
    return sum / kMeanPoints;
}

FuncgenFrontEnd::FuncgenFrontEnd(VirtualBench& bench, const std::string& device)
    : bench_(bench), device_(Fold(device)) {
    Circuit& c = bench_.circuit();
    const Station defaults;
    const Station* st = bench_.station() ? bench_.station() : &defaults;
    for (int k = 0; k < 2; ++k) {
        const std::string ch = "ch" + std::to_string(k + 1);
        const int hi = c.node(device_ + "!" + ch);
        const int lo = c.node(device_ + "!" + ch + "_lo");
        const int inner = c.node(element(ch + "_inner"));
        const int out = c.node(element(ch + "_out"));
        Output& o = outputs_[static_cast<std::size_t>(k)];
        o.source = &c.add<Source>(element(ch), inner, lo, Source::Mode::Voltage);
        o.source->setLevel(0);
        c.add<Resistor>(element(ch + "_r"), inner, out, kFuncgenOutputOhms);
        o.relay = &c.add<Switch>(element(ch + "_relay"), out, hi, kRelayClosed, kRelayOpen, false);
        c.add<Resistor>(element(ch + "_isolation"), lo, kGround, kIsolation);
        o.ground = &c.add<Switch>(element(ch + "_ground"), lo, kGround, st->relayResistance,
                                  st->relayOffResistance, false);
        const std::string mo = "mo" + std::to_string(k + 1);
        const int line = c.node(device_ + "!" + mo);
        const int drive = c.node(element(mo + "_inner"));
        markers_[static_cast<std::size_t>(k)].source =
            &c.add<Source>(element(mo), drive, kGround, Source::Mode::Voltage);
        markers_[static_cast<std::size_t>(k)].source->setLevel(0);
        markers_[static_cast<std::size_t>(k)].channel = k;
        c.add<Resistor>(element(mo + "_r"), drive, line, kFuncgenOutputOhms);
    }
}

std::string FuncgenFrontEnd::element(const std::string& id) const {
    return device_ + "!fgen:" + id;
}

bool FuncgenFrontEnd::attachedTo(VirtualBench& bench) const {
    return &bench == &bench_ && bench.circuit().find(element("ch1")) == outputs_[0].source;
}

void FuncgenFrontEnd::play(int channel, FuncgenSignal signal, std::optional<double> start) {
    Output& o = outputs_[static_cast<std::size_t>(channel)];
    o.signal = std::move(signal);
    o.start = start;
    applyOutput(channel);
    for (int line = 0; line < 2; ++line) {
        if (markers_[static_cast<std::size_t>(line)].channel == channel) {
            applyMarker(line);
        }
    }
}

void FuncgenFrontEnd::setOutputEnabled(int channel, bool on) {
    Switch* relay = outputs_[static_cast<std::size_t>(channel)].relay;
    if (relay->closed() != on) {
        bench_.beforeChange();
        relay->setClosed(on);
        applyOutput(channel); // an output that is off is no sine of the AC analysis
    }
}

void FuncgenFrontEnd::setGroundRelay(int channel, bool closed) {
    Switch* ground = outputs_[static_cast<std::size_t>(channel)].ground;
    if (ground->closed() != closed) {
        bench_.beforeChange();
        ground->setClosed(closed);
    }
}

void FuncgenFrontEnd::setMarkerOutput(int line, int channel, bool enabled, bool activeHigh) {
    MarkerLine& m = markers_[static_cast<std::size_t>(line)];
    if (m.channel == channel && m.enabled == enabled && m.activeHigh == activeHigh) {
        return;
    }
    m.channel = channel;
    m.enabled = enabled;
    m.activeHigh = activeHigh;
    applyMarker(line);
}

void FuncgenFrontEnd::applyOutput(int channel) {
    const Output& o = outputs_[static_cast<std::size_t>(channel)];
    const FuncgenSignal& s = o.signal;
    bench_.beforeChange();
    if (!o.start) {
        o.source->setLevel(s.offset);
        return;
    }
    const bool continuous = s.cycles == 0;
    std::vector<double> sine;
    if (continuous && o.relay->closed() && s.shape == FuncgenSignal::Shape::Sine &&
        s.frequency > 0 && s.amplitude != 0) {
        sine = {s.offset, s.amplitude / 2, s.frequency, *o.start, 0, s.phase};
    }
    const double start = *o.start;
    o.source->setOutput(continuous ? s.mean() : s.offset, std::move(sine),
                        [signal = s, start](double t) { return signal.valueAt(t - start); });
}

void FuncgenFrontEnd::applyMarker(int line) {
    const MarkerLine& m = markers_[static_cast<std::size_t>(line)];
    const Output& o = outputs_[static_cast<std::size_t>(m.channel)];
    const double idle = m.activeHigh ? 0 : kFuncgenMarkerHigh;
    bench_.beforeChange();
    if (!m.enabled) {
        m.source->setLevel(0);
        return;
    }
    if (!o.start || o.signal.markers.empty()) {
        m.source->setLevel(idle);
        return;
    }
    const double start = *o.start;
    const bool high = m.activeHigh;
    m.source->setOutput(idle, {}, [signal = o.signal, start, high](double t) {
        return signal.markerAt(t - start) == high ? kFuncgenMarkerHigh : 0.0;
    });
}

FuncgenFrontEnd& FuncgenFrontEndOf(VirtualBench& bench, const std::string& device) {
    static ModuleRegistry<FuncgenFrontEnd> registry;
    std::lock_guard lock(bench.mutex());
    return registry.get(bench, device);
}

} // namespace kora::vbench
