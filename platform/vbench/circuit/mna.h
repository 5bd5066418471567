// The modified-nodal-analysis system of a circuit: A x = b over node voltages and branch currents.
//
// Stamping happens in two phases. At setup each device asks once for the matrix positions it will
// write (row, column) and keeps the slot it gets back; after all devices have asked, the sparse
// pattern is built, every slot is resolved to an offset into the matrix's value array and the LU
// ordering is analysed. Every later load writes straight into those offsets, so a solve costs one
// pass over the devices and one solve. A position in the ground row or column gets the sink slot,
// which nobody reads, so devices never test for ground while loading.
//
// Solving after a change: low-rank updates of a kept factorisation. Between two solves a bench
// changes a few entries (a relay, a source's mode, the junctions of a non-linear board during its
// Newton iterations, a transient's non-linear parts from step to step), while the numeric
// factorisation of the whole board costs some forty solves of it. So the system keeps the
// factorisation of a base matrix A0 and solves A = A0 + D, D non-zero in a few rows R and columns
// C, by the Sherman-Morrison-Woodbury identity:
//   A^-1 b = y - G M (I + G[C,:] M)^-1 y[C],  y = A0^-1 b,  G = A0^-1 E_R,  M = D[R,C],
// where the columns of G, one solve each, are kept for every row that has changed since the base
// was factorised (a relay that opens again costs nothing more); when their store is full, the
// columns of rows back at their base values make room, so that a run over many parts, each
// changing rows of its own, keeps its base. Each solve is checked by its residual against the
// present matrix (first over the rows of the change and a rotating sample of the others, then,
// when one misses, over all rows), refined once, and rows that still miss (a node that only
// picosiemens hold) get their own unknown corrected from their own row; when the change grows
// past a small rank or the residual stays large, the present matrix is factorised afresh and
// becomes the base. A row of the first check that misses by rounding alone, or that only leakage
// holds, is corrected from its own row at once: on the ICT boards that was nine solves in ten
// paying for the whole residual and a refinement. A base factorised with a component's needles
// closed is stale as soon as they open: every later change carries them, and its answers drift by
// nanovolts; so once they make up a good part of a change, or have stayed in it for a while, the
// base is factorised again with only the switched positions closed in the last base and still
// closed (the instruments' paths). We
// chose this over a faster refactorisation (KLU would take about 0.2 ms on a 1,000-net board, still
// four times the budget of a relay change, and would add a dependency) and over reducing the board
// to the nets the instruments reach (every net of a board is reachable by some needle, and a
// reduction would have to be redone whenever a relay joins a new net).
//
// Not chosen, measured on the ICT benchmarks: creating every relay of the wired matrix pins up
// front, open, so that a part's first use of its needles changes values only. The topology then
// stays, but each card line becomes a hub of the factors joined to all its pins, a capacitor
// board's every transient step pays for the open relays (four times the CPU per capacitor), and
// the updates still miss their residual on nodes that open relays alone hold (unused bus lines,
// idle instrument terminals: picosiemens against a closed relay's siemens), so the base is
// factorised again about once per part all the same.
//
// Relays never change the topology. A bench creates its relays as a part first uses its needles;
// such a relay joins the set-up matrix (Circuit, Device::joinsLater) and its closed contact's
// positions stay outside the pattern, in a list of switched positions whose values come after the
// pattern's, so that they reach the solve only through the update above. Only when the present
// matrix is factorised afresh with a switched position closed that the pattern lacks does the
// pattern grow to hold it (a new ordering, once per position). A relay in the circuit at set-up
// keeps its open contact's leakage in the pattern and its closed contact's rest as switched
// positions too; one that joined later leaks nothing while open (until the next set-up), or every
// pin ever used would stay in the change with its picosiemens. The shunt of every node holds what
// floats. Measured on the connected ICT board (benchmarks/ict_run), CPU per component: 100
// components 136 -> 101 us, 1,000 components 1.79 ms -> 0.12 ms, 5,116 components 7.4 ms ->
// 0.53 ms, with one factorisation for the whole run on the larger boards.
//
// Not chosen, measured: a base factorised with every switched position open, so that later
// updates only close relays. The bus lines and the idle instrument terminals then float in the
// base, the columns of its inverse reach 1e12 there, and the updates missed their residual twice
// as often as against a base with the last component's relays closed. The steady base above keeps
// the instruments' own closed paths, so that only unused lines float, and those rows are put right
// from their own row.
//
// What a solve after a relay change costs besides the update itself, kept independent of the
// board's size where it could be:
//  - Loading: the values persist from one load to the next. The circuit keeps its board
//    resistors, node shunts and the open leakage of the relays set up with the matrix in a copy
//    (Circuit::loadReal), leaves open relays out of the load altogether, loads only what varies
//    (closed relays, sources) and hands over the offsets it wrote; the comparisons with the
//    values made ready last and with the base, and the list of what differs from the base, then
//    go by those offsets instead of over every value. (While open relays still loaded their
//    leakage, the largest board's second run wrote about 980 values per solve.)
//  - A row's residual looks only at its switched positions that are closed: a bus line has one
//    for every pin that ever used it.
//  - A right-hand side of a few rows (a reading drives one source) is answered from kept columns
//    of the base's inverse, one pass over the unknowns per row instead of a solve.
// Measured on the connected ICT board (benchmarks/ict_run, two runs per board), CPU per
// component: 100 components 91 -> 40 us, 1,000 components 64 -> 46 us, 5,116 components
// 195 -> 80-84 us. Then the ordering below, the relays' leakage held and a reading's answer
// recognised in one pass: 100 components 38-40 us unchanged, 5,116 components 82-86 -> 67-73 us
// (seven runs each, against the tree before), 1.7 to 1.8 times the small board's figure. What is
// left grows with the unknowns: the update's pass over them for its twenty-odd rows, and a full
// solve for the column of each net a part reaches first.
//
// The real matrix (DC, transient) and the complex one (AC) share the pattern and the slots, and
// the column ordering of circuit/ordering.h: on a board of long chains it cuts the chains a solve
// waits along (on the largest board a solve for a new column took 23 us, now 15 us).
#pragma once

#include <Eigen/Dense>
#include <Eigen/SparseCore>
#include <Eigen/SparseLU>
#include <vbench/circuit/ordering.h>

#include <complex>
#include <unordered_map>
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
    // the same address while the topology lasts (the slots are handed out again when the pattern
    // grows). A switched position (a relay's closed contact) stays outside the pattern and reaches
    // the factors as an update; see the header comment.
    void request(int row, int col, int* slot, bool switched = false);
    // Builds the pattern over `unknowns` unknowns, resolves every requested slot and analyses the
    // ordering.
    void finish(int unknowns);
    // A position asked for after finish(), resolved at once: a switched one always finds a slot, a
    // plain one only when it is in the pattern already (false: the topology must be set up again).
    bool append(int row, int col, int* slot, bool switched);

    int unknowns() const { return unknowns_; }
    int nonZeros() const { return static_cast<int>(real_.nonZeros()); }
    // Changes whenever values move to other offsets (a new pattern); appending does not move them.
    unsigned layoutVersion() const { return layoutVersion_; }

    // Value arrays: the pattern's entries, one sink entry, then the switched positions outside
    // the pattern. They keep what was written last; the loader (Circuit::loadReal) sets what it
    // changes. Taking the real array so counts every value as changed since the last factorReal;
    // a loader that knows better takes it with the offsets it will write, and the next factorReal
    // compares only those with the values it made ready last and with the base: on a large board
    // a relay change costs no pass over every value.
    double* realValues() {
        allChanged_ = true;
        return realValues_.data();
    }
    double* realValuesChanging(const std::vector<int>& offsets);
    std::size_t valueCount() const { return realValues_.size(); }
    // The offset that the i-th position asked for (request or append) resolved to; positions are
    // numbered in the order they were asked for since begin().
    std::size_t requestCount() const { return requests_.size(); }
    int requestedOffset(std::size_t i) const { return *requests_[i].slot; }
    Complex* complexValues() { return complexValues_.data(); }
    void clearComplex();

    // Makes the loaded real matrix ready to solve: as a low-rank change of the kept factorisation
    // or, when the change is too large, factorised afresh. False when it is singular. Values equal
    // to those it last made ready cost a comparison.
    bool factorReal();
    // Solves with the loaded real matrix; b has unknowns() entries.
    bool solveReal(const Eigen::VectorXd& b, Eigen::VectorXd& x);
    // Numeric factorisations done since the topology was set up.
    long realFactorisations() const { return realFactorisations_; }
    // Solves answered through a low-rank update of the kept factorisation.
    long updatedSolves() const { return updatedSolves_; }
    // Largest change, in rows or columns, that a solve takes as an update (0: always factorise).
    void setMaxUpdateRank(int rank) { maxRankSetting_ = rank; }
    // r = b - A x with the loaded values, and per row the sum of the magnitudes of its terms;
    // x and b have unknowns() entries.
    void residual(const double* x, const double* b, Eigen::VectorXd& r,
                  Eigen::VectorXd& scale) const;

    // Factorises the loaded complex matrix, or keeps the factorisation when its values are those
    // factorised last (relays and extra positions included). False when it is singular.
    bool factorComplex();
    bool solveComplex(const Eigen::VectorXcd& b, Eigen::VectorXcd& x);

  private:
    struct Request {
        int row, col;
        int* slot;
        bool switched;
    };
    // A switched position: its value sits after the pattern's values and the sink.
    struct Extra {
        int row, col;
        int offset; // of the same position in the pattern, -1 when it is not there
    };
    struct Change {
        int row, col;
        double delta;
    };
    // Builds the pattern from the requests (with every extra position when `withExtras`) and
    // hands out every slot again.
    void buildPattern(bool withExtras);
    int resolve(const Request& r);
    int extraIndex(int row, int col);
    // Takes the switched positions into the pattern, carrying the loaded values over.
    void mergeExtras();
    bool complexExtrasInPattern() const;
    std::size_t extraValue(std::size_t k) const { return patternSize_ + 1 + k; }
    // Factorises the loaded matrix as the new base, switched positions and all; or, `steady`,
    // with only the switched positions closed in the last base too.
    bool factorBase(bool steady);
    // Factorises the pattern's values with the given switched values added.
    bool factorValues(std::vector<double> extras);
    // Finds the change against the base and prepares its capacitance matrix; false when the
    // change is too large for an update.
    bool prepareUpdate();
    // Brings the list of offsets whose values differ from the base's up to date: over the
    // offsets changed since the last factorReal, or over all when `all`.
    void trackBaseDifference(bool all);
    // Starts counting changed offsets again (after factorReal has seen them); or counts every
    // value as changed (the values moved).
    void forgetChangedOffsets();
    void everythingChanged();
    // Brings liveOfRow_ up to date with the values changed since the last factorReal.
    void trackLiveExtras();
    double baseValue(std::size_t offset) const {
        if (offset < patternSize_) {
            return baseValues_[offset];
        }
        const std::size_t k = offset - patternSize_ - 1;
        return offset > patternSize_ && k < baseExtras_.size() ? baseExtras_[k] : 0.0;
    }
    bool addChange(int row, int col, double delta);
    // Drops the kept columns of rows that are not part of the present change; false when that
    // frees no room.
    bool evictColumns();
    void forgetChange();
    void forgetBase();
    // Whether row `row` of b - A x is small against the sizes of the terms that make it; and the
    // same for the rows of the present change and a sample of the others, a fraction of the cost of
    // the whole residual on a large board. A row held by leakage alone that misses is put right
    // from its own row first.
    bool rowSmall(int row, const Eigen::VectorXd& b, Eigen::VectorXd& x) const;
    bool changeRowsSmall(const Eigen::VectorXd& b, Eigen::VectorXd& x);
    double rowResidual(int row, const Eigen::VectorXd& b, const Eigen::VectorXd& x,
                       double& scale) const;
    // The diagonal of row `row`, its switched part included.
    double diagonalValue(int row) const;
    // Whether every row of b - A x is small; rows that miss get their own unknown corrected, a
    // few sweeps at most.
    bool residualSmall(const Eigen::VectorXd& b, Eigen::VectorXd& x);
    // Copies the factors out of the supernodal storage into plain compressed columns: on a board
    // the supernodes are a column or two wide, and plain triangular solves take a third of the
    // time of the library's blocked ones.
    void extractFactors();
    // x = A0^-1 b with the extracted factors.
    void baseSolve(const Eigen::VectorXd& b, Eigen::VectorXd& x);
    // baseSolve for the updates, kept for the right-hand side last asked: a run's readings ask
    // for the same sources again and again while only relays move.
    const Eigen::VectorXd& baseAnswer(const Eigen::VectorXd& rhs);
    // The column of rhsColumns_ holding A0^-1 e_row, solved when it is not kept yet.
    long rhsColumn(int row);
    // baseSolve, and whether its answer is finite (if not, the values are made ready again).
    bool finiteOrForget(const Eigen::VectorXd& b, Eigen::VectorXd& x);

    int unknowns_ = 0;
    unsigned layoutVersion_ = 0;
    std::vector<Request> requests_;
    std::vector<Extra> extras_;
    std::unordered_map<long long, int> extraAt_; // row * unknowns + col -> index in extras_
    std::vector<int> extraDiagonal_;             // index in extras_ of (i, i), -1 when none
    std::vector<int> diagonal_;                  // offset of (i, i) in the pattern
    // The extras whose value is not zero (a closed relay's), by row, and each one's place in its
    // row's list (-1: none), kept up to date by factorReal: a bus line's row has a position for
    // every pin that ever used it, and a handful closed.
    std::vector<std::vector<int>> liveOfRow_;
    std::vector<int> livePlace_;
    // The pattern by rows: the offsets of row i's entries are rowEntry_[rowStart_[i] ...].
    std::vector<int> rowStart_, rowEntry_;
    int sampleStart_ = 0;     // next row of the residual's sample
    std::vector<int> missed_; // rows whose residual missed the tolerance before refinement
    std::size_t patternSize_ = 0;
    RealMatrix real_;
    ComplexMatrix complex_;
    std::vector<double> realValues_;
    std::vector<int> columnOf_; // column of every stored entry
    long realFactorisations_ = 0;
    long updatedSolves_ = 0;
    std::vector<Complex> complexValues_;
    Eigen::SparseLU<RealMatrix, BoardOrdering<int>> realLu_;
    Eigen::SparseLU<ComplexMatrix, BoardOrdering<int>> complexLu_;
    bool complexAnalysed_ = false;
    // The complex values last factorised (empty: none) and whether they were regular.
    std::vector<Complex> complexReady_;
    bool complexReadyOk_ = false;
    // The values last made ready and the answer then (empty: none).
    std::vector<double> ready_;
    bool readyOk_ = false;
    // The offsets whose values may have changed since the last factorReal (all of them when
    // allChanged_), each once (changedMark_).
    bool allChanged_ = true;
    std::vector<int> changed_;
    std::vector<char> changedMark_;
    // The offsets whose values differ from the base's, kept up to date from changed_ while
    // offBaseKnown_, and each one's place in the list (-1 when it is not there).
    std::vector<int> offBase_;
    std::vector<int> offBaseAt_;
    bool offBaseKnown_ = false;
    std::vector<int> differing_; // offBase_ in order, for the present change

    // The base: its pattern values and extra values (empty: none; missing extras are zero) and
    // whether they factorised.
    std::vector<double> baseValues_, baseExtras_;
    bool baseKnown_ = false;
    bool baseOk_ = false;
    long steadyAt_ = -1;   // updatedSolves_ at the last steady base, -1: none yet
    long staleSolves_ = 0; // consecutive changes with stale entries
    long stale_ = 0; // entries of the present change that open a position the base holds closed
    int maxRankSetting_ = -1; // -1: chosen from the size of the system
    int maxRank_ = 0;
    // Columns of the base's inverse for the rows changed since it was factorised.
    Eigen::MatrixXd g_;
    std::vector<int> gColumnOfRow_; // -1 for a row without its column yet
    std::vector<int> gRows_;
    // The present change: its rows and columns, D[R,C] and the factorised I + G[C,R] D[R,C].
    bool updating_ = false;
    std::vector<int> rows_, cols_;
    std::vector<int> rowPos_, colPos_; // position in rows_ / cols_, -1 when absent
    std::vector<Change> changes_;
    Eigen::MatrixXd change_;
    Eigen::PartialPivLU<Eigen::MatrixXd> capacitance_;
    Eigen::VectorXd y_, residual_, scale_, work_, unit_, t_, w_, u_;
    // Right-hand sides with at most this many non-zero rows are answered from kept columns of the
    // base's inverse, and so many such columns are kept.
    static constexpr int kRhsColumns = 4;
    // The last answer and its right-hand side: its rows and values when it had at most
    // kRhsColumns (answerCount_), the whole of it otherwise (answerCount_ -1).
    Eigen::VectorXd answer_, answerRhs_;
    int answerRows_[kRhsColumns] = {};
    double answerValues_[kRhsColumns] = {};
    int answerCount_ = 0;
    bool answerKnown_ = false;
    // Columns of the base's inverse for the rows that right-hand sides drive, and their rows.
    Eigen::MatrixXd rhsColumns_;
    std::vector<int> rhsColumnRows_;
    long nextRhsColumn_ = 0; // the next to give up its place when all are taken
    // The factors of the base, P_r A0 P_c = L U: L's strict lower part and U's strict upper part
    // by columns, and the reciprocals of U's diagonal (a division in the chain of the backward
    // solve took half its time).
    std::vector<int> lStart_, lRow_, uStart_, uRow_;
    std::vector<double> lValue_, uValue_, uDiagonalInverse_;
};

} // namespace kora::vbench
