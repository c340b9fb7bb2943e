#pragma once
// Number formatting for the records' text forms.

#include <string>

namespace torvane {

// Shortest decimal text that reads back as the same float, in plain
// positional notation (never an exponent), without a point for integral
// values: 1.0f -> "1", 0.3f -> "0.3", -0.0f -> "-0". NaN -> "NaN",
// infinities -> "inf" / "-inf".
std::string format_f32_shortest(float value);

// Fixed-point text with exactly `decimals` digits after the point, from the
// exact value of the double rounded to nearest, ties to even.
// NaN -> "NaN", infinities -> "inf" / "-inf".
std::string format_f64_fixed(double value, int decimals);

// "true" / "false".
const char* format_bool(bool value);

}  // namespace torvane
