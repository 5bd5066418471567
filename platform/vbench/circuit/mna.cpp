#include <vbench/circuit/mna.h>

#include <algorithm>
#include <cstring>

namespace kora::vbench {

void MnaSystem::begin() {
    unknowns_ = 0;
    requests_.clear();
    complexAnalysed_ = false;
}

void MnaSystem::request(int row, int col, int* slot) {
    requests_.push_back({row, col, slot});
}

namespace {

template <typename Matrix>
void BuildPattern(Matrix& m, int n, const std::vector<std::pair<int, int>>& positions) {
    using Scalar = typename Matrix::Scalar;
    std::vector<Eigen::Triplet<Scalar>> triplets;
    triplets.reserve(positions.size());
    for (auto [r, c] : positions) {
        triplets.emplace_back(r, c, Scalar(0));
    }
    m.resize(n, n);
    m.setFromTriplets(triplets.begin(), triplets.end());
    m.makeCompressed();
}

} // namespace

void MnaSystem::finish(int unknowns) {
    unknowns_ = unknowns;
    std::vector<std::pair<int, int>> positions;
    positions.reserve(requests_.size() + static_cast<std::size_t>(unknowns_));
    for (const auto& r : requests_) {
        if (r.row >= 0 && r.col >= 0) {
            positions.emplace_back(r.row, r.col);
        }
    }
    // Every diagonal is in the pattern so that the ordering never meets a structurally empty row.
    for (int i = 0; i < unknowns_; ++i) {
        positions.emplace_back(i, i);
    }
    BuildPattern(real_, unknowns_, positions);
    BuildPattern(complex_, unknowns_, positions);
    const int nnz = static_cast<int>(real_.nonZeros());
    const int* outer = real_.outerIndexPtr();
    const int* inner = real_.innerIndexPtr();
    for (const auto& r : requests_) {
        if (r.row < 0 || r.col < 0) {
            *r.slot = nnz; // the sink
            continue;
        }
        const int* begin = inner + outer[r.col];
        const int* end = inner + outer[r.col + 1];
        const int* at = std::lower_bound(begin, end, r.row);
        *r.slot = static_cast<int>(at - inner);
    }
    requests_.clear();
    realValues_.assign(static_cast<std::size_t>(nnz) + 1, 0.0);
    factoredValues_.clear();
    realFactorisations_ = 0;
    complexValues_.assign(static_cast<std::size_t>(nnz) + 1, Complex(0));
    if (unknowns_ > 0) {
        realLu_.analyzePattern(real_);
    }
}

void MnaSystem::clearReal() {
    std::fill(realValues_.begin(), realValues_.end(), 0.0);
}

void MnaSystem::clearComplex() {
    std::fill(complexValues_.begin(), complexValues_.end(), Complex(0));
}

bool MnaSystem::factorReal() {
    if (unknowns_ == 0) {
        return true;
    }
    const std::size_t nnz = static_cast<std::size_t>(real_.nonZeros());
    if (factoredValues_.size() == nnz &&
        std::memcmp(factoredValues_.data(), realValues_.data(), sizeof(double) * nnz) == 0) {
        return factoredOk_;
    }
    std::memcpy(real_.valuePtr(), realValues_.data(), sizeof(double) * nnz);
    realLu_.factorize(real_);
    ++realFactorisations_;
    factoredOk_ = realLu_.info() == Eigen::Success;
    factoredValues_.assign(realValues_.begin(), realValues_.begin() + static_cast<long>(nnz));
    return factoredOk_;
}

bool MnaSystem::solveReal(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
    if (unknowns_ == 0) {
        x.resize(0);
        return true;
    }
    x = realLu_.solve(b);
    return realLu_.info() == Eigen::Success && x.allFinite();
}

bool MnaSystem::factorComplex() {
    if (unknowns_ == 0) {
        return true;
    }
    std::copy(complexValues_.begin(), complexValues_.end() - 1, complex_.valuePtr());
    if (!complexAnalysed_) {
        complexLu_.analyzePattern(complex_);
        complexAnalysed_ = true;
    }
    complexLu_.factorize(complex_);
    return complexLu_.info() == Eigen::Success;
}

bool MnaSystem::solveComplex(const Eigen::VectorXcd& b, Eigen::VectorXcd& x) {
    if (unknowns_ == 0) {
        x.resize(0);
        return true;
    }
    x = complexLu_.solve(b);
    return complexLu_.info() == Eigen::Success && x.allFinite();
}

} // namespace kora::vbench
