// The digital functional test module in the circuit (see pdft.h).
#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/module_registry.h>
#include <vbench/modules/pdft.h>
#include <vbench/netlist/spice_number.h>

#include <cctype>
#include <cmath>
#include <limits>

namespace kora::vbench {

namespace {

constexpr double kDriverOhms = 50;
constexpr double kReceiverOhms = 100e6;
constexpr double kSwitchOhms = 0.1;
constexpr double kRelayClosed = 1e-3;
constexpr double kRelayOpen = 1e12;
constexpr double kNoLimit = std::numeric_limits<double>::infinity();
constexpr const char* kSupplyKey = "powervoltage";
constexpr const char* kForcePrefix = "forcepo";
constexpr const char* kForcedOpen = "open";
constexpr const char* kForcedTripped = "tripped";

std::string Fold(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// n of "<prefix>n" for 1 <= n <= count, -1 otherwise.
int Numbered(std::string_view pin, std::string_view prefix, int count) {
    const std::string p = Fold(pin);
    if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0 ||
        p[prefix.size()] == '0') {
        return -1;
    }
    int n = 0;
    for (char c : std::string_view(p).substr(prefix.size())) {
        if (c < '0' || c > '9' || n > count) {
            return -1;
        }
        n = n * 10 + (c - '0');
    }
    return n >= 1 && n <= count ? n - 1 : -1;
}

} // namespace

DigitalTestModule::DigitalTestModule(VirtualBench& bench, std::string name)
    : bench_(bench), name_(std::move(name)), prefix_("vb:" + Fold(name_) + ":") {
    if (const Station* st = bench_.station()) {
        for (const StationDevice& d : st->devices) {
            if (Fold(d.name) != Fold(name_)) {
                continue;
            }
            for (const auto& [key, value] : d.keys) {
                const std::string k = Fold(key), v = Fold(value);
                if (k == kSupplyKey) {
                    supplyVolts_ = ParseSpiceNumber(value).value_or(supplyVolts_);
                } else if (const int o = Numbered(k, kForcePrefix, kPowerOutputs); o >= 0) {
                    power_[static_cast<std::size_t>(o)].forced = v == kForcedOpen      ? kOpenLoad
                                                                 : v == kForcedTripped ? kTripped
                                                                                       : kOn;
                }
            }
        }
    }
    Circuit& c = bench_.circuit();
    for (int k = 0; k < kChannels; ++k) {
        Channel& x = channels_[static_cast<std::size_t>(k)];
        const std::string id = prefix_ + "dio" + std::to_string(k + 1);
        const int drive = c.node(id + "_drv");
        const int out = c.node(id + "_out");
        x.terminal = c.node(Fold(name_) + "!dio" + std::to_string(k + 1));
        x.source = &c.add<Source>(id, drive, kGround, Source::Mode::Voltage);
        c.add<Resistor>(id + "_r", drive, out, kDriverOhms);
        x.relay = &c.add<Switch>(id + "_relay", out, x.terminal, kRelayClosed, kRelayOpen, false);
        c.add<Resistor>(id + "_rin", x.terminal, kGround, kReceiverOhms);
    }
    for (int k = 0; k < kPowerOutputs; ++k) {
        PowerOutput& p = power_[static_cast<std::size_t>(k)];
        const std::string id = prefix_ + "po" + std::to_string(k + 1);
        p.inner = c.node(id + "_sup");
        p.terminal = c.node(Fold(name_) + "!po" + std::to_string(k + 1));
        p.supply = &c.add<Source>(id, p.inner, kGround, Source::Mode::Voltage);
        p.sw = &c.add<Switch>(id + "_sw", p.inner, p.terminal, kSwitchOhms, kRelayOpen, false);
    }
    reset();
}

bool DigitalTestModule::attachedTo(VirtualBench& bench) const {
    return &bench == &bench_ && bench.circuit().find(prefix_ + "dio1") == channels_[0].source;
}

int DigitalTestModule::channelOf(std::string_view pin) {
    return Numbered(pin, "dio", kChannels);
}

int DigitalTestModule::powerOutputOf(std::string_view pin) {
    return Numbered(pin, "po", kPowerOutputs);
}

void DigitalTestModule::reset() {
    for (int k = 0; k < kChannels; ++k) {
        Channel& x = channels_[static_cast<std::size_t>(k)];
        x.kind = Driver::Off;
        x.high = 5;
        x.low = 0;
        x.state = -1;
        apply(k);
    }
    for (int k = 0; k < kPowerOutputs; ++k) {
        PowerOutput& p = power_[static_cast<std::size_t>(k)];
        p.hertz = 1000;
        p.duty = 0;
        p.tripped = false;
        applyPower(k);
    }
}

void DigitalTestModule::setDriver(int channel, Driver kind, double high, double lowOrLimit) {
    Channel& x = channels_[static_cast<std::size_t>(channel)];
    x.kind = kind;
    x.high = high;
    x.low = lowOrLimit;
    apply(channel);
}

void DigitalTestModule::drive(int channel, int state) {
    channels_[static_cast<std::size_t>(channel)].state = state;
    apply(channel);
}

void DigitalTestModule::apply(int channel) {
    const Channel& x = channels_[static_cast<std::size_t>(channel)];
    bench_.beforeChange();
    const bool on = x.kind != Driver::Off && x.state >= 0;
    x.relay->setClosed(on);
    if (x.kind == Driver::Analog) {
        x.source->setLevel(x.state == 1 ? x.high : 0.0);
        x.source->setLimit(x.low);
    } else {
        x.source->setLevel(x.state == 1 ? x.high : x.low);
        x.source->setLimit(kNoLimit);
    }
}

double DigitalTestModule::terminalVoltage(int channel) {
    bench_.settle();
    return bench_.circuit().voltage(channels_[static_cast<std::size_t>(channel)].terminal);
}

void DigitalTestModule::setPwmFrequency(int output, double hertz) {
    power_[static_cast<std::size_t>(output)].hertz = hertz;
}

void DigitalTestModule::setDutyCycle(int output, double percent) {
    PowerOutput& p = power_[static_cast<std::size_t>(output)];
    p.duty = percent;
    p.tripped = false;
    applyPower(output);
    powerState(output); // an overload trips at once
}

void DigitalTestModule::applyPower(int output) {
    const PowerOutput& p = power_[static_cast<std::size_t>(output)];
    bench_.beforeChange();
    p.supply->setLevel(supplyVolts_ * p.duty / 100);
    p.sw->setClosed(p.duty > 0 && !p.tripped);
}

int DigitalTestModule::powerState(int output) {
    PowerOutput& p = power_[static_cast<std::size_t>(output)];
    if (p.tripped) {
        return kTripped;
    }
    if (!(p.duty > 0)) {
        return kOff;
    }
    if (p.forced == kOpenLoad) {
        return kOpenLoad;
    }
    bench_.settle();
    const Circuit& c = bench_.circuit();
    const double mean = (c.voltage(p.inner) - c.voltage(p.terminal)) / kSwitchOhms;
    const double peak = std::fabs(mean) * 100 / p.duty;
    if (p.forced == kTripped || peak > kTripAmperes) {
        p.tripped = true;
        applyPower(output);
        return kTripped;
    }
    return peak < kOpenLoadAmperes ? kOpenLoad : kOn;
}

DigitalTestModule& DigitalTestModuleOf(VirtualBench& bench, const std::string& name) {
    static ModuleRegistry<DigitalTestModule> registry;
    std::lock_guard lock(bench.mutex());
    return registry.get(bench, name);
}

} // namespace kora::vbench
