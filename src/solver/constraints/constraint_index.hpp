#pragma once
// The constraints of one solve keyed by candidate index instead of chunk id
// and cluster id, for the searches that test thousands of moves and
// selections per solve. Built once per solve; every test gives exactly the
// answer of its string-keyed counterpart: check_constraints in
// constraint_check.hpp, and the literal id- and map-based summary and move
// tests (selection stats, can_add, can_swap) that the tests compare with.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/roles.hpp"
#include "common/token_total.hpp"
#include "solver/model/problem.hpp"

namespace torvane {

class ConstraintIndex;

// A selection summary by index: chunk ids and clusters are counted in dense
// slots of the ConstraintIndex that built them.
struct IndexedStats {
    std::array<std::size_t, 256> role_counts{};  // by role code as an unsigned byte
    std::vector<std::size_t> cluster_counts;     // by cluster slot
    std::vector<std::size_t> id_counts;          // selected candidates per chunk-id slot
    TokenTotal token_total;
    std::size_t count = 0;

    std::size_t role_count(RhetoricalRole role) const {
        return role_counts[static_cast<std::uint8_t>(role_code(role))];
    }
};

class ConstraintIndex {
public:
    static constexpr std::size_t kNoCluster = static_cast<std::size_t>(-1);

    ConstraintIndex(const ProblemInstance& problem, const ConstraintSet& constraints);

    const ConstraintSet& constraints() const { return constraints_; }
    std::size_t size() const { return id_slot_.size(); }
    // Candidates with equal chunk ids share an id slot.
    std::size_t id_slot(std::size_t i) const { return id_slot_[i]; }
    // Candidates with equal cluster ids share a cluster slot; kNoCluster
    // for a candidate without one.
    std::size_t cluster_slot(std::size_t i) const { return cluster_slot_[i]; }
    std::size_t cluster_slots() const { return cluster_slot_count_; }
    std::size_t id_slots() const { return id_slot_count_; }
    bool excluded(std::size_t i) const { return excluded_[i] != 0; }
    // The candidate's chunk id is one of the required ids.
    bool required(std::size_t i) const { return required_[i] != 0; }
    // The candidates whose id is required, ascending.
    const std::vector<std::size_t>& required_candidates() const { return required_candidates_; }
    // Id slots of the required ids some candidate carries, ascending.
    const std::vector<std::size_t>& required_slots() const { return required_slots_; }
    // Whether a required id is carried by no candidate: then no selection
    // satisfies the constraints.
    bool required_id_unmatched() const { return required_unmatched_; }
    std::size_t cost(std::size_t i) const { return problem_.token_costs[i]; }
    std::size_t largest_cost() const { return largest_cost_; }
    RhetoricalRole role(std::size_t i) const { return problem_.roles[i]; }

    // The summary of a selection (a non-zero byte is selected).
    IndexedStats stats(std::span<const std::uint8_t> selection) const;
    // stats after selecting the unselected candidate i.
    void add_to(IndexedStats& stats, std::size_t i) const;

    // can_add and can_swap on the stats of the same selection.
    bool can_add(std::size_t index, const IndexedStats& stats) const;
    bool can_swap(std::size_t added, std::size_t removed, const IndexedStats& stats) const;

    // check_constraints(selection, problem, constraints).satisfied (a byte
    // equal to 1 is selected).
    bool satisfied(std::span<const std::uint8_t> selection) const;

private:
    const ProblemInstance& problem_;
    const ConstraintSet& constraints_;
    std::vector<std::size_t> id_slot_;
    std::vector<std::size_t> cluster_slot_;
    std::vector<std::uint8_t> excluded_;
    std::vector<std::uint8_t> required_;
    std::vector<std::size_t> required_candidates_;
    std::vector<std::size_t> required_slots_;
    std::size_t id_slot_count_ = 0;
    std::size_t cluster_slot_count_ = 0;
    bool required_unmatched_ = false;
    std::size_t largest_cost_ = 0;
};

// can_swap for many pairs against the stats of one selection. What depends
// on one side of a swap only is worked out once per candidate, so that a
// pair costs a few comparisons; test() gives exactly can_swap's answer.
//
// The roles: a must-include role with no holder must be brought in by the
// added candidate, so two such roles fail every swap; a role with one holder
// fails when that holder leaves for a candidate of another role; roles with
// more holders never fail.
class SwapFeasibility {
public:
    struct Added {
        bool may_swap;     // id not selected yet, not excluded, brings every missing role
        std::size_t cost;
        std::size_t cluster;  // slot or kNoCluster
        std::size_t cluster_count;
        RhetoricalRole role;
    };
    struct Removed {
        bool may_leave;    // id selected, not required
        std::size_t cost;
        std::size_t cluster;
        std::size_t cluster_count;
        RhetoricalRole role;
        bool sole_holder;  // the only holder of a must-include role
    };

    SwapFeasibility(const ConstraintIndex& index, const IndexedStats& stats);

    Added added(std::size_t index) const;
    Removed removed(std::size_t index) const;

    bool test(const Added& a, const Removed& r) const {
        if (!a.may_swap || !r.may_leave) return false;
        if (fast_tokens_) {
            const std::uint64_t with_added = total_ + a.cost;
            const std::uint64_t total = with_added >= r.cost ? with_added - r.cost : 0;
            if (total > max_tokens_ || total < min_tokens_) return false;
        } else if (!tokens_within(a.cost, r.cost)) {
            return false;
        }
        const bool same_cluster = a.cluster != ConstraintIndex::kNoCluster && a.cluster == r.cluster;
        if (r.cluster != ConstraintIndex::kNoCluster) {
            const std::size_t c = r.cluster_count;
            const std::size_t after = same_cluster ? (c > 0 ? c : 1) : (c > 0 ? c - 1 : 0);
            if (after > max_per_cluster_) return false;
        }
        if (a.cluster != ConstraintIndex::kNoCluster) {
            const std::size_t after = same_cluster ? a.cluster_count : a.cluster_count + 1;
            if (after > max_per_cluster_) return false;
        }
        return !r.sole_holder || a.role == r.role;
    }

private:
    bool tokens_within(std::size_t added_cost, std::size_t removed_cost) const;

    const ConstraintIndex& index_;
    const IndexedStats& stats_;
    std::array<bool, 256> sole_holder_{};  // by role slot: a must-include role with one holder
    std::size_t missing_roles_ = 0;        // must-include roles without a holder
    RhetoricalRole missing_role_ = RhetoricalRole::Unknown;  // the one, when there is one
    bool fast_tokens_ = false;  // token totals fit 64 bits: plain arithmetic
    std::uint64_t total_ = 0;
    std::uint64_t max_tokens_ = 0;
    std::uint64_t min_tokens_ = 0;
    std::size_t max_per_cluster_ = 0;
};

}  // namespace torvane
