// The frontier queues (BlockDs, FlatHeap) under random operation sequences against a model.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <type_traits>
#include <vector>

#include "check.hpp"
#include "core/queues/block_queue.hpp"
#include "core/queues/dqueue.hpp"
#include "core/queues/flat_heap.hpp"
#include "core/queues/key_heap.hpp"
#include "graph_fixtures.hpp"
#include "queue_probe.hpp"

using namespace qh;
using qh::testing::TestRng;

static_assert(DQueue<BlockDs> && DQueue<FlatHeap> && !DQueue<KeyHeap> && !DQueue<int>);

namespace {

Key dkey(double d, std::int64_t v, std::int64_t hops = 0) { return Key{d, hops, v}; }

// Inserts, batches below everything ever held, pulls and resets to a new M, checked against a
// map of the held keys, with sanity_check after every operation. A pull takes the M smallest
// keys (FlatHeap in ascending order) and returns the next key or the bound.
template <class Q>
void check_against_model(std::uint64_t first_seed) {
    for (std::uint64_t trial = 0; trial < 60; ++trial) {
        TestRng gen{first_seed + trial};
        std::uint64_t m = 1 + gen.below(trial % 3 == 0 ? 2 : 9);
        const Key bound = gen.below(2) == 0 ? dkey(1e6, 0) : KEY_TOP;
        Q q(m, bound);
        std::map<std::uint32_t, Key> model;
        std::uint64_t rng = gen.next();
        double low = 0.0;
        Vec<std::uint32_t> out;
        auto offer = [&](std::uint32_t v, const Key& k) {
            auto [it, added] = model.try_emplace(v, k);
            if (!added && k < it->second) it->second = k;
        };
        for (int op = 0; op < 400; ++op) {
            const std::uint64_t what = gen.below(10);
            if (what < 5) {
                const auto v = static_cast<std::uint32_t>(gen.below(40));
                const Key k =
                    dkey(low + static_cast<double>(gen.below(60)), v, static_cast<std::int64_t>(gen.below(3)));
                q.insert(v, k, rng);
                offer(v, k);
            } else if (what < 7) {
                std::vector<Entry> batch;
                for (std::uint64_t i = 0, len = 1 + gen.below(3 * m + 2); i < len; ++i) {
                    const auto v = static_cast<std::uint32_t>(gen.below(40));
                    batch.push_back({v, dkey(low - 1.0 - static_cast<double>(gen.below(20)), v)});
                }
                low -= 25.0;
                q.batch_prepend(batch, rng);
                for (const Entry& e : batch) offer(e.vertex(), e.key);
            } else if (what == 9 && gen.below(4) == 0) {
                m = 1 + gen.below(6);
                q.reset(m, bound);
                model.clear();
            } else {
                std::vector<std::pair<Key, std::uint32_t>> sorted;
                for (auto& [v, k] : model) sorted.push_back({k, v});
                std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.first < b.first; });
                const Key x = q.pull(rng, out);
                const std::size_t take = std::min<std::size_t>(sorted.size(), m);
                REQUIRE(out.size() == take);
                std::vector<std::uint32_t> want, got(out.begin(), out.end());
                for (std::size_t i = 0; i < take; ++i) want.push_back(sorted[i].second);
                if constexpr (!std::is_same_v<Q, FlatHeap>) {
                    std::sort(want.begin(), want.end());
                    std::sort(got.begin(), got.end());
                }
                CHECK(got == want);
                CHECK(x == (take < sorted.size() ? sorted[take].first : bound));
                for (std::uint32_t v : out) model.erase(v);
            }
            q.sanity_check();
            REQUIRE(q.size() == model.size() && q.is_empty() == model.empty());
            if constexpr (std::is_same_v<Q, BlockDs>)
                for (auto& [v, k] : model) CHECK(QueueProbe::key_of(q, v) != nullptr && *QueueProbe::key_of(q, v) == k);
        }
    }
}

}  // namespace

TEST(block_ds_random_sequences) { check_against_model<BlockDs>(1000); }
TEST(flat_heap_random_sequences) { check_against_model<FlatHeap>(2024); }

// The key's one-word form keeps the IEEE 754 totalOrder of distances (-0.0 before +0.0,
// subnormals and infinities in place) ahead of hops and vertex, and gives the distance back
// bit for bit.
TEST(key_orders_distances_by_total_order_and_gives_them_back) {
    constexpr double INF = std::numeric_limits<double>::infinity();
    const double dists[] = {-INF, -1.5, -std::numeric_limits<double>::denorm_min(),
                            -0.0, 0.0,  std::numeric_limits<double>::denorm_min(),
                            0.1,  1.0,  1e300,
                            INF};
    for (std::size_t i = 0; i < std::size(dists); ++i) {
        const Key a{dists[i], 7, 3};
        CHECK(std::bit_cast<std::uint64_t>(a.dist()) == std::bit_cast<std::uint64_t>(dists[i]));
        CHECK(a.vertex() == 3);
        if (i + 1 < std::size(dists)) CHECK(a < Key(dists[i + 1], 0, 0));  // dist decides before hops
        CHECK(Key(dists[i], 6, 9) < a && a < Key(dists[i], 7, 4));         // then hops, then vertex
    }
    CHECK(KEY_TOP.dist() == INF && Key(INF, 100, 100) < KEY_TOP);
}

// sort_by_key against std::sort, over every length up to a few hundred: lengths that are not
// powers of two give merges of unequal runs, and keys that tie on distance (and on hops) are
// ordered by the fields behind, as in a queue filled with a ring's copies. Repeated entries
// must come out as many times as they went in.
TEST(sort_by_key_matches_std_sort) {
    TestRng gen{0x5eed};
    std::vector<Entry> scratch(600);
    for (std::size_t n = 0; n <= 520; n += (n < 70 ? 1 : 13)) {
        for (int round = 0; round < 4; ++round) {
            std::vector<Entry> a(n);
            const std::uint64_t dists = round == 0 ? 1 : round == 1 ? 3 : 1u << 20;
            for (Entry& e : a) {
                const auto v = static_cast<std::uint32_t>(gen.below(round == 3 ? 8 : 1u << 30));
                e = Entry(
                    v, dkey(0.1 * static_cast<double>(gen.below(dists)), v, static_cast<std::int64_t>(gen.below(4))));
            }
            std::vector<Entry> want = a;
            std::sort(want.begin(), want.end(), [](const Entry& x, const Entry& y) { return x.key < y.key; });
            sort_by_key(a, scratch);
            bool same = true;
            for (std::size_t i = 0; i < n; ++i) same = same && a[i].key == want[i].key;
            CHECK(same);
        }
    }
}

// first_bound_not_below against std::lower_bound, over every length up to a few hundred (the
// quarter steps leave remainders of every size) and keys below, between, on and at the last
// bound, with bounds that tie on distance and differ in hops or vertex.
TEST(first_bound_not_below_matches_lower_bound) {
    TestRng gen{0xb0a7d};
    for (std::size_t n = 1; n <= 300; n += (n < 80 ? 1 : 7)) {
        std::vector<Key> bounds;
        for (std::size_t i = 0; i < n; ++i) {
            const auto v = static_cast<std::uint32_t>(gen.below(1u << 20));
            bounds.push_back(
                dkey(static_cast<double>(gen.below(n / 2 + 1)), v, static_cast<std::int64_t>(gen.below(3))));
        }
        std::sort(bounds.begin(), bounds.end(), [](const Key& x, const Key& y) { return x < y; });
        bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
        std::vector<Key> keys = bounds;  // every bound itself, and keys around them
        for (int i = 0; i < 40; ++i) {
            const auto v = static_cast<std::uint32_t>(gen.below(1u << 20));
            keys.push_back(dkey(static_cast<double>(gen.below(n / 2 + 1)), v, static_cast<std::int64_t>(gen.below(3))));
        }
        keys.push_back(dkey(-1.0, 0));
        bool same = true;
        for (const Key& key : keys) {
            if (bounds.back() < key) continue;  // the last bound must not be below the key
            const Key* found =
                first_bound_not_below(bounds.data(), bounds.size(), key, [](const Key& b) -> const Key& { return b; });
            const auto want =
                std::lower_bound(bounds.begin(), bounds.end(), key, [](const Key& x, const Key& y) { return x < y; });
            same = same && found == bounds.data() + (want - bounds.begin());
        }
        CHECK(same);
    }
}
