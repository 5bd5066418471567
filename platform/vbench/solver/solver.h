// Analyses of a circuit: the DC operating point (Newton-Raphson with junction limiting, gmin
// stepping and source stepping as fallbacks, and an outer loop over discrete regimes such as
// source compliance and switch positions), AC at one frequency around the operating point, and a
// fixed-step transient whose element memory lives in the circuit, so that it carries on from one
// call to the next in virtual time.
#pragma once

#include <vbench/circuit/circuit.h>

#include <complex>
#include <string>
#include <vector>

namespace kora::vbench {

struct SolverOptions {
    double reltol = 1e-6;         // relative change of an unknown between iterations
    double vntol = 1e-9;          // absolute, volts
    double abstol = 1e-12;        // absolute, amperes
    double gmin = 1e-12;          // across every junction
    double nodeShunt = 1e-12;     // from every node to ground, so that a floating net has a voltage
    int maxIterations = 150;      // Newton iterations of the direct attempt
    int steppingIterations = 100; // per stage of gmin or source stepping
    bool gminStepping = true;     // first fallback; source stepping is the second
    int maxRegimeChanges = 64;
};

enum class SolveStatus { Converged, NoConvergence, Singular };
const char* SolveStatusName(SolveStatus s);

struct SolveReport {
    SolveStatus status = SolveStatus::Converged;
    int iterations = 0;    // Newton iterations, all attempts together
    int regimeChanges = 0; // re-solves because a switch or a source limit changed
    bool gminStepping = false;
    bool sourceStepping = false;
    bool ok() const { return status == SolveStatus::Converged; }
};

// Node voltages and branch currents of an AC solution (phasors).
struct AcSolution {
    std::vector<std::complex<double>> x; // unknowns + 1, the last is ground
    bool ok = false;
    std::complex<double> at(int index) const { return index < 0 ? 0.0 : x[index]; }
};

class Solver {
  public:
    explicit Solver(Circuit& circuit, SolverOptions options = {});

    const SolverOptions& options() const { return options_; }
    SolverOptions& options() { return options_; }

    // DC operating point: capacitors open, inductors shorted, sources at their DC values.
    SolveReport operatingPoint();

    // Small-signal solution at `hertz` around the present operating point (solved first when the
    // circuit has no solution yet).
    AcSolution ac(double hertz);

    // Starts the element memory of a transient: from the DC operating point (as a simulator's
    // transient does), or with every capacitor discharged and no inductor current (a board that
    // has never been powered).
    enum class Start { OperatingPoint, Discharged };
    SolveReport startTransient(Start from);
    // One step of h seconds from the circuit's time; starts discharged when nothing was started.
    SolveReport step(double h, Integration method);
    // Advances by `duration` in equal steps of at most maxStep. The first step uses backward
    // Euler, since the circuit may have been changed just before.
    SolveReport advance(double duration, double maxStep, Integration method);

    // Brings the circuit forward by `duration` as advance() with backward Euler and steps of at
    // most maxStep does, for a bench that catches up with time passed. A linear circuit whose
    // sources are levels and sines is taken apart instead: the sines' steady state, exact at any
    // instant, plus the rest (the levels and the decay of the start's mismatch against that
    // steady state), which has no sine to follow and is stepped in a few long steps.
    SolveReport catchUp(double duration, double maxStep);

  private:
    struct Mode {
        bool transient = false;
        double time = 0, step = 0;
        Integration method = Integration::Trapezoidal;
    };
    SolveReport solve(const Mode& mode, bool cold);
    SolveReport solveWithFallbacks(const Mode& mode, bool cold);
    SolveReport attempt(const Mode& mode, bool cold, const std::vector<double>& start);
    // Whether x meets every equation of the matrix and right-hand side loaded at x.
    bool satisfied(const double* x, const Eigen::VectorXd& b);
    SolveStatus newton(const Mode& mode, double shunt, double sourceScale, bool cold,
                       int maxIterations, int* iterations);
    // The unknowns that a transient step's convergence is judged on, for the present topology.
    const std::vector<char>& watchedUnknowns();
    // Loads the AC matrix at `hertz` and the sources' excitation into rhs, and factorises the
    // matrix unless it is the one factorised last. False when it is singular.
    bool factorAc(double hertz, std::vector<std::complex<double>>& rhs);
    AcSolution solveAc(const std::vector<std::complex<double>>& rhs);
    // The frequencies of the sources' sines when catchUp can take the circuit apart from time
    // `from` on (linear, every source a level or a level and a sine, none at its limit).
    bool splittable(double from, std::vector<double>& hertz);
    // x at time t of the sines' steady state (phasors per frequency), unknowns + 1 entries.
    void sinesAt(double t, const std::vector<double>& hertz, const std::vector<AcSolution>& phasors,
                 std::vector<double>& x) const;
    // The memory of every element that has some, as numbers; and taken from a solution vector.
    void saveStates(std::vector<double>& out) const;
    void restoreStates(const std::vector<double>& in);
    void startStates(const std::vector<double>& x);
    void holdSines(bool held);

    Circuit& circuit_;
    SolverOptions options_;
    std::vector<double> rhs_;
    std::vector<double> start_; // the last good point, while a non-linear solve tries
    Eigen::VectorXd b_, xn_, residual_, scale_;
    std::vector<char> watched_;
    std::vector<int> linearisedAt_;
    unsigned watchedTopology_ = 0;
    bool watchedKnown_ = false;
};

} // namespace kora::vbench
