#include "quantization/fwht/fwht.hpp"

#include <bit>

#include "common/fault.hpp"

namespace torvane::fwht {

void transform(double* x, std::size_t n) {
    TORVANE_CHECK(n == 0 || std::has_single_bit(n), "fwht: the length is not a power of two");
    for (std::size_t half = 1; half < n; half *= 2) {
        for (std::size_t start = 0; start < n; start += 2 * half) {
            for (std::size_t k = start; k < start + half; ++k) {
                const double a = x[k];
                const double b = x[k + half];
                x[k] = a + b;
                x[k + half] = a - b;
            }
        }
    }
}

}  // namespace torvane::fwht
