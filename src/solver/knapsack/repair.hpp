#pragma once
// Completing partial selections, and the destroy-and-repair perturbation.

#include "solver/knapsack/problem.hpp"
#include "solver/knapsack/solve_context.hpp"
#include "solver/knapsack/tabu_memory.hpp"

namespace torvane {

// Adds the required chunks, one chunk per must-include role nobody holds,
// then the best remaining chunk while any can still be added. Never
// removes a chunk.
Selection repair_selection(const SolveContext& context, Selection selection);
Selection repair_selection(const SolverSettings& settings, Selection selection, const ProblemInstance& problem,
                           const ConstraintSet& constraints);

// Drops the weakest third (at least one) of the selected chunks that are not
// required, weakness being utility lowered for chunks the search has used
// often and slightly for expensive ones, then repairs.
Selection destroy_and_repair(const SolveContext& context, const Selection& current, const TabuMemory& memory);
Selection destroy_and_repair(const SolverSettings& settings, const Selection& current, const ProblemInstance& problem,
                             const ConstraintSet& constraints, const TabuMemory& memory);

}  // namespace torvane
