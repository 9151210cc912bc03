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
// The main loop itself lives in dijkstra_loop.hpp, shared with the extended
// searches of search.cpp.
#include "core/dijkstra.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/cancel.hpp"
#include "core/dijkstra_loop.hpp"
#include "core/stop.hpp"

namespace qh {

void Heap::reserve(std::size_t capacity) {
    if (capacity_ >= capacity) return;
    key_storage_ = OwnedArray<double>::uninitialized_aligned(capacity + 3, 32);
    node_storage_ = OwnedArray<std::uint32_t>::uninitialized(capacity);
    keys_ = key_storage_.data() + 3;
    nodes_ = node_storage_.data();
    capacity_ = capacity;
}

void Heap::sanity_check() const {
    // No key may be NaN (it would compare with nothing), and none below its parent's.
    bool ok = len_ <= capacity_ && (capacity_ == 0 || keys_ == key_storage_.data() + 3);
    for (std::size_t i = 0; ok && i < len_; ++i)
        ok = keys_[i] == keys_[i] && (i == 0 || !(keys_[i] < keys_[(i - 1) / 4]));
    if (!ok) internal_stop("Heap invariant violated");
}

std::optional<DijkstraError> check_dijkstra_input(std::span<const std::int64_t> indptr,
                                                  std::span<const std::int32_t> indices,
                                                  std::span<const double> weights, std::size_t n) {
    const std::int64_t nnz = static_cast<std::int64_t>(indices.size());
    // All of indptr first, then edge by edge, weight before head. Each chunk is
    // checked without an early exit inside, so that the loops vectorise; only a
    // chunk that holds a fault is walked again, in order, for the first one.
    constexpr std::size_t CHUNK = 4096;
    if (indptr.size() != n + 1) return DijkstraError::MalformedCsr;
    if (indptr[0] != 0) return DijkstraError::MalformedCsr;
    if (indptr[n] != nnz) return DijkstraError::MalformedCsr;
    for (std::size_t at = 1; at <= n; at += CHUNK) {
        const std::size_t end = std::min(at + CHUNK, n + 1);
        unsigned bad = 0;  // an integer, not a bool: the reduction vectorises
        for (std::size_t i = at; i < end; ++i) bad |= (indptr[i] < indptr[i - 1]) | (indptr[i] > nnz);
        if (bad) return DijkstraError::MalformedCsr;
    }
    // Read as u32, a negative head is 2^31 or more, so one comparison with
    // min(n, 2^31) refuses both kinds of bad head.
    const auto head_limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, std::uint64_t{1} << 31));
    const std::size_t checked = std::min(indices.size(), weights.size());
    for (std::size_t at = 0; at < checked; at += CHUNK) {
        const std::size_t end = std::min(at + CHUNK, checked);
        unsigned bad = 0;
        for (std::size_t e = at; e < end; ++e)
            bad |= static_cast<unsigned>(!(weights[e] >= 0.0)) |
                   static_cast<unsigned>(static_cast<std::uint32_t>(indices[e]) >= head_limit);
        if (!bad) continue;
        for (std::size_t e = at; e < end; ++e) {
            if (!(weights[e] >= 0.0)) return DijkstraError::NegativeWeight;
            if (static_cast<std::uint32_t>(indices[e]) >= head_limit) return DijkstraError::MalformedCsr;
        }
    }
    return std::nullopt;
}

namespace {

// The baseline's hooks: every improvement is recorded with its predecessor.
struct BaselineHooks {
    std::int32_t* pred;
    static bool admit(double) noexcept { return true; }
    void relaxed(std::uint32_t v, std::uint32_t u) noexcept { pred[v] = static_cast<std::int32_t>(u); }
    static bool settle(std::uint32_t) noexcept { return true; }
};

}  // namespace

std::optional<DijkstraError> dijkstra(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                                      std::span<const double> weights, std::uint64_t source, std::span<double> dist,
                                      std::span<std::int32_t> pred, Heap& heap) {
    const std::size_t n = dist.size();
    if (auto error = check_dijkstra_input(indptr, indices, weights, n)) return error;

    heap.clear();
    heap.reserve(indices.size() + 1);

    double* const d = dist.data();
    for (std::size_t v = 0; v < n; ++v) d[v] = std::numeric_limits<double>::infinity();
    for (std::int32_t& x : pred) x = -1;

    d[source] = 0.0;
    heap.push(0.0, static_cast<std::uint32_t>(source));
    const CsrView graph{indptr.data(), indices.data(), weights.data(), n, indices.size()};
    BaselineHooks hooks{pred.data()};
    const LoopEnd end = run_dijkstra_loop(graph, d, heap, hooks);
    heap.clear();
    if (end == LoopEnd::Cancelled) throw Cancelled{};  // thrown out here: see dijkstra_loop.hpp
    if (end == LoopEnd::Malformed) return DijkstraError::MalformedCsr;
    return std::nullopt;
}

}  // namespace qh
