#include "solver/constraints/constraint_index.hpp"

#include <algorithm>
#include <limits>
#include <string_view>

#include "common/fault.hpp"
#include "common/flat_map.hpp"
#include "solver/constraints/constraint_check.hpp"

namespace torvane {

namespace {


}  // namespace

ConstraintIndex::ConstraintIndex(const ProblemInstance& problem, const ConstraintSet& constraints)
    : problem_(problem), constraints_(constraints) {
    require_constraint_fields(problem);
    const std::size_t n = problem.n;
    id_slot_.resize(n);
    cluster_slot_.resize(n);
    excluded_.assign(n, 0);
    required_.assign(n, 0);

    FlatMap<std::string_view, std::size_t> ids;
    FlatMap<std::size_t, std::size_t> clusters;
    ids.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& id = problem.chunk_ids[i];
        id_slot_[i] = *ids.try_emplace(id, ids.size()).first;
        const auto& cluster = problem.cluster_ids[i];
        cluster_slot_[i] = cluster ? *clusters.try_emplace(*cluster, clusters.size()).first : kNoCluster;
        excluded_[i] = constraints.excluded_chunks.count(id) != 0 ? 1 : 0;
        required_[i] = constraints.required_chunks.count(id) != 0 ? 1 : 0;
        if (required_[i] != 0) required_candidates_.push_back(i);
        largest_cost_ = std::max(largest_cost_, problem.token_costs[i]);
    }
    id_slot_count_ = ids.size();
    cluster_slot_count_ = clusters.size();
    for (const std::string& id : constraints.required_chunks) {
        if (const std::size_t* slot = ids.find(id)) {
            required_slots_.push_back(*slot);
        } else {
            required_unmatched_ = true;
        }
    }
    std::sort(required_slots_.begin(), required_slots_.end());
}

IndexedStats ConstraintIndex::stats(std::span<const std::uint8_t> selection) const {
    TORVANE_CHECK(selection.size() == size(), "selection length does not match the candidate count");
    IndexedStats stats;
    stats.cluster_counts.assign(cluster_slot_count_, 0);
    stats.id_counts.assign(id_slot_count_, 0);
    for (std::size_t i = 0; i < selection.size(); ++i) {
        if (selection[i] != 0) add_to(stats, i);
    }
    return stats;
}

void ConstraintIndex::add_to(IndexedStats& stats, std::size_t i) const {
    ++stats.role_counts[role_slot(problem_.roles[i])];
    if (cluster_slot_[i] != kNoCluster) ++stats.cluster_counts[cluster_slot_[i]];
    ++stats.id_counts[id_slot_[i]];
    stats.token_total += problem_.token_costs[i];
    ++stats.count;
}

bool ConstraintIndex::can_add(std::size_t index, const IndexedStats& stats) const {
    TORVANE_CHECK(index < size(), "can_add: candidate index out of range");
    if (stats.id_counts[id_slot_[index]] != 0) return false;
    if (excluded_[index] != 0) return false;
    if (stats.token_total + problem_.token_costs[index] > constraints_.max_tokens) return false;
    if (stats.count >= constraints_.max_chunks) return false;
    const std::size_t cluster = cluster_slot_[index];
    if (cluster == kNoCluster) return true;
    return stats.cluster_counts[cluster] < constraints_.max_per_cluster;
}

bool ConstraintIndex::can_swap(std::size_t added, std::size_t removed, const IndexedStats& stats) const {
    TORVANE_CHECK(added < size(), "can_swap: added index out of range");
    TORVANE_CHECK(removed < size(), "can_swap: removed index out of range");
    if (stats.id_counts[id_slot_[removed]] == 0) return false;
    if (stats.id_counts[id_slot_[added]] != 0) return false;
    if (required_[removed] != 0) return false;
    if (excluded_[added] != 0) return false;

    const TokenTotal new_total =
        (stats.token_total + problem_.token_costs[added]).minus_or_zero(problem_.token_costs[removed]);
    if (new_total > constraints_.max_tokens || new_total < constraints_.min_tokens) return false;

    const std::size_t added_cluster = cluster_slot_[added];
    const std::size_t removed_cluster = cluster_slot_[removed];
    const bool same_cluster = added_cluster != kNoCluster && added_cluster == removed_cluster;
    if (removed_cluster != kNoCluster) {
        const std::size_t c = stats.cluster_counts[removed_cluster];
        const std::size_t after = same_cluster ? (c > 0 ? c : 1) : (c > 0 ? c - 1 : 0);
        if (after > constraints_.max_per_cluster) return false;
    }
    if (added_cluster != kNoCluster) {
        const std::size_t c = stats.cluster_counts[added_cluster];
        const std::size_t after = same_cluster ? c : c + 1;
        if (after > constraints_.max_per_cluster) return false;
    }

    const RhetoricalRole added_role = problem_.roles[added];
    const RhetoricalRole removed_role = problem_.roles[removed];
    for (RhetoricalRole role : constraints_.must_include_roles) {
        std::size_t holders = stats.role_count(role);
        if (removed_role == role && holders > 0) --holders;
        if (added_role == role) ++holders;
        if (holders == 0) return false;
    }
    return true;
}

SwapFeasibility::SwapFeasibility(const ConstraintIndex& index, const IndexedStats& stats)
    : index_(index), stats_(stats) {
    const ConstraintSet& constraints = index.constraints();
    for (RhetoricalRole role : constraints.must_include_roles) {
        const std::size_t holders = stats.role_count(role);
        if (holders == 0) {
            ++missing_roles_;
            missing_role_ = role;
        } else if (holders == 1) {
            sole_holder_[role_slot(role)] = true;
        }
    }
    max_tokens_ = constraints.max_tokens;
    min_tokens_ = constraints.min_tokens;
    max_per_cluster_ = constraints.max_per_cluster;
    // Plain 64-bit arithmetic gives the exact totals while the total plus
    // any one cost cannot overflow.
    if (const auto total = stats.token_total.as_u64()) {
        total_ = *total;
        fast_tokens_ = total_ <= std::numeric_limits<std::uint64_t>::max() - index.largest_cost();
    }
}

SwapFeasibility::Added SwapFeasibility::added(std::size_t a) const {
    TORVANE_CHECK(a < index_.size(), "can_swap: added index out of range");
    Added out;
    out.may_swap = stats_.id_counts[index_.id_slot(a)] == 0 && !index_.excluded(a) &&
                   (missing_roles_ == 0 || (missing_roles_ == 1 && index_.role(a) == missing_role_));
    out.cost = index_.cost(a);
    out.cluster = index_.cluster_slot(a);
    out.cluster_count = out.cluster == ConstraintIndex::kNoCluster ? 0 : stats_.cluster_counts[out.cluster];
    out.role = index_.role(a);
    return out;
}

SwapFeasibility::Removed SwapFeasibility::removed(std::size_t r) const {
    TORVANE_CHECK(r < index_.size(), "can_swap: removed index out of range");
    Removed out;
    out.may_leave = stats_.id_counts[index_.id_slot(r)] != 0 && !index_.required(r);
    out.cost = index_.cost(r);
    out.cluster = index_.cluster_slot(r);
    out.cluster_count = out.cluster == ConstraintIndex::kNoCluster ? 0 : stats_.cluster_counts[out.cluster];
    out.role = index_.role(r);
    out.sole_holder = sole_holder_[role_slot(out.role)];
    return out;
}

bool SwapFeasibility::tokens_within(std::size_t added_cost, std::size_t removed_cost) const {
    const TokenTotal total = (stats_.token_total + added_cost).minus_or_zero(removed_cost);
    return !(total > index_.constraints().max_tokens || total < index_.constraints().min_tokens);
}

bool ConstraintIndex::satisfied(std::span<const std::uint8_t> selection) const {
    TORVANE_CHECK(selection.size() == size(), "selection length does not match the candidate count");
    if (required_unmatched_) return false;
    TokenTotal tokens;
    std::size_t count = 0;
    std::array<bool, 256> role_present{};
    std::vector<std::size_t> clusters(cluster_slot_count_, 0);
    std::vector<std::uint8_t> ids_present;
    if (!required_slots_.empty()) ids_present.assign(id_slot_count_, 0);
    for (std::size_t i = 0; i < selection.size(); ++i) {
        if (selection[i] != 1) continue;
        if (excluded_[i] != 0) return false;
        tokens += problem_.token_costs[i];
        ++count;
        role_present[role_slot(problem_.roles[i])] = true;
        if (cluster_slot_[i] != kNoCluster && ++clusters[cluster_slot_[i]] > constraints_.max_per_cluster) {
            return false;
        }
        if (!ids_present.empty()) ids_present[id_slot_[i]] = 1;
    }
    if (tokens > constraints_.max_tokens || tokens < constraints_.min_tokens) return false;
    if (count < constraints_.min_chunks || count > constraints_.max_chunks) return false;
    for (RhetoricalRole role : constraints_.must_include_roles) {
        if (!role_present[role_slot(role)]) return false;
    }
    for (std::size_t slot : required_slots_) {
        if (ids_present[slot] == 0) return false;
    }
    return true;
}

}  // namespace torvane
