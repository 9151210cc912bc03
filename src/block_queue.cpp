// block_queue.cpp: quickselect helpers and the operations of BlockDs.
#include "block_queue.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "stop.hpp"
#include "test_hooks.hpp"

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
        const std::int64_t pivot_dist = total_order_bits(pivot.dist);
        std::swap(a[p], a[hi]);
        auto below_pivot = [&](const Key& x) { return key_less(total_order_bits(x.dist), x, pivot_dist, pivot); };
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

std::pair<Vec<Entry>, Vec<Entry>> select_smallest(std::span<const Entry> entries, std::size_t k, std::uint64_t& rng) {
    const std::size_t n = entries.size();
    if (k == 0) return {Vec<Entry>(), Vec<Entry>(entries.begin(), entries.end())};
    if (n <= k) return {Vec<Entry>(entries.begin(), entries.end()), Vec<Entry>()};
    Vec<Entry> copy(entries.begin(), entries.end());
    partition_smallest_in_place(copy, k, rng);
    Vec<Entry> rest(copy.begin() + static_cast<std::ptrdiff_t>(k), copy.end());
    copy.resize(k);
    return {std::move(copy), std::move(rest)};
}

namespace {

// chunk_by_median on a[0..n) in place: selecting into fresh copies and
// recursing on them, as the definition reads, leaves exactly the same order
// and draws as partitioning the sub-range where it lies. Appends the end
// offset of every chunk to `ends`, in chunk order.
void chunk_in_place(std::span<Entry> a, std::size_t offset, std::size_t chunk, std::uint64_t& rng,
                    Vec<std::size_t>& ends) {
    const std::size_t n = a.size();
    if (n == 0) return;
    if (n <= chunk) {
        ends.push_back(offset + n);
        return;
    }
    const std::size_t half = n / 2;
    partition_smallest_in_place(a, half, rng);
    chunk_in_place(a.subspan(0, half), offset, chunk, rng, ends);
    chunk_in_place(a.subspan(half), offset + half, chunk, rng, ends);
}

}  // namespace

Vec<Vec<Entry>> chunk_by_median(std::span<const Entry> entries, std::size_t chunk, std::uint64_t& rng) {
    Vec<Vec<Entry>> chunks;
    if (entries.empty()) return chunks;
    if (chunk == 0) chunk = 1;
    Vec<Entry> work(entries.begin(), entries.end());
    Vec<std::size_t> ends;
    chunk_in_place(work, 0, chunk, rng, ends);
    std::size_t begin = 0;
    for (std::size_t end : ends) {
        chunks.emplace_back(work.begin() + static_cast<std::ptrdiff_t>(begin), work.begin() + static_cast<std::ptrdiff_t>(end));
        begin = end;
    }
    return chunks;
}

BlockDs::BlockDs(std::uint64_t m, Key bound) : m_(m == 0 ? 1 : m), bound_(bound) { d1_restart(); }

void BlockDs::d1_restart() {
    d1_.clear();
    d1_head_ = 0;
    d1_.push_back({bound_, alloc_block({})});
}

void BlockDs::reset(std::uint64_t m, Key bound) {
    m_ = m == 0 ? 1 : m;
    bound_ = bound;
    positions_.clear();
    free_ids_.clear();
    for (std::uint32_t id = 0; id < blocks_.size(); ++id) retire(id);
    d0_.clear();
    d1_restart();
}

void BlockDs::retire(std::uint32_t id) {
    if (test_fault("retire_bad_alloc")) throw std::bad_alloc();
    blocks_[id].entries.clear();
    blocks_[id].live = 0;
    free_ids_.push_back(id);
}

const Key* BlockDs::key_of(std::uint32_t vertex) const noexcept {
    const Position* at = positions_.find(vertex);
    return at == nullptr ? nullptr : &blocks_[at->block].entries[at->slot].key;
}

void BlockDs::remove_recorded(std::uint32_t vertex, const Position& at) noexcept {
    Block& b = blocks_[at.block];
    b.entries[at.slot].vertex = ID_MAP_EMPTY;
    --b.live;
    positions_.erase(vertex);
}

std::uint32_t BlockDs::alloc_block(std::span<const Entry> entries) {
    std::uint32_t id;
    if (!free_ids_.empty()) {
        id = free_ids_.back();
        free_ids_.pop_back();
    } else {
        id = static_cast<std::uint32_t>(blocks_.size());
        blocks_.emplace_back();
    }
    Block& b = blocks_[id];
    b.entries.assign(entries.begin(), entries.end());
    b.live = entries.size();
    return id;
}

void BlockDs::insert(std::uint32_t vertex, const Key& key, std::uint64_t& rng) {
    if (!(key < bound_)) internal_stop("Insert: key not below the queue's bound");
    // First position whose bound is >= key: the count of bounds strictly below it.
    const auto at = std::lower_bound(d1_.begin() + static_cast<std::ptrdiff_t>(d1_head_), d1_.end(), key,
                                     [](const D1Slot& slot, const Key& k) { return slot.bound < k; });
    const std::size_t i = static_cast<std::size_t>(at - d1_.begin());
    // One probe: the record is created here or, for a held vertex, rewritten in place
    // (the same as deleting it and recording the new slot).
    auto [record, fresh] = positions_.try_emplace(vertex, Position{0, 0});
    if (!fresh) {
        Block& old = blocks_[record->block];
        if (!(key < old.entries[record->slot].key)) return;
        old.entries[record->slot].vertex = ID_MAP_EMPTY;
        --old.live;
    }
    const std::uint32_t id = d1_[i].id;
    Block& b = blocks_[id];
    b.entries.push_back({vertex, key});
    ++b.live;
    *record = Position{id, static_cast<std::uint32_t>(b.entries.size() - 1)};
    if (b.live > m_) split_d1(i, rng);
}

void BlockDs::record_positions(std::span<const Entry> entries, std::uint32_t id) {
    // Records of a large block lie all over the table: prefetch a few entries ahead.
    constexpr std::size_t AHEAD = 8;
    const std::size_t n = entries.size();
    for (std::size_t s = 0; s < n; ++s) {
        if (s + AHEAD < n) positions_.prefetch(entries[s + AHEAD].vertex);
        positions_.assign(entries[s].vertex, {id, static_cast<std::uint32_t>(s)});
    }
}

void BlockDs::split_d1(std::size_t i, std::uint64_t& rng) {
    const std::uint32_t old_id = d1_[i].id;
    // select_smallest on the occupied entries, partitioned in place in a reused buffer.
    Vec<Entry>& occupied = split_buf_;
    occupied.clear();
    for (const Entry& e : blocks_[old_id].entries) {
        if (e.vertex != ID_MAP_EMPTY) occupied.push_back(e);
    }
    const std::size_t half = occupied.size() / 2;
    partition_smallest_in_place(occupied, half, rng);
    const std::span<const Entry> lower(occupied.data(), half);
    const std::span<const Entry> upper(occupied.data() + half, occupied.size() - half);
    Key lower_bound = lower.front().key;
    for (const Entry& e : lower) {
        if (lower_bound < e.key) lower_bound = e.key;
    }
    // Retire the old block first: nothing points into it once the records are rewritten,
    // and its storage may serve one of the halves.
    retire(old_id);
    const std::uint32_t lower_id = alloc_block(lower);
    const std::uint32_t upper_id = alloc_block(upper);
    const Key old_bound = d1_[i].bound;
    d1_[i] = {lower_bound, lower_id};
    d1_.insert(d1_.begin() + static_cast<std::ptrdiff_t>(i + 1), D1Slot{old_bound, upper_id});
    record_positions(lower, lower_id);
    record_positions(upper, upper_id);
}

void BlockDs::batch_prepend(std::span<const Entry> entries, std::uint64_t& rng) {
    dedup_.clear_listed(dedup_list_.begin(), dedup_list_.end(), [](const Entry& e) { return e.vertex; });
    dedup_list_.clear();
    for (const Entry& e : entries) {
        auto [index, inserted] = dedup_.try_emplace(e.vertex, static_cast<std::uint32_t>(dedup_list_.size()));
        if (inserted) {
            dedup_list_.push_back(e);
        } else if (e.key < dedup_list_[*index].key) {
            dedup_list_[*index].key = e.key;
        }
    }
    for (std::size_t j = 0; j < dedup_list_.size(); ++j) {
        if (j + 8 < dedup_list_.size()) positions_.prefetch(dedup_list_[j + 8].vertex);
        const Entry& e = dedup_list_[j];
        if (const Position* at = positions_.find(e.vertex)) {
            if (!(e.key < blocks_[at->block].entries[at->slot].key)) {
                internal_stop("BatchPrepend: duplicate key with non-smaller value violates the precondition");
            }
            const Position old = *at;
            remove_recorded(e.vertex, old);
        }
    }
    if (dedup_list_.empty()) return;
    Vec<std::size_t>& ends = chunk_ends_;
    ends.clear();
    if (dedup_list_.size() <= m_) {
        ends.push_back(dedup_list_.size());
    } else {
        const std::size_t chunk = static_cast<std::size_t>(std::max<std::uint64_t>(1, m_ - m_ / 2));
        chunk_in_place(dedup_list_, 0, chunk, rng, ends);
    }
    for (std::size_t c = ends.size(); c-- > 0;) {
        const std::size_t begin = c == 0 ? 0 : ends[c - 1];
        const std::span<const Entry> part(dedup_list_.data() + begin, ends[c] - begin);
        const std::uint32_t id = alloc_block(part);
        record_positions(part, id);
        d0_.push_back(id);
    }
}

Key BlockDs::smallest_live(const Block& b) const noexcept {
    Key best = KEY_TOP;
    bool any = false;
    for (const Entry& e : b.entries) {
        if (e.vertex == ID_MAP_EMPTY) continue;
        if (!any || e.key < best) best = e.key;
        any = true;
    }
    return best;
}

Key BlockDs::pull(std::uint64_t& rng, Vec<std::uint32_t>& out) {
    out.clear();
    Vec<Entry>& buf = pull_buf_;
    buf.clear();
    auto collect = [&](const Block& b) {
        for (const Entry& e : b.entries) {
            if (e.vertex != ID_MAP_EMPTY) buf.push_back(e);
        }
    };
    // D0 phase, front (the back of d0_) first.
    bool d0_all = true;
    for (std::size_t p = d0_.size(); p-- > 0;) {
        const Block& b = blocks_[d0_[p]];
        if (b.live == 0) continue;
        collect(b);
        if (buf.size() >= m_) {
            d0_all = p == 0;
            break;
        }
    }
    // D1 phase: counts only what it adds itself.
    bool d1_all = true;
    const std::size_t before_d1 = buf.size();
    for (std::size_t p = d1_head_; p < d1_.size(); ++p) {
        const Block& b = blocks_[d1_[p].id];
        if (b.live == 0) continue;
        collect(b);
        if (buf.size() - before_d1 >= m_) {
            d1_all = p + 1 == d1_.size();
            break;
        }
    }

    if (d0_all && d1_all && buf.size() <= m_) {
        // Full drain: the buffer holds every live entry.
        for (const Entry& e : buf) {
            if (!positions_.erase(e.vertex)) internal_stop("Pull: pulled vertex without a position record");
            out.push_back(e.vertex);
        }
        if (!positions_.empty()) internal_stop("Pull: full drain left vertices behind");
        free_ids_.clear();
        for (std::uint32_t id = 0; id < blocks_.size(); ++id) retire(id);
        d0_.clear();
        d1_restart();
        return bound_;
    }

    if (buf.size() > m_) partition_smallest_in_place(buf, static_cast<std::size_t>(m_), rng);
    const std::size_t k = std::min<std::size_t>(buf.size(), static_cast<std::size_t>(m_));
    for (std::size_t j = 0; j < k; ++j) {
        if (j + 8 < k) positions_.prefetch(buf[j + 8].vertex);
        const std::uint32_t v = buf[j].vertex;
        const Position* at = positions_.find(v);
        if (at == nullptr) internal_stop("Pull: pulled vertex without a position record");
        const Position old = *at;
        remove_recorded(v, old);
        out.push_back(v);
    }
    while (!d0_.empty() && blocks_[d0_.back()].live == 0) {
        retire(d0_.back());
        d0_.pop_back();
    }
    while (d1_.size() - d1_head_ >= 2 && blocks_[d1_[d1_head_].id].live == 0) {
        retire(d1_[d1_head_].id);
        ++d1_head_;
    }
    if (d1_head_ > 32 && 2 * d1_head_ > d1_.size()) {
        d1_.erase(d1_.begin(), d1_.begin() + static_cast<std::ptrdiff_t>(d1_head_));
        d1_head_ = 0;
    }
    bool have = false;
    Key x = bound_;
    for (std::size_t p = d0_.size(); p-- > 0;) {
        if (blocks_[d0_[p]].live == 0) continue;
        x = smallest_live(blocks_[d0_[p]]);
        have = true;
        break;
    }
    for (std::size_t p = d1_head_; p < d1_.size(); ++p) {
        if (blocks_[d1_[p].id].live == 0) continue;
        const Key y = smallest_live(blocks_[d1_[p].id]);
        if (!have || y < x) x = y;
        have = true;
        break;
    }
    return have ? x : bound_;
}

void BlockDs::sanity_check() const {
    auto fail = [] { internal_stop("BlockDs invariant violated"); };
    if (d1_head_ >= d1_.size()) fail();
    if (!(d1_.back().bound == bound_)) fail();
    for (std::size_t i = d1_head_ + 1; i < d1_.size(); ++i) {
        if (!(d1_[i - 1].bound < d1_[i].bound)) fail();
    }
    Vec<std::uint8_t> used(blocks_.size(), 0);
    std::size_t live_total = 0;
    auto check_block = [&](std::uint32_t id) {
        if (id >= blocks_.size() || used[id]) fail();
        used[id] = 1;
        const Block& b = blocks_[id];
        std::uint64_t live = 0;
        for (std::uint32_t s = 0; s < b.entries.size(); ++s) {
            const Entry& e = b.entries[s];
            if (e.vertex == ID_MAP_EMPTY) continue;
            ++live;
            const Position* at = positions_.find(e.vertex);
            if (at == nullptr || at->block != id || at->slot != s) fail();
            if (!(e.key < bound_)) fail();
        }
        if (live != b.live || live > m_) fail();
        live_total += live;
    };
    // D0: every key of a block below every key of the blocks behind it.
    bool have_prev = false;
    Key prev_max{};
    for (std::size_t p = d0_.size(); p-- > 0;) {
        check_block(d0_[p]);
        const Block& b = blocks_[d0_[p]];
        if (b.live == 0) continue;
        Key lo = smallest_live(b);
        Key hi = lo;
        for (const Entry& e : b.entries) {
            if (e.vertex != ID_MAP_EMPTY && hi < e.key) hi = e.key;
        }
        if (have_prev && !(prev_max < lo)) fail();
        prev_max = hi;
        have_prev = true;
    }
    for (std::size_t p = d1_head_; p < d1_.size(); ++p) {
        check_block(d1_[p].id);
        for (const Entry& e : blocks_[d1_[p].id].entries) {
            if (e.vertex == ID_MAP_EMPTY) continue;
            if (d1_[p].bound < e.key) fail();
            if (p > d1_head_ && e.key <= d1_[p - 1].bound) fail();
        }
    }
    if (live_total != positions_.size()) fail();
    for (std::uint32_t id : free_ids_) {
        if (id >= blocks_.size() || used[id] || blocks_[id].live != 0) fail();
        used[id] = 1;
    }
}

}  // namespace qh

// --- UnitQueue --------------------------------------------------------------------

namespace qh {

namespace {

// chunk_in_place with chunk 1: the same partitions, draws and final order, without
// recording chunk ends (every chunk is one entry).
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
    d1_[d1_lo_] = {bound_, ID_MAP_EMPTY, 0};
}

void UnitQueue::reset(Key bound) {
    bound_ = bound;
    held_.clear();
    d0_.clear();
    d1_restart();
}

const Key* UnitQueue::key_of(std::uint32_t vertex) const noexcept {
    const Held* h = held_.find(vertex);
    return h == nullptr ? nullptr : &h->key;
}

std::size_t UnitQueue::d1_find(const Key& key) const noexcept {
    // Bisection for the first pair whose bound is >= key (bound B is above every key);
    // the key's dist is mapped to its totalOrder bits once.
    const std::int64_t kd = total_order_bits(key.dist);
    const D1Pair* base = d1_.data() + d1_lo_;
    std::size_t len = d1_hi_ - d1_lo_;
    while (len > 1) {
        const std::size_t half = len / 2;
        const Key& b = base[half - 1].bound;
        if (key_less(total_order_bits(b.dist), b, kd, key)) base += half;
        len -= half;
    }
    return static_cast<std::size_t>(base - d1_.data());
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
            std::copy(d1_.begin() + static_cast<std::ptrdiff_t>(d1_lo_), d1_.begin() + static_cast<std::ptrdiff_t>(d1_hi_),
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
    std::uint32_t* at;
    if (held.d0_index != IN_D1) {
        at = &d0_[held.d0_index].vertex;
    } else {
        const std::size_t i = d1_find(held.key);
        at = i < d1_hi_ ? &d1_[i].vertex : nullptr;
    }
    if (at == nullptr || *at != vertex || test_fault("unit_queue_stop"))
        internal_stop("UnitQueue: held vertex missing from its block");
    *at = ID_MAP_EMPTY;
}

void UnitQueue::insert(std::uint32_t vertex, const Key& key, std::uint64_t& rng) {
    if (!(key < bound_)) internal_stop("Insert: key not below the queue's bound");
    const std::size_t i = d1_find(key);
    auto [held, fresh] = held_.try_emplace(vertex, Held{key, IN_D1});
    if (!fresh) {
        if (!(key < held->key)) return;
        drop(vertex, *held);
        *held = Held{key, IN_D1};
    }
    D1Pair& pair = d1_[i];
    if (pair.vertex == ID_MAP_EMPTY) {
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
        for (const Entry& e : entries) insert(e.vertex, e.key, rng);
    };
    const bool fresh = held_.empty() && d0_.empty() && d1_hi_ - d1_lo_ == 1;
    const std::size_t n = entries.size();
    if (!fresh || n < 2) return one_by_one();
    for (const Entry& e : entries) {
        if (!(e.key < bound_)) return one_by_one();  // insert stops at it, after the ones before
    }
    batch_.assign(entries.begin(), entries.end());
    std::sort(batch_.begin(), batch_.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    for (std::size_t i = 1; i < n; ++i) {
        // Equal keys split in an order of their own.
        if (batch_[i].key == batch_[i - 1].key) return one_by_one();
    }
    for (const Entry& e : entries) {
        if (!held_.try_emplace(e.vertex, Held{e.key, IN_D1}).second) {
            held_.clear();  // a repeated vertex: its second insert is a decrease or nothing
            return one_by_one();
        }
    }
    // Pairs in key order, each bounded by its own key except the last, which keeps B.
    if (d1_.size() < 2 * n + 64) d1_.resize(2 * n + 64);
    d1_lo_ = d1_.size() / 2 - n / 2;
    d1_hi_ = d1_lo_ + n;
    for (std::size_t i = 0; i + 1 < n; ++i) d1_[d1_lo_ + i] = {batch_[i].key, batch_[i].vertex, 1};
    d1_[d1_hi_ - 1] = {bound_, batch_[n - 1].vertex, 0};
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
                if (b.vertex == e.vertex) {
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
            auto [index, inserted] = batch_index_.try_emplace(e.vertex, static_cast<std::uint32_t>(batch_.size()));
            if (inserted) {
                batch_.push_back(e);
            } else if (e.key < batch_[*index].key) {
                batch_[*index].key = e.key;
            }
        }
    }
    for (const Entry& e : batch_) {
        if (const Held* h = held_.find(e.vertex)) {
            if (!(e.key < h->key)) {
                internal_stop("BatchPrepend: duplicate key with non-smaller value violates the precondition");
            }
            drop(e.vertex, *h);
            held_.erase(e.vertex);
        }
    }
    sort_by_median(batch_, rng);
    for (std::size_t c = batch_.size(); c-- > 0;) {
        held_.assign(batch_[c].vertex, Held{batch_[c].key, static_cast<std::uint32_t>(d0_.size())});
        d0_.push_back(batch_[c]);
    }
}

Key UnitQueue::pull(std::uint64_t& rng, Vec<std::uint32_t>& out) {
    out.clear();
    std::size_t p0 = d0_.size();
    while (p0 > 0 && d0_[p0 - 1].vertex == ID_MAP_EMPTY) --p0;
    std::size_t p1 = d1_lo_;
    while (p1 < d1_hi_ && d1_[p1].vertex == ID_MAP_EMPTY) ++p1;
    const bool have0 = p0 > 0;
    const bool have1 = p1 < d1_hi_;
    // BlockDs drains everything at once when what it found is all there is.
    const bool d0_all = !have0 || p0 == 1;
    const bool d1_all = !have1 || p1 + 1 == d1_hi_;
    if (d0_all && d1_all && !(have0 && have1)) {
        if (have0 || have1) {
            const std::uint32_t v = have0 ? d0_[p0 - 1].vertex : d1_[p1].vertex;
            if (!held_.erase(v)) internal_stop("Pull: pulled vertex without a position record");
            out.push_back(v);
        }
        if (!held_.empty()) internal_stop("Pull: full drain left vertices behind");
        d0_.clear();
        d1_restart();
        return bound_;
    }
    std::uint32_t* take;
    if (have0 && have1) {
        (void)splitmix64(rng);  // selecting the smaller of two
        take = pair_key(d1_[p1]) < d0_[p0 - 1].key ? &d1_[p1].vertex : &d0_[p0 - 1].vertex;
    } else {
        take = have0 ? &d0_[p0 - 1].vertex : &d1_[p1].vertex;
    }
    if (!held_.erase(*take)) internal_stop("Pull: pulled vertex without a position record");
    out.push_back(*take);
    *take = ID_MAP_EMPTY;

    while (!d0_.empty() && d0_.back().vertex == ID_MAP_EMPTY) d0_.pop_back();
    while (d1_hi_ - d1_lo_ >= 2 && d1_[d1_lo_].vertex == ID_MAP_EMPTY) ++d1_lo_;
    bool have = false;
    Key x = bound_;
    if (!d0_.empty()) {
        x = d0_.back().key;
        have = true;
    }
    // The front of D1 is now occupied, or the only block left.
    const D1Pair& front = d1_[d1_lo_];
    if (front.vertex != ID_MAP_EMPTY) {
        const Key& y = pair_key(front);
        if (!have || y < x) x = y;
        have = true;
    }
    return have ? x : bound_;
}

}  // namespace qh
