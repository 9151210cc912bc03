// queue_key.hpp: the ordering key of the BMSSP queues, their entries, and the
// seeded quickselect every queue partitions with.
//
// Every BMSSP queue orders vertices by a `Key` = (dist, hops, vertex),
// compared lexicographically: dist by the IEEE 754 totalOrder (-0.0 before
// +0.0, +inf after every finite value), then hops, then the vertex id. Since
// the vertex id is part of the key, keys of different vertices never tie, so
// every "smallest" below is unique and no result depends on the order in
// which equal keys happen to be met.
//
// Quickselect draws its pivots from a caller-owned SplitMix64 state, so a
// queue's behaviour (and with it a whole run) is a deterministic function of
// the seed. The draws and the order of the entries after each partition are
// part of the behaviour: they decide which order pulled vertices come back in.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "core/ids.hpp"

namespace qh {

// The ordering key of a vertex; compare with <, ==.
struct Key {
    double dist;          // tentative distance, ordered by IEEE 754 totalOrder
    std::int64_t hops;    // edges on the path behind dist; NO_PATH_HOPS when none is known
    std::int64_t vertex;  // the 32-bit vertex id, zero-extended
};

// Above the key of every real vertex.
inline constexpr Key KEY_TOP{std::numeric_limits<double>::infinity(), NO_PATH_HOPS, NO_PATH_HOPS};

// The bit pattern of `d` as an integer whose signed order is the IEEE 754 totalOrder.
inline std::int64_t total_order_bits(double d) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(d);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

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
// a < b, as operator< orders them, but always inline: the recursion compares keys in every
// relaxation and routing step.
[[gnu::always_inline]] inline bool key_below(const Key& a, const Key& b) noexcept {
    const std::int64_t da = total_order_bits(a.dist);
    const std::int64_t db = total_order_bits(b.dist);
    if (da != db) return da < db;
    if (a.hops != b.hops) return a.hops < b.hops;
    return a.vertex < b.vertex;
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

// A queue entry: a vertex and its key.
struct Entry {
    std::uint32_t vertex;  // never NO_VERTEX
    Key key;               // key.vertex is normally `vertex`; the queue compares keys only
};

// Quickselect (Lomuto, random pivots): afterwards a[0..k) hold the k smallest keys,
// a[k-1] the k-th smallest. One draw per partitioning pass. Defined for 1 <= k < a.size();
// any other k leaves `a` and `rng` untouched.
void partition_smallest_in_place(std::span<Entry> a, std::size_t k, std::uint64_t& rng);

}  // namespace qh
