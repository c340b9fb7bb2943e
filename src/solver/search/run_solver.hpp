#pragma once

#include <chrono>

#include "backend/mod/compute_backend.hpp"
#include "solver/constraints/constraint_check.hpp"
#include "solver/model/problem.hpp"
#include "solver/model/result.hpp"
#include "solver/model/settings.hpp"
#include "solver/search/scored_record.hpp"

namespace torvane {

// The one solve routine: selects a subset of the problem's candidates
// under the constraints and reports it with its scores and statistics.
SolveResult run_solver(const SolverSettings& settings, const ProblemInstance& problem,
                       const ConstraintSet& constraints, const ComputeBackend& backend);

// Sets the fields of `result` that describe the chosen selection: its
// scores, what its constraint report says of it, its indices in ascending
// order and the selection itself.
void describe_selection(SolveResult& result, const ScoredRecord& record, const ConstraintReport& report);

// Milliseconds from `start` to `now`, as (whole seconds + nanoseconds / 1e9)
// * 1000; 0.0 when `now` is earlier than `start`.
double elapsed_ms(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point now);

}  // namespace torvane
