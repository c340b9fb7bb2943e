#include "solver/search/repair.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "solver/constraints/constraint_index.hpp"
#include "solver/search/utility.hpp"

namespace torvane {

namespace {

double stats_priority(const SolveContext& context, std::size_t c, const IndexedStats& stats) {
    const std::size_t slot = context.index.cluster_slot(c);
    const std::size_t cluster = slot == ConstraintIndex::kNoCluster ? 0 : stats.cluster_counts[slot];
    return construction_priority(context.scores, c, context.problem, stats.role_count(context.problem.roles[c]) > 0,
                                 cluster);
}

}  // namespace

// The statistics are those of the selection at every decision: they are
// built once and brought up to date with each chunk added (a repair never
// removes one), which gives the counts a rebuild would give.
Selection repair_selection(const SolveContext& context, Selection selection) {
    const ProblemInstance& problem = context.problem;
    const ConstraintIndex& index = context.index;
    const std::size_t n = problem.n;
    IndexedStats stats = index.stats(selection);
    const auto select = [&](std::size_t i) {
        selection[i] = 1;
        index.add_to(stats, i);
    };

    for (std::size_t r : index.required_candidates()) {
        if (selection[r] != 0 || index.excluded(r)) continue;
        if (index.can_add(r, stats)) select(r);
    }

    // Roles in ascending role code (Unknown first), for reproducibility.
    for (RhetoricalRole role : context.constraints.must_include_roles) {
        if (stats.role_count(role) > 0) continue;
        std::optional<std::size_t> best;
        double best_priority = -std::numeric_limits<double>::infinity();
        for (std::size_t c = 0; c < n; ++c) {
            if (selection[c] != 0 || index.excluded(c) || problem.roles[c] != role) continue;
            if (!index.can_add(c, stats)) continue;
            const double priority = stats_priority(context, c, stats);
            if (priority > best_priority) {
                best = c;
                best_priority = priority;
            }
        }
        if (best) select(*best);
    }

    for (;;) {
        std::optional<std::size_t> best;
        double best_priority = -std::numeric_limits<double>::infinity();
        for (std::size_t c = 0; c < n; ++c) {
            if (selection[c] != 0 || index.excluded(c)) continue;
            if (!index.can_add(c, stats)) continue;
            const double priority = stats_priority(context, c, stats);
            if (priority > best_priority) {
                best = c;
                best_priority = priority;
            }
        }
        if (!best) break;
        select(*best);
    }
    return selection;
}

Selection destroy_and_repair(const SolveContext& context, const Selection& current, const TabuMemory& memory) {
    const ProblemInstance& problem = context.problem;
    const std::size_t n = problem.n;
    Selection selection = current;
    std::vector<std::size_t> removable;
    for (std::size_t i = 0; i < n; ++i) {
        if (selection[i] == 1 && !context.index.required(i)) removable.push_back(i);
    }
    const std::size_t g = removable.size();
    if (g >= 2) {
        std::vector<double> key(n, 0.0);
        for (std::size_t i : removable) {
            key[i] = context.scores.utility[i] - 0.05 * static_cast<double>(memory.frequency(i)) -
                     0.0002 * static_cast<double>(problem.token_costs[i]);
        }
        std::stable_sort(removable.begin(), removable.end(), [&](std::size_t a, std::size_t b) { return key[a] < key[b]; });
    }
    const std::size_t drop = std::min(g, std::max<std::size_t>(g / 3, 1));
    for (std::size_t k = 0; k < drop; ++k) selection[removable[k]] = 0;
    return repair_selection(context, std::move(selection));
}

}  // namespace torvane
