// Tests of the variant catalogue: name resolution, hybrid:A:B readings, the tuned and fast
// parameter rules, the caller's override and the unknown-name message.
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "variants/catalogue.hpp"

using namespace qh;

namespace {

constexpr std::uint64_t MAX = ~std::uint64_t{0};

struct Want {
    QueueKind queue;
    bool transform;
    std::int32_t max_level;
    std::uint64_t max_frontier;
    bool lazy;
};

bool matches(const ResolvedVariant& r, const Want& w) {
    return r.queue == w.queue && r.config.transform == w.transform && r.config.dijkstra_max_level == w.max_level &&
           r.config.dijkstra_max_frontier == w.max_frontier && r.config.lazy_pivots == w.lazy;
}

// ASCII-only printability, enough to exercise every branch of the quoting.
bool ascii_printable(char32_t c) { return (c >= 0x20 && c < 0x7F) || c == U'é' || c == U'日'; }

std::string message(std::string_view name) {
    const Vec<char> m = unknown_variant_message(name, ascii_printable);
    return std::string(m.begin(), m.end());
}

const std::string KNOWN = R"(; known: ["tuned", "hybrid", "simpleq", "lazypiv", "notransform", "fast"])";

}  // namespace

TEST(catalogue_resolves_the_six_names) {
    struct Row {
        const char* name;
        Want want;
    };
    const Row rows[] = {
        {"tuned", {QueueKind::Block, true, -1, 0, false}},
        {"hybrid", {QueueKind::Block, true, 1, 1024, false}},
        {"simpleq", {QueueKind::Flat, true, -1, 0, false}},
        {"lazypiv", {QueueKind::Block, true, -1, 0, true}},
        {"notransform", {QueueKind::Block, false, -1, 0, false}},
        {"fast", {QueueKind::Flat, false, 1, 1024, false}},
    };
    for (const Row& row : rows) {
        const auto r = resolve_variant(row.name, 0, 0, 10, 20);
        REQUIRE(r.has_value());
        CHECK(matches(*r, row.want));
        const bool always_forced = std::string_view(row.name) == "tuned" || std::string_view(row.name) == "fast";
        CHECK(r->config.force_params == always_forced);
        // the caller's k and t force every variant, unchanged
        const auto f = resolve_variant(row.name, 7, MAX, 10, 20);
        REQUIRE(f.has_value());
        CHECK(f->config.force_params && f->config.k == 7 && f->config.t == MAX);
        CHECK(matches(*f, row.want));
    }
}

TEST(catalogue_matches_bytes_exactly) {
    for (const char* name : {"Hybrid", "TUNED", " tuned", "tuned ", "bmssp-tuned", "hybridx", "", "hybrid;1",
                             "fast\n", "hybri"}) {
        CHECK(!resolve_variant(name, 0, 0, 1, 0).has_value());
    }
    CHECK(!resolve_variant(std::string_view("tuned\0", 6), 0, 0, 1, 0).has_value());
}

TEST(catalogue_reads_hybrid_limits) {
    struct Row {
        const char* name;
        std::int32_t a;
        std::uint64_t b;
    };
    const Row rows[] = {
        {"hybrid:", 1, 0},
        {"hybrid:2", 2, 0},
        {"hybrid:0:64", 0, 64},
        {"hybrid:-1:4096", -1, 4096},
        {"hybrid:+7:+8", 7, 8},
        {"hybrid:x:y", 1, 0},
        {"hybrid:2147483648:5", 1, 5},
        {"hybrid:3:-5", 3, 0},
        {"hybrid:3:5:9", 3, 5},
        {"hybrid:abc", 1, 0},
        {"hybrid:2147483647:18446744073709551615", 2147483647, MAX},
        {"hybrid:-2147483648:18446744073709551616", -2147483648, 0},
        {"hybrid:-2147483649:1", 1, 1},
        {"hybrid:007:010", 7, 10},
        {"hybrid:+:+", 1, 0},
        {"hybrid:-:", 1, 0},
        {"hybrid: 1:2 ", 1, 0},
        {"hybrid::9", 1, 9},
        {"hybrid:1e3:1.0", 1, 0},
    };
    for (const Row& row : rows) {
        const auto r = resolve_variant(row.name, 0, 0, 100, 100);
        REQUIRE(r.has_value());
        CHECK(matches(*r, {QueueKind::Block, true, row.a, row.b, false}));
        CHECK(!r->config.force_params);
    }
}

TEST(catalogue_ignores_a_lone_k_or_t) {
    for (const auto& [k, t] : {std::pair<std::uint64_t, std::uint64_t>{5, 0}, {0, 5}}) {
        const auto s = resolve_variant("simpleq", k, t, 100, 100);
        CHECK(!s->config.force_params);
        const auto tuned = resolve_variant("tuned", k, t, 100, 100);
        const auto tuned0 = resolve_variant("tuned", 0, 0, 100, 100);
        CHECK(tuned->config.k == tuned0->config.k && tuned->config.t == tuned0->config.t);
    }
}

TEST(catalogue_tuned_and_fast_parameter_rules) {
    struct Row {
        const char* name;
        std::uint64_t n, m, k, t;
    };
    const Row rows[] = {
        {"tuned", 1, 0, 1, 1},
        {"tuned", 7, 0, 1, 1},
        {"tuned", 8, 0, 1, 2},
        {"tuned", 2, 4, 1, 2},          // max(n, 2m) = 8
        {"tuned", 256, 0, 2, 3},
        {"tuned", 16383, 0, 2, 5},      // base just below 14
        {"tuned", 16384, 0, 8, 12},
        {"tuned", 100, 10000, 8, 12},   // 2m = 20000
        {"tuned", 1, MAX, 8, 12},       // 2m saturates instead of wrapping to a small value
        {"fast", 7, 1000000, 1, 1},     // fast looks at n only
        {"fast", 8191, 0, 2, 5},
        {"fast", 8192, 0, 1, 12},
    };
    for (const Row& row : rows) {
        const auto r = resolve_variant(row.name, 0, 0, row.n, row.m);
        REQUIRE(r.has_value());
        CHECK(r->config.force_params);
        CHECK(r->config.k == row.k);
        CHECK(r->config.t == row.t);
    }
}

TEST(unknown_name_message_quotes_and_escapes) {
    CHECK(message("foo") == "unknown bmssp variant \"foo\"" + KNOWN);
    CHECK(message("") == "unknown bmssp variant \"\"" + KNOWN);
    CHECK(message("a\"b\\c") == R"(unknown bmssp variant "a\"b\\c")" + KNOWN);
    CHECK(message(std::string_view("\t\r\n\0x", 5)) == R"(unknown bmssp variant "\t\r\n\0x")" + KNOWN);
    CHECK(message("\x01\x7f") == R"(unknown bmssp variant "\u{1}\u{7f}")" + KNOWN);
    CHECK(message("caf\xc3\xa9 \xe6\x97\xa5") == "unknown bmssp variant \"caf\xc3\xa9 \xe6\x97\xa5\"" + KNOWN);
    CHECK(message("\xe2\x80\x8b") == R"(unknown bmssp variant "\u{200b}")" + KNOWN);
    CHECK(message("\xf0\x9f\x98\x80") == R"(unknown bmssp variant "\u{1f600}")" + KNOWN);
    CHECK(message("a\xff") == R"(unknown bmssp variant "a\xff")" + KNOWN);  // not UTF-8: never from Python
}
