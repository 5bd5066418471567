#include <vbench/circuit/mna.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kora::vbench {

namespace {

// A change is taken as an update up to this rank, and up to a quarter of the unknowns: beyond, its
// dense part costs more than the sparse factorisation it saves.
constexpr int kMaxUpdateRank = 32;
// Columns of the base's inverse kept at most, in multiples of the rank: rows changed and changed
// back again keep theirs until the store is full, when the columns of rows back at their base
// values make room.
constexpr int kKeptColumnsPerRank = 2;
// Largest residual of an updated solve, relative to the terms of its row: well above what a fresh
// factorisation leaves; a larger one means a capacitance matrix near singular.
constexpr double kResidualTolerance = 1e-10;

} // namespace

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
    columnOf_.assign(static_cast<std::size_t>(nnz), 0);
    for (int c = 0; c < unknowns_; ++c) {
        std::fill(columnOf_.begin() + outer[c], columnOf_.begin() + outer[c + 1], c);
    }
    realValues_.assign(static_cast<std::size_t>(nnz) + 1, 0.0);
    realFactorisations_ = 0;
    updatedSolves_ = 0;
    complexValues_.assign(static_cast<std::size_t>(nnz) + 1, Complex(0));

    const auto n = static_cast<std::size_t>(unknowns_);
    baseValues_.clear();
    baseOk_ = false;
    maxRank_ = maxRankSetting_ >= 0 ? maxRankSetting_
                                    : std::min(kMaxUpdateRank, std::max(2, unknowns_ / 4));
    g_.resize(unknowns_, kKeptColumnsPerRank * maxRank_);
    gColumnOfRow_.assign(n, -1);
    gRows_.clear();
    rowPos_.assign(n, -1);
    colPos_.assign(n, -1);
    rows_.clear();
    cols_.clear();
    changed_.clear();
    updating_ = false;
    y_.resize(unknowns_);
    residual_.resize(unknowns_);
    scale_.resize(unknowns_);
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

void MnaSystem::forgetChange() {
    for (int r : rows_) {
        rowPos_[static_cast<std::size_t>(r)] = -1;
    }
    for (int c : cols_) {
        colPos_[static_cast<std::size_t>(c)] = -1;
    }
    rows_.clear();
    cols_.clear();
    changed_.clear();
    updating_ = false;
}

bool MnaSystem::factorBase() {
    forgetChange();
    for (int r : gRows_) {
        gColumnOfRow_[static_cast<std::size_t>(r)] = -1;
    }
    gRows_.clear();
    const std::size_t nnz = static_cast<std::size_t>(real_.nonZeros());
    std::memcpy(real_.valuePtr(), realValues_.data(), sizeof(double) * nnz);
    realLu_.factorize(real_);
    ++realFactorisations_;
    baseOk_ = realLu_.info() == Eigen::Success;
    baseValues_.assign(realValues_.begin(), realValues_.begin() + static_cast<long>(nnz));
    if (baseOk_) {
        extractFactors();
    }
    return baseOk_;
}

void MnaSystem::extractFactors() {
    const auto n = static_cast<std::size_t>(unknowns_);
    lStart_.assign(n + 1, 0);
    uStart_.assign(n + 1, 0);
    lRow_.clear();
    lValue_.clear();
    uRow_.clear();
    uValue_.clear();
    uDiagonal_.assign(n, 0.0);
    const auto& supernodal = realLu_.matrixL().m_mapL;
    const auto upper = realLu_.matrixU();
    for (int j = 0; j < unknowns_; ++j) {
        const auto uj = static_cast<std::size_t>(j);
        // Column j of a supernode holds the upper part of its diagonal block, the diagonal and L.
        for (typename std::decay_t<decltype(supernodal)>::InnerIterator it(supernodal, j); it;
             ++it) {
            const int row = static_cast<int>(it.row());
            if (row > j) {
                lRow_.push_back(row);
                lValue_.push_back(it.value());
            } else if (row == j) {
                uDiagonal_[uj] = it.value();
            } else {
                uRow_.push_back(row);
                uValue_.push_back(it.value());
            }
        }
        for (typename std::decay_t<decltype(upper.m_mapU)>::InnerIterator it(upper.m_mapU, j); it;
             ++it) {
            uRow_.push_back(static_cast<int>(it.index()));
            uValue_.push_back(it.value());
        }
        lStart_[uj + 1] = static_cast<int>(lRow_.size());
        uStart_[uj + 1] = static_cast<int>(uRow_.size());
    }
}

void MnaSystem::baseSolve(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
    work_.noalias() = realLu_.rowsPermutation() * b;
    double* w = work_.data();
    for (int j = 0; j < unknowns_; ++j) {
        const double wj = w[j];
        if (wj == 0) {
            continue;
        }
        for (int k = lStart_[static_cast<std::size_t>(j)];
             k < lStart_[static_cast<std::size_t>(j) + 1]; ++k) {
            w[lRow_[static_cast<std::size_t>(k)]] -= lValue_[static_cast<std::size_t>(k)] * wj;
        }
    }
    for (int j = unknowns_ - 1; j >= 0; --j) {
        const auto uj = static_cast<std::size_t>(j);
        const double wj = w[j] /= uDiagonal_[uj];
        if (wj == 0) {
            continue;
        }
        for (int k = uStart_[uj]; k < uStart_[uj + 1]; ++k) {
            w[uRow_[static_cast<std::size_t>(k)]] -= uValue_[static_cast<std::size_t>(k)] * wj;
        }
    }
    x.noalias() = realLu_.colsPermutation().inverse() * work_;
}

bool MnaSystem::prepareUpdate() {
    forgetChange();
    const int nnz = static_cast<int>(real_.nonZeros());
    // Most solves of a run (a transient's steps, a reading's second solve) meet the base itself.
    if (std::memcmp(realValues_.data(), baseValues_.data(),
                    sizeof(double) * static_cast<std::size_t>(nnz)) == 0) {
        return true;
    }
    const int* inner = real_.innerIndexPtr();
    for (int k = 0; k < nnz; ++k) {
        if (realValues_[static_cast<std::size_t>(k)] == baseValues_[static_cast<std::size_t>(k)]) {
            continue;
        }
        changed_.push_back(k);
        const int r = inner[k], c = columnOf_[static_cast<std::size_t>(k)];
        int& rp = rowPos_[static_cast<std::size_t>(r)];
        if (rp < 0) {
            rp = static_cast<int>(rows_.size());
            rows_.push_back(r);
        }
        int& cp = colPos_[static_cast<std::size_t>(c)];
        if (cp < 0) {
            cp = static_cast<int>(cols_.size());
            cols_.push_back(c);
        }
        if (static_cast<int>(std::max(rows_.size(), cols_.size())) > maxRank_) {
            return false;
        }
    }
    if (changed_.empty()) {
        return true;
    }
    // The columns of the base's inverse for rows that changed for the first time.
    Eigen::VectorXd unit = Eigen::VectorXd::Zero(unknowns_);
    for (int r : rows_) {
        if (gColumnOfRow_[static_cast<std::size_t>(r)] >= 0) {
            continue;
        }
        if (static_cast<long>(gRows_.size()) >= g_.cols() && !evictColumns()) {
            return false;
        }
        unit[r] = 1;
        const long column = static_cast<long>(gRows_.size());
        y_.resize(unknowns_);
        baseSolve(unit, y_);
        g_.col(column) = y_;
        unit[r] = 0;
        gColumnOfRow_[static_cast<std::size_t>(r)] = static_cast<int>(column);
        gRows_.push_back(r);
    }
    const long p = static_cast<long>(rows_.size()), q = static_cast<long>(cols_.size());
    change_.setZero(p, q);
    for (int k : changed_) {
        const auto uk = static_cast<std::size_t>(k);
        change_(rowPos_[static_cast<std::size_t>(inner[k])],
                colPos_[static_cast<std::size_t>(columnOf_[uk])]) +=
            realValues_[uk] - baseValues_[uk];
    }
    // I + G[C,R] M, with G[C,R] gathered from the kept columns.
    Eigen::MatrixXd gcr(q, p);
    for (long j = 0; j < p; ++j) {
        const long column =
            gColumnOfRow_[static_cast<std::size_t>(rows_[static_cast<std::size_t>(j)])];
        for (long i = 0; i < q; ++i) {
            gcr(i, j) = g_(cols_[static_cast<std::size_t>(i)], column);
        }
    }
    Eigen::MatrixXd capacitance = Eigen::MatrixXd::Identity(q, q) + gcr * change_;
    capacitance_.compute(capacitance);
    updating_ = true;
    return true;
}

bool MnaSystem::evictColumns() {
    // Rows back at their base values need no column now; the rows of the present change keep
    // theirs, moved to the front in the order they were made.
    long kept = 0;
    std::vector<int> rows;
    rows.reserve(gRows_.size());
    for (int r : gRows_) {
        int& column = gColumnOfRow_[static_cast<std::size_t>(r)];
        if (rowPos_[static_cast<std::size_t>(r)] < 0) {
            column = -1;
            continue;
        }
        if (column != kept) {
            g_.col(kept) = g_.col(column);
        }
        column = static_cast<int>(kept++);
        rows.push_back(r);
    }
    gRows_ = std::move(rows);
    return kept < g_.cols();
}

bool MnaSystem::factorReal() {
    if (unknowns_ == 0) {
        return true;
    }
    const std::size_t nnz = static_cast<std::size_t>(real_.nonZeros());
    if (baseValues_.size() == nnz) {
        if (!baseOk_) {
            // A singular base stays singular for the same values; anything else is tried afresh.
            if (std::memcmp(baseValues_.data(), realValues_.data(), sizeof(double) * nnz) == 0) {
                return false;
            }
        } else if (maxRank_ > 0 && prepareUpdate()) {
            return true;
        }
    }
    return factorBase();
}

void MnaSystem::residual(const double* x, const double* b, Eigen::VectorXd& r,
                         Eigen::VectorXd& scale) const {
    const int* outer = real_.outerIndexPtr();
    const int* inner = real_.innerIndexPtr();
    r = Eigen::Map<const Eigen::VectorXd>(b, unknowns_);
    scale = r.cwiseAbs();
    for (int c = 0; c < unknowns_; ++c) {
        const double xc = x[c];
        for (int k = outer[c]; k < outer[c + 1]; ++k) {
            const double term = realValues_[static_cast<std::size_t>(k)] * xc;
            r[inner[k]] -= term;
            scale[inner[k]] += std::fabs(term);
        }
    }
}

bool MnaSystem::residualSmall(const Eigen::VectorXd& b, const Eigen::VectorXd& x) {
    residual(x.data(), b.data(), residual_, scale_);
    for (int i = 0; i < unknowns_; ++i) {
        if (!(std::fabs(residual_[i]) <= kResidualTolerance * scale_[i])) {
            return false;
        }
    }
    return true;
}

bool MnaSystem::solveReal(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
    if (unknowns_ == 0) {
        x.resize(0);
        return true;
    }
    if (!updating_) {
        baseSolve(b, x);
        return x.allFinite();
    }
    const long p = static_cast<long>(rows_.size()), q = static_cast<long>(cols_.size());
    auto updated = [&](const Eigen::VectorXd& rhs, Eigen::VectorXd& out) {
        baseSolve(rhs, y_);
        Eigen::VectorXd t(q);
        for (long i = 0; i < q; ++i) {
            t[i] = y_[cols_[static_cast<std::size_t>(i)]];
        }
        const Eigen::VectorXd u = change_ * capacitance_.solve(t);
        out = y_;
        for (long j = 0; j < p; ++j) {
            const auto row = static_cast<std::size_t>(rows_[static_cast<std::size_t>(j)]);
            out -= u[j] * g_.col(gColumnOfRow_[row]);
        }
    };
    updated(b, x);
    ++updatedSolves_;
    // One step of refinement brings an update whose capacitance matrix is poorly conditioned
    // back to the accuracy of a fresh factorisation; answers must not depend on the way taken.
    for (int pass = 0; pass < 2 && x.allFinite(); ++pass) {
        if (residualSmall(b, x)) {
            return true;
        }
        if (pass == 0) {
            const Eigen::VectorXd r = residual_;
            Eigen::VectorXd correction(unknowns_);
            updated(r, correction);
            x += correction;
        }
    }
    // The update lost accuracy (or the matrix is singular): the present matrix on its own.
    if (!factorBase()) {
        return false;
    }
    baseSolve(b, x);
    return x.allFinite();
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
