// cancel.hpp: stopping a running computation from outside.
//
// A long run must stop soon after the user asks (Ctrl-C), without leaving
// anything behind. The boundary gives a call a `CancelFlag`; every thread that
// works for the call (the one running it, and pool workers running its rows)
// installs it with a `CancelScope`. The algorithms call `cancel_point()` in
// their main loops, once per heap pop, queue pull or vertex of a long scan; it counts down a
// thread-local counter and only every CANCEL_POLL_EVERY calls reads the flag,
// so the cost in the loops is one decrement of a thread-local word. When the
// flag is set, the next check throws `Cancelled`, which unwinds the run and
// releases everything it owns like any other stop; the boundary turns it into
// whatever exception the interruption raised. Results are never partial: a
// cancelled run returns nothing at all.
//
// The thread-local words use the initial-exec model: the module is loaded
// once, and a read is then one instruction instead of a call to the TLS
// resolver on every poll.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qh {

// Calls of cancel_point() between two reads of the flag: a few thousand pops
// or pulls take well under a millisecond on any graph.
inline constexpr std::uint32_t CANCEL_POLL_EVERY = 2048;

// Thrown by cancel_point() once the installed flag is set. Not a
// std::exception, so that no handler of internal stops takes it by mistake.
struct Cancelled {};

// Set once, by the thread that wants the computation to stop.
class CancelFlag {
public:
    void request() noexcept { requested_.store(true, std::memory_order_relaxed); }
    bool requested() const noexcept { return requested_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> requested_{false};
};

namespace cancel_detail {
[[gnu::tls_model("initial-exec")]] inline thread_local const CancelFlag* installed = nullptr;
[[gnu::tls_model("initial-exec")]] inline thread_local std::uint32_t countdown = CANCEL_POLL_EVERY;

[[gnu::cold, gnu::noinline]] inline void check() {
    countdown = CANCEL_POLL_EVERY;
    if (installed != nullptr && installed->requested()) throw Cancelled{};
}
}  // namespace cancel_detail

// The flag installed on this thread, or null.
inline const CancelFlag* installed_cancel_flag() noexcept { return cancel_detail::installed; }

// Throws Cancelled when the installed flag is set; reads it every CANCEL_POLL_EVERY calls.
inline void cancel_point() {
    if (--cancel_detail::countdown == 0) [[unlikely]]
        cancel_detail::check();
}

// Throws Cancelled when the installed flag is set; reads it now.
inline void cancel_check() { cancel_detail::check(); }

// True when the installed flag is set; reads it now, inline (no call), for loops
// that leave by themselves and throw afterwards.
inline bool cancel_requested() noexcept {
    const CancelFlag* flag = cancel_detail::installed;
    return flag != nullptr && flag->requested();
}

// v.assign(count, value) in slices, checking for a cancel between them: filling
// fresh memory costs page faults, and one fill of a huge array can take long.
template <class V, class T>
void assign_cancellable(V& v, std::size_t count, const T& value) {
    constexpr std::size_t SLICE = std::size_t{1} << 20;
    v.clear();
    v.reserve(count);
    for (std::size_t at = 0; at < count; at += SLICE) {
        cancel_check();
        v.insert(v.end(), std::min(SLICE, count - at), value);
    }
}

// Installs `flag` (may be null) on this thread for its lifetime.
class CancelScope {
public:
    explicit CancelScope(const CancelFlag* flag) noexcept : previous_(cancel_detail::installed) {
        cancel_detail::installed = flag;
    }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;
    ~CancelScope() { cancel_detail::installed = previous_; }

private:
    const CancelFlag* previous_;
};

}  // namespace qh
