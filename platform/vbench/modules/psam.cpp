#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/matrix_card.h>
#include <vbench/modules/pict.h>
#include <vbench/modules/psam.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <iterator>
#include <limits>
#include <numbers>

namespace kora::vbench {

namespace {

// Mask bit of each bus line ABa1, ABa2, ABb1, ABb2, ABc1, ABc2, ABd1, ABd2.
constexpr int kBitOfLine[SourceMeasureModule::kLines] = {7, 3, 6, 2, 5, 1, 4, 0};
constexpr double kSenseBridge = 10e3;    // internal sense-to-force resistors
constexpr double kVoltmeterInput = 10e6; // input resistance of the voltmeter
constexpr double kReadingAccuracy = 5e-4, kRangeAccuracy = 2e-4; // three sigma
constexpr double kOverRange = 1.1;
constexpr double kDischargeOhms[] = {1e3, 100, 33, 10};
constexpr double kLargestCurrentLimit = 0.1;
// The source's LO reaches ground through the module's ground reference, not a bare relay: it
// references the floating source and carries the little current that a guard driver holding the
// same lines at a few millivolts asks of it, instead of fighting that driver.
constexpr double kGroundReference = 10;

std::string Fold(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

SourceMeasureModule::SourceMeasureModule(VirtualBench& bench, std::string name)
    : bench_(bench), name_(std::move(name)), prefix_("vb:" + Fold(name_) + ":") {
    Circuit& c = bench_.circuit();
    const int t1 = c.node(terminalNet(1)), t2 = c.node(terminalNet(2));
    const int t3 = c.node(terminalNet(3)), t4 = c.node(terminalNet(4));
    const int t5 = c.node(terminalNet(5)), t8 = c.node(terminalNet(8));
    source_ = &c.add<Source>(prefix_ + "dcs", t1, t4, Source::Mode::Voltage);
    source_->setSense(t2, t3);
    c.add<Resistor>(prefix_ + "sense-hi", t2, t1, kSenseBridge);
    c.add<Resistor>(prefix_ + "sense-lo", t3, t4, kSenseBridge);
    ammeter_ = &c.add<Source>(prefix_ + "ammeter", t5, t8, Source::Mode::Voltage);
    voltmeter_ = &c.add<Resistor>(prefix_ + "voltmeter", t5, t8, kVoltmeterInput);
    discharge_ = &c.add<Switch>(prefix_ + "discharge", c.node(terminalNet(0)), kGround,
                                kDischargeOhms[0], 1e12, false);
    applySource();
    applyMeter();
}

int SourceMeasureModule::lineOfBit(int bit) {
    for (int line = 0; line < kLines; ++line) {
        if (kBitOfLine[line] == bit) {
            return line;
        }
    }
    return -1;
}

int SourceMeasureModule::bitOfLine(int line) {
    return kBitOfLine[line];
}

int SourceMeasureModule::terminalIndex(int terminal) {
    auto it = std::find(kTerminals.begin(), kTerminals.end(), terminal);
    return it == kTerminals.end() ? -1 : static_cast<int>(it - kTerminals.begin());
}

bool SourceMeasureModule::isTerminal(int terminal) {
    return terminalIndex(terminal) >= 0;
}

std::string SourceMeasureModule::terminalNet(int terminal) const {
    return prefix_ + "t" + std::to_string(terminal);
}

Switch& SourceMeasureModule::relay(const std::string& id, const std::string& a,
                                   const std::string& b, double extraOhms) {
    Circuit& c = bench_.circuit();
    const std::string name = prefix_ + id;
    if (auto* s = c.findAs<Switch>(name)) {
        return *s;
    }
    const Station defaults;
    const Station* st = bench_.station() ? bench_.station() : &defaults;
    return c.add<Switch>(name, c.node(a), c.node(b), st->relayResistance + extraOhms,
                         st->relayOffResistance, false);
}

// ---- connections ------------------------------------------------------------------------------

void SourceMeasureModule::setCoupling(int mask) {
    for (int line = 0; line < kLines; ++line) {
        const bool want = (mask >> kBitOfLine[line]) & 1;
        const bool was = (coupling_ >> kBitOfLine[line]) & 1;
        if (want != was) {
            bench_.beforeChange();
            relay("couple:" + std::to_string(line), prefix_ + "bus" + std::to_string(line),
                  MatrixCard::systemLineNet(line))
                .setClosed(want);
        }
    }
    coupling_ = mask & 0xFF;
}

void SourceMeasureModule::setTerminalLines(int terminal, int affected, int connect) {
    const int t = terminalIndex(terminal);
    int& state = lines_[static_cast<std::size_t>(t)];
    for (int line = 0; line < kLines; ++line) {
        const int bit = 1 << kBitOfLine[line];
        if (!(affected & bit)) {
            continue;
        }
        const bool want = (connect & bit) != 0;
        if (want == ((state & bit) != 0)) {
            continue;
        }
        bench_.beforeChange();
        relay("t" + std::to_string(terminal) + ":l" + std::to_string(line), terminalNet(terminal),
              prefix_ + "bus" + std::to_string(line))
            .setClosed(want);
        state = want ? state | bit : state & ~bit;
    }
    applyReturn();
}

int SourceMeasureModule::terminalLines(int terminal) const {
    return lines_[static_cast<std::size_t>(terminalIndex(terminal))];
}

void SourceMeasureModule::setTerminalGround(int terminal, bool closed) {
    bool& state = grounds_[static_cast<std::size_t>(terminalIndex(terminal))];
    if (state == closed) {
        return;
    }
    bench_.beforeChange();
    relay("t" + std::to_string(terminal) + ":gnd", terminalNet(terminal), "0",
          terminal == 4 ? kGroundReference : 0.0)
        .setClosed(closed);
    state = closed;
    applyReturn();
}

void SourceMeasureModule::applyReturn() {
    const bool want = function_ == Function::Current && terminalLines(8) == 0 && !terminalGround(8);
    if (want == returnClosed_) {
        return;
    }
    bench_.beforeChange();
    relay("t8:t4", terminalNet(8), terminalNet(4)).setClosed(want);
    returnClosed_ = want;
}

bool SourceMeasureModule::terminalGround(int terminal) const {
    return grounds_[static_cast<std::size_t>(terminalIndex(terminal))];
}

// ---- DC source --------------------------------------------------------------------------------

double SourceMeasureModule::currentLimitRangeMax(int range) {
    return kLargestCurrentLimit / std::pow(10.0, range);
}

void SourceMeasureModule::applySource() {
    bench_.beforeChange();
    const double bound = currentLimitRangeMax(limitRange_);
    const double limit = std::min(std::fabs(currentLimit_), bound);
    if (voltageMode_) {
        source_->setMode(Source::Mode::Voltage);
        source_->setLevel(voltage_);
        source_->setLimit(limit);
    } else {
        source_->setMode(Source::Mode::Current);
        source_->setLevel(std::copysign(limit, currentLimit_));
        source_->setLimit(std::fabs(voltage_));
    }
    source_->setEnabled(outputOn_);
}

void SourceMeasureModule::setVoltageMode(bool voltageMode) {
    voltageMode_ = voltageMode;
    applySource();
}

void SourceMeasureModule::setVoltageLevel(double volts) {
    voltage_ = volts;
    applySource();
}

void SourceMeasureModule::setCurrentLimitRange(int range) {
    limitRange_ = range;
    applySource();
}

void SourceMeasureModule::setCurrentLimit(double amperes) {
    currentLimit_ = amperes;
    applySource();
}

void SourceMeasureModule::setOutputEnabled(bool on) {
    outputOn_ = on;
    applySource();
}

bool SourceMeasureModule::voltageRegulated() {
    bench_.settle();
    return outputOn_ && (source_->mode() == Source::Mode::Voltage) != source_->limiting();
}

bool SourceMeasureModule::currentRegulated() {
    bench_.settle();
    return outputOn_ && (source_->mode() == Source::Mode::Voltage) == source_->limiting();
}

// ---- measurement unit -------------------------------------------------------------------------

const std::vector<double>& SourceMeasureModule::voltageRanges() {
    static const std::vector<double> ranges = {0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1,
                                               2,    5,    10,   20,  50,  100};
    return ranges;
}

const std::vector<double>& SourceMeasureModule::currentRanges() {
    static const std::vector<double> ranges = {1e-6,   2e-6,   5e-6,   10e-6, 20e-6, 50e-6,
                                               100e-6, 200e-6, 500e-6, 1e-3,  2e-3,  5e-3,
                                               10e-3,  20e-3,  50e-3,  100e-3};
    return ranges;
}

bool SourceMeasureModule::setMeasurement(Function f, double range) {
    const auto& table = f == Function::Voltage ? voltageRanges() : currentRanges();
    auto it = std::find_if(table.begin(), table.end(),
                           [&](double r) { return r >= std::fabs(range) * (1 - 1e-9); });
    if (it == table.end() || !(range > 0)) {
        return false;
    }
    function_ = f;
    range_ = *it;
    applyMeter();
    return true;
}

void SourceMeasureModule::applyMeter() {
    bench_.beforeChange();
    ammeter_->setLevel(0);
    ammeter_->setEnabled(function_ == Function::Current);
    applyReturn();
}

void SourceMeasureModule::setRecord(int sampleCount, double interval) {
    sampleCount_ = std::max(sampleCount, 0);
    interval_ = std::max(interval, 0.0);
}

double SourceMeasureModule::trueReading() {
    // A board the solver could not solve reads as no number, which the record reports as over
    // range: the driver's warning, never a stale value.
    if (!bench_.settle().ok()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const Circuit& c = bench_.circuit();
    if (function_ == Function::Current) {
        return -ammeter_->deliveredCurrent(c.solution().data());
    }
    return c.voltage(terminalNet(5)) - c.voltage(terminalNet(8));
}

std::optional<PictModule::SteadyVoltage> SourceMeasureModule::steadySine() {
    const Station* station = bench_.station();
    if (function_ != Function::Voltage || !station) {
        return std::nullopt;
    }
    for (const StationDevice& d : station->devices) {
        if (Fold(d.type) != "pict") {
            continue;
        }
        if (auto v = PictOf(bench_, d.name).steadyVoltage(terminalNet(5), terminalNet(8))) {
            return v;
        }
    }
    return std::nullopt;
}

double SourceMeasureModule::currentOffset() const {
    const Station* station = bench_.station();
    if (function_ != Function::Current || !station || station->psamCurrentOffsets.empty()) {
        return 0;
    }
    const auto& ranges = currentRanges();
    const auto index =
        static_cast<std::size_t>(std::find(ranges.begin(), ranges.end(), range_) - ranges.begin());
    const auto& offsets = station->psamCurrentOffsets;
    return offsets[std::min(index, offsets.size() - 1)];
}

double SourceMeasureModule::sampleDelay() const {
    return lowpass_ >= 100e3 ? kSampleDelayWide : kSampleDelayNarrow;
}

std::vector<double> SourceMeasureModule::takeRecord(bool* overRange, int64_t triggerNs) {
    *overRange = false;
    const auto n = static_cast<std::size_t>(sampleCount_);
    Clock& clock = bench_.clock();
    const int64_t firstNs = (triggerNs < 0 ? clock.nowNs() : triggerNs) +
                            std::llround((triggerDelay_ + sampleDelay()) * 1e9);
    if (clock.nowNs() < firstNs) {
        clock.wait(firstNs - clock.nowNs());
    }
    // Without stored charge nothing changes while the record runs: solve once.
    const bool dynamic = bench_.circuit().hasMemory();
    std::vector<double> values;
    values.reserve(n);
    if (const auto sine = dynamic ? steadySine() : std::nullopt) {
        // The steady state of the PICT's sine at the sample instants, as the CMU records it.
        const double w = 2 * std::numbers::pi * sine->frequency;
        const double t0 = sine->now - static_cast<double>(clock.nowNs() - firstNs) * 1e-9;
        for (std::size_t k = 0; k < n; ++k) {
            const double t = t0 + static_cast<double>(k + 1) * interval_;
            values.push_back(sine->dc + (sine->ac * std::polar(1.0, w * t)).imag());
        }
        const int64_t endNs = firstNs + std::llround(static_cast<double>(n) * interval_ * 1e9);
        if (clock.nowNs() < endNs) {
            clock.wait(endNs - clock.nowNs());
        }
    } else {
        double raw = trueReading();
        for (std::size_t k = 0; k < n; ++k) {
            clock.waitSeconds(interval_);
            if (dynamic) {
                raw = trueReading();
            }
            values.push_back(raw);
        }
    }
    // The linear-phase filter: first order forward, then backward.
    const double alpha =
        lowpass_ > 0 ? 1 - std::exp(-2 * std::numbers::pi * lowpass_ * interval_) : 1.0;
    if (alpha < 1 && !values.empty()) {
        double y = values.front();
        for (double& v : values) {
            y += alpha * (v - y);
            v = y;
        }
        y = values.back();
        for (auto it = values.rbegin(); it != values.rend(); ++it) {
            y += alpha * (*it - y);
            *it = y;
        }
    }
    std::vector<double> samples;
    samples.reserve(n);
    const double offset = currentOffset();
    for (double filtered : values) {
        filtered += offset;
        const double sigma = (kReadingAccuracy * std::fabs(filtered) + kRangeAccuracy * range_) / 3;
        double sample = bench_.noise().around(filtered, sigma);
        if (!(std::fabs(sample) <= kOverRange * range_)) {
            sample = std::numeric_limits<double>::quiet_NaN();
            *overRange = true;
        }
        samples.push_back(sample);
    }
    return samples;
}

// ---- discharge unit ---------------------------------------------------------------------------

void SourceMeasureModule::applyDischarge() {
    bench_.beforeChange();
    discharge_->setOnResistance(kDischargeOhms[dischargeStep_]);
    discharge_->setClosed(dischargeOn_);
}

void SourceMeasureModule::setDischargeStep(int step) {
    dischargeStep_ = std::clamp(step, 0, 3);
    applyDischarge();
}

void SourceMeasureModule::setDischargeEnabled(bool on) {
    dischargeOn_ = on;
    applyDischarge();
}

void SourceMeasureModule::setTermination(int side, int channel, bool closed) {
    // The sense line D2 and the drive lines B2 and C1 of the digital test, by line index.
    constexpr int kSenseLine = 7;
    constexpr int kTermLines[] = {3, 4};
    constexpr int kResistors = static_cast<int>(std::size(kTerminationOhms));
    if (side < 0 || side > 1 || channel < 1 || channel > kResistors) {
        return;
    }
    const std::string id = "term" + std::to_string(side) + ":" + std::to_string(channel);
    if (!closed && !bench_.circuit().findAs<Switch>(prefix_ + id)) {
        return; // never closed: nothing to open, and no element to add
    }
    bench_.beforeChange();
    relay(id, prefix_ + "bus" + std::to_string(kSenseLine),
          prefix_ + "bus" + std::to_string(kTermLines[side]), kTerminationOhms[channel - 1])
        .setClosed(closed);
}

} // namespace kora::vbench
