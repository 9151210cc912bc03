// Tests of KeyHeap, FlatHeap and the DQueue concept.
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
