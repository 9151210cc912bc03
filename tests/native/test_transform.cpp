// The constant-degree rows a run searches: copy numbering, rings, degrees, and every input
// edge exactly once between copies of its endpoints, weight bit for bit.
#include <algorithm>
#include <bit>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "core/transform.hpp"
#include "graph_fixtures.hpp"

using namespace qh;
using namespace qh::testing;

TEST(constant_degree_rows_keep_their_invariants) {
    struct Row {
        std::uint32_t ring, to;
        double weight;
    };
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
