#pragma once
// Completing partial selections, and the destroy-and-repair perturbation.

#include "solver/model/problem.hpp"
#include "solver/model/settings.hpp"
#include "solver/search/solve_context.hpp"
#include "solver/search/tabu_memory.hpp"

namespace torvane {

// Adds the required chunks, one chunk per must-include role nobody holds,
// then the best remaining chunk while any can still be added. Never
// removes a chunk.
Selection repair_selection(const SolveContext& context, Selection selection);

// Drops the weakest third (at least one) of the selected chunks that are not
// required, weakness being utility lowered for chunks the search has used
// often and slightly for expensive ones, then repairs.
Selection destroy_and_repair(const SolveContext& context, const Selection& current, const TabuMemory& memory);

}  // namespace torvane
