// recursion_impl.hpp: the definitions of recursion.hpp (the level loop), with those of its
// parts, for the files that instantiate the recursion (core.cpp, variants.cpp, counted.cpp).
#pragma once

#include <algorithm>
#include <type_traits>
#include <utility>

#include "core/cancel.hpp"
#include "core/parameters.hpp"
#include "core/recursion/find_pivots_impl.hpp"
#include "core/recursion/finish.hpp"
#include "core/recursion/local_search_impl.hpp"
#include "core/recursion/recursion.hpp"
#include "core/stop.hpp"

namespace qh {

template <class Rows, class Queues, class Observer>
Recursion<Rows, Queues, Observer>::Recursion(Vec<Node>&& vertices, Rows rows, std::uint32_t source,
                                             const RunConfig& config, const RunParams& params, std::uint64_t seed)
    : state(std::move(vertices), rows, source),
      hybrid_(config.hybrid),
      k_(params.k),
      t_(params.t),
      seed_(seed),
      pivots_(state.vertex.size(), params.k, config.lazy_pivots),
      local_(params.k) {}

template <class Rows, class Queues, class Observer>
Key Recursion<Rows, Queues, Observer>::run(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s) {
    if (scratch_.size() < level + 1) scratch_.resize(level + 1);
    if (level > Labels::FLAG_LEVELS && wide_u_.size() < level + 1) wide_u_.resize(level + 1);
    if constexpr (Observer::TRACES_CALLS) state.observer.call_begun(level, bound, s.size(), state.settle_log.size());
    const Key bp = run_level(level, bound, s);
    if constexpr (Observer::TRACES_CALLS)
        state.observer.call_ended(bp, scratch_[level].u.size(), state.settle_log.size());
    return bp;
}

template <class Rows, class Queues, class Observer>
void Recursion<Rows, Queues, Observer>::whole_search(std::uint32_t source, double min_weight) {
    local_.whole_search(state, source, min_weight);
}

template <class Rows, class Queues, class Observer>
std::uint64_t Recursion<Rows, Queues, Observer>::finish(double limit) {
    struct View {  // the labels as finish_exact reads them
        Labels& s;
        std::uint64_t n() const noexcept { return s.vertex.size(); }
        double dist(std::uint64_t v) const noexcept { return s.vertex[v].dist; }
        std::int64_t hops(std::uint64_t v) const noexcept {
            return s.vertex[v].hops == UNREACHED ? NO_PATH_HOPS : std::int64_t{s.vertex[v].hops};
        }
        void set(std::uint32_t v, double d, std::int64_t h, std::uint32_t p) noexcept {
            Node& r = s.vertex[v];
            r.dist = d;
            r.hops = static_cast<std::uint32_t>(h);
            r.pred = p;
        }
        std::uint64_t degree(std::uint64_t u) const noexcept { return s.rows.degree(s.vertex.data(), u); }
        std::pair<std::uint32_t, double> edge(std::uint64_t u, std::uint64_t i) const noexcept {
            return s.rows.edge(s.vertex.data(), u, i);
        }
        void settle(std::uint32_t v) { s.settle(v); }
    } view{state};
    // The scan of every edge is the whole cost of a run that needs no finishing: one pass
    // over the records, reading each head's distance.
    constexpr std::size_t SCAN_AHEAD = Labels::SCAN_AHEAD;
    Vec<std::uint32_t> seeds;
    const std::size_t np = state.vertex.size();
    for (std::size_t u = 0; u < np; ++u) {
        if (u + SCAN_AHEAD < np)
            state.rows.prefetch_heads(state.vertex.data(), static_cast<std::uint32_t>(u + SCAN_AHEAD));
        const double du = state.vertex[u].dist;
        if (!(du < std::numeric_limits<double>::infinity())) continue;
        bool fails = false;
        state.for_each_edge(static_cast<std::uint32_t>(u),
                            [&](std::uint32_t v, double w) __attribute__((always_inline)) {
                                fails |= w + du < state.vertex[v].dist && w + du <= limit;
                            });
        if (fails) seeds.push_back(static_cast<std::uint32_t>(u));
    }
    return finish_exact(view, seeds, limit);
}

template <class Rows, class Queues, class Observer>
Key Recursion<Rows, Queues, Observer>::run_level(std::uint64_t level, const Key& bound,
                                                 std::span<const std::uint32_t> s) {
    if (hybrid_.takes(level, s.size())) return local_.bounded_search(state, bound, s, scratch_[level].u);
    if (level == 0) return local_.base_case(state, bound, s, scratch_[0].u);
    LevelScratch& sc = scratch_[level];
    pivots_.run(state, bound, s, sc.pivots, sc.w);
    if constexpr (Observer::TRACES_CALLS) state.observer.pivots_found(sc.pivots.size(), sc.w.size());
    const std::uint64_t m = block_size(t_, level, state.vertex.size());
    return sc.queues.with_queue(m, bound, [&](auto& d) { return run_level_on(level, bound, d); });
}

template <class Rows, class Queues, class Observer>
template <class Queue>
Key Recursion<Rows, Queues, Observer>::run_level_on(std::uint64_t level, const Key& bound, Queue& d) {
    constexpr std::size_t SCAN_AHEAD = Labels::SCAN_AHEAD;
    LevelScratch& sc = scratch_[level];
    Vec<std::uint8_t>& flags = state.flags;
    // U membership: a flag bit at the levels that have one, else a hash set.
    const std::uint8_t in_u = level <= Labels::FLAG_LEVELS ? static_cast<std::uint8_t>(Labels::IN_U << (level - 1)) : 0;
    IdSet* wide = in_u == 0 ? &wide_u_[level] : nullptr;
    auto add_to_u = [&](std::uint32_t x) {
        if (in_u != 0) {
            if (flags[x] & in_u) return false;
            flags[x] |= in_u;
            return true;
        }
        return wide->insert(x);
    };
    // Inserting changes no key, so B' starts at the smallest pivot key, taken in the same pass.
    Key last_bp = bound;
    const std::size_t pn = sc.pivots.size();
    sc.k_list.clear();  // free until the loop below
    for (std::size_t i = 0; i < pn; ++i) {
        if (i + SCAN_AHEAD < pn) __builtin_prefetch(&state.vertex[sc.pivots[i + SCAN_AHEAD]]);
        const std::uint32_t x = sc.pivots[i];
        const Key kx = state.key(x);
        sc.k_list.push_back({x, kx});
        if (i == 0 || key_below(kx, last_bp)) last_bp = kx;
    }
    d.fill(sc.k_list, seed_);

    const std::uint64_t size_shift = sat_mul(level, t_);
    const bool unlimited = size_shift >= 100;
    const u128 limit = size_limit(k_, size_shift);

    Vec<std::uint32_t>& u = sc.u;
    u.clear();
    const Vec<std::uint32_t>& child_u = scratch_[level - 1].u;
    auto accept_all = [](std::uint32_t, double, std::uint32_t) { return true; };
    // Polls: once per pull above level 1. A level-1 call pulls one vertex at a time, each
    // solved by one small base case, and usually ends within a few pulls, so it polls once
    // per POLL_PULLS pulls and otherwise runs between two polls of its parent.
    std::uint32_t pulls = 0;
    while ((unlimited || static_cast<u128>(u.size()) < limit) && !d.is_empty()) {
        if (level >= 2) {
            cancel_point();
        } else if (++pulls == Labels::POLL_PULLS) [[unlikely]] {
            pulls = 0;
            cancel_check();
        }
        const Key bi = d.pull(seed_, sc.pulled);
        if (sc.pulled.empty()) internal_stop("Pull returned an empty set while D was non-empty");
        state.observer.pulled(sc.pulled.size());
        sc.fresh.clear();
        const std::size_t pulled_n = sc.pulled.size();
        for (std::size_t i = 0; i < pulled_n; ++i) {
            if (i + SCAN_AHEAD < pulled_n) __builtin_prefetch(&flags[sc.pulled[i + SCAN_AHEAD]]);
            const std::uint32_t v = sc.pulled[i];
            if (!(flags[v] & Labels::COMPLETE)) sc.fresh.push_back(v);
        }
        // A level pulling one vertex at a time usually pulls next the one whose key came
        // back (the smallest key left, below B while the queue holds any): start loading its
        // record and flags now, and the records of its heads once the child call is done, so
        // that the next base case starts from the cache.
        std::uint32_t next = NO_VERTEX;
        if constexpr (std::is_same_v<Queue, UnitQueue>) {
            if (key_below(bi, bound)) {
                next = bi.vertex();
                __builtin_prefetch(&state.vertex[next]);
                __builtin_prefetch(&flags[next]);  // read when it is pulled, to see if it is complete
            }
        }
        if (sc.fresh.empty()) {
            last_bp = bi;
            continue;
        }
        if constexpr (Observer::TRACES_CALLS)
            state.observer.call_begun(level - 1, bi, sc.fresh.size(), state.settle_log.size());
        const Key child_bp = run_level(level - 1, bi, sc.fresh);
        if constexpr (Observer::TRACES_CALLS)
            state.observer.call_ended(child_bp, child_u.size(), state.settle_log.size());
        if (next != NO_VERTEX) state.rows.prefetch_heads(state.vertex.data(), next);
        // U gains the child's vertices in order; relaxing their edges does not depend on U,
        // so both happen in one pass over U_i.
        auto join_u = [&](std::uint32_t x) {
            if (add_to_u(x)) u.push_back(x);
        };
        sc.k_list.clear();
        if constexpr (Observer::TRACES_CALLS) state.observer.routing();
        // Inserts wait until the pass is over, in order: routing never reads D, and the queue
        // then loads the records of the inserted vertices ahead.
        sc.inserts.clear();
        auto route = [&](std::uint32_t v) {
            const Key kv = state.key(v);
            if (!key_below(kv, bi) && key_below(kv, bound)) {
                state.observer.inserted();
                sc.inserts.push_back({v, kv});
            } else if (!key_below(kv, child_bp) && key_below(kv, bi)) {
                sc.k_list.push_back({v, kv});
            }
        };
        state.relax_list(child_u, join_u, accept_all, route);
        d.fill(sc.inserts, seed_);
        const std::size_t fn = sc.fresh.size();
        for (std::size_t i = 0; i < fn; ++i) {
            // After a large child call the pulled vertices have left the cache.
            if (i + SCAN_AHEAD < fn) __builtin_prefetch(&state.vertex[sc.fresh[i + SCAN_AHEAD]]);
            const std::uint32_t x = sc.fresh[i];
            const Key kx = state.key(x);
            if (!key_below(kx, child_bp) && key_below(kx, bi)) sc.k_list.push_back({x, kx});
        }
        if (!sc.k_list.empty()) {
            state.observer.batch_prepended();
            d.batch_prepend(sc.k_list, seed_);
        }
        last_bp = child_bp;
    }

    if constexpr (Observer::TRACES_CALLS) state.observer.loop_ended(u.size());
    const Key bp = key_below(last_bp, bound) ? last_bp : bound;
    if (key_below(bound, bp)) internal_stop("assertion failed: bp <= b");
    const std::size_t wn = sc.w.size();
    for (std::size_t start = 0; start < wn; start += Labels::POLL_STRIDE) {
        cancel_check();
        const std::size_t stop = std::min(wn, start + Labels::POLL_STRIDE);
        for (std::size_t i = start; i < stop; ++i) {
            if (i + SCAN_AHEAD < wn) {
                __builtin_prefetch(&flags[sc.w[i + SCAN_AHEAD]]);
                __builtin_prefetch(&state.vertex[sc.w[i + SCAN_AHEAD]]);
            }
            const std::uint32_t x = sc.w[i];
            if (!(flags[x] & in_u) && key_below(state.key(x), bp) && add_to_u(x)) {
                u.push_back(x);
                state.settle(x);
            }
        }
    }
    if (in_u == 0) {
        wide->clear();
    } else if (u.size() > flags.size() / Labels::LARGE_LIST_DIVISOR) {
        for (std::uint8_t& f : flags) f &= static_cast<std::uint8_t>(~in_u);
    } else {
        const std::size_t un = u.size();
        for (std::size_t i = 0; i < un; ++i) {
            if (i + SCAN_AHEAD < un) __builtin_prefetch(&flags[u[i + SCAN_AHEAD]], 1);
            flags[u[i]] &= static_cast<std::uint8_t>(~in_u);
        }
    }
    return bp;
}

}  // namespace qh
