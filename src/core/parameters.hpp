// run_parameters.hpp: what a BMSSP run on a graph would run with, read from the
// functions the runs themselves call, so that nothing outside the core recomputes
// the core's choices (the Python package reports these through `_search.parameters`).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/csr.hpp"

namespace qh {

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
