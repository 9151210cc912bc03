// unit_queue.cpp: the operations of UnitQueue.
#include "core/queues/unit_queue.hpp"

#include <algorithm>
#include <cstring>

#include "core/stop.hpp"
#include "core/test_hooks.hpp"

namespace qh {

namespace {

// BlockDs's chunking of a batch with chunk size 1: the same partitions, draws and
// final order, without recording chunk ends (every chunk is one entry).
void sort_by_median(std::span<Entry> a, std::uint64_t& rng) {
    const std::size_t n = a.size();
    if (n <= 1) return;
    const std::size_t half = n / 2;
    partition_smallest_in_place(a, half, rng);
    sort_by_median(a.subspan(0, half), rng);
    sort_by_median(a.subspan(half), rng);
}

}  // namespace

UnitQueue::UnitQueue(Key bound) : bound_(bound) { d1_restart(); }

void UnitQueue::d1_restart() {
    if (d1_.size() < 64) d1_.resize(64);
    // Start a little in from the left: most splits open room behind the front.
    d1_lo_ = d1_.size() / 4;
    d1_hi_ = d1_lo_ + 1;
    d1_[d1_lo_] = {bound_, NO_VERTEX, 0};
}

void UnitQueue::reset(Key bound) {
    bound_ = bound;
    held_.clear();
    d0_.clear();
    d1_restart();
}

[[gnu::always_inline]] inline std::size_t UnitQueue::d1_find(const Key& key) const noexcept {
    // The first pair whose bound is >= key (bound B is above every key).
    const std::size_t len = d1_hi_ - d1_lo_;
    const D1Pair* first = d1_.data() + d1_lo_;
    const auto bound_of = [](const D1Pair& pair) -> const Key& { return pair.bound; };
    if (is_first_bound_not_below(d1_.data(), d1_lo_, d1_hi_, last_found_, key, bound_of)) return last_found_;
    if (front_score_ > 0 && len >= 2 && !(first[1].bound < key)) return d1_lo_ + below_value(first[0].bound, key);
    const D1Pair* found = first_bound_not_below(first, len, key, bound_of);
    return static_cast<std::size_t>(found - d1_.data());
}

std::size_t UnitQueue::d1_open_after(std::size_t i) {
    const std::size_t before = i + 1 - d1_lo_;  // pairs up to and including i
    const std::size_t after = d1_hi_ - (i + 1);
    const bool left = before <= after;
    if (left ? d1_lo_ == 0 : d1_hi_ == d1_.size()) {
        // No room on the shorter side: recentre, in a buffer with room for as many again.
        const std::size_t count = d1_hi_ - d1_lo_;
        const std::size_t lo = std::max<std::size_t>(d1_.size(), 2 * count + 64) / 2 - count / 2;
        if (2 * count + 64 > d1_.size()) {
            Vec<D1Pair> grown(2 * count + 64);
            std::copy(d1_.begin() + static_cast<std::ptrdiff_t>(d1_lo_),
                      d1_.begin() + static_cast<std::ptrdiff_t>(d1_hi_),
                      grown.begin() + static_cast<std::ptrdiff_t>(lo));
            d1_.swap(grown);
        } else {
            std::memmove(d1_.data() + lo, d1_.data() + d1_lo_, count * sizeof(D1Pair));
        }
        i = i - d1_lo_ + lo;
        d1_lo_ = lo;
        d1_hi_ = lo + count;
    }
    D1Pair* p = d1_.data();
    if (left) {
        std::memmove(p + d1_lo_ - 1, p + d1_lo_, before * sizeof(D1Pair));
        --d1_lo_;
        return i - 1;
    }
    std::memmove(p + i + 2, p + i + 1, after * sizeof(D1Pair));
    ++d1_hi_;
    return i;
}

const Key& UnitQueue::held_key(std::uint32_t vertex) const {
    const Held* h = held_.find(vertex);
    if (h == nullptr) internal_stop("UnitQueue: block entry without a held key");
    return h->key;
}

void UnitQueue::drop(std::uint32_t vertex, const Held& held) {
    bool found;
    if (held.d0_index != IN_D1) {
        Entry& e = d0_[held.d0_index];
        found = e.vertex() == vertex;
        if (found) e.bury();
    } else {
        const std::size_t i = d1_find(held.key);
        found = i < d1_hi_ && d1_[i].vertex == vertex;
        if (found) d1_[i].vertex = NO_VERTEX;
    }
    if (!found || test_fault("unit_queue_stop")) internal_stop("UnitQueue: held vertex missing from its block");
}

void UnitQueue::insert(std::uint32_t vertex, const Key& key, std::uint64_t& rng) {
    if (!(key < bound_)) internal_stop("Insert: key not below the queue's bound");
    const std::size_t i = d1_find(key);
    last_found_ = i;
    const bool at_front = i - d1_lo_ <= 1;
    front_score_ = std::clamp(front_score_ + (at_front ? 1 : -1), -FRONT_SCORE_CAP, FRONT_SCORE_CAP);
    auto [held, fresh] = held_.try_emplace(vertex, Held{key, IN_D1});
    if (!fresh) {
        if (!(key < held->key)) return;
        drop(vertex, *held);
        *held = Held{key, IN_D1};
    }
    D1Pair& pair = d1_[i];
    if (pair.vertex == NO_VERTEX) {
        pair.vertex = vertex;
        pair.key_is_bound = key == pair.bound ? 1 : 0;
        return;
    }
    // A second live entry: split into the smaller (bounded by its own key) and the larger
    // (keeping the old bound). Selecting one of two costs exactly one draw.
    (void)splitmix64(rng);
    const D1Pair old = pair;
    const Key& old_key = pair_key(old);
    D1Pair lower;
    D1Pair upper;
    if (key < old_key) {
        lower = {key, vertex, 1};
        upper = old;
    } else {
        lower = {old_key, old.vertex, 1};
        upper = {old.bound, vertex, key == old.bound ? 1u : 0u};
    }
    const std::size_t at = d1_open_after(i);
    d1_[at] = lower;
    d1_[at + 1] = upper;
}

void UnitQueue::fill(std::span<const Entry> entries, std::uint64_t& rng) {
    auto one_by_one = [&] {
        for (const Entry& e : entries) insert(e.vertex(), e.key, rng);
    };
    const bool fresh = held_.empty() && d0_.empty() && d1_hi_ - d1_lo_ == 1;
    const std::size_t n = entries.size();
    if (!fresh || n < 2) return one_by_one();
    for (const Entry& e : entries) {
        if (!(e.key < bound_)) return one_by_one();  // insert stops at it, after the ones before
    }
    // Keys hold their vertex, so equal keys (which would split in an order of their own) are
    // a repeated vertex, and its second insert is a decrease or nothing: both go one by one.
    for (const Entry& e : entries) {
        if (!held_.try_emplace(e.vertex(), Held{e.key, IN_D1}).second) {
            held_.clear();
            return one_by_one();
        }
    }
    batch_.assign(entries.begin(), entries.end());
    if (sort_scratch_.size() < n) sort_scratch_.resize(n);
    sort_by_key(batch_, sort_scratch_);
    // Pairs in key order, each bounded by its own key except the last, which keeps B.
    if (d1_.size() < 2 * n + 64) d1_.resize(2 * n + 64);
    d1_lo_ = d1_.size() / 2 - n / 2;
    d1_hi_ = d1_lo_ + n;
    for (std::size_t i = 0; i + 1 < n; ++i) d1_[d1_lo_ + i] = {batch_[i].key, batch_[i].vertex(), 1};
    d1_[d1_hi_ - 1] = {bound_, batch_[n - 1].vertex(), 0};
    splitmix64_skip(rng, n - 1);
}

void UnitQueue::batch_prepend(std::span<const Entry> entries, std::uint64_t& rng) {
    if (entries.empty()) return;
    // Deduplicate in first-seen order, keeping each vertex's smallest key.
    batch_.clear();
    if (entries.size() <= 16) {
        for (const Entry& e : entries) {
            bool seen = false;
            for (Entry& b : batch_) {
                if (b.vertex() == e.vertex()) {
                    if (e.key < b.key) b.key = e.key;
                    seen = true;
                    break;
                }
            }
            if (!seen) batch_.push_back(e);
        }
    } else {
        batch_index_.clear();
        for (const Entry& e : entries) {
            auto [index, inserted] = batch_index_.try_emplace(e.vertex(), static_cast<std::uint32_t>(batch_.size()));
            if (inserted) {
                batch_.push_back(e);
            } else if (e.key < batch_[*index].key) {
                batch_[*index].key = e.key;
            }
        }
    }
    for (const Entry& e : batch_) {
        Held h{};
        if (held_.take(e.vertex(), h)) {
            if (!(e.key < h.key)) {
                internal_stop("BatchPrepend: duplicate key with non-smaller value violates the precondition");
            }
            drop(e.vertex(), h);
        }
    }
    sort_by_median(batch_, rng);
    for (std::size_t c = batch_.size(); c-- > 0;) {
        held_.assign(batch_[c].vertex(), Held{batch_[c].key, static_cast<std::uint32_t>(d0_.size())});
        d0_.push_back(batch_[c]);
    }
}

Key UnitQueue::pull(std::uint64_t& rng, Vec<std::uint32_t>& out) {
    out.clear();
    std::size_t p0 = d0_.size();
    while (p0 > 0 && d0_[p0 - 1].vertex() == NO_VERTEX) --p0;
    std::size_t p1 = d1_lo_;
    while (p1 < d1_hi_ && d1_[p1].vertex == NO_VERTEX) ++p1;
    const bool have0 = p0 > 0;
    const bool have1 = p1 < d1_hi_;
    // BlockDs drains everything at once when what it found is all there is.
    const bool d0_all = !have0 || p0 == 1;
    const bool d1_all = !have1 || p1 + 1 == d1_hi_;
    if (d0_all && d1_all && !(have0 && have1)) {
        if (have0 || have1) {
            const std::uint32_t v = have0 ? d0_[p0 - 1].vertex() : d1_[p1].vertex;
            if (!held_.erase(v)) internal_stop("Pull: pulled vertex without a position record");
            out.push_back(v);
        }
        if (!held_.empty()) internal_stop("Pull: full drain left vertices behind");
        d0_.clear();
        d1_restart();
        return bound_;
    }
    bool from_d1 = have1;
    if (have0 && have1) {
        (void)splitmix64(rng);  // selecting the smaller of two
        from_d1 = pair_key(d1_[p1]) < d0_[p0 - 1].key;
    }
    const std::uint32_t v = from_d1 ? d1_[p1].vertex : d0_[p0 - 1].vertex();
    if (!held_.erase(v)) internal_stop("Pull: pulled vertex without a position record");
    out.push_back(v);
    if (from_d1) {
        d1_[p1].vertex = NO_VERTEX;
    } else {
        d0_[p0 - 1].bury();
    }

    while (!d0_.empty() && d0_.back().vertex() == NO_VERTEX) d0_.pop_back();
    while (d1_hi_ - d1_lo_ >= 2 && d1_[d1_lo_].vertex == NO_VERTEX) ++d1_lo_;
    bool have = false;
    Key x = bound_;
    if (!d0_.empty()) {
        x = d0_.back().key;
        have = true;
    }
    // The front of D1 is now occupied, or the only block left.
    const D1Pair& front = d1_[d1_lo_];
    if (front.vertex != NO_VERTEX) {
        const Key& y = pair_key(front);
        if (!have || y < x) x = y;
        have = true;
    }
    return have ? x : bound_;
}

void UnitQueue::sanity_check() const {
    const auto fail = [] { internal_stop("UnitQueue invariant violated"); };
    // D1: a non-empty window of pairs with rising bounds, the last one B.
    if (!(d1_lo_ < d1_hi_ && d1_hi_ <= d1_.size()) || !(d1_[d1_hi_ - 1].bound == bound_)) fail();
    std::size_t occupied = 0;
    for (std::size_t i = d1_lo_; i < d1_hi_; ++i) {
        const D1Pair& pair = d1_[i];
        if (i > d1_lo_ && !(d1_[i - 1].bound < pair.bound)) fail();
        if (pair.vertex == NO_VERTEX) continue;
        ++occupied;
        // Its vertex is held in D1 with a key in (previous bound, bound], found there by d1_find.
        const Held* h = held_.find(pair.vertex);
        if (h == nullptr || h->d0_index != IN_D1 || !(h->key < bound_)) fail();
        if (!(h->key <= pair.bound) || (i > d1_lo_ && h->key <= d1_[i - 1].bound)) fail();
        if (pair.key_is_bound != 0 && !(h->key == pair.bound)) fail();
        if (d1_find(h->key) != i) fail();
    }
    // D0: every occupied entry held at its index with its key, smallest at the back.
    bool have_prev = false;
    Key prev{};
    for (std::size_t i = 0; i < d0_.size(); ++i) {
        const Entry& e = d0_[i];
        if (e.vertex() == NO_VERTEX) continue;
        ++occupied;
        const Held* h = held_.find(e.vertex());
        if (h == nullptr || h->d0_index != i || !(h->key == e.key) || !(e.key < bound_)) fail();
        if (have_prev && !(e.key < prev)) fail();
        prev = e.key;
        have_prev = true;
    }
    if (occupied != held_.size()) fail();
    held_.sanity_check();
}

}  // namespace qh
