// rows.hpp: the vertex records of a run and the two ways the recursion reads rows.
//
// A run keeps one record per searched vertex: its tentative path (distance, hops,
// predecessor) and, on the constant-degree form, its row as well. The recursion is a
// template over `Rows`, which says where a vertex's out-edges live and how to read them:
//   - `ConstantDegreeRows`: the constant-degree form of the input (transform.hpp) kept
//     inside the vertex records, one 32-byte `VertexNode` per vertex holding its row
//     ({ring head, other head, weight}) beside its tentative path, so reading a vertex
//     and its row costs one cache line;
//   - `CsrRows`: the input graph itself, 16-byte `LabelNode`s beside the caller's CSR.
// Both give every edge of a row in row order; the relaxation rules depend on that order.
#pragma once

#include <cstdint>
#include <utility>

#include "core/ids.hpp"

namespace qh {

// A vertex of the constant-degree form: its tentative path and its row, in one 32-byte
// record, so that reading u's state and u's row costs one cache line, and the ring head
// (the next copy) usually sits in the same or the adjacent line. Its edges, in row
// order, are (ring, +0.0) when ring != NO_VERTEX, then (to, weight) when to != NO_VERTEX.
struct alignas(32) VertexNode {
    double dist;         // tentative distance; +inf when unreached
    std::uint32_t hops;  // edges on the path behind dist; UNREACHED when none
    std::uint32_t pred;  // predecessor on that path; NO_VERTEX when none
    std::uint32_t ring;  // head of the leading zero-weight edge, or NO_VERTEX
    std::uint32_t to;    // head of the other edge, or NO_VERTEX
    double weight;       // weight of the other edge
};
static_assert(sizeof(VertexNode) == 32, "VertexNode must stay half a cache line");

// A vertex of a general graph: its tentative path only; the rows stay in the CSR.
struct alignas(16) LabelNode {
    double dist;  // as in VertexNode
    std::uint32_t hops;
    std::uint32_t pred;
};
static_assert(sizeof(LabelNode) == 16, "LabelNode is one 16-byte record");

// The constant-degree rows, held in the vertex records themselves.
struct ConstantDegreeRows {
    using Node = VertexNode;

    // f(head, weight) for every edge of u, in row order.
    template <class F>
    [[gnu::always_inline]] static void for_each_edge(const Node* vertex, std::uint32_t u, F&& f) {
        const Node& r = vertex[u];
        const std::uint32_t ring = r.ring;
        const std::uint32_t to = r.to;
        const double weight = r.weight;
        if (ring != NO_VERTEX) f(ring, 0.0);
        if (to != NO_VERTEX) f(to, weight);
    }
    // Starts loading u's row.
    static void prefetch_row(const Node* vertex, std::uint32_t u) { __builtin_prefetch(&vertex[u]); }
    // Starts loading the records of u's heads.
    static void prefetch_heads(const Node* vertex, std::uint32_t u) {
        const Node& r = vertex[u];
        if (r.ring != NO_VERTEX) __builtin_prefetch(&vertex[r.ring]);
        if (r.to != NO_VERTEX) __builtin_prefetch(&vertex[r.to]);
    }
    // u's out-degree.
    static std::uint64_t degree(const Node* vertex, std::uint64_t u) noexcept {
        return std::uint64_t{vertex[u].ring != NO_VERTEX} + std::uint64_t{vertex[u].to != NO_VERTEX};
    }
    // u's i-th edge (head, weight) in row order; i < degree(u).
    static std::pair<std::uint32_t, double> edge(const Node* vertex, std::uint64_t u, std::uint64_t i) noexcept {
        const Node& r = vertex[u];
        if (i == 0 && r.ring != NO_VERTEX) return {r.ring, 0.0};
        return {r.to, r.weight};
    }
};

// The rows of a CSR graph, which must outlive the run.
struct CsrRows {
    using Node = LabelNode;
    const std::uint64_t* indptr = nullptr;
    const std::uint32_t* indices = nullptr;
    const double* weights = nullptr;

    // As ConstantDegreeRows.
    template <class F>
    [[gnu::always_inline]] void for_each_edge(const Node*, std::uint32_t u, F&& f) const {
        const std::uint64_t end = indptr[u + 1];
        for (std::uint64_t e = indptr[u]; e < end; ++e) f(indices[e], weights[e]);
    }
    void prefetch_row(const Node* vertex, std::uint32_t u) const {
        __builtin_prefetch(&vertex[u]);
        __builtin_prefetch(&indptr[u]);
    }
    void prefetch_heads(const Node* vertex, std::uint32_t u) const {
        const std::uint64_t end = indptr[u + 1];
        for (std::uint64_t e = indptr[u]; e < end; ++e) __builtin_prefetch(&vertex[indices[e]], 1);
    }
    std::uint64_t degree(const Node*, std::uint64_t u) const noexcept { return indptr[u + 1] - indptr[u]; }
    std::pair<std::uint32_t, double> edge(const Node*, std::uint64_t u, std::uint64_t i) const noexcept {
        return {indices[indptr[u] + i], weights[indptr[u] + i]};
    }
};

}  // namespace qh
