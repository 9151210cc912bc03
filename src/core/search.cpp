// search.cpp: the extended Dijkstra searches.
//
// Users of shortest-path libraries rarely want every distance from one
// vertex: they want the vertices within a distance (a limit), the distance to
// a few targets, the distance to the nearest of many sources, or paths that
// may use arcs in both directions. All of these are the baseline's main loop
// (dijkstra_loop.hpp) with different hooks and a different start:
//
// - Limit: a tentative distance above the limit is never recorded, so nothing
//   beyond it enters the heap and the search ends when the heap runs dry.
//   A distance equal to the limit counts as within it.
// - Targets: a flag per vertex marks the distinct targets; the search stops
//   right after the last of them is settled. Every vertex settled so far has
//   its final distance and predecessor; the others keep what the search had
//   found (a path's length and its last tail, or +inf and -1).
// - Nearest source: the heap starts with every source at distance 0, pushed
//   in input order, and a repeated source is skipped, exactly as a virtual
//   super-source expanding its zero-weight arcs in that order would. The
//   source of a vertex is inherited along each lowering relaxation.
// - Undirected: an owned adjacency is built once, holding for each vertex its
//   out-arcs in position order, then its in-arcs (reversed) in position order
//   of the original arcs. Scanning it is the same loop over a bigger graph.
//
// The graph is checked once, with the baseline's checks and messages, before
// anything is written. Sources and targets are copied first and the copies
// checked and used, since the caller's arrays are read with the interpreter
// lock released. Per-row runs share the checked graph, the target flags and
// the undirected adjacency read-only; each row has its own heap.
#include "core/search.hpp"

#include <algorithm>
#include <cstring>

#include "core/cancel.hpp"
#include "core/dijkstra.hpp"
#include "core/dijkstra_loop.hpp"
#include "core/memory.hpp"
#include "core/pool.hpp"

namespace qh {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// Copies ids and checks the copy: the first one outside [0, n) is the error.
std::optional<SearchError> checked_ids(std::span<const std::int64_t> ids, std::uint64_t n, SearchError::Kind kind,
                                       Vec<std::uint32_t>& out) {
    Vec<std::int64_t> copy(ids.size());
    if (!ids.empty()) std::memcpy(copy.data(), ids.data(), ids.size_bytes());
    out.resize(copy.size());
    for (std::size_t i = 0; i < copy.size(); ++i) {
        if (copy[i] < 0 || static_cast<std::uint64_t>(copy[i]) >= n) return SearchError{kind, copy[i]};
        out[i] = static_cast<std::uint32_t>(copy[i]);
    }
    return std::nullopt;
}

SearchError from_dijkstra_error(DijkstraError error) {
    return {error == DijkstraError::NegativeWeight ? SearchError::Kind::NegativeWeight
                                                   : SearchError::Kind::MalformedCsr};
}

// Everything the rows of one call share, built and checked once.
struct Prepared {
    CsrView graph{};
    Vec<std::uint32_t> sources;
    Vec<std::uint8_t> is_target;  // n flags, or empty without targets
    std::size_t target_count = 0;
    bool has_targets = false;
    double limit = INF;
    // The undirected adjacency, when asked for.
    Vec<std::int64_t> both_row;
    Vec<std::int32_t> both_head;
    Vec<double> both_w;
};

// Builds, for each vertex, its out-arcs then its reversed in-arcs. The caller's
// arrays have passed check_dijkstra_input; heads are checked again as they are
// used, in case the arrays changed since. Returns false if they did.
bool build_undirected(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                      std::span<const double> weights, std::uint64_t n, Prepared& out) {
    const std::size_t nnz = indices.size();
    Vec<std::int32_t> heads(indices.begin(), indices.end());  // one read of the caller's heads
    Vec<std::int64_t> offsets(indptr.begin(), indptr.end());
    for (std::size_t v = 0; v < n; ++v)
        if (offsets[v] < 0 || offsets[v] > offsets[v + 1]) return false;
    if (offsets[n] != static_cast<std::int64_t>(nnz)) return false;
    for (const std::int32_t h : heads)
        if (h < 0 || static_cast<std::uint64_t>(h) >= n) return false;

    Vec<std::int64_t>& row = out.both_row;
    row.assign(n + 1, 0);
    for (std::size_t v = 0; v < n; ++v) row[v + 1] = offsets[v + 1] - offsets[v];
    for (const std::int32_t h : heads) ++row[static_cast<std::size_t>(h) + 1];
    for (std::size_t v = 0; v < n; ++v) row[v + 1] += row[v];

    out.both_head.resize(2 * nnz);
    out.both_w.resize(2 * nnz);
    Vec<std::int64_t> fill(row.begin(), row.end() - 1);
    for (std::size_t u = 0; u < n; ++u) {
        const std::int64_t b = offsets[u], e = offsets[u + 1];
        if (b == e) continue;  // (no memcpy from a null pointer when there are no arcs at all)
        std::memcpy(out.both_head.data() + fill[u], heads.data() + b, static_cast<std::size_t>(e - b) * 4);
        std::memcpy(out.both_w.data() + fill[u], weights.data() + b, static_cast<std::size_t>(e - b) * 8);
        fill[u] += e - b;
    }
    for (std::size_t u = 0; u < n; ++u) {
        for (std::int64_t e = offsets[u]; e < offsets[u + 1]; ++e) {
            const std::size_t v = static_cast<std::size_t>(heads[e]);
            out.both_head[fill[v]] = static_cast<std::int32_t>(u);
            out.both_w[fill[v]] = weights[e];
            ++fill[v];
        }
    }
    out.graph = CsrView{row.data(), out.both_head.data(), out.both_w.data(), n, 2 * nnz};
    return true;
}

std::optional<SearchError> prepare(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                                   std::span<const double> weights, std::span<const std::int64_t> sources,
                                   const SearchOptions& options, std::uint64_t n, Prepared& out) {
    if (auto error = checked_ids(sources, n, SearchError::Kind::SourceOutOfRange, out.sources)) return error;
    if (options.targets) {
        Vec<std::uint32_t> targets;
        if (auto error = checked_ids(*options.targets, n, SearchError::Kind::TargetOutOfRange, targets)) return error;
        out.has_targets = true;
        out.is_target.assign(n, 0);
        for (const std::uint32_t t : targets) {
            out.target_count += out.is_target[t] == 0;
            out.is_target[t] = 1;
        }
    }
    if (auto error = check_dijkstra_input(indptr, indices, weights, n)) return from_dijkstra_error(*error);
    out.limit = options.limit;
    if (options.undirected) {
        if (!build_undirected(indptr, indices, weights, n, out)) return SearchError{SearchError::Kind::MalformedCsr};
    } else {
        out.graph = CsrView{indptr.data(), indices.data(), weights.data(), n, indices.size()};
    }
    return std::nullopt;
}

// The hooks of an extended search; null outputs are not written.
struct SearchHooks {
    double limit;
    std::int32_t* pred;
    std::int32_t* source_of;
    const std::uint8_t* is_target;  // null without targets
    std::size_t targets_left;

    bool admit(double nd) const noexcept { return nd <= limit; }
    void relaxed(std::uint32_t v, std::uint32_t u) noexcept {
        if (pred) pred[v] = static_cast<std::int32_t>(u);
        if (source_of) source_of[v] = source_of[u];
    }
    bool settle(std::uint32_t u) noexcept {
        if (is_target == nullptr || !is_target[u]) return true;
        return --targets_left != 0;
    }
};

// One search from `sources` together into the given rows.
std::optional<SearchError> run(const Prepared& p, std::span<const std::uint32_t> sources, double* dist,
                               std::int32_t* pred, std::int32_t* source_of, Heap& heap) {
    const std::size_t n = p.graph.n;
    for (std::size_t v = 0; v < n; ++v) dist[v] = INF;
    if (pred) std::fill(pred, pred + n, -1);
    if (source_of) std::fill(source_of, source_of + n, -1);
    heap.clear();
    heap.reserve(p.graph.nnz + sources.size());
    for (const std::uint32_t s : sources) {
        if (!(dist[s] > 0.0)) continue;  // a repeated source: no strict improvement
        dist[s] = 0.0;
        if (source_of) source_of[s] = static_cast<std::int32_t>(s);
        heap.push(0.0, s);
    }
    if (p.has_targets && p.target_count == 0) {  // nothing to wait for
        heap.clear();
        return std::nullopt;
    }
    SearchHooks hooks{p.limit, pred, source_of, p.has_targets ? p.is_target.data() : nullptr, p.target_count};
    const LoopEnd end = run_dijkstra_loop(p.graph, dist, heap, hooks);
    heap.clear();
    if (end == LoopEnd::Cancelled) throw Cancelled{};
    if (end == LoopEnd::Malformed) return SearchError{SearchError::Kind::MalformedCsr};
    return std::nullopt;
}

}  // namespace

std::optional<SearchError> search_nearest(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                                          std::span<const double> weights, std::span<const std::int64_t> sources,
                                          const SearchOptions& options, std::span<double> dist,
                                          std::span<std::int32_t> pred, std::span<std::int32_t> source_of) {
    const std::size_t n = dist.size();
    Prepared p;
    if (auto error = prepare(indptr, indices, weights, sources, options, n, p)) return error;
    Heap heap;
    return run(p, p.sources, dist.data(), pred.empty() ? nullptr : pred.data(),
               source_of.empty() ? nullptr : source_of.data(), heap);
}

std::optional<SearchError> search_rows(Pool* pool, std::span<const std::int64_t> indptr,
                                       std::span<const std::int32_t> indices, std::span<const double> weights,
                                       std::span<const std::int64_t> sources, const SearchOptions& options,
                                       std::span<double> dist, std::span<std::int32_t> pred) {
    const std::size_t n = indptr.size() - 1;
    const std::size_t k = sources.size();
    Prepared p;
    if (auto error = prepare(indptr, indices, weights, sources, options, n, p)) return error;
    if (k == 0 || n == 0) return std::nullopt;
    auto row = [&](std::size_t i) -> std::optional<SearchError> {
        Heap heap;
        const std::uint32_t source = p.sources[i];
        return run(p, {&source, 1}, dist.data() + i * n, pred.empty() ? nullptr : pred.data() + i * n, nullptr, heap);
    };
    return try_for_each<SearchError>(pool ? *pool : global_pool(), k, row);
}

}  // namespace qh
