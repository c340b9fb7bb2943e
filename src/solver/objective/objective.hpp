#pragma once
// The objective of a selection and its breakdown into the reported totals.

#include <cstddef>
#include <span>

#include "backend/mod/compute_backend.hpp"
#include "backend/mod/objective_context.hpp"
#include "common/support_quorum.hpp"
#include "solver/model/breakdown.hpp"
#include "solver/model/problem.hpp"
#include "solver/model/settings.hpp"

namespace torvane {

// The twelve weights every objective computation reads: the batch
// objective's eleven and a second mu. beta, gamma and delta are already zero
// when the settings' auxiliary weights are inactive. Both mu slots hold the
// same value: the batch objective reads `mu`, the double-precision
// fulfilment total `mu_fulfilment`.
struct ObjectiveWeights : BatchWeights {
    float mu_fulfilment = 0.0f;
};

ObjectiveWeights make_objective_weights(const SolverSettings& settings);

// Views of the problem's arrays and `similarity` (n x n) with the first
// eleven weights; valid while the problem and the matrix live.
ObjectiveContext make_objective_context(const ProblemInstance& problem, std::span<const float> similarity,
                                        const ObjectiveWeights& weights);

// The support rule of the weights in double precision.
SupportQuorum<double> support_quorum(const ObjectiveWeights& weights);

// The weighted support of the selection over all query tokens, in double
// precision; 0 without coverage or query tokens.
double selection_fulfilment(std::span<const std::uint8_t> selection, const ProblemInstance& problem,
                            const ObjectiveWeights& weights);

// Scores one selection of problem.n bytes: the objective from the
// backend's single-precision batch objective, the six weighted component
// totals in double precision, and the redundancy penalty as the gap
// between their sum and the objective (+0.0 unless the gap is positive).
ObjectiveBreakdown evaluate_selection(std::span<const std::uint8_t> selection, const ObjectiveWeights& weights,
                                      const ProblemInstance& problem, std::span<const float> similarity,
                                      const ComputeBackend& backend);

}  // namespace torvane
