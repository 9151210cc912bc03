// call_trace.hpp: the observer that records every call of the recursion.
//
// A traced run is a separately compiled form of the recursion (traced.cpp), as counted runs
// are, whose observer keeps one `CallRecord` per call: its level, its caller, its bound B and
// the B' it returned, the sizes of its source set S, its pivots P, its near set W and its
// result U, the pulls it made, and the edges it relaxed in each phase. Timed runs carry
// none of this: their observer's hooks are empty (observer.hpp).
//
// Attribution. The records form a stack while the run descends; every operation belongs to
// the call on top. A relaxation belongs to the phase that call is in: FindPivots, its own
// base case or bounded search, or the routing of a child's U (the re-scan after each child;
// the loop announces it, since a child's phase is over when it returns). The totals of the
// records are the counts of OperationCounter for the same run.
//
// Settlement. A call settles its own vertices in one stretch at its end (a base case or a
// bounded search settles its U, a recursive call the vertices of W it adds after its last
// child), so each record names one contiguous range of the settlement log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/memory.hpp"
#include "core/queues/queue_key.hpp"
#include "core/recursion/observer.hpp"

namespace qh {

// How a call was answered.
enum class CallKind : std::uint8_t {
    Recursive,      // FindPivots and a loop over its queue's batches
    BaseCase,       // the level-0 Dijkstra search cut off after k + 1 vertices
    BoundedSearch,  // one bounded Dijkstra search (the hybrid switch), a whole-run search included
};

// One call of the recursion, as traced.
struct CallRecord {
    std::uint64_t level = 0;
    std::int64_t parent = -1;  // the record of the calling call; -1 for the outermost
    CallKind kind = CallKind::Recursive;
    Key bound{};                // B
    Key bound_out{};            // B' (<= B)
    std::uint64_t sources = 0;  // |S|
    std::uint64_t pivots = 0;   // |P| (recursive calls)
    std::uint64_t near = 0;     // |W| (recursive calls)
    std::uint64_t u_loop = 0;   // |U| when the pull loop ended, before W's vertices joined (recursive calls)
    std::uint64_t u = 0;        // |U| returned
    std::uint64_t pulls = 0;
    std::uint64_t pulled = 0;
    std::uint64_t largest_pull = 0;  // the most vertices one pull returned
    std::uint64_t inserts = 0;
    std::uint64_t batch_prepends = 0;
    std::uint64_t relax_pivots = 0;  // edges relaxed by this call's FindPivots
    std::uint64_t relax_local = 0;   // by its base case or bounded search
    std::uint64_t relax_route = 0;   // by the routing of its children's results
    std::uint64_t settle_start = 0;  // the first entry of the settlement log this call made
    std::uint64_t settled = 0;       // the entries it made (a contiguous range)
};

// The observer of traced runs: counts as OperationCounter does and keeps one record per call.
class CallTracer {
public:
    static constexpr bool TRACES_CALLS = true;

    void relaxed() noexcept {
        counter_.relaxed();
        if (top_ < 0) return;
        CallRecord& r = calls_[static_cast<std::size_t>(top_)];
        ++(phase_ == Phase::Pivots ? r.relax_pivots : phase_ == Phase::Local ? r.relax_local : r.relax_route);
    }
    void pulled(std::size_t vertices) noexcept {
        counter_.pulled(vertices);
        CallRecord& r = current();
        ++r.pulls;
        r.pulled += vertices;
        if (vertices > r.largest_pull) r.largest_pull = vertices;
    }
    void inserted() noexcept {
        counter_.inserted();
        ++current().inserts;
    }
    void batch_prepended() noexcept {
        counter_.batch_prepended();
        ++current().batch_prepends;
    }
    void base_case() noexcept {
        counter_.base_case();
        current().kind = CallKind::BaseCase;
        phase_ = Phase::Local;
    }
    void find_pivots() noexcept {
        counter_.find_pivots();
        current().kind = CallKind::Recursive;
        phase_ = Phase::Pivots;
    }
    void bounded_search() noexcept {
        counter_.bounded_search();
        current().kind = CallKind::BoundedSearch;
        phase_ = Phase::Local;
    }
    OperationCounts counts() const noexcept { return counter_.counts(); }

    // The calls' hooks (observer.hpp); `logged` is the length of the settlement log then.
    // Allocates: a record per call.
    void call_begun(std::uint64_t level, const Key& bound, std::size_t sources, std::size_t logged) {
        CallRecord r;
        r.level = level;
        r.parent = top_;
        r.bound = bound;
        r.sources = sources;
        r.settle_start = logged;  // moved on as children end
        calls_.push_back(r);
        top_ = static_cast<std::int64_t>(calls_.size() - 1);
    }
    void pivots_found(std::size_t pivots, std::size_t near) noexcept {
        current().pivots = pivots;
        current().near = near;
    }
    void routing() noexcept { phase_ = Phase::Route; }
    void loop_ended(std::size_t u) noexcept { current().u_loop = u; }
    void call_ended(const Key& bound_out, std::size_t u, std::size_t logged) noexcept {
        CallRecord& r = current();
        r.bound_out = bound_out;
        r.u = u;
        r.settled = logged - r.settle_start;
        top_ = r.parent;
        if (top_ >= 0) current().settle_start = logged;  // the caller's own settlements come later
    }

    // The records, in the order the calls began; the tracer is left without them.
    Vec<CallRecord> take_calls() noexcept { return std::move(calls_); }

private:
    enum class Phase : std::uint8_t { Pivots, Local, Route };

    CallRecord& current() noexcept { return calls_[static_cast<std::size_t>(top_)]; }

    OperationCounter counter_;
    Vec<CallRecord> calls_;
    std::int64_t top_ = -1;  // the running call's record
    Phase phase_ = Phase::Pivots;
};

}  // namespace qh
