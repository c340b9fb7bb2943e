#pragma once
// Small numeric helpers shared by every layer: conversions between the
// numeric types of the interface and of the core, clamps, and size
// arithmetic that never wraps.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/fault.hpp"

namespace torvane {

// Narrows a double to the nearest float (ties to even), overflowing to a
// signed infinity exactly where IEEE rounding does. Written out because a
// plain cast of an out-of-range finite double is undefined behaviour in C++.
inline float narrow_to_f32(double value) {
    constexpr double kMax = static_cast<double>(std::numeric_limits<float>::max());
    // Half an ulp above FLT_MAX: from here on (ties to even included, since
    // FLT_MAX has an odd significand) the nearest float is infinity.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (std::isfinite(value)) {
        const double magnitude = std::fabs(value);
        if (magnitude >= kOverflow) {
            return value > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
        }
        if (magnitude > kMax) return value > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max();
    }
    return static_cast<float>(value);
}

// Adds two token totals without ever wrapping: a sum beyond the range
// saturates at the maximum, which no budget admits.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// A weight counts as zero when its magnitude is at most 2^-23.
inline constexpr float kZeroWeight = 1.1920929e-7f;

// Clamps to [0, 1]; NaN and -0.0 pass through unchanged.
template <typename T>
constexpr T clamp_unit(T v) {
    if (v < T(0)) return T(0);
    if (v > T(1)) return T(1);
    return v;
}

// a * b, or an internal error with `what` when the product overflows the
// machine word (sizes that valid input can never produce).
inline std::size_t checked_mul(std::size_t a, std::size_t b, const char* what) {
    std::size_t product = 0;
    TORVANE_CHECK(!__builtin_mul_overflow(a, b, &product), what);
    return product;
}

// a * b, saturating at the largest size instead of wrapping.
constexpr std::size_t saturating_mul(std::size_t a, std::size_t b) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::size_t>::max();
    return product;
}

// The number of set bits, computed inline: on targets whose baseline has no
// population-count instruction std::popcount is a library call.
constexpr unsigned count_bits(std::uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555u);
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<unsigned>((x * 0x0101010101010101u) >> 56);
}

}  // namespace torvane
