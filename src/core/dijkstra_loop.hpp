// dijkstra_loop.hpp: the main loop of Dijkstra's algorithm, written once for
// the baseline run (dijkstra.cpp) and the extended searches (search.cpp).
//
// The loop pops the heap's minimum, skips it when stale, and relaxes the
// out-arcs of the vertex in increasing position; a relaxation needs a strict
// improvement. What the variants add hangs on three hooks, which the baseline
// fills with constants so that they compile away:
//   admit(nd)      may a tentative distance nd be recorded at all (a limit);
//   relaxed(v, u)  v's distance was just lowered from u (predecessors, sources);
//   settle(u)      u is final; false ends the search (targets).
// Beside settle, a local countdown reads the installed cancel flag (cancel.hpp)
// every CANCEL_POLL_EVERY settled vertices and ends the run with
// `LoopEnd::Cancelled`; the caller throws. A thread-local countdown would be
// reloaded and stored around every store to the result arrays it may alias,
// and a call in the loop costs registers: both cost the baseline 3 to 5%.
//
// Memory order. A pop is a walk down the heap that misses the cache at its
// deeper levels, and relaxing a vertex misses on the distances of its heads.
// The loop therefore reads the top vertex's row and starts loading its heads'
// distances *before* removing it from the heap, so that the sift-down of the
// pop overlaps those loads. The heap operations (pop, then the pushes of the
// relaxations) keep the order of the textbook loop, so the expansion order of
// equal keys, and with it every predecessor, is unchanged.
//
// The arrays may be the caller's, read in place with the interpreter lock
// released; the loop keeps two cheap guards on the values it uses as indices
// (the row range of the popped vertex and each head) and a bound on pushes.
// They never fire on arrays left alone; if they do, the run ends with
// `LoopEnd::Malformed` instead of reading out of bounds.
#pragma once

#include <cstdint>

#include "core/cancel.hpp"
#include "core/dijkstra.hpp"

namespace qh {

// A CSR graph read in place: rows of `row` (n + 1 offsets) index `head` and `w`.
struct CsrView {
    const std::int64_t* row;
    const std::int32_t* head;
    const double* w;
    std::uint64_t n;
    std::uint64_t nnz;
};

enum class LoopEnd {
    Drained,    // the heap ran empty
    Stopped,    // settle() asked to stop
    Malformed,  // a guard fired: the arrays changed under the run
    Cancelled,  // the installed cancel flag was set
};

// Runs the main loop from the heap's current entries over `d` (n entries).
// Precondition: every heap entry (k, v) has k == d[v] or is stale, and the
// heap can take every push the relaxations make (the guard ends the run
// otherwise). Hooks: see the file comment.
template <class Hooks>
LoopEnd run_dijkstra_loop(const CsrView& g, double* d, Heap& heap, Hooks& hooks) {
    const std::int64_t* const row = g.row;
    const std::int32_t* const head = g.head;
    const double* const w = g.w;
    const std::uint64_t n = g.n;
    const std::size_t capacity = heap.capacity();
    std::uint32_t until_poll = CANCEL_POLL_EVERY;
    while (!heap.empty()) {
        const std::uint32_t u = heap.top_node();
        const double du = heap.top_key();
        if (du > d[u]) {
            heap.pop();
            if (!heap.empty()) {
                __builtin_prefetch(row + heap.top_node());
                __builtin_prefetch(d + heap.top_node());
            }
            continue;
        }
        if (!hooks.settle(u)) return LoopEnd::Stopped;
        if (--until_poll == 0) [[unlikely]] {
            until_poll = CANCEL_POLL_EVERY;
            if (cancel_requested()) return LoopEnd::Cancelled;
        }
        const std::int64_t begin = row[u];
        const std::int64_t end = row[u + 1];
        if (static_cast<std::uint64_t>(begin) > static_cast<std::uint64_t>(end) ||
            static_cast<std::uint64_t>(end) > g.nnz)
            return LoopEnd::Malformed;
        // Touch every head's distance before relaxing any, and before the pop:
        // the loads overlap each other and the sift-down.
        for (std::int64_t e = begin; e < end; ++e) __builtin_prefetch(d + static_cast<std::uint32_t>(head[e]));
        heap.pop();
        // The new top is most likely the next vertex to expand: start loading its row.
        if (!heap.empty()) {
            __builtin_prefetch(row + heap.top_node());
            __builtin_prefetch(d + heap.top_node());
        }
        for (std::int64_t e = begin; e < end; ++e) {
            const std::uint32_t v = static_cast<std::uint32_t>(head[e]);
            if (v >= n) return LoopEnd::Malformed;
            const double nd = du + w[e];
            if (nd < d[v] && hooks.admit(nd)) {
                if (heap.size() == capacity) return LoopEnd::Malformed;
                d[v] = nd;
                hooks.relaxed(v, u);
                heap.push(nd, v);
            }
        }
        // By now the next vertex's row offset has arrived: start loading its heads and weights.
        if (!heap.empty()) {
            const std::int64_t next = row[heap.top_node()];
            __builtin_prefetch(head + next);
            __builtin_prefetch(w + next);
        }
    }
    return LoopEnd::Drained;
}

}  // namespace qh
