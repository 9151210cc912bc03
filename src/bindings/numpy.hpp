// numpy.hpp: NumPy's C array interface, and handing result buffers to NumPy.
//
// The interface is one table per module (PY_ARRAY_UNIQUE_SYMBOL), looked up from the
// running interpreter on first use (`ensure_numpy`) by numpy.cpp; every other file of the
// bindings reads the same table. Results leave without a copy: `hand_over` moves an
// `OwnedArray` into a new 1-D array whose base is a capsule that frees the buffer with
// mi_free.
#pragma once

#include "bindings/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL qh_numpy_api
#ifndef QH_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "core/memory.hpp"

namespace qh::py {

// Looks the interface up once; false with an exception set when NumPy cannot be imported.
bool ensure_numpy();

// The NumPy type number of T's arrays.
template <class T>
constexpr int numpy_type();
template <>
constexpr int numpy_type<double>() {
    return NPY_FLOAT64;
}
template <>
constexpr int numpy_type<std::int32_t>() {
    return NPY_INT32;
}
template <>
constexpr int numpy_type<std::int64_t>() {
    return NPY_INT64;
}

// Moves the `length` values at `data` (mi_malloc'd) into a new 1-D array of `typenum`; on
// failure the buffer is freed. A new reference, or null with an exception set.
PyObject* hand_over_buffer(void* data, std::size_t length, int typenum);

// Moves `buffer` into a new 1-D NumPy array (no copy); `buffer` is left empty either way.
template <class T>
PyObject* hand_over(OwnedArray<T>& buffer) {
    const std::size_t length = buffer.size();
    return hand_over_buffer(buffer.release(), length, numpy_type<T>());
}

// A tuple of new references, taking them all (also on failure); at most six.
PyObject* tuple_of(std::initializer_list<PyObject*> items);

}  // namespace qh::py
