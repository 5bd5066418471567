// Transient steps on a board that is non-linear in one corner while a source's wave moves
// another: steps converge in one iteration while the junctions stay put, and a change made
// between steps (a relay) is in the next step's answer, not the kept matrix.
#include <vbench/circuit/circuit.h>
#include <vbench/circuit/elements.h>
#include <vbench/circuit/semiconductors.h>
#include <vbench/solver/solver.h>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace kora::vbench {
namespace {

constexpr double kHertz = 1000;
constexpr double kStep = 1e-6;

double Wave(double t) {
    return std::sin(2 * std::numbers::pi * kHertz * t);
}

// vcc - 1 kohm - d - diode - ground, with relay sw adding 100 ohm from d to ground; a sine
// source on a 1 kohm / 1 kohm divider (s) elsewhere.
void Build(Circuit& c, bool relayClosed) {
    auto& vcc = c.add<Source>("vcc", c.node("vcc"), kGround, Source::Mode::Voltage);
    vcc.setLevel(5);
    c.add<Resistor>("r1", c.node("vcc"), c.node("d"), 1e3);
    c.add<Diode>("d1", c.node("d"), kGround, DiodeParams{});
    c.add<Switch>("sw", c.node("d"), c.node("dl"), 1e-3, 1e12, relayClosed);
    c.add<Resistor>("rl", c.node("dl"), kGround, 100);
    auto& sine = c.add<Source>("sine", c.node("sin"), kGround, Source::Mode::Voltage);
    sine.setOutput(0, {}, Wave);
    c.add<Resistor>("ra", c.node("sin"), c.node("s"), 1e3);
    c.add<Resistor>("rb", c.node("s"), kGround, 1e3);
}

// The diode's voltage as a fresh operating point finds it (nothing on the board stores charge).
double DiodeVolts(bool relayClosed) {
    Circuit c;
    Build(c, relayClosed);
    EXPECT_TRUE(Solver(c).operatingPoint().ok());
    return c.voltage("d");
}

TEST(VbenchTransientSteps, OneIterationPerQuietStepAndRelayChangesTakeEffect) {
    Circuit c;
    Build(c, false);
    Solver solver(c);
    ASSERT_TRUE(solver.startTransient(Solver::Start::OperatingPoint).ok());
    struct Phase {
        const char* what;
        bool relayClosed;
    } phases[] = {{"relay open", false}, {"relay closed", true}, {"relay open again", false}};
    for (const auto& p : phases) {
        SCOPED_TRACE(p.what);
        c.findAs<Switch>("sw")->setClosed(p.relayClosed);
        const double expected = DiodeVolts(p.relayClosed);
        for (int i = 0; i < 200; ++i) {
            const SolveReport r = solver.step(kStep, Integration::BackwardEuler);
            ASSERT_TRUE(r.ok());
            if (i >= 2) {
                ASSERT_EQ(r.iterations, 1) << "step " << i;
            }
            ASSERT_NEAR(c.voltage("d"), expected, 1e-9) << "step " << i;
            ASSERT_NEAR(c.voltage("s"), Wave(c.time()) / 2, 1e-9) << "step " << i;
        }
    }
}

} // namespace
} // namespace kora::vbench
