#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/matrix_card.h>
#include <vbench/modules/module_registry.h>
#include <vbench/modules/psu.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace kora::vbench {

namespace {

constexpr double kSenseBridge = 10e3; // internal sense-to-output resistors
constexpr double kInternal = 1e-3;    // the internal sense switches
constexpr double kCurrentOfReading = 1e-3, kCurrentOfRange = 5e-4; // three sigma
constexpr double kVoltageOfReading = 5e-4, kVoltageOfRange = 2e-4;
constexpr const char* kTerminalSuffix[] = {"_HI", "_LO", "_SHI", "_SLO"};

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string Fold(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

PsuModule::PsuModule(VirtualBench& bench, std::string name)
    : bench_(bench), name_(std::move(name)), prefix_("vb:" + Fold(name_) + ":") {
    Circuit& c = bench_.circuit();
    for (int k = 0; k < kChannels; ++k) {
        Channel& x = ch(k);
        const std::string id = "ch" + std::to_string(k + 1);
        const int hi = c.node(net(id + "_hi")), lo = c.node(net(id + "_lo"));
        const int regHi = c.node(net(id + "_reg+")), regLo = c.node(net(id + "_reg-"));
        x.source = &c.add<Source>(net(id), hi, lo, Source::Mode::Voltage);
        x.source->setSense(regHi, regLo);
        c.add<Resistor>(net(id + "_bridge+"), regHi, hi, kSenseBridge);
        c.add<Resistor>(net(id + "_bridge-"), regLo, lo, kSenseBridge);
        x.localHi = &c.add<Switch>(net(id + "_local+"), regHi, hi, kInternal, 1e12, true);
        x.localLo = &c.add<Switch>(net(id + "_local-"), regLo, lo, kInternal, 1e12, true);
        x.remoteHi = &c.add<Switch>(net(id + "_remote+"), regHi, c.node(net(id + "_shi")),
                                    kInternal, 1e12, false);
        x.remoteLo = &c.add<Switch>(net(id + "_remote-"), regLo, c.node(net(id + "_slo")),
                                    kInternal, 1e12, false);
        applySource(k);
        addPowerElements(k);
    }
}

bool PsuModule::attachedTo(VirtualBench& bench) const {
    return &bench == &bench_ && bench.circuit().find(prefix_ + "ch1") == channels_[0].source;
}

int PsuModule::channelOf(std::string_view name) {
    const std::string u = Upper(name);
    return u == "CH1" ? 0 : u == "CH2" ? 1 : -1;
}

bool PsuModule::terminalOf(std::string_view name, int* channel, int* terminal) {
    const std::string u = Upper(name);
    for (int k = 0; k < kChannels; ++k) {
        for (int t = 0; t < 4; ++t) {
            if (u == terminalName(k, t)) {
                *channel = k;
                *terminal = t;
                return true;
            }
        }
    }
    return false;
}

std::string PsuModule::terminalName(int channel, int terminal) {
    return "CH" + std::to_string(channel + 1) + kTerminalSuffix[terminal];
}

int PsuModule::lineOf(std::string_view name) {
    const std::string u = Upper(name);
    if (u.size() != 4 || u[0] != 'A' || u[1] != 'B' || u[2] < 'A' || u[2] > 'D' ||
        (u[3] != '1' && u[3] != '2')) {
        return -1;
    }
    return (u[2] - 'A') * 2 + (u[3] - '1');
}

Switch& PsuModule::relay(const std::string& id, const std::string& a, const std::string& b) {
    Circuit& c = bench_.circuit();
    const std::string name = prefix_ + id;
    if (auto* s = c.findAs<Switch>(name)) {
        return *s;
    }
    const Station defaults;
    const Station* st = bench_.station() ? bench_.station() : &defaults;
    return c.add<Switch>(name, c.node(a), c.node(b), st->relayResistance, st->relayOffResistance,
                         false);
}

void PsuModule::reset() {
    setCoupling(0);
    disconnectAll();
    for (int k = 0; k < kChannels; ++k) {
        Channel& x = ch(k);
        x.mode = kSupply;
        x.voltageRange = 50;
        x.currentRange = 1;
        x.voltage = 0;
        x.limit = 0.1;
        x.on = false;
        x.samples = 1;
        x.interval = 0;
        setGrounded(k, false);
        setRemoteSensing(k, false);
        resetPower(k);
        applySource(k);
    }
}

// ---- bus --------------------------------------------------------------------------------------

void PsuModule::setCoupling(int mask) {
    for (int line = 0; line < kLines; ++line) {
        const bool want = (mask >> line) & 1, was = (coupling_ >> line) & 1;
        if (want != was) {
            bench_.beforeChange();
            relay("couple:" + std::to_string(line), net("bus" + std::to_string(line)),
                  MatrixCard::systemLineNet(line))
                .setClosed(want);
        }
    }
    coupling_ = mask & 0xFF;
}

void PsuModule::setConnection(int channel, int terminal, int line, bool closed) {
    int& state = ch(channel).lines[static_cast<std::size_t>(terminal)];
    if (closed == (((state >> line) & 1) != 0)) {
        return;
    }
    bench_.beforeChange();
    const std::string t = Fold(terminalName(channel, terminal));
    relay(t + ":l" + std::to_string(line), net(t), net("bus" + std::to_string(line)))
        .setClosed(closed);
    state = closed ? state | (1 << line) : state & ~(1 << line);
}

bool PsuModule::connected(int channel, int terminal, int line) const {
    return (ch(channel).lines[static_cast<std::size_t>(terminal)] >> line) & 1;
}

void PsuModule::disconnectAll() {
    for (int k = 0; k < kChannels; ++k) {
        for (int t = 0; t < 4; ++t) {
            for (int line = 0; line < kLines; ++line) {
                setConnection(k, t, line, false);
            }
        }
    }
}

// ---- channels ---------------------------------------------------------------------------------

const std::vector<double>& PsuModule::voltageRanges() {
    static const std::vector<double> ranges = {10, 50};
    return ranges;
}

const std::vector<double>& PsuModule::currentRanges() {
    static const std::vector<double> ranges = {0.01, 0.1, 1};
    return ranges;
}

double PsuModule::rangeFor(const std::vector<double>& table, double value) {
    for (double r : table) {
        if (r >= std::fabs(value) * (1 - 1e-9)) {
            return r;
        }
    }
    return 0;
}

void PsuModule::applySource(int channel) {
    Channel& x = ch(channel);
    bench_.beforeChange();
    if (x.mode == kSupply) {
        x.source->setMode(Source::Mode::Voltage);
        x.source->setLevel(x.voltage);
        x.source->setLimit(std::fabs(x.limit));
    } else {
        x.source->setMode(Source::Mode::Current);
        x.source->setLevel(x.limit);
        x.source->setLimit(std::fabs(x.voltage));
    }
    x.source->setEnabled(x.on);
    if (power_[static_cast<std::size_t>(channel)].load != Load::None) {
        x.source->setEnabled(false); // a channel that loads does not source
    }
}

void PsuModule::applySensing(int channel) {
    Channel& x = ch(channel);
    bench_.beforeChange();
    x.localHi->setClosed(!x.remote);
    x.localLo->setClosed(!x.remote);
    x.remoteHi->setClosed(x.remote);
    x.remoteLo->setClosed(x.remote);
}

void PsuModule::setMode(int channel, int mode) {
    ch(channel).mode = mode == kConstantCurrent ? kConstantCurrent : kSupply;
    applySource(channel);
}

void PsuModule::setVoltageRange(int channel, double volts) {
    ch(channel).voltageRange = volts;
}

void PsuModule::setCurrentRange(int channel, double amperes) {
    ch(channel).currentRange = amperes;
}

void PsuModule::setVoltageLevel(int channel, double volts) {
    ch(channel).voltage = volts;
    applySource(channel);
}

void PsuModule::setCurrentLimit(int channel, double amperes) {
    ch(channel).limit = amperes;
    applySource(channel);
}

void PsuModule::setOutputEnabled(int channel, bool on) {
    ch(channel).on = on;
    applySource(channel);
}

void PsuModule::setGrounded(int channel, bool on) {
    Channel& x = ch(channel);
    const std::string id = "ch" + std::to_string(channel + 1);
    Switch& r = relay(id + ":gnd", net(id + "_lo"), "0");
    if (r.closed() != on) {
        bench_.beforeChange();
        r.setClosed(on);
    }
    x.grounded = on;
}

void PsuModule::setRemoteSensing(int channel, bool on) {
    ch(channel).remote = on;
    applySensing(channel);
}

void PsuModule::setMeasurement(int channel, int sampleCount, double interval) {
    ch(channel).samples = std::max(sampleCount, 1);
    ch(channel).interval = std::max(interval, 0.0);
}

double PsuModule::trueCurrent(int channel) {
    bench_.settle();
    const Channel& x = ch(channel);
    return x.on ? x.source->deliveredCurrent(bench_.circuit().solution().data()) : 0.0;
}

double PsuModule::trueVoltage(int channel) {
    bench_.settle();
    const std::string id = "ch" + std::to_string(channel + 1);
    const Circuit& c = bench_.circuit();
    return c.voltage(net(id + "_reg+")) - c.voltage(net(id + "_reg-"));
}

bool PsuModule::currentLimited(int channel) {
    bench_.settle();
    const Channel& x = ch(channel);
    if (!x.on) {
        return false;
    }
    return x.mode == kSupply ? x.source->limiting() : !x.source->limiting();
}

template <typename Read>
double PsuModule::average(int channel, double ofReading, double ofRange, double range, Read read) {
    const Channel& x = ch(channel);
    const bool dynamic = bench_.circuit().hasMemory();
    double value = read();
    double sum = 0;
    for (int i = 0; i < x.samples; ++i) {
        if (x.interval > 0) {
            bench_.clock().waitSeconds(x.interval);
            if (dynamic) {
                value = read();
            }
        }
        sum += bench_.noise().around(value, (ofReading * std::fabs(value) + ofRange * range) / 3);
    }
    return sum / x.samples;
}

double PsuModule::measureCurrent(int channel) {
    return average(channel, kCurrentOfReading, kCurrentOfRange, ch(channel).currentRange,
                   [&] { return trueCurrent(channel); });
}

double PsuModule::measureVoltage(int channel) {
    return average(channel, kVoltageOfReading, kVoltageOfRange, ch(channel).voltageRange,
                   [&] { return trueVoltage(channel); });
}

PsuModule& PsuOf(VirtualBench& bench, const std::string& name) {
    static ModuleRegistry<PsuModule> registry;
    std::lock_guard lock(bench.mutex());
    return registry.get(bench, name);
}

} // namespace kora::vbench
