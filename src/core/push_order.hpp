// push_order.hpp: Dijkstra searches that settle equally distant vertices in
// the order they were pushed, as a binary heap keyed by (distance, push count)
// does; the networkx backend reproduces networkx's answers with them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/dijkstra.hpp"
#include "core/dijkstra_loop.hpp"
#include "core/memory.hpp"

namespace qh {

// The most pushes a run may make (its sources plus its arcs, both ways for a
// bidirectional run): the push count shares a 64-bit word with a 31-bit vertex.
inline constexpr std::uint64_t MAX_PUSHES = std::uint64_t{1} << 33;

// The search from `sources`, pushed in the given order at distance 0
// (a repeated source is pushed again and skipped when popped). A vertex is
// pushed whenever it is first reached or reached strictly shorter; a
// candidate distance above `cutoff` is dropped (a NaN cutoff drops nothing).
// With `target` set, the search stops right after settling it. Reached
// vertices keep their distance even when it is +inf.
// Writes the settled vertices in settle order to the front of `order` and
// their count to `settled`; `dist` and `pred` (n entries each, like `order`)
// are meaningful at settled vertices only: the distance, and the tail of the
// relaxation that last lowered it strictly (-1 at the sources).
// Preconditions: the graph passed check_dijkstra_input and every source is
// below n. Returns false if the arrays changed under the run (a guard fired).
// Throws Cancelled once the installed cancel flag is set.
bool push_order_search(const CsrView& g, std::span<const std::uint32_t> sources, std::optional<double> cutoff,
                       std::optional<std::uint32_t> target, std::span<double> dist, std::span<std::int32_t> pred,
                       std::span<std::int32_t> order, std::size_t& settled);

// The outcome of push_order_bidirectional.
struct MeetingRun {
    bool found = false;
    double length = 0.0;     // when found
    Vec<std::int32_t> path;  // when found: source first, target last
};

// The bidirectional search between source and target (distinct): forward
// over `forward` from the source and backward over `backward` (row v: the
// tails of the arcs into v, with their weights) from the target, one pop in
// turn, starting forward; it stops when a vertex popped in one direction is
// already settled in the other, and returns the best meeting seen by then
// (lowered only strictly, when a vertex is pushed in one direction while seen
// in the other). One push counter serves both heaps.
// Preconditions: both graphs passed check_dijkstra_input over the same n;
// source, target < n. Returns false if the arrays changed under the run.
bool push_order_bidirectional(const CsrView& forward, const CsrView& backward, std::uint32_t source,
                              std::uint32_t target, MeetingRun& out);

}  // namespace qh
