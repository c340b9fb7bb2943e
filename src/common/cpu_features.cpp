#include "common/cpu_features.hpp"

#include <cstdlib>
#include <cstring>

namespace torvane {

std::string_view simd_level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::Scalar: return "scalar";
        case SimdLevel::Avx2: return "avx2";
        case SimdLevel::Avx512: return "avx512";
    }
    return "scalar";
}

namespace {

std::uint32_t detect_cpu_features() {
    std::uint32_t features = 0;
#if defined(__x86_64__) || defined(__i386__)
    // GCC's detection checks that the operating system saves the wide
    // registers too, not only that the CPU has them.
    __builtin_cpu_init();
    const auto add = [&](bool present, std::uint32_t bit) {
        if (present) features |= bit;
    };
    add(__builtin_cpu_supports("avx2") != 0, cpu::kAvx2);
    add(__builtin_cpu_supports("popcnt") != 0, cpu::kPopcnt);
    add(__builtin_cpu_supports("avx512f") != 0, cpu::kAvx512F);
    add(__builtin_cpu_supports("avx512vl") != 0, cpu::kAvx512VL);
    add(__builtin_cpu_supports("avx512bw") != 0, cpu::kAvx512BW);
    add(__builtin_cpu_supports("avx512vnni") != 0, cpu::kAvx512Vnni);
    add(__builtin_cpu_supports("avx512vpopcntdq") != 0, cpu::kAvx512Vpopcntdq);
#endif
    return features;
}

}  // namespace

std::uint32_t cpu_features() {
    static const std::uint32_t features = detect_cpu_features();
    return features;
}

SimdLevel parse_simd_level_limit(const char* value) {
    if (value == nullptr) return SimdLevel::Avx512;
    if (std::strcmp(value, "scalar") == 0) return SimdLevel::Scalar;
    if (std::strcmp(value, "avx2") == 0) return SimdLevel::Avx2;
    return SimdLevel::Avx512;
}

SimdLevel simd_level_limit() {
    static const SimdLevel limit = parse_simd_level_limit(std::getenv("TORVANE_SIMD"));
    return limit;
}

}  // namespace torvane
