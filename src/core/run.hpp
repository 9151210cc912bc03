// run.hpp: the one road of every single-source BMSSP run.
//
// `run(graph, source, seed, config)` checks the input, builds the graph the
// configuration searches (the constant-degree form, or the input itself), chooses the
// parameters (parameters.hpp), runs the recursion (recursion.hpp) in the form the
// configuration selects, closes it with the edge check (finish.hpp) and maps the results
// back to the input graph. The core run, every research variant (catalogue.hpp), counted
// runs, limited searches and the rows of multi-source runs all take it.
#pragma once

#include <cstdint>
#include <variant>

#include "core/config.hpp"
#include "core/csr.hpp"
#include "core/memory.hpp"
#include "core/recursion/call_trace.hpp"
#include "core/recursion/finish.hpp"
#include "core/recursion/observer.hpp"
#include "core/recursion/state.hpp"

namespace qh {

// Error values of a single-source BMSSP run; the module maps them to Python
// exceptions with the caller's source and vertex count.
enum class BmsspError {
    SourceOutOfRange,  // source not below n
    InvalidWeight,     // a weight is NaN, infinite or below zero (-0.0 passes)
    GraphTooLarge,     // the searched graph has too many vertices for the run's id types
};

// The result of one run; owns everything.
struct BmsspRun {
    OwnedArray<double> dist;        // n distances, +inf when unreached
    OwnedArray<std::int32_t> pred;  // n predecessors, -1 for the source and unreached
    Vec<SettleRecord> settle_log;   // settlement order (searched-graph ids); empty unless asked for
    ExactnessCounts counts;         // how often rounding needed the run's exactness rules
    OperationCounts ops;            // the recursion's work; all zero unless counted
    Vec<CallRecord> calls;          // every call of the recursion in the order begun; empty unless traced
};

// One complete run of `config` from `source` on a validated graph. Refuses, before
// anything large is built: SourceOutOfRange, then InvalidWeight (a weight that is not
// finite and >= 0), then GraphTooLarge (config.ids). With a finite config.limit (>= 0) the
// outermost call's bound is the key (limit, top, top) instead of KEY_TOP: every vertex at
// a distance <= limit is completed, and any other vertex is reported unreached (+inf, -1).
std::variant<BmsspRun, BmsspError> run(const Csr& graph, std::uint64_t source, std::uint64_t seed,
                                       const RunConfig& config);

}  // namespace qh
