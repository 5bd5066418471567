#include <vbench/circuit/elements.h>

#include <cmath>
#include <numbers>

namespace kora::vbench {

// ---- ChargeStore ------------------------------------------------------------------------------

double ChargeStore::integrate(const LoadContext& ctx, double q, double c) {
    step_ = ctx.step;
    method_ = ctx.method;
    q_ = q;
    i_ = currentFor(q);
    return method_ == Integration::BackwardEuler ? c / step_ : 2 * c / step_;
}

double ChargeStore::currentFor(double q) const {
    if (method_ == Integration::BackwardEuler) {
        return (q - q0_) / step_;
    }
    return 2 * (q - q0_) / step_ - i0_;
}

void ChargeStore::accept(double q) {
    if (step_ <= 0) {
        start(q);
        return;
    }
    i_ = currentFor(q);
    q_ = q;
    q0_ = q;
    i0_ = i_;
}

// ---- Resistor ---------------------------------------------------------------------------------

Resistor::Resistor(std::string name, int p, int n, double ohms)
    : Device(std::move(name)), p_(p), n_(n), g_(1.0 / ohms) {}

void Resistor::setResistance(double ohms) {
    g_ = 1.0 / ohms;
    if (!varies_) {
        varies_ = true;
        stampChanged();
    }
}

double Resistor::current(const double* x, int n) const {
    return (VoltageAt(x, n, p_) - VoltageAt(x, n, n_)) * g_;
}

// ---- Capacitor --------------------------------------------------------------------------------

Capacitor::Capacitor(std::string name, int p, int n, double farads)
    : Device(std::move(name)), p_(p), n_(n), c_(farads) {}

void Capacitor::load(LoadContext& ctx) {
    if (!ctx.transient || c_ == 0) {
        return; // open at DC
    }
    const double v = ctx.v(p_) - ctx.v(n_);
    const double g = store_.integrate(ctx, c_ * v, c_);
    const double ieq = store_.current() - g * v;
    slots_.stamp(ctx, g);
    ctx.rhs(p_, -ieq);
    ctx.rhs(n_, ieq);
}

void Capacitor::loadAc(AcContext& ctx) const {
    slots_.stamp(ctx, std::complex<double>(0, ctx.omega * c_));
}

void Capacitor::startState(const double* x, int n) {
    store_.start(c_ * (VoltageAt(x, n, p_) - VoltageAt(x, n, n_)));
}

void Capacitor::acceptStep(const double* x, int n) {
    store_.accept(c_ * (VoltageAt(x, n, p_) - VoltageAt(x, n, n_)));
}

// ---- Inductor ---------------------------------------------------------------------------------

Inductor::Inductor(std::string name, int p, int n, double henries)
    : Device(std::move(name)), p_(p), n_(n), l_(henries) {}

void Inductor::setup(SetupContext& s) {
    k_ = s.newUnknown(true);
    s.entry(p_, k_, &pk_);
    s.entry(n_, k_, &nk_);
    s.entry(k_, p_, &kp_);
    s.entry(k_, n_, &kn_);
    s.entry(k_, k_, &kk_);
}

void Inductor::load(LoadContext& ctx) {
    ctx.add(pk_, 1);
    ctx.add(nk_, -1);
    ctx.add(kp_, 1);
    ctx.add(kn_, -1);
    if (!ctx.transient) {
        return; // a short at DC
    }
    step_ = ctx.step;
    method_ = ctx.method;
    if (method_ == Integration::BackwardEuler) {
        const double z = l_ / step_;
        ctx.add(kk_, -z);
        ctx.rhs(k_, -z * i0_);
    } else {
        const double z = 2 * l_ / step_;
        ctx.add(kk_, -z);
        ctx.rhs(k_, -z * i0_ - v0_);
    }
}

void Inductor::loadAc(AcContext& ctx) const {
    ctx.add(pk_, 1);
    ctx.add(nk_, -1);
    ctx.add(kp_, 1);
    ctx.add(kn_, -1);
    ctx.add(kk_, std::complex<double>(0, -ctx.omega * l_));
}

void Inductor::startState(const double* x, int n) {
    i0_ = x[k_];
    v0_ = VoltageAt(x, n, p_) - VoltageAt(x, n, n_);
}

void Inductor::acceptStep(const double* x, int n) {
    startState(x, n);
}

// ---- Switch -----------------------------------------------------------------------------------

Switch::Switch(std::string name, int p, int n, double onOhms, double offOhms, bool closed)
    : Device(std::move(name)), p_(p), n_(n), gOn_(1.0 / onOhms), gOff_(1.0 / offOhms),
      closed_(closed) {}

void Switch::setup(SetupContext& s) {
    leaks_ = !s.appending();
    contact_.setup(s, p_, n_, true);
    if (leaks_) {
        leak_.setup(s, p_, n_);
    }
}

void Switch::loadAc(AcContext& ctx) const {
    using Complex = std::complex<double>;
    if (leaks_) {
        leak_.stamp(ctx, Complex(gOff_));
    }
    if (closed_) {
        contact_.stamp(ctx, Complex(leaks_ ? gOn_ - gOff_ : gOn_));
    }
}

void Switch::setClosed(bool closed) {
    if (closed != closed_) {
        closed_ = closed;
        stampChanged();
    }
}

void Switch::setControl(int cp, int cn, double threshold, double hysteresis) {
    controlled_ = true;
    cp_ = cp;
    cn_ = cn;
    vt_ = threshold;
    vh_ = std::fabs(hysteresis);
}

bool Switch::updateRegime(const double* x, int n) {
    if (!controlled_) {
        return false;
    }
    const double vc = VoltageAt(x, n, cp_) - VoltageAt(x, n, cn_);
    bool want = closed_;
    if (vc > vt_ + vh_) {
        want = true;
    } else if (vc < vt_ - vh_) {
        want = false;
    }
    const bool changed = want != closed_;
    setClosed(want);
    return changed;
}

// ---- Vccs -------------------------------------------------------------------------------------

void Vccs::setup(SetupContext& s) {
    s.entry(p_, cp_, &pc_);
    s.entry(p_, cn_, &pcn_);
    s.entry(n_, cp_, &nc_);
    s.entry(n_, cn_, &ncn_);
}

// ---- Source -----------------------------------------------------------------------------------

Source::Source(std::string name, int hi, int lo, Mode mode, SourceSettings settings)
    : Device(std::move(name)), hi_(hi), lo_(lo), senseHi_(hi), senseLo_(lo), mode_(mode),
      settings_(std::move(settings)) {}

void Source::setup(SetupContext& s) {
    k_ = s.newUnknown(true);
    s.entry(hi_, k_, &hiK_);
    s.entry(lo_, k_, &loK_);
    s.entry(k_, senseHi_, &kHi_);
    s.entry(k_, senseLo_, &kLo_);
    s.entry(k_, k_, &kK_);
}

void Source::setMode(Mode mode) {
    if (mode != mode_) {
        mode_ = mode;
        limited_ = false;
    }
}

void Source::setLevel(double level) {
    settings_.dc = level;
    settings_.dcGiven = true;
    settings_.wave = Waveform::None;
    settings_.waveParams.clear();
    wave_ = nullptr;
}

void Source::setOutput(double level, std::vector<double> sine, std::function<double(double)> wave) {
    setLevel(level);
    if (!sine.empty()) {
        settings_.wave = Waveform::Sin;
        settings_.waveParams = std::move(sine);
    }
    wave_ = std::move(wave);
}

void Source::setAc(double magnitude, double phaseDegrees) {
    settings_.acMagnitude = magnitude;
    settings_.acPhaseDegrees = phaseDegrees;
}

namespace {

// A SIN description's parameter i (VO VA FREQ TD THETA PHASE), 0 when not given.
double SineParam(const SourceSettings& s, std::size_t i) {
    return i < s.waveParams.size() ? s.waveParams[i] : 0.0;
}

} // namespace

Device::WaveShape Source::waveShape(double from) const {
    if (!enabled_ || limited_ || (!wave_ && settings_.wave == Waveform::None)) {
        return WaveShape::Level;
    }
    // Before its delay a SIN holds still and then starts; a damped one is no steady sine.
    if (wave_ || settings_.wave != Waveform::Sin || SineParam(settings_, 4) != 0 ||
        from < SineParam(settings_, 3)) {
        return WaveShape::Other;
    }
    return WaveShape::LevelAndSine;
}

double Source::sineHertz() const {
    return SineParam(settings_, 2);
}

void Source::loadSine(AcContext& ctx) const {
    // VA sin(w (t - TD) + PHASE) = Im(VA e^{j (PHASE - w TD)} e^{jwt})
    const double phase = SineParam(settings_, 5) * std::numbers::pi / 180.0 -
                         2 * std::numbers::pi * sineHertz() * SineParam(settings_, 3);
    ctx.rhs(k_, std::polar(SineParam(settings_, 1), phase));
}

double Source::valueAt(const LoadContext& ctx) const {
    if (ctx.transient && sineHeld_ && !wave_ && settings_.wave == Waveform::Sin) {
        return SineParam(settings_, 0);
    }
    if (ctx.transient && wave_) {
        return wave_(ctx.time);
    }
    return ctx.transient ? settings_.valueAt(ctx.time) : settings_.dcValue();
}

bool Source::voltageRow() const {
    return enabled_ && ((mode_ == Mode::Voltage) != limited_);
}

void Source::load(LoadContext& ctx) {
    ctx.add(hiK_, -1);
    ctx.add(loK_, 1);
    double target = 0;
    if (enabled_) {
        target = limited_ ? limitSign_ * limit_ : valueAt(ctx) * ctx.sourceScale;
    }
    if (voltageRow()) {
        ctx.add(kHi_, 1);
        ctx.add(kLo_, -1);
    } else {
        ctx.add(kK_, 1);
    }
    ctx.rhs(k_, target);
}

void Source::loadAc(AcContext& ctx) const {
    ctx.add(hiK_, -1.0);
    ctx.add(loK_, 1.0);
    if (voltageRow()) {
        ctx.add(kHi_, 1.0);
        ctx.add(kLo_, -1.0);
    } else {
        ctx.add(kK_, 1.0);
    }
    if (enabled_ && !limited_ && settings_.acMagnitude != 0) {
        const double ph = settings_.acPhaseDegrees * std::numbers::pi / 180.0;
        ctx.rhs(k_, std::polar(settings_.acMagnitude, ph));
    }
}

bool Source::updateRegime(const double* x, int n) {
    if (!enabled_ || !std::isfinite(limit_)) {
        const bool changed = limited_;
        limited_ = false;
        return changed;
    }
    const double i = x[k_];
    const double v = VoltageAt(x, n, senseHi_) - VoltageAt(x, n, senseLo_);
    const double level = settings_.dc;
    // Small margins keep a load that sits exactly at the limit from flipping between regimes.
    if (mode_ == Mode::Voltage) {
        if (!limited_) {
            if (std::fabs(i) > limit_ * (1 + 1e-9) + 1e-15) {
                limited_ = true;
                limitSign_ = i >= 0 ? 1 : -1;
                return true;
            }
            return false;
        }
        const double margin = 1e-9 * std::fabs(level) + 1e-12;
        if ((limitSign_ > 0 && v > level + margin) || (limitSign_ < 0 && v < level - margin)) {
            limited_ = false;
            return true;
        }
        return false;
    }
    if (!limited_) {
        if (std::fabs(v) > limit_ * (1 + 1e-9) + 1e-12) {
            limited_ = true;
            limitSign_ = v >= 0 ? 1 : -1;
            return true;
        }
        return false;
    }
    const double margin = 1e-9 * std::fabs(level) + 1e-15;
    if ((limitSign_ > 0 && i > level + margin) || (limitSign_ < 0 && i < level - margin)) {
        limited_ = false;
        return true;
    }
    return false;
}

} // namespace kora::vbench
