// The Dijkstra heap and KeyHeap under random operation sequences, through their sanity_check.
#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "core/dijkstra.hpp"
#include "core/queues/flat_heap.hpp"
#include "core/queues/key_heap.hpp"
#include "graph_fixtures.hpp"

using namespace qh;
using qh::testing::TestRng;

namespace {

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

TEST(heap_pops_in_key_order_under_random_operations) {
    std::mt19937_64 rng(42);
    for (int round = 0; round < 50; ++round) {
        Heap heap;
        heap.reserve(2000);
        std::vector<double> model;
        for (int op = 0; op < 1500; ++op) {
            if (model.empty() || rng() % 3 != 0) {
                const double key = static_cast<double>(rng() % 50);  // many equal keys
                heap.push(key, static_cast<std::uint32_t>(op));
                model.push_back(key);
            } else {
                const auto [key, node] = heap.pop();
                const auto smallest = std::min_element(model.begin(), model.end());
                CHECK(key == *smallest);
                model.erase(smallest);
                (void)node;
            }
            heap.sanity_check();
            REQUIRE(heap.size() == model.size());
        }
    }
}
