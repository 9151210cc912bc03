// Tests of the variant engine: FindPivots' layer count and lazy stop, base cases, bounded
// searches, levels without pivots, parameter arithmetic and the run's checks.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "check.hpp"
#include "graph_fixtures.hpp"
#include "stop.hpp"
#include "variants/engine.hpp"

using namespace qh;
using qh::testing::make_csr;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

VariantConfig plain() {
    VariantConfig c;
    c.transform = false;
    return c;
}

std::vector<std::uint32_t> vec(const Vec<std::uint32_t>& v) { return {v.begin(), v.end()}; }

template <class F>
std::string stop_message(F&& f) {
    try {
        f();
    } catch (const InternalStop& s) {
        return s.what();
    }
    return "";
}

}  // namespace

TEST(find_pivots_threshold_is_the_number_of_layers_begun) {
    // s -> a, s -> b; a and b have no out-edges. k = 4.
    const Csr g = make_csr(3, {{0, 1, 1.0}, {0, 2, 2.0}});
    Engine<BlockDs> e(g, 0, 4, 1, 0, plain());
    const std::uint32_t s[] = {0};
    auto [p, w] = e.find_pivots(KEY_TOP, s);
    // layer 1 adds a and b, layer 2 finds nothing, layer 3 starts on an empty frontier: r = 3
    CHECK((vec(p) == std::vector<std::uint32_t>{0}));
    CHECK((vec(w) == std::vector<std::uint32_t>{0, 1, 2}));
    CHECK(e.labels[1].dist == 1.0 && e.labels[1].hops == 1 && e.labels[1].pred == 0);
    CHECK(e.labels[2].dist == 2.0 && e.labels[2].hops == 1 && e.labels[2].pred == 0);
}

TEST(find_pivots_with_k_1_builds_one_layer) {
    // Layer 1 reaches a new vertex: |W| = 2 > 1, so P = S.
    const Csr g = make_csr(3, {{0, 1, 1.0}, {1, 2, 1.0}});
    Engine<FlatHeap> e(g, 0, 1, 1, 0, plain());
    const std::uint32_t s[] = {0};
    auto [p, w] = e.find_pivots(KEY_TOP, s);
    CHECK((vec(p) == std::vector<std::uint32_t>{0}));
    CHECK((vec(w) == std::vector<std::uint32_t>{0, 1}));
    CHECK(e.labels[2].dist == INF);  // one layer only
    // Nothing reachable below the bound: every root is a pivot (trees of one vertex).
    Engine<FlatHeap> f(g, 0, 1, 1, 0, plain());
    auto [p2, w2] = f.find_pivots(Key{0.5, 0, 0}, s);
    CHECK((vec(p2) == std::vector<std::uint32_t>{0}));
    CHECK((vec(w2) == std::vector<std::uint32_t>{0}));
}

TEST(find_pivots_lazy_stop_after_a_layer_that_does_not_shrink) {
    // A path s -> a -> b -> c -> d -> e, k = 4.
    const Csr g = make_csr(6, {{0, 1, 1.0}, {1, 2, 1.0}, {2, 3, 1.0}, {3, 4, 1.0}, {4, 5, 1.0}});
    VariantConfig lazy = plain();
    lazy.lazy_pivots = true;
    const std::uint32_t s[] = {0};
    {
        Engine<BlockDs> e(g, 0, 4, 1, 0, lazy);
        auto [p, w] = e.find_pivots(KEY_TOP, s);
        // layer 2 keeps one frontier vertex out of one: stop with r = 2; s's tree {s, a, b} suffices
        CHECK((vec(p) == std::vector<std::uint32_t>{0}));
        CHECK((vec(w) == std::vector<std::uint32_t>{0, 1, 2}));
        CHECK(e.labels[3].dist == INF);
    }
    {
        Engine<BlockDs> e(g, 0, 4, 1, 0, plain());
        auto [p, w] = e.find_pivots(KEY_TOP, s);
        // without the switch: four layers, W = 5 > 4 returns P = S
        CHECK((vec(p) == std::vector<std::uint32_t>{0}));
        CHECK((vec(w) == std::vector<std::uint32_t>{0, 1, 2, 3, 4}));
    }
}

TEST(find_pivots_forest_uses_only_tight_predecessor_edges) {
    // Worked example: k = 2, S = [s1, s2], s1 -> a -> b, s2 isolated.
    const Csr g = make_csr(4, {{0, 2, 1.0}, {2, 3, 1.0}});
    Engine<BlockDs> e(g, 0, 2, 1, 0, plain());
    e.labels[1] = Label{0.0, 0, LABEL_NO_PRED};
    const std::uint32_t s[] = {0, 1};
    auto [p, w] = e.find_pivots(KEY_TOP, s);
    CHECK((vec(p) == std::vector<std::uint32_t>{0}));
    CHECK((vec(w) == std::vector<std::uint32_t>{0, 1, 2, 3}));
    CHECK(e.labels[3].dist == 2.0 && e.labels[3].hops == 2 && e.labels[3].pred == 2);
}

TEST(base_case_reaching_k_plus_1_vertices_returns_the_largest_key_as_bound) {
    const Csr g = make_csr(4, {{0, 1, 1.0}, {1, 2, 1.0}, {2, 3, 1.0}});
    Engine<BlockDs> e(g, 0, 2, 1, 0, plain());
    const std::uint32_t s[] = {0};
    const LevelOut out = e.bmssp(0, KEY_TOP, s);
    CHECK((vec(out.vertices) == std::vector<std::uint32_t>{0, 1}));
    CHECK(out.bound == e.key(2));
    CHECK(e.complete[0] && e.complete[1] && !e.complete[2] && !e.complete[3]);
    CHECK(e.labels[3].dist == 3.0);  // relaxed from the (k+1)-th vertex, then the search stops
}

TEST(base_case_without_out_edges_returns_its_source) {
    const Csr g = make_csr(2, {{1, 0, 1.0}});
    Engine<FlatHeap> e(g, 0, 3, 1, 0, plain());
    const std::uint32_t s[] = {0};
    const LevelOut out = e.bmssp(0, KEY_TOP, s);
    CHECK((vec(out.vertices) == std::vector<std::uint32_t>{0}));
    CHECK(out.bound == KEY_TOP);
    CHECK(e.complete[0]);
}

TEST(base_case_with_the_largest_k_does_not_wrap) {
    // k + 1 would wrap to 0 and settle nothing; the search must settle every vertex instead.
    const Csr g = make_csr(4, {{0, 1, 1.0}, {1, 2, 1.0}, {2, 3, 1.0}});
    Engine<BlockDs> e(g, 0, ~std::uint64_t{0}, 1, 0, plain());
    const std::uint32_t s[] = {0};
    const LevelOut out = e.bmssp(0, KEY_TOP, s);
    CHECK((vec(out.vertices) == std::vector<std::uint32_t>{0, 1, 2, 3}));
    CHECK(out.bound == KEY_TOP);
}

TEST(base_case_respects_the_bound) {
    const Csr g = make_csr(3, {{0, 1, 1.0}, {0, 2, 3.0}});
    Engine<BlockDs> e(g, 0, 5, 1, 0, plain());
    const std::uint32_t s[] = {0};
    const LevelOut out = e.bmssp(0, Key{2.0, 0, 0}, s);
    CHECK((vec(out.vertices) == std::vector<std::uint32_t>{0, 1}));
    CHECK(e.labels[2].dist == INF);  // candidate 3.0 is not below the bound: no update
}

TEST(bounded_dijkstra_at_level_1_has_no_size_limit) {
    const Csr g = make_csr(5, {{0, 1, 1.0}, {1, 2, 1.0}, {2, 3, 1.0}, {3, 4, 0.0}});
    VariantConfig c = plain();
    c.dijkstra_max_level = 1;
    Engine<BlockDs> e(g, 0, 1, 1, 0, c);
    const std::uint32_t s[] = {0};
    const LevelOut out = e.bmssp(1, KEY_TOP, s);
    CHECK((vec(out.vertices) == std::vector<std::uint32_t>{0, 1, 2, 3, 4}));
    CHECK(out.bound == KEY_TOP);
    CHECK(e.labels[4].dist == 3.0 && e.labels[4].hops == 4 && e.labels[4].pred == 3);
    CHECK(e.rng == 0);  // no queue was built
}

TEST(bounded_dijkstra_survives_the_epoch_wrapping_around) {
    // After 2^32 searches the epoch would return to the stamps' initial 0 and every vertex would
    // look taken; the stamps are reset instead.
    const Csr g = make_csr(3, {{0, 1, 1.0}, {1, 2, 1.0}});
    VariantConfig c = plain();
    c.dijkstra_max_frontier = 1;
    Engine<FlatHeap> e(g, 0, 1, 1, 0, c);
    e.epoch = std::numeric_limits<std::uint32_t>::max();
    const std::uint32_t s[] = {0};
    const LevelOut out = e.bmssp(2, KEY_TOP, s);
    CHECK((vec(out.vertices) == std::vector<std::uint32_t>{0, 1, 2}));
    CHECK(e.epoch == 1);
}

TEST(level_without_pivots_returns_w_below_the_bound) {
    // s1 and s2 without out-edges, k = 2: two trees of one vertex, r = 2, no pivots.
    const Csr g = make_csr(3, {{2, 0, 1.0}});
    Engine<BlockDs> e(g, 0, 2, 1, 0, plain());
    e.labels[1] = Label{0.0, 0, LABEL_NO_PRED};
    const std::uint32_t s[] = {0, 1};
    const Key bound{5.0, 0, 0};
    auto [p, w] = e.find_pivots(bound, s);
    CHECK(p.empty());
    Engine<BlockDs> f(g, 0, 2, 1, 0, plain());
    f.labels[1] = Label{0.0, 0, LABEL_NO_PRED};
    const LevelOut out = f.bmssp(1, bound, s);
    CHECK(out.bound == bound);
    CHECK((vec(out.vertices) == std::vector<std::uint32_t>{0, 1}));
    CHECK(f.complete[0] && f.complete[1] && !f.complete[2]);
    CHECK(f.rng == 0);  // nothing was inserted, so nothing was drawn
}

TEST(relaxation_refuses_a_candidate_that_overflows) {
    const double big = std::numeric_limits<double>::max();
    const Csr g = make_csr(3, {{0, 1, big}, {1, 2, big}});
    for (bool transform : {false, true}) {
        VariantConfig c;
        c.transform = transform;
        auto result = run<FlatHeap>(g, 0, 0, c);
        REQUIRE(std::holds_alternative<VariantRun>(result));
        const VariantRun& r = std::get<VariantRun>(result);
        CHECK(r.dist[1] == big && r.pred[1] == 0);
        CHECK(r.dist[2] == INF);
        CHECK(r.pred[2] == -1);  // unreached keeps no predecessor
    }
}

TEST(parameter_arithmetic_saturates) {
    constexpr std::uint64_t MAX = ~std::uint64_t{0};
    CHECK(sat_mul(MAX, 2) == MAX);
    CHECK(sat_mul(1u << 20, 1u << 20) == std::uint64_t{1} << 40);
    CHECK(size_limit(0, 500) == 0);
    CHECK(size_limit(1, 127) == u128{1} << 127);
    CHECK(size_limit(2, 127) == U128_MAX);
    CHECK(size_limit(MAX, 64) == u128{MAX} << 64);
    CHECK(size_limit(MAX, 65) == U128_MAX);
    CHECK(size_limit(3, MAX) == U128_MAX);
    CHECK(block_size(MAX, 1, 50) == 1);
    CHECK(block_size(MAX, 2, 50) == 50);
    CHECK(block_size(3, 3, 1000) == 64);
    CHECK(block_size(31, 3, 1000) == 1000);  // 2^62 is not below n
    CHECK(block_size(3, 3, 0) == 1);
}

TEST(parameters_follow_log2_and_pow) {
    VariantConfig c;
    struct Row {
        std::uint64_t n, k, t, levels;
    };
    const Row rows[] = {{1, 1, 1, 1}, {2, 1, 1, 1}, {3, 1, 1, 2}, {8, 1, 2, 2}, {100, 1, 3, 3},
                        {256, 2, 3, 3}, {1000, 2, 4, 3}, {4096, 2, 5, 3}, {1000000, 2, 7, 3}, {1u << 27, 3, 8, 4}};
    for (const Row& r : rows) {
        const EngineParams p = engine_parameters(r.n, c);
        CHECK(p.k == r.k && p.t == r.t && p.levels == r.levels);
    }
    c.force_params = true;
    c.k = 5;
    c.t = ~std::uint64_t{0};
    const EngineParams p = engine_parameters(1000, c);
    CHECK(p.k == 5 && p.t == ~std::uint64_t{0} && p.levels == 1);
    c.t = 2;
    CHECK(engine_parameters(1000, c).levels == 5);
}

TEST(run_checks_source_then_weights_then_structure) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const VariantConfig c;
    Csr g = make_csr(2, {{0, 1, nan}});
    auto r = run<BlockDs>(g, 2, 0, c);
    CHECK(std::holds_alternative<BmsspError>(r) && std::get<BmsspError>(r) == BmsspError::SourceOutOfRange);
    for (double w : {nan, INF, -INF, -1.0, -5e-324}) {
        g.weights[0] = w;
        r = run<BlockDs>(g, 0, 0, c);
        CHECK(std::holds_alternative<BmsspError>(r) && std::get<BmsspError>(r) == BmsspError::InvalidWeight);
    }
    g.weights[0] = -0.0;
    r = run<FlatHeap>(g, 0, 0, c);
    REQUIRE(std::holds_alternative<VariantRun>(r));
    CHECK(std::get<VariantRun>(r).dist[1] == 0.0 && std::get<VariantRun>(r).pred[1] == 0);

    // Structure checks, in order, with the compared values where there are two.
    Csr bad = make_csr(3, {{0, 1, 1.0}, {1, 2, 1.0}});
    bad.indptr.push_back(2);
    CHECK(stop_message([&] { run<BlockDs>(bad, 0, 0, c); }) == "malformed CSR: indptr length (left: 5, right: 4)");
    bad = make_csr(3, {{0, 1, 1.0}, {1, 2, 1.0}});
    bad.indptr[0] = 1;
    CHECK(stop_message([&] { run<BlockDs>(bad, 0, 0, c); }) == "malformed CSR: indptr[0] != 0 (left: 1, right: 0)");
    bad = make_csr(3, {{0, 1, 1.0}, {1, 2, 1.0}});
    bad.indptr[3] = 1;
    CHECK(stop_message([&] { run<BlockDs>(bad, 0, 0, c); }) == "malformed CSR: indptr[n] != nnz (left: 1, right: 2)");
    bad = make_csr(3, {{0, 1, 1.0}, {1, 2, 1.0}});
    bad.weights.push_back(1.0);
    CHECK(stop_message([&] { run<BlockDs>(bad, 0, 0, c); }) == "malformed CSR: weights length (left: 3, right: 2)");
    bad = make_csr(3, {{0, 1, 1.0}, {1, 2, 1.0}});
    bad.indptr[1] = 2;
    bad.indptr[2] = 1;
    CHECK(stop_message([&] { run<BlockDs>(bad, 0, 0, c); }) == "malformed CSR: indptr not monotone");
    bad = make_csr(3, {{0, 1, 1.0}, {1, 2, 1.0}});
    bad.indices[1] = 3;
    CHECK(stop_message([&] { run<FlatHeap>(bad, 0, 0, c); }) == "malformed CSR: neighbor id out of range");
}

TEST(engine_refuses_graphs_beyond_i32_ids) {
    Csr huge;  // only the count matters: the check comes before any allocation
    huge.n = 2147483647;
    CHECK(stop_message([&] { Engine<FlatHeap> e(huge, 0, 1, 1, 0, plain()); }) ==
          "graph too large for i32 vertex ids");
    const Csr g = make_csr(2, {});
    CHECK(stop_message([&] { Engine<FlatHeap> e(g, 2, 1, 1, 0, plain()); }) == "index out of bounds");
}

TEST(transformed_runs_map_back_to_the_input_graph) {
    // The transform's worked example: distances [0, 3, 1], predecessors [-1, 2, 0].
    const Csr g = make_csr(3, {{0, 1, 5.0}, {0, 2, 1.0}, {2, 1, 2.0}});
    for (std::uint64_t seed : {0ull, 1ull, 99ull}) {
        auto r = run<BlockDs>(g, 0, seed, VariantConfig{});
        REQUIRE(std::holds_alternative<VariantRun>(r));
        const VariantRun& v = std::get<VariantRun>(r);
        CHECK(v.dist[0] == 0.0 && v.dist[1] == 3.0 && v.dist[2] == 1.0);
        CHECK(v.pred[0] == -1 && v.pred[1] == 2 && v.pred[2] == 0);
    }
}
