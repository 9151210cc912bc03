// The variant engine's internal state, which no run from Python reaches: the epoch stamps.
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "graph_fixtures.hpp"
#include "variants/engine.hpp"

using namespace qh;
using qh::testing::make_csr;

namespace {

VariantConfig plain() {
    VariantConfig c;
    c.transform = false;
    return c;
}

std::vector<std::uint32_t> vec(const Vec<std::uint32_t>& v) { return {v.begin(), v.end()}; }

}  // namespace

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
