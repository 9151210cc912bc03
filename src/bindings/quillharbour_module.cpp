// quillharbour_module.cpp: the extension module `quillharbour._quillharbour`, its six entries.
//
// This file is the boundary and holds no algorithm. Each entry is described once below
// (entry.hpp): its keywords and format, its converters, and its core call with the lock
// released; then its results are handed to NumPy or its error value raised (errors.hpp).
// The module's docstrings and names are part of its contract (messages.hpp lists the texts
// that must stay verbatim).
#include "bindings/python.hpp"  // first: Python.h precedes the standard headers

#include <cstdint>
#include <optional>
#include <string_view>

#include "bindings/arguments.hpp"
#include "bindings/bmssp_road.hpp"
#include "bindings/csr_checks.hpp"
#include "bindings/entry.hpp"
#include "bindings/errors.hpp"
#include "bindings/numpy.hpp"
#include "bindings/released.hpp"
#include "core/catalogue.hpp"
#include "core/dijkstra.hpp"
#include "core/memory.hpp"
#include "core/multi.hpp"

namespace qh::py {
namespace {

struct Dijkstra {
    static constexpr const char* name = "dijkstra";
    static constexpr const char* doc =
        "dijkstra(indptr, indices, weights, source)\n--\n\n"
        "Compute single-source shortest paths with Dijkstra's algorithm.";
    static constexpr const char* format = "OOOO:dijkstra";
    static constexpr const char* keywords[] = {"indptr", "indices", "weights", "source", nullptr};
    PyObject *indptr, *indices, *weights, *source;
    auto slots() { return std::tie(indptr, indices, weights, source); }

    PyObject* call() {
        GraphArgs g;
        std::int64_t s = 0;
        std::uint64_t n = 0;
        if (!g.take(indptr, indices, weights) || !take_i64(source, "source", s) || !g.contiguous() ||
            !check_csr(g.indptr.view(), g.indices.size(), g.weights.size(), s, n) || !check_vertex_limit(n))
            return nullptr;
        auto dist = OwnedArray<double>::uninitialized(n);
        auto pred = OwnedArray<std::int32_t>::uninitialized(n);
        Heap heap;
        std::optional<DijkstraError> error;
        // The run reads the caller's arrays in place and checks them itself.
        const auto work = [&] {
            error = dijkstra(g.indptr.view(), g.indices.view(), g.weights.view(), static_cast<std::uint64_t>(s),
                             {dist.data(), dist.size()}, {pred.data(), pred.size()}, heap);
        };
        if (!released(work, n + g.indices.size())) return nullptr;
        if (error) return raise_error(*error);
        return tuple_of({hand_over(dist), hand_over(pred)});
    }
};

// bmssp and bmssp_instrumented: the core run, with its settlement log when Logged.
template <bool Logged>
struct Bmssp {
    static constexpr const char* name = Logged ? "bmssp_instrumented" : "bmssp";
    static constexpr const char* doc = Logged ? "bmssp_instrumented(indptr, indices, weights, source, seed=0)\n--\n\n"
                                                "Like [`bmssp_py`], but also returns the settlement-order log\n"
                                                "(transformed-graph vertex ids and their dhat at settlement)."
                                              : "bmssp(indptr, indices, weights, source, seed=0)\n--\n\n"
                                                "Compute single-source shortest paths with the BMSSP algorithm\n"
                                                "on the constant-degree transform.";
    static constexpr const char* format = Logged ? "OOOO|O:bmssp_instrumented" : "OOOO|O:bmssp";
    static constexpr const char* keywords[] = {"indptr", "indices", "weights", "source", "seed", nullptr};
    PyObject *indptr, *indices, *weights, *source, *seed = nullptr;
    auto slots() { return std::tie(indptr, indices, weights, source, seed); }

    PyObject* call() {
        SourceGraph a;
        std::uint64_t s = 0;
        if (!a.take(indptr, indices, weights, source) || !take_u64(seed, "seed", s) || !a.own()) return nullptr;
        RunConfig config = CORE;
        config.log = Logged ? SettleLog::Keep : SettleLog::Skip;
        std::optional<BmsspRun> run = run_bmssp(a, s, config);
        if (!run) return nullptr;
        if (!Logged) return paths_of(*run);
        const auto [ids, dhat] = settle_log_of(*run);
        return tuple_of({hand_over(run->dist), hand_over(run->pred), ids, dhat});
    }
};

struct BmsspVariant {
    static constexpr const char* name = "bmssp_variant";
    static constexpr const char* doc =
        "bmssp_variant(indptr, indices, weights, source, variant, seed=0, k=0, t=0)\n--\n\n"
        "Run a research variant of BMSSP (`src/variants/`); `variant` is the\n"
        "name after the \"bmssp-\" prefix (e.g. \"notransform\"). `k`/`t` > 0\n"
        "force the parameters (0 = the variant's default).";
    static constexpr const char* format = "OOOOO|OOO:bmssp_variant";
    static constexpr const char* const* keywords = VARIANT_KEYWORDS;
    PyObject *indptr, *indices, *weights, *source, *variant, *seed = nullptr, *k = nullptr, *t = nullptr;
    auto slots() { return std::tie(indptr, indices, weights, source, variant, seed, k, t); }

    PyObject* call() {
        SourceGraph a;
        std::string_view name;
        std::uint64_t s = 0, forced_k = 0, forced_t = 0;
        if (!a.take(indptr, indices, weights, source) || !take_variant_name(variant, name) ||
            !take_u64(seed, "seed", s) || !take_u64(k, "k", forced_k) || !take_u64(t, "t", forced_t) || !a.own())
            return nullptr;
        // The name is checked after the graph, before its weights (which the run checks).
        const std::optional<RunConfig> config = find_variant(name, forced_k, forced_t);
        if (!config) return raise_unknown_variant(name);
        std::optional<BmsspRun> run = run_bmssp(a, s, *config);
        return run ? paths_of(*run) : nullptr;
    }
};

// dijkstra_multisource and bmssp_multisource: one row per source, in parallel.
template <bool OfBmssp>
struct Multisource {
    static constexpr const char* name = OfBmssp ? "bmssp_multisource" : "dijkstra_multisource";
    static constexpr const char* doc = OfBmssp
                                           ? "bmssp_multisource(indptr, indices, weights, sources, seed=0)\n--\n\n"
                                             "Multi-source BMSSP, parallel over sources (rayon). Same contract as\n"
                                             "[`dijkstra_multisource_py`]; every row uses the same pivot `seed` its\n"
                                             "single-source `bmssp` call would."
                                           : "dijkstra_multisource(indptr, indices, weights, sources)\n--\n\n"
                                             "Multi-source Dijkstra, parallel over sources (rayon). Returns flat\n"
                                             "`(distances: float64[k*n], predecessors: int32[k*n])`; row `i` is the\n"
                                             "single-source result for `sources[i]` (bit-identical to `dijkstra`).\n"
                                             "The Python wrapper reshapes to `(k, n)`.";
    static constexpr const char* format = OfBmssp ? "OOOO|O:bmssp_multisource" : "OOOO:dijkstra_multisource";
    static constexpr const char* keywords[] = {"indptr", "indices", "weights", "sources", OfBmssp ? "seed" : nullptr,
                                               nullptr};
    PyObject *indptr, *indices, *weights, *sources, *seed = nullptr;
    auto slots() { return std::tie(indptr, indices, weights, sources, seed); }

    PyObject* call() {
        GraphArgs g;
        ArrayArg<std::int64_t> rows;
        std::uint64_t s = 0, n = 0;
        if (!g.take(indptr, indices, weights) || !take_array(sources, "sources", rows) || !take_u64(seed, "seed", s) ||
            !all_contiguous(g.indptr, g.indices, g.weights, rows) || !checked_multi_graph(g, n))
            return nullptr;
        // Results the machine can never hold are refused before any work.
        std::size_t cells = 0;
        std::uint64_t work = 0;
        if (!row_cells(rows.size(), n, g.indices.size(), sizeof(double) + sizeof(std::int32_t), cells, work))
            return nullptr;
        // BMSSP rows run on an owned copy; with no row to run, the graph is checked where it
        // lies, not copied (a huge one need not fit twice). Dijkstra rows read it in place.
        Csr csr;
        if (OfBmssp && rows.size() == 0 && !valid_in_place(g.indptr.view(), g.indices.view(), n)) return nullptr;
        if (OfBmssp && rows.size() != 0 && !to_owned_csr(g.indptr.view(), g.indices.view(), g.weights.view(), n, csr))
            return nullptr;
        auto dist = OwnedArray<double>::zeroed(cells);
        auto pred = OwnedArray<std::int32_t>::zeroed(cells);
        std::optional<MultiError> error;
        const auto run_rows = [&] {
            const std::span<double> d{dist.data(), dist.size()};
            const std::span<std::int32_t> p{pred.data(), pred.size()};
            error = OfBmssp ? bmssp_multi(csr, rows.view(), s, d, p)
                            : dijkstra_multi(g.indptr.view(), g.indices.view(), g.weights.view(), rows.view(), d, p);
        };
        if (!released(run_rows, work)) return nullptr;
        if (error) return raise_error(*error, n);
        return tuple_of({hand_over(dist), hand_over(pred)});
    }
};

// The six functions, in registration order.
PyMethodDef functions[] = {
    method<Dijkstra>(),     method<Bmssp<false>>(),       method<Bmssp<true>>(),
    method<BmsspVariant>(), method<Multisource<false>>(), method<Multisource<true>>(),
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quillharbour",
    "The native extension module `quillharbour._quillharbour`.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;  // created once per process

}  // namespace
}  // namespace qh::py

PyMODINIT_FUNC PyInit__quillharbour(void) {
    using namespace qh::py;
    if (!in_main_interpreter("quillharbour._quillharbour")) return nullptr;
    qh::reset_purged_pages();
    if (the_module == nullptr) {
        the_module = new_module(module_def, functions, true);
        if (the_module == nullptr) return nullptr;
    }
    Py_INCREF(the_module);
    return the_module;
}
