// bmssp.cpp: single-source shortest paths by bounded multi-source recursion.
//
// What it computes. For a graph with non-negative finite weights and a
// source s, the distance of every vertex from s and a shortest-path tree,
// by the BMSSP recursion of Duan, Mao, Mao, Shu and Yin ("Breaking the
// Sorting Barrier for Directed Single-Source Shortest Paths", 2025): FindPivots
// shrinks a frontier to the roots of large shortest-path subtrees, a block
// queue (block_queue.hpp) hands out batches of the smallest keys, each batch
// is solved one level down, and level 0 is a Dijkstra search cut off after
// k+1 vertices. The run also records the order in which vertices became
// complete (the settlement log).
//
// The graph. The recursion runs on a constant-degree form of the input:
// every input vertex v becomes a ring of c(v) = max(deg(v), 1) copies joined
// by zero-weight edges, and every input edge joins its own copy of its tail to
// its own copy of its head. Every row then has at most two edges (the ring
// edge first), all copies of v share v's distance, and results map back
// through `first_copy` and `orig`. The transform is built by counting sort in
// linear passes, without a comparison sort. A run itself uses the compact
// form of the same rows: one 32-byte record per vertex holding its row ({ring
// head, other head, weight}) beside its tentative path, built straight from the
// input, so reading a vertex and its row costs one cache line; the CSR form is
// for other engines.
//
// Ties. Keys are (dist, hops, vertex) under IEEE 754 totalOrder, so no two
// vertices tie. A relaxation passes when (candidate dist, candidate hops) is
// smaller than the held pair, or equal with a tail id not above the held
// predecessor; re-relaxing the edge that set a vertex passes again, which is
// how FindPivots re-enters a vertex into a later layer. Randomness comes only
// from the seeded SplitMix64 state that the block queues advance, so dist,
// pred and the settlement log are a deterministic function of graph, source
// and seed.
//
// Rounding. Sums of doubles are monotone (a <= a' gives fl(a + w) <= fl(a' + w))
// and never below their left operand, but they absorb: a < a' can give
// fl(a + w) == fl(a' + w). The recursion's completeness argument uses exact
// sums in three places, and each has its rule here; none of them can fire when
// sums are exact, so integer-weighted runs are untouched.
//  1. Re-offer. When dist[u] falls, exact sums lower every label derived from
//     it, and re-relaxing u -> v passes and offers v to the phase running (a
//     FindPivots layer, a base case, a level's routing). Rounded, v may keep
//     its distance with fewer hops than the new path through u gives, and the
//     test would refuse: v, whose distance is already right, is never offered
//     again and the vertices behind it are lost. So a relaxation along v's own
//     predecessor edge that reproduces dist[v] offers v again under its
//     unchanged key. Labels still only fall, so every queue and base-case
//     invariant holds as before, and predecessors stay a tree (a vertex's key
//     is above its predecessor's).
//  2. Tight edges in FindPivots. For the same reason a predecessor edge whose
//     sum still gives dist[v] after the tail's distance fell counts as tight
//     when v's hops are not above the tail's plus one (exact sums would have
//     lowered v with the tail). Keeping such a v in its root's tree can only
//     make pivots of more roots, which is always safe; cutting it loose would
//     leave the vertices behind it to no pivot.
//  3. The closing check (finish.hpp). Unless every sum is exact (integer
//     weights of small total), every edge is checked after the outermost call
//     and anything that fails is finished by a Dijkstra search from the
//     failing tails, so the distances equal Dijkstra's whatever rounding did;
//     the run reports how many labels it lowered (ExactnessCounts). With rules
//     1 and 2 it has lowered none on every graph tried (decimal, two-decimal,
//     many-decade, subnormal and absorbing weights).
//
// Overflow. Finite weights can sum past DBL_MAX. A candidate distance that
// rounds to +inf is refused by every relaxation test, exactly as Dijkstra's
// strict comparison refuses it: such a vertex stays unreached (+inf, -1),
// never enters a queue and never appears in the settlement log.
//
// Predecessors. The walk from a vertex's copy 0 back through its own copies
// names the input predecessor. Through zero-weight cycles that walk can make
// input predecessors cycle; the vertices caught then take the copy entered
// nearest the root of the transformed tree, and the result is checked to be a
// tree rooted at the source.
//
// Scratch. Sets of the recursion are flag bits in one byte per vertex (settled,
// in a FindPivots layer, seen by a base case, in the U of level l) or a dense
// position array (FindPivots' W), each reset by walking the list it marked;
// every level reuses its lists and its block queue across calls, so a run
// allocates almost nothing after its first calls at each level.
//
// Invariants of the recursion: a vertex becomes complete at most once and is
// logged then, with its distance at that moment; every vertex of a returned U
// is complete; B' <= B for every call; the block size M never exceeds n'.
#include "bmssp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "cancel.hpp"
#include "stop.hpp"

namespace qh {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr std::uint64_t TWO_POW_32 = std::uint64_t{1} << 32;
constexpr std::uint64_t TWO_POW_31 = std::uint64_t{1} << 31;
// A list of more than n' / LARGE_LIST_DIVISOR marked vertices is unmarked by sweeping
// the whole per-vertex array, which streams, instead of one cache miss per vertex.
constexpr std::size_t LARGE_LIST_DIVISOR = 16;
// How many list entries ahead a loop over scattered vertices prefetches their state.
constexpr std::size_t PREFETCH_AHEAD = 8;
// The same for loops that do almost nothing per vertex and so need a longer lead.
constexpr std::size_t SCAN_AHEAD = 32;

}  // namespace

// --- constant-degree transform ---------------------------------------------------

std::uint64_t transformed_vertex_count(const Csr& csr) {
    const std::uint64_t n = csr.n;
    const std::uint64_t m = csr.nnz();
    Vec<std::uint8_t> touched(n, 0);
    for (std::uint64_t u = 0; u < n; ++u) {
        if (csr.indptr[u + 1] > csr.indptr[u]) touched[u] = 1;
    }
    for (std::uint32_t w : csr.indices) touched[w] = 1;
    std::uint64_t isolated = 0;
    for (std::uint8_t f : touched) isolated += f == 0;
    return 2 * m + isolated;
}

bool fits_bmssp_ids(std::uint64_t n, std::uint64_t n_prime) noexcept {
    return n_prime < TWO_POW_32 && n <= TWO_POW_31;
}

Transformed transform_to_constant_degree(const Csr& csr, std::uint64_t source) {
    const std::uint64_t n = csr.n;
    Transformed tg;

    // Degrees (a self-loop counts twice) and the numbering of the copies.
    Vec<std::uint64_t> deg;
    assign_cancellable(deg, n, std::uint64_t{0});
    for (std::uint64_t u = 0; u < n; ++u) deg[u] = csr.indptr[u + 1] - csr.indptr[u];
    for (std::uint32_t w : csr.indices) ++deg[w];
    assign_cancellable(tg.first_copy, n, 0u);
    std::uint64_t running = 0;
    for (std::uint64_t v = 0; v < n; ++v) {
        tg.first_copy[v] = static_cast<std::uint32_t>(running);
        running += std::max<std::uint64_t>(deg[v], 1);
    }
    const std::uint64_t np = running;
    assign_cancellable(tg.orig, np, 0u);
    for (std::uint64_t v = 0; v < n; ++v) {
        cancel_point();
        const std::uint64_t c = std::max<std::uint64_t>(deg[v], 1);
        for (std::uint64_t i = 0; i < c; ++i) tg.orig[tg.first_copy[v] + i] = static_cast<std::uint32_t>(v);
    }

    // The edge list, generated on demand in its fixed order instead of stored: the
    // ring edges of every vertex with deg >= 2, then every input edge from its tail's
    // next free copy to its head's next free copy (tail slot first, which matters for
    // self-loops). `slot` holds the per-vertex slot counters and is reset per pass.
    Vec<std::uint64_t>& slot = deg;
    auto for_each_edge = [&](auto&& emit) {
        for (std::uint64_t v = 0; v < n; ++v) {
            cancel_point();
            const std::uint64_t first = tg.first_copy[v];
            const std::uint64_t c = (v + 1 < n ? tg.first_copy[v + 1] : np) - first;
            if (c < 2) continue;
            for (std::uint64_t i = 0; i < c; ++i) emit(first + i, first + (i + 1 == c ? 0 : i + 1), 0.0);
        }
        std::fill(slot.begin(), slot.end(), 0);
        for (std::uint64_t u = 0; u < n; ++u) {
            cancel_point();
            for (std::uint64_t e = csr.indptr[u]; e < csr.indptr[u + 1]; ++e) {
                const std::uint32_t w = csr.indices[e];
                const std::uint64_t tail_copy = std::uint64_t{tg.first_copy[u]} + slot[u]++;
                const std::uint64_t head_copy = std::uint64_t{tg.first_copy[w]} + slot[w]++;
                emit(tail_copy, head_copy, csr.weights[e]);
            }
        }
    };

    // Counting sort by tail, stable: count, prefix sums, place in list order.
    Csr& g = tg.graph;
    g.n = np;
    assign_cancellable(g.indptr, np + 1, std::uint64_t{0});
    for_each_edge([&](std::uint64_t from, std::uint64_t to, double) {
        if (from >= np || to >= np) internal_stop("edge endpoint out of range");
        ++g.indptr[from + 1];
    });
    for (std::uint64_t i = 0; i < np; ++i) {
        cancel_point();
        g.indptr[i + 1] += g.indptr[i];
    }
    const std::uint64_t mp = g.indptr[np];
    assign_cancellable(g.indices, mp, 0u);
    assign_cancellable(g.weights, mp, 0.0);
    {
        Vec<std::uint64_t> cursor(g.indptr.begin(), g.indptr.end() - 1);
        for_each_edge([&](std::uint64_t from, std::uint64_t to, double weight) {
            const std::uint64_t at = cursor[from]++;
            g.indices[at] = static_cast<std::uint32_t>(to);
            g.weights[at] = weight;
        });
    }
    tg.source = tg.first_copy[source];
    return tg;
}

namespace {

// The rows of the constant-degree form of `csr` as `Row`s (anything with ring, to and weight
// fields), each starting as `blank`; fills the maps and the source of `cg`, not its rows.
template <class Row>
Vec<Row> build_constant_degree_rows(const Csr& csr, std::uint64_t source, CompactGraph& cg, const Row& blank) {
    const std::uint64_t n = csr.n;
    Vec<Row> rows;
    // Degrees, then copy numbering (first_copy is base(v)); counted in 64 bits first.
    Vec<std::uint32_t> count(n, 0);
    std::uint64_t running = 0;
    cg.first_copy.assign(n, 0);
    {
        Vec<std::uint64_t> deg(n, 0);
        for (std::uint64_t u = 0; u < n; ++u) deg[u] = csr.indptr[u + 1] - csr.indptr[u];
        for (std::uint32_t w : csr.indices) ++deg[w];
        for (std::uint64_t v = 0; v < n; ++v) {
            cg.first_copy[v] = static_cast<std::uint32_t>(running);
            running += std::max<std::uint64_t>(deg[v], 1);
        }
    }
    if (running >= TWO_POW_32) internal_stop("edge endpoint out of range");
    const std::uint64_t np = running;
    // Copies are numbered in vertex order, so both arrays fill front to back in one write.
    cg.orig.reserve(np);
    rows.reserve(np);
    for (std::uint64_t v = 0; v < n; ++v) {
        cancel_point();
        const std::uint64_t first = cg.first_copy[v];
        const std::uint64_t last = v + 1 < n ? cg.first_copy[v + 1] : np;
        const bool ring = last - first >= 2;
        for (std::uint64_t c = first; c < last; ++c) {
            cg.orig.push_back(static_cast<std::uint32_t>(v));
            Row r = blank;
            r.ring = ring ? static_cast<std::uint32_t>(c + 1 == last ? first : c + 1) : NO_VERTEX;
            rows.push_back(r);
        }
    }
    // Slots: each edge takes the next free copy of its tail, then of its head.
    for (std::uint64_t u = 0; u < n; ++u) {
        cancel_point();
        for (std::uint64_t e = csr.indptr[u]; e < csr.indptr[u + 1]; ++e) {
            const std::uint32_t w = csr.indices[e];
            const std::uint64_t tail_copy = std::uint64_t{cg.first_copy[u]} + count[u]++;
            const std::uint64_t head_copy = std::uint64_t{cg.first_copy[w]} + count[w]++;
            if (tail_copy >= np || head_copy >= np) internal_stop("edge endpoint out of range");
            rows[tail_copy].to = static_cast<std::uint32_t>(head_copy);
            rows[tail_copy].weight = csr.weights[e];
        }
    }
    cg.source = cg.first_copy[source];
    return rows;
}

}  // namespace

CompactGraph compact_constant_degree(const Csr& csr, std::uint64_t source) {
    CompactGraph cg;
    cg.rows = build_constant_degree_rows(csr, source, cg, CompactRow{NO_VERTEX, NO_VERTEX, 0.0});
    return cg;
}

CompactGraph compact_rows(const Transformed& tg) {
    const Csr& g = tg.graph;
    CompactGraph cg;
    cg.rows.resize(g.n);
    for (std::uint64_t c = 0; c < g.n; ++c) {
        const std::uint64_t begin = g.indptr[c];
        const std::uint64_t len = g.indptr[c + 1] - begin;
        CompactRow row{NO_VERTEX, NO_VERTEX, 0.0};
        if (len == 2) {
            if (std::bit_cast<std::uint64_t>(g.weights[begin]) != 0) internal_stop("row does not fit a compact row");
            row.ring = g.indices[begin];
            row.to = g.indices[begin + 1];
            row.weight = g.weights[begin + 1];
        } else if (len == 1) {
            row.to = g.indices[begin];
            row.weight = g.weights[begin];
        } else if (len != 0) {
            internal_stop("row does not fit a compact row");
        }
        cg.rows[c] = row;
    }
    cg.first_copy.assign(tg.first_copy.begin(), tg.first_copy.end());
    cg.orig.assign(tg.orig.begin(), tg.orig.end());
    cg.source = tg.source;
    return cg;
}

void Transformed::sanity_check(const Csr& input) const {
    auto fail = [] { internal_stop("Transformed invariant violated"); };
    const std::uint64_t n = input.n;
    const std::uint64_t np = graph.n;
    if (first_copy.size() != n || orig.size() != np || graph.indptr.size() != np + 1) fail();
    if (graph.indptr[0] != 0 || graph.indptr[np] != graph.nnz() || graph.weights.size() != graph.nnz()) fail();
    Vec<std::uint32_t> in_deg(np, 0);
    for (std::uint64_t c = 0; c < np; ++c) {
        if (graph.indptr[c + 1] < graph.indptr[c]) fail();
        for (std::uint64_t e = graph.indptr[c]; e < graph.indptr[c + 1]; ++e) {
            if (graph.indices[e] >= np) fail();
            ++in_deg[graph.indices[e]];
        }
    }
    std::uint64_t input_edges = 0;
    for (std::uint64_t c = 0; c < np; ++c) {
        const std::uint64_t out = graph.indptr[c + 1] - graph.indptr[c];
        if (out > 2 || in_deg[c] > 2 || out + in_deg[c] > 3) fail();
        const std::uint32_t v = orig[c];
        if (v >= n) fail();
        const std::uint64_t first = first_copy[v];
        const std::uint64_t last = v + 1 < n ? first_copy[v + 1] : np;
        if (c < first || c >= last) fail();
        const std::uint64_t copies = last - first;
        for (std::uint64_t e = graph.indptr[c]; e < graph.indptr[c + 1]; ++e) {
            const std::uint32_t to = graph.indices[e];
            const bool ring = e == graph.indptr[c] && copies >= 2;
            if (ring) {
                const std::uint64_t expect = c + 1 == last ? first : c + 1;
                if (to != expect || std::bit_cast<std::uint64_t>(graph.weights[e]) != 0) fail();
            } else {
                ++input_edges;
            }
        }
    }
    if (input_edges != input.nnz()) fail();
    for (std::uint64_t v = 0; v + 1 < n; ++v) {
        if (first_copy[v + 1] <= first_copy[v]) fail();
    }
    if (n > 0 && first_copy[0] != 0) fail();
}

OwnedArray<double> map_distances_back(const Transformed& tg, std::span<const double> tdist) {
    const std::size_t n = tg.first_copy.size();
    auto dist = OwnedArray<double>::uninitialized(n);
    for (std::size_t v = 0; v < n; ++v) dist[v] = tdist[tg.first_copy[v]];
    return dist;
}

namespace {

// Chain states of mark_off_tree.
constexpr std::uint8_t CHAIN_UNKNOWN = 0;
constexpr std::uint8_t CHAIN_OPEN = 1;
constexpr std::uint8_t CHAIN_ROOTED = 2;
constexpr std::uint8_t CHAIN_CYCLIC = 3;

// Number of vertices on, or leading into, a cycle of predecessors. A chain that
// ends at the source or at a vertex without predecessor is rooted. Writes the
// state of every vertex into `chain_out` when given.
std::size_t mark_off_tree(const OwnedArray<std::int32_t>& pred, std::uint64_t source,
                          Vec<std::uint8_t>* chain_out = nullptr) {
    const std::size_t n = pred.size();
    Vec<std::uint8_t> chain(n, CHAIN_UNKNOWN);
    Vec<std::uint32_t> path;
    std::size_t off_tree = 0;
    for (std::size_t v = 0; v < n; ++v) {
        if (chain[v] != CHAIN_UNKNOWN) continue;
        path.clear();
        std::size_t x = v;
        std::uint8_t verdict;
        for (;;) {
            if (chain[x] == CHAIN_ROOTED || chain[x] == CHAIN_CYCLIC) {
                verdict = chain[x];
                break;
            }
            if (chain[x] == CHAIN_OPEN) {
                verdict = CHAIN_CYCLIC;
                break;
            }
            if (x == source || pred[x] < 0) {
                chain[x] = CHAIN_ROOTED;
                verdict = CHAIN_ROOTED;
                break;
            }
            chain[x] = CHAIN_OPEN;
            path.push_back(static_cast<std::uint32_t>(x));
            x = static_cast<std::size_t>(pred[x]);
        }
        for (std::uint32_t y : path) chain[y] = verdict;
        if (verdict == CHAIN_CYCLIC) off_tree += path.size();
    }
    if (chain_out != nullptr) *chain_out = std::move(chain);
    return off_tree;
}

// Transformed results seen through accessors: dist_of(c) and pred_of(c), the latter
// returning NO_PRED for none.
template <class DistOf, class PredOf>
struct TransformedResult {
    std::span<const std::uint32_t> first_copy;
    std::span<const std::uint32_t> orig;
    DistOf dist_of;
    PredOf pred_of;

    std::uint64_t copies_end(std::size_t v) const noexcept {
        return v + 1 < first_copy.size() ? first_copy[v + 1] : orig.size();
    }
};

// The walk from copy 0 can make input predecessors cycle through zero-weight
// cycles: v's copy 0 may hang below u's copies and u's copy 0 below v's. For
// every vertex whose chain misses the source, take instead the copy of v
// nearest the root of the transformed tree (smallest depth, then smallest id)
// among those entered from another vertex. Depth strictly drops along such
// predecessors, so they cannot cycle; each is still a tight tree edge.
template <class R>
void repair_cycles(const R& r, std::uint64_t input_source, OwnedArray<std::int32_t>& pred) {
    const std::size_t n = r.first_copy.size();
    const std::uint64_t np = r.orig.size();
    Vec<std::uint8_t> chain;
    mark_off_tree(pred, input_source, &chain);
    constexpr std::uint32_t UNKNOWN_DEPTH = 0xFFFFFFFFu;
    Vec<std::uint32_t> depth(np, UNKNOWN_DEPTH);
    Vec<std::uint32_t> path;
    auto depth_of = [&](std::uint64_t c) {
        path.clear();
        std::uint64_t x = c;
        while (depth[x] == UNKNOWN_DEPTH && r.pred_of(x) != NO_PRED) {
            path.push_back(static_cast<std::uint32_t>(x));
            if (path.size() > np) internal_stop("transformed predecessors cycle");
            x = r.pred_of(x);
        }
        std::uint32_t d = depth[x] == UNKNOWN_DEPTH ? 0 : depth[x];
        depth[x] = d;
        for (std::size_t i = path.size(); i-- > 0;) depth[path[i]] = ++d;
        return depth[c];
    };
    for (std::size_t v = 0; v < n; ++v) {
        if (chain[v] != CHAIN_CYCLIC) continue;
        std::uint64_t best = NO_PRED;
        std::uint32_t best_depth = UNKNOWN_DEPTH;
        for (std::uint64_t c = r.first_copy[v]; c < r.copies_end(v); ++c) {
            const std::uint64_t p = r.pred_of(c);
            if (p == NO_PRED || r.orig[p] == v || !(r.dist_of(c) < INF)) continue;
            const std::uint32_t d = depth_of(c);
            if (best == NO_PRED || d < best_depth) {
                best = c;
                best_depth = d;
            }
        }
        if (best != NO_PRED) pred[v] = static_cast<std::int32_t>(r.orig[r.pred_of(best)]);
    }
}

template <class R>
OwnedArray<std::int32_t> predecessors_back(const R& r, std::uint64_t input_source) {
    const std::size_t n = r.first_copy.size();
    auto pred = OwnedArray<std::int32_t>::filled(n, -1);
    for (std::size_t v = 0; v < n; ++v) {
        if (v == input_source) continue;
        std::uint64_t c = r.first_copy[v];
        if (!(r.dist_of(c) < INF)) continue;  // +inf and NaN stay -1
        // A walk inside v's copies takes fewer steps than v has copies, unless
        // the predecessors cycle; refuse that rather than loop.
        const std::uint64_t copies = r.copies_end(v) - r.first_copy[v];
        for (std::uint64_t steps = 0;; ++steps) {
            if (steps > copies) internal_stop("predecessor walk cycles inside the copies of a vertex");
            const std::uint64_t p = r.pred_of(c);
            if (p == NO_PRED) break;
            if (r.orig[p] == v) {
                c = p;
                continue;
            }
            pred[v] = static_cast<std::int32_t>(r.orig[p]);
            break;
        }
    }
    if (mark_off_tree(pred, input_source) != 0) repair_cycles(r, input_source, pred);
    if (mark_off_tree(pred, input_source) != 0) internal_stop("predecessors do not form a tree");
    return pred;
}

template <class DistOf, class PredOf>
TransformedResult<DistOf, PredOf> make_result(std::span<const std::uint32_t> first_copy,
                                              std::span<const std::uint32_t> orig, DistOf d, PredOf p) {
    return {first_copy, orig, d, p};
}

}  // namespace

OwnedArray<std::int32_t> map_predecessors_back(const Transformed& tg, std::span<const double> tdist,
                                               std::span<const std::uint64_t> tpred, std::uint64_t input_source) {
    return predecessors_back(
        make_result(tg.first_copy, tg.orig, [&](std::uint64_t c) { return tdist[c]; },
                    [&](std::uint64_t c) { return tpred[c]; }),
        input_source);
}

OwnedArray<std::int32_t> map_predecessors_back(const Transformed& tg, std::span<const double> tdist,
                                               std::span<const std::uint32_t> tpred, std::uint64_t input_source) {
    return predecessors_back(
        make_result(tg.first_copy, tg.orig, [&](std::uint64_t c) { return tdist[c]; },
                    [&](std::uint64_t c) { return tpred[c] == NO_VERTEX ? NO_PRED : std::uint64_t{tpred[c]}; }),
        input_source);
}

// --- parameters ---------------------------------------------------------------------

BmsspParams bmssp_parameters(std::uint64_t n_prime) {
    const double l = std::max(std::log2(static_cast<double>(std::max<std::uint64_t>(n_prime, 2))), 1.0);
    const auto k = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor(std::pow(l, 0.3333333333333333))));
    const auto t = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor(std::pow(l, 0.6666666666666666))));
    const auto levels = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(l / static_cast<double>(t))));
    return {static_cast<std::uint64_t>(k), static_cast<std::uint64_t>(t), static_cast<std::uint64_t>(levels)};
}

// --- the run state ---------------------------------------------------------------------

State::State(const CompactGraph& g, std::uint64_t k_, std::uint64_t t_, std::uint64_t seed_)
    : vertex(g.n()),
      k(k_),
      t(t_),
      seed(seed_),
      flags_(g.n(), 0),
      w_index_(g.n(), NO_VERTEX) {
    for (std::size_t v = 0; v < vertex.size(); ++v) {
        const CompactRow& r = g.rows[v];
        vertex[v] = VertexNode{INF, UNREACHED, NO_VERTEX, r.ring, r.to, r.weight};
    }
    vertex[g.source].dist = 0.0;
    vertex[g.source].hops = 0;
}

State::State(Vec<VertexNode>&& vertices, std::uint32_t source, std::uint64_t k_, std::uint64_t t_,
             std::uint64_t seed_)
    : vertex(std::move(vertices)),
      k(k_),
      t(t_),
      seed(seed_),
      flags_(vertex.size(), 0),
      w_index_(vertex.size(), NO_VERTEX) {
    vertex[source].dist = 0.0;
    vertex[source].hops = 0;
}

std::uint64_t State::finish(double limit) {
    struct Labels {
        State& s;
        std::uint64_t n() const noexcept { return s.vertex.size(); }
        double dist(std::uint64_t v) const noexcept { return s.vertex[v].dist; }
        std::int64_t hops(std::uint64_t v) const noexcept {
            return s.vertex[v].hops == UNREACHED ? NO_PATH_HOPS : std::int64_t{s.vertex[v].hops};
        }
        void set(std::uint32_t v, double d, std::int64_t h, std::uint32_t p) noexcept {
            VertexNode& r = s.vertex[v];
            r.dist = d;
            r.hops = static_cast<std::uint32_t>(h);
            r.pred = p;
        }
        std::uint64_t degree(std::uint64_t u) const noexcept {
            const VertexNode& r = s.vertex[u];
            return std::uint64_t{r.ring != NO_VERTEX} + std::uint64_t{r.to != NO_VERTEX};
        }
        std::pair<std::uint32_t, double> edge(std::uint64_t u, std::uint64_t i) const noexcept {
            const VertexNode& r = s.vertex[u];
            if (i == 0 && r.ring != NO_VERTEX) return {r.ring, 0.0};
            return {r.to, r.weight};
        }
        void settle(std::uint32_t v) { s.settle(v); }
    } labels{*this};
    // The scan of every edge is the whole cost of a run that needs no finishing: one pass
    // over the records, reading each head's distance.
    Vec<std::uint32_t> seeds;
    const std::size_t np = vertex.size();
    for (std::size_t u = 0; u < np; ++u) {
        if (u + SCAN_AHEAD < np && vertex[u + SCAN_AHEAD].to != NO_VERTEX)
            __builtin_prefetch(&vertex[vertex[u + SCAN_AHEAD].to]);
        const VertexNode& r = vertex[u];
        if (!(r.dist < INF)) continue;
        const bool ring_fails = r.ring != NO_VERTEX && r.dist < vertex[r.ring].dist && r.dist <= limit;
        const bool to_fails = r.to != NO_VERTEX && r.weight + r.dist < vertex[r.to].dist && r.weight + r.dist <= limit;
        if (ring_fails || to_fails) seeds.push_back(static_cast<std::uint32_t>(u));
    }
    return finish_exact(labels, seeds, limit);
}

void State::settle(std::uint32_t v) {
    if (flags_[v] & COMPLETE) return;
    flags_[v] |= COMPLETE;
    if (keep_log) settle_log.push_back({v, vertex[v].dist});
}

std::pair<Vec<std::uint32_t>, Vec<std::uint32_t>> State::find_pivots(const Key& bound,
                                                                     std::span<const std::uint32_t> s) {
    Vec<std::uint32_t> pivots;
    Vec<std::uint32_t> w;
    find_pivots_into(bound, s, pivots, w);
    return {std::move(pivots), std::move(w)};
}

void State::find_pivots_into(const Key& bound, std::span<const std::uint32_t> s, Vec<std::uint32_t>& pivots,
                             Vec<std::uint32_t>& w) {
    pivots.clear();
    w.clear();
    // W_set is w_index_ != NO_VERTEX; every entry set here is reset before returning.
    const std::size_t sn = s.size();
    for (std::size_t i = 0; i < sn; ++i) {
        if (i + SCAN_AHEAD < sn) {
            __builtin_prefetch(&w_index_[s[i + SCAN_AHEAD]]);
            __builtin_prefetch(&vertex[s[i + SCAN_AHEAD]]);  // the first layer reads it
        }
        const std::uint32_t x = s[i];
        if (w_index_[x] == NO_VERTEX) {
            w_index_[x] = static_cast<std::uint32_t>(w.size());
            w.push_back(x);
        }
    }
    auto release_w = [&] {
        // A large W is cheaper to reset by one sequential sweep than by scattered writes.
        if (w.size() > w_index_.size() / LARGE_LIST_DIVISOR) {
            std::fill(w_index_.begin(), w_index_.end(), NO_VERTEX);
        } else {
            const std::size_t wn = w.size();
            for (std::size_t i = 0; i < wn; ++i) {
                if (i + SCAN_AHEAD < wn) __builtin_prefetch(&w_index_[w[i + SCAN_AHEAD]], 1);
                w_index_[w[i]] = NO_VERTEX;
            }
        }
    };
    frontier_.assign(w.begin(), w.end());
    const std::uint64_t size_limit = k * static_cast<std::uint64_t>(s.size());
    auto accept_all = [](std::uint32_t, double, std::uint32_t) { return true; };
    auto join_layer = [&](std::uint32_t v) {
        if (!(flags_[v] & IN_LAYER) && key(v) < bound) {
            flags_[v] |= IN_LAYER;
            next_.push_back(v);
            __builtin_prefetch(&w_index_[v]);  // read when the layer joins W
        }
    };
    for (std::uint64_t layer = 0; layer < k; ++layer) {
        next_.clear();
        relax_list(frontier_, [](std::uint32_t) {}, accept_all, join_layer);
        const std::size_t nn = next_.size();
        for (std::size_t i = 0; i < nn; ++i) {
            if (i + SCAN_AHEAD < nn) {
                __builtin_prefetch(&flags_[next_[i + SCAN_AHEAD]], 1);
                __builtin_prefetch(&w_index_[next_[i + SCAN_AHEAD]], 1);
            }
            const std::uint32_t v = next_[i];
            flags_[v] &= static_cast<std::uint8_t>(~IN_LAYER);
            if (w_index_[v] == NO_VERTEX) {
                w_index_[v] = static_cast<std::uint32_t>(w.size());
                w.push_back(v);
            }
        }
        if (w.size() > size_limit) {
            pivots.assign(s.begin(), s.end());
            release_w();
            return;
        }
        frontier_.swap(next_);
    }

    // Forest of tight predecessor edges inside W, by position in W. Only the first
    // edge p -> v in row order that is tight makes v a child of p.
    const std::size_t wn = w.size();
    first_child_.assign(wn, NO_VERTEX);
    next_sibling_.assign(wn, NO_VERTEX);
    non_root_.assign(wn, 0);
    for (std::size_t i = 0; i < wn; ++i) {
        // Tight: pred's sum gives dist[v], with hops not above pred's plus one ("Rounding", 2).
        // Two-stage prefetch: the state of w[i + 16], then the predecessor of w[i + 8].
        if (i + 16 < wn) __builtin_prefetch(&vertex[w[i + 16]]);
        if (i + 8 < wn) {
            const std::uint32_t p_ahead = vertex[w[i + 8]].pred;
            if (p_ahead != NO_VERTEX) {
                __builtin_prefetch(&w_index_[p_ahead]);
                __builtin_prefetch(&vertex[p_ahead]);
            }
        }
        const std::uint32_t v = w[i];
        const VertexNode& sv = vertex[v];
        const std::uint32_t p = sv.pred;
        if (p == NO_VERTEX) continue;
        const std::uint32_t pi = w_index_[p];
        if (pi == NO_VERTEX) continue;
        const VertexNode& sp = vertex[p];
        const bool tight_hops = sv.hops <= sp.hops + 1;
        const bool tight = tight_hops && ((sp.ring == v && sv.dist == 0.0 + sp.dist) ||
                                          (sp.to == v && sv.dist == sp.weight + sp.dist));
        if (tight) {
            next_sibling_[i] = first_child_[pi];
            first_child_[pi] = static_cast<std::uint32_t>(i);
            non_root_[i] = 1;
        }
    }
    for (std::uint32_t root : s) {
        const std::uint32_t ri = w_index_[root];
        if (non_root_[ri]) continue;
        // Only "at least k" matters, so the walk stops at k vertices.
        std::uint64_t count = 0;
        stack_.clear();
        stack_.push_back(ri);
        while (!stack_.empty() && count < k) {
            const std::uint32_t x = stack_.back();
            stack_.pop_back();
            ++count;
            for (std::uint32_t c = first_child_[x]; c != NO_VERTEX; c = next_sibling_[c]) stack_.push_back(c);
        }
        if (count >= k) pivots.push_back(root);
    }
    release_w();
}

Key State::base_case(const Key& bound, std::span<const std::uint32_t> s) {
    if (s.size() != 1) internal_stop("BaseCase requires |S| == 1");
    const std::uint32_t x = s[0];
    // The open items, unordered: a base case holds a handful (at most two pushes per pop,
    // and it stops after k + 1 vertices), so a scan for the smallest serves. Keys hold the
    // vertex, so two items with equal keys are identical and either may go first.
    Vec<OpenItem>& items = open_scratch_;
    items.clear();
    Vec<std::uint32_t>& u0 = scratch_[0].u;
    u0.clear();

    u0.push_back(x);
    flags_[x] |= SEEN;
    items.push_back({key(x), x});
    auto below_bound = [&](std::uint32_t v, double cd, std::uint32_t ch) {
        return Key{cd, static_cast<std::int64_t>(ch), static_cast<std::int64_t>(v)} < bound;
    };
    // The heads of a pushed vertex are read if it is popped, usually within the next few
    // steps: start loading them now, so that their misses overlap.
    auto prefetch_heads = [&](std::uint32_t v) {
        const VertexNode& r = vertex[v];
        if (r.ring != NO_VERTEX) __builtin_prefetch(&vertex[r.ring]);
        if (r.to != NO_VERTEX) __builtin_prefetch(&vertex[r.to]);
    };
    prefetch_heads(x);
    auto push = [&](std::uint32_t v) {
        prefetch_heads(v);
        items.push_back({key(v), v});
    };
    while (u0.size() < k + 1 && !items.empty()) {
        std::size_t smallest = 0;
        for (std::size_t i = 1; i < items.size(); ++i) {
            if (items[i].key < items[smallest].key) smallest = i;
        }
        const OpenItem top = items[smallest];
        items[smallest] = items.back();
        items.pop_back();
        const std::uint32_t u = top.vertex;
        // Every change of a key in here pushes the new key, so the last key pushed for u is
        // its current one: an item is stale exactly when its key is no longer u's.
        if (!(key(u) == top.key)) continue;
        if (!(flags_[u] & SEEN)) {
            flags_[u] |= SEEN;
            u0.push_back(u);
        }
        relax_row(u, below_bound, push);
    }
    for (std::uint32_t v : u0) flags_[v] &= static_cast<std::uint8_t>(~SEEN);

    Key result_bound = bound;
    if (u0.size() > k) {
        // Drop the vertex with the largest key, which is the last one taken: every pushed key
        // is above the popped key it came from (its dist is not below, its hops one more), so
        // pops come in increasing key order and a popped vertex's key never changes again.
        result_bound = key(u0.back());
        u0.pop_back();
    }
    for (std::uint32_t v : u0) settle(v);
    return result_bound;
}

Key State::bmssp_bound(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s) {
    if (level > MAX_LEVELS) internal_stop("BMSSP level above the supported depth");
    if (scratch_.size() < level + 1) scratch_.resize(level + 1);
    return run_level(level, bound, s);
}

LevelResult State::bmssp(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s) {
    LevelResult result;
    result.bound = bmssp_bound(level, bound, s);
    result.vertices = scratch_[level].u;
    return result;
}

Key State::run_level(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s) {
    if (level == 0) return base_case(bound, s);
    const std::uint64_t np = vertex.size();
    LevelScratch& sc = scratch_[level];

    find_pivots_into(bound, s, sc.pivots, sc.w);

    const std::uint64_t s1 = t * (level - 1);
    std::uint64_t m = (s1 <= 62 && (std::uint64_t{1} << s1) < np) ? (std::uint64_t{1} << s1) : np;
    if (m == 0) m = 1;
    if (m == 1) {
        sc.unit.reset(bound);
        return run_level_on(level, bound, sc.unit);
    }
    sc.d.reset(m, bound);
    return run_level_on(level, bound, sc.d);
}

template <class Queue>
Key State::run_level_on(std::uint64_t level, const Key& bound, Queue& d) {
    LevelScratch& sc = scratch_[level];
    const std::uint8_t in_u = static_cast<std::uint8_t>(IN_U << (level - 1));
    // Inserting changes no key, so B' starts at the smallest pivot key, taken in the same pass.
    Key last_bp = bound;
    const std::size_t pn = sc.pivots.size();
    sc.k_list.clear();  // free until the loop below
    for (std::size_t i = 0; i < pn; ++i) {
        if (i + SCAN_AHEAD < pn) __builtin_prefetch(&vertex[sc.pivots[i + SCAN_AHEAD]]);
        const std::uint32_t x = sc.pivots[i];
        const Key kx = key(x);
        sc.k_list.push_back({x, kx});
        if (i == 0 || kx < last_bp) last_bp = kx;
    }
    d.fill(sc.k_list, seed);

    const std::uint64_t size_shift = level * t;
    const bool unlimited = size_shift >= 100;
    const unsigned __int128 limit = unlimited ? 0 : static_cast<unsigned __int128>(k) << size_shift;

    Vec<std::uint32_t>& u = sc.u;
    u.clear();
    const Vec<std::uint32_t>& child_u = scratch_[level - 1].u;
    auto accept_all = [](std::uint32_t, double, std::uint32_t) { return true; };
    while ((unlimited || static_cast<unsigned __int128>(u.size()) < limit) && !d.is_empty()) {
        cancel_point();
        const Key bi = d.pull(seed, sc.pulled);
        if (sc.pulled.empty()) internal_stop("Pull returned an empty set while D was non-empty");
        sc.fresh.clear();
        const std::size_t pulled_n = sc.pulled.size();
        for (std::size_t i = 0; i < pulled_n; ++i) {
            if (i + SCAN_AHEAD < pulled_n) __builtin_prefetch(&flags_[sc.pulled[i + SCAN_AHEAD]]);
            const std::uint32_t v = sc.pulled[i];
            if (!(flags_[v] & COMPLETE)) sc.fresh.push_back(v);
        }
        if (sc.fresh.empty()) {
            last_bp = bi;
            continue;
        }
        const Key child_bp = run_level(level - 1, bi, sc.fresh);
        // U gains the child's vertices in order; relaxing their edges does not depend on U,
        // so both happen in one pass over U_i.
        auto join_u = [&](std::uint32_t x) {
            cancel_point();
            if (!(flags_[x] & in_u)) {
                flags_[x] |= in_u;
                u.push_back(x);
            }
        };
        sc.k_list.clear();
        auto route = [&](std::uint32_t v) {
            const Key kv = key(v);
            if (bi <= kv && kv < bound) {
                d.insert(v, kv, seed);
            } else if (child_bp <= kv && kv < bi) {
                sc.k_list.push_back({v, kv});
            }
        };
        relax_list(child_u, join_u, accept_all, route);
        const std::size_t fn = sc.fresh.size();
        for (std::size_t i = 0; i < fn; ++i) {
            // After a large child call the pulled vertices have left the cache.
            if (i + SCAN_AHEAD < fn) __builtin_prefetch(&vertex[sc.fresh[i + SCAN_AHEAD]]);
            const std::uint32_t x = sc.fresh[i];
            const Key kx = key(x);
            if (child_bp <= kx && kx < bi) sc.k_list.push_back({x, kx});
        }
        if (!sc.k_list.empty()) d.batch_prepend(sc.k_list, seed);
        last_bp = child_bp;
    }

    const Key bp = last_bp < bound ? last_bp : bound;
    if (bound < bp) internal_stop("assertion failed: bp <= b");
    const std::size_t wn = sc.w.size();
    for (std::size_t i = 0; i < wn; ++i) {
        if (i + SCAN_AHEAD < wn) {
            __builtin_prefetch(&flags_[sc.w[i + SCAN_AHEAD]]);
            __builtin_prefetch(&vertex[sc.w[i + SCAN_AHEAD]]);
        }
        cancel_point();
        const std::uint32_t x = sc.w[i];
        if (!(flags_[x] & in_u) && key(x) < bp) {
            flags_[x] |= in_u;
            u.push_back(x);
            settle(x);
        }
    }
    if (u.size() > flags_.size() / LARGE_LIST_DIVISOR) {
        for (std::uint8_t& f : flags_) f &= static_cast<std::uint8_t>(~in_u);
    } else {
        const std::size_t un = u.size();
        for (std::size_t i = 0; i < un; ++i) {
            if (i + SCAN_AHEAD < un) __builtin_prefetch(&flags_[u[i + SCAN_AHEAD]], 1);
            flags_[u[i]] &= static_cast<std::uint8_t>(~in_u);
        }
    }
    return bp;
}

// --- the driver --------------------------------------------------------------------------

std::variant<BmsspRun, BmsspError> sssp_bmssp(const Csr& csr, std::uint64_t source, std::uint64_t seed,
                                              SettleLog log, double limit) {
    if (source >= csr.n) return BmsspError::SourceOutOfRange;
    for (double w : csr.weights) {
        if (!(w >= 0.0) || w == INF) return BmsspError::InvalidWeight;
    }
    // Cheap bound first (n' <= 2m + n); the exact count only near the limit.
    const std::uint64_t m = csr.nnz();
    if (!(2 * m + csr.n < TWO_POW_32 && csr.n <= TWO_POW_31)) {
        if (!fits_bmssp_ids(csr.n, transformed_vertex_count(csr))) return BmsspError::GraphTooLarge;
    }

    // The rows go straight into the run's vertex records: no compact copy to build and drop.
    CompactGraph cg;
    Vec<VertexNode> vertices =
        build_constant_degree_rows(csr, source, cg, VertexNode{INF, UNREACHED, NO_VERTEX, NO_VERTEX, NO_VERTEX, 0.0});
    const std::uint64_t np = vertices.size();
    const BmsspParams params = bmssp_parameters(np);
    State state(std::move(vertices), cg.source, params.k, params.t, seed);
    state.keep_log = log == SettleLog::Keep;
    if (state.keep_log) state.settle_log.reserve(np);  // at most one record per vertex: never regrown
    const std::uint32_t top_sources[1] = {cg.source};
    // The outermost call completes every vertex whose key lies below its bound
    // (its vertex set may not outgrow k * 2^(levels * t) >= n', so it never
    // stops early). A key (d, hops, v) with d <= limit lies below
    // (limit, top, top), since real hop counts stay below the top; so with a
    // limit, the vertices within it are complete and all others have a true
    // distance, and hence a tentative one, above the limit.
    const bool limited = limit != INF;
    const Key bound = limited ? Key{limit, NO_PATH_HOPS, NO_PATH_HOPS} : KEY_TOP;
    const Key reached = state.bmssp_bound(params.levels, bound, top_sources);
    if (limited && !(reached == bound)) internal_stop("BMSSP: the outermost call stopped below its bound");
    const std::uint64_t lowered = sums_are_exact(csr.weights) ? 0 : state.finish(limit);

    const Vec<VertexNode>& vs = state.vertex;
    BmsspRun run;
    run.dist = OwnedArray<double>::uninitialized(csr.n);
    for (std::uint64_t v = 0; v < csr.n; ++v) run.dist[v] = vs[cg.first_copy[v]].dist;
    run.pred = predecessors_back(
        make_result(std::span<const std::uint32_t>(cg.first_copy), std::span<const std::uint32_t>(cg.orig),
                    [&](std::uint64_t c) { return vs[c].dist; },
                    [&](std::uint64_t c) { return vs[c].pred == NO_VERTEX ? NO_PRED : std::uint64_t{vs[c].pred}; }),
        source);
    if (limited) {
        for (std::uint64_t v = 0; v < csr.n; ++v) {
            if (run.dist[v] > limit) {
                run.dist[v] = INF;
                run.pred[v] = -1;
            }
        }
    }
    run.settle_log = std::move(state.settle_log);
    run.counts = ExactnessCounts{state.reoffers, lowered};
    // The log was reserved for every vertex; give most of it back when few were reached.
    if (run.settle_log.size() < run.settle_log.capacity() / 2) run.settle_log.shrink_to_fit();
    return run;
}

}  // namespace qh
