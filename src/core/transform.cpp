// transform.cpp: the constant-degree form's vertex count and the predecessor checks.
#include "core/transform.hpp"

namespace qh {

std::uint64_t transformed_vertex_count(const Csr& csr) {
    const std::uint64_t n = csr.n;
    const std::uint64_t m = csr.nnz();
    Vec<std::uint8_t> touched(n, 0);
    for (std::uint64_t u = 0; u < n; ++u) {
        if (csr.indptr[u + 1] > csr.indptr[u]) touched[u] = 1;
    }
    for (std::uint32_t w : csr.indices) touched[w] = 1;
    std::uint64_t isolated = 0;
    for (std::uint8_t f : touched) isolated += f == 0;
    return 2 * m + isolated;
}

namespace transform_detail {

std::size_t mark_off_tree(const OwnedArray<std::int32_t>& pred, std::uint64_t source, Vec<std::uint8_t>* chain_out) {
    const std::size_t n = pred.size();
    Vec<std::uint8_t> chain(n, CHAIN_UNKNOWN);
    Vec<std::uint32_t> path;
    std::size_t off_tree = 0;
    for (std::size_t v = 0; v < n; ++v) {
        if (chain[v] != CHAIN_UNKNOWN) continue;
        path.clear();
        std::size_t x = v;
        std::uint8_t verdict;
        for (;;) {
            if (chain[x] == CHAIN_ROOTED || chain[x] == CHAIN_CYCLIC) {
                verdict = chain[x];
                break;
            }
            if (chain[x] == CHAIN_OPEN) {
                verdict = CHAIN_CYCLIC;
                break;
            }
            if (x == source || pred[x] < 0) {
                chain[x] = CHAIN_ROOTED;
                verdict = CHAIN_ROOTED;
                break;
            }
            chain[x] = CHAIN_OPEN;
            path.push_back(static_cast<std::uint32_t>(x));
            x = static_cast<std::size_t>(pred[x]);
        }
        for (std::uint32_t y : path) chain[y] = verdict;
        if (verdict == CHAIN_CYCLIC) off_tree += path.size();
    }
    if (chain_out != nullptr) *chain_out = std::move(chain);
    return off_tree;
}

}  // namespace transform_detail

}  // namespace qh
