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

// Field values of a SolverConfig, with their defaults.
struct ConfigValues {
    float alpha = 1.0f;
    float beta = 0.3f;
    float gamma = 0.2f;
    float delta = 0.1f;
    float epsilon = 0.0f;
    float mu = 1.0f;
    float support_secondary_discount = 0.35f;
    float support_quorum_bonus = 0.18f;
    float support_quorum_threshold = 0.55f;
    std::size_t support_quorum_cap = 4;
    float lambda = 0.5f;
    std::size_t iterations = 100;
    std::size_t tabu_tenure = 10;
    std::size_t early_stopping_patience = 20;
    bool use_gpu = false;
    std::optional<std::uint64_t> random_seed;
    bool enable_gpu_move_evaluation = true;
    bool enable_path_relinking = true;
    bool enable_destroy_repair = true;
    bool enable_reactive_tenure = true;
    bool enable_exact_window = true;
    std::size_t exact_window_size = 14;
    std::uint64_t exact_window_time_ms = 25;
};

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

// The solve-time form of a SolverConstraints: role names parsed, id lists
// turned into sets.
ConstraintSet to_constraint_set(const ConstraintValues& values);

}  // namespace torvane::py
