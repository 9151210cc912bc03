// block_queue.hpp: the ordering key of BMSSP and its block-based partial-order queue.
//
// Every BMSSP queue orders vertices by a `Key` = (dist, hops, vertex),
// compared lexicographically: dist by the IEEE 754 totalOrder (-0.0 before
// +0.0, +inf after every finite value), then hops, then the vertex id. Since
// the vertex id is part of the key, keys of different vertices never tie, so
// every "smallest" below is unique and no result depends on the order in
// which equal keys happen to be met.
//
// `BlockDs` is the frontier D of one recursive BMSSP call (Duan, Mao, Mao,
// Shu, Yin: "Breaking the Sorting Barrier for Directed Single-Source Shortest
// Paths", 2025). It never sorts. It keeps two sequences of blocks
// of at most M live entries each, in no order inside a block:
//   - D0, filled by batch_prepend, front block smallest: every key of a block
//     is below every key of any block behind it;
//   - D1, filled by insert, in ascending order of inclusive upper bounds
//     `d1_bounds`; the last bound is always the queue's bound B, and every live
//     entry of block i lies in (d1_bounds[i-1], d1_bounds[i]].
// `positions` holds exactly one record per live entry (vertex -> block, slot);
// a superseded or pulled entry only becomes a tombstone in its block. Slots
// are appended, never moved, so a (block, slot) pair stays valid.
//
// Blocks that leave both sequences with no live entry (replaced by a split,
// dropped from a front, cut off by a full drain) are recycled: their ids and
// storage serve later blocks, which nothing outside the queue can observe.
// D1's front is dropped by advancing a head index, and a queue can be reset
// and reused by the next call at the same recursion level.
//
// Splitting, chunking and cutting a pull to M use quickselect with pivots
// drawn from a caller-owned SplitMix64 state, so the queue's behaviour (and
// with it a whole run) is a deterministic function of the seed. The draws and
// the order of the entries after each partition are part of the behaviour:
// they decide which order pulled vertices come back in.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "id_map.hpp"
#include "memory.hpp"

namespace qh {

// The hop count of a key for which no path is known (2^62).
inline constexpr std::int64_t NO_PATH_HOPS = std::int64_t{1} << 62;

// The ordering key of a vertex; compare with <, ==.
struct Key {
    double dist;         // tentative distance, ordered by IEEE 754 totalOrder
    std::int64_t hops;   // edges on the path behind dist; NO_PATH_HOPS when none is known
    std::int64_t vertex; // the 32-bit vertex id, zero-extended
};

// Above the key of every real vertex.
inline constexpr Key KEY_TOP{std::numeric_limits<double>::infinity(), NO_PATH_HOPS, NO_PATH_HOPS};

// The bit pattern of `d` as an integer whose signed order is the IEEE 754 totalOrder.
inline std::int64_t total_order_bits(double d) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(d);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// a < b under IEEE 754 totalOrder.
inline bool dist_less(double a, double b) noexcept { return total_order_bits(a) < total_order_bits(b); }

// a < b, given the totalOrder bits of both dists (da, db): for comparing many keys with one.
inline bool key_less(std::int64_t da, const Key& a, std::int64_t db, const Key& b) noexcept {
    if (da != db) return da < db;
    if (a.hops != b.hops) return a.hops < b.hops;
    return a.vertex < b.vertex;
}
// Lexicographic: dist by totalOrder, then hops, then vertex.
inline bool operator<(const Key& a, const Key& b) noexcept {
    return key_less(total_order_bits(a.dist), a, total_order_bits(b.dist), b);
}
// Equal in all three fields, dist compared bit for bit.
inline bool operator==(const Key& a, const Key& b) noexcept {
    return std::bit_cast<std::uint64_t>(a.dist) == std::bit_cast<std::uint64_t>(b.dist) && a.hops == b.hops &&
           a.vertex == b.vertex;
}
// Not above.
inline bool operator<=(const Key& a, const Key& b) noexcept { return !(b < a); }

// Advances `rng` as `count` calls of splitmix64 would, without computing their values.
inline void splitmix64_skip(std::uint64_t& rng, std::uint64_t count) noexcept { rng += count * 0x9E3779B97F4A7C15ull; }

// Advances `rng` by one SplitMix64 step and returns the drawn value.
inline std::uint64_t splitmix64(std::uint64_t& rng) noexcept {
    splitmix64_skip(rng, 1);
    std::uint64_t z = rng;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A queue entry: a vertex and its key.
struct Entry {
    std::uint32_t vertex;  // below 0xFFFFFFFF
    Key key;               // key.vertex is normally `vertex`; the queue compares keys only
};

// Quickselect (Lomuto, random pivots): afterwards a[0..k) hold the k smallest keys,
// a[k-1] the k-th smallest. One draw per partitioning pass. Defined for 1 <= k < a.size();
// any other k leaves `a` and `rng` untouched.
void partition_smallest_in_place(std::span<Entry> a, std::size_t k, std::uint64_t& rng);

// (the k smallest, the rest) as new lists, in the order the partition leaves them; input untouched.
std::pair<Vec<Entry>, Vec<Entry>> select_smallest(std::span<const Entry> entries, std::size_t k, std::uint64_t& rng);

// Chunks of at most `chunk` (>= 1) entries, every key of a chunk below every key of a later one.
Vec<Vec<Entry>> chunk_by_median(std::span<const Entry> entries, std::size_t chunk, std::uint64_t& rng);

// The block-based partial-order queue D of one recursive call.
class BlockDs {
public:
    // An empty queue with block capacity max(1, m) and exclusive upper bound `bound`.
    BlockDs(std::uint64_t m, Key bound);

    // Empties the queue and gives it a new M and B, keeping all storage for reuse.
    void reset(std::uint64_t m, Key bound);

    // Adds `vertex` with `key`, or lowers its key; a key not below the held one changes nothing.
    // A key not below the bound stops the run with "Insert: key not below the queue's bound".
    void insert(std::uint32_t vertex, const Key& key, std::uint64_t& rng);
    // Inserts `entries` one by one, in order.
    void fill(std::span<const Entry> entries, std::uint64_t& rng) {
        for (const Entry& e : entries) insert(e.vertex, e.key, rng);
    }

    // Adds entries whose keys lie below every key held (not checked); a vertex may repeat (its
    // smallest key counts). A vertex already held with a key not above the new one stops the run
    // with "BatchPrepend: duplicate key with non-smaller value violates the precondition".
    // An empty list changes nothing.
    void batch_prepend(std::span<const Entry> entries, std::uint64_t& rng);

    // Removes up to M vertices with the smallest keys into `out` (cleared first) and returns x:
    // the smallest key still held, or the bound when nothing is left.
    Key pull(std::uint64_t& rng, Vec<std::uint32_t>& out);

    // A block holding `entries` (all live, in order), in no sequence yet; returns its id. Ids of
    // blocks the queue has retired are handed out again.
    std::uint32_t alloc_block(std::span<const Entry> entries);

    // Number of vertices held.
    std::size_t size() const noexcept { return positions_.size(); }
    // True when no vertex is held.
    bool is_empty() const noexcept { return positions_.empty(); }
    // The held key of `vertex`, or nullptr.
    const Key* key_of(std::uint32_t vertex) const noexcept;

    // M, the block capacity.
    std::uint64_t m() const noexcept { return m_; }
    // B, the exclusive upper bound of every key.
    const Key& bound() const noexcept { return bound_; }
    // Number of blocks in D0 and D1 (tests only).
    std::size_t d0_blocks() const noexcept { return d0_.size(); }
    std::size_t d1_blocks() const noexcept { return d1_.size() - d1_head_; }

    // Checks every structural invariant; stops with "BlockDs invariant violated" on failure.
    void sanity_check() const;

private:
    struct Block {
        Vec<Entry> entries;  // slots; vertex == ID_MAP_EMPTY marks a tombstone
        std::uint64_t live = 0;
    };
    struct Position {
        std::uint32_t block;
        std::uint32_t slot;
    };

    void remove_recorded(std::uint32_t vertex, const Position& at) noexcept;
    void split_d1(std::size_t i, std::uint64_t& rng);
    // Records (id, slot s) as the position of entries[s].vertex for every s.
    void record_positions(std::span<const Entry> entries, std::uint32_t id);
    Key smallest_live(const Block& b) const noexcept;
    // Returns a block that no sequence holds and no record points into to the free list.
    void retire(std::uint32_t id);

    // Block ids are internal: a retired block's id and storage are handed out
    // again by alloc_block, which nothing outside the queue can observe.
    Vec<Block> blocks_;
    Vec<std::uint32_t> free_ids_;
    Vec<Entry> split_buf_;
    Vec<std::uint32_t> d0_;  // D0 stored reversed: the front block is d0_.back()
    // D1 with its bounds side by side; positions before d1_head_ are dropped blocks
    // (a pull removes front blocks by advancing the head, not by shifting).
    struct D1Slot {
        Key bound;
        std::uint32_t id;
    };
    Vec<D1Slot> d1_;
    std::size_t d1_head_ = 0;
    void d1_restart();
    IdMap<Position> positions_;
    Vec<Entry> pull_buf_;
    IdMap<std::uint32_t> dedup_;  // batch_prepend scratch: vertex -> index in dedup_list_
    Vec<Entry> dedup_list_;       // the previous batch until the next one clears dedup_ by it
    Vec<std::size_t> chunk_ends_;
    std::uint64_t m_;
    Key bound_;
};


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
// in the vertex -> held key map, which keeps D1 pairs at 32 bytes; a pair
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
    // The held key of `vertex`, or nullptr.
    const Key* key_of(std::uint32_t vertex) const noexcept;
    // B, the exclusive upper bound of every key.
    const Key& bound() const noexcept { return bound_; }

private:
    static constexpr std::uint32_t IN_D1 = 0xFFFFFFFFu;
    struct Held {
        Key key;
        std::uint32_t d0_index;  // index in d0_, or IN_D1
    };
    struct D1Pair {
        Key bound;
        std::uint32_t vertex;        // ID_MAP_EMPTY when the block is empty
        std::uint32_t key_is_bound;  // 1 when vertex's held key equals bound (only read when occupied)
    };

    // Index in d1_ of the block whose range holds `key` (`key` below the queue's bound).
    std::size_t d1_find(const Key& key) const noexcept;
    // The held key of the vertex of an occupied pair.
    const Key& pair_key(const D1Pair& pair) const {
        return pair.key_is_bound != 0 ? pair.bound : held_key(pair.vertex);
    }
    // Drops `vertex`, recorded by `held`, from its block (not from held_).
    void drop(std::uint32_t vertex, const Held& held);
    // The held key of a vertex the queue holds.
    const Key& held_key(std::uint32_t vertex) const;
    void d1_restart();

    Vec<Entry> d0_;  // D0 reversed: the front is d0_.back(); ID_MAP_EMPTY marks an empty block
    // D1 is d1_[d1_lo_, d1_hi_), front first; never empty, the last bound is B.
    Vec<D1Pair> d1_;
    std::size_t d1_lo_ = 0;
    std::size_t d1_hi_ = 0;
    // Opens a free pair just behind d1_[i] (i in [d1_lo_, d1_hi_)) by shifting the shorter
    // side; returns the new index of the pair that was at i (the free one follows it).
    std::size_t d1_open_after(std::size_t i);
    IdMap<Held> held_;
    Vec<Entry> batch_;  // batch_prepend scratch, deduplicated in first-seen order
    IdMap<std::uint32_t> batch_index_;
    Vec<std::size_t> chunk_ends_;
    Key bound_;
};

}  // namespace qh
