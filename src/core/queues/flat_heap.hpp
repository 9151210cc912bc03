// flat_heap.hpp: FlatHeap, the heap-based frontier queue of the recursion.
//
// `FlatHeap` meets `DQueue` (dqueue.hpp) as `BlockDs` (block_queue.hpp) does: a
// binary min-heap with lazy deletion. It pays O(log n) per entry instead of the block
// queue's amortised bounds, needs no randomness, and pulls in exact key order; it
// exists so that a run can tell how much the block structure is worth.
//
// Order. Keys compare as (dist by IEEE 754 totalOrder, hops, vertex); every choice
// between equal entries is fixed, so pulls are a deterministic function of the inserts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "core/id_map.hpp"
#include "core/memory.hpp"
#include "core/queues/queue_key.hpp"

namespace qh {

// A binary min-heap on (key, vertex) with lazy deletion, meeting DQueue.
// A heap entry is live only when `best` maps its vertex to exactly its key.
class FlatHeap {
public:
    // An empty queue: pulls return at most `m` vertices; every key inserted must be below `bound`.
    FlatHeap(std::uint64_t m, Key bound) noexcept : m_(m), bound_(bound) {}

    // Empties the queue for a new call with `m` and `bound`, keeping its storage.
    void reset(std::uint64_t m, Key bound) {
        best_.clear_listed(heap_.begin(), heap_.end(), [](const Item& item) { return item.vertex; });
        heap_.clear();
        m_ = m;
        bound_ = bound;
    }
    // The same as inserting `entries` one by one, in order.
    void fill(std::span<const Entry> entries, std::uint64_t& rng) { batch_prepend(entries, rng); }

    // Adds `vertex` with `key`, or lowers its key; a key not below the held one changes nothing.
    // The key is not compared with the bound. `rng` is not used.
    void insert(std::uint32_t vertex, const Key& key, std::uint64_t& rng);

    // Inserts every entry in list order (the smallest key per vertex wins). `rng` is not used.
    void batch_prepend(std::span<const Entry> entries, std::uint64_t& rng);

    // Moves up to M held vertices with the smallest keys into `out` (cleared first), in
    // ascending key order, and returns the smallest key still held, or the bound.
    Key pull(std::uint64_t& rng, Vec<std::uint32_t>& out);

    // True when no vertex is held.
    bool is_empty() const noexcept { return best_.empty(); }
    // Number of vertices held.
    std::size_t size() const noexcept { return best_.size(); }

    // Checks the heap order and that every held vertex has a live heap entry;
    // stops with "FlatHeap invariant violated" on failure.
    void sanity_check() const;

private:
    struct Item {
        Key key;
        std::uint32_t vertex;
    };
    // std heap algorithms build a max-heap; "greater" turns it into a min-heap.
    static bool after(const Item& a, const Item& b) noexcept {
        if (b.key < a.key) return true;
        if (a.key < b.key) return false;
        return a.vertex > b.vertex;
    }
    bool live(const Item& item) const noexcept {
        const Key* held = best_.find(item.vertex);
        return held != nullptr && *held == item.key;
    }
    void pop_top() noexcept {
        std::pop_heap(heap_.begin(), heap_.end(), after);
        heap_.pop_back();
    }

    Vec<Item> heap_;
    IdMap<Key> best_;
    std::uint64_t m_;
    Key bound_;
};

}  // namespace qh
