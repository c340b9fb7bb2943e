#pragma once
// A selection with its scores, as the search and the exact window pass it
// between them.

#include "solver/model/breakdown.hpp"
#include "solver/model/problem.hpp"

namespace torvane {

struct ScoredRecord {
    Selection selection;
    ObjectiveBreakdown breakdown;
    double objective = 0.0;
};

}  // namespace torvane
