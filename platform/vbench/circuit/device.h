// What every circuit element gives the solver: its matrix positions (setup), its stamp at the
// present iterate (load, for DC and transient), its small-signal stamp (AC), and, for elements
// with memory, the state they carry from one time point to the next.
//
// Sign convention of the rows: row i of A x = b sums the currents leaving node i through the
// elements; b holds the currents injected into it. A branch unknown is the current of a source or
// inductor as that element defines it.
#pragma once

#include <vbench/circuit/mna.h>

#include <complex>
#include <cstddef>
#include <string>
#include <vector>

namespace kora::vbench {

enum class Integration { BackwardEuler, Trapezoidal };

class SetupContext {
  public:
    // `appending`: the element joins a matrix that is set up already (see Device::joinsLater).
    SetupContext(MnaSystem& system, int& unknownCount, std::vector<bool>& isCurrent,
                 bool appending = false)
        : system_(system), count_(unknownCount), isCurrent_(isCurrent), appending_(appending) {}
    // A new unknown: an internal node of the element (a voltage) or a branch current.
    int newUnknown(bool current = false) {
        failed_ |= appending_;
        isCurrent_.push_back(current);
        return count_++;
    }
    void entry(int row, int col, int* slot) { place(row, col, slot, false); }
    // A position whose stamp is zero in the element's usual state (a relay's closed contact): it
    // reaches the factorisation as a low-rank update.
    void switchedEntry(int row, int col, int* slot) { place(row, col, slot, true); }
    bool appending() const { return appending_; }
    // Whether an appending element asked for what only a new set-up can give.
    bool failed() const { return failed_; }

  private:
    void place(int row, int col, int* slot, bool switched) {
        if (!appending_) {
            system_.request(row, col, slot, switched);
        } else if (!system_.append(row, col, slot, switched)) {
            failed_ = true;
        }
    }

    MnaSystem& system_;
    int& count_;
    std::vector<bool>& isCurrent_;
    bool appending_;
    bool failed_ = false;
};

struct LoadContext {
    double* a = nullptr;       // matrix values (MnaSystem slots)
    double* b = nullptr;       // right-hand side, unknowns + 1 entries (the last is a sink)
    const double* x = nullptr; // present iterate, unknowns + 1 entries (the last is ground, 0)
    int n = 0;                 // unknowns

    bool transient = false;
    double time = 0; // of the point being solved
    double step = 0; // transient step
    Integration method = Integration::Trapezoidal;
    double gmin = 1e-12;        // conductance across every junction
    double sourceScale = 1;     // source stepping
    bool initJunctions = false; // first iterate of a cold start: junctions begin near conduction
    int limited = 0;            // elements that limited their voltages in this load

    double v(int node) const { return x[node < 0 ? n : node]; }
    void add(int slot, double value) const { a[slot] += value; }
    void rhs(int row, double value) const { b[row < 0 ? n : row] += value; }
};

struct AcContext {
    std::complex<double>* a = nullptr;
    std::complex<double>* b = nullptr; // unknowns + 1 entries (the last is a sink)
    int n = 0;
    double omega = 0;

    void add(int slot, std::complex<double> value) const { a[slot] += value; }
    void rhs(int row, std::complex<double> value) const { b[row < 0 ? n : row] += value; }
};

class Device {
  public:
    explicit Device(std::string name) : name_(std::move(name)) {}
    virtual ~Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& name() const { return name_; }

    // Allocates internal unknowns and requests matrix positions.
    virtual void setup(SetupContext& s) = 0;
    // Stamps the element linearised at ctx.x.
    virtual void load(LoadContext& ctx) = 0;
    // Stamps the small-signal admittances at the operating point of the last load.
    virtual void loadAc(AcContext& ctx) const = 0;
    virtual bool nonlinear() const { return false; }
    // For a non-linear element: appends the unknowns its linearisation depends on (ground
    // skipped) and returns true; false when it does not say, so that a solve checks everything.
    virtual bool linearisedAt(std::vector<int>& unknowns) const { return false; }
    // Whether the element stores charge or flux, so that its state depends on the time passed.
    virtual bool hasMemory() const { return false; }

    // Transient memory. startState takes the state from solution x (an operating point, or all
    // zero for a board that was never powered); acceptStep commits the point just solved.
    virtual void startState(const double* x, int n) {}
    virtual void acceptStep(const double* x, int n) {}

    // The same memory as numbers (a capacitor's voltage, an inductor's current), for a solver that
    // takes a linear circuit's transient apart into parts and adds their memories up again.
    virtual int stateSize() const { return 0; }
    virtual void saveState(double* out) const {}
    virtual void restoreState(const double* in) {}

    // How an independent source's transient value varies with time: not at all (the default, and
    // every element that injects nothing), as a level plus one sine over [from, ...), or otherwise.
    // For a sine, sineHertz() is its frequency and loadSine stamps its phasor X into ctx.b, the
    // sine being Im(X e^{jwt}) on circuit time; while holdSine(true) is in force a transient sees
    // the level alone.
    enum class WaveShape { Level, LevelAndSine, Other };
    virtual WaveShape waveShape(double from) const { return WaveShape::Level; }
    virtual double sineHertz() const { return 0; }
    virtual void loadSine(AcContext& ctx) const {}
    virtual void holdSine(bool held) {}

    // Discrete state that the Newton iteration does not decide (switch positions, source limits).
    // Called with a converged solution; true when the state changed and the point must be solved
    // again.
    virtual bool updateRegime(const double* x, int n) { return false; }
    // Whether updateRegime can ever answer true; asked when the topology is set up.
    virtual bool hasRegime() const { return false; }
    // Whether the element can join a circuit whose matrix is set up without setting it up again
    // (its setup then sees SetupContext::appending()).
    virtual bool joinsLater() const { return false; }
    // What the element's load stamps at present: anew at every solve (it depends on the
    // iterate, the time or the source scale, or feeds the right-hand side); the matrix alone, the
    // same from one solve to the next; or nothing at all (an open relay, beyond its held part). An
    // element whose answer can change, or whose held stamp changes, calls stampChanged(), so that a
    // circuit keeping the held stamps loaded can take it into account.
    enum class Stamp { Varying, Held, None };
    virtual Stamp stampKind() const { return Stamp::Varying; }
    // A part of the stamp that stays the same while the topology lasts, whatever the kind (a
    // relay's open leakage under its contact): loaded once into the held stamps, with load()
    // stamping the rest. True when it stamped anything.
    virtual bool loadHeld(LoadContext& /*ctx*/) const { return false; }
    // How many of the positions the element asked for at set-up, the first ones, load() writes
    // when the element has a held part; the others are the held part's.
    virtual std::size_t loadedRequests() const { return static_cast<std::size_t>(-1); }
    // Where stampChanged() reports the element (the circuit's list), null for nowhere.
    void watchStamp(std::vector<Device*>* changed) { stampWatch_ = changed; }
    // The circuit's note of how it loads the element: the kind it was sorted as, its place
    // among the circuit's elements (none until it is sorted) and the positions it asked the
    // matrix for (MnaSystem::requestedOffset).
    struct LoadSort {
        Stamp kind = Stamp::Varying;
        std::size_t order = static_cast<std::size_t>(-1);
        std::size_t firstRequest = 0, endRequest = 0;
    };
    LoadSort& loadSort() { return loadSort_; }

  protected:
    void stampChanged() {
        if (stampWatch_ != nullptr) {
            stampWatch_->push_back(this);
        }
    }

  private:
    std::string name_;
    std::vector<Device*>* stampWatch_ = nullptr;
    LoadSort loadSort_;
};

// Voltage of a node in a solution vector of n unknowns plus the ground entry.
inline double VoltageAt(const double* x, int n, int node) {
    return x[node < 0 ? n : node];
}

// Helper for the common two-terminal conductance stamp.
struct ConductanceSlots {
    static constexpr std::size_t kPositions = 4; // the positions setup asks for
    int pp = 0, pn = 0, np = 0, nn = 0;
    void setup(SetupContext& s, int p, int n, bool switched = false) {
        auto entry = [&](int row, int col, int* slot) {
            switched ? s.switchedEntry(row, col, slot) : s.entry(row, col, slot);
        };
        entry(p, p, &pp);
        entry(p, n, &pn);
        entry(n, p, &np);
        entry(n, n, &nn);
    }
    template <typename Ctx, typename T> void stamp(const Ctx& ctx, T g) const {
        ctx.add(pp, g);
        ctx.add(pn, -g);
        ctx.add(np, -g);
        ctx.add(nn, g);
    }
};

} // namespace kora::vbench
