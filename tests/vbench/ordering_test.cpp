// The elimination order of the MNA factorisation: always a permutation; short chains where the
// minimum degree order leaves a long one, and that order as it stands where it does not; and a
// long ladder solved in the new order still gives the voltages of its closed form.
#include <vbench/circuit/circuit.h>
#include <vbench/circuit/ordering.h>
#include <vbench/netlist/netlist_parser.h>
#include <vbench/solver/solver.h>

#include <gtest/gtest.h>

#include <Eigen/SparseCore>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace kora::vbench {
namespace {

using Pattern = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

Pattern Symmetric(int n, const std::vector<std::pair<int, int>>& edges) {
    std::vector<Eigen::Triplet<double>> t;
    for (int i = 0; i < n; ++i) {
        t.emplace_back(i, i, 1.0);
    }
    for (const auto& [a, b] : edges) {
        t.emplace_back(a, b, 1.0);
        t.emplace_back(b, a, 1.0);
    }
    Pattern m(n, n);
    m.setFromTriplets(t.begin(), t.end());
    m.makeCompressed();
    return m;
}

std::vector<std::pair<int, int>> Chain(int from, int to) {
    std::vector<std::pair<int, int>> edges;
    for (int v = from; v + 1 < to; ++v) {
        edges.emplace_back(v, v + 1);
    }
    return edges;
}

TEST(VbenchOrdering, LongChainsAreDissectedAndShortOnesKeepTheirOrder) {
    struct Case {
        const char* what;
        int n;
        std::vector<std::pair<int, int>> edges;
        int longestChain; // -1: the minimum degree order itself
    };
    std::vector<Case> cases;
    cases.push_back({"a chain", 3000, Chain(0, 3000), 40});
    {
        // A line of the bus joined to every tenth net: every net is two steps from every other.
        auto edges = Chain(0, 1500);
        for (int v = 0; v < 1500; v += 10) {
            edges.emplace_back(v, 1500);
        }
        cases.push_back({"a chain with a line to every tenth net", 1501, edges, 40});
    }
    {
        // Isolated parts, as on a board of single resistors: nothing to wait for.
        std::vector<std::pair<int, int>> edges;
        for (int v = 0; v + 1 < 1000; v += 2) {
            edges.emplace_back(v, v + 1);
        }
        cases.push_back({"isolated pairs", 1000, edges, -1});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Pattern m = Symmetric(c.n, c.edges);
        // The natural order eliminates a chain end to end.
        std::vector<int> natural(static_cast<std::size_t>(c.n));
        for (int v = 0; v < c.n; ++v) {
            natural[static_cast<std::size_t>(v)] = v;
        }
        const std::vector<int> order =
            BoardOrder(c.n, m.outerIndexPtr(), m.innerIndexPtr(), natural);
        std::vector<int> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted, natural) << "not a permutation";
        if (c.longestChain < 0) {
            EXPECT_EQ(order, natural);
        } else {
            EXPECT_LE(EliminationHeight(c.n, m.outerIndexPtr(), m.innerIndexPtr(), order),
                      c.longestChain);
        }
    }
}

TEST(VbenchOrdering, ALongLadderGivesTheVoltagesOfItsClosedForm) {
    // 400 rungs of 120 ohms with 8.2 k to ground at every node: far more unknowns than the
    // dissection needs, and a chain that minimum degree would eliminate end to end.
    constexpr int kRungs = 400;
    constexpr double kSeries = 120, kShunt = 8200, kVolts = 5;
    std::string text = "ladder\nV1 n0 0 DC 5\n";
    for (int i = 0; i < kRungs; ++i) {
        const std::string a = "n" + std::to_string(i), b = "n" + std::to_string(i + 1);
        text += "R" + std::to_string(i) + " " + a + " " + b + " 120\nRG" + std::to_string(i) + " " +
                b + " 0 8.2k\n";
    }
    Circuit c;
    AddNetlist(c, ParseNetlist(text, "ladder.cir"));
    ASSERT_TRUE(Solver(c).operatingPoint().ok());
    // What each node sees to ground, from the far end back; then each rung divides.
    std::vector<double> toGround(kRungs + 1);
    toGround[kRungs] = kShunt;
    for (int k = kRungs - 1; k >= 1; --k) {
        const double right = kSeries + toGround[static_cast<std::size_t>(k) + 1];
        toGround[static_cast<std::size_t>(k)] = kShunt * right / (kShunt + right);
    }
    double v = kVolts;
    for (int k = 1; k <= kRungs; ++k) {
        const double z = toGround[static_cast<std::size_t>(k)];
        v *= z / (kSeries + z);
        if (k % 37 == 1 || k == kRungs) {
            EXPECT_NEAR(c.voltage("n" + std::to_string(k)), v, 1e-9 + 1e-9 * v) << "n" << k;
        }
    }
}

} // namespace
} // namespace kora::vbench
