// What only the core can check: FindPivots and the closing check on hand-made states, and the
// golden digests of whole runs.
#include <cstdlib>
#include <variant>
#include <vector>

#include "check.hpp"
#include "core/catalogue.hpp"
#include "core/parameters.hpp"
#include "core/recursion/find_pivots_impl.hpp"
#include "core/recursion/recursion.hpp"
#include "core/run.hpp"
#include "core/stop.hpp"
#include "core/transform.hpp"
#include "graph_fixtures.hpp"

using namespace qh;
using namespace qh::testing;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

using Core = Recursion<ConstantDegreeRows, BlockQueues>;

// Unreached vertex records holding a hand-made graph's rows, for driving the recursion below
// the driver. Every row has at most two edges, the first of two weighing +0.0.
Vec<VertexNode> raw_rows(const Csr& g) {
    Vec<VertexNode> rows(g.n, VertexNode{INF, UNREACHED, NO_VERTEX, NO_VERTEX, NO_VERTEX, 0.0});
    for (std::uint32_t v = 0; v < g.n; ++v) {
        const std::uint64_t begin = g.indptr[v];
        const std::uint64_t len = g.indptr[v + 1] - begin;
        if (len == 2) rows[v].ring = g.indices[begin];
        if (len >= 1) {
            rows[v].to = g.indices[begin + len - 1];
            rows[v].weight = g.weights[begin + len - 1];
        }
    }
    return rows;
}

// The core run with its settlement log, as `bmssp_instrumented` makes it.
std::variant<BmsspRun, BmsspError> logged_run(const Csr& g, std::uint64_t source, std::uint64_t seed) {
    RunConfig config = CORE;
    config.log = SettleLog::Keep;
    return run(g, source, seed, config);
}

struct Golden {
    const char* graph;
    std::uint64_t seed;
    std::uint64_t source;
    std::uint64_t digest;
};

const Golden GOLDEN[] = {
#include "bmssp_golden.inc"
};

constexpr std::uint64_t GOLDEN_SEEDS[] = {0, 1, 0xDEADBEEFCAFEF00Dull};

std::vector<std::uint64_t> golden_sources(std::uint64_t n) {
    std::vector<std::uint64_t> s{0};
    if (n / 2 != 0) s.push_back(n / 2);
    if (n - 1 != 0 && n - 1 != n / 2) s.push_back(n - 1);
    return s;
}

}  // namespace

TEST(find_pivots_keeps_an_edge_whose_rounded_sum_still_holds) {
    // s1 = 0 (dist 0, 5 hops), s2 = 1, a = 2, b = 3. b holds 2^53 through a's earlier
    // (0.5, 1 hop) label; s1 lowers a to (0.25, 6 hops) and 0.25 + 2^53 rounds to b's
    // distance. With k = 3, s1 is a pivot only if b stays in its tree.
    const double big = 9007199254740992.0;
    const Csr g = make_csr(4, {{0, 2, 0.25}, {1, 2, 0.5}, {2, 3, big}});
    State<ConstantDegreeRows> st(raw_rows(g), ConstantDegreeRows{}, 0);
    st.vertex[0].hops = 5;
    st.vertex[1].dist = 0.0;
    st.vertex[1].hops = 0;
    st.vertex[2].dist = 0.5;
    st.vertex[2].hops = 1;
    st.vertex[2].pred = 1;
    st.vertex[3].dist = big;
    st.vertex[3].hops = 2;
    st.vertex[3].pred = 2;
    const std::uint32_t s[] = {0, 1};
    Vec<std::uint32_t> p, w;
    FindPivots<ConstantDegreeRows>(g.n, 3, false).run(st, KEY_TOP, s, p, w);
    CHECK((std::vector<std::uint32_t>(p.begin(), p.end()) == std::vector<std::uint32_t>{0}));
    CHECK((std::vector<std::uint32_t>(w.begin(), w.end()) == std::vector<std::uint32_t>{0, 1, 2, 3}));
    CHECK(st.vertex[2].dist == 0.25 && st.vertex[2].hops == 6);
    CHECK(st.vertex[3].dist == big && st.vertex[3].hops == 2 && st.vertex[3].pred == 2);  // offered, unchanged
    CHECK(st.reoffers == 1);
}

TEST(finish_completes_any_labelling_it_is_given) {
    // From the source alone the closing check is a whole Dijkstra search; after a real run
    // with some labels knocked back to unreached, it restores exactly those.
    for (const CorpusGraph& c : corpus()) {
        if (c.csr.n == 0) continue;
        const std::uint64_t source = c.csr.n / 3;
        const BmsspRun ref = std::get<BmsspRun>(logged_run(c.csr, source, 0));  // pinned by the golden digests
        CopyMaps cg;
        const VertexNode blank{INF, UNREACHED, NO_VERTEX, NO_VERTEX, NO_VERTEX, 0.0};
        Vec<VertexNode> rows = constant_degree_rows(c.csr, source, cg, blank);
        const Vec<VertexNode> copy = rows;
        Core fresh(std::move(rows), ConstantDegreeRows{}, cg.source, CORE, RunParams{2, 2, 1}, 0);
        const std::uint64_t lowered = fresh.finish();
        for (std::uint64_t v = 0; v < c.csr.n; ++v) CHECK(fresh.state.vertex[cg.first_copy[v]].dist == ref.dist[v]);
        std::uint64_t reached_copies = 0;
        for (const VertexNode& r : fresh.state.vertex) reached_copies += r.dist < INF;
        CHECK(lowered == reached_copies - 1);
        CHECK(fresh.state.settle_log.size() == (lowered == 0 ? 0 : reached_copies));  // a lone source fails no edge

        const RunParams params = run_params(CORE, c.csr.n, c.csr.nnz(), cg.orig.size());
        Core st(Vec<VertexNode>(copy), ConstantDegreeRows{}, cg.source, CORE, params, 7);
        const std::uint32_t top[] = {cg.source};
        (void)st.run(params.levels, KEY_TOP, top);
        CHECK(st.finish() == 0);
        std::uint64_t knocked = 0;
        for (std::uint32_t v = 1; v < st.state.vertex.size(); v += 5) {
            if (v == cg.source || !(st.state.vertex[v].dist < INF)) continue;
            st.state.vertex[v].dist = INF;
            st.state.vertex[v].hops = UNREACHED;
            st.state.vertex[v].pred = NO_VERTEX;
            ++knocked;
        }
        const std::uint64_t restored = st.finish();
        CHECK(restored >= knocked);
        for (std::uint64_t v = 0; v < c.csr.n; ++v) CHECK(st.state.vertex[cg.first_copy[v]].dist == ref.dist[v]);
    }
}

TEST(sums_are_exact_agrees_with_integer_arithmetic) {
    // The verdict is "integral weights totalling at most 2^52", whatever order the scan adds
    // them in: totals just below, at and above 2^52, with the crossing weight at every
    // position of the unrolled loop and of its tail, and one fractional weight.
    constexpr double TWO_52 = 4503599627370496.0;
    std::uint64_t state = 5;
    for (std::size_t n = 1; n <= 11; ++n) {
        for (std::size_t big = 0; big < n; ++big) {
            for (const std::int64_t over : {-3, -1, 0, 1, 2}) {
                std::vector<double> w(n);
                std::int64_t rest = 0;  // the other weights' total, far below 2^52
                for (std::size_t i = 0; i < n; ++i) {
                    w[i] = static_cast<double>(splitmix64(state) % 1000);
                    if (i != big) rest += static_cast<std::int64_t>(w[i]);
                }
                w[big] = static_cast<double>((std::int64_t{1} << 52) - rest + over);
                CHECK(sums_are_exact(w) == (w[big] < TWO_52 && over <= 0));
                if (n == 1) continue;
                w[(big + 1) % n] += 0.5;  // a small weight: the half stays
                CHECK(!sums_are_exact(w));
            }
        }
    }
}

// Digests of dist, pred and settlement log over the corpus; any change in a
// single output bit shows up here. QH_PRINT_GOLDEN=1 prints the table.
TEST(golden_digests) {
    const bool print = std::getenv("QH_PRINT_GOLDEN") != nullptr;
    std::size_t checked = 0;
    for (const CorpusGraph& c : corpus()) {
        for (std::uint64_t seed : GOLDEN_SEEDS) {
            for (std::uint64_t source : golden_sources(c.csr.n)) {
                const std::uint64_t digest = run_digest(std::get<BmsspRun>(logged_run(c.csr, source, seed)));
                if (print) {
                    std::printf("{\"%s\", 0x%016llXull, %llu, 0x%016llXull},\n", c.name.c_str(),
                                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(source),
                                static_cast<unsigned long long>(digest));
                    continue;
                }
                bool found = false;
                for (const Golden& gd : GOLDEN) {
                    if (c.name == gd.graph && gd.seed == seed && gd.source == source) {
                        found = true;
                        CHECK(gd.digest == digest);
                        ++checked;
                    }
                }
                CHECK(found);
            }
        }
    }
    if (!print) CHECK(checked == sizeof(GOLDEN) / sizeof(GOLDEN[0]));
}
