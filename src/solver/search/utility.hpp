#pragma once
// Per-candidate scores behind every ordering decision of construction,
// repair and perturbation.

#include <cstddef>
#include <vector>

#include "solver/model/problem.hpp"
#include "solver/model/settings.hpp"

namespace torvane {

// The candidate's own weighted worth, in double precision:
// b*density + alpha*relevance + g*centrality + d*recency + epsilon*auxiliary
// + mu*fulfilment, summed in that order, where b, g, d are beta, gamma,
// delta while the auxiliary weights are active and 0 otherwise.
double candidate_utility(const SolverSettings& settings, std::size_t index, const ProblemInstance& problem);

// Utility per token^0.85 (costs 0 and 1 divide by 1), plus 0.08 for a known
// role not yet present, plus a cluster term: +0.03 without a cluster, +0.12
// for a cluster without selected chunks, -0.04 per selected chunk of its
// cluster otherwise. `role_present` says whether the candidate's role is
// already held; `cluster_count` is the selected count of its cluster (read
// only when it has one).
double construction_priority(const SolverSettings& settings, std::size_t index, const ProblemInstance& problem,
                             bool role_present, std::size_t cluster_count);

// Per-candidate values that the orderings of one solve read again and
// again, computed once with exactly the operations of candidate_utility and
// construction_priority, so that every key built from them has the bits it
// would have if computed afresh.
struct CandidateScores {
    CandidateScores(const SolverSettings& settings, const ProblemInstance& problem);

    std::vector<double> utility;            // candidate_utility
    std::vector<double> utility_per_token;  // utility / max(cost, 1)^0.85
    std::vector<double> cost_pow_065;       // max(cost, 1)^0.65
    std::vector<double> utility_per_090;    // utility / max(cost, 1)^0.9
};

// construction_priority from the precomputed scores.
double construction_priority(const CandidateScores& scores, std::size_t index, const ProblemInstance& problem,
                             bool role_present, std::size_t cluster_count);

}  // namespace torvane
