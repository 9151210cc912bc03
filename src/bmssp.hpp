// bmssp.hpp: the constant-degree transform, the BMSSP run state and the driver.
//
// `sssp_bmssp` is the entry point. The transform and the mapping back are
// public for the variant engine, which runs its own recursion on the same
// constant-degree graphs; `State` is public for tests that drive single
// phases (FindPivots, a base case, one level) on hand-made graphs.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <variant>

#include "block_queue.hpp"
#include "csr.hpp"
#include "finish.hpp"
#include "id_map.hpp"
#include "memory.hpp"

namespace qh {

// Error values of a single-source BMSSP run; the module maps them to Python
// exceptions with the caller's source and vertex count.
enum class BmsspError {
    SourceOutOfRange,  // source not below n
    InvalidWeight,     // a weight is NaN, infinite or below zero (-0.0 passes)
    GraphTooLarge,     // the constant-degree transform would need 2^32 or more vertices,
                       // or n exceeds 2^31 (predecessor ids would not fit int32)
};

// One entry of the settlement-order log.
struct SettleRecord {
    std::uint32_t vertex;  // transformed-graph vertex id
    double dhat;           // its distance when it became complete
};

// The result of one run; owns everything.
struct BmsspRun {
    OwnedArray<double> dist;        // n distances, +inf when unreachable
    OwnedArray<std::int32_t> pred;  // n predecessors, -1 for the source and unreached
    Vec<SettleRecord> settle_log;   // settlement order; empty unless asked for
    ExactnessCounts counts;         // how often rounding needed the run's exactness rules
};

// Whether a run records its settlement order (a run that does not saves 16 bytes per vertex).
enum class SettleLog { Keep, Skip };

// "No predecessor" in 64-bit predecessor arrays.
inline constexpr std::uint64_t NO_PRED = ~std::uint64_t{0};
// Stored hop count of an unreached vertex; keys report it as NO_PATH_HOPS.
inline constexpr std::uint32_t UNREACHED = 0xFFFFFFFFu;

// --- constant-degree transform -------------------------------------------------

// A graph whose every vertex has in- plus out-degree at most 3, and the maps back.
struct Transformed {
    Csr graph;                       // n' vertices, rows of at most two edges (ring edge first)
    Vec<std::uint32_t> first_copy;   // input vertex -> transformed id of its copy 0
    Vec<std::uint32_t> orig;         // transformed vertex -> the input vertex it copies
    std::uint32_t source = 0;        // first_copy[input source]

    // Checks the degree, ring and map invariants; stops with "Transformed invariant violated".
    void sanity_check(const Csr& input) const;
};

// n' = sum over v of max(deg(v), 1) = 2m + (isolated vertices), exact in 64 bits; O(n + m).
std::uint64_t transformed_vertex_count(const Csr& csr);

// True when a graph of n input vertices and n' transformed vertices fits the run's id types:
// n' < 2^32 (transformed ids) and n <= 2^31 (input ids as int32 predecessors).
bool fits_bmssp_ids(std::uint64_t n, std::uint64_t n_prime) noexcept;

// The constant-degree form of a validated graph; `source` < csr.n. The caller must have
// checked fits_bmssp_ids. Stops with "edge endpoint out of range" if the builder's own
// edges leave the vertex range (cannot happen).
Transformed transform_to_constant_degree(const Csr& csr, std::uint64_t source);

// One row of a constant-degree graph in 16 bytes. Its edges, in row order, are
// (ring, +0.0) when ring != NO_VERTEX, then (to, weight) when to != NO_VERTEX:
// exactly a transformed row, whose ring edge (if any) comes first.
struct CompactRow {
    std::uint32_t ring;  // head of the leading zero-weight edge, or NO_VERTEX
    std::uint32_t to;    // head of the other edge, or NO_VERTEX
    double weight;       // weight of the other edge
};

// The graph a BMSSP run works on: one compact row per vertex and the maps back.
struct CompactGraph {
    Vec<CompactRow> rows;          // n' rows
    Vec<std::uint32_t> first_copy; // input vertex -> its copy 0
    Vec<std::uint32_t> orig;       // vertex -> the input vertex it copies
    std::uint32_t source = 0;      // the run's source

    // n', the number of vertices.
    std::uint64_t n() const noexcept { return rows.size(); }
};

// The rows and maps of transform_to_constant_degree(csr, source), built directly from
// the input in linear passes without the intermediate CSR. Same preconditions.
CompactGraph compact_constant_degree(const Csr& csr, std::uint64_t source);

// The compact form of a graph whose rows hold at most two edges, the first of two
// weighing +0.0 (every transformed graph); stops with "row does not fit a compact row" otherwise.
CompactGraph compact_rows(const Transformed& tg);

// Input-graph distances: dist[v] = tdist[first_copy[v]].
OwnedArray<double> map_distances_back(const Transformed& tg, std::span<const double> tdist);

// Input-graph predecessors (-1 for none) by walking transformed predecessors (NO_PRED for
// none) back through the copies of each reached vertex until the walk leaves them. If that
// makes predecessors cycle (zero-weight cycles), the vertices caught take the copy entered
// nearest the tree's root instead; the result is always a tree rooted at the source.
OwnedArray<std::int32_t> map_predecessors_back(const Transformed& tg, std::span<const double> tdist,
                                               std::span<const std::uint64_t> tpred, std::uint64_t input_source);
// The same with 32-bit transformed predecessors, 0xFFFFFFFF for none.
OwnedArray<std::int32_t> map_predecessors_back(const Transformed& tg, std::span<const double> tdist,
                                               std::span<const std::uint32_t> tpred, std::uint64_t input_source);

// --- parameters ------------------------------------------------------------------

// The run's parameters.
struct BmsspParams {
    std::uint64_t k;       // FindPivots depth and base-case size
    std::uint64_t t;       // level step: block size at level l is 2^(t(l-1))
    std::uint64_t levels;  // level of the outermost call
};

// k, t and the level count for a transformed graph of n' vertices (C library log2 and pow).
BmsspParams bmssp_parameters(std::uint64_t n_prime);

// --- the run state -----------------------------------------------------------------

// A vertex list with the bound it was computed against: the (B', U) result of a call.
struct LevelResult {
    Key bound;                    // B'
    Vec<std::uint32_t> vertices;  // U, distinct, all settled
};

// One vertex of a run: its tentative path and its row, in one 32-byte record, so
// that reading u's state and u's row costs one cache line, and the ring head
// (the next copy) usually sits in the same or the adjacent line.
struct alignas(32) VertexNode {
    double dist;         // tentative distance; +inf when unreached
    std::uint32_t hops;  // edges on the path behind dist; UNREACHED when none
    std::uint32_t pred;  // predecessor on that path; NO_VERTEX when none
    std::uint32_t ring;  // the row, as in CompactRow: head of the leading zero-weight edge
    std::uint32_t to;    // head of the other edge
    double weight;       // weight of the other edge
};
static_assert(sizeof(VertexNode) == 32, "VertexNode must stay half a cache line");

// The working record of one BMSSP run on a constant-degree graph.
//
// Hop counts and predecessors are stored in 32 bits: a hop count is the length
// of a simple path (hops strictly grow along predecessors), so it stays below
// n' < 2^32, and UNREACHED / NO_VERTEX stand for 2^62 and "none". The tie rule
// "u <= pred[v] as signed 64-bit, none never wins" reads pred != NO_VERTEX && u <= pred.
class State {
public:
    // Fresh state on a copy of graph's rows: every vertex unreached except graph.source at
    // distance +0.0 and 0 hops. The caller may release graph.rows afterwards.
    State(const CompactGraph& graph, std::uint64_t k, std::uint64_t t, std::uint64_t seed);
    // Fresh state on vertex records already holding the rows, all unreached; `source`
    // becomes reached at distance +0.0 and 0 hops.
    State(Vec<VertexNode>&& vertices, std::uint32_t source, std::uint64_t k, std::uint64_t t, std::uint64_t seed);

    Vec<VertexNode> vertex;        // per-vertex tentative path and row
    Vec<SettleRecord> settle_log;  // vertices in the order they became complete, if keep_log
    bool keep_log = true;          // false: settle() only marks, the log stays empty
    std::uint64_t k;
    std::uint64_t t;
    std::uint64_t seed;            // the block queues' SplitMix64 state
    std::uint64_t reoffers = 0;    // relaxations that offered an unchanged label again (rounding)

    // key(v) = (dist[v], hops[v], v).
    Key key(std::uint32_t v) const noexcept {
        const VertexNode& s = vertex[v];
        return Key{s.dist, s.hops == UNREACHED ? NO_PATH_HOPS : static_cast<std::int64_t>(s.hops),
                   static_cast<std::int64_t>(v)};
    }
    // True once v is settled.
    bool is_complete(std::uint32_t v) const noexcept { return (flags_[v] & COMPLETE) != 0; }

    // FindPivots(B, S): (pivots P, near set W). S non-empty.
    std::pair<Vec<std::uint32_t>, Vec<std::uint32_t>> find_pivots(const Key& bound, std::span<const std::uint32_t> s);

    // BMSSP(l, B, S): completes vertices below the returned bound B' <= B; returns (B', U).
    LevelResult bmssp(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);
    // The same, returning only B' (U is not copied out).
    Key bmssp_bound(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);
    // After the outermost call: checks every edge and lowers what fails, within `limit`
    // (finish.hpp); returns the number of labels lowered.
    std::uint64_t finish(double limit = std::numeric_limits<double>::infinity());

private:
    // Bits of flags_: settled; in the current FindPivots layer; taken by the current base case;
    // in the U of the running call at level l (bit IN_U << (l - 1), levels 1 to 4).
    static constexpr std::uint8_t COMPLETE = 1;
    static constexpr std::uint8_t IN_LAYER = 2;
    static constexpr std::uint8_t SEEN = 4;
    static constexpr std::uint8_t IN_U = 8;
    static constexpr std::uint64_t MAX_LEVELS = 4;

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
        BlockDs d{1, KEY_TOP};
        UnitQueue unit;        // D when M = 1
    };

    // Relaxes every edge of u's row in row order: `accept(v, cd, ch)` decides, for an edge
    // passing the relaxation test, whether to apply it; `applied(v)` runs after an update.
    template <class Accept, class Applied>
    void relax_row(std::uint32_t u, Accept&& accept, Applied&& applied) {
        const VertexNode& row = vertex[u];
        const std::uint32_t ring = row.ring;
        const std::uint32_t to = row.to;
        const double weight = row.weight;
        if (ring != NO_VERTEX) relax_edge(u, ring, 0.0, accept, applied);
        if (to != NO_VERTEX) relax_edge(u, to, weight, accept, applied);
    }
    // relax_row for every vertex of `list` in order. Rows and the states of their heads
    // are prefetched a few vertices ahead: on large graphs nearly every access misses cache.
    // `visit(u)` runs just before u's row is relaxed (its flags byte is prefetched too).
    template <class Visit, class Accept, class Applied>
    void relax_list(std::span<const std::uint32_t> list, Visit&& visit, Accept&& accept, Applied&& applied) {
        constexpr std::size_t ROW_AHEAD = 32;
        constexpr std::size_t HEAD_AHEAD = 16;
        const std::size_t len = list.size();
        for (std::size_t i = 0; i < len; ++i) {
            if (i + ROW_AHEAD < len) {
                __builtin_prefetch(&vertex[list[i + ROW_AHEAD]]);
                __builtin_prefetch(&flags_[list[i + ROW_AHEAD]]);
            }
            if (i + HEAD_AHEAD < len) {
                const VertexNode& r = vertex[list[i + HEAD_AHEAD]];
                if (r.ring != NO_VERTEX) __builtin_prefetch(&vertex[r.ring]);
                if (r.to != NO_VERTEX) __builtin_prefetch(&vertex[r.to]);
            }
            visit(list[i]);
            relax_row(list[i], accept, applied);
        }
    }
    // The relaxation test: passes when (w + dist[u], hops[u] + 1) is below (dist[v], hops[v]),
    // or equal with u <= pred[v]. A candidate distance that overflows to +inf never passes.
    template <class Accept, class Applied>
    void relax_edge(std::uint32_t u, std::uint32_t v, double w, Accept& accept, Applied& applied) {
        const VertexNode& su = vertex[u];
        const double cd = w + su.dist;
        if (!(cd < std::numeric_limits<double>::infinity())) return;
        const std::uint32_t ch = su.hops + 1;
        VertexNode& sv = vertex[v];
        // Distances are never -0.0 or NaN here (+0.0 source, non-negative weights), so the
        // plain comparison is the totalOrder one.
        bool pass;
        if (cd != sv.dist) {
            pass = cd < sv.dist;
        } else if (ch != sv.hops) {
            pass = ch < sv.hops;
            if (!pass && sv.pred == u) {
                // v's label came from an earlier, larger dist of u that rounds to the same
                // sum: offer v again under its own, unchanged key ("Rounding", bmssp.cpp).
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
    void settle(std::uint32_t v);
    void find_pivots_into(const Key& bound, std::span<const std::uint32_t> s, Vec<std::uint32_t>& pivots,
                          Vec<std::uint32_t>& w);
    // Runs BMSSP(l, B, S); U is left in scratch_[l].u, B' is returned.
    Key run_level(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);
    // The part of run_level after FindPivots, on a reset queue `d` (BlockDs or UnitQueue).
    template <class Queue>
    Key run_level_on(std::uint64_t level, const Key& bound, Queue& d);
    Key base_case(const Key& bound, std::span<const std::uint32_t> s);

    Vec<std::uint8_t> flags_;
    Vec<std::uint32_t> w_index_;  // position in the running FindPivots' W, NO_VERTEX outside it
    // FindPivots scratch, indexed by position in W.
    Vec<std::uint32_t> frontier_;
    Vec<std::uint32_t> next_;
    Vec<std::uint32_t> first_child_;
    Vec<std::uint32_t> next_sibling_;
    Vec<std::uint8_t> non_root_;
    Vec<std::uint32_t> stack_;
    // Base-case scratch.
    Vec<OpenItem> open_scratch_;
    Vec<LevelScratch> scratch_;
};

// --- the driver ----------------------------------------------------------------------

// One complete single-source BMSSP run on a validated graph. With a finite
// `limit` (>= 0) the outermost call's bound is the key (limit, top, top)
// instead of KEY_TOP: every vertex at a distance <= limit is completed, and
// any other vertex is reported unreached (+inf, -1).
std::variant<BmsspRun, BmsspError> sssp_bmssp(const Csr& csr, std::uint64_t source, std::uint64_t seed,
                                              SettleLog log = SettleLog::Keep,
                                              double limit = std::numeric_limits<double>::infinity());

}  // namespace qh
