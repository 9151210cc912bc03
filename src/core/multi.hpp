// multi.hpp: multi-source runs, one row per source, in parallel.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/csr.hpp"

namespace qh {

class Pool;

// Error value of a multi-source run; the module supplies n for messages.
struct MultiError {
    enum class Kind {
        SourceOutOfRange,  // `source` is negative or not below n
        NegativeWeight,    // a row's run rejected a weight
        MalformedCsr,      // a Dijkstra row found the CSR structure malformed
        GraphTooLarge,     // a BMSSP row's transform would not fit 32-bit ids
    };
    Kind kind;
    std::int64_t source = 0;  // the offending source, for SourceOutOfRange
};

// Row i of dist/pred (n = indptr.size() - 1 entries each) becomes the
// single-source Dijkstra result for sources[i]. Reads the caller's arrays in
// place. Precondition: indptr is not empty, dist and pred hold k * n entries.
std::optional<MultiError> dijkstra_multi(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                                         std::span<const double> weights, std::span<const std::int64_t> sources,
                                         std::span<double> dist, std::span<std::int32_t> pred);

// Row i becomes the single-source BMSSP result for sources[i] with `seed`.
// Precondition: dist and pred hold k * graph.n entries.
std::optional<MultiError> bmssp_multi(const Csr& graph, std::span<const std::int64_t> sources, std::uint64_t seed,
                                      std::span<double> dist, std::span<std::int32_t> pred);

// The same runs on a given pool instead of the process-wide one.
std::optional<MultiError> dijkstra_multi(Pool& pool, std::span<const std::int64_t> indptr,
                                         std::span<const std::int32_t> indices, std::span<const double> weights,
                                         std::span<const std::int64_t> sources, std::span<double> dist,
                                         std::span<std::int32_t> pred);
std::optional<MultiError> bmssp_multi(Pool& pool, const Csr& graph, std::span<const std::int64_t> sources,
                                      std::uint64_t seed, std::span<double> dist, std::span<std::int32_t> pred);

}  // namespace qh
