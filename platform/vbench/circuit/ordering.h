// The column ordering of the MNA factorisation.
//
// A board's graph can be long and thin: nets joined in chains of parts, a few lines of the bus.
// The column minimum degree ordering (COLAMD) keeps the factors of such a graph as sparse as the
// matrix, but eliminates it along the chain, so that every unknown of a triangular solve waits for
// the one before it: on the largest connected ICT board (2,721 unknowns) the longest chain of
// dependencies in L and U was 2,599 unknowns long, and a solve ran at the latency of a load, a
// multiply and a store per unknown (23 us). Nested dissection orders each half of the graph before
// the few nets that separate them, recursively, so that the chains are as long as a leaf plus the
// separators above it (21 unknowns there), and the same solve takes 15 us with 1.8 times the
// entries in the factors. Where minimum degree leaves no long chain against the work of a solve
// (chain times kChainWork at most the matrix's entries) it stays: on the solver benchmark's
// banded board (ratio about 9; the connected ICT board's is 4) dissection fills the factors more
// and gains nothing. Small systems keep it too.
#pragma once

#include <Eigen/OrderingMethods>
#include <Eigen/SparseCore>

#include <vector>

namespace kora::vbench {

// Systems of at least this many unknowns may be ordered by nested dissection.
constexpr int kNestedDissectionFrom = 200;
// ... when the minimum degree order leaves a chain of unknowns longer than the matrix's entries
// divided by this.
constexpr int kChainWork = 6;

// The elimination order (old indices, first eliminated first) of the n unknowns of A, given by
// its compressed columns: `minimumDegree` as it stands, or nested dissection of the graph of
// A + A^T when that one leaves a long chain.
std::vector<int> BoardOrder(int n, const int* outer, const int* inner,
                            std::vector<int> minimumDegree);
// The height of the elimination tree of the graph of A + A^T eliminated in `order`: the longest
// chain of unknowns that a triangular solve computes one after another.
int EliminationHeight(int n, const int* outer, const int* inner, const std::vector<int>& order);

// An ordering functor for Eigen::SparseLU: the column minimum degree ordering, or from
// kNestedDissectionFrom unknowns on what BoardOrder makes of it.
template <typename StorageIndex> class BoardOrdering {
  public:
    using PermutationType = Eigen::PermutationMatrix<Eigen::Dynamic, Eigen::Dynamic, StorageIndex>;

    template <typename MatrixType> void operator()(const MatrixType& mat, PermutationType& perm) {
        const auto n = static_cast<int>(mat.cols());
        if (n < kNestedDissectionFrom || mat.rows() != mat.cols()) {
            Eigen::COLAMDOrdering<StorageIndex>()(mat, perm);
            return;
        }
        Eigen::COLAMDOrdering<StorageIndex>()(mat, perm);
        std::vector<int> order(static_cast<std::size_t>(n));
        for (int k = 0; k < n; ++k) {
            order[static_cast<std::size_t>(perm.indices()(k))] = k;
        }
        order = BoardOrder(n, mat.outerIndexPtr(), mat.innerIndexPtr(), std::move(order));
        for (int k = 0; k < n; ++k) {
            perm.indices()(order[static_cast<std::size_t>(k)]) = static_cast<StorageIndex>(k);
        }
    }
};

} // namespace kora::vbench
