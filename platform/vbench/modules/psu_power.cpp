// The PSU's side that the DC power class library needs: routing terminals, the electronic load,
// protection trips, pulse-width and played waveforms in virtual time, and the readings of a
// supply channel (see psu.h).
#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/psu.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace kora::vbench {

namespace {

constexpr double kLink = 1e-3;          // terminal to its routing net
constexpr double kNoLoad = 1e12;        // the load switched off
constexpr double kOvpShare = 1.1;       // over-voltage trip above 110 % of the level
constexpr double kOvpMargin = 0.5;      // ... plus 0.5 V
constexpr double kSupplyHeadroom = 2.0; // the power stage's supply above the output
constexpr int kLoadIterations = 200;
constexpr double kLoadTolerance = 1e-7;
constexpr double kRegulatedShare = 1e-3; // a load within 0.1 % of its set point regulates
constexpr double kVoltageOfReading = 5e-4, kVoltageOfRange = 2e-4; // three sigma
constexpr double kCurrentOfReading = 1e-3, kCurrentOfRange = 5e-4;

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

std::string PsuModule::routingNet(int channel, int terminal) const {
    return Lower(name_ + "!" + terminalName(channel, terminal));
}

void PsuModule::addPowerElements(int channel) {
    Circuit& c = bench_.circuit();
    const std::string id = "ch" + std::to_string(channel + 1);
    for (int t = 0; t < 4; ++t) {
        const std::string terminal = Lower(terminalName(channel, t));
        c.add<Resistor>(net(terminal + ":route"), c.node(net(terminal)),
                        c.node(routingNet(channel, t)), kLink);
    }
    Power& p = power_[static_cast<std::size_t>(channel)];
    p.loadElement = &c.add<Resistor>(net(id + "_load"), c.node(net(id + "_hi")),
                                     c.node(net(id + "_lo")), kNoLoad);
}

void PsuModule::resetPower(int channel) {
    Power& p = power_[static_cast<std::size_t>(channel)];
    Resistor* element = p.loadElement;
    p = Power{};
    p.loadElement = element;
    if (element) {
        bench_.beforeChange();
        element->setResistance(kNoLoad);
    }
}

void PsuModule::setLoad(int channel, Load kind, double value) {
    Power& p = power_[static_cast<std::size_t>(channel)];
    p.load = kind;
    p.loadValue = value;
    if (kind == Load::None) {
        bench_.beforeChange();
        p.loadOhms = kNoLoad;
        p.loadElement->setResistance(kNoLoad);
    }
    applySource(channel);
}

void PsuModule::setLimitTrips(int channel, bool trips) {
    power_[static_cast<std::size_t>(channel)].limitTrips = trips;
}

void PsuModule::setOverVoltageProtection(int channel, bool on) {
    power_[static_cast<std::size_t>(channel)].ovp = on;
}

void PsuModule::setPacSupply(int channel, double volts) {
    power_[static_cast<std::size_t>(channel)].pacVolts = volts;
}

void PsuModule::clearTrip(int channel) {
    power_[static_cast<std::size_t>(channel)].trip = Trip::None;
}

void PsuModule::setPwm(int channel, bool on, double frequency, double dutyPercent) {
    Power& p = power_[static_cast<std::size_t>(channel)];
    p.pwm = on;
    p.pwmFrequency = frequency;
    p.pwmDuty = dutyPercent;
    p.startNs = bench_.clock().nowNs();
}

void PsuModule::playWaveform(int channel, std::vector<double> volts, std::vector<double> amperes,
                             double pointTime, long cycles) {
    Power& p = power_[static_cast<std::size_t>(channel)];
    p.wfmVolts = std::move(volts);
    p.wfmAmperes = std::move(amperes);
    p.wfmPointTime = pointTime;
    p.wfmCycles = cycles;
    p.wfmOn = !p.wfmVolts.empty();
    p.startNs = bench_.clock().nowNs();
}

void PsuModule::stopWaveform(int channel) {
    Power& p = power_[static_cast<std::size_t>(channel)];
    if (p.wfmOn) {
        p.wfmOn = false;
        applySource(channel); // back to the set level and limit
    }
}

bool PsuModule::waveformActive(int channel) {
    Power& p = power_[static_cast<std::size_t>(channel)];
    if (p.wfmOn && p.wfmCycles > 0) {
        const double elapsed = static_cast<double>(bench_.clock().nowNs() - p.startNs) * 1e-9;
        if (elapsed >= static_cast<double>(p.wfmCycles) * p.wfmPointTime *
                           static_cast<double>(p.wfmVolts.size())) {
            return false;
        }
    }
    return p.wfmOn;
}

void PsuModule::follow(int channel) {
    Channel& x = ch(channel);
    Power& p = power_[static_cast<std::size_t>(channel)];
    if (p.load == Load::None && (p.wfmOn || p.pwm)) {
        double volts = 0, limit = std::fabs(x.limit);
        const double elapsed = static_cast<double>(bench_.clock().nowNs() - p.startNs) * 1e-9;
        if (p.wfmOn) {
            const auto n = static_cast<double>(p.wfmVolts.size());
            double step = std::floor(elapsed / p.wfmPointTime);
            if (p.wfmCycles > 0 && step >= n * static_cast<double>(p.wfmCycles)) {
                step = n * static_cast<double>(p.wfmCycles) - 1; // stays at the last point
            }
            const auto i = static_cast<std::size_t>(std::fmod(step, n));
            volts = p.wfmVolts[i];
            limit = std::fabs(p.wfmAmperes[i]);
        } else {
            const double phase = std::fmod(elapsed * p.pwmFrequency, 1.0);
            volts = phase < p.pwmDuty / 100 ? x.voltage : 0.0;
        }
        if (volts != p.appliedVolts || limit != p.appliedLimit || x.source->level() != volts ||
            x.source->limit() != limit) {
            bench_.beforeChange();
            x.source->setLevel(volts);
            x.source->setLimit(limit);
            p.appliedVolts = volts;
            p.appliedLimit = limit;
        }
    }
    regulateLoad(channel);
}

double PsuModule::outputVolts(int channel) {
    bench_.settle();
    const std::string id = "ch" + std::to_string(channel + 1);
    const Circuit& c = bench_.circuit();
    return c.voltage(net(id + "_hi")) - c.voltage(net(id + "_lo"));
}

// The load finds the resistance that holds its set point, one circuit solution at a time.
void PsuModule::regulateLoad(int channel) {
    Power& p = power_[static_cast<std::size_t>(channel)];
    if (p.load == Load::None) {
        return;
    }
    if (!ch(channel).on) {
        if (p.loadOhms != kNoLoad) {
            bench_.beforeChange();
            p.loadOhms = kNoLoad;
            p.loadElement->setResistance(kNoLoad);
        }
        return;
    }
    if (p.loadOhms == kNoLoad) {
        p.loadOhms = 1e3;
    }
    for (int i = 0; i < kLoadIterations; ++i) {
        bench_.beforeChange();
        p.loadElement->setResistance(p.loadOhms);
        const double v = std::fabs(outputVolts(channel));
        double want = p.loadValue;
        if (p.load == Load::Current) {
            want = p.loadValue > 0 ? v / p.loadValue : kNoLoad;
        } else if (p.load == Load::Power) {
            want = p.loadValue > 0 ? v * v / p.loadValue : kNoLoad;
        }
        want = std::clamp(want, kMinLoadOhms, kNoLoad);
        if (std::fabs(want - p.loadOhms) <= kLoadTolerance * p.loadOhms) {
            break;
        }
        p.loadOhms = want;
    }
    bench_.beforeChange();
    p.loadElement->setResistance(p.loadOhms);
}

bool PsuModule::loadRegulating(int channel) {
    Power& p = power_[static_cast<std::size_t>(channel)];
    if (p.load == Load::None || !ch(channel).on) {
        return false;
    }
    follow(channel);
    const double v = std::fabs(outputVolts(channel));
    const double i = v / p.loadOhms;
    const double got = p.load == Load::Current      ? i
                       : p.load == Load::Resistance ? p.loadOhms
                                                    : v * i;
    return p.loadValue > 0 && std::fabs(got - p.loadValue) <= kRegulatedShare * p.loadValue;
}

PsuModule::Trip PsuModule::protect(int channel) {
    Channel& x = ch(channel);
    Power& p = power_[static_cast<std::size_t>(channel)];
    if (!x.on || p.trip != Trip::None || p.load != Load::None) {
        return p.trip;
    }
    follow(channel);
    bench_.settle();
    if (p.limitTrips && x.mode == kSupply && x.source->limiting()) {
        p.trip = Trip::OverCurrent;
    } else if (p.ovp && std::fabs(outputVolts(channel)) >
                            kOvpShare * std::fabs(x.source->level()) + kOvpMargin) {
        p.trip = Trip::OverVoltage;
    }
    if (p.trip != Trip::None) {
        x.on = false;
        applySource(channel);
    }
    return p.trip;
}

double PsuModule::exact(int channel, Quantity q) {
    follow(channel);
    const Channel& x = ch(channel);
    const Power& p = power_[static_cast<std::size_t>(channel)];
    bench_.settle();
    const Circuit& c = bench_.circuit();
    const std::string id = "ch" + std::to_string(channel + 1);
    const double v = outputVolts(channel);
    double i = 0;
    if (p.load != Load::None) {
        i = x.on ? -v / p.loadOhms : 0.0; // a load takes current in at HI
    } else if (x.on) {
        i = x.source->deliveredCurrent(c.solution().data());
    }
    switch (q) {
    case Quantity::Voltage:
        return v;
    case Quantity::SenseVoltage:
        return c.voltage(net(id + "_shi")) - c.voltage(net(id + "_slo"));
    case Quantity::SupplyVoltage:
        return p.pacVolts > 0 ? p.pacVolts : std::fabs(x.source->level()) + kSupplyHeadroom;
    case Quantity::Current:
        return i;
    case Quantity::Power:
        return v * i;
    case Quantity::Resistance:
        return i == 0 ? NAN : v / i;
    }
    return NAN;
}

double PsuModule::sample(int channel, Quantity q) {
    const Channel& x = ch(channel);
    if (q == Quantity::Power || q == Quantity::Resistance) {
        // Power and resistance come from a voltage and a current read together.
        const double v = sample(channel, Quantity::Voltage);
        const double i = sample(channel, Quantity::Current);
        return q == Quantity::Power ? v * i : (i == 0 ? NAN : v / i);
    }
    const bool current = q == Quantity::Current;
    const double ofReading = current ? kCurrentOfReading : kVoltageOfReading;
    const double ofRange = current ? kCurrentOfRange : kVoltageOfRange;
    const double range = current ? x.currentRange : x.voltageRange;
    const double value = exact(channel, q);
    return bench_.noise().around(value, (ofReading * std::fabs(value) + ofRange * range) / 3);
}

double PsuModule::reading(int channel, Quantity q) {
    const Channel& x = ch(channel);
    double sum = 0;
    for (int k = 0; k < x.samples; ++k) {
        if (k > 0 && x.interval > 0) {
            bench_.clock().waitSeconds(x.interval);
        }
        sum += sample(channel, q);
    }
    return sum / x.samples;
}

} // namespace kora::vbench
