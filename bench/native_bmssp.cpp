// native_bmssp.cpp: time and peak memory of one BMSSP run, the share of it spent
// building the transformed graph, and the module's Dijkstra on that transformed
// graph. Not a test, and built from the core alone (no test code).
//
// Build (the native test configuration builds it too):
//   cmake -S . -B build-native -DCMAKE_BUILD_TYPE=Release -DQH_BUILD_NATIVE_TESTS=ON -DQH_BUILD_EXTENSION=OFF
//   cmake --build build-native --target qh_native_bmssp
// Run: build-native/qh_native_bmssp file:PREFIX:SOURCE {input|dijkstra|bmssp|share} [seed] [repeats]
//   The graph is the native-endian arrays PREFIX.indptr (int64), PREFIX.indices (int32) and
//   PREFIX.weights (float64), run from SOURCE: write them from any graph of the package's
//   generators with NumPy's tofile, as bench/bench_bmssp.py does. bmssp mode runs `repeats`
//   times (default 1) and reports every CPU time and the smallest.
//   share mode times, `repeats` times in turn (default 3), the run's transform alone and a
//   whole run as `bmssp` makes it (no settlement log), and ends with the line
//   "transform share F" (F the ratio of the two medians).
// Peak memory of a run = its maxrss minus the maxrss of mode "input" on the same graph.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/catalogue.hpp"
#include "core/dijkstra.hpp"
#include "core/run.hpp"
#include "core/transform.hpp"

using namespace qh;

namespace {

long maxrss_kib() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// CPU seconds of this process: less disturbed than wall time on a shared machine.
double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// User-mode CPU seconds of this process: leaves out the kernel's page zeroing, which
// varies from run to run.
double user_now() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec) + 1e-6 * static_cast<double>(ru.ru_utime.tv_usec);
}

// The sum of the finite distances: a checksum to compare runs by.
double checksum(std::span<const double> dist) {
    double sum = 0;
    for (double d : dist) {
        if (d < std::numeric_limits<double>::infinity()) sum += d;
    }
    return sum;
}

// The module's Dijkstra on a Csr (its int64/int32 arrays are built here, outside the
// timing); returns the CPU seconds of the run and the distance checksum.
std::pair<double, double> package_dijkstra(const Csr& g, std::uint64_t source) {
    Vec<std::int64_t> indptr(g.indptr.begin(), g.indptr.end());
    Vec<std::int32_t> indices(g.indices.begin(), g.indices.end());
    Vec<double> dist(g.n);
    Vec<std::int32_t> pred(g.n);
    Heap heap;
    const double t0 = cpu_now();
    if (dijkstra(indptr, indices, g.weights, source, dist, pred, heap)) {
        std::fprintf(stderr, "dijkstra refused the graph\n");
        std::exit(1);
    }
    const double t = cpu_now() - t0;
    return {t, checksum(dist)};
}

// The whole of a native-endian array file, as `count` values of T; exits when the size is wrong.
template <class T>
Vec<T> read_array(const std::string& path, std::uint64_t count) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in || static_cast<std::uint64_t>(in.tellg()) != count * sizeof(T)) {
        std::fprintf(stderr, "%s: missing or not %llu values\n", path.c_str(), (unsigned long long)count);
        std::exit(2);
    }
    Vec<T> values(count);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(count * sizeof(T)));
    return values;
}

// The graph of file:PREFIX:SOURCE, checked as the module checks its input; sets `source`.
Csr read_graph(const std::string& spec, std::uint64_t& source) {
    const std::size_t colon = spec.rfind(':');
    const std::string prefix = spec.substr(5, colon - 5);
    source = std::strtoull(spec.c_str() + colon + 1, nullptr, 10);
    std::ifstream probe(prefix + ".indptr", std::ios::binary | std::ios::ate);
    const auto indptr_bytes = probe ? static_cast<std::uint64_t>(probe.tellg()) : 0;
    if (indptr_bytes < sizeof(std::int64_t) || indptr_bytes % sizeof(std::int64_t) != 0) {
        std::fprintf(stderr, "%s.indptr: missing or not an int64 array\n", prefix.c_str());
        std::exit(2);
    }
    const std::uint64_t n = indptr_bytes / sizeof(std::int64_t) - 1;
    const Vec<std::int64_t> indptr = read_array<std::int64_t>(prefix + ".indptr", n + 1);
    const auto nnz = static_cast<std::uint64_t>(indptr[n]);
    const Vec<std::int32_t> indices = read_array<std::int32_t>(prefix + ".indices", nnz);
    Csr g;
    g.n = n;
    g.weights = read_array<double>(prefix + ".weights", nnz);
    g.indptr.assign(indptr.begin(), indptr.end());
    g.indices.assign(indices.begin(), indices.end());
    bool ok = indptr[0] == 0 && source < n;
    for (std::uint64_t v = 0; ok && v < n; ++v) ok = indptr[v] <= indptr[v + 1];
    for (std::uint64_t e = 0; ok && e < nnz; ++e) ok = indices[e] >= 0 && static_cast<std::uint64_t>(indices[e]) < n;
    if (!ok) {
        std::fprintf(stderr, "%s: not a CSR graph with source %llu\n", prefix.c_str(), (unsigned long long)source);
        std::exit(2);
    }
    return g;
}

// The constant-degree form a run searches, as a Csr (ring edge first in every row), and its source.
Csr constant_degree_csr(const Csr& g, std::uint64_t source, std::uint64_t& transformed_source) {
    struct Row {
        std::uint32_t ring, to;
        double weight;
    };
    CopyMaps maps;
    const Vec<Row> rows = constant_degree_rows(g, source, maps, Row{NO_VERTEX, NO_VERTEX, 0.0});
    transformed_source = maps.source;
    Csr out;
    out.n = rows.size();
    out.indptr.push_back(0);
    for (const Row& r : rows) {
        if (r.ring != NO_VERTEX) {
            out.indices.push_back(r.ring);
            out.weights.push_back(0.0);
        }
        if (r.to != NO_VERTEX) {
            out.indices.push_back(r.to);
            out.weights.push_back(r.weight);
        }
        out.indptr.push_back(out.indices.size());
    }
    return out;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string kind = argc > 1 ? argv[1] : "";
    if (argc < 3 || kind.rfind("file:", 0) != 0 || kind.find(':', 5) == std::string::npos) {
        std::fprintf(stderr, "usage: %s file:PREFIX:SOURCE {input|dijkstra|bmssp|share} [seed] [repeats]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[2];
    const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 0;
    const int repeats = argc > 4 ? std::atoi(argv[4]) : (mode == "share" ? 3 : 1);
    std::uint64_t source = 0;
    const Csr g = read_graph(kind, source);
    const long base_kib = maxrss_kib();
    const std::uint64_t np = transformed_vertex_count(g);
    std::printf("%s: n=%llu m=%llu n'=%llu\n", kind.c_str(), (unsigned long long)g.n, (unsigned long long)g.nnz(),
                (unsigned long long)np);
    if (mode == "dijkstra") {
        const double t0 = cpu_now();
        std::uint64_t transformed_source = 0;
        const Csr tg = constant_degree_csr(g, source, transformed_source);
        const double t_transform = cpu_now() - t0;
        const auto [t_dijkstra, sum] = package_dijkstra(tg, transformed_source);
        std::printf("transform %.3f s, dijkstra on transformed %.3f s (CPU) (checksum %.6g)\n", t_transform, t_dijkstra,
                    sum);
    } else if (mode == "bmssp") {
        // The run's own transform: the linear passes that build its rows and maps.
        const double tc = cpu_now();
        CopyMaps maps;
        const Vec<VertexNode> rows = constant_degree_rows(g, source, maps, VertexNode{});
        const double t_transform = cpu_now() - tc;
        std::printf("run's transform (rows and maps) %.3f s, n'=%llu\n", t_transform, (unsigned long long)rows.size());
        double best = 0;
        for (int rep = 0; rep < std::max(repeats, 1); ++rep) {
            const double t0 = cpu_now();
            const double u0 = user_now();
            RunConfig logged = CORE;
            logged.log = SettleLog::Keep;
            auto r = run(g, source, seed, logged);
            const double t = cpu_now() - t0;
            const double tu = user_now() - u0;
            const BmsspRun& result = std::get<BmsspRun>(r);
            std::printf("bmssp total %.3f s (CPU), checksum %.6g, log %zu, user %.3f s\n", t, checksum(result.dist),
                        result.settle_log.size(), tu);
            if (rep == 0 || t < best) best = t;
        }
        std::printf("bmssp best %.3f s (CPU); the transform is %.1f%% of it\n", best, 100.0 * t_transform / best);
    } else if (mode == "share") {
        std::vector<double> transform_times;
        std::vector<double> run_times;
        for (int rep = 0; rep < std::max(repeats, 1); ++rep) {
            double t0 = cpu_now();
            {
                CopyMaps maps;
                const Vec<VertexNode> rows = constant_degree_rows(g, source, maps, VertexNode{});
                transform_times.push_back(cpu_now() - t0);
            }
            t0 = cpu_now();
            const auto r = run(g, source, seed, CORE);
            run_times.push_back(cpu_now() - t0);
            if (!std::holds_alternative<BmsspRun>(r)) {
                std::fprintf(stderr, "bmssp refused the graph\n");
                return 1;
            }
        }
        const double tt = median(transform_times);
        const double tr = median(run_times);
        std::printf("transform %.3f s, bmssp %.3f s (CPU, medians of %zu)\n", tt, tr, run_times.size());
        std::printf("transform share %.6f\n", tt / tr);
    } else if (mode != "input") {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    const long peak = maxrss_kib();
    std::printf("maxrss %ld KiB (after input %ld KiB): %.1f bytes per transformed vertex above input\n", peak, base_kib,
                (peak - base_kib) * 1024.0 / static_cast<double>(np));
    return 0;
}
