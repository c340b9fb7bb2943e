#pragma once
// Access to the NumPy C API. The API table is loaded on first use rather
// than at import, so importing the module stays cheap.

#include "py_support.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL torvane_solver_ARRAY_API
#ifndef TORVANE_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace torvane::py {

// Loads the NumPy C API; false with a Python error set when that fails.
bool ensure_numpy_api();

// True for a NumPy boolean scalar. Never imports NumPy: an object can only
// be a NumPy scalar when NumPy is already loaded.
bool is_numpy_bool(PyObject* obj);

}  // namespace torvane::py
