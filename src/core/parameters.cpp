// run_parameters.cpp: the parameter table, from the functions the runs call.
#include "core/parameters.hpp"

#include "core/run.hpp"
#include "core/catalogue.hpp"
#include "core/transform.hpp"

namespace qh {

std::optional<RunParameters> run_parameters(const Csr& csr, std::string_view variant, std::uint64_t k,
                                            std::uint64_t t) {
    RunParameters out;
    std::optional<ResolvedVariant> resolved;
    if (variant != "bmssp") {
        resolved = resolve_variant(variant, k, t, csr.n, csr.nnz());
        if (!resolved) return std::nullopt;
    }
    out.transform_vertices = transformed_vertex_count(csr);
    out.fits = fits_bmssp_ids(csr.n, out.transform_vertices);
    if (!out.fits) return out;
    if (csr.n > 0) {
        // The rows the runs build: one arc per input edge, plus one ring arc per row that has one.
        struct RingRow {
            std::uint32_t ring, to;
            double weight;
        };
        CopyMaps maps;
        const Vec<RingRow> rows = constant_degree_rows(csr, 0, maps, RingRow{NO_VERTEX, NO_VERTEX, 0.0});
        out.transform_arcs = csr.nnz();
        for (const RingRow& r : rows) out.transform_arcs += r.ring != NO_VERTEX;
    }
    if (!resolved) {
        // sssp_bmssp: the transform, with bmssp_parameters of its vertex count.
        const BmsspParams p = bmssp_parameters(out.transform_vertices);
        out.searched_vertices = out.transform_vertices;
        out.k = p.k;
        out.t = p.t;
        out.levels = p.levels;
    } else {
        const VariantConfig& config = resolved->config;
        out.searched_vertices = config.transform ? out.transform_vertices : csr.n;
        const BmsspParams p = configured_parameters(out.searched_vertices, config);
        out.k = p.k;
        out.t = p.t;
        out.levels = p.levels;
        out.bounded_dijkstra_level = config.dijkstra_max_level;
        out.bounded_dijkstra_sources = config.dijkstra_max_frontier;
        out.one_search = configured_whole_search(p, config);
    }
    out.base = log_base(out.searched_vertices);
    return out;
}

}  // namespace qh
