// lib.cpp: the extension module `quillharbour._quillharbour`.
//
// This file is the boundary and holds no algorithm. Every entry follows the
// road of boundary.hpp: bind and convert the arguments, check contiguity and
// the CSR shape, allocate what the run needs, run it with the interpreter lock
// released, then hand the result buffers to NumPy or raise the exception the
// error value maps to.
//
// Public contract, not oversights: some names and texts of this module come
// from the ecosystem its callers first used, and scripts match on them. Keep
// them verbatim: the exception class "pyo3_runtime.PanicException"
// (boundary.hpp), 'PyString' in the variant name's TypeError, "(rayon)" in the
// multi-source docstrings, the pool's RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (pool.cpp), and the bracketed names ([`bmssp_py`], [`dijkstra_multisource_py`])
// in the docstrings. Every message in boundary.hpp is matched exactly by callers too.
#include "bindings/boundary.hpp"

#include <cxxabi.h>

#include <cinttypes>
#include <optional>
#include <type_traits>
#include <string_view>
#include <variant>

#include "core/run.hpp"
#include "bindings/bmssp_entry.hpp"
#include "core/cancel.hpp"
#include "core/csr.hpp"
#include "core/dijkstra.hpp"
#include "core/memory.hpp"
#include "core/multi.hpp"
#include "core/pool.hpp"
#include "core/stop.hpp"
#include "core/test_hooks.hpp"
#include "core/catalogue.hpp"

namespace qh {
namespace {

using namespace qh::py;

// ---------------------------------------------------------------------------
// Error mapping

void map_multi_err(const MultiError& error, std::uint64_t n) {
    switch (error.kind) {
        case MultiError::Kind::SourceOutOfRange:
            raise_source_out_of_range(error.source, n);
            return;
        case MultiError::Kind::NegativeWeight:
            PyErr_SetString(PyExc_ValueError, MULTI_NEGATIVE_WEIGHT);
            return;
        case MultiError::Kind::MalformedCsr:
            PyErr_SetString(PyExc_ValueError, MALFORMED_CSR);
            return;
        case MultiError::Kind::GraphTooLarge:
            PyErr_SetString(PyExc_ValueError, GRAPH_TOO_LARGE);
            return;
    }
}

// ---------------------------------------------------------------------------
// Entries

PyObject* dijkstra_entry(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"indptr", "indices", "weights", "source", nullptr};
    PyObject *o_indptr, *o_indices, *o_weights, *o_source;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:dijkstra", const_cast<char**>(keywords), &o_indptr,
                                     &o_indices, &o_weights, &o_source))
        return nullptr;
    if (!ensure_numpy()) return nullptr;
    GraphArgs g;
    std::int64_t source = 0;
    if (!g.take(o_indptr, o_indices, o_weights) || !take_i64(o_source, "source", source)) return nullptr;
    if (!all_contiguous(g.indptr, g.indices, g.weights)) return nullptr;
    std::uint64_t n = 0;
    if (!check_csr(g.indptr.view(), g.indices.size(), g.weights.size(), source, n) || !check_vertex_limit(n))
        return nullptr;

    auto dist = OwnedArray<double>::uninitialized(n);
    auto pred = OwnedArray<std::int32_t>::uninitialized(n);
    Heap heap;
    std::optional<DijkstraError> error;
    const Fault fault = run_released([&] {
        error = dijkstra(g.indptr.view(), g.indices.view(), g.weights.view(), static_cast<std::uint64_t>(source),
                         {dist.data(), dist.size()}, {pred.data(), pred.size()}, heap);
    }, n + g.indices.size());
    if (raise_fault(fault)) return nullptr;
    if (error) {
        PyErr_SetString(PyExc_ValueError,
                        *error == DijkstraError::NegativeWeight ? DIJKSTRA_NEGATIVE_WEIGHT : MALFORMED_CSR);
        return nullptr;
    }
    return tuple_of({hand_over(dist, NPY_FLOAT64), hand_over(pred, NPY_INT32)});
}

// Shared by bmssp and bmssp_instrumented.
PyObject* bmssp_entry(PyObject* args, PyObject* kwargs, const char* format, bool instrumented) {
    static const char* keywords[] = {"indptr", "indices", "weights", "source", "seed", nullptr};
    PyObject *o_indptr, *o_indices, *o_weights, *o_source, *o_seed = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &o_indptr, &o_indices,
                                     &o_weights, &o_source, &o_seed))
        return nullptr;
    if (!ensure_numpy()) return nullptr;
    SourceGraph a;
    std::uint64_t seed = 0;
    if (!a.take(o_indptr, o_indices, o_weights, o_source) || !take_u64(o_seed, "seed", seed) || !a.own())
        return nullptr;
    RunConfig config = CORE;
    config.log = instrumented ? SettleLog::Keep : SettleLog::Skip;
    std::optional<BmsspRun> outcome = run_bmssp(a, seed, config);
    if (!outcome) return nullptr;
    BmsspRun& run = *outcome;
    if (!instrumented) return tuple_of({hand_over(run.dist, NPY_FLOAT64), hand_over(run.pred, NPY_INT32)});

    const std::size_t m = run.settle_log.size();
    auto ids = OwnedArray<std::int64_t>::uninitialized(m);
    auto dhat = OwnedArray<double>::uninitialized(m);
    for (std::size_t j = 0; j < m; ++j) {
        ids[j] = static_cast<std::int64_t>(run.settle_log[j].vertex);
        dhat[j] = run.settle_log[j].dhat;
    }
    return tuple_of({hand_over(run.dist, NPY_FLOAT64), hand_over(run.pred, NPY_INT32), hand_over(ids, NPY_INT64),
                     hand_over(dhat, NPY_FLOAT64)});
}

PyObject* bmssp_variant_entry(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"indptr", "indices", "weights", "source", "variant", "seed", "k", "t", nullptr};
    PyObject *o_indptr, *o_indices, *o_weights, *o_source, *o_variant;
    PyObject *o_seed = nullptr, *o_k = nullptr, *o_t = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOO:bmssp_variant", const_cast<char**>(keywords),
                                     &o_indptr, &o_indices, &o_weights, &o_source, &o_variant, &o_seed, &o_k,
                                     &o_t))
        return nullptr;
    if (!ensure_numpy()) return nullptr;
    SourceGraph a;
    if (!a.take(o_indptr, o_indices, o_weights, o_source)) return nullptr;
    if (!PyUnicode_Check(o_variant)) {
        PyErr_Format(PyExc_TypeError, "argument 'variant': '%s' object cannot be converted to 'PyString'",
                     Py_TYPE(o_variant)->tp_name);
        return nullptr;
    }
    Py_ssize_t name_len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(o_variant, &name_len);
    if (name == nullptr) return nullptr;
    std::uint64_t seed = 0, k = 0, t = 0;
    if (!take_u64(o_seed, "seed", seed) || !take_u64(o_k, "k", k) || !take_u64(o_t, "t", t) || !a.own())
        return nullptr;
    const std::string_view variant(name, static_cast<std::size_t>(name_len));
    const std::optional<RunConfig> config = find_variant(variant, k, t);
    if (!config) {
        raise_unknown_variant(variant);
        return nullptr;
    }
    std::optional<BmsspRun> run = run_bmssp(a, seed, *config);
    if (!run) return nullptr;
    return tuple_of({hand_over(run->dist, NPY_FLOAT64), hand_over(run->pred, NPY_INT32)});
}

// Shared by both multi-source entries.
PyObject* multisource_entry(PyObject* args, PyObject* kwargs, bool bmssp) {
    static const char* d_keywords[] = {"indptr", "indices", "weights", "sources", nullptr};
    static const char* b_keywords[] = {"indptr", "indices", "weights", "sources", "seed", nullptr};
    PyObject *o_indptr, *o_indices, *o_weights, *o_sources, *o_seed = nullptr;
    const bool bound =
        bmssp ? PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:bmssp_multisource", const_cast<char**>(b_keywords),
                                            &o_indptr, &o_indices, &o_weights, &o_sources, &o_seed)
              : PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:dijkstra_multisource",
                                            const_cast<char**>(d_keywords), &o_indptr, &o_indices, &o_weights,
                                            &o_sources);
    if (!bound) return nullptr;
    if (!ensure_numpy()) return nullptr;
    GraphArgs g;
    ArrayArg<std::int64_t> sources;
    std::uint64_t seed = 0;
    if (!g.take(o_indptr, o_indices, o_weights) || !take_array(o_sources, "sources", NPY_INT64, "int64", sources) ||
        !take_u64(o_seed, "seed", seed))
        return nullptr;
    std::uint64_t n = 0;
    if (!all_contiguous(g.indptr, g.indices, g.weights, sources) || !checked_multi_graph(g, n)) return nullptr;
    Csr csr;
    if (bmssp && sources.size() == 0) {
        // Nothing to run: the graph is checked where it lies, not copied (a huge one need not fit twice).
        if (!valid_in_place(g.indptr.view(), g.indices.view(), n)) return nullptr;
    } else if (bmssp && !to_owned_csr(g.indptr.view(), g.indices.view(), g.weights.view(), n, csr)) {
        return nullptr;
    }

    std::size_t cells = 0;
    std::uint64_t work = 0;
    if (!row_cells(sources.size(), n, g.indices.size(), cells, work)) return nullptr;
    auto dist = OwnedArray<double>::zeroed(cells);
    auto pred = OwnedArray<std::int32_t>::zeroed(cells);
    std::optional<MultiError> error;
    const Fault fault = run_released([&] {
        const std::span<double> d{dist.data(), dist.size()};
        const std::span<std::int32_t> p{pred.data(), pred.size()};
        error = bmssp ? bmssp_multi(csr, sources.view(), seed, d, p)
                      : dijkstra_multi(g.indptr.view(), g.indices.view(), g.weights.view(), sources.view(), d, p);
    }, work);
    if (raise_fault(fault)) return nullptr;
    if (error) {
        map_multi_err(*error, n);
        return nullptr;
    }
    return tuple_of({hand_over(dist, NPY_FLOAT64), hand_over(pred, NPY_INT32)});
}

// ---------------------------------------------------------------------------
// Module

PyObject* py_dijkstra(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return dijkstra_entry(args, kwargs); });
}
PyObject* py_bmssp(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return bmssp_entry(args, kwargs, "OOOO|O:bmssp", false); });
}
PyObject* py_bmssp_instrumented(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return bmssp_entry(args, kwargs, "OOOO|O:bmssp_instrumented", true); });
}
PyObject* py_bmssp_variant(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return bmssp_variant_entry(args, kwargs); });
}
PyObject* py_dijkstra_multisource(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return multisource_entry(args, kwargs, false); });
}
PyObject* py_bmssp_multisource(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return multisource_entry(args, kwargs, true); });
}

PyMethodDef functions[] = {
    {"dijkstra", QH_FN(py_dijkstra), METH_VARARGS | METH_KEYWORDS,
     "dijkstra(indptr, indices, weights, source)\n--\n\n"
     "Compute single-source shortest paths with Dijkstra's algorithm."},
    {"bmssp", QH_FN(py_bmssp), METH_VARARGS | METH_KEYWORDS,
     "bmssp(indptr, indices, weights, source, seed=0)\n--\n\n"
     "Compute single-source shortest paths with the BMSSP algorithm\n"
     "on the constant-degree transform."},
    {"bmssp_instrumented", QH_FN(py_bmssp_instrumented), METH_VARARGS | METH_KEYWORDS,
     "bmssp_instrumented(indptr, indices, weights, source, seed=0)\n--\n\n"
     "Like [`bmssp_py`], but also returns the settlement-order log\n"
     "(transformed-graph vertex ids and their dhat at settlement)."},
    {"bmssp_variant", QH_FN(py_bmssp_variant), METH_VARARGS | METH_KEYWORDS,
     "bmssp_variant(indptr, indices, weights, source, variant, seed=0, k=0, t=0)\n--\n\n"
     "Run a research variant of BMSSP (`src/variants/`); `variant` is the\n"
     "name after the \"bmssp-\" prefix (e.g. \"notransform\"). `k`/`t` > 0\n"
     "force the parameters (0 = the variant's default)."},
    {"dijkstra_multisource", QH_FN(py_dijkstra_multisource), METH_VARARGS | METH_KEYWORDS,
     "dijkstra_multisource(indptr, indices, weights, sources)\n--\n\n"
     "Multi-source Dijkstra, parallel over sources (rayon). Returns flat\n"
     "`(distances: float64[k*n], predecessors: int32[k*n])`; row `i` is the\n"
     "single-source result for `sources[i]` (bit-identical to `dijkstra`).\n"
     "The Python wrapper reshapes to `(k, n)`."},
    {"bmssp_multisource", QH_FN(py_bmssp_multisource), METH_VARARGS | METH_KEYWORDS,
     "bmssp_multisource(indptr, indices, weights, sources, seed=0)\n--\n\n"
     "Multi-source BMSSP, parallel over sources (rayon). Same contract as\n"
     "[`dijkstra_multisource_py`]; every row uses the same pivot `seed` its\n"
     "single-source `bmssp` call would."},
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

PyObject* the_module = nullptr;

PyObject* create_module() {
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    Ref all;
    if (PyObject* existing = PyDict_GetItemString(dict, "__all__")) {
        all = Ref::borrowed(existing);
    } else {
        all = Ref(PyList_New(0));
        if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return nullptr;
    }
    Ref module_name(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    for (PyMethodDef& def : functions) {
        Ref function(PyCFunction_NewEx(&def, nullptr, module_name.get()));
        if (!function || PyModule_AddObjectRef(module.get(), def.ml_name, function.get()) < 0) return nullptr;
        Ref name(PyUnicode_FromString(def.ml_name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace qh

PyMODINIT_FUNC PyInit__quillharbour(void) {
    using namespace qh;
    if (!py::in_main_interpreter("quillharbour._quillharbour")) return nullptr;
    if (the_module == nullptr) {
        the_module = create_module();
        if (the_module == nullptr) return nullptr;
    }
    Py_INCREF(the_module);
    return the_module;
}
