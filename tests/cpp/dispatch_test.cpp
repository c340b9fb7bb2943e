#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "backend/simd/vector_kernels.hpp"
#include "common/cpu_features.hpp"
#include "quantization/maxsim/maxsim.hpp"

namespace {

using torvane::Dispatch;
using torvane::SimdLevel;
namespace cpu = torvane::cpu;

struct FakeTable {
    int id;
};
const FakeTable kWide{512}, kNarrow{2}, kPortable{0};
constexpr std::uint32_t kWideNeeds = cpu::kAvx512F | cpu::kAvx512VL | cpu::kAvx512Vnni;
constexpr std::uint32_t kEverything = ~std::uint32_t{0};

Dispatch<FakeTable> fake(std::uint32_t features, SimdLevel limit, const FakeTable* narrow = &kNarrow) {
    return Dispatch<FakeTable>({{SimdLevel::Avx512, kWideNeeds, &kWide},
                                {SimdLevel::Avx2, cpu::kAvx2, narrow},
                                {SimdLevel::Scalar, 0, &kPortable}},
                               features, limit);
}

TEST(Dispatch, TorvaneSimdValues) {
    EXPECT_EQ(torvane::parse_simd_level_limit(nullptr), SimdLevel::Avx512);
    EXPECT_EQ(torvane::parse_simd_level_limit("avx512"), SimdLevel::Avx512);
    EXPECT_EQ(torvane::parse_simd_level_limit("avx2"), SimdLevel::Avx2);
    EXPECT_EQ(torvane::parse_simd_level_limit("scalar"), SimdLevel::Scalar);
    for (const char* ignored : {"", "AVX2", "sse", "avx2 ", "avx"}) {
        EXPECT_EQ(torvane::parse_simd_level_limit(ignored), SimdLevel::Avx512) << ignored;
    }
}

TEST(Dispatch, TakesTheFirstImplementationTheCpuRunsAndTheLimitAllows) {
    EXPECT_EQ(fake(kEverything, SimdLevel::Avx512).chosen(), &kWide);
    EXPECT_EQ(fake(kEverything, SimdLevel::Avx2).chosen(), &kNarrow);
    EXPECT_EQ(fake(kEverything, SimdLevel::Scalar).chosen(), &kPortable);
    EXPECT_EQ(fake(kEverything, SimdLevel::Scalar).chosen_level(), SimdLevel::Scalar);
    // One missing feature rules the wide implementation out: the best one
    // below it runs instead.
    const auto no_vnni = fake(kEverything & ~cpu::kAvx512Vnni, SimdLevel::Avx512);
    EXPECT_EQ(no_vnni.chosen(), &kNarrow);
    EXPECT_EQ(no_vnni.chosen_level(), SimdLevel::Avx2);
    EXPECT_EQ(no_vnni.runnable(SimdLevel::Avx512), nullptr);
    EXPECT_EQ(fake(0, SimdLevel::Avx512).chosen(), &kPortable);
    EXPECT_EQ(fake(kWideNeeds, SimdLevel::Avx2).chosen(), &kPortable);  // wide, but no AVX2
    // A level this build lacks is skipped.
    EXPECT_EQ(fake(kEverything, SimdLevel::Avx2, nullptr).chosen(), &kPortable);
    EXPECT_EQ(fake(kEverything, SimdLevel::Avx512, nullptr).chosen(), &kWide);
    // The limit does not hide what the CPU runs: tests compare every level.
    const auto limited = fake(kEverything, SimdLevel::Scalar);
    EXPECT_EQ(limited.runnable(SimdLevel::Avx512), &kWide);
    EXPECT_EQ(limited.runnable(SimdLevel::Avx2), &kNarrow);
}

// Both kernel families choose the best level they can run at or below what
// TORVANE_SIMD allows (run_tests.sh runs this suite with "avx2" and
// "scalar" as well).
TEST(Dispatch, BothKernelFamiliesFollowTorvaneSimd) {
    const SimdLevel limit = torvane::simd_level_limit();
    EXPECT_EQ(limit, torvane::parse_simd_level_limit(std::getenv("TORVANE_SIMD")));
    const auto best_at_or_below = [&](auto available) {
        for (const SimdLevel level : {SimdLevel::Avx512, SimdLevel::Avx2}) {
            if (level <= limit && available(level)) return level;
        }
        return SimdLevel::Scalar;
    };
    EXPECT_EQ(torvane::simd::best_simd_level(), best_at_or_below(torvane::simd::simd_level_available));
    EXPECT_EQ(torvane::maxsim::best_kernel_level(), best_at_or_below(torvane::maxsim::kernel_level_available));
    EXPECT_TRUE(torvane::simd::simd_level_available(SimdLevel::Scalar));
    EXPECT_TRUE(torvane::maxsim::kernel_level_available(SimdLevel::Scalar));
#if defined(__x86_64__)
    // The features are those the compiler's own detection reports.
    EXPECT_EQ((torvane::cpu_features() & cpu::kAvx2) != 0, __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ((torvane::cpu_features() & cpu::kAvx512F) != 0, __builtin_cpu_supports("avx512f") != 0);
#endif
}

}  // namespace
