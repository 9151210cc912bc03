// queue_key.cpp: the branch-free sort and the seeded quickselect of the BMSSP queues.
#include "core/queues/queue_key.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/stop.hpp"

namespace qh {

namespace {

[[gnu::always_inline]] inline std::size_t below(const Entry& a, const Entry& b) noexcept {
    return below_value(a.key, b.key);
}

// t ? a : b, by arithmetic.
[[gnu::always_inline]] inline const Entry* pick(const Entry* a, const Entry* b, std::size_t t) noexcept {
    return b + ((a - b) & -static_cast<std::ptrdiff_t>(t));
}

[[gnu::always_inline]] inline void order_pair(Entry& a, Entry& b) noexcept {
    const std::size_t swap = below(b, a);
    const Entry lo = *pick(&b, &a, swap);
    const Entry hi = *pick(&a, &b, swap);
    a = lo;
    b = hi;
}

// Sorts runs of 2 to 4 entries with a sorting network (any shorter run is already sorted).
void sort_short(Entry* p, std::size_t n) noexcept {
    if (n == 4) {
        order_pair(p[0], p[1]);
        order_pair(p[2], p[3]);
        order_pair(p[0], p[2]);
        order_pair(p[1], p[3]);
        order_pair(p[1], p[2]);
    } else if (n == 3) {
        order_pair(p[1], p[2]);
        order_pair(p[0], p[2]);
        order_pair(p[0], p[1]);
    } else if (n == 2) {
        order_pair(p[0], p[1]);
    }
}

// The merge of two sorted runs left = [a, a + na) and right = [b, b + nb), whose lengths
// differ by at most one, into out. It takes from both ends at once, which doubles the
// independent work per step: the front takes the smaller head (the left one on a tie), the
// back the larger tail (the right one on a tie). For min(na, nb) steps neither end can run
// out of a run, so the steps need no bounds test, and they leave |na - nb| entries.
class Merge {
public:
    Merge(const Entry* a, std::size_t na, const Entry* b, std::size_t nb, Entry* out) noexcept
        : l_(a), r_(b), le_(a + na - 1), re_(b + nb - 1), o_(out), oe_(out + na + nb - 1), steps_(std::min(na, nb)) {}

    std::size_t steps() const noexcept { return steps_; }

    [[gnu::always_inline]] void step() noexcept {
        const std::size_t front_right = below(*r_, *l_);
        *o_++ = *pick(r_, l_, front_right);
        r_ += front_right;
        l_ += 1 - front_right;
        const std::size_t back_left = below(*re_, *le_);
        *oe_-- = *pick(le_, re_, back_left);
        le_ -= back_left;
        re_ -= 1 - back_left;
    }

    // Places the entry left after the steps, if any.
    void finish() noexcept {
        if (o_ == oe_) *o_ = l_ <= le_ ? *l_ : *r_;
    }

private:
    const Entry* l_;
    const Entry* r_;
    const Entry* le_;
    const Entry* re_;
    Entry* o_;
    Entry* oe_;
    std::size_t steps_;
};

}  // namespace

void sort_by_key(std::span<Entry> a, std::span<Entry> scratch) {
    const std::size_t n = a.size();
    if (scratch.size() < n) internal_stop("sort_by_key: scratch shorter than the entries");
    if (n <= 4) return sort_short(a.data(), n);
    // Runs of n / runs entries, rounded either way, so that every merge joins two runs whose
    // lengths differ by at most one and nearly all of it is two-ended steps. Run i of a
    // level with `runs` runs starts at i * n / runs.
    std::size_t runs = 1;
    while (4 * runs < n) runs *= 2;
    const auto start = [n](std::size_t i, std::size_t of) { return i * n / of; };
    for (std::size_t i = 0; i < runs; ++i) {
        sort_short(a.data() + start(i, runs), start(i + 1, runs) - start(i, runs));
    }
    Entry* from = a.data();
    Entry* to = scratch.data();
    for (; runs > 1; runs /= 2) {
        // Two merges at a time, interleaved step by step: four independent chains of
        // loads and comparisons instead of two.
        std::size_t j = 0;
        auto merge_of = [&](std::size_t pair) {
            const std::size_t lo = start(2 * pair, runs);
            const std::size_t mid = start(2 * pair + 1, runs);
            const std::size_t hi = start(2 * pair + 2, runs);
            return Merge(from + lo, mid - lo, from + mid, hi - mid, to + lo);
        };
        for (; j + 2 <= runs / 2; j += 2) {
            Merge x = merge_of(j);
            Merge y = merge_of(j + 1);
            const std::size_t both = std::min(x.steps(), y.steps());
            for (std::size_t s = 0; s < both; ++s) {
                x.step();
                y.step();
            }
            for (std::size_t s = both; s < x.steps(); ++s) x.step();
            for (std::size_t s = both; s < y.steps(); ++s) y.step();
            x.finish();
            y.finish();
        }
        if (j < runs / 2) {
            Merge x = merge_of(j);
            for (std::size_t s = 0; s < x.steps(); ++s) x.step();
            x.finish();
        }
        std::swap(from, to);
    }
    if (from != a.data()) std::memcpy(a.data(), from, n * sizeof(Entry));
}

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
