// simple_queue.hpp: the frontier-queue interface of the recursion and its
// heap-based queues.
//
// `DQueue` is what one recursive level of the recursion needs from its frontier D:
// construction from (M, B), Insert, BatchPrepend, Pull with the separating key
// x, and an emptiness test. Two types meet it: `BlockDs` (block_queue.hpp),
// the block-based partial-order queue of the published algorithm, and
// `FlatHeap` below, a binary min-heap with lazy deletion. FlatHeap pays
// O(log n) per entry instead of the block queue's amortised bounds, needs no
// randomness, and pulls in exact key order; it exists so that a run can tell
// how much the block structure is worth.
//
// `KeyHeap` is the 4-ary heap of the recursion's bounded
// Dijkstra searches: three parallel arrays (distance, hops, vertex) so that the
// comparisons of a sift read contiguous distances. It allows duplicates and
// never decreases a key; callers recognise stale entries when they pop them.
//
// Orders. Keys compare as (dist by IEEE 754 totalOrder, hops, vertex). KeyHeap
// entries compare the same way with hops as i32 and vertex as u32. Every
// choice between equal entries is fixed (the first of equal children wins), so
// pops are a deterministic function of the pushes.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "block_queue.hpp"
#include "id_map.hpp"
#include "memory.hpp"

namespace qh {

// --- the DQueue concept -----------------------------------------------------------

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
concept DQueue = DQueueConstructible<Q> && DQueueInsert<Q> && DQueueBatchPrepend<Q> && DQueuePull<Q> &&
                 DQueueIsEmpty<Q>;

// Spells out which part of DQueue a type misses; use in a static_assert context.
template <class Q>
constexpr bool check_dqueue() {
    static_assert(DQueueConstructible<Q>, "DQueue: the queue must be constructible from (std::uint64_t M, Key B)");
    static_assert(DQueueInsert<Q>, "DQueue: missing void insert(std::uint32_t, const Key&, std::uint64_t& rng)");
    static_assert(DQueueBatchPrepend<Q>,
                  "DQueue: missing void batch_prepend(std::span<const Entry>, std::uint64_t& rng)");
    static_assert(DQueuePull<Q>, "DQueue: missing Key pull(std::uint64_t& rng, Vec<std::uint32_t>& out)");
    static_assert(DQueueIsEmpty<Q>, "DQueue: missing bool is_empty() const");
    return true;
}

// --- FlatHeap ---------------------------------------------------------------------

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

// --- KeyHeap ---------------------------------------------------------------------------

// One KeyHeap entry.
struct HeapEntry {
    double dist;
    std::int32_t hops;
    std::uint32_t vertex;
};

// A 4-ary min-heap of (dist, hops, vertex) in three parallel arrays; duplicates allowed.
// The arrays' sizes are the heap's capacity; `len_` entries are in use.
class KeyHeap {
public:
    // Appends an entry and sifts it up.
    void push(double dist, std::int32_t hops, std::uint32_t vertex) {
        if (len_ == dist_.size()) reserve_cold();
        double* ds = dist_.data();
        std::int32_t* hs = hops_.data();
        std::uint32_t* vs = vertex_.data();
        std::size_t i = len_++;
        const std::int64_t key = total_order_bits(dist);
        while (i > 0) {
            const std::size_t p = (i - 1) / 4;
            if (!entry_less(key, hops, vertex, total_order_bits(ds[p]), hs[p], vs[p])) break;
            ds[i] = ds[p];
            hs[i] = hs[p];
            vs[i] = vs[p];
            i = p;
        }
        ds[i] = dist;
        hs[i] = hops;
        vs[i] = vertex;
    }

    // Removes and returns the smallest entry, or nothing when empty.
    std::optional<HeapEntry> pop() noexcept {
        if (len_ == 0) return std::nullopt;
        double* ds = dist_.data();
        std::int32_t* hs = hops_.data();
        std::uint32_t* vs = vertex_.data();
        const HeapEntry top{ds[0], hs[0], vs[0]};
        const std::size_t n = --len_;
        if (n == 0) return top;
        const double dist = ds[n];
        const std::int32_t hops = hs[n];
        const std::uint32_t vertex = vs[n];
        const std::int64_t key = total_order_bits(dist);
        std::size_t h = 0;
        for (;;) {
            const std::size_t first = 4 * h + 1;
            if (first >= n) break;
            const std::size_t end = first + 4 < n ? first + 4 : n;
            // the smallest child; of equal children the first
            std::size_t best = first;
            std::int64_t best_key = total_order_bits(ds[first]);
            for (std::size_t c = first + 1; c < end; ++c) {
                const std::int64_t ck = total_order_bits(ds[c]);
                if (ck < best_key || (ck == best_key && entry_less(ck, hs[c], vs[c], best_key, hs[best], vs[best]))) {
                    best = c;
                    best_key = ck;
                }
            }
            if (!entry_less(best_key, hs[best], vs[best], key, hops, vertex)) break;
            ds[h] = ds[best];
            hs[h] = hs[best];
            vs[h] = vs[best];
            h = best;
        }
        ds[h] = dist;
        hs[h] = hops;
        vs[h] = vertex;
        return top;
    }

    // Empties the heap, keeping its storage.
    void clear() noexcept { len_ = 0; }

    // Number of entries.
    std::size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    // The vertex of the smallest entry; precondition: !empty().
    std::uint32_t top_vertex() const noexcept { return vertex_[0]; }
    // Number of entries the arrays hold room for.
    std::size_t capacity() const noexcept { return dist_.size(); }

    // Checks the heap order and equal array lengths; stops with "KeyHeap invariant violated".
    void sanity_check() const;

private:
    // Growth path of push: room for at least max(len / 2, 64) more entries in each array,
    // at least doubling a non-empty capacity.
    void reserve_cold();

    // (ka, ha, va) < (kb, hb, vb), ka and kb being total-order bits of the distances.
    static bool entry_less(std::int64_t ka, std::int32_t ha, std::uint32_t va, std::int64_t kb, std::int32_t hb,
                           std::uint32_t vb) noexcept {
        if (ka != kb) return ka < kb;
        if (ha != hb) return ha < hb;
        return va < vb;
    }

    Vec<double> dist_;
    Vec<std::int32_t> hops_;
    Vec<std::uint32_t> vertex_;
    std::size_t len_ = 0;
};

}  // namespace qh
