// catalogue.hpp: the names of the research variants and what each selects.
//
// A variant is a `VariantConfig`: a configuration of the recursion (bmssp.hpp). Names are
// matched byte for byte (no case folding, no trimming): first the family
// "hybrid:A:B" (any name of at least 7 bytes starting "hybrid:"), then the six
// fixed names. Malformed numbers inside hybrid:A:B are never errors; they take
// the defaults A = 1 (level rule at level 1) and B = 0 (source-count rule off).
//
// Parameters: a caller's k and t force the recursion's parameters only when both
// are non-zero. "tuned" and "fast" always force theirs: without the caller's
// they derive k and t from the input size with fixed values on large graphs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "core/run.hpp"
#include "core/csr.hpp"
#include "core/memory.hpp"

namespace qh {

// The six fixed names, in the order the unknown-name message lists them.
inline constexpr std::array<std::string_view, 6> KNOWN_VARIANTS = {"tuned",   "hybrid",      "simpleq",
                                                                   "lazypiv", "notransform", "fast"};

// A resolved variant name.
struct ResolvedVariant {
    VariantConfig config;
};

// The two limits of hybrid:A:B.
struct HybridLimits {
    std::int32_t max_level;     // A: an optional sign and decimal digits within i32, else 1
    std::uint64_t max_frontier; // B: an optional '+' and decimal digits within u64, else 0
};

// Reads "A:B[:...]" (the text after "hybrid:").
HybridLimits parse_hybrid(std::string_view fields) noexcept;

// The variant `name` with the caller's k and t (0 = not given) on a graph of n vertices and
// m edges, or nullopt when the name is unknown.
std::optional<ResolvedVariant> resolve_variant(std::string_view name, std::uint64_t k, std::uint64_t t,
                                               std::uint64_t n, std::uint64_t m) noexcept;

// Runs the recursion in the configuration the resolution chose, counting its operations if asked.
std::variant<VariantRun, BmsspError> run_variant(const ResolvedVariant& variant, const Csr& csr,
                                                 std::uint64_t source, std::uint64_t seed,
                                                 Counting counting = Counting::Off);

// The unknown-name message: `unknown bmssp variant "<name>"; known: ["tuned", ...]`. The name
// (valid UTF-8) is quoted with \" \\ \t \r \n \0 escaped and every code point for which
// `printable` is false written as \u{hex}; printable text, non-ASCII included, stays as it is.
Vec<char> unknown_variant_message(std::string_view name, bool (*printable)(char32_t));

}  // namespace qh
