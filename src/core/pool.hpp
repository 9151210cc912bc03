// pool.hpp: the process-wide thread pool and the parallel try-for-each.
//
// A multi-source run is a list of coarse, independent rows (each a whole
// shortest-path computation), so the pool does not need work stealing of
// fine-grained tasks: what matters is that rows are handed out dynamically,
// so that a thread that finishes early takes the next range of rows instead
// of idling while another thread works through a fixed share. The pool is
// therefore a mutex, a condition variable and an intrusive queue of jobs. A
// job is a count of pieces; every thread that takes part (the workers and the
// thread that submitted the job) claims the next unclaimed piece under the
// mutex and runs it with the mutex released. The submitting thread works on
// its own job only, so it never waits while its job still has unclaimed
// pieces, several threads may submit jobs at once, and a job submitted from
// inside a piece cannot deadlock. A pool of N threads is N - 1 workers plus
// the submitting thread; N = 1 starts no thread at all.
//
// `try_for_each` cuts the row range into pieces by recursive halving (each
// piece a run of consecutive rows processed in increasing order) and adds the
// early exit: a shared stop flag, set by the first failing row, stops every
// piece before its next row, and a piece that starts with the flag set does
// nothing. Two halves combine as "both succeeded -> success, else the left
// half's error if it failed, else the right half's". That rule is
// associative, so it equals taking the error of the leftmost failed piece,
// which is what `try_for_each` does after all pieces have returned. A C++
// exception thrown by a row (an internal stop, std::bad_alloc) ends its piece
// but does not set the flag; once every piece has returned, the leftmost such
// exception is rethrown on the calling thread, and it wins over errors, since
// the row that threw has no result at all.
//
// Every thread the module starts (workers, and the thread that runs a call in
// the background) gets a stack of THREAD_STACK_BYTES, sized for what it runs
// (a shortest-path run whose deepest recursion is a few levels of BMSSP), and
// starts with every signal blocked: signals are for the interpreter's main
// thread. The pool holds at most MAX_POOL_THREADS threads whatever the
// environment asks for, and when the system refuses to start a worker the
// pool runs with those it got; results never depend on the thread count.
//
// Cancellation (cancel.hpp): `try_for_each` carries the submitting thread's
// cancel flag to every piece, which installs it for its rows and checks it
// before each row, so a cancelled call starts no new row anywhere and stops
// the running ones at their next poll.
//
// The process-wide pool is created on first use and never destroyed. After
// fork() the child has only the forking thread, so an at-fork handler simply
// forgets the parent's pool (its workers do not exist in the child and must
// never be joined or waited on); the child's first multi-source call creates
// a fresh one.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <optional>
#include <thread>
#include <utility>

#include "core/cancel.hpp"
#include "core/memory.hpp"

namespace qh {

// Pieces per pool thread that the first halving aims for; more pieces than
// threads keeps the threads busy when rows differ in cost.
constexpr std::size_t PIECES_PER_THREAD = 16;

// The largest pool, whatever RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS ask for.
constexpr std::size_t MAX_POOL_THREADS = 256;

// The stack of every thread the module starts (AddressSanitizer's redzones and
// fake frames need several times more).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t THREAD_STACK_BYTES = std::size_t{16} << 20;
#else
constexpr std::size_t THREAD_STACK_BYTES = std::size_t{2} << 20;
#endif

// Starts a joinable thread running entry(arg) with a THREAD_STACK_BYTES stack
// and every signal blocked; false (and nothing started) when the system refuses.
bool start_thread(pthread_t& thread, void* (*entry)(void*), void* arg) noexcept;

// A plain POSIX mutex. (The standard lock types would put instantiations
// of std:: templates into the module's exported symbols.)
class Mutex {
public:
    Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    ~Mutex() { pthread_mutex_destroy(&m_); }
    void lock() noexcept { pthread_mutex_lock(&m_); }
    void unlock() noexcept { pthread_mutex_unlock(&m_); }
    pthread_mutex_t* native() noexcept { return &m_; }

private:
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
};

// A plain POSIX condition variable; wait() may return spuriously.
class CondVar {
public:
    CondVar() noexcept = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;
    ~CondVar() { pthread_cond_destroy(&c_); }
    // Precondition: `mutex` is held by the calling thread.
    void wait(Mutex& mutex) noexcept { pthread_cond_wait(&c_, mutex.native()); }
    void notify_one() noexcept { pthread_cond_signal(&c_); }
    void notify_all() noexcept { pthread_cond_broadcast(&c_); }

private:
    pthread_cond_t c_ = PTHREAD_COND_INITIALIZER;
};

class Pool {
public:
    using PieceFn = void (*)(void* context, std::size_t piece) noexcept;

    // Starts min(`threads`, MAX_POOL_THREADS) - 1 workers (`threads` 0 counts as 1).
    // Workers that the system refuses to start are done without; threads() tells
    // how many ran. Throws std::bad_alloc.
    explicit Pool(std::size_t threads);
    // Joins the workers. Precondition: no run() is in progress.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The number of threads that take part in a run: workers + the caller.
    std::size_t threads() const noexcept { return workers_.size() + 1; }

    // Calls piece(context, j) exactly once for every j in [0, pieces), on the
    // workers and the calling thread, and returns when every call has
    // returned. Safe to call from several threads at once.
    void run(std::size_t pieces, PieceFn piece, void* context);

    // Checks the job queue under the mutex: head and tail both set or both null, the tail
    // the last job reached from the head, every queued job with an unclaimed piece and no
    // more pieces finished than claimed. Stops with "Pool invariant violated" on failure.
    void sanity_check();

private:
    struct Job;

    void work();
    void enqueue(Job& job);
    void unlink(Job& job);
    // Precondition: mutex_ held, job has an unclaimed piece.
    std::size_t claim(Job& job);

    Mutex mutex_;
    CondVar work_ready_;
    Job* head_ = nullptr;  // jobs with unclaimed pieces, oldest first
    Job* tail_ = nullptr;
    bool shutting_down_ = false;
    Vec<pthread_t> workers_;
};

// Runs one function on a thread of its own while the thread that started it
// waits in slices, free to look after other duties between them (the module
// checks for signals there).
class BackgroundCall {
public:
    using Fn = void (*)(void* context) noexcept;

    // Starts fn(context) on a new thread; when no thread can be started, started()
    // is false and fn has not run.
    BackgroundCall(Fn fn, void* context) noexcept;
    // Waits for fn to return. Precondition for the caller: nothing fn uses dies first.
    ~BackgroundCall();
    BackgroundCall(const BackgroundCall&) = delete;
    BackgroundCall& operator=(const BackgroundCall&) = delete;

    bool started() const noexcept { return started_; }
    // Waits at most `milliseconds` for fn to return; true once it has.
    bool wait_for(long milliseconds) noexcept;
    // Waits until fn has returned.
    void wait() noexcept;

private:
    static void* entry(void* self) noexcept;

    Fn fn_;
    void* context_;
    Mutex mutex_;
    pthread_cond_t done_cv_;
    bool done_ = false;
    bool started_ = false;
    pthread_t thread_{};
};

// The process-wide pool, created on first use: RAYON_NUM_THREADS threads when
// that holds a positive number, else RAYON_RS_NUM_CPUS, else as many as the
// CPUs in this process's affinity mask. Throws std::bad_alloc.
Pool& global_pool();

// The pool size rule on raw values: each variable (null when unset) counts
// when it is a decimal number above zero (an optional leading '+', digits
// only); `available` is the fallback.
std::size_t pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t available) noexcept;

// The CPUs this process may run on (at least 1).
std::size_t available_cpus() noexcept;

// Cuts [0, count) into consecutive pieces by recursive halving, each level
// halving `splits` too, so there are fewer than 2 * `splits` + 1 pieces.
// Returns the boundaries b, 0 = b[0] < b[1] < ... < b.back() = count; piece j
// is [b[j], b[j + 1]). Precondition: count > 0.
Vec<std::size_t> halving_bounds(std::size_t count, std::size_t splits);

// Runs body(i) for every i in [0, count) on `pool`; body returns
// std::optional<E>, an engaged value meaning row i failed. Returns nullopt
// when every row that ran succeeded, else the leftmost failed piece's error.
// Rethrows the leftmost exception a row threw, after every piece has ended.
template <class E, class Body>
std::optional<E> try_for_each(Pool& pool, std::size_t count, Body&& body) {
    if (count == 0) return std::nullopt;

    struct Outcome {
        std::optional<E> error;
        std::exception_ptr fault;
    };
    struct Context {
        Body& body;
        const Vec<std::size_t>& bounds;
        Vec<Outcome>& outcomes;
        const CancelFlag* cancel;
        std::atomic<bool> stop{false};
    };

    const Vec<std::size_t> bounds = halving_bounds(count, PIECES_PER_THREAD * pool.threads());
    const std::size_t pieces = bounds.size() - 1;
    Vec<Outcome> outcomes(pieces);
    Context context{body, bounds, outcomes, installed_cancel_flag()};

    const Pool::PieceFn run_piece = [](void* raw, std::size_t j) noexcept {
        Context& c = *static_cast<Context*>(raw);
        // Relaxed: the flag only steers the early exit; results travel
        // through the pool's mutex.
        if (c.stop.load(std::memory_order_relaxed)) return;
        Outcome& out = c.outcomes[j];
        const CancelScope scope(c.cancel);
        try {
            for (std::size_t i = c.bounds[j]; i < c.bounds[j + 1]; ++i) {
                cancel_check();
                std::optional<E> error = c.body(i);
                if (error) {
                    c.stop.store(true, std::memory_order_relaxed);
                    out.error = std::move(error);
                    return;
                }
                if (c.stop.load(std::memory_order_relaxed)) return;
            }
        } catch (...) {
            out.fault = std::current_exception();
        }
    };
    pool.run(pieces, run_piece, &context);

    for (Outcome& out : outcomes)
        if (out.fault) std::rethrow_exception(out.fault);
    for (Outcome& out : outcomes)
        if (out.error) return std::move(out.error);
    return std::nullopt;
}

}  // namespace qh
