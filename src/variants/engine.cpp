// engine.cpp: the variant engine's recursion, its run and the mapping back.
#include "variants/engine.hpp"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdio>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cancel.hpp"
#include "dijkstra.hpp"

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
    // Chunks without an early exit inside, so that the compiler can vectorise them.
    constexpr std::uint64_t CHUNK = 4096;
    const std::uint64_t* const row = csr.indptr.data();
    for (std::uint64_t at = 1; at <= n; at += CHUNK) {
        const std::uint64_t end = std::min(at + CHUNK, n + 1);
        bool bad = false;
        for (std::uint64_t i = at; i < end; ++i) bad |= (row[i - 1] > row[i]) | (row[i] > nnz);
        if (bad) internal_stop("malformed CSR: indptr not monotone");
    }
    // Heads are u32: compared with n capped to u32 range, the test vectorises and means the same.
    const auto limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, UINT32_MAX));
    const bool all_u32_below = n > UINT32_MAX;  // then every head is below n
    const std::uint32_t* const head = csr.indices.data();
    for (std::uint64_t at = 0; !all_u32_below && at < nnz; at += CHUNK) {
        const std::uint64_t end = std::min(at + CHUNK, nnz);
        unsigned bad = 0;
        for (std::uint64_t e = at; e < end; ++e) bad |= head[e] >= limit;
        if (bad) internal_stop("malformed CSR: neighbor id out of range");
    }
}

std::pair<OwnedArray<double>, OwnedArray<std::int32_t>> recover_pred_transformed(
    std::span<const double> tdist, std::span<const std::uint32_t> tpred, const Transformed& tg, std::uint64_t source) {
    return {map_distances_back(tg, tdist), map_predecessors_back(tg, tdist, tpred, source)};
}

// --- the whole run as one search ------------------------------------------------------------

void search_whole_graph(const Csr& graph, std::uint32_t source, double min_weight, std::span<Label> labels) {
    // Every distance here is +0.0 or positive: the source's is +0.0, weights are neither
    // negative nor NaN, and +0.0 + -0.0 is +0.0. Plain comparisons of doubles therefore agree
    // with the total order.
    //
    // The search takes vertices in key order (dist, hops, vertex), but the order among
    // vertices of one distance d0 matters only when a relaxation can stay at d0 (a zero
    // weight, or one too small to change d0): every label at d0 is final once all smaller
    // distances are taken, and a label is the minimum of its candidates, whatever their order.
    // So the main heap orders (distance, vertex) entries by distance alone, like the baseline
    // Dijkstra's, and a vertex popped at a d0 that the smallest weight moves is taken at once.
    // At any other d0, every vertex whose entry at d0 is current goes into a small heap of
    // (hops << 32 | vertex) words made from the labels, which hands the vertices out in
    // (hops, vertex) order; a relaxation that stays at d0 and lowers the hops pushes a new word.
    //
    // Staleness without a set of taken vertices: the main heap gets an entry only when a
    // distance strictly improves, so a vertex has one entry per distance it ever had, and the
    // entry is current exactly when that distance is still the label's. A level word is
    // current exactly when its hops are still the label's; hops only fall while a vertex waits.
    constexpr double INF = std::numeric_limits<double>::infinity();
    std::fill(labels.begin(), labels.end(), Label{});
    labels[source] = Label{0.0, 0, LABEL_NO_PRED};

    const std::uint64_t* const row = graph.indptr.data();
    const std::uint32_t* const head = graph.indices.data();
    const double* const weight = graph.weights.data();
    Label* const lab = labels.data();
    Heap heap;  // only distance improvements push, at most one per edge: nnz + 1 entries suffice
    heap.reserve(graph.nnz() + 1);
    Vec<std::uint64_t> level;  // min-heap (by std::greater) of the words at distance d0
    const auto word = [](std::int32_t hops, std::uint32_t v) {
        return (std::uint64_t{static_cast<std::uint32_t>(hops)} << 32) | v;
    };
    const auto push_level = [&](std::uint64_t w) {
        level.push_back(w);
        std::push_heap(level.begin(), level.end(), std::greater<>{});
    };

    // Takes u, whose label is final at distance d0, and relaxes its out-edges.
    const auto take = [&](std::uint32_t u, double d0) __attribute__((always_inline)) {
        if (level.empty() && !heap.empty()) {
            // the next vertex taken is most likely the main heap's top: start loading its row
            __builtin_prefetch(row + heap.top_node());
            __builtin_prefetch(lab + heap.top_node());
        }
        const std::int32_t ch = lab[u].hops + 1;
        const std::uint64_t begin = row[u];
        const std::uint64_t end = row[u + 1];
        for (std::uint64_t e = begin; e < end; ++e) __builtin_prefetch(lab + head[e], 1);
        for (std::uint64_t e = begin; e < end; ++e) {
            const std::uint32_t v = head[e];
            const double cd = d0 + weight[e];
            Label& lv = lab[v];
            // (cd, ch, u) <= (dist, hops, pred as i32); an overflow to +inf never passes
            if (cd < lv.dist) {
                lv = Label{cd, ch, u};
                if (cd == d0)
                    push_level(word(ch, v));
                else
                    heap.push(cd, v);
                continue;
            }
            if (cd != lv.dist || cd == INF) continue;
            if (ch != lv.hops ? ch > lv.hops : static_cast<std::int32_t>(u) > static_cast<std::int32_t>(lv.pred))
                continue;
            // Same distance, better (hops, pred). Above d0 the main heap already holds v at cd,
            // and its word is made from the label when d0 reaches cd; at d0 v already has a
            // word, which fewer hops replace.
            const bool fewer_hops = ch < lv.hops;
            lv.hops = ch;
            lv.pred = u;
            if (cd == d0 && fewer_hops) push_level(word(ch, v));
        }
    };

    std::uint32_t until_poll = CANCEL_POLL_EVERY;
    bool cancelled = false;
    heap.push(0.0, source);
    while (!heap.empty()) {
        const auto [d0, first] = heap.pop();
        if (--until_poll == 0) [[unlikely]] {  // a register countdown, as in the baseline Dijkstra
            until_poll = CANCEL_POLL_EVERY;
            if (cancel_requested()) {
                cancelled = true;
                break;
            }
        }
        if (d0 != lab[first].dist) continue;
        if (d0 + min_weight != d0) {
            take(first, d0);
            continue;
        }
        push_level(word(lab[first].hops, first));
        while (!heap.empty() && heap.top_key() == d0) {
            const std::uint32_t v = heap.pop().second;
            if (lab[v].dist == d0) push_level(word(lab[v].hops, v));
        }
        // the vertices at d0 in (hops, vertex) order, with those that relaxations at d0 add
        while (!level.empty()) {
            cancel_point();
            std::pop_heap(level.begin(), level.end(), std::greater<>{});
            const std::uint64_t w = level.back();
            level.pop_back();
            const auto u = static_cast<std::uint32_t>(w);
            if (static_cast<std::int32_t>(w >> 32) == lab[u].hops) take(u, d0);
        }
    }
    if (cancelled) throw Cancelled{};  // thrown out here: no call in the loop
}

// --- the recursion -----------------------------------------------------------------------

template <class Q>
std::pair<Vec<std::uint32_t>, Vec<std::uint32_t>> Engine<Q>::find_pivots(const Key& bound,
                                                                         std::span<const std::uint32_t> s) {
    // W_set maps each vertex of W to its index in W_list.
    IdMap<std::uint32_t> w_index;
    w_index.reserve(s.size());
    Vec<std::uint32_t> w_list;
    for (const std::uint32_t x : s) {
        cancel_point();
        if (w_index.try_emplace(x, static_cast<std::uint32_t>(w_list.size())).second) w_list.push_back(x);
    }
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
            cancel_point();
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
        cancel_point();
        const std::uint32_t v = w_list[i];
        const std::uint32_t p = labels[v].pred;
        if (p == LABEL_NO_PRED) continue;
        const std::uint32_t* pi = w_index.find(p);
        if (pi == nullptr) continue;
        const Label& lv = labels[v];
        const Label& lp = labels[p];
        for (std::uint64_t e = graph.indptr[p]; e < graph.indptr[p + 1]; ++e) {
            if (graph.indices[e] != v) continue;
            // tight, hops not above p's plus one as in the recursion's rule for rounding
            if (lv.dist == graph.weights[e] + lp.dist && std::int64_t{lv.hops} <= std::int64_t{lp.hops} + 1) {
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
    if (takes_bounded_dijkstra(config, level, s.size())) return bounded_dijkstra(bound, s);
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
        cancel_point();
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
        cancel_point();
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
        cancel_point();
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
            cancel_point();
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
        cancel_point();
        if (key(x) < bp && in_u.insert(x)) {
            u.push_back(x);
            complete[x] = 1;
        }
    }
    return LevelOut{bp, std::move(u)};
}

template <class Q>
std::uint64_t Engine<Q>::finish() {
    struct Labels {
        Engine& e;
        std::uint64_t n() const noexcept { return e.labels.size(); }
        double dist(std::uint64_t v) const noexcept { return e.labels[v].dist; }
        std::int64_t hops(std::uint64_t v) const noexcept {
            return e.labels[v].hops == LABEL_NO_HOPS ? NO_PATH_HOPS : std::int64_t{e.labels[v].hops};
        }
        void set(std::uint32_t v, double d, std::int64_t h, std::uint32_t p) noexcept {
            e.labels[v] = Label{d, static_cast<std::int32_t>(h), p};
        }
        std::uint64_t degree(std::uint64_t u) const noexcept { return e.graph.indptr[u + 1] - e.graph.indptr[u]; }
        std::pair<std::uint32_t, double> edge(std::uint64_t u, std::uint64_t i) const noexcept {
            const std::uint64_t at = e.graph.indptr[u] + i;
            return {e.graph.indices[at], e.graph.weights[at]};
        }
        void settle(std::uint32_t v) noexcept { e.complete[v] = 1; }
    } view{*this};
    return finish_exact(view, failing_tails(view));
}

// --- the run ------------------------------------------------------------------------------

template <class Q>
std::variant<VariantRun, BmsspError> run(const Csr& csr, std::uint64_t source, std::uint64_t seed,
                                         const VariantConfig& config) {
    double min_weight = 0.0;
    if (const auto error = check_run_input(csr, source, &min_weight)) return *error;
    check_structure(csr);
    const std::uint64_t n = csr.n;
    VariantRun out;
    // Refuse before building anything: the engine's ids, transformed or not, must fit in i32.
    if ((config.transform ? transformed_vertex_count(csr) : n) >= ENGINE_MAX_VERTICES)
        return BmsspError::GraphTooLarge;
    // The searched graph's distances and predecessors (none = LABEL_NO_PRED), from the engine
    // or, when the outermost call is one bounded search anyway, from that search alone.
    const auto search = [&](const Csr& graph, std::uint32_t from, double smallest, std::span<double> dist,
                            std::span<std::uint32_t> pred) {
        const EngineParams p = engine_parameters(graph.n, config);
        if (takes_bounded_dijkstra(config, p.levels, 1)) {
            auto labels = OwnedArray<Label>::uninitialized(graph.n);  // the search fills them
            search_whole_graph(graph, from, smallest, {labels.data(), labels.size()});
            for (std::uint64_t v = 0; v < graph.n; ++v) {
                dist[v] = labels[v].dist;
                pred[v] = labels[v].pred;
            }
            return;
        }
        Engine<Q> engine(graph, from, p.k, p.t, seed, config);
        const std::uint32_t top[1] = {from};
        engine.bmssp(p.levels, KEY_TOP, top);
        out.counts.finish_lowered = sums_are_exact(graph.weights) ? 0 : engine.finish();
        out.counts.reoffers = engine.reoffers;
        for (std::uint64_t v = 0; v < graph.n; ++v) {
            dist[v] = engine.labels[v].dist;
            pred[v] = engine.labels[v].pred;
        }
    };
    if (config.transform) {
        const Transformed tg = transform_to_constant_degree(csr, source);
        auto tdist = OwnedArray<double>::uninitialized(tg.graph.n);
        auto tpred = OwnedArray<std::uint32_t>::uninitialized(tg.graph.n);
        search(tg.graph, tg.source, 0.0, {tdist.data(), tdist.size()}, {tpred.data(), tpred.size()});
        std::tie(out.dist, out.pred) = recover_pred_transformed({tdist.data(), tdist.size()},
                                                                {tpred.data(), tpred.size()}, tg, source);
    } else {
        out.dist = OwnedArray<double>::uninitialized(n);
        out.pred = OwnedArray<std::int32_t>::uninitialized(n);
        // LABEL_NO_PRED read as i32 is -1, the entry's "none"
        search(csr, static_cast<std::uint32_t>(source), min_weight, {out.dist.data(), n},
               {reinterpret_cast<std::uint32_t*>(out.pred.data()), n});
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
