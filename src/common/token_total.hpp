#pragma once
// Exact sums of token counts. A single count fits a size; a sum of many may
// not, on a 32-bit word or a 64-bit one, and a total that wrapped could slip
// under a budget. TokenTotal therefore carries the sum in two 64-bit words
// (a 128-bit unsigned value), which no sum of up to SIZE_MAX counts of at
// most SIZE_MAX each can overflow, with plain integer code that is the same
// on every platform.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace torvane {

class TokenTotal {
public:
    constexpr TokenTotal() = default;
    // Implicit, so that counts and limits compare with totals directly.
    constexpr TokenTotal(std::uint64_t value) : low_(value) {}

    constexpr TokenTotal& operator+=(std::uint64_t count) {
        low_ += count;
        if (low_ < count) ++high_;
        return *this;
    }
    friend constexpr TokenTotal operator+(TokenTotal total, std::uint64_t count) { return total += count; }

    // The total less `count`, or 0 when `count` is larger.
    constexpr TokenTotal minus_or_zero(std::uint64_t count) const {
        if (high_ == 0 && low_ < count) return TokenTotal();
        TokenTotal out = *this;
        if (out.low_ < count) --out.high_;
        out.low_ -= count;
        return out;
    }

    // Members compare in declaration order: high word, then low word.
    friend constexpr auto operator<=>(const TokenTotal&, const TokenTotal&) = default;
    friend constexpr bool operator==(const TokenTotal&, const TokenTotal&) = default;

    // The total when it fits 64 bits.
    constexpr std::optional<std::uint64_t> as_u64() const {
        return high_ == 0 ? std::optional<std::uint64_t>(low_) : std::nullopt;
    }

    // The total as a size, or SIZE_MAX when it does not fit one.
    constexpr std::size_t saturated_size() const {
        constexpr std::uint64_t kMax = std::numeric_limits<std::size_t>::max();
        return high_ != 0 || low_ > kMax ? static_cast<std::size_t>(kMax) : static_cast<std::size_t>(low_);
    }

    // Plain decimal digits of the exact total.
    std::string to_string() const;

private:
    std::uint64_t high_ = 0;  // carries out of the low word
    std::uint64_t low_ = 0;
};

}  // namespace torvane
