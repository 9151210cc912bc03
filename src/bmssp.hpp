// bmssp.hpp: the constant-degree transform, the BMSSP run state and the driver.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <variant>

#include "block_queue.hpp"
#include "csr.hpp"
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
    Vec<SettleRecord> settle_log;   // settlement order
};

// "No predecessor" inside a run.
inline constexpr std::uint64_t NO_PRED = ~std::uint64_t{0};

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

// n' = sum over v of max(deg(v), 1), exact in 64 bits (saturates at 2^63 for absurd graphs).
std::uint64_t transformed_vertex_count(const Csr& csr);

// True when a graph of n input vertices and n' transformed vertices fits the run's id types:
// n' < 2^32 (transformed ids) and n <= 2^31 (input ids as int32 predecessors).
bool fits_bmssp_ids(std::uint64_t n, std::uint64_t n_prime) noexcept;

// The constant-degree form of a validated graph; `source` < csr.n. The caller must have
// checked fits_bmssp_ids. Stops with "edge endpoint out of range" if the builder's own
// edges leave the vertex range (cannot happen).
Transformed transform_to_constant_degree(const Csr& csr, std::uint64_t source);

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
    Key bound;
    Vec<std::uint32_t> vertices;
};

// "No vertex" in the run's 32-bit arrays (never a vertex id: n' < 2^32).
inline constexpr std::uint32_t NO_VERTEX = 0xFFFFFFFFu;
// Stored hop count of an unreached vertex; key() reports it as NO_PATH_HOPS.
inline constexpr std::uint32_t UNREACHED = 0xFFFFFFFFu;

// The working record of one BMSSP run on a transformed graph.
//
// Hop counts and predecessors are stored in 32 bits: a hop count is the length
// of a simple path (hops strictly grow along predecessors), so it stays below
// n' < 2^32, and UNREACHED / NO_VERTEX stand for 2^62 and "none". The tie rule
// "u <= pred[v] as signed 64-bit, none never wins" reads pred != NO_VERTEX && u <= pred.
class State {
public:
    // Fresh state: every vertex unreached except graph.source at distance +0.0 and 0 hops.
    State(const Transformed& graph, std::uint64_t k, std::uint64_t t, std::uint64_t seed);

    Vec<double> dist;              // tentative distance
    Vec<std::uint32_t> hops;       // edges on the path behind dist; UNREACHED when none
    Vec<std::uint32_t> pred;       // predecessor on that path; NO_VERTEX when none
    Vec<SettleRecord> settle_log;  // vertices in the order they became complete
    const Transformed& graph;
    std::uint64_t k;
    std::uint64_t t;
    std::uint64_t seed;            // the block queues' SplitMix64 state

    // key(v) = (dist[v], hops[v], v).
    Key key(std::uint32_t v) const noexcept {
        const std::uint32_t h = hops[v];
        return Key{dist[v], h == UNREACHED ? NO_PATH_HOPS : static_cast<std::int64_t>(h), static_cast<std::int64_t>(v)};
    }
    // True once v is settled.
    bool is_complete(std::uint32_t v) const noexcept { return (flags_[v] & COMPLETE) != 0; }

    // FindPivots(B, S): (pivots P, near set W). S non-empty.
    std::pair<Vec<std::uint32_t>, Vec<std::uint32_t>> find_pivots(const Key& bound, std::span<const std::uint32_t> s);

    // BMSSP(l, B, S): completes vertices below the returned bound B' <= B; returns (B', U).
    LevelResult bmssp(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);

private:
    // Bits of flags_: settled; in the current FindPivots layer; taken by the current base case;
    // in the U of the running call at level l (bit IN_U << (l - 1), levels 1 to 4).
    static constexpr std::uint8_t COMPLETE = 1;
    static constexpr std::uint8_t IN_LAYER = 2;
    static constexpr std::uint8_t SEEN = 4;
    static constexpr std::uint8_t IN_U = 8;
    static constexpr std::uint64_t MAX_LEVELS = 4;

    struct HeapItem {
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
    };

    // Passes when (w + dist[u], hops[u] + 1) is below (dist[v], hops[v]), or equal with
    // u <= pred[v]; a candidate distance that overflows to +inf never passes.
    bool relax_passes(std::uint32_t u, std::uint32_t v, double w, double& cd, std::uint32_t& ch) const noexcept {
        cd = w + dist[u];
        if (!(cd < std::numeric_limits<double>::infinity())) return false;
        ch = hops[u] + 1;
        // Distances are never -0.0 or NaN here (+0.0 source, non-negative weights), so the
        // plain comparison is the totalOrder one.
        const double dv = dist[v];
        if (cd != dv) return cd < dv;
        const std::uint32_t hv = hops[v];
        if (ch != hv) return ch < hv;
        return pred[v] != NO_VERTEX && u <= pred[v];
    }
    void set_path(std::uint32_t v, double cd, std::uint32_t ch, std::uint32_t u) noexcept {
        dist[v] = cd;
        hops[v] = ch;
        pred[v] = u;
    }
    void settle(std::uint32_t v);
    void find_pivots_into(const Key& bound, std::span<const std::uint32_t> s, Vec<std::uint32_t>& pivots,
                          Vec<std::uint32_t>& w);
    // Runs BMSSP(l, B, S); U is left in scratch_[l].u, B' is returned.
    Key run_level(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);
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
    Vec<HeapItem> heap_scratch_;
    IdMap<Key> best_key_;
    Vec<LevelScratch> scratch_;
};

// --- the driver ----------------------------------------------------------------------

// One complete single-source BMSSP run on a validated graph.
std::variant<BmsspRun, BmsspError> sssp_bmssp(const Csr& csr, std::uint64_t source, std::uint64_t seed);

}  // namespace qh
