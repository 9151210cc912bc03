// queue_probe.hpp: read access to the keys the BMSSP queues hold, for the tests' models.
#pragma once

#include <cstdint>

#include "core/queues/block_queue.hpp"
#include "core/queues/unit_queue.hpp"

namespace qh {

struct QueueProbe {
    // The key `q` holds for `vertex`, or nullptr.
    static const Key* key_of(const BlockDs& q, std::uint32_t vertex) {
        const BlockDs::Position* at = q.positions_.find(vertex);
        return at == nullptr ? nullptr : &q.blocks_[at->block].entries[at->slot].key;
    }
    static const Key* key_of(const UnitQueue& q, std::uint32_t vertex) {
        const UnitQueue::Held* held = q.held_.find(vertex);
        return held == nullptr ? nullptr : &held->key;
    }
    // True while `q` looks at D1's first two pairs before bisecting.
    static bool looks_at_front(const UnitQueue& q) { return q.front_score_ > 0; }
};

}  // namespace qh
