#pragma once
// The record classes SolverConfig, SolverConstraints and SolverOutput.

#include <cstdint>
#include <string>
#include <vector>

#include "py_support.hpp"
#include "solver/model/problem.hpp"
#include "solver/model/result.hpp"
#include "solver/model/settings.hpp"

namespace torvane::py {

// Field values of a SolverConfig: the solver's configurable values, with
// the defaults of their table in solver/model/settings.hpp.
using ConfigValues = SolverOptions;

// Field values of a SolverConstraints. The three lists are kept as given
// and turned into sets when a solve call reads them.
struct ConstraintValues {
    std::size_t max_tokens = 8192;
    std::size_t min_tokens = 0;
    std::size_t min_chunks = 1;
    std::size_t max_chunks = 50;
    std::size_t max_per_cluster = 3;
    std::vector<std::string> must_include_roles;
    std::vector<std::string> excluded_chunks;
    std::vector<std::string> required_chunks;
};

struct ConfigObject {
    PyObject_HEAD
    ConfigValues values;
};

struct ConstraintsObject {
    PyObject_HEAD
    ConstraintValues values;
};

struct OutputObject {
    PyObject_HEAD
    SolveResult result;
};

// Type objects, created once per process (nullptr with an error set when
// creation fails).
PyTypeObject* solver_config_type();
PyTypeObject* solver_constraints_type();
PyTypeObject* solver_output_type();

// A new SolverOutput holding `result` (moved in).
PyObject* make_solver_output(SolveResult&& result);

// A new SolverConfig holding a copy of `values`.
PyObject* make_solver_config(const ConfigValues& values);

// The solve-time form of a SolverConstraints: role names parsed, id lists
// turned into sets.
ConstraintSet to_constraint_set(const ConstraintValues& values);

}  // namespace torvane::py
