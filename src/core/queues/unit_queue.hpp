// unit_queue.hpp: UnitQueue, the block queue of BMSSP (block_queue.hpp)
// specialised to M = 1.
#pragma once

#include <cstdint>
#include <span>

#include "core/id_map.hpp"
#include "core/memory.hpp"
#include "core/queues/queue_key.hpp"

namespace qh {

// BlockDs with M = 1, kept apart because the innermost recursive level pulls one
// vertex at a time and does most of a run's queue work. Every operation gives
// exactly the results of BlockDs(1, bound): the same pulled vertices, the same
// returned x and the same draws from the rng, in the same order.
//
// With M = 1 every block holds at most one live entry, so D0 is a stack of
// single entries (front at the back of the array, indices stable) and D1 a
// sorted array of (inclusive upper bound, vertex) pairs whose vertex may be
// absent. The pairs sit in a buffer with room at both ends: a pull takes the
// front by advancing the start, and a split shifts the shorter side, since
// new keys land both just behind the front and deep in the queue. Keys live
// in the vertex -> held key map, which keeps D1 pairs at 24 bytes; a pair
// notes when its vertex's key is its bound, as it is after most splits, so
// the map is only asked for the key otherwise. A held vertex is found
// through its key: a D1 entry with key x sits in the first pair whose bound
// is >= x, so only a D0 index needs storing.
class UnitQueue {
public:
    // An empty queue with exclusive upper bound `bound`.
    explicit UnitQueue(Key bound = KEY_TOP);

    // Empties the queue and gives it a new bound, keeping all storage for reuse.
    void reset(Key bound);

    // As BlockDs::insert.
    void insert(std::uint32_t vertex, const Key& key, std::uint64_t& rng);
    // The same as inserting `entries` one by one, in order. On a queue just reset, with
    // distinct vertices and keys, that is one sort: every insert after the first splits the
    // one-entry block it lands in, drawing once, and leaves the keys in sorted blocks.
    void fill(std::span<const Entry> entries, std::uint64_t& rng);
    // As BlockDs::batch_prepend.
    void batch_prepend(std::span<const Entry> entries, std::uint64_t& rng);
    // As BlockDs::pull: `out` receives the one vertex with the smallest key.
    Key pull(std::uint64_t& rng, Vec<std::uint32_t>& out);

    // Number of vertices held.
    std::size_t size() const noexcept { return held_.size(); }
    // True when no vertex is held.
    bool is_empty() const noexcept { return held_.empty(); }

    // Checks every structural invariant; stops with "UnitQueue invariant violated" on failure.
    void sanity_check() const;

private:
    friend struct QueueProbe;  // the native tests' read access to held keys

    static constexpr std::uint32_t IN_D1 = 0xFFFFFFFFu;
    struct Held {
        Key key;
        std::uint32_t d0_index;  // index in d0_, or IN_D1
    };
    struct D1Pair {
        Key bound;
        std::uint32_t vertex;        // NO_VERTEX when the block is empty
        std::uint32_t key_is_bound;  // 1 when vertex's held key equals bound (only read when occupied)
    };
    static_assert(sizeof(D1Pair) == 24, "a split moves D1 pairs: keep them small");

    // Index in d1_ of the block whose range holds `key` (`key` below the queue's bound): a
    // bisection, after a look at the pair the last insert found, then at the first two pairs
    // while front_score_ is positive.
    [[gnu::always_inline]] std::size_t d1_find(const Key& key) const noexcept;
    // The held key of the vertex of an occupied pair.
    const Key& pair_key(const D1Pair& pair) const {
        return pair.key_is_bound != 0 ? pair.bound : held_key(pair.vertex);
    }
    // Drops `vertex`, recorded by `held`, from its block (not from held_).
    void drop(std::uint32_t vertex, const Held& held);
    // The held key of a vertex the queue holds.
    const Key& held_key(std::uint32_t vertex) const;
    void d1_restart();

    Vec<Entry> d0_;  // D0 reversed: the front is d0_.back(); a buried entry is an empty block
    // D1 is d1_[d1_lo_, d1_hi_), front first; never empty, the last bound is B.
    Vec<D1Pair> d1_;
    std::size_t d1_lo_ = 0;
    std::size_t d1_hi_ = 0;
    // Opens a free pair just behind d1_[i] (i in [d1_lo_, d1_hi_)) by shifting the shorter
    // side; returns the new index of the pair that was at i (the free one follows it).
    std::size_t d1_open_after(std::size_t i);
    IdMap<Held> held_;
    Vec<Entry> batch_;         // batch_prepend scratch, deduplicated in first-seen order
    Vec<Entry> sort_scratch_;  // fill's merge buffer
    IdMap<std::uint32_t> batch_index_;
    Vec<std::size_t> chunk_ends_;
    Key bound_;
    // Where inserted keys have been landing: up by one for a key found in D1's first two
    // pairs, down by one otherwise, within the cap. On grid-like graphs about three keys in
    // four land there (a base case's routed keys lie just above its bound, the front of the
    // queue), and looking there first saves the bisection; on others a few in a hundred do,
    // and the look would only delay it. Which pair is found never depends on it.
    static constexpr int FRONT_SCORE_CAP = 16;
    int front_score_ = 0;
    // The pair the last insert found. Routed keys come in runs: on R-MAT 49 inserts in 50 land
    // in the same pair as the one before, on grids seven in ten, on random graphs about half;
    // a look there first saves the bisection. Which pair is found never depends on it.
    std::size_t last_found_ = 0;
};

}  // namespace qh
