// transform.hpp: the constant-degree form of a graph and the mapping of results back.
//
// Every input vertex v becomes a ring of c(v) = max(deg(v), 1) copies joined by
// zero-weight edges (deg counts in- and out-edges, a self-loop twice), and every
// input edge joins its own copy of its tail to its own copy of its head: each edge
// takes the next free copy of its tail, then of its head, in edge order. Every row
// then holds at most two edges, the ring edge first, and every vertex has in- plus
// out-degree at most 3. All copies of v share v's distance, so results map back
// through `first_copy` (v -> its copy 0) and `orig` (copy -> v). The rows are built
// by counting in linear passes, without a comparison sort, straight into the
// records of the run that searches them.
//
// The hub-ring form (`hub_rings`) rings only the hubs, the vertices whose in- or
// out-degree exceeds a threshold D: a hub gets its ring of in- plus out-degree copies,
// each edge end taking the hub's next free copy as above, while every other vertex keeps
// one copy carrying all its edges in their input order. A hub's copy has in- and
// out-degree at most 2; any other vertex has in- and out-degree at most D. So the form
// lies between the input (D at least the largest degree: no hubs) and the constant-degree
// form (D = 0: the same ids and rows, since a vertex of degree 1 has one copy either way).
// Copies are numbered in vertex order and rows keep the ring edge first, so `CopyMaps`
// and the predecessor walk below serve it unchanged: every copy of a hub still holds the
// hub's distance, the ring being of zero weight.
//
// Predecessors. The walk from a vertex's copy 0 back through its own copies names
// the input predecessor. Through zero-weight cycles that walk can make input
// predecessors cycle; the vertices caught then take the copy entered nearest the
// root of the transformed tree, and the result is checked to be a tree rooted at
// the source.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>

#include "core/cancel.hpp"
#include "core/csr.hpp"
#include "core/memory.hpp"
#include "core/stop.hpp"

namespace qh {

// n' = sum over v of max(deg(v), 1) = 2m + (isolated vertices), exact in 64 bits; O(n + m).
std::uint64_t transformed_vertex_count(const Csr& csr);

// The maps between an input graph and its constant-degree or hub-ring form.
struct CopyMaps {
    Vec<std::uint32_t> first_copy;  // input vertex -> its copy 0
    Vec<std::uint32_t> orig;        // copy -> the input vertex it copies
    std::uint32_t source = 0;       // copy 0 of the run's source

    // One past the last copy of input vertex v.
    std::uint64_t copies_end(std::size_t v) const noexcept {
        return v + 1 < first_copy.size() ? first_copy[v + 1] : orig.size();
    }
};

// The rows of the constant-degree form of a validated graph as `Row`s (anything with
// ring, to and weight fields: the head of the leading zero-weight ring edge, the head
// of the other edge and its weight, NO_VERTEX for an absent edge), each starting as
// `blank`; fills `maps`. `source` < csr.n; the caller has checked that
// n' < 2^32 (searched_graph_fits, parameters.hpp).
template <class Row>
Vec<Row> constant_degree_rows(const Csr& csr, std::uint64_t source, CopyMaps& maps, const Row& blank) {
    const std::uint64_t n = csr.n;
    Vec<Row> rows;
    // Degrees, then copy numbering (first_copy is base(v)); counted in 64 bits first.
    std::uint64_t running = 0;
    maps.first_copy.assign(n, 0);
    {
        Vec<std::uint64_t> deg(n, 0);
        for (std::uint64_t u = 0; u < n; ++u) deg[u] = csr.indptr[u + 1] - csr.indptr[u];
        for (std::uint32_t w : csr.indices) ++deg[w];
        for (std::uint64_t v = 0; v < n; ++v) {
            maps.first_copy[v] = static_cast<std::uint32_t>(running);
            running += std::max<std::uint64_t>(deg[v], 1);
        }
    }
    if (running > NO_VERTEX) internal_stop("edge endpoint out of range");
    // Each vertex's next free copy: one read and write per edge end, where a count beside
    // first_copy would cost a second scattered read.
    Vec<std::uint32_t> next_free(maps.first_copy);
    const std::uint64_t np = running;
    // Copies are numbered in vertex order, so both arrays fill front to back in one pass:
    // a vertex's copies are written, then its row's edges, while those copies are still in
    // the cache. Each edge takes the next free copy of its tail, then of its head; a tail
    // copy is always one of the copies just written.
    maps.orig.reserve(np);
    rows.reserve(np);
    // The flag is polled once per POLL_VERTICES input vertices.
    constexpr std::uint64_t POLL_VERTICES = 4096;
    constexpr std::uint64_t HEAD_AHEAD = 16;
    const std::uint64_t m = csr.indices.size();
    for (std::uint64_t u = 0; u < n; ++u) {
        if (u % POLL_VERTICES == 0) [[unlikely]]
            cancel_check();
        const std::uint64_t first = maps.first_copy[u];
        const std::uint64_t last = u + 1 < n ? maps.first_copy[u + 1] : np;
        const bool ring = last - first >= 2;
        for (std::uint64_t c = first; c < last; ++c) {
            maps.orig.push_back(static_cast<std::uint32_t>(u));
            Row r = blank;
            r.ring = ring ? static_cast<std::uint32_t>(c + 1 == last ? first : c + 1) : NO_VERTEX;
            rows.push_back(r);
        }
        for (std::uint64_t e = csr.indptr[u]; e < csr.indptr[u + 1]; ++e) {
            // the heads' counters lie all over next_free: start loading a few edges ahead
            if (e + HEAD_AHEAD < m) __builtin_prefetch(&next_free[csr.indices[e + HEAD_AHEAD]], 1);
            const std::uint32_t w = csr.indices[e];
            const std::uint64_t tail_copy = next_free[u]++;
            const std::uint64_t head_copy = next_free[w]++;
            if (tail_copy >= last || head_copy >= np) internal_stop("edge endpoint out of range");
            rows[tail_copy].to = static_cast<std::uint32_t>(head_copy);
            rows[tail_copy].weight = csr.weights[e];
        }
    }
    maps.source = maps.first_copy[source];
    return rows;
}

// Size of the hub-ring form with threshold D.
struct HubRingSize {
    std::uint64_t vertices = 0;  // hubs' copies (in- plus out-degree each) plus one per other vertex
    std::uint64_t arcs = 0;      // the input's edges plus one ring edge per copy of a hub of degree >= 2
};

// O(n + m); exact in 64 bits.
HubRingSize hub_ring_size(const Csr& csr, std::uint64_t hub_degree);

// The hub-ring form of a validated graph with threshold `hub_degree` (see above) as a CSR
// graph, each row's ring edge first, then its input edges in input order; fills `maps`.
// `source` < csr.n; the caller has checked that the form's vertex count is below 2^32.
Csr hub_rings(const Csr& csr, std::uint64_t source, std::uint64_t hub_degree, CopyMaps& maps);

namespace transform_detail {

// Chain states of mark_off_tree.
inline constexpr std::uint8_t CHAIN_UNKNOWN = 0;
inline constexpr std::uint8_t CHAIN_OPEN = 1;
inline constexpr std::uint8_t CHAIN_ROOTED = 2;
inline constexpr std::uint8_t CHAIN_CYCLIC = 3;

// Number of vertices on, or leading into, a cycle of predecessors. A chain that ends at
// the source or at a vertex without predecessor is rooted. Writes the state of every
// vertex into `chain_out` when given.
std::size_t mark_off_tree(const OwnedArray<std::int32_t>& pred, std::uint64_t source,
                          Vec<std::uint8_t>* chain_out = nullptr);

// The walk from copy 0 can make input predecessors cycle through zero-weight cycles:
// v's copy 0 may hang below u's copies and u's copy 0 below v's. For every vertex whose
// chain misses the source, take instead the copy of v nearest the root of the transformed
// tree (smallest depth, then smallest id) among those entered from another vertex. Depth
// strictly drops along such predecessors, so they cannot cycle; each is still a tight edge.
template <class DistOf, class PredOf>
void repair_cycles(const CopyMaps& maps, const DistOf& dist_of, const PredOf& pred_of, std::uint64_t input_source,
                   OwnedArray<std::int32_t>& pred) {
    const std::size_t n = maps.first_copy.size();
    const std::uint64_t np = maps.orig.size();
    Vec<std::uint8_t> chain;
    mark_off_tree(pred, input_source, &chain);
    Vec<std::uint32_t> depth(np, NO_VERTEX);  // NO_VERTEX: not known yet
    Vec<std::uint32_t> path;
    auto depth_of = [&](std::uint64_t c) {
        path.clear();
        std::uint64_t x = c;
        while (depth[x] == NO_VERTEX && pred_of(x) != NO_VERTEX) {
            path.push_back(static_cast<std::uint32_t>(x));
            if (path.size() > np) internal_stop("transformed predecessors cycle");
            x = pred_of(x);
        }
        std::uint32_t d = depth[x] == NO_VERTEX ? 0 : depth[x];
        depth[x] = d;
        for (std::size_t i = path.size(); i-- > 0;) depth[path[i]] = ++d;
        return depth[c];
    };
    for (std::size_t v = 0; v < n; ++v) {
        if (chain[v] != CHAIN_CYCLIC) continue;
        std::uint32_t best = NO_VERTEX;
        std::uint32_t best_depth = NO_VERTEX;
        for (std::uint64_t c = maps.first_copy[v]; c < maps.copies_end(v); ++c) {
            const std::uint32_t p = pred_of(c);
            if (p == NO_VERTEX || maps.orig[p] == v || !(dist_of(c) < std::numeric_limits<double>::infinity()))
                continue;
            const std::uint32_t d = depth_of(c);
            if (best == NO_VERTEX || d < best_depth) {
                best = static_cast<std::uint32_t>(c);
                best_depth = d;
            }
        }
        if (best != NO_VERTEX) pred[v] = static_cast<std::int32_t>(maps.orig[pred_of(best)]);
    }
}

}  // namespace transform_detail

// The copy through which the walk from v's copy 0 back along predecessors (`pred_of(c)`,
// NO_VERTEX for none) leaves v's own copies, or NO_VERTEX when the walk ends inside them.
// A walk inside v's copies takes fewer steps than v has copies unless the predecessors
// cycle; that stops the run rather than loop.
//
// A copy reached from another copy of v is nearly always reached along the ring, from the
// copy before it, so the walk runs back around the ring: the step to the copy before is
// taken as a prediction, checked against the predecessor read, and the loads of a long walk
// on a hub's ring overlap instead of each waiting for the one before.
template <class PredOf>
std::uint32_t entered_from(const CopyMaps& maps, const PredOf& pred_of, std::uint64_t v) {
    const std::uint64_t first = maps.first_copy[v];
    const std::uint64_t end = maps.copies_end(v);
    std::uint64_t c = first;
    for (std::uint64_t steps = 0;; ++steps) {
        if (steps > end - first) internal_stop("predecessor walk cycles inside the copies of a vertex");
        const std::uint32_t p = pred_of(c);
        if (p == NO_VERTEX || p < first || p >= end) return p;
        // Another copy of v. Whether it is the one before c is hidden from the compiler,
        // which would otherwise step to p, the loaded value, in both cases, and the step
        // must stay a branch (a conditional move would wait for p as well).
        const std::uint64_t before = c == first ? end - 1 : c - 1;
        bool along_ring = p == before;
        asm("" : "+r"(along_ring));
        if (!along_ring) [[unlikely]] {
            asm volatile("");
            c = p;
            continue;
        }
        c = before;
    }
}

// Input-graph predecessors (-1 for none) of a run on the constant-degree form, whose
// labels are seen through `dist_of(c)` and `pred_of(c)` (NO_VERTEX for none), given for
// every input vertex the copy `entered[v]` its walk leaves its copies by (entered_from;
// NO_VERTEX for the source and for vertices not reached): repairs cycles (see above) and
// stops if the result is not a tree rooted at `input_source`.
template <class DistOf, class PredOf>
OwnedArray<std::int32_t> predecessors_back(const CopyMaps& maps, std::span<const std::uint32_t> entered,
                                           const DistOf& dist_of, const PredOf& pred_of, std::uint64_t input_source) {
    using namespace transform_detail;
    const std::size_t n = maps.first_copy.size();
    auto pred = OwnedArray<std::int32_t>::uninitialized(n);
    // The copies lie all over `orig`: start loading a few vertices ahead.
    constexpr std::size_t AHEAD = 16;
    for (std::size_t v = 0; v < n; ++v) {
        if (v + AHEAD < n && entered[v + AHEAD] != NO_VERTEX) __builtin_prefetch(&maps.orig[entered[v + AHEAD]]);
        pred[v] = entered[v] == NO_VERTEX ? -1 : static_cast<std::int32_t>(maps.orig[entered[v]]);
    }
    if (mark_off_tree(pred, input_source) != 0) {
        repair_cycles(maps, dist_of, pred_of, input_source, pred);
        if (mark_off_tree(pred, input_source) != 0) internal_stop("predecessors do not form a tree");
    }
    return pred;
}

}  // namespace qh
