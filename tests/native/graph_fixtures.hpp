// graph_fixtures.hpp: the native tests' graph builders, the corpus of the golden digests and
// the digest of a run.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/csr.hpp"
#include "core/run.hpp"

namespace qh::testing {

struct Arc {
    std::uint32_t from;
    std::uint32_t to;
    double weight;
};

// A Csr from arcs; arcs keep their relative order within each row.
inline Csr make_csr(std::uint64_t n, const std::vector<Arc>& arcs) {
    Csr g;
    g.n = n;
    g.indptr.assign(n + 1, 0);
    for (const Arc& a : arcs) ++g.indptr[a.from + 1];
    for (std::uint64_t i = 0; i < n; ++i) g.indptr[i + 1] += g.indptr[i];
    Vec<std::uint64_t> cur(g.indptr.begin(), g.indptr.end());
    g.indices.assign(arcs.size(), 0);
    g.weights.assign(arcs.size(), 0.0);
    for (const Arc& a : arcs) {
        const std::uint64_t at = cur[a.from]++;
        g.indices[at] = a.to;
        g.weights[at] = a.weight;
    }
    return g;
}

// Deterministic generator for test graphs (independent of the run's SplitMix64 use).
struct TestRng {
    std::uint64_t state;
    std::uint64_t next() { return splitmix64(state); }
    std::uint64_t below(std::uint64_t n) { return next() % n; }
};

// One named graph of the test corpus.
struct CorpusGraph {
    std::string name;
    Csr csr;
};

// Random sparse digraph with integer weights in [0, max_w].
inline Csr random_sparse(std::uint64_t n, std::uint64_t m, std::uint64_t max_w, std::uint64_t seed) {
    TestRng rng{seed};
    std::vector<Arc> arcs;
    for (std::uint64_t i = 0; i < m; ++i) {
        arcs.push_back({static_cast<std::uint32_t>(rng.below(n)), static_cast<std::uint32_t>(rng.below(n)),
                        static_cast<double>(rng.below(max_w + 1))});
    }
    return make_csr(n, arcs);
}

// rows x cols grid, arcs both ways between neighbours, integer weights in [lo, hi].
inline Csr grid(std::uint32_t rows, std::uint32_t cols, std::uint64_t lo, std::uint64_t hi, std::uint64_t seed) {
    TestRng rng{seed};
    std::vector<Arc> arcs;
    auto id = [cols](std::uint32_t r, std::uint32_t c) { return r * cols + c; };
    for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t c = 0; c < cols; ++c) {
            auto w = [&] { return static_cast<double>(lo + rng.below(hi - lo + 1)); };
            if (c + 1 < cols) arcs.push_back({id(r, c), id(r, c + 1), w()});
            if (c > 0) arcs.push_back({id(r, c), id(r, c - 1), w()});
            if (r + 1 < rows) arcs.push_back({id(r, c), id(r + 1, c), w()});
            if (r > 0) arcs.push_back({id(r, c), id(r - 1, c), w()});
        }
    }
    return make_csr(static_cast<std::uint64_t>(rows) * cols, arcs);
}

// Layered graph: every vertex of a layer joins every vertex of the next with weight 1,
// so the number of equal-length shortest paths grows exponentially.
inline Csr layered_equal_paths(std::uint32_t layers, std::uint32_t width) {
    std::vector<Arc> arcs;
    const std::uint32_t n = 1 + layers * width;
    for (std::uint32_t j = 0; j < width; ++j) arcs.push_back({0, 1 + j, 1.0});
    for (std::uint32_t l = 0; l + 1 < layers; ++l) {
        for (std::uint32_t a = 0; a < width; ++a) {
            for (std::uint32_t b = 0; b < width; ++b) arcs.push_back({1 + l * width + a, 1 + (l + 1) * width + b, 1.0});
        }
    }
    return make_csr(n, arcs);
}

// Random graph sprinkled with zero-weight cycles, self-loops, parallel arcs and isolated vertices.
inline Csr messy(std::uint64_t n, std::uint64_t seed) {
    TestRng rng{seed};
    std::vector<Arc> arcs;
    const std::uint64_t used = n - n / 8;  // the top eighth stays isolated
    for (std::uint64_t i = 0; i < 3 * used; ++i) {
        const auto u = static_cast<std::uint32_t>(rng.below(used));
        const auto v = static_cast<std::uint32_t>(rng.below(used));
        const double w = static_cast<double>(rng.below(4));
        arcs.push_back({u, v, w});
        if (rng.below(5) == 0) arcs.push_back({u, v, static_cast<double>(rng.below(4))});  // parallel
        if (rng.below(7) == 0) arcs.push_back({u, u, static_cast<double>(rng.below(3))});  // self-loop
        if (rng.below(6) == 0) arcs.push_back({v, u, 0.0});                                // zero cycle
    }
    return make_csr(n, arcs);
}

// Random graph with real-valued weights (not integers), for determinism and certificates.
inline Csr random_real(std::uint64_t n, std::uint64_t m, std::uint64_t seed) {
    TestRng rng{seed};
    std::vector<Arc> arcs;
    for (std::uint64_t i = 0; i < m; ++i) {
        const double w = static_cast<double>(rng.next() >> 11) * 0x1.0p-53 * 10.0;
        arcs.push_back({static_cast<std::uint32_t>(rng.below(n)), static_cast<std::uint32_t>(rng.below(n)), w});
    }
    return make_csr(n, arcs);
}

// The corpus the golden digests and the certificate tests run over.
inline std::vector<CorpusGraph> corpus() {
    std::vector<CorpusGraph> c;
    c.push_back({"single", make_csr(1, {})});
    c.push_back({"empty5", make_csr(5, {})});
    c.push_back({"path", make_csr(6, {{0, 1, 1}, {1, 2, 2}, {2, 3, 0}, {3, 4, 5}, {4, 5, 1}})});
    c.push_back({"sparse50", random_sparse(50, 120, 9, 11)});
    c.push_back({"sparse300", random_sparse(300, 900, 20, 12)});
    c.push_back({"sparse2000", random_sparse(2000, 8000, 100, 13)});
    c.push_back({"sparse_zero", random_sparse(400, 1600, 1, 14)});
    c.push_back({"grid12", grid(12, 12, 1, 9, 15)});
    c.push_back({"grid_unit", grid(20, 25, 1, 1, 16)});
    c.push_back({"layered", layered_equal_paths(8, 5)});
    c.push_back({"messy200", messy(200, 17)});
    c.push_back({"messy1500", messy(1500, 18)});
    c.push_back({"real600", random_real(600, 2400, 19)});
    // Large enough that the seeded pivot draws change the settlement order.
    c.push_back({"sparse8k", random_sparse(8000, 16000, 3, 21)});
    c.push_back({"messy6000", messy(6000, 22)});
    c.push_back({"layered_wide", layered_equal_paths(20, 30)});
    return c;
}

// FNV-1a digest of dist, pred and the settlement log of a run.
inline std::uint64_t run_digest(const BmsspRun& run) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    auto value = [&h](const auto& v) {
        const auto* b = reinterpret_cast<const unsigned char*>(&v);
        for (std::size_t i = 0; i < sizeof v; ++i) h = (h ^ b[i]) * 0x100000001b3ull;
    };
    for (double d : run.dist) value(std::bit_cast<std::uint64_t>(d));
    for (std::int32_t p : run.pred) value(p);
    for (const SettleRecord& r : run.settle_log) {
        value(r.vertex);
        value(std::bit_cast<std::uint64_t>(r.dhat));
    }
    value(static_cast<std::uint64_t>(run.settle_log.size()));
    return h;
}

}  // namespace qh::testing
