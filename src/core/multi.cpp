// multi.cpp: multi-source runs, one single-source result per source.
//
// Row i of the flat outputs (positions i*n .. i*n + n - 1) is exactly what a
// single-source run from sources[i] returns: the same function, the same
// inputs, its own scratch (a fresh Heap, or a fresh BMSSP run with its random
// state started at the caller's seed). Rows share only read-only inputs and
// write disjoint slices, so a row's bits do not depend on the thread count or
// on the order in which rows finish. Nothing is cached between rows: a
// shared transform or a per-thread heap would save work, but would make a
// row's result depend on more than its own run.
//
// All sources are checked before any row runs, and the first bad one in input
// order is reported. The check runs on a private copy of `sources`, which the
// rows then read: the caller's array is read with the interpreter lock
// released, and a row must never use an id that was not checked.
//
// Rows are spread over the process-wide pool with `try_for_each` (pool.hpp):
// the first failing row stops the others early, and an exception in a row
// (internal stop, std::bad_alloc) is rethrown here once every row has ended.
#include "core/multi.hpp"

#include <cassert>
#include <cstring>

#include "core/catalogue.hpp"
#include "core/dijkstra.hpp"
#include "core/pool.hpp"
#include "core/run.hpp"
#include "core/stop.hpp"

namespace qh {

namespace {

// Copies `sources` into `out` and checks the copy: the first id that is
// negative or not below n is the error.
std::optional<MultiError> checked_sources(std::span<const std::int64_t> sources, std::uint64_t n,
                                          Vec<std::int64_t>& out) {
    out.resize(sources.size());
    if (!sources.empty()) std::memcpy(out.data(), sources.data(), sources.size_bytes());
    for (const std::int64_t s : out)
        if (s < 0 || static_cast<std::uint64_t>(s) >= n) return MultiError{MultiError::Kind::SourceOutOfRange, s};
    return std::nullopt;
}

// Both runners with `pool`, or with the process-wide pool when it is null;
// that one is made only when there is a row to run.

std::optional<MultiError> dijkstra_rows(Pool* pool, std::span<const std::int64_t> indptr,
                                        std::span<const std::int32_t> indices, std::span<const double> weights,
                                        std::span<const std::int64_t> sources, std::span<double> dist,
                                        std::span<std::int32_t> pred) {
    assert(!indptr.empty());
    const std::size_t n = indptr.size() - 1;
    const std::size_t k = sources.size();
    assert(dist.size() == k * n && pred.size() == k * n);

    Vec<std::int64_t> own_sources;
    if (auto error = checked_sources(sources, n, own_sources)) return error;
    if (k == 0) return std::nullopt;

    auto row = [&](std::size_t i) -> std::optional<MultiError> {
        Heap heap;
        const std::optional<DijkstraError> error =
            dijkstra(indptr, indices, weights, static_cast<std::uint64_t>(own_sources[i]), dist.subspan(i * n, n),
                     pred.subspan(i * n, n), heap);
        if (!error) return std::nullopt;
        return MultiError{*error == DijkstraError::NegativeWeight ? MultiError::Kind::NegativeWeight
                                                                  : MultiError::Kind::MalformedCsr};
    };
    return try_for_each<MultiError>(pool ? *pool : global_pool(), k, row);
}

std::optional<MultiError> bmssp_rows(Pool* pool, const Csr& graph, std::span<const std::int64_t> sources,
                                     std::uint64_t seed, std::span<double> dist, std::span<std::int32_t> pred) {
    const std::size_t n = graph.n;
    const std::size_t k = sources.size();
    assert(dist.size() == k * n && pred.size() == k * n);

    Vec<std::int64_t> own_sources;
    if (auto error = checked_sources(sources, n, own_sources)) return error;
    if (k == 0) return std::nullopt;

    auto row = [&](std::size_t i) -> std::optional<MultiError> {
        const std::int64_t s = own_sources[i];
        const auto result = run(graph, static_cast<std::uint64_t>(s), seed, CORE);
        const BmsspRun* run = std::get_if<BmsspRun>(&result);
        if (run == nullptr) {
            switch (*std::get_if<BmsspError>(&result)) {
                case BmsspError::SourceOutOfRange:
                    return MultiError{MultiError::Kind::SourceOutOfRange, s};
                case BmsspError::InvalidWeight:
                    return MultiError{MultiError::Kind::NegativeWeight};
                case BmsspError::GraphTooLarge:
                    return MultiError{MultiError::Kind::GraphTooLarge};
            }
            internal_stop("unknown BMSSP error value");
        }
        if (run->dist.size() != n || run->pred.size() != n)
            internal_stop("a BMSSP run returned a row of the wrong length");
        std::memcpy(dist.data() + i * n, run->dist.data(), n * sizeof(double));
        std::memcpy(pred.data() + i * n, run->pred.data(), n * sizeof(std::int32_t));
        return std::nullopt;
    };
    return try_for_each<MultiError>(pool ? *pool : global_pool(), k, row);
}

}  // namespace

std::optional<MultiError> dijkstra_multi(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                                         std::span<const double> weights, std::span<const std::int64_t> sources,
                                         std::span<double> dist, std::span<std::int32_t> pred) {
    return dijkstra_rows(nullptr, indptr, indices, weights, sources, dist, pred);
}

std::optional<MultiError> bmssp_multi(const Csr& graph, std::span<const std::int64_t> sources, std::uint64_t seed,
                                      std::span<double> dist, std::span<std::int32_t> pred) {
    return bmssp_rows(nullptr, graph, sources, seed, dist, pred);
}

std::optional<MultiError> dijkstra_multi(Pool& pool, std::span<const std::int64_t> indptr,
                                         std::span<const std::int32_t> indices, std::span<const double> weights,
                                         std::span<const std::int64_t> sources, std::span<double> dist,
                                         std::span<std::int32_t> pred) {
    return dijkstra_rows(&pool, indptr, indices, weights, sources, dist, pred);
}

std::optional<MultiError> bmssp_multi(Pool& pool, const Csr& graph, std::span<const std::int64_t> sources,
                                      std::uint64_t seed, std::span<double> dist, std::span<std::int32_t> pred) {
    return bmssp_rows(&pool, graph, sources, seed, dist, pred);
}

}  // namespace qh
