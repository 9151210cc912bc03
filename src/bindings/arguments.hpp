// arguments.hpp: taking the arguments of an entry, one converter per kind.
//
// Arrays are borrowed read-only and never converted implicitly: an argument must already be
// a one-dimensional NumPy array of the right dtype (a TypeError names it otherwise), and the
// entry checks contiguity after every argument is taken. Integers go through __index__; a
// TypeError from the conversion is prefixed with the argument's name, an OverflowError keeps
// the interpreter's text and names the argument in a note (PEP 678). Each converter returns
// false with the exception set.
#pragma once

#include "bindings/python.hpp"  // first: Python.h precedes the standard headers

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "bindings/numpy.hpp"

namespace qh::py {

// Re-raises a pending TypeError as "argument '<name>': <message>".
void prefix_type_error(const char* name);

// Adds the note "argument '<name>'" (PEP 678) to the pending exception, whose message stays as
// it is: for texts that callers match exactly.
void note_argument(const char* name);

// A borrowed, read-only, one-dimensional array of T.
template <class T>
struct ArrayArg {
    Ref array;
    const char* name = "";

    PyArrayObject* arr() const noexcept { return reinterpret_cast<PyArrayObject*>(array.get()); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(PyArray_DIM(arr(), 0)); }
    bool contiguous() const noexcept { return PyArray_IS_C_CONTIGUOUS(arr()) || PyArray_IS_F_CONTIGUOUS(arr()); }
    std::span<const T> view() const noexcept { return {static_cast<const T*>(PyArray_DATA(arr())), size()}; }
};

// `obj` as an array of T (int32, int64 or float64), named `name` in messages.
template <class T>
bool take_array(PyObject* obj, const char* name, ArrayArg<T>& out);

// `obj` as a signed 64-bit integer.
bool take_i64(PyObject* obj, const char* name, std::int64_t& out);

// `obj` as an unsigned 64-bit integer; `obj` may be null (argument omitted): then `out`
// keeps its default.
bool take_u64(PyObject* obj, const char* name, std::uint64_t& out);

// `obj` as a distance limit >= 0 (NaN refused); null (omitted) or None: `out` keeps its
// default (no limit).
bool take_limit(PyObject* obj, double& out);

// `obj` as a variant name: a str (else the TypeError that names 'PyString'), read as UTF-8.
// `out` points into `obj`, which the caller holds.
bool take_variant_name(PyObject* obj, std::string_view& out);

// Raises the TypeError for an array that is not contiguous, `name` in a note.
void raise_not_contiguous(const char* name);

// Whether every array is contiguous, else false with the TypeError set, the first array that
// is not named in a note.
template <class... Arrays>
bool all_contiguous(const Arrays&... arrays) {
    const char* strided = nullptr;
    ((strided == nullptr && !arrays.contiguous() ? (strided = arrays.name) : nullptr), ...);
    if (strided == nullptr) return true;
    raise_not_contiguous(strided);
    return false;
}

// The graph arrays every entry takes first.
struct GraphArgs {
    ArrayArg<std::int64_t> indptr;
    ArrayArg<std::int32_t> indices;
    ArrayArg<double> weights;

    // indptr, then indices, then weights.
    bool take(PyObject* p, PyObject* i, PyObject* w);
    // All three contiguous.
    bool contiguous() const { return all_contiguous(indptr, indices, weights); }
};

}  // namespace qh::py
