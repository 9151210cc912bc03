// adjacency_reader.hpp: a networkx graph's adjacency (a dict of dicts) read
// into CSR arrays, for the `_search` module's read_adjacency.
//
// Row u lists u's neighbours in the order of its adjacency dict, which is the
// order networkx relaxes them in; a multigraph's row holds one arc per
// neighbour, weighted by the least of its parallel edges' weights, the first
// least one as Python's `min` keeps it. A weight is the edge attribute `key`,
// 1 where absent. Every chosen weight is classified (`WeightKinds`) so that the
// caller can tell whether float64 arithmetic reproduces Python's on it.
//
// Only exact dicts are read here (a subclass may iterate in another order);
// on anything else the reader returns None and the caller reads in Python.
// Looking a label up may run Python code (a user-defined __hash__ or __eq__),
// which could change the dicts: the reader holds a reference to everything it
// is reading and refuses a dict whose size changed, as Python's own iteration
// does.
#pragma once

#include "bindings/python.hpp"  // first: Python.h precedes the standard headers

#include <cstdint>

#include "core/memory.hpp"

namespace qh::py {

// Bits describing the weights read.
enum WeightKinds : int {
    KIND_INT = 1,       // an int or bool within +-2^53 (exact in float64)
    KIND_FLOAT = 2,     // a float
    KIND_OTHER = 4,     // anything else: a larger int, a NumPy scalar, a str, ...
    KIND_NEGATIVE = 8,  // some weight < 0
    KIND_NAN = 16,      // some weight is NaN
    KIND_ALIASED = 32,  // a neighbour is keyed by an object that equals its node's label but is not it
};

// Reads `adj` into `indptr`, `indices`, `weights` (weights only when `key` is
// not null). `index` maps labels to vertex ids and `nodes` lists the labels by
// id; a null index means the labels are the ints 0 .. n-1 in order, which is
// checked: `unsupported` is set when they are not (or when a neighbour is not
// such an int), and nothing is returned. Returns false with an exception set
// on failure.
struct AdjacencyRead {
    OwnedArray<std::int64_t> indptr;
    OwnedArray<std::int32_t> indices;
    OwnedArray<double> weights;
    int kinds = 0;
    bool unsupported = false;  // not exact dicts, or labels not 0 .. n-1: read in Python instead

    bool read(PyObject* adj, PyObject* index, PyObject* nodes, PyObject* key, bool multigraph);

private:
    bool unsupported_input();
    bool head_id(PyObject* head, PyObject* index, PyObject* nodes, Py_ssize_t n, std::int64_t& id);
};

}  // namespace qh::py
