// The solver on circuits whose answers are known in closed form: source compliance in both
// directions, element memory across transient calls, AC phase, and the reuse of the matrix set-up.
#include <vbench/circuit/circuit.h>
#include <vbench/circuit/elements.h>
#include <vbench/circuit/semiconductors.h>
#include <vbench/netlist/netlist_parser.h>
#include <vbench/solver/solver.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double Delivered(const Circuit& c, const Source& s) {
    return s.deliveredCurrent(c.solution().data());
}

TEST(VbenchSolver, SourceComplianceSwitchesRegimeBothWays) {
    struct Case {
        const char* what;
        Source::Mode mode;
        double level, limit, load; // load in ohms; infinity = open pin
        double volts, amps;        // expected at the output
        bool limiting;
    } cases[] = {
        {"voltage within its limit", Source::Mode::Voltage, 10, 1e-3, 100e3, 10, 1e-4, false},
        {"voltage at its current limit", Source::Mode::Voltage, 10, 1e-3, 1e3, 1, 1e-3, true},
        {"negative voltage at its limit", Source::Mode::Voltage, -10, 2e-3, 1e3, -2, -2e-3, true},
        {"current within compliance", Source::Mode::Current, 1e-3, 5, 1e3, 1, 1e-3, false},
        {"current at its compliance", Source::Mode::Current, 1e-3, 5, 10e3, 5, 0.5e-3, true},
        {"current into an open pin", Source::Mode::Current, 1e-4, 12, kInf, 12, 12e-12, true},
        {"sinking current at compliance", Source::Mode::Current, -1e-3, 3, 10e3, -3, -0.3e-3, true},
    };
    for (const auto& c : cases) {
        Circuit circuit;
        auto& src = circuit.add<Source>("src", circuit.node("hi"), kGround, c.mode);
        src.setLevel(c.level);
        src.setLimit(c.limit);
        if (std::isfinite(c.load)) {
            circuit.add<Resistor>("load", circuit.node("hi"), kGround, c.load);
        }
        Solver solver(circuit);
        SolveReport r = solver.operatingPoint();
        ASSERT_TRUE(r.ok()) << c.what;
        // 1e-6: every node also sees the solver's 1e-12 S shunt to ground.
        EXPECT_NEAR(circuit.voltage("hi"), c.volts, 1e-6 * std::fabs(c.volts)) << c.what;
        EXPECT_NEAR(Delivered(circuit, src), c.amps, 1e-6 * std::fabs(c.amps) + 1e-15) << c.what;
        EXPECT_EQ(src.limiting(), c.limiting) << c.what;
        EXPECT_EQ(r.regimeChanges, c.limiting ? 1 : 0) << c.what;
    }
}

TEST(VbenchSolver, LimitedSourceReturnsToItsLevelWhenTheLoadLightens) {
    Circuit circuit;
    auto& src = circuit.add<Source>("src", circuit.node("hi"), kGround, Source::Mode::Voltage);
    src.setLevel(5);
    src.setLimit(1e-3);
    auto& load = circuit.add<Resistor>("load", circuit.node("hi"), kGround, 100);
    Solver solver(circuit);
    ASSERT_TRUE(solver.operatingPoint().ok());
    EXPECT_TRUE(src.limiting());
    EXPECT_NEAR(circuit.voltage("hi"), 0.1, 1e-9);

    load.setResistance(1e6);
    ASSERT_TRUE(solver.operatingPoint().ok());
    EXPECT_FALSE(src.limiting());
    EXPECT_NEAR(circuit.voltage("hi"), 5, 1e-9);

    // A current source whose load drops back below compliance delivers its set current again.
    Circuit c2;
    auto& isrc = c2.add<Source>("i", c2.node("p"), kGround, Source::Mode::Current);
    isrc.setLevel(2e-3);
    isrc.setLimit(10);
    auto& r2 = c2.add<Resistor>("r", c2.node("p"), kGround, 1e6);
    Solver s2(c2);
    ASSERT_TRUE(s2.operatingPoint().ok());
    EXPECT_TRUE(isrc.limiting());
    r2.setResistance(1e3);
    ASSERT_TRUE(s2.operatingPoint().ok());
    EXPECT_FALSE(isrc.limiting());
    EXPECT_NEAR(c2.voltage("p"), 2, 1e-8);
}

TEST(VbenchSolver, DisabledSourceIsOpen) {
    Circuit circuit;
    auto& src = circuit.add<Source>("src", circuit.node("a"), kGround, Source::Mode::Voltage);
    src.setLevel(3);
    circuit.add<Resistor>("r1", circuit.node("b"), circuit.node("a"), 1e3);
    auto& other = circuit.add<Source>("v2", circuit.node("b"), kGround, Source::Mode::Voltage);
    other.setLevel(1);
    Solver solver(circuit);
    ASSERT_TRUE(solver.operatingPoint().ok());
    EXPECT_NEAR(circuit.voltage("a"), 3, 1e-12);
    src.setEnabled(false);
    ASSERT_TRUE(solver.operatingPoint().ok());
    EXPECT_NEAR(circuit.voltage("a"), 1, 1e-6) << "pulled to v2 through r1";
    EXPECT_EQ(Delivered(circuit, src), 0);
}

TEST(VbenchSolver, MatrixSetUpIsReusedUntilTheTopologyChanges) {
    Circuit circuit;
    auto& v = circuit.add<Source>("v", circuit.node("in"), kGround, Source::Mode::Voltage);
    v.setLevel(2);
    circuit.add<Resistor>("r1", circuit.node("in"), circuit.node("out"), 1e3);
    auto& sw = circuit.add<Switch>("k1", circuit.node("out"), kGround, 0.5, 1e12, false);
    circuit.add<Resistor>("r2", circuit.node("out"), kGround, 1e3);
    Solver solver(circuit);
    ASSERT_TRUE(solver.operatingPoint().ok());
    const unsigned version = circuit.topologyVersion();
    const int nonZeros = circuit.system().nonZeros();
    EXPECT_NEAR(circuit.voltage("out"), 1, 1e-9);

    // Values change, positions stay: the same set-up gives the new answers.
    sw.setClosed(true);
    ASSERT_TRUE(solver.operatingPoint().ok());
    EXPECT_NEAR(circuit.voltage("out"), 2 * (1e3 * 0.5 / 1000.5) / (1e3 + 1e3 * 0.5 / 1000.5),
                1e-9);
    v.setLevel(4);
    sw.setClosed(false);
    ASSERT_TRUE(solver.operatingPoint().ok());
    EXPECT_NEAR(circuit.voltage("out"), 2, 1e-8);
    EXPECT_EQ(circuit.topologyVersion(), version);
    EXPECT_EQ(circuit.system().nonZeros(), nonZeros);

    // A new element sets the matrix up again; node voltages survive as the starting point.
    circuit.add<Resistor>("r3", circuit.node("out"), circuit.node("x"), 1e3);
    ASSERT_TRUE(solver.operatingPoint().ok());
    EXPECT_EQ(circuit.topologyVersion(), version + 1);
    EXPECT_NEAR(circuit.voltage("x"), 2, 1e-6);
    ASSERT_TRUE(circuit.remove("r3"));
    EXPECT_FALSE(circuit.remove("r3"));
    ASSERT_TRUE(solver.operatingPoint().ok());
    EXPECT_EQ(circuit.topologyVersion(), version + 2);
    EXPECT_NEAR(circuit.voltage("x"), 0, 1e-9) << "x floats now, tied to ground by the shunt";
}

TEST(VbenchSolver, ConflictingVoltageSourcesAreSingular) {
    Circuit circuit;
    circuit.add<Source>("v1", circuit.node("a"), kGround, Source::Mode::Voltage).setLevel(1);
    circuit.add<Source>("v2", circuit.node("a"), kGround, Source::Mode::Voltage).setLevel(2);
    Solver solver(circuit);
    EXPECT_EQ(solver.operatingPoint().status, SolveStatus::Singular);
    EXPECT_FALSE(circuit.solved());
}

// RC charging from a step: v(t) = V (1 - exp(-t / RC)), for both integration rules.
TEST(VbenchSolver, TransientFollowsTheRcChargingCurve) {
    struct Case {
        Integration method;
        double step;
        double tolerance; // relative to V
    } cases[] = {{Integration::Trapezoidal, 1e-6, 1e-6}, {Integration::BackwardEuler, 1e-6, 1e-3}};
    for (const auto& c : cases) {
        Circuit circuit;
        auto& v = circuit.add<Source>("v", circuit.node("in"), kGround, Source::Mode::Voltage);
        circuit.add<Resistor>("r", circuit.node("in"), circuit.node("out"), 1e3);
        circuit.add<Capacitor>("c", circuit.node("out"), kGround, 1e-6);
        Solver solver(circuit);
        ASSERT_TRUE(solver.startTransient(Solver::Start::Discharged).ok());
        v.setLevel(5);
        for (double t : {0.2e-3, 1e-3, 3e-3}) {
            ASSERT_TRUE(solver.advance(t - circuit.time(), c.step, c.method).ok());
            EXPECT_NEAR(circuit.voltage("out"), 5 * (1 - std::exp(-t / 1e-3)), 5 * c.tolerance)
                << "t = " << t << (c.method == Integration::Trapezoidal ? " trapezoidal" : " BE");
        }
        EXPECT_DOUBLE_EQ(circuit.time(), 3e-3);
        // A linear circuit stepping with a fixed step keeps its factors: one factorisation for the
        // start and one per rule and step length (the first step of each call is backward Euler).
        EXPECT_LE(circuit.system().realFactorisations(), 8);
    }
}

TEST(VbenchSolver, InductorCurrentRisesWithTheLOverRTimeConstant) {
    Circuit circuit;
    auto& v = circuit.add<Source>("v", circuit.node("in"), kGround, Source::Mode::Voltage);
    circuit.add<Resistor>("r", circuit.node("in"), circuit.node("a"), 100);
    auto& l = circuit.add<Inductor>("l", circuit.node("a"), kGround, 10e-3);
    Solver solver(circuit);
    ASSERT_TRUE(solver.startTransient(Solver::Start::OperatingPoint).ok());
    v.setLevel(1);
    ASSERT_TRUE(solver.advance(100e-6, 0.1e-6, Integration::Trapezoidal).ok());
    EXPECT_NEAR(l.current(), 0.01 * (1 - std::exp(-1.0)), 1e-8);
    ASSERT_TRUE(solver.operatingPoint().ok());
    EXPECT_NEAR(circuit.voltage("a"), 0, 1e-12) << "a short at DC";
}

// The bench measures in one call and switches relays in the next; a capacitor keeps its charge
// in between, and decays only once a path discharges it.
TEST(VbenchSolver, CapacitorChargeCarriesAcrossCallsAndDecaysThroughADischargePath) {
    Circuit circuit;
    auto& v = circuit.add<Source>("v", circuit.node("in"), kGround, Source::Mode::Voltage);
    v.setLevel(10);
    auto& charge =
        circuit.add<Switch>("kcharge", circuit.node("in"), circuit.node("c"), 0.1, 1e12, true);
    auto& cap = circuit.add<Capacitor>("c1", circuit.node("c"), kGround, 1e-6);
    auto& discharge =
        circuit.add<Switch>("kdis", circuit.node("c"), circuit.node("r"), 0.1, 1e12, false);
    circuit.add<Resistor>("rdis", circuit.node("r"), kGround, 10e3);
    Solver solver(circuit);
    ASSERT_TRUE(solver.advance(50e-6, 1e-6, Integration::BackwardEuler).ok());
    EXPECT_NEAR(cap.voltage(), 10, 1e-6) << "0.1 ohm x 1 uF charges within microseconds";

    charge.setClosed(false);
    ASSERT_TRUE(solver.advance(0.5, 1e-3, Integration::BackwardEuler).ok());
    EXPECT_NEAR(cap.voltage(), 10, 1e-4) << "half a second with every relay open";

    discharge.setClosed(true);
    ASSERT_TRUE(solver.advance(10e-3, 1e-6, Integration::Trapezoidal).ok());
    const double tau = 1e-6 * (10e3 + 0.1);
    EXPECT_NEAR(cap.voltage(), 10 * std::exp(-10e-3 / tau), 1e-5);
    ASSERT_TRUE(solver.advance(30e-3, 10e-6, Integration::BackwardEuler).ok());
    EXPECT_NEAR(cap.voltage(), 10 * std::exp(-40e-3 / tau), 2e-3);
}

TEST(VbenchSolver, CapacitorCurrentLeadsTheVoltageByNinetyDegrees) {
    Circuit circuit;
    auto& v = circuit.add<Source>("v", circuit.node("a"), kGround, Source::Mode::Voltage);
    v.setAc(0.5, 0);
    circuit.add<Capacitor>("c", circuit.node("a"), kGround, 1e-6);
    Solver solver(circuit);
    AcSolution ac = solver.ac(1000);
    ASSERT_TRUE(ac.ok);
    const std::complex<double> i = ac.at(v.branch());
    EXPECT_NEAR(std::abs(i), 2 * std::numbers::pi * 1000 * 1e-6 * 0.5, 1e-12);
    EXPECT_NEAR(std::arg(i) * 180 / std::numbers::pi, 90, 1e-6);
    EXPECT_NEAR(std::abs(ac.at(circuit.node("a"))), 0.5, 1e-12);
}

TEST(VbenchSolver, SwitchHysteresisKeepsItsStateBetweenThresholds) {
    // On above 3 V, off below 2 V, as it was between.
    struct Step {
        double control;
        bool closed;
    } steps[] = {{2.7, false}, {3.5, true}, {2.7, true}, {2.2, true}, {1.5, false}, {2.9, false}};
    Circuit circuit;
    auto& ctl = circuit.add<Source>("vc", circuit.node("c"), kGround, Source::Mode::Voltage);
    circuit.add<Source>("vs", circuit.node("s"), kGround, Source::Mode::Voltage).setLevel(1);
    auto& sw = circuit.add<Switch>("s1", circuit.node("s"), circuit.node("o"), 1, 1e9, false);
    sw.setControl(circuit.node("c"), kGround, 2.5, 0.5);
    circuit.add<Resistor>("ro", circuit.node("o"), kGround, 1e3);
    Solver solver(circuit);
    for (const auto& s : steps) {
        ctl.setLevel(s.control);
        ASSERT_TRUE(solver.operatingPoint().ok());
        EXPECT_EQ(sw.closed(), s.closed) << "control " << s.control;
        EXPECT_NEAR(circuit.voltage("o"), s.closed ? 1e3 / 1001 : 1e3 / (1e9 + 1e3), 1e-9);
    }
}

TEST(VbenchSolver, SteppingFallbacksReachTheNewtonSolution) {
    // A diode string hard against a stiff source. With the direct attempt cut short, gmin
    // stepping, or with that switched off source stepping, must reach the same point.
    const char* text = R"(diode string
V1 in 0 DC 40
R1 in d0 1
D1 d0 d1 dd
D2 d1 d2 dd
D3 d2 d3 dd
D4 d3 d4 dd
D5 d4 d5 dd
D6 d5 d6 dd
D7 d6 0 dd
Rp d3 0 1
.model dd D(IS=1e-15 N=1 RS=0.01)
)";
    Netlist n = ParseNetlist(text, "string.cir");
    Circuit reference;
    AddNetlist(reference, n);
    SolveReport plain = Solver(reference).operatingPoint();
    ASSERT_TRUE(plain.ok());
    ASSERT_GT(plain.iterations, 2);
    EXPECT_FALSE(plain.gminStepping || plain.sourceStepping);

    for (bool gmin : {true, false}) {
        Circuit hard;
        AddNetlist(hard, n);
        SolverOptions options;
        options.maxIterations = 2;
        options.gminStepping = gmin;
        SolveReport r = Solver(hard, options).operatingPoint();
        ASSERT_TRUE(r.ok()) << SolveStatusName(r.status);
        EXPECT_EQ(r.gminStepping, gmin);
        EXPECT_EQ(r.sourceStepping, !gmin);
        for (const char* net : {"d0", "d1", "d3", "d6"}) {
            EXPECT_NEAR(hard.voltage(net), reference.voltage(net), 1e-6) << net;
        }
    }

    // Without enough iterations anywhere the solver says so instead of handing back a point.
    Circuit starved;
    AddNetlist(starved, n);
    SolverOptions none;
    none.maxIterations = 2;
    none.steppingIterations = 2;
    EXPECT_EQ(Solver(starved, none).operatingPoint().status, SolveStatus::NoConvergence);
    EXPECT_FALSE(starved.solved());
}

TEST(VbenchSolver, UpdatedSolvesAgreeWithAFreshFactorisationAcrossSwitchChanges) {
    // A ladder with diodes to ground and a bank of relays between its rungs. Each round flips a
    // few relays; the kept factorisation answers through its update (or refactorises when the
    // change grows), and every answer must be that of a circuit solved from scratch.
    std::string text = "relay ladder\nV1 n0 0 DC 5\n.model dd D(IS=1e-14 N=1.05 RS=0.5)\n";
    constexpr int kRungs = 60, kRelays = 24;
    for (int i = 0; i < kRungs; ++i) {
        text += "R" + std::to_string(i) + " n" + std::to_string(i) + " n" + std::to_string(i + 1) +
                " " + std::to_string(100 + 37 * (i % 7)) + "\n";
        text += "RG" + std::to_string(i) + " n" + std::to_string(i + 1) + " 0 10k\n";
        if (i % 9 == 4) {
            text += "D" + std::to_string(i) + " n" + std::to_string(i + 1) + " 0 dd\n";
        }
    }
    Netlist n = ParseNetlist(text, "ladder.cir");
    auto relayNodes = [](int k) { return std::pair{(k * 7) % kRungs, (k * 13 + 5) % kRungs + 1}; };
    auto addRelays = [&](Circuit& c, const std::vector<bool>& closed) {
        for (int k = 0; k < kRelays; ++k) {
            auto [a, b] = relayNodes(k);
            c.add<Switch>("k" + std::to_string(k), c.node("n" + std::to_string(a)),
                          c.node("n" + std::to_string(b)), 0.2, 1e12, closed[k]);
        }
    };
    std::vector<bool> closed(kRelays, false);
    Circuit kept;
    AddNetlist(kept, n);
    addRelays(kept, closed);
    Solver solver(kept);
    ASSERT_TRUE(solver.operatingPoint().ok());
    for (int round = 0; round < 40; ++round) {
        // One relay per round, and every eighth round many at once.
        for (int k = 0; k < (round % 8 == 7 ? kRelays / 2 : 1); ++k) {
            const int which = (round * 5 + k * 3) % kRelays;
            closed[which] = !closed[which];
            kept.findAs<Switch>("k" + std::to_string(which))->setClosed(closed[which]);
        }
        kept.setSolved(false);
        ASSERT_TRUE(solver.operatingPoint().ok()) << "round " << round;
        Circuit fresh;
        AddNetlist(fresh, n);
        addRelays(fresh, closed);
        ASSERT_TRUE(Solver(fresh).operatingPoint().ok());
        for (int i = 1; i <= kRungs; i += 3) {
            const std::string net = "n" + std::to_string(i);
            ASSERT_NEAR(kept.voltage(net), fresh.voltage(net),
                        1e-9 + 1e-7 * std::fabs(fresh.voltage(net)))
                << net << " in round " << round;
        }
    }
    EXPECT_GT(kept.system().updatedSolves(), kept.system().realFactorisations());
}

TEST(VbenchSolver, PartAfterPartKeepsItsFactorisationWhenTheKeptColumnsFillUp) {
    // A test program's parts one after another: each closes a relay of its own and opens the one
    // before, so the rows that differ from the base stay few while the rows ever changed outgrow
    // the kept columns (twice the rank of 4). The base must outlive them all, and each answer
    // must be that of the circuit solved from scratch.
    constexpr int kNets = 40;
    std::string text = "chain\nV1 n0 0 DC 5\n";
    for (int i = 0; i < kNets; ++i) {
        text += "R" + std::to_string(i) + " n" + std::to_string(i) + " n" + std::to_string(i + 1) +
                " " + std::to_string(100 + 53 * (i % 5)) + "\n";
        text += "RG" + std::to_string(i) + " n" + std::to_string(i + 1) + " 0 10k\n";
    }
    const Netlist n = ParseNetlist(text, "chain.cir");
    auto build = [&](Circuit& c, int closedPart) {
        AddNetlist(c, n);
        for (int k = 1; k <= kNets; ++k) {
            c.add<Switch>("k" + std::to_string(k), c.node("n" + std::to_string(k)), kGround, 50,
                          1e12, k == closedPart);
        }
    };
    Circuit kept;
    build(kept, 0);
    kept.system().setMaxUpdateRank(4);
    Solver solver(kept);
    ASSERT_TRUE(solver.operatingPoint().ok());
    for (int part = 1; part <= kNets; ++part) {
        if (part > 1) {
            kept.findAs<Switch>("k" + std::to_string(part - 1))->setClosed(false);
        }
        kept.findAs<Switch>("k" + std::to_string(part))->setClosed(true);
        kept.setSolved(false);
        ASSERT_TRUE(solver.operatingPoint().ok()) << "part " << part;
        Circuit fresh;
        build(fresh, part);
        ASSERT_TRUE(Solver(fresh).operatingPoint().ok());
        for (int i = 1; i <= kNets; i += 3) {
            const std::string net = "n" + std::to_string(i);
            ASSERT_NEAR(kept.voltage(net), fresh.voltage(net), 1e-9 + 1e-9 * fresh.voltage(net))
                << net << " at part " << part;
        }
    }
    EXPECT_EQ(kept.system().realFactorisations(), 1);
}

TEST(VbenchSolver, AFailedSolveIsReportedAndLeavesTheLastGoodPoint) {
    const char* text = R"(diode pair
V1 in 0 DC 1
R1 in a 100
D1 a 0 dd
D2 a 0 dd
.model dd D(IS=1e-15 N=1)
)";
    Netlist n = ParseNetlist(text, "pair.cir");
    Circuit c;
    AddNetlist(c, n);
    Solver solver(c);
    ASSERT_TRUE(solver.operatingPoint().ok());
    const double good = c.voltage("a");
    // Starved of iterations, a large step of the source cannot be followed: the solver says so,
    // and what it leaves is the last good point, not its last iterate.
    SolverOptions normal = solver.options();
    solver.options().maxIterations = 1;
    solver.options().steppingIterations = 1;
    c.findAs<Source>("v1")->setLevel(30);
    c.setSolved(false);
    const SolveReport failed = solver.operatingPoint();
    EXPECT_EQ(failed.status, SolveStatus::NoConvergence);
    EXPECT_FALSE(c.solved());
    EXPECT_EQ(c.voltage("a"), good);
    // With its iterations back it reaches what a fresh circuit reaches.
    solver.options() = normal;
    ASSERT_TRUE(solver.operatingPoint().ok());
    Circuit fresh;
    AddNetlist(fresh, n);
    fresh.findAs<Source>("v1")->setLevel(30);
    ASSERT_TRUE(Solver(fresh).operatingPoint().ok());
    EXPECT_NEAR(c.voltage("a"), fresh.voltage("a"), 1e-9);
}

} // namespace
} // namespace kora::vbench
