#include "common/token_total.hpp"

#include <algorithm>
#include <array>

namespace torvane {

std::string TokenTotal::to_string() const {
    if (high_ == 0) return std::to_string(low_);
    // Long division by ten over 32-bit limbs, most significant first, so
    // that every intermediate fits 64 bits.
    std::array<std::uint32_t, 4> limbs{static_cast<std::uint32_t>(high_ >> 32), static_cast<std::uint32_t>(high_),
                                       static_cast<std::uint32_t>(low_ >> 32), static_cast<std::uint32_t>(low_)};
    std::string digits;
    while (std::any_of(limbs.begin(), limbs.end(), [](std::uint32_t limb) { return limb != 0; })) {
        std::uint64_t remainder = 0;
        for (std::uint32_t& limb : limbs) {
            const std::uint64_t current = (remainder << 32) | limb;
            limb = static_cast<std::uint32_t>(current / 10);
            remainder = current % 10;
        }
        digits.push_back(static_cast<char>('0' + remainder));
    }
    std::reverse(digits.begin(), digits.end());
    return digits;
}

}  // namespace torvane
