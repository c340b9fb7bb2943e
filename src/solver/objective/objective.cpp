#include "solver/objective/objective.hpp"

#include <cmath>

#include "common/fault.hpp"
#include "common/numeric.hpp"

namespace torvane {
namespace {

std::span<const float> optional_view(const std::optional<std::vector<float>>& values) {
    return values.has_value() ? std::span<const float>(*values) : std::span<const float>{};
}

}  // namespace

ObjectiveWeights make_objective_weights(const SolverSettings& settings) {
    const bool aux = settings.aux_weights_active;
    ObjectiveWeights w;
    w.alpha = settings.alpha;
    w.beta = aux ? settings.beta : 0.0f;
    w.gamma = aux ? settings.gamma : 0.0f;
    w.delta = aux ? settings.delta : 0.0f;
    w.epsilon = settings.epsilon;
    w.mu = settings.mu;
    w.lambda = settings.lambda;
    w.support_secondary_discount = settings.support_secondary_discount;
    w.support_quorum_bonus = settings.support_quorum_bonus;
    w.support_quorum_threshold = settings.support_quorum_threshold;
    w.support_quorum_cap = static_cast<float>(settings.support_quorum_cap);
    w.mu_fulfilment = settings.mu;
    return w;
}

ObjectiveContext make_objective_context(const ProblemInstance& problem, std::span<const float> similarity,
                                        const ObjectiveWeights& weights) {
    ObjectiveContext c;
    c.relevance = problem.relevance;
    c.density = problem.density;
    c.centrality = problem.centrality;
    c.recency = problem.recency;
    c.auxiliary = problem.auxiliary;
    c.similarity = similarity;
    c.n = problem.n;
    if (problem.coverage.has_value()) {
        c.coverage = optional_view(problem.coverage);
        c.num_query_tokens = problem.num_query_tokens;
        if (problem.query_token_weights.has_value()) c.query_token_weights = optional_view(problem.query_token_weights);
    }
    static_cast<BatchWeights&>(c) = weights;
    return c;
}

SupportQuorum<double> support_quorum(const ObjectiveWeights& weights) {
    return {static_cast<double>(weights.support_secondary_discount), static_cast<double>(weights.support_quorum_bonus),
            weights.support_quorum_cap};
}

double selection_fulfilment(std::span<const std::uint8_t> selection, const ProblemInstance& problem,
                            const ObjectiveWeights& weights) {
    const std::size_t n = problem.n;
    const std::size_t tokens = problem.num_query_tokens;
    if (!problem.coverage.has_value() || tokens == 0) return 0.0;
    const std::vector<float>& coverage = *problem.coverage;
    TORVANE_CHECK(selection.size() >= n, "fulfilment: the selection is shorter than a coverage row");
    std::size_t cells = 0;
    TORVANE_CHECK(!__builtin_mul_overflow(tokens, n, &cells) && cells <= coverage.size(),
                  "fulfilment: a coverage row lies outside the coverage matrix");
    std::vector<std::size_t> selected;
    for (std::size_t i = 0; i < n; ++i) {
        if (selection[i] != 0) selected.push_back(i);
    }
    return total_support(coverage.data(), tokens, n, selected, optional_view(problem.query_token_weights),
                         weights.support_quorum_threshold, support_quorum(weights));
}

ObjectiveBreakdown evaluate_selection(std::span<const std::uint8_t> selection, const ObjectiveWeights& weights,
                                      const ProblemInstance& problem, std::span<const float> similarity,
                                      const ComputeBackend& backend) {
    const float relevance = backend.masked_sum(problem.relevance, selection);
    const float density = backend.masked_sum(problem.density, selection);
    const float centrality = backend.masked_sum(problem.centrality, selection);
    const float recency = backend.masked_sum(problem.recency, selection);
    const float auxiliary = backend.masked_sum(problem.auxiliary, selection);

    // Skipped when it carries no weight: a pass over T x n coverage values.
    const double fulfil =
        std::fabs(weights.mu_fulfilment) <= kZeroWeight ? 0.0 : selection_fulfilment(selection, problem, weights);

    const ObjectiveContext context = make_objective_context(problem, similarity, weights);
    const std::vector<float> scores = backend.evaluate_batch(selection, 1, context);
    TORVANE_CHECK(!scores.empty(), "evaluate_selection: the batch objective returned no value");

    ObjectiveBreakdown b;
    b.objective_score = scores[0];
    b.relevance_total = static_cast<double>(weights.alpha) * relevance;
    b.density_total = static_cast<double>(weights.beta) * density;
    b.centrality_total = static_cast<double>(weights.gamma) * centrality;
    b.recency_total = static_cast<double>(weights.delta) * recency;
    b.auxiliary_total = static_cast<double>(weights.epsilon) * auxiliary;
    b.fulfilment_total = fulfil * static_cast<double>(weights.mu_fulfilment);
    const double gap = b.relevance_total + b.density_total + b.centrality_total + b.recency_total +
                       b.auxiliary_total + b.fulfilment_total - b.objective_score;
    // Not max(gap, 0.0): a -0.0 or NaN gap must give +0.0.
    b.redundancy_penalty = gap > 0.0 ? gap : 0.0;
    return b;
}

}  // namespace torvane
