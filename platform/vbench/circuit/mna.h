// The modified-nodal-analysis system of a circuit: A x = b over node voltages and branch currents.
//
// Stamping happens in two phases. At setup each device asks once for the matrix positions it will
// write (row, column) and keeps the slot it gets back; after all devices have asked, the sparse
// pattern is built, every slot is resolved to an offset into the matrix's value array and the LU
// ordering is analysed. Every later load writes straight into those offsets, so a solve costs one
// pass over the devices and one numeric factorisation. A position in the ground row or column
// gets the sink slot, which nobody reads, so devices never test for ground while loading.
//
// The real matrix (DC, transient) and the complex one (AC) share the pattern and the slots.
#pragma once

#include <Eigen/SparseCore>
#include <Eigen/SparseLU>

#include <complex>
#include <vector>

namespace kora::vbench {

// Index of the ground node; it has no row or column.
constexpr int kGround = -1;

class MnaSystem {
  public:
    using Complex = std::complex<double>;
    using RealMatrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;
    using ComplexMatrix = Eigen::SparseMatrix<Complex, Eigen::ColMajor, int>;

    // Starts a new topology; all slots handed out before are void.
    void begin();
    // Asks for position (row, col); *slot receives its offset at finish(). The slot must stay at
    // the same address until then.
    void request(int row, int col, int* slot);
    // Builds the pattern over `unknowns` unknowns, resolves every requested slot and analyses the
    // ordering.
    void finish(int unknowns);

    int unknowns() const { return unknowns_; }
    int nonZeros() const { return static_cast<int>(real_.nonZeros()); }

    // Value arrays with one extra sink entry at the end; loads add into them.
    double* realValues() { return realValues_.data(); }
    Complex* complexValues() { return complexValues_.data(); }
    void clearReal();
    void clearComplex();

    // Factorises the loaded real matrix; false when it is singular. A matrix equal to the one
    // factorised last (a linear circuit stepping in time) keeps its factors.
    bool factorReal();
    // Numeric factorisations done since the topology was set up.
    long realFactorisations() const { return realFactorisations_; }
    // Solves with the last real factorisation; b has unknowns() entries.
    bool solveReal(const Eigen::VectorXd& b, Eigen::VectorXd& x);
    bool factorComplex();
    bool solveComplex(const Eigen::VectorXcd& b, Eigen::VectorXcd& x);

  private:
    struct Request {
        int row, col;
        int* slot;
    };
    int unknowns_ = 0;
    std::vector<Request> requests_;
    RealMatrix real_;
    ComplexMatrix complex_;
    std::vector<double> realValues_;
    std::vector<double> factoredValues_; // of the last real factorisation; empty when none
    bool factoredOk_ = false;
    long realFactorisations_ = 0;
    std::vector<Complex> complexValues_;
    Eigen::SparseLU<RealMatrix, Eigen::COLAMDOrdering<int>> realLu_;
    Eigen::SparseLU<ComplexMatrix, Eigen::COLAMDOrdering<int>> complexLu_;
    bool complexAnalysed_ = false;
};

} // namespace kora::vbench
