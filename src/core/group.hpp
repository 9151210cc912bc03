// group.hpp: arcs given as parallel arrays, gathered into CSR rows by tail.
//
// The loaders and `from_edges` end here: files list arcs in any order, and a
// graph wants them row by row. The grouping is one stable counting sort, so
// the arcs of a row keep the order they were given in (a column-major matrix
// becomes its row-major form, parallel arcs stay in file order).
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "core/memory.hpp"

namespace qh {

struct GroupedArcs {
    OwnedArray<std::int64_t> indptr;  // n + 1 offsets
    OwnedArray<std::int32_t> indices;
    OwnedArray<double> weights;
};

// An arc with an endpoint outside [0, n) once `base` is taken off, and that endpoint as given.
struct EndpointOutOfRange {
    std::size_t arc;
    std::int64_t id;
};

// Arc i runs from tails[i] - base to heads[i] - base with weights[i].
// Preconditions: the three spans have one length, n <= 2^31. Reads each caller array
// once (tails into a private copy first). Polls for cancellation.
template <class Id>
std::variant<GroupedArcs, EndpointOutOfRange> group_by_tail(std::uint64_t n, std::span<const Id> tails,
                                                            std::span<const Id> heads, std::span<const double> weights,
                                                            std::int64_t base);

}  // namespace qh
