// group.cpp: the stable counting sort of arcs by tail.
#include "core/group.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "core/cancel.hpp"
#include "core/pool.hpp"

namespace qh {
namespace {

// Arcs handled between two looks at the cancel flag.
constexpr std::size_t SLICE = std::size_t{1} << 20;
// From this many arcs on, the arcs go to their rows in two cache-sized steps.
constexpr std::size_t BUCKETED_FROM = std::size_t{1} << 17;
// Arcs of one bucket, on average: their rows' output fits in the second-level cache.
constexpr std::size_t BUCKET_ARCS = std::size_t{1} << 14;
constexpr std::size_t MAX_BUCKETS = std::size_t{1} << 11;

// Each arc straight to its place, `out.indptr` holding the row starts. Walking backwards
// from each row's end keeps the rows stable and leaves slot v + 1 holding the start of
// row v, shifted down afterwards. Grouped arcs stay where they are.
template <class Id>
std::optional<EndpointOutOfRange> scatter(GroupedArcs& out, std::span<const std::uint32_t> rows,
                                          std::span<const Id> heads, std::span<const double> weights, std::uint64_t n,
                                          std::int64_t base, bool grouped) {
    const std::size_t m = heads.size();
    std::int64_t* const ptr = out.indptr.data();
    std::int32_t* const indices = out.indices.data();
    double* const w = out.weights.data();
    std::optional<EndpointOutOfRange> bad;  // the walk goes backwards: the last one seen is the first
    for (std::size_t stop = m; stop > 0;) {
        cancel_check();
        const std::size_t from = stop > SLICE ? stop - SLICE : 0;
        for (std::size_t i = stop; i-- > from;) {
            const std::int64_t head = static_cast<std::int64_t>(heads[i]) - base;
            if (static_cast<std::uint64_t>(head) >= n) [[unlikely]] {
                bad = EndpointOutOfRange{i, head + base};
                continue;
            }
            const std::int64_t slot = grouped ? static_cast<std::int64_t>(i) : --ptr[rows[i] + 1];
            indices[slot] = static_cast<std::int32_t>(head);
            w[slot] = weights[i];
        }
        stop = from;
    }
    if (bad) return bad;
    if (!grouped) {
        std::memmove(ptr, ptr + 1, n * sizeof(std::int64_t));
        ptr[n] = static_cast<std::int64_t>(m);
    }
    return std::nullopt;
}

struct Staged {
    std::uint32_t row;
    std::int32_t head;
    double weight;
};

// The same places in two passes that each write to few places at once: first every arc
// to its bucket of consecutive rows (in a staging buffer laid out as the output), then
// each bucket's arcs to their rows within the bucket's stretch of the output. A single
// scatter over a large graph misses the cache on nearly every arc. The first pass runs on
// the pool in consecutive parts of the arcs, each with its own cursors (from counts per
// part and bucket), the second over the buckets: the places do not depend on how the work
// is shared out.
template <class Id>
std::optional<EndpointOutOfRange> scatter_by_buckets(GroupedArcs& out, std::span<const std::uint32_t> rows,
                                                     std::span<const Id> heads, std::span<const double> weights,
                                                     std::uint64_t n, std::int64_t base) {
    const std::size_t m = rows.size();
    const std::int64_t* const ptr = out.indptr.data();
    const std::size_t wanted = std::clamp<std::size_t>(m / BUCKET_ARCS, 1, MAX_BUCKETS);
    unsigned shift = 0;
    while ((n >> shift) >= wanted) ++shift;
    const std::size_t buckets = static_cast<std::size_t>(((n - 1) >> shift) + 1);
    Pool& pool = global_pool();
    const std::size_t parts = std::min(pool.threads(), m / BUCKET_ARCS + 1);
    auto part_start = [&](std::size_t p) { return m / parts * p + std::min(p, m % parts); };
    // cursor[p * buckets + b]: where part p puts its next arc of bucket b.
    Vec<std::int64_t> cursor(parts * buckets, 0);
    try_for_each<EndpointOutOfRange>(pool, parts, [&](std::size_t p) -> std::optional<EndpointOutOfRange> {
        std::int64_t* const count = cursor.data() + p * buckets;
        for (std::size_t i = part_start(p); i < part_start(p + 1); ++i) ++count[rows[i] >> shift];
        return std::nullopt;
    });
    for (std::size_t b = 0; b < buckets; ++b) {
        std::int64_t at = ptr[b << shift];
        for (std::size_t p = 0; p < parts; ++p) at += std::exchange(cursor[p * buckets + b], at);
    }
    // Every part runs to its end or its first bad head, so the error reported is that of the
    // first bad arc whatever the number of parts.
    auto staged = OwnedArray<Staged>::uninitialized(m);
    Vec<std::optional<EndpointOutOfRange>> bad(parts);
    try_for_each<EndpointOutOfRange>(pool, parts, [&](std::size_t p) -> std::optional<EndpointOutOfRange> {
        std::int64_t* const next = cursor.data() + p * buckets;
        const std::size_t stop = part_start(p + 1);
        for (std::size_t at = part_start(p); at < stop; at += SLICE) {
            cancel_check();
            const std::size_t end = std::min(stop, at + SLICE);
            for (std::size_t i = at; i < end; ++i) {
                const std::int64_t head = static_cast<std::int64_t>(heads[i]) - base;
                if (static_cast<std::uint64_t>(head) >= n) {
                    bad[p] = EndpointOutOfRange{i, head + base};
                    return std::nullopt;
                }
                const std::uint32_t row = rows[i];
                staged[static_cast<std::size_t>(next[row >> shift]++)] = {row, static_cast<std::int32_t>(head),
                                                                          weights[i]};
            }
        }
        return std::nullopt;
    });
    for (const auto& first : bad)
        if (first) return first;
    std::int32_t* const indices = out.indices.data();
    double* const w = out.weights.data();
    try_for_each<EndpointOutOfRange>(pool, buckets, [&](std::size_t b) -> std::optional<EndpointOutOfRange> {
        const std::uint64_t first = std::uint64_t{b} << shift;
        const std::uint64_t last = std::min<std::uint64_t>(n, first + (std::uint64_t{1} << shift));
        Vec<std::int64_t> next(ptr + first, ptr + last);
        for (auto i = static_cast<std::size_t>(ptr[first]); i < static_cast<std::size_t>(ptr[last]); ++i) {
            const Staged& s = staged[i];
            const auto slot = static_cast<std::size_t>(next[s.row - first]++);
            indices[slot] = s.head;
            w[slot] = s.weight;
        }
        return std::nullopt;
    });
    return std::nullopt;
}

}  // namespace

template <class Id>
std::variant<GroupedArcs, EndpointOutOfRange> group_by_tail(std::uint64_t n, std::span<const Id> tails,
                                                            std::span<const Id> heads, std::span<const double> weights,
                                                            std::int64_t base) {
    const std::size_t m = tails.size();
    GroupedArcs out{OwnedArray<std::int64_t>::zeroed(n + 1), OwnedArray<std::int32_t>::uninitialized(m),
                    OwnedArray<double>::uninitialized(m)};
    std::int64_t* const ptr = out.indptr.data();
    // Pass 1: the tails, range-checked, into a private copy; row sizes counted one slot up. The
    // copy lives in the output's heads until the heads are written (unsigned and signed
    // twins may alias).
    auto* const rows = reinterpret_cast<std::uint32_t*>(out.indices.data());
    bool grouped = true;
    std::uint32_t last = 0;
    for (std::size_t at = 0; at < m; at += SLICE) {
        cancel_check();
        const std::size_t end = std::min(m, at + SLICE);
        for (std::size_t i = at; i < end; ++i) {
            const std::int64_t id = static_cast<std::int64_t>(tails[i]) - base;
            if (static_cast<std::uint64_t>(id) >= n) return EndpointOutOfRange{i, id + base};
            const auto row = static_cast<std::uint32_t>(id);
            grouped &= row >= last;
            last = row;
            rows[i] = row;
            ++ptr[row + 1];
        }
    }
    for (std::uint64_t v = 0; v < n; ++v) ptr[v + 1] += ptr[v];
    if (grouped) {  // every arc stays where it is: the rows are not read again
        if (const auto bad = scatter(out, {}, heads, weights, n, base, true)) return *bad;
        return out;
    }
    if (m < BUCKETED_FROM) {  // the heads are written in any order: the rows move out first
        const Vec<std::uint32_t> moved(rows, rows + m);
        if (const auto bad = scatter(out, moved, heads, weights, n, base, false)) return *bad;
        return out;
    }
    // The first pass reads the rows, the second writes the heads.
    if (const auto bad = scatter_by_buckets(out, {rows, m}, heads, weights, n, base)) return *bad;
    return out;
}

template std::variant<GroupedArcs, EndpointOutOfRange> group_by_tail<std::int32_t>(
    std::uint64_t, std::span<const std::int32_t>, std::span<const std::int32_t>, std::span<const double>, std::int64_t);
template std::variant<GroupedArcs, EndpointOutOfRange> group_by_tail<std::int64_t>(
    std::uint64_t, std::span<const std::int64_t>, std::span<const std::int64_t>, std::span<const double>, std::int64_t);

}  // namespace qh
