#pragma once
// The string-keyed summary of one selection and the feasibility tests of
// single moves (add one chunk, or exchange a selected chunk for an unselected
// one), written literally: chunk ids as strings, clusters in a map. The
// solver answers the same questions by candidate index (ConstraintIndex);
// the tests hold its answers against these.

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "common/flat_map.hpp"
#include "common/roles.hpp"
#include "common/token_total.hpp"
#include "solver/constraints/constraint_check.hpp"
#include "solver/model/problem.hpp"

namespace torvane::reference {

// Built from one selection and rebuilt, never updated, when it changes.
struct SelectionStats {
    // Selected chunks per role, indexed by the role code as an unsigned byte
    // (Unknown, -1, is slot 255).
    std::array<std::size_t, 256> role_counts{};
    // Selected chunks per cluster id; chunks without a cluster are not counted.
    FlatMap<std::size_t, std::size_t> cluster_counts;
    // Chunk ids of the selected chunks.
    FlatSet<std::string> selected_ids;
    // Exact sum of the selected token costs.
    TokenTotal token_total;
    std::size_t count = 0;

    std::size_t role_count(RhetoricalRole role) const {
        return role_counts[static_cast<std::uint8_t>(role_code(role))];
    }
    std::size_t cluster_count(std::size_t cluster) const {
        const std::size_t* members = cluster_counts.find(cluster);
        return members == nullptr ? 0 : *members;
    }
};

namespace detail {

inline bool contains(const FlatSet<std::string>& ids, const std::string& id) { return ids.contains(id); }
inline bool contains(const std::set<std::string>& ids, const std::string& id) { return ids.find(id) != ids.end(); }

inline std::vector<std::size_t> indices_in(const std::set<std::string>& ids,
                                           std::span<const std::string> chunk_ids) {
    std::vector<std::size_t> out;
    if (ids.empty()) return out;
    for (std::size_t i = 0; i < chunk_ids.size(); ++i) {
        if (detail::contains(ids, chunk_ids[i])) out.push_back(i);
    }
    return out;
}

}  // namespace detail

// One pass over the candidates in index order; a non-zero byte is selected.
// A selection whose length is not the candidate count is an internal fault.
inline SelectionStats build_selection_stats(std::span<const std::uint8_t> selection,
                                            const ProblemInstance& problem) {
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

// Whether candidate `index` may join the selection summarised by `stats`:
// its id must be new (by id, not index) and not excluded, and the token
// budget, the chunk limit and its cluster's cap must leave room. Minimum
// tokens, minimum chunks, roles and required ids are not looked at, since
// adding can only help those. An index outside the candidates is an
// internal fault.
inline bool can_add(const ConstraintSet& constraints, std::size_t index, const SelectionStats& stats,
                    const ProblemInstance& problem) {
    require_constraint_fields(problem);
    TORVANE_CHECK(index < problem.n, "can_add: candidate index out of range");

    const std::string& id = problem.chunk_ids[index];
    if (detail::contains(stats.selected_ids, id)) return false;
    if (detail::contains(constraints.excluded_chunks, id)) return false;
    if (stats.token_total + problem.token_costs[index] > constraints.max_tokens) return false;
    if (stats.count >= constraints.max_chunks) return false;
    const auto& cluster = problem.cluster_ids[index];
    if (!cluster) return true;
    // A cluster without a count yet holds 0, which admits the chunk exactly
    // when the cap is above 0.
    return stats.cluster_count(*cluster) < constraints.max_per_cluster;
}

// Whether the selected candidate `removed` may be exchanged for the
// unselected candidate `added`: the removed id must be selected and not
// required, the added id new and not excluded; the new token total must lie
// within [min_tokens, max_tokens]; neither affected cluster may go over its
// cap; every must-include role must keep a holder. The chunk count does not
// change, so the chunk limits are not tested. An index outside the
// candidates is an internal fault.
inline bool can_swap(const ConstraintSet& constraints, std::size_t added, std::size_t removed,
                     const SelectionStats& stats, const ProblemInstance& problem) {
    require_constraint_fields(problem);
    TORVANE_CHECK(added < problem.n, "can_swap: added index out of range");
    TORVANE_CHECK(removed < problem.n, "can_swap: removed index out of range");

    const std::string& added_id = problem.chunk_ids[added];
    const std::string& removed_id = problem.chunk_ids[removed];
    if (!detail::contains(stats.selected_ids, removed_id)) return false;
    if (detail::contains(stats.selected_ids, added_id)) return false;
    if (detail::contains(constraints.required_chunks, removed_id)) return false;
    if (detail::contains(constraints.excluded_chunks, added_id)) return false;

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

// Candidate indices, ascending, whose chunk id is excluded (respectively
// required). An id carried by several candidates gives all of them; an id
// no candidate carries gives nothing.
inline std::vector<std::size_t> excluded_indices(const ConstraintSet& constraints,
                                                std::span<const std::string> chunk_ids) {
    return detail::indices_in(constraints.excluded_chunks, chunk_ids);
}

inline std::vector<std::size_t> required_indices(const ConstraintSet& constraints,
                                                std::span<const std::string> chunk_ids) {
    return detail::indices_in(constraints.required_chunks, chunk_ids);
}

}  // namespace torvane::reference
