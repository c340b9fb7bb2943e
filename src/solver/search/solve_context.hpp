#pragma once
// What every phase of one solve reads besides the similarity matrix,
// prepared once per solve: the constraints keyed by candidate index and the
// per-candidate scores the orderings reuse.

#include "backend/mod/compute_backend.hpp"
#include "solver/constraints/constraint_index.hpp"
#include "solver/model/problem.hpp"
#include "solver/model/settings.hpp"
#include "solver/search/utility.hpp"

namespace torvane {

struct SolveContext {
    SolveContext(const SolverSettings& solver_settings, const ProblemInstance& instance, const ConstraintSet& set,
                 const ComputeBackend& compute_backend)
        : settings(solver_settings), problem(instance), constraints(set), backend(compute_backend), index(instance, set),
          scores(solver_settings, instance) {}
    SolveContext(const SolveContext&) = delete;
    SolveContext& operator=(const SolveContext&) = delete;

    const SolverSettings& settings;
    const ProblemInstance& problem;
    const ConstraintSet& constraints;
    const ComputeBackend& backend;
    const ConstraintIndex index;
    const CandidateScores scores;
};

}  // namespace torvane
