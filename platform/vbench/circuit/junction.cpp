#include <vbench/circuit/junction.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kora::vbench {

double CriticalVoltage(double saturationCurrent, double vte) {
    return vte * std::log(vte / (std::numbers::sqrt2 * saturationCurrent));
}

double LimitJunction(double vNew, double vOld, double vte, double vCrit, bool* limited) {
    if (vNew > vCrit && std::fabs(vNew - vOld) > 2 * vte) {
        if (vOld > 0) {
            const double arg = 1 + (vNew - vOld) / vte;
            vNew = arg > 0 ? vOld + vte * std::log(arg) : vCrit;
        } else {
            vNew = vte * std::log(vNew / vte);
        }
        *limited = true;
    }
    return vNew;
}

double LimitFetGate(double vNew, double vOld, double von) {
    const double hi = std::fabs(2 * (vOld - von)) + 2;
    const double lo = hi / 2 + 2;
    const double vtox = von + 3.5;
    const double delta = vNew - vOld;
    if (vOld >= von) {
        if (vOld >= vtox) {
            if (delta <= 0) { // turning off
                if (vNew >= vtox) {
                    if (-delta > lo) {
                        vNew = vOld - lo;
                    }
                } else {
                    vNew = std::max(vNew, von + 2);
                }
            } else if (delta >= hi) { // staying on
                vNew = vOld + hi;
            }
        } else if (delta <= 0) { // middle region
            vNew = std::max(vNew, von - 0.5);
        } else {
            vNew = std::min(vNew, von + 4);
        }
    } else if (delta <= 0) { // off, going further off
        if (-delta > hi) {
            vNew = vOld - hi;
        }
    } else { // off, turning on
        const double vtemp = von + 0.5;
        if (vNew <= vtemp) {
            if (delta > lo) {
                vNew = vOld + lo;
            }
        } else {
            vNew = vtemp;
        }
    }
    return vNew;
}

double LimitFetDrain(double vNew, double vOld) {
    if (vOld >= 3.5) {
        if (vNew > vOld) {
            vNew = std::min(vNew, 3 * vOld + 2);
        } else if (vNew < 3.5) {
            vNew = std::max(vNew, 2.0);
        }
    } else if (vNew > vOld) {
        vNew = std::min(vNew, 4.0);
    } else {
        vNew = std::max(vNew, -0.5);
    }
    return vNew;
}

JunctionCharge Depletion(double v, double cj0, double vj, double m, double fc) {
    if (cj0 == 0) {
        return {};
    }
    const double vlin = fc * vj;
    if (v < vlin) {
        const double arg = 1 - v / vj;
        const double sarg = std::exp(-m * std::log(arg));
        return {vj * cj0 * (1 - arg * sarg) / (1 - m), cj0 * sarg};
    }
    const double xfc = std::log(1 - fc);
    const double f1 = vj * (1 - std::exp((1 - m) * xfc)) / (1 - m);
    const double f2 = std::exp((1 + m) * xfc);
    const double f3 = 1 - fc * (1 + m);
    const double czof2 = cj0 / f2;
    return {cj0 * f1 + czof2 * (f3 * (v - vlin) + m / (2 * vj) * (v * v - vlin * vlin)),
            czof2 * (f3 + m * v / vj)};
}

JunctionCurrent IdealJunction(double v, double is, double vte) {
    if (v >= -3 * vte) {
        const double e = std::exp(std::min(v / vte, 700.0));
        return {is * (e - 1), is * e / vte};
    }
    double arg = 3 * vte / (v * std::numbers::e);
    arg = arg * arg * arg;
    return {-is * (1 + arg), is * 3 * arg / v};
}

} // namespace kora::vbench
