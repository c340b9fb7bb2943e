#include "common/fault.hpp"

namespace torvane {

void raise_internal(const std::string& message) { throw InternalError(message); }

}  // namespace torvane
