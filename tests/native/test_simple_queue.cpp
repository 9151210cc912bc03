// Tests of KeyHeap, HeapScratch, FlatHeap and the DQueue concept.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "block_queue.hpp"
#include "check.hpp"
#include "graph_fixtures.hpp"
#include "stop.hpp"
#include "variants/simple_queue.hpp"

using namespace qh;
using qh::testing::TestRng;

static_assert(DQueue<BlockDs>, "BlockDs is a DQueue");
static_assert(DQueue<FlatHeap>, "FlatHeap is a DQueue");
static_assert(!DQueue<KeyHeap>, "KeyHeap is not a frontier queue");
static_assert(!DQueue<int>);

namespace {

Key key_of(double d, std::int64_t h, std::uint32_t v) { return Key{d, h, std::int64_t{v}}; }

// Entries ordered as KeyHeap orders them.
bool heap_less(const HeapEntry& a, const HeapEntry& b) {
    const auto ka = total_order_bits(a.dist), kb = total_order_bits(b.dist);
    return std::tie(ka, a.hops, a.vertex) < std::tie(kb, b.hops, b.vertex);
}

}  // namespace

TEST(key_heap_pops_in_key_order_with_hops_then_vertex_breaking_ties) {
    KeyHeap h;
    h.push(2.0, 1, 9);
    h.push(1.0, 5, 4);
    h.push(1.0, 2, 7);
    h.push(1.0, 2, 3);
    h.push(-0.0, 0, 8);
    h.push(0.0, 0, 1);
    h.push(std::numeric_limits<double>::infinity(), 0, 0);
    h.sanity_check();
    const std::vector<std::tuple<double, std::int32_t, std::uint32_t>> want = {
        {-0.0, 0, 8}, {0.0, 0, 1}, {1.0, 2, 3}, {1.0, 2, 7}, {1.0, 5, 4}, {2.0, 1, 9},
        {std::numeric_limits<double>::infinity(), 0, 0}};
    for (const auto& [d, hops, v] : want) {
        const auto e = h.pop();
        REQUIRE(e.has_value());
        CHECK(std::signbit(e->dist) == std::signbit(d));
        CHECK(e->dist == d);
        CHECK(e->hops == hops);
        CHECK(e->vertex == v);
        h.sanity_check();
    }
    CHECK(!h.pop().has_value());
}

TEST(key_heap_random_sequences_match_a_sorted_reference) {
    TestRng rng{77};
    for (int round = 0; round < 40; ++round) {
        KeyHeap h;
        std::vector<HeapEntry> model;
        const int ops = 1 + static_cast<int>(rng.below(400));
        for (int i = 0; i < ops; ++i) {
            if (rng.below(3) != 0 || model.empty()) {
                // few distinct distances and hops, so ties and duplicates are common
                const HeapEntry e{static_cast<double>(rng.below(6)), static_cast<std::int32_t>(rng.below(3)),
                                  static_cast<std::uint32_t>(rng.below(8))};
                h.push(e.dist, e.hops, e.vertex);
                model.push_back(e);
            } else {
                const auto smallest = std::min_element(model.begin(), model.end(), heap_less);
                const auto got = h.pop();
                REQUIRE(got.has_value());
                CHECK(got->dist == smallest->dist && got->hops == smallest->hops && got->vertex == smallest->vertex);
                model.erase(smallest);
            }
            h.sanity_check();
            CHECK(h.size() == model.size());
        }
    }
}

TEST(key_heap_growth_is_64_then_doubling_and_clear_keeps_storage) {
    KeyHeap h;
    CHECK(h.capacity() == 0);
    h.push(1.0, 0, 0);
    CHECK(h.capacity() == 64);
    for (std::uint32_t v = 1; v < 64; ++v) h.push(static_cast<double>(v), 0, v);
    CHECK(h.capacity() == 64);
    h.push(100.0, 0, 64);  // the 65th
    CHECK(h.capacity() == 128);
    for (std::uint32_t v = 65; v < 129; ++v) h.push(static_cast<double>(v), 0, v);
    CHECK(h.capacity() == 256);
    h.sanity_check();
    h.clear();
    CHECK(h.empty());
    CHECK(h.capacity() == 256);
}

TEST(heap_scratch_hands_out_cleared_storage_and_keeps_it) {
    HeapScratch scratch;
    KeyHeap a = scratch.take();
    for (std::uint32_t v = 0; v < 100; ++v) a.push(1.0, 0, v);
    scratch.give_back(std::move(a));
    KeyHeap b = scratch.take();
    CHECK(b.empty());
    CHECK(b.capacity() >= 100);
    CHECK(scratch.heap.capacity() == 0);
    scratch.give_back(std::move(b));
}

TEST(flat_heap_insert_keeps_the_smallest_key_and_one_live_entry) {
    std::uint64_t rng = 5;
    FlatHeap q(4, KEY_TOP);
    q.insert(1, key_of(5, 1, 1), rng);
    q.sanity_check();
    q.insert(1, key_of(5, 1, 1), rng);  // equal: nothing changes
    CHECK(q.heap_entries() == 1);
    q.insert(1, key_of(6, 0, 1), rng);  // larger: nothing changes
    CHECK(q.heap_entries() == 1);
    CHECK(*q.key_of(1) == key_of(5, 1, 1));
    q.insert(1, key_of(5, 0, 1), rng);  // smaller: second entry, first one stale
    CHECK(q.heap_entries() == 2);
    CHECK(*q.key_of(1) == key_of(5, 0, 1));
    CHECK(q.size() == 1);
    q.sanity_check();
    CHECK(rng == 5);  // FlatHeap never draws
}

TEST(flat_heap_pull_contracts) {
    std::uint64_t rng = 0;
    Vec<std::uint32_t> out{7, 7};
    {
        FlatHeap q(3, key_of(100, 0, 0));
        CHECK(q.pull(rng, out) == key_of(100, 0, 0));
        CHECK(out.empty());
        CHECK(q.is_empty());
    }
    {
        // Fewer than M held: all of them in key order, x = B; stale entries never come back.
        const Key bound = key_of(50, 0, 0);
        FlatHeap q(10, bound);
        q.insert(3, key_of(9, 0, 3), rng);
        q.insert(4, key_of(2, 0, 4), rng);
        q.insert(3, key_of(1, 0, 3), rng);  // lowered: pulled once, in its new place
        q.insert(5, key_of(2, 0, 5), rng);
        q.sanity_check();
        CHECK(q.pull(rng, out) == bound);
        CHECK((out == Vec<std::uint32_t>{3, 4, 5}));
        CHECK(q.is_empty());
        q.sanity_check();
    }
    {
        // M smallest, and x = the smallest key left.
        FlatHeap q(2, KEY_TOP);
        for (std::uint32_t v = 0; v < 5; ++v) q.insert(v, key_of(10.0 - v, 0, v), rng);
        CHECK(q.pull(rng, out) == key_of(8, 0, 2));
        CHECK((out == Vec<std::uint32_t>{4, 3}));
        q.sanity_check();
        // a pulled vertex may come back with a new key
        q.insert(4, key_of(7, 0, 4), rng);
        CHECK(q.pull(rng, out) == key_of(9, 0, 1));
        CHECK((out == Vec<std::uint32_t>{4, 2}));
        q.sanity_check();
    }
}

TEST(flat_heap_batch_prepend_keeps_the_smallest_key_per_vertex) {
    std::uint64_t rng = 0;
    FlatHeap q(8, KEY_TOP);
    q.insert(9, key_of(20, 0, 9), rng);
    q.insert(8, key_of(1, 0, 8), rng);
    const Entry list[] = {{1, key_of(3, 0, 1)}, {2, key_of(4, 0, 2)}, {1, key_of(2, 0, 1)},
                          {2, key_of(5, 0, 2)}, {8, key_of(1, 0, 8)}, {9, key_of(0.5, 0, 9)}};
    q.batch_prepend(list, rng);
    q.sanity_check();
    CHECK(*q.key_of(1) == key_of(2, 0, 1));
    CHECK(*q.key_of(2) == key_of(4, 0, 2));
    CHECK(*q.key_of(8) == key_of(1, 0, 8));  // already held with an equal key: unchanged
    CHECK(*q.key_of(9) == key_of(0.5, 0, 9));
    Vec<std::uint32_t> out;
    q.pull(rng, out);
    CHECK((out == Vec<std::uint32_t>{9, 8, 1, 2}));
}

TEST(flat_heap_random_sequences_match_a_reference_queue) {
    TestRng gen{2024};
    for (int round = 0; round < 60; ++round) {
        const std::uint64_t m = 1 + gen.below(6);
        const Key bound = key_of(40, 0, 0);
        FlatHeap q(m, bound);
        std::map<std::uint32_t, Key> model;  // vertex -> held key
        std::uint64_t rng = round;
        Vec<std::uint32_t> out;
        for (int op = 0; op < 300; ++op) {
            const std::uint64_t what = gen.below(10);
            if (what < 6) {
                const auto v = static_cast<std::uint32_t>(gen.below(30));
                const Key k = key_of(static_cast<double>(gen.below(30)), static_cast<std::int64_t>(gen.below(3)), v);
                q.insert(v, k, rng);
                auto [it, added] = model.try_emplace(v, k);
                if (!added && k < it->second) it->second = k;
            } else if (what < 7) {
                // a prepend below every held key
                Key lowest = bound;
                for (const auto& [v, k] : model)
                    if (k < lowest) lowest = k;
                if (lowest.dist < 1.0) continue;
                std::vector<Entry> list;
                for (int i = 0; i < 3; ++i) {
                    const auto v = static_cast<std::uint32_t>(30 + gen.below(10));
                    list.push_back({v, key_of(std::floor(lowest.dist * static_cast<double>(gen.below(100)) / 100.0),
                                              0, v)});
                }
                q.batch_prepend(list, rng);
                for (const Entry& e : list) {
                    auto [it, added] = model.try_emplace(e.vertex, e.key);
                    if (!added && e.key < it->second) it->second = e.key;
                }
            } else {
                const Key x = q.pull(rng, out);
                std::vector<std::pair<Key, std::uint32_t>> held;
                for (const auto& [v, k] : model) held.push_back({k, v});
                std::sort(held.begin(), held.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
                const std::size_t take = std::min<std::size_t>(m, held.size());
                REQUIRE(out.size() == take);
                for (std::size_t i = 0; i < take; ++i) {
                    CHECK(out[i] == held[i].second);
                    model.erase(held[i].second);
                }
                CHECK(x == (take < held.size() ? held[take].first : bound));
            }
            q.sanity_check();
            CHECK(q.size() == model.size());
            CHECK(q.is_empty() == model.empty());
        }
    }
}
