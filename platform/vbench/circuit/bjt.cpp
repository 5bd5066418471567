#include <vbench/circuit/semiconductors.h>

#include <algorithm>
#include <cmath>

namespace kora::vbench {

BjtParams BjtParams::From(const Model& m, double area) {
    BjtParams p;
    p.type = m.kind == ModelKind::Pnp ? -1 : 1;
    p.is = m.get("IS", 1e-16) * area;
    p.bf = m.get("BF", 100);
    p.br = m.get("BR", 1);
    p.nf = m.get("NF", 1);
    p.nr = m.get("NR", 1);
    p.vaf = m.get("VAF", 0);
    p.var = m.get("VAR", 0);
    p.ikf = m.get("IKF", 0) * area;
    p.ikr = m.get("IKR", 0) * area;
    p.ise = m.get("ISE", 0) * area;
    p.ne = m.get("NE", 1.5);
    p.isc = m.get("ISC", 0) * area;
    p.nc = m.get("NC", 2);
    p.rb = m.get("RB", 0) / area;
    p.rc = m.get("RC", 0) / area;
    p.re = m.get("RE", 0) / area;
    p.cje = m.get("CJE", 0) * area;
    p.vje = m.get("VJE", 0.75);
    p.mje = m.get("MJE", 0.33);
    p.cjc = m.get("CJC", 0) * area;
    p.vjc = m.get("VJC", 0.75);
    p.mjc = m.get("MJC", 0.33);
    p.fc = m.get("FC", 0.5);
    return p;
}

Bjt::Bjt(std::string name, int c, int b, int e, const BjtParams& p, bool off)
    : Device(std::move(name)), p_(p), c_(c), b_(b), e_(e), off_(off) {
    vt_ = kThermalVoltage;
    vcritBe_ = CriticalVoltage(p_.is, vt_ * p_.nf);
    vcritBc_ = CriticalVoltage(p_.is, vt_ * p_.nr);
}

void Bjt::setup(SetupContext& s) {
    auto inner = [&](int outer, double r, ConductanceSlots& slots) {
        if (r <= 0) {
            return outer;
        }
        int node = s.newUnknown();
        slots.setup(s, outer, node);
        return node;
    };
    core_.node = {inner(c_, p_.rc, rc_), inner(b_, p_.rb, rb_), inner(e_, p_.re, re_)};
    core_.setup(s);
}

namespace {

struct BjtPoint {
    double cc, cb;       // collector and base current (normalised polarity)
    double dccBe, dccBc; // derivatives of cc by vbe and vbc
    double dcbBe, dcbBc; // of cb
};

BjtPoint Evaluate(const BjtParams& p, double vbe, double vbc, double vt, double gmin) {
    const JunctionCurrent be = IdealJunction(vbe, p.is, p.nf * vt);
    const JunctionCurrent bc = IdealJunction(vbc, p.is, p.nr * vt);
    JunctionCurrent ben{}, bcn{};
    if (p.ise > 0) {
        ben = IdealJunction(vbe, p.ise, p.ne * vt);
    }
    if (p.isc > 0) {
        bcn = IdealJunction(vbc, p.isc, p.nc * vt);
    }
    ben.i += gmin * vbe;
    ben.g += gmin;
    bcn.i += gmin * vbc;
    bcn.g += gmin;

    // Base charge: Early effect (q1) and high injection (q2).
    const double ova = p.vaf > 0 ? 1 / p.vaf : 0;
    const double ovb = p.var > 0 ? 1 / p.var : 0;
    const double oik = p.ikf > 0 ? 1 / p.ikf : 0;
    const double oikr = p.ikr > 0 ? 1 / p.ikr : 0;
    const double q1 = 1 / (1 - ova * vbc - ovb * vbe);
    double qb, dqbBe, dqbBc;
    if (oik == 0 && oikr == 0) {
        qb = q1;
        dqbBe = q1 * qb * ovb;
        dqbBc = q1 * qb * ova;
    } else {
        const double q2 = oik * be.i + oikr * bc.i;
        const double arg = std::max(0.0, 1 + 4 * q2);
        const double sq = arg != 0 ? std::sqrt(arg) : 1;
        qb = q1 * (1 + sq) / 2;
        dqbBe = q1 * (qb * ovb + oik * be.g / sq);
        dqbBc = q1 * (qb * ova + oikr * bc.g / sq);
    }
    BjtPoint r;
    const double transfer = (be.i - bc.i) / qb;
    r.cc = transfer - bc.i / p.br - bcn.i;
    r.cb = be.i / p.bf + ben.i + bc.i / p.br + bcn.i;
    r.dccBe = (be.g - transfer * dqbBe) / qb;
    r.dccBc = (-bc.g - transfer * dqbBc) / qb - bc.g / p.br - bcn.g;
    r.dcbBe = be.g / p.bf + ben.g;
    r.dcbBc = bc.g / p.br + bcn.g;
    return r;
}

} // namespace

bool Bjt::linearisedAt(std::vector<int>& unknowns) const {
    core_.appendNodes(unknowns);
    return true;
}

void Bjt::load(LoadContext& ctx) {
    const int t = p_.type;
    const int ci = core_.node[0], bi = core_.node[1], ei = core_.node[2];
    double vbe = t * (ctx.v(bi) - ctx.v(ei));
    double vbc = t * (ctx.v(bi) - ctx.v(ci));
    if (ctx.initJunctions) {
        vbe = off_ ? 0 : vcritBe_;
        vbc = 0;
    } else {
        bool limited = false;
        vbe = LimitJunction(vbe, vbe_, vt_ * p_.nf, vcritBe_, &limited);
        vbc = LimitJunction(vbc, vbc_, vt_ * p_.nr, vcritBc_, &limited);
        ctx.limited += limited ? 1 : 0;
    }
    vbe_ = vbe;
    vbc_ = vbc;
    const BjtPoint pt = Evaluate(p_, vbe, vbc, vt_, ctx.gmin);

    // Jacobian over (collector, base, emitter) node voltages; vbe = t (vb - ve), vbc = t (vb - vc)
    // and the terminal currents are t times the normalised ones, so the signs cancel.
    auto row = [](double dBe, double dBc) { return std::array<double, 3>{-dBc, dBe + dBc, -dBe}; };
    std::array<std::array<double, 3>, 3> jac;
    jac[0] = row(pt.dccBe, pt.dccBc);
    jac[1] = row(pt.dcbBe, pt.dcbBc);
    for (int k = 0; k < 3; ++k) {
        jac[2][k] = -(jac[0][k] + jac[1][k]);
    }
    const double ieqC = t * (pt.cc - pt.dccBe * vbe - pt.dccBc * vbc);
    const double ieqB = t * (pt.cb - pt.dcbBe * vbe - pt.dcbBc * vbc);
    std::array<double, 3> ieq = {ieqC, ieqB, -(ieqC + ieqB)};
    ic_ = t * pt.cc;
    ib_ = t * pt.cb;
    jac_ = jac;

    const JunctionCharge qbe = Depletion(vbe, p_.cje, p_.vje, p_.mje, p_.fc);
    const JunctionCharge qbc = Depletion(vbc, p_.cjc, p_.vjc, p_.mjc, p_.fc);
    cbe_ = qbe.c;
    cbc_ = qbc.c;
    if (ctx.transient) {
        // Junction capacitances as two-terminal elements base-emitter and base-collector.
        auto addCap = [&](ChargeStore& store, const JunctionCharge& q, double v, int other) {
            if (q.c == 0 && q.q == 0) {
                return;
            }
            const double g = store.integrate(ctx, q.q, q.c);
            const double i = t * (store.current() - g * v);
            jac[1][1] += g;
            jac[1][other] -= g;
            jac[other][1] -= g;
            jac[other][other] += g;
            ieq[1] += i;
            ieq[other] -= i;
        };
        addCap(qbe_, qbe, vbe, 2);
        addCap(qbc_, qbc, vbc, 0);
    }
    core_.stamp(ctx, jac);
    core_.stampRhs(ctx, ieq);
    if (p_.rc > 0) {
        rc_.stamp(ctx, 1 / p_.rc);
    }
    if (p_.rb > 0) {
        rb_.stamp(ctx, 1 / p_.rb);
    }
    if (p_.re > 0) {
        re_.stamp(ctx, 1 / p_.re);
    }
}

void Bjt::loadAc(AcContext& ctx) const {
    std::array<std::array<std::complex<double>, 3>, 3> y;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            y[r][c] = jac_[r][c];
        }
    }
    const std::complex<double> ybe(0, ctx.omega * cbe_), ybc(0, ctx.omega * cbc_);
    y[1][1] += ybe + ybc;
    y[1][2] -= ybe;
    y[2][1] -= ybe;
    y[2][2] += ybe;
    y[1][0] -= ybc;
    y[0][1] -= ybc;
    y[0][0] += ybc;
    core_.stamp(ctx, y);
    if (p_.rc > 0) {
        rc_.stamp(ctx, std::complex<double>(1 / p_.rc));
    }
    if (p_.rb > 0) {
        rb_.stamp(ctx, std::complex<double>(1 / p_.rb));
    }
    if (p_.re > 0) {
        re_.stamp(ctx, std::complex<double>(1 / p_.re));
    }
}

void Bjt::startState(const double* x, int n) {
    const int t = p_.type;
    const double vb = VoltageAt(x, n, core_.node[1]);
    qbe_.start(
        Depletion(t * (vb - VoltageAt(x, n, core_.node[2])), p_.cje, p_.vje, p_.mje, p_.fc).q);
    qbc_.start(
        Depletion(t * (vb - VoltageAt(x, n, core_.node[0])), p_.cjc, p_.vjc, p_.mjc, p_.fc).q);
}

void Bjt::acceptStep(const double* x, int n) {
    const int t = p_.type;
    const double vb = VoltageAt(x, n, core_.node[1]);
    qbe_.accept(
        Depletion(t * (vb - VoltageAt(x, n, core_.node[2])), p_.cje, p_.vje, p_.mje, p_.fc).q);
    qbc_.accept(
        Depletion(t * (vb - VoltageAt(x, n, core_.node[0])), p_.cjc, p_.vjc, p_.mjc, p_.fc).q);
}

} // namespace kora::vbench
