// panic.hpp: PanicException, the one exception class of internal stops for the package.
//
// A broken invariant inside a computation reaches Python as PanicException (qualified name
// "pyo3_runtime.PanicException", deriving from BaseException so that `except Exception`
// does not take it), with the stop's message as its one argument. Both extension modules
// raise the same class object: each links its own copy of the bindings, so the class is
// kept where both find it, in the interpreter's own dictionary for extensions. It is
// created once per process, by whichever module needs it first; `_search` exposes it, and
// the package re-exports it as `quillharbour.PanicException`.
#pragma once

#include "bindings/python.hpp"

namespace qh::py {

// The class (a borrowed reference, valid for the process's life), or null with an
// exception set. Lock held.
PyObject* panic_exception_type();

}  // namespace qh::py
