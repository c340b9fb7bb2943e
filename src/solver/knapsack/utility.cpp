#include "solver/knapsack/utility.hpp"

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

double construction_priority(const SolverSettings& s, std::size_t i, const ProblemInstance& p, bool role_present,
                             std::size_t cluster_count) {
    const double cost = static_cast<double>(std::max<std::size_t>(p.token_costs[i], 1));
    double priority = candidate_utility(s, i, p) / std::pow(cost, 0.85);
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

}  // namespace torvane
