// catalogue.hpp: the named configurations of BMSSP runs, as one table.
//
// Every row is a name and a `RunConfig` (config.hpp). The core run is the first row
// ("bmssp"); the research variants follow in the order the unknown-name message lists
// them. Names are matched byte for byte (no case folding, no trimming). Besides the rows,
// the family "hybrid:A:B" (any name of at least 7 bytes starting "hybrid:") is the hybrid
// switch with limits A and B; malformed numbers inside it are never errors and take the
// defaults A = 1 (level rule at level 1) and B = 0 (source-count rule off).
//
// Parameters: a caller's k and t force a variant's parameters only when both are
// non-zero. "tuned" and "fast" choose theirs by their own rules (parameters.hpp): from the
// input's size, with fixed values on large graphs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/config.hpp"

namespace qh {

// One row of the catalogue.
struct NamedConfig {
    std::string_view name;
    RunConfig config;
};

inline constexpr std::array<NamedConfig, 7> CATALOGUE = {{
    {"bmssp", RunConfig{.ids = IdRange::U32}},
    {"tuned", RunConfig{.rule = ParamRule::Tuned}},
    {"hybrid", RunConfig{.hybrid = {1, 1024}}},
    {"simpleq", RunConfig{.queue = QueueKind::FlatHeap}},
    {"lazypiv", RunConfig{.lazy_pivots = true}},
    {"notransform", RunConfig{.transform = Transform::None}},
    {"fast",
     RunConfig{
         .transform = Transform::None, .queue = QueueKind::FlatHeap, .hybrid = {1, 1024}, .rule = ParamRule::Fast}},
}};

// The core run's configuration: the first row.
inline constexpr const RunConfig& CORE = CATALOGUE[0].config;

// The research variants: every row after the core's.
inline constexpr std::span<const NamedConfig> VARIANTS{CATALOGUE.data() + 1, CATALOGUE.size() - 1};

// The two limits of hybrid:A:B.
struct HybridLimits {
    std::int32_t max_level;      // A: an optional sign and decimal digits within i32, else 1
    std::uint64_t max_frontier;  // B: an optional '+' and decimal digits within u64, else 0
};

// Reads "A:B[:...]" (the text after "hybrid:").
HybridLimits parse_hybrid(std::string_view fields) noexcept;

// The research variant `name` (a row after the core's, or the hybrid:A:B family) with the
// caller's k and t (0 = not given), or nullopt when the name is unknown.
std::optional<RunConfig> find_variant(std::string_view name, std::uint64_t k, std::uint64_t t) noexcept;

// As find_variant, and the core row's name too: the core run takes no k and t.
std::optional<RunConfig> find_run(std::string_view name, std::uint64_t k, std::uint64_t t) noexcept;

}  // namespace qh
