// parameters.hpp: k, t and the level count of every run, and the arithmetic on them.
//
// Every rule that chooses a run's parameters is here, read from its configuration
// (config.hpp): the standard rule from log2 of the searched vertex count (on the hub-ring
// form, its copies: the recursion's size limits and block sizes count searched vertices,
// whatever their degree), the fixed values
// of "tuned" and "fast" on large graphs, and the caller's forced k and t. `run_parameters`
// reports what a run would use, from the same functions the runs call, so that nothing
// outside the core recomputes the core's choices (the Python package reads it through
// `_search.parameters`). The C library's log2 and pow decide k, t and the level count; their
// exact results at the boundaries are part of the behaviour.
#pragma once

#include <cstdint>
#include <limits>
#include <utility>

#include "core/config.hpp"
#include "core/csr.hpp"

namespace qh {

// The parameters of one run.
struct RunParams {
    std::uint64_t k;       // FindPivots depth and base-case size
    std::uint64_t t;       // level step: block size at level l is 2^(t(l-1))
    std::uint64_t levels;  // level of the outermost call
};

// max(log2(max(n, 2)), 1.0).
double log_base(std::uint64_t n) noexcept;

// (k, t) = (max(1, ⌊base^(1/3)⌋), max(1, ⌊base^(2/3)⌋)) with the C library's pow.
std::pair<std::uint64_t, std::uint64_t> default_k_t(double base) noexcept;

// The parameters of a run of `config` on an input of n vertices and m edges whose searched
// graph has `searched` vertices: k and t forced, or by the config's rule; levels
// max(1, ⌈log_base(searched) / t⌉) (1 for a forced t of 0).
RunParams run_params(const RunConfig& config, std::uint64_t n, std::uint64_t m, std::uint64_t searched) noexcept;

// Whether a run of `config` accepts the validated graph `csr` (config.ids); O(n + m) only
// when the cheap bound n' <= 2m + n does not decide.
bool searched_graph_fits(const Csr& csr, const RunConfig& config);

// What a run of `config` on a validated graph runs with.
struct RunParameters {
    std::uint64_t transform_vertices = 0;  // n' of the constant-degree transform
    std::uint64_t transform_arcs = 0;      // its arcs
    std::uint64_t searched_vertices = 0;   // vertex count of the graph the recursion runs on
    std::uint64_t searched_arcs = 0;       // its arcs
    double base = 1.0;                     // log2 of searched_vertices, at least 1
    std::uint64_t k = 0;
    std::uint64_t t = 0;
    std::uint64_t levels = 0;                    // level of the outermost call
    std::int32_t bounded_dijkstra_level = -1;    // levels <= this take the bounded search; -1: off
    std::uint64_t bounded_dijkstra_sources = 0;  // calls with at most this many sources too; 0: off
    bool one_search = false;                     // the outermost call, and so the whole run, is one search
    bool fits = true;                            // false: the run refuses the graph as too large
};

// The parameters a run of `config` on `csr` would use. Builds the transform once: O(n + m)
// time and memory.
RunParameters run_parameters(const Csr& csr, const RunConfig& config);

// --- the recursion's parameter arithmetic ---------------------------------------------------

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

}  // namespace qh
