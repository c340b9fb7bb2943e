#pragma once
// The worker pool behind every data-parallel loop of the core.
//
// A pool of size N runs a loop on up to N threads: its N - 1 worker threads
// and the thread that started the loop, which always takes part. Work is
// split by recursive halving (fork-join): a thread that splits a range keeps
// the left half and offers the right half on its own deque, where idle
// threads may steal it. A thread waiting for a stolen half never blocks
// while there is work it could run, so loops may be started from several
// threads at once and from inside running tasks without deadlock.
//
// Splitting is adaptive: a loop starts with a split budget equal to the
// pool size, each split halves it, and a half that was stolen by another
// thread gets its budget back (at least the pool size), so busy threads
// keep feeding idle ones. Pieces are never shorter than one index.
//
// Every index writes only its own output, so results never depend on the
// number of threads or on scheduling. An exception thrown by a task reaches
// the caller, as InternalError (std::bad_alloc as itself), only after every
// piece of the loop has stopped; in parallel_for and parallel_pieces it also
// cancels the indices and pieces that have not started yet.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace torvane::pool {

// Number of CPUs in the calling process's affinity mask (at least 1).
std::size_t available_cpus();

class ThreadPool {
public:
    // A pool that runs loops on `threads` threads (0 counts as 1): the
    // caller plus threads - 1 workers, started at once.
    explicit ThreadPool(std::size_t threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t thread_count() const noexcept { return workers_.size() + 1; }

    // Runs fn() on the calling thread with this pool as the current pool,
    // so that every parallel loop inside it, nested ones included, uses
    // this pool.
    template <class Fn>
    decltype(auto) install(Fn&& fn);

    // Calls body(i) for every i in [begin, end), in parallel.
    template <class Body>
    void parallel_for(std::size_t begin, std::size_t end, Body&& body);

    // Calls piece(lo, hi) for disjoint pieces [lo, hi) covering [begin, end).
    template <class Piece>
    void parallel_pieces(std::size_t begin, std::size_t end, Piece&& piece);

    // Reduces [begin, end): leaf(lo, hi) yields the value of one piece and
    // combine(left, right) merges two adjacent halves, left before right.
    // Which pieces are formed depends on scheduling, so the result is
    // independent of the thread count only when combine is associative
    // and agrees with how leaf treats a range. An empty range gives
    // `empty`.
    template <class T, class Leaf, class Combine>
    T parallel_reduce(std::size_t begin, std::size_t end, T empty, Leaf&& leaf, Combine&& combine);

private:
    // A half of a split offered for stealing. It lives on the stack of the
    // thread that split the range, which does not return before it is done.
    struct Job {
        void (*run)(Job* self, std::size_t slot, bool migrated) = nullptr;
        std::size_t owner = 0;
        std::atomic<bool> done{false};  // set under mutex_; the owner may also poll it without the lock
        std::exception_ptr error;
    };

    // The pool and deque slot the calling thread works with.
    struct Context {
        ThreadPool* pool = nullptr;
        std::size_t slot = 0;
    };

    struct Slot {
        std::vector<Job*> jobs;  // a deque: the owner works at the back, thieves take the front
        std::size_t front = 0;
        bool in_use = false;
    };

    // Registers the calling thread with this pool for the lifetime of the
    // object unless it already works for it.
    class Participation {
    public:
        explicit Participation(ThreadPool& pool);
        ~Participation();
        Participation(const Participation&) = delete;
        Participation& operator=(const Participation&) = delete;
        std::size_t slot() const noexcept { return context_.slot; }

    private:
        Context context_;
        Context* previous_ = nullptr;
        bool registered_ = false;
    };

    static Context*& thread_context() noexcept;
    friend ThreadPool& current_pool();

    struct Splitter {
        std::size_t splits;
        std::size_t threads;
        bool try_split(std::size_t length, bool migrated) {
            if (length < 2) return false;
            if (migrated) {
                splits = std::max(threads, splits / 2);
                return true;
            }
            if (splits == 0) return false;
            splits /= 2;
            return true;
        }
    };

    // Runs a(slot, false) here and b(slot', migrated) here or on a thief;
    // returns when both have finished, rethrowing the first failure.
    template <class A, class B>
    void join(std::size_t slot, A& a, B& b);

    template <class Piece>
    void split_range(std::size_t slot, std::size_t lo, std::size_t hi, Splitter splitter, bool migrated,
                     Piece& piece, std::atomic<bool>& stop);

    template <class T, class Leaf, class Combine>
    T reduce_range(std::size_t slot, std::size_t lo, std::size_t hi, Splitter splitter, bool migrated,
                   Leaf& leaf, Combine& combine);

    void push(std::size_t slot, Job* job);
    // Takes the job back when it is still at the back of the slot's deque.
    bool take_back(std::size_t slot, Job* job);
    // Runs other jobs until `job` is done.
    void wait_for(std::size_t slot, Job* job);
    void execute(std::size_t slot, Job* job);
    Job* find_job_locked(std::size_t slot);
    // Polls for a short while, without the lock, until a job is queued or
    // `done` (when given) is set; true when that happened. Keeps a thread
    // that just ran out of work from going to sleep right before the next
    // loop or the last half it waits for arrives.
    bool spin_for_work(const std::atomic<bool>* done) const;
    void worker_main(std::size_t slot);

    std::size_t acquire_slot();
    void release_slot(std::size_t slot);

    // Rethrows a task's failure as InternalError; std::bad_alloc (and its
    // subclasses) stays what it is.
    [[noreturn]] static void rethrow_as_internal(std::exception_ptr error);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::unique_ptr<Slot>> slots_;  // workers first, then registered callers
    std::size_t steal_cursor_ = 0;
    std::atomic<std::size_t> queued_{0};  // jobs in all deques; changed under mutex_
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// The size of the process-wide pool: the TORVANE_NUM_THREADS environment
// variable when it holds a whole number from 1 to 1024, otherwise one
// thread per CPU of the process's affinity mask.
std::size_t process_pool_size();

// The process-wide pool, created on first use with process_pool_size()
// threads (or the size given to set_process_pool_size). It is never
// destroyed.
ThreadPool& global_pool();

// Sets the size of the process-wide pool (1 to 1024 threads), taking the
// place of TORVANE_NUM_THREADS. Returns false, changing nothing, once the
// pool exists: its threads are started for good.
bool set_process_pool_size(std::size_t threads);

// Whether the process-wide pool has been created.
bool process_pool_started();

// A pool of one thread and no workers: loops run under its install() run
// on the calling thread alone, in order. Shared by every caller.
ThreadPool& calling_thread_pool();

// The pool the calling thread works for: the one whose task or install()
// it is running, otherwise the process-wide pool.
ThreadPool& current_pool();

template <class Body>
void parallel_for(std::size_t begin, std::size_t end, Body&& body) {
    current_pool().parallel_for(begin, end, std::forward<Body>(body));
}

template <class Piece>
void parallel_pieces(std::size_t begin, std::size_t end, Piece&& piece) {
    current_pool().parallel_pieces(begin, end, std::forward<Piece>(piece));
}

template <class T, class Leaf, class Combine>
T parallel_reduce(std::size_t begin, std::size_t end, T empty, Leaf&& leaf, Combine&& combine) {
    return current_pool().parallel_reduce(begin, end, std::move(empty), std::forward<Leaf>(leaf),
                                          std::forward<Combine>(combine));
}

// ---------------------------------------------------------------------------
// Implementation of the templates.

template <class Fn>
decltype(auto) ThreadPool::install(Fn&& fn) {
    Participation participation(*this);
    return std::forward<Fn>(fn)();
}

template <class A, class B>
void ThreadPool::join(std::size_t slot, A& a, B& b) {
    struct RightJob : Job {
        B* fn = nullptr;
    };
    RightJob job;
    job.fn = &b;
    job.owner = slot;
    job.run = [](Job* self, std::size_t run_slot, bool migrated) {
        (*static_cast<RightJob*>(self)->fn)(run_slot, migrated);
    };
    push(slot, &job);

    std::exception_ptr left_error;
    try {
        a(slot, false);
    } catch (...) {
        left_error = std::current_exception();
    }

    if (take_back(slot, &job)) {
        // Nobody stole the right half: run it here unless the left failed.
        if (!left_error) b(slot, false);
    } else {
        wait_for(slot, &job);
    }
    if (left_error) std::rethrow_exception(left_error);
    if (job.error) std::rethrow_exception(job.error);
}

template <class Piece>
void ThreadPool::split_range(std::size_t slot, std::size_t lo, std::size_t hi, Splitter splitter, bool migrated,
                             Piece& piece, std::atomic<bool>& stop) {
    if (stop.load(std::memory_order_relaxed)) return;
    if (splitter.try_split(hi - lo, migrated)) {
        const std::size_t mid = lo + (hi - lo) / 2;
        auto left = [&](std::size_t s, bool m) { split_range(s, lo, mid, splitter, m, piece, stop); };
        auto right = [&](std::size_t s, bool m) { split_range(s, mid, hi, splitter, m, piece, stop); };
        join(slot, left, right);
        return;
    }
    try {
        piece(lo, hi);
    } catch (...) {
        stop.store(true, std::memory_order_relaxed);
        throw;
    }
}

template <class Piece>
void ThreadPool::parallel_pieces(std::size_t begin, std::size_t end, Piece&& piece) {
    if (begin >= end) return;
    std::atomic<bool> stop{false};
    try {
        if (end - begin == 1) {
            piece(begin, end);  // nothing to split: no need to enter the pool
            return;
        }
        Participation participation(*this);
        Splitter splitter{thread_count(), thread_count()};
        split_range(participation.slot(), begin, end, splitter, false, piece, stop);
    } catch (...) {
        rethrow_as_internal(std::current_exception());
    }
}

template <class Body>
void ThreadPool::parallel_for(std::size_t begin, std::size_t end, Body&& body) {
    std::atomic<bool> cancelled{false};
    parallel_pieces(begin, end, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            if (cancelled.load(std::memory_order_relaxed)) return;
            try {
                body(i);
            } catch (...) {
                cancelled.store(true, std::memory_order_relaxed);
                throw;
            }
        }
    });
}

template <class T, class Leaf, class Combine>
T ThreadPool::reduce_range(std::size_t slot, std::size_t lo, std::size_t hi, Splitter splitter, bool migrated,
                           Leaf& leaf, Combine& combine) {
    if (splitter.try_split(hi - lo, migrated)) {
        const std::size_t mid = lo + (hi - lo) / 2;
        std::optional<T> left_value;
        std::optional<T> right_value;
        auto left = [&](std::size_t s, bool m) {
            left_value.emplace(reduce_range<T>(s, lo, mid, splitter, m, leaf, combine));
        };
        auto right = [&](std::size_t s, bool m) {
            right_value.emplace(reduce_range<T>(s, mid, hi, splitter, m, leaf, combine));
        };
        join(slot, left, right);
        return combine(std::move(*left_value), std::move(*right_value));
    }
    return leaf(lo, hi);
}

template <class T, class Leaf, class Combine>
T ThreadPool::parallel_reduce(std::size_t begin, std::size_t end, T empty, Leaf&& leaf, Combine&& combine) {
    if (begin >= end) return empty;
    try {
        if (end - begin == 1) return leaf(begin, end);
        Participation participation(*this);
        Splitter splitter{thread_count(), thread_count()};
        return reduce_range<T>(participation.slot(), begin, end, splitter, false, leaf, combine);
    } catch (...) {
        rethrow_as_internal(std::current_exception());
    }
}

}  // namespace torvane::pool
