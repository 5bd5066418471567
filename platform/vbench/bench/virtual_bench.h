// The virtual bench: the clock, the journal of driver calls, fault injection, the meters' noise,
// and the circuit of the station (board, and later the fixture, switches and instrument
// terminals) with its solver.
//
// One bench is active per process. Activating it routes the operating system's waits (Sleep,
// SleepEx) and its monotonic clock, which the executive's time stamp reads, to the bench clock:
//     auto bench = std::make_shared<VirtualBench>();
//     bench->loadStation(LoadStation(physicalLayerFile));
//     VirtualBench::activate(bench);
// Without an explicit activation, the first driver call activates the station that the resource
// manager's physical layer file describes (see activation.h).
//
// The circuit follows virtual time lazily: settle() integrates it from the time of its last
// point to the clock's present, with the element values as they were, before anything changes it.
// So a capacitor charged by one driver call is still charged at the next, minus whatever
// discharged it in between.
#pragma once

#include <vbench/bench/clock.h>
#include <vbench/bench/faults.h>
#include <vbench/bench/journal.h>
#include <vbench/bench/noise.h>
#include <vbench/bench/station.h>
#include <vbench/circuit/circuit.h>
#include <vbench/solver/solver.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kora::vbench {

class MatrixCard;
class SourceMeasureModule;
class Switch;

class VirtualBench {
  public:
    explicit VirtualBench(Clock::Mode mode = Clock::Mode::Virtual);
    ~VirtualBench();
    VirtualBench(const VirtualBench&) = delete;
    VirtualBench& operator=(const VirtualBench&) = delete;

    Clock& clock() { return clock_; }
    Journal& journal() { return journal_; }
    FaultInjector& faults() { return faults_; }
    NoiseSource& noise() { return noise_; }

    // Takes a station: its board becomes the circuit (nets keep their names), its seed the
    // noise's. Replaces any earlier station and circuit. Throws NetlistError for a board that
    // does not fit the circuit.
    void loadStation(Station station);
    const Station* station() const { return station_ ? &*station_ : nullptr; }

    Circuit& circuit() { return *circuit_; }
    Solver& solver() { return *solver_; }

    // Brings the circuit up to the clock (see above) and solves it there. Without stored charge
    // a DC solution is all it takes.
    SolveReport settle();
    // What a model calls before it changes the circuit: integrates the time passed since the last
    // point with the circuit as it was (nothing to do without stored charge or elapsed time), and
    // marks the solution stale so that the next settle() solves the changed circuit.
    SolveReport beforeChange();
    // Lets time pass on the bench clock, then settles.
    SolveReport wait(double seconds);
    // The clock's present on the circuit's time axis (what settle() brings the circuit up to).
    double circuitNow() const;
    // Wall time spent in the solver by settle() since the bench was made (for benchmarks that
    // split the cost of a test into the circuit's and everything else's).
    double solverSeconds() const { return solverSeconds_; }

    // The matrix card of that device name, created on first use (names match without regard to
    // case). Cards go with the circuit when a station is loaded.
    MatrixCard& matrixCard(const std::string& name);
    // Every matrix card made so far (for tests that check that nothing is left connected).
    std::vector<const MatrixCard*> matrixCards();
    // The source and measure module of that device name, likewise.
    SourceMeasureModule& sourceMeasureModule(const std::string& name);

    // What the fixture's needles touch, on a station whose needles have strays of their own
    // (NeedleCapacitance, NeedleInductance): the board, nothing (the board removed, as the
    // capacitance compensation asks), or one short plate joining them all (as the inductance and
    // resistance compensations ask). Elsewhere the needles are the board's nets and this changes
    // nothing.
    enum class Fixture { Board, Removed, ShortPlate };
    void setFixture(Fixture fixture);
    Fixture fixture() const { return fixture_; }
    // The node a fixture needle on board net `net` reaches the matrix at: the net itself, or on a
    // station with needle strays a node of its own behind them (created on first use).
    std::string needleNode(const std::string& card, int pin, const std::string& net);

    // The operator's probe, a lead from system ground: touches board net `net` from `from` until
    // `until` (seconds on the bench clock). False when the board has no such net.
    bool scheduleProbe(const std::string& net, double from, double until);

    // Serialises the drivers' use of the bench across threads.
    std::recursive_mutex& mutex() { return mutex_; }

    // The active bench; null when none.
    static std::shared_ptr<VirtualBench> active();
    // Makes `bench` the active one (null: none) and routes OS waits to its clock.
    static void activate(std::shared_ptr<VirtualBench> bench);
    // The bench a driver call works on: the active one, after activating the station of the
    // physical layer file that the resource manager loaded since the last look, unless a bench
    // was activated explicitly. Null when there is none.
    static std::shared_ptr<VirtualBench> forDriverCall();
    // Why the configured station could not be activated ("" when nothing went wrong).
    static std::string activationError();

  private:
    SolveReport catchUp();
    // Puts the probes in the state they have at the clock's present; the circuit first catches
    // up with them as they were.
    void applyProbes();

    Clock clock_;
    Journal journal_;
    FaultInjector faults_;
    NoiseSource noise_;
    std::optional<Station> station_;
    std::unique_ptr<Circuit> circuit_;
    std::unique_ptr<Solver> solver_;
    int64_t circuitEpochNs_ = 0; // clock time at which the circuit's time is 0
    double solverSeconds_ = 0;
    std::map<std::string, std::unique_ptr<MatrixCard>> cards_; // by folded name
    std::map<std::string, std::unique_ptr<SourceMeasureModule>> psams_;
    Fixture fixture_ = Fixture::Board;
    struct Needle {
        Switch* board;
        Switch* plate;
    };
    std::vector<Needle> needles_;
    struct Probe {
        Switch* lead;
        double from, until;
    };
    std::vector<Probe> probes_;
    std::recursive_mutex mutex_;
};

// One call of a driver stand-in: counts it for fault injection, and on finish() writes it to the
// journal with its result and the clock. Holds the bench's lock for the call.
//     ViStatus ZQsm160_close(ViSession vi) {
//         DriverCall call("ZQsm160", __func__, FormatArgs(vi));
//         if (call.fault()) return call.finish(call.fault()->code);
//         ...
//         return call.finish(status);
//     }
class DriverCall {
  public:
    DriverCall(const char* interface, const char* function, std::string arguments);
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;

    // The active bench, or null when there is none.
    VirtualBench* bench() const { return bench_.get(); }
    const std::optional<InjectedFault>& fault() const { return fault_; }
    // Journals the call and hands back its status.
    int32_t finish(int32_t status);

  private:
    std::shared_ptr<VirtualBench> bench_;
    std::unique_lock<std::recursive_mutex> lock_;
    const char* interface_;
    const char* function_;
    std::string arguments_;
    std::optional<InjectedFault> fault_;
    bool finished_ = false;
};

} // namespace kora::vbench
