#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/dmm_meter.h>
#include <vbench/modules/module_registry.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <numbers>

namespace kora::vbench {

namespace {

constexpr double kInputResistance = 10e6;
constexpr double kIsolation = 10e9;
constexpr double kOff = 1e12; // a switched-off input or sense bridge
constexpr double kSenseBridge = 100e3;
constexpr double kCompliance = 10;
constexpr double kShuntFullScale = 0.1; // volts across the shunt at full scale
constexpr double kMinStep = 5e-6;       // shortest time of one sample
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string Fold(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool IsVoltage(DmmFunction f) {
    return f == DmmFunction::DcVolts || f == DmmFunction::AcVolts || f == DmmFunction::AcDcVolts;
}
bool IsCurrent(DmmFunction f) {
    return f == DmmFunction::DcCurrent || f == DmmFunction::AcCurrent ||
           f == DmmFunction::AcDcCurrent;
}
bool IsOhms(DmmFunction f) {
    return f == DmmFunction::TwoWireOhms || f == DmmFunction::FourWireOhms;
}
bool HasAc(DmmFunction f) {
    return f == DmmFunction::AcVolts || f == DmmFunction::AcCurrent ||
           f == DmmFunction::AcDcVolts || f == DmmFunction::AcDcCurrent;
}
bool HasDc(DmmFunction f) {
    return f != DmmFunction::AcVolts && f != DmmFunction::AcCurrent;
}

// A source with a sine description and its frequency (0 for any other source).
double SineFrequency(const Source& s) {
    const SourceSettings& st = s.settings();
    if (st.wave != Waveform::Sin || st.waveParams.size() < 3) {
        return 0;
    }
    return st.waveParams[1] != 0 && st.waveParams[2] > 0 ? st.waveParams[2] : 0;
}

int64_t Ns(double seconds) {
    return std::llround(seconds * 1e9);
}

} // namespace

// ---- tables -------------------------------------------------------------------------------------

long DmmOutputBit(std::size_t output) {
    return output < 2 ? 0x100L << output : 1L << (output - 2);
}

const std::vector<double>& DmmRanges(DmmFunction f) {
    static const std::vector<double> dcVolts = {0.1, 1, 10, 100, 1000};
    static const std::vector<double> acVolts = {0.1, 1, 10, 100, 700};
    static const std::vector<double> dcAmperes = {100e-6, 1e-3, 10e-3, 100e-3, 1, 3};
    static const std::vector<double> acAmperes = {1e-3, 10e-3, 100e-3, 1, 3};
    static const std::vector<double> ohms = {100, 1e3, 10e3, 100e3, 1e6, 10e6, 100e6};
    switch (f) {
    case DmmFunction::DcVolts:
        return dcVolts;
    case DmmFunction::AcVolts:
    case DmmFunction::AcDcVolts:
        return acVolts;
    case DmmFunction::DcCurrent:
        return dcAmperes;
    case DmmFunction::AcCurrent:
    case DmmFunction::AcDcCurrent:
        return acAmperes;
    case DmmFunction::TwoWireOhms:
    case DmmFunction::FourWireOhms:
        break;
    }
    return ohms;
}

double DmmRangeFor(DmmFunction f, double value) {
    for (double r : DmmRanges(f)) {
        if (std::fabs(value) <= r * (1 + 1e-9)) {
            return r;
        }
    }
    return 0;
}

DmmAccuracy DmmAccuracyOf(DmmFunction f) {
    if (IsOhms(f)) {
        return {1e-4, 1e-5};
    }
    if (f == DmmFunction::DcVolts) {
        return {35e-6, 5e-6};
    }
    if (f == DmmFunction::DcCurrent) {
        return {5e-4, 5e-5};
    }
    return IsVoltage(f) ? DmmAccuracy{6e-4, 3e-4} : DmmAccuracy{1e-3, 4e-4};
}

double DmmTestCurrent(double ohmsRange) {
    if (ohmsRange <= 1e3 * (1 + 1e-9)) {
        return 1e-3;
    }
    if (ohmsRange <= 100e3 * (1 + 1e-9)) {
        return 1.0 / ohmsRange; // 1 V at full scale: 100 uA at 10 k, 10 uA at 100 k
    }
    return 5.0 / ohmsRange; // 5 V at full scale: 5 uA at 1 M down to 50 nA at 100 M
}

double DmmShunt(double ampereRange) {
    return kShuntFullScale / ampereRange;
}

double DmmSimulatedValue(DmmFunction f) {
    if (IsOhms(f)) {
        return 1e3;
    }
    return IsCurrent(f) ? 1e-3 : 1.0;
}

std::string DmmTerminalNet(std::string_view device, std::string_view terminal) {
    return Fold(device) + "!" + Fold(terminal);
}

// ---- front end ----------------------------------------------------------------------------------

DmmFrontEnd::DmmFrontEnd(VirtualBench& bench, const std::string& device)
    : bench_(bench), device_(Fold(device)) {
    Circuit& c = bench_.circuit();
    hi_ = c.node(DmmTerminalNet(device_, "hi"));
    lo_ = c.node(DmmTerminalNet(device_, "lo"));
    shi_ = c.node(DmmTerminalNet(device_, "shi"));
    slo_ = c.node(DmmTerminalNet(device_, "slo"));
    i_ = c.node(DmmTerminalNet(device_, "i"));
    const Station defaults;
    const Station* st = bench_.station() ? bench_.station() : &defaults;
    input_ = &c.add<Resistor>(element("input"), hi_, lo_, inputOhms_);
    c.add<Resistor>(element("isolation"), lo_, kGround, kIsolation);
    shunt_ = &c.add<Resistor>(element("shunt"), i_, lo_, shuntOhms_);
    senseHi_ = &c.add<Resistor>(element("sense-hi"), shi_, hi_, bridgeOhms_);
    senseLo_ = &c.add<Resistor>(element("sense-lo"), slo_, lo_, bridgeOhms_);
    ohms_ = &c.add<Source>(element("ohms"), hi_, lo_, Source::Mode::Current);
    ohms_->setLimit(kCompliance);
    ohms_->setEnabled(false);
    ground_ = &c.add<Switch>(element("ground"), lo_, kGround, st->relayResistance,
                             st->relayOffResistance, false);
}

std::string DmmFrontEnd::element(const char* id) const {
    return device_ + "!meter:" + id;
}

bool DmmFrontEnd::attachedTo(VirtualBench& bench) const {
    return &bench == &bench_ && bench.circuit().find(element("input")) == input_;
}

void DmmFrontEnd::configure(DmmFunction f, double range) {
    const bool ohms = IsOhms(f);
    const double testCurrent = ohms ? DmmTestCurrent(range) : ohms_->level();
    const double input = IsVoltage(f) ? kInputResistance : kOff;
    const double bridge = f == DmmFunction::FourWireOhms ? kSenseBridge : kOff;
    const double shunt = IsCurrent(f) ? DmmShunt(range) : shuntOhms_;
    // Compared first: a change must reach the bench before the elements move.
    if (ohms != ohms_->enabled() || testCurrent != ohms_->level() || input != inputOhms_ ||
        bridge != bridgeOhms_ || shunt != shuntOhms_) {
        bench_.beforeChange();
        input_->setResistance(inputOhms_ = input);
        senseHi_->setResistance(bridgeOhms_ = bridge);
        senseLo_->setResistance(bridge);
        shunt_->setResistance(shuntOhms_ = shunt);
        ohms_->setEnabled(ohms);
        ohms_->setLevel(testCurrent);
    }
    function_ = f;
    range_ = range;
}

void DmmFrontEnd::setGroundRelay(bool closed) {
    if (ground_->closed() != closed) {
        bench_.beforeChange();
        ground_->setClosed(closed);
    }
}

bool DmmFrontEnd::settled() {
    return bench_.settle().ok();
}

double DmmFrontEnd::chooseRange(DmmFunction f) {
    const std::vector<double>& table = DmmRanges(f);
    configure(f, table.back());
    const double estimate = exactValue();
    double first = std::isfinite(estimate) ? DmmRangeFor(f, estimate) : 0;
    if (first == 0) {
        return table.back();
    }
    if (IsVoltage(f)) {
        // The voltage input is the same on every range: one look decides.
        configure(f, first);
        return first;
    }
    // The shunt and the test current follow the range: look again on the range picked, and go
    // up while the value does not fit.
    for (auto it = std::find(table.begin(), table.end(), first); it != table.end(); ++it) {
        configure(f, *it);
        const double v = exactValue();
        if (std::isfinite(v) && std::fabs(v) <= *it * (1 + 1e-9)) {
            return *it;
        }
    }
    configure(f, table.back());
    return table.back();
}

std::vector<DmmFrontEnd::Phasor> DmmFrontEnd::acPhasors() {
    std::vector<Phasor> out;
    Circuit& c = bench_.circuit();
    struct Kept {
        Source* source;
        double magnitude, phase;
    };
    std::vector<Kept> kept;
    std::vector<double> frequencies;
    for (const auto& d : c.devices()) {
        auto* s = dynamic_cast<Source*>(d.get());
        if (!s) {
            continue;
        }
        kept.push_back({s, s->settings().acMagnitude, s->settings().acPhaseDegrees});
        const double f = SineFrequency(*s);
        if (f > 0 && std::find(frequencies.begin(), frequencies.end(), f) == frequencies.end()) {
            frequencies.push_back(f);
        }
    }
    if (frequencies.empty()) {
        return out;
    }
    for (double f : frequencies) {
        for (const Kept& k : kept) {
            if (SineFrequency(*k.source) == f) {
                const auto& p = k.source->settings().waveParams;
                const double td = p.size() > 3 ? p[3] : 0;
                const double phase = p.size() > 5 ? p[5] : 0;
                k.source->setAc(p[1], phase - 360 * f * td);
            } else {
                k.source->setAc(0, 0);
            }
        }
        const AcSolution s = bench_.solver().ac(f);
        if (!s.ok) {
            continue;
        }
        std::complex<double> x;
        if (IsCurrent(function_)) {
            x = (s.at(i_) - s.at(lo_)) / shuntOhms_;
        } else {
            x = s.at(hi_) - s.at(lo_);
        }
        out.push_back({f, x});
    }
    for (const Kept& k : kept) {
        k.source->setAc(k.magnitude, k.phase);
    }
    return out;
}

double DmmFrontEnd::exactValue(bool reuseAc) {
    if (!settled()) {
        return kNaN;
    }
    const Circuit& c = bench_.circuit();
    if (IsOhms(function_)) {
        const double v = function_ == DmmFunction::FourWireOhms ? c.voltage(shi_) - c.voltage(slo_)
                                                                : c.voltage(hi_) - c.voltage(lo_);
        return v / ohms_->level();
    }
    const bool dynamic = c.hasMemory();
    if (!reuseAc) {
        phasors_ = HasAc(function_) || dynamic ? acPhasors() : std::vector<Phasor>{};
    }
    double dc = IsCurrent(function_) ? (c.voltage(i_) - c.voltage(lo_)) / shuntOhms_
                                     : c.voltage(hi_) - c.voltage(lo_);
    double squares = 0;
    for (const Phasor& p : phasors_) {
        if (dynamic) {
            // The transient carries the sine: take its value at this instant off the DC part.
            dc -= (p.value * std::polar(1.0, 2 * std::numbers::pi * p.hertz * c.time())).imag();
        }
        squares += std::norm(p.value) / 2;
    }
    const double ac = std::sqrt(squares);
    if (!HasAc(function_)) {
        return dc;
    }
    return HasDc(function_) ? std::hypot(dc, ac) : ac;
}

double DmmFrontEnd::dcVolts() {
    return settled() ? bench_.circuit().voltage(hi_) - bench_.circuit().voltage(lo_) : kNaN;
}

double DmmFrontEnd::dcAmperes() {
    return settled() ? (bench_.circuit().voltage(i_) - bench_.circuit().voltage(lo_)) / shuntOhms_
                     : kNaN;
}

DmmFrontEnd& DmmFrontEndOf(VirtualBench& bench, const std::string& device) {
    static ModuleRegistry<DmmFrontEnd> registry;
    std::lock_guard lock(bench.mutex());
    return registry.get(bench, device);
}

// ---- meter --------------------------------------------------------------------------------------

DmmFrontEnd* DmmMeter::frontEnd(VirtualBench* bench) const {
    return bench && !simulated_ ? &DmmFrontEndOf(*bench, device_) : nullptr;
}

void DmmMeter::reset(VirtualBench* bench) {
    settings = DmmSettings{};
    abort();
    apply(bench);
}

void DmmMeter::apply(VirtualBench* bench) {
    if (DmmFrontEnd* fe = frontEnd(bench)) {
        const DmmFunction f = settings.function;
        fe->configure(f, settings.autoRange ? DmmRanges(f).back() : settings.range);
        fe->setGroundRelay(settings.groundRelay);
    }
}

void DmmMeter::abort() {
    armed_ = false;
    samples_.clear();
    fetched_ = 0;
    triggersTaken_ = 0;
}

void DmmMeter::initiate(VirtualBench* bench) {
    abort();
    armed_ = true;
    busyUntilNs_ = bench ? bench->clock().nowNs() : 0;
    samples_.reserve(static_cast<std::size_t>(settings.triggerCount * settings.sampleCount));
    service(bench);
}

void DmmMeter::softwareTrigger(VirtualBench* bench) {
    if (armed_ && !complete()) {
        takeTrigger(bench, bench ? bench->clock().nowNs() : 0);
        service(bench);
    }
}

void DmmMeter::startGenerator(VirtualBench* bench, int generator) {
    DmmGenerator& g = settings.generators[static_cast<std::size_t>(generator)];
    g.startNs = bench ? bench->clock().nowNs() : 0;
    const std::string event = generator == 0 ? "IT1" : "IT2";
    for (std::size_t i = 0; i < kDmmOutputs.size(); ++i) {
        const bool carries = g.output == kDmmOutputs[i] || settings.outputEvent[i] == event;
        if (carries && (settings.outputMask & DmmOutputBit(i))) {
            const std::string& polarity =
                g.output == kDmmOutputs[i] ? g.polarity : settings.outputPolarity[i];
            emit(bench, kDmmOutputs[i],
                 FormatArgs(device_.c_str(), event.c_str(), polarity.c_str(), g.pulseCount,
                            g.pulseWidth, g.pulsePause));
        }
    }
    service(bench);
}

DmmMeter::Fetched DmmMeter::fetch(VirtualBench* bench, double maxTime, long count,
                                  double values[]) {
    Fetched out;
    service(bench);
    const std::size_t wanted = static_cast<std::size_t>(std::max(count, 0L));
    if (samples_.size() - fetched_ < wanted && !complete() && bench) {
        bench->clock().waitSeconds(maxTime);
    }
    const std::size_t n = std::min(wanted, samples_.size() - fetched_);
    for (std::size_t k = 0; k < n; ++k) {
        const double v = samples_[fetched_ + k];
        values[k] = v;
        out.valid += std::isnan(v) ? 0 : 1;
    }
    fetched_ += n;
    out.count = static_cast<long>(n);
    if (complete() && fetched_ == samples_.size()) {
        armed_ = false;
    }
    return out;
}

void DmmMeter::service(VirtualBench* bench) {
    while (auto at = nextTrigger(bench)) {
        takeTrigger(bench, *at);
    }
}

bool DmmMeter::analogTriggerHolds(VirtualBench* bench) {
    const bool volts = settings.analogUnit == "VOLT";
    double v;
    if (DmmFrontEnd* fe = frontEnd(bench)) {
        v = volts ? fe->dcVolts() : fe->dcAmperes();
    } else {
        v = DmmSimulatedValue(volts ? DmmFunction::DcVolts : DmmFunction::DcCurrent);
    }
    return settings.triggerSlope == "NEGATIVE" ? v <= settings.analogLevel
                                               : v >= settings.analogLevel;
}

std::optional<int64_t> DmmMeter::nextTrigger(VirtualBench* bench) {
    if (!armed_ || complete()) {
        return std::nullopt;
    }
    const std::string& source = settings.triggerSource;
    if (source == "IMMEDIATE") {
        return busyUntilNs_;
    }
    if (source == "XTA1" || source == "XTA2") {
        if (!analogTriggerHolds(bench)) {
            return std::nullopt;
        }
        return std::max(busyUntilNs_, bench ? bench->clock().nowNs() : 0);
    }
    if (source == "ITO1" || source == "ITO2") {
        const DmmGenerator& g = settings.generators[source == "ITO1" ? 0 : 1];
        if (!g.startNs) {
            return std::nullopt;
        }
        const int64_t first = *g.startNs + Ns(g.delay);
        const int64_t period = std::max<int64_t>(Ns(g.pulseWidth + g.pulsePause), 1);
        int64_t k = 0;
        if (first < busyUntilNs_) {
            k = (busyUntilNs_ - first + period - 1) / period;
        }
        if (g.pulseCount > 0 && k >= g.pulseCount) {
            return std::nullopt;
        }
        return first + k * period;
    }
    // SOFTWARE comes by softwareTrigger(); nothing drives the external lines.
    return std::nullopt;
}

void DmmMeter::takeTrigger(VirtualBench* bench, int64_t atNs) {
    Clock* clock = bench ? &bench->clock() : nullptr;
    if (clock && clock->nowNs() < atNs) {
        clock->wait(atNs - clock->nowNs());
    }
    for (std::size_t i = 0; i < kDmmOutputs.size(); ++i) {
        if (settings.outputEvent[i] == "IT4" && (settings.outputMask & DmmOutputBit(i))) {
            emit(bench, kDmmOutputs[i],
                 FormatArgs(device_.c_str(), "IT4", settings.outputPolarity[i].c_str()));
        }
    }
    if (clock) {
        clock->waitSeconds(settings.triggerDelay);
    }
    const double step =
        std::max({settings.sampleInterval,
                  static_cast<double>(settings.averageCount) * settings.averageTime, kMinStep});

    const DmmFunction f = settings.function;
    DmmFrontEnd* fe = frontEnd(bench);
    double range = settings.range;
    double exact;
    if (fe) {
        fe->setGroundRelay(settings.groundRelay);
        if (settings.autoRange) {
            range = fe->chooseRange(f);
        } else {
            fe->configure(f, range);
        }
        exact = fe->exactValue();
    } else {
        exact = DmmSimulatedValue(f);
        if (settings.autoRange) {
            const double fits = DmmRangeFor(f, exact);
            range = fits > 0 ? fits : DmmRanges(f).back();
        }
    }
    // Without stored charge nothing changes while the samples run: one solution serves them all.
    const bool dynamic = fe && bench->circuit().hasMemory();
    NoiseSource& noise = bench ? bench->noise() : ownNoise_;
    const DmmAccuracy accuracy = DmmAccuracyOf(f);
    for (long k = 0; k < settings.sampleCount; ++k) {
        if (clock) {
            clock->waitSeconds(step);
        }
        if (dynamic) {
            exact = fe->exactValue(true);
        }
        const double sigma = (accuracy.ofReading * std::fabs(exact) + accuracy.ofRange * range) / 3;
        double sample = noise.around(exact, sigma);
        // No number (the board did not solve) reads as over range too.
        if (!(std::fabs(sample) <= kDmmOverRangeShare * range)) {
            sample = std::copysign(kDmmOverRangeReading, std::isnan(sample) ? 1.0 : sample);
        }
        if (bench && bench->faults().onCall(kDmmSampleFault)) {
            sample = kNaN;
        }
        samples_.push_back(sample);
    }
    ++triggersTaken_;
    if (settings.completeDestination != "NONE") {
        emit(bench, settings.completeDestination.c_str(),
             FormatArgs(device_.c_str(), "MEAS_COMPLETE", "HIGH"));
    }
    busyUntilNs_ = clock ? clock->nowNs() : 0;
}

void DmmMeter::emit(VirtualBench* bench, const char* line, const std::string& arguments) {
    if (!bench) {
        return;
    }
    JournalEntry e;
    e.interface = kDmmTriggerInterface;
    e.function = line;
    e.arguments = arguments;
    e.timeNs = bench->clock().nowNs();
    bench->journal().record(std::move(e));
}

} // namespace kora::vbench
