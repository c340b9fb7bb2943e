#pragma once
// The TabuSearchSolver class.

#include "py_support.hpp"

namespace torvane::py {

// The type object, created once per process (nullptr with an error set when
// creation fails).
PyTypeObject* tabu_search_solver_type();

}  // namespace torvane::py
