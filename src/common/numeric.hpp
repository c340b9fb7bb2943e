#pragma once
// Conversions between the numeric types of the interface and of the core.

#include <cmath>
#include <cstdint>
#include <limits>

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

}  // namespace torvane
