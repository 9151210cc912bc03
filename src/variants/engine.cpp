// engine.cpp: the variant engine's recursion, its run and the mapping back.
#include "variants/engine.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace qh {

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

EngineParams engine_parameters(std::uint64_t n_searched, const VariantConfig& config) noexcept {
    const double base = log_base(n_searched);
    EngineParams p{};
    if (config.force_params) {
        p.k = config.k;
        p.t = config.t;
    } else {
        std::tie(p.k, p.t) = default_k_t(base);
    }
    // A forced t of 0 cannot reach here through the catalogue; treat it as 1 level.
    const double levels = p.t == 0 ? 1.0 : std::ceil(base / static_cast<double>(p.t));
    p.levels = static_cast<std::uint64_t>(std::max<std::int64_t>(1, static_cast<std::int64_t>(levels)));
    return p;
}

// --- checks ---------------------------------------------------------------------------

std::optional<BmsspError> check_run_input(const Csr& csr, std::uint64_t source) noexcept {
    if (source >= csr.n) return BmsspError::SourceOutOfRange;
    for (const double w : csr.weights)
        if (!(w >= 0.0) || w == std::numeric_limits<double>::infinity()) return BmsspError::InvalidWeight;
    return std::nullopt;
}

namespace {

// Stops with "<what> (left: a, right: b)"; the text lives in thread-local storage, which the
// module boundary copies before the thread does anything else.
[[noreturn]] void stop_unequal(const char* what, std::uint64_t left, std::uint64_t right) {
    thread_local char message[160];
    std::snprintf(message, sizeof message, "%s (left: %" PRIu64 ", right: %" PRIu64 ")", what, left, right);
    internal_stop(message);
}

}  // namespace

void check_structure(const Csr& csr) {
    const std::uint64_t n = csr.n;
    const std::uint64_t nnz = csr.indices.size();
    if (csr.indptr.size() != n + 1) stop_unequal("malformed CSR: indptr length", csr.indptr.size(), n + 1);
    if (csr.indptr[0] != 0) stop_unequal("malformed CSR: indptr[0] != 0", csr.indptr[0], 0);
    if (csr.indptr[n] != nnz) stop_unequal("malformed CSR: indptr[n] != nnz", csr.indptr[n], nnz);
    if (csr.weights.size() != nnz) stop_unequal("malformed CSR: weights length", csr.weights.size(), nnz);
    for (std::uint64_t i = 1; i <= n; ++i)
        if (csr.indptr[i - 1] > csr.indptr[i] || csr.indptr[i] > csr.weights.size())
            internal_stop("malformed CSR: indptr not monotone");
    for (const std::uint32_t head : csr.indices)
        if (head >= n) internal_stop("malformed CSR: neighbor id out of range");
}

std::pair<OwnedArray<double>, OwnedArray<std::int32_t>> recover_pred_transformed(std::span<const Label> labels,
                                                                                 const Transformed& tg,
                                                                                 std::uint64_t source) {
    Vec<double> tdist(labels.size());
    Vec<std::uint64_t> tpred(labels.size());
    for (std::size_t c = 0; c < labels.size(); ++c) {
        tdist[c] = labels[c].dist;
        tpred[c] = labels[c].pred == LABEL_NO_PRED ? NO_PRED : labels[c].pred;
    }
    return {map_distances_back(tg, tdist), map_predecessors_back(tg, tdist, tpred, source)};
}

// --- the recursion -----------------------------------------------------------------------

template <class Q>
std::pair<Vec<std::uint32_t>, Vec<std::uint32_t>> Engine<Q>::find_pivots(const Key& bound,
                                                                         std::span<const std::uint32_t> s) {
    // W_set maps each vertex of W to its index in W_list.
    IdMap<std::uint32_t> w_index;
    w_index.reserve(s.size());
    Vec<std::uint32_t> w_list;
    for (const std::uint32_t x : s)
        if (w_index.try_emplace(x, static_cast<std::uint32_t>(w_list.size())).second) w_list.push_back(x);
    const u128 too_many = u128{k} * s.size();  // |W| above this returns P = S
    const auto early_exit = [&] {
        return std::pair{Vec<std::uint32_t>(s.begin(), s.end()), std::move(w_list)};
    };

    Vec<std::uint32_t> frontier(w_list.begin(), w_list.end());
    Vec<std::uint32_t> next;
    IdSet layer_set;
    std::uint64_t r = 0;
    for (std::uint64_t i = 1;; ++i) {
        r = i;
        if (frontier.empty()) {
            if (w_index.size() > too_many) return early_exit();
            break;
        }
        next.clear();
        layer_set.clear();
        for (const std::uint32_t u : frontier) {
            if (labels[u].hops == LABEL_NO_HOPS) continue;
            for (std::uint64_t e = graph.indptr[u]; e < graph.indptr[u + 1]; ++e) {
                const std::uint32_t v = graph.indices[e];
                double cd;
                std::int32_t ch;
                if (!relax_passes(u, v, graph.weights[e], cd, ch)) continue;
                labels[v] = Label{cd, ch, u};
                if (Key{cd, ch, std::int64_t{v}} < bound && layer_set.insert(v)) next.push_back(v);
            }
        }
        for (const std::uint32_t v : next)
            if (w_index.try_emplace(v, static_cast<std::uint32_t>(w_list.size())).second) w_list.push_back(v);
        if (w_index.size() > too_many) return early_exit();
        if (config.lazy_pivots && i >= 2 && i < k && next.size() >= frontier.size()) break;
        if (i >= k) break;
        std::swap(frontier, next);
    }

    // Forest of tight predecessor edges inside W, as first-child / next-sibling lists.
    constexpr std::uint32_t NONE = LABEL_NO_PRED;
    const std::size_t w = w_list.size();
    Vec<std::uint32_t> first_child(w, NONE);
    Vec<std::uint32_t> next_sibling(w, NONE);
    Vec<std::uint8_t> non_root(w, 0);
    for (std::size_t i = 0; i < w; ++i) {
        const std::uint32_t v = w_list[i];
        const std::uint32_t p = labels[v].pred;
        if (p == LABEL_NO_PRED) continue;
        const std::uint32_t* pi = w_index.find(p);
        if (pi == nullptr) continue;
        const Label& lv = labels[v];
        const Label& lp = labels[p];
        for (std::uint64_t e = graph.indptr[p]; e < graph.indptr[p + 1]; ++e) {
            if (graph.indices[e] != v) continue;
            if (lv.dist == graph.weights[e] + lp.dist && std::int64_t{lv.hops} == std::int64_t{lp.hops} + 1) {
                next_sibling[i] = first_child[*pi];
                first_child[*pi] = static_cast<std::uint32_t>(i);
                non_root[i] = 1;
                break;
            }
        }
    }

    Vec<std::uint32_t> pivots;
    Vec<std::uint32_t> stack;
    for (const std::uint32_t x : s) {
        const std::uint32_t xi = *w_index.find(x);
        if (non_root[xi]) continue;
        std::uint64_t count = 0;
        stack.clear();
        stack.push_back(xi);
        while (!stack.empty() && count < r) {
            const std::uint32_t i = stack.back();
            stack.pop_back();
            ++count;
            for (std::uint32_t c = first_child[i]; c != NONE; c = next_sibling[c]) stack.push_back(c);
        }
        if (count >= r) pivots.push_back(x);
    }
    return {std::move(pivots), std::move(w_list)};
}

template <class Q>
LevelOut Engine<Q>::bmssp(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s) {
    if (static_cast<std::int64_t>(config.dijkstra_max_level) >= static_cast<std::int64_t>(level) ||
        s.size() <= config.dijkstra_max_frontier)
        return bounded_dijkstra(bound, s);
    if (level == 0) return base_case(bound, s[0]);
    return recursive_level(level, bound, s);
}

template <class Q>
LevelOut Engine<Q>::bounded_dijkstra(const Key& bound, std::span<const std::uint32_t> s) {
    KeyHeap heap = scratch.take();
    next_epoch();
    for (const std::uint32_t x : s) heap.push(labels[x].dist, labels[x].hops, x);
    Vec<std::uint32_t> settled;
    while (const auto top = heap.pop()) {
        if (!current(*top)) continue;
        if (!heap.empty()) {
            // the new top is most likely the next vertex taken: start loading what it needs
            const std::uint32_t next = heap.top_vertex();
            __builtin_prefetch(graph.indptr.data() + next);
            __builtin_prefetch(stamp.data() + next);
            __builtin_prefetch(labels.data() + next);
        }
        stamp[top->vertex] = epoch;
        settled.push_back(top->vertex);
        relax_bounded(top->vertex, bound, heap);
    }
    for (const std::uint32_t v : settled) complete[v] = 1;
    scratch.give_back(std::move(heap));
    return LevelOut{bound, std::move(settled)};
}

template <class Q>
LevelOut Engine<Q>::base_case(const Key& bound, std::uint32_t x) {
    KeyHeap heap = scratch.take();
    next_epoch();
    heap.push(labels[x].dist, labels[x].hops, x);
    Vec<std::uint32_t> u0;
    // "fewer than k + 1" without forming k + 1, which wraps for k = 2^64 − 1.
    while (u0.size() <= k) {
        const auto top = heap.pop();
        if (!top) break;
        if (!current(*top)) continue;
        stamp[top->vertex] = epoch;
        u0.push_back(top->vertex);
        relax_bounded(top->vertex, bound, heap);
    }
    LevelOut out{bound, {}};
    if (u0.size() <= k) {
        out.vertices = std::move(u0);
    } else {
        Key largest = key(u0[0]);
        for (const std::uint32_t v : u0)
            if (largest < key(v)) largest = key(v);
        out.bound = largest;
        for (const std::uint32_t v : u0)
            if (key(v) < largest) out.vertices.push_back(v);
    }
    for (const std::uint32_t v : out.vertices) complete[v] = 1;
    scratch.give_back(std::move(heap));
    return out;
}

template <class Q>
LevelOut Engine<Q>::recursive_level(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s) {
    auto [pivots, w_list] = find_pivots(bound, s);
    Q d(block_size(t, level, graph.n), bound);
    Key last = bound;  // B'_0, then the latest B'_i
    for (const std::uint32_t x : pivots) {
        const Key kx = key(x);
        d.insert(x, kx, rng);
        if (kx < last) last = kx;
    }
    const std::uint64_t s_exp = sat_mul(level, t);
    const u128 limit = size_limit(k, s_exp);

    Vec<std::uint32_t> u;
    IdSet in_u;
    Vec<std::uint32_t> pulled;
    Vec<std::uint32_t> fresh;
    Vec<Entry> prepend;
    while ((s_exp >= 100 || u128{u.size()} < limit) && !d.is_empty()) {
        const Key bi = d.pull(rng, pulled);
        fresh.clear();
        for (const std::uint32_t v : pulled)
            if (!complete[v]) fresh.push_back(v);
        if (fresh.empty()) {
            last = bi;
            continue;
        }
        LevelOut child = bmssp(level - 1, bi, fresh);
        const Key& bpi = child.bound;
        for (const std::uint32_t v : child.vertices)
            if (in_u.insert(v)) u.push_back(v);
        prepend.clear();
        for (const std::uint32_t x : child.vertices) {
            if (labels[x].hops == LABEL_NO_HOPS) continue;
            for (std::uint64_t e = graph.indptr[x]; e < graph.indptr[x + 1]; ++e) {
                const std::uint32_t v = graph.indices[e];
                double cd;
                std::int32_t ch;
                if (!relax_passes(x, v, graph.weights[e], cd, ch)) continue;
                labels[v] = Label{cd, ch, x};
                const Key kv{cd, ch, std::int64_t{v}};
                if (bi <= kv && kv < bound)
                    d.insert(v, kv, rng);
                else if (bpi <= kv && kv < bi)
                    prepend.push_back(Entry{v, kv});
            }
        }
        for (const std::uint32_t x : fresh) {
            const Key kx = key(x);
            if (bpi <= kx && kx < bi) prepend.push_back(Entry{x, kx});
        }
        if (!prepend.empty()) d.batch_prepend(prepend, rng);
        last = bpi;
    }
    const Key bp = last < bound ? last : bound;
    for (const std::uint32_t x : w_list) {
        if (key(x) < bp && in_u.insert(x)) {
            u.push_back(x);
            complete[x] = 1;
        }
    }
    return LevelOut{bp, std::move(u)};
}

// --- the run ------------------------------------------------------------------------------

template <class Q>
std::variant<VariantRun, BmsspError> run(const Csr& csr, std::uint64_t source, std::uint64_t seed,
                                         const VariantConfig& config) {
    if (const auto error = check_run_input(csr, source)) return *error;
    check_structure(csr);
    const std::uint64_t n = csr.n;
    VariantRun out;
    // Refuse before building anything: the engine's ids, transformed or not, must fit in i32.
    if ((config.transform ? transformed_vertex_count(csr) : n) >= ENGINE_MAX_VERTICES)
        return BmsspError::GraphTooLarge;
    if (config.transform) {
        const Transformed tg = transform_to_constant_degree(csr, source);
        const EngineParams p = engine_parameters(tg.graph.n, config);
        Engine<Q> engine(tg.graph, tg.source, p.k, p.t, seed, config);
        const std::uint32_t top[1] = {tg.source};
        engine.bmssp(p.levels, KEY_TOP, top);
        std::tie(out.dist, out.pred) = recover_pred_transformed(engine.labels, tg, source);
    } else {
        const EngineParams p = engine_parameters(n, config);
        Engine<Q> engine(csr, source, p.k, p.t, seed, config);
        const std::uint32_t top[1] = {static_cast<std::uint32_t>(source)};
        engine.bmssp(p.levels, KEY_TOP, top);
        out.dist = OwnedArray<double>::uninitialized(n);
        out.pred = OwnedArray<std::int32_t>::uninitialized(n);
        for (std::uint64_t v = 0; v < n; ++v) {
            out.dist[v] = engine.labels[v].dist;
            out.pred[v] = static_cast<std::int32_t>(engine.labels[v].pred);
        }
    }
    return out;
}

template class Engine<BlockDs>;
template class Engine<FlatHeap>;
template std::variant<VariantRun, BmsspError> run<BlockDs>(const Csr&, std::uint64_t, std::uint64_t,
                                                           const VariantConfig&);
template std::variant<VariantRun, BmsspError> run<FlatHeap>(const Csr&, std::uint64_t, std::uint64_t,
                                                            const VariantConfig&);

}  // namespace qh
