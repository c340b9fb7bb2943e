#pragma once
// Per-candidate scores behind every ordering decision of construction,
// repair and perturbation.

#include <cstddef>

#include "solver/knapsack/problem.hpp"

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

}  // namespace torvane
