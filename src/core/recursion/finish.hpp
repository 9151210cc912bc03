// finish.hpp: the edge check that closes every recursive BMSSP run.
//
// What it guarantees. Every label a run holds is the rounded length of a real
// path (fl(dist[u] + w) along its predecessors). Sums of doubles are monotone
// and never below their left operand, so such a label is never below the
// distance Dijkstra's algorithm computes, and a labelling in which no edge can
// lower its head (fl(dist[u] + w) >= dist[v] for every edge from a reached u)
// is never above it: along Dijkstra's tree the heads are bounded by the same
// rounded sums. So labels that pass the check are Dijkstra's distances, bit for
// bit, whatever the recursion did.
//
// What it costs. Nothing when the weights are integers small enough for every sum to be
// exact (sums_are_exact: the recursion's own argument then holds as published); else one
// pass over the rows when no edge fails, which is what the recursion's rules for rounding
// (bmssp.cpp, "Rounding") are argued to give.
// When an edge fails, a Dijkstra search from the tails of the failing edges,
// keyed like the recursion by (dist, hops, vertex) and taking only strictly
// smaller distances, lowers every label that depends on them; each vertex is
// taken at most once, and a vertex taken that was not yet complete is settled
// then (so the settlement log still lists every reached vertex once). The
// number of labels it lowered is returned, so a run that needed it is visible.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <utility>

#include "core/memory.hpp"
#include "core/queues/block_queue.hpp"

namespace qh {

// How often a run's exactness machinery acted: both are 0 on graphs whose sums are exact.
struct ExactnessCounts {
    std::uint64_t reoffers = 0;        // relaxations that offered a vertex again under the rounding rule
    std::uint64_t finish_lowered = 0;  // labels the closing edge check had to lower
};

// True when every sum a run can form is exact: every weight is an integer below 2^52 and
// all of them add up to at most 2^52, so a path's length plus one more weight stays an
// integer of at most 2^53. Then the recursion's argument holds as in exact arithmetic and
// the closing check has nothing to find. One pass; (w + 2^52) - 2^52 rounds w to an integer.
//
// The weights have passed the run's checks (finite, not negative, no NaN). The total is
// kept in four running sums, which lets the loop vectorise, and the verdict does not depend
// on the order of the additions: while the integral sums stay at most 2^52 they are exact,
// and a sum that passes 2^52 never comes back below it, since every addend is non-negative.
inline bool sums_are_exact(std::span<const double> weights) noexcept {
    constexpr double TWO_52 = 4503599627370496.0;
    const double* const w = weights.data();
    const std::size_t n = weights.size();
    const auto whole = [](double x) { return (x + TWO_52) - TWO_52 == x && x < TWO_52; };
    double total[4] = {0.0, 0.0, 0.0, 0.0};
    bool integral = true;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (std::size_t j = 0; j < 4; ++j) {
            integral &= whole(w[i + j]);
            total[j] += w[i + j];
        }
    }
    for (; i < n; ++i) {
        integral &= whole(w[i]);
        total[0] += w[i];
    }
    return integral && (total[0] + total[1]) + (total[2] + total[3]) <= TWO_52;
}

// `labels` gives a run's labels and rows:
//   n()                       the vertex count
//   dist(v), hops(v)          v's label (hops as a signed count, any value when unreached)
//   set(v, dist, hops, pred)  replaces v's label
//   degree(u), edge(u, i)     u's out-degree and its i-th edge (head, weight) in row order
//   settle(v)                 marks v complete, logging it if it was not

// Lowers every label that depends on the failing tails `seeds` (see above), to distances
// not above `limit`, and returns the number of distinct vertices whose label it lowered;
// nothing when `seeds` is empty.
template <class Labels>
std::uint64_t finish_exact(Labels& labels, const Vec<std::uint32_t>& seeds,
                           double limit = std::numeric_limits<double>::infinity()) {
    if (seeds.empty()) return 0;
    const std::uint64_t n = labels.n();
    struct Item {
        Key key;
        bool operator>(const Item& o) const noexcept { return o.key < key; }
    };
    auto key_of = [&](std::uint32_t v) { return Key{labels.dist(v), labels.hops(v), static_cast<std::int64_t>(v)}; };
    Vec<Item> heap;
    for (std::uint32_t u : seeds) heap.push_back({key_of(u)});
    std::make_heap(heap.begin(), heap.end(), std::greater<>{});
    Vec<std::uint8_t> lowered(n, 0);
    std::uint64_t count = 0;
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), std::greater<>{});
        const Item top = heap.back();
        heap.pop_back();
        const std::uint32_t u = top.key.vertex();
        if (!(key_of(u) == top.key)) continue;  // lowered since it was pushed
        labels.settle(u);
        const double du = labels.dist(u);
        const std::int64_t hu = labels.hops(u);
        const std::uint64_t degree = labels.degree(u);
        for (std::uint64_t i = 0; i < degree; ++i) {
            const auto [v, w] = labels.edge(u, i);
            const double cd = w + du;
            if (!(cd < labels.dist(v)) || !(cd <= limit)) continue;
            labels.set(v, cd, hu + 1, u);
            if (!lowered[v]) {
                lowered[v] = 1;
                ++count;
            }
            heap.push_back({key_of(v)});
            std::push_heap(heap.begin(), heap.end(), std::greater<>{});
        }
    }
    return count;
}

}  // namespace qh
