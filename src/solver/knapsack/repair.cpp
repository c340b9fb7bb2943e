#include "solver/knapsack/repair.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "solver/constraints/selection_stats.hpp"
#include "solver/knapsack/utility.hpp"

namespace torvane {

namespace {

double stats_priority(const SolverSettings& settings, std::size_t c, const ProblemInstance& problem,
                      const SelectionStats& stats) {
    const std::size_t cluster = problem.cluster_ids[c] ? stats.cluster_count(*problem.cluster_ids[c]) : 0;
    return construction_priority(settings, c, problem, stats.role_count(problem.roles[c]) > 0, cluster);
}

}  // namespace

Selection repair_selection(const SolverSettings& settings, Selection selection, const ProblemInstance& problem,
                           const ConstraintSet& constraints) {
    const std::size_t n = problem.n;
    std::vector<bool> excluded(n, false);
    for (std::size_t i : excluded_indices(constraints, problem.chunk_ids)) excluded[i] = true;

    for (std::size_t r : required_indices(constraints, problem.chunk_ids)) {
        if (selection[r] != 0 || excluded[r]) continue;
        const SelectionStats stats = build_selection_stats(selection, problem);
        if (can_add(constraints, r, stats, problem)) selection[r] = 1;
    }

    // Roles in ascending role code (Unknown first), for reproducibility.
    for (RhetoricalRole role : constraints.must_include_roles) {
        const SelectionStats stats = build_selection_stats(selection, problem);
        if (stats.role_count(role) > 0) continue;
        std::optional<std::size_t> best;
        double best_priority = -std::numeric_limits<double>::infinity();
        for (std::size_t c = 0; c < n; ++c) {
            if (selection[c] != 0 || excluded[c] || problem.roles[c] != role) continue;
            if (!can_add(constraints, c, stats, problem)) continue;
            const double priority = stats_priority(settings, c, problem, stats);
            if (priority > best_priority) {
                best = c;
                best_priority = priority;
            }
        }
        if (best) selection[*best] = 1;
    }

    for (;;) {
        const SelectionStats stats = build_selection_stats(selection, problem);
        std::optional<std::size_t> best;
        double best_priority = -std::numeric_limits<double>::infinity();
        for (std::size_t c = 0; c < n; ++c) {
            if (selection[c] != 0 || excluded[c]) continue;
            if (!can_add(constraints, c, stats, problem)) continue;
            const double priority = stats_priority(settings, c, problem, stats);
            if (priority > best_priority) {
                best = c;
                best_priority = priority;
            }
        }
        if (!best) break;
        selection[*best] = 1;
    }
    return selection;
}

Selection destroy_and_repair(const SolverSettings& settings, const Selection& current, const ProblemInstance& problem,
                             const ConstraintSet& constraints, const TabuMemory& memory) {
    const std::size_t n = problem.n;
    std::vector<bool> required(n, false);
    for (std::size_t r : required_indices(constraints, problem.chunk_ids)) required[r] = true;

    Selection selection = current;
    std::vector<std::size_t> removable;
    for (std::size_t i = 0; i < n; ++i) {
        if (selection[i] == 1 && !required[i]) removable.push_back(i);
    }
    const std::size_t g = removable.size();
    if (g >= 2) {
        std::vector<double> key(n, 0.0);
        for (std::size_t i : removable) {
            key[i] = candidate_utility(settings, i, problem) - 0.05 * static_cast<double>(memory.frequency(i)) -
                     0.0002 * static_cast<double>(problem.token_costs[i]);
        }
        std::stable_sort(removable.begin(), removable.end(), [&](std::size_t a, std::size_t b) { return key[a] < key[b]; });
    }
    const std::size_t drop = std::min(g, std::max<std::size_t>(g / 3, 1));
    for (std::size_t k = 0; k < drop; ++k) selection[removable[k]] = 0;
    return repair_selection(settings, std::move(selection), problem, constraints);
}

}  // namespace torvane
