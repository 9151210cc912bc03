// config.hpp: the one record that says what a BMSSP run is.
//
// Every run, the core's and every research variant's, counted or timed, with or without
// its settlement log or a distance limit, is `run(graph, source, seed, config)` (run.hpp)
// with a `RunConfig`. The catalogue (catalogue.hpp) names some configurations; any other
// setting of the ingredients below is a run as well.
//
// The ingredients and where each takes effect:
//   - transform (with hub_degree), queue: which form of the recursion runs (rows.hpp,
//     level_queues.hpp); run.cpp picks the compiled form;
//   - hybrid, lazy_pivots: rules the recursion reads at run time (recursion.hpp,
//     find_pivots.hpp);
//   - rule, k, t: the parameters (parameters.hpp);
//   - ids: which searched graphs the run accepts;
//   - log, limit, counting: what the run reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace qh {

// The graph the recursion searches.
enum class Transform : std::uint8_t {
    All,   // the constant-degree form: every vertex a ring of copies of in- plus out-degree
    None,  // the input graph itself
    Hubs,  // only hubs, the vertices whose in- or out-degree exceeds hub_degree, become rings
};

// The frontier queue of each recursive level.
enum class QueueKind : std::uint8_t {
    Block,     // the block-based partial-order queue
    FlatHeap,  // a binary heap with lazy deletion
};

// How k and t are chosen when the caller forces none (parameters.hpp).
enum class ParamRule : std::uint8_t {
    Standard,  // from log2 of the searched vertex count
    Tuned,     // from the input's size, fixed on large graphs
    Fast,      // from the input's vertex count, fixed on large graphs
};

// The searched graphs a run accepts, as the id types of its form require.
enum class IdRange : std::uint8_t {
    U32,  // searched ids below 2^32 and input ids within 2^31 (the core's records)
    I32,  // fewer than 2^31 − 1 searched vertices: ids and hops fit the bounded searches' i32
};

// Whether a run records its settlement order (a run that does not saves 16 bytes per vertex).
enum class SettleLog : std::uint8_t { Keep, Skip };

// Whether a run counts its operations (observer.hpp), or counts them and records every call
// (call_trace.hpp). Each runs a separately compiled form of the recursion; the results are
// the same bit for bit.
enum class Counting : std::uint8_t { Off, On, Trace };

// The hybrid switch: a call whose level or source count is small enough is answered by one
// bounded multi-source Dijkstra search (local_search.hpp) instead of recursing.
struct HybridSwitch {
    std::int32_t max_level = -1;     // a call at level <= this takes the search; -1: off
    std::uint64_t max_frontier = 0;  // a call with |S| <= this takes the search; 0: off

    // Whether a call at `level` with `sources` sources is one bounded search.
    constexpr bool takes(std::uint64_t level, std::size_t sources) const noexcept {
        return static_cast<std::int64_t>(max_level) >= static_cast<std::int64_t>(level) || sources <= max_frontier;
    }
};

struct RunConfig {
    // What the run is.
    Transform transform = Transform::All;
    std::uint64_t hub_degree = 0;  // Transform::Hubs: the degree a hub exceeds
    QueueKind queue = QueueKind::Block;
    HybridSwitch hybrid{};     // off
    bool lazy_pivots = false;  // the lazy FindPivots rule
    ParamRule rule = ParamRule::Standard;
    std::uint64_t k = 0;  // k and t are forced when both are non-zero,
    std::uint64_t t = 0;  // else `rule` chooses them
    IdRange ids = IdRange::I32;
    // What it reports.
    SettleLog log = SettleLog::Skip;
    double limit = std::numeric_limits<double>::infinity();  // >= 0; +inf: none (run.hpp)
    Counting counting = Counting::Off;
};

}  // namespace qh
