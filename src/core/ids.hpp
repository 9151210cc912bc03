// ids.hpp: the sentinels of vertex ids and hop counts, each defined once.
#pragma once

#include <cstdint>

namespace qh {

// "No vertex" in 32-bit vertex arrays: never a vertex id, since ids stay below 2^32 - 1.
inline constexpr std::uint32_t NO_VERTEX = 0xFFFFFFFFu;

// The stored hop count of an unreached vertex in a run's 32-bit labels.
inline constexpr std::uint32_t UNREACHED = 0xFFFFFFFFu;

// The hop count of a key for which no path is known (2^62): how keys read UNREACHED.
inline constexpr std::int64_t NO_PATH_HOPS = std::int64_t{1} << 62;

}  // namespace qh
