// queue_key.cpp: the seeded quickselect of the BMSSP queues.
#include "core/queues/queue_key.hpp"

#include <utility>

namespace qh {

void partition_smallest_in_place(std::span<Entry> a, std::size_t k, std::uint64_t& rng) {
    const std::size_t n = a.size();
    if (n <= 1 || k == 0 || k >= n) return;
    if (n == 2) {
        // k = 1. Whichever pivot the one draw picks, the pass ends with the smaller
        // entry first and stops, so only the draw itself is needed.
        (void)splitmix64(rng);
        if (a[1].key < a[0].key) std::swap(a[0], a[1]);
        return;
    }
    std::size_t lo = 0;
    std::size_t hi = n - 1;
    for (;;) {
        const std::uint64_t z = splitmix64(rng);
        const std::size_t p = lo + static_cast<std::size_t>(z % static_cast<std::uint64_t>(hi - lo + 1));
        const Key pivot = a[p].key;
        std::swap(a[p], a[hi]);
        auto below_pivot = [&](const Key& x) { return x < pivot; };
        // Lomuto's pass; the leading run below the pivot would only swap entries with themselves.
        std::size_t store = lo;
        while (store < hi && below_pivot(a[store].key)) ++store;
        for (std::size_t j = store + 1; j < hi; ++j) {
            if (below_pivot(a[j].key)) {
                std::swap(a[store], a[j]);
                ++store;
            }
        }
        std::swap(a[store], a[hi]);
        if (store == k - 1) return;
        if (store > k - 1) {
            hi = store - 1;
        } else {
            lo = store + 1;
        }
        if (lo >= hi) return;
    }
}

}  // namespace qh
