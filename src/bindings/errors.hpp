// errors.hpp: every error value of the core, and every abnormal end of a computation,
// turned into its Python exception, in one place.
//
// The core returns plain error values (BmsspError, DijkstraError, MultiError, SearchError,
// EndpointOutOfRange) and throws only internal stops, allocation failures and cancellation;
// the functions here raise what each maps to, with the messages of messages.hpp. Every
// `raise_*` sets an exception and returns null, so that an entry can `return raise_...`.
#pragma once

#include "bindings/python.hpp"  // first: Python.h precedes the standard headers

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bindings/released.hpp"
#include "core/dijkstra.hpp"
#include "core/group.hpp"
#include "core/multi.hpp"
#include "core/room.hpp"
#include "core/run.hpp"
#include "core/search.hpp"

namespace qh::py {

// Raises the exception for `fault` (PanicException for a stop, MemoryError, or keeps the one
// a signal handler raised); returns true when there was one.
bool raise_fault(const Fault& fault);

// Raises PanicException with `message` (the generic text when it is empty).
void raise_panic(const char* message);

// Runs an entry's body; C++ exceptions thrown with the lock held become MemoryError or
// PanicException. The forced unwind of a thread ended while retaking the lock passes through.
PyObject* guarded(PyObject* (*body)(PyObject* args, PyObject* kwargs), PyObject* args, PyObject* kwargs);

// The IndexError of a source outside [0, n).
PyObject* raise_source_out_of_range(std::int64_t source, std::uint64_t n);
// The IndexError of a target outside [0, n).
PyObject* raise_target_out_of_range(std::int64_t target, std::uint64_t n);

// Memory. Every MemoryError says what was asked for, in NumPy's words ("Unable to allocate
// 1.13 TiB for ..."), with what bounds this process's room when that is known (room.hpp).

// MemoryError "Unable to allocate <bytes> for <subject>[; <bound>]"; `bytes` SIZE_MAX: the
// size itself overflowed.
PyObject* raise_no_memory(std::uint64_t bytes, const Room& room, const char* subject);
// MemoryError for an allocation that failed inside a call (`bytes` 0: size not known).
PyObject* raise_failed_allocation(std::size_t bytes);
// False with MemoryError set when `bytes` (for `subject`) is more than this process can ever
// be given.
bool check_room(std::uint64_t bytes, const char* subject);

// A single-source BMSSP run's error, with the caller's source and the vertex count n.
PyObject* raise_error(BmsspError error, std::int64_t source, std::uint64_t n);
// The single-source Dijkstra run's error.
PyObject* raise_error(DijkstraError error);
// A multi-source run's error; n is the entry's vertex count.
PyObject* raise_error(const MultiError& error, std::uint64_t n);
// An extended search's error; `negative_weight` is the entry's own text for that case.
PyObject* raise_error(const SearchError& error, std::uint64_t n, const char* negative_weight);
// group_arcs's out-of-range endpoint, with the arcs' base and the vertex count n.
PyObject* raise_error(const EndpointOutOfRange& error, std::int64_t base, std::uint64_t n);

// The ValueError for a name that is no variant: `unknown bmssp variant "<name>"; known:
// ["tuned", ...]`, the name (valid UTF-8) quoted with \" \\ \t \r \n \0 escaped and every code
// point that Python does not print written as \u{hex}; printable text, non-ASCII included,
// stays as it is.
PyObject* raise_unknown_variant(std::string_view name);

}  // namespace qh::py
