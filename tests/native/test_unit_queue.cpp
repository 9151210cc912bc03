// UnitQueue against BlockDs with M = 1, through its sanity_check.
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/queues/block_queue.hpp"
#include "core/queues/unit_queue.hpp"
#include "graph_fixtures.hpp"
#include "queue_probe.hpp"

using namespace qh;
using qh::testing::TestRng;

namespace {

Key dkey(double d, std::int64_t v, std::int64_t hops = 0) { return Key{d, hops, v}; }

}  // namespace

// Runs the same random operations on BlockDs(1, bound) and UnitQueue and requires the same
// pulled vertex, the same x and the same rng state after every operation, and the same
// held keys. `universe` vertices; insert dists are `low` plus up to `spread`; with
// `signed_zeros`, -0.0 and +0.0 both occur (and +inf when the bound is KEY_TOP). With
// `near_front`, most inserts take the dist of the smallest key held or one more, as a base
// case's routed keys do, so that they land in D1's first pairs. Returns the number of
// operations after which the queue was looking at its front first.
struct UnitRun {
    std::uint32_t universe;
    std::uint64_t spread;
    int ops;
    bool signed_zeros;
    bool near_front = false;
};

int check_unit_queue_matches(const UnitRun& run, TestRng& gen) {
    const Key bound = gen.below(2) == 0 ? dkey(1e6, 0) : KEY_TOP;
    BlockDs ref(1, bound);
    UnitQueue unit(bound);
    std::uint64_t rng_ref = gen.next();
    std::uint64_t rng_unit = rng_ref;
    double low = 0.0;
    Vec<std::uint32_t> out_ref;
    Vec<std::uint32_t> out_unit;
    const std::uint64_t pull_weight = 2 + gen.below(4);  // some runs grow the queue, some drain it
    double front = low;                                  // the dist of the last x pulled below the bound
    int front_looks = 0;
    auto insert_dist = [&]() {
        if (run.near_front && gen.below(4) != 0) return front + static_cast<double>(gen.below(2));
        if (run.signed_zeros) {
            const std::uint64_t r = gen.below(8);
            if (r == 0) return -0.0;
            if (r == 1) return 0.0;
            if (r == 2 && bound == KEY_TOP) return std::numeric_limits<double>::infinity();
        }
        return low + static_cast<double>(gen.below(run.spread));
    };
    // Fills the UnitQueue from a list and inserts the same list one by one into BlockDs: on a
    // fresh queue with distinct vertices that takes the sorted path, otherwise the fallback.
    auto fill_both = [&]() {
        std::vector<Entry> list;
        const std::uint64_t len = gen.below(gen.below(4) == 0 ? 300 : 8);
        for (std::uint64_t i = 0; i < len; ++i) {
            const auto v = static_cast<std::uint32_t>(gen.below(run.universe));
            list.push_back({v, dkey(insert_dist(), v, static_cast<std::int64_t>(gen.below(3)))});
        }
        for (const Entry& e : list) ref.insert(e.vertex(), e.key, rng_ref);
        unit.fill(list, rng_unit);
    };
    for (int op = 0; op < run.ops; ++op) {
        const std::uint64_t what = gen.below(8 + pull_weight);
        if (op == 0 || (what == 8 && gen.below(16) == 0)) fill_both();
        if (what < 5) {
            const auto v = static_cast<std::uint32_t>(gen.below(run.universe));
            const Key k = dkey(insert_dist(), v, static_cast<std::int64_t>(gen.below(3)));
            ref.insert(v, k, rng_ref);
            unit.insert(v, k, rng_unit);
        } else if (what < 7) {
            std::vector<Entry> batch;
            const std::uint64_t len = 1 + gen.below(gen.below(3) == 0 ? 40 : 5);
            for (std::uint64_t i = 0; i < len; ++i) {
                const auto v = static_cast<std::uint32_t>(gen.below(run.universe));
                batch.push_back({v, dkey(low - 1.0 - static_cast<double>(gen.below(20)), v)});
            }
            low -= 25.0;
            ref.batch_prepend(batch, rng_ref);
            unit.batch_prepend(batch, rng_unit);
        } else if (what == 7 && gen.below(8) == 0) {
            ref.reset(1, bound);
            unit.reset(bound);
            if (gen.below(2) == 0) fill_both();
        } else if (!ref.is_empty()) {
            const Key x_ref = ref.pull(rng_ref, out_ref);
            const Key x_unit = unit.pull(rng_unit, out_unit);
            REQUIRE(out_ref.size() == 1 && out_unit.size() == 1);
            CHECK(out_ref[0] == out_unit[0]);
            CHECK(x_ref == x_unit);
            if (x_unit < bound) front = x_unit.dist();
        }
        if (QueueProbe::looks_at_front(unit)) ++front_looks;
        REQUIRE(rng_ref == rng_unit);
        REQUIRE(ref.size() == unit.size());
        if (run.universe <= 100 || op % 64 == 0) {
            unit.sanity_check();
            for (std::uint32_t v = 0; v < run.universe; ++v) {
                const Key* a = QueueProbe::key_of(ref, v);
                const Key* b = QueueProbe::key_of(unit, v);
                CHECK((a == nullptr) == (b == nullptr));
                if (a != nullptr && b != nullptr) CHECK(*a == *b);
            }
        }
    }
    return front_looks;
}

// UnitQueue must be indistinguishable from BlockDs with M = 1 on random sequences that split
// and empty D1 blocks, supersede entries in D0 and D1, prepend batches with repeats and drain.
TEST(unit_queue_matches_block_ds_with_m_1) {
    for (std::uint64_t trial = 0; trial < 80; ++trial) {
        TestRng gen{5000 + trial};
        const auto universe = 8 + static_cast<std::uint32_t>(gen.below(60));
        check_unit_queue_matches({universe, 40, 600, false}, gen);
    }
    // Many equal dists, signed zeros and +inf: hops and vertex decide most comparisons.
    for (std::uint64_t trial = 0; trial < 40; ++trial) {
        TestRng gen{7000 + trial};
        check_unit_queue_matches({24, 3, 600, true}, gen);
    }
    // Queues of hundreds to thousands of vertices: D1 outgrows its buffer and splits land
    // near both ends of it.
    for (std::uint64_t trial = 0; trial < 12; ++trial) {
        TestRng gen{9000 + trial};
        check_unit_queue_matches({3000, trial % 2 == 0 ? 5000u : 60u, 12000, trial % 3 == 0}, gen);
    }
}

// Keys crowding the front, as on grid-like graphs, make the queue look at D1's first pairs
// before bisecting; it must still find the pairs BlockDs's blocks would.
TEST(unit_queue_matches_block_ds_with_keys_at_its_front) {
    for (std::uint64_t trial = 0; trial < 30; ++trial) {
        TestRng gen{11000 + trial};
        const auto universe = trial < 20 ? 8 + static_cast<std::uint32_t>(gen.below(60)) : 2000u;
        const int looks = check_unit_queue_matches({universe, 400, 3000, trial % 4 == 0, true}, gen);
        CHECK(looks > 0);
    }
}
