// push_order.cpp: Dijkstra in push order.
//
// A caller that compares its answers with another library's must settle
// equally distant vertices in the same order, since the order decides which
// of several equally short paths each vertex keeps and in which order the
// vertices are listed. The searches here take the rule of a binary heap of
// (distance, push count, vertex) entries with lazy deletion: a vertex is
// pushed each time it is first reached or reached strictly shorter, the
// smallest (distance, push count) pops first, and a popped vertex that is
// already settled is skipped. Because every entry's key is unique, the order
// is a function of the pushes alone, whatever heap realises it; a plain
// 4-ary heap does, the lazy entries costing at most one per arc. The push
// count shares a word with the vertex, so a run takes at most 2^33 pushes
// (sources and arcs), which `MAX_PUSHES` states for the caller to check.
//
// Distances are the left-to-right float64 sums along the path found, which
// equal the exact sums of integer weights while those stay below 2^53.
// The graphs are the caller's arrays read in place, checked once before
// (check_dijkstra_input); the loop guards the values it uses as indices, so
// arrays rewritten during a run end it with `false`, never out of bounds.
#include "core/push_order.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "core/cancel.hpp"
#include "core/stop.hpp"

namespace qh {

namespace {

// A heap entry: one 128-bit key whose order is (distance, push count). Distances are +0.0,
// positive or +inf (never -0.0 or NaN: they start at +0.0 and weights are >= 0), whose bits
// as unsigned integers order as the values do; the low word holds the push count and the
// vertex (count << 31 | v), which orders as the count alone since counts are unique.
using Key = unsigned __int128;

constexpr unsigned VERTEX_BITS = 31;
constexpr std::uint64_t VERTEX_MASK = (std::uint64_t{1} << VERTEX_BITS) - 1;

Key key_of(double dist, std::uint64_t seq, std::uint32_t v) noexcept {
    return static_cast<Key>(std::bit_cast<std::uint64_t>(dist)) << 64 | (seq << VERTEX_BITS | v);
}

// A 4-ary min-heap of keys with lazy deletion.
class OrderHeap {
public:
    void push(double dist, std::uint64_t seq, std::uint32_t v) {
        const Key key = key_of(dist, seq, v);
        std::size_t i = keys_.size();
        keys_.push_back(key);
        while (i > 0) {
            const std::size_t parent = (i - 1) / 4;
            if (!(key < keys_[parent])) break;
            keys_[i] = keys_[parent];
            i = parent;
        }
        keys_[i] = key;
    }
    // Precondition: !empty(). Removes the least key; returns its distance and vertex.
    std::pair<double, std::uint32_t> pop() noexcept {
        const Key top = keys_[0];
        const Key last = keys_.back();
        keys_.pop_back();
        const std::size_t size = keys_.size();
        std::size_t i = 0;
        for (;;) {
            const std::size_t first = 4 * i + 1;
            if (first >= size) break;
            std::size_t best = first;
            const std::size_t end = std::min(first + 4, size);
            for (std::size_t c = first + 1; c < end; ++c)
                if (keys_[c] < keys_[best]) best = c;
            if (!(keys_[best] < last)) break;
            keys_[i] = keys_[best];
            i = best;
        }
        if (size > 0) keys_[i] = last;
        const auto low = static_cast<std::uint64_t>(top);
        return {std::bit_cast<double>(static_cast<std::uint64_t>(top >> 64)),
                static_cast<std::uint32_t>(low & VERTEX_MASK)};
    }
    bool empty() const noexcept { return keys_.empty(); }

private:
    Vec<Key> keys_;
};

enum : std::uint8_t { UNSEEN = 0, SEEN = 1, SETTLED = 2 };

// The arcs of v as [begin, end), or false when the offsets are out of shape.
bool row_of(const CsrView& g, std::uint32_t v, std::int64_t& begin, std::int64_t& end) noexcept {
    begin = g.row[v];
    end = g.row[v + 1];
    return static_cast<std::uint64_t>(begin) <= static_cast<std::uint64_t>(end) &&
           static_cast<std::uint64_t>(end) <= g.nnz;
}

constexpr double INF = std::numeric_limits<double>::infinity();

// One direction of a search: tentative and final distances (n entries at
// `dist`, +inf until reached) and predecessors (at `pred`), and the state of
// every vertex.
struct Side {
    double* dist;
    std::int32_t* pred;
    Vec<std::uint8_t> state;
    OrderHeap heap;

    Side(std::span<double> d, std::span<std::int32_t> p) : dist(d.data()), pred(p.data()), state(d.size(), UNSEEN) {
        std::fill(d.begin(), d.end(), INF);
        std::fill(p.begin(), p.end(), -1);
    }

    void start(std::uint32_t origin, std::uint64_t& seq) {
        state[origin] = SEEN;
        dist[origin] = 0.0;
        heap.push(0.0, seq++, origin);
    }

    // Offers u the candidate distance nd through v; true when u was pushed. A settled u is
    // never lowered (its distance is at most v's, weights are >= 0), so one comparison
    // serves for all but a first reach at +inf, which pushes as any first reach does.
    bool relax(std::uint32_t u, double nd, std::uint32_t v, std::uint64_t& seq) {
        if (!(nd < dist[u]) && !(nd == INF && state[u] == UNSEEN)) return false;
        state[u] = SEEN;
        dist[u] = nd;
        pred[u] = static_cast<std::int32_t>(v);
        heap.push(nd, seq++, u);
        return true;
    }
};

}  // namespace

bool push_order_search(const CsrView& g, std::span<const std::uint32_t> sources, std::optional<double> cutoff,
                       std::optional<std::uint32_t> target, std::span<double> dist, std::span<std::int32_t> pred,
                       std::span<std::int32_t> order, std::size_t& settled) {
    const std::size_t n = g.n;
    Side side(dist, pred);
    std::uint64_t seq = 0;
    for (const std::uint32_t s : sources) side.start(s, seq);
    const double limit = cutoff.value_or(std::numeric_limits<double>::infinity());
    const bool limited = cutoff.has_value();
    settled = 0;
    while (!side.heap.empty()) {
        const auto [d, v] = side.heap.pop();
        if (side.state[v] == SETTLED) continue;
        cancel_point();
        side.state[v] = SETTLED;
        side.dist[v] = d;
        order[settled++] = static_cast<std::int32_t>(v);
        if (target && v == *target) break;
        std::int64_t begin, end;
        if (!row_of(g, v, begin, end)) return false;
        for (std::int64_t e = begin; e < end; ++e)
            __builtin_prefetch(side.dist + static_cast<std::uint32_t>(g.head[e]));
        for (std::int64_t e = begin; e < end; ++e) {
            const auto u = static_cast<std::uint32_t>(g.head[e]);
            if (u >= n) return false;
            const double nd = d + g.w[e];
            if (limited && nd > limit) continue;
            side.relax(u, nd, v, seq);
        }
    }
    return true;
}

bool push_order_bidirectional(const CsrView& forward, const CsrView& backward, std::uint32_t source,
                              std::uint32_t target, MeetingRun& out) {
    const std::size_t n = forward.n;
    Vec<double> dist[2] = {Vec<double>(n), Vec<double>(n)};
    Vec<std::int32_t> pred[2] = {Vec<std::int32_t>(n), Vec<std::int32_t>(n)};
    Side sides[2] = {Side(dist[0], pred[0]), Side(dist[1], pred[1])};
    const CsrView* graphs[2] = {&forward, &backward};
    std::uint64_t seq = 0;
    sides[0].start(source, seq);
    sides[1].start(target, seq);
    bool met = false;
    double best = 0.0;
    std::uint32_t meet = 0;
    out.found = false;
    int dir = 1;
    while (!sides[0].heap.empty() && !sides[1].heap.empty()) {
        dir = 1 - dir;
        Side& here = sides[dir];
        const Side& there = sides[1 - dir];
        const auto [d, v] = here.heap.pop();
        if (here.state[v] == SETTLED) continue;
        cancel_point();
        here.state[v] = SETTLED;
        here.dist[v] = d;
        if (there.state[v] == SETTLED) {
            // A vertex settled both ways was pushed in one direction while seen in the other.
            if (!met) internal_stop("bidirectional search settled a vertex both ways without a meeting");
            out.found = true;
            out.length = best;
            out.path.clear();
            for (std::int32_t x = static_cast<std::int32_t>(meet); x >= 0; x = sides[0].pred[x]) out.path.push_back(x);
            std::reverse(out.path.begin(), out.path.end());
            for (std::int32_t x = sides[1].pred[meet]; x >= 0; x = sides[1].pred[x]) out.path.push_back(x);
            return true;
        }
        const CsrView& g = *graphs[dir];
        std::int64_t begin, end;
        if (!row_of(g, v, begin, end)) return false;
        for (std::int64_t e = begin; e < end; ++e) {
            const auto w = static_cast<std::uint32_t>(g.head[e]);
            if (w >= n) return false;
            const double nd = d + g.w[e];
            if (here.relax(w, nd, v, seq) && there.state[w] != UNSEEN) {
                const double through = nd + there.dist[w];
                if (!met || best > through) {
                    met = true;
                    best = through;
                    meet = w;
                }
            }
        }
    }
    return true;
}

}  // namespace qh
