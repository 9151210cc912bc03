// key_heap.cpp: the cold paths of KeyHeap.
#include "core/queues/key_heap.hpp"

#include <algorithm>

#include "core/stop.hpp"

namespace qh {

void KeyHeap::reserve_cold() {
    const std::size_t additional = std::max<std::size_t>(len_ / 2, 64);
    const auto grow = [&](auto& array) {
        if (array.size() - len_ < additional) array.resize(std::max(array.size() * 2, len_ + additional));
    };
    grow(dist_);
    grow(hops_);
    grow(vertex_);
}

void KeyHeap::sanity_check() const {
    const auto fail = [] { internal_stop("KeyHeap invariant violated"); };
    if (hops_.size() != dist_.size() || vertex_.size() != dist_.size() || len_ > dist_.size()) fail();
    for (std::size_t i = 1; i < len_; ++i) {
        const std::size_t p = (i - 1) / 4;
        if (entry_less(total_order_bits(dist_[i]), hops_[i], vertex_[i], total_order_bits(dist_[p]), hops_[p],
                       vertex_[p]))
            fail();
    }
}

}  // namespace qh
