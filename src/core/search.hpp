// search.hpp: Dijkstra searches with a distance limit, target vertices, many
// sources at once and undirected arcs.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>

namespace qh {

class Pool;

// Error value of a search; the module supplies n for messages.
struct SearchError {
    enum class Kind {
        SourceOutOfRange,  // `id` is a source that is negative or not below n
        TargetOutOfRange,  // `id` is a target that is negative or not below n
        NegativeWeight,    // a weight is negative or NaN
        MalformedCsr,      // the CSR structure is inconsistent
    };
    Kind kind;
    std::int64_t id = 0;
};

// What a search is asked for beyond plain shortest paths.
struct SearchOptions {
    // A vertex is recorded only at a distance <= limit; farther ones stay
    // unreached (+inf, -1). Precondition: limit >= 0 (not NaN).
    double limit = std::numeric_limits<double>::infinity();
    // When set, the search stops as soon as every listed vertex is settled
    // (at once when the list is empty). Duplicates are allowed.
    std::optional<std::span<const std::int64_t>> targets;
    // Every arc u -> v may also be used as v -> u.
    bool undirected = false;
};

// One search from all `sources` together, as from a virtual vertex with a
// zero-weight arc to each source in the given order: dist is the distance to
// the nearest source, pred the tail of the last lowering relaxation (-1 at
// the sources), source_of the source whose search tree holds the vertex.
// Unreached vertices have +inf, -1, -1. n = dist.size(); pred and source_of
// hold n entries each or none (then they are not computed). Reads the CSR
// arrays in place and checks them as `dijkstra` does; sources, then targets
// are checked (first bad one in input order) before the graph.
std::optional<SearchError> search_nearest(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                                          std::span<const double> weights, std::span<const std::int64_t> sources,
                                          const SearchOptions& options, std::span<double> dist,
                                          std::span<std::int32_t> pred, std::span<std::int32_t> source_of);

// Row i of dist (and of pred, unless pred is empty) becomes the search from
// sources[i] alone, rows computed in parallel on `pool` (the process-wide
// pool when null). n = indptr.size() - 1; dist holds k * n entries, pred
// k * n or none. Precondition: indptr is not empty.
std::optional<SearchError> search_rows(Pool* pool, std::span<const std::int64_t> indptr,
                                       std::span<const std::int32_t> indices, std::span<const double> weights,
                                       std::span<const std::int64_t> sources, const SearchOptions& options,
                                       std::span<double> dist, std::span<std::int32_t> pred);

}  // namespace qh
