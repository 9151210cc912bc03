// bmssp_entry.hpp: the single-source BMSSP road that both extension modules take.
//
// `bmssp`, `bmssp_instrumented` and `bmssp_variant` (module `_quillharbour`)
// and `bmssp_search` and `bmssp_counted` (module `_search`) convert the graph
// arrays and the source first, then their own arguments; check contiguity,
// the shape, the source and the id limit; copy the graph into a validated
// owned Csr; and run the core or a named variant with the interpreter lock
// released. Like boundary.hpp, include it from one translation unit per module.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "core/run.hpp"
#include "bindings/boundary.hpp"
#include "core/csr.hpp"
#include "core/memory.hpp"
#include "core/catalogue.hpp"

namespace qh::py {

// The graph and source of a single-source BMSSP entry, and the owned copy of the graph.
struct SourceGraph {
    GraphArgs g;
    std::int64_t source = 0;
    std::uint64_t n = 0;
    Csr csr;

    // Converts the arrays, then the source: the order in which callers meet the TypeErrors.
    bool take(PyObject* indptr, PyObject* indices, PyObject* weights, PyObject* o_source) {
        return g.take(indptr, indices, weights) && take_i64(o_source, "source", source);
    }
    // Contiguity, then the shape, source and id checks, then the validated owned copy.
    bool own() { return all_contiguous(g.indptr, g.indices, g.weights) && checked_owned_csr(g, source, n, csr); }
    // The work estimate of one run (see run_released).
    std::uint64_t work() const noexcept { return n + csr.nnz(); }
};

// Raises the ValueError for a name that is no variant.
inline void raise_unknown_variant(std::string_view name) {
    const Vec<char> message = unknown_variant_message(
        name, [](char32_t c) -> bool { return Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(c)); });
    Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// The core run on the owned graph, the lock released; nullopt with the exception set when
// the run is refused or fails. `limit` bounds the outermost call (+inf: none).
inline std::optional<BmsspRun> run_core(SourceGraph& a, std::uint64_t seed, SettleLog log,
                                        double limit = std::numeric_limits<double>::infinity(),
                                        Counting counting = Counting::Off) {
    std::variant<BmsspRun, BmsspError> outcome = BmsspError::SourceOutOfRange;
    const Fault fault = run_released([&] {
        outcome = sssp_bmssp(a.csr, static_cast<std::uint64_t>(a.source), seed, log, limit, counting);
    }, a.work());
    if (raise_fault(fault)) return std::nullopt;
    if (const BmsspError* error = std::get_if<BmsspError>(&outcome)) {
        map_bmssp_err(*error, a.source, a.n);
        return std::nullopt;
    }
    return std::move(*std::get_if<BmsspRun>(&outcome));  // get_if: std::get would pull in bad_variant_access
}

// The variant `name` with the caller's k and t (0 = the variant's own) on the owned graph,
// the lock released; the graph is freed once the run has ended. Nullopt with the exception
// set when the name is unknown (checked after the graph, before its weights) or the run is
// refused or fails.
inline std::optional<VariantRun> run_named_variant(SourceGraph& a, std::string_view name, std::uint64_t k,
                                                   std::uint64_t t, std::uint64_t seed,
                                                   Counting counting = Counting::Off) {
    bool known = false;
    std::optional<std::variant<VariantRun, BmsspError>> result;
    const Fault fault = run_released([&] {
        const auto resolved = resolve_variant(name, k, t, a.n, a.csr.nnz());
        if (!resolved) return;
        known = true;
        result.emplace(run_variant(*resolved, a.csr, static_cast<std::uint64_t>(a.source), seed, counting));
    }, a.work());
    if (raise_fault(fault)) return std::nullopt;
    a.csr = Csr{};
    if (!known) {
        raise_unknown_variant(name);
        return std::nullopt;
    }
    if (const BmsspError* error = std::get_if<BmsspError>(&*result)) {
        map_bmssp_err(*error, a.source, a.n);
        return std::nullopt;
    }
    return std::move(*std::get_if<VariantRun>(&*result));
}

}  // namespace qh::py
