// The solver against ngspice on the reference boards of tests/vbench/data: DC operating points,
// AC at one frequency and transients, compared number by number. Linear boards must agree to
// 1e-6 relative, boards with semiconductors to 1e-3.
#include "vbench/ngspice_runner.h"

#include <vbench/circuit/circuit.h>
#include <vbench/circuit/elements.h>
#include <vbench/netlist/netlist_parser.h>
#include <vbench/solver/solver.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace kora::vbench {
namespace {

using testing::NgspicePath;
using testing::ReadText;
using testing::RunNgspice;
using testing::VbenchDataDir;

constexpr double kLinear = 1e-6;
constexpr double kNonlinear = 1e-3;

struct Board {
    std::string text;
    Netlist netlist;
    Circuit circuit;
};

std::unique_ptr<Board> LoadBoard(const std::string& file) {
    auto b = std::make_unique<Board>();
    const std::string path = VbenchDataDir() + file;
    b->text = ReadText(path);
    b->netlist = ParseNetlist(b->text, path);
    AddNetlist(b->circuit, b->netlist);
    return b;
}

// "v(node)" or "i(vsource)" (SPICE's sign: positive into the + terminal) from a solution vector.
template <typename T> T Probe(const Circuit& c, const std::vector<T>& x, const std::string& probe) {
    const std::string inner = probe.substr(2, probe.size() - 3);
    if (probe[0] == 'v') {
        auto node = c.findNode(inner);
        EXPECT_TRUE(node.has_value()) << probe;
        return node && *node >= 0 ? x[static_cast<std::size_t>(*node)] : T(0);
    }
    auto* src = c.findAs<Source>(inner);
    EXPECT_NE(src, nullptr) << probe;
    return src ? -x[static_cast<std::size_t>(src->branch())] : T(0);
}

std::string Num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.12g", v);
    return text;
}

bool Close(std::complex<double> ours, std::complex<double> ref, double rel, double floor) {
    return std::abs(ours - ref) <= rel * std::abs(ref) + floor;
}

// Absolute floor of a comparison: the solver ties every node to ground through 1e-12 S so that a
// floating net has a voltage, which ngspice does not; a source current may differ by that much.
double Floor(const std::string& probe) {
    return probe[0] == 'i' ? 1e-11 : 1e-9;
}

// Difference relative to the reference, for the record; values near the floor are left out.
double Relative(std::complex<double> ours, std::complex<double> ref, double floor) {
    return std::abs(ref) < 1e3 * floor ? 0.0 : std::abs(ours - ref) / std::abs(ref);
}

#define SKIP_WITHOUT_NGSPICE()                                                                     \
    if (NgspicePath().empty()) {                                                                   \
        GTEST_SKIP() << "ngspice is not installed";                                                \
    }

struct OpCase {
    const char* file;
    std::vector<std::string> probes;
    double tolerance;
};

class VbenchNgspiceOp : public ::testing::TestWithParam<OpCase> {};

TEST_P(VbenchNgspiceOp, OperatingPointAgrees) {
    SKIP_WITHOUT_NGSPICE();
    const OpCase& c = GetParam();
    auto board = LoadBoard(c.file);
    std::vector<std::string> control = {"op"};
    for (const auto& p : c.probes) {
        control.push_back("print " + p);
    }
    auto ref = RunNgspice(board->text, control);
    ASSERT_TRUE(ref.ran) << ref.log;

    Solver solver(board->circuit);
    SolveReport r = solver.operatingPoint();
    ASSERT_TRUE(r.ok()) << SolveStatusName(r.status);
    double worst = 0;
    for (const auto& p : c.probes) {
        ASSERT_TRUE(ref.values.count(p)) << p << " missing in ngspice output:\n" << ref.log;
        const double ours = Probe(board->circuit, board->circuit.solution(), p);
        const double theirs = ref.values[p].real();
        worst = std::max(worst, Relative(ours, theirs, Floor(p)));
        EXPECT_TRUE(Close(ours, theirs, c.tolerance, Floor(p)))
            << c.file << " " << p << ": ours " << ours << ", ngspice " << theirs << ", relative "
            << std::fabs(ours - theirs) / std::fabs(theirs);
    }
    RecordProperty("worst_relative_difference", Num(worst));
}

INSTANTIATE_TEST_SUITE_P(
    Boards, VbenchNgspiceOp,
    ::testing::Values(
        OpCase{"resistor_mesh.cir", {"v(t1)", "v(t2)", "v(t3)", "v(mid)", "i(v1)"}, kLinear},
        OpCase{"ladder.cir", {"v(n1)", "v(n2)", "v(n3)", "v(out)", "i(v1)", "i(v2)"}, kLinear},
        OpCase{"relay.cir", {"v(k1)", "v(k2)", "v(k3)", "v(k4)", "i(vsrc)", "i(vcoil)"}, kLinear},
        OpCase{"rlc_series.cir", {"v(a)", "v(b)", "v(out)", "i(v1)"}, kLinear},
        OpCase{"diode_forward.cir", {"v(a)", "v(b)", "v(c)", "i(v1)"}, kNonlinear},
        OpCase{"zener_regulator.cir", {"v(z)", "v(v1)", "v(vm)", "i(v1)", "i(v2)"}, kNonlinear},
        OpCase{"bjt_amplifier.cir", {"v(b)", "v(c)", "v(e)", "i(vcc)"}, kNonlinear},
        OpCase{"bjt_pnp_switch.cir", {"v(out)", "v(pb)", "v(nb)", "v(bn)", "i(vcc)"}, kNonlinear},
        OpCase{"fet_switch.cir", {"v(d)", "v(out)", "v(x)", "i(vdd)", "i(vin)"}, kNonlinear},
        OpCase{"photocoupler.cir", {"v(a)", "v(b)", "v(c)", "i(vled)", "i(vcc)"}, kNonlinear}),
    [](const auto& info) {
        std::string n = info.param.file;
        return n.substr(0, n.find('.'));
    });

struct AcCase {
    const char* file;
    double hertz;
    std::vector<std::string> probes;
    double tolerance;
};

class VbenchNgspiceAc : public ::testing::TestWithParam<AcCase> {};

TEST_P(VbenchNgspiceAc, SingleFrequencyAgrees) {
    SKIP_WITHOUT_NGSPICE();
    const AcCase& c = GetParam();
    auto board = LoadBoard(c.file);
    const std::string f = Num(c.hertz);
    std::vector<std::string> control = {"ac lin 1 " + f + " " + f};
    for (const auto& p : c.probes) {
        control.push_back("print " + p);
    }
    auto ref = RunNgspice(board->text, control);
    ASSERT_TRUE(ref.ran) << ref.log;

    Solver solver(board->circuit);
    AcSolution ac = solver.ac(c.hertz);
    ASSERT_TRUE(ac.ok);
    double worst = 0;
    for (const auto& p : c.probes) {
        ASSERT_TRUE(ref.values.count(p)) << p << " missing in ngspice output:\n" << ref.log;
        const std::complex<double> ours = Probe(board->circuit, ac.x, p);
        const std::complex<double> theirs = ref.values[p];
        worst = std::max(worst, Relative(ours, theirs, Floor(p)));
        EXPECT_TRUE(Close(ours, theirs, c.tolerance, Floor(p)))
            << c.file << " " << p << ": ours " << ours << ", ngspice " << theirs << ", relative "
            << std::abs(ours - theirs) / std::abs(theirs);
    }
    RecordProperty("worst_relative_difference", Num(worst));
}

INSTANTIATE_TEST_SUITE_P(
    Boards, VbenchNgspiceAc,
    ::testing::Values(AcCase{"rc_lowpass.cir", 1000, {"v(out)", "i(v1)"}, kLinear},
                      AcCase{"rl_highpass.cir", 1000, {"v(out)", "i(v1)"}, kLinear},
                      AcCase{"rlc_series.cir", 2400, {"v(a)", "v(b)", "v(out)"}, kLinear},
                      AcCase{"diode_forward.cir", 1e6, {"v(a)", "v(b)", "v(c)"}, kNonlinear},
                      AcCase{"zener_regulator.cir", 1e5, {"v(z)", "i(v1)"}, kNonlinear},
                      AcCase{"bjt_amplifier.cir", 1000, {"v(b)", "v(c)", "v(e)"}, kNonlinear},
                      AcCase{"fet_switch.cir", 1e6, {"v(out)", "i(vin)"}, kNonlinear}),
    [](const auto& info) {
        std::string n = info.param.file;
        return n.substr(0, n.find('.'));
    });

struct TranCase {
    const char* file;
    const char* probe;
    double step, stop;
    double tolerance; // of the largest value of the probe
};

class VbenchNgspiceTransient : public ::testing::TestWithParam<TranCase> {};

TEST_P(VbenchNgspiceTransient, WaveformAgrees) {
    SKIP_WITHOUT_NGSPICE();
    const TranCase& c = GetParam();
    auto board = LoadBoard(c.file);
    // ngspice steps at most a tenth of ours, so that its own time-step error stays below ours.
    auto ref =
        RunNgspice(board->text,
                   {"tran " + Num(c.step) + " " + Num(c.stop) + " 0 " + Num(c.step / 10)}, c.probe);
    ASSERT_TRUE(ref.ran) << ref.log;
    ASSERT_GT(ref.table.size(), 10u) << ref.log;

    Solver solver(board->circuit);
    ASSERT_TRUE(solver.startTransient(Solver::Start::OperatingPoint).ok());
    double peak = 0, worst = 0, worstAt = 0;
    std::size_t row = 0;
    const long steps = std::lround(c.stop / c.step);
    for (long k = 1; k <= steps; ++k) {
        ASSERT_TRUE(solver.step(c.step, Integration::Trapezoidal).ok()) << "step " << k;
        const double t = board->circuit.time();
        while (row + 1 < ref.table.size() && ref.table[row + 1][0] < t) {
            ++row;
        }
        if (row + 1 >= ref.table.size()) {
            break;
        }
        const auto& a = ref.table[row];
        const auto& b = ref.table[row + 1];
        const double theirs = a[1] + (b[1] - a[1]) * (t - a[0]) / (b[0] - a[0]);
        const double ours = Probe(board->circuit, board->circuit.solution(), c.probe);
        peak = std::max(peak, std::fabs(theirs));
        if (std::fabs(ours - theirs) > worst) {
            worst = std::fabs(ours - theirs);
            worstAt = t;
        }
    }
    ASSERT_GT(peak, 0);
    RecordProperty("worst_difference_of_peak", Num(worst / peak));
    EXPECT_LE(worst / peak, c.tolerance)
        << c.file << " " << c.probe << ": largest difference " << worst << " at t = " << worstAt
        << " for a peak of " << peak;
}

INSTANTIATE_TEST_SUITE_P(
    Boards, VbenchNgspiceTransient,
    ::testing::Values(TranCase{"rc_lowpass.cir", "v(out)", 1e-6, 3e-3, kLinear},
                      TranCase{"rl_highpass.cir", "v(out)", 2e-7, 1.5e-3, kLinear},
                      TranCase{"rlc_series.cir", "v(out)", 2e-7, 2e-3, kLinear},
                      TranCase{"rectifier.cir", "v(out)", 1e-6, 3e-3, kNonlinear}),
    [](const auto& info) {
        std::string n = info.param.file;
        return n.substr(0, n.find('.'));
    });

} // namespace
} // namespace kora::vbench
