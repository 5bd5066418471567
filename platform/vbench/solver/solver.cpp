// Every Newton iteration reloads the matrix but rarely factorises it: the MNA system answers a
// matrix that differs from its kept factorisation in a few rows (a relay, the junctions of a
// non-linear board, a transient's non-linear parts from one step to the next) by a low-rank
// update of that factorisation (see circuit/mna.h for the choice and its limits). A failed solve
// hands back the last good point with its status, so that nothing reads its last iterate.
#include <vbench/circuit/elements.h>
#include <vbench/solver/solver.h>

#include <algorithm>
#include <cmath>
#include <limits>
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
// A catch-up taken apart steps what remains after the sines in this many equal steps, unless
// probing steps of kStillProbe find every memory still: moving, at its pace, by no more than
// kStill of itself (volts or amperes) plus kStillFloor over the whole interval (see catchUp).
constexpr long kSplitSteps = 256;
constexpr double kStillProbe = 1e-6;
constexpr int kStillProbes = 64;
constexpr double kStillFalloff = 0.8; // of the pace from one probing step to the next
constexpr double kStill = 1e-6;
constexpr double kStillFloor = 1e-9;

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
    std::vector<double>& x = c.solution();
    rhs_.resize(static_cast<std::size_t>(n) + 1);
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
        std::fill(rhs_.begin(), rhs_.end(), 0.0);
        ctx.b = rhs_.data();
        ctx.x = x.data();
        ctx.initJunctions = cold && iter == 0;
        ctx.limited = 0;
        c.loadReal(ctx, shunt);
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
        // A linear circuit is solved exactly by one factorisation.
        bool converged = !nonlinear || (ctx.limited == 0 && !ctx.initJunctions);
        for (int i = 0; i < n && converged && nonlinear; ++i) {
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
        if (converged) {
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
    // A linear circuit's single Newton step writes the solution only once it has succeeded.
    if (!circuit_.hasNonlinear()) {
        return attempt(mode, cold, circuit_.solution());
    }
    start_ = circuit_.solution();
    SolveReport r = attempt(mode, cold, start_);
    if (!r.ok()) {
        // What a failed attempt leaves behind is no solution: the next solve, the readings taken
        // meanwhile and the junctions' limiting all start again from the last good point.
        circuit_.solution() = start_;
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

bool Solver::factorAc(double hertz, std::vector<std::complex<double>>& rhs) {
    MnaSystem& sys = circuit_.system();
    const int n = circuit_.unknowns();
    rhs.assign(static_cast<std::size_t>(n) + 1, 0.0);
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
    return sys.factorComplex();
}

AcSolution Solver::solveAc(const std::vector<std::complex<double>>& rhs) {
    AcSolution out;
    const int n = circuit_.unknowns();
    Eigen::VectorXcd b(n), x(n);
    for (int i = 0; i < n; ++i) {
        b[i] = rhs[static_cast<std::size_t>(i)];
    }
    if (!circuit_.system().solveComplex(b, x)) {
        return out;
    }
    out.x.assign(static_cast<std::size_t>(n) + 1, 0.0);
    for (int i = 0; i < n; ++i) {
        out.x[static_cast<std::size_t>(i)] = x[i];
    }
    out.ok = true;
    return out;
}

AcSolution Solver::ac(double hertz) {
    circuit_.prepare();
    if (!circuit_.solved() && !operatingPoint().ok()) {
        return {};
    }
    std::vector<std::complex<double>> rhs;
    if (!factorAc(hertz, rhs)) {
        return {};
    }
    return solveAc(rhs);
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

namespace kora::vbench {

// Catching up, taken apart. For a linear circuit C x' + G x = b0 + sum of sines, x(t) is the
// sines' steady state s(t) (one AC solve per frequency, exact at any t) plus r(t), which solves
// C r' + G r = b0 from r(t0) = x(t0) - s(t0): the levels and the decay of the start's mismatch,
// smooth and without anything periodic to follow. Backward Euler reaches r's steady part (the
// operating point) exactly at any step and damps what decays within a step as the fine stepping
// does; its error on a decay e^-x over the interval is e^-x x^2 / 2m in m steps, at most 0.27/m
// (0.1 % for m = 256) of the mismatch, against the fine stepping's own 0.27/1000 of it and its
// w h / 2 of a sine's amplitude. The memories add up as the solutions do, so the end state is
// made of the two parts' memories.
SolveReport Solver::catchUp(double duration, double maxStep) {
    const double steps = std::ceil(duration / maxStep - 1e-9);
    circuit_.prepare();
    std::vector<double> hertz;
    const double t0 = circuit_.time();
    if (duration <= 0 || steps <= static_cast<double>(kSplitSteps) || !splittable(t0, hertz)) {
        return advance(duration, maxStep, Integration::BackwardEuler);
    }
    if (!circuit_.stateStarted()) {
        SolveReport r = startTransient(Start::Discharged);
        if (!r.ok()) {
            return r;
        }
    }
    std::vector<AcSolution> phasors;
    for (double f : hertz) {
        std::vector<std::complex<double>> rhs;
        if (!factorAc(f, rhs)) {
            return advance(duration, maxStep, Integration::BackwardEuler);
        }
        std::fill(rhs.begin(), rhs.end(), 0.0);
        AcContext ctx;
        ctx.b = rhs.data();
        ctx.n = circuit_.unknowns();
        ctx.omega = 2 * std::numbers::pi * f;
        for (const auto& d : circuit_.devices()) {
            if (d->waveShape(t0) == Device::WaveShape::LevelAndSine && d->sineHertz() == f) {
                d->loadSine(ctx);
            }
        }
        phasors.push_back(solveAc(rhs));
        if (!phasors.back().ok) {
            return advance(duration, maxStep, Integration::BackwardEuler);
        }
    }

    std::vector<double> start, part, sines;
    saveStates(start);
    sinesAt(t0, hertz, phasors, sines);
    startStates(sines);
    saveStates(part);
    for (std::size_t i = 0; i < part.size(); ++i) {
        part[i] = start[i] - part[i];
    }
    restoreStates(part);
    holdSines(true);
    // Mostly the rest holds still: every part but the one under test keeps the charge it had, and
    // the one under test has settled on its sine but for a decay within microseconds. Short
    // steps tell: the fast decay goes as the fine stepping takes it, and once no memory moves at
    // a pace that would carry it by more than kStill of itself over the whole interval, the rest
    // is taken as it is (the short step keeps its matrix from one catch-up to the next). A pace
    // that does not fall off quickly is a decay the long steps have to follow.
    SolveReport total;
    bool still = false;
    const double stretch = duration / kStillProbe;
    std::vector<double> before = part, after;
    double lastMove = std::numeric_limits<double>::infinity();
    for (int k = 0; k < kStillProbes && total.ok() && !still; ++k) {
        const SolveReport r = step(kStillProbe, Integration::BackwardEuler);
        total.iterations += r.iterations;
        total.regimeChanges += r.regimeChanges;
        total.status = r.status;
        saveStates(after);
        still = total.ok() && total.regimeChanges == 0;
        double move = 0;
        for (std::size_t i = 0; i < after.size(); ++i) {
            const double d = std::fabs(after[i] - before[i]);
            move = std::max(move, d);
            still = still && d * stretch <= kStill * std::fabs(after[i]) + kStillFloor;
        }
        if (!still && move > kStillFalloff * lastMove) {
            break;
        }
        lastMove = move;
        before.swap(after);
    }
    if (!still) {
        restoreStates(part);
        circuit_.setTime(t0);
        total = {};
        const double h = duration / static_cast<double>(kSplitSteps);
        for (long i = 0; i < kSplitSteps && total.ok(); ++i) {
            const SolveReport r = step(h, Integration::BackwardEuler);
            total.iterations += r.iterations;
            total.regimeChanges += r.regimeChanges;
            total.gminStepping |= r.gminStepping;
            total.sourceStepping |= r.sourceStepping;
            total.status = r.status;
        }
    }
    holdSines(false);
    const double end = t0 + duration;
    std::vector<double>& x = circuit_.solution();
    const int n = circuit_.unknowns();
    bool regimeHeld = total.ok() && total.regimeChanges == 0;
    if (regimeHeld) {
        sinesAt(end, hertz, phasors, sines);
        for (int i = 0; i < n; ++i) {
            x[static_cast<std::size_t>(i)] += sines[static_cast<std::size_t>(i)];
        }
        // A source that reaches its limit at the end with the sines added has left the linear
        // circuit on the way.
        for (Device* d : circuit_.regimeDevices()) {
            regimeHeld = !d->updateRegime(x.data(), n) && regimeHeld;
        }
    }
    if (!regimeHeld) {
        restoreStates(start);
        circuit_.setTime(t0);
        circuit_.setSolved(false);
        return advance(duration, maxStep, Integration::BackwardEuler);
    }
    saveStates(part);
    startStates(sines);
    saveStates(start);
    for (std::size_t i = 0; i < part.size(); ++i) {
        part[i] += start[i];
    }
    restoreStates(part);
    circuit_.setTime(end);
    circuit_.setSolved(true);
    return total;
}

bool Solver::splittable(double from, std::vector<double>& hertz) {
    hertz.clear();
    if (circuit_.hasNonlinear()) {
        return false;
    }
    for (Device* d : circuit_.regimeDevices()) {
        const auto* s = dynamic_cast<const Source*>(d);
        if (!s || s->limiting()) {
            return false; // a controlled switch, or a source whose limit makes the circuit
        }
    }
    for (const auto& d : circuit_.devices()) {
        switch (d->waveShape(from)) {
        case Device::WaveShape::Level:
            break;
        case Device::WaveShape::Other:
            return false;
        case Device::WaveShape::LevelAndSine:
            if (std::find(hertz.begin(), hertz.end(), d->sineHertz()) == hertz.end()) {
                hertz.push_back(d->sineHertz());
            }
            break;
        }
    }
    return true;
}

void Solver::sinesAt(double t, const std::vector<double>& hertz,
                     const std::vector<AcSolution>& phasors, std::vector<double>& x) const {
    const auto n = static_cast<std::size_t>(circuit_.unknowns());
    x.assign(n + 1, 0.0);
    for (std::size_t k = 0; k < hertz.size(); ++k) {
        const std::complex<double> turn = std::polar(1.0, 2 * std::numbers::pi * hertz[k] * t);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] += (phasors[k].x[i] * turn).imag();
        }
    }
}

void Solver::saveStates(std::vector<double>& out) const {
    out.clear();
    for (const auto& d : circuit_.devices()) {
        const auto at = out.size();
        out.resize(at + static_cast<std::size_t>(d->stateSize()));
        d->saveState(out.data() + at);
    }
}

void Solver::restoreStates(const std::vector<double>& in) {
    std::size_t at = 0;
    for (const auto& d : circuit_.devices()) {
        if (d->stateSize() > 0) {
            d->restoreState(in.data() + at);
            at += static_cast<std::size_t>(d->stateSize());
        }
    }
}

void Solver::startStates(const std::vector<double>& x) {
    for (const auto& d : circuit_.devices()) {
        if (d->stateSize() > 0) {
            d->startState(x.data(), circuit_.unknowns());
        }
    }
}

void Solver::holdSines(bool held) {
    for (const auto& d : circuit_.devices()) {
        d->holdSine(held);
    }
}

} // namespace kora::vbench
