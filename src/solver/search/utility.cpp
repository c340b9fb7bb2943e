#include "solver/search/utility.hpp"

#include <algorithm>
#include <cmath>

namespace torvane {

double candidate_utility(const SolverSettings& s, std::size_t i, const ProblemInstance& p) {
    const double b = s.aux_weights_active ? static_cast<double>(s.beta) : 0.0;
    const double g = s.aux_weights_active ? static_cast<double>(s.gamma) : 0.0;
    const double d = s.aux_weights_active ? static_cast<double>(s.delta) : 0.0;
    double u = b * static_cast<double>(p.density[i]);
    u += static_cast<double>(s.alpha) * static_cast<double>(p.relevance[i]);
    u += g * static_cast<double>(p.centrality[i]);
    u += d * static_cast<double>(p.recency[i]);
    u += static_cast<double>(s.epsilon) * static_cast<double>(p.auxiliary[i]);
    u += static_cast<double>(s.mu) * static_cast<double>(p.fulfilment[i]);
    return u;
}

namespace {

double cost_power(const ProblemInstance& p, std::size_t i, double exponent) {
    return std::pow(static_cast<double>(std::max<std::size_t>(p.token_costs[i], 1)), exponent);
}

// The role and cluster terms added to the utility per token.
double with_role_and_cluster_terms(double priority, std::size_t i, const ProblemInstance& p, bool role_present,
                                   std::size_t cluster_count) {
    if (p.roles[i] != RhetoricalRole::Unknown && !role_present) priority += 0.08;
    if (!p.cluster_ids[i]) {
        priority += 0.03;
    } else if (cluster_count > 0) {
        priority += -0.04 * static_cast<double>(cluster_count);
    } else {
        priority += 0.12;
    }
    return priority;
}

}  // namespace

double construction_priority(const SolverSettings& s, std::size_t i, const ProblemInstance& p, bool role_present,
                             std::size_t cluster_count) {
    const double priority = candidate_utility(s, i, p) / cost_power(p, i, 0.85);
    return with_role_and_cluster_terms(priority, i, p, role_present, cluster_count);
}

CandidateScores::CandidateScores(const SolverSettings& settings, const ProblemInstance& problem) {
    const std::size_t n = problem.n;
    utility.resize(n);
    utility_per_token.resize(n);
    cost_pow_065.resize(n);
    utility_per_090.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        utility[i] = candidate_utility(settings, i, problem);
        utility_per_token[i] = utility[i] / cost_power(problem, i, 0.85);
        cost_pow_065[i] = cost_power(problem, i, 0.65);
        utility_per_090[i] = utility[i] / cost_power(problem, i, 0.9);
    }
}

double construction_priority(const CandidateScores& scores, std::size_t i, const ProblemInstance& p,
                             bool role_present, std::size_t cluster_count) {
    return with_role_and_cluster_terms(scores.utility_per_token[i], i, p, role_present, cluster_count);
}

}  // namespace torvane
