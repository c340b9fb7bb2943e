#include "effort.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "convert.hpp"
#include "solver/search/improve.hpp"

namespace torvane::native {

namespace {

// The method when it is solve_numpy or solve_precomputed_numpy bound to a
// torvane_solver.TabuSearchSolver; TypeError otherwise.
bool solve_method_arg(PyObject* obj) {
    if (PyCFunction_Check(obj)) {
        PyObject* owner = PyCFunction_GET_SELF(obj);
        const char* name = reinterpret_cast<PyCFunctionObject*>(obj)->m_ml->ml_name;
        if (owner != nullptr && std::strcmp(Py_TYPE(owner)->tp_name, "torvane_solver.TabuSearchSolver") == 0 &&
            (std::strcmp(name, "solve_numpy") == 0 || std::strcmp(name, "solve_precomputed_numpy") == 0)) {
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError,
                 "method must be solve_numpy or solve_precomputed_numpy of a TabuSearchSolver, not %s",
                 py::type_name(obj));
    return false;
}

// None, or a real number (not a bool) of milliseconds that is not NaN and
// not negative.
bool time_limit_arg(PyObject* obj, std::optional<double>& out) {
    if (obj == Py_None) return true;
    if (PyBool_Check(obj) || !(PyFloat_Check(obj) || PyLong_Check(obj))) {
        PyErr_Format(PyExc_TypeError, "time_limit_ms must be a number or None, not %s", py::type_name(obj));
        return false;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    if (std::isnan(value) || value < 0.0) {
        PyErr_Format(PyExc_ValueError, "time_limit_ms must be at least 0, not %R", obj);
        return false;
    }
    out = value;
    return true;
}

// None, or a whole number from 0 to 2^64 - 1 (not a bool).
bool count_arg(PyObject* obj, const char* name, bool allow_none, std::optional<std::uint64_t>& out) {
    if (allow_none && obj == Py_None) return true;
    if (PyBool_Check(obj) || !PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int%s, not %s", name, allow_none ? " or None" : "",
                     py::type_name(obj));
        return false;
    }
    std::uint64_t value = 0;
    if (!py::to_u64(obj, value)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be from 0 to 2**64 - 1, not %R", name, obj);
        return false;
    }
    out = value;
    return true;
}

}  // namespace

PyObject* solve_with_effort(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"method", "kwargs", "time_limit_ms", "rounds", "seed"};
        PyObject* given[5];
        if (!py::bind_fastcall("solve_with_effort", names, 5, 5, args, nargs, kwnames, given)) return nullptr;
        if (!solve_method_arg(given[0])) return nullptr;
        if (!PyDict_Check(given[1])) {
            PyErr_Format(PyExc_TypeError, "kwargs must be a dict, not %s", py::type_name(given[1]));
            return nullptr;
        }
        ImproveLimits limits;
        std::optional<std::uint64_t> seed;
        if (!time_limit_arg(given[2], limits.time_limit_ms) || !count_arg(given[3], "rounds", true, limits.rounds) ||
            !count_arg(given[4], "seed", false, seed)) {
            return nullptr;
        }
        limits.seed = *seed;
        py::Ref no_args(PyTuple_New(0));
        if (!no_args) return nullptr;
        // The solve runs on this thread (its work leaves the interpreter lock
        // but not the thread), which is where the limits are read.
        const ScopedImproveLimits scoped(limits);
        return PyObject_Call(given[0], no_args.get(), given[1]);
    });
}

}  // namespace torvane::native
