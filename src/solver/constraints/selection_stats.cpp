#include "solver/constraints/selection_stats.hpp"

#include <set>

#include "common/fault.hpp"
#include "solver/constraints/constraint_check.hpp"

namespace torvane {

namespace {

bool contains(const FlatSet<std::string>& ids, const std::string& id) { return ids.contains(id); }
bool contains(const std::set<std::string>& ids, const std::string& id) { return ids.find(id) != ids.end(); }

std::vector<std::size_t> indices_in(const std::set<std::string>& ids, std::span<const std::string> chunk_ids) {
    std::vector<std::size_t> out;
    if (ids.empty()) return out;
    for (std::size_t i = 0; i < chunk_ids.size(); ++i) {
        if (contains(ids, chunk_ids[i])) out.push_back(i);
    }
    return out;
}

}  // namespace

SelectionStats build_selection_stats(std::span<const std::uint8_t> selection, const ProblemInstance& problem) {
    require_constraint_fields(problem);
    TORVANE_CHECK(selection.size() == problem.n, "selection length does not match the candidate count");

    SelectionStats stats;
    for (std::size_t i = 0; i < selection.size(); ++i) {
        if (selection[i] == 0) continue;
        ++stats.role_counts[static_cast<std::uint8_t>(role_code(problem.roles[i]))];
        if (problem.cluster_ids[i]) ++stats.cluster_counts[*problem.cluster_ids[i]];
        stats.selected_ids.insert(problem.chunk_ids[i]);
        stats.token_total += problem.token_costs[i];
        ++stats.count;
    }
    return stats;
}

bool can_add(const ConstraintSet& constraints, std::size_t index, const SelectionStats& stats,
             const ProblemInstance& problem) {
    require_constraint_fields(problem);
    TORVANE_CHECK(index < problem.n, "can_add: candidate index out of range");

    const std::string& id = problem.chunk_ids[index];
    if (contains(stats.selected_ids, id)) return false;
    if (contains(constraints.excluded_chunks, id)) return false;
    if (stats.token_total + problem.token_costs[index] > constraints.max_tokens) return false;
    if (stats.count >= constraints.max_chunks) return false;
    const auto& cluster = problem.cluster_ids[index];
    if (!cluster) return true;
    // A cluster without a count yet holds 0, which admits the chunk exactly
    // when the cap is above 0.
    return stats.cluster_count(*cluster) < constraints.max_per_cluster;
}

bool can_swap(const ConstraintSet& constraints, std::size_t added, std::size_t removed, const SelectionStats& stats,
              const ProblemInstance& problem) {
    require_constraint_fields(problem);
    TORVANE_CHECK(added < problem.n, "can_swap: added index out of range");
    TORVANE_CHECK(removed < problem.n, "can_swap: removed index out of range");

    const std::string& added_id = problem.chunk_ids[added];
    const std::string& removed_id = problem.chunk_ids[removed];
    if (!contains(stats.selected_ids, removed_id)) return false;
    if (contains(stats.selected_ids, added_id)) return false;
    if (contains(constraints.required_chunks, removed_id)) return false;
    if (contains(constraints.excluded_chunks, added_id)) return false;

    // New total = total + cost(added) - cost(removed), exact; a removal
    // larger than the sum (only possible with stats of another selection)
    // bottoms out at 0 instead of wrapping.
    const TokenTotal new_total =
        (stats.token_total + problem.token_costs[added]).minus_or_zero(problem.token_costs[removed]);
    if (new_total > constraints.max_tokens || new_total < constraints.min_tokens) return false;

    const auto& added_cluster = problem.cluster_ids[added];
    const auto& removed_cluster = problem.cluster_ids[removed];
    const bool same_cluster = added_cluster && removed_cluster && *added_cluster == *removed_cluster;
    if (removed_cluster) {
        const std::size_t c = stats.cluster_count(*removed_cluster);
        const std::size_t after = same_cluster ? (c > 0 ? c : 1) : (c > 0 ? c - 1 : 0);
        if (after > constraints.max_per_cluster) return false;
    }
    if (added_cluster) {
        const std::size_t c = stats.cluster_count(*added_cluster);
        const std::size_t after = same_cluster ? c : c + 1;
        if (after > constraints.max_per_cluster) return false;
    }

    const RhetoricalRole added_role = problem.roles[added];
    const RhetoricalRole removed_role = problem.roles[removed];
    for (RhetoricalRole role : constraints.must_include_roles) {
        std::size_t holders = stats.role_count(role);
        if (removed_role == role && holders > 0) --holders;
        if (added_role == role) ++holders;
        if (holders == 0) return false;
    }
    return true;
}

std::vector<std::size_t> excluded_indices(const ConstraintSet& constraints, std::span<const std::string> chunk_ids) {
    return indices_in(constraints.excluded_chunks, chunk_ids);
}

std::vector<std::size_t> required_indices(const ConstraintSet& constraints, std::span<const std::string> chunk_ids) {
    return indices_in(constraints.required_chunks, chunk_ids);
}

}  // namespace torvane
