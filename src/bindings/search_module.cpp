// search_module.cpp: the extension module `quillharbour._search`.
//
// The extended Dijkstra searches of search.hpp (a distance limit, targets,
// the nearest of many sources, undirected arcs, distances without
// predecessors) and BMSSP bounded by a limit reach Python here, beside the
// fixed surface of `_quillharbour`, with the helpers the package builds on (the
// run parameters, the grouping of arcs into rows). The road of every entry is that of
// boundary.hpp; the Dijkstra entries read the graph arrays in place, as
// `dijkstra` does, and the BMSSP entry copies them, as `bmssp` does.
#include "bindings/boundary.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <variant>

#include "bindings/bmssp_entry.hpp"
#include "core/group.hpp"
#include "core/parameters.hpp"
#include "core/search.hpp"
#include "core/catalogue.hpp"

namespace qh {
namespace {

using namespace qh::py;

constexpr const char* NEGATIVE_LIMIT = "limit must be >= 0";

// `obj` may be null (omitted) or None: then `out` keeps its default (no limit).
bool take_limit(PyObject* obj, double& out) {
    if (obj == nullptr || obj == Py_None) return true;
    const double limit = PyFloat_AsDouble(obj);
    if (limit == -1.0 && PyErr_Occurred()) {
        prefix_type_error("limit");
        return false;
    }
    if (!(limit >= 0.0)) {  // NaN included
        PyErr_SetString(PyExc_ValueError, NEGATIVE_LIMIT);
        return false;
    }
    out = limit;
    return true;
}

// The arguments of the Dijkstra entries, converted and checked.
struct SearchArgs {
    GraphArgs g;
    std::uint64_t n = 0;
    ArrayArg<std::int64_t> sources;
    std::optional<ArrayArg<std::int64_t>> targets;
    SearchOptions options;
    bool want_pred = true;

    // The graph, then the other arguments, then contiguity, then the graph's shape and size.
    // `o_limit` and `o_targets` may be null (omitted); None means no limit, no targets.
    bool take(PyObject* o_indptr, PyObject* o_indices, PyObject* o_weights, PyObject* o_sources, PyObject* o_limit,
              PyObject* o_targets, int directed, int return_predecessors) {
        return g.take(o_indptr, o_indices, o_weights) &&
               take_rest(o_sources, o_limit, o_targets, directed, return_predecessors) &&
               all_contiguous(g.indptr, g.indices, g.weights) && contiguous_views() && checked_multi_graph(g, n);
    }

private:
    bool take_rest(PyObject* o_sources, PyObject* o_limit, PyObject* o_targets, int directed, int return_predecessors) {
        if (!take_array(o_sources, "sources", NPY_INT64, "int64", sources)) return false;
        if (!take_limit(o_limit, options.limit)) return false;
        if (o_targets != nullptr && o_targets != Py_None) {
            targets.emplace();
            if (!take_array(o_targets, "targets", NPY_INT64, "int64", *targets)) return false;
        }
        options.undirected = !directed;
        want_pred = return_predecessors != 0;
        return true;
    }

    bool contiguous_views() {
        if (targets) {
            if (!all_contiguous(sources, *targets)) return false;
            options.targets = targets->view();
            return true;
        }
        return all_contiguous(sources);
    }
};

void raise_search_err(SearchError error, std::uint64_t n, const char* negative_weight) {
    switch (error.kind) {
        case SearchError::Kind::SourceOutOfRange:
            raise_source_out_of_range(error.id, n);
            return;
        case SearchError::Kind::TargetOutOfRange:
            PyErr_Format(PyExc_IndexError, "target %lld is out of range for graph with %llu vertices",
                         static_cast<long long>(error.id), static_cast<unsigned long long>(n));
            return;
        case SearchError::Kind::NegativeWeight:
            PyErr_SetString(PyExc_ValueError, negative_weight);
            return;
        case SearchError::Kind::MalformedCsr:
            PyErr_SetString(PyExc_ValueError, MALFORMED_CSR);
            return;
    }
}

// A result array, or None when it was not asked for.
template <class T>
PyObject* hand_over_or_none(bool wanted, OwnedArray<T>& buffer, int typenum) {
    return wanted ? hand_over(buffer, typenum) : Py_NewRef(Py_None);
}

PyObject* search_entry(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"indptr", "indices", "weights", "sources", "limit", "targets", "directed",
                                     "return_predecessors", "return_sources", nullptr};
    PyObject *o_indptr, *o_indices, *o_weights, *o_sources, *o_limit = nullptr, *o_targets = nullptr;
    int directed = 1, return_predecessors = 1, return_sources = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OOppp:search", const_cast<char**>(keywords), &o_indptr,
                                     &o_indices, &o_weights, &o_sources, &o_limit, &o_targets, &directed,
                                     &return_predecessors, &return_sources))
        return nullptr;
    if (!ensure_numpy()) return nullptr;
    SearchArgs s;
    if (!s.take(o_indptr, o_indices, o_weights, o_sources, o_limit, o_targets, directed, return_predecessors))
        return nullptr;
    const GraphArgs& g = s.g;
    const std::uint64_t n = s.n;

    const bool want_sources = return_sources != 0;
    auto dist = OwnedArray<double>::uninitialized(n);
    auto pred = OwnedArray<std::int32_t>::uninitialized(s.want_pred ? n : 0);
    auto source_of = OwnedArray<std::int32_t>::uninitialized(want_sources ? n : 0);
    std::optional<SearchError> error;
    const Fault fault = run_released([&] {
        error = search_nearest(g.indptr.view(), g.indices.view(), g.weights.view(), s.sources.view(), s.options,
                               {dist.data(), dist.size()}, {pred.data(), pred.size()},
                               {source_of.data(), source_of.size()});
    }, n + g.indices.size());
    if (raise_fault(fault)) return nullptr;
    if (error) {
        raise_search_err(*error, n, DIJKSTRA_NEGATIVE_WEIGHT);
        return nullptr;
    }
    return tuple_of({hand_over(dist, NPY_FLOAT64), hand_over_or_none(s.want_pred, pred, NPY_INT32),
                     hand_over_or_none(want_sources, source_of, NPY_INT32)});
}

PyObject* search_multisource_entry(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"indptr", "indices",  "weights",  "sources", "limit",
                                     "targets", "directed", "return_predecessors", nullptr};
    PyObject *o_indptr, *o_indices, *o_weights, *o_sources, *o_limit = nullptr, *o_targets = nullptr;
    int directed = 1, return_predecessors = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OOpp:search_multisource", const_cast<char**>(keywords),
                                     &o_indptr, &o_indices, &o_weights, &o_sources, &o_limit, &o_targets,
                                     &directed, &return_predecessors))
        return nullptr;
    if (!ensure_numpy()) return nullptr;
    SearchArgs s;
    if (!s.take(o_indptr, o_indices, o_weights, o_sources, o_limit, o_targets, directed, return_predecessors))
        return nullptr;
    const GraphArgs& g = s.g;
    const std::uint64_t n = s.n;

    std::size_t cells = 0;
    std::uint64_t work = 0;
    if (!row_cells(s.sources.size(), n, g.indices.size(), cells, work)) return nullptr;
    auto dist = OwnedArray<double>::uninitialized(cells);
    auto pred = OwnedArray<std::int32_t>::uninitialized(s.want_pred ? cells : 0);
    std::optional<SearchError> error;
    const Fault fault = run_released([&] {
        error = search_rows(nullptr, g.indptr.view(), g.indices.view(), g.weights.view(), s.sources.view(),
                            s.options, {dist.data(), dist.size()}, {pred.data(), pred.size()});
    }, work);
    if (raise_fault(fault)) return nullptr;
    if (error) {
        raise_search_err(*error, n, MULTI_NEGATIVE_WEIGHT);
        return nullptr;
    }
    return tuple_of({hand_over(dist, NPY_FLOAT64), hand_over_or_none(s.want_pred, pred, NPY_INT32)});
}

PyObject* bmssp_search_entry(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"indptr", "indices", "weights", "source", "seed", "limit", nullptr};
    PyObject *o_indptr, *o_indices, *o_weights, *o_source, *o_seed = nullptr, *o_limit = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OO:bmssp_search", const_cast<char**>(keywords), &o_indptr,
                                     &o_indices, &o_weights, &o_source, &o_seed, &o_limit))
        return nullptr;
    if (!ensure_numpy()) return nullptr;
    SourceGraph a;
    std::uint64_t seed = 0;
    double limit = std::numeric_limits<double>::infinity();
    if (!a.take(o_indptr, o_indices, o_weights, o_source) || !take_u64(o_seed, "seed", seed) ||
        !take_limit(o_limit, limit) || !a.own())
        return nullptr;
    RunConfig config = CORE;
    config.limit = limit;
    std::optional<BmsspRun> run = run_bmssp(a, seed, config);
    if (!run) return nullptr;
    return tuple_of({hand_over(run->dist, NPY_FLOAT64), hand_over(run->pred, NPY_INT32)});
}

PyObject* counts_dict(const ExactnessCounts& c, const OperationCounts& o) {
    using ull = unsigned long long;
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K}", "reoffers", static_cast<ull>(c.reoffers),
                         "finish_lowered", static_cast<ull>(c.finish_lowered), "pulls", static_cast<ull>(o.pulls),
                         "pulled", static_cast<ull>(o.pulled), "inserts", static_cast<ull>(o.inserts),
                         "batch_prepends", static_cast<ull>(o.batch_prepends), "relaxations",
                         static_cast<ull>(o.relaxations), "base_cases", static_cast<ull>(o.base_cases),
                         "find_pivots", static_cast<ull>(o.find_pivots), "bounded_searches",
                         static_cast<ull>(o.bounded_searches));
}

// bmssp or one of its variants, with the same results as the module's own entries give, run
// in the recursion's counted form, with the run's exactness and operation counts beside them.
PyObject* bmssp_counted_entry(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"indptr", "indices", "weights", "source", "variant", "seed", "k", "t", nullptr};
    PyObject *o_indptr, *o_indices, *o_weights, *o_source;
    const char* name = "bmssp";
    PyObject *o_seed = nullptr, *o_k = nullptr, *o_t = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|sOOO:bmssp_counted", const_cast<char**>(keywords),
                                     &o_indptr, &o_indices, &o_weights, &o_source, &name, &o_seed, &o_k, &o_t))
        return nullptr;
    if (!ensure_numpy()) return nullptr;
    SourceGraph a;
    std::uint64_t seed = 0, k = 0, t = 0;
    if (!a.take(o_indptr, o_indices, o_weights, o_source) || !take_u64(o_seed, "seed", seed) ||
        !take_u64(o_k, "k", k) || !take_u64(o_t, "t", t) || !a.own())
        return nullptr;
    const std::string_view variant(name);
    std::optional<RunConfig> config = find_run(variant, k, t);
    if (!config) {
        raise_unknown_variant(variant);
        return nullptr;
    }
    config->counting = Counting::On;
    std::optional<BmsspRun> run = run_bmssp(a, seed, *config);
    if (!run) return nullptr;
    return tuple_of({hand_over(run->dist, NPY_FLOAT64), hand_over(run->pred, NPY_INT32),
                     counts_dict(run->counts, run->ops)});
}

// What a BMSSP run of `variant` (or the core, "bmssp") on this graph would run with, as
// the core decides it (run_parameters.hpp).
PyObject* parameters_entry(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"indptr", "indices", "weights", "variant", "k", "t", nullptr};
    PyObject *o_indptr, *o_indices, *o_weights, *o_k = nullptr, *o_t = nullptr;
    const char* name = "bmssp";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|sOO:parameters", const_cast<char**>(keywords), &o_indptr,
                                     &o_indices, &o_weights, &name, &o_k, &o_t))
        return nullptr;
    if (!ensure_numpy()) return nullptr;
    GraphArgs g;
    std::uint64_t n = 0, k = 0, t = 0;
    Csr csr;
    if (!g.take(o_indptr, o_indices, o_weights) || !take_u64(o_k, "k", k) || !take_u64(o_t, "t", t) ||
        !all_contiguous(g.indptr, g.indices, g.weights) || !checked_multi_graph(g, n) ||
        !to_owned_csr(g.indptr.view(), g.indices.view(), g.weights.view(), n, csr))
        return nullptr;
    const std::string_view variant(name);
    const std::optional<RunConfig> config = find_run(variant, k, t);
    if (!config) {
        raise_unknown_variant(variant);
        return nullptr;
    }
    std::optional<RunParameters> p;
    const Fault fault = run_released([&] { p = run_parameters(csr, *config); }, n + csr.nnz());
    if (raise_fault(fault)) return nullptr;
    if (!p->fits) {
        PyErr_SetString(PyExc_ValueError, GRAPH_TOO_LARGE);
        return nullptr;
    }
    using ull = unsigned long long;
    return Py_BuildValue("{s:K,s:K,s:K,s:d,s:K,s:K,s:K,s:i,s:K,s:O}", "transform_vertices",
                         static_cast<ull>(p->transform_vertices), "transform_arcs", static_cast<ull>(p->transform_arcs),
                         "searched_vertices", static_cast<ull>(p->searched_vertices), "base", p->base, "k",
                         static_cast<ull>(p->k), "t", static_cast<ull>(p->t), "levels", static_cast<ull>(p->levels),
                         "bounded_dijkstra_level", static_cast<int>(p->bounded_dijkstra_level),
                         "bounded_dijkstra_sources", static_cast<ull>(p->bounded_dijkstra_sources), "one_search",
                         p->one_search ? Py_True : Py_False);
}

// The arrays of one id dtype (int32 or int64) for `group_arcs`.
template <class Id>
PyObject* group_typed(std::uint64_t n, PyObject* o_tails, PyObject* o_heads, const ArrayArg<double>& weights,
                      std::int64_t base, int typenum, const char* dtype_name) {
    ArrayArg<Id> tails, heads;
    if (!take_array(o_tails, "tails", typenum, dtype_name, tails) ||
        !take_array(o_heads, "heads", typenum, dtype_name, heads) || !all_contiguous(tails, heads, weights))
        return nullptr;
    if (tails.size() != heads.size() || tails.size() != weights.size()) {
        PyErr_SetString(PyExc_ValueError, "tails, heads and weights must have the same length");
        return nullptr;
    }
    std::optional<std::variant<GroupedArcs, EndpointOutOfRange>> result;
    const Fault fault = run_released(
        [&] { result.emplace(group_by_tail<Id>(n, tails.view(), heads.view(), weights.view(), base)); },
        n + tails.size());
    if (raise_fault(fault)) return nullptr;
    if (const auto* bad = std::get_if<EndpointOutOfRange>(&*result)) {
        PyErr_Format(PyExc_ValueError, "arc %zu: endpoint %lld is outside [%lld, %lld)", bad->arc,
                     static_cast<long long>(bad->id), static_cast<long long>(base),
                     static_cast<long long>(base) + static_cast<long long>(n));
        return nullptr;
    }
    auto& g = std::get<GroupedArcs>(*result);
    return tuple_of({hand_over(g.indptr, NPY_INT64), hand_over(g.indices, NPY_INT32), hand_over(g.weights, NPY_FLOAT64)});
}

// CSR arrays of `n` vertices from parallel arc arrays, rows in the arcs' given order.
PyObject* group_arcs_entry(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"n", "tails", "heads", "weights", "base", nullptr};
    PyObject *o_n, *o_tails, *o_heads, *o_weights, *o_base = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:group_arcs", const_cast<char**>(keywords), &o_n, &o_tails,
                                     &o_heads, &o_weights, &o_base))
        return nullptr;
    if (!ensure_numpy()) return nullptr;
    std::uint64_t n = 0;
    std::int64_t base = 0;
    ArrayArg<double> weights;
    if (!take_u64(o_n, "n", n) || (o_base != nullptr && !take_i64(o_base, "base", base)) ||
        !take_array(o_weights, "weights", NPY_FLOAT64, "float64", weights))
        return nullptr;
    if (n > MAX_VERTICES || base < 0 || base > 1) {
        PyErr_SetString(PyExc_ValueError, "n must be at most 2**31 and base 0 or 1");
        return nullptr;
    }
    if (PyArray_Check(o_tails) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o_tails)) == NPY_INT32)
        return group_typed<std::int32_t>(n, o_tails, o_heads, weights, base, NPY_INT32, "int32");
    return group_typed<std::int64_t>(n, o_tails, o_heads, weights, base, NPY_INT64, "int64");
}

PyObject* py_search(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return search_entry(args, kwargs); });
}
PyObject* py_search_multisource(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return search_multisource_entry(args, kwargs); });
}
PyObject* py_bmssp_search(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return bmssp_search_entry(args, kwargs); });
}

PyObject* py_bmssp_counted(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return bmssp_counted_entry(args, kwargs); });
}
PyObject* py_parameters(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return parameters_entry(args, kwargs); });
}
PyObject* py_group_arcs(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return group_arcs_entry(args, kwargs); });
}

PyMethodDef functions[] = {
    {"search", QH_FN(py_search), METH_VARARGS | METH_KEYWORDS,
     "search(indptr, indices, weights, sources, limit=None, targets=None, directed=True, "
     "return_predecessors=True, return_sources=False)\n--\n\n"
     "One Dijkstra search from all `sources` together (the distance to the nearest).\n"
     "Returns `(distances: float64[n], predecessors: int32[n] or None,\n"
     "sources_of: int32[n] or None)`. Vertices farther than `limit` stay unreached;\n"
     "with `targets` the search stops once all of them are settled."},
    {"search_multisource", QH_FN(py_search_multisource), METH_VARARGS | METH_KEYWORDS,
     "search_multisource(indptr, indices, weights, sources, limit=None, targets=None, "
     "directed=True, return_predecessors=True)\n--\n\n"
     "One `search` per source, in parallel. Returns flat\n"
     "`(distances: float64[k*n], predecessors: int32[k*n] or None)`; row `i`\n"
     "is the search from `sources[i]` alone."},
    {"bmssp_search", QH_FN(py_bmssp_search), METH_VARARGS | METH_KEYWORDS,
     "bmssp_search(indptr, indices, weights, source, seed=0, limit=None)\n--\n\n"
     "`bmssp` whose outermost call is bounded by `limit`: vertices within it\n"
     "are completed, all others reported unreached (+inf, -1)."},
    {"bmssp_counted", QH_FN(py_bmssp_counted), METH_VARARGS | METH_KEYWORDS,
     "bmssp_counted(indptr, indices, weights, source, variant=\"bmssp\", seed=0, k=0, t=0)\n--\n\n"
     "`bmssp` (or `bmssp_variant` with `variant`, `k`, `t`) with the run's counts:\n"
     "returns `(distances, predecessors, counts)`, the same results, `counts` a dict of\n"
     "'reoffers' (relaxations that offered a vertex again because a rounded sum hid\n"
     "a shorter path to its predecessor), 'finish_lowered' (labels the closing\n"
     "edge check lowered; 0 means the recursion alone was exact), and the work done:\n"
     "'pulls' and 'pulled' (Pull calls, vertices they returned), 'inserts',\n"
     "'batch_prepends', 'relaxations' (edges relaxed), 'base_cases', 'find_pivots'\n"
     "and 'bounded_searches' (a whole-search run counts one, with no pulls)."},
    {"parameters", QH_FN(py_parameters), METH_VARARGS | METH_KEYWORDS,
     "parameters(indptr, indices, weights, variant=\"bmssp\", k=0, t=0)\n--\n\n"
     "What a `bmssp` run (or `bmssp_variant` with `variant`, `k`, `t`) on this graph\n"
     "runs with, as the native core decides it: a dict of 'transform_vertices' and\n"
     "'transform_arcs' (the constant-degree transform), 'searched_vertices' (the graph\n"
     "the recursion runs on), 'base' (log2 of that count, at least 1), 'k', 't',\n"
     "'levels', 'bounded_dijkstra_level' (-1: off), 'bounded_dijkstra_sources'\n"
     "(0: off) and 'one_search' (the whole run is one bounded Dijkstra search)."},
    {"group_arcs", QH_FN(py_group_arcs), METH_VARARGS | METH_KEYWORDS,
     "group_arcs(n, tails, heads, weights, base=0)\n--\n\n"
     "The CSR arrays `(indptr: int64[n+1], indices: int32[m], weights: float64[m])` of\n"
     "the arcs `tails[i] - base -> heads[i] - base`, grouped by tail, each row in the\n"
     "arcs' given order (a stable counting sort). `tails` and `heads` are both int32\n"
     "or both int64. Raises ValueError for an endpoint outside [base, base + n)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_search", "The native extension module `quillharbour._search`.", 0, functions,
    nullptr,           nullptr,   nullptr,                                              nullptr,
};

}  // namespace
}  // namespace qh

PyMODINIT_FUNC PyInit__search(void) {
    if (!qh::py::in_main_interpreter("quillharbour._search")) return nullptr;
    qh::py::Ref module(PyModule_Create(&qh::module_def));
    if (!module) return nullptr;
    // The variant names, in the order the unknown-name message lists them.
    qh::py::Ref names(PyTuple_New(static_cast<Py_ssize_t>(qh::VARIANTS.size())));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < qh::VARIANTS.size(); ++i) {
        const std::string_view name = qh::VARIANTS[i].name;
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text);
    }
    if (PyModule_AddObjectRef(module.get(), "VARIANTS", names.get()) < 0) return nullptr;
    return module.release();
}
