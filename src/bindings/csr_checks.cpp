// csr_checks.cpp: the graph checks and the validated owned copy.
#include "bindings/csr_checks.hpp"

#include <algorithm>
#include <cstdio>

#include "bindings/errors.hpp"
#include "bindings/messages.hpp"

namespace qh::py {

namespace {

bool check_not_empty(std::span<const std::int64_t> indptr) {
    if (!indptr.empty()) return true;
    PyErr_SetString(PyExc_ValueError, msg::EMPTY_INDPTR);
    return false;
}

// Equal lengths of indices and weights, then indptr[-1] = len(indices).
bool check_lengths(std::span<const std::int64_t> indptr, std::size_t indices_len, std::size_t weights_len) {
    if (indices_len != weights_len) {
        PyErr_SetString(PyExc_ValueError, msg::LENGTH_MISMATCH);
        return false;
    }
    if (indptr.back() != static_cast<std::int64_t>(indices_len)) {
        PyErr_SetString(PyExc_ValueError, msg::LAST_OFFSET);
        return false;
    }
    return true;
}

}  // namespace

bool check_csr(std::span<const std::int64_t> indptr, std::size_t indices_len, std::size_t weights_len,
               std::int64_t source, std::uint64_t& n) {
    if (!check_not_empty(indptr)) return false;
    n = indptr.size() - 1;
    if (source < 0 || static_cast<std::uint64_t>(source) >= n) {
        raise_source_out_of_range(source, n);
        return false;
    }
    return check_lengths(indptr, indices_len, weights_len);
}

bool check_vertex_limit(std::uint64_t n) {
    if (n <= MAX_VERTICES) return true;
    PyErr_Format(PyExc_ValueError, msg::TOO_MANY_VERTICES, static_cast<unsigned long long>(n),
                 static_cast<unsigned long long>(MAX_VERTICES));
    return false;
}

bool checked_multi_graph(const GraphArgs& g, std::uint64_t& n) {
    if (!check_not_empty(g.indptr.view()) || !check_lengths(g.indptr.view(), g.indices.size(), g.weights.size()))
        return false;
    n = g.indptr.size() - 1;
    return check_vertex_limit(n);
}

bool row_cells(std::size_t rows, std::uint64_t n, std::size_t nnz, std::size_t cell_bytes, std::size_t& cells,
               std::uint64_t& work) {
    char subject[192];
    std::snprintf(subject, sizeof subject, msg::RESULT_ROWS, rows, static_cast<unsigned long long>(n), cell_bytes);
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(rows, n, &cells) || __builtin_mul_overflow(cells, cell_bytes, &bytes)) {
        raise_no_memory(SIZE_MAX, memory_room(), subject);
        return false;
    }
    if (!check_room(bytes, subject)) return false;
    if (__builtin_mul_overflow(rows, n + nnz, &work)) work = UINT64_MAX;
    return true;
}

bool to_owned_csr(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                  std::span<const double> weights, std::uint64_t n, Csr& out) {
    const std::uint64_t nnz = indices.size();
    // Chunk by chunk: copy, then check the copy while it is still in cache, with no early
    // exit inside a chunk so that the check vectorises.
    constexpr std::size_t CHUNK = 1024;
    out.indptr.reserve(indptr.size());
    out.indices.reserve(indices.size());
    // Read as their unsigned twins (allowed aliasing), the chunks copy with memmove.
    const auto* offsets = reinterpret_cast<const std::uint64_t*>(indptr.data());
    const auto* heads = reinterpret_cast<const std::uint32_t*>(indices.data());
    bool ok = true;
    for (std::size_t at = 0; ok && at < indptr.size(); at += CHUNK) {
        const std::size_t end = std::min(at + CHUNK, indptr.size());
        out.indptr.insert(out.indptr.end(), offsets + at, offsets + end);
        // As u64 a negative offset is above nnz, so one unsigned test covers both bounds.
        const std::uint64_t* row = out.indptr.data();
        unsigned bad = 0;
        for (std::size_t i = std::max<std::size_t>(at, 1); i < end; ++i)
            bad |= static_cast<unsigned>(row[i] < row[i - 1]) | static_cast<unsigned>(row[i] > nnz);
        ok = bad == 0;
    }
    ok = ok && out.indptr.front() == 0 && out.indptr.back() == nnz;
    // Valid heads lie below min(n, 2^31); read as u32, a negative head is 2^31 or more.
    const auto limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, std::uint64_t{1} << 31));
    for (std::size_t at = 0; ok && at < indices.size(); at += CHUNK) {
        const std::size_t end = std::min(at + CHUNK, indices.size());
        out.indices.insert(out.indices.end(), heads + at, heads + end);
        const std::uint32_t* head = out.indices.data();
        unsigned bad = 0;  // an integer, not a bool: the reduction vectorises
        for (std::size_t e = at; e < end; ++e) bad |= head[e] >= limit;
        ok = bad == 0;
    }
    if (!ok) {
        out = Csr{};
        PyErr_SetString(PyExc_ValueError, msg::MALFORMED_CSR);
        return false;
    }
    out.weights.assign(weights.begin(), weights.end());
    out.n = n;
    return true;
}

bool valid_in_place(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices, std::uint64_t n) {
    const std::uint64_t nnz = indices.size();
    const auto* row = reinterpret_cast<const std::uint64_t*>(indptr.data());
    unsigned bad = row[0] != 0 || row[indptr.size() - 1] != nnz;
    for (std::size_t i = 1; i < indptr.size(); ++i)
        bad |= static_cast<unsigned>(row[i] < row[i - 1]) | static_cast<unsigned>(row[i] > nnz);
    const auto limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, std::uint64_t{1} << 31));
    for (const std::int32_t head : indices) bad |= static_cast<std::uint32_t>(head) >= limit;
    if (bad == 0) return true;
    PyErr_SetString(PyExc_ValueError, msg::MALFORMED_CSR);
    return false;
}

bool checked_owned_csr(const GraphArgs& g, std::int64_t source, std::uint64_t& n, Csr& csr) {
    return check_csr(g.indptr.view(), g.indices.size(), g.weights.size(), source, n) && check_vertex_limit(n) &&
           to_owned_csr(g.indptr.view(), g.indices.view(), g.weights.view(), n, csr);
}

}  // namespace qh::py
