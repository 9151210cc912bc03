// run_parameters.hpp: what a BMSSP run on a graph would run with, read from the
// functions the runs themselves call, so that nothing outside the core recomputes
// the core's choices (the Python package reports these through `_search.parameters`).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "core/csr.hpp"

namespace qh {

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

// --- what a run runs with -------------------------------------------------------------------

struct RunParameters {
    std::uint64_t transform_vertices = 0;  // n' of the constant-degree transform
    std::uint64_t transform_arcs = 0;      // its arcs
    std::uint64_t searched_vertices = 0;   // vertex count of the graph the recursion runs on
    double base = 1.0;                     // log2 of searched_vertices, at least 1
    std::uint64_t k = 0;
    std::uint64_t t = 0;
    std::uint64_t levels = 0;                 // level of the outermost call
    std::int32_t bounded_dijkstra_level = -1;  // levels <= this take the bounded search; -1: off
    std::uint64_t bounded_dijkstra_sources = 0;  // calls with at most this many sources too; 0: off
    bool one_search = false;                     // the outermost call, and so the whole run, is one search
    bool fits = true;                            // false: the runs refuse the graph as too large
};

// The parameters of `variant` ("bmssp": the core run) with the caller's k and t (0 = the
// variant's own) on a validated graph; nullopt when the name is unknown. Builds the
// transform once: O(n + m) time and memory.
std::optional<RunParameters> run_parameters(const Csr& csr, std::string_view variant, std::uint64_t k,
                                            std::uint64_t t);

}  // namespace qh
