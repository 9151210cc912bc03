// dijkstra.hpp: the baseline single-source shortest-path run.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "memory.hpp"

namespace qh {

enum class DijkstraError {
    NegativeWeight,  // a weight is negative or NaN
    MalformedCsr,    // the CSR structure is inconsistent
};

// 4-ary min-heap of (key, vertex) entries in two parallel arrays. Position 0
// holds the minimum; children of i are 4i+1 .. 4i+4. No decrease-key: stale
// entries stay until popped. Storage is reserved once per run.
class Heap {
public:
    // Length 0; keeps storage.
    void clear() noexcept { len_ = 0; }
    // Makes room for at least `capacity` entries; pushes never grow the heap.
    void reserve(std::size_t capacity);
    std::size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    std::size_t capacity() const noexcept { return keys_.size(); }
    // Precondition: size() < capacity().
    void push(double key, std::uint32_t node) noexcept;
    // Precondition: !empty(). Removes and returns the minimum entry.
    std::pair<double, std::uint32_t> pop() noexcept;
    // Checks the heap order; for tests.
    bool sanity_check() const noexcept;

private:
    OwnedArray<double> keys_;
    OwnedArray<std::uint32_t> nodes_;
    std::size_t len_ = 0;
};

// Dijkstra's algorithm on the caller's CSR arrays, read in place.
// n is dist.size(); pred must hold at least n entries and is reset to -1 in
// full. Precondition: source < n. Validates the whole structure and every
// weight before writing anything; on failure dist, pred and heap are untouched.
// +inf and -0.0 weights pass; a relaxation must improve strictly.
std::optional<DijkstraError> dijkstra(std::span<const std::int64_t> indptr,
                                      std::span<const std::int32_t> indices,
                                      std::span<const double> weights, std::uint64_t source,
                                      std::span<double> dist, std::span<std::int32_t> pred, Heap& heap);

}  // namespace qh
