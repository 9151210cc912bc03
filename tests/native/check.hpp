// check.hpp: a very small test harness for the native core.
//
// TEST(name) { ... } registers a test; CHECK(cond) records a failure with its
// location and goes on; REQUIRE(cond) ends the test on failure. main() (in
// main.cpp) runs every registered test and exits non-zero if any failed.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace qh::testing {

struct TestCase {
    const char* name;
    std::function<void()> body;
};

inline std::vector<TestCase>& registry() {
    static std::vector<TestCase> tests;
    return tests;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

struct RequireFailed {};

inline void fail(const char* file, int line, const char* expr) {
    ++failures();
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, expr);
}

}  // namespace qh::testing

#define QH_CONCAT2(a, b) a##b
#define QH_CONCAT(a, b) QH_CONCAT2(a, b)
#define TEST(name)                                                                                  \
    static void QH_CONCAT(qh_test_, name)();                                                        \
    static ::qh::testing::Register QH_CONCAT(qh_register_, name)(#name, QH_CONCAT(qh_test_, name)); \
    static void QH_CONCAT(qh_test_, name)()
#define CHECK(cond)                                                  \
    do {                                                             \
        if (!(cond)) ::qh::testing::fail(__FILE__, __LINE__, #cond); \
    } while (0)
#define REQUIRE(cond)                                       \
    do {                                                    \
        if (!(cond)) {                                      \
            ::qh::testing::fail(__FILE__, __LINE__, #cond); \
            throw ::qh::testing::RequireFailed{};           \
        }                                                   \
    } while (0)
