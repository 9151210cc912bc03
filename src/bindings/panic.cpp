// panic.cpp: the PanicException class, shared by both extension modules.
#include "bindings/panic.hpp"

#include "bindings/messages.hpp"

namespace qh::py {

namespace {

// The class's key in the interpreter's dictionary (PyInterpreterState_GetDict).
constexpr const char* SHARED_KEY = "quillharbour.PanicException";

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // this module's strong reference, never dropped
    if (type != nullptr) return type;
    // Sub-interpreters are refused at import, so this is the main interpreter's dictionary:
    // one per process.
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed; null: none
    if (shared != nullptr) {
        if (PyObject* found = PyDict_GetItemString(shared, SHARED_KEY)) {
            type = Py_NewRef(found);
            return type;
        }
    }
    Ref made(PyErr_NewExceptionWithDoc(msg::PANIC_CLASS, msg::PANIC_CLASS_DOC, PyExc_BaseException, nullptr));
    if (!made) return nullptr;
    // Without a shared dictionary (never seen) the class serves this module alone.
    if (shared != nullptr && PyDict_SetItemString(shared, SHARED_KEY, made.get()) < 0) return nullptr;
    type = made.release();
    return type;
}

}  // namespace qh::py
