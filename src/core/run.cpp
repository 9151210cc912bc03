// bmssp.cpp: the driver of the recursion: input checks, parameters, the searched
// graph, the closing check, and the results mapped back to the input graph.
#include "core/run.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/stop.hpp"
#include "core/transform.hpp"

namespace qh {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

}  // namespace

// --- parameters -----------------------------------------------------------------------

double log_base(std::uint64_t n) noexcept {
    return std::max(std::log2(static_cast<double>(std::max<std::uint64_t>(n, 2))), 1.0);
}

std::pair<std::uint64_t, std::uint64_t> default_k_t(double base) noexcept {
    const auto k = static_cast<std::int64_t>(std::floor(std::pow(base, 0.3333333333333333)));
    const auto t = static_cast<std::int64_t>(std::floor(std::pow(base, 0.6666666666666666)));
    return {static_cast<std::uint64_t>(std::max<std::int64_t>(1, k)),
            static_cast<std::uint64_t>(std::max<std::int64_t>(1, t))};
}

BmsspParams bmssp_parameters(std::uint64_t n, std::optional<std::pair<std::uint64_t, std::uint64_t>> forced) {
    const double base = log_base(n);
    BmsspParams p{};
    std::tie(p.k, p.t) = forced ? *forced : default_k_t(base);
    // A forced t of 0 cannot reach here through the catalogue; treat it as 1 level.
    const double levels = p.t == 0 ? 1.0 : std::ceil(base / static_cast<double>(p.t));
    p.levels = static_cast<std::uint64_t>(std::max<std::int64_t>(1, static_cast<std::int64_t>(levels)));
    return p;
}

// --- checks ---------------------------------------------------------------------------

namespace {

struct WeightScan {
    double smallest;  // +inf without weights
    double largest;   // -inf without weights
    bool any_nan;
};

// Smallest and largest weight and whether any is NaN, in one pass.
WeightScan scan_weights(const double* w, std::size_t m) noexcept {
    constexpr double INF = std::numeric_limits<double>::infinity();
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

}  // namespace

std::optional<BmsspError> check_run_input(const Csr& csr, std::uint64_t source, double* smallest) noexcept {
    if (source >= csr.n) return BmsspError::SourceOutOfRange;
    // −0.0 passes: it is not below zero.
    const WeightScan scan = scan_weights(csr.weights.data(), csr.weights.size());
    if (scan.any_nan || scan.smallest < 0.0 || scan.largest == std::numeric_limits<double>::infinity())
        return BmsspError::InvalidWeight;
    if (smallest != nullptr) *smallest = scan.smallest;
    return std::nullopt;
}

// --- runs ----------------------------------------------------------------------------------

namespace {

// Runs `rec` from `source` under `params` and `config`: one whole search when the outermost
// call takes the bounded search, else the recursion with bound `bound` and the closing check,
// which `weights` (the input's) may show to have nothing to find.
template <class Rows, class Queues, class Observer>
ExactnessCounts search(Recursion<Rows, Queues, Observer>& rec, std::uint32_t source, const BmsspParams& params,
                       const RecursionConfig& config, const Key& bound, double min_weight,
                       std::span<const double> weights, double limit) {
    if (config.takes_bounded_search(params.levels, 1)) {
        rec.whole_search(source, min_weight);
        return {};
    }
    const std::uint32_t top[1] = {source};
    // The outermost call completes every vertex whose key lies below its bound (its vertex
    // set may not outgrow k * 2^(levels * t) >= n, so it never stops early). A key
    // (d, hops, v) with d <= limit lies below (limit, top, top), since real hop counts stay
    // below the top; so with a limit, the vertices within it are complete and all others
    // have a true distance, and hence a tentative one, above the limit.
    const Key reached = rec.run(params.levels, bound, top);
    if (limit != INF && !(reached == bound)) internal_stop("BMSSP: the outermost call stopped below its bound");
    const std::uint64_t lowered = sums_are_exact(weights) ? 0 : rec.finish(limit);
    return ExactnessCounts{rec.state.reoffers, lowered};
}

RecursionConfig recursion_config(const BmsspParams& params, const VariantConfig& config) {
    RecursionConfig rc;
    rc.k = params.k;
    rc.t = params.t;
    rc.lazy_pivots = config.lazy_pivots;
    rc.dijkstra_max_level = config.dijkstra_max_level;
    rc.dijkstra_max_frontier = config.dijkstra_max_frontier;
    return rc;
}

// A configured run on the constant-degree form with queues Q, counting its operations when C.
// The input graph's distances and predecessors from the records of a finished run on its
// constant-degree form.
void map_back(const Vec<VertexNode>& vs, const CopyMaps& maps, std::uint64_t n, std::uint64_t source,
              OwnedArray<double>& dist, OwnedArray<std::int32_t>& pred) {
    dist = OwnedArray<double>::uninitialized(n);
    for (std::uint64_t v = 0; v < n; ++v) dist[v] = vs[maps.first_copy[v]].dist;
    pred = predecessors_back(maps, [&](std::uint64_t c) { return vs[c].dist; },
                             [&](std::uint64_t c) { return vs[c].pred; }, source);
}

template <class Q, class C>
VariantRun run_transformed(const Csr& csr, std::uint64_t source, std::uint64_t seed, const VariantConfig& config) {
    CopyMaps maps;
    Vec<VertexNode> nodes =
        constant_degree_rows(csr, source, maps, VertexNode{INF, UNREACHED, NO_VERTEX, NO_VERTEX, NO_VERTEX, 0.0});
    const BmsspParams params = configured_parameters(nodes.size(), config);
    const RecursionConfig rc = recursion_config(params, config);
    Recursion<ConstantDegreeRows, Q, C> rec(std::move(nodes), ConstantDegreeRows{}, maps.source, rc, seed);
    rec.state.keep_log = false;
    VariantRun out;
    out.counts = search(rec, maps.source, params, rc, KEY_TOP, 0.0, csr.weights, INF);
    out.ops = rec.state.observer.counts();
    map_back(rec.state.vertex, maps, csr.n, source, out.dist, out.pred);
    return out;
}

// A configured run on the input graph itself with queues Q, counting its operations when C;
// `min_weight` is its smallest weight.
template <class Q, class C>
VariantRun run_on_input(const Csr& csr, std::uint64_t source, std::uint64_t seed, const VariantConfig& config,
                        double min_weight) {
    const std::uint64_t n = csr.n;
    Vec<LabelNode> nodes;
    assign_cancellable(nodes, n, LabelNode{INF, UNREACHED, NO_VERTEX});
    const BmsspParams params = configured_parameters(n, config);
    const RecursionConfig rc = recursion_config(params, config);
    const auto s = static_cast<std::uint32_t>(source);
    Recursion<CsrRows, Q, C> rec(std::move(nodes), CsrRows{csr.indptr.data(), csr.indices.data(), csr.weights.data()},
                                 s, rc, seed);
    rec.state.keep_log = false;
    VariantRun out;
    out.counts = search(rec, s, params, rc, KEY_TOP, min_weight, csr.weights, INF);
    out.ops = rec.state.observer.counts();
    out.dist = OwnedArray<double>::uninitialized(n);
    out.pred = OwnedArray<std::int32_t>::uninitialized(n);
    for (std::uint64_t v = 0; v < n; ++v) {
        out.dist[v] = rec.state.vertex[v].dist;
        out.pred[v] = rec.state.vertex[v].pred == NO_VERTEX ? -1 : static_cast<std::int32_t>(rec.state.vertex[v].pred);
    }
    return out;
}

}  // namespace

BmsspParams configured_parameters(std::uint64_t n, const VariantConfig& config) {
    return bmssp_parameters(n, config.force_params ? std::optional{std::pair{config.k, config.t}} : std::nullopt);
}

bool configured_whole_search(const BmsspParams& params, const VariantConfig& config) {
    return recursion_config(params, config).takes_bounded_search(params.levels, 1);
}

namespace {

// The core run on a graph that passed sssp_bmssp's checks, counting its operations when C.
template <class C>
BmsspRun core_run(const Csr& csr, std::uint64_t source, std::uint64_t seed, SettleLog log, double limit) {
    // The rows go straight into the run's vertex records: no compact copy to build and drop.
    CopyMaps maps;
    Vec<VertexNode> nodes =
        constant_degree_rows(csr, source, maps, VertexNode{INF, UNREACHED, NO_VERTEX, NO_VERTEX, NO_VERTEX, 0.0});
    const std::uint64_t np = nodes.size();
    const BmsspParams params = bmssp_parameters(np);
    RecursionConfig rc;
    rc.k = params.k;
    rc.t = params.t;
    Recursion<ConstantDegreeRows, BlockQueues, C> rec(std::move(nodes), ConstantDegreeRows{}, maps.source, rc, seed);
    rec.state.keep_log = log == SettleLog::Keep;
    if (rec.state.keep_log) rec.state.settle_log.reserve(np);  // at most one record per vertex: never regrown
    const bool limited = limit != INF;
    const Key bound = limited ? Key{limit, NO_PATH_HOPS, NO_PATH_HOPS} : KEY_TOP;
    BmsspRun run;
    run.counts = search(rec, maps.source, params, rc, bound, 0.0, csr.weights, limit);
    run.ops = rec.state.observer.counts();
    map_back(rec.state.vertex, maps, csr.n, source, run.dist, run.pred);
    if (limited) {
        for (std::uint64_t v = 0; v < csr.n; ++v) {
            if (run.dist[v] > limit) {
                run.dist[v] = INF;
                run.pred[v] = -1;
            }
        }
    }
    run.settle_log = std::move(rec.state.settle_log);
    // The log was reserved for every vertex; give most of it back when few were reached.
    if (run.settle_log.size() < run.settle_log.capacity() / 2) run.settle_log.shrink_to_fit();
    return run;
}

}  // namespace

std::variant<BmsspRun, BmsspError> sssp_bmssp(const Csr& csr, std::uint64_t source, std::uint64_t seed,
                                              SettleLog log, double limit, Counting counting) {
    if (const auto error = check_run_input(csr, source)) return *error;
    // Cheap bound first (n' <= 2m + n); the exact count only near the limit.
    const std::uint64_t m = csr.nnz();
    if (!(2 * m + csr.n < (std::uint64_t{1} << 32) && csr.n <= (std::uint64_t{1} << 31))) {
        if (!fits_bmssp_ids(csr.n, transformed_vertex_count(csr))) return BmsspError::GraphTooLarge;
    }
    if (counting == Counting::On) return core_run<OperationCounter>(csr, source, seed, log, limit);
    return core_run<NoObserver>(csr, source, seed, log, limit);
}

std::variant<VariantRun, BmsspError> run_configured(const Csr& csr, std::uint64_t source, std::uint64_t seed,
                                                    const VariantConfig& config, Counting counting) {
    double min_weight = 0.0;
    if (const auto error = check_run_input(csr, source, &min_weight)) return *error;
    // Refuse before building anything: the searched graph's ids, transformed or not, must fit in i32.
    if ((config.transform ? transformed_vertex_count(csr) : csr.n) >= VARIANT_MAX_VERTICES)
        return BmsspError::GraphTooLarge;
    if (counting == Counting::On) {
        if (config.transform) {
            return config.flat_queue ? run_transformed<FlatQueues, OperationCounter>(csr, source, seed, config)
                                     : run_transformed<BlockQueues, OperationCounter>(csr, source, seed, config);
        }
        return config.flat_queue ? run_on_input<FlatQueues, OperationCounter>(csr, source, seed, config, min_weight)
                                 : run_on_input<BlockQueues, OperationCounter>(csr, source, seed, config, min_weight);
    }
    if (config.transform) {
        return config.flat_queue ? run_transformed<FlatQueues, NoObserver>(csr, source, seed, config)
                                 : run_transformed<BlockQueues, NoObserver>(csr, source, seed, config);
    }
    return config.flat_queue ? run_on_input<FlatQueues, NoObserver>(csr, source, seed, config, min_weight)
                             : run_on_input<BlockQueues, NoObserver>(csr, source, seed, config, min_weight);
}

}  // namespace qh
