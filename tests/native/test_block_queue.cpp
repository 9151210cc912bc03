// BlockDs under random operation sequences against a model.
#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "block_queue.hpp"
#include "check.hpp"
#include "graph_fixtures.hpp"
#include "queue_probe.hpp"
#include "stop.hpp"

using namespace qh;
using qh::testing::TestRng;

namespace {

Key dkey(double d, std::int64_t v, std::int64_t hops = 0) { return Key{d, hops, v}; }

}  // namespace

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
            for (auto& [v, k] : model) CHECK(QueueProbe::key_of(d, v) != nullptr && *QueueProbe::key_of(d, v) == k);
        }
    }
}
