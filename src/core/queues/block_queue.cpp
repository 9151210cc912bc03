// block_queue.cpp: the operations of BlockDs.
#include "core/queues/block_queue.hpp"

#include <algorithm>
#include <new>

#include "core/stop.hpp"
#include "core/test_hooks.hpp"

namespace qh {

namespace {

// Cuts a[0..n) into chunks of at most `chunk` entries, every key of a chunk below
// every key of a later one, by recursive median splits in place (the lower half
// first). Appends the end offset of every chunk to `ends`, in chunk order.
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

void BlockDs::bury(const Position& at) noexcept {
    Block& b = blocks_[at.block];
    b.entries[at.slot].bury();
    --b.live;
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
    // First position whose bound is >= key (the last bound is B, above every key): the block
    // the last bisection found, when the key falls in its range, else a bisection.
    const auto bound_of = [](const D1Slot& slot) -> const Key& { return slot.bound; };
    std::size_t i = last_found_;
    if (!is_first_bound_not_below(d1_.data(), d1_head_, d1_.size(), i, key, bound_of)) {
        const D1Slot* at = first_bound_not_below(d1_.data() + d1_head_, d1_.size() - d1_head_, key, bound_of);
        i = static_cast<std::size_t>(at - d1_.data());
        last_found_ = i;
    }
    // One probe: the record is created here or, for a held vertex, rewritten in place
    // (the same as deleting it and recording the new slot).
    auto [record, fresh] = positions_.try_emplace(vertex, Position{0, 0});
    if (!fresh) {
        Block& old = blocks_[record->block];
        if (!(key < old.entries[record->slot].key)) return;
        old.entries[record->slot].bury();
        --old.live;
    }
    const std::uint32_t id = d1_[i].id;
    Block& b = blocks_[id];
    b.entries.push_back({vertex, key});
    ++b.live;
    *record = Position{id, static_cast<std::uint32_t>(b.entries.size() - 1)};
    if (b.live > m_) split_d1(i, rng);
}

void BlockDs::fill(std::span<const Entry> entries, std::uint64_t& rng) {
    // Each insert probes the position records at a vertex of its own: start loading a few ahead.
    constexpr std::size_t AHEAD = 8;
    const std::size_t n = entries.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + AHEAD < n) positions_.prefetch(entries[i + AHEAD].vertex());
        insert(entries[i].vertex(), entries[i].key, rng);
    }
}

void BlockDs::record_positions(std::span<const Entry> entries, std::uint32_t id) {
    // Records of a large block lie all over the table: prefetch a few entries ahead.
    constexpr std::size_t AHEAD = 8;
    const std::size_t n = entries.size();
    for (std::size_t s = 0; s < n; ++s) {
        if (s + AHEAD < n) positions_.prefetch(entries[s + AHEAD].vertex());
        positions_.assign(entries[s].vertex(), {id, static_cast<std::uint32_t>(s)});
    }
}

void BlockDs::split_d1(std::size_t i, std::uint64_t& rng) {
    const std::uint32_t old_id = d1_[i].id;
    // The smaller half of the occupied entries, partitioned in place in a reused buffer.
    Vec<Entry>& occupied = split_buf_;
    occupied.clear();
    for (const Entry& e : blocks_[old_id].entries) {
        if (e.vertex() != NO_VERTEX) occupied.push_back(e);
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
    dedup_.clear_listed(dedup_list_.begin(), dedup_list_.end(), [](const Entry& e) { return e.vertex(); });
    dedup_list_.clear();
    for (const Entry& e : entries) {
        auto [index, inserted] = dedup_.try_emplace(e.vertex(), static_cast<std::uint32_t>(dedup_list_.size()));
        if (inserted) {
            dedup_list_.push_back(e);
        } else if (e.key < dedup_list_[*index].key) {
            dedup_list_[*index].key = e.key;
        }
    }
    for (std::size_t j = 0; j < dedup_list_.size(); ++j) {
        if (j + 8 < dedup_list_.size()) positions_.prefetch(dedup_list_[j + 8].vertex());
        const Entry& e = dedup_list_[j];
        Position old{};
        if (positions_.take(e.vertex(), old)) {
            if (!(e.key < blocks_[old.block].entries[old.slot].key)) {
                internal_stop("BatchPrepend: duplicate key with non-smaller value violates the precondition");
            }
            bury(old);
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
        if (e.vertex() == NO_VERTEX) continue;
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
            if (e.vertex() != NO_VERTEX) buf.push_back(e);
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
            if (!positions_.erase(e.vertex())) internal_stop("Pull: pulled vertex without a position record");
            out.push_back(e.vertex());
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
        if (j + 8 < k) positions_.prefetch(buf[j + 8].vertex());
        const std::uint32_t v = buf[j].vertex();
        Position old{};
        if (!positions_.take(v, old)) internal_stop("Pull: pulled vertex without a position record");
        bury(old);
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
            if (e.vertex() == NO_VERTEX) continue;
            ++live;
            const Position* at = positions_.find(e.vertex());
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
            if (e.vertex() != NO_VERTEX && hi < e.key) hi = e.key;
        }
        if (have_prev && !(prev_max < lo)) fail();
        prev_max = hi;
        have_prev = true;
    }
    for (std::size_t p = d1_head_; p < d1_.size(); ++p) {
        check_block(d1_[p].id);
        for (const Entry& e : blocks_[d1_[p].id].entries) {
            if (e.vertex() == NO_VERTEX) continue;
            if (d1_[p].bound < e.key) fail();
            if (p > d1_head_ && e.key <= d1_[p - 1].bound) fail();
        }
    }
    if (live_total != positions_.size()) fail();
    positions_.sanity_check();
    for (std::uint32_t id : free_ids_) {
        if (id >= blocks_.size() || used[id] || blocks_[id].live != 0) fail();
        used[id] = 1;
    }
}

}  // namespace qh
