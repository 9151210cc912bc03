// search_module.cpp: the extension module `quillharbour._search`.
//
// The extended Dijkstra searches of search.hpp (a distance limit, targets, the nearest of
// many sources, undirected arcs, distances without predecessors) and BMSSP bounded by a
// limit reach Python here, beside the fixed surface of `_quillharbour`, with the helpers the
// package builds on (counted runs, the run parameters, the grouping of arcs into rows, the
// multi-source entries' memory check), the networkx backend's pieces (a dict-of-dicts
// adjacency read into CSR, and the push-order searches of push_order.hpp), the catalogue's
// variant names and the package's PanicException. Each entry is described once (entry.hpp);
// the Dijkstra and push-order entries read the graph arrays in place, as `dijkstra` does, and
// the BMSSP entries copy them, as `bmssp` does.
#include "bindings/python.hpp"  // first: Python.h precedes the standard headers

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <variant>

#include "bindings/adjacency_reader.hpp"
#include "bindings/arguments.hpp"
#include "bindings/bmssp_road.hpp"
#include "bindings/csr_checks.hpp"
#include "bindings/entry.hpp"
#include "bindings/errors.hpp"
#include "bindings/messages.hpp"
#include "bindings/numpy.hpp"
#include "bindings/panic.hpp"
#include "bindings/released.hpp"
#include "core/catalogue.hpp"
#include "core/group.hpp"
#include "core/memory.hpp"
#include "core/parameters.hpp"
#include "core/push_order.hpp"
#include "core/search.hpp"

namespace qh::py {
namespace {

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
               take_rest(o_sources, o_limit, o_targets, directed, return_predecessors) && g.contiguous() &&
               contiguous_views() && checked_multi_graph(g, n);
    }

private:
    bool take_rest(PyObject* o_sources, PyObject* o_limit, PyObject* o_targets, int directed, int return_predecessors) {
        if (!take_array(o_sources, "sources", sources)) return false;
        if (!take_limit(o_limit, options.limit)) return false;
        if (o_targets != nullptr && o_targets != Py_None) {
            targets.emplace();
            if (!take_array(o_targets, "targets", *targets)) return false;
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

// A result array, or None when it was not asked for.
template <class T>
PyObject* hand_over_or_none(bool wanted, OwnedArray<T>& buffer) {
    return wanted ? hand_over(buffer) : Py_NewRef(Py_None);
}

struct Search {
    static constexpr const char* name = "search";
    static constexpr const char* doc =
        "search(indptr, indices, weights, sources, limit=None, targets=None, directed=True, "
        "return_predecessors=True, return_sources=False)\n--\n\n"
        "One Dijkstra search from all `sources` together (the distance to the nearest).\n"
        "Returns `(distances: float64[n], predecessors: int32[n] or None,\n"
        "sources_of: int32[n] or None)`. Vertices farther than `limit` stay unreached;\n"
        "with `targets` the search stops once all of them are settled.";
    static constexpr const char* format = "OOOO|OOppp:search";
    static constexpr const char* keywords[] = {"indptr",         "indices", "weights",  "sources",
                                               "limit",          "targets", "directed", "return_predecessors",
                                               "return_sources", nullptr};
    PyObject *indptr, *indices, *weights, *sources, *limit = nullptr, *targets = nullptr;
    int directed = 1, return_predecessors = 1, return_sources = 0;
    auto slots() {
        return std::tie(indptr, indices, weights, sources, limit, targets, directed, return_predecessors,
                        return_sources);
    }

    PyObject* call() {
        SearchArgs s;
        if (!s.take(indptr, indices, weights, sources, limit, targets, directed, return_predecessors)) return nullptr;
        const std::uint64_t n = s.n;
        const bool want_sources = return_sources != 0;
        auto dist = OwnedArray<double>::uninitialized(n);
        auto pred = OwnedArray<std::int32_t>::uninitialized(s.want_pred ? n : 0);
        auto source_of = OwnedArray<std::int32_t>::uninitialized(want_sources ? n : 0);
        std::optional<SearchError> error;
        const auto work = [&] {
            error = search_nearest(s.g.indptr.view(), s.g.indices.view(), s.g.weights.view(), s.sources.view(),
                                   s.options, {dist.data(), dist.size()}, {pred.data(), pred.size()},
                                   {source_of.data(), source_of.size()});
        };
        if (!released(work, n + s.g.indices.size())) return nullptr;
        if (error) return raise_error(*error, n, msg::DIJKSTRA_NEGATIVE_WEIGHT);
        return tuple_of(
            {hand_over(dist), hand_over_or_none(s.want_pred, pred), hand_over_or_none(want_sources, source_of)});
    }
};

struct SearchMultisource {
    static constexpr const char* name = "search_multisource";
    static constexpr const char* doc =
        "search_multisource(indptr, indices, weights, sources, limit=None, targets=None, "
        "directed=True, return_predecessors=True)\n--\n\n"
        "One `search` per source, in parallel. Returns flat\n"
        "`(distances: float64[k*n], predecessors: int32[k*n] or None)`; row `i`\n"
        "is the search from `sources[i]` alone.";
    static constexpr const char* format = "OOOO|OOpp:search_multisource";
    static constexpr const char* keywords[] = {
        "indptr", "indices", "weights", "sources", "limit", "targets", "directed", "return_predecessors", nullptr};
    PyObject *indptr, *indices, *weights, *sources, *limit = nullptr, *targets = nullptr;
    int directed = 1, return_predecessors = 1;
    auto slots() { return std::tie(indptr, indices, weights, sources, limit, targets, directed, return_predecessors); }

    PyObject* call() {
        SearchArgs s;
        if (!s.take(indptr, indices, weights, sources, limit, targets, directed, return_predecessors)) return nullptr;
        const std::uint64_t n = s.n;
        std::size_t cells = 0;
        std::uint64_t work = 0;
        const std::size_t cell_bytes = sizeof(double) + (s.want_pred ? sizeof(std::int32_t) : 0);
        if (!row_cells(s.sources.size(), n, s.g.indices.size(), cell_bytes, cells, work)) return nullptr;
        auto dist = OwnedArray<double>::uninitialized(cells);
        auto pred = OwnedArray<std::int32_t>::uninitialized(s.want_pred ? cells : 0);
        std::optional<SearchError> error;
        const auto run_rows = [&] {
            error = search_rows(nullptr, s.g.indptr.view(), s.g.indices.view(), s.g.weights.view(), s.sources.view(),
                                s.options, {dist.data(), dist.size()}, {pred.data(), pred.size()});
        };
        if (!released(run_rows, work)) return nullptr;
        if (error) return raise_error(*error, n, msg::MULTI_NEGATIVE_WEIGHT);
        return tuple_of({hand_over(dist), hand_over_or_none(s.want_pred, pred)});
    }
};

struct BmsspSearch {
    static constexpr const char* name = "bmssp_search";
    static constexpr const char* doc =
        "bmssp_search(indptr, indices, weights, source, seed=0, limit=None)\n--\n\n"
        "`bmssp` whose outermost call is bounded by `limit`: vertices within it\n"
        "are completed, all others reported unreached (+inf, -1).";
    static constexpr const char* format = "OOOO|OO:bmssp_search";
    static constexpr const char* keywords[] = {"indptr", "indices", "weights", "source", "seed", "limit", nullptr};
    PyObject *indptr, *indices, *weights, *source, *seed = nullptr, *limit = nullptr;
    auto slots() { return std::tie(indptr, indices, weights, source, seed, limit); }

    PyObject* call() {
        SourceGraph a;
        std::uint64_t s = 0;
        RunConfig config = CORE;
        if (!a.take(indptr, indices, weights, source) || !take_u64(seed, "seed", s) ||
            !take_limit(limit, config.limit) || !a.own())
            return nullptr;
        std::optional<BmsspRun> run = run_bmssp(a, s, config);
        return run ? paths_of(*run) : nullptr;
    }
};

PyObject* counts_dict(const ExactnessCounts& c, const OperationCounts& o) {
    using ull = unsigned long long;
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K}", "reoffers", static_cast<ull>(c.reoffers),
                         "finish_lowered", static_cast<ull>(c.finish_lowered), "pulls", static_cast<ull>(o.pulls),
                         "pulled", static_cast<ull>(o.pulled), "inserts", static_cast<ull>(o.inserts), "batch_prepends",
                         static_cast<ull>(o.batch_prepends), "relaxations", static_cast<ull>(o.relaxations),
                         "base_cases", static_cast<ull>(o.base_cases), "find_pivots", static_cast<ull>(o.find_pivots),
                         "bounded_searches", static_cast<ull>(o.bounded_searches));
}

// The arguments of the entries that run bmssp or one of its variants in another compiled form
// of the recursion (bmssp_counted, bmssp_trace), and that run.
struct VariantFormArgs {
    static constexpr const char* const* keywords = VARIANT_KEYWORDS;
    PyObject *indptr, *indices, *weights, *source;
    const char* variant = "bmssp";
    PyObject *seed = nullptr, *k = nullptr, *t = nullptr;
    auto slots() { return std::tie(indptr, indices, weights, source, variant, seed, k, t); }

    // The run of `variant` in the form `counting` selects, with or without its settlement log;
    // nullopt with an exception set when the arguments or the run are refused.
    std::optional<BmsspRun> run(Counting counting, SettleLog log) {
        SourceGraph a;
        std::uint64_t s = 0, forced_k = 0, forced_t = 0;
        if (!a.take(indptr, indices, weights, source) || !take_u64(seed, "seed", s) || !take_u64(k, "k", forced_k) ||
            !take_u64(t, "t", forced_t) || !a.own())
            return std::nullopt;
        std::optional<RunConfig> config = find_run(variant, forced_k, forced_t);
        if (!config) {
            raise_unknown_variant(variant);
            return std::nullopt;
        }
        config->counting = counting;
        config->log = log;
        return run_bmssp(a, s, *config);
    }
};

// bmssp or one of its variants, with the same results as the module's own entries give, run
// in the recursion's counted form, with the run's exactness and operation counts beside them.
struct BmsspCounted : VariantFormArgs {
    static constexpr const char* name = "bmssp_counted";
    static constexpr const char* doc =
        "bmssp_counted(indptr, indices, weights, source, variant=\"bmssp\", seed=0, k=0, t=0)\n--\n\n"
        "`bmssp` (or `bmssp_variant` with `variant`, `k`, `t`) with the run's counts:\n"
        "returns `(distances, predecessors, counts)`, the same results, `counts` a dict of\n"
        "'reoffers' (relaxations that offered a vertex again because a rounded sum hid\n"
        "a shorter path to its predecessor), 'finish_lowered' (labels the closing\n"
        "edge check lowered; 0 means the recursion alone was exact), and the work done:\n"
        "'pulls' and 'pulled' (Pull calls, vertices they returned), 'inserts',\n"
        "'batch_prepends', 'relaxations' (edges relaxed), 'base_cases', 'find_pivots'\n"
        "and 'bounded_searches' (a whole-search run counts one, with no pulls).";
    static constexpr const char* format = "OOOO|sOOO:bmssp_counted";

    PyObject* call() {
        std::optional<BmsspRun> run = VariantFormArgs::run(Counting::On, SettleLog::Skip);
        if (!run) return nullptr;
        return tuple_of({hand_over(run->dist), hand_over(run->pred), counts_dict(run->counts, run->ops)});
    }
};

// The columns of a traced run's calls: one value per call (core/recursion/call_trace.hpp).
struct TraceColumn {
    const char* name;
    std::int64_t (*value)(const CallRecord&);
};
constexpr TraceColumn TRACE_COLUMNS[] = {
    {"level", [](const CallRecord& r) { return static_cast<std::int64_t>(r.level); }},
    {"parent", [](const CallRecord& r) { return r.parent; }},
    {"kind", [](const CallRecord& r) { return static_cast<std::int64_t>(r.kind); }},
    {"bound_reached", [](const CallRecord& r) { return static_cast<std::int64_t>(r.bound_out == r.bound); }},
    {"sources", [](const CallRecord& r) { return static_cast<std::int64_t>(r.sources); }},
    {"pivots", [](const CallRecord& r) { return static_cast<std::int64_t>(r.pivots); }},
    {"near", [](const CallRecord& r) { return static_cast<std::int64_t>(r.near); }},
    {"u_loop", [](const CallRecord& r) { return static_cast<std::int64_t>(r.u_loop); }},
    {"u", [](const CallRecord& r) { return static_cast<std::int64_t>(r.u); }},
    {"pulls", [](const CallRecord& r) { return static_cast<std::int64_t>(r.pulls); }},
    {"pulled", [](const CallRecord& r) { return static_cast<std::int64_t>(r.pulled); }},
    {"largest_pull", [](const CallRecord& r) { return static_cast<std::int64_t>(r.largest_pull); }},
    {"inserts", [](const CallRecord& r) { return static_cast<std::int64_t>(r.inserts); }},
    {"batch_prepends", [](const CallRecord& r) { return static_cast<std::int64_t>(r.batch_prepends); }},
    {"relax_pivots", [](const CallRecord& r) { return static_cast<std::int64_t>(r.relax_pivots); }},
    {"relax_local", [](const CallRecord& r) { return static_cast<std::int64_t>(r.relax_local); }},
    {"relax_route", [](const CallRecord& r) { return static_cast<std::int64_t>(r.relax_route); }},
    {"settle_start", [](const CallRecord& r) { return static_cast<std::int64_t>(r.settle_start); }},
    {"settled", [](const CallRecord& r) { return static_cast<std::int64_t>(r.settled); }},
};

// A dict of the calls' columns: those of TRACE_COLUMNS (int64) and the bounds' distances.
PyObject* trace_columns(const Vec<CallRecord>& calls) {
    Ref columns(PyDict_New());
    if (!columns) return nullptr;
    const std::size_t n = calls.size();
    auto add = [&](const char* name, PyObject* array) {
        Ref owned(array);
        return owned && PyDict_SetItemString(columns.get(), name, owned.get()) == 0;
    };
    for (const TraceColumn& c : TRACE_COLUMNS) {
        auto values = OwnedArray<std::int64_t>::uninitialized(n);
        for (std::size_t i = 0; i < n; ++i) values[i] = c.value(calls[i]);
        if (!add(c.name, hand_over(values))) return nullptr;
    }
    auto bound = OwnedArray<double>::uninitialized(n);
    auto bound_out = OwnedArray<double>::uninitialized(n);
    for (std::size_t i = 0; i < n; ++i) {
        bound[i] = calls[i].bound.dist();
        bound_out[i] = calls[i].bound_out.dist();
    }
    if (!add("bound", hand_over(bound)) || !add("bound_out", hand_over(bound_out))) return nullptr;
    return columns.release();
}

// bmssp_counted with a record of every call of the recursion and the settlement log.
struct BmsspTrace : VariantFormArgs {
    static constexpr const char* name = "bmssp_trace";
    static constexpr const char* doc =
        "bmssp_trace(indptr, indices, weights, source, variant=\"bmssp\", seed=0, k=0, t=0)\n--\n\n"
        "`bmssp_counted` in the recursion's traced form: returns `(distances,\n"
        "predecessors, counts, calls, settled, settled_distances)`, the same results and\n"
        "counts, `calls` a dict of equal-length arrays with one entry per call in the order\n"
        "the calls began: 'level', 'parent' (the caller's entry, -1 for the outermost),\n"
        "'kind' (0 recursive, 1 base case, 2 bounded search), 'bound' and 'bound_out' (the\n"
        "distances of B and of the B' returned), 'bound_reached' (B' == B), 'sources',\n"
        "'pivots', 'near' (|W|), 'u_loop' (|U| when the pull loop ended), 'u' (|U|\n"
        "returned), 'pulls', 'pulled', 'largest_pull', 'inserts', 'batch_prepends',\n"
        "'relax_pivots', 'relax_local' (base case or bounded search), 'relax_route' (the\n"
        "re-scan of each child's U), and 'settle_start' and 'settled', the stretch of the\n"
        "settlement log (`settled`: searched-graph vertex ids, with their distances) the\n"
        "call made.";
    static constexpr const char* format = "OOOO|sOOO:bmssp_trace";

    PyObject* call() {
        std::optional<BmsspRun> run = VariantFormArgs::run(Counting::Trace, SettleLog::Keep);
        if (!run) return nullptr;
        const auto [ids, dhat] = settle_log_of(*run);
        return tuple_of({hand_over(run->dist), hand_over(run->pred), counts_dict(run->counts, run->ops),
                         trace_columns(run->calls), ids, dhat});
    }
};

// `name` among `names`, at `out` (its index); else false with ValueError(format, name).
template <std::size_t N>
bool take_choice(const char* name, const std::array<std::string_view, N>& names, const char* format, std::size_t& out) {
    for (std::size_t i = 0; i < N; ++i) {
        if (names[i] == name) {
            out = i;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, format, name);
    return false;
}

// The transform argument of bmssp_config: "all", "none", or a hub degree.
bool take_transform(PyObject* obj, RunConfig& config) {
    if (PyUnicode_Check(obj)) {
        const char* text = PyUnicode_AsUTF8(obj);
        if (text == nullptr) return false;
        const std::string_view name = text;
        if (name == "all" || name == "none") {
            config.transform = name == "all" ? Transform::All : Transform::None;
            return true;
        }
    } else if (PyIndex_Check(obj) && !PyBool_Check(obj)) {
        Ref value(PyNumber_Index(obj));
        const unsigned long long degree = value ? PyLong_AsUnsignedLongLong(value.get()) : 0;
        if (value && !PyErr_Occurred()) {
            config.transform = Transform::Hubs;
            config.hub_degree = degree;
            return true;
        }
        PyErr_Clear();  // negative, or beyond 64 bits
    }
    PyErr_Format(PyExc_ValueError, msg::TRANSFORM_KIND, obj);
    return false;
}

// One BMSSP run with every ingredient of its configuration (config.hpp) given directly.
struct BmsspConfig {
    static constexpr const char* name = "bmssp_config";
    static constexpr const char* doc =
        "bmssp_config(indptr, indices, weights, source, seed=0, *, queue=\"block\", transform=\"all\", "
        "hybrid_level=-1, hybrid_frontier=0, lazy_pivots=False, k=0, t=0, rule=\"standard\", "
        "counted=False)\n--\n\n"
        "One BMSSP run of any configuration of the recursion, the named variants'\n"
        "included. `queue`: 'block' (the block-based queue) or 'heap' (a binary heap).\n"
        "`transform`: 'all' (every vertex a ring of its in- plus out-degree copies),\n"
        "'none' (the input graph), or an integer D: only vertices whose in- or\n"
        "out-degree exceeds D become rings. Hybrid switch: a call at level <=\n"
        "`hybrid_level` (-1: off) or with at most `hybrid_frontier` sources (0: off) is one\n"
        "bounded Dijkstra search. `lazy_pivots`: FindPivots stops when a layer does not\n"
        "shrink the frontier. `k` and `t`: forced together, else chosen by `rule`\n"
        "('standard': from the searched vertex count; 'tuned', 'fast': those variants'\n"
        "rules). Returns `(distances, predecessors)`, Dijkstra's distances bit for bit;\n"
        "with `counted`, the recursion's counted form runs and `(distances,\n"
        "predecessors, counts)` returns, `counts` the dict of `bmssp_counted` and the\n"
        "run's 'searched_vertices', 'searched_arcs', 'k', 't' and 'levels'.";
    static constexpr const char* format = "OOOO|O$sOOOpOOsp:bmssp_config";
    static constexpr const char* keywords[] = {"indptr", "indices",   "weights",      "source",          "seed",
                                               "queue",  "transform", "hybrid_level", "hybrid_frontier", "lazy_pivots",
                                               "k",      "t",         "rule",         "counted",         nullptr};
    PyObject *indptr, *indices, *weights, *source, *seed = nullptr;
    const char* queue = "block";
    PyObject *transform = nullptr, *hybrid_level = nullptr, *hybrid_frontier = nullptr;
    int lazy_pivots = 0;
    PyObject *k = nullptr, *t = nullptr;
    const char* rule = "standard";
    int counted = 0;
    auto slots() {
        return std::tie(indptr, indices, weights, source, seed, queue, transform, hybrid_level, hybrid_frontier,
                        lazy_pivots, k, t, rule, counted);
    }

    PyObject* call() {
        SourceGraph a;
        std::uint64_t s = 0;
        RunConfig config;
        if (!a.take(indptr, indices, weights, source) || !take_u64(seed, "seed", s) || !ingredients(config) || !a.own())
            return nullptr;
        RunParameters p;
        if (counted) {
            config.counting = Counting::On;
            const auto work = [&] { p = run_parameters(a.csr, config); };
            if (!released(work, a.n + a.csr.nnz())) return nullptr;
        }
        std::optional<BmsspRun> run = run_bmssp(a, s, config);
        if (!run) return nullptr;
        if (!counted) return paths_of(*run);
        Ref counts(counts_dict(run->counts, run->ops));
        using ull = unsigned long long;
        Ref shape(Py_BuildValue("{s:K,s:K,s:K,s:K,s:K}", "searched_vertices", static_cast<ull>(p.searched_vertices),
                                "searched_arcs", static_cast<ull>(p.searched_arcs), "k", static_cast<ull>(p.k), "t",
                                static_cast<ull>(p.t), "levels", static_cast<ull>(p.levels)));
        if (!counts || !shape || PyDict_Update(counts.get(), shape.get()) < 0) return nullptr;
        return tuple_of({hand_over(run->dist), hand_over(run->pred), counts.release()});
    }

private:
    // Every ingredient but the graph, in keyword order.
    bool ingredients(RunConfig& config) {
        static constexpr std::array<std::string_view, 2> QUEUES = {"block", "heap"};
        static constexpr std::array<std::string_view, 3> RULES = {"standard", "tuned", "fast"};
        std::size_t queue_at = 0, rule_at = 0;
        std::int64_t level = -1;
        if (!take_choice(queue, QUEUES, msg::QUEUE_KIND, queue_at) ||
            (transform != nullptr && !take_transform(transform, config)) ||
            (hybrid_level != nullptr && !take_i64(hybrid_level, "hybrid_level", level)) ||
            !take_u64(hybrid_frontier, "hybrid_frontier", config.hybrid.max_frontier) || !take_u64(k, "k", config.k) ||
            !take_u64(t, "t", config.t) || !take_choice(rule, RULES, msg::RULE_KIND, rule_at))
            return false;
        if (level < std::numeric_limits<std::int32_t>::min() || level > std::numeric_limits<std::int32_t>::max()) {
            PyErr_SetString(PyExc_ValueError, msg::HYBRID_LEVEL_RANGE);
            return false;
        }
        if ((config.k == 0) != (config.t == 0)) {
            PyErr_SetString(PyExc_ValueError, msg::K_T_TOGETHER);
            return false;
        }
        config.queue = queue_at == 0 ? QueueKind::Block : QueueKind::FlatHeap;
        config.hybrid.max_level = static_cast<std::int32_t>(level);
        config.lazy_pivots = lazy_pivots != 0;
        config.rule = rule_at == 0 ? ParamRule::Standard : rule_at == 1 ? ParamRule::Tuned : ParamRule::Fast;
        return true;
    }
};

// What a BMSSP run of `variant` (or the core, "bmssp") on this graph would run with, as
// the core decides it (parameters.hpp).
struct Parameters {
    static constexpr const char* name = "parameters";
    static constexpr const char* doc =
        "parameters(indptr, indices, weights, variant=\"bmssp\", k=0, t=0)\n--\n\n"
        "What a `bmssp` run (or `bmssp_variant` with `variant`, `k`, `t`) on this graph\n"
        "runs with, as the native core decides it: a dict of 'transform_vertices' and\n"
        "'transform_arcs' (the constant-degree transform), 'searched_vertices' (the graph\n"
        "the recursion runs on), 'base' (log2 of that count, at least 1), 'k', 't',\n"
        "'levels', 'bounded_dijkstra_level' (-1: off), 'bounded_dijkstra_sources'\n"
        "(0: off) and 'one_search' (the whole run is one bounded Dijkstra search).";
    static constexpr const char* format = "OOO|sOO:parameters";
    static constexpr const char* keywords[] = {"indptr", "indices", "weights", "variant", "k", "t", nullptr};
    PyObject *indptr, *indices, *weights;
    const char* variant = "bmssp";
    PyObject *k = nullptr, *t = nullptr;
    auto slots() { return std::tie(indptr, indices, weights, variant, k, t); }

    PyObject* call() {
        GraphArgs g;
        std::uint64_t n = 0, forced_k = 0, forced_t = 0;
        Csr csr;
        if (!g.take(indptr, indices, weights) || !take_u64(k, "k", forced_k) || !take_u64(t, "t", forced_t) ||
            !g.contiguous() || !checked_multi_graph(g, n) ||
            !to_owned_csr(g.indptr.view(), g.indices.view(), g.weights.view(), n, csr))
            return nullptr;
        const std::optional<RunConfig> config = find_run(variant, forced_k, forced_t);
        if (!config) return raise_unknown_variant(variant);
        RunParameters p;
        const auto work = [&] { p = run_parameters(csr, *config); };
        if (!released(work, n + csr.nnz())) return nullptr;
        if (!p.fits) return raise_error(BmsspError::GraphTooLarge, 0, n);
        using ull = unsigned long long;
        return Py_BuildValue(
            "{s:K,s:K,s:K,s:d,s:K,s:K,s:K,s:i,s:K,s:O}", "transform_vertices", static_cast<ull>(p.transform_vertices),
            "transform_arcs", static_cast<ull>(p.transform_arcs), "searched_vertices",
            static_cast<ull>(p.searched_vertices), "base", p.base, "k", static_cast<ull>(p.k), "t",
            static_cast<ull>(p.t), "levels", static_cast<ull>(p.levels), "bounded_dijkstra_level",
            static_cast<int>(p.bounded_dijkstra_level), "bounded_dijkstra_sources",
            static_cast<ull>(p.bounded_dijkstra_sources), "one_search", p.one_search ? Py_True : Py_False);
    }
};

// The arrays of one id dtype (int32 or int64) for `group_arcs`.
template <class Id>
PyObject* group_typed(std::uint64_t n, PyObject* o_tails, PyObject* o_heads, const ArrayArg<double>& weights,
                      std::int64_t base) {
    ArrayArg<Id> tails, heads;
    if (!take_array(o_tails, "tails", tails) || !take_array(o_heads, "heads", heads) ||
        !all_contiguous(tails, heads, weights))
        return nullptr;
    if (tails.size() != heads.size() || tails.size() != weights.size()) {
        PyErr_SetString(PyExc_ValueError, msg::ARC_LENGTHS);
        return nullptr;
    }
    std::optional<std::variant<GroupedArcs, EndpointOutOfRange>> result;
    const auto work = [&] { result.emplace(group_by_tail<Id>(n, tails.view(), heads.view(), weights.view(), base)); };
    if (!released(work, n + tails.size())) return nullptr;
    if (const auto* bad = std::get_if<EndpointOutOfRange>(&*result)) return raise_error(*bad, base, n);
    auto& g = *std::get_if<GroupedArcs>(&*result);
    return tuple_of({hand_over(g.indptr), hand_over(g.indices), hand_over(g.weights)});
}

// CSR arrays of `n` vertices from parallel arc arrays, rows in the arcs' given order.
struct GroupArcs {
    static constexpr const char* name = "group_arcs";
    static constexpr const char* doc =
        "group_arcs(n, tails, heads, weights, base=0)\n--\n\n"
        "The CSR arrays `(indptr: int64[n+1], indices: int32[m], weights: float64[m])` of\n"
        "the arcs `tails[i] - base -> heads[i] - base`, grouped by tail, each row in the\n"
        "arcs' given order (a stable counting sort). `tails` and `heads` are both int32\n"
        "or both int64. Raises ValueError for an endpoint outside [base, base + n).";
    static constexpr const char* format = "OOOO|O:group_arcs";
    static constexpr const char* keywords[] = {"n", "tails", "heads", "weights", "base", nullptr};
    PyObject *n_arg, *tails, *heads, *weights, *base_arg = nullptr;
    auto slots() { return std::tie(n_arg, tails, heads, weights, base_arg); }

    PyObject* call() {
        std::uint64_t n = 0;
        std::int64_t base = 0;
        ArrayArg<double> w;
        if (!take_u64(n_arg, "n", n) || (base_arg != nullptr && !take_i64(base_arg, "base", base)) ||
            !take_array(weights, "weights", w))
            return nullptr;
        if (n > MAX_VERTICES || base < 0 || base > 1) {
            PyErr_SetString(PyExc_ValueError, msg::ARC_COUNT_OR_BASE);
            return nullptr;
        }
        if (PyArray_Check(tails) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(tails)) == NPY_INT32)
            return group_typed<std::int32_t>(n, tails, heads, w, base);
        return group_typed<std::int64_t>(n, tails, heads, w, base);
    }
};

// Raises MemoryError when a request is more than this process can ever be given: the test
// the multi-source entries make before any work, for the package's own runs.
struct CheckRoom {
    static constexpr const char* name = "check_room";
    static constexpr const char* doc =
        "check_room(nbytes, what)\n--\n\n"
        "Raises MemoryError \"Unable to allocate <nbytes> for <what>; ...\" when `nbytes`\n"
        "is more than this process can ever be given (this machine's memory and swap,\n"
        "or what RLIMIT_AS or RLIMIT_DATA leave), the multi-source entries' test.";
    static constexpr const char* format = "Os:check_room";
    static constexpr const char* keywords[] = {"nbytes", "what", nullptr};
    PyObject* nbytes;
    const char* what;
    auto slots() { return std::tie(nbytes, what); }

    PyObject* call() {
        std::uint64_t bytes = 0;
        if (!take_u64(nbytes, "nbytes", bytes) || !check_room(bytes, what)) return nullptr;
        Py_RETURN_NONE;
    }
};

// --- the networkx backend's entries ----------------------------------------------------------

struct ReadAdjacency {
    static constexpr const char* name = "read_adjacency";
    static constexpr const char* doc =
        "read_adjacency(adj, key, multigraph, index=None, nodes=None, weighted=True)\n--\n\n"
        "A networkx adjacency (dict of dicts) as CSR arrays `(indptr: int64[n+1],\n"
        "indices: int32[m], weights: float64[m] or None, kinds: int)`, rows and arcs in\n"
        "dict order; a multigraph's row holds one arc per neighbour, weighted by the first\n"
        "least weight of its edges. A weight is the attribute `key`, 1 where absent;\n"
        "`kinds` ORs the kind bits of the weights (1 int, 2 float, 4 other, 8 negative,\n"
        "16 NaN) and 32 when a neighbour's key is not its node's label object. `index` maps\n"
        "labels to ids and `nodes` (a list) ids to labels; None means the labels must be\n"
        "0 .. n-1 in order. Returns None when the dicts are not exact dicts or the labels\n"
        "are not so.";
    static constexpr const char* format = "OOp|OOp:read_adjacency";
    static constexpr const char* keywords[] = {"adj", "key", "multigraph", "index", "nodes", "weighted", nullptr};
    PyObject *adj, *key;
    int multigraph = 0;
    PyObject *index = Py_None, *nodes = Py_None;
    int weighted = 1;
    auto slots() { return std::tie(adj, key, multigraph, index, nodes, weighted); }

    PyObject* call() {
        AdjacencyRead read;
        if (!read.read(adj, index == Py_None ? nullptr : index, nodes, weighted ? key : nullptr, multigraph != 0)) {
            if (read.unsupported && !PyErr_Occurred()) Py_RETURN_NONE;
            return nullptr;
        }
        return tuple_of({hand_over(read.indptr), hand_over(read.indices),
                         hand_over_or_none(weighted != 0, read.weights), PyLong_FromLong(read.kinds)});
    }
};

// A graph for the push-order searches: converted, contiguous, of a shape that fits.
bool take_search_graph(PyObject* p, PyObject* i, PyObject* w, GraphArgs& g, std::uint64_t& n) {
    return g.take(p, i, w) && g.contiguous() && checked_multi_graph(g, n);
}

// `obj` as a vertex id below n, named `name`; `out_of_range` raises the IndexError otherwise.
bool take_vertex(PyObject* obj, const char* name, std::uint64_t n,
                 PyObject* (*out_of_range)(std::int64_t, std::uint64_t), std::uint32_t& out) {
    std::int64_t v = 0;
    if (!take_i64(obj, name, v)) return false;
    if (v < 0 || static_cast<std::uint64_t>(v) >= n) {
        out_of_range(v, n);
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

CsrView view_of(const GraphArgs& g, std::uint64_t n) {
    return CsrView{g.indptr.view().data(), g.indices.view().data(), g.weights.view().data(), n, g.indices.size()};
}

struct PushOrderSearch {
    static constexpr const char* name = "push_order_search";
    static constexpr const char* doc =
        "push_order_search(indptr, indices, weights, sources, cutoff=None, target=None)\n--\n\n"
        "Dijkstra from `sources` (int64, pushed in order at distance 0) that settles\n"
        "equally distant vertices in push order, dropping candidates above `cutoff` and\n"
        "stopping once `target` is settled. Returns `(order: int32[s], distances:\n"
        "float64[n], predecessors: int32[n])`: the settled vertices in settle order, and\n"
        "distances and predecessors (the tail of the last strict improvement, -1 at the\n"
        "sources) that are meaningful at settled vertices only.";
    static constexpr const char* format = "OOOO|OO:push_order_search";
    static constexpr const char* keywords[] = {"indptr", "indices", "weights", "sources", "cutoff", "target", nullptr};
    PyObject *indptr, *indices, *weights, *sources, *cutoff = Py_None, *target = Py_None;
    auto slots() { return std::tie(indptr, indices, weights, sources, cutoff, target); }

    PyObject* call() {
        GraphArgs g;
        std::uint64_t n = 0;
        ArrayArg<std::int64_t> given;
        if (!take_search_graph(indptr, indices, weights, g, n) || !take_array(sources, "sources", given) ||
            !all_contiguous(given))
            return nullptr;
        std::optional<double> limit;
        if (cutoff != Py_None) {
            const double c = PyFloat_AsDouble(cutoff);
            if (c == -1.0 && PyErr_Occurred()) {
                prefix_type_error("cutoff");
                return nullptr;
            }
            limit = c;
        }
        std::optional<std::uint32_t> stop_at;
        if (target != Py_None && !take_vertex(target, "target", n, raise_target_out_of_range, stop_at.emplace()))
            return nullptr;
        if (given.size() + g.indices.size() >= MAX_PUSHES) {
            PyErr_SetString(PyExc_ValueError, msg::TOO_MANY_PUSHES);
            return nullptr;
        }
        Vec<std::uint32_t> starts(given.size());
        for (std::size_t i = 0; i < starts.size(); ++i) {  // one read of each: the copy is what runs
            const std::int64_t s = given.view()[i];
            if (s < 0 || static_cast<std::uint64_t>(s) >= n) return raise_source_out_of_range(s, n);
            starts[i] = static_cast<std::uint32_t>(s);
        }
        auto dist = OwnedArray<double>::uninitialized(n);
        auto pred = OwnedArray<std::int32_t>::uninitialized(n);
        auto order = OwnedArray<std::int32_t>::uninitialized(n);
        std::size_t settled = 0;
        std::optional<DijkstraError> error;
        const auto work = [&] {
            error = check_dijkstra_input(g.indptr.view(), g.indices.view(), g.weights.view(), n);
            if (!error && !push_order_search(view_of(g, n), starts, limit, stop_at, {dist.data(), n}, {pred.data(), n},
                                             {order.data(), n}, settled))
                error = DijkstraError::MalformedCsr;
        };
        if (!released(work, n + g.indices.size())) return nullptr;
        if (error) return raise_error(*error);
        auto settled_order = OwnedArray<std::int32_t>::uninitialized(settled);
        if (settled != 0) std::memcpy(settled_order.data(), order.data(), settled * sizeof(std::int32_t));
        return tuple_of({hand_over(settled_order), hand_over(dist), hand_over(pred)});
    }
};

struct PushOrderBidirectional {
    static constexpr const char* name = "push_order_bidirectional";
    static constexpr const char* doc =
        "push_order_bidirectional(indptr, indices, weights, rindptr, rindices, rweights, source, target)\n--\n\n"
        "Bidirectional Dijkstra in push order between distinct `source` and `target`,\n"
        "forward over the graph and backward over the reverse one (row v: the arcs into\n"
        "v). Returns `(length, path: int32[k])`, or `(None, None)` without a path.";
    static constexpr const char* format = "OOOOOOOO:push_order_bidirectional";
    static constexpr const char* keywords[] = {"indptr",   "indices", "weights", "rindptr", "rindices",
                                               "rweights", "source",  "target",  nullptr};
    PyObject *indptr, *indices, *weights, *rindptr, *rindices, *rweights, *source, *target;
    auto slots() { return std::tie(indptr, indices, weights, rindptr, rindices, rweights, source, target); }

    PyObject* call() {
        GraphArgs g, r;
        std::uint64_t n = 0, rn = 0;
        std::uint32_t from = 0, to = 0;
        if (!take_search_graph(indptr, indices, weights, g, n) ||
            !take_search_graph(rindptr, rindices, rweights, r, rn))
            return nullptr;
        if (rn != n) {
            PyErr_SetString(PyExc_ValueError, msg::REVERSE_SIZE);
            return nullptr;
        }
        if (!take_vertex(source, "source", n, raise_source_out_of_range, from) ||
            !take_vertex(target, "target", n, raise_target_out_of_range, to))
            return nullptr;
        if (from == to) {
            PyErr_SetString(PyExc_ValueError, msg::SAME_ENDPOINTS);
            return nullptr;
        }
        if (g.indices.size() + r.indices.size() + 2 >= MAX_PUSHES) {
            PyErr_SetString(PyExc_ValueError, msg::TOO_MANY_PUSHES_BOTH_WAYS);
            return nullptr;
        }
        MeetingRun run;
        std::optional<DijkstraError> error;
        const auto work = [&] {
            error = check_dijkstra_input(g.indptr.view(), g.indices.view(), g.weights.view(), n);
            if (!error) error = check_dijkstra_input(r.indptr.view(), r.indices.view(), r.weights.view(), n);
            if (!error && !push_order_bidirectional(view_of(g, n), view_of(r, n), from, to, run))
                error = DijkstraError::MalformedCsr;
        };
        if (!released(work, 2 * (n + g.indices.size()))) return nullptr;
        if (error) return raise_error(*error);
        if (!run.found) return tuple_of({Py_NewRef(Py_None), Py_NewRef(Py_None)});
        auto path = OwnedArray<std::int32_t>::uninitialized(run.path.size());
        std::memcpy(path.data(), run.path.data(), run.path.size() * sizeof(std::int32_t));
        return tuple_of({PyFloat_FromDouble(run.length), hand_over(path)});
    }
};

PyMethodDef functions[] = {
    method<Search>(),
    method<SearchMultisource>(),
    method<BmsspSearch>(),
    // the recursion counted, traced and configured
    method<BmsspCounted>(),
    method<BmsspTrace>(),
    method<BmsspConfig>(),
    method<Parameters>(),
    method<GroupArcs>(),
    method<CheckRoom>(),
    method<ReadAdjacency>(),
    method<PushOrderSearch>(),
    method<PushOrderBidirectional>(),
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_search",
    "The native extension module `quillharbour._search`.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The catalogue's variant names, in the order the unknown-name message lists them.
PyObject* variant_names() {
    Ref names(PyTuple_New(static_cast<Py_ssize_t>(VARIANTS.size())));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < VARIANTS.size(); ++i) {
        const std::string_view name = VARIANTS[i].name;
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text);
    }
    return names.release();
}

}  // namespace
}  // namespace qh::py

PyMODINIT_FUNC PyInit__search(void) {
    using namespace qh::py;
    if (!in_main_interpreter("quillharbour._search")) return nullptr;
    qh::reset_purged_pages();
    Ref module(new_module(module_def, functions, false));
    if (!module) return nullptr;
    Ref names(variant_names());
    if (!names || PyModule_AddObjectRef(module.get(), "VARIANTS", names.get()) < 0) return nullptr;
    // The package's one PanicException, which both modules raise.
    PyObject* panic = panic_exception_type();  // borrowed
    if (panic == nullptr || PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) return nullptr;
    return module.release();
}
