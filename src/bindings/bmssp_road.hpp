// bmssp_road.hpp: the road of the single-source BMSSP entries of both modules.
//
// `bmssp`, `bmssp_instrumented` and `bmssp_variant` (module `_quillharbour`) and
// `bmssp_search` and `bmssp_counted` (module `_search`) convert the graph arrays and the
// source first, then their own arguments; check contiguity, the shape, the source and the
// id limit; copy the graph into a validated owned Csr; and make one run (core/run.hpp) of the
// configuration they stand for, with the interpreter lock released.
#pragma once

#include "bindings/python.hpp"  // first: Python.h precedes the standard headers

#include <cstdint>
#include <optional>
#include <utility>

#include "bindings/arguments.hpp"
#include "core/config.hpp"
#include "core/csr.hpp"
#include "core/run.hpp"

namespace qh::py {

// The keywords of the entries that name a variant (bmssp_variant, bmssp_counted).
inline constexpr const char* VARIANT_KEYWORDS[] = {"indptr", "indices", "weights", "source", "variant",
                                                   "seed",   "k",       "t",       nullptr};

// The graph and source of a single-source BMSSP entry, and the owned copy of the graph.
struct SourceGraph {
    GraphArgs g;
    std::int64_t source = 0;
    std::uint64_t n = 0;
    Csr csr;

    // Converts the arrays, then the source: the order in which callers meet the TypeErrors.
    bool take(PyObject* indptr, PyObject* indices, PyObject* weights, PyObject* o_source);
    // Contiguity, then the shape, source and id checks, then the validated owned copy.
    bool own();
};

// A run of `config` on the owned graph, the lock released; the graph is freed once the run
// has ended. Nullopt with the exception set when the run is refused or fails.
std::optional<BmsspRun> run_bmssp(SourceGraph& a, std::uint64_t seed, const RunConfig& config);

// (distances, predecessors) of a finished run, handed over.
PyObject* paths_of(BmsspRun& run);

// The settlement log of a finished run as two new arrays: vertex ids (int64) and distances;
// each null with an exception set on failure.
std::pair<PyObject*, PyObject*> settle_log_of(const BmsspRun& run);

}  // namespace qh::py
