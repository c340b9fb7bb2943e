#pragma once
// The exact window that finishes a solve: every subset of a small window of
// candidates around the final selection, within a time budget.

#include <cstddef>

#include "solver/model/similarity_view.hpp"
#include "solver/objective/objective.hpp"
#include "solver/search/scored_record.hpp"
#include "solver/search/solve_context.hpp"

namespace torvane {

struct ExactWindowReport {
    bool used = false;
    bool exhaustive = false;
    std::size_t core_size = 0;
    std::size_t nodes = 0;
    std::size_t fixed_in = 0;
    std::size_t fixed_out = 0;
    double gap = 0.0;
    bool improved = false;
};

// Tries every subset of a window of weak selected and promising unselected
// candidates around the feasible `final_record`, within the time budget,
// and replaces it by the best feasible subset when that is better.
ExactWindowReport run_exact_window(const SolveContext& context, const SimilarityView& similarity,
                                   const ObjectiveWeights& weights, ScoredRecord& final_record);

}  // namespace torvane
