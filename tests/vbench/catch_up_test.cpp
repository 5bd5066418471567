// Catching up with elapsed time: a linear board driven by levels and sines is taken apart into
// the sines' steady state and a few long steps of the rest; its end state must agree with the
// fine backward-Euler stepping that every other board still gets.
#include <vbench/circuit/circuit.h>
#include <vbench/circuit/elements.h>
#include <vbench/netlist/netlist_parser.h>
#include <vbench/solver/solver.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

namespace kora::vbench {
namespace {

// The bench's catch-up step for an interval: a thousandth of it, or a microsecond when that is
// longer.
double CatchUpStep(double elapsed) {
    return std::max(elapsed / 1000, std::min(1e-6, elapsed));
}

TEST(VbenchCatchUp, SplitEndStateAgreesWithFineStepping) {
    struct Case {
        const char* what;
        const char* netlist;
        double charged; // volts on c1 at the start
        double hertz;   // of the board's sine, 0 without one
        // How each of the two calls goes: 'F' fine steps as before, 'S' the rest in long steps
        // (after a few probing ones), 'P' probing steps alone find the rest still.
        const char* path;
    } cases[] = {
        {"RC low-pass driven by a sine from empty",
         "rc\nV1 in 0 SIN(0 1 1k)\nR1 in out 100\nC1 out 0 1u\n.end\n", 0, 1e3, "SP"},
        {"series RLC with an offset sine, charged",
         "rlc\nV1 in 0 SIN(0.5 0.2 1k 0 0 30)\nR1 in a 10\nL1 a b 1m\nC1 b 0 1u\n.end\n", 2, 1e3,
         "SP"},
        {"a fast RC settling on its sine within the probing steps",
         "fast\nV1 in 0 SIN(0 1 1k)\nR1 in out 1\nC1 out 0 1u\n.end\n", 0.5, 1e3, "PP"},
        {"10 kHz sine through a leaky capacitor",
         "leak\nV1 in 0 SIN(0 1 10k)\nR1 in out 10\nC1 out 0 1u\nR2 out 0 1k\n.end\n", -1, 10e3,
         "SP"},
        {"a charged capacitor behind a level",
         "dc\nV1 in 0 DC 5\nR1 in out 1k\nC1 out 0 1u\nR2 out 0 10k\n.end\n", 1, 0, "SS"},
        {"a sine that starts later",
         "late\nV1 in 0 SIN(0 1 1k 1)\nR1 in out 100\nC1 out 0 1u\n.end\n", 0, 0, "FF"},
        {"a pulse",
         "pulse\nV1 in 0 PULSE(0 1 0 1u 1u 0.2m 0.5m)\nR1 in out 100\nC1 out 0 1u\n.end\n", 0, 0,
         "FF"},
        {"a diode",
         "diode\nV1 in 0 SIN(0 1 1k)\nR1 in out 100\nD1 out 0 dx\nC1 out 0 1u\n"
         ".model dx D(IS=1e-14)\n.end\n",
         0, 0, "FF"},
    };
    for (const auto& c : cases) {
        const Netlist netlist = ParseNetlist(c.netlist, "case.cir");
        Circuit split, fine;
        AddNetlist(split, netlist);
        AddNetlist(fine, netlist);
        Solver splitSolver(split), fineSolver(fine);
        for (auto* s : {&splitSolver, &fineSolver}) {
            ASSERT_TRUE(s->startTransient(Solver::Start::Discharged).ok()) << c.what;
        }
        split.findAs<Capacitor>("c1")->setVoltage(c.charged);
        fine.findAs<Capacitor>("c1")->setVoltage(c.charged);
        // Two calls in a row: the second starts from the memory the first put together.
        for (double elapsed : {2.5e-3, 1.01e-3}) {
            const char path = c.path[elapsed < 2e-3 ? 1 : 0];
            const bool apart = path != 'F';
            const double h = CatchUpStep(elapsed);
            const SolveReport r = splitSolver.catchUp(elapsed, h);
            ASSERT_TRUE(r.ok()) << c.what;
            // The fine stepping in chunks, for the peaks that the tolerances scale with.
            double volts = 0, amps = 0;
            constexpr int kChunks = 20;
            for (int k = 0; k < kChunks; ++k) {
                ASSERT_TRUE(
                    fineSolver.advance(elapsed / kChunks, h, Integration::BackwardEuler).ok())
                    << c.what;
                for (int i = 0; i < fine.unknowns(); ++i) {
                    double& peak = fine.isCurrent(i) ? amps : volts;
                    peak = std::max(peak, std::fabs(fine.solution()[i]));
                }
            }
            const double steps = std::round(elapsed / h);
            // At most 64 probing steps, then the long ones.
            const char taken = r.iterations >= steps / 2 ? 'F' : r.iterations > 64 ? 'S' : 'P';
            EXPECT_EQ(taken, path) << c.what << ": " << r.iterations << " iterations";
            EXPECT_NEAR(split.time(), fine.time(), 1e-15) << c.what;
            // Fine stepping lags a sine by w h / 2 of its amplitude, and the split's few long
            // steps follow a decay to within a third of a percent of its start: 1 % of the peak
            // voltage, and w h of it, covers both; currents likewise of the peak current. The
            // other boards are stepped as before, only in one call instead of chunks.
            const double share = apart ? 0.01 + 2 * std::numbers::pi * c.hertz * h : 1e-9;
            for (int i = 0; i < fine.unknowns(); ++i) {
                EXPECT_NEAR(split.solution()[i], fine.solution()[i],
                            share * (fine.isCurrent(i) ? amps : volts))
                    << c.what << ", unknown " << i << " after " << elapsed;
            }
            EXPECT_NEAR(split.findAs<Capacitor>("c1")->voltage(),
                        fine.findAs<Capacitor>("c1")->voltage(), share * volts)
                << c.what;
            if (auto* l = split.findAs<Inductor>("l1")) {
                EXPECT_NEAR(l->current(), fine.findAs<Inductor>("l1")->current(), share * amps)
                    << c.what;
            }
        }
    }
}

} // namespace
} // namespace kora::vbench
