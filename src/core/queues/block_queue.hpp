// block_queue.hpp: the block-based partial-order queue of BMSSP.
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
// Splitting, chunking and cutting a pull to M use the seeded quickselect of
// queue_key.hpp.
#pragma once

#include <cstdint>
#include <span>

#include "core/id_map.hpp"
#include "core/memory.hpp"
#include "core/queues/queue_key.hpp"

namespace qh {

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
    void fill(std::span<const Entry> entries, std::uint64_t& rng);

    // Adds entries whose keys lie below every key held (not checked); a vertex may repeat (its
    // smallest key counts). A vertex already held with a key not above the new one stops the run
    // with "BatchPrepend: duplicate key with non-smaller value violates the precondition".
    // An empty list changes nothing.
    void batch_prepend(std::span<const Entry> entries, std::uint64_t& rng);

    // Removes up to M vertices with the smallest keys into `out` (cleared first) and returns x:
    // the smallest key still held, or the bound when nothing is left.
    Key pull(std::uint64_t& rng, Vec<std::uint32_t>& out);

    // Number of vertices held.
    std::size_t size() const noexcept { return positions_.size(); }
    // True when no vertex is held.
    bool is_empty() const noexcept { return positions_.empty(); }

    // Checks every structural invariant; stops with "BlockDs invariant violated" on failure.
    void sanity_check() const;

private:
    friend struct QueueProbe;  // the native tests' read access to held keys

    struct Block {
        Vec<Entry> entries;  // slots; a buried entry (vertex() == NO_VERTEX) is a tombstone
        std::uint64_t live = 0;
    };
    struct Position {
        std::uint32_t block;
        std::uint32_t slot;
    };

    // A block holding `entries` (all live, in order), in no sequence yet; returns its id. Ids of
    // blocks the queue has retired are handed out again.
    std::uint32_t alloc_block(std::span<const Entry> entries);
    // Makes the entry at `at` a tombstone (its position record is the caller's to drop).
    void bury(const Position& at) noexcept;
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
    // D1 position of the block the last bisection of insert found. Routed keys come in runs:
    // on R-MAT about half the inserts, and on random graphs about seven in ten, land in the
    // same block as the one before, and a look there first saves the bisection (on grids one
    // in five does). Which block is found never depends on it.
    std::size_t last_found_ = 0;
    void d1_restart();
    IdMap<Position> positions_;
    Vec<Entry> pull_buf_;
    IdMap<std::uint32_t> dedup_;  // batch_prepend scratch: vertex -> index in dedup_list_
    Vec<Entry> dedup_list_;       // the previous batch until the next one clears dedup_ by it
    Vec<std::size_t> chunk_ends_;
    std::uint64_t m_;
    Key bound_;
};

}  // namespace qh
