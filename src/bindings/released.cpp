// released.cpp: the lock released around a computation, and signals during it.
#include "bindings/released.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>

#include "bindings/errors.hpp"
#include "bindings/messages.hpp"
#include "core/cancel.hpp"
#include "core/memory.hpp"
#include "core/pool.hpp"
#include "core/stop.hpp"
#include "core/test_hooks.hpp"

namespace qh::py {

namespace {

// True when signal handlers can run on this thread (the interpreter's main
// thread); only there can a signal interrupt a call. Lock held.
bool handles_signals() {
#if PY_VERSION_HEX < 0x030D0000
    return _PyOS_IsMainThread() != 0;
#else
    return true;  // no public test: treat every thread as the one that handles signals
#endif
}

// The work of one call with everything it throws caught, for a thread that
// does not hold the lock.
struct CaughtWork {
    WorkRef work;
    Fault& fault;
    const CancelFlag& cancel;

    void operator()() noexcept {
        const CancelScope scope(&cancel);
        try {
            // Test builds only: provoke the failure paths that valid input cannot reach.
            if (test_fault("stop")) internal_stop(msg::PROVOKED_STOP);
            if (test_fault("bad_alloc")) throw std::bad_alloc();
            if (test_fault("exception")) throw std::out_of_range(msg::PROVOKED_EXCEPTION);
            work();
        } catch (const Cancelled&) {
            fault.kind = Fault::Kind::Interrupted;
        } catch (const OutOfMemory& e) {
            fault.kind = Fault::Kind::NoMemory;
            fault.bytes = e.bytes;
        } catch (const std::bad_alloc&) {
            fault.kind = Fault::Kind::NoMemory;
        } catch (const InternalStop& stop) {
            fault.set_stop(stop.what());
        } catch (const std::exception& e) {
            fault.set_stop(e.what());
        } catch (...) {
            fault.set_stop(msg::GENERIC_PANIC);
        }
    }
};

}  // namespace

void Fault::set_stop(const char* text) noexcept {
    kind = Kind::Stop;
    std::snprintf(message, sizeof message, "%s", text);
}

Fault run_released(WorkRef work, std::uint64_t size) {
    Fault fault;
    CancelFlag cancel;
    CaughtWork caught{work, fault, cancel};
    if (size < BACKGROUND_WORK || !handles_signals()) {
        GilRelease release;
        caught();
        return fault;
    }
    BackgroundCall call([](void* c) noexcept { (*static_cast<CaughtWork*>(c))(); }, &caught);
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

bool released(WorkRef work, std::uint64_t size) { return !raise_fault(run_released(work, size)); }

}  // namespace qh::py
