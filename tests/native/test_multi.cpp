// The row pool: try_for_each's stop and combination rules on pools of 1, 2 and 5, callers
// sharing a pool, nested jobs. (Rows against single-source runs are the Python suite's.)
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/multi.hpp"
#include "core/pool.hpp"
#include "core/stop.hpp"

using namespace qh;

namespace {

constexpr std::size_t POOL_SIZES[] = {1, 2, 5};

// A row's error in these tests: the index of the failing row.
struct RowError {
    std::size_t row;
};

// Which rows ran, one flag per row.
struct Ran {
    explicit Ran(std::size_t count) : flags(count) {}
    std::vector<std::atomic<int>> flags;
    void mark(std::size_t i) { flags[i].fetch_add(1); }
    std::size_t total() const {
        std::size_t sum = 0;
        for (const auto& f : flags) sum += static_cast<std::size_t>(f.load());
        return sum;
    }
};

}  // namespace

TEST(pool_size_follows_the_environment_rule) {
    // the cases the Python suite's fresh processes do not set
    CHECK(pool_size("+4", nullptr, 2) == 4);
    CHECK(pool_size("", "", 2) == 2);
    CHECK(pool_size("3.0", "0x4", 6) == 6);
    CHECK(pool_size("+", "++2", 6) == 6);
    CHECK(pool_size("99999999999999999999999", "2", 6) == 2);  // does not fit: ignored
    CHECK(pool_size(nullptr, nullptr, 0) == 1);
    CHECK(available_cpus() >= 1);
}

TEST(every_row_runs_exactly_once_on_every_pool) {
    for (std::size_t size : POOL_SIZES) {
        Pool pool(size);
        CHECK(pool.threads() == size);
        for (std::size_t count : {0u, 1u, 3u, 77u, 5000u}) {
            Ran ran(count);
            const auto result = try_for_each<RowError>(pool, count, [&](std::size_t i) -> std::optional<RowError> {
                ran.mark(i);
                return std::nullopt;
            });
            CHECK(!result);
            for (const auto& f : ran.flags) CHECK(f.load() == 1);
        }
    }
}

TEST(the_reported_error_is_the_leftmost_failed_row_that_ran) {
    // Every row fails; under any schedule the rows that started are ones the
    // stop flag had not yet stopped, and the leftmost of them must win.
    for (std::size_t size : POOL_SIZES) {
        Pool pool(size);
        for (int round = 0; round < 30; ++round) {
            Ran ran(300);
            const auto result = try_for_each<RowError>(pool, 300, [&](std::size_t i) -> std::optional<RowError> {
                ran.mark(i);
                return RowError{i};
            });
            REQUIRE(result);
            std::size_t leftmost = 300;
            for (std::size_t i = 0; i < 300; ++i)
                if (ran.flags[i].load() != 0) {
                    leftmost = i;
                    break;
                }
            CHECK(result->row == leftmost);
            CHECK(ran.flags[result->row].load() == 1);
            if (size == 1) CHECK(result->row == 0 && ran.total() == 1);  // one thread stops at once
        }
    }
}

TEST(an_internal_stop_travels_to_the_caller_after_every_row_ended) {
    for (std::size_t size : POOL_SIZES) {
        Pool pool(size);
        Ran ran(200);
        std::string message;
        try {
            try_for_each<RowError>(pool, 200, [&](std::size_t i) -> std::optional<RowError> {
                ran.mark(i);
                if (i == 7) internal_stop("row seven broke");
                if (i == 120) internal_stop("row 120 broke");
                return std::nullopt;
            });
        } catch (const InternalStop& stop) {
            message = stop.what();
        }
        CHECK(message == "row seven broke");  // the leftmost stop
        // A stop ends its own piece but does not set the stop flag: every row
        // ran except those after a stop in the same piece.
        const Vec<std::size_t> b = halving_bounds(200, PIECES_PER_THREAD * pool.threads());
        for (std::size_t j = 0; j + 1 < b.size(); ++j)
            for (std::size_t i = b[j]; i < b[j + 1]; ++i) {
                const bool cut = (b[j] <= 7 && 7 < i) || (b[j] <= 120 && 120 < i);
                CHECK(ran.flags[i].load() == (cut ? 0 : 1));
            }
    }
}

TEST(a_stop_thrown_on_a_worker_reaches_the_calling_thread) {
    for (std::size_t size : {2u, 5u}) {
        Pool pool(size);
        const std::thread::id caller = std::this_thread::get_id();
        std::atomic<bool> worker_ran{false};
        std::atomic<bool> thrown{false};
        std::string message;
        try {
            try_for_each<RowError>(pool, 64, [&](std::size_t) -> std::optional<RowError> {
                if (std::this_thread::get_id() == caller) {
                    // keep the caller busy until some worker has taken a row
                    while (!worker_ran.load()) std::this_thread::yield();
                    return std::nullopt;
                }
                worker_ran.store(true);
                if (!thrown.exchange(true)) internal_stop("stopped on a worker");
                return std::nullopt;
            });
        } catch (const InternalStop& stop) {
            message = stop.what();
        }
        CHECK(message == "stopped on a worker");
    }
}

TEST(a_stop_wins_over_an_error) {
    for (std::size_t size : POOL_SIZES) {
        Pool pool(size);
        bool stopped = false;
        std::atomic<bool> two_ran{false};
        try {
            // row 2 throws first in order; row 5's error still happens (only it sets the flag),
            // but not before row 2 has run: a piece that starts after the flag is set does nothing
            try_for_each<RowError>(pool, 8, [&](std::size_t i) -> std::optional<RowError> {
                if (i == 2) {
                    two_ran.store(true);
                    internal_stop("stop");
                }
                if (i == 5) {
                    while (!two_ran.load()) std::this_thread::yield();
                    return RowError{5};
                }
                return std::nullopt;
            });
        } catch (const InternalStop&) {
            stopped = true;
        }
        CHECK(stopped);
    }
}

TEST(several_threads_share_one_pool) {
    Pool pool(3);
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 6; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 40; ++round) {
                const std::size_t count = 50 + 13 * static_cast<std::size_t>(c);
                Ran ran(count);
                const std::size_t fail_at = (c % 2 == 0) ? count : static_cast<std::size_t>(round) % count;
                const auto result = try_for_each<RowError>(pool, count, [&](std::size_t i) -> std::optional<RowError> {
                    ran.mark(i);
                    if (i == fail_at) return RowError{i};
                    return std::nullopt;
                });
                if (fail_at == count) {
                    if (result || ran.total() != count) wrong.fetch_add(1);
                } else if (!result || result->row != fail_at) {
                    // fail_at is the only failing row, so once it ran it is the answer
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& t : callers) t.join();
    CHECK(wrong.load() == 0);
}

TEST(a_row_may_run_a_nested_job_on_the_same_pool) {
    Pool pool(2);
    std::atomic<std::size_t> inner_rows{0};
    const auto result = try_for_each<RowError>(pool, 6, [&](std::size_t) -> std::optional<RowError> {
        const auto inner = try_for_each<RowError>(pool, 10, [&](std::size_t) -> std::optional<RowError> {
            pool.sanity_check();  // with the outer job, and maybe this one, queued
            inner_rows.fetch_add(1);
            return std::nullopt;
        });
        return inner;
    });
    CHECK(!result);
    CHECK(inner_rows.load() == 60);
}
