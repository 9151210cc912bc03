// run.cpp: the road of every BMSSP run: input checks, the searched graph, the recursion
// in the form the configuration selects, the closing check, and the results mapped back.
#include "core/run.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/cancel.hpp"
#include "core/parameters.hpp"
#include "core/recursion/recursion.hpp"
#include "core/stop.hpp"
#include "core/transform.hpp"

namespace qh {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

struct WeightScan {
    double smallest;  // +inf without weights
    double largest;   // -inf without weights
    bool any_nan;
};

// Smallest and largest weight and whether any is NaN, in one pass.
WeightScan scan_weights(const double* w, std::size_t m) noexcept {
    std::size_t e = 0;
    WeightScan out{INF, -INF, false};
#if defined(__SSE2__)
    // Two lanes at a time. MINPD and MAXPD return their second operand when either is NaN,
    // so NaN never enters the running extremes; it is caught by the unordered compare.
    __m128d lo = _mm_set1_pd(INF), hi = _mm_set1_pd(-INF), nan = _mm_setzero_pd();
    for (; e + 2 <= m; e += 2) {
        const __m128d x = _mm_loadu_pd(w + e);
        lo = _mm_min_pd(x, lo);
        hi = _mm_max_pd(x, hi);
        nan = _mm_or_pd(nan, _mm_cmpunord_pd(x, x));
    }
    double l[2], h[2], q[2];
    _mm_storeu_pd(l, lo);
    _mm_storeu_pd(h, hi);
    _mm_storeu_pd(q, nan);
    out.smallest = std::min(l[0], l[1]);
    out.largest = std::max(h[0], h[1]);
    out.any_nan = std::bit_cast<std::uint64_t>(q[0]) != 0 || std::bit_cast<std::uint64_t>(q[1]) != 0;
#endif
    for (; e < m; ++e) {
        if (w[e] != w[e]) {
            out.any_nan = true;
            continue;
        }
        out.smallest = std::min(out.smallest, w[e]);
        out.largest = std::max(out.largest, w[e]);
    }
    return out;
}

// Source, then weights (NaN, ±inf or below zero; −0.0 passes); nullopt when both pass, and
// then the smallest weight (+inf without edges) in `smallest`.
std::optional<BmsspError> check_run_input(const Csr& csr, std::uint64_t source, double& smallest) noexcept {
    if (source >= csr.n) return BmsspError::SourceOutOfRange;
    // −0.0 passes: it is not below zero.
    const WeightScan scan = scan_weights(csr.weights.data(), csr.weights.size());
    if (scan.any_nan || scan.smallest < 0.0 || scan.largest == std::numeric_limits<double>::infinity())
        return BmsspError::InvalidWeight;
    smallest = scan.smallest;
    return std::nullopt;
}

// Runs `rec` from `source`: one whole search when the outermost call takes the bounded
// search, else the recursion with the bound of config.limit and the closing check, which
// `weights` (the input's) may show to have nothing to find. `min_weight` must not exceed any
// weight of the searched graph. Fills the counts and the log of `out`.
template <class Rows, class Queues, class Observer>
void search(Recursion<Rows, Queues, Observer>& rec, std::uint32_t source, const RunParams& params,
            const RunConfig& config, double min_weight, std::span<const double> weights, BmsspRun& out) {
    Vec<SettleRecord>& log = rec.state.settle_log;
    rec.state.keep_log = config.log == SettleLog::Keep;
    if (rec.state.keep_log) log.reserve(rec.state.vertex.size());  // at most one record per vertex: never regrown
    if (config.hybrid.takes(params.levels, 1)) {
        if constexpr (Observer::TRACES_CALLS) rec.state.observer.call_begun(params.levels, KEY_TOP, 1, 0);
        rec.whole_search(source, min_weight);
        if constexpr (Observer::TRACES_CALLS) {  // a whole search settles nothing: its U in a trace is what it reached
            const auto reached = std::count_if(rec.state.vertex.begin(), rec.state.vertex.end(),
                                               [](const auto& r) { return r.dist != INF; });
            rec.state.observer.call_ended(KEY_TOP, static_cast<std::size_t>(reached), 0);
        }
    } else {
        // The outermost call completes every vertex whose key lies below its bound (its
        // vertex set may not outgrow k * 2^(levels * t) >= n, so it never stops early). A key
        // (d, hops, v) with d <= limit lies below (limit, top, top), since real hop counts
        // stay below the top; so with a limit, the vertices within it are complete and all
        // others have a true distance, and hence a tentative one, above the limit.
        const bool limited = config.limit != INF;
        const Key bound = limited ? Key{config.limit, NO_PATH_HOPS, NO_PATH_HOPS} : KEY_TOP;
        const std::uint32_t top[1] = {source};
        const Key reached = rec.run(params.levels, bound, top);
        if (limited && !(reached == bound)) internal_stop("BMSSP: the outermost call stopped below its bound");
        const std::uint64_t lowered = sums_are_exact(weights) ? 0 : rec.finish(config.limit);
        out.counts = ExactnessCounts{rec.state.reoffers, lowered};
    }
    out.ops = rec.state.observer.counts();
    if constexpr (Observer::TRACES_CALLS) out.calls = rec.state.observer.take_calls();
    out.settle_log = std::move(log);
    // The log was reserved for every vertex; give most of it back when few were reached.
    if (out.settle_log.size() < out.settle_log.capacity() / 2) out.settle_log.shrink_to_fit();
}

// A vertex beyond a finite limit is reported unreached.
void cut_at_limit(BmsspRun& out, double limit) {
    if (limit == INF) return;
    for (std::size_t v = 0; v < out.dist.size(); ++v) {
        if (out.dist[v] > limit) {
            out.dist[v] = INF;
            out.pred[v] = -1;
        }
    }
}

// The results of a run on a form with copies of each vertex, for the input's `n` vertices: every
// copy holds its vertex's distance, and the predecessors walk back through the copies.
template <class Node>
void copies_back(BmsspRun& out, const CopyMaps& maps, const Vec<Node>& vs, std::uint64_t n, std::uint64_t source,
                 double limit) {
    const auto pred_of = [&](std::uint64_t c) { return vs[c].pred; };
    // One pass over the copies 0, which lie all over the records (loaded a few vertices
    // ahead), reads each vertex's distance and walks out of its copies; the input
    // predecessors, one scattered read each, follow in a pass of their own.
    constexpr std::uint64_t AHEAD = 16;
    out.dist = OwnedArray<double>::uninitialized(n);
    Vec<std::uint32_t> entered(n);
    for (std::uint64_t v = 0; v < n; ++v) {
        if (v + AHEAD < n) __builtin_prefetch(&vs[maps.first_copy[v + AHEAD]]);
        const double d = vs[maps.first_copy[v]].dist;
        out.dist[v] = d;
        // +inf and NaN stay without a predecessor
        entered[v] = v == source || !(d < INF) ? NO_VERTEX : entered_from(maps, pred_of, v);
    }
    out.pred = predecessors_back(maps, entered, [&](std::uint64_t c) { return vs[c].dist; }, pred_of, source);
    cut_at_limit(out, limit);
}

// A run on the constant-degree form: the rows go straight into the run's vertex records,
// with no compact copy to build and drop.
template <class Queues, class Observer>
BmsspRun on_constant_degree(const Csr& csr, std::uint64_t source, std::uint64_t seed, const RunConfig& config) {
    CopyMaps maps;
    Vec<VertexNode> nodes =
        constant_degree_rows(csr, source, maps, VertexNode{INF, UNREACHED, NO_VERTEX, NO_VERTEX, NO_VERTEX, 0.0});
    const RunParams params = run_params(config, csr.n, csr.nnz(), nodes.size());
    Recursion<ConstantDegreeRows, Queues, Observer> rec(std::move(nodes), ConstantDegreeRows{}, maps.source, config,
                                                        params, seed);
    BmsspRun out;
    search(rec, maps.source, params, config, 0.0, csr.weights, out);
    // Every copy of a vertex holds its distance; the predecessors walk back through the copies.
    copies_back(out, maps, rec.state.vertex, csr.n, source, config.limit);
    return out;
}

// A run on the input graph itself, whose smallest weight is `min_weight`.
template <class Queues, class Observer>
BmsspRun on_input(const Csr& csr, std::uint64_t source, std::uint64_t seed, const RunConfig& config,
                  double min_weight) {
    const std::uint64_t n = csr.n;
    Vec<LabelNode> nodes;
    assign_cancellable(nodes, n, LabelNode{INF, UNREACHED, NO_VERTEX});
    const RunParams params = run_params(config, n, csr.nnz(), n);
    const auto s = static_cast<std::uint32_t>(source);
    Recursion<CsrRows, Queues, Observer> rec(
        std::move(nodes), CsrRows{csr.indptr.data(), csr.indices.data(), csr.weights.data()}, s, config, params, seed);
    BmsspRun out;
    search(rec, s, params, config, min_weight, csr.weights, out);
    const Vec<LabelNode>& vs = rec.state.vertex;
    out.dist = OwnedArray<double>::uninitialized(n);
    out.pred = OwnedArray<std::int32_t>::uninitialized(n);
    for (std::uint64_t v = 0; v < n; ++v) {
        out.dist[v] = vs[v].dist;
        out.pred[v] = vs[v].pred == NO_VERTEX ? -1 : static_cast<std::int32_t>(vs[v].pred);
    }
    cut_at_limit(out, config.limit);
    return out;
}

// A run on the hub-ring form of config.hub_degree (transform.hpp), on the input itself when
// that form has no ring: the two are then the same graph, ids and rows alike.
template <class Queues, class Observer>
BmsspRun on_hub_rings(const Csr& csr, std::uint64_t source, std::uint64_t seed, const RunConfig& config,
                      double min_weight) {
    if (hub_ring_size(csr, config.hub_degree).vertices == csr.n)
        return on_input<Queues, Observer>(csr, source, seed, config, min_weight);
    CopyMaps maps;
    const Csr form = hub_rings(csr, source, config.hub_degree, maps);
    Vec<LabelNode> nodes;
    assign_cancellable(nodes, form.n, LabelNode{INF, UNREACHED, NO_VERTEX});
    const RunParams params = run_params(config, csr.n, csr.nnz(), form.n);
    Recursion<CsrRows, Queues, Observer> rec(std::move(nodes),
                                             CsrRows{form.indptr.data(), form.indices.data(), form.weights.data()},
                                             maps.source, config, params, seed);
    BmsspRun out;
    search(rec, maps.source, params, config, 0.0, csr.weights, out);  // the rings weigh 0.0
    copies_back(out, maps, rec.state.vertex, csr.n, source, config.limit);
    return out;
}

// The form of the recursion that `config` selects, watched by Observer.
template <class Observer>
BmsspRun run_form(const Csr& csr, std::uint64_t source, std::uint64_t seed, const RunConfig& config,
                  double min_weight) {
    const bool flat = config.queue == QueueKind::FlatHeap;
    if (config.transform == Transform::All) {
        return flat ? on_constant_degree<FlatQueues, Observer>(csr, source, seed, config)
                    : on_constant_degree<BlockQueues, Observer>(csr, source, seed, config);
    }
    if (config.transform == Transform::Hubs) {
        return flat ? on_hub_rings<FlatQueues, Observer>(csr, source, seed, config, min_weight)
                    : on_hub_rings<BlockQueues, Observer>(csr, source, seed, config, min_weight);
    }
    return flat ? on_input<FlatQueues, Observer>(csr, source, seed, config, min_weight)
                : on_input<BlockQueues, Observer>(csr, source, seed, config, min_weight);
}

}  // namespace

std::variant<BmsspRun, BmsspError> run(const Csr& graph, std::uint64_t source, std::uint64_t seed,
                                       const RunConfig& config) {
    double min_weight = 0.0;
    if (const auto error = check_run_input(graph, source, min_weight)) return *error;
    if (!searched_graph_fits(graph, config)) return BmsspError::GraphTooLarge;
    if (config.counting == Counting::On) return run_form<OperationCounter>(graph, source, seed, config, min_weight);
    if (config.counting == Counting::Trace) return run_form<CallTracer>(graph, source, seed, config, min_weight);
    return run_form<NoObserver>(graph, source, seed, config, min_weight);
}

}  // namespace qh
