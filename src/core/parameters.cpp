// parameters.cpp: every rule that chooses k, t and the level count, and the parameter report.
#include "core/parameters.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "core/memory.hpp"
#include "core/transform.hpp"

namespace qh {

namespace {

constexpr std::uint64_t TWO_POW_31 = std::uint64_t{1} << 31;
constexpr std::uint64_t TWO_POW_32 = std::uint64_t{1} << 32;
// Searched graphs of an I32 run have fewer vertices than this (ids and hops fit i32).
constexpr std::uint64_t I32_SEARCHED_LIMIT = 2147483647u;

// (k, t) of "tuned" without the caller's: from the larger of n and 2m, (8, 12) on large graphs.
std::pair<std::uint64_t, std::uint64_t> tuned_k_t(std::uint64_t n, std::uint64_t m) noexcept {
    const std::uint64_t twice_m = sat_mul(m, 2);
    const double base = log_base(std::max(n, twice_m));
    if (base < 14.0) return default_k_t(base);
    return {8, 12};
}

// (k, t) of "fast" without the caller's: from n, (1, 12) on large graphs.
std::pair<std::uint64_t, std::uint64_t> fast_k_t(std::uint64_t n) noexcept {
    const double base = log_base(n);
    if (base < 13.0) return default_k_t(base);
    return {1, 12};
}

}  // namespace

double log_base(std::uint64_t n) noexcept {
    return std::max(std::log2(static_cast<double>(std::max<std::uint64_t>(n, 2))), 1.0);
}

std::pair<std::uint64_t, std::uint64_t> default_k_t(double base) noexcept {
    const auto k = static_cast<std::int64_t>(std::floor(std::pow(base, 0.3333333333333333)));
    const auto t = static_cast<std::int64_t>(std::floor(std::pow(base, 0.6666666666666666)));
    return {static_cast<std::uint64_t>(std::max<std::int64_t>(1, k)),
            static_cast<std::uint64_t>(std::max<std::int64_t>(1, t))};
}

RunParams run_params(const RunConfig& config, std::uint64_t n, std::uint64_t m, std::uint64_t searched) noexcept {
    const double base = log_base(searched);
    RunParams p{};
    if (config.k != 0 && config.t != 0) {
        std::tie(p.k, p.t) = std::pair{config.k, config.t};
    } else {
        switch (config.rule) {
            case ParamRule::Standard:
                std::tie(p.k, p.t) = default_k_t(base);
                break;
            case ParamRule::Tuned:
                std::tie(p.k, p.t) = tuned_k_t(n, m);
                break;
            case ParamRule::Fast:
                std::tie(p.k, p.t) = fast_k_t(n);
                break;
        }
    }
    // A forced t of 0 cannot reach here through the catalogue; treat it as 1 level.
    const double levels = p.t == 0 ? 1.0 : std::ceil(base / static_cast<double>(p.t));
    p.levels = static_cast<std::uint64_t>(std::max<std::int64_t>(1, static_cast<std::int64_t>(levels)));
    return p;
}

bool searched_graph_fits(const Csr& csr, const RunConfig& config) {
    const std::uint64_t n = csr.n;
    const bool u32 = config.ids == IdRange::U32;
    const std::uint64_t limit = u32 ? TWO_POW_32 : I32_SEARCHED_LIMIT;  // searched vertices stay below it
    if (u32 && n > TWO_POW_31) return false;                            // input ids leave as int32 predecessors
    if (config.transform == Transform::None) return n < limit;
    if (2 * csr.nnz() + n < limit) return true;  // either form has at most 2m + n vertices
    if (config.transform == Transform::Hubs) return hub_ring_size(csr, config.hub_degree).vertices < limit;
    return transformed_vertex_count(csr) < limit;
}

RunParameters run_parameters(const Csr& csr, const RunConfig& config) {
    RunParameters out;
    out.transform_vertices = transformed_vertex_count(csr);
    out.fits = searched_graph_fits(csr, config);
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
    switch (config.transform) {
        case Transform::All:
            out.searched_vertices = out.transform_vertices;
            out.searched_arcs = out.transform_arcs;
            break;
        case Transform::None:
            out.searched_vertices = csr.n;
            out.searched_arcs = csr.nnz();
            break;
        case Transform::Hubs: {
            const HubRingSize size = hub_ring_size(csr, config.hub_degree);
            out.searched_vertices = size.vertices;
            out.searched_arcs = size.arcs;
            break;
        }
    }
    const RunParams p = run_params(config, csr.n, csr.nnz(), out.searched_vertices);
    out.k = p.k;
    out.t = p.t;
    out.levels = p.levels;
    out.bounded_dijkstra_level = config.hybrid.max_level;
    out.bounded_dijkstra_sources = config.hybrid.max_frontier;
    out.one_search = config.hybrid.takes(p.levels, 1);
    out.base = log_base(out.searched_vertices);
    return out;
}

}  // namespace qh
