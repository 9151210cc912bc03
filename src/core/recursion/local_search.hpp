// local_search.hpp: the recursion's Dijkstra-like searches, each answering one call whole.
//
// - The base case answers a level-0 call BMSSP(0, B, {x}): a Dijkstra search from x over
//   keys below B, cut off once k + 1 vertices are taken. If it took k + 1, the last (the
//   largest key) is given back and its key is the call's B'; else B' = B. It keeps its open
//   items unordered: a base case holds a handful, so a scan for the smallest serves.
// - The bounded search answers a call that the hybrid switch gives to one search: every
//   vertex reachable from S below B, in key order, through the 4-ary KeyHeap; B' = B.
// - The whole search is the bounded search from the source with bound KEY_TOP, for a run
//   whose outermost call the switch takes, as one Dijkstra loop: the same labels bit for
//   bit, with less ordering work among equal distances, and nothing settled or logged.
//
// Each taken vertex is marked SEEN while the search runs; the base case and the bounded
// search settle what they took before returning it as the call's U.
#pragma once

#include <cstdint>
#include <span>

#include "core/memory.hpp"
#include "core/queues/key_heap.hpp"
#include "core/queues/queue_key.hpp"
#include "core/recursion/state.hpp"

namespace qh {

template <class Rows, class Observer = NoObserver>
class LocalSearch {
public:
    using Labels = State<Rows, Observer>;

    // For a run whose base cases take up to k + 1 vertices.
    explicit LocalSearch(std::uint64_t k) : k_(k) {}

    // BaseCase(B, S) on `st`: S must hold one vertex (else an internal stop). U goes to `u`;
    // returns B'.
    Key base_case(Labels& st, const Key& bound, std::span<const std::uint32_t> s, Vec<std::uint32_t>& u);

    // The bounded search from S below B on `st`; U goes to `u`; returns B.
    Key bounded_search(Labels& st, const Key& bound, std::span<const std::uint32_t> s, Vec<std::uint32_t>& u);

    // The bounded search from `source` with bound KEY_TOP as one Dijkstra search: the labels
    // of the recursion's run(levels, KEY_TOP, {source}) under a configuration whose outermost
    // call takes the bounded search, bit for bit. `min_weight` must not exceed any weight (0.0
    // always qualifies); the larger it is, the less ordering work among equal distances.
    // Nothing is settled or logged.
    void whole_search(Labels& st, std::uint32_t source, double min_weight);

private:
    struct OpenItem {  // a base case's pushed key
        Key key;
        std::uint32_t vertex;
    };

    std::uint64_t k_;
    Vec<OpenItem> open_;  // the base case's open items
    KeyHeap heap_;        // the bounded search's heap
};

}  // namespace qh
