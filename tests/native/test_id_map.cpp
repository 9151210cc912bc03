// IdMap under random operations against a model, through its sanity_check.
#include <cstdint>
#include <map>
#include <vector>

#include "check.hpp"
#include "core/id_map.hpp"
#include "graph_fixtures.hpp"

using namespace qh;
using qh::testing::TestRng;

// IdMap against std::map under random inserts, lookups, erases and takes (backward-shift
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
            } else if (what == 2 && op % 2 == 0) {
                CHECK(map.erase(id) == (model.erase(id) == 1));
            } else if (what == 2) {
                // take gives the value back with the erase, and leaves `out` alone for a miss.
                std::uint64_t out = 12345;
                auto it = model.find(id);
                const bool held = it != model.end();
                const std::uint64_t want = held ? it->second : 12345;
                if (held) model.erase(it);
                CHECK(map.take(id, out) == held);
                CHECK(out == want);
                CHECK(map.find(id) == nullptr);
            } else {
                const std::uint64_t* found = map.find(id);
                auto it = model.find(id);
                CHECK((found == nullptr) == (it == model.end()));
                if (found != nullptr && it != model.end()) CHECK(*found == it->second);
            }
            if (op % 64 == 0) map.sanity_check();
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
            map.sanity_check();
            for (auto& [k, v] : model) CHECK(map.find(k) == nullptr);
            map.assign(5, 1);  // still usable
            CHECK(map.find(5) != nullptr && map.size() == 1);
            map.clear();
        }
        model.clear();
        CHECK(map.empty() && map.find(3) == nullptr);
    }
}
