// Every Newton iteration reloads the matrix but rarely factorises it: the MNA system answers a
// matrix that differs from its kept factorisation in a few rows (a relay, the junctions of a
// non-linear board, a transient's non-linear parts from one step to the next) by a low-rank
// update of that factorisation (see circuit/mna.h for the choice and its limits). A failed solve
// hands back the last good point with its status, so that nothing reads its last iterate.
#include <vbench/solver/solver.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kora::vbench {

namespace {

// Gmin stepping starts with this conductance from every node to ground and lowers it a decade at
// a time; source stepping raises the sources from zero in these fractions (halved on failure).
constexpr double kGminSteppingStart = 1e-2;
constexpr double kSourceStep = 0.1;
constexpr double kSmallestSourceStep = 1e-4;
// After this many iterations without the unknowns settling, a point is also taken when it meets
// every equation: a net that floats (every relay to it open) has a voltage fixed only by the
// shunt conductances, so rounding alone moves it by more than vntol from iteration to iteration,
// while its currents balance to femtoamperes.
constexpr int kResidualTestAfter = 8;
// What rounding leaves of a row's residual, relative to the terms that make it: a relay's
// kilosiemens times volts must not widen the tolerance of its node beyond that.
constexpr double kResidualRounding = 1e-14;

} // namespace

const char* SolveStatusName(SolveStatus s) {
    switch (s) {
    case SolveStatus::Converged:
        return "converged";
    case SolveStatus::NoConvergence:
        return "no convergence";
    case SolveStatus::Singular:
        return "singular matrix";
    }
    return "?";
}

Solver::Solver(Circuit& circuit, SolverOptions options) : circuit_(circuit), options_(options) {}

SolveStatus Solver::newton(const Mode& mode, double shunt, double sourceScale, bool cold,
                           int maxIterations, int* iterations) {
    Circuit& c = circuit_;
    MnaSystem& sys = c.system();
    const int n = c.unknowns();
    const int nodes = c.nodeCount();
    std::vector<double>& x = c.solution();
    rhs_.assign(static_cast<std::size_t>(n) + 1, 0.0);
    b_.resize(n);
    xn_.resize(n);
    Eigen::VectorXd& b = b_;
    Eigen::VectorXd& xn = xn_;
    const bool nonlinear = c.hasNonlinear();
    const char* watched = mode.transient && nonlinear ? watchedUnknowns().data() : nullptr;

    LoadContext ctx;
    ctx.n = n;
    ctx.transient = mode.transient;
    ctx.time = mode.time;
    ctx.step = mode.step;
    ctx.method = mode.method;
    ctx.gmin = options_.gmin;
    ctx.sourceScale = sourceScale;

    for (int iter = 0; iter < maxIterations; ++iter) {
        ++*iterations;
        sys.clearReal();
        std::fill(rhs_.begin(), rhs_.end(), 0.0);
        ctx.a = sys.realValues();
        ctx.b = rhs_.data();
        ctx.x = x.data();
        ctx.initJunctions = cold && iter == 0;
        ctx.limited = 0;
        for (const auto& d : c.devices()) {
            d->load(ctx);
        }
        double* a = sys.realValues();
        for (int i = 0; i < nodes; ++i) {
            a[c.nodeDiagonal(i)] += shunt;
        }
        for (int i = 0; i < n; ++i) {
            b[i] = rhs_[static_cast<std::size_t>(i)];
        }
        if (nonlinear && iter >= kResidualTestAfter && ctx.limited == 0 && !ctx.initJunctions &&
            satisfied(x.data(), b)) {
            return SolveStatus::Converged;
        }
        if (!sys.factorReal() || !sys.solveReal(b, xn)) {
            return SolveStatus::Singular;
        }
        if (!xn.allFinite()) {
            return SolveStatus::NoConvergence;
        }
        bool converged = ctx.limited == 0 && !ctx.initJunctions;
        for (int i = 0; i < n && converged; ++i) {
            if (watched && !watched[i]) {
                continue;
            }
            const double old = x[static_cast<std::size_t>(i)];
            const double tol = options_.reltol * std::max(std::fabs(xn[i]), std::fabs(old)) +
                               (c.isCurrent(i) ? options_.abstol : options_.vntol);
            converged = std::fabs(xn[i] - old) <= tol;
        }
        for (int i = 0; i < n; ++i) {
            x[static_cast<std::size_t>(i)] = xn[i];
        }
        x[static_cast<std::size_t>(n)] = 0;
        // A linear circuit is solved exactly by one factorisation.
        if (!nonlinear || converged) {
            return SolveStatus::Converged;
        }
    }
    return SolveStatus::NoConvergence;
}

const std::vector<char>& Solver::watchedUnknowns() {
    const Circuit& c = circuit_;
    if (watchedKnown_ && watchedTopology_ == c.topologyVersion()) {
        return watched_;
    }
    // The linear elements are solved exactly at every iterate; what can still be off is the
    // linearisation of the non-linear ones. Once their own unknowns have settled, the solution
    // stands, even though a source's wave moves the rest from one step to the next: a second
    // iteration would only confirm it.
    const auto n = static_cast<std::size_t>(c.unknowns());
    linearisedAt_.clear();
    bool known = true;
    for (const auto& d : c.devices()) {
        if (d->nonlinear() && !d->linearisedAt(linearisedAt_)) {
            known = false;
            break;
        }
    }
    watched_.assign(n, known ? 0 : 1);
    if (known) {
        for (int i : linearisedAt_) {
            watched_[static_cast<std::size_t>(i)] = 1;
        }
    }
    watchedTopology_ = c.topologyVersion();
    watchedKnown_ = true;
    return watched_;
}

bool Solver::satisfied(const double* x, const Eigen::VectorXd& b) {
    // The loaded matrix is the linearisation at x itself (nothing limited), so A x - b is the
    // circuit's own residual there: currents at the nodes, volts in the branch equations.
    const int n = circuit_.unknowns();
    circuit_.system().residual(x, b.data(), residual_, scale_);
    for (int i = 0; i < n; ++i) {
        const double tol = kResidualRounding * scale_[i] +
                           (circuit_.isCurrent(i) ? options_.vntol : options_.abstol);
        if (!(std::fabs(residual_[i]) <= tol)) {
            return false;
        }
    }
    return true;
}

SolveReport Solver::solveWithFallbacks(const Mode& mode, bool cold) {
    const std::vector<double> start = circuit_.solution();
    SolveReport r = attempt(mode, cold, start);
    if (!r.ok()) {
        // What a failed attempt leaves behind is no solution: the next solve, the readings taken
        // meanwhile and the junctions' limiting all start again from the last good point.
        circuit_.solution() = start;
    }
    return r;
}

SolveReport Solver::attempt(const Mode& mode, bool cold, const std::vector<double>& start) {
    SolveReport r;
    const double shunt = options_.nodeShunt;
    const int stageIterations = options_.steppingIterations;
    r.status = newton(mode, shunt, 1, cold, options_.maxIterations, &r.iterations);
    if (r.ok() || !circuit_.hasNonlinear()) {
        return r;
    }

    // Gmin stepping: a large conductance from every node to ground makes the problem nearly
    // linear; lower it step by step, each solution starting the next.
    if (options_.gminStepping) {
        r.gminStepping = true;
        circuit_.solution() = start;
        bool stepped = true;
        bool first = cold;
        for (double g = kGminSteppingStart; g > shunt; g /= 10) {
            if (newton(mode, g, 1, first, stageIterations, &r.iterations) !=
                SolveStatus::Converged) {
                stepped = false;
                break;
            }
            first = false;
        }
        if (stepped) {
            r.status = newton(mode, shunt, 1, false, stageIterations, &r.iterations);
            if (r.ok()) {
                return r;
            }
        }
    }

    // Source stepping: raise every source from zero.
    r.sourceStepping = true;
    std::fill(circuit_.solution().begin(), circuit_.solution().end(), 0.0);
    double scale = 0, stepSize = kSourceStep;
    bool firstStep = true;
    std::vector<double> good = circuit_.solution();
    while (scale < 1) {
        const double next = std::min(1.0, scale + stepSize);
        if (newton(mode, shunt, next, firstStep, stageIterations, &r.iterations) ==
            SolveStatus::Converged) {
            scale = next;
            good = circuit_.solution();
            firstStep = false;
            stepSize = std::min(stepSize * 2, 0.5);
        } else {
            circuit_.solution() = good;
            stepSize /= 2;
            if (stepSize < kSmallestSourceStep) {
                r.status = SolveStatus::NoConvergence;
                return r;
            }
        }
    }
    r.status = SolveStatus::Converged;
    return r;
}

SolveReport Solver::solve(const Mode& mode, bool cold) {
    circuit_.prepare();
    SolveReport total;
    for (int round = 0;; ++round) {
        SolveReport r = solveWithFallbacks(mode, cold);
        total.iterations += r.iterations;
        total.gminStepping |= r.gminStepping;
        total.sourceStepping |= r.sourceStepping;
        total.status = r.status;
        if (!r.ok()) {
            return total;
        }
        bool changed = false;
        const int n = circuit_.unknowns();
        const double* x = circuit_.solution().data();
        for (Device* d : circuit_.regimeDevices()) {
            changed |= d->updateRegime(x, n);
        }
        if (!changed) {
            return total;
        }
        if (round + 1 >= options_.maxRegimeChanges) {
            total.status = SolveStatus::NoConvergence;
            return total;
        }
        ++total.regimeChanges;
        cold = false;
    }
}

SolveReport Solver::operatingPoint() {
    circuit_.prepare();
    const bool cold = !circuit_.solved();
    SolveReport r = solve(Mode{}, cold);
    circuit_.setSolved(r.ok());
    return r;
}

AcSolution Solver::ac(double hertz) {
    AcSolution out;
    circuit_.prepare();
    if (!circuit_.solved() && !operatingPoint().ok()) {
        return out;
    }
    MnaSystem& sys = circuit_.system();
    const int n = circuit_.unknowns();
    std::vector<std::complex<double>> rhs(static_cast<std::size_t>(n) + 1);
    sys.clearComplex();
    AcContext ctx;
    ctx.a = sys.complexValues();
    ctx.b = rhs.data();
    ctx.n = n;
    ctx.omega = 2 * std::numbers::pi * hertz;
    for (const auto& d : circuit_.devices()) {
        d->loadAc(ctx);
    }
    for (int i = 0; i < circuit_.nodeCount(); ++i) {
        ctx.add(circuit_.nodeDiagonal(i), options_.nodeShunt);
    }
    if (!sys.factorComplex()) {
        return out;
    }
    Eigen::VectorXcd b(n), x(n);
    for (int i = 0; i < n; ++i) {
        b[i] = rhs[static_cast<std::size_t>(i)];
    }
    if (!sys.solveComplex(b, x)) {
        return out;
    }
    out.x.assign(static_cast<std::size_t>(n) + 1, 0.0);
    for (int i = 0; i < n; ++i) {
        out.x[static_cast<std::size_t>(i)] = x[i];
    }
    out.ok = true;
    return out;
}

SolveReport Solver::startTransient(Start from) {
    circuit_.prepare();
    SolveReport r;
    std::vector<double>& x = circuit_.solution();
    if (from == Start::OperatingPoint) {
        r = operatingPoint();
        if (!r.ok()) {
            return r;
        }
    } else {
        std::fill(x.begin(), x.end(), 0.0);
        circuit_.setSolved(false);
    }
    const int n = circuit_.unknowns();
    for (const auto& d : circuit_.devices()) {
        d->startState(x.data(), n);
    }
    circuit_.setStateStarted(true);
    return r;
}

SolveReport Solver::step(double h, Integration method) {
    circuit_.prepare();
    if (!circuit_.stateStarted()) {
        SolveReport r = startTransient(Start::Discharged);
        if (!r.ok()) {
            return r;
        }
    }
    Mode mode;
    mode.transient = true;
    mode.time = circuit_.time() + h;
    mode.step = h;
    mode.method = method;
    SolveReport r = solve(mode, false);
    if (!r.ok()) {
        return r;
    }
    const int n = circuit_.unknowns();
    const double* x = circuit_.solution().data();
    for (const auto& d : circuit_.devices()) {
        d->acceptStep(x, n);
    }
    circuit_.setTime(mode.time);
    circuit_.setSolved(true);
    return r;
}

SolveReport Solver::advance(double duration, double maxStep, Integration method) {
    SolveReport total;
    if (duration <= 0) {
        return total;
    }
    const double steps = std::ceil(duration / maxStep - 1e-9);
    const long count = std::max(1L, static_cast<long>(steps));
    const double h = duration / static_cast<double>(count);
    const double end = circuit_.time() + duration;
    for (long i = 0; i < count; ++i) {
        // The caller changed the circuit before this call (a relay, a source level): capacitor
        // currents and inductor voltages may jump here, which the trapezoidal rule, carrying the
        // old ones over, would turn into an error that rings on. The first step is therefore
        // taken with backward Euler, which needs only the charges and fluxes.
        SolveReport r = step(h, i == 0 ? Integration::BackwardEuler : method);
        total.iterations += r.iterations;
        total.regimeChanges += r.regimeChanges;
        total.gminStepping |= r.gminStepping;
        total.sourceStepping |= r.sourceStepping;
        total.status = r.status;
        if (!r.ok()) {
            return total;
        }
    }
    circuit_.setTime(end); // no drift from adding the steps up
    return total;
}

} // namespace kora::vbench
