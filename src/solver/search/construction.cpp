#include "solver/search/construction.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "common/token_total.hpp"
#include "solver/constraints/constraint_index.hpp"
#include "solver/search/utility.hpp"

namespace torvane {

namespace {

// Running totals of a selection under construction, kept in step with it.
class Builder {
public:
    explicit Builder(const SolveContext& context)
        : context_(context),
          problem_(context.problem),
          constraints_(context.constraints),
          selection_(context.problem.n, 0),
          clusters_(context.index.cluster_slots(), 0) {}

    void select(std::size_t i) {
        selection_[i] = 1;
        tokens_ += problem_.token_costs[i];
        ++count_;
        role_present_[role_slot(problem_.roles[i])] = true;
        const std::size_t slot = context_.index.cluster_slot(i);
        if (slot != ConstraintIndex::kNoCluster) ++clusters_[slot];
    }

    bool selected(std::size_t i) const { return selection_[i] != 0; }
    bool excluded(std::size_t i) const { return context_.index.excluded(i); }
    bool fits_budget(std::size_t i) const { return tokens_ + problem_.token_costs[i] <= constraints_.max_tokens; }
    bool role_present(RhetoricalRole role) const { return role_present_[role_slot(role)]; }
    std::size_t count() const { return count_; }

    std::size_t cluster_count(std::size_t i) const {
        const std::size_t slot = context_.index.cluster_slot(i);
        return slot == ConstraintIndex::kNoCluster ? 0 : clusters_[slot];
    }
    // A candidate without a cluster always passes the cluster cap.
    bool below_cluster_cap(std::size_t i) const {
        return !problem_.cluster_ids[i] || cluster_count(i) < constraints_.max_per_cluster;
    }

    // Eligible for the role and fill phases: new, allowed, within the
    // budget and below its cluster's cap.
    bool open_for(std::size_t i) const { return !selected(i) && !excluded(i) && fits_budget(i) && below_cluster_cap(i); }

    double priority(std::size_t i) const {
        return construction_priority(context_.scores, i, problem_, role_present(problem_.roles[i]), cluster_count(i));
    }

    Selection take() { return std::move(selection_); }

private:

    const SolveContext& context_;
    const ProblemInstance& problem_;
    const ConstraintSet& constraints_;
    Selection selection_;
    TokenTotal tokens_;
    std::size_t count_ = 0;
    std::array<bool, 256> role_present_{};
    std::vector<std::size_t> clusters_;  // selected chunks per cluster slot
};

}  // namespace

Selection greedy_start(const SolveContext& context) {
    const ProblemInstance& problem = context.problem;
    const ConstraintSet& constraints = context.constraints;
    Builder b(context);

    // Required chunks, ascending; neither exclusion nor the cluster cap apply.
    for (std::size_t r : context.index.required_candidates()) {
        if (b.fits_budget(r) && b.count() < constraints.max_chunks) b.select(r);
    }

    // One chunk per missing must-include role. The role set is walked in
    // ascending role code (Unknown first) so that results are reproducible
    // when roles compete for budget or clusters. The chunk limit is not
    // consulted here.
    for (RhetoricalRole role : constraints.must_include_roles) {
        if (b.role_present(role)) continue;
        std::optional<std::size_t> best;
        double best_priority = 0.0;
        for (std::size_t c = 0; c < problem.n; ++c) {
            if (problem.roles[c] != role || !b.open_for(c)) continue;
            const double priority = b.priority(c);
            if (!best || priority > best_priority) {
                best = c;
                best_priority = priority;
            }
        }
        if (best) b.select(*best);
    }

    // Greedy fill by priority, recomputed at every step.
    while (b.count() < constraints.max_chunks) {
        std::optional<std::size_t> best;
        double best_priority = 0.0;
        for (std::size_t c = 0; c < problem.n; ++c) {
            if (!b.open_for(c)) continue;
            const double priority = b.priority(c);
            if (!best || priority > best_priority) {
                best = c;
                best_priority = priority;
            }
        }
        if (!best) break;
        b.select(*best);
    }
    return b.take();
}

Selection memory_guided_construction(const SolveContext& context, const TabuMemory& memory) {
    const ProblemInstance& problem = context.problem;
    const ConstraintSet& constraints = context.constraints;
    const std::size_t n = problem.n;
    const std::vector<double>& utility = context.scores.utility;
    std::vector<double> key(n);
    for (std::size_t i = 0; i < n; ++i) {
        key[i] = utility[i] - 0.03 * static_cast<double>(memory.frequency(i)) -
                 0.0003 * static_cast<double>(problem.token_costs[i]);
    }
    std::vector<std::size_t> ranked(n);
    for (std::size_t i = 0; i < n; ++i) ranked[i] = i;
    std::stable_sort(ranked.begin(), ranked.end(), [&](std::size_t a, std::size_t c) { return key[a] > key[c]; });

    Builder b(context);
    if (constraints.max_chunks > 0) {
        // Required chunks: neither exclusion nor the cluster cap apply.
        for (std::size_t r : context.index.required_candidates()) {
            if (!b.fits_budget(r)) continue;
            b.select(r);
            if (b.count() >= constraints.max_chunks) break;
        }
    }

    // Roles in ascending role code (Unknown first), for reproducibility.
    for (RhetoricalRole role : constraints.must_include_roles) {
        if (b.role_present(role) || b.count() >= constraints.max_chunks) continue;
        std::optional<std::size_t> best;
        for (std::size_t c : ranked) {
            if (problem.roles[c] != role || !b.open_for(c)) continue;
            if (!best || utility[c] > utility[*best]) best = c;
        }
        if (best) b.select(*best);
    }

    for (std::size_t c : ranked) {
        if (b.count() >= constraints.max_chunks) break;
        if (b.open_for(c)) b.select(c);
    }
    return b.take();
}

}  // namespace torvane
