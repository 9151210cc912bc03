// dijkstra.cpp: Dijkstra's algorithm with a 4-ary heap and lazy deletion.
//
// The run reads the caller's CSR arrays in place and writes into caller
// buffers. Everything observable is deterministic, including which
// predecessor wins among equally short paths: a relaxation needs a strict
// improvement, rows are scanned in increasing position, and the heap
// procedures fix the order in which equal keys are expanded (a sifted entry
// moves only past strictly smaller keys; among equal children the first wins).
//
// Validation happens once, before anything is written. The arrays belong to
// the caller, though, and another thread could change them while we run with
// the interpreter lock released. The main loop therefore keeps two cheap
// guards on the values it uses as indices (the row range of the popped vertex
// and each head); they never fire on arrays left alone, and if they do the run
// ends with MalformedCsr instead of reading out of bounds.
//
// A 4-ary heap keeps the tree shallow (log4) and the four children of a node
// in one cache line of keys; a decrease-key heap with a position index would
// cost an extra n-entry array and scattered writes for no gain on sparse
// graphs, so improved vertices are simply pushed again. Every edge relaxes at
// most once, so nnz + 1 entries always suffice and pushes need no capacity test.
#include "dijkstra.hpp"

#include <cmath>
#include <limits>

#include "cancel.hpp"

namespace qh {

void Heap::reserve(std::size_t capacity) {
    if (capacity_ >= capacity) return;
    key_storage_ = OwnedArray<double>::uninitialized_aligned(capacity + 3, 32);
    node_storage_ = OwnedArray<std::uint32_t>::uninitialized(capacity);
    keys_ = key_storage_.data() + 3;
    nodes_ = node_storage_.data();
    capacity_ = capacity;
}

bool Heap::sanity_check() const noexcept {
    for (std::size_t i = 1; i < len_; ++i)
        if (keys_[i] < keys_[(i - 1) / 4]) return false;
    return len_ <= capacity_;
}

std::optional<DijkstraError> dijkstra(std::span<const std::int64_t> indptr,
                                      std::span<const std::int32_t> indices,
                                      std::span<const double> weights, std::uint64_t source,
                                      std::span<double> dist, std::span<std::int32_t> pred, Heap& heap) {
    const std::size_t n = dist.size();
    const std::int64_t nnz = static_cast<std::int64_t>(indices.size());

    // Validation: all of indptr first, then edge by edge, weight before head.
    if (indptr.size() != n + 1) return DijkstraError::MalformedCsr;
    if (indptr[0] != 0) return DijkstraError::MalformedCsr;
    if (indptr[n] != nnz) return DijkstraError::MalformedCsr;
    for (std::size_t i = 1; i <= n; ++i) {
        if (indptr[i] < indptr[i - 1] || indptr[i] > nnz) return DijkstraError::MalformedCsr;
    }
    const std::size_t checked = std::min(indices.size(), weights.size());
    for (std::size_t e = 0; e < checked; ++e) {
        if (!(weights[e] >= 0.0)) return DijkstraError::NegativeWeight;
        const std::int32_t head = indices[e];
        if (head < 0 || static_cast<std::uint64_t>(head) >= n) return DijkstraError::MalformedCsr;
    }

    heap.clear();
    heap.reserve(static_cast<std::size_t>(nnz) + 1);

    double* const d = dist.data();
    std::int32_t* const p = pred.data();
    for (std::size_t v = 0; v < n; ++v) d[v] = std::numeric_limits<double>::infinity();
    for (std::int32_t& x : pred) x = -1;

    const std::int64_t* const row = indptr.data();
    const std::int32_t* const head = indices.data();
    const double* const w = weights.data();
    const std::uint64_t nnz_u = static_cast<std::uint64_t>(nnz);
    // Pushes are bounded by the capacity too, so a concurrently rewritten
    // array cannot overrun the heap either.
    const std::size_t capacity = heap.capacity();

    std::uint32_t until_poll = CANCEL_POLL_EVERY;
    bool cancelled = false;
    d[source] = 0.0;
    heap.push(0.0, static_cast<std::uint32_t>(source));
    while (!heap.empty()) {
        const auto [du, u] = heap.pop();
        // A local countdown, not cancel_point(): a thread-local word that the stores to p[]
        // may alias would be reloaded and stored on every pop; and no call in the loop.
        if (--until_poll == 0) [[unlikely]] {
            until_poll = CANCEL_POLL_EVERY;
            if (cancel_requested()) {
                cancelled = true;
                break;
            }
        }
        if (du > d[u]) continue;
        // The new top is most likely the next vertex to expand: start loading its row.
        if (!heap.empty()) {
            __builtin_prefetch(row + heap.top_node());
            __builtin_prefetch(d + heap.top_node());
        }
        const std::int64_t begin = row[u];
        const std::int64_t end = row[u + 1];
        if (static_cast<std::uint64_t>(begin) > static_cast<std::uint64_t>(end) ||
            static_cast<std::uint64_t>(end) > nnz_u) {
            heap.clear();
            return DijkstraError::MalformedCsr;
        }
        // Touch every head's distance before relaxing any: the loads overlap
        // instead of missing the cache one after another.
        for (std::int64_t e = begin; e < end; ++e)
            __builtin_prefetch(d + static_cast<std::uint32_t>(head[e]));
        for (std::int64_t e = begin; e < end; ++e) {
            const std::uint32_t v = static_cast<std::uint32_t>(head[e]);
            if (v >= n) {
                heap.clear();
                return DijkstraError::MalformedCsr;
            }
            const double nd = du + w[e];
            if (nd < d[v]) {
                if (heap.size() == capacity) {
                    heap.clear();
                    return DijkstraError::MalformedCsr;
                }
                d[v] = nd;
                p[v] = static_cast<std::int32_t>(u);
                heap.push(nd, v);
            }
        }
    }
    if (cancelled) {  // thrown out here: a call in the loop would cost registers on every pop
        heap.clear();
        throw Cancelled{};
    }
    return std::nullopt;
}

}  // namespace qh
