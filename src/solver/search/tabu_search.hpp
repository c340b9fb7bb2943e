#pragma once
// The tabu search with its perturbations and the best-move choice.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "solver/model/problem.hpp"
#include "solver/model/similarity_view.hpp"
#include "solver/objective/move_evaluation.hpp"
#include "solver/objective/objective.hpp"
#include "solver/search/marginal.hpp"
#include "solver/search/scored_record.hpp"
#include "solver/search/solve_context.hpp"
#include "solver/search/tabu_memory.hpp"

namespace torvane {

// Adds `added`; removes `removed` too unless it is n.
struct Move {
    std::size_t added;
    std::size_t removed;
};

// What one best-move search reads; everything is shared read-only while
// the moves are evaluated in parallel.
struct MoveContext {
    const ConstraintIndex& index;
    const IndexedStats& stats;  // of `selection`
    const ProblemInstance& problem;
    const ObjectiveWeights& weights;
    std::span<const std::uint8_t> selection;
    std::span<const float> redundancy;
    const SupportCache* cache;
    const SimilarityView& similarity;
    double frequency_weight;
    const TabuMemory& memory;
    std::size_t early_stopping_patience;
    double improvement_epsilon;
    double current_objective;
    double best_feasible_objective;
    std::size_t stagnation;
    // The similarities to the selected candidates row by row, when the
    // search keeps them; read in place of the similarity columns.
    const SelectedSimilarities* selected_similarities = nullptr;
};

struct MoveChoice {
    bool found = false;
    std::size_t added = 0;
    std::size_t removed = 0;
    double delta = 0.0;
    double score = 0.0;
    bool any_move = false;  // whether the neighbourhood held a move at all
};

// The moves of one iteration, in list order: for each add candidate, its
// swaps with the removal candidates that pass can_swap (required ones are
// skipped), then its add-only move when can_add passes.
struct Neighbourhood {
    std::span<const std::size_t> adds;
    std::span<const std::size_t> removes;
};

// Generates and evaluates the moves of the neighbourhood and returns the
// best admissible one, exactly as a pass over the move list in list order
// would choose it, whatever the number of threads.
MoveChoice find_best_move(const Neighbourhood& neighbourhood, const MoveContext& context);

// Everything the search leaves behind for the rest of the solve.
struct SearchOutcome {
    ScoredRecord best_by_objective;
    ScoredRecord best_feasible;
    std::size_t best_iteration = 0;
    std::vector<double> objective_trace;
};

// The current solution of the search with its incremental aids.
struct CurrentSolution {
    Selection selection;
    ObjectiveBreakdown breakdown;
    bool feasible = false;
};

// Runs the tabu search from `start` for up to settings.iterations
// iterations, updating `outcome`, `memory` and `elite`.
void run_tabu_search(const SolveContext& context, const SimilarityView& similarity, const ObjectiveWeights& weights,
                     const CurrentSolution& start, TabuMemory& memory, ElitePool& elite, SearchOutcome& outcome);

}  // namespace torvane
