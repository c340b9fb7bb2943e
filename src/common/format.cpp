#include "common/format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "common/fault.hpp"

namespace torvane {

namespace {

// Returns the text for NaN and the infinities, or nullptr for finite values.
const char* non_finite_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return nullptr;
}

}  // namespace

std::string format_f32_shortest(float value) {
    if (const char* text = non_finite_text(value)) return text;
    // The shortest round-trip digits come from the scientific form; they are
    // then written out positionally. (Fixed-format shortest output would give
    // the exact integer digits for large values, e.g. FLT_MAX, instead of the
    // shortest digits followed by zeros.)
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    TORVANE_CHECK(result.ec == std::errc(), "float formatting overflowed its buffer");
    const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));

    std::string out;
    std::size_t pos = 0;
    if (sci[pos] == '-') {
        out.push_back('-');
        ++pos;
    }
    std::string digits;
    while (pos < sci.size() && sci[pos] != 'e') {
        if (sci[pos] != '.') digits.push_back(sci[pos]);
        ++pos;
    }
    TORVANE_CHECK(pos < sci.size(), "float formatting gave no exponent");
    int exponent = 0;
    const auto parsed = std::from_chars(sci.data() + pos + 1 + (sci[pos + 1] == '+'), sci.data() + sci.size(), exponent);
    TORVANE_CHECK(parsed.ec == std::errc(), "float formatting gave a bad exponent");

    // digits d0 d1 ... dk stand for d0.d1...dk x 10^exponent.
    const int point = exponent + 1;  // digits before the decimal point
    const int count = static_cast<int>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return out;
}

std::string format_f64_fixed(double value, int decimals) {
    if (const char* text = non_finite_text(value)) return text;
    TORVANE_CHECK(decimals >= 0 && decimals <= 17, "fixed-point precision out of range");
    // 309 integral digits at most, a sign, a point and the decimals.
    char buffer[352];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    TORVANE_CHECK(result.ec == std::errc(), "double formatting overflowed its buffer");
    return std::string(buffer, result.ptr);
}

const char* format_bool(bool value) { return value ? "true" : "false"; }

}  // namespace torvane
