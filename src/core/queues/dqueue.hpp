// dqueue.hpp: the frontier-queue interface of the recursion.
//
// `DQueue` is what one recursive level of the recursion needs from its frontier D:
// construction from (M, B), Insert, BatchPrepend, Pull with the separating key
// x, and an emptiness test. Two types meet it: `BlockDs` (block_queue.hpp),
// the block-based partial-order queue of the published algorithm, and
// `FlatHeap` (flat_heap.hpp), a binary min-heap with lazy deletion.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "core/memory.hpp"
#include "core/queues/queue_key.hpp"

namespace qh {

template <class Q>
concept DQueueConstructible = std::constructible_from<Q, std::uint64_t, Key>;

template <class Q>
concept DQueueInsert = requires(Q& q, std::uint32_t v, const Key& key, std::uint64_t& rng) {
    { q.insert(v, key, rng) } -> std::same_as<void>;
};

template <class Q>
concept DQueueBatchPrepend = requires(Q& q, std::span<const Entry> entries, std::uint64_t& rng) {
    { q.batch_prepend(entries, rng) } -> std::same_as<void>;
};

template <class Q>
concept DQueuePull = requires(Q& q, std::uint64_t& rng, Vec<std::uint32_t>& out) {
    { q.pull(rng, out) } -> std::same_as<Key>;
};

template <class Q>
concept DQueueIsEmpty = requires(const Q& q) {
    { q.is_empty() } -> std::same_as<bool>;
};

// The frontier queue of one recursive level:
//   Q(M, B)                   empty queue; M >= 1 vertices per pull, every key later inserted < B;
//   insert(v, key, rng)       add v, or lower its key (a key not below the held one changes nothing);
//   batch_prepend(list, rng)  add entries whose keys lie below every held key; smallest key per vertex counts;
//   pull(rng, out) -> x       move up to M smallest vertices into `out`; x = smallest key left, or B;
//   is_empty()                true when no vertex is held.
// `rng` is the run's random state, passed by reference; a queue may advance it.
template <class Q>
concept DQueue =
    DQueueConstructible<Q> && DQueueInsert<Q> && DQueueBatchPrepend<Q> && DQueuePull<Q> && DQueueIsEmpty<Q>;

}  // namespace qh
