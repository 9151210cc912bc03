// transform_forms.hpp: an independent CSR builder of the constant-degree form, for tests and
// the native benchmark: the production rows (transform.hpp) are checked against it, and
// Dijkstra runs on it as the baseline BMSSP is compared with.
#pragma once

#include <algorithm>
#include <bit>

#include "cancel.hpp"
#include "csr.hpp"
#include "memory.hpp"
#include "stop.hpp"
#include "transform.hpp"

namespace qh::testing {

// A graph whose every vertex has in- plus out-degree at most 3, and the maps back.
struct Transformed {
    Csr graph;                       // n' vertices, rows of at most two edges (ring edge first)
    Vec<std::uint32_t> first_copy;   // input vertex -> transformed id of its copy 0
    Vec<std::uint32_t> orig;         // transformed vertex -> the input vertex it copies
    std::uint32_t source = 0;        // first_copy[input source]

    // Checks the degree, ring and map invariants; stops with "Transformed invariant violated".
    void sanity_check(const Csr& input) const;
};

// The constant-degree form of a validated graph as a CSR graph, from an edge list generated
// in its fixed order and sorted by tail with a counting sort.
inline Transformed transform_to_constant_degree(const Csr& csr, std::uint64_t source) {
    const std::uint64_t n = csr.n;
    Transformed tg;

    // Degrees (a self-loop counts twice) and the numbering of the copies.
    Vec<std::uint64_t> deg;
    assign_cancellable(deg, n, std::uint64_t{0});
    for (std::uint64_t u = 0; u < n; ++u) deg[u] = csr.indptr[u + 1] - csr.indptr[u];
    for (std::uint32_t w : csr.indices) ++deg[w];
    assign_cancellable(tg.first_copy, n, 0u);
    std::uint64_t running = 0;
    for (std::uint64_t v = 0; v < n; ++v) {
        tg.first_copy[v] = static_cast<std::uint32_t>(running);
        running += std::max<std::uint64_t>(deg[v], 1);
    }
    const std::uint64_t np = running;
    assign_cancellable(tg.orig, np, 0u);
    for (std::uint64_t v = 0; v < n; ++v) {
        cancel_point();
        const std::uint64_t c = std::max<std::uint64_t>(deg[v], 1);
        for (std::uint64_t i = 0; i < c; ++i) tg.orig[tg.first_copy[v] + i] = static_cast<std::uint32_t>(v);
    }

    // The edge list, generated on demand in its fixed order instead of stored: the
    // ring edges of every vertex with deg >= 2, then every input edge from its tail's
    // next free copy to its head's next free copy (tail slot first, which matters for
    // self-loops). `slot` holds the per-vertex slot counters and is reset per pass.
    Vec<std::uint64_t>& slot = deg;
    auto for_each_edge = [&](auto&& emit) {
        for (std::uint64_t v = 0; v < n; ++v) {
            cancel_point();
            const std::uint64_t first = tg.first_copy[v];
            const std::uint64_t c = (v + 1 < n ? tg.first_copy[v + 1] : np) - first;
            if (c < 2) continue;
            for (std::uint64_t i = 0; i < c; ++i) emit(first + i, first + (i + 1 == c ? 0 : i + 1), 0.0);
        }
        std::fill(slot.begin(), slot.end(), 0);
        for (std::uint64_t u = 0; u < n; ++u) {
            cancel_point();
            for (std::uint64_t e = csr.indptr[u]; e < csr.indptr[u + 1]; ++e) {
                const std::uint32_t w = csr.indices[e];
                const std::uint64_t tail_copy = std::uint64_t{tg.first_copy[u]} + slot[u]++;
                const std::uint64_t head_copy = std::uint64_t{tg.first_copy[w]} + slot[w]++;
                emit(tail_copy, head_copy, csr.weights[e]);
            }
        }
    };

    // Counting sort by tail, stable: count, prefix sums, place in list order.
    Csr& g = tg.graph;
    g.n = np;
    assign_cancellable(g.indptr, np + 1, std::uint64_t{0});
    for_each_edge([&](std::uint64_t from, std::uint64_t to, double) {
        if (from >= np || to >= np) internal_stop("edge endpoint out of range");
        ++g.indptr[from + 1];
    });
    for (std::uint64_t i = 0; i < np; ++i) {
        cancel_point();
        g.indptr[i + 1] += g.indptr[i];
    }
    const std::uint64_t mp = g.indptr[np];
    assign_cancellable(g.indices, mp, 0u);
    assign_cancellable(g.weights, mp, 0.0);
    {
        Vec<std::uint64_t> cursor(g.indptr.begin(), g.indptr.end() - 1);
        for_each_edge([&](std::uint64_t from, std::uint64_t to, double weight) {
            const std::uint64_t at = cursor[from]++;
            g.indices[at] = static_cast<std::uint32_t>(to);
            g.weights[at] = weight;
        });
    }
    tg.source = tg.first_copy[source];
    return tg;
}

inline void Transformed::sanity_check(const Csr& input) const {
    auto fail = [] { internal_stop("Transformed invariant violated"); };
    const std::uint64_t n = input.n;
    const std::uint64_t np = graph.n;
    if (first_copy.size() != n || orig.size() != np || graph.indptr.size() != np + 1) fail();
    if (graph.indptr[0] != 0 || graph.indptr[np] != graph.nnz() || graph.weights.size() != graph.nnz()) fail();
    Vec<std::uint32_t> in_deg(np, 0);
    for (std::uint64_t c = 0; c < np; ++c) {
        if (graph.indptr[c + 1] < graph.indptr[c]) fail();
        for (std::uint64_t e = graph.indptr[c]; e < graph.indptr[c + 1]; ++e) {
            if (graph.indices[e] >= np) fail();
            ++in_deg[graph.indices[e]];
        }
    }
    std::uint64_t input_edges = 0;
    for (std::uint64_t c = 0; c < np; ++c) {
        const std::uint64_t out = graph.indptr[c + 1] - graph.indptr[c];
        if (out > 2 || in_deg[c] > 2 || out + in_deg[c] > 3) fail();
        const std::uint32_t v = orig[c];
        if (v >= n) fail();
        const std::uint64_t first = first_copy[v];
        const std::uint64_t last = v + 1 < n ? first_copy[v + 1] : np;
        if (c < first || c >= last) fail();
        const std::uint64_t copies = last - first;
        for (std::uint64_t e = graph.indptr[c]; e < graph.indptr[c + 1]; ++e) {
            const std::uint32_t to = graph.indices[e];
            const bool ring = e == graph.indptr[c] && copies >= 2;
            if (ring) {
                const std::uint64_t expect = c + 1 == last ? first : c + 1;
                if (to != expect || std::bit_cast<std::uint64_t>(graph.weights[e]) != 0) fail();
            } else {
                ++input_edges;
            }
        }
    }
    if (input_edges != input.nnz()) fail();
    for (std::uint64_t v = 0; v + 1 < n; ++v) {
        if (first_copy[v + 1] <= first_copy[v]) fail();
    }
    if (n > 0 && first_copy[0] != 0) fail();
}

}  // namespace qh::testing
