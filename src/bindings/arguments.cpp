// arguments.cpp: the converters of arguments.hpp.
#include "bindings/arguments.hpp"

#include <cstdio>

#include "bindings/messages.hpp"

namespace qh::py {

namespace {

// The dtype name of T in messages.
template <class T>
constexpr const char* dtype_name();
template <>
constexpr const char* dtype_name<double>() {
    return "float64";
}
template <>
constexpr const char* dtype_name<std::int32_t>() {
    return "int32";
}
template <>
constexpr const char* dtype_name<std::int64_t>() {
    return "int64";
}

}  // namespace

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref t(type), v(value), tb(traceback);
    Ref text(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, msg::INVALID_VALUE, name);
        return;
    }
    PyErr_Format(PyExc_TypeError, msg::PREFIXED_TYPE_ERROR, name, text.get());
}

void note_argument(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        char note[96];
        std::snprintf(note, sizeof note, msg::ARGUMENT_NOTE, name);
        Ref done(PyObject_CallMethod(value, "add_note", "s", note));
        if (!done) PyErr_Clear();  // the original exception matters more than its note
    }
    PyErr_Restore(type, value, traceback);
}

template <class T>
bool take_array(PyObject* obj, const char* name, ArrayArg<T>& out) {
    out.name = name;
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, msg::NOT_AN_ARRAY, name, Py_TYPE(obj)->tp_name);
        return false;
    }
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 1) {
        PyErr_Format(PyExc_TypeError, msg::WRONG_DIMENSIONS, name, PyArray_NDIM(arr));
        return false;
    }
    Ref wanted(reinterpret_cast<PyObject*>(PyArray_DescrFromType(numpy_type<T>())));
    if (!wanted) return false;
    if (!PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(wanted.get()))) {
        Ref got(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
        if (!got) return false;
        PyErr_Format(PyExc_TypeError, msg::WRONG_DTYPE, name, dtype_name<T>(), got.get());
        return false;
    }
    out.array = Ref::borrowed(obj);
    return true;
}

template bool take_array<double>(PyObject*, const char*, ArrayArg<double>&);
template bool take_array<std::int32_t>(PyObject*, const char*, ArrayArg<std::int32_t>&);
template bool take_array<std::int64_t>(PyObject*, const char*, ArrayArg<std::int64_t>&);

bool take_i64(PyObject* obj, const char* name, std::int64_t& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(name);
        return false;
    }
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {  // OverflowError: the interpreter's text, the name in a note
        note_argument(name);
        return false;
    }
    out = value;
    return true;
}

bool take_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    if (obj == nullptr) return true;
    Ref index(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        note_argument(name);
        return false;
    }
    out = value;
    return true;
}

bool take_limit(PyObject* obj, double& out) {
    if (obj == nullptr || obj == Py_None) return true;
    const double limit = PyFloat_AsDouble(obj);
    if (limit == -1.0 && PyErr_Occurred()) {
        prefix_type_error("limit");
        return false;
    }
    if (!(limit >= 0.0)) {  // NaN included
        PyErr_SetString(PyExc_ValueError, msg::NEGATIVE_LIMIT);
        return false;
    }
    out = limit;
    return true;
}

bool take_variant_name(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, msg::VARIANT_NOT_STR, Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &length);
    if (text == nullptr) return false;
    out = std::string_view(text, static_cast<std::size_t>(length));
    return true;
}

void raise_not_contiguous(const char* name) {
    PyErr_SetString(PyExc_TypeError, msg::NOT_CONTIGUOUS);
    note_argument(name);
}

bool GraphArgs::take(PyObject* p, PyObject* i, PyObject* w) {
    return take_array(p, "indptr", indptr) && take_array(i, "indices", indices) && take_array(w, "weights", weights);
}

}  // namespace qh::py
