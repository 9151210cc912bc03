// The constant-degree rows and the hub-ring forms a run searches: copy numbering, rings,
// degrees, and every input edge exactly once between copies of its endpoints, weight bit for bit.
#include <algorithm>
#include <bit>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "core/transform.hpp"
#include "graph_fixtures.hpp"

using namespace qh;
using namespace qh::testing;

namespace {

struct Row {
    std::uint32_t ring, to;
    double weight;
};

}  // namespace

TEST(constant_degree_rows_keep_their_invariants) {
    for (const CorpusGraph& c : corpus()) {
        const std::uint64_t n = c.csr.n, source = n / 3;
        CopyMaps maps;
        const Vec<Row> rows = constant_degree_rows(c.csr, source, maps, Row{NO_VERTEX, NO_VERTEX, 0.0});
        REQUIRE(rows.size() == transformed_vertex_count(c.csr) && maps.orig.size() == rows.size());
        CHECK(maps.source == maps.first_copy[source] && maps.first_copy[0] == 0);
        std::vector<std::uint32_t> in_deg(rows.size(), 0);
        std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint64_t>> in, out;
        for (std::uint64_t x = 0; x < rows.size(); ++x) {
            const std::uint32_t v = maps.orig[x];
            const std::uint64_t first = maps.first_copy[v], last = maps.copies_end(v);
            REQUIRE(v < n && first <= x && x < last);
            CHECK(rows[x].ring == (last - first < 2 ? NO_VERTEX : x + 1 == last ? first : x + 1));
            if (rows[x].ring != NO_VERTEX) ++in_deg[rows[x].ring];
            if (rows[x].to == NO_VERTEX) continue;
            REQUIRE(rows[x].to < rows.size());
            ++in_deg[rows[x].to];
            out.emplace_back(v, maps.orig[rows[x].to], std::bit_cast<std::uint64_t>(rows[x].weight));
        }
        for (std::uint64_t x = 0; x < rows.size(); ++x) {
            const std::uint32_t out_deg = (rows[x].ring != NO_VERTEX) + (rows[x].to != NO_VERTEX);
            CHECK(in_deg[x] <= 2 && out_deg + in_deg[x] <= 3);
        }
        for (std::uint64_t u = 0; u < n; ++u) {
            CHECK(u == 0 || maps.first_copy[u - 1] < maps.first_copy[u]);
            for (std::uint64_t e = c.csr.indptr[u]; e < c.csr.indptr[u + 1]; ++e)
                in.emplace_back(u, c.csr.indices[e], std::bit_cast<std::uint64_t>(c.csr.weights[e]));
        }
        std::sort(in.begin(), in.end());
        std::sort(out.begin(), out.end());
        CHECK(in == out);
    }
}

TEST(hub_rings_lie_between_the_input_and_the_constant_degree_rows) {
    for (const CorpusGraph& c : corpus()) {
        const std::uint64_t n = c.csr.n, source = n / 3;
        CopyMaps all;
        const Vec<Row> rows = constant_degree_rows(c.csr, source, all, Row{NO_VERTEX, NO_VERTEX, 0.0});
        for (const std::uint64_t d :
             {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{5}, std::uint64_t{1} << 40}) {
            CopyMaps maps;
            const Csr form = hub_rings(c.csr, source, d, maps);
            const HubRingSize size = hub_ring_size(c.csr, d);
            REQUIRE(form.n == size.vertices && form.nnz() == size.arcs && maps.orig.size() == form.n);
            CHECK(maps.source == maps.first_copy[source]);
            std::vector<std::uint64_t> in_deg(form.n, 0);
            std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint64_t>> in, out;
            for (std::uint64_t x = 0; x < form.n; ++x) {
                const std::uint32_t v = maps.orig[x];
                const std::uint64_t first = maps.first_copy[v], last = maps.copies_end(v);
                REQUIRE(first <= x && x < last);
                std::uint64_t e = form.indptr[x];
                if (last - first >= 2) {  // a hub's copy: its ring edge first, then at most one edge
                    CHECK(form.indices[e] == (x + 1 == last ? first : x + 1) && form.weights[e] == 0.0);
                    CHECK(form.indptr[x + 1] - e <= 2);
                    ++in_deg[form.indices[e++]];
                }
                for (; e < form.indptr[x + 1]; ++e) {
                    ++in_deg[form.indices[e]];
                    out.emplace_back(v, maps.orig[form.indices[e]], std::bit_cast<std::uint64_t>(form.weights[e]));
                }
                if (d == 0) {  // the constant-degree rows themselves
                    std::vector<std::uint32_t> want;
                    if (rows[x].ring != NO_VERTEX) want.push_back(rows[x].ring);
                    if (rows[x].to != NO_VERTEX) want.push_back(rows[x].to);
                    CHECK(std::vector<std::uint32_t>(form.indices.begin() + form.indptr[x],
                                                     form.indices.begin() + form.indptr[x + 1]) == want);
                }
            }
            std::vector<std::uint64_t> input_in(n, 0);
            for (std::uint32_t w : c.csr.indices) ++input_in[w];
            for (std::uint64_t x = 0; x < form.n; ++x) {  // a hub's copies at most 2, other vertices at most D
                const std::uint32_t v = maps.orig[x];
                const bool hub = c.csr.indptr[v + 1] - c.csr.indptr[v] > d || input_in[v] > d;
                const std::uint64_t bound = hub ? 2 : d, out_deg = form.indptr[x + 1] - form.indptr[x];
                CHECK(in_deg[x] <= bound && out_deg <= bound && (hub || maps.copies_end(v) == x + 1u));
            }
            for (std::uint64_t u = 0; u < n; ++u)
                for (std::uint64_t e = c.csr.indptr[u]; e < c.csr.indptr[u + 1]; ++e)
                    in.emplace_back(u, c.csr.indices[e], std::bit_cast<std::uint64_t>(c.csr.weights[e]));
            std::sort(in.begin(), in.end());
            std::sort(out.begin(), out.end());
            CHECK(in == out);
            if (d == (std::uint64_t{1} << 40))  // no hub: the input graph, ids and rows alike
                CHECK(form.indptr == c.csr.indptr && form.indices == c.csr.indices && maps.orig.size() == n);
        }
    }
}
