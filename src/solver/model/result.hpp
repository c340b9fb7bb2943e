#pragma once
// What a solve leaves behind: a scored selection, and the result the
// binding turns into a SolverOutput.

#include <cstddef>
#include <string>
#include <vector>

#include "solver/model/breakdown.hpp"
#include "solver/model/problem.hpp"

namespace torvane {

struct ScoredSolution {
    Selection selection;
    ObjectiveBreakdown breakdown;
    bool feasible = false;
};

// What run_solver returns; the binding moves it into a SolverOutput.
struct SolveResult {
    ObjectiveBreakdown breakdown;  // objective score and the seven totals
    double solve_time_ms = 0.0;
    double exact_window_gap = 0.0;

    std::size_t total_tokens = 0;
    std::size_t num_selected = 0;
    std::size_t iterations_run = 0;
    std::size_t best_iteration = 0;
    std::size_t exact_window_core_size = 0;
    std::size_t exact_window_nodes = 0;
    std::size_t exact_window_fixed_in = 0;
    std::size_t exact_window_fixed_out = 0;

    std::vector<std::size_t> selected_indices;
    std::vector<std::string> constraint_violations;

    bool constraints_satisfied = true;
    bool exact_window_used = false;
    bool exact_window_exhaustive = false;

    // Internal: not exposed to Python.
    Selection final_selection;
    std::vector<double> objective_trace;
};

}  // namespace torvane
