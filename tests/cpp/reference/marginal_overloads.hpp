#pragma once
// The marginal functions called with settings and a plain similarity matrix
// instead of the solve's precomputed scores and similarity view: the add
// and drop keys written out from their formulas, the orders they give, and
// the tables and redundancy sums over an n x n row-major matrix.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "solver/model/problem.hpp"
#include "solver/model/settings.hpp"
#include "solver/model/similarity_view.hpp"
#include "solver/search/marginal.hpp"
#include "solver/search/utility.hpp"

namespace torvane::reference {

// utility / kappa^0.85 + 1.45 gain + 0.35 gain / kappa^0.65 - 0.06 similarity
// sum, with kappa the token cost and at least 1.
inline double add_priority(const SolverSettings& settings, std::size_t c, const ProblemInstance& problem,
                           const MarginalTables& tables) {
    const double kappa = static_cast<double>(std::max<std::size_t>(problem.token_costs[c], 1));
    const double gain = tables.gain[c];
    return candidate_utility(settings, c, problem) / std::pow(kappa, 0.85) + 1.45 * gain +
           0.35 * gain / std::pow(kappa, 0.65) - 0.06 * tables.similarity_sum[c];
}

// utility / kappa^0.9 + 1.95 loss - 0.1 similarity sum.
inline double drop_priority(const SolverSettings& settings, std::size_t c, const ProblemInstance& problem,
                            const MarginalTables& tables) {
    const double kappa = static_cast<double>(std::max<std::size_t>(problem.token_costs[c], 1));
    return candidate_utility(settings, c, problem) / std::pow(kappa, 0.9) + 1.95 * tables.loss[c] -
           0.1 * tables.similarity_sum[c];
}

// Sorts `indices` stably by a key of each, with `before` on the keys.
template <typename Key, typename Before>
void sort_stably_by(std::vector<std::size_t>& indices, Key key, Before before) {
    std::vector<std::pair<double, std::size_t>> keyed;
    for (std::size_t i : indices) keyed.emplace_back(key(i), i);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [&](const auto& a, const auto& b) { return before(a.first, b.first); });
    for (std::size_t k = 0; k < keyed.size(); ++k) indices[k] = keyed[k].second;
}

// By descending add priority, respectively ascending drop priority; equal
// keys keep their order.
inline void sort_by_add_priority(std::vector<std::size_t>& indices, const SolverSettings& settings,
                                 const ProblemInstance& problem, const MarginalTables& tables) {
    sort_stably_by(
        indices, [&](std::size_t c) { return add_priority(settings, c, problem, tables); },
        [](double a, double b) { return a > b; });
}

inline void sort_by_drop_priority(std::vector<std::size_t>& indices, const SolverSettings& settings,
                                  const ProblemInstance& problem, const MarginalTables& tables) {
    sort_stably_by(
        indices, [&](std::size_t c) { return drop_priority(settings, c, problem, tables); },
        [](double a, double b) { return a < b; });
}

// Tables for `selection` from an n x n row-major matrix; similarity_sum
// stays 0 unless the matrix has exactly n * n entries.
inline MarginalTables build_marginal_tables(std::span<const std::uint8_t> selection, const ProblemInstance& problem,
                                            std::span<const float> similarity, const SolverSettings& settings) {
    const std::size_t n = problem.n;
    std::size_t entries = 0;
    if (!__builtin_mul_overflow(n, n, &entries) && similarity.size() == entries) {
        const SimilarityColumns columns(similarity, n, false);
        return torvane::build_marginal_tables(selection, problem, columns.view(), settings);
    }
    return torvane::build_marginal_tables(selection, problem, SimilarityView{}, settings);
}

// red[c] = sum of similarity[c*n + i] over the selected i != c.
inline std::vector<float> build_redundancy_vector(std::span<const std::uint8_t> selection,
                                                  std::span<const float> similarity, std::size_t n) {
    TORVANE_CHECK(selection.size() == n && similarity.size() / (n == 0 ? 1 : n) == n,
                  "redundancy vector needs n selection bytes and an n x n similarity matrix");
    const SimilarityColumns columns(similarity, n, false);
    return torvane::build_redundancy_vector(selection, columns.view());
}

// Brings `red` up to date after Move(added, removed) (removed == n: none).
inline void update_redundancy_vector(std::vector<float>& red, std::span<const float> similarity, std::size_t n,
                                     std::size_t added, std::size_t removed) {
    TORVANE_CHECK(red.size() == n && added < n, "redundancy update outside the candidates");
    const SimilarityColumns columns(similarity, n, false);
    torvane::update_redundancy_vector(red, columns.view(), added, removed);
}

}  // namespace torvane::reference
