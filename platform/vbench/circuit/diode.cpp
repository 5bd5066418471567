#include <vbench/circuit/semiconductors.h>

#include <algorithm>
#include <cmath>

namespace kora::vbench {

namespace {

// Relative tolerance with which the breakdown knee is matched to IBV (SPICE uses its RELTOL).
constexpr double kKneeTolerance = 1e-3;

} // namespace

DiodeParams DiodeParams::From(const Model& m, double area) {
    DiodeParams p;
    p.is = m.get("IS", 1e-14) * area;
    p.n = m.get("N", 1);
    p.rs = m.get("RS", 0) / area;
    p.breakdown = m.has("BV");
    p.bv = m.get("BV", 0);
    p.ibv = m.get("IBV", 1e-3);
    p.cjo = m.get("CJO", 0) * area;
    p.vj = m.get("VJ", 1);
    p.m = m.get("M", 0.5);
    p.fc = m.get("FC", 0.5);
    p.tt = m.get("TT", 0);
    return p;
}

Diode::Diode(std::string name, int anode, int cathode, const DiodeParams& p, bool off)
    : Device(std::move(name)), p_(p), a_(anode), k_(cathode), ai_(anode), off_(off) {
    const double vt = kThermalVoltage;
    vte_ = p_.n * vt;
    vcrit_ = CriticalVoltage(p_.is, vte_);
    if (p_.breakdown) {
        // Knee voltage xbv such that the reverse current at -BV equals IBV, found by iteration;
        // with an IBV too small for IS the knee is BV itself.
        const double bv = p_.bv;
        double cbv = p_.ibv;
        if (cbv < p_.is * bv / vt) {
            xbv_ = bv;
        } else {
            const double tol = kKneeTolerance * cbv;
            double xbv = bv - vte_ * std::log(1 + cbv / p_.is);
            for (int i = 0; i < 25; ++i) {
                xbv = bv - vte_ * std::log(cbv / p_.is + 1 - xbv / vt);
                const double xcbv = p_.is * (std::exp((bv - xbv) / vte_) - 1 + xbv / vt);
                if (std::fabs(xcbv - cbv) <= tol) {
                    break;
                }
            }
            xbv_ = xbv;
        }
    }
}

void Diode::setup(SetupContext& s) {
    if (p_.rs > 0) {
        ai_ = s.newUnknown();
        series_.setup(s, a_, ai_);
    } else {
        ai_ = a_;
    }
    junction_.setup(s, ai_, k_);
}

bool Diode::linearisedAt(std::vector<int>& unknowns) const {
    for (int n : {ai_, k_}) {
        if (n >= 0) {
            unknowns.push_back(n);
        }
    }
    return true;
}

double Diode::charge(double vd, double idIdeal, double* cap) const {
    JunctionCharge dep = Depletion(vd, p_.cjo, p_.vj, p_.m, p_.fc);
    JunctionCurrent ideal = IdealJunction(vd, p_.is, vte_);
    if (cap) {
        *cap = dep.c + p_.tt * ideal.g;
    }
    return dep.q + p_.tt * idIdeal;
}

void Diode::load(LoadContext& ctx) {
    double vd = ctx.v(ai_) - ctx.v(k_);
    if (ctx.initJunctions) {
        vd = off_ ? 0 : vcrit_;
    } else {
        bool limited = false;
        if (p_.breakdown && vd < std::min(0.0, -xbv_ + 10 * vte_)) {
            // Mirror the breakdown region onto the forward one for the limiting.
            double vr = -(vd + xbv_);
            vr = LimitJunction(vr, -(vd_ + xbv_), vte_, vcrit_, &limited);
            vd = -(vr + xbv_);
        } else {
            vd = LimitJunction(vd, vd_, vte_, vcrit_, &limited);
        }
        ctx.limited += limited ? 1 : 0;
    }

    JunctionCurrent j;
    if (vd >= -3 * vte_ || !p_.breakdown || vd >= -xbv_) {
        j = IdealJunction(vd, p_.is, vte_);
    } else {
        const double e = std::exp(std::min(-(xbv_ + vd) / vte_, 700.0));
        j = {-p_.is * e, p_.is * e / vte_};
    }
    const double idIdeal = j.i;
    double id = j.i + ctx.gmin * vd;
    double gd = j.g + ctx.gmin;
    charge(vd, idIdeal, &cap_);
    vd_ = vd;
    id_ = id;
    gd_ = gd;

    if (ctx.transient && (p_.cjo != 0 || p_.tt != 0)) {
        const double q = charge(vd, idIdeal, nullptr);
        gd += store_.integrate(ctx, q, cap_);
        id += store_.current();
    }
    const double ieq = id - gd * vd;
    junction_.stamp(ctx, gd);
    ctx.rhs(ai_, -ieq);
    ctx.rhs(k_, ieq);
    if (ai_ != a_) {
        series_.stamp(ctx, 1.0 / p_.rs);
    }
}

void Diode::loadAc(AcContext& ctx) const {
    junction_.stamp(ctx, std::complex<double>(gd_, ctx.omega * cap_));
    if (ai_ != a_) {
        series_.stamp(ctx, std::complex<double>(1.0 / p_.rs));
    }
}

void Diode::startState(const double* x, int n) {
    const double vd = VoltageAt(x, n, ai_) - VoltageAt(x, n, k_);
    store_.start(charge(vd, IdealJunction(vd, p_.is, vte_).i, nullptr));
}

void Diode::acceptStep(const double* x, int n) {
    const double vd = VoltageAt(x, n, ai_) - VoltageAt(x, n, k_);
    store_.accept(charge(vd, IdealJunction(vd, p_.is, vte_).i, nullptr));
}

} // namespace kora::vbench
