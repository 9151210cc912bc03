// csr.hpp: the owned, validated CSR graph.
//
// A `Csr` is built only by the module boundary (`to_owned_csr`), which has
// checked: indptr[0] = 0, indptr non-decreasing, every offset <= nnz,
// indptr[n] = nnz = indices.size() = weights.size(), every head < n.
// Weights are copied bit for bit and not checked; each algorithm checks the
// weights it needs. Computations take it by const reference and may share one
// instance across threads.
#pragma once

#include <cstdint>

#include "core/ids.hpp"
#include "core/memory.hpp"

namespace qh {

struct Csr {
    Vec<std::uint64_t> indptr;   // n + 1 row offsets
    Vec<std::uint32_t> indices;  // head of each edge
    Vec<double> weights;         // weight of each edge
    std::uint64_t n = 0;         // vertex count

    std::uint64_t nnz() const noexcept { return indices.size(); }
};

}  // namespace qh
