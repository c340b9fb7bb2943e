#pragma once
// The two start solutions: a constructive greedy and a utility-ranked
// construction guided by the search memory (which, with a filled memory,
// also serves as a diversifying restart).

#include "solver/knapsack/problem.hpp"
#include "solver/knapsack/solve_context.hpp"
#include "solver/knapsack/tabu_memory.hpp"

namespace torvane {

// Required chunks first, then one chunk per missing must-include role, then
// greedy filling by construction priority.
Selection greedy_start(const SolveContext& context);
Selection greedy_start(const SolverSettings& settings, const ProblemInstance& problem,
                       const ConstraintSet& constraints);

// One ranked pass: candidates ordered by utility lowered for chunks the
// memory has seen often and, slightly, for token cost; required chunks,
// then one chunk per missing role, then every ranked candidate that fits.
Selection memory_guided_construction(const SolveContext& context, const TabuMemory& memory);
Selection memory_guided_construction(const SolverSettings& settings, const ProblemInstance& problem,
                                     const ConstraintSet& constraints, const TabuMemory& memory);

}  // namespace torvane
