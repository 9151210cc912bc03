// queue_key.hpp: the ordering key of the BMSSP queues, their entries, the searches
// and sort that compare keys without branching on them, and the seeded quickselect
// every queue partitions with.
//
// Every BMSSP queue orders vertices by a `Key` = (dist, hops, vertex),
// compared lexicographically: dist by the IEEE 754 totalOrder (-0.0 before
// +0.0, +inf after every finite value), then hops, then the vertex id. Since
// the vertex id is part of the key, keys of different vertices never tie, so
// every "smallest" below is unique and no result depends on the order in
// which equal keys happen to be met. A key is one 128-bit word whose unsigned
// order is that order, and an entry is its key alone: 16 bytes, compared with
// one 128-bit comparison and moved with one 16-byte load and store.
//
// Quickselect draws its pivots from a caller-owned SplitMix64 state, so a
// queue's behaviour (and with it a whole run) is a deterministic function of
// the seed. The draws and the order of the entries after each partition are
// part of the behaviour: they decide which order pulled vertices come back in.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "core/ids.hpp"

namespace qh {

// The ordering key of a vertex; compare with <, ==.
//
// Stored as one 128-bit word, so that a comparison is a single unsigned compare of two
// 64-bit halves and an entry is 16 bytes: `rank` is the distance's position in the
// totalOrder (its bit pattern with the sign bit flipped, all bits flipped when negative),
// `tail` is hops << 32 | vertex. This holds the order exactly for hop counts and vertex ids
// below 2^32 - 1 (every label of a run: hops < n', ids < NO_VERTEX) and for NO_PATH_HOPS in
// either field, stored as 2^32 - 1, which stays above every real value.
struct Key {
    std::uint64_t rank;  // dist by IEEE 754 totalOrder, as an unsigned integer
    std::uint64_t tail;  // hops << 32 | vertex

    Key() = default;
    // The key (dist, hops, vertex); hops and vertex below 2^32 - 1, or NO_PATH_HOPS.
    constexpr Key(double dist, std::int64_t hops, std::int64_t vertex) noexcept
        : rank(dist_rank(dist)), tail(field(hops) << 32 | field(vertex)) {}
    // The key of a run's label: 32-bit hops (UNREACHED for none) and vertex.
    static constexpr Key of_label(double dist, std::uint32_t hops, std::uint32_t vertex) noexcept {
        Key k;
        k.rank = dist_rank(dist);
        k.tail = std::uint64_t{hops} << 32 | vertex;
        return k;
    }

    // The vertex field (NO_VERTEX for KEY_TOP's).
    constexpr std::uint32_t vertex() const noexcept { return static_cast<std::uint32_t>(tail); }
    // The distance field, bit for bit (dist_rank undone).
    constexpr double dist() const noexcept { return std::bit_cast<double>(rank & SIGN ? rank ^ SIGN : ~rank); }

    // dist's totalOrder position: the sign bit flipped, or every bit when it is set.
    static constexpr std::uint64_t dist_rank(double dist) noexcept {
        const auto bits = std::bit_cast<std::uint64_t>(dist);
        return bits ^ (static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63) | SIGN);
    }

private:
    static constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
    static constexpr std::uint64_t TOP_FIELD = 0xFFFFFFFFu;
    static constexpr std::uint64_t field(std::int64_t x) noexcept {
        return x == NO_PATH_HOPS ? TOP_FIELD : static_cast<std::uint64_t>(x) & TOP_FIELD;
    }
};
static_assert(sizeof(Key) == 16, "a Key is one 128-bit word");

// The bit pattern of `d` as an integer whose signed order is the IEEE 754 totalOrder.
inline std::int64_t total_order_bits(double d) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(d);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// Above the key of every real vertex.
inline constexpr Key KEY_TOP{std::numeric_limits<double>::infinity(), NO_PATH_HOPS, NO_PATH_HOPS};

// Lexicographic: dist by totalOrder, then hops, then vertex: one 128-bit comparison.
[[gnu::always_inline]] inline bool operator<(const Key& a, const Key& b) noexcept {
    const unsigned __int128 x = static_cast<unsigned __int128>(a.rank) << 64 | a.tail;
    const unsigned __int128 y = static_cast<unsigned __int128>(b.rank) << 64 | b.tail;
    return x < y;
}
// Equal in all three fields, dist compared bit for bit.
inline bool operator==(const Key& a, const Key& b) noexcept { return a.rank == b.rank && a.tail == b.tail; }
// Not above.
inline bool operator<=(const Key& a, const Key& b) noexcept { return !(b < a); }
// a < b: the name the recursion's routing and bound tests use.
[[gnu::always_inline]] inline bool key_below(const Key& a, const Key& b) noexcept { return a < b; }

// a < b as 1 or 0, held as a value the compiler cannot turn back into a branch. Queues
// compare keys that come in no particular order, where a branch on the outcome mispredicts
// about half the time; selecting with this value instead costs no prediction.
[[gnu::always_inline]] inline std::size_t below_value(const Key& a, const Key& b) noexcept {
    std::size_t t = a < b ? 1 : 0;
    asm("" : "+r"(t));
    return t;
}

// The first of the `len` >= 1 items from `first` whose bound(item) is not below `key`, given
// bounds that rise and a last bound that is not below it. Each step compares three quarter
// points at once, whose loads overlap, and selects a quarter with below_value: half as many
// dependent steps as a bisection, which finishes the last few items.
template <class T, class Bound>
[[gnu::always_inline]] inline const T* first_bound_not_below(const T* first, std::size_t len, const Key& key,
                                                             Bound bound) noexcept {
    while (len > 3) {
        const std::size_t quarter = len / 4;
        // Bounds rise, so the points below `key` are a prefix of the three: their count is
        // the quarter that holds the item, the last one running to the end.
        const std::size_t b1 = below_value(bound(first[quarter - 1]), key);
        const std::size_t b2 = below_value(bound(first[2 * quarter - 1]), key);
        const std::size_t b3 = below_value(bound(first[3 * quarter - 1]), key);
        first += (quarter & -b1) + (quarter & -b2) + (quarter & -b3);
        len = quarter + ((len - 4 * quarter) & -b3);
    }
    while (len > 1) {
        const std::size_t half = len / 2;
        first += half & -below_value(bound(first[half - 1]), key);
        len -= half;
    }
    return first;
}

// Whether items[i] is what first_bound_not_below finds for `key` among items[lo, hi), whose
// bounds rise: the first whose bound is not below `key`. False for an i outside [lo, hi).
template <class T, class Bound>
[[gnu::always_inline]] inline bool is_first_bound_not_below(const T* items, std::size_t lo, std::size_t hi,
                                                            std::size_t i, const Key& key, Bound bound) noexcept {
    return i >= lo && i < hi && !(bound(items[i]) < key) && (i == lo || bound(items[i - 1]) < key);
}

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

// A queue entry: a vertex and its key, which holds the vertex id in its low 32 bits. A queue
// that keeps dead slots marks them with `bury` (the id becomes NO_VERTEX).
struct Entry {
    Key key;

    Entry() = default;
    // The entry of `vertex` (not NO_VERTEX) with `key`, whose vertex it must be.
    constexpr Entry(std::uint32_t vertex, const Key& k) noexcept : key(k) {
        assert(k.vertex() == vertex);
        (void)vertex;
    }
    constexpr std::uint32_t vertex() const noexcept { return key.vertex(); }
    // Marks a dead slot: vertex() becomes NO_VERTEX.
    constexpr void bury() noexcept { key.tail |= NO_VERTEX; }
};
static_assert(sizeof(Entry) == 16, "an entry is its key");

// Sorts `a` by key, using `scratch` (at least a.size() entries) as the merge buffer. A
// bottom-up merge sort whose every step is a comparison and a select, never a branch on
// the keys: on keys in no particular order, std::sort's branches mispredict about every
// other comparison, which costs it more than all its other work.
void sort_by_key(std::span<Entry> a, std::span<Entry> scratch);

// Quickselect (Lomuto, random pivots): afterwards a[0..k) hold the k smallest keys,
// a[k-1] the k-th smallest. One draw per partitioning pass. Defined for 1 <= k < a.size();
// any other k leaves `a` and `rng` untouched.
void partition_smallest_in_place(std::span<Entry> a, std::size_t k, std::uint64_t& rng);

}  // namespace qh
