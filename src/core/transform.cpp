// transform.cpp: the constant-degree form's vertex count, the hub-ring form and the
// predecessor checks.
#include "core/transform.hpp"

#include <algorithm>

namespace qh {

std::uint64_t transformed_vertex_count(const Csr& csr) {
    const std::uint64_t n = csr.n;
    const std::uint64_t m = csr.nnz();
    Vec<std::uint8_t> touched(n, 0);
    for (std::uint64_t u = 0; u < n; ++u) {
        if (csr.indptr[u + 1] > csr.indptr[u]) touched[u] = 1;
    }
    for (std::uint32_t w : csr.indices) touched[w] = 1;
    std::uint64_t isolated = 0;
    for (std::uint8_t f : touched) isolated += f == 0;
    return 2 * m + isolated;
}

namespace {

constexpr std::uint64_t POLL_VERTICES = 4096;  // input vertices between polls of the cancel flag

// In- plus out-degree of every vertex, and whether it is a hub (either above `hub_degree`).
struct Degrees {
    Vec<std::uint64_t> total;
    Vec<std::uint8_t> hub;
};

Degrees degrees(const Csr& csr, std::uint64_t hub_degree) {
    const std::uint64_t n = csr.n;
    Degrees d{Vec<std::uint64_t>(n, 0), Vec<std::uint8_t>(n, 0)};
    for (std::uint32_t w : csr.indices) ++d.total[w];  // in-degrees first
    for (std::uint64_t v = 0; v < n; ++v) {
        const std::uint64_t out = csr.indptr[v + 1] - csr.indptr[v];
        d.hub[v] = out > hub_degree || d.total[v] > hub_degree;
        d.total[v] += out;
    }
    return d;
}

}  // namespace

HubRingSize hub_ring_size(const Csr& csr, std::uint64_t hub_degree) {
    const Degrees d = degrees(csr, hub_degree);
    HubRingSize size{0, csr.nnz()};
    for (std::uint64_t v = 0; v < csr.n; ++v) {
        const std::uint64_t copies = d.hub[v] ? std::max<std::uint64_t>(d.total[v], 1) : 1;
        size.vertices += copies;
        if (copies >= 2) size.arcs += copies;
    }
    return size;
}

Csr hub_rings(const Csr& csr, std::uint64_t source, std::uint64_t hub_degree, CopyMaps& maps) {
    const std::uint64_t n = csr.n;
    const Degrees d = degrees(csr, hub_degree);
    maps.first_copy.assign(n, 0);
    std::uint64_t np = 0;
    for (std::uint64_t v = 0; v < n; ++v) {
        maps.first_copy[v] = static_cast<std::uint32_t>(np);
        np += d.hub[v] ? std::max<std::uint64_t>(d.total[v], 1) : 1;
    }
    if (np > NO_VERTEX) internal_stop("edge endpoint out of range");
    const auto copies_end = [&](std::uint64_t v) { return v + 1 < n ? std::uint64_t{maps.first_copy[v + 1]} : np; };
    maps.orig.reserve(np);
    for (std::uint64_t v = 0; v < n; ++v)
        maps.orig.insert(maps.orig.end(), copies_end(v) - maps.first_copy[v], static_cast<std::uint32_t>(v));
    // Every edge of the form, rings first, then the input's edges in input order, each end at
    // the next free copy of a hub or the one copy of another vertex; f(from, to, weight).
    Vec<std::uint32_t> slot(n, 0);
    const auto for_each_edge = [&](auto&& f) {
        for (std::uint64_t v = 0; v < n; ++v) {
            const std::uint64_t first = maps.first_copy[v];
            const std::uint64_t last = copies_end(v);
            if (last - first < 2) continue;
            for (std::uint64_t c = first; c < last; ++c) f(c, c + 1 == last ? first : c + 1, 0.0);
        }
        std::fill(slot.begin(), slot.end(), 0);
        const auto end_copy = [&](std::uint64_t v) {
            return std::uint64_t{maps.first_copy[v]} + (d.hub[v] ? slot[v]++ : 0);
        };
        for (std::uint64_t u = 0; u < n; ++u) {
            if (u % POLL_VERTICES == 0) [[unlikely]]
                cancel_check();
            for (std::uint64_t e = csr.indptr[u]; e < csr.indptr[u + 1]; ++e) {
                const std::uint64_t tail = end_copy(u);
                const std::uint64_t head = end_copy(csr.indices[e]);
                f(tail, head, csr.weights[e]);
            }
        }
    };
    // Counting sort by tail: count, prefix sums, place in list order (stable: ring edge first).
    Csr out;
    out.n = np;
    out.indptr.assign(np + 1, 0);
    for_each_edge([&](std::uint64_t from, std::uint64_t to, double) {
        if (from >= np || to >= np) internal_stop("edge endpoint out of range");
        ++out.indptr[from + 1];
    });
    for (std::uint64_t c = 0; c < np; ++c) out.indptr[c + 1] += out.indptr[c];
    out.indices.resize(out.indptr[np]);
    out.weights.resize(out.indptr[np]);
    Vec<std::uint64_t> cursor(out.indptr.begin(), out.indptr.end() - 1);
    for_each_edge([&](std::uint64_t from, std::uint64_t to, double w) {
        const std::uint64_t at = cursor[from]++;
        out.indices[at] = static_cast<std::uint32_t>(to);
        out.weights[at] = w;
    });
    maps.source = maps.first_copy[source];
    return out;
}

namespace transform_detail {

std::size_t mark_off_tree(const OwnedArray<std::int32_t>& pred, std::uint64_t source, Vec<std::uint8_t>* chain_out) {
    const std::size_t n = pred.size();
    Vec<std::uint8_t> chain(n, CHAIN_UNKNOWN);
    Vec<std::uint32_t> path;
    std::size_t off_tree = 0;
    for (std::size_t v = 0; v < n; ++v) {
        if (chain[v] != CHAIN_UNKNOWN) continue;
        path.clear();
        std::size_t x = v;
        std::uint8_t verdict;
        for (;;) {
            if (chain[x] == CHAIN_ROOTED || chain[x] == CHAIN_CYCLIC) {
                verdict = chain[x];
                break;
            }
            if (chain[x] == CHAIN_OPEN) {
                verdict = CHAIN_CYCLIC;
                break;
            }
            if (x == source || pred[x] < 0) {
                chain[x] = CHAIN_ROOTED;
                verdict = CHAIN_ROOTED;
                break;
            }
            chain[x] = CHAIN_OPEN;
            path.push_back(static_cast<std::uint32_t>(x));
            x = static_cast<std::size_t>(pred[x]);
        }
        for (std::uint32_t y : path) chain[y] = verdict;
        if (verdict == CHAIN_CYCLIC) off_tree += path.size();
    }
    if (chain_out != nullptr) *chain_out = std::move(chain);
    return off_tree;
}

}  // namespace transform_detail

}  // namespace qh
