// The Dijkstra heap: order and sift rules under random operation sequences.
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
            REQUIRE(heap.sanity_check());
            REQUIRE(heap.size() == model.size());
        }
    }
}

TEST(heap_moves_first_of_equal_children_up) {
    // Root 0, then four children with keys 5, 3, 3, 4; popping the root must
    // bring up the first child holding 3 (vertex 12), not the second.
    Heap heap;
    heap.reserve(8);
    heap.push(0.0, 10);
    heap.push(5.0, 11);
    heap.push(3.0, 12);
    heap.push(3.0, 13);
    heap.push(4.0, 14);
    CHECK(heap.pop().second == 10);
    CHECK(heap.pop().second == 12);
    CHECK(heap.pop().second == 13);
    CHECK(heap.pop().second == 14);
    CHECK(heap.pop().second == 11);
    CHECK(heap.empty());
}

TEST(dijkstra_leaves_outputs_untouched_on_failure) {
    const std::vector<std::int64_t> indptr{0, 1, 2};
    const std::vector<std::int32_t> indices{1, 2};  // head 2 == n
    const std::vector<double> weights{1.0, 1.0};
    std::vector<double> dist{7.0, 7.0};
    std::vector<std::int32_t> pred{7, 7};
    Heap heap;
    const auto error = qh::dijkstra(indptr, indices, weights, 0, dist, pred, heap);
    REQUIRE(error.has_value());
    CHECK(*error == qh::DijkstraError::MalformedCsr);
    CHECK(dist[0] == 7.0 && dist[1] == 7.0 && pred[0] == 7 && pred[1] == 7);
    CHECK(heap.capacity() == 0);
    // a dist buffer of the wrong length is a malformed graph too
    std::vector<double> short_dist{7.0};
    const std::vector<std::int32_t> good{1, 0};
    CHECK(qh::dijkstra(indptr, good, weights, 0, short_dist, pred, heap) == qh::DijkstraError::MalformedCsr);
}
