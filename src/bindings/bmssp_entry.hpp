// bmssp_entry.hpp: the single-source BMSSP road that both extension modules take.
//
// `bmssp`, `bmssp_instrumented` and `bmssp_variant` (module `_quillharbour`)
// and `bmssp_search` and `bmssp_counted` (module `_search`) convert the graph
// arrays and the source first, then their own arguments; check contiguity,
// the shape, the source and the id limit; copy the graph into a validated
// owned Csr; and run the core or a named variant with the interpreter lock
// released. Like boundary.hpp, include it from one translation unit per module.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "bindings/boundary.hpp"
#include "core/catalogue.hpp"
#include "core/config.hpp"
#include "core/csr.hpp"
#include "core/memory.hpp"
#include "core/run.hpp"

namespace qh::py {

// The graph and source of a single-source BMSSP entry, and the owned copy of the graph.
struct SourceGraph {
    GraphArgs g;
    std::int64_t source = 0;
    std::uint64_t n = 0;
    Csr csr;

    // Converts the arrays, then the source: the order in which callers meet the TypeErrors.
    bool take(PyObject* indptr, PyObject* indices, PyObject* weights, PyObject* o_source) {
        return g.take(indptr, indices, weights) && take_i64(o_source, "source", source);
    }
    // Contiguity, then the shape, source and id checks, then the validated owned copy.
    bool own() { return all_contiguous(g.indptr, g.indices, g.weights) && checked_owned_csr(g, source, n, csr); }
    // The work estimate of one run (see run_released).
    std::uint64_t work() const noexcept { return n + csr.nnz(); }
};

namespace unknown_name {

inline void append(Vec<char>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// Decodes one UTF-8 sequence at `at` into `length` bytes; a byte that does not start a
// well-formed sequence comes back as itself with length 1 and valid = false.
inline char32_t decode_utf8(std::string_view s, std::size_t at, std::size_t& length, bool& valid) noexcept {
    const auto b0 = static_cast<unsigned char>(s[at]);
    length = 1;
    valid = true;
    if (b0 < 0x80) return b0;
    const std::size_t extra = b0 >= 0xF8 ? 0 : b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC0 ? 1 : 0;
    valid = false;
    if (extra == 0 || s.size() - at <= extra) return b0;
    char32_t cp = b0 & (0x3F >> extra);
    for (std::size_t i = 1; i <= extra; ++i) {
        const auto b = static_cast<unsigned char>(s[at + i]);
        if ((b & 0xC0) != 0x80) return b0;
        cp = (cp << 6) | (b & 0x3F);
    }
    valid = true;
    length = extra + 1;
    return cp;
}

inline Vec<char> unknown_variant_message(std::string_view name, bool (*printable)(char32_t)) {
    Vec<char> out;
    append(out, "unknown bmssp variant \"");
    char buf[16];
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length;
        bool valid;
        const char32_t cp = decode_utf8(name, at, length, valid);
        if (!valid) {
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
            append(out, buf);
        } else if (cp == '"') {
            append(out, "\\\"");
        } else if (cp == '\\') {
            append(out, "\\\\");
        } else if (cp == '\t') {
            append(out, "\\t");
        } else if (cp == '\r') {
            append(out, "\\r");
        } else if (cp == '\n') {
            append(out, "\\n");
        } else if (cp == 0) {
            append(out, "\\0");
        } else if (!printable(cp)) {
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            append(out, buf);
        } else {
            append(out, name.substr(at, length));
        }
        at += length;
    }
    append(out, "\"; known: [");
    for (std::size_t i = 0; i < VARIANTS.size(); ++i) {
        if (i) append(out, ", ");
        append(out, "\"");
        append(out, VARIANTS[i].name);
        append(out, "\"");
    }
    append(out, "]");
    return out;
}

}  // namespace unknown_name

// Raises the ValueError for a name that is no variant.
inline void raise_unknown_variant(std::string_view name) {
    const Vec<char> message = unknown_name::unknown_variant_message(
        name, [](char32_t c) -> bool { return Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(c)); });
    Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// A run of `config` on the owned graph, the lock released; the graph is freed once the run
// has ended. Nullopt with the exception set when the run is refused or fails.
inline std::optional<BmsspRun> run_bmssp(SourceGraph& a, std::uint64_t seed, const RunConfig& config) {
    std::variant<BmsspRun, BmsspError> outcome = BmsspError::SourceOutOfRange;
    const Fault fault = run_released([&] { outcome = run(a.csr, static_cast<std::uint64_t>(a.source), seed, config); },
                                     a.work());
    if (raise_fault(fault)) return std::nullopt;
    a.csr = Csr{};
    if (const BmsspError* error = std::get_if<BmsspError>(&outcome)) {
        map_bmssp_err(*error, a.source, a.n);
        return std::nullopt;
    }
    return std::move(*std::get_if<BmsspRun>(&outcome));  // get_if: std::get would pull in bad_variant_access
}

}  // namespace qh::py
