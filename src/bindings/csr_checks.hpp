// csr_checks.hpp: the checks of a graph given as three arrays, and its owned copy.
//
// The shape checks read the arrays' lengths and one offset and run with the lock held,
// before anything is allocated. A BMSSP entry then copies the arrays into an owned `Csr`
// and validates the copy (`to_owned_csr`): the caller's memory is read exactly once, so a
// thread that writes the arrays meanwhile yields some consistent graph or the malformed-CSR
// error, never an unchecked value. The Dijkstra entries read the caller's arrays in place and
// let the run validate them. Each function returns false with the exception set.
#pragma once

#include "bindings/python.hpp"  // first: Python.h precedes the standard headers

#include <cstddef>
#include <cstdint>
#include <span>

#include "bindings/arguments.hpp"
#include "core/csr.hpp"

namespace qh::py {

// Predecessors leave as int32, so vertex ids must stay below 2^31.
inline constexpr std::uint64_t MAX_VERTICES = std::uint64_t{1} << 31;

// The single-source entries' shape checks: indptr not empty, 0 <= source < n, equal
// lengths of indices and weights, indptr[n] = len(indices). Stores n.
bool check_csr(std::span<const std::int64_t> indptr, std::size_t indices_len, std::size_t weights_len,
               std::int64_t source, std::uint64_t& n);

// Refuses, before anything is allocated or copied, a graph whose vertex ids would not fit
// the int32 predecessors every entry returns.
bool check_vertex_limit(std::uint64_t n);

// The multi-source entries' checks of a converted graph: its shape (check_csr without the
// source), then the id limit. Stores n.
bool checked_multi_graph(const GraphArgs& g, std::uint64_t& n);

// The cells (rows x n) of a result with a row per source, or false with MemoryError set
// when the results, `cell_bytes` a cell, are more than this process can be given; `work` is
// rows x (n + nnz), saturated, for run_released. Called before any work.
bool row_cells(std::size_t rows, std::uint64_t n, std::size_t nnz, std::size_t cell_bytes, std::size_t& cells,
               std::uint64_t& work);

// Copies a shape-checked graph (indptr not empty) into `out`, then validates the copy,
// including the last offset that check_csr read from the caller's memory.
bool to_owned_csr(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                  std::span<const double> weights, std::uint64_t n, Csr& out);

// The structural rules of to_owned_csr on the caller's arrays, read in place and without
// allocating: for a call that runs nothing on the graph, so that no later read depends on
// what was checked.
bool valid_in_place(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices, std::uint64_t n);

// The single-source BMSSP entries' road to an owned graph: shape and source checks, the id
// limit, then the validated copy.
bool checked_owned_csr(const GraphArgs& g, std::int64_t source, std::uint64_t& n, Csr& csr);

}  // namespace qh::py
