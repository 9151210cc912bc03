// The constant-degree transform (each through its sanity_check), its compact rows, and the
// mapping of results back.
#include <algorithm>
#include <tuple>
#include <vector>

#include "bmssp.hpp"
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

TEST(compact_rows_match_the_transform) {
    for (const CorpusGraph& c : corpus()) {
        const std::uint64_t source = c.csr.n / 3;
        const CompactGraph direct = compact_constant_degree(c.csr, source);
        const CompactGraph via = compact_rows(transform_to_constant_degree(c.csr, source));
        REQUIRE(direct.n() == via.n());
        CHECK(direct.source == via.source);
        CHECK(std::equal(direct.first_copy.begin(), direct.first_copy.end(), via.first_copy.begin(), via.first_copy.end()));
        CHECK(std::equal(direct.orig.begin(), direct.orig.end(), via.orig.begin(), via.orig.end()));
        // Same edges in the same row order (a lone ring edge may sit in either field).
        auto edges = [](const CompactRow& r) {
            std::vector<std::pair<std::uint32_t, std::uint64_t>> out;
            if (r.ring != NO_VERTEX) out.emplace_back(r.ring, std::bit_cast<std::uint64_t>(0.0));
            if (r.to != NO_VERTEX) out.emplace_back(r.to, std::bit_cast<std::uint64_t>(r.weight));
            return out;
        };
        std::size_t differing = 0;
        for (std::uint64_t x = 0; x < direct.n(); ++x) differing += edges(direct.rows[x]) != edges(via.rows[x]);
        CHECK(differing == 0);
    }
    // A row of two edges whose first is not a zero-weight edge has no compact form.
    Transformed odd;
    odd.graph = make_csr(3, {{0, 1, 1.0}, {0, 2, 0.0}});
    odd.first_copy = {0, 1, 2};
    odd.orig = {0, 1, 2};
    bool stopped = false;
    try {
        (void)compact_rows(odd);
    } catch (const InternalStop&) {
        stopped = true;
    }
    CHECK(stopped);
}
