// Tests of the constant-degree transform and the mapping of results back.
#include <algorithm>
#include <tuple>
#include <vector>

#include "bmssp.hpp"
#include "check.hpp"
#include "graph_fixtures.hpp"
#include "stop.hpp"

using namespace qh;
using namespace qh::testing;

namespace {

struct Row {
    std::vector<std::uint32_t> to;
    std::vector<double> w;
};

Row row(const Csr& g, std::uint64_t c) {
    Row r;
    for (std::uint64_t e = g.indptr[c]; e < g.indptr[c + 1]; ++e) {
        r.to.push_back(g.indices[e]);
        r.w.push_back(g.weights[e]);
    }
    return r;
}

bool row_is(const Csr& g, std::uint64_t c, std::vector<std::uint32_t> to, std::vector<double> w) {
    const Row r = row(g, c);
    return r.to == to && r.w == w;
}

}  // namespace

TEST(transform_worked_example) {
    const Csr g = make_csr(3, {{0, 1, 5}, {0, 2, 1}, {2, 1, 2}});
    const Transformed tg = transform_to_constant_degree(g, 0);
    tg.sanity_check(g);
    CHECK(tg.graph.n == 6);
    CHECK((std::vector<std::uint32_t>(tg.first_copy.begin(), tg.first_copy.end()) == std::vector<std::uint32_t>{0, 2, 4}));
    CHECK((std::vector<std::uint32_t>(tg.orig.begin(), tg.orig.end()) == std::vector<std::uint32_t>{0, 0, 1, 1, 2, 2}));
    CHECK(row_is(tg.graph, 0, {1, 2}, {0, 5}));
    CHECK(row_is(tg.graph, 1, {0, 4}, {0, 1}));
    CHECK(row_is(tg.graph, 2, {3}, {0}));
    CHECK(row_is(tg.graph, 3, {2}, {0}));
    CHECK(row_is(tg.graph, 4, {5}, {0}));
    CHECK(row_is(tg.graph, 5, {4, 3}, {0, 2}));
    CHECK((std::vector<std::uint64_t>(tg.graph.indptr.begin(), tg.graph.indptr.end()) ==
           std::vector<std::uint64_t>{0, 2, 4, 5, 6, 7, 9}));
    CHECK(tg.source == 0);
    CHECK(transformed_vertex_count(g) == 6);

    // Mapping back the shortest-path tree from source 0.
    const std::vector<double> tdist{0, 0, 3, 3, 1, 1};
    const std::vector<std::uint64_t> tpred{NO_PRED, 0, 3, 5, 1, 4};
    const OwnedArray<double> dist = map_distances_back(tg, tdist);
    const OwnedArray<std::int32_t> pred = map_predecessors_back(tg, tdist, tpred, 0);
    CHECK(dist[0] == 0 && dist[1] == 3 && dist[2] == 1);
    CHECK(pred[0] == -1 && pred[1] == 2 && pred[2] == 0);
}

TEST(transform_small_shapes) {
    // No edges: one copy per vertex, identity maps.
    {
        const Csr g = make_csr(4, {});
        const Transformed tg = transform_to_constant_degree(g, 2);
        tg.sanity_check(g);
        CHECK(tg.graph.n == 4 && tg.graph.nnz() == 0 && tg.source == 2);
        for (std::uint32_t v = 0; v < 4; ++v) CHECK(tg.first_copy[v] == v && tg.orig[v] == v);
    }
    // Degree one: one copy, no ring; degree two: two copies, ring both ways.
    {
        const Csr g = make_csr(3, {{0, 1, 7}, {1, 2, 4}});
        const Transformed tg = transform_to_constant_degree(g, 0);
        tg.sanity_check(g);
        CHECK(tg.graph.n == 4);  // 1 + 2 + 1
        CHECK(row_is(tg.graph, 0, {1}, {7}));
        CHECK(row_is(tg.graph, 1, {2}, {0}));
        CHECK(row_is(tg.graph, 2, {1, 3}, {0, 4}));
        CHECK(row_is(tg.graph, 3, {}, {}));
    }
    // A self-loop on an otherwise isolated vertex: tail slot 0, head slot 1.
    {
        const Csr g = make_csr(2, {{1, 1, 2.5}});
        const Transformed tg = transform_to_constant_degree(g, 1);
        tg.sanity_check(g);
        CHECK(tg.graph.n == 3 && tg.source == 1);
        CHECK(row_is(tg.graph, 1, {2, 2}, {0, 2.5}));
        CHECK(row_is(tg.graph, 2, {1}, {0}));
    }
    // Weights are copied bit for bit (-0.0 stays -0.0).
    {
        const Csr g = make_csr(2, {{0, 1, -0.0}});
        const Transformed tg = transform_to_constant_degree(g, 0);
        CHECK(std::signbit(tg.graph.weights[0]));
    }
}

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

TEST(map_back_leaves_unreached_and_stops_cycles) {
    // Vertex 1 unreached although its copies point at each other.
    const Csr g = make_csr(3, {{0, 2, 1}, {1, 2, 1}, {2, 1, 1}});
    const Transformed tg = transform_to_constant_degree(g, 0);
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> tdist(tg.graph.n, inf);
    std::vector<std::uint64_t> tpred(tg.graph.n, NO_PRED);
    tdist[tg.first_copy[0]] = 0;
    const std::uint32_t c1 = tg.first_copy[1];
    tpred[c1] = c1 + 1;
    tpred[c1 + 1] = c1;
    OwnedArray<std::int32_t> pred = map_predecessors_back(tg, tdist, tpred, 0);
    CHECK(pred[1] == -1);
    // The same cycle on a vertex that claims a finite distance is refused, not looped on.
    tdist[c1] = 4;
    bool stopped = false;
    try {
        pred = map_predecessors_back(tg, tdist, tpred, 0);
    } catch (const InternalStop&) {
        stopped = true;
    }
    CHECK(stopped);
}

TEST(id_limits) {
    CHECK(fits_bmssp_ids(10, 20));
    CHECK(fits_bmssp_ids(std::uint64_t{1} << 31, (std::uint64_t{1} << 32) - 1));
    CHECK(!fits_bmssp_ids(5, std::uint64_t{1} << 32));
    CHECK(!fits_bmssp_ids((std::uint64_t{1} << 31) + 1, (std::uint64_t{1} << 31) + 1));
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
