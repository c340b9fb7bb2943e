#pragma once
// The MaxSim module functions compute_max_sim_batch and
// compute_max_sim_batch_f32 (fast-call convention with keywords).

#include "py_support.hpp"

namespace torvane::py {

PyObject* compute_max_sim_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* compute_max_sim_batch_f32(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace torvane::py
