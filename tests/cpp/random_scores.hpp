#pragma once
// Random per-candidate scores shared by the tests' problem builders.

#include <cstddef>
#include <random>

#include "solver/model/problem.hpp"

namespace torvane::testing_support {

// Appends one candidate's relevance, density, centrality, recency and
// auxiliary score (drawn from `unit` in that order), a fulfilment of 0 and a
// token cost of 50 + rng() % cost_span. The builders draw roles, clusters
// and embeddings around this call as they need them.
inline void push_random_scores(ProblemInstance& p, std::mt19937& rng, std::uniform_real_distribution<float>& unit,
                               unsigned cost_span) {
    p.relevance.push_back(unit(rng));
    p.density.push_back(unit(rng));
    p.centrality.push_back(unit(rng));
    p.recency.push_back(unit(rng));
    p.auxiliary.push_back(unit(rng));
    p.fulfilment.push_back(0.0f);
    p.token_costs.push_back(50 + rng() % cost_span);
}

}  // namespace torvane::testing_support
