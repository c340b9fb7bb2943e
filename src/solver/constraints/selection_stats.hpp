#pragma once
// A summary of one selection and the cheap feasibility tests of single
// moves (add one chunk, or exchange a selected chunk for an unselected one).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/flat_map.hpp"
#include "common/roles.hpp"
#include "common/token_total.hpp"
#include "solver/model/problem.hpp"

namespace torvane {

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

// One pass over the candidates in index order; a non-zero byte is selected.
// A selection whose length is not the candidate count is an internal fault.
SelectionStats build_selection_stats(std::span<const std::uint8_t> selection, const ProblemInstance& problem);

// Whether candidate `index` may join the selection summarised by `stats`:
// its id must be new (by id, not index) and not excluded, and the token
// budget, the chunk limit and its cluster's cap must leave room. Minimum
// tokens, minimum chunks, roles and required ids are not looked at, since
// adding can only help those. An index outside the candidates is an
// internal fault.
bool can_add(const ConstraintSet& constraints, std::size_t index, const SelectionStats& stats,
             const ProblemInstance& problem);

// Whether the selected candidate `removed` may be exchanged for the
// unselected candidate `added`: the removed id must be selected and not
// required, the added id new and not excluded; the new token total must lie
// within [min_tokens, max_tokens]; neither affected cluster may go over its
// cap; every must-include role must keep a holder. The chunk count does not
// change, so the chunk limits are not tested. An index outside the
// candidates is an internal fault.
bool can_swap(const ConstraintSet& constraints, std::size_t added, std::size_t removed, const SelectionStats& stats,
              const ProblemInstance& problem);

// Candidate indices, ascending, whose chunk id is excluded (respectively
// required). An id carried by several candidates gives all of them; an id
// no candidate carries gives nothing.
std::vector<std::size_t> excluded_indices(const ConstraintSet& constraints, std::span<const std::string> chunk_ids);
std::vector<std::size_t> required_indices(const ConstraintSet& constraints, std::span<const std::string> chunk_ids);

}  // namespace torvane
