#include <vbench/netlist/netlist.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <set>

namespace kora::vbench {

NetlistError::NetlistError(const SourceLocation& where, const std::string& message)
    : std::runtime_error(where.file + ":" + std::to_string(where.line) + ": " + message),
      where_(where), message_(message) {}

const char* ModelParameterNames(ModelKind kind) {
    switch (kind) {
    case ModelKind::Diode:
        return "IS,N,RS,BV,IBV,CJO,CJ0,VJ,M,FC,TT";
    case ModelKind::Npn:
    case ModelKind::Pnp:
        return "IS,BF,BR,NF,NR,VAF,VAR,IKF,IKR,ISE,NE,ISC,NC,RB,RC,RE,CJE,VJE,MJE,CJC,VJC,MJC,FC";
    case ModelKind::Nmos:
    case ModelKind::Pmos:
        return "LEVEL,VTO,KP,GAMMA,PHI,LAMBDA,IS,CGSO,CGDO,CGBO";
    case ModelKind::Switch:
        return "VT,VH,RON,ROFF";
    }
    return "";
}

namespace {

double Param(const std::vector<double>& p, std::size_t i, double fallback) {
    return i < p.size() ? p[i] : fallback;
}

} // namespace

double SourceSettings::valueAt(double t) const {
    const auto& p = waveParams;
    switch (wave) {
    case Waveform::None:
        return dc;
    case Waveform::Pulse: {
        const double v1 = Param(p, 0, 0), v2 = Param(p, 1, 0), td = Param(p, 2, 0);
        const double tr = Param(p, 3, 0), tf = Param(p, 4, 0);
        const double inf = std::numeric_limits<double>::infinity();
        const double pw = Param(p, 5, inf);
        const double per = Param(p, 6, inf);
        if (t < td) {
            return v1;
        }
        double tt = t - td;
        if (std::isfinite(per) && per > 0) {
            tt = std::fmod(tt, per);
        }
        if (tt < tr) {
            return v1 + (v2 - v1) * tt / tr;
        }
        if (tt < tr + pw) {
            return v2;
        }
        if (tt < tr + pw + tf) {
            return v2 + (v1 - v2) * (tt - tr - pw) / tf;
        }
        return v1;
    }
    case Waveform::Sin: {
        const double vo = Param(p, 0, 0), va = Param(p, 1, 0), freq = Param(p, 2, 0);
        const double td = Param(p, 3, 0), theta = Param(p, 4, 0), phase = Param(p, 5, 0);
        const double ph = phase * std::numbers::pi / 180.0;
        if (t <= td) {
            return vo + va * std::sin(ph);
        }
        const double tt = t - td;
        return vo + va * std::exp(-tt * theta) * std::sin(2 * std::numbers::pi * freq * tt + ph);
    }
    }
    return dc;
}

const Element* Netlist::findElement(const std::string& name) const {
    for (const auto& e : elements) {
        if (e.name == name) {
            return &e;
        }
    }
    return nullptr;
}

std::vector<std::string> Netlist::nets() const {
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const auto& e : elements) {
        for (const auto& n : e.nodes) {
            if (!IsGroundName(n) && seen.insert(n).second) {
                out.push_back(n);
            }
        }
    }
    return out;
}

bool IsGroundName(const std::string& folded) {
    return folded == "0" || folded == "gnd";
}

} // namespace kora::vbench
