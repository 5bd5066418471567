// The linear elements: resistor, capacitor, inductor, switch, and the independent source with
// compliance that serves both the netlist's V and I sources and the instruments' outputs.
#pragma once

#include <vbench/circuit/device.h>
#include <vbench/netlist/netlist.h>

#include <functional>
#include <limits>
#include <type_traits>

namespace kora::vbench {

// Charge of a capacitance carried through a transient: the companion model of the chosen
// integration rule, and the accepted charge and current of the last time point.
class ChargeStore {
  public:
    // Companion at charge q with capacitance c: sets current() and returns the conductance.
    double integrate(const LoadContext& ctx, double q, double c);
    // Current through the capacitance for charge q with the rule of the last integrate().
    double currentFor(double q) const;
    void start(double q) { q0_ = q, i0_ = 0, q_ = q, i_ = 0; }
    void accept(double q);
    double current() const { return i_; }
    double acceptedCharge() const { return q0_; }

  private:
    double q0_ = 0, i0_ = 0; // accepted point
    double q_ = 0, i_ = 0;   // present iterate
    double step_ = 0;
    Integration method_ = Integration::Trapezoidal;
};

class Resistor : public Device {
  public:
    Resistor(std::string name, int p, int n, double ohms);
    void setup(SetupContext& s) override { slots_.setup(s, p_, n_); }
    void load(LoadContext& ctx) override { slots_.stamp(ctx, g_); }
    void loadAc(AcContext& ctx) const override { slots_.stamp(ctx, std::complex<double>(g_)); }
    // A board's resistors keep their value for good and stay loaded; one whose value is set (an
    // instrument's input, a supply's load) is loaded at every solve from then on.
    Stamp stampKind() const override { return varies_ ? Stamp::Varying : Stamp::Held; }
    void setResistance(double ohms);
    double resistance() const { return 1.0 / g_; }
    double current(const double* x, int n) const; // from p to n

  private:
    int p_, n_;
    double g_;
    bool varies_ = false;
    ConductanceSlots slots_;
};

class Capacitor : public Device {
  public:
    Capacitor(std::string name, int p, int n, double farads);
    void setup(SetupContext& s) override { slots_.setup(s, p_, n_); }
    void load(LoadContext& ctx) override;
    void loadAc(AcContext& ctx) const override;
    bool hasMemory() const override { return c_ != 0; }
    void startState(const double* x, int n) override;
    void acceptStep(const double* x, int n) override;
    int stateSize() const override { return c_ != 0 ? 1 : 0; }
    void saveState(double* out) const override { *out = voltage(); }
    void restoreState(const double* in) override { setVoltage(*in); }
    // Voltage of the last accepted time point.
    double voltage() const { return store_.acceptedCharge() / c_; }
    void setVoltage(double v) { store_.start(c_ * v); }
    double capacitance() const { return c_; }

  private:
    int p_, n_;
    double c_;
    ConductanceSlots slots_;
    ChargeStore store_;
};

class Inductor : public Device {
  public:
    Inductor(std::string name, int p, int n, double henries);
    void setup(SetupContext& s) override;
    void load(LoadContext& ctx) override;
    void loadAc(AcContext& ctx) const override;
    bool hasMemory() const override { return true; }
    void startState(const double* x, int n) override;
    void acceptStep(const double* x, int n) override;
    int stateSize() const override { return 1; }
    void saveState(double* out) const override { *out = i0_; }
    void restoreState(const double* in) override { i0_ = *in; }
    int branch() const { return k_; }
    double current() const { return i0_; } // of the last accepted point, from p to n

  private:
    int p_, n_, k_ = -1;
    double l_;
    int pk_ = 0, nk_ = 0, kp_ = 0, kn_ = 0, kk_ = 0;
    double i0_ = 0, v0_ = 0;
    double step_ = 0;
    Integration method_ = Integration::Trapezoidal;
};

// A switch of fixed on and off resistance. Set by the bench (relays of the matrix) or, with a
// control pair, by the voltage across it as in SPICE's S element: on above vt + vh, off below
// vt - vh, unchanged between.
class Switch : public Device {
  public:
    Switch(std::string name, int p, int n, double onOhms, double offOhms, bool closed);
    void setControl(int cp, int cn, double threshold, double hysteresis);
    void setup(SetupContext& s) override;
    // The open contact's leakage is the held part; load() stamps the closed contact's rest.
    void load(LoadContext& ctx) override {
        if (closed_) {
            contact_.stamp(ctx, leaks_ ? gOn_ - gOff_ : gOn_);
        }
    }
    bool loadHeld(LoadContext& ctx) const override {
        if (leaks_) {
            leak_.stamp(ctx, gOff_);
        }
        return leaks_;
    }
    std::size_t loadedRequests() const override { return ConductanceSlots::kPositions; }
    void loadAc(AcContext& ctx) const override;
    bool updateRegime(const double* x, int n) override;
    bool hasRegime() const override { return controlled_; }
    bool joinsLater() const override { return true; }
    // Open, a relay stamps nothing beyond its held leakage and is not loaded at all.
    Stamp stampKind() const override { return closed_ ? Stamp::Varying : Stamp::None; }
    void setClosed(bool closed);
    bool closed() const { return closed_; }
    void setOnResistance(double ohms) { gOn_ = 1.0 / ohms; }

  private:
    // The open contact's leakage sits in the matrix's pattern; closing adds the rest through
    // switched positions, which the relay asks for first. A relay that joined a set-up matrix
    // has no pattern positions of its own: open, it leaks nothing until the matrix is set up
    // again.
    int p_, n_;
    double gOn_, gOff_;
    bool closed_;
    bool controlled_ = false;
    int cp_ = kGround, cn_ = kGround;
    double vt_ = 0, vh_ = 0;
    bool leaks_ = true;
    ConductanceSlots leak_, contact_;
};

// A voltage-controlled current source (SPICE's G element): gm x (v(cp) - v(cn)) flows from `p`
// through the element to `n`. A photocoupler's light is one: the LED's current, read across a
// small resistance in its path, drives the photo current into the output transistor's base.
class Vccs : public Device {
  public:
    Vccs(std::string name, int p, int n, int cp, int cn, double gm)
        : Device(std::move(name)), p_(p), n_(n), cp_(cp), cn_(cn), gm_(gm) {}
    void setup(SetupContext& s) override;
    void load(LoadContext& ctx) override { stamp(ctx, gm_); }
    void loadAc(AcContext& ctx) const override { stamp(ctx, std::complex<double>(gm_)); }

  private:
    template <typename Ctx, typename T> void stamp(const Ctx& ctx, T gm) const {
        ctx.add(pc_, gm);
        ctx.add(pcn_, -gm);
        ctx.add(nc_, -gm);
        ctx.add(ncn_, gm);
    }
    int p_, n_, cp_, cn_;
    double gm_;
    int pc_ = 0, pcn_ = 0, nc_ = 0, ncn_ = 0;
};

// An independent source between `hi` and `lo` whose branch unknown is the current it delivers out
// of `hi` into the circuit. A voltage source with a current limit turns into a current source at
// the limit when the load asks for more, and back when the load lets its voltage rise to the set
// level again; a current source with a voltage compliance turns into a voltage source at the
// compliance when the load would take it beyond, and back. A disabled output is open.
class Source : public Device {
  public:
    enum class Mode { Voltage, Current };

    Source(std::string name, int hi, int lo, Mode mode, SourceSettings settings = {});
    void setup(SetupContext& s) override;
    void load(LoadContext& ctx) override;
    void loadAc(AcContext& ctx) const override;
    bool updateRegime(const double* x, int n) override;
    bool hasRegime() const override { return true; }
    WaveShape waveShape(double from) const override;
    double sineHertz() const override;
    void loadSine(AcContext& ctx) const override;
    void holdSine(bool held) override { sineHeld_ = held; }

    // Regulates (and checks compliance on) the voltage between these nodes instead of hi and
    // lo, as a source with remote sense does. Set it before the circuit is set up.
    void setSense(int senseHi, int senseLo) {
        senseHi_ = senseHi;
        senseLo_ = senseLo;
    }
    void setMode(Mode mode);
    Mode mode() const { return mode_; }
    // Level in volts or amperes; replaces any time function.
    void setLevel(double level);
    double level() const { return settings_.dc; }
    // Current limit of a voltage source, voltage compliance of a current source; infinity = none.
    void setLimit(double limit) { limit_ = limit; }
    double limit() const { return limit_; }
    void setEnabled(bool on) { enabled_ = on; }
    bool enabled() const { return enabled_; }
    void setAc(double magnitude, double phaseDegrees);
    const SourceSettings& settings() const { return settings_; }
    // An instrument output that follows the clock: `level` for the operating point, `sine` as the
    // description the steady-state analyses look for (VO VA FREQ TD THETA PHASE; empty: none) and
    // `wave` for transients (volts or amperes at circuit time t; null: the level).
    void setOutput(double level, std::vector<double> sine, std::function<double(double)> wave);

    // True while the source runs at its limit (current limit or voltage compliance).
    bool limiting() const { return enabled_ && limited_; }
    int branch() const { return k_; }
    double deliveredCurrent(const double* x) const { return x[k_]; }

  private:
    double valueAt(const LoadContext& ctx) const;
    // The branch row as a voltage equation (true) or a current equation (false).
    bool voltageRow() const;

    int hi_, lo_, k_ = -1;
    int senseHi_, senseLo_;
    Mode mode_;
    SourceSettings settings_;
    std::function<double(double)> wave_;
    double limit_ = std::numeric_limits<double>::infinity();
    bool enabled_ = true;
    bool sineHeld_ = false;
    bool limited_ = false;
    double limitSign_ = 1;
    int hiK_ = 0, loK_ = 0, kHi_ = 0, kLo_ = 0, kK_ = 0;
};

} // namespace kora::vbench
