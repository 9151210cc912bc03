// engine.hpp: the variant engine, a configurable BMSSP recursion.
//
// The engine computes single-source shortest paths with the bounded
// multi-source recursion of Duan, Mao, Mao, Shu and Yin ("Breaking the Sorting
// Barrier for Directed Single-Source Shortest Paths", 2025): FindPivots, a
// frontier queue D drained by pulls of at most M vertices, one recursive call
// per pulled batch, and a small Dijkstra search as the base case. Unlike the
// reference run in bmssp.cpp it exists to take the algorithm apart, so each
// ingredient can be switched:
//   - the queue of every recursive level is a type parameter meeting `DQueue`
//     (`BlockDs` or `FlatHeap`);
//   - the constant-degree transform can be skipped (the run then searches the
//     input graph itself);
//   - a call whose level or source list is small enough is answered by one
//     bounded multi-source Dijkstra search ("hybrid");
//   - FindPivots stops its relaxation layers when the frontier is empty and,
//     with `lazy_pivots`, when a layer fails to shrink it; a root becomes a
//     pivot when its tree has at least r vertices, r the number of layers begun.
//
// Labels. One 16-byte `Label` per vertex: (dist, hops as i32, pred as u32).
// Vertices are ordered by key(v) = (dist in IEEE 754 totalOrder, hops, v), so
// no two vertices tie. The relaxation test accepts a candidate (cd, ch, u)
// that is lexicographically <= (dist, hops, pred) of the head, pred read as
// i32 (so "none" never wins a tie). A candidate distance that overflows to
// +inf is refused: an unreached vertex must keep pred "none". Under rounding the
// engine follows the recursion's three rules (bmssp.cpp, "Rounding"): a relaxation
// along v's own predecessor edge that reproduces dist[v] passes with v's unchanged
// label, FindPivots counts such an edge as tight, and the run ends with the edge
// check of finish.hpp. The one-search runs ("fast", "hybrid") need none of them.
//
// Scratch. Base cases and bounded Dijkstra searches share one 4-ary `KeyHeap`
// held in `HeapScratch`, and mark taken vertices with an epoch stamp instead
// of clearing a set. Stale heap entries are recognised on pop by comparing
// (dist, hops) with the vertex's current label.
//
// Parameters. k and t come from log2 and pow of the C library, or are forced
// by the caller as any u64. Everything derived from them (k + 1, k·|S|,
// t·(l−1), l·t, the size limit k·2^(l·t)) is computed saturating or in 128
// bits, so forced parameters change the work done but never the distances.
//
// Determinism. Ties are broken by key, edges are scanned in row order, and
// the only randomness is the run's SplitMix64 state handed to the queue; with
// FlatHeap it is never touched.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <variant>

#include "block_queue.hpp"
#include "bmssp.hpp"
#include "csr.hpp"
#include "id_map.hpp"
#include "memory.hpp"
#include "stop.hpp"
#include "variants/simple_queue.hpp"

namespace qh {

// What a variant name selects (besides the queue type).
struct VariantConfig {
    bool force_params = false;               // use k and t below as given
    std::uint64_t k = 0;                     // k when force_params
    std::uint64_t t = 0;                     // t when force_params
    std::uint64_t dijkstra_max_frontier = 0; // |S| <= this runs the bounded Dijkstra; 0 = off
    std::int32_t dijkstra_max_level = -1;    // level <= this runs the bounded Dijkstra; -1 = off
    bool transform = true;                   // search the constant-degree transform
    bool lazy_pivots = false;                // lazy stop of FindPivots' layers
};

inline constexpr std::int32_t LABEL_NO_HOPS = std::numeric_limits<std::int32_t>::max();
inline constexpr std::uint32_t LABEL_NO_PRED = std::numeric_limits<std::uint32_t>::max();
// Searched graphs must have fewer vertices than this (ids and hops fit in i32).
inline constexpr std::uint64_t ENGINE_MAX_VERTICES = 2147483647u;

// The per-vertex label of the searched graph.
struct Label {
    double dist = std::numeric_limits<double>::infinity();
    std::int32_t hops = LABEL_NO_HOPS;  // LABEL_NO_HOPS: no path known
    std::uint32_t pred = LABEL_NO_PRED; // LABEL_NO_PRED: none
};
static_assert(sizeof(Label) == 16, "a Label is one 16-byte record");

// Distances and predecessors of the input graph.
struct VariantRun {
    OwnedArray<double> dist;        // +inf when unreached
    OwnedArray<std::int32_t> pred;  // -1 for the source and unreached vertices
    ExactnessCounts counts;         // how often rounding needed the run's exactness rules
};

// --- parameter arithmetic ---------------------------------------------------------------

using u128 = unsigned __int128;
inline constexpr u128 U128_MAX = ~u128{0};

// a·b, saturating at 2^64 − 1.
inline std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

// k·2^s as a 128-bit value, saturating at 2^128 − 1.
inline u128 size_limit(std::uint64_t k, std::uint64_t s) noexcept {
    if (k == 0) return 0;
    if (s >= 128 || u128{k} > (U128_MAX >> s)) return U128_MAX;
    return u128{k} << s;
}

// M of a recursive level l >= 1: 2^(t(l−1)) when that exponent is at most 62 and the power
// is below n_searched, else n_searched; at least 1.
inline std::uint64_t block_size(std::uint64_t t, std::uint64_t level, std::uint64_t n_searched) noexcept {
    const std::uint64_t s1 = sat_mul(t, level - 1);
    std::uint64_t m = (s1 <= 62 && (std::uint64_t{1} << s1) < n_searched) ? std::uint64_t{1} << s1 : n_searched;
    return m == 0 ? 1 : m;
}

// (k, t) = (max(1, ⌊base^(1/3)⌋), max(1, ⌊base^(2/3)⌋)) with the C library's pow.
std::pair<std::uint64_t, std::uint64_t> default_k_t(double base) noexcept;

// max(log2(max(n, 2)), 1.0).
double log_base(std::uint64_t n) noexcept;

struct EngineParams {
    std::uint64_t k;
    std::uint64_t t;
    std::uint64_t levels;  // the outermost call's level, max(1, ⌈base / t⌉)
};

// k, t and the level count for a searched graph of `n_searched` vertices under `config`.
EngineParams engine_parameters(std::uint64_t n_searched, const VariantConfig& config) noexcept;

// --- checks and mapping back -------------------------------------------------------------

// Source, then weights (NaN, ±inf or below zero; −0.0 passes); nullopt when both pass, and
// then the smallest weight (+inf without edges) in *smallest unless it is null.
std::optional<BmsspError> check_run_input(const Csr& csr, std::uint64_t source, double* smallest = nullptr) noexcept;

// The structure checks of a run; each failure stops with its "malformed CSR: ..." message.
void check_structure(const Csr& csr);

// Input-graph (distances, predecessors) from the distances and predecessors (LABEL_NO_PRED
// for none) of the transformed graph, by the transform's own mapping: walk back through the
// copies of each reached vertex until the walk leaves them (with its repair of predecessor
// cycles through zero-weight cycles).
std::pair<OwnedArray<double>, OwnedArray<std::int32_t>> recover_pred_transformed(
    std::span<const double> tdist, std::span<const std::uint32_t> tpred, const Transformed& tg, std::uint64_t source);

// --- the whole run as one search ----------------------------------------------------------

// Whether a call at `level` with `sources` sources is answered by the bounded Dijkstra search
// (the "hybrid" switch). For the outermost call (one source) that search is the whole run.
inline bool takes_bounded_dijkstra(const VariantConfig& config, std::uint64_t level, std::size_t sources) noexcept {
    return static_cast<std::int64_t>(config.dijkstra_max_level) >= static_cast<std::int64_t>(level) ||
           sources <= config.dijkstra_max_frontier;
}

// The labels that the bounded search from `source` with bound KEY_TOP leaves (`labels` holds
// one per vertex of the graph; its contents on entry do not matter): those of Engine::bmssp
// with the same configuration, bit for bit.
// `min_weight` must not exceed any weight of the graph (0.0 always qualifies); the larger it
// is, the less ordering work the search does among vertices of equal distance.
void search_whole_graph(const Csr& graph, std::uint32_t source, double min_weight, std::span<Label> labels);

// --- the engine ------------------------------------------------------------------------

// (B', U) of one recursive call.
struct LevelOut {
    Key bound;
    Vec<std::uint32_t> vertices;
};

// The working record of one run, generic over the recursion's queue.
template <class Q>
class Engine {
    static_assert(check_dqueue<Q>(), "the engine's queue must meet DQueue");

public:
    // Stops with "graph too large for i32 vertex ids" when the graph has 2^31 − 1 or more
    // vertices, and with "index out of bounds" when source is not below that count.
    Engine(const Csr& graph, std::uint64_t source, std::uint64_t k, std::uint64_t t, std::uint64_t seed,
           const VariantConfig& config)
        : config(config), graph(graph), k(k), t(t), rng(seed) {
        if (graph.n >= ENGINE_MAX_VERTICES) internal_stop("graph too large for i32 vertex ids");
        labels.assign(graph.n, Label{});
        complete.assign(graph.n, 0);
        stamp.assign(graph.n, 0);
        if (source >= graph.n) internal_stop("index out of bounds");
        labels[source] = Label{0.0, 0, LABEL_NO_PRED};
    }

    VariantConfig config;
    Vec<Label> labels;
    Vec<std::uint8_t> complete;  // 1 once a vertex's label is final
    HeapScratch scratch;
    Vec<std::uint32_t> stamp;    // epoch in which a vertex was last taken from the KeyHeap
    const Csr& graph;
    std::uint64_t k;
    std::uint64_t t;
    std::uint64_t rng;           // the queues' random state
    std::uint32_t epoch = 0;     // base cases and bounded searches begun
    std::uint64_t reoffers = 0;  // relaxations that offered an unchanged label again (rounding)

    // key(v) = (dist, hops or 2^62 when none, v).
    Key key(std::uint32_t v) const noexcept {
        const Label& l = labels[v];
        return Key{l.dist, l.hops == LABEL_NO_HOPS ? NO_PATH_HOPS : std::int64_t{l.hops}, std::int64_t{v}};
    }

    // The relaxation test for u->v of weight w (u must have a hop count): fills the candidate
    // (cd, ch) and returns whether (cd, ch, u) <= (dist, hops, pred as i32) of v. An overflow to
    // +inf never passes. When u is v's predecessor and its sum rounds to v's distance with more
    // hops (u's distance fell since it set v's), it passes with v's own label as the candidate,
    // so v is offered again unchanged (see the recursion's note on rounding in bmssp.cpp).
    bool relax_passes(std::uint32_t u, std::uint32_t v, double w, double& cd, std::int32_t& ch) noexcept {
        const Label& lu = labels[u];
        const Label& lv = labels[v];
        cd = lu.dist + w;
        if (cd == std::numeric_limits<double>::infinity()) return false;
        ch = lu.hops + 1;
        const std::int64_t a = total_order_bits(cd);
        const std::int64_t b = total_order_bits(lv.dist);
        if (a != b) return a < b;
        if (ch != lv.hops) {
            if (ch < lv.hops) return true;
            if (lv.pred != u) return false;
            ch = lv.hops;
            ++reoffers;
            return true;
        }
        return static_cast<std::int32_t>(u) <= static_cast<std::int32_t>(lv.pred);
    }

    // Relaxes u's out-edges whose candidate key lies below B (any when B is KEY_TOP),
    // pushing each improved vertex on `heap`.
    void relax_bounded(std::uint32_t u, const Key& bound, KeyHeap& heap) {
        if (labels[u].hops == LABEL_NO_HOPS) return;
        const bool active = !(bound == KEY_TOP);
        const std::uint64_t begin = graph.indptr[u];
        const std::uint64_t end = graph.indptr[u + 1];
        // Start loading every head's label before relaxing any: the misses overlap.
        for (std::uint64_t e = begin; e < end; ++e) __builtin_prefetch(labels.data() + graph.indices[e], 1);
        for (std::uint64_t e = begin; e < end; ++e) {
            const std::uint32_t v = graph.indices[e];
            double cd;
            std::int32_t ch;
            if (!relax_passes(u, v, graph.weights[e], cd, ch)) continue;
            if (active && !(Key{cd, ch, std::int64_t{v}} < bound)) continue;
            labels[v] = Label{cd, ch, u};
            heap.push(cd, ch, v);
        }
    }

    // After the outermost call: checks every edge and lowers what fails (finish.hpp); returns
    // the number of labels lowered.
    std::uint64_t finish();

    // FindPivots(B, S): (P, W). S must be non-empty.
    std::pair<Vec<std::uint32_t>, Vec<std::uint32_t>> find_pivots(const Key& bound,
                                                                  std::span<const std::uint32_t> s);

    // BMSSP(l, B, S): completes vertices below the returned B' <= B and returns (B', U).
    LevelOut bmssp(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);

private:
    // Starts a base case or bounded search: a fresh epoch (stamps are reset when it wraps).
    std::uint32_t next_epoch() noexcept {
        if (++epoch == 0) {
            std::fill(stamp.begin(), stamp.end(), 0u);
            epoch = 1;
        }
        return epoch;
    }
    // True when (d, h) is u's current label and u was not taken in this epoch.
    bool current(const HeapEntry& e) const noexcept {
        const Label& l = labels[e.vertex];
        return e.hops == l.hops && total_order_bits(e.dist) == total_order_bits(l.dist) && stamp[e.vertex] != epoch;
    }

    LevelOut bounded_dijkstra(const Key& bound, std::span<const std::uint32_t> s);
    LevelOut base_case(const Key& bound, std::uint32_t x);
    LevelOut recursive_level(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);
};

// One complete variant run with queue type Q: SourceOutOfRange, then InvalidWeight, then the
// structure stops, then GraphTooLarge when the searched graph (the transform's, if used) would
// have 2^31 − 1 or more vertices, all before anything large is built.
template <class Q>
std::variant<VariantRun, BmsspError> run(const Csr& csr, std::uint64_t source, std::uint64_t seed,
                                         const VariantConfig& config);

extern template class Engine<BlockDs>;
extern template class Engine<FlatHeap>;
extern template std::variant<VariantRun, BmsspError> run<BlockDs>(const Csr&, std::uint64_t, std::uint64_t,
                                                                  const VariantConfig&);
extern template std::variant<VariantRun, BmsspError> run<FlatHeap>(const Csr&, std::uint64_t, std::uint64_t,
                                                                   const VariantConfig&);

}  // namespace qh
