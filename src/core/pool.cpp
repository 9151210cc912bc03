// pool.cpp: the worker threads, the job queue and the process-wide pool.
// The design and its invariants are described in pool.hpp.
#include "core/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "core/stop.hpp"

namespace qh {

// One run() call; lives on the submitting thread's stack. `next` and
// `finished` are guarded by the pool's mutex. The job sits in the queue while
// it has unclaimed pieces; the submitter returns (destroying the job) only
// after `finished` reached `pieces`, and whoever finishes the last piece
// notifies with the mutex held, so no thread touches the job afterwards.
struct Pool::Job {
    Job(PieceFn f, void* c, std::size_t p) noexcept : piece(f), context(c), pieces(p) {}

    PieceFn piece;
    void* context;
    std::size_t pieces;
    std::size_t next = 0;
    std::size_t finished = 0;
    Job* link = nullptr;
    CondVar all_finished;
};

bool start_thread(pthread_t& thread, void* (*entry)(void*), void* arg) noexcept {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool ok = pthread_attr_setstacksize(&attr, THREAD_STACK_BYTES) == 0;
    // The new thread inherits the signal mask: block everything around its start.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    ok = ok && pthread_create(&thread, &attr, entry, arg) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    return ok;
}

Pool::Pool(std::size_t threads) {
    const std::size_t capped = std::min(threads, MAX_POOL_THREADS);
    const std::size_t wanted = capped > 1 ? capped - 1 : 0;
    workers_.reserve(wanted);
    const auto run_worker = [](void* self) -> void* {
        static_cast<Pool*>(self)->work();
        return nullptr;
    };
    for (std::size_t i = 0; i < wanted; ++i) {
        pthread_t worker;
        // Out of threads or memory: the pool works with the workers it got (the
        // caller always takes part, so progress never needs a worker).
        if (!start_thread(worker, run_worker, this)) break;
        workers_.push_back(worker);  // reserved: cannot throw
    }
}

Pool::~Pool() {
    mutex_.lock();
    shutting_down_ = true;
    work_ready_.notify_all();
    mutex_.unlock();
    for (pthread_t worker : workers_) pthread_join(worker, nullptr);
}

void Pool::enqueue(Job& job) {
    if (tail_ == nullptr) {
        head_ = tail_ = &job;
    } else {
        tail_->link = &job;
        tail_ = &job;
    }
}

void Pool::unlink(Job& job) {
    Job* before = nullptr;
    for (Job* j = head_; j != &job; j = j->link) before = j;
    (before ? before->link : head_) = job.link;
    if (tail_ == &job) tail_ = before;
    job.link = nullptr;
}

std::size_t Pool::claim(Job& job) {
    const std::size_t j = job.next++;
    if (job.next == job.pieces) unlink(job);
    return j;
}

void Pool::sanity_check() {
    mutex_.lock();
    bool ok = (head_ == nullptr) == (tail_ == nullptr) && workers_.size() < MAX_POOL_THREADS;
    // A cycle first (two walkers at different speeds meet only on one), then the walk itself.
    for (const Job *slow = head_, *fast = head_; ok && fast != nullptr && fast->link != nullptr;) {
        slow = slow->link;
        fast = fast->link->link;
        ok = slow != fast;
    }
    const Job* last = nullptr;
    for (const Job* j = head_; ok && j != nullptr; j = j->link) {
        ok = j->next < j->pieces && j->finished <= j->next;
        last = j;
    }
    ok = ok && last == tail_;
    mutex_.unlock();
    if (!ok) internal_stop("Pool invariant violated");
}

void Pool::work() {
    mutex_.lock();
    for (;;) {
        while (head_ == nullptr && !shutting_down_) work_ready_.wait(mutex_);
        if (head_ == nullptr) break;
        Job& job = *head_;
        const std::size_t j = claim(job);
        mutex_.unlock();
        job.piece(job.context, j);
        mutex_.lock();
        if (++job.finished == job.pieces) job.all_finished.notify_one();
    }
    mutex_.unlock();
}

void Pool::run(std::size_t pieces, PieceFn piece, void* context) {
    if (pieces == 0) return;
    Job job{piece, context, pieces};
    mutex_.lock();
    enqueue(job);
    if (pieces > 1 && !workers_.empty()) work_ready_.notify_all();
    while (job.next < job.pieces) {
        const std::size_t j = claim(job);
        mutex_.unlock();
        job.piece(job.context, j);
        mutex_.lock();
        ++job.finished;
    }
    while (job.finished < job.pieces) job.all_finished.wait(mutex_);
    mutex_.unlock();
}

// ---------------------------------------------------------------------------
// BackgroundCall

BackgroundCall::BackgroundCall(Fn fn, void* context) noexcept : fn_(fn), context_(context) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&done_cv_, &attr);
    pthread_condattr_destroy(&attr);
    started_ = start_thread(thread_, entry, this);
}

BackgroundCall::~BackgroundCall() {
    if (started_) {
        wait();
        pthread_join(thread_, nullptr);
    }
    pthread_cond_destroy(&done_cv_);
}

void* BackgroundCall::entry(void* raw) noexcept {
    auto& self = *static_cast<BackgroundCall*>(raw);
    self.fn_(self.context_);
    self.mutex_.lock();
    self.done_ = true;
    pthread_cond_signal(&self.done_cv_);
    self.mutex_.unlock();
    return nullptr;
}

bool BackgroundCall::wait_for(long milliseconds) noexcept {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += (milliseconds % 1000) * 1'000'000;
    if (until.tv_nsec >= 1'000'000'000) {
        until.tv_nsec -= 1'000'000'000;
        ++until.tv_sec;
    }
    mutex_.lock();
    while (!done_ && pthread_cond_timedwait(&done_cv_, mutex_.native(), &until) == 0) {
    }
    const bool done = done_;
    mutex_.unlock();
    return done;
}

void BackgroundCall::wait() noexcept {
    mutex_.lock();
    while (!done_) pthread_cond_wait(&done_cv_, mutex_.native());
    mutex_.unlock();
}

// ---------------------------------------------------------------------------
// Sizing

namespace {

// A decimal count above zero with an optional '+', else 0.
std::size_t positive_count(const char* text) noexcept {
    if (text == nullptr) return 0;
    if (*text == '+') ++text;
    if (*text == '\0') return 0;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return 0;
        const std::size_t digit = static_cast<std::size_t>(*text - '0');
        if (value > (SIZE_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::size_t pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t available) noexcept {
    if (const std::size_t n = positive_count(num_threads)) return n;
    if (const std::size_t n = positive_count(rs_num_cpus)) return n;
    return available > 0 ? available : 1;
}

std::size_t available_cpus() noexcept {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
        const int count = CPU_COUNT(&mask);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned hint = std::thread::hardware_concurrency();
    return hint > 0 ? hint : 1;
}

Vec<std::size_t> halving_bounds(std::size_t count, std::size_t splits) {
    Vec<std::size_t> bounds;
    bounds.push_back(0);
    // Appends the right ends of the pieces of [lo, hi), left to right.
    auto split = [&bounds](auto& self, std::size_t lo, std::size_t hi, std::size_t s) -> void {
        if (s == 0 || hi - lo <= 1) {
            bounds.push_back(hi);
            return;
        }
        const std::size_t mid = lo + (hi - lo) / 2;
        self(self, lo, mid, s / 2);
        self(self, mid, hi, s / 2);
    };
    split(split, 0, count, splits);
    return bounds;
}

// ---------------------------------------------------------------------------
// The process-wide pool

namespace {

Mutex global_mutex;              // guards global and its creation
Pool* global = nullptr;          // never destroyed; forgotten in a forked child
bool fork_handlers_set = false;  // pthread_atfork registers for the process' life

// Holding the mutex across fork() means the child never inherits a pool
// half-way through its creation.
void before_fork() noexcept { global_mutex.lock(); }
void after_fork_in_parent() noexcept { global_mutex.unlock(); }
void after_fork_in_child() noexcept {
    // The parent's workers do not exist here; leak the pool object (its
    // destructor would join them) and let the next call create a new one.
    global = nullptr;
    global_mutex.unlock();
}

// Holds global_mutex for its lifetime.
struct GlobalLock {
    GlobalLock() noexcept { global_mutex.lock(); }
    ~GlobalLock() { global_mutex.unlock(); }
};

}  // namespace

Pool& global_pool() {
    GlobalLock lock;
    if (global == nullptr) {
        if (!fork_handlers_set) {
            if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0)
                throw std::bad_alloc();  // its only documented failure is ENOMEM
            fork_handlers_set = true;
        }
        const std::size_t threads =
            pool_size(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_cpus());
        MiAllocator<Pool> allocator;
        Pool* storage = allocator.allocate(1);
        try {
            global = new (storage) Pool(threads);
        } catch (...) {
            allocator.deallocate(storage, 1);
            throw;
        }
    }
    return *global;
}

}  // namespace qh
