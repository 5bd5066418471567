// Relays that a bench adds to a solved circuit join its matrix without a new set-up; whatever
// way the solve then takes (an update, a grown pattern, a fresh factorisation), the answer must
// be that of the same circuit set up from scratch.
#include <vbench/circuit/circuit.h>
#include <vbench/circuit/elements.h>
#include <vbench/netlist/netlist_parser.h>
#include <vbench/solver/solver.h>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

constexpr int kNets = 24;

// Without capacitors, what a solve loads each time (the source, the closed relays) is a small
// part of the matrix, and the loader hands over only the offsets it wrote.
Netlist Ladder(bool capacitors) {
    std::string text = "ladder\nV1 n0 0 DC 5\nRM line 0 1k\n";
    for (int i = 0; i < kNets; ++i) {
        const std::string a = "n" + std::to_string(i), b = "n" + std::to_string(i + 1);
        text += "R" + std::to_string(i) + " " + a + " " + b + " " + std::to_string(100 + 37 * i) +
                "\nRG" + std::to_string(i) + " " + b + " 0 10k\n";
        if (capacitors) {
            text += "C" + std::to_string(i) + " " + b + " 0 1n\n";
        }
    }
    return ParseNetlist(text, "ladder.cir");
}

Switch& Relay(Circuit& c, int net) {
    const std::string name = "k" + std::to_string(net);
    if (auto* s = c.findAs<Switch>(name)) {
        return *s;
    }
    return c.add<Switch>(name, c.node("n" + std::to_string(net)), c.node("line"), 0.2, 1e12, false);
}

TEST(VbenchRelayJoin, JoinedRelaysGiveTheAnswersOfAFreshSetUp) {
    struct Case {
        const char* what;
        int maxRank;    // -1: the system's own choice
        int closedEach; // relays closed in each round, on nets of their own
        bool ac;
        int rounds = 6;
        long maxFactorisations = -1; // -1: not counted
        bool loadVaries = false;     // the board's load resistor takes a new value each round
    } cases[] = {
        {"one part after another", -1, 2, false},
        {"more closed than an update takes: the pattern grows", 2, 4, false},
        {"small-signal solve with joined relays closed", -1, 2, true},
        // The first base holds the first part's relays closed; once they have stayed open long
        // enough the base is factorised again without them, and never again after that.
        {"many parts past a stale base", -1, 2, false, 40, 2},
        // A board resistor is kept loaded between solves until its value is set.
        {"a resistor set between parts", -1, 2, false, 6, -1, true},
    };
    const auto loadOhms = [](int round) { return 1000.0 + 250.0 * round; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Netlist board = Ladder(c.ac);
        Circuit kept;
        AddNetlist(kept, board);
        kept.system().setMaxUpdateRank(c.maxRank);
        // The first factorisation holds the first part's relays closed; being there at set-up,
        // they leak their picosiemens when open, and so do the fresh circuit's.
        const std::vector<int> first =
            c.maxFactorisations >= 0 ? std::vector<int>{1, 6} : std::vector<int>{};
        std::vector<int> closed = first;
        for (int net : closed) {
            Relay(kept, net).setClosed(true);
        }
        Solver solver(kept);
        ASSERT_TRUE(solver.operatingPoint().ok());
        const unsigned version = kept.topologyVersion();
        for (int round = 0; round < c.rounds; ++round) {
            for (int net : closed) {
                Relay(kept, net).setClosed(false);
            }
            closed.clear();
            for (int k = 0; k < c.closedEach; ++k) {
                closed.push_back(1 + (round * c.closedEach + k) * 5 % kNets);
            }
            for (int net : closed) {
                Relay(kept, net).setClosed(true);
            }
            if (c.loadVaries && round > 0) {
                kept.findAs<Resistor>("rm")->setResistance(loadOhms(round));
            }
            kept.setSolved(false);
            ASSERT_TRUE(solver.operatingPoint().ok()) << "round " << round;
            Circuit fresh;
            AddNetlist(fresh, board);
            for (int net : first) {
                Relay(fresh, net);
            }
            for (int net : closed) {
                Relay(fresh, net).setClosed(true);
            }
            if (c.loadVaries) {
                fresh.findAs<Resistor>("rm")->setResistance(loadOhms(round));
            }
            Solver freshSolver(fresh);
            ASSERT_TRUE(freshSolver.operatingPoint().ok());
            for (int i = 1; i <= kNets; i += 2) {
                const std::string net = "n" + std::to_string(i);
                EXPECT_NEAR(kept.voltage(net), fresh.voltage(net),
                            1e-9 + 1e-8 * std::fabs(fresh.voltage(net)))
                    << net << " in round " << round;
            }
            EXPECT_NEAR(kept.voltage("line"), fresh.voltage("line"), 1e-9) << "round " << round;
            if (c.ac) {
                const AcSolution a = solver.ac(1e5), b = freshSolver.ac(1e5);
                ASSERT_TRUE(a.ok && b.ok);
                const int line = *kept.findNode("line");
                EXPECT_LT(std::abs(a.x[static_cast<std::size_t>(line)] -
                                   b.x[static_cast<std::size_t>(*fresh.findNode("line"))]),
                          1e-9)
                    << "round " << round;
            }
        }
        EXPECT_EQ(kept.topologyVersion(), version) << "relays joined without a new set-up";
        if (c.maxFactorisations >= 0) {
            EXPECT_EQ(kept.system().realFactorisations(), c.maxFactorisations);
        }
    }
}

} // namespace
} // namespace kora::vbench
