// The limit of 1-bit MaxSim on this CPU: how many token pairs per second one
// core compares with 512-bit VPOPCNTD when every comparison is an xor, a
// popcount and an add per 32-bit group (sixteen document tokens per
// register) and a minimum per block, the loop the 1-bit kernel runs. Two
// forms of the loop: the query's words broadcast from memory for every
// block (as the kernel reads them) and held in registers across the blocks.
// Times are CPU time of the measuring thread, so that other processes on a
// shared machine do not count; the figure for all CPUs assumes they run the
// loop at once at the same rate.
//
// Build: cmake -DTORVANE_BUILD_BENCHMARKS=ON (target sign_code_limit), or
//        g++ -O2 -std=c++20 -mavx512f -mavx512vpopcntdq -Wno-ignored-attributes \
//            -o sign_code_limit benchmarks/sign_code_limit.cpp
// Run:   ./sign_code_limit [dim]   (dim 128 by default: four 32-bit groups per token)

#include <immintrin.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Query words broadcast from memory for every block: 4 query tokens.
__attribute__((noinline)) std::uint32_t broadcast_loop(const std::uint32_t* q, const __m512i* d, std::size_t blocks,
                                                       std::size_t groups, long rounds) {
    __m512i fewest[4];
    for (auto& f : fewest) f = _mm512_set1_epi32(-1);
    for (long it = 0; it < rounds; ++it) {
        for (std::size_t b = 0; b < blocks; ++b) {
            __m512i count[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                                _mm512_setzero_si512()};
            for (std::size_t g = 0; g < groups; ++g) {
                const __m512i dv = _mm512_loadu_si512(d + b * groups + g);
#pragma GCC unroll 4
                for (int r = 0; r < 4; ++r) {
                    const __m512i x = _mm512_xor_si512(dv, _mm512_set1_epi32(static_cast<int>(q[r * groups + g])));
                    count[r] = _mm512_add_epi32(count[r], _mm512_popcnt_epi32(x));
                }
            }
            for (int r = 0; r < 4; ++r) fewest[r] = _mm512_min_epu32(fewest[r], count[r]);
        }
    }
    std::uint32_t s = 0;
    for (auto& f : fewest) s += _mm512_reduce_min_epu32(f);
    return s;
}

// Query words in registers across the blocks: 4 query tokens of 4 groups.
__attribute__((noinline)) std::uint32_t register_loop(const std::uint32_t* q, const __m512i* d, std::size_t blocks,
                                                      long rounds) {
    __m512i qv[4][4];
    for (int r = 0; r < 4; ++r) {
        for (int g = 0; g < 4; ++g) qv[r][g] = _mm512_set1_epi32(static_cast<int>(q[r * 4 + g]));
    }
    __m512i fewest[4];
    for (auto& f : fewest) f = _mm512_set1_epi32(-1);
    for (long it = 0; it < rounds; ++it) {
        for (std::size_t b = 0; b < blocks; ++b) {
            __m512i count[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                                _mm512_setzero_si512()};
#pragma GCC unroll 4
            for (int g = 0; g < 4; ++g) {
                const __m512i dv = _mm512_loadu_si512(d + b * 4 + g);
#pragma GCC unroll 4
                for (int r = 0; r < 4; ++r) {
                    count[r] = _mm512_add_epi32(count[r], _mm512_popcnt_epi32(_mm512_xor_si512(dv, qv[r][g])));
                }
            }
            for (int r = 0; r < 4; ++r) fewest[r] = _mm512_min_epu32(fewest[r], count[r]);
        }
    }
    std::uint32_t s = 0;
    for (auto& f : fewest) s += _mm512_reduce_min_epu32(f);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t dim = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 128;
    const std::size_t groups = (dim + 31) / 32;
    const std::size_t blocks = 8;  // 128 document tokens, in the L1 cache
    std::vector<__m512i> d(blocks * groups);
    std::vector<std::uint32_t> q(4 * groups);
    for (std::size_t k = 0; k < d.size(); ++k) d[k] = _mm512_set1_epi32(static_cast<int>(k * 2654435761u));
    for (std::size_t k = 0; k < q.size(); ++k) q[k] = static_cast<std::uint32_t>(k * 40503u);
    const long rounds = 400000;
    const double pairs = 4.0 * 16.0 * static_cast<double>(blocks) * static_cast<double>(rounds);
    const unsigned cpus = std::thread::hardware_concurrency();
    volatile std::uint32_t sink = 0;

    double best_broadcast = 0.0, best_register = 0.0;
    for (int trial = 0; trial < 5; ++trial) {
        double t = thread_seconds();
        sink = sink + broadcast_loop(q.data(), d.data(), blocks, groups, rounds);
        t = thread_seconds() - t;
        if (pairs / t > best_broadcast) best_broadcast = pairs / t;
        if (groups == 4) {
            t = thread_seconds();
            sink = sink + register_loop(q.data(), d.data(), blocks, rounds);
            t = thread_seconds() - t;
            if (pairs / t > best_register) best_register = pairs / t;
        }
    }
    std::printf("1-bit codes of dim %zu (%zu groups of 32 bits), best of 5 trials, one core:\n", dim, groups);
    std::printf("  query words broadcast per block: %6.2f G token pairs/s per core, %6.2f on %u CPUs\n",
                best_broadcast / 1e9, best_broadcast * cpus / 1e9, cpus);
    if (groups == 4) {
        std::printf("  query words in registers:        %6.2f G token pairs/s per core, %6.2f on %u CPUs\n",
                    best_register / 1e9, best_register * cpus / 1e9, cpus);
    }
    return 0;
}
