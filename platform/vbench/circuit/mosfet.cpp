#include <vbench/circuit/semiconductors.h>

#include <algorithm>
#include <cmath>

namespace kora::vbench {

namespace {

constexpr double kDefaultChannel = 1e-4; // SPICE's default W and L

enum Terminal { D = 0, G = 1, S = 2, B = 3 };

} // namespace

MosParams MosParams::From(const Model& m, double w, double l) {
    MosParams p;
    p.type = m.kind == ModelKind::Pmos ? -1 : 1;
    p.vto = m.get("VTO", 0);
    p.kp = m.get("KP", 2e-5);
    p.gamma = m.get("GAMMA", 0);
    p.phi = m.get("PHI", 0.6);
    p.lambda = m.get("LAMBDA", 0);
    p.is = m.get("IS", 1e-14);
    p.cgso = m.get("CGSO", 0);
    p.cgdo = m.get("CGDO", 0);
    p.cgbo = m.get("CGBO", 0);
    p.w = w > 0 ? w : kDefaultChannel;
    p.l = l > 0 ? l : kDefaultChannel;
    return p;
}

Mosfet::Mosfet(std::string name, int d, int g, int s, int b, const MosParams& p)
    : Device(std::move(name)), p_(p), nodes_{d, g, s, b} {
    beta_ = p_.kp * p_.w / p_.l;
    vt_ = kThermalVoltage;
    vcrit_ = CriticalVoltage(p_.is, vt_);
    overlap_ = {p_.cgso * p_.w, p_.cgdo * p_.w, p_.cgbo * p_.l};
}

void Mosfet::setup(SetupContext& s) {
    core_.node = nodes_;
    core_.setup(s);
}

bool Mosfet::linearisedAt(std::vector<int>& unknowns) const {
    core_.appendNodes(unknowns);
    return true;
}

namespace {

struct Channel {
    double ids = 0, gm = 0, gds = 0, gmbs = 0, von = 0;
};

// Drain current of the channel for vds >= 0 (normalised polarity).
Channel Level1(const MosParams& p, double beta, double vgs, double vds, double vbs) {
    Channel c;
    double sarg;
    if (vbs <= 0) {
        sarg = std::sqrt(p.phi - vbs);
    } else {
        sarg = std::sqrt(p.phi);
        sarg = std::max(0.0, sarg - vbs / (sarg + sarg));
    }
    c.von = p.type * p.vto + p.gamma * (sarg - std::sqrt(p.phi));
    const double vgst = vgs - c.von;
    if (vgst <= 0) {
        return c; // cut off
    }
    const double arg = sarg <= 0 ? 0 : p.gamma / (sarg + sarg);
    const double betap = beta * (1 + p.lambda * vds);
    if (vgst <= vds) { // saturation
        c.ids = betap * vgst * vgst * 0.5;
        c.gm = betap * vgst;
        c.gds = p.lambda * beta * vgst * vgst * 0.5;
    } else { // linear region
        c.ids = betap * vds * (vgst - 0.5 * vds);
        c.gm = betap * vds;
        c.gds = betap * (vgst - vds) + p.lambda * beta * vds * (vgst - 0.5 * vds);
    }
    c.gmbs = c.gm * arg;
    return c;
}

} // namespace

void Mosfet::load(LoadContext& ctx) {
    const int t = p_.type;
    const double vb = ctx.v(nodes_[B]), vg = ctx.v(nodes_[G]);
    const double vd = ctx.v(nodes_[D]), vs = ctx.v(nodes_[S]);
    double vgs = t * (vg - vs), vds = t * (vd - vs), vbs = t * (vb - vs);
    if (ctx.initJunctions) {
        vbs = -1;
        vgs = t * p_.vto;
        vds = 0;
    } else {
        // Limit the gate and drain steps around the last iterate, in the orientation it had.
        const double vgdOld = vgs_ - vds_;
        if (vds_ >= 0) {
            vgs = LimitFetGate(vgs, vgs_, von_);
            vds = LimitFetDrain(vds, vds_);
        } else {
            double vgd = LimitFetGate(vgs - vds, vgdOld, von_);
            vds = -LimitFetDrain(-vds, -vds_);
            vgs = vgd + vds;
        }
        bool limited = false;
        if (vds >= 0) {
            vbs = LimitJunction(vbs, vbs_, vt_, vcrit_, &limited);
        } else {
            const double vbd = LimitJunction(vbs - vds, vbs_ - vds_, vt_, vcrit_, &limited);
            vbs = vbd + vds;
        }
        ctx.limited += limited ? 1 : 0;
    }
    vgs_ = vgs;
    vds_ = vds;
    vbs_ = vbs;
    const double vbd = vbs - vds;

    // Channel, in the orientation in which the higher terminal is the drain.
    const bool normal = vds >= 0;
    const Channel ch =
        normal ? Level1(p_, beta_, vgs, vds, vbs) : Level1(p_, beta_, vgs - vds, -vds, vbd);
    von_ = ch.von;
    const int dEff = normal ? D : S, sEff = normal ? S : D;
    std::array<std::array<double, 4>, 4> jac{};
    std::array<double, 4> ieq{};
    jac[dEff][G] += ch.gm;
    jac[dEff][dEff] += ch.gds;
    jac[dEff][B] += ch.gmbs;
    jac[dEff][sEff] -= ch.gm + ch.gds + ch.gmbs;
    for (int k = 0; k < 4; ++k) {
        jac[sEff][k] -= jac[dEff][k];
    }
    const double vgsEff = normal ? vgs : vgs - vds;
    const double vdsEff = normal ? vds : -vds;
    const double vbsEff = normal ? vbs : vbd;
    const double ieqChannel = t * (ch.ids - ch.gm * vgsEff - ch.gds * vdsEff - ch.gmbs * vbsEff);
    ieq[dEff] += ieqChannel;
    ieq[sEff] -= ieqChannel;
    id_ = t * (normal ? ch.ids : -ch.ids);

    // Bulk junctions to source and drain.
    auto bulk = [&](double v, int other) {
        double i, g;
        if (v <= -3 * vt_) {
            g = ctx.gmin;
            i = g * v - p_.is;
        } else {
            const double e = std::exp(std::min(v / vt_, 700.0));
            g = p_.is * e / vt_ + ctx.gmin;
            i = p_.is * (e - 1) + ctx.gmin * v;
        }
        jac[B][B] += g;
        jac[B][other] -= g;
        jac[other][B] -= g;
        jac[other][other] += g;
        const double eq = t * (i - g * v);
        ieq[B] += eq;
        ieq[other] -= eq;
        if (other == D) {
            id_ -= t * i;
        }
    };
    bulk(vbs, S);
    bulk(vbd, D);
    jac_ = jac;

    if (ctx.transient) {
        // Overlap capacitances from the gate to source, drain and bulk.
        const double vgFromS = vgs, vgFromD = vgs - vds, vgFromB = vgs - vbs;
        const std::array<double, 3> v = {vgFromS, vgFromD, vgFromB};
        const std::array<int, 3> other = {S, D, B};
        for (int k = 0; k < 3; ++k) {
            if (overlap_[k] == 0) {
                continue;
            }
            const double g = qOverlap_[k].integrate(ctx, overlap_[k] * v[k], overlap_[k]);
            const double eq = t * (qOverlap_[k].current() - g * v[k]);
            jac[G][G] += g;
            jac[G][other[k]] -= g;
            jac[other[k]][G] -= g;
            jac[other[k]][other[k]] += g;
            ieq[G] += eq;
            ieq[other[k]] -= eq;
        }
    }
    core_.stamp(ctx, jac);
    core_.stampRhs(ctx, ieq);
}

void Mosfet::loadAc(AcContext& ctx) const {
    std::array<std::array<std::complex<double>, 4>, 4> y;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            y[r][c] = jac_[r][c];
        }
    }
    const std::array<int, 3> other = {S, D, B};
    for (int k = 0; k < 3; ++k) {
        const std::complex<double> yc(0, ctx.omega * overlap_[k]);
        y[G][G] += yc;
        y[G][other[k]] -= yc;
        y[other[k]][G] -= yc;
        y[other[k]][other[k]] += yc;
    }
    core_.stamp(ctx, y);
}

void Mosfet::startState(const double* x, int n) {
    const double vg = VoltageAt(x, n, nodes_[G]);
    const std::array<int, 3> other = {S, D, B};
    for (int k = 0; k < 3; ++k) {
        qOverlap_[k].start(overlap_[k] * p_.type * (vg - VoltageAt(x, n, nodes_[other[k]])));
    }
}

void Mosfet::acceptStep(const double* x, int n) {
    const double vg = VoltageAt(x, n, nodes_[G]);
    const std::array<int, 3> other = {S, D, B};
    for (int k = 0; k < 3; ++k) {
        qOverlap_[k].accept(overlap_[k] * p_.type * (vg - VoltageAt(x, n, nodes_[other[k]])));
    }
}

} // namespace kora::vbench
