// native_bmssp.cpp: time and peak memory of one BMSSP run against a 4-ary-heap
// Dijkstra on the same transformed graph. Not a test.
//
// Build (from the worktree, after a Release configure in build-native):
//   MI=$(grep -o '[^ ]*include/mimalloc-[^ /]*' build-native/CMakeFiles/qh_core.dir/flags.make | head -1)
//   g++ -std=c++20 -O2 -ffp-contract=off -I src -I tests/native -isystem $MI bench/native_bmssp.cpp \
//       build-native/CMakeFiles/qh_core.dir/src/*.o build-native/libmimalloc-local.a -lpthread -latomic -o /tmp/native_bmssp
// Run: /tmp/native_bmssp {sparse|random8|grid|rmat} {input|dijkstra|bmssp} [seed] [n] [repeats]
//   n defaults to 1000000 (rmat: the next power of two); sparse has 3n edges, random8 and rmat 8n;
//   rmat starts from a vertex of largest out-degree, the others from vertex 0. bmssp mode runs
//   `repeats` times (default 1) and reports every CPU time and the smallest.
// Peak memory of a run = its maxrss minus the maxrss of mode "input" on the same graph.
#include <sys/resource.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "graph_fixtures.hpp"

using namespace qh;
using namespace qh::testing;

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

// 4-ary heap Dijkstra with lazy deletion on a Csr; returns the distance checksum.
double dijkstra4(const Csr& g, std::uint64_t source) {
    Vec<double> dist(g.n, std::numeric_limits<double>::infinity());
    struct Item {
        double d;
        std::uint32_t v;
    };
    Vec<Item> heap;
    auto less = [](const Item& a, const Item& b) { return a.d < b.d || (a.d == b.d && a.v < b.v); };
    auto push = [&](Item it) {
        std::size_t i = heap.size();
        heap.push_back(it);
        while (i > 0) {
            const std::size_t p = (i - 1) / 4;
            if (!less(heap[i], heap[p])) break;
            std::swap(heap[i], heap[p]);
            i = p;
        }
    };
    auto pop = [&] {
        const Item top = heap[0];
        heap[0] = heap.back();
        heap.pop_back();
        std::size_t i = 0;
        for (;;) {
            std::size_t best = i;
            for (std::size_t c = 4 * i + 1; c <= 4 * i + 4 && c < heap.size(); ++c) {
                if (less(heap[c], heap[best])) best = c;
            }
            if (best == i) break;
            std::swap(heap[i], heap[best]);
            i = best;
        }
        return top;
    };
    dist[source] = 0;
    push({0, static_cast<std::uint32_t>(source)});
    while (!heap.empty()) {
        const Item it = pop();
        if (it.d > dist[it.v]) continue;
        for (std::uint64_t e = g.indptr[it.v]; e < g.indptr[it.v + 1]; ++e) {
            const std::uint32_t w = g.indices[e];
            const double cd = it.d + g.weights[e];
            if (cd < dist[w]) {
                dist[w] = cd;
                push({cd, w});
            }
        }
    }
    double sum = 0;
    for (double d : dist) {
        if (d < std::numeric_limits<double>::infinity()) sum += d;
    }
    return sum;
}

// R-MAT graph with 2^scale vertices and 8 * 2^scale arcs, probabilities (0.57, 0.19, 0.19, 0.05),
// vertex ids scrambled by a random permutation, integer weights in [1, 100].
Csr rmat(unsigned scale, std::uint64_t seed) {
    TestRng rng{seed};
    const std::uint64_t n = std::uint64_t{1} << scale;
    std::vector<std::uint32_t> perm(n);
    for (std::uint64_t i = 0; i < n; ++i) perm[i] = static_cast<std::uint32_t>(i);
    for (std::uint64_t i = n; i-- > 1;) std::swap(perm[i], perm[rng.below(i + 1)]);
    std::vector<Arc> arcs;
    arcs.reserve(8 * n);
    for (std::uint64_t e = 0; e < 8 * n; ++e) {
        std::uint32_t tail = 0;
        std::uint32_t head = 0;
        for (unsigned bit = 0; bit < scale; ++bit) {
            const double r = static_cast<double>(rng.next() >> 11) * 0x1.0p-53;
            const bool right = (r >= 0.57 && r < 0.76) || r >= 0.95;
            const bool down = r >= 0.76;
            tail |= static_cast<std::uint32_t>(down) << bit;
            head |= static_cast<std::uint32_t>(right) << bit;
        }
        arcs.push_back({perm[tail], perm[head], static_cast<double>(1 + rng.below(100))});
    }
    return make_csr(n, arcs);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s {sparse|random8|grid|rmat} {input|dijkstra|bmssp} [seed] [n] [repeats]\n", argv[0]);
        return 2;
    }
    const std::string kind = argv[1];
    const std::string mode = argv[2];
    const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 0;
    const std::uint64_t n = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1000000;
    const auto side = static_cast<std::uint32_t>(std::sqrt(static_cast<double>(n)));
    const int repeats = argc > 5 ? std::atoi(argv[5]) : 1;
    unsigned scale = 0;
    while ((std::uint64_t{1} << scale) < n) ++scale;
    const Csr g = kind == "grid"      ? grid(side, side, 1, 100, 1)
                  : kind == "rmat"    ? rmat(scale, 3)
                  : kind == "random8" ? random_sparse(n, 8 * n, 100, 2)
                                      : random_sparse(n, 3 * n, 1000, 2);
    std::uint64_t source = 0;
    if (kind == "rmat") {
        for (std::uint64_t v = 1; v < g.n; ++v) {
            if (g.indptr[v + 1] - g.indptr[v] > g.indptr[source + 1] - g.indptr[source]) source = v;
        }
    }
    const long base_kib = maxrss_kib();
    const std::uint64_t np = transformed_vertex_count(g);
    std::printf("%s: n=%llu m=%llu n'=%llu\n", kind.c_str(), (unsigned long long)g.n, (unsigned long long)g.nnz(),
                (unsigned long long)np);
    if (mode == "dijkstra") {
        const double t0 = cpu_now();
        const Transformed tg = transform_to_constant_degree(g, source);
        const double t_transform = cpu_now() - t0;
        const double t1 = cpu_now();
        const double u1 = user_now();
        const double sum = dijkstra4(tg.graph, tg.source);
        std::printf("transform %.3f s, dijkstra on transformed %.3f s (CPU, user %.3f s) (checksum %.6g)\n", t_transform,
                    cpu_now() - t1, user_now() - u1, sum);
    } else if (mode == "bmssp") {
        double best = 0;
        for (int rep = 0; rep < std::max(repeats, 1); ++rep) {
            const double t0 = cpu_now();
            const double u0 = user_now();
            auto r = sssp_bmssp(g, source, seed);
            const double t = cpu_now() - t0;
            const double tu = user_now() - u0;
            const BmsspRun& run = std::get<BmsspRun>(r);
            std::printf("bmssp total %.3f s (CPU), digest %016llx, log %zu, user %.3f s\n", t,
                        (unsigned long long)run_digest(run), run.settle_log.size(), tu);
            if (rep == 0 || t < best) best = t;
        }
        std::printf("bmssp best %.3f s (CPU)\n", best);
    }
    const long peak = maxrss_kib();
    std::printf("maxrss %ld KiB (after input %ld KiB): %.1f bytes per transformed vertex above input\n", peak, base_kib,
                (peak - base_kib) * 1024.0 / static_cast<double>(np));
    return 0;
}
