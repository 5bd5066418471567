#include <vbench/circuit/ordering.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <utility>

namespace kora::vbench {

namespace {

// A part of at most this many vertices is eliminated as it stands, in the order its search met
// its vertices: a chain of this length is what a solve may still wait along.
constexpr std::size_t kLeaf = 16;
// Vertices joined to more than this many, and to more than kDenseShare times as many as the
// average vertex, come last: a bus line joined to many pins puts them all two steps from each
// other, so that no level of a search separates much, while the line itself, taken out, leaves
// the board's own chains.
constexpr int kDenseFloor = 16;
constexpr int kDenseShare = 8;
// Neither side of a separator may hold more than this share of its part, so that the dissection
// is at most some tens of levels deep.
constexpr double kLargestSide = 0.8;
// Searches for a vertex at the far end of its part, each from the last one's farthest vertex.
constexpr int kPeripheralSearches = 4;

// The graph of A + A^T without its diagonal, each vertex's neighbours distinct.
struct Graph {
    Graph(int n, const int* outer, const int* inner) : n(n) {
        const auto un = static_cast<std::size_t>(n);
        const auto each = [&](auto&& edge) {
            for (int c = 0; c < n; ++c) {
                for (int k = outer[c]; k < outer[c + 1]; ++k) {
                    const int r = inner[k];
                    if (r != c && r >= 0 && r < n) {
                        edge(r, c);
                        edge(c, r);
                    }
                }
            }
        };
        std::vector<int> fill(un + 1, 0);
        each([&](int from, int) { ++fill[static_cast<std::size_t>(from) + 1]; });
        for (std::size_t v = 0; v < un; ++v) {
            fill[v + 1] += fill[v];
        }
        std::vector<int> all(static_cast<std::size_t>(fill[un]));
        std::vector<int> at(fill.begin(), fill.end() - 1);
        each([&](int from, int to) {
            all[static_cast<std::size_t>(at[static_cast<std::size_t>(from)]++)] = to;
        });
        // Each vertex's list without repeats, in the order the matrix gave them.
        std::vector<int> last(un, -1);
        start.assign(un + 1, 0);
        neighbours.reserve(all.size());
        for (std::size_t v = 0; v < un; ++v) {
            for (int k = fill[v]; k < fill[v + 1]; ++k) {
                const int u = all[static_cast<std::size_t>(k)];
                if (last[static_cast<std::size_t>(u)] != static_cast<int>(v)) {
                    last[static_cast<std::size_t>(u)] = static_cast<int>(v);
                    neighbours.push_back(u);
                }
            }
            start[v + 1] = static_cast<int>(neighbours.size());
        }
    }
    int degree(int v) const {
        return start[static_cast<std::size_t>(v) + 1] - start[static_cast<std::size_t>(v)];
    }

    int n;
    std::vector<int> start, neighbours;
};

int Height(const Graph& g, const std::vector<int>& order) {
    const auto n = static_cast<std::size_t>(g.n);
    std::vector<int> position(n), parent(n, -1), ancestor(n, -1), height(n, 1);
    for (std::size_t k = 0; k < n; ++k) {
        position[static_cast<std::size_t>(order[k])] = static_cast<int>(k);
    }
    int tallest = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const int v = order[k];
        for (int e = g.start[static_cast<std::size_t>(v)];
             e < g.start[static_cast<std::size_t>(v) + 1]; ++e) {
            // Up from each earlier neighbour to its root, which k now adopts; the path is
            // compressed on the way.
            int i = position[static_cast<std::size_t>(g.neighbours[static_cast<std::size_t>(e)])];
            while (i >= 0 && static_cast<std::size_t>(i) < k) {
                const int next = ancestor[static_cast<std::size_t>(i)];
                ancestor[static_cast<std::size_t>(i)] = static_cast<int>(k);
                if (next < 0) {
                    parent[static_cast<std::size_t>(i)] = static_cast<int>(k);
                }
                i = next;
            }
        }
    }
    for (std::size_t k = 0; k < n; ++k) {
        tallest = std::max(tallest, height[k]);
        if (parent[k] >= 0) {
            int& up = height[static_cast<std::size_t>(parent[k])];
            up = std::max(up, height[k] + 1);
        }
    }
    return tallest;
}

class Dissector {
  public:
    explicit Dissector(const Graph& g) : g_(g), n_(g.n) {
        part_.assign(static_cast<std::size_t>(n_), 0);
        seen_.assign(static_cast<std::size_t>(n_), -1);
        level_.assign(static_cast<std::size_t>(n_), 0);
    }

    std::vector<int> run() {
        const auto average = static_cast<double>(g_.neighbours.size()) / std::max(1, n_);
        const int dense = std::max(kDenseFloor, static_cast<int>(kDenseShare * average));
        std::vector<int> all, last;
        for (int v = 0; v < n_; ++v) {
            if (degree(v) > dense) {
                part_[static_cast<std::size_t>(v)] = -1;
                last.push_back(v);
            } else {
                all.push_back(v);
            }
        }
        order_.reserve(static_cast<std::size_t>(n_));
        dissect(std::move(all), 0);
        std::stable_sort(last.begin(), last.end(),
                         [&](int a, int b) { return degree(a) < degree(b); });
        order_.insert(order_.end(), last.begin(), last.end());
        return std::move(order_);
    }

  private:
    int degree(int v) const { return g_.degree(v); }

    // Breadth-first search from `root` over the vertices of part `part`; fills `found` in the
    // order met and `levels` with where each distance begins (and the end).
    void search(int root, int part, std::vector<int>& found, std::vector<int>& levels) {
        const int stamp = searches_++;
        found.clear();
        levels.clear();
        found.push_back(root);
        seen_[static_cast<std::size_t>(root)] = stamp;
        level_[static_cast<std::size_t>(root)] = 0;
        for (std::size_t head = 0; head < found.size(); ++head) {
            const int v = found[head];
            const int l = level_[static_cast<std::size_t>(v)];
            if (static_cast<int>(levels.size()) == l) {
                levels.push_back(static_cast<int>(head));
            }
            for (int k = g_.start[static_cast<std::size_t>(v)];
                 k < g_.start[static_cast<std::size_t>(v) + 1]; ++k) {
                const auto u = static_cast<std::size_t>(g_.neighbours[static_cast<std::size_t>(k)]);
                if (part_[u] == part && seen_[u] != stamp) {
                    seen_[u] = stamp;
                    level_[u] = l + 1;
                    found.push_back(static_cast<int>(u));
                }
            }
        }
        levels.push_back(static_cast<int>(found.size()));
    }

    // Orders the vertices of `vertices`, all in part `part`, into order_.
    void dissect(std::vector<int> vertices, int part) {
        if (vertices.size() <= kLeaf) {
            order_.insert(order_.end(), vertices.begin(), vertices.end());
            return;
        }
        // Each connected piece on its own: a stamp of its own marks who is taken.
        const int taken = nextPart_++;
        std::vector<int> found, levels;
        for (int v : vertices) {
            if (part_[static_cast<std::size_t>(v)] != part) {
                continue;
            }
            search(v, part, found, levels);
            for (int u : found) {
                part_[static_cast<std::size_t>(u)] = taken;
            }
            dissectPiece(found, taken);
        }
    }

    // Orders one connected piece, its vertices in part `part`: the near side of the thinnest
    // level of a search from the far end, then the far side, then that level.
    void dissectPiece(std::vector<int> piece, int part) {
        const auto size = static_cast<int>(piece.size());
        if (piece.size() <= kLeaf) {
            order_.insert(order_.end(), piece.begin(), piece.end());
            return;
        }
        std::vector<int> found, levels;
        search(piece.front(), part, found, levels);
        for (int round = 1; round < kPeripheralSearches; ++round) {
            int far = found[static_cast<std::size_t>(levels[levels.size() - 2])];
            for (int k = levels[levels.size() - 2]; k < size; ++k) {
                const int v = found[static_cast<std::size_t>(k)];
                if (degree(v) < degree(far)) {
                    far = v;
                }
            }
            std::vector<int> again, againLevels;
            search(far, part, again, againLevels);
            if (againLevels.size() <= levels.size()) {
                break;
            }
            found.swap(again);
            levels.swap(againLevels);
        }
        // Rebuild the levels of the search kept (the last one may have been discarded).
        search(found.front(), part, found, levels);
        const int depth = static_cast<int>(levels.size()) - 1;
        if (depth < 3) {
            order_.insert(order_.end(), found.begin(), found.end());
            return;
        }
        // The narrowest level that leaves neither side more than kLargestSide of the piece, the
        // most even of those; a piece without one (everything close to everything) stays whole.
        int best = -1;
        for (int m = 1; m + 1 < depth; ++m) {
            const auto sm = static_cast<std::size_t>(m);
            const int before = levels[sm], after = size - levels[sm + 1];
            if (std::max(before, after) > kLargestSide * size) {
                continue;
            }
            if (best >= 0) {
                const auto sb = static_cast<std::size_t>(best);
                const int width = levels[sm + 1] - levels[sm];
                const int bestWidth = levels[sb + 1] - levels[sb];
                const int bestBefore = levels[sb], bestAfter = size - levels[sb + 1];
                if (width > bestWidth ||
                    (width == bestWidth &&
                     std::abs(before - after) >= std::abs(bestBefore - bestAfter))) {
                    continue;
                }
            }
            best = m;
        }
        if (best < 0) {
            order_.insert(order_.end(), found.begin(), found.end());
            return;
        }
        // The level separates what lies nearer from what lies farther; only its vertices with a
        // neighbour farther out need to wait for both sides.
        const int nearPart = nextPart_++, farPart = nextPart_++;
        std::vector<int> nearSide, farSide, separator;
        for (int k = 0; k < size; ++k) {
            const int v = found[static_cast<std::size_t>(k)];
            const int l = level_[static_cast<std::size_t>(v)];
            if (l < best) {
                nearSide.push_back(v);
            } else if (l > best) {
                farSide.push_back(v);
            } else {
                bool reachesFar = false;
                for (int e = g_.start[static_cast<std::size_t>(v)];
                     e < g_.start[static_cast<std::size_t>(v) + 1] && !reachesFar; ++e) {
                    const auto u =
                        static_cast<std::size_t>(g_.neighbours[static_cast<std::size_t>(e)]);
                    reachesFar = part_[u] == part && level_[u] == best + 1;
                }
                (reachesFar ? separator : nearSide).push_back(v);
            }
        }
        for (int v : nearSide) {
            part_[static_cast<std::size_t>(v)] = nearPart;
        }
        for (int v : farSide) {
            part_[static_cast<std::size_t>(v)] = farPart;
        }
        for (int v : separator) {
            part_[static_cast<std::size_t>(v)] = -1;
        }
        dissect(std::move(nearSide), nearPart);
        dissect(std::move(farSide), farPart);
        order_.insert(order_.end(), separator.begin(), separator.end());
    }

    const Graph& g_;
    int n_;
    std::vector<int> part_;  // the part each vertex is in now; -1 once it is ordered
    std::vector<int> seen_;  // the search that last met each vertex
    std::vector<int> level_; // its distance in that search
    int searches_ = 0;
    int nextPart_ = 1;
    std::vector<int> order_;
};

} // namespace

int EliminationHeight(int n, const int* outer, const int* inner, const std::vector<int>& order) {
    return Height(Graph(n, outer, inner), order);
}

std::vector<int> BoardOrder(int n, const int* outer, const int* inner,
                            std::vector<int> minimumDegree) {
    const Graph g(n, outer, inner);
    const int chain = Height(g, minimumDegree);
    if (chain * kChainWork <= outer[n]) {
        return minimumDegree;
    }
    return Dissector(g).run();
}

} // namespace kora::vbench
