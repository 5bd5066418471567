// Diode (with Zener breakdown and junction capacitance), bipolar transistor (Gummel-Poon DC with
// Early effect and high injection, junction capacitances, series resistances) and MOSFET level 1
// (Shichman-Hodges with body effect and channel-length modulation, bulk junctions, overlap
// capacitances). Parameters and defaults are SPICE's.
#pragma once

#include <vbench/circuit/elements.h>
#include <vbench/circuit/junction.h>
#include <vbench/netlist/netlist.h>

namespace kora::vbench {

struct DiodeParams {
    double is = 1e-14, n = 1, rs = 0;
    bool breakdown = false;
    double bv = 0, ibv = 1e-3;
    double cjo = 0, vj = 1, m = 0.5, fc = 0.5, tt = 0;
    // From a .model card, for an element of the given area.
    static DiodeParams From(const Model& model, double area);
};

class Diode : public Device {
  public:
    Diode(std::string name, int anode, int cathode, const DiodeParams& p, bool off = false);
    void setup(SetupContext& s) override;
    void load(LoadContext& ctx) override;
    void loadAc(AcContext& ctx) const override;
    bool nonlinear() const override { return true; }
    bool linearisedAt(std::vector<int>& unknowns) const override;
    bool hasMemory() const override { return p_.cjo != 0 || p_.tt != 0; }
    void startState(const double* x, int n) override;
    void acceptStep(const double* x, int n) override;
    // Effective breakdown knee, chosen so that the current at -BV is IBV.
    double breakdownKnee() const { return xbv_; }
    // Junction current of the last load (anode to cathode).
    double current() const { return id_; }

  private:
    double charge(double vd, double idIdeal, double* cap) const;
    DiodeParams p_;
    int a_, k_, ai_;
    bool off_;
    double vte_, vcrit_, xbv_ = 0;
    double vd_ = 0, id_ = 0, gd_ = 0, cap_ = 0;
    ConductanceSlots junction_, series_;
    ChargeStore store_;
};

struct BjtParams {
    int type = 1; // +1 NPN, -1 PNP
    double is = 1e-16, bf = 100, br = 1, nf = 1, nr = 1;
    double vaf = 0, var = 0, ikf = 0, ikr = 0; // 0 = infinite
    double ise = 0, ne = 1.5, isc = 0, nc = 2;
    double rb = 0, rc = 0, re = 0;
    double cje = 0, vje = 0.75, mje = 0.33, cjc = 0, vjc = 0.75, mjc = 0.33, fc = 0.5;
    static BjtParams From(const Model& model, double area);
};

class Bjt : public Device {
  public:
    Bjt(std::string name, int c, int b, int e, const BjtParams& p, bool off = false);
    void setup(SetupContext& s) override;
    void load(LoadContext& ctx) override;
    void loadAc(AcContext& ctx) const override;
    bool nonlinear() const override { return true; }
    bool linearisedAt(std::vector<int>& unknowns) const override;
    bool hasMemory() const override { return p_.cje != 0 || p_.cjc != 0; }
    void startState(const double* x, int n) override;
    void acceptStep(const double* x, int n) override;
    // Collector and base currents (into the terminals) of the last load.
    double collectorCurrent() const { return ic_; }
    double baseCurrent() const { return ib_; }

  private:
    BjtParams p_;
    int c_, b_, e_;
    bool off_;
    double vt_, vcritBe_, vcritBc_;
    double vbe_ = 0, vbc_ = 0, ic_ = 0, ib_ = 0;
    TerminalSlots<3> core_; // collector, base, emitter (inner nodes)
    ConductanceSlots rc_, rb_, re_;
    std::array<std::array<double, 3>, 3> jac_{};
    double cbe_ = 0, cbc_ = 0;
    ChargeStore qbe_, qbc_;
};

struct MosParams {
    int type = 1; // +1 NMOS, -1 PMOS
    double vto = 0, kp = 2e-5, gamma = 0, phi = 0.6, lambda = 0, is = 1e-14;
    double cgso = 0, cgdo = 0, cgbo = 0;
    double w = 1e-4, l = 1e-4;
    static MosParams From(const Model& model, double w, double l);
};

class Mosfet : public Device {
  public:
    Mosfet(std::string name, int d, int g, int s, int b, const MosParams& p);
    void setup(SetupContext& s) override;
    void load(LoadContext& ctx) override;
    void loadAc(AcContext& ctx) const override;
    bool nonlinear() const override { return true; }
    bool linearisedAt(std::vector<int>& unknowns) const override;
    bool hasMemory() const override {
        return overlap_[0] != 0 || overlap_[1] != 0 || overlap_[2] != 0;
    }
    void startState(const double* x, int n) override;
    void acceptStep(const double* x, int n) override;
    // Drain current (into the drain) of the last load.
    double drainCurrent() const { return id_; }

  private:
    MosParams p_;
    std::array<int, 4> nodes_; // d g s b
    double beta_, vt_, vcrit_;
    double vgs_ = 0, vds_ = 0, vbs_ = 0, von_ = 0, id_ = 0;
    TerminalSlots<4> core_;
    std::array<std::array<double, 4>, 4> jac_{};
    std::array<double, 3> overlap_{}; // gs, gd, gb capacitances
    std::array<ChargeStore, 3> qOverlap_;
};

} // namespace kora::vbench
