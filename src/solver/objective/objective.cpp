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

void TokenSupport::add(float v, float threshold) {
    if (v >= threshold) ++supporters;
    insert_best(best, static_cast<double>(v));
}

double TokenSupport::support(const ObjectiveWeights& weights) const {
    // The cap counts as its integer part and at least 2; only whether it
    // reaches 3 and 4 matters, and NaN reaches neither.
    const float cap = weights.support_quorum_cap;
    const double bonus = weights.support_quorum_bonus;
    const double third = cap >= 3.0f && supporters >= 3 ? bonus * clamp_unit(best[2]) : 0.0;
    const double fourth = cap >= 4.0f && supporters >= 4 ? 0.5 * bonus * clamp_unit(best[3]) : 0.0;
    double s = clamp_unit(best[0]) + static_cast<double>(weights.support_secondary_discount) * clamp_unit(best[1]);
    s = s + third;
    s = s + fourth;
    return s;
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
    const std::span<const float> token_weights = optional_view(problem.query_token_weights);

    double total = 0.0;
    for (std::size_t t = 0; t < tokens; ++t) {
        const float* values = coverage.data() + t * n;
        TokenSupport token;
        for (std::size_t i = 0; i < n; ++i) {
            if (selection[i] != 0) token.add(values[i], weights.support_quorum_threshold);
        }
        const double w = t < token_weights.size() ? static_cast<double>(token_weights[t]) : 1.0;
        total = total + w * token.support(weights);
    }
    return total;
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
