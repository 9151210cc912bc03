// key_heap.hpp: KeyHeap, the heap of the recursion's bounded Dijkstra searches.
//
// A 4-ary heap in three parallel arrays (distance, hops, vertex), so that the
// comparisons of a sift read contiguous distances. It allows duplicates and
// never decreases a key; callers recognise stale entries when they pop them.
//
// Order. Entries compare as (dist by IEEE 754 totalOrder, hops as i32, vertex as
// u32). Every choice between equal entries is fixed (the first of equal children
// wins), so pops are a deterministic function of the pushes.
#pragma once

#include <cstdint>
#include <optional>

#include "core/memory.hpp"
#include "core/queues/queue_key.hpp"

namespace qh {

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
