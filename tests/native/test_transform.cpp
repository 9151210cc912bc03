// The constant-degree transform: the CSR builder through its sanity_check, and the rows a run
// searches against it.
#include <algorithm>
#include <tuple>
#include <vector>

#include "recursion.hpp"
#include "transform.hpp"
#include "transform_forms.hpp"
#include "check.hpp"
#include "graph_fixtures.hpp"
#include "stop.hpp"

using namespace qh;
using namespace qh::testing;

TEST(transform_invariants_on_corpus) {
    for (const CorpusGraph& c : corpus()) {
        const Transformed tg = transform_to_constant_degree(c.csr, 0);
        tg.sanity_check(c.csr);
        CHECK(tg.graph.n == transformed_vertex_count(c.csr));
        CHECK(tg.graph.n >= c.csr.n);
        // Every input edge appears exactly once, between copies of its own
        // endpoints, with its weight bit for bit.
        std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint64_t>> in, out;
        for (std::uint64_t u = 0; u < c.csr.n; ++u) {
            for (std::uint64_t e = c.csr.indptr[u]; e < c.csr.indptr[u + 1]; ++e) {
                in.emplace_back(static_cast<std::uint32_t>(u), c.csr.indices[e], std::bit_cast<std::uint64_t>(c.csr.weights[e]));
            }
        }
        const Csr& g = tg.graph;
        for (std::uint64_t x = 0; x < g.n; ++x) {
            const std::uint32_t v = tg.orig[x];
            const std::uint64_t copies = (v + 1 < c.csr.n ? tg.first_copy[v + 1] : g.n) - tg.first_copy[v];
            for (std::uint64_t e = g.indptr[x]; e < g.indptr[x + 1]; ++e) {
                if (e == g.indptr[x] && copies >= 2) continue;  // ring edge
                out.emplace_back(v, tg.orig[g.indices[e]], std::bit_cast<std::uint64_t>(g.weights[e]));
            }
        }
        std::sort(in.begin(), in.end());
        std::sort(out.begin(), out.end());
        CHECK(in == out);
    }
}

TEST(run_rows_match_the_transform) {
    // The rows a run searches, built in one pass, against the CSR builder: same maps, same
    // edges in the same row order (a lone ring edge may sit in either field).
    for (const CorpusGraph& c : corpus()) {
        const std::uint64_t source = c.csr.n / 3;
        CopyMaps maps;
        const Vec<VertexNode> rows =
            constant_degree_rows(c.csr, source, maps, VertexNode{0.0, 0, 0, NO_VERTEX, NO_VERTEX, 0.0});
        const Transformed via = transform_to_constant_degree(c.csr, source);
        REQUIRE(rows.size() == via.graph.n);
        CHECK(maps.source == via.source);
        CHECK(std::equal(maps.first_copy.begin(), maps.first_copy.end(), via.first_copy.begin(), via.first_copy.end()));
        CHECK(std::equal(maps.orig.begin(), maps.orig.end(), via.orig.begin(), via.orig.end()));
        std::size_t differing = 0;
        for (std::uint64_t x = 0; x < rows.size(); ++x) {
            std::vector<std::pair<std::uint32_t, std::uint64_t>> got, want;
            if (rows[x].ring != NO_VERTEX) got.emplace_back(rows[x].ring, std::bit_cast<std::uint64_t>(0.0));
            if (rows[x].to != NO_VERTEX) got.emplace_back(rows[x].to, std::bit_cast<std::uint64_t>(rows[x].weight));
            for (std::uint64_t e = via.graph.indptr[x]; e < via.graph.indptr[x + 1]; ++e)
                want.emplace_back(via.graph.indices[e], std::bit_cast<std::uint64_t>(via.graph.weights[e]));
            differing += got != want;
        }
        CHECK(differing == 0);
    }
}
