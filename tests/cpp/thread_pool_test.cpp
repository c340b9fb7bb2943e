#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"

namespace {

using torvane::pool::ThreadPool;

class PoolSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PoolSizes, EveryIndexRunsOnceAndTheCallerTakesPart) {
    ThreadPool pool(GetParam());
    EXPECT_EQ(pool.thread_count(), GetParam());
    for (const std::size_t count : {0u, 1u, 2u, 3u, 17u, 1000u}) {
        std::vector<std::atomic<int>> hits(count);
        std::thread::id first;
        pool.parallel_for(0, count, [&](std::size_t i) {
            hits[i].fetch_add(1);
            if (i == 0) first = std::this_thread::get_id();
        });
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i << " of " << count;
        if (count > 0) {
            EXPECT_EQ(first, std::this_thread::get_id());  // the leftmost piece stays home
        }
    }
    // An offset range, split into non-empty pieces that tile it exactly.
    std::vector<std::atomic<int>> hits(300);
    pool.parallel_pieces(100, 300, [&](std::size_t lo, std::size_t hi) {
        ASSERT_LT(lo, hi);
        for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1);
    });
    for (std::size_t i = 0; i < 300; ++i) ASSERT_EQ(hits[i].load(), i < 100 ? 0 : 1);
}

TEST_P(PoolSizes, NestedLoopsCompleteWithoutDeadlock) {
    ThreadPool pool(GetParam());
    std::vector<std::uint64_t> out(40 * 50 * 3, 0);
    pool.install([&] {
        torvane::pool::parallel_for(0, 40, [&](std::size_t i) {
            torvane::pool::parallel_for(0, 50, [&](std::size_t j) {
                torvane::pool::parallel_for(0, 3, [&](std::size_t k) {
                    const std::size_t index = (i * 50 + j) * 3 + k;
                    out[index] = index * index;
                });
            });
        });
    });
    for (std::size_t index = 0; index < out.size(); ++index) ASSERT_EQ(out[index], index * index);
}

TEST_P(PoolSizes, ReduceCombinesInIndexOrder) {
    ThreadPool pool(GetParam());
    // Concatenation is associative but not commutative: any reordering of
    // pieces would show.
    const std::vector<std::size_t> joined = pool.parallel_reduce(
        3, 503, std::vector<std::size_t>{},
        [](std::size_t lo, std::size_t hi) {
            std::vector<std::size_t> piece(hi - lo);
            std::iota(piece.begin(), piece.end(), lo);
            return piece;
        },
        [](std::vector<std::size_t> left, std::vector<std::size_t> right) {
            left.insert(left.end(), right.begin(), right.end());
            return left;
        });
    std::vector<std::size_t> expected(500);
    std::iota(expected.begin(), expected.end(), 3);
    EXPECT_EQ(joined, expected);
    EXPECT_EQ(pool.parallel_reduce(5, 5, 42, [](std::size_t, std::size_t) { return 0; }, [](int a, int) { return a; }),
              42);
}

TEST_P(PoolSizes, TaskFailureReachesCallerAfterEveryPieceStopped) {
    ThreadPool pool(GetParam());
    for (const std::size_t failing : {0u, 37u, 999u}) {
        std::atomic<int> running{0};
        std::atomic<int> started{0};
        int running_at_catch = -1;
        try {
            pool.parallel_for(0, 1000, [&](std::size_t i) {
                running.fetch_add(1);
                started.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                running.fetch_sub(1);
                if (i == failing) throw std::runtime_error("piece " + std::to_string(i) + " failed");
            });
            ADD_FAILURE() << "no exception";
        } catch (const torvane::InternalError& e) {
            running_at_catch = running.load();
            EXPECT_EQ(std::string(e.what()), "piece " + std::to_string(failing) + " failed");
        }
        EXPECT_EQ(running_at_catch, 0);
        if (failing == 0) {
            EXPECT_LT(started.load(), 1000) << "the pieces not yet started were not cancelled";
        }
    }
    // The pool is still usable.
    std::atomic<std::size_t> sum{0};
    pool.parallel_for(0, 100, [&](std::size_t i) { sum.fetch_add(i); });
    EXPECT_EQ(sum.load(), 4950u);
}

TEST_P(PoolSizes, FailureTypesBecomeInternalErrors) {
    ThreadPool pool(GetParam());
    EXPECT_THROW(pool.parallel_for(0, 10, [](std::size_t i) { if (i == 9) throw 42; }), torvane::InternalError);
    try {
        pool.parallel_for(0, 10, [](std::size_t i) { if (i == 4) torvane::raise_internal("index 4 out of range"); });
        ADD_FAILURE() << "no exception";
    } catch (const torvane::InternalError& e) {
        EXPECT_STREQ(e.what(), "index 4 out of range");
    }
    // A failure deep inside nested loops, or in a reduction, reaches the outermost caller.
    EXPECT_THROW(pool.install([] {
        torvane::pool::parallel_for(0, 8, [](std::size_t i) {
            torvane::pool::parallel_for(0, 8, [i](std::size_t j) { if (i == 5 && j == 6) throw std::out_of_range("deep"); });
        });
    }), torvane::InternalError);
    const auto leaf = [](std::size_t lo, std::size_t) -> int {
        if (lo > 30) throw std::runtime_error("reduce");
        return 1;
    };
    EXPECT_THROW(pool.parallel_reduce(0, 64, 0, leaf, [](int a, int b) { return a + b; }), torvane::InternalError);
}

TEST_P(PoolSizes, AllocationFailureStaysBadAlloc) {
    // Running out of memory inside a task reaches the caller as itself (the
    // binding reports it as MemoryError), from loops and reductions alike.
    ThreadPool pool(GetParam());
    for (const std::size_t count : {1u, 50u}) {
        EXPECT_THROW(pool.parallel_for(0, count, [](std::size_t i) { if (i == 0) throw std::bad_alloc(); }),
                     std::bad_alloc);
        EXPECT_THROW(pool.parallel_reduce(0, count, 0, [](std::size_t lo, std::size_t) -> int {
                         if (lo == 0) throw std::bad_array_new_length();
                         return 1;
                     }, [](int a, int b) { return a + b; }),
                     std::bad_array_new_length);
    }
    std::atomic<std::size_t> sum{0};
    pool.parallel_for(0, 100, [&](std::size_t i) { sum.fetch_add(i); });
    EXPECT_EQ(sum.load(), 4950u);
}

INSTANTIATE_TEST_SUITE_P(Threads, PoolSizes, ::testing::Values(1u, 2u, 7u));

TEST(ThreadPool, ConcurrentLoopsFromManyThreads) {
    ThreadPool seven(7);
    ThreadPool two(2);
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&, t] {
            ThreadPool& pool = t % 3 == 0 ? seven : (t % 3 == 1 ? two : torvane::pool::global_pool());
            for (int round = 0; round < 150; ++round) {
                const std::size_t count = 1 + static_cast<std::size_t>((t * 131 + round * 17) % 400);
                std::vector<std::uint64_t> out(count, 0);
                pool.install([&] {
                    torvane::pool::parallel_for(0, count, [&](std::size_t i) {
                        // Every fourth index runs a small nested loop.
                        std::uint64_t value = i * 3 + static_cast<std::uint64_t>(t);
                        if (i % 4 == 0) {
                            std::vector<std::uint64_t> inner(5, 0);
                            torvane::pool::parallel_for(0, 5, [&](std::size_t k) { inner[k] = k; });
                            value += std::accumulate(inner.begin(), inner.end(), std::uint64_t{0});
                        }
                        out[i] = value;
                    });
                });
                for (std::size_t i = 0; i < count; ++i) {
                    const std::uint64_t expected = i * 3 + static_cast<std::uint64_t>(t) + (i % 4 == 0 ? 10 : 0);
                    if (out[i] != expected) failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(ThreadPool, InstallSelectsThePoolOfNestedLoops) {
    ThreadPool three(3);
    ThreadPool one(1);
    EXPECT_EQ(&torvane::pool::current_pool(), &torvane::pool::global_pool());
    three.install([&] {
        EXPECT_EQ(&torvane::pool::current_pool(), &three);
        torvane::pool::parallel_for(0, 20, [&](std::size_t) {
            EXPECT_EQ(&torvane::pool::current_pool(), &three);
            one.install([&] { EXPECT_EQ(&torvane::pool::current_pool(), &one); });
            EXPECT_EQ(&torvane::pool::current_pool(), &three);
        });
    });
    EXPECT_EQ(&torvane::pool::current_pool(), &torvane::pool::global_pool());
    EXPECT_EQ(torvane::pool::global_pool().thread_count(), torvane::pool::process_pool_size());
}

TEST(ThreadPool, ProcessPoolSizeFromTheEnvironment) {
    const char* saved = std::getenv("TORVANE_NUM_THREADS");
    const std::string kept = saved != nullptr ? saved : "";
    const std::size_t cpus = torvane::pool::available_cpus();
    const std::pair<const char*, std::size_t> cases[] = {
        {"7", 7}, {"1", 1}, {"1024", 1024}, {"0", cpus}, {"1025", cpus}, {"-3", cpus}, {"3x", cpus},
        {"", cpus}, {" 4", 4}, {"18446744073709551617", cpus}};
    for (const auto& [text, want] : cases) {
        ::setenv("TORVANE_NUM_THREADS", text, 1);
        EXPECT_EQ(torvane::pool::process_pool_size(), want) << '"' << text << '"';
    }
    ::unsetenv("TORVANE_NUM_THREADS");
    EXPECT_EQ(torvane::pool::process_pool_size(), cpus);
    if (saved != nullptr) ::setenv("TORVANE_NUM_THREADS", kept.c_str(), 1);
}

}  // namespace
