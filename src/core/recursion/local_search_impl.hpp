// local_search_impl.hpp: the definitions of local_search.hpp, for the files that
// instantiate the recursion (core.cpp, variants.cpp, counted.cpp).
#pragma once

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>

#include "core/cancel.hpp"
#include "core/dijkstra.hpp"
#include "core/recursion/local_search.hpp"
#include "core/stop.hpp"

namespace qh {

template <class Rows, class Observer>
Key LocalSearch<Rows, Observer>::base_case(Labels& st, const Key& bound, std::span<const std::uint32_t> s,
                                           Vec<std::uint32_t>& u0) {
    if (s.size() != 1) internal_stop("BaseCase requires |S| == 1");
    st.observer.base_case();
    const std::uint32_t x = s[0];
    // The open items, unordered: a base case holds a handful (at most a row's worth of pushes
    // per pop, and it stops after k + 1 vertices), so a scan for the smallest serves. Keys
    // hold the vertex, so two items with equal keys are identical and either may go first.
    Vec<OpenItem>& items = open_;
    items.clear();
    u0.clear();

    u0.push_back(x);
    st.flags[x] |= Labels::SEEN;
    items.push_back({st.key(x), x});
    auto below_bound = [&](std::uint32_t v, double cd, std::uint32_t ch)
                           __attribute__((always_inline)) { return key_below(Key::of_label(cd, ch, v), bound); };
    // The heads of a pushed vertex are read if it is popped, usually within the next few
    // steps: start loading them now, so that their misses overlap.
    st.rows.prefetch_heads(st.vertex.data(), x);
    auto push = [&](std::uint32_t v) __attribute__((always_inline)) {
        st.rows.prefetch_heads(st.vertex.data(), v);
        items.push_back({st.key(v), v});
    };
    // "fewer than k + 1" without forming k + 1, which wraps for k = 2^64 − 1.
    std::uint32_t pops = 0;  // a forced large k makes a base case a long search: poll it
    while (u0.size() <= k_ && !items.empty()) {
        if (++pops == Labels::POLL_PULLS) [[unlikely]] {
            pops = 0;
            cancel_check();
        }
        std::size_t smallest = 0;
        for (std::size_t i = 1; i < items.size(); ++i) {
            if (key_below(items[i].key, items[smallest].key)) smallest = i;
        }
        const OpenItem top = items[smallest];
        items[smallest] = items.back();
        items.pop_back();
        const std::uint32_t u = top.vertex;
        // Every change of a key in here pushes the new key, so the last key pushed for u is
        // its current one: an item is stale exactly when its key is no longer u's.
        if (!(st.key(u) == top.key)) continue;
        if (!(st.flags[u] & Labels::SEEN)) {
            st.flags[u] |= Labels::SEEN;
            u0.push_back(u);
        }
        st.relax_row(u, below_bound, push);
    }
    for (std::uint32_t v : u0) st.flags[v] &= static_cast<std::uint8_t>(~Labels::SEEN);

    Key result_bound = bound;
    if (u0.size() > k_) {
        // Drop the vertex with the largest key, which is the last one taken: every pushed key
        // is above the popped key it came from (its dist is not below, its hops one more), so
        // pops come in increasing key order and a popped vertex's key never changes again.
        result_bound = st.key(u0.back());
        u0.pop_back();
    }
    for (std::uint32_t v : u0) st.settle(v);
    return result_bound;
}

template <class Rows, class Observer>
Key LocalSearch<Rows, Observer>::bounded_search(Labels& st, const Key& bound, std::span<const std::uint32_t> s,
                                                Vec<std::uint32_t>& u) {
    // Every vertex reachable from S below B, in key order; each taken once (SEEN), stale
    // heap entries recognised by their key.
    st.observer.bounded_search();
    KeyHeap& heap = heap_;
    heap.clear();
    u.clear();
    auto push_key = [&](std::uint32_t v) {
        const auto& r = st.vertex[v];
        heap.push(r.dist, static_cast<std::int32_t>(r.hops), v);
    };
    for (const std::uint32_t x : s) push_key(x);
    auto below_bound = [&](std::uint32_t v, double cd, std::uint32_t ch)
                           __attribute__((always_inline)) { return key_below(Key::of_label(cd, ch, v), bound); };
    auto push = [&](std::uint32_t v) __attribute__((always_inline)) {
        st.rows.prefetch_heads(st.vertex.data(), v);
        push_key(v);
    };
    while (const auto top = heap.pop()) {
        cancel_point();
        const std::uint32_t v = top->vertex;
        const auto& r = st.vertex[v];
        if ((st.flags[v] & Labels::SEEN) || static_cast<std::int32_t>(r.hops) != top->hops ||
            std::bit_cast<std::uint64_t>(r.dist) != std::bit_cast<std::uint64_t>(top->dist))
            continue;
        st.flags[v] |= Labels::SEEN;
        u.push_back(v);
        st.relax_row(v, below_bound, push);
    }
    for (const std::uint32_t v : u) {
        st.flags[v] &= static_cast<std::uint8_t>(~Labels::SEEN);
        st.settle(v);
    }
    return bound;
}

// Flattened: the search is one loop, and its heap operations must not become calls.
template <class Rows, class Observer>
[[gnu::flatten]] void LocalSearch<Rows, Observer>::whole_search(Labels& st, std::uint32_t source, double min_weight) {
    using Node = typename Labels::Node;
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
    Node* const lab = st.vertex.data();
    const Rows rows = st.rows;  // a local copy: the row pointers stay in registers
    Heap heap;                  // only distance improvements push, at most one per edge (at most 3 per vertex in
                                // constant-degree rows): the row count bounds the edges
    std::uint64_t edges = 0;
    for (std::size_t u = 0; u < st.vertex.size(); ++u) edges += st.rows.degree(lab, u);
    heap.reserve(edges + 1);
    Vec<std::uint64_t> level;  // min-heap (by std::greater) of the words at distance d0
    const auto word = [](std::uint32_t hops, std::uint32_t v) { return (std::uint64_t{hops} << 32) | v; };
    const auto push_level = [&](std::uint64_t w) {
        level.push_back(w);
        std::push_heap(level.begin(), level.end(), std::greater<>{});
    };

    // Takes u, whose label is final at distance d0, and relaxes its out-edges.
    const auto take = [&](std::uint32_t u, double d0) __attribute__((always_inline)) {
        if (level.empty() && !heap.empty()) {
            // the next vertex taken is most likely the main heap's top: start loading its row
            rows.prefetch_row(lab, heap.top_node());
        }
        const std::uint32_t ch = lab[u].hops + 1;
        rows.for_each_edge(lab, u, [&](std::uint32_t v, double w) __attribute__((always_inline)) {
            st.observer.relaxed();
            const double cd = d0 + w;
            Node& lv = lab[v];
            // (cd, ch, u) <= (dist, hops, pred); none never wins; an overflow to +inf never passes
            if (cd < lv.dist) {
                lv.dist = cd;
                lv.hops = ch;
                lv.pred = u;
                if (cd == d0)
                    push_level(word(ch, v));
                else
                    heap.push(cd, v);
                return;
            }
            if (cd != lv.dist || cd == INF) return;
            if (ch != lv.hops ? ch > lv.hops : !(lv.pred != NO_VERTEX && u <= lv.pred)) return;
            // Same distance, better (hops, pred). Above d0 the main heap already holds v at cd,
            // and its word is made from the label when d0 reaches cd; at d0 v already has a
            // word, which fewer hops replace.
            const bool fewer_hops = ch < lv.hops;
            lv.hops = ch;
            lv.pred = u;
            if (cd == d0 && fewer_hops) push_level(word(ch, v));
        });
    };

    st.observer.bounded_search();
    std::uint32_t until_poll = CANCEL_POLL_EVERY;
    bool cancelled = false;
    heap.push(0.0, source);
    while (!heap.empty()) {
        // As in the baseline Dijkstra: the top is judged, and the records of its heads start
        // loading, before the pop's sift-down, so that the two overlap. The heap's operations
        // keep their order (the pop, then the pushes of the relaxations).
        const std::uint32_t first = heap.top_node();
        const double d0 = heap.top_key();
        if (--until_poll == 0) [[unlikely]] {  // a register countdown, as in the baseline Dijkstra
            until_poll = CANCEL_POLL_EVERY;
            if (cancel_requested()) {
                cancelled = true;
                break;
            }
        }
        if (d0 != lab[first].dist) {
            heap.pop();
            if (!heap.empty()) rows.prefetch_row(lab, heap.top_node());
            continue;
        }
        if (d0 + min_weight != d0) {
            rows.prefetch_heads(lab, first);
            heap.pop();
            take(first, d0);
            continue;
        }
        heap.pop();
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
            if (static_cast<std::uint32_t>(w >> 32) == lab[u].hops) {
                rows.prefetch_heads(lab, u);
                take(u, d0);
            }
        }
    }
    if (cancelled) throw Cancelled{};  // thrown out here: no call in the loop
}

}  // namespace qh
