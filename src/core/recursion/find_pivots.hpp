// find_pivots.hpp: FindPivots, the step that shrinks a call's frontier to its pivots.
//
// FindPivots(B, S) relaxes k layers of edges out of S, keeping only vertices below B, and
// collects every vertex it reaches in W (S included). If W outgrows k·|S| it gives up and
// every source is a pivot. Otherwise it builds the forest of tight predecessor edges inside
// W and makes a pivot of every source whose tree holds at least k vertices: only those
// roots lead to enough work to be worth a recursive call; the rest of W is completed by the
// calls of the pivots or by the caller's final sweep (Duan, Mao, Mao, Shu and Yin, "Breaking
// the Sorting Barrier for Directed Single-Source Shortest Paths", 2025, Algorithm 1).
//
// The lazy rule (`lazy_pivots`) stops the layers early when a layer from the second on
// fails to shrink the frontier, and then a root becomes a pivot when its tree has as many
// vertices as layers were begun.
//
// Rounding. A predecessor edge p -> v whose sum still gives dist[v] after p's distance
// fell counts as tight when v's hops are not above p's plus one (exact sums would have
// lowered v with p). Keeping such a v in its root's tree can only make pivots of more
// roots, which is always safe; cutting it loose would leave the vertices behind it to no
// pivot.
//
// Scratch: W's membership is a dense position array (w_index, NO_VERTEX outside W), reset
// before returning by walking W (or one sweep when W is large); the layers and the forest
// live in lists indexed by position in W, reused by every call of the run.
#pragma once

#include <cstdint>
#include <span>

#include "core/memory.hpp"
#include "core/queues/queue_key.hpp"
#include "core/recursion/state.hpp"

namespace qh {

template <class Rows, class Observer = NoObserver>
class FindPivots {
public:
    using Labels = State<Rows, Observer>;

    // For a run of n searched vertices with depth `k` and the lazy rule when `lazy_pivots`.
    FindPivots(std::size_t n, std::uint64_t k, bool lazy_pivots) : k_(k), lazy_(lazy_pivots), w_index_(n, NO_VERTEX) {}

    // FindPivots(B, S) on `st`: pivots P and near set W (S first, in order, without repeats).
    // S must not be empty; every label it lowers stays lowered.
    void run(Labels& st, const Key& bound, std::span<const std::uint32_t> s, Vec<std::uint32_t>& pivots,
             Vec<std::uint32_t>& w);

private:
    // Whether the tight edge p -> v holds v's label ("Rounding" above).
    bool tight(const Labels& st, std::uint32_t p, std::uint32_t v) const;

    std::uint64_t k_;
    bool lazy_;
    Vec<std::uint32_t> w_index_;  // position in the running call's W, NO_VERTEX outside it
    // Indexed by position in W.
    Vec<std::uint32_t> frontier_;
    Vec<std::uint32_t> next_;
    Vec<std::uint32_t> first_child_;
    Vec<std::uint32_t> next_sibling_;
    Vec<std::uint8_t> non_root_;
    Vec<std::uint32_t> stack_;
};

}  // namespace qh
