// observer.hpp: what a run may watch of its own work, as a policy of the recursion.
//
// The recursion reports each operation to its `Observer` (a template parameter), whose
// hooks are called at the same points in every configuration. Timed runs use
// `NoObserver`, whose hooks are empty and compile away, so their loops carry no counter;
// counted runs use `OperationCounter`, a separately compiled form of the recursion whose
// results are the same bit for bit. An observer changes no result: it only sees.
//
// The calls themselves (each call begun and ended, a recursive call's pivots and the end of
// its pull loop, the turn to routing a child's result) only an observer whose TRACES_CALLS
// is set sees (call_trace.hpp); for every other, the recursion compiles those hooks out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qh {

// How much work a run did (all zero unless it was counted).
struct OperationCounts {
    std::uint64_t pulls = 0;             // Pull calls on a level's queue
    std::uint64_t pulled = 0;            // vertices those pulls returned
    std::uint64_t inserts = 0;           // Insert calls on a level's queue (pivots loaded at a call's start excluded)
    std::uint64_t batch_prepends = 0;    // BatchPrepend calls
    std::uint64_t relaxations = 0;       // edges relaxed (the closing edge check excluded)
    std::uint64_t base_cases = 0;        // level-0 calls answered by the base case
    std::uint64_t find_pivots = 0;       // FindPivots calls
    std::uint64_t bounded_searches = 0;  // calls answered by one bounded search, a whole search included
};

// The observer of timed runs: sees nothing.
struct NoObserver {
    static constexpr bool TRACES_CALLS = false;
    void relaxed() noexcept {}                              // an edge was relaxed
    void pulled(std::size_t) noexcept {}                    // a Pull returned this many vertices
    void inserted() noexcept {}                             // an Insert into a level's queue
    void batch_prepended() noexcept {}                      // a BatchPrepend
    void base_case() noexcept {}                            // a level-0 call took the base case
    void find_pivots() noexcept {}                          // a FindPivots call
    void bounded_search() noexcept {}                       // a call (or the whole run) took one bounded search
    OperationCounts counts() const noexcept { return {}; }  // all zero
};

// The observer of counted runs: counts every operation.
struct OperationCounter {
    static constexpr bool TRACES_CALLS = false;

    void relaxed() noexcept { ++counts_.relaxations; }
    void pulled(std::size_t vertices) noexcept {
        ++counts_.pulls;
        counts_.pulled += vertices;
    }
    void inserted() noexcept { ++counts_.inserts; }
    void batch_prepended() noexcept { ++counts_.batch_prepends; }
    void base_case() noexcept { ++counts_.base_cases; }
    void find_pivots() noexcept { ++counts_.find_pivots; }
    void bounded_search() noexcept { ++counts_.bounded_searches; }
    OperationCounts counts() const noexcept { return counts_; }

private:
    OperationCounts counts_;
};

}  // namespace qh
