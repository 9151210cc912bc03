// numpy.cpp: the NumPy interface table of the module, and result hand-over.
#define QH_NUMPY_IMPORT
#include "bindings/numpy.hpp"

namespace qh::py {

namespace {

constexpr const char* BUFFER_CAPSULE = "quillharbour.buffer";

void free_buffer(PyObject* capsule) { mi_free(PyCapsule_GetPointer(capsule, BUFFER_CAPSULE)); }

}  // namespace

bool ensure_numpy() {
    static bool ready = false;
    if (!ready) {
        if (_import_array() < 0) return false;
        ready = true;
    }
    return true;
}

PyObject* hand_over_buffer(void* data, std::size_t length, int typenum) {
    npy_intp dims = static_cast<npy_intp>(length);
    Ref capsule(PyCapsule_New(data, BUFFER_CAPSULE, free_buffer));
    if (!capsule) {
        mi_free(data);
        return nullptr;
    }
    // From here the capsule owns the buffer.
    Ref array(PyArray_SimpleNewFromData(1, &dims, typenum, data));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return nullptr;
    return array.release();
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    Ref owned[6];
    std::size_t i = 0;
    for (PyObject* item : items) owned[i++] = Ref(item);
    for (std::size_t j = 0; j < i; ++j)
        if (!owned[j]) return nullptr;
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(i));
    if (tuple == nullptr) return nullptr;
    for (std::size_t j = 0; j < i; ++j) PyTuple_SET_ITEM(tuple, j, owned[j].release());
    return tuple;
}

}  // namespace qh::py
