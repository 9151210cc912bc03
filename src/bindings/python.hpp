// python.hpp: the interpreter's C API, as every file of the bindings includes it (first: Python.h
// must precede the standard headers), and the owner of one Python reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qh::py {

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

    // A new reference to `p` (may be null).
    static Ref borrowed(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    PyObject* get() const noexcept { return p_; }
    // Gives the reference away.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace qh::py
