// recursion.hpp: the bounded multi-source recursion, one implementation for every run.
//
// What it computes. For a graph with non-negative finite weights and a
// source s, the distance of every vertex from s and a shortest-path tree,
// by the BMSSP recursion of Duan, Mao, Mao, Shu and Yin ("Breaking the
// Sorting Barrier for Directed Single-Source Shortest Paths", 2025): FindPivots
// shrinks a frontier to the roots of large shortest-path subtrees, a frontier
// queue hands out batches of the smallest keys, each batch is solved one level
// down, and level 0 is a Dijkstra search cut off after k+1 vertices. The run
// also records the order in which vertices became complete (the settlement log).
//
// The parts, each in its own file with its own scratch: the run's labels and the
// relaxation test (state.hpp), FindPivots (find_pivots.hpp), the base case and the
// bounded and whole searches (local_search.hpp), and here the level loop that joins
// them. Declarations are apart from definitions: the *_impl.hpp files are included only
// by the files that instantiate the recursion.
//
// One recursion, several configurations. `Recursion<Rows, Queues, Observer>` is that
// recursion over
//   - Rows: `ConstantDegreeRows` or `CsrRows` (rows.hpp);
//   - Queues: `BlockQueues` or `FlatQueues` (level_queues.hpp);
//   - Observer: `NoObserver` for timed runs, `OperationCounter` for counted ones
//     (observer.hpp), `CallTracer` for traced ones (call_trace.hpp);
// and, at run time, over k and t, the pivot rule (`lazy_pivots`, find_pivots.hpp) and the
// hybrid switch (a call whose level or source count is small enough is answered by one
// bounded multi-source Dijkstra search instead). The core run is the default:
// constant-degree rows, block queues, the standard rule, no switch.
//
// Ties. Keys are (dist, hops, vertex) under IEEE 754 totalOrder, so no two
// vertices tie. A relaxation passes when (candidate dist, candidate hops) is
// smaller than the held pair, or equal with a tail id not above the held
// predecessor; re-relaxing the edge that set a vertex passes again, which is
// how FindPivots re-enters a vertex into a later layer. Randomness comes only
// from the seeded SplitMix64 state that the block queues advance, so dist,
// pred and the settlement log are a deterministic function of graph, source
// and seed.
//
// Rounding. Sums of doubles are monotone (a <= a' gives fl(a + w) <= fl(a' + w))
// and never below their left operand, but they absorb: a < a' can give
// fl(a + w) == fl(a' + w). The recursion's completeness argument uses exact
// sums in three places, and each has its rule; none of them can fire when
// sums are exact, so integer-weighted runs are untouched.
//  1. Re-offer (state.hpp): a relaxation along v's own predecessor edge that
//     reproduces dist[v] offers v again under its unchanged key.
//  2. Tight edges in FindPivots (find_pivots.hpp): a predecessor edge whose sum
//     still gives dist[v] after the tail's distance fell counts as tight.
//  3. The closing check (finish.hpp). Unless every sum is exact (integer
//     weights of small total), every edge is checked after the outermost call
//     and anything that fails is finished by a Dijkstra search from the
//     failing tails, so the distances equal Dijkstra's whatever rounding did;
//     the run reports how many labels it lowered (ExactnessCounts). With rules
//     1 and 2 it has lowered none on every graph tried (decimal, two-decimal,
//     many-decade, subnormal and absorbing weights).
//
// Overflow. Finite weights can sum past DBL_MAX. A candidate distance that
// rounds to +inf is refused by every relaxation test, exactly as Dijkstra's
// strict comparison refuses it: such a vertex stays unreached (+inf, -1),
// never enters a queue and never appears in the settlement log.
//
// Parameters. k and t may be forced to any u64. Everything derived from them
// (k·|S|, t·(l−1), l·t, the size limit k·2^(l·t)) is computed saturating or in
// 128 bits (parameters.hpp), so forced parameters change the work done but never
// the distances.
//
// Scratch. Every level reuses its lists and its queue across calls, and U of level
// l <= 5 is a flag bit (deeper levels, which only forced parameters reach, keep U in a
// hash set), so a run allocates almost nothing after its first calls at each level.
//
// Cancellation. The loops poll the installed cancel flag once per pull above
// level 1, once per POLL_PULLS pulls of a level-1 call or pops of a base case,
// once per pop of a bounded search, and once per POLL_STRIDE vertices of a long
// list, so that a pending Ctrl-C is noticed within a fraction of a millisecond
// of work while the per-vertex loops carry no poll at all.
//
// Invariants of the recursion: a vertex becomes complete at most once and is
// logged then, with its distance at that moment; every vertex of a returned U
// is complete; B' <= B for every call; the block size M never exceeds n'.
#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include "core/config.hpp"
#include "core/id_map.hpp"
#include "core/memory.hpp"
#include "core/parameters.hpp"
#include "core/queues/queue_key.hpp"
#include "core/recursion/call_trace.hpp"
#include "core/recursion/find_pivots.hpp"
#include "core/recursion/level_queues.hpp"
#include "core/recursion/local_search.hpp"
#include "core/recursion/observer.hpp"
#include "core/recursion/rows.hpp"
#include "core/recursion/state.hpp"

namespace qh {

template <class Rows, class Queues, class Observer = NoObserver>
class Recursion {
public:
    using Node = typename Rows::Node;
    using Labels = State<Rows, Observer>;

    // Fresh state on vertex records (rows included, for constant-degree rows) that are all
    // unreached; `source` becomes reached at distance +0.0 and 0 hops. The recursion reads
    // the hybrid switch and the pivot rule of `config`, k and t of `params`; `seed` starts the
    // block queues' SplitMix64 state.
    Recursion(Vec<Node>&& vertices, Rows rows, std::uint32_t source, const RunConfig& config, const RunParams& params,
              std::uint64_t seed);

    Labels state;  // the labels, the settlement log and the observer of the run

    // BMSSP(l, B, S): completes the vertices below the returned bound B' <= B.
    Key run(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);

    // The whole run as one bounded search from `source` (LocalSearch::whole_search).
    void whole_search(std::uint32_t source, double min_weight);

    // After the outermost call: checks every edge and lowers what fails, within `limit`
    // (finish.hpp); returns the number of labels lowered.
    std::uint64_t finish(double limit = std::numeric_limits<double>::infinity());

private:
    // Scratch of the running call at one level, reused by every call at that level.
    struct LevelScratch {
        Vec<std::uint32_t> pivots;
        Vec<std::uint32_t> w;
        Vec<std::uint32_t> pulled;
        Vec<std::uint32_t> fresh;
        Vec<Entry> k_list;
        Vec<Entry> inserts;    // a pass's routed inserts, in order
        Vec<std::uint32_t> u;  // the call's result U
        Queues queues;
    };

    Key run_level(std::uint64_t level, const Key& bound, std::span<const std::uint32_t> s);
    template <class Queue>
    Key run_level_on(std::uint64_t level, const Key& bound, Queue& d);

    HybridSwitch hybrid_;
    std::uint64_t k_;
    std::uint64_t t_;
    std::uint64_t seed_;  // the block queues' SplitMix64 state
    FindPivots<Rows, Observer> pivots_;
    LocalSearch<Rows, Observer> local_;
    Vec<LevelScratch> scratch_;
    Vec<IdSet> wide_u_;  // U of the running call at each level above FLAG_LEVELS
};

// The configurations runs use, each instantiated in its own file (core.cpp for the core,
// variants.cpp for the others), so that each is optimised as the core alone was; their
// counted forms, used only by counted runs, in counted.cpp; their traced forms in traced.cpp.
extern template class Recursion<ConstantDegreeRows, BlockQueues>;
extern template class Recursion<ConstantDegreeRows, FlatQueues>;
extern template class Recursion<CsrRows, BlockQueues>;
extern template class Recursion<CsrRows, FlatQueues>;
extern template class Recursion<ConstantDegreeRows, BlockQueues, OperationCounter>;
extern template class Recursion<ConstantDegreeRows, FlatQueues, OperationCounter>;
extern template class Recursion<CsrRows, BlockQueues, OperationCounter>;
extern template class Recursion<CsrRows, FlatQueues, OperationCounter>;
extern template class Recursion<ConstantDegreeRows, BlockQueues, CallTracer>;
extern template class Recursion<ConstantDegreeRows, FlatQueues, CallTracer>;
extern template class Recursion<CsrRows, BlockQueues, CallTracer>;
extern template class Recursion<CsrRows, FlatQueues, CallTracer>;

}  // namespace qh
