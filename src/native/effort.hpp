#pragma once
// torvane._native.solve_with_effort: one call of a TabuSearchSolver's
// NumPy solve method whose result is improved within a time or round limit.

#include "py_support.hpp"

namespace torvane::native {

// solve_with_effort(method, kwargs, time_limit_ms, rounds, seed): calls
// `method` (solve_numpy or solve_precomputed_numpy of a TabuSearchSolver)
// with `kwargs` while the improvement limits are set for this thread, so the
// intake, the checks and the SolverOutput are the module's own.
PyObject* solve_with_effort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace torvane::native
