#pragma once
// Internal faults of the core: a violated invariant or an index out of range.
// The core throws InternalError; the binding layer turns it into the
// module's PanicException so that a fault never takes the interpreter down.

#include <stdexcept>
#include <string>

namespace torvane {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void raise_internal(const std::string& message);

// Checks an invariant that valid input can never break.
#define TORVANE_CHECK(cond, message)                                  \
    do {                                                              \
        if (!(cond)) ::torvane::raise_internal(message);              \
    } while (0)

}  // namespace torvane
