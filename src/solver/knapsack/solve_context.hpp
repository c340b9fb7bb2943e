#pragma once
// What every phase of one solve reads besides the similarity matrix,
// prepared once per solve: the constraints keyed by candidate index and the
// per-candidate scores the orderings reuse.

#include "solver/constraints/constraint_index.hpp"
#include "solver/knapsack/problem.hpp"
#include "solver/knapsack/utility.hpp"

namespace torvane {

struct SolveContext {
    SolveContext(const SolverSettings& solver_settings, const ProblemInstance& instance, const ConstraintSet& set)
        : settings(solver_settings), problem(instance), constraints(set), index(instance, set),
          scores(solver_settings, instance) {}
    SolveContext(const SolveContext&) = delete;
    SolveContext& operator=(const SolveContext&) = delete;

    const SolverSettings& settings;
    const ProblemInstance& problem;
    const ConstraintSet& constraints;
    const ConstraintIndex index;
    const CandidateScores scores;
};

}  // namespace torvane
