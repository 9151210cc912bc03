// bmssp_road.cpp: the single-source BMSSP entries' road.
#include "bindings/bmssp_road.hpp"

#include <utility>
#include <variant>

#include "bindings/csr_checks.hpp"
#include "bindings/errors.hpp"
#include "bindings/numpy.hpp"
#include "bindings/released.hpp"

namespace qh::py {

bool SourceGraph::take(PyObject* indptr, PyObject* indices, PyObject* weights, PyObject* o_source) {
    return g.take(indptr, indices, weights) && take_i64(o_source, "source", source);
}

bool SourceGraph::own() { return g.contiguous() && checked_owned_csr(g, source, n, csr); }

std::optional<BmsspRun> run_bmssp(SourceGraph& a, std::uint64_t seed, const RunConfig& config) {
    std::variant<BmsspRun, BmsspError> outcome = BmsspError::SourceOutOfRange;
    const auto work = [&] { outcome = run(a.csr, static_cast<std::uint64_t>(a.source), seed, config); };
    if (!released(work, a.n + a.csr.nnz())) return std::nullopt;
    a.csr = Csr{};
    if (const BmsspError* error = std::get_if<BmsspError>(&outcome)) {
        raise_error(*error, a.source, a.n);
        return std::nullopt;
    }
    return std::move(*std::get_if<BmsspRun>(&outcome));  // get_if: std::get would pull in bad_variant_access
}

PyObject* paths_of(BmsspRun& run) { return tuple_of({hand_over(run.dist), hand_over(run.pred)}); }

std::pair<PyObject*, PyObject*> settle_log_of(const BmsspRun& run) {
    const std::size_t m = run.settle_log.size();
    auto ids = OwnedArray<std::int64_t>::uninitialized(m);
    auto dhat = OwnedArray<double>::uninitialized(m);
    for (std::size_t j = 0; j < m; ++j) {
        ids[j] = static_cast<std::int64_t>(run.settle_log[j].vertex);
        dhat[j] = run.settle_log[j].dhat;
    }
    PyObject* ids_array = hand_over(ids);
    return {ids_array, hand_over(dhat)};
}

}  // namespace qh::py
