// The Dijkstra heap under random operation sequences, through its sanity_check.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "dijkstra.hpp"

using qh::Heap;

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
