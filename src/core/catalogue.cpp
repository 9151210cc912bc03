// catalogue.cpp: name lookup and the hybrid:A:B reader.
#include "core/catalogue.hpp"

namespace qh {
namespace {

constexpr std::string_view HYBRID_PREFIX = "hybrid:";

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Decimal digits (at least one, nothing else) into a u64; false on overflow or another byte.
bool read_digits(std::string_view text, std::uint64_t& out) noexcept {
    if (text.empty()) return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return false;
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value))
            return false;
    }
    out = value;
    return true;
}

std::int32_t read_level(std::string_view piece) noexcept {
    bool negative = false;
    if (!piece.empty() && (piece[0] == '+' || piece[0] == '-')) {
        negative = piece[0] == '-';
        piece.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    if (!read_digits(piece, magnitude)) return 1;
    if (negative)
        return magnitude <= 2147483648u ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude)) : 1;
    return magnitude <= 2147483647u ? static_cast<std::int32_t>(magnitude) : 1;
}

std::uint64_t read_frontier(std::string_view piece) noexcept {
    if (!piece.empty() && piece[0] == '+') piece.remove_prefix(1);
    std::uint64_t value = 0;
    return read_digits(piece, value) ? value : 0;
}

}  // namespace

HybridLimits parse_hybrid(std::string_view fields) noexcept {
    const std::size_t colon = fields.find(':');
    const std::string_view first = fields.substr(0, colon);
    HybridLimits limits{read_level(first), 0};
    if (colon != std::string_view::npos) {
        const std::string_view rest = fields.substr(colon + 1);
        limits.max_frontier = read_frontier(rest.substr(0, rest.find(':')));
    }
    return limits;
}

std::optional<RunConfig> find_variant(std::string_view name, std::uint64_t k, std::uint64_t t) noexcept {
    std::optional<RunConfig> found;
    if (name.size() >= HYBRID_PREFIX.size() && name.starts_with(HYBRID_PREFIX)) {
        const HybridLimits limits = parse_hybrid(name.substr(HYBRID_PREFIX.size()));
        found.emplace();
        found->hybrid = {limits.max_level, limits.max_frontier};
    } else {
        for (const NamedConfig& row : VARIANTS) {
            if (row.name == name) found = row.config;
        }
    }
    if (found && k != 0 && t != 0) {
        found->k = k;
        found->t = t;
    }
    return found;
}

std::optional<RunConfig> find_run(std::string_view name, std::uint64_t k, std::uint64_t t) noexcept {
    if (name == CATALOGUE[0].name) return CORE;
    return find_variant(name, k, t);
}

}  // namespace qh
