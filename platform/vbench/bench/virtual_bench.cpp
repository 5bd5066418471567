#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/matrix_card.h>
#include <vbench/modules/psam.h>

#include <kora_os_hooks.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

namespace kora::vbench {

namespace {

// Catching up on elapsed time: backward Euler (stable for the stiff corners a relay's fraction
// of an ohm makes with a board capacitor), in at most this many steps and none shorter than the
// minimum unless the whole interval is. A linear board driven by levels and sines needs far
// fewer (see Solver::catchUp).
constexpr int kCatchUpSteps = 1000;
constexpr double kMinCatchUpStep = 1e-6;
// A solution at the present instant with every charge held: one very short step.
constexpr double kInstant = 1e-9;

std::mutex g_activeMutex;
std::shared_ptr<VirtualBench> g_active;

} // namespace

VirtualBench::VirtualBench(Clock::Mode mode)
    : clock_(mode), circuit_(std::make_unique<Circuit>()),
      solver_(std::make_unique<Solver>(*circuit_)) {}

VirtualBench::~VirtualBench() = default;

void VirtualBench::loadStation(Station station) {
    std::lock_guard lock(mutex_);
    cards_.clear();
    psams_.clear();
    needles_.clear();
    probes_.clear();
    fixture_ = Fixture::Board;
    auto circuit = std::make_unique<Circuit>();
    AddNetlist(*circuit, station.board);
    noise_.reseed(station.noiseSeed);
    noise_.setEnabled(station.meterNoise);
    solver_ = std::make_unique<Solver>(*circuit);
    if (!station.chargedCapacitors.empty()) {
        // The charges are the transient's starting state: every other capacitor starts empty.
        solver_->startTransient(Solver::Start::Discharged);
        for (const auto& [name, volts] : station.chargedCapacitors) {
            auto* c = dynamic_cast<Capacitor*>(circuit->find(name));
            if (!c) {
                throw StationError(station.physicalLayerFile + ": ChargedCapacitors names '" +
                                   name + "', which is no capacitor of the board");
            }
            c->setVoltage(volts);
        }
    }
    circuit_ = std::move(circuit);
    circuitEpochNs_ = clock_.nowNs();
    station_ = std::move(station);
}

namespace {

// The solver's share is compared with the CPU time of a run; wall time would count the other
// processes of a busy machine too.
double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

} // namespace

// A failed solve leaves the last good point and an unsolved circuit, so the next settle() tries
// again; the meters read no number meanwhile, which their drivers report as over range (the
// PSAM's and the PICT's records, the DMM's reading).
SolveReport VirtualBench::settle() {
    std::lock_guard lock(mutex_);
    applyProbes();
    return catchUp();
}

SolveReport VirtualBench::catchUp() {
    std::lock_guard lock(mutex_);
    const double now = static_cast<double>(clock_.nowNs() - circuitEpochNs_) * 1e-9;
    const double elapsed = now - circuit_->time();
    if (circuit_->solved() && (!circuit_->hasMemory() || elapsed <= 0)) {
        circuit_->setTime(std::max(now, circuit_->time()));
        return {};
    }
    const double start = ThreadCpuSeconds();
    SolveReport r;
    if (!circuit_->hasMemory()) {
        r = solver_->operatingPoint();
        circuit_->setTime(std::max(now, circuit_->time()));
    } else if (elapsed <= 0) {
        r = solver_->step(kInstant, Integration::BackwardEuler);
    } else {
        const double step = std::max(elapsed / kCatchUpSteps, std::min(kMinCatchUpStep, elapsed));
        r = solver_->catchUp(elapsed, step);
    }
    solverSeconds_ += ThreadCpuSeconds() - start;
    return r;
}

void VirtualBench::setFixture(Fixture fixture) {
    std::lock_guard lock(mutex_);
    if (fixture == fixture_) {
        return;
    }
    beforeChange();
    fixture_ = fixture;
    for (const Needle& n : needles_) {
        n.board->setClosed(fixture == Fixture::Board);
        n.plate->setClosed(fixture == Fixture::ShortPlate);
    }
}

bool VirtualBench::scheduleProbe(const std::string& net, double from, double until) {
    std::lock_guard lock(mutex_);
    std::string name = net;
    if (!circuit_->findNode(name)) {
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (!circuit_->findNode(name)) {
            return false;
        }
    }
    // A hand-held lead and its tip on the needle: half an ohm, as a probe wire is.
    constexpr double kLeadOhms = 0.5, kOpenOhms = 1e12;
    beforeChange();
    Circuit& c = *circuit_;
    Switch& lead = c.add<Switch>("vb:probe:" + std::to_string(probes_.size()) + ":" + name,
                                 c.node(name), kGround, kLeadOhms, kOpenOhms, false);
    probes_.push_back({&lead, from, until});
    return true;
}

void VirtualBench::applyProbes() {
    const double now = clock_.seconds();
    bool change = false;
    for (const Probe& p : probes_) {
        change = change || p.lead->closed() != (now >= p.from && now < p.until);
    }
    if (!change) {
        return;
    }
    if (circuit_->hasMemory() && circuitNow() > circuit_->time()) {
        catchUp();
    }
    for (const Probe& p : probes_) {
        p.lead->setClosed(now >= p.from && now < p.until);
    }
    circuit_->setSolved(false);
}

std::string VirtualBench::needleNode(const std::string& card, int pin, const std::string& net) {
    std::lock_guard lock(mutex_);
    if (!station_ || (station_->needleCapacitance <= 0 && station_->needleInductance <= 0)) {
        return net;
    }
    std::string prefix = "vb:needle:" + card + ":p" + std::to_string(pin);
    for (char& c : prefix) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    Circuit& c = *circuit_;
    if (c.findNode(prefix)) {
        return prefix;
    }
    beforeChange();
    const int tip = c.node(prefix);
    int contact = tip;
    if (station_->needleInductance > 0) {
        contact = c.node(prefix + ":tip");
        c.add<Inductor>(prefix + ":l", tip, contact, station_->needleInductance);
    }
    if (station_->needleCapacitance > 0) {
        // Every needle couples to the others through the fixture's body: two needles on their
        // own show half a needle's capacitance between them.
        c.add<Capacitor>(prefix + ":c", tip, c.node("vb:fixture-body"),
                         station_->needleCapacitance);
    }
    constexpr double kContactOhms = 1e-4, kOpenOhms = 1e12;
    Switch& board = c.add<Switch>(prefix + ":board", contact, c.node(net), kContactOhms, kOpenOhms,
                                  fixture_ == Fixture::Board);
    Switch& plate = c.add<Switch>(prefix + ":plate", contact, c.node("vb:short-plate"),
                                  kContactOhms, kOpenOhms, fixture_ == Fixture::ShortPlate);
    needles_.push_back({&board, &plate});
    return prefix;
}

SolveReport VirtualBench::beforeChange() {
    std::lock_guard lock(mutex_);
    const double now = static_cast<double>(clock_.nowNs() - circuitEpochNs_) * 1e-9;
    SolveReport r;
    if (circuit_->hasMemory() && now > circuit_->time()) {
        r = settle();
    }
    // Whatever the caller changes next, the present solution no longer holds.
    circuit_->setSolved(false);
    return r;
}

namespace {

template <typename T>
T& ModuleNamed(std::map<std::string, std::unique_ptr<T>>& modules, VirtualBench& bench,
               const std::string& name) {
    std::string key = name;
    for (char& c : key) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    auto& module = modules[key];
    if (!module) {
        module = std::make_unique<T>(bench, name);
    }
    return *module;
}

} // namespace

MatrixCard& VirtualBench::matrixCard(const std::string& name) {
    std::lock_guard lock(mutex_);
    return ModuleNamed(cards_, *this, name);
}

std::vector<const MatrixCard*> VirtualBench::matrixCards() {
    std::lock_guard lock(mutex_);
    std::vector<const MatrixCard*> cards;
    for (const auto& [name, card] : cards_) {
        cards.push_back(card.get());
    }
    return cards;
}

SourceMeasureModule& VirtualBench::sourceMeasureModule(const std::string& name) {
    std::lock_guard lock(mutex_);
    return ModuleNamed(psams_, *this, name);
}

double VirtualBench::circuitNow() const {
    return static_cast<double>(clock_.nowNs() - circuitEpochNs_) * 1e-9;
}

SolveReport VirtualBench::wait(double seconds) {
    clock_.waitSeconds(seconds);
    return settle();
}

std::shared_ptr<VirtualBench> VirtualBench::active() {
    std::lock_guard lock(g_activeMutex);
    return g_active;
}

void VirtualBench::activate(std::shared_ptr<VirtualBench> bench) {
    std::shared_ptr<VirtualBench> previous;
    {
        std::lock_guard lock(g_activeMutex);
        if (bench) {
            KoraOsSetSleepHook(&Clock::osSleepHook, &bench->clock());
            KoraOsSetClockHook(&Clock::osClockHook, &bench->clock());
        } else {
            KoraOsSetSleepHook(nullptr, nullptr);
            KoraOsSetClockHook(nullptr, nullptr);
        }
        previous = std::move(g_active);
        g_active = std::move(bench);
    }
    // The previous bench goes when its last user does, outside the lock.
}

// ---- DriverCall -------------------------------------------------------------------------------

DriverCall::DriverCall(const char* interface, const char* function, std::string arguments)
    : bench_(VirtualBench::forDriverCall()), interface_(interface), function_(function),
      arguments_(std::move(arguments)) {
    if (bench_) {
        lock_ = std::unique_lock(bench_->mutex());
        fault_ = bench_->faults().onCall(function_);
    }
}

int32_t DriverCall::finish(int32_t status) {
    if (bench_ && !finished_) {
        JournalEntry e;
        e.interface = interface_;
        e.function = function_;
        e.arguments = std::move(arguments_);
        e.result = status;
        e.timeNs = bench_->clock().nowNs();
        e.injected = fault_.has_value() && status == fault_->code;
        bench_->journal().record(std::move(e));
    }
    finished_ = true;
    return status;
}

} // namespace kora::vbench
