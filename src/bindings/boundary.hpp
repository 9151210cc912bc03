// boundary.hpp: what every extension module of the package shares at the
// Python boundary.
//
// Both native modules (`_quillharbour` and `_search`) follow one road: bind
// the arguments, convert them (arrays are borrowed read-only, never converted
// implicitly), check contiguity and the CSR shape, allocate what the run
// needs, release the interpreter lock around the computation, take it back,
// then hand the result buffers to NumPy without a copy or raise the exception
// the error value maps to.
//
// Ownership at the boundary: `Ref` owns one Python reference, `GilRelease`
// owns the released lock, `hand_over` moves an `OwnedArray` into a NumPy array
// whose base is a capsule that frees the buffer with mi_free. C++ exceptions
// never cross into the interpreter: allocation failure becomes MemoryError and
// an internal stop becomes PanicException, always with the lock held.
//
// Include this header from exactly one translation unit per module: it holds
// the module's NumPy API table and its PanicException class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cxxabi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "core/run.hpp"
#include "core/cancel.hpp"
#include "core/csr.hpp"
#include "core/memory.hpp"
#include "core/pool.hpp"
#include "core/stop.hpp"
#include "core/test_hooks.hpp"

namespace qh::py {

inline constexpr const char* BMSSP_INVALID_WEIGHT = "edge weight must be finite and >= 0";
inline constexpr const char* GRAPH_TOO_LARGE =
    "graph too large: its vertex ids, or those of its constant-degree transform, do not fit the "
    "32-bit ids the algorithms use";
inline constexpr const char* NOT_CONTIGUOUS = "The given array is not contiguous";
inline constexpr const char* MALFORMED_CSR =
    "malformed CSR: indptr must be non-decreasing, start at 0, end at len(indices), and every index "
    "must be in [0, n)";
inline constexpr const char* EMPTY_INDPTR = "indptr must have length n + 1 (got empty array)";
inline constexpr const char* LENGTH_MISMATCH = "indices and weights must have the same length";
inline constexpr const char* LAST_OFFSET = "indptr[-1] must equal len(indices)";
inline constexpr const char* DIJKSTRA_NEGATIVE_WEIGHT =
    "negative or NaN edge weight encountered; Dijkstra requires weights >= 0";
inline constexpr const char* MULTI_NEGATIVE_WEIGHT = "negative or NaN edge weight encountered; weights must be >= 0";
// Predecessors leave as int32, so vertex ids must stay below 2^31.
inline constexpr std::uint64_t MAX_VERTICES = std::uint64_t{1} << 31;
inline constexpr const char* GENERIC_PANIC = "internal error in quillharbour's native core";

// ---------------------------------------------------------------------------
// Small owners

// Set while this thread gives up on retaking the interpreter lock: when the
// interpreter is finalizing, a thread other than the finalizing one that asks
// for the lock is ended with pthread_exit, which unwinds its stack without
// the lock. The destructors run by that unwind must not touch Python objects.
inline thread_local bool lock_abandoned = false;

// Owns one strong reference (or none).
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    // Leaks the reference when the thread is being ended without the lock.
    ~Ref() {
        if (!lock_abandoned) Py_XDECREF(p_);
    }

    static Ref borrowed(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for its lifetime. Retaking it may end the
// thread (interpreter finalization): the destructor then lets pthread_exit's
// forced unwind pass, which a noexcept destructor would turn into an abort.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() noexcept(false) {
        lock_abandoned = true;
        PyEval_RestoreThread(state_);
        lock_abandoned = false;
    }

private:
    PyThreadState* state_;
};

// What ended a computation abnormally; filled without the lock, raised with it.
// Interrupted: a signal handler raised an exception, which is already set.
struct Fault {
    enum class Kind { None, NoMemory, Stop, Interrupted } kind = Kind::None;
    char message[256] = {0};

    void set_stop(const char* text) noexcept {
        kind = Kind::Stop;
        std::snprintf(message, sizeof message, "%s", text);
    }
};

// A call whose work (rows x (n + nnz)) is below this ends within milliseconds:
// it runs on the calling thread, which checks for signals once it returns.
inline constexpr std::uint64_t BACKGROUND_WORK = std::uint64_t{1} << 15;
// How long the main thread waits on a background call between two looks at
// pending signals.
inline constexpr long SIGNAL_SLICE_MS = 20;

// True when signal handlers can run on this thread (the interpreter's main
// thread); only there can a signal interrupt a call. Lock held.
inline bool handles_signals() {
#if PY_VERSION_HEX < 0x030D0000
    return _PyOS_IsMainThread() != 0;
#else
    return true;  // no public test: treat every thread as the one that handles signals
#endif
}

// The work of one call with everything it throws caught, for a thread that
// does not hold the lock.
template <class Work>
struct CaughtWork {
    Work& work;
    Fault& fault;
    const CancelFlag& cancel;

    void operator()() noexcept {
        const CancelScope scope(&cancel);
        try {
            // Test builds only: provoke the failure paths that valid input cannot reach.
            if (test_fault("stop")) internal_stop("internal stop provoked by the test suite");
            if (test_fault("bad_alloc")) throw std::bad_alloc();
            if (test_fault("exception")) throw std::out_of_range("index out of range");
            work();
        } catch (const Cancelled&) {
            fault.kind = Fault::Kind::Interrupted;
        } catch (const std::bad_alloc&) {
            fault.kind = Fault::Kind::NoMemory;
        } catch (const InternalStop& stop) {
            fault.set_stop(stop.what());
        } catch (const std::exception& e) {
            fault.set_stop(e.what());
        } catch (...) {
            fault.set_stop(GENERIC_PANIC);
        }
    }
};

// Runs `work` with the lock released; exceptions are caught before the lock
// is retaken and come back as a Fault. Only the forced unwind of a thread
// ended while retaking the lock leaves by exception. `size` estimates the
// work (rows x (n + nnz)).
//
// On the main thread a call of BACKGROUND_WORK or more runs on a background thread while
// this one waits in slices of SIGNAL_SLICE_MS, retaking the lock between them
// to run the signal handlers. When one raises (KeyboardInterrupt for Ctrl-C),
// the call is cancelled, its buffers are released once the work has stopped,
// and that exception is the call's outcome, even if the work had finished:
// an interrupted call never returns a result.
template <class Work>
inline Fault run_released(Work&& work, std::uint64_t size) {
    Fault fault;
    CancelFlag cancel;
    CaughtWork<std::remove_reference_t<Work>> caught{work, fault, cancel};
    if (size < BACKGROUND_WORK || !handles_signals()) {
        GilRelease release;
        caught();
        return fault;
    }
    using Caught = decltype(caught);
    BackgroundCall call([](void* c) noexcept { (*static_cast<Caught*>(c))(); }, &caught);
    if (!call.started()) {  // no thread to spare: run here, not interruptible
        GilRelease release;
        caught();
        return fault;
    }
    // Leaving by the forced unwind of a thread ended while retaking the lock: stop the
    // work before ~BackgroundCall waits for it. (Harmless once the work has returned.)
    struct CancelOnExit {
        CancelFlag& flag;
        ~CancelOnExit() { flag.request(); }
    } cancel_on_exit{cancel};
    for (;;) {
        bool done;
        {
            GilRelease release;
            done = call.wait_for(SIGNAL_SLICE_MS);
        }
        if (done) break;
        if (PyErr_CheckSignals() < 0) {
            cancel.request();
            {
                GilRelease release;
                call.wait();
            }
            fault = Fault{};
            fault.kind = Fault::Kind::Interrupted;
            break;
        }
    }
    return fault;
}

// The PanicException class, created once on first need.
inline PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "The exception raised when an internal invariant of the native core fails.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

inline void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    PyErr_SetString(type, message[0] ? message : GENERIC_PANIC);
}

// Raises the Python exception for `fault`; returns true when there was one.
inline bool raise_fault(const Fault& fault) {
    switch (fault.kind) {
        case Fault::Kind::None:
            return false;
        case Fault::Kind::NoMemory:
            PyErr_NoMemory();
            return true;
        case Fault::Kind::Stop:
            raise_panic(fault.message);
            return true;
        case Fault::Kind::Interrupted:
            // Set by the signal handler; a cancel without one cannot happen, but must raise.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return true;
    }
    return false;
}

// Runs an entry body; C++ exceptions thrown with the lock held become
// MemoryError or PanicException.
// The forced unwind of a thread ended while retaking the lock passes through.
template <class Body>
inline PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(GENERIC_PANIC);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// NumPy

inline bool ensure_numpy() {
    static bool ready = false;
    if (!ready) {
        if (_import_array() < 0) return false;
        ready = true;
    }
    return true;
}

inline void free_buffer(PyObject* capsule) {
    mi_free(PyCapsule_GetPointer(capsule, "quillharbour.buffer"));
}

// Moves `buffer` into a new 1-D NumPy array (no copy); the array's base is a
// capsule that frees the storage. On failure the buffer is freed.
template <class T>
inline PyObject* hand_over(OwnedArray<T>& buffer, int typenum) {
    npy_intp length = static_cast<npy_intp>(buffer.size());
    Ref capsule(PyCapsule_New(buffer.data(), "quillharbour.buffer", free_buffer));
    if (!capsule) return nullptr;
    T* data = buffer.release();  // the capsule owns it now
    Ref array(PyArray_SimpleNewFromData(1, &length, typenum, data));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0)
        return nullptr;
    return array.release();
}

// Builds a tuple from new references, taking them all (also on failure).
inline PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    Ref owned[4];
    std::size_t i = 0;
    for (PyObject* item : items) owned[i++] = Ref(item);
    for (std::size_t j = 0; j < i; ++j)
        if (!owned[j]) return nullptr;
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(i));
    if (tuple == nullptr) return nullptr;
    for (std::size_t j = 0; j < i; ++j) PyTuple_SET_ITEM(tuple, j, owned[j].release());
    return tuple;
}

// ---------------------------------------------------------------------------
// Argument conversion

// Re-raises a pending TypeError as "argument '<name>': <message>".
inline void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref t(type), v(value), tb(traceback);
    Ref text(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': invalid value", name);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

// A borrowed, read-only, one-dimensional array of T.
template <class T>
struct ArrayArg {
    Ref array;
    const char* name = "";

    PyArrayObject* arr() const noexcept { return reinterpret_cast<PyArrayObject*>(array.get()); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(PyArray_DIM(arr(), 0)); }
    bool contiguous() const noexcept {
        return PyArray_IS_C_CONTIGUOUS(arr()) || PyArray_IS_F_CONTIGUOUS(arr());
    }
    std::span<const T> view() const noexcept {
        return {static_cast<const T*>(PyArray_DATA(arr())), size()};
    }
};

template <class T>
inline bool take_array(PyObject* obj, const char* name, int typenum, const char* dtype_name, ArrayArg<T>& out) {
    out.name = name;
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not a numpy.ndarray", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 1) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a 1-dimensional array, got %d dimensions",
                     name, PyArray_NDIM(arr));
        return false;
    }
    Ref wanted(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum)));
    if (!wanted) return false;
    if (!PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(wanted.get()))) {
        Ref got(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
        if (!got) return false;
        PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of dtype %s, got %U", name,
                     dtype_name, got.get());
        return false;
    }
    out.array = Ref::borrowed(obj);
    return true;
}

inline bool take_i64(PyObject* obj, const char* name, std::int64_t& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(name);
        return false;
    }
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;  // OverflowError, unprefixed
    out = value;
    return true;
}

// `obj` may be null (argument omitted): then `out` keeps its default.
inline bool take_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    if (obj == nullptr) return true;
    Ref index(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

template <class... Arrays>
inline bool all_contiguous(const Arrays&... arrays) {
    const bool ok = (arrays.contiguous() && ...);
    if (!ok) PyErr_SetString(PyExc_TypeError, NOT_CONTIGUOUS);
    return ok;
}

// The graph arrays every entry takes first.
struct GraphArgs {
    ArrayArg<std::int64_t> indptr;
    ArrayArg<std::int32_t> indices;
    ArrayArg<double> weights;

    bool take(PyObject* p, PyObject* i, PyObject* w) {
        return take_array(p, "indptr", NPY_INT64, "int64", indptr) &&
               take_array(i, "indices", NPY_INT32, "int32", indices) &&
               take_array(w, "weights", NPY_FLOAT64, "float64", weights);
    }
};

// ---------------------------------------------------------------------------
// Shape checks

inline void raise_source_out_of_range(std::int64_t source, std::uint64_t n) {
    PyErr_Format(PyExc_IndexError, "source %lld is out of range for graph with %llu vertices",
                 static_cast<long long>(source), static_cast<unsigned long long>(n));
}

// The shape checks of the multi-source entries (no source test).
inline bool check_multi_shape(std::span<const std::int64_t> indptr, std::size_t indices_len,
                       std::size_t weights_len) {
    if (indptr.empty()) {
        PyErr_SetString(PyExc_ValueError, EMPTY_INDPTR);
        return false;
    }
    if (indices_len != weights_len) {
        PyErr_SetString(PyExc_ValueError, LENGTH_MISMATCH);
        return false;
    }
    if (indptr.back() != static_cast<std::int64_t>(indices_len)) {
        PyErr_SetString(PyExc_ValueError, LAST_OFFSET);
        return false;
    }
    return true;
}

// Refuses, before anything is allocated or copied, a graph whose vertex ids
// would not fit the int32 predecessors every entry returns.
inline bool check_vertex_limit(std::uint64_t n) {
    if (n <= MAX_VERTICES) return true;
    PyErr_Format(PyExc_ValueError,
                 "graph too large: %llu vertices, but vertex ids must fit in int32 (at most %llu vertices)",
                 static_cast<unsigned long long>(n), static_cast<unsigned long long>(MAX_VERTICES));
    return false;
}

// The multi-source entries' checks of a converted graph: its shape, then the id limit.
// Stores n.
inline bool checked_multi_graph(const GraphArgs& g, std::uint64_t& n) {
    if (!check_multi_shape(g.indptr.view(), g.indices.size(), g.weights.size())) return false;
    n = g.indptr.size() - 1;
    return check_vertex_limit(n);
}

// The cells (rows x n) of a result with a row per source, or false with MemoryError set;
// `work` is rows x (n + nnz), saturated, for run_released.
inline bool row_cells(std::size_t rows, std::uint64_t n, std::size_t nnz, std::size_t& cells, std::uint64_t& work) {
    if (__builtin_mul_overflow(rows, n, &cells)) {
        PyErr_NoMemory();
        return false;
    }
    if (__builtin_mul_overflow(rows, n + nnz, &work)) work = UINT64_MAX;
    return true;
}

// ---------------------------------------------------------------------------
// CSR checks and the owned copy

// Shape checks shared by the single-source entries. Returns false with an
// exception set, else stores n.
inline bool check_csr(std::span<const std::int64_t> indptr, std::size_t indices_len, std::size_t weights_len,
               std::int64_t source, std::uint64_t& n) {
    if (indptr.empty()) {
        PyErr_SetString(PyExc_ValueError, EMPTY_INDPTR);
        return false;
    }
    n = indptr.size() - 1;
    if (source < 0 || static_cast<std::uint64_t>(source) >= n) {
        raise_source_out_of_range(source, n);
        return false;
    }
    if (indices_len != weights_len) {
        PyErr_SetString(PyExc_ValueError, LENGTH_MISMATCH);
        return false;
    }
    if (indptr[n] != static_cast<std::int64_t>(indices_len)) {
        PyErr_SetString(PyExc_ValueError, LAST_OFFSET);
        return false;
    }
    return true;
}

// Copies a shape-checked graph into an owned Csr, then validates the copy.
// Precondition: indptr is not empty. Returns false with ValueError set.
//
// The caller's arrays are read exactly once: another thread may be writing
// them while we copy (NumPy releases the interpreter lock for its own
// copies), so every check runs on the owned copy, including the last offset
// that check_csr read from the caller's memory. A racing writer then yields
// some consistent graph or the malformed-CSR error, never an unchecked value.
inline bool to_owned_csr(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
                  std::span<const double> weights, std::uint64_t n, Csr& out) {
    const std::uint64_t nnz = indices.size();
    // Chunk by chunk: copy, then check the copy while it is still in cache, with no early
    // exit inside a chunk so that the check vectorises.
    constexpr std::size_t CHUNK = 1024;
    out.indptr.reserve(indptr.size());
    out.indices.reserve(indices.size());
    // Read as their unsigned twins (allowed aliasing), the chunks copy with memmove.
    const auto* offsets = reinterpret_cast<const std::uint64_t*>(indptr.data());
    const auto* heads = reinterpret_cast<const std::uint32_t*>(indices.data());
    bool ok = true;
    for (std::size_t at = 0; ok && at < indptr.size(); at += CHUNK) {
        const std::size_t end = std::min(at + CHUNK, indptr.size());
        out.indptr.insert(out.indptr.end(), offsets + at, offsets + end);
        // As u64 a negative offset is above nnz, so one unsigned test covers both bounds.
        const std::uint64_t* row = out.indptr.data();
        unsigned bad = 0;
        for (std::size_t i = std::max<std::size_t>(at, 1); i < end; ++i)
            bad |= static_cast<unsigned>(row[i] < row[i - 1]) | static_cast<unsigned>(row[i] > nnz);
        ok = bad == 0;
    }
    ok = ok && out.indptr.front() == 0 && out.indptr.back() == nnz;
    // Valid heads lie below min(n, 2^31); read as u32, a negative head is 2^31 or more.
    const auto limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, std::uint64_t{1} << 31));
    for (std::size_t at = 0; ok && at < indices.size(); at += CHUNK) {
        const std::size_t end = std::min(at + CHUNK, indices.size());
        out.indices.insert(out.indices.end(), heads + at, heads + end);
        const std::uint32_t* head = out.indices.data();
        unsigned bad = 0;  // an integer, not a bool: the reduction vectorises
        for (std::size_t e = at; e < end; ++e) bad |= head[e] >= limit;
        ok = bad == 0;
    }
    if (!ok) {
        out = Csr{};
        PyErr_SetString(PyExc_ValueError, MALFORMED_CSR);
        return false;
    }
    out.weights.assign(weights.begin(), weights.end());
    out.n = n;
    return true;
}

// The structural rules of to_owned_csr on the caller's arrays, read in place and
// without allocating: for a call that runs nothing on the graph, so that no
// later read depends on what was checked.
inline bool valid_in_place(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices, std::uint64_t n) {
    const std::uint64_t nnz = indices.size();
    const auto* row = reinterpret_cast<const std::uint64_t*>(indptr.data());
    unsigned bad = row[0] != 0 || row[indptr.size() - 1] != nnz;
    for (std::size_t i = 1; i < indptr.size(); ++i)
        bad |= static_cast<unsigned>(row[i] < row[i - 1]) | static_cast<unsigned>(row[i] > nnz);
    const auto limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, std::uint64_t{1} << 31));
    for (const std::int32_t head : indices) bad |= static_cast<std::uint32_t>(head) >= limit;
    if (bad == 0) return true;
    PyErr_SetString(PyExc_ValueError, MALFORMED_CSR);
    return false;
}

// The single-source BMSSP entries' road to an owned graph: shape and source
// checks, the id limit, then the validated copy.
inline bool checked_owned_csr(const GraphArgs& g, std::int64_t source, std::uint64_t& n, Csr& csr) {
    return check_csr(g.indptr.view(), g.indices.size(), g.weights.size(), source, n) && check_vertex_limit(n) &&
           to_owned_csr(g.indptr.view(), g.indices.view(), g.weights.view(), n, csr);
}

// ---------------------------------------------------------------------------
// Error mapping

inline void map_bmssp_err(BmsspError error, std::int64_t source, std::uint64_t n) {
    switch (error) {
        case BmsspError::SourceOutOfRange:
            raise_source_out_of_range(source, n);
            return;
        case BmsspError::InvalidWeight:
            PyErr_SetString(PyExc_ValueError, BMSSP_INVALID_WEIGHT);
            return;
        case BmsspError::GraphTooLarge:
            PyErr_SetString(PyExc_ValueError, GRAPH_TOO_LARGE);
            return;
    }
}

// ---------------------------------------------------------------------------
// Modules

// A method table's function pointer, whatever its signature.
#define QH_FN(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

// False with ImportError set when `module` is being imported into a sub-interpreter.
inline bool in_main_interpreter(const char* module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    PyErr_Format(PyExc_ImportError, "%s does not support sub-interpreters; import it from the main interpreter",
                 module);
    return false;
}

}  // namespace qh::py
