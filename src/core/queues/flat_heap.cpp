// flat_heap.cpp: FlatHeap's operations.
#include "core/queues/flat_heap.hpp"

#include "core/stop.hpp"

namespace qh {

void FlatHeap::insert(std::uint32_t vertex, const Key& key, std::uint64_t&) {
    auto [held, added] = best_.try_emplace(vertex, key);
    if (!added) {
        if (*held <= key) return;
        *held = key;
    }
    heap_.push_back(Item{key, vertex});
    std::push_heap(heap_.begin(), heap_.end(), after);
}

void FlatHeap::batch_prepend(std::span<const Entry> entries, std::uint64_t& rng) {
    for (const Entry& e : entries) insert(e.vertex(), e.key, rng);
}

Key FlatHeap::pull(std::uint64_t&, Vec<std::uint32_t>& out) {
    out.clear();
    const std::uint64_t want = std::min<std::uint64_t>(m_, best_.size());
    out.reserve(static_cast<std::size_t>(want));
    while (out.size() < m_ && !heap_.empty()) {
        const Item top = heap_.front();
        pop_top();
        if (!live(top)) continue;
        best_.erase(top.vertex);
        out.push_back(top.vertex);
    }
    while (!heap_.empty()) {
        if (live(heap_.front())) return heap_.front().key;
        pop_top();
    }
    return bound_;
}

void FlatHeap::sanity_check() const {
    const auto fail = [] { internal_stop("FlatHeap invariant violated"); };
    for (std::size_t i = 1; i < heap_.size(); ++i)
        if (after(heap_[(i - 1) / 2], heap_[i])) fail();
    // Every held vertex needs a live entry; count distinct vertices with one.
    IdSet with_live;
    for (const Item& item : heap_) {
        if (live(item)) with_live.insert(item.vertex);
        if (!(item.key < bound_) && live(item)) fail();
    }
    if (with_live.size() != best_.size()) fail();
}

}  // namespace qh
