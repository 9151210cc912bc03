// released.hpp: running a computation with the interpreter lock released, and Ctrl-C.
//
// Every computation runs without the lock (GilRelease) and with every exception caught
// before the lock is retaken: what ended it abnormally comes back as a `Fault`, raised once
// the lock is held again (errors.hpp). C++ exceptions never cross into the interpreter.
//
// Signals. Only the interpreter's main thread runs signal handlers. There a call of
// BACKGROUND_WORK or more runs on a background thread while the main thread waits in
// slices of SIGNAL_SLICE_MS, retaking the lock between them to run the handlers. When one
// raises (KeyboardInterrupt for Ctrl-C), the call is cancelled (cancel.hpp), its buffers are
// released once the work has stopped, and that exception is the call's outcome, even if the
// work had finished: an interrupted call never returns a result.
#pragma once

#include "bindings/python.hpp"  // first: Python.h precedes the standard headers

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qh::py {

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
// NoMemory: `bytes` is the refused request (0: not known).
struct Fault {
    enum class Kind { None, NoMemory, Stop, Interrupted } kind = Kind::None;
    char message[256] = {0};
    std::size_t bytes = 0;

    // A stop with `text` (copied, cut to fit).
    void set_stop(const char* text) noexcept;
};

// A borrowed callable `void()`: the work of one call, handed to code that is no template.
class WorkRef {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, WorkRef>)
    WorkRef(F&& f) noexcept  // NOLINT: converts from any callable, by design
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o) { (*static_cast<std::remove_reference_t<F>*>(o))(); }) {}
    void operator()() const { call_(object_); }

private:
    void* object_;
    void (*call_)(void*);
};

// A call whose work (rows x (n + nnz)) is below this ends within milliseconds:
// it runs on the calling thread, which checks for signals once it returns.
inline constexpr std::uint64_t BACKGROUND_WORK = std::uint64_t{1} << 15;
// How long the main thread waits on a background call between two looks at
// pending signals.
inline constexpr long SIGNAL_SLICE_MS = 20;

// Runs `work` with the lock released (lock held on entry and on return); everything it
// throws comes back as the Fault. Only the forced unwind of a thread ended while retaking
// the lock leaves by exception. `size` estimates the work (rows x (n + nnz)).
Fault run_released(WorkRef work, std::uint64_t size);

// run_released, then the fault raised: true when the work ended normally, else false with
// the exception set.
bool released(WorkRef work, std::uint64_t size);

}  // namespace qh::py
