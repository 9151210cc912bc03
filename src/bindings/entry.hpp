// entry.hpp: how an entry of a module is described once, and how a module is made of them.
//
// An entry is a struct that says, in one place, everything the module needs of it:
//   name, doc                  its name and docstring (the text signature line, "--", the text);
//   format, keywords           its PyArg_ParseTupleAndKeywords format and keyword list;
//   its argument slots         members in keyword order, with the defaults of omitted ones,
//                              listed by `slots()` (std::tie) for the parser to fill;
//   call()                     its converters and core call, returning the result or null
//                              with an exception set.
// `method<E>()` makes the entry's method-table row. Binding the arguments (the standard
// messages for missing, surplus and doubly given ones), looking NumPy up, and catching every
// C++ exception thrown with the lock held (errors.hpp) happen here once for every entry.
#pragma once

#include "bindings/python.hpp"  // first: Python.h precedes the standard headers

#include <cstddef>
#include <span>
#include <tuple>

#include "bindings/errors.hpp"
#include "bindings/numpy.hpp"

namespace qh::py {

// Binds the arguments into a fresh E, then runs E::call().
template <class E>
PyObject* bind_and_call(PyObject* args, PyObject* kwargs) {
    E entry;
    const bool bound = std::apply(
        [&](auto&... slot) {
            return PyArg_ParseTupleAndKeywords(args, kwargs, E::format, const_cast<char**>(E::keywords), &slot...) != 0;
        },
        entry.slots());
    if (!bound || !ensure_numpy()) return nullptr;
    return entry.call();
}

template <class E>
PyObject* call_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(&bind_and_call<E>, args, kwargs);
}

// The method-table row of entry E.
template <class E>
PyMethodDef method() {
    return {E::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&call_entry<E>)),
            METH_VARARGS | METH_KEYWORDS, E::doc};
}

// A new module of `def` with the functions of `table`, added after it is created, in table
// order; with `list_in_all`, each name is appended to its __all__ (created empty if absent).
// Null with an exception set on failure.
PyObject* new_module(PyModuleDef& def, std::span<PyMethodDef> table, bool list_in_all);

// False with ImportError set when `module` is being imported into a sub-interpreter.
bool in_main_interpreter(const char* module);

}  // namespace qh::py
