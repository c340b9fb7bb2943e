#include "backend/pool/thread_pool.hpp"

#include <sched.h>

#include <cerrno>

#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>

#include "common/fault.hpp"

namespace torvane::pool {

std::size_t available_cpus() {
    // Grow the mask until the kernel accepts its size (machines with more
    // than CPU_SETSIZE CPUs need a bigger one).
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* mask = CPU_ALLOC(cpus);
        if (mask == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, mask);
        if (sched_getaffinity(0, bytes, mask) == 0) {
            const int count = CPU_COUNT_S(bytes, mask);
            CPU_FREE(mask);
            return count > 0 ? static_cast<std::size_t>(count) : 1;
        }
        CPU_FREE(mask);
        if (errno != EINVAL) break;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

ThreadPool::Context*& ThreadPool::thread_context() noexcept {
    thread_local Context* context = nullptr;
    return context;
}

ThreadPool::ThreadPool(std::size_t threads) {
    const std::size_t workers = threads > 1 ? threads - 1 : 0;
    for (std::size_t i = 0; i < workers; ++i) slots_.push_back(std::make_unique<Slot>());
    for (auto& slot : slots_) slot->in_use = true;
    workers_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
        try {
            workers_.emplace_back([this, i] { worker_main(i); });
        } catch (const std::system_error&) {
            // The system refuses more threads: run with the ones we have.
            // Their slots stay; an unused worker slot never receives jobs.
            break;
        }
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker.join();
}

ThreadPool::Participation::Participation(ThreadPool& pool) {
    Context*& current = thread_context();
    if (current != nullptr && current->pool == &pool) {
        context_ = *current;
        return;
    }
    context_.pool = &pool;
    context_.slot = pool.acquire_slot();
    previous_ = current;
    current = &context_;
    registered_ = true;
}

ThreadPool::Participation::~Participation() {
    if (!registered_) return;
    thread_context() = previous_;
    context_.pool->release_slot(context_.slot);
}

std::size_t ThreadPool::acquire_slot() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = workers_.size(); i < slots_.size(); ++i) {
        if (!slots_[i]->in_use) {
            slots_[i]->in_use = true;
            return i;
        }
    }
    slots_.push_back(std::make_unique<Slot>());
    slots_.back()->in_use = true;
    return slots_.size() - 1;
}

void ThreadPool::release_slot(std::size_t slot) {
    // Every join takes its job back or waits for it, so the deque is empty.
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot]->in_use = false;
}

void ThreadPool::push(std::size_t slot, Job* job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_[slot]->jobs.push_back(job);
        queued_.fetch_add(1, std::memory_order_relaxed);
    }
    wake_.notify_all();
}

bool ThreadPool::take_back(std::size_t slot, Job* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& s = *slots_[slot];
    if (s.jobs.size() > s.front && s.jobs.back() == job) {
        s.jobs.pop_back();
        queued_.fetch_sub(1, std::memory_order_relaxed);
        if (s.front == s.jobs.size()) {
            s.jobs.clear();
            s.front = 0;
        }
        return true;
    }
    return false;
}

ThreadPool::Job* ThreadPool::find_job_locked(std::size_t slot) {
    // Own jobs first, newest first: they are the smallest and their data
    // is still in this thread's cache.
    if (slot < slots_.size()) {
        Slot& own = *slots_[slot];
        if (own.jobs.size() > own.front) {
            Job* job = own.jobs.back();
            own.jobs.pop_back();
            queued_.fetch_sub(1, std::memory_order_relaxed);
            if (own.front == own.jobs.size()) {
                own.jobs.clear();
                own.front = 0;
            }
            return job;
        }
    }
    // Then steal the oldest (largest) job of another thread, starting the
    // search at a rotating position so that no thread is always robbed first.
    const std::size_t count = slots_.size();
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t victim = (steal_cursor_ + k) % count;
        if (victim == slot) continue;
        Slot& s = *slots_[victim];
        if (s.jobs.size() > s.front) {
            Job* job = s.jobs[s.front++];
            queued_.fetch_sub(1, std::memory_order_relaxed);
            if (s.front == s.jobs.size()) {
                s.jobs.clear();
                s.front = 0;
            }
            steal_cursor_ = victim + 1;
            return job;
        }
    }
    return nullptr;
}

void ThreadPool::execute(std::size_t slot, Job* job) {
    try {
        job->run(job, slot, job->owner != slot);
    } catch (...) {
        job->error = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // From here on the owner may destroy the job: do not touch it again.
        job->done.store(true, std::memory_order_release);
    }
    wake_.notify_all();
}

bool ThreadPool::spin_for_work(const std::atomic<bool>* done) const {
    constexpr auto kSpin = std::chrono::microseconds(100);
    const auto until = std::chrono::steady_clock::now() + kSpin;
    do {
        if (queued_.load(std::memory_order_relaxed) > 0) return true;
        if (done != nullptr && done->load(std::memory_order_acquire)) return true;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

void ThreadPool::wait_for(std::size_t slot, Job* job) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!job->done.load(std::memory_order_acquire)) {
        if (Job* other = find_job_locked(slot)) {
            lock.unlock();
            execute(slot, other);
            lock.lock();
            continue;
        }
        lock.unlock();
        const bool woke = spin_for_work(&job->done);
        lock.lock();
        // Checked under the lock, so a push or completion after this point
        // must take the lock first and its notification cannot be missed.
        if (!woke && !job->done.load(std::memory_order_acquire) && queued_.load(std::memory_order_relaxed) == 0) {
            wake_.wait(lock);
        }
    }
}

void ThreadPool::worker_main(std::size_t slot) {
    Context context{this, slot};
    thread_context() = &context;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (Job* job = find_job_locked(slot)) {
            lock.unlock();
            execute(slot, job);
            lock.lock();
            continue;
        }
        lock.unlock();
        const bool woke = spin_for_work(nullptr);
        lock.lock();
        if (!woke && !stopping_ && queued_.load(std::memory_order_relaxed) == 0) wake_.wait(lock);
    }
}

void ThreadPool::rethrow_as_internal(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const InternalError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;  // running out of memory is not a fault of the code
    } catch (const std::exception& e) {
        raise_internal(e.what());
    } catch (...) {
        raise_internal("a parallel task failed with an unknown exception");
    }
}

std::size_t process_pool_size() {
    // TORVANE_NUM_THREADS, a whole number from 1 to 1024, sets the size
    // (to share the machine with other work, or to check that results do
    // not depend on it); anything else is ignored.
    if (const char* text = std::getenv("TORVANE_NUM_THREADS")) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(text, &end, 10);
        if (errno == 0 && end != text && *end == '\0' && text[0] != '-' && value >= 1 && value <= 1024) {
            return static_cast<std::size_t>(value);
        }
    }
    return available_cpus();
}

namespace {

// The size chosen by set_process_pool_size (0: none) and whether the pool
// exists, both guarded by the mutex so that a size set concurrently with
// the first loop is either used or refused, never lost.
std::mutex g_size_mutex;
std::size_t g_requested_size = 0;
bool g_pool_started = false;

}  // namespace

ThreadPool& global_pool() {
    // Deliberately never destroyed: worker threads must not be joined
    // while the process (or an interpreter embedding it) shuts down.
    static ThreadPool* const pool = [] {
        std::lock_guard<std::mutex> lock(g_size_mutex);
        g_pool_started = true;
        return new ThreadPool(g_requested_size != 0 ? g_requested_size : process_pool_size());
    }();
    return *pool;
}

bool set_process_pool_size(std::size_t threads) {
    TORVANE_CHECK(threads >= 1 && threads <= 1024, "the worker pool takes 1 to 1024 threads");
    std::lock_guard<std::mutex> lock(g_size_mutex);
    if (g_pool_started) return false;
    g_requested_size = threads;
    return true;
}

bool process_pool_started() {
    std::lock_guard<std::mutex> lock(g_size_mutex);
    return g_pool_started;
}

ThreadPool& calling_thread_pool() {
    static ThreadPool* const pool = new ThreadPool(1);
    return *pool;
}

ThreadPool& current_pool() {
    ThreadPool::Context* context = ThreadPool::thread_context();
    return context != nullptr ? *context->pool : global_pool();
}

}  // namespace torvane::pool
