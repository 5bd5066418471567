#include <vbench/circuit/member_list.h>
#include <vbench/circuit/mna.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kora::vbench {

namespace {

// A change is taken as an update up to this rank, and up to half the unknowns: beyond, its dense
// part costs more than the sparse factorisation it saves. A board's Newton iterations move every
// junction at once: sixteen diodes and a relay already take 33 rows. On a small board the
// factorisation's own overhead dominates: a 100-part ICT board (93 unknowns) changes some 25 rows
// per part, and taking that as an update instead of factorising cut its solver's CPU per part from
// 65 to 18 us.
constexpr int kMaxUpdateRank = 48;
// Columns of the base's inverse kept at most, in multiples of the rank: rows changed and changed
// back again keep theirs until the store is full, when the columns of rows back at their base
// values make room.
constexpr int kKeptColumnsPerRank = 2;
// Largest residual of an updated solve, relative to the terms of its row: well above what a fresh
// factorisation leaves; a larger one means a capacitance matrix near singular.
constexpr double kResidualTolerance = 1e-10;
// Below this a residual (amperes in a node's row, volts in a branch's) is taken as rounding,
// whatever the size of the terms of its row: a thousandth of the solver's current tolerance.
constexpr double kResidualFloor = 1e-15;
// Rows besides those of the change whose residual an update checks, taking every row in turn
// over the solves of a run; only when one misses is the whole residual looked at.
constexpr int kSampledRows = 32;
// Sweeps over the rows that miss the tolerance, each correcting the row's own unknown.
constexpr int kPolishSweeps = 3;
// A node whose conductances add up to no more than this is held by leakage alone (the node
// shunts' and open relays' picosiemens): a gigaohm and more to everything.
constexpr double kWeaklyHeld = 1e-9;
// A row that misses by no more than this (amperes, or volts in a branch's row) is put right from
// its own row too: a tenth of the current a converged Newton iteration may leave at a node.
constexpr double kPassedOn = 1e-13;
// The base is factorised again without its stale positions when their entries are at least this
// fraction (one in kStaleShare) of the change.
constexpr long kStaleShare = 3;
// ... or when they have been part of so many changes in a row; and after the first such
// factorisation, at most once in so many updated solves.
constexpr long kStaleSolves = 8;
constexpr long kSolvesBetweenSteadyBases = 64;

} // namespace

void MnaSystem::begin() {
    unknowns_ = 0;
    everythingChanged();
    requests_.clear();
    extras_.clear();
    extraAt_.clear();
    complexAnalysed_ = false;
    ready_.clear();
    complexReady_.clear();
}

void MnaSystem::request(int row, int col, int* slot, bool switched) {
    requests_.push_back({row, col, slot, switched});
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

// Offset of (row, col) in a compressed pattern, -1 when it is not there.
int Find(const MnaSystem::RealMatrix& m, int row, int col) {
    const int* inner = m.innerIndexPtr();
    const int* begin = inner + m.outerIndexPtr()[col];
    const int* end = inner + m.outerIndexPtr()[col + 1];
    const int* at = std::lower_bound(begin, end, row);
    return at != end && *at == row ? static_cast<int>(at - inner) : -1;
}

} // namespace

int MnaSystem::extraIndex(int row, int col) {
    const long long key = static_cast<long long>(row) * unknowns_ + col;
    auto [it, fresh] = extraAt_.try_emplace(key, static_cast<int>(extras_.size()));
    if (fresh) {
        extras_.push_back({row, col, Find(real_, row, col)});
        if (row == col) {
            extraDiagonal_[static_cast<std::size_t>(row)] = it->second;
        }
    }
    return it->second;
}

int MnaSystem::resolve(const Request& r) {
    if (r.row < 0 || r.col < 0) {
        return static_cast<int>(patternSize_); // the sink
    }
    if (r.switched) {
        return static_cast<int>(extraValue(static_cast<std::size_t>(extraIndex(r.row, r.col))));
    }
    return Find(real_, r.row, r.col);
}

void MnaSystem::buildPattern(bool withExtras) {
    std::vector<std::pair<int, int>> positions;
    positions.reserve(requests_.size() + static_cast<std::size_t>(unknowns_));
    for (const auto& r : requests_) {
        if (r.row >= 0 && r.col >= 0 && !r.switched) {
            positions.emplace_back(r.row, r.col);
        }
    }
    if (withExtras) {
        for (const auto& e : extras_) {
            positions.emplace_back(e.row, e.col);
        }
    }
    // Every diagonal is in the pattern so that the ordering never meets a structurally empty row.
    for (int i = 0; i < unknowns_; ++i) {
        positions.emplace_back(i, i);
    }
    BuildPattern(real_, unknowns_, positions);
    BuildPattern(complex_, unknowns_, positions);
    patternSize_ = static_cast<std::size_t>(real_.nonZeros());
    for (const auto& r : requests_) {
        *r.slot = resolve(r);
    }
    for (auto& e : extras_) {
        e.offset = Find(real_, e.row, e.col);
    }
    diagonal_.resize(static_cast<std::size_t>(unknowns_));
    for (int i = 0; i < unknowns_; ++i) {
        diagonal_[static_cast<std::size_t>(i)] = Find(real_, i, i);
    }
    const int* outer = real_.outerIndexPtr();
    const int* inner = real_.innerIndexPtr();
    columnOf_.assign(patternSize_, 0);
    for (int c = 0; c < unknowns_; ++c) {
        std::fill(columnOf_.begin() + outer[c], columnOf_.begin() + outer[c + 1], c);
    }
    rowStart_.assign(static_cast<std::size_t>(unknowns_) + 1, 0);
    for (std::size_t k = 0; k < patternSize_; ++k) {
        ++rowStart_[static_cast<std::size_t>(inner[k]) + 1];
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(unknowns_); ++i) {
        rowStart_[i + 1] += rowStart_[i];
    }
    rowEntry_.resize(patternSize_);
    std::vector<int> next(rowStart_.begin(), rowStart_.end() - 1);
    for (std::size_t k = 0; k < patternSize_; ++k) {
        rowEntry_[static_cast<std::size_t>(next[static_cast<std::size_t>(inner[k])]++)] =
            static_cast<int>(k);
    }
}

void MnaSystem::finish(int unknowns) {
    unknowns_ = unknowns;
    extras_.clear();
    extraAt_.clear();
    extraDiagonal_.assign(static_cast<std::size_t>(unknowns_), -1);
    liveOfRow_.assign(static_cast<std::size_t>(unknowns_), {});
    livePlace_.clear();
    sampleStart_ = 0;
    buildPattern(false);
    ++layoutVersion_;
    everythingChanged();
    realValues_.assign(patternSize_ + 1 + extras_.size(), 0.0);
    complexValues_.assign(realValues_.size(), Complex(0));
    realFactorisations_ = 0;
    updatedSolves_ = 0;
    steadyAt_ = -1;

    const auto n = static_cast<std::size_t>(unknowns_);
    maxRank_ = maxRankSetting_ >= 0 ? maxRankSetting_
                                    : std::min(kMaxUpdateRank, std::max(2, unknowns_ / 2));
    g_.resize(unknowns_, kKeptColumnsPerRank * maxRank_);
    gColumnOfRow_.assign(n, -1);
    gRows_.clear();
    rowPos_.assign(n, -1);
    colPos_.assign(n, -1);
    rows_.clear();
    cols_.clear();
    forgetBase();
    ready_.clear();
    y_.resize(unknowns_);
    residual_.resize(unknowns_);
    scale_.resize(unknowns_);
    unit_ = Eigen::VectorXd::Zero(unknowns_);
    if (unknowns_ > 0) {
        realLu_.analyzePattern(real_);
    }
}

bool MnaSystem::append(int row, int col, int* slot, bool switched) {
    if (!switched && row >= 0 && col >= 0 && Find(real_, row, col) < 0) {
        return false;
    }
    requests_.push_back({row, col, slot, switched});
    const std::size_t before = extras_.size();
    *slot = resolve(requests_.back());
    if (extras_.size() != before) {
        // The new position is open (zero) in the values made ready and in the base.
        if (ready_.size() == realValues_.size()) {
            ready_.push_back(0.0);
        }
        realValues_.push_back(0.0);
        complexValues_.push_back(Complex(0));
    }
    return true;
}

void MnaSystem::mergeExtras() {
    const RealMatrix old = real_;
    const std::vector<double> oldReal = realValues_;
    const std::vector<Complex> oldComplex = complexValues_;
    const std::size_t oldSize = patternSize_;
    buildPattern(true);
    ++layoutVersion_;
    everythingChanged();
    realValues_.assign(patternSize_ + 1 + extras_.size(), 0.0);
    complexValues_.assign(realValues_.size(), Complex(0));
    for (int c = 0; c < unknowns_; ++c) {
        for (int k = old.outerIndexPtr()[c]; k < old.outerIndexPtr()[c + 1]; ++k) {
            const auto at = static_cast<std::size_t>(Find(real_, old.innerIndexPtr()[k], c));
            realValues_[at] = oldReal[static_cast<std::size_t>(k)];
            complexValues_[at] = oldComplex[static_cast<std::size_t>(k)];
        }
    }
    for (std::size_t k = 0; k < extras_.size(); ++k) {
        realValues_[extraValue(k)] = oldReal[oldSize + 1 + k];
        complexValues_[extraValue(k)] = oldComplex[oldSize + 1 + k];
    }
    forgetBase();
    ready_.clear();
    complexReady_.clear();
    complexAnalysed_ = false;
    realLu_.analyzePattern(real_);
}

bool MnaSystem::complexExtrasInPattern() const {
    for (std::size_t k = 0; k < extras_.size(); ++k) {
        if (complexValues_[extraValue(k)] != Complex(0) && extras_[k].offset < 0) {
            return false;
        }
    }
    return true;
}

double* MnaSystem::realValuesChanging(const std::vector<int>& offsets) {
    if (!allChanged_) {
        changedMark_.resize(realValues_.size(), 0);
        for (int k : offsets) {
            char& mark = changedMark_[static_cast<std::size_t>(k)];
            if (mark == 0) {
                mark = 1;
                changed_.push_back(k);
            }
        }
    }
    return realValues_.data();
}

void MnaSystem::trackBaseDifference(bool all) {
    offBaseAt_.resize(realValues_.size(), -1);
    const auto track = [&](std::size_t k) {
        SetMember(offBase_, offBaseAt_, static_cast<int>(k),
                  k != patternSize_ && realValues_[k] != baseValue(k));
    };
    if (all || !offBaseKnown_) {
        for (int k : offBase_) {
            offBaseAt_[static_cast<std::size_t>(k)] = -1;
        }
        offBase_.clear();
        // Most solves of a run (a transient's steps, a reading's second solve) meet the base's
        // pattern values unchanged.
        if (std::memcmp(realValues_.data(), baseValues_.data(), sizeof(double) * patternSize_) !=
            0) {
            for (std::size_t k = 0; k < patternSize_; ++k) {
                track(k);
            }
        }
        for (std::size_t k = patternSize_ + 1; k < realValues_.size(); ++k) {
            track(k);
        }
        offBaseKnown_ = true;
        return;
    }
    for (int k : changed_) {
        track(static_cast<std::size_t>(k));
    }
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
    changes_.clear();
    updating_ = false;
}

void MnaSystem::forgetBase() {
    forgetChange();
    for (int r : gRows_) {
        gColumnOfRow_[static_cast<std::size_t>(r)] = -1;
    }
    gRows_.clear();
    baseValues_.clear();
    baseExtras_.clear();
    baseKnown_ = false;
    baseOk_ = false;
    answerKnown_ = false;
    rhsColumnRows_.clear();
    offBaseKnown_ = false;
}

bool MnaSystem::factorValues(std::vector<double> extras) {
    double* values = real_.valuePtr();
    std::copy(realValues_.begin(), realValues_.begin() + static_cast<long>(patternSize_), values);
    for (std::size_t k = 0; k < extras.size(); ++k) {
        if (extras[k] != 0) {
            values[extras_[k].offset] += extras[k];
        }
    }
    realLu_.factorize(real_);
    ++realFactorisations_;
    baseOk_ = realLu_.info() == Eigen::Success;
    baseKnown_ = true;
    baseValues_.assign(realValues_.begin(), realValues_.begin() + static_cast<long>(patternSize_));
    baseExtras_ = std::move(extras);
    answerKnown_ = false;
    rhsColumnRows_.clear();
    offBaseKnown_ = false;
    staleSolves_ = 0;
    if (baseOk_) {
        extractFactors();
    }
    return baseOk_;
}

bool MnaSystem::factorBase(bool steady) {
    std::vector<double> extras(realValues_.begin() + static_cast<long>(patternSize_) + 1,
                               realValues_.end());
    if (steady) {
        // Only what was closed in the last base and still is: the instruments' own paths to the
        // bus stay, a component's needles go.
        for (std::size_t k = 0; k < extras.size(); ++k) {
            if (k >= baseExtras_.size() || baseExtras_[k] == 0) {
                extras[k] = 0;
            }
        }
    }
    forgetBase();
    for (std::size_t k = 0; k < extras.size(); ++k) {
        if (extras[k] != 0 && extras_[k].offset < 0) {
            mergeExtras();
            break;
        }
    }
    return factorValues(std::move(extras));
}

void MnaSystem::extractFactors() {
    const auto n = static_cast<std::size_t>(unknowns_);
    lStart_.assign(n + 1, 0);
    uStart_.assign(n + 1, 0);
    lRow_.clear();
    lValue_.clear();
    uRow_.clear();
    uValue_.clear();
    uDiagonalInverse_.assign(n, 0.0);
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
                uDiagonalInverse_[uj] = 1.0 / it.value();
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
        const double wj = w[j] *= uDiagonalInverse_[uj];
        if (wj == 0) {
            continue;
        }
        for (int k = uStart_[uj]; k < uStart_[uj + 1]; ++k) {
            w[uRow_[static_cast<std::size_t>(k)]] -= uValue_[static_cast<std::size_t>(k)] * wj;
        }
    }
    x.noalias() = realLu_.colsPermutation().inverse() * work_;
}

const Eigen::VectorXd& MnaSystem::baseAnswer(const Eigen::VectorXd& rhs) {
    // A reading drives a source or two: its answer is the sum of the base's inverse columns for
    // their rows, each solved once per base, at the cost of a pass over the unknowns apiece. The
    // pass that finds those rows also tells a right-hand side met before (a reading's second
    // solve), which then costs nothing more.
    int rows[kRhsColumns];
    int count = 0;
    for (int i = 0; i < unknowns_ && count <= kRhsColumns; ++i) {
        if (rhs[i] != 0) {
            if (count < kRhsColumns) {
                rows[count] = i;
            }
            ++count;
        }
    }
    if (count > kRhsColumns) {
        if (answerKnown_ && answerCount_ < 0 && answerRhs_.size() == rhs.size() &&
            answerRhs_ == rhs) {
            return answer_;
        }
        baseSolve(rhs, answer_);
        answerRhs_ = rhs;
        answerCount_ = -1;
        answerKnown_ = true;
        return answer_;
    }
    bool same = answerKnown_ && answerCount_ == count;
    for (int k = 0; k < count && same; ++k) {
        same = answerRows_[k] == rows[k] && answerValues_[k] == rhs[rows[k]];
    }
    if (same) {
        return answer_;
    }
    if (count == 0) {
        answer_.setZero(unknowns_);
    } else {
        answer_.noalias() = rhs[rows[0]] * rhsColumns_.col(rhsColumn(rows[0]));
        for (int k = 1; k < count; ++k) {
            answer_.noalias() += rhs[rows[k]] * rhsColumns_.col(rhsColumn(rows[k]));
        }
    }
    for (int k = 0; k < count; ++k) {
        answerRows_[k] = rows[k];
        answerValues_[k] = rhs[rows[k]];
    }
    answerCount_ = count;
    answerKnown_ = true;
    return answer_;
}

long MnaSystem::rhsColumn(int row) {
    const auto at = std::find(rhsColumnRows_.begin(), rhsColumnRows_.end(), row);
    if (at != rhsColumnRows_.end()) {
        return at - rhsColumnRows_.begin();
    }
    long column = static_cast<long>(rhsColumnRows_.size());
    if (column < kRhsColumns) {
        rhsColumnRows_.push_back(row);
    } else {
        column = nextRhsColumn_;
        nextRhsColumn_ = (nextRhsColumn_ + 1) % kRhsColumns;
        rhsColumnRows_[static_cast<std::size_t>(column)] = row;
    }
    rhsColumns_.resize(unknowns_, kRhsColumns);
    unit_[row] = 1;
    baseSolve(unit_, y_);
    unit_[row] = 0;
    rhsColumns_.col(column) = y_;
    return column;
}

bool MnaSystem::addChange(int row, int col, double delta) {
    changes_.push_back({row, col, delta});
    int& rp = rowPos_[static_cast<std::size_t>(row)];
    if (rp < 0) {
        rp = static_cast<int>(rows_.size());
        rows_.push_back(row);
    }
    int& cp = colPos_[static_cast<std::size_t>(col)];
    if (cp < 0) {
        cp = static_cast<int>(cols_.size());
        cols_.push_back(col);
    }
    return static_cast<int>(std::max(rows_.size(), cols_.size())) <= maxRank_;
}

bool MnaSystem::prepareUpdate() {
    forgetChange();
    trackBaseDifference(allChanged_);
    // In the order of the offsets, so that the same change always makes the same update.
    differing_.assign(offBase_.begin(), offBase_.end());
    std::sort(differing_.begin(), differing_.end());
    const int* inner = real_.innerIndexPtr();
    stale_ = 0;
    for (int offset : differing_) {
        const auto k = static_cast<std::size_t>(offset);
        const double v = realValues_[k];
        const double delta = v - baseValue(k);
        bool fits;
        if (k < patternSize_) {
            fits = addChange(inner[k], columnOf_[k], delta);
        } else {
            const Extra& e = extras_[k - patternSize_ - 1];
            stale_ += v == 0 ? 1 : 0;
            fits = addChange(e.row, e.col, delta);
        }
        if (!fits) {
            return false;
        }
    }
    if (changes_.empty()) {
        return true;
    }
    // The columns of the base's inverse for rows that changed for the first time.
    for (int r : rows_) {
        if (gColumnOfRow_[static_cast<std::size_t>(r)] >= 0) {
            continue;
        }
        if (static_cast<long>(gRows_.size()) >= g_.cols() && !evictColumns()) {
            return false;
        }
        unit_[r] = 1;
        const long column = static_cast<long>(gRows_.size());
        baseSolve(unit_, y_);
        g_.col(column) = y_;
        unit_[r] = 0;
        gColumnOfRow_[static_cast<std::size_t>(r)] = static_cast<int>(column);
        gRows_.push_back(r);
    }
    const long p = static_cast<long>(rows_.size()), q = static_cast<long>(cols_.size());
    change_.setZero(p, q);
    for (const Change& c : changes_) {
        change_(rowPos_[static_cast<std::size_t>(c.row)],
                colPos_[static_cast<std::size_t>(c.col)]) += c.delta;
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
    // A linear board's matrix stays the same from one transient step to the next, and a singular
    // one stays singular for the same values.
    const bool all = allChanged_ || ready_.size() != realValues_.size();
    const auto same = [&] {
        if (ready_.size() != realValues_.size()) {
            return false;
        }
        if (all) {
            return std::memcmp(ready_.data(), realValues_.data(), sizeof(double) * ready_.size()) ==
                   0;
        }
        return std::all_of(changed_.begin(), changed_.end(), [&](int k) {
            return ready_[static_cast<std::size_t>(k)] == realValues_[static_cast<std::size_t>(k)];
        });
    };
    if (same()) {
        forgetChangedOffsets();
        return readyOk_;
    }
    allChanged_ = all;
    trackLiveExtras();
    bool ok = true;
    bool updated = baseKnown_ && baseOk_ && maxRank_ > 0 && prepareUpdate();
    // A base that holds closed switched positions which are open now (the first component's
    // needles, closed when the board was first factorised) makes every later change larger and
    // its answers poorer, by a nanovolt: the base is factorised again with only the positions
    // that have stayed closed since, at once when they make up a good part of the change, and
    // otherwise (a card's coupling to the bus, left behind by the next card) once they have
    // stayed so for a while. Each such base holds fewer closed, so this ends; and a test that
    // moves relays of many at a time (a contact test) pays for it at most once in so many solves.
    staleSolves_ = updated && stale_ > 0 ? staleSolves_ + 1 : 0;
    if (updated && stale_ > 0 &&
        (stale_ * kStaleShare >= static_cast<long>(changes_.size()) ||
         staleSolves_ >= kStaleSolves) &&
        (steadyAt_ < 0 || updatedSolves_ - steadyAt_ >= kSolvesBetweenSteadyBases)) {
        steadyAt_ = updatedSolves_;
        updated = factorBase(true) && prepareUpdate();
    }
    if (!updated) {
        ok = factorBase(false);
    }
    if (allChanged_ || ready_.size() != realValues_.size()) {
        ready_ = realValues_;
    } else {
        for (int k : changed_) {
            ready_[static_cast<std::size_t>(k)] = realValues_[static_cast<std::size_t>(k)];
        }
    }
    readyOk_ = ok;
    forgetChangedOffsets();
    return ok;
}

void MnaSystem::trackLiveExtras() {
    livePlace_.resize(extras_.size(), -1);
    const auto track = [&](std::size_t k) {
        SetMember(liveOfRow_[static_cast<std::size_t>(extras_[k].row)], livePlace_,
                  static_cast<int>(k), realValues_[extraValue(k)] != 0);
    };
    if (allChanged_) {
        for (std::size_t k = 0; k < extras_.size(); ++k) {
            track(k);
        }
        return;
    }
    for (int offset : changed_) {
        if (static_cast<std::size_t>(offset) > patternSize_) {
            track(static_cast<std::size_t>(offset) - patternSize_ - 1);
        }
    }
}

void MnaSystem::everythingChanged() {
    changed_.clear();
    changedMark_.clear();
    allChanged_ = true;
}

void MnaSystem::forgetChangedOffsets() {
    for (int k : changed_) {
        changedMark_[static_cast<std::size_t>(k)] = 0;
    }
    changed_.clear();
    allChanged_ = false;
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
    for (std::size_t k = 0; k < extras_.size(); ++k) {
        const double term = realValues_[extraValue(k)] * x[extras_[k].col];
        r[extras_[k].row] -= term;
        scale[extras_[k].row] += std::fabs(term);
    }
}

double MnaSystem::rowResidual(int row, const Eigen::VectorXd& b, const Eigen::VectorXd& x,
                              double& scale) const {
    const auto i = static_cast<std::size_t>(row);
    double r = b[row];
    scale = std::fabs(r);
    for (int e = rowStart_[i]; e < rowStart_[i + 1]; ++e) {
        const auto k = static_cast<std::size_t>(rowEntry_[static_cast<std::size_t>(e)]);
        const double term = realValues_[k] * x[columnOf_[k]];
        r -= term;
        scale += std::fabs(term);
    }
    for (int extra : liveOfRow_[i]) {
        const auto k = static_cast<std::size_t>(extra);
        const double term = realValues_[extraValue(k)] * x[extras_[k].col];
        r -= term;
        scale += std::fabs(term);
    }
    return r;
}

double MnaSystem::diagonalValue(int row) const {
    double d = realValues_[static_cast<std::size_t>(diagonal_[static_cast<std::size_t>(row)])];
    const int extra = extraDiagonal_[static_cast<std::size_t>(row)];
    if (extra >= 0) {
        d += realValues_[extraValue(static_cast<std::size_t>(extra))];
    }
    return d;
}

bool MnaSystem::rowSmall(int row, const Eigen::VectorXd& b, Eigen::VectorXd& x) const {
    double scale = 0;
    const double r = rowResidual(row, b, x, scale);
    if (std::fabs(r) <= kResidualTolerance * scale + kResidualFloor) {
        return true;
    }
    // A node that only leakage holds (an idle bus line, an open needle) is the worst conditioned
    // part of an update, and the one whose own row puts it right; so is a row that misses by
    // rounding alone. What the correction passes on to the neighbours is at most the residual:
    // picoamperes against their siemens, or less than the solver's own tolerance.
    const double d = diagonalValue(row);
    if (d == 0) {
        // A branch's voltage equation (every node has its shunt): a tenth of a picovolt is
        // rounding.
        return std::fabs(r) <= kPassedOn;
    }
    if (!(std::fabs(d) <= kWeaklyHeld || std::fabs(r) <= kPassedOn)) {
        return false;
    }
    x[row] += r / d;
    return std::fabs(rowResidual(row, b, x, scale)) <= kResidualTolerance * scale + kResidualFloor;
}

bool MnaSystem::changeRowsSmall(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
    for (const auto* rows : {&rows_, &cols_}) {
        for (int r : *rows) {
            if (!rowSmall(r, b, x)) {
                return false;
            }
        }
    }
    for (int k = 0; k < std::min(kSampledRows, unknowns_); ++k) {
        if (!rowSmall(sampleStart_, b, x)) {
            return false;
        }
        sampleStart_ = (sampleStart_ + 1) % unknowns_;
    }
    return true;
}

bool MnaSystem::residualSmall(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
    for (int sweep = 0;; ++sweep) {
        residual(x.data(), b.data(), residual_, scale_);
        bool small = true;
        for (int i = 0; i < unknowns_; ++i) {
            const double r = residual_[i];
            if (std::fabs(r) <= kResidualTolerance * scale_[i] + kResidualFloor) {
                continue;
            }
            small = false;
            // A node that only picosiemens hold (an idle bus line) is the worst conditioned part
            // of an update; its own row puts it right, and its neighbours hardly feel it.
            const double diagonal = diagonalValue(i);
            if (diagonal != 0 && sweep < kPolishSweeps) {
                x[i] += r / diagonal;
            }
        }
        if (small) {
            return true;
        }
        if (sweep == kPolishSweeps) {
            return false;
        }
    }
}

bool MnaSystem::solveReal(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
    if (unknowns_ == 0) {
        x.resize(0);
        return true;
    }
    if (!updating_) {
        return finiteOrForget(b, x);
    }
    const long p = static_cast<long>(rows_.size()), q = static_cast<long>(cols_.size());
    auto updated = [&](const Eigen::VectorXd& rhs, Eigen::VectorXd& out) {
        const Eigen::VectorXd& y = baseAnswer(rhs);
        t_.resize(q);
        for (long i = 0; i < q; ++i) {
            t_[i] = y[cols_[static_cast<std::size_t>(i)]];
        }
        w_ = capacitance_.solve(t_);
        u_.noalias() = change_ * w_;
        // Four columns a pass: the answer is read and written once for four of them, the first
        // pass taking it from y.
        const auto column = [&](long j) {
            const auto row = static_cast<std::size_t>(rows_[static_cast<std::size_t>(j)]);
            return g_.col(gColumnOfRow_[row]).data();
        };
        out.resize(unknowns_);
        double* o = out.data();
        long j = 0;
        if (p >= 4) {
            const double *g0 = column(0), *g1 = column(1), *g2 = column(2), *g3 = column(3);
            const double u0 = u_[0], u1 = u_[1], u2 = u_[2], u3 = u_[3];
            const double* from = y.data();
            for (int i = 0; i < unknowns_; ++i) {
                o[i] = from[i] - (u0 * g0[i] + u1 * g1[i] + u2 * g2[i] + u3 * g3[i]);
            }
            j = 4;
        } else {
            out = y;
        }
        for (; j + 4 <= p; j += 4) {
            const double *g0 = column(j), *g1 = column(j + 1), *g2 = column(j + 2),
                         *g3 = column(j + 3);
            const double u0 = u_[j], u1 = u_[j + 1], u2 = u_[j + 2], u3 = u_[j + 3];
            for (int i = 0; i < unknowns_; ++i) {
                o[i] -= u0 * g0[i] + u1 * g1[i] + u2 * g2[i] + u3 * g3[i];
            }
        }
        for (; j < p; ++j) {
            const double* g = column(j);
            const double uj = u_[j];
            for (int i = 0; i < unknowns_; ++i) {
                o[i] -= uj * g[i];
            }
        }
        // The small solve gives the unknowns of the changed columns directly, without the
        // cancellation of y - G M w.
        for (long i = 0; i < q; ++i) {
            out[cols_[static_cast<std::size_t>(i)]] = w_[i];
        }
    };
    updated(b, x);
    ++updatedSolves_;
    if (changeRowsSmall(b, x)) {
        return true;
    }
    // One step of refinement brings an update whose capacitance matrix is poorly conditioned
    // back to the accuracy of a fresh factorisation; answers must not depend on the way taken.
    // Its correction is as small as the residual it answers, so rows that met the tolerance
    // before keep it: afterwards the rows that missed it, the change's and the sample are checked.
    if (x.allFinite()) {
        residual(x.data(), b.data(), residual_, scale_);
        missed_.clear();
        for (int i = 0; i < unknowns_; ++i) {
            if (!(std::fabs(residual_[i]) <= kResidualTolerance * scale_[i] + kResidualFloor)) {
                missed_.push_back(i);
            }
        }
        if (missed_.empty()) {
            return true;
        }
        const Eigen::VectorXd r = residual_;
        Eigen::VectorXd correction(unknowns_);
        updated(r, correction);
        x += correction;
        bool small = x.allFinite();
        for (std::size_t k = 0; k < missed_.size() && small; ++k) {
            small = rowSmall(missed_[k], b, x);
        }
        if ((small && changeRowsSmall(b, x)) || (x.allFinite() && residualSmall(b, x))) {
            return true;
        }
    }
    if (!factorBase(false)) {
        ready_.clear();
        return false;
    }
    return finiteOrForget(b, x);
}

bool MnaSystem::finiteOrForget(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
    baseSolve(b, x);
    if (!x.allFinite()) {
        ready_.clear();
        return false;
    }
    return true;
}

bool MnaSystem::factorComplex() {
    if (unknowns_ == 0) {
        return true;
    }
    if (!complexExtrasInPattern()) {
        mergeExtras();
    }
    // A part's measurement asks for the same matrix several times (its record, the catching up
    // while its sine runs): the factorisation of the whole board is kept for it.
    if (complexReady_.size() == complexValues_.size() &&
        std::memcmp(complexReady_.data(), complexValues_.data(),
                    sizeof(Complex) * complexReady_.size()) == 0) {
        return complexReadyOk_;
    }
    std::copy(complexValues_.begin(), complexValues_.begin() + static_cast<long>(patternSize_),
              complex_.valuePtr());
    for (std::size_t k = 0; k < extras_.size(); ++k) {
        const Complex v = complexValues_[extraValue(k)];
        if (v != Complex(0)) {
            complex_.valuePtr()[extras_[k].offset] += v;
        }
    }
    if (!complexAnalysed_) {
        complexLu_.analyzePattern(complex_);
        complexAnalysed_ = true;
    }
    complexLu_.factorize(complex_);
    complexReady_ = complexValues_;
    complexReadyOk_ = complexLu_.info() == Eigen::Success;
    return complexReadyOk_;
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
