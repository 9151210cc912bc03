// adjacency_reader.cpp: reading a dict-of-dicts adjacency into CSR arrays.
#include "bindings/adjacency_reader.hpp"

#include <cstring>

#include "bindings/csr_checks.hpp"
#include "bindings/messages.hpp"

namespace qh::py {

namespace {

constexpr long long EXACT_INT_LIMIT = 1LL << 53;

// The kind bits of one weight object, and its value when it is an int or a float.
int weight_kind(PyObject* w, double& value) {
    if (PyFloat_CheckExact(w)) {
        value = PyFloat_AS_DOUBLE(w);
        if (value != value) return KIND_FLOAT | KIND_NAN;
        return value < 0.0 ? KIND_FLOAT | KIND_NEGATIVE : KIND_FLOAT;
    }
    if (PyLong_CheckExact(w) || PyBool_Check(w)) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(w, &overflow);
        if (overflow != 0 || x > EXACT_INT_LIMIT || x < -EXACT_INT_LIMIT) return KIND_OTHER;
        value = static_cast<double>(x);
        return x < 0 ? KIND_INT | KIND_NEGATIVE : KIND_INT;
    }
    return KIND_OTHER;
}

// The weight of one adjacency entry: `data` is an edge's attribute dict, or a
// multigraph's dict of them. Returns the kind bits (KIND_OTHER for a dict that
// is not exact) or -1 with an exception set.
int entry_weight(PyObject* data, PyObject* key, bool multigraph, double& value) {
    auto one = [&](PyObject* attrs, double& v) -> int {
        if (!PyDict_CheckExact(attrs)) return KIND_OTHER;
        PyObject* w = PyDict_GetItemWithError(attrs, key);  // borrowed
        if (w == nullptr) {
            if (PyErr_Occurred()) return -1;
            v = 1.0;
            return KIND_INT;
        }
        return weight_kind(w, v);
    };
    if (!multigraph) return one(data, value);
    if (!PyDict_CheckExact(data) || PyDict_GET_SIZE(data) == 0) return KIND_OTHER;
    Ref hold = Ref::borrowed(data);
    int chosen = 0, others = 0;
    Py_ssize_t pos = 0;
    PyObject *edge_key, *attrs;
    while (PyDict_Next(data, &pos, &edge_key, &attrs)) {
        Ref keep = Ref::borrowed(attrs);
        double v = 0.0;
        const int kind = one(attrs, v);
        if (kind < 0) return -1;
        others |= kind & KIND_OTHER;
        if (chosen == 0 || v < value) {  // min keeps the first of equal weights
            chosen = kind;
            value = v;
        }
    }
    return chosen | others;
}

bool changed() {
    PyErr_SetString(PyExc_RuntimeError, msg::GRAPH_CHANGED);
    return false;
}

// Whether two labels known to be equal cannot be told apart: the same object, or equal exact
// ints, strs or bytes, floats with the same bits (not 0.0 and -0.0), or tuples of such.
bool same_label(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (Py_TYPE(a) != Py_TYPE(b)) return false;
    if (PyLong_CheckExact(a) || PyUnicode_CheckExact(a) || PyBytes_CheckExact(a)) return true;
    if (PyFloat_CheckExact(a)) {
        const double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (!PyTuple_CheckExact(a) || PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); ++i)
        if (!same_label(PyTuple_GET_ITEM(a, i), PyTuple_GET_ITEM(b, i))) return false;
    return true;
}

}  // namespace

bool AdjacencyRead::read(PyObject* adj, PyObject* index, PyObject* nodes, PyObject* key, bool multigraph) {
    if (!PyDict_CheckExact(adj) || (index != nullptr && !PyDict_CheckExact(index))) return unsupported_input();
    if (index != nullptr && !(PyList_CheckExact(nodes) && PyList_GET_SIZE(nodes) == PyDict_GET_SIZE(adj))) {
        PyErr_SetString(PyExc_ValueError, msg::NODES_NOT_A_LIST);
        return false;
    }
    Ref hold_adj = Ref::borrowed(adj);
    const Py_ssize_t n = PyDict_GET_SIZE(adj);
    if (static_cast<std::uint64_t>(n) > MAX_VERTICES) return check_vertex_limit(static_cast<std::uint64_t>(n));
    indptr = OwnedArray<std::int64_t>::uninitialized(static_cast<std::size_t>(n) + 1);
    indptr.data()[0] = 0;
    Py_ssize_t pos = 0, u = 0;
    PyObject *label, *row;
    while (PyDict_Next(adj, &pos, &label, &row)) {  // degrees, and the labels in identity mode
        if (!PyDict_CheckExact(row)) return unsupported_input();
        if (index == nullptr && !(PyLong_CheckExact(label) && PyLong_AsSsize_t(label) == u)) {
            PyErr_Clear();
            return unsupported_input();
        }
        indptr.data()[u + 1] = indptr.data()[u] + PyDict_GET_SIZE(row);
        ++u;
    }
    const auto m = static_cast<std::size_t>(indptr.data()[n]);
    indices = OwnedArray<std::int32_t>::uninitialized(m);
    weights = OwnedArray<double>::uninitialized(key != nullptr ? m : 0);
    pos = 0;
    u = 0;
    std::size_t e = 0;
    while (PyDict_Next(adj, &pos, &label, &row)) {
        Ref hold_row = Ref::borrowed(row);
        if (u >= n || PyDict_GET_SIZE(row) != indptr.data()[u + 1] - indptr.data()[u]) return changed();
        Py_ssize_t at = 0;
        PyObject *head, *data;
        while (PyDict_Next(row, &at, &head, &data)) {
            Ref hold_head = Ref::borrowed(head), hold_data = Ref::borrowed(data);
            if (e >= m) return changed();
            std::int64_t id = 0;
            if (!head_id(head, index, nodes, n, id)) return false;
            if (unsupported) return false;
            indices.data()[e] = static_cast<std::int32_t>(id);
            if (key != nullptr) {
                const int kind = entry_weight(data, key, multigraph, weights.data()[e]);
                if (kind < 0) return false;
                kinds |= kind;
            }
            ++e;
        }
        if (PyDict_GET_SIZE(row) != indptr.data()[u + 1] - indptr.data()[u]) return changed();
        ++u;
    }
    if (u != n || e != m || PyDict_GET_SIZE(adj) != n) return changed();
    return true;
}

bool AdjacencyRead::unsupported_input() {
    unsupported = true;
    return false;
}

bool AdjacencyRead::head_id(PyObject* head, PyObject* index, PyObject* nodes, Py_ssize_t n, std::int64_t& id) {
    if (index == nullptr) {
        const Py_ssize_t v = PyLong_CheckExact(head) ? PyLong_AsSsize_t(head) : -1;
        if (v < 0 || v >= n) {
            PyErr_Clear();
            unsupported = true;
            return true;
        }
        id = v;
        return true;
    }
    // Held: converting an id that is not an int runs its __index__, which may change `index`.
    Ref found = Ref::borrowed(PyDict_GetItemWithError(index, head));
    if (!found) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, msg::NOT_A_NODE);
        return false;
    }
    id = PyLong_AsLongLong(found.get());
    if (id == -1 && PyErr_Occurred()) return false;
    if (id < 0 || id >= n) {
        PyErr_SetString(PyExc_ValueError, msg::INDEX_OUTSIDE);
        return false;
    }
    // (Looking the label up may have run code that shrank `nodes`.)
    if (id >= PyList_GET_SIZE(nodes) || !same_label(head, PyList_GET_ITEM(nodes, id))) kinds |= KIND_ALIASED;
    return true;
}

}  // namespace qh::py
