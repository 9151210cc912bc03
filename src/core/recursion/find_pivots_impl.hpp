// find_pivots_impl.hpp: the definitions of find_pivots.hpp, for the files that instantiate
// the recursion (core.cpp, variants.cpp, counted.cpp).
#pragma once

#include <algorithm>

#include "core/parameters.hpp"
#include "core/recursion/find_pivots.hpp"

namespace qh {

template <class Rows, class Observer>
void FindPivots<Rows, Observer>::run(Labels& st, const Key& bound, std::span<const std::uint32_t> s,
                                     Vec<std::uint32_t>& pivots, Vec<std::uint32_t>& w) {
    constexpr std::size_t SCAN_AHEAD = Labels::SCAN_AHEAD;
    st.observer.find_pivots();
    pivots.clear();
    w.clear();
    // W_set is w_index_ != NO_VERTEX; every entry set here is reset before returning.
    const std::size_t sn = s.size();
    for (std::size_t i = 0; i < sn; ++i) {
        if (i + SCAN_AHEAD < sn) {
            __builtin_prefetch(&w_index_[s[i + SCAN_AHEAD]]);
            __builtin_prefetch(&st.vertex[s[i + SCAN_AHEAD]]);  // the first layer reads it
        }
        const std::uint32_t x = s[i];
        if (w_index_[x] == NO_VERTEX) {
            w_index_[x] = static_cast<std::uint32_t>(w.size());
            w.push_back(x);
        }
    }
    auto release_w = [&] {
        // A large W is cheaper to reset by one sequential sweep than by scattered writes.
        if (w.size() > w_index_.size() / Labels::LARGE_LIST_DIVISOR) {
            std::fill(w_index_.begin(), w_index_.end(), NO_VERTEX);
        } else {
            const std::size_t wn = w.size();
            for (std::size_t i = 0; i < wn; ++i) {
                if (i + SCAN_AHEAD < wn) __builtin_prefetch(&w_index_[w[i + SCAN_AHEAD]], 1);
                w_index_[w[i]] = NO_VERTEX;
            }
        }
    };
    frontier_.assign(w.begin(), w.end());
    const std::uint64_t size_limit = sat_mul(k_, s.size());
    auto accept_all = [](std::uint32_t, double, std::uint32_t) { return true; };
    auto join_layer = [&](std::uint32_t v) {
        if (!(st.flags[v] & Labels::IN_LAYER) && key_below(st.key(v), bound)) {
            st.flags[v] |= Labels::IN_LAYER;
            next_.push_back(v);
            __builtin_prefetch(&w_index_[v]);  // read when the layer joins W
        }
    };
    // Layers begun: the lazy rule's pivot threshold. The standard rule's is k; its layers
    // after the frontier ran empty would change nothing.
    std::uint64_t begun = 0;
    for (std::uint64_t layer = 0; layer < k_; ++layer) {
        ++begun;
        if (frontier_.empty()) break;
        next_.clear();
        st.relax_list(frontier_, [](std::uint32_t) {}, accept_all, join_layer);
        const std::size_t nn = next_.size();
        for (std::size_t i = 0; i < nn; ++i) {
            if (i + SCAN_AHEAD < nn) {
                __builtin_prefetch(&st.flags[next_[i + SCAN_AHEAD]], 1);
                __builtin_prefetch(&w_index_[next_[i + SCAN_AHEAD]], 1);
            }
            const std::uint32_t v = next_[i];
            st.flags[v] &= static_cast<std::uint8_t>(~Labels::IN_LAYER);
            if (w_index_[v] == NO_VERTEX) {
                w_index_[v] = static_cast<std::uint32_t>(w.size());
                w.push_back(v);
            }
        }
        if (w.size() > size_limit) {
            pivots.assign(s.begin(), s.end());
            release_w();
            return;
        }
        // The lazy rule: from the second layer on, a layer that does not shrink the frontier ends them.
        if (lazy_ && layer >= 1 && layer + 1 < k_ && next_.size() >= frontier_.size()) break;
        frontier_.swap(next_);
    }
    const std::uint64_t threshold = lazy_ ? begun : k_;

    // Forest of tight predecessor edges inside W, by position in W. Only the first
    // edge p -> v in row order that is tight makes v a child of p.
    const std::size_t wn = w.size();
    first_child_.assign(wn, NO_VERTEX);
    next_sibling_.assign(wn, NO_VERTEX);
    non_root_.assign(wn, 0);
    for (std::size_t i = 0; i < wn; ++i) {
        // Two-stage prefetch: the state of w[i + 16], then the predecessor of w[i + 8].
        if (i + 16 < wn) __builtin_prefetch(&st.vertex[w[i + 16]]);
        if (i + 8 < wn) {
            const std::uint32_t p_ahead = st.vertex[w[i + 8]].pred;
            if (p_ahead != NO_VERTEX) {
                __builtin_prefetch(&w_index_[p_ahead]);
                st.rows.prefetch_row(st.vertex.data(), p_ahead);
            }
        }
        const std::uint32_t v = w[i];
        const std::uint32_t p = st.vertex[v].pred;
        if (p == NO_VERTEX) continue;
        const std::uint32_t pi = w_index_[p];
        if (pi == NO_VERTEX) continue;
        if (tight(st, p, v)) {
            next_sibling_[i] = first_child_[pi];
            first_child_[pi] = static_cast<std::uint32_t>(i);
            non_root_[i] = 1;
        }
    }
    for (std::uint32_t root : s) {
        const std::uint32_t ri = w_index_[root];
        if (non_root_[ri]) continue;
        // Only "at least threshold" matters, so the walk stops there.
        std::uint64_t count = 0;
        stack_.clear();
        stack_.push_back(ri);
        while (!stack_.empty() && count < threshold) {
            const std::uint32_t x = stack_.back();
            stack_.pop_back();
            ++count;
            for (std::uint32_t c = first_child_[x]; c != NO_VERTEX; c = next_sibling_[c]) stack_.push_back(c);
        }
        if (count >= threshold) pivots.push_back(root);
    }
    release_w();
}

template <class Rows, class Observer>
inline bool FindPivots<Rows, Observer>::tight(const Labels& st, std::uint32_t p, std::uint32_t v) const {
    const auto& sv = st.vertex[v];
    const auto& sp = st.vertex[p];
    if (!(sv.hops <= sp.hops + 1)) return false;
    bool found = false;
    st.for_each_edge(p, [&](std::uint32_t head, double w)
                            __attribute__((always_inline)) { found |= head == v && sv.dist == w + sp.dist; });
    return found;
}

}  // namespace qh
