// Pieces shared by the semiconductor models: the thermal voltage, the pn-junction and FET voltage
// limiting that keeps Newton's method out of the exponential's overflow, the depletion charge of
// a junction, and the stamp of an N-terminal element from its terminal currents and Jacobian.
//
// The device equations are the classical SPICE ones (the same as ngspice's at its defaults), so a
// board gives the same numbers here and there.
#pragma once

#include <vbench/circuit/device.h>

#include <array>
#include <vector>

namespace kora::vbench {

// Boltzmann constant over the electron charge times 300.15 K (27 degrees, SPICE's nominal).
constexpr double kThermalVoltage = 1.380649e-23 * 300.15 / 1.602176634e-19;

// Critical voltage above which junction steps are limited.
double CriticalVoltage(double saturationCurrent, double vte);

// Limits a new junction voltage against the previous iterate; sets *limited when it did.
double LimitJunction(double vNew, double vOld, double vte, double vCrit, bool* limited);
// Limits a new gate-source voltage of a FET against the previous iterate, around threshold von.
double LimitFetGate(double vNew, double vOld, double von);
// Limits a new drain-source voltage of a FET.
double LimitFetDrain(double vNew, double vOld);

struct JunctionCharge {
    double q = 0; // coulombs
    double c = 0; // farads
};
// Depletion charge and capacitance of a junction of zero-bias capacitance cj0, potential vj,
// grading m; above fc * vj the capacitance continues linearly.
JunctionCharge Depletion(double v, double cj0, double vj, double m, double fc);

struct JunctionCurrent {
    double i = 0; // amperes, forward positive
    double g = 0; // di/dv
};
// Ideal junction of saturation current is and emission voltage vte, with SPICE's smooth reverse
// region below -3 vte; gmin is not included.
JunctionCurrent IdealJunction(double v, double is, double vte);

// Matrix positions of an N-terminal element over its terminal nodes.
template <int N> struct TerminalSlots {
    std::array<int, N> node{};
    std::array<std::array<int, N>, N> slot{};

    void appendNodes(std::vector<int>& unknowns) const {
        for (int n : node) {
            if (n >= 0) {
                unknowns.push_back(n);
            }
        }
    }

    void setup(SetupContext& s) {
        for (int r = 0; r < N; ++r) {
            for (int c = 0; c < N; ++c) {
                s.entry(node[r], node[c], &slot[r][c]);
            }
        }
    }
    // Terminal currents into the element linearised as i = jac * v + ieq.
    template <typename Ctx, typename T>
    void stamp(const Ctx& ctx, const std::array<std::array<T, N>, N>& jac) const {
        for (int r = 0; r < N; ++r) {
            for (int c = 0; c < N; ++c) {
                if (jac[r][c] != T(0)) {
                    ctx.add(slot[r][c], jac[r][c]);
                }
            }
        }
    }
    void stampRhs(const LoadContext& ctx, const std::array<double, N>& ieq) const {
        for (int r = 0; r < N; ++r) {
            ctx.rhs(node[r], -ieq[r]);
        }
    }
};

} // namespace kora::vbench
