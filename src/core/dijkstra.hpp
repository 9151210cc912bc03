// dijkstra.hpp: the baseline single-source shortest-path run.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/memory.hpp"

namespace qh {

enum class DijkstraError {
    NegativeWeight,  // a weight is negative or NaN
    MalformedCsr,    // the CSR structure is inconsistent
};

// 4-ary min-heap of (key, vertex) entries in two parallel arrays. Position 0
// holds the minimum; children of i are 4i+1 .. 4i+4. No decrease-key: stale
// entries stay until popped. Storage is reserved once per run.
//
// Ties: a pushed entry rises only past strictly larger keys; a sifted entry
// sinks only below strictly smaller ones; among equal children the first
// (lowest position) wins. These rules fix the expansion order of equal keys.
class Heap {
public:
    // Length 0; keeps storage.
    void clear() noexcept { len_ = 0; }
    // Makes room for at least `capacity` entries; pushes never grow the heap.
    void reserve(std::size_t capacity);
    std::size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    std::size_t capacity() const noexcept { return capacity_; }
    // Precondition: size() < capacity().
    void push(double key, std::uint32_t node) noexcept;
    // Precondition: !empty(). Removes and returns the minimum entry.
    std::pair<double, std::uint32_t> pop() noexcept;
    // The vertex at the top; precondition: !empty().
    std::uint32_t top_node() const noexcept { return nodes_[0]; }
    // The key at the top; precondition: !empty().
    double top_key() const noexcept { return keys_[0]; }
    // Checks the heap order and the length against the capacity; stops with
    // "Heap invariant violated" on failure.
    void sanity_check() const;

private:
    // keys_ points 3 entries into its storage so that each group of four
    // children (4i+1 .. 4i+4) fills one aligned 32-byte run of keys.
    OwnedArray<double> key_storage_;
    OwnedArray<std::uint32_t> node_storage_;
    double* keys_ = nullptr;
    std::uint32_t* nodes_ = nullptr;
    std::size_t len_ = 0;
    std::size_t capacity_ = 0;
};

inline void Heap::push(double key, std::uint32_t node) noexcept {
    double* keys = keys_;
    std::uint32_t* nodes = nodes_;
    std::size_t i = len_++;
    while (i > 0) {
        const std::size_t p = (i - 1) / 4;
        if (!(key < keys[p])) break;
        keys[i] = keys[p];
        nodes[i] = nodes[p];
        i = p;
    }
    keys[i] = key;
    nodes[i] = node;
}

inline std::pair<double, std::uint32_t> Heap::pop() noexcept {
    double* keys = keys_;
    std::uint32_t* nodes = nodes_;
    const std::pair<double, std::uint32_t> top{keys[0], nodes[0]};
    const std::size_t last = --len_;
    if (last == 0) return top;
    const double key = keys[last];
    const std::uint32_t node = nodes[last];
    std::size_t h = 0;
    for (;;) {
        const std::size_t first = 4 * h + 1;
        if (first >= last) break;
        // The vertex of whichever child wins is needed below; its line of
        // nodes loads while the keys are compared.
        __builtin_prefetch(nodes + first);
        std::size_t best = first;
        double best_key = keys[first];
        if (first + 4 <= last) {  // all four children present
            if (keys[first + 1] < best_key) best = first + 1, best_key = keys[first + 1];
            if (keys[first + 2] < best_key) best = first + 2, best_key = keys[first + 2];
            if (keys[first + 3] < best_key) best = first + 3, best_key = keys[first + 3];
        } else {
            for (std::size_t c = first + 1; c < last; ++c)
                if (keys[c] < best_key) best = c, best_key = keys[c];
        }
        if (!(best_key < key)) break;
        keys[h] = best_key;
        nodes[h] = nodes[best];
        h = best;
    }
    keys[h] = key;
    nodes[h] = node;
    return top;
}

// The checks a Dijkstra run makes before it writes anything, for a graph of n
// vertices: all of indptr first (length n + 1, starts at 0, ends at nnz,
// non-decreasing, every offset <= nnz), then edge by edge in position order the
// weight (>= 0, not NaN) before the head (in [0, n)); the first failure decides.
std::optional<DijkstraError> check_dijkstra_input(std::span<const std::int64_t> indptr,
                                                  std::span<const std::int32_t> indices,
                                                  std::span<const double> weights, std::size_t n);

// Dijkstra's algorithm on the caller's CSR arrays, read in place.
// n is dist.size(); pred must hold at least n entries and is reset to -1 in
// full. Precondition: source < n. Validates the whole structure and every
// weight before writing anything; on failure dist, pred and heap are untouched.
// Throws Cancelled (cancel.hpp) once the installed cancel flag is set.
// +inf and -0.0 weights pass; a relaxation must improve strictly.
std::optional<DijkstraError> dijkstra(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                                      std::span<const double> weights, std::uint64_t source, std::span<double> dist,
                                      std::span<std::int32_t> pred, Heap& heap);

}  // namespace qh
