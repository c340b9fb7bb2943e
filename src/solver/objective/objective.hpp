#pragma once
// The objective of a selection and its breakdown into the reported totals.

#include <cstddef>
#include <span>

#include "backend/mod/compute_backend.hpp"
#include "backend/mod/objective_context.hpp"
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

// Inserts v into four values kept best first: at the front on a tie with
// the best, elsewhere only where strictly greater; NaN displaces nothing.
template <class T>
void insert_best(T (&best)[4], T v) {
    if (v >= best[0]) {
        best[3] = best[2];
        best[2] = best[1];
        best[1] = best[0];
        best[0] = v;
    } else if (v > best[1]) {
        best[3] = best[2];
        best[2] = best[1];
        best[1] = v;
    } else if (v > best[2]) {
        best[3] = best[2];
        best[2] = v;
    } else if (v > best[3]) {
        best[3] = v;
    }
}

// The four best coverage values of one query token among the selected
// candidates, and how many of them reach the support threshold.
struct TokenSupport {
    double best[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t supporters = 0;

    // Counts v as a supporter when v >= threshold (in single precision) and
    // inserts it: at the front on a tie with the best, otherwise only where
    // it is strictly greater; NaN displaces nothing.
    void add(float v, float threshold);

    // best1 + discount * best2 (+ bonus * best3 with three supporters and a
    // cap of 3 or more) (+ bonus / 2 * best4 with four supporters and a cap
    // of 4 or more), each value clamped to [0, 1] first. A cap below 2
    // (or NaN) acts as 2.
    double support(const ObjectiveWeights& weights) const;
};

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
