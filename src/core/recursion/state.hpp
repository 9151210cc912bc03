// state.hpp: the working record of one run of the recursion and its relaxation test.
//
// `State<Rows, Observer>` holds what every part of the recursion reads and writes: the
// vertex records (tentative paths, and the rows on the constant-degree form), one flags
// byte per vertex, the settlement log and the run's observer. FindPivots
// (find_pivots.hpp), the local searches (local_search.hpp) and the level loop
// (recursion.hpp) each keep their own scratch and work on one State.
//
// Hop counts and predecessors are stored in 32 bits: a hop count is the length of a
// simple path (hops strictly grow along predecessors), so it stays below n < 2^32, and
// UNREACHED / NO_VERTEX stand for 2^62 and "none". The tie rule "u <= pred[v] as signed
// 64-bit, none never wins" reads pred != NO_VERTEX && u <= pred.
//
// Flags. Sets of the recursion are bits of the flags byte, each owned by one part:
// COMPLETE (settled; set once, by settle), IN_LAYER (FindPivots' current layer), SEEN
// (taken by the current base case or bounded search) and IN_U << (l - 1) (in the U of the
// running call at level l, for l <= FLAG_LEVELS). Every part clears the bits it set
// before it returns, walking the list it marked.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "core/cancel.hpp"
#include "core/ids.hpp"
#include "core/memory.hpp"
#include "core/queues/queue_key.hpp"
#include "core/recursion/observer.hpp"
#include "core/recursion/rows.hpp"

namespace qh {

// One entry of the settlement-order log.
struct SettleRecord {
    std::uint32_t vertex;  // searched-graph vertex id
    double dhat;           // its distance when it became complete
};

template <class Rows, class Observer = NoObserver>
class State {
public:
    using Node = typename Rows::Node;

    // Bits of `flags` (see above).
    static constexpr std::uint8_t COMPLETE = 1;
    static constexpr std::uint8_t IN_LAYER = 2;
    static constexpr std::uint8_t SEEN = 4;
    static constexpr std::uint8_t IN_U = 8;
    static constexpr std::uint64_t FLAG_LEVELS = 5;  // levels whose U has a flag bit
    // A list of more than n / LARGE_LIST_DIVISOR marked vertices is unmarked by sweeping
    // the whole per-vertex array, which streams, instead of one cache miss per vertex.
    static constexpr std::size_t LARGE_LIST_DIVISOR = 16;
    // How many entries ahead loops that do almost nothing per vertex prefetch.
    static constexpr std::size_t SCAN_AHEAD = 32;
    // Vertices of a long list between two polls of the cancel flag.
    static constexpr std::size_t POLL_STRIDE = 4096;
    // Pulls of a level-1 call, or pops of a base case, between two polls of the cancel flag.
    static constexpr std::uint32_t POLL_PULLS = 256;

    // Fresh state on vertex records (rows included, for constant-degree rows) that are all
    // unreached; `source` becomes reached at distance +0.0 and 0 hops.
    State(Vec<Node>&& vertices, Rows rows, std::uint32_t source)
        : vertex(std::move(vertices)), rows(rows), flags(vertex.size(), 0) {
        vertex[source].dist = 0.0;
        vertex[source].hops = 0;
    }

    Vec<Node> vertex;                         // per-vertex tentative path (and row)
    Vec<SettleRecord> settle_log;             // vertices in the order they became complete, if keep_log
    bool keep_log = true;                     // false: settle() only marks, the log stays empty
    std::uint64_t reoffers = 0;               // relaxations that offered an unchanged label again (rounding)
    [[no_unique_address]] Observer observer;  // sees the run's operations
    Rows rows;                                // where the rows live
    Vec<std::uint8_t> flags;                  // the bits above, one byte per vertex

    // key(v) = (dist[v], hops[v], v).
    [[gnu::always_inline]] Key key(std::uint32_t v) const noexcept {
        const Node& s = vertex[v];
        return Key::of_label(s.dist, s.hops, v);
    }

    // f(head, weight) for every edge of u, in row order.
    template <class F>
    [[gnu::always_inline]] void for_each_edge(std::uint32_t u, F&& f) const {
        rows.for_each_edge(vertex.data(), u, f);
    }

    // Relaxes every edge of u's row in row order: `accept(v, cd, ch)` decides, for an edge
    // passing the relaxation test, whether to apply it; `applied(v)` runs after an update.
    template <class Accept, class Applied>
    [[gnu::always_inline]] void relax_row(std::uint32_t u, Accept& accept, Applied& applied) {
        for_each_edge(
            u, [&](std::uint32_t v, double w) __attribute__((always_inline)) { relax_edge(u, v, w, accept, applied); });
    }

    // relax_row for every vertex of `list` in order, polling the cancel flag once per
    // POLL_STRIDE vertices. Rows and the states of their heads are prefetched a few
    // vertices ahead: on large graphs nearly every access misses cache. `visit(u)` runs just
    // before u's row is relaxed (its flags byte is prefetched too).
    template <class Visit, class Accept, class Applied>
    void relax_list(std::span<const std::uint32_t> list, Visit&& visit, Accept&& accept, Applied&& applied) {
        constexpr std::size_t ROW_AHEAD = 32;
        constexpr std::size_t HEAD_AHEAD = 16;
        const std::size_t len = list.size();
        for (std::size_t start = 0; start < len; start += POLL_STRIDE) {
            if (start != 0) cancel_check();
            const std::size_t stop = std::min(len, start + POLL_STRIDE);
            for (std::size_t i = start; i < stop; ++i) {
                if (i + ROW_AHEAD < len) {
                    rows.prefetch_row(vertex.data(), list[i + ROW_AHEAD]);
                    __builtin_prefetch(&flags[list[i + ROW_AHEAD]]);
                }
                if (i + HEAD_AHEAD < len) rows.prefetch_heads(vertex.data(), list[i + HEAD_AHEAD]);
                visit(list[i]);
                relax_row(list[i], accept, applied);
            }
        }
    }

    // The relaxation test: passes when (w + dist[u], hops[u] + 1) is below (dist[v], hops[v]),
    // or equal with u <= pred[v]. A candidate distance that overflows to +inf never passes.
    //
    // Rounding. When dist[u] falls, exact sums would lower every label derived from it, and
    // re-relaxing u -> v would pass and offer v to the phase running (a FindPivots layer, a
    // base case, a level's routing). Rounded, v may keep its distance with fewer hops than
    // the new path through u gives, and the test would refuse: v, whose distance is already
    // right, would never be offered again and the vertices behind it would be lost. So a
    // relaxation along v's own predecessor edge that reproduces dist[v] offers v again under
    // its unchanged key. Labels still only fall, so every queue and base-case invariant holds
    // as before, and predecessors stay a tree (a vertex's key is above its predecessor's).
    template <class Accept, class Applied>
    [[gnu::always_inline]] void relax_edge(std::uint32_t u, std::uint32_t v, double w, Accept& accept,
                                           Applied& applied) {
        observer.relaxed();
        const Node& su = vertex[u];
        const double cd = w + su.dist;
        if (!(cd < std::numeric_limits<double>::infinity())) return;
        const std::uint32_t ch = su.hops + 1;
        Node& sv = vertex[v];
        // Distances are never -0.0 or NaN here (+0.0 source, non-negative weights), so the
        // plain comparison is the totalOrder one.
        bool pass;
        if (cd != sv.dist) {
            pass = cd < sv.dist;
        } else if (ch != sv.hops) {
            pass = ch < sv.hops;
            if (!pass && sv.pred == u) {
                // v's label came from an earlier, larger dist of u that rounds to the same
                // sum: offer v again under its own, unchanged key ("Rounding" above).
                ++reoffers;
                if (accept(v, sv.dist, sv.hops)) applied(v);
                return;
            }
        } else {
            pass = sv.pred != NO_VERTEX && u <= sv.pred;
        }
        if (!pass || !accept(v, cd, ch)) return;
        sv.dist = cd;
        sv.hops = ch;
        sv.pred = u;
        applied(v);
    }

    // Marks v complete, logging it (with its distance now) the first time.
    [[gnu::always_inline]] void settle(std::uint32_t v) {
        if (flags[v] & COMPLETE) return;
        flags[v] |= COMPLETE;
        if (keep_log) settle_log.push_back({v, vertex[v].dist});
    }
};

}  // namespace qh
