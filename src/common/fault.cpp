#include "common/fault.hpp"

namespace torvane {

void raise_internal(const std::string& message) { throw InternalError(message); }

void raise_capacity(const std::string& message) { throw CapacityError(message); }

std::size_t capacity_mul(std::size_t a, std::size_t b, const char* what) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) raise_capacity(what);
    return product;
}

}  // namespace torvane
