// Tests of Key, SplitMix64, the selection helpers and BlockDs.
#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "block_queue.hpp"
#include "check.hpp"
#include "graph_fixtures.hpp"
#include "stop.hpp"

using namespace qh;
using qh::testing::TestRng;

namespace {

Key dkey(double d, std::int64_t v, std::int64_t hops = 0) { return Key{d, hops, v}; }

std::vector<Entry> random_entries(TestRng& rng, std::size_t n) {
    std::vector<Entry> a;
    for (std::size_t i = 0; i < n; ++i) {
        // Few distinct distances, so hops and vertex decide many comparisons.
        a.push_back({static_cast<std::uint32_t>(i), dkey(static_cast<double>(rng.below(5)), static_cast<std::int64_t>(i),
                                                          static_cast<std::int64_t>(rng.below(3)))});
    }
    return a;
}

bool same_multiset(std::vector<Entry> a, std::vector<Entry> b) {
    auto by_vertex = [](const Entry& x, const Entry& y) { return x.vertex < y.vertex; };
    std::sort(a.begin(), a.end(), by_vertex);
    std::sort(b.begin(), b.end(), by_vertex);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].vertex != b[i].vertex || !(a[i].key == b[i].key)) return false;
    }
    return true;
}

// chunk_by_median written literally: select into new lists, recurse on them.
void chunk_reference(const Vec<Entry>& in, std::size_t c, std::uint64_t& rng, std::vector<Vec<Entry>>& out) {
    if (in.empty()) return;
    if (in.size() <= c) {
        out.push_back(in);
        return;
    }
    auto [lower, upper] = select_smallest(in, in.size() / 2, rng);
    chunk_reference(lower, c, rng, out);
    chunk_reference(upper, c, rng, out);
}

// Quickselect exactly as defined (Lomuto, one draw per pass, no shortcuts), to hold
// the optimised partition to the same draws and the same final order.
void reference_partition(std::vector<Entry>& a, std::size_t k, std::uint64_t& rng) {
    const std::size_t n = a.size();
    if (n == 1) return;
    std::size_t lo = 0, hi = n - 1;
    for (;;) {
        const std::size_t p = lo + splitmix64(rng) % (hi - lo + 1);
        const Key pivot = a[p].key;
        std::swap(a[p], a[hi]);
        std::size_t store = lo;
        for (std::size_t j = lo; j < hi; ++j) {
            if (a[j].key < pivot) std::swap(a[store++], a[j]);
        }
        std::swap(a[store], a[hi]);
        if (store == k - 1) return;
        if (store > k - 1) {
            hi = store - 1;
        } else {
            lo = store + 1;
        }
        if (lo >= hi) return;
    }
}

}  // namespace

TEST(partition_matches_its_definition) {
    TestRng gen{314};
    for (int trial = 0; trial < 3000; ++trial) {
        const std::size_t n = 2 + gen.below(trial < 1000 ? 2 : 40);
        const std::size_t k = 1 + gen.below(n - 1);
        std::vector<Entry> a = random_entries(gen, n);
        // Besides shuffled keys: sorted and reverse-sorted runs (passes that start with a long
        // run below the pivot, or none), dists of -0.0, +0.0 and +inf, and entries whose keys
        // repeat in full (equal to the pivot's is not below it). Queue keys carry the vertex
        // id and never tie; the two-entry shortcut keeps a tie in place whatever the draw.
        const std::uint64_t shape = trial < 2000 ? 0 : gen.below(n >= 3 ? 5 : 4);
        auto by_key = [](const Entry& x, const Entry& y) { return x.key < y.key; };
        if (shape == 1) std::sort(a.begin(), a.end(), by_key);
        if (shape == 2) std::sort(a.begin(), a.end(), [&](const Entry& x, const Entry& y) { return by_key(y, x); });
        if (shape == 3) {
            const double special[] = {-0.0, 0.0, std::numeric_limits<double>::infinity()};
            for (Entry& e : a) e.key.dist = special[gen.below(3)];
        }
        if (shape == 4) {
            for (Entry& e : a) e.key = a[gen.below(n)].key;
        }
        std::vector<Entry> b = a;
        const std::uint64_t seed = gen.next();
        std::uint64_t ra = seed;
        std::uint64_t rb = seed;
        partition_smallest_in_place(a, k, ra);
        reference_partition(b, k, rb);
        CHECK(ra == rb);
        bool same = true;
        for (std::size_t i = 0; i < n; ++i) same = same && a[i].vertex == b[i].vertex;
        CHECK(same);
    }
}

TEST(key_total_order) {
    const double inf = std::numeric_limits<double>::infinity();
    CHECK(dkey(-0.0, 5) < dkey(0.0, 1));
    CHECK(!(dkey(0.0, 1) < dkey(-0.0, 5)));
    CHECK(!(dkey(-0.0, 1) == dkey(0.0, 1)));
    CHECK(dkey(1.0, 9) < dkey(2.0, 0));
    CHECK(dkey(1e308, 9) < dkey(inf, 0));
    CHECK(dkey(5e-324, 0) < dkey(1e-300, 0));
    CHECK(dkey(1.0, 9, 1) < dkey(1.0, 0, 2));  // hops before vertex
    CHECK(dkey(1.0, 1, 2) < dkey(1.0, 2, 2));
    CHECK(dkey(inf, 1LL << 32, (1LL << 62) - 1) < KEY_TOP);
    CHECK(dkey(-1.0, 0) < dkey(-0.0, 0));
    CHECK(dkey(-2.0, 0) < dkey(-1.0, 0));
    CHECK(dkey(2.0, 3, 4) == dkey(2.0, 3, 4));
    CHECK(dkey(2.0, 3, 4) <= dkey(2.0, 3, 4));
}

TEST(splitmix64_reference_values) {
    // Standard SplitMix64 from state 0.
    std::uint64_t rng = 0;
    CHECK(splitmix64(rng) == 0xE220A8397B1DCDAFull);
    CHECK(splitmix64(rng) == 0x6E789E6AA1B965F4ull);
    CHECK(splitmix64(rng) == 0x06C45D188009454Full);
    CHECK(rng == 3 * 0x9E3779B97F4A7C15ull);
}

TEST(partition_and_select) {
    TestRng gen{42};
    for (std::size_t n : {1u, 2u, 3u, 7u, 40u, 301u}) {
        for (std::size_t k = 1; k <= n; k += (n > 20 ? 13 : 1)) {
            std::vector<Entry> a = random_entries(gen, n);
            std::vector<Entry> sorted = a;
            std::sort(sorted.begin(), sorted.end(), [](const Entry& x, const Entry& y) { return x.key < y.key; });
            std::uint64_t rng = gen.next();
            const std::uint64_t before = rng;
            std::vector<Entry> b = a;
            partition_smallest_in_place(b, k, rng);
            CHECK(same_multiset(a, b));
            if (k < n) {
                CHECK(b[k - 1].key == sorted[k - 1].key);
                for (std::size_t i = 0; i < k; ++i) CHECK(b[i].key <= sorted[k - 1].key);
                for (std::size_t i = k; i < n; ++i) CHECK(sorted[k - 1].key < b[i].key);
                CHECK(rng != before);
            } else {
                CHECK(rng == before);  // out of range: nothing drawn, nothing moved
                CHECK(std::memcmp(a.data(), b.data(), n * sizeof(Entry)) == 0);
            }
            // select_smallest is the same partition on a copy.
            std::uint64_t rng2 = before;
            auto [lo, hi] = select_smallest(a, k, rng2);
            CHECK(rng2 == rng);
            REQUIRE(lo.size() == std::min(k, n));
            for (std::size_t i = 0; i < lo.size(); ++i) CHECK(lo[i].vertex == b[i].vertex);
            for (std::size_t i = 0; i < hi.size(); ++i) CHECK(hi[i].vertex == b[k + i].vertex);
        }
    }
    std::uint64_t rng = 7;
    std::vector<Entry> a = random_entries(gen, 5);
    auto [none, all] = select_smallest(a, 0, rng);
    CHECK(none.empty() && all.size() == 5 && rng == 7);
}

TEST(chunk_by_median_orders_chunks) {
    TestRng gen{9};
    for (std::size_t n : {0u, 1u, 5u, 17u, 64u, 333u}) {
        for (std::size_t c : {1u, 2u, 3u, 8u, 100u}) {
            std::vector<Entry> a = random_entries(gen, n);
            const std::uint64_t seed = gen.next();
            std::uint64_t rng = seed;
            Vec<Vec<Entry>> chunks = chunk_by_median(a, c, rng);
            std::vector<Entry> joined;
            for (std::size_t i = 0; i < chunks.size(); ++i) {
                CHECK(!chunks[i].empty() && chunks[i].size() <= c);
                for (const Entry& e : chunks[i]) joined.push_back(e);
                if (i + 1 < chunks.size()) {
                    for (const Entry& x : chunks[i]) {
                        for (const Entry& y : chunks[i + 1]) CHECK(x.key < y.key);
                    }
                }
            }
            CHECK(same_multiset(a, joined));
            // Same chunks, same order inside, same draws as the literal recursion.
            std::uint64_t rng_ref = seed;
            std::vector<Vec<Entry>> ref;
            chunk_reference(Vec<Entry>(a.begin(), a.end()), c, rng_ref, ref);
            CHECK(rng_ref == rng);
            REQUIRE(ref.size() == chunks.size());
            for (std::size_t i = 0; i < ref.size(); ++i) {
                REQUIRE(ref[i].size() == chunks[i].size());
                for (std::size_t j = 0; j < ref[i].size(); ++j) CHECK(ref[i][j].vertex == chunks[i][j].vertex);
            }
        }
    }
}

TEST(block_ds_worked_example_m2) {
    // a, b, c = vertices 0, 1, 2 with distances 5, 3, 4.
    BlockDs d(2, KEY_TOP);
    std::uint64_t rng = 1;
    d.insert(0, dkey(5, 0), rng);
    d.insert(1, dkey(3, 1), rng);
    d.sanity_check();
    CHECK(d.d1_blocks() == 1);
    d.insert(2, dkey(4, 2), rng);
    d.sanity_check();
    CHECK(d.d1_blocks() == 2);  // split: {b} with bound key(b), {a, c} with bound B
    Vec<std::uint32_t> out;
    const Key x = d.pull(rng, out);
    d.sanity_check();
    REQUIRE(out.size() == 2);
    CHECK((std::set<std::uint32_t>(out.begin(), out.end()) == std::set<std::uint32_t>{1, 2}));
    CHECK(x == dkey(5, 0));
    CHECK(d.d1_blocks() == 1);
    CHECK(d.size() == 1);
    const Key last = d.pull(rng, out);
    CHECK(out.size() == 1 && out[0] == 0);
    CHECK(last == KEY_TOP);
    CHECK(d.is_empty());
    d.sanity_check();
}

TEST(block_ds_insert_rules) {
    std::uint64_t rng = 3;
    BlockDs d(3, dkey(100, 0));
    d.insert(7, dkey(10, 7), rng);
    d.insert(8, dkey(20, 8), rng);
    // Equal or larger key: nothing changes.
    d.insert(7, dkey(10, 7), rng);
    d.insert(7, dkey(11, 7), rng);
    CHECK(d.size() == 2);
    CHECK(*d.key_of(7) == dkey(10, 7));
    d.sanity_check();
    // Smaller key moves the vertex.
    d.insert(8, dkey(5, 8), rng);
    CHECK(*d.key_of(8) == dkey(5, 8));
    d.sanity_check();
    // A key at the bound is refused without touching the queue; an empty batch is a no-op.
    for (const Key& k : {dkey(100, 0), dkey(100, 9)}) {
        bool stopped = false;
        try {
            d.insert(9, k, rng);
        } catch (const InternalStop&) {
            stopped = true;
        }
        CHECK(stopped);
        CHECK(d.size() == 2 && d.key_of(9) == nullptr);
    }
    const std::uint64_t before = rng;
    d.batch_prepend(std::span<const Entry>(), rng);
    CHECK(d.size() == 2 && d.d0_blocks() == 0 && rng == before);
    d.sanity_check();

    // M = 1: the second live entry splits the block; lower bound = its own key.
    BlockDs one(1, KEY_TOP);
    one.insert(1, dkey(2, 1), rng);
    one.insert(2, dkey(1, 2), rng);
    one.sanity_check();
    CHECK(one.d1_blocks() == 2);
    // A key equal to a bound lands in that bound's block: re-inserting at a smaller
    // key exactly equal to the lower bound is impossible (keys are unique), so check
    // through pulls instead: the block with bound key(2) holds exactly vertex 2.
    Vec<std::uint32_t> out;
    Key x = one.pull(rng, out);
    CHECK(out.size() == 1 && out[0] == 2);
    CHECK(x == dkey(2, 1));
    one.sanity_check();

    // Split of M + 1 = 5 entries: floor(5/2) = 2 go low, 3 stay with the old bound.
    BlockDs four(4, KEY_TOP);
    for (std::uint32_t v = 0; v < 5; ++v) four.insert(v, dkey(10.0 - v, v), rng);
    four.sanity_check();
    CHECK(four.d1_blocks() == 2);
    x = four.pull(rng, out);  // collects all 5 (> M): returns the 4 smallest
    CHECK(out.size() == 4);
    CHECK(x == dkey(10, 0));
    four.sanity_check();
}

TEST(block_ds_batch_prepend_rules) {
    std::uint64_t rng = 5;
    BlockDs d(4, KEY_TOP);
    d.insert(1, dkey(50, 1), rng);
    d.insert(2, dkey(60, 2), rng);
    // Vertex 3 repeated: its smallest key counts; vertex 1 moves from D1 to D0.
    const std::vector<Entry> batch{{3, dkey(9, 3)}, {1, dkey(7, 1)}, {3, dkey(4, 3)}, {3, dkey(8, 3)}};
    d.batch_prepend(batch, rng);
    d.sanity_check();
    CHECK(d.d0_blocks() == 1);  // two distinct vertices <= M
    CHECK(*d.key_of(3) == dkey(4, 3));
    CHECK(*d.key_of(1) == dkey(7, 1));
    CHECK(d.size() == 3);

    // More than M distinct vertices: blocks of at most ceil(M/2) in ascending order.
    std::vector<Entry> big;
    for (std::uint32_t v = 10; v < 19; ++v) big.push_back({v, dkey(static_cast<double>(v) - 20.0, v)});
    d.batch_prepend(big, rng);
    d.sanity_check();
    CHECK(d.d0_blocks() >= 1 + 9 / 2);
    Vec<std::uint32_t> out;
    const Key x = d.pull(rng, out);
    CHECK(out.size() == 4);
    CHECK((std::set<std::uint32_t>(out.begin(), out.end()) == std::set<std::uint32_t>{10, 11, 12, 13}));
    CHECK(x == dkey(-6, 14));
    d.sanity_check();

    // An equal key for a held vertex violates the precondition.
    bool stopped = false;
    try {
        const std::vector<Entry> bad{{2, dkey(60, 2)}};
        d.batch_prepend(bad, rng);
    } catch (const InternalStop& e) {
        stopped = std::strcmp(e.what(), "BatchPrepend: duplicate key with non-smaller value violates the precondition") == 0;
    }
    CHECK(stopped);
}

TEST(block_ds_pull_rules) {
    std::uint64_t rng = 11;
    BlockDs d(3, dkey(1000, 0));
    Vec<std::uint32_t> out{99};
    CHECK(d.pull(rng, out) == dkey(1000, 0));
    CHECK(out.empty());
    CHECK(d.is_empty());
    d.sanity_check();
    // D0 alone holds >= M entries, yet the smallest key was inserted into D1 later:
    // the pull still collects D1 and returns the M smallest of the whole queue.
    d.insert(1, dkey(1, 1), rng);
    d.batch_prepend(std::vector<Entry>{{2, dkey(0.5, 2)}, {3, dkey(0.75, 3)}, {4, dkey(0.25, 4)}, {5, dkey(0.6, 5)}}, rng);
    d.insert(7, dkey(0.1, 7), rng);
    d.sanity_check();
    const Key x = d.pull(rng, out);
    CHECK((std::set<std::uint32_t>(out.begin(), out.end()) == std::set<std::uint32_t>{7, 4, 2}));
    CHECK(x == dkey(0.6, 5));
    d.sanity_check();
    // At most M left in total: everything comes out and x is the bound.
    CHECK(d.pull(rng, out) == dkey(1000, 0));
    CHECK((std::set<std::uint32_t>(out.begin(), out.end()) == std::set<std::uint32_t>{1, 3, 5}));
    CHECK(d.is_empty());
    d.sanity_check();
    d.insert(6, dkey(3, 6), rng);  // still usable after a full drain
    CHECK(d.pull(rng, out) == dkey(1000, 0));
    CHECK(out.size() == 1 && out[0] == 6);
}

// Random operation sequences against a map model; sanity_check after every operation.
TEST(block_ds_random_sequences) {
    for (std::uint64_t trial = 0; trial < 60; ++trial) {
        TestRng gen{1000 + trial};
        std::uint64_t m = 1 + gen.below(trial % 3 == 0 ? 2 : 9);
        const bool finite_bound = gen.below(2) == 0;
        const Key bound = finite_bound ? dkey(1e6, 0) : KEY_TOP;
        BlockDs d(m, bound);
        std::map<std::uint32_t, Key> model;
        std::uint64_t rng = gen.next();
        double low = 0.0;  // every batch goes below everything ever held
        Vec<std::uint32_t> out;
        const std::uint32_t universe = 40;
        for (int op = 0; op < 400; ++op) {
            const std::uint64_t what = gen.below(10);
            if (what < 5) {
                const auto v = static_cast<std::uint32_t>(gen.below(universe));
                const Key k = dkey(low + static_cast<double>(gen.below(60)), v, static_cast<std::int64_t>(gen.below(3)));
                d.insert(v, k, rng);
                auto it = model.find(v);
                if (it == model.end() || k < it->second) model[v] = k;
            } else if (what < 7) {
                std::vector<Entry> batch;
                const std::uint64_t len = 1 + gen.below(3 * m + 2);
                for (std::uint64_t i = 0; i < len; ++i) {
                    const auto v = static_cast<std::uint32_t>(gen.below(universe));
                    batch.push_back({v, dkey(low - 1.0 - static_cast<double>(gen.below(20)), v)});
                }
                low -= 25.0;
                d.batch_prepend(batch, rng);
                for (const Entry& e : batch) {
                    auto it = model.find(e.vertex);
                    if (it == model.end() || e.key < it->second) model[e.vertex] = e.key;
                }
            } else if (what == 9 && gen.below(4) == 0) {
                // Reuse the queue with a new block size; everything held is dropped.
                m = 1 + gen.below(6);
                d.reset(m, bound);
                model.clear();
            } else {
                std::vector<std::pair<Key, std::uint32_t>> sorted;
                for (auto& [v, k] : model) sorted.push_back({k, v});
                std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.first < b.first; });
                const Key x = d.pull(rng, out);
                const std::size_t take = std::min<std::size_t>(sorted.size(), m);
                REQUIRE(out.size() == take);
                std::set<std::uint32_t> expect;
                for (std::size_t i = 0; i < take; ++i) expect.insert(sorted[i].second);
                CHECK(std::set<std::uint32_t>(out.begin(), out.end()) == expect);
                CHECK(x == (take < sorted.size() ? sorted[take].first : bound));
                for (std::uint32_t v : out) model.erase(v);
            }
            d.sanity_check();
            REQUIRE(d.size() == model.size());
            for (auto& [v, k] : model) CHECK(d.key_of(v) != nullptr && *d.key_of(v) == k);
        }
    }
}

// IdMap against std::map under random inserts, lookups and erases (backward-shift
// deletion must keep every remaining id findable), with clear() and regrowth.
TEST(id_map_random_operations) {
    TestRng gen{77};
    IdMap<std::uint64_t> map;
    std::map<std::uint32_t, std::uint64_t> model;
    for (int round = 0; round < 3; ++round) {
        const std::uint32_t universe = round == 1 ? 64 : 5000;  // dense collisions, then spread
        for (int op = 0; op < 20000; ++op) {
            const auto id = static_cast<std::uint32_t>(gen.below(universe) * (round == 2 ? 4096 : 1));
            const std::uint64_t what = gen.below(4);
            if (what < 2) {
                const std::uint64_t value = gen.next();
                map.assign(id, value);
                model[id] = value;
            } else if (what == 2) {
                CHECK(map.erase(id) == (model.erase(id) == 1));
            } else {
                const std::uint64_t* found = map.find(id);
                auto it = model.find(id);
                CHECK((found == nullptr) == (it == model.end()));
                if (found != nullptr && it != model.end()) CHECK(*found == it->second);
            }
            if (op % 4096 == 0) {
                for (auto& [k, v] : model) CHECK(map.find(k) != nullptr && *map.find(k) == v);
            }
        }
        CHECK(map.size() == model.size());
        if (round == 0) {
            map.clear();
        } else {
            // Thin the map out first so that it is mostly empty slots, then clear it by
            // the list of held ids, given with repeats.
            while (model.size() > 10) {
                CHECK(map.erase(model.begin()->first));
                model.erase(model.begin());
            }
            std::vector<std::uint32_t> ids;
            for (auto& [k, v] : model) ids.insert(ids.end(), {k, k});
            map.clear_listed(ids.begin(), ids.end(), [](std::uint32_t x) { return x; });
            CHECK(map.size() == 0);
            for (auto& [k, v] : model) CHECK(map.find(k) == nullptr);
            map.assign(5, 1);  // still usable
            CHECK(map.find(5) != nullptr && map.size() == 1);
            map.clear();
        }
        model.clear();
        CHECK(map.empty() && map.find(3) == nullptr);
    }
}

TEST(block_ds_reset_reuses_the_queue) {
    std::uint64_t rng = 21;
    BlockDs d(2, KEY_TOP);
    for (std::uint32_t v = 0; v < 9; ++v) d.insert(v, dkey(static_cast<double>(v % 4), v), rng);
    d.batch_prepend(std::vector<Entry>{{20, dkey(-1, 20)}, {21, dkey(-2, 21)}, {22, dkey(-3, 22)}}, rng);
    d.sanity_check();
    d.reset(3, dkey(50, 0));
    d.sanity_check();
    CHECK(d.is_empty() && d.m() == 3 && d.bound() == dkey(50, 0));
    CHECK(d.key_of(4) == nullptr && d.d0_blocks() == 0 && d.d1_blocks() == 1);
    d.insert(4, dkey(7, 4), rng);
    d.insert(5, dkey(6, 5), rng);
    Vec<std::uint32_t> out;
    CHECK(d.pull(rng, out) == dkey(50, 0));
    CHECK((std::set<std::uint32_t>(out.begin(), out.end()) == std::set<std::uint32_t>{4, 5}));
    d.sanity_check();
}

// Runs the same random operations on BlockDs(1, bound) and UnitQueue and requires the same
// pulled vertex, the same x and the same rng state after every operation, and the same
// held keys. `universe` vertices; insert dists are `low` plus up to `spread`; with
// `signed_zeros`, -0.0 and +0.0 both occur (and +inf when the bound is KEY_TOP).
struct UnitRun {
    std::uint32_t universe;
    std::uint64_t spread;
    int ops;
    bool signed_zeros;
};

void check_unit_queue_matches(const UnitRun& run, TestRng& gen) {
    const Key bound = gen.below(2) == 0 ? dkey(1e6, 0) : KEY_TOP;
    BlockDs ref(1, bound);
    UnitQueue unit(bound);
    std::uint64_t rng_ref = gen.next();
    std::uint64_t rng_unit = rng_ref;
    double low = 0.0;
    Vec<std::uint32_t> out_ref;
    Vec<std::uint32_t> out_unit;
    const std::uint64_t pull_weight = 2 + gen.below(4);  // some runs grow the queue, some drain it
    auto insert_dist = [&]() {
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
        for (const Entry& e : list) ref.insert(e.vertex, e.key, rng_ref);
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
        }
        REQUIRE(rng_ref == rng_unit);
        REQUIRE(ref.size() == unit.size());
        if (run.universe <= 100 || op % 64 == 0) {
            for (std::uint32_t v = 0; v < run.universe; ++v) {
                const Key* a = ref.key_of(v);
                const Key* b = unit.key_of(v);
                CHECK((a == nullptr) == (b == nullptr));
                if (a != nullptr && b != nullptr) CHECK(*a == *b);
            }
        }
    }
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

// A D1 block emptied by a decrease-key keeps its bound; a later key equal to that bound
// (the queues compare keys only, whatever vertex they carry) lands in it without a split,
// and splitting that block again compares against the key it holds.
TEST(unit_queue_key_equal_to_an_empty_blocks_bound) {
    std::uint64_t rng_ref = 3;
    std::uint64_t rng_unit = 3;
    BlockDs ref(1, KEY_TOP);
    UnitQueue unit(KEY_TOP);
    auto both_insert = [&](std::uint32_t v, Key k) {
        ref.insert(v, k, rng_ref);
        unit.insert(v, k, rng_unit);
        REQUIRE(rng_ref == rng_unit);
    };
    both_insert(1, dkey(5, 1));
    both_insert(2, dkey(3, 2));    // blocks: (3: 2) (B: 1)
    both_insert(3, dkey(1, 3));    // (1: 3) (3: 2) (B: 1)
    both_insert(2, dkey(0.5, 2));  // 2 leaves block 3 empty: (0.5: 2) (1: 3) (3: -) (B: 1)
    const std::uint64_t before = rng_unit;
    both_insert(4, dkey(3, 2));  // exactly bound 3, vertex 2's old key: fills the empty block
    CHECK(rng_unit == before);   // no split, no draw
    both_insert(5, dkey(3, 1));  // below (3, 0, 2): splits that block
    CHECK(rng_unit != before);
    both_insert(6, dkey(3, 3));  // above (3, 0, 2), below 5: lands in block B with vertex 1
    Vec<std::uint32_t> out_ref;
    Vec<std::uint32_t> out_unit;
    std::vector<std::uint32_t> order;
    while (!ref.is_empty()) {
        const Key x_ref = ref.pull(rng_ref, out_ref);
        const Key x_unit = unit.pull(rng_unit, out_unit);
        REQUIRE(out_unit.size() == 1 && out_ref == out_unit);
        CHECK(x_ref == x_unit);
        order.push_back(out_unit[0]);
    }
    CHECK(unit.is_empty());
    CHECK((order == std::vector<std::uint32_t>{2, 3, 5, 4, 6, 1}));
}

// UnitQueue refuses what BlockDs refuses, with the same messages, and a refused
// insert leaves the queue as it was.
// Filling: equal keys carried by different vertices, and a repeated vertex, take the one-by-one
// path; a plain list leaves the queue pulling in key order with x the next key.
TEST(unit_queue_fill_cases) {
    for (int repeated = 0; repeated < 2; ++repeated) {
        const std::vector<Entry> list = {{4, dkey(3.0, 9)}, {1, dkey(1.0, 1)}, {7, dkey(3.0, 9)},
                                         {repeated ? 4u : 2u, dkey(2.0, 2)}, {5, dkey(0.5, 5)}};
        BlockDs ref(1, KEY_TOP);
        UnitQueue unit(KEY_TOP);
        std::uint64_t rng_ref = 11;
        std::uint64_t rng_unit = 11;
        for (const Entry& e : list) ref.insert(e.vertex, e.key, rng_ref);
        unit.fill(list, rng_unit);
        CHECK(rng_ref == rng_unit);
        Vec<std::uint32_t> a, b;
        while (!ref.is_empty()) {
            REQUIRE(!unit.is_empty());
            CHECK(ref.pull(rng_ref, a) == unit.pull(rng_unit, b));
            CHECK(a == b);
            CHECK(rng_ref == rng_unit);
        }
        CHECK(unit.is_empty());
    }
    {
        UnitQueue unit(KEY_TOP);
        std::uint64_t rng = 0;
        const std::vector<Entry> list = {{3, dkey(5.0, 3)}, {8, dkey(1.0, 8)}, {6, dkey(2.0, 6)}};
        unit.fill(list, rng);
        CHECK(rng == 2 * 0x9E3779B97F4A7C15ull);  // one draw per insert after the first
        Vec<std::uint32_t> out;
        CHECK(unit.pull(rng, out) == dkey(2.0, 6));
        CHECK(out.size() == 1 && out[0] == 8);
    }
}

TEST(unit_queue_precondition_stops) {
    UnitQueue q(dkey(100, 0));
    std::uint64_t rng = 5;
    q.insert(3, dkey(10, 3), rng);
    auto stop_message = [](auto&& op) -> std::string {
        try {
            op();
        } catch (const InternalStop& e) {
            return e.what();
        }
        return "";
    };
    CHECK(stop_message([&] { q.insert(4, dkey(100, 4), rng); }) == "Insert: key not below the queue's bound");
    CHECK(q.size() == 1 && q.key_of(4) == nullptr);
    const std::vector<Entry> not_smaller{{3, dkey(10, 3)}};
    CHECK(stop_message([&] { q.batch_prepend(not_smaller, rng); }) ==
          "BatchPrepend: duplicate key with non-smaller value violates the precondition");
    // A larger key for a held vertex changes nothing and draws nothing.
    const std::uint64_t before = rng;
    q.insert(3, dkey(20, 3), rng);
    CHECK(rng == before && *q.key_of(3) == dkey(10, 3));
    Vec<std::uint32_t> out;
    CHECK(q.pull(rng, out) == dkey(100, 0));
    CHECK(out.size() == 1 && out[0] == 3 && q.is_empty());
}
