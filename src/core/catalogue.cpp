// catalogue.cpp: name resolution, the hybrid:A:B reader and the unknown-name message.
#include "core/catalogue.hpp"

#include <cmath>
#include <cstdio>

#include "core/parameters.hpp"

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
    if (negative) return magnitude <= 2147483648u ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude)) : 1;
    return magnitude <= 2147483647u ? static_cast<std::int32_t>(magnitude) : 1;
}

std::uint64_t read_frontier(std::string_view piece) noexcept {
    if (!piece.empty() && piece[0] == '+') piece.remove_prefix(1);
    std::uint64_t value = 0;
    return read_digits(piece, value) ? value : 0;
}

// (k, t) of "tuned" and "fast" when the caller gives none.
std::pair<std::uint64_t, std::uint64_t> tuned_k_t(std::uint64_t n, std::uint64_t m) noexcept {
    const std::uint64_t twice_m = sat_mul(m, 2);
    const double base = log_base(std::max(n, twice_m));
    if (base < 14.0) return default_k_t(base);
    return {8, 12};
}

std::pair<std::uint64_t, std::uint64_t> fast_k_t(std::uint64_t n) noexcept {
    const double base = log_base(n);
    if (base < 13.0) return default_k_t(base);
    return {1, 12};
}

void append(Vec<char>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// Decodes one UTF-8 sequence at `at` into `length` bytes; a byte that does not start a
// well-formed sequence comes back as itself with length 1 and valid = false.
char32_t decode_utf8(std::string_view s, std::size_t at, std::size_t& length, bool& valid) noexcept {
    const auto b0 = static_cast<unsigned char>(s[at]);
    length = 1;
    valid = true;
    if (b0 < 0x80) return b0;
    const std::size_t extra = b0 >= 0xF8 ? 0 : b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC0 ? 1 : 0;
    valid = false;
    if (extra == 0 || s.size() - at <= extra) return b0;
    char32_t cp = b0 & (0x3F >> extra);
    for (std::size_t i = 1; i <= extra; ++i) {
        const auto b = static_cast<unsigned char>(s[at + i]);
        if ((b & 0xC0) != 0x80) return b0;
        cp = (cp << 6) | (b & 0x3F);
    }
    valid = true;
    length = extra + 1;
    return cp;
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

std::optional<ResolvedVariant> resolve_variant(std::string_view name, std::uint64_t k, std::uint64_t t,
                                               std::uint64_t n, std::uint64_t m) noexcept {
    const bool force = k != 0 && t != 0;
    if (!force) k = t = 0;
    VariantConfig c;
    c.force_params = force;
    c.k = k;
    c.t = t;
    if (name.size() >= HYBRID_PREFIX.size() && name.starts_with(HYBRID_PREFIX)) {
        const HybridLimits limits = parse_hybrid(name.substr(HYBRID_PREFIX.size()));
        c.dijkstra_max_level = limits.max_level;
        c.dijkstra_max_frontier = limits.max_frontier;
        return ResolvedVariant{c};
    }
    if (name == "tuned" || name == "fast") {
        const bool tuned = name == "tuned";
        if (!force) std::tie(c.k, c.t) = tuned ? tuned_k_t(n, m) : fast_k_t(n);
        c.force_params = true;
        if (tuned) return ResolvedVariant{c};
        c.transform = false;
        c.dijkstra_max_level = 1;
        c.dijkstra_max_frontier = 1024;
        c.flat_queue = true;
        return ResolvedVariant{c};
    }
    if (name == "hybrid") {
        c.dijkstra_max_level = 1;
        c.dijkstra_max_frontier = 1024;
        return ResolvedVariant{c};
    }
    if (name == "simpleq") {
        c.flat_queue = true;
        return ResolvedVariant{c};
    }
    if (name == "lazypiv") {
        c.lazy_pivots = true;
        return ResolvedVariant{c};
    }
    if (name == "notransform") {
        c.transform = false;
        return ResolvedVariant{c};
    }
    return std::nullopt;
}

std::variant<VariantRun, BmsspError> run_variant(const ResolvedVariant& variant, const Csr& csr,
                                                 std::uint64_t source, std::uint64_t seed, Counting counting) {
    return run_configured(csr, source, seed, variant.config, counting);
}

Vec<char> unknown_variant_message(std::string_view name, bool (*printable)(char32_t)) {
    Vec<char> out;
    append(out, "unknown bmssp variant \"");
    char buf[16];
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length;
        bool valid;
        const char32_t cp = decode_utf8(name, at, length, valid);
        if (!valid) {
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
            append(out, buf);
        } else if (cp == '"') {
            append(out, "\\\"");
        } else if (cp == '\\') {
            append(out, "\\\\");
        } else if (cp == '\t') {
            append(out, "\\t");
        } else if (cp == '\r') {
            append(out, "\\r");
        } else if (cp == '\n') {
            append(out, "\\n");
        } else if (cp == 0) {
            append(out, "\\0");
        } else if (!printable(cp)) {
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            append(out, buf);
        } else {
            append(out, name.substr(at, length));
        }
        at += length;
    }
    append(out, "\"; known: [");
    for (std::size_t i = 0; i < KNOWN_VARIANTS.size(); ++i) {
        if (i) append(out, ", ");
        append(out, "\"");
        append(out, KNOWN_VARIANTS[i]);
        append(out, "\"");
    }
    append(out, "]");
    return out;
}

}  // namespace qh
