#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/device.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/matrix_card.h>
#include <vbench/modules/module_registry.h>
#include <vbench/modules/pict.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <numbers>

namespace kora::vbench {

// The AOS output as an element: an ideal voltage source from its node to ground. In DC mode it
// holds the level; in AC mode the operating point sees the offset and a transient sees the whole
// sine on circuit time. Its AC excitation is what the module sets (the sine's amplitude, or the
// offset for the DC response at 0 Hz). While it runs a sine it reports memory, so that the circuit
// is followed in time and every sampling meter sees the sine; the module tells the circuit when
// that changes, so that the element and the circuit's topology stay as they are.
class PictAosOutput final : public Device {
  public:
    PictAosOutput(std::string name, int hi, bool dynamic)
        : Device(std::move(name)), hi_(hi), dynamic_(dynamic) {}

    void setup(SetupContext& s) override {
        k_ = s.newUnknown(true);
        s.entry(hi_, k_, &hiK_);
        s.entry(k_, hi_, &kHi_);
        s.entry(k_, k_, &kK_);
    }
    void load(LoadContext& ctx) override {
        ctx.add(hiK_, -1);
        if (!enabled_) {
            ctx.add(kK_, 1); // open: no current
            return;
        }
        ctx.add(kHi_, 1);
        ctx.rhs(k_, valueAt(ctx.transient, ctx.time) * ctx.sourceScale);
    }
    void loadAc(AcContext& ctx) const override {
        ctx.add(hiK_, -1.0);
        if (!enabled_) {
            ctx.add(kK_, 1.0);
            return;
        }
        ctx.add(kHi_, 1.0);
        ctx.rhs(k_, excitation_);
    }
    bool hasMemory() const override { return dynamic_; }
    WaveShape waveShape(double) const override {
        return enabled_ && sine_ ? WaveShape::LevelAndSine : WaveShape::Level;
    }
    double sineHertz() const override { return omega_ / (2 * std::numbers::pi); }
    void loadSine(AcContext& ctx) const override { ctx.rhs(k_, amplitude_); }
    void holdSine(bool held) override { held_ = held; }

    bool dynamic() const { return dynamic_; }
    void setDynamic(bool dynamic) { dynamic_ = dynamic; }
    void set(bool enabled, bool sine, double level, double amplitude, double hertz) {
        enabled_ = enabled;
        sine_ = sine;
        level_ = level;
        amplitude_ = amplitude;
        omega_ = 2 * std::numbers::pi * hertz;
    }
    void setExcitation(std::complex<double> e) { excitation_ = e; }

  private:
    double valueAt(bool transient, double t) const {
        if (!sine_ || !transient || held_) {
            return level_;
        }
        return level_ + amplitude_ * std::sin(omega_ * t);
    }

    int hi_, k_ = -1;
    bool dynamic_;
    bool enabled_ = false, sine_ = false, held_ = false;
    double level_ = 0, amplitude_ = 0, omega_ = 0;
    std::complex<double> excitation_{0, 0};
    int hiK_ = 0, kHi_ = 0, kK_ = 0;
};

namespace {

constexpr double kSenseBridge = 10e3;     // internal sense-to-output resistors
constexpr double kAmplifierLimit = 0.3;   // amperes the CMU and the guard driver deliver
constexpr double kNoSeries = 1e-3;        // the AOS's series path with no resistor chosen
constexpr double kReadingAccuracy = 1e-3; // three sigma, of the reading
constexpr double kRangeAccuracy = 5e-4;   // three sigma, of the range
constexpr double kOverRange = 1.1;        // of the range
constexpr double kUnderRange = 0.05;      // of the range: a record below it is under range
constexpr double kAutoRangeFill = 0.9;    // auto-range keeps the peak within this of the range
constexpr const char* kPsamSignal = "rspsam_trig_SendSoftwareSignal";

// Line (0 ABa1 .. 7 ABd2) of each bit of each mask; -1 where the bit reaches no line.
constexpr int kLineOfBit[PictModule::kMasks][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, -1, -1, -1, -1, -1, -1, -1, -1},       // CMU input
    {-1, -1, -1, -1, -1, -1, 4, 5, -1, -1, -1, -1, -1, -1, -1, -1}, // guard output
    {-1, -1, -1, -1, -1, -1, 2, 3, 6, 7, -1, -1, -1, -1, -1, -1},   // CMU sense
    {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 6, 7, -1, -1},   // guard sense
    {0, 1, 2, 3, 4, 5, 6, 7, -1, -1, -1, -1, -1, -1, -1, -1},       // AOS output
};

std::string Fold(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

PictModule::PictModule(VirtualBench& bench, std::string name)
    : bench_(bench), name_(std::move(name)), prefix_("vb:" + Fold(name_) + ":") {
    Circuit& c = bench_.circuit();
    const int in = c.node(cmuInputNet()), sense = c.node(prefix_ + "cmu-sense");
    cmu_ = &c.add<Source>(prefix_ + "cmu", in, kGround, Source::Mode::Voltage);
    cmu_->setSense(sense, kGround);
    cmu_->setLevel(0);
    cmu_->setLimit(kAmplifierLimit);
    c.add<Resistor>(prefix_ + "cmu-bridge", sense, in, kSenseBridge);
    const int out = c.node(guardOutputNet()), guardSense = c.node(prefix_ + "guard-sense");
    guard_ = &c.add<Source>(prefix_ + "guard", out, kGround, Source::Mode::Voltage);
    guard_->setSense(guardSense, kGround);
    guard_->setLevel(0);
    guard_->setLimit(kAmplifierLimit);
    c.add<Resistor>(prefix_ + "guard-bridge", guardSense, out, kSenseBridge);
    aosSeries_ = &c.add<Resistor>(prefix_ + "aos-series", c.node(prefix_ + "aos-src"),
                                  c.node(aosOutputNet()), kNoSeries);
    applyAmplifiers();
    applyAos();
}

PictModule::~PictModule() = default;

bool PictModule::attachedTo(VirtualBench& bench) const {
    return &bench == &bench_ && bench.circuit().find(prefix_ + "cmu") == cmu_;
}

void PictModule::reset() {
    aosOn_ = false;
    ac_ = false;
    dcRangeCode_ = 0;
    dcLevel_ = 0;
    frequencyCode_ = 1;
    amplitudeCode_ = 2;
    offsetCode_ = 0;
    applyAos();
    setSwitches({0, 0, 0, 0, 0});
    signalCode_ = 0;
    gainCode_ = 15;
    filterCode_ = 0;
    autoRange_ = false;
    triggerSource_ = kTriggerImmediate;
    triggerDelay_ = 0;
    sampleCount_ = 200;
    interval_ = 5e-6;
    armed_ = false;
    recordTaken_ = false;
}

Switch& PictModule::relay(const std::string& id, const std::string& a, const std::string& b) {
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

// ---- switches ---------------------------------------------------------------------------------

int PictModule::lineOfBit(int mask, int bit) {
    if (mask < 1 || mask > kMasks || bit < 0 || bit > 15) {
        return -1;
    }
    return kLineOfBit[mask - 1][bit];
}

bool PictModule::validMask(int mask, int value) {
    if (mask < 1 || mask > kMasks || value < 0 || value > 0xFFFF) {
        return false;
    }
    for (int bit = 0; bit < 16; ++bit) {
        if (((value >> bit) & 1) && lineOfBit(mask, bit) < 0) {
            return false;
        }
    }
    return true;
}

void PictModule::setSwitches(const std::array<int, kMasks>& masks) {
    const std::string unit[kMasks] = {cmuInputNet(), guardOutputNet(), prefix_ + "cmu-sense",
                                      prefix_ + "guard-sense", aosOutputNet()};
    for (int m = 1; m <= kMasks; ++m) {
        const int want = masks[static_cast<std::size_t>(m - 1)];
        int& state = masks_[static_cast<std::size_t>(m - 1)];
        for (int bit = 0; bit < 16; ++bit) {
            const int line = lineOfBit(m, bit);
            const bool closed = (want >> bit) & 1;
            if (line < 0 || closed == (((state >> bit) & 1) != 0)) {
                continue;
            }
            bench_.beforeChange();
            relay("m" + std::to_string(m) + ":b" + std::to_string(bit),
                  unit[static_cast<std::size_t>(m - 1)], MatrixCard::systemLineNet(line))
                .setClosed(closed);
        }
        state = want;
    }
    applyAmplifiers();
    applyAos();
}

void PictModule::applyAmplifiers() {
    const bool cmuOn = masks_[0] != 0, guardOn = masks_[1] != 0;
    if (cmu_->enabled() != cmuOn || guard_->enabled() != guardOn) {
        bench_.beforeChange();
        cmu_->setEnabled(cmuOn);
        guard_->setEnabled(guardOn);
    }
}

// ---- analog output source ---------------------------------------------------------------------

double PictModule::sineFrequency(int code) {
    static constexpr double kHertz[] = {100, 1e3, 10e3};
    return kHertz[std::clamp(code, 0, 2)];
}

double PictModule::sineAmplitude(int code) {
    static constexpr double kVolts[] = {0.1, 0.2, 1.0};
    return kVolts[std::clamp(code, 0, 2)];
}

double PictModule::seriesResistance(int code) {
    static constexpr double kOhms[] = {0, 10, 100, 1e3};
    return kOhms[std::clamp(code, 0, 3)];
}

double PictModule::offset() const {
    switch (offsetCode_) {
    case 1:
        return amplitude();
    case 2:
        return -amplitude();
    default:
        return 0;
    }
}

bool PictModule::aosDynamic() const {
    // A sine that no switch puts on the bus changes nothing the circuit holds: the circuit need
    // not be followed in time for it.
    return sineRunning() && masks_[kMasks - 1] != 0;
}

void PictModule::placeAos() {
    const bool dynamic = aosDynamic();
    if (aos_ && aos_->dynamic() == dynamic) {
        return;
    }
    bench_.beforeChange();
    Circuit& c = bench_.circuit();
    if (aos_) {
        aos_->setDynamic(dynamic);
        c.kindsChanged();
        return;
    }
    aos_ = &c.add<PictAosOutput>(prefix_ + "aos", c.node(prefix_ + "aos-src"), dynamic);
}

void PictModule::applyAos() {
    placeAos();
    bench_.beforeChange();
    if (ac_) {
        aos_->set(aosOn_, true, offset(), amplitude(), frequency());
        // A sine that no switch puts on the bus excites nothing the analyses look at.
        aos_->setExcitation(aosDynamic() ? amplitude() : 0.0);
        aosSeries_->setResistance(kNoSeries);
    } else {
        aos_->set(aosOn_, false, dcLevel_, 0, 0);
        aos_->setExcitation(0.0);
        aosSeries_->setResistance(std::max(seriesResistance(dcRangeCode_), kNoSeries));
    }
}

void PictModule::setAosAc(bool ac) {
    ac_ = ac;
    applyAos();
}

void PictModule::configureSine(int frequencyCode, int amplitudeCode, int offsetCode) {
    frequencyCode_ = std::clamp(frequencyCode, 0, 2);
    amplitudeCode_ = std::clamp(amplitudeCode, 0, 2);
    offsetCode_ = std::clamp(offsetCode, 0, 2);
    applyAos();
}

void PictModule::configureDc(int rangeCode, double level) {
    dcRangeCode_ = std::clamp(rangeCode, 0, 3);
    dcLevel_ = std::clamp(level, -kMaxDcLevel, kMaxDcLevel);
    applyAos();
}

void PictModule::setAosEnabled(bool on) {
    aosOn_ = on;
    applyAos();
}

// ---- complex measurement unit -----------------------------------------------------------------

const std::vector<double>& PictModule::gainRanges() {
    static const std::vector<double> ranges = {1e-6,   2e-6,   5e-6,   10e-6,  20e-6, 50e-6,
                                               100e-6, 200e-6, 500e-6, 1e-3,   2e-3,  5e-3,
                                               10e-3,  20e-3,  50e-3,  100e-3, 200e-3};
    return ranges;
}

double PictModule::filterCorner(int code) {
    static constexpr double kHertz[] = {0, 40e3, 4e3, 400};
    return kHertz[std::clamp(code, 0, 3)];
}

void PictModule::setSignalConditioning(int signalCode, int gainCode, int filterCode) {
    signalCode_ = std::clamp(signalCode, 0, 2);
    gainCode_ = std::clamp(gainCode, 0, static_cast<int>(gainRanges().size()) - 1);
    filterCode_ = std::clamp(filterCode, 0, 3);
}

void PictModule::setTrigger(int source, double delay) {
    triggerSource_ = source;
    triggerDelay_ = std::max(delay, 0.0);
}

void PictModule::setRecorder(int sampleCount, double interval) {
    sampleCount_ = std::max(sampleCount, 0);
    interval_ = std::max(interval, 0.0);
}

double PictModule::circuitTime() {
    bench_.settle();
    return bench_.circuit().time();
}

double PictModule::trueCurrent() {
    // An unsolved board reads as over range (no number), as the PSAM's meter does.
    if (!bench_.settle().ok()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (!cmu_->enabled()) {
        return 0;
    }
    return -cmu_->deliveredCurrent(bench_.circuit().solution().data());
}

std::complex<double> PictModule::currentPhasor() {
    if (!sineRunning() || !cmu_->enabled()) {
        return 0.0;
    }
    bench_.settle(); // the AC analysis linearises around the present point
    const AcSolution s = bench_.solver().ac(frequency());
    return s.ok ? -s.at(cmu_->branch()) : 0.0;
}

std::optional<PictModule::SteadyVoltage> PictModule::steadyVoltage(const std::string& plus,
                                                                   const std::string& minus) {
    if (!aosDynamic()) {
        return std::nullopt;
    }
    const Circuit& c = bench_.circuit();
    const auto p = c.findNode(plus), m = c.findNode(minus);
    SteadyVoltage v;
    v.now = circuitTime();
    v.frequency = frequency();
    auto between = [&](const AcSolution& s) { return (p ? s.at(*p) : 0.0) - (m ? s.at(*m) : 0.0); };
    const AcSolution s = bench_.solver().ac(v.frequency);
    if (!s.ok) {
        return std::nullopt;
    }
    v.ac = between(s);
    if (offset() != 0) {
        aos_->setExcitation(offset());
        const AcSolution d = bench_.solver().ac(0.0);
        v.dc = d.ok ? between(d).real() : 0.0;
        aos_->setExcitation(amplitude());
    }
    return v;
}

void PictModule::chooseRange(double peak) {
    const auto& ranges = gainRanges();
    for (std::size_t code = 0; code < ranges.size(); ++code) {
        if (peak <= kAutoRangeFill * ranges[code]) {
            gainCode_ = static_cast<int>(code);
            return;
        }
    }
    gainCode_ = static_cast<int>(ranges.size()) - 1;
}

PictModule::Record PictModule::takeRecord(int64_t startNs) {
    Clock& clock = bench_.clock();
    const bool open = signalCode_ == 0;
    const double corner = filterCorner(filterCode_);
    const auto n = static_cast<std::size_t>(sampleCount_);
    std::vector<double> values;
    values.reserve(n);
    if (sineRunning()) {
        // Steady state of the sine at the sample instants, on circuit time.
        const double f = frequency();
        const std::complex<double> h =
            corner > 0 ? 1.0 / std::complex<double>(1.0, f / corner) : 1.0;
        const std::complex<double> ac = currentPhasor() * h;
        double dc = 0;
        if (offset() != 0 && cmu_->enabled()) {
            aos_->setExcitation(aosDynamic() ? offset() : 0.0);
            const AcSolution s = bench_.solver().ac(0.0);
            dc = s.ok ? -s.at(cmu_->branch()).real() : 0.0;
            aos_->setExcitation(aosDynamic() ? amplitude() : 0.0);
        }
        if (autoRange_ && !open) {
            chooseRange(std::fabs(dc) + std::abs(ac));
        }
        const double t0 = circuitTime() - static_cast<double>(clock.nowNs() - startNs) * 1e-9 +
                          triggerDelay_ + kSampleDelay;
        const double w = 2 * std::numbers::pi * f;
        for (std::size_t k = 0; k < n; ++k) {
            const double t = t0 + static_cast<double>(k + 1) * interval_;
            values.push_back(open ? 0.0 : dc + (ac * std::polar(1.0, w * t)).imag());
        }
        const int64_t endNs =
            startNs +
            std::llround((triggerDelay_ + kSampleDelay + static_cast<double>(n) * interval_) * 1e9);
        if (clock.nowNs() < endNs) {
            clock.wait(endNs - clock.nowNs());
        }
    } else {
        // Sampled as virtual time runs, as the PSAM's meter does.
        const int64_t firstNs = startNs + std::llround((triggerDelay_ + kSampleDelay) * 1e9);
        if (clock.nowNs() < firstNs) {
            clock.wait(firstNs - clock.nowNs());
        }
        const bool dynamic = bench_.circuit().hasMemory();
        double raw = open ? 0.0 : trueCurrent();
        if (autoRange_ && !open) {
            chooseRange(std::fabs(raw));
        }
        double filtered = raw;
        const double alpha =
            corner > 0 ? 1 - std::exp(-2 * std::numbers::pi * corner * interval_) : 1.0;
        for (std::size_t k = 0; k < n; ++k) {
            clock.waitSeconds(interval_);
            if (dynamic && !open) {
                raw = trueCurrent();
            }
            filtered += alpha * (raw - filtered);
            values.push_back(filtered);
        }
    }
    Record r;
    r.range = range();
    bool over = false;
    double peak = 0;
    for (double v : values) {
        const double sigma = (kReadingAccuracy * std::fabs(v) + kRangeAccuracy * r.range) / 3;
        double sample = bench_.noise().around(v, sigma);
        if (!(std::fabs(sample) <= kOverRange * r.range)) {
            sample = std::numeric_limits<double>::quiet_NaN();
            over = true;
        } else {
            peak = std::max(peak, std::fabs(sample));
        }
        r.samples.push_back(sample);
    }
    if (over) {
        r.state = CmuState::OverRange;
    } else if (!r.samples.empty() && peak < kUnderRange * r.range) {
        r.state = CmuState::UnderRange;
    }
    return r;
}

void PictModule::initiate() {
    Journal& journal = bench_.journal();
    armed_ = true;
    recordTaken_ = false;
    armedNs_ = bench_.clock().nowNs();
    armedSignals_ = journal.count(kPsamSignal);
    const auto last = journal.last();
    armedSequence_ = last ? last->sequence : 0;
    if (triggerSource_ != kTriggerPsamLine) {
        taken_ = takeRecord(armedNs_);
        recordTaken_ = true;
    }
}

std::optional<int64_t> PictModule::triggerTime() const {
    const Journal& journal = bench_.journal();
    if (!journal.recording()) {
        // Only counted: the signal came, some time up to now.
        if (journal.count(kPsamSignal) != armedSignals_) {
            return bench_.clock().nowNs();
        }
        return std::nullopt;
    }
    const auto last = journal.last();
    const bool cleared = !last || last->sequence < armedSequence_;
    for (const auto& e : journal.calls(kPsamSignal)) {
        if (e.result >= 0 && e.timeNs >= armedNs_ && (cleared || e.sequence > armedSequence_)) {
            return e.timeNs;
        }
    }
    return std::nullopt;
}

PictModule::Record PictModule::fetch(double timeoutSeconds) {
    armed_ = false;
    if (recordTaken_) {
        recordTaken_ = false;
        return std::move(taken_);
    }
    Clock& clock = bench_.clock();
    Record timedOut;
    timedOut.range = range();
    timedOut.state = CmuState::Timeout;
    const auto start = triggerTime();
    if (!start) {
        // No trigger came; in virtual time none will while the caller waits.
        if (timeoutSeconds > 0) {
            clock.waitSeconds(timeoutSeconds);
        }
        return timedOut;
    }
    const double end = static_cast<double>(*start) * 1e-9 + triggerDelay_ + kSampleDelay +
                       static_cast<double>(sampleCount_) * interval_;
    if (timeoutSeconds >= 0 && end - clock.seconds() > timeoutSeconds) {
        clock.waitSeconds(timeoutSeconds);
        return timedOut;
    }
    return takeRecord(*start);
}

bool PictModule::read(double timeoutSeconds, Record* record) {
    const double duration =
        triggerDelay_ + kSampleDelay + static_cast<double>(sampleCount_) * interval_;
    if (timeoutSeconds >= 0 && duration > timeoutSeconds) {
        bench_.clock().waitSeconds(timeoutSeconds);
        return false;
    }
    *record = takeRecord(bench_.clock().nowNs());
    return true;
}

void PictModule::waitForSettling() {
    const Station* st = bench_.station() ? bench_.station() : &DefaultStation();
    bench_.wait(st->settlingTime);
}

PictModule& PictOf(VirtualBench& bench, const std::string& name) {
    static ModuleRegistry<PictModule> registry;
    std::lock_guard lock(bench.mutex());
    return registry.get(bench, name);
}

} // namespace kora::vbench
