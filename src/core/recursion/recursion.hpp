// recursion.hpp: the bounded multi-source recursion, one implementation for every run.
//
// What it computes. For a graph with non-negative finite weights and a
// source s, the distance of every vertex from s and a shortest-path tree,
// by the BMSSP recursion of Duan, Mao, Mao, Shu and Yin ("Breaking the
// Sorting Barrier for Directed Single-Source Shortest Paths", 2025): FindPivots
// shrinks a frontier to the roots of large shortest-path subtrees, a frontier
// queue hands out batches of the smallest keys, each batch is solved one level
// down, and level 0 is a Dijkstra search cut off after k+1 vertices. The run
// also records the order in which vertices became complete (the settlement log).
//
// One recursion, several configurations. `Recursion<Rows, Queues>` is that
// recursion over
//   - Rows: `ConstantDegreeRows`, the constant-degree form of the input
//     (transform.hpp) kept inside the vertex records, one 32-byte record per
//     vertex holding its row ({ring head, other head, weight}) beside its
//     tentative path, so reading a vertex and its row costs one cache line; or
//     `CsrRows`, the input graph itself, 16-byte labels beside the caller's CSR;
//   - Queues: `BlockQueues`, the block-based queue of block_queue.hpp (with its
//     single-entry form when a level pulls one vertex at a time), or `FlatQueues`,
//     the binary heap of variants/simple_queue.hpp;
// and, at run time, over k and t, the pivot rule (`lazy_pivots`: FindPivots stops
// its layers early when a layer fails to shrink the frontier, and a root becomes a
// pivot when its tree has as many vertices as layers were begun) and the hybrid
// switch (a call whose level or source count is small enough is answered by one
// bounded multi-source Dijkstra search instead). The core run is the default:
// constant-degree rows, block queues, the standard rule, no switch.
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
// Parameters. k and t may be forced to any u64. Everything derived from them
// (k·|S|, t·(l−1), l·t, the size limit k·2^(l·t)) is computed saturating or in
// 128 bits, so forced parameters change the work done but never the distances.
//
// Scratch. Sets of the recursion are flag bits in one byte per vertex (settled,
// in a FindPivots layer, seen by a base case, in the U of level l for l <= 5;
// deeper levels, which only forced parameters reach, keep U in a hash set) or a
// dense position array (FindPivots' W), each reset by walking the list it
// marked; every level reuses its lists and its queue across calls, so a run
// allocates almost nothing after its first calls at each level.
//
// Cancellation. The loops poll the installed cancel flag once per pull above
// level 1, once per POLL_PULLS pulls of a level-1 call or pops of a base case,
// once per pop of a bounded search, and once per POLL_STRIDE vertices of a long
// list, so that a pending Ctrl-C is noticed within a fraction of a millisecond
// of work while the per-vertex loops carry no poll at all.
//
// Invariants of the recursion: a vertex becomes complete at most once and is
// logged then, with its distance at that moment; every vertex of a returned U
// is complete; B' <= B for every call; the block size M never exceeds n'.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <utility>

#include "core/queues/block_queue.hpp"
#include "core/queues/unit_queue.hpp"
#include "core/cancel.hpp"
#include "core/csr.hpp"
#include "core/dijkstra.hpp"
#include "core/recursion/finish.hpp"
#include "core/id_map.hpp"
#include "core/memory.hpp"
#include "core/stop.hpp"
#include "core/queues/flat_heap.hpp"
#include "core/queues/key_heap.hpp"

namespace qh {

// Stored hop count of an unreached vertex; keys report it as NO_PATH_HOPS.
inline constexpr std::uint32_t UNREACHED = 0xFFFFFFFFu;

// One entry of the settlement-order log.
struct SettleRecord {
    std::uint32_t vertex;  // searched-graph vertex id
    double dhat;           // its distance when it became complete
};

// a < b for keys, as operator< orders them (dist by totalOrder, then hops, then vertex), but
// always inline: the recursion compares keys in every relaxation and routing step.
[[gnu::always_inline]] inline bool key_below(const Key& a, const Key& b) noexcept {
    const std::int64_t da = total_order_bits(a.dist);
    const std::int64_t db = total_order_bits(b.dist);
    if (da != db) return da < db;
    if (a.hops != b.hops) return a.hops < b.hops;
    return a.vertex < b.vertex;
}

// --- parameter arithmetic ---------------------------------------------------------------

using u128 = unsigned __int128;

// a·b, saturating at 2^64 − 1.
inline std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

// k·2^s as a 128-bit value, saturating at 2^128 − 1.
inline u128 size_limit(std::uint64_t k, std::uint64_t s) noexcept {
    constexpr u128 top = ~u128{0};
    if (k == 0) return 0;
    if (s >= 128 || u128{k} > (top >> s)) return top;
    return u128{k} << s;
}

// M of a recursive level l >= 1: 2^(t(l−1)) when that exponent is at most 62 and the power
// is below n, else n; at least 1.
inline std::uint64_t block_size(std::uint64_t t, std::uint64_t level, std::uint64_t n) noexcept {
    const std::uint64_t s1 = sat_mul(t, level - 1);
    std::uint64_t m = (s1 <= 62 && (std::uint64_t{1} << s1) < n) ? std::uint64_t{1} << s1 : n;
    return m == 0 ? 1 : m;
}

// --- rows ---------------------------------------------------------------------------------

// A vertex of the constant-degree form: its tentative path and its row, in one 32-byte
// record, so that reading u's state and u's row costs one cache line, and the ring head
// (the next copy) usually sits in the same or the adjacent line. Its edges, in row
// order, are (ring, +0.0) when ring != NO_VERTEX, then (to, weight) when to != NO_VERTEX.
struct alignas(32) VertexNode {
    double dist;         // tentative distance; +inf when unreached
    std::uint32_t hops;  // edges on the path behind dist; UNREACHED when none
    std::uint32_t pred;  // predecessor on that path; NO_VERTEX when none
    std::uint32_t ring;  // head of the leading zero-weight edge, or NO_VERTEX
    std::uint32_t to;    // head of the other edge, or NO_VERTEX
    double weight;       // weight of the other edge
};
static_assert(sizeof(VertexNode) == 32, "VertexNode must stay half a cache line");

// A vertex of a general graph: its tentative path only; the rows stay in the CSR.
struct alignas(16) LabelNode {
    double dist;         // as in VertexNode
    std::uint32_t hops;
    std::uint32_t pred;
};
static_assert(sizeof(LabelNode) == 16, "LabelNode is one 16-byte record");

// The constant-degree rows, held in the vertex records themselves.
struct ConstantDegreeRows {
    using Node = VertexNode;

    template <class F>
    [[gnu::always_inline]] static void for_each_edge(const Node* vertex, std::uint32_t u, F&& f) {
        const Node& r = vertex[u];
        const std::uint32_t ring = r.ring;
        const std::uint32_t to = r.to;
        const double weight = r.weight;
        if (ring != NO_VERTEX) f(ring, 0.0);
        if (to != NO_VERTEX) f(to, weight);
    }
    static void prefetch_row(const Node* vertex, std::uint32_t u) { __builtin_prefetch(&vertex[u]); }
    static void prefetch_heads(const Node* vertex, std::uint32_t u) {
        const Node& r = vertex[u];
        if (r.ring != NO_VERTEX) __builtin_prefetch(&vertex[r.ring]);
        if (r.to != NO_VERTEX) __builtin_prefetch(&vertex[r.to]);
    }
    static std::uint64_t degree(const Node* vertex, std::uint64_t u) noexcept {
        return std::uint64_t{vertex[u].ring != NO_VERTEX} + std::uint64_t{vertex[u].to != NO_VERTEX};
    }
    static std::pair<std::uint32_t, double> edge(const Node* vertex, std::uint64_t u, std::uint64_t i) noexcept {
        const Node& r = vertex[u];
        if (i == 0 && r.ring != NO_VERTEX) return {r.ring, 0.0};
        return {r.to, r.weight};
    }
};

// The rows of a CSR graph, which must outlive the run.
struct CsrRows {
    using Node = LabelNode;
    const std::uint64_t* indptr = nullptr;
    const std::uint32_t* indices = nullptr;
    const double* weights = nullptr;

    template <class F>
    [[gnu::always_inline]] void for_each_edge(const Node*, std::uint32_t u, F&& f) const {
        const std::uint64_t end = indptr[u + 1];
        for (std::uint64_t e = indptr[u]; e < end; ++e) f(indices[e], weights[e]);
    }
    void prefetch_row(const Node* vertex, std::uint32_t u) const {
        __builtin_prefetch(&vertex[u]);
        __builtin_prefetch(&indptr[u]);
    }
    void prefetch_heads(const Node* vertex, std::uint32_t u) const {
        const std::uint64_t end = indptr[u + 1];
        for (std::uint64_t e = indptr[u]; e < end; ++e) __builtin_prefetch(&vertex[indices[e]], 1);
    }
    std::uint64_t degree(const Node*, std::uint64_t u) const noexcept { return indptr[u + 1] - indptr[u]; }
    std::pair<std::uint32_t, double> edge(const Node*, std::uint64_t u, std::uint64_t i) const noexcept {
        return {indices[indptr[u] + i], weights[indptr[u] + i]};
    }
};

// --- queues -------------------------------------------------------------------------------

// The block queue of one level, with its single-entry form for M = 1 (the same results).
struct BlockQueues {
    BlockDs d{1, KEY_TOP};
    UnitQueue unit;

    template <class F>
    Key with_queue(std::uint64_t m, const Key& bound, F&& f) {
        if (m == 1) {
            unit.reset(bound);
            return f(unit);
        }
        d.reset(m, bound);
        return f(d);
    }
};

// The binary heap of one level, whatever M.
struct FlatQueues {
    FlatHeap d{1, KEY_TOP};

    template <class F>
    Key with_queue(std::uint64_t m, const Key& bound, F&& f) {
        d.reset(m, bound);
        return f(d);
    }
};

// --- the recursion --------------------------------------------------------------------------

// How much work a run did, counted only by a `Recursion<..., true>` (all zero otherwise).
struct OperationCounts {
    std::uint64_t pulls = 0;             // Pull calls on a level's queue
    std::uint64_t pulled = 0;            // vertices those pulls returned
    std::uint64_t inserts = 0;           // Insert calls on a level's queue (pivots loaded at a call's start excluded)
    std::uint64_t batch_prepends = 0;    // BatchPrepend calls
    std::uint64_t relaxations = 0;       // edges relaxed (the closing edge check excluded)
    std::uint64_t base_cases = 0;        // level-0 calls answered by the base case
    std::uint64_t find_pivots = 0;       // FindPivots calls
    std::uint64_t bounded_searches = 0;  // calls answered by one bounded search, a whole search included
};

// What a configuration switches at run time.
struct RecursionConfig {
    std::uint64_t k = 1;                      // FindPivots depth and base-case size
    std::uint64_t t = 1;                      // level step: block size at level l is 2^(t(l-1))
    bool lazy_pivots = false;                 // the lazy FindPivots rule
    std::int32_t dijkstra_max_level = -1;     // level <= this takes the bounded search; -1 = off
    std::uint64_t dijkstra_max_frontier = 0;  // |S| <= this takes the bounded search; 0 = off

    // Whether a call at `level` with `sources` sources is one bounded Dijkstra search.
    bool takes_bounded_search(std::uint64_t level, std::size_t sources) const noexcept {
        return static_cast<std::int64_t>(dijkstra_max_level) >= static_cast<std::int64_t>(level) ||
               sources <= dijkstra_max_frontier;
    }
};

// The working record of one run.
//
// Hop counts and predecessors are stored in 32 bits: a hop count is the length
// of a simple path (hops strictly grow along predecessors), so it stays below
// n < 2^32, and UNREACHED / NO_VERTEX stand for 2^62 and "none". The tie rule
// "u <= pred[v] as signed 64-bit, none never wins" reads pred != NO_VERTEX && u <= pred.
//
// `Counted` adds the operation counts (`ops`); it changes no result, and the runs that
// are timed leave it off, so their loops carry no counter.
template <class Rows, class Queues, bool Counted = false>
class Recursion {
public:
    using Node = typename Rows::Node;

    // Fresh state on vertex records (rows included, for constant-degree rows) that are all
    // unreached; `source` becomes reached at distance +0.0 and 0 hops.
    Recursion(Vec<Node>&& vertices, Rows rows, std::uint32_t source, const RecursionConfig& config, std::uint64_t seed)
        : vertex(std::move(vertices)),
          k(config.k),
          t(config.t),
          seed(seed),
          config_(config),
          rows_(rows),
          flags_(vertex.size(), 0),
          w_index_(vertex.size(), NO_VERTEX) {
        vertex[source].dist = 0.0;
        vertex[source].hops = 0;
    }

    Vec<Node> vertex;              // per-vertex tentative path (and row)
    Vec<SettleRecord> settle_log;  // vertices in the order they became complete, if keep_log
    bool keep_log = true;          // false: settle() only marks, the log stays empty
    std::uint64_t k;
    std::uint64_t t;
    std::uint64_t seed;            // the block queues' SplitMix64 state
    std::uint64_t reoffers = 0;    // relaxations that offered an unchanged label again (rounding)
    OperationCounts ops;           // kept only when Counted

    // key(v) = (dist[v], hops[v], v).
    [[gnu::always_inline]] Key key(std::uint32_t v) const noexcept {
        const Node& s = vertex[v];
        return Key{s.dist, s.hops == UNREACHED ? NO_PATH_HOPS : static_cast<std::int64_t>(s.hops),
                   static_cast<std::int64_t>(v)};
    }
    // True once v is settled.
    bool is_complete(std::uint32_t v) const noexcept { return (flags_[v] & COMPLETE) != 0; }

    // BMSSP(l, B, S): completes vertices below the returned bound B' <= B; U is left in
    // `last_u()`.
    Key run(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s) {
        if (scratch_.size() < level + 1) scratch_.resize(level + 1);
        if (level > FLAG_LEVELS && wide_u_.size() < level + 1) wide_u_.resize(level + 1);
        return run_level(level, bound, s);
    }
    // The U of the latest call at `level`.
    std::span<const std::uint32_t> last_u(std::uint64_t level) const { return scratch_[level].u; }

    // FindPivots(B, S): pivots P and near set W. S non-empty.
    void find_pivots(const Key& bound, std::span<const std::uint32_t> s, Vec<std::uint32_t>& pivots,
                     Vec<std::uint32_t>& w);

    // The bounded search from `source` with bound KEY_TOP as one Dijkstra search: the labels
    // of run(levels, KEY_TOP, {source}) under a configuration whose outermost call takes the
    // bounded search, bit for bit. `min_weight` must not exceed any weight (0.0 always
    // qualifies); the larger it is, the less ordering work among equal distances. Nothing is
    // settled or logged.
    void whole_search(std::uint32_t source, double min_weight);

    // After the outermost call: checks every edge and lowers what fails, within `limit`
    // (finish.hpp); returns the number of labels lowered.
    std::uint64_t finish(double limit = std::numeric_limits<double>::infinity());

private:
    // Bits of flags_: settled; in the current FindPivots layer; taken by the current base case
    // or bounded search; in the U of the running call at level l (bit IN_U << (l - 1)).
    static constexpr std::uint8_t COMPLETE = 1;
    static constexpr std::uint8_t IN_LAYER = 2;
    static constexpr std::uint8_t SEEN = 4;
    static constexpr std::uint8_t IN_U = 8;
    static constexpr std::uint64_t FLAG_LEVELS = 5;  // levels whose U has a flag bit
    // A list of more than n / LARGE_LIST_DIVISOR marked vertices is unmarked by sweeping
    // the whole per-vertex array, which streams, instead of one cache miss per vertex.
    static constexpr std::size_t LARGE_LIST_DIVISOR = 16;
    // How many entries ahead loops that do almost nothing per vertex prefetch.
    static constexpr std::size_t SCAN_AHEAD = 32;
    // Vertices of a long list between two polls of the cancel flag.
    static constexpr std::size_t POLL_STRIDE = 4096;
    // Pulls of a level-1 call, or pops of a base case, between two polls of the cancel flag.
    static constexpr std::uint32_t POLL_PULLS = 256;

    struct OpenItem {  // a base case's pushed key
        Key key;
        std::uint32_t vertex;
    };
    // Scratch of the running call at one level, reused by every call at that level.
    struct LevelScratch {
        Vec<std::uint32_t> pivots;
        Vec<std::uint32_t> w;
        Vec<std::uint32_t> pulled;
        Vec<std::uint32_t> fresh;
        Vec<Entry> k_list;
        Vec<std::uint32_t> u;  // the call's result U
        Queues queues;
    };

    template <class F>
    [[gnu::always_inline]] void for_each_edge(std::uint32_t u, F&& f) const {
        rows_.for_each_edge(vertex.data(), u, f);
    }
    // Relaxes every edge of u's row in row order: `accept(v, cd, ch)` decides, for an edge
    // passing the relaxation test, whether to apply it; `applied(v)` runs after an update.
    template <class Accept, class Applied>
    [[gnu::always_inline]] void relax_row(std::uint32_t u, Accept& accept, Applied& applied) {
        for_each_edge(u, [&](std::uint32_t v, double w) __attribute__((always_inline)) {
            relax_edge(u, v, w, accept, applied);
        });
    }
    // relax_row for every vertex of `list` in order, polling the cancel flag once per
    // POLL_STRIDE vertices. Rows and the states of their heads are prefetched a few
    // vertices ahead: on large graphs nearly every access misses cache. `visit(u)` runs just
    // before u's row is relaxed (its flags byte is prefetched too).
    template <class Visit, class Accept, class Applied>
    void relax_list(std::span<const std::uint32_t> list, Visit&& visit, Accept&& accept, Applied&& applied) {
        constexpr std::size_t ROW_AHEAD = 32;
        constexpr std::size_t HEAD_AHEAD = 16;
        const std::size_t len = list.size();
        for (std::size_t start = 0; start < len; start += POLL_STRIDE) {
            if (start != 0) cancel_check();
            const std::size_t stop = std::min(len, start + POLL_STRIDE);
            for (std::size_t i = start; i < stop; ++i) {
                if (i + ROW_AHEAD < len) {
                    rows_.prefetch_row(vertex.data(), list[i + ROW_AHEAD]);
                    __builtin_prefetch(&flags_[list[i + ROW_AHEAD]]);
                }
                if (i + HEAD_AHEAD < len) rows_.prefetch_heads(vertex.data(), list[i + HEAD_AHEAD]);
                visit(list[i]);
                relax_row(list[i], accept, applied);
            }
        }
    }
    // The relaxation test: passes when (w + dist[u], hops[u] + 1) is below (dist[v], hops[v]),
    // or equal with u <= pred[v]. A candidate distance that overflows to +inf never passes.
    template <class Accept, class Applied>
    [[gnu::always_inline]] void relax_edge(std::uint32_t u, std::uint32_t v, double w, Accept& accept, Applied& applied) {
        if constexpr (Counted) ++ops.relaxations;
        const Node& su = vertex[u];
        const double cd = w + su.dist;
        if (!(cd < std::numeric_limits<double>::infinity())) return;
        const std::uint32_t ch = su.hops + 1;
        Node& sv = vertex[v];
        // Distances are never -0.0 or NaN here (+0.0 source, non-negative weights), so the
        // plain comparison is the totalOrder one.
        bool pass;
        if (cd != sv.dist) {
            pass = cd < sv.dist;
        } else if (ch != sv.hops) {
            pass = ch < sv.hops;
            if (!pass && sv.pred == u) {
                // v's label came from an earlier, larger dist of u that rounds to the same
                // sum: offer v again under its own, unchanged key ("Rounding" above).
                ++reoffers;
                if (accept(v, sv.dist, sv.hops)) applied(v);
                return;
            }
        } else {
            pass = sv.pred != NO_VERTEX && u <= sv.pred;
        }
        if (!pass || !accept(v, cd, ch)) return;
        sv.dist = cd;
        sv.hops = ch;
        sv.pred = u;
        applied(v);
    }
    [[gnu::always_inline]] void settle(std::uint32_t v) {
        if (flags_[v] & COMPLETE) return;
        flags_[v] |= COMPLETE;
        if (keep_log) settle_log.push_back({v, vertex[v].dist});
    }
    // Whether a tight edge p -> v holds v's label: its sum gives dist[v], with hops not
    // above p's plus one ("Rounding", 2).
    bool tight(std::uint32_t p, std::uint32_t v) const {
        const Node& sv = vertex[v];
        const Node& sp = vertex[p];
        if (!(sv.hops <= sp.hops + 1)) return false;
        bool found = false;
        for_each_edge(p, [&](std::uint32_t head, double w) __attribute__((always_inline)) {
            found |= head == v && sv.dist == w + sp.dist;
        });
        return found;
    }

    Key run_level(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);
    template <class Queue>
    Key run_level_on(std::uint64_t level, const Key& bound, Queue& d);
    Key base_case(const Key& bound, std::span<const std::uint32_t> s);
    Key bounded_search(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);

    RecursionConfig config_;
    Rows rows_;
    Vec<std::uint8_t> flags_;
    Vec<std::uint32_t> w_index_;  // position in the running FindPivots' W, NO_VERTEX outside it
    // FindPivots scratch, indexed by position in W.
    Vec<std::uint32_t> frontier_;
    Vec<std::uint32_t> next_;
    Vec<std::uint32_t> first_child_;
    Vec<std::uint32_t> next_sibling_;
    Vec<std::uint8_t> non_root_;
    Vec<std::uint32_t> stack_;
    // Base-case and bounded-search scratch.
    Vec<OpenItem> open_scratch_;
    KeyHeap heap_;
    Vec<LevelScratch> scratch_;
    Vec<IdSet> wide_u_;  // U of the running call at each level above FLAG_LEVELS
};

template <class Rows, class Queues, bool Counted>
std::uint64_t Recursion<Rows, Queues, Counted>::finish(double limit) {
    struct Labels {
        Recursion& s;
        std::uint64_t n() const noexcept { return s.vertex.size(); }
        double dist(std::uint64_t v) const noexcept { return s.vertex[v].dist; }
        std::int64_t hops(std::uint64_t v) const noexcept {
            return s.vertex[v].hops == UNREACHED ? NO_PATH_HOPS : std::int64_t{s.vertex[v].hops};
        }
        void set(std::uint32_t v, double d, std::int64_t h, std::uint32_t p) noexcept {
            Node& r = s.vertex[v];
            r.dist = d;
            r.hops = static_cast<std::uint32_t>(h);
            r.pred = p;
        }
        std::uint64_t degree(std::uint64_t u) const noexcept { return s.rows_.degree(s.vertex.data(), u); }
        std::pair<std::uint32_t, double> edge(std::uint64_t u, std::uint64_t i) const noexcept {
            return s.rows_.edge(s.vertex.data(), u, i);
        }
        void settle(std::uint32_t v) { s.settle(v); }
    } labels{*this};
    // The scan of every edge is the whole cost of a run that needs no finishing: one pass
    // over the records, reading each head's distance.
    Vec<std::uint32_t> seeds;
    const std::size_t np = vertex.size();
    for (std::size_t u = 0; u < np; ++u) {
        if (u + SCAN_AHEAD < np) rows_.prefetch_heads(vertex.data(), static_cast<std::uint32_t>(u + SCAN_AHEAD));
        const double du = vertex[u].dist;
        if (!(du < std::numeric_limits<double>::infinity())) continue;
        bool fails = false;
        for_each_edge(static_cast<std::uint32_t>(u), [&](std::uint32_t v, double w) __attribute__((always_inline)) {
            fails |= w + du < vertex[v].dist && w + du <= limit;
        });
        if (fails) seeds.push_back(static_cast<std::uint32_t>(u));
    }
    return finish_exact(labels, seeds, limit);
}

template <class Rows, class Queues, bool Counted>
void Recursion<Rows, Queues, Counted>::find_pivots(const Key& bound, std::span<const std::uint32_t> s,
                                          Vec<std::uint32_t>& pivots, Vec<std::uint32_t>& w) {
    if constexpr (Counted) ++ops.find_pivots;
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
    const std::uint64_t size_limit = sat_mul(k, s.size());
    auto accept_all = [](std::uint32_t, double, std::uint32_t) { return true; };
    auto join_layer = [&](std::uint32_t v) {
        if (!(flags_[v] & IN_LAYER) && key_below(key(v), bound)) {
            flags_[v] |= IN_LAYER;
            next_.push_back(v);
            __builtin_prefetch(&w_index_[v]);  // read when the layer joins W
        }
    };
    // Layers begun: the lazy rule's pivot threshold. The standard rule's is k; its layers
    // after the frontier ran empty would change nothing.
    std::uint64_t begun = 0;
    for (std::uint64_t layer = 0; layer < k; ++layer) {
        ++begun;
        if (frontier_.empty()) break;
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
        // The lazy rule: from the second layer on, a layer that does not shrink the frontier ends them.
        if (config_.lazy_pivots && layer >= 1 && layer + 1 < k && next_.size() >= frontier_.size()) break;
        frontier_.swap(next_);
    }
    const std::uint64_t threshold = config_.lazy_pivots ? begun : k;

    // Forest of tight predecessor edges inside W, by position in W. Only the first
    // edge p -> v in row order that is tight makes v a child of p.
    const std::size_t wn = w.size();
    first_child_.assign(wn, NO_VERTEX);
    next_sibling_.assign(wn, NO_VERTEX);
    non_root_.assign(wn, 0);
    for (std::size_t i = 0; i < wn; ++i) {
        // Two-stage prefetch: the state of w[i + 16], then the predecessor of w[i + 8].
        if (i + 16 < wn) __builtin_prefetch(&vertex[w[i + 16]]);
        if (i + 8 < wn) {
            const std::uint32_t p_ahead = vertex[w[i + 8]].pred;
            if (p_ahead != NO_VERTEX) {
                __builtin_prefetch(&w_index_[p_ahead]);
                rows_.prefetch_row(vertex.data(), p_ahead);
            }
        }
        const std::uint32_t v = w[i];
        const std::uint32_t p = vertex[v].pred;
        if (p == NO_VERTEX) continue;
        const std::uint32_t pi = w_index_[p];
        if (pi == NO_VERTEX) continue;
        if (tight(p, v)) {
            next_sibling_[i] = first_child_[pi];
            first_child_[pi] = static_cast<std::uint32_t>(i);
            non_root_[i] = 1;
        }
    }
    for (std::uint32_t root : s) {
        const std::uint32_t ri = w_index_[root];
        if (non_root_[ri]) continue;
        // Only "at least threshold" matters, so the walk stops there.
        std::uint64_t count = 0;
        stack_.clear();
        stack_.push_back(ri);
        while (!stack_.empty() && count < threshold) {
            const std::uint32_t x = stack_.back();
            stack_.pop_back();
            ++count;
            for (std::uint32_t c = first_child_[x]; c != NO_VERTEX; c = next_sibling_[c]) stack_.push_back(c);
        }
        if (count >= threshold) pivots.push_back(root);
    }
    release_w();
}

template <class Rows, class Queues, bool Counted>
Key Recursion<Rows, Queues, Counted>::base_case(const Key& bound, std::span<const std::uint32_t> s) {
    if (s.size() != 1) internal_stop("BaseCase requires |S| == 1");
    if constexpr (Counted) ++ops.base_cases;
    const std::uint32_t x = s[0];
    // The open items, unordered: a base case holds a handful (at most a row's worth of pushes
    // per pop, and it stops after k + 1 vertices), so a scan for the smallest serves. Keys
    // hold the vertex, so two items with equal keys are identical and either may go first.
    Vec<OpenItem>& items = open_scratch_;
    items.clear();
    Vec<std::uint32_t>& u0 = scratch_[0].u;
    u0.clear();

    u0.push_back(x);
    flags_[x] |= SEEN;
    items.push_back({key(x), x});
    auto below_bound = [&](std::uint32_t v, double cd, std::uint32_t ch) __attribute__((always_inline)) {
        return key_below(Key{cd, static_cast<std::int64_t>(ch), static_cast<std::int64_t>(v)}, bound);
    };
    // The heads of a pushed vertex are read if it is popped, usually within the next few
    // steps: start loading them now, so that their misses overlap.
    rows_.prefetch_heads(vertex.data(), x);
    auto push = [&](std::uint32_t v) __attribute__((always_inline)) {
        rows_.prefetch_heads(vertex.data(), v);
        items.push_back({key(v), v});
    };
    // "fewer than k + 1" without forming k + 1, which wraps for k = 2^64 − 1.
    std::uint32_t pops = 0;  // a forced large k makes a base case a long search: poll it
    while (u0.size() <= k && !items.empty()) {
        if (++pops == POLL_PULLS) [[unlikely]] {
            pops = 0;
            cancel_check();
        }
        std::size_t smallest = 0;
        for (std::size_t i = 1; i < items.size(); ++i) {
            if (key_below(items[i].key, items[smallest].key)) smallest = i;
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

template <class Rows, class Queues, bool Counted>
Key Recursion<Rows, Queues, Counted>::bounded_search(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s) {
    // Every vertex reachable from S below B, in key order; each taken once (SEEN), stale
    // heap entries recognised by their key.
    if constexpr (Counted) ++ops.bounded_searches;
    KeyHeap& heap = heap_;
    heap.clear();
    Vec<std::uint32_t>& u = scratch_[level].u;
    u.clear();
    auto push_key = [&](std::uint32_t v) {
        const Node& r = vertex[v];
        heap.push(r.dist, static_cast<std::int32_t>(r.hops), v);
    };
    for (const std::uint32_t x : s) push_key(x);
    auto below_bound = [&](std::uint32_t v, double cd, std::uint32_t ch) __attribute__((always_inline)) {
        return key_below(Key{cd, static_cast<std::int64_t>(ch), static_cast<std::int64_t>(v)}, bound);
    };
    auto push = [&](std::uint32_t v) __attribute__((always_inline)) {
        rows_.prefetch_heads(vertex.data(), v);
        push_key(v);
    };
    while (const auto top = heap.pop()) {
        cancel_point();
        const std::uint32_t v = top->vertex;
        const Node& r = vertex[v];
        if ((flags_[v] & SEEN) || static_cast<std::int32_t>(r.hops) != top->hops ||
            std::bit_cast<std::uint64_t>(r.dist) != std::bit_cast<std::uint64_t>(top->dist))
            continue;
        flags_[v] |= SEEN;
        u.push_back(v);
        relax_row(v, below_bound, push);
    }
    for (const std::uint32_t v : u) {
        flags_[v] &= static_cast<std::uint8_t>(~SEEN);
        settle(v);
    }
    return bound;
}

template <class Rows, class Queues, bool Counted>
Key Recursion<Rows, Queues, Counted>::run_level(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s) {
    if (config_.takes_bounded_search(level, s.size())) return bounded_search(level, bound, s);
    if (level == 0) return base_case(bound, s);
    LevelScratch& sc = scratch_[level];
    find_pivots(bound, s, sc.pivots, sc.w);
    const std::uint64_t m = block_size(t, level, vertex.size());
    return sc.queues.with_queue(m, bound, [&](auto& d) { return run_level_on(level, bound, d); });
}

template <class Rows, class Queues, bool Counted>
template <class Queue>
Key Recursion<Rows, Queues, Counted>::run_level_on(std::uint64_t level, const Key& bound, Queue& d) {
    LevelScratch& sc = scratch_[level];
    // U membership: a flag bit at the levels that have one, else a hash set.
    const std::uint8_t in_u = level <= FLAG_LEVELS ? static_cast<std::uint8_t>(IN_U << (level - 1)) : 0;
    IdSet* wide = in_u == 0 ? &wide_u_[level] : nullptr;
    auto add_to_u = [&](std::uint32_t x) {
        if (in_u != 0) {
            if (flags_[x] & in_u) return false;
            flags_[x] |= in_u;
            return true;
        }
        return wide->insert(x);
    };
    // Inserting changes no key, so B' starts at the smallest pivot key, taken in the same pass.
    Key last_bp = bound;
    const std::size_t pn = sc.pivots.size();
    sc.k_list.clear();  // free until the loop below
    for (std::size_t i = 0; i < pn; ++i) {
        if (i + SCAN_AHEAD < pn) __builtin_prefetch(&vertex[sc.pivots[i + SCAN_AHEAD]]);
        const std::uint32_t x = sc.pivots[i];
        const Key kx = key(x);
        sc.k_list.push_back({x, kx});
        if (i == 0 || key_below(kx, last_bp)) last_bp = kx;
    }
    d.fill(sc.k_list, seed);

    const std::uint64_t size_shift = sat_mul(level, t);
    const bool unlimited = size_shift >= 100;
    const u128 limit = size_limit(k, size_shift);

    Vec<std::uint32_t>& u = sc.u;
    u.clear();
    const Vec<std::uint32_t>& child_u = scratch_[level - 1].u;
    auto accept_all = [](std::uint32_t, double, std::uint32_t) { return true; };
    // Polls: once per pull above level 1. A level-1 call pulls one vertex at a time, each
    // solved by one small base case, and usually ends within a few pulls, so it polls once
    // per POLL_PULLS pulls and otherwise runs between two polls of its parent.
    std::uint32_t pulls = 0;
    while ((unlimited || static_cast<u128>(u.size()) < limit) && !d.is_empty()) {
        if (level >= 2) {
            cancel_point();
        } else if (++pulls == POLL_PULLS) [[unlikely]] {
            pulls = 0;
            cancel_check();
        }
        const Key bi = d.pull(seed, sc.pulled);
        if (sc.pulled.empty()) internal_stop("Pull returned an empty set while D was non-empty");
        if constexpr (Counted) {
            ++ops.pulls;
            ops.pulled += sc.pulled.size();
        }
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
            if (add_to_u(x)) u.push_back(x);
        };
        sc.k_list.clear();
        auto route = [&](std::uint32_t v) {
            const Key kv = key(v);
            if (!key_below(kv, bi) && key_below(kv, bound)) {
                if constexpr (Counted) ++ops.inserts;
                d.insert(v, kv, seed);
            } else if (!key_below(kv, child_bp) && key_below(kv, bi)) {
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
            if (!key_below(kx, child_bp) && key_below(kx, bi)) sc.k_list.push_back({x, kx});
        }
        if (!sc.k_list.empty()) {
            if constexpr (Counted) ++ops.batch_prepends;
            d.batch_prepend(sc.k_list, seed);
        }
        last_bp = child_bp;
    }

    const Key bp = key_below(last_bp, bound) ? last_bp : bound;
    if (key_below(bound, bp)) internal_stop("assertion failed: bp <= b");
    const std::size_t wn = sc.w.size();
    for (std::size_t start = 0; start < wn; start += POLL_STRIDE) {
        cancel_check();
        const std::size_t stop = std::min(wn, start + POLL_STRIDE);
        for (std::size_t i = start; i < stop; ++i) {
            if (i + SCAN_AHEAD < wn) {
                __builtin_prefetch(&flags_[sc.w[i + SCAN_AHEAD]]);
                __builtin_prefetch(&vertex[sc.w[i + SCAN_AHEAD]]);
            }
            const std::uint32_t x = sc.w[i];
            if (!(flags_[x] & in_u) && key_below(key(x), bp) && add_to_u(x)) {
                u.push_back(x);
                settle(x);
            }
        }
    }
    if (in_u == 0) {
        wide->clear();
    } else if (u.size() > flags_.size() / LARGE_LIST_DIVISOR) {
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

// Flattened: the search is one loop, and its heap operations must not become calls.
template <class Rows, class Queues, bool Counted>
[[gnu::flatten]] void Recursion<Rows, Queues, Counted>::whole_search(std::uint32_t source, double min_weight) {
    // Every distance here is +0.0 or positive: the source's is +0.0, weights are neither
    // negative nor NaN, and +0.0 + -0.0 is +0.0. Plain comparisons of doubles therefore agree
    // with the total order.
    //
    // The search takes vertices in key order (dist, hops, vertex), but the order among
    // vertices of one distance d0 matters only when a relaxation can stay at d0 (a zero
    // weight, or one too small to change d0): every label at d0 is final once all smaller
    // distances are taken, and a label is the minimum of its candidates, whatever their order.
    // So the main heap orders (distance, vertex) entries by distance alone, like the baseline
    // Dijkstra's, and a vertex popped at a d0 that the smallest weight moves is taken at once.
    // At any other d0, every vertex whose entry at d0 is current goes into a small heap of
    // (hops << 32 | vertex) words made from the labels, which hands the vertices out in
    // (hops, vertex) order; a relaxation that stays at d0 and lowers the hops pushes a new word.
    //
    // Staleness without a set of taken vertices: the main heap gets an entry only when a
    // distance strictly improves, so a vertex has one entry per distance it ever had, and the
    // entry is current exactly when that distance is still the label's. A level word is
    // current exactly when its hops are still the label's; hops only fall while a vertex waits.
    constexpr double INF = std::numeric_limits<double>::infinity();
    Node* const lab = vertex.data();
    const Rows rows = rows_;  // a local copy: the row pointers stay in registers
    Heap heap;  // only distance improvements push, at most one per edge (at most 3 per vertex in
                // constant-degree rows): the row count bounds the edges
    std::uint64_t edges = 0;
    for (std::size_t u = 0; u < vertex.size(); ++u) edges += rows_.degree(lab, u);
    heap.reserve(edges + 1);
    Vec<std::uint64_t> level;  // min-heap (by std::greater) of the words at distance d0
    const auto word = [](std::uint32_t hops, std::uint32_t v) { return (std::uint64_t{hops} << 32) | v; };
    const auto push_level = [&](std::uint64_t w) {
        level.push_back(w);
        std::push_heap(level.begin(), level.end(), std::greater<>{});
    };

    // Takes u, whose label is final at distance d0, and relaxes its out-edges.
    const auto take = [&](std::uint32_t u, double d0) __attribute__((always_inline)) {
        if (level.empty() && !heap.empty()) {
            // the next vertex taken is most likely the main heap's top: start loading its row
            rows.prefetch_row(lab, heap.top_node());
        }
        const std::uint32_t ch = lab[u].hops + 1;
        rows.prefetch_heads(lab, u);
        rows.for_each_edge(lab, u, [&](std::uint32_t v, double w) __attribute__((always_inline)) {
            if constexpr (Counted) ++ops.relaxations;
            const double cd = d0 + w;
            Node& lv = lab[v];
            // (cd, ch, u) <= (dist, hops, pred); none never wins; an overflow to +inf never passes
            if (cd < lv.dist) {
                lv.dist = cd;
                lv.hops = ch;
                lv.pred = u;
                if (cd == d0)
                    push_level(word(ch, v));
                else
                    heap.push(cd, v);
                return;
            }
            if (cd != lv.dist || cd == INF) return;
            if (ch != lv.hops ? ch > lv.hops : !(lv.pred != NO_VERTEX && u <= lv.pred)) return;
            // Same distance, better (hops, pred). Above d0 the main heap already holds v at cd,
            // and its word is made from the label when d0 reaches cd; at d0 v already has a
            // word, which fewer hops replace.
            const bool fewer_hops = ch < lv.hops;
            lv.hops = ch;
            lv.pred = u;
            if (cd == d0 && fewer_hops) push_level(word(ch, v));
        });
    };

    if constexpr (Counted) ++ops.bounded_searches;
    std::uint32_t until_poll = CANCEL_POLL_EVERY;
    bool cancelled = false;
    heap.push(0.0, source);
    while (!heap.empty()) {
        const auto [d0, first] = heap.pop();
        if (--until_poll == 0) [[unlikely]] {  // a register countdown, as in the baseline Dijkstra
            until_poll = CANCEL_POLL_EVERY;
            if (cancel_requested()) {
                cancelled = true;
                break;
            }
        }
        if (d0 != lab[first].dist) continue;
        if (d0 + min_weight != d0) {
            take(first, d0);
            continue;
        }
        push_level(word(lab[first].hops, first));
        while (!heap.empty() && heap.top_key() == d0) {
            const std::uint32_t v = heap.pop().second;
            if (lab[v].dist == d0) push_level(word(lab[v].hops, v));
        }
        // the vertices at d0 in (hops, vertex) order, with those that relaxations at d0 add
        while (!level.empty()) {
            cancel_point();
            std::pop_heap(level.begin(), level.end(), std::greater<>{});
            const std::uint64_t w = level.back();
            level.pop_back();
            const auto u = static_cast<std::uint32_t>(w);
            if (static_cast<std::uint32_t>(w >> 32) == lab[u].hops) take(u, d0);
        }
    }
    if (cancelled) throw Cancelled{};  // thrown out here: no call in the loop
}

// The configurations runs use, each instantiated in its own file (recursion.cpp for the core,
// variants/configured.cpp for the others), so that each is optimised as the core alone was;
// their counted forms, used only by counted runs, in counted.cpp.
extern template class Recursion<ConstantDegreeRows, BlockQueues>;
extern template class Recursion<ConstantDegreeRows, FlatQueues>;
extern template class Recursion<CsrRows, BlockQueues>;
extern template class Recursion<CsrRows, FlatQueues>;
extern template class Recursion<ConstantDegreeRows, BlockQueues, true>;
extern template class Recursion<ConstantDegreeRows, FlatQueues, true>;
extern template class Recursion<CsrRows, BlockQueues, true>;
extern template class Recursion<CsrRows, FlatQueues, true>;

}  // namespace qh
