// bmssp.hpp: single-source runs of the recursion (recursion.hpp): input checks,
// parameters, the searched graph, and the results mapped back to the input graph.
//
// `sssp_bmssp` is the core run: the recursion's default configuration on the
// constant-degree form, with its settlement log. `run_configured` runs any
// configuration (the research variants of variants/catalogue.hpp), on the
// constant-degree form or on the input graph itself.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <variant>

#include "core/csr.hpp"
#include "core/memory.hpp"
#include "core/recursion/finish.hpp"
#include "core/recursion/recursion.hpp"

namespace qh {

// Error values of a single-source BMSSP run; the module maps them to Python
// exceptions with the caller's source and vertex count.
enum class BmsspError {
    SourceOutOfRange,  // source not below n
    InvalidWeight,     // a weight is NaN, infinite or below zero (-0.0 passes)
    GraphTooLarge,     // the searched graph has too many vertices for the run's id types
};

// The result of one core run; owns everything.
struct BmsspRun {
    OwnedArray<double> dist;        // n distances, +inf when unreached
    OwnedArray<std::int32_t> pred;  // n predecessors, -1 for the source and unreached
    Vec<SettleRecord> settle_log;   // settlement order; empty unless asked for
    ExactnessCounts counts;         // how often rounding needed the run's exactness rules
    OperationCounts ops;            // the recursion's work; all zero unless counted
};

// Whether a run records its settlement order (a run that does not saves 16 bytes per vertex).
enum class SettleLog { Keep, Skip };

// Whether a run counts its operations (OperationCounts). Counting runs a separately compiled
// form of the recursion; the results are the same bit for bit.
enum class Counting { Off, On };

// --- parameters ------------------------------------------------------------------

// The run's parameters.
struct BmsspParams {
    std::uint64_t k;       // FindPivots depth and base-case size
    std::uint64_t t;       // level step: block size at level l is 2^(t(l-1))
    std::uint64_t levels;  // level of the outermost call
};

// max(log2(max(n, 2)), 1.0).
double log_base(std::uint64_t n) noexcept;

// (k, t) = (max(1, ⌊base^(1/3)⌋), max(1, ⌊base^(2/3)⌋)) with the C library's pow.
std::pair<std::uint64_t, std::uint64_t> default_k_t(double base) noexcept;

// k, t and the level count max(1, ⌈base / t⌉) for a searched graph of n vertices; k and t
// are forced when `forced` holds them.
BmsspParams bmssp_parameters(std::uint64_t n, std::optional<std::pair<std::uint64_t, std::uint64_t>> forced = {});

// --- input checks ------------------------------------------------------------------

// Source, then weights (NaN, ±inf or below zero; −0.0 passes); nullopt when both pass, and
// then the smallest weight (+inf without edges) in *smallest unless it is null.
std::optional<BmsspError> check_run_input(const Csr& csr, std::uint64_t source, double* smallest = nullptr) noexcept;

// --- runs ----------------------------------------------------------------------------

// One complete single-source core run on a validated graph. With a finite
// `limit` (>= 0) the outermost call's bound is the key (limit, top, top)
// instead of KEY_TOP: every vertex at a distance <= limit is completed, and
// any other vertex is reported unreached (+inf, -1). GraphTooLarge when
// n' >= 2^32 or n > 2^31.
std::variant<BmsspRun, BmsspError> sssp_bmssp(const Csr& csr, std::uint64_t source, std::uint64_t seed,
                                              SettleLog log = SettleLog::Keep,
                                              double limit = std::numeric_limits<double>::infinity(),
                                              Counting counting = Counting::Off);

// What a configuration selects.
struct VariantConfig {
    bool force_params = false;                // use k and t below as given
    std::uint64_t k = 0;                      // k when force_params
    std::uint64_t t = 0;                      // t when force_params
    std::uint64_t dijkstra_max_frontier = 0;  // |S| <= this runs the bounded search; 0 = off
    std::int32_t dijkstra_max_level = -1;     // level <= this runs the bounded search; -1 = off
    bool transform = true;                    // search the constant-degree form, else the input
    bool lazy_pivots = false;                 // the lazy FindPivots rule
    bool flat_queue = false;                  // the binary heap instead of the block queue
};

// k, t and the level count of a configured run whose searched graph has n vertices.
BmsspParams configured_parameters(std::uint64_t n, const VariantConfig& config);

// Whether that run is one whole bounded search (its outermost call takes the bounded search).
bool configured_whole_search(const BmsspParams& params, const VariantConfig& config);

// Searched graphs of a configured run must have fewer vertices than this (ids and hops fit i32).
inline constexpr std::uint64_t VARIANT_MAX_VERTICES = 2147483647u;

// Distances and predecessors of the input graph.
struct VariantRun {
    OwnedArray<double> dist;        // +inf when unreached
    OwnedArray<std::int32_t> pred;  // -1 for the source and unreached vertices
    ExactnessCounts counts;         // how often rounding needed the run's exactness rules
    OperationCounts ops;            // the recursion's work; all zero unless counted
};

// One run of `config`: SourceOutOfRange, then InvalidWeight, then the structure stops, then
// GraphTooLarge when the searched graph would have VARIANT_MAX_VERTICES or more vertices, all
// before anything large is built. No settlement log.
std::variant<VariantRun, BmsspError> run_configured(const Csr& csr, std::uint64_t source, std::uint64_t seed,
                                                    const VariantConfig& config, Counting counting = Counting::Off);

}  // namespace qh
