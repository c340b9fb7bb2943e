#pragma once
// Internal faults of the core: a violated invariant or an index out of range.
// The core throws InternalError; the binding layer turns it into the
// module's PanicException so that a fault never takes the interpreter down.
// Inputs too large for memory are CapacityErrors (MemoryError in Python).

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace torvane {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void raise_internal(const std::string& message);

// Input too large for memory: sizes whose product does not fit the machine
// word, so the memory they describe cannot exist. Not a fault of the code;
// it is a std::bad_alloc (the binding raises MemoryError with the message).
class CapacityError : public std::bad_alloc {
public:
    explicit CapacityError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] void raise_capacity(const std::string& message);

// a * b, or CapacityError(what) when the product overflows the machine word.
std::size_t capacity_mul(std::size_t a, std::size_t b, const char* what);

// Checks an invariant that valid input can never break.
#define TORVANE_CHECK(cond, message)                                  \
    do {                                                              \
        if (!(cond)) ::torvane::raise_internal(message);              \
    } while (0)

}  // namespace torvane
