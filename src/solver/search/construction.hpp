#pragma once
// The two start solutions: a constructive greedy and a utility-ranked
// construction guided by the search memory (which, with a filled memory,
// also serves as a diversifying restart).

#include "solver/model/problem.hpp"
#include "solver/model/settings.hpp"
#include "solver/search/solve_context.hpp"
#include "solver/search/tabu_memory.hpp"

namespace torvane {

// Required chunks first, then one chunk per missing must-include role, then
// greedy filling by construction priority.
Selection greedy_start(const SolveContext& context);

// One ranked pass: candidates ordered by utility lowered for chunks the
// memory has seen often and, slightly, for token cost; required chunks,
// then one chunk per missing role, then every ranked candidate that fits.
Selection memory_guided_construction(const SolveContext& context, const TabuMemory& memory);

}  // namespace torvane
