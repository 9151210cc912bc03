// level_queues.hpp: the frontier queue each recursive level keeps, in the recursion's two kinds.
//
// A level reuses its queue across its calls; `with_queue(M, B, f)` resets it for a call
// with block size M and bound B and hands it to f. The recursion is a template over the
// kind, so each kind's calls are direct:
//   - `BlockQueues`: the block-based queue (block_queue.hpp), with its single-entry form
//     (unit_queue.hpp, the same results) when a level pulls one vertex at a time;
//   - `FlatQueues`: the binary heap (flat_heap.hpp), whatever M.
#pragma once

#include <cstdint>

#include "core/queues/block_queue.hpp"
#include "core/queues/flat_heap.hpp"
#include "core/queues/queue_key.hpp"
#include "core/queues/unit_queue.hpp"

namespace qh {

// The block queue of one level, with its single-entry form for M = 1.
struct BlockQueues {
    BlockDs d{1, KEY_TOP};
    UnitQueue unit;

    template <class F>
    Key with_queue(std::uint64_t m, const Key& bound, F&& f) {
        if (m == 1) {
            unit.reset(bound);
            return f(unit);
        }
        d.reset(m, bound);
        return f(d);
    }
};

// The binary heap of one level, whatever M.
struct FlatQueues {
    FlatHeap d{1, KEY_TOP};

    template <class F>
    Key with_queue(std::uint64_t m, const Key& bound, F&& f) {
        d.reset(m, bound);
        return f(d);
    }
};

}  // namespace qh
