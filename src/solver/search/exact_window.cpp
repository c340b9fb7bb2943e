#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "backend/mod/batch_objective.hpp"
#include "common/fault.hpp"
#include "common/numeric.hpp"
#include "common/token_total.hpp"
#include "solver/constraints/constraint_index.hpp"
#include "solver/constraints/constraint_check.hpp"
#include "solver/search/exact_window.hpp"
#include "solver/search/marginal.hpp"

namespace torvane {

namespace {

constexpr std::size_t kMaxWindow = 20;

// The window's time limit, from the moment it is made. The whole
// milliseconds elapsed (seconds * 1000 + nanoseconds / 10^6) reach the limit
// L exactly when the elapsed nanoseconds reach L * 10^6, so each check
// compares nanoseconds without dividing. A clock that reads earlier than the
// start never counts as passed.
class WindowDeadline {
public:
    explicit WindowDeadline(std::uint64_t limit_ms)
        : start_(std::chrono::steady_clock::now()),
          limit_ns_(limit_ms > std::numeric_limits<std::uint64_t>::max() / 1'000'000
                        ? std::numeric_limits<std::uint64_t>::max()
                        : limit_ms * 1'000'000) {}

    bool passed() const {
        const auto nanos =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count();
        return nanos >= 0 && static_cast<std::uint64_t>(nanos) >= limit_ns_;
    }

private:
    std::chrono::steady_clock::time_point start_;
    std::uint64_t limit_ns_;
};

// Whether base + subset m of the core satisfies the constraints: the
// answer of ConstraintIndex::satisfied (that is, of check_constraints) for
// that selection, from the base's counts and one bit mask per condition
// over the core members (bit f stands for core[f], as in the enumeration).
class WindowFeasibility {
public:
    WindowFeasibility(const ConstraintIndex& index, const Selection& base, const std::vector<std::size_t>& core)
        : constraints_(index.constraints()) {
        const std::size_t c = core.size();
        never_ = index.required_id_unmatched();
        std::array<bool, 256> role_present{};
        std::vector<std::size_t> base_clusters(index.cluster_slots(), 0);
        std::vector<std::uint8_t> base_ids(index.id_slots(), 0);
        for (std::size_t i = 0; i < base.size(); ++i) {
            if (base[i] != 1) continue;
            never_ = never_ || index.excluded(i);
            base_tokens_ += index.cost(i);
            fast_tokens_ = fast_tokens_ && !__builtin_add_overflow(base_sum_, std::uint64_t{index.cost(i)}, &base_sum_);
            ++base_count_;
            role_present[role_slot(index.role(i))] = true;
            if (index.cluster_slot(i) != ConstraintIndex::kNoCluster) ++base_clusters[index.cluster_slot(i)];
            base_ids[index.id_slot(i)] = 1;
        }
        for (std::size_t count : base_clusters) never_ = never_ || count > constraints_.max_per_cluster;

        for (std::size_t f = 0; f < c; ++f) {
            const std::uint64_t bit = std::uint64_t{1} << f;
            if (index.excluded(core[f])) excluded_mask_ |= bit;
            costs_.push_back(index.cost(core[f]));
        }
        for (RhetoricalRole role : constraints_.must_include_roles) {
            if (role_present[role_slot(role)]) continue;
            std::uint64_t mask = 0;
            for (std::size_t f = 0; f < c; ++f) {
                if (index.role(core[f]) == role) mask |= std::uint64_t{1} << f;
            }
            some_of_.push_back(mask);
        }
        for (std::size_t slot : index.required_slots()) {
            if (base_ids[slot] != 0) continue;
            std::uint64_t mask = 0;
            for (std::size_t f = 0; f < c; ++f) {
                if (index.id_slot(core[f]) == slot) mask |= std::uint64_t{1} << f;
            }
            some_of_.push_back(mask);
        }
        for (std::size_t f = 0; f < c; ++f) {
            const std::size_t slot = index.cluster_slot(core[f]);
            if (slot == ConstraintIndex::kNoCluster) continue;
            std::uint64_t mask = 0;
            for (std::size_t g = 0; g < c; ++g) {
                if (index.cluster_slot(core[g]) == slot) mask |= std::uint64_t{1} << g;
            }
            if (mask & ((std::uint64_t{1} << f) - 1)) continue;  // the slot's first core member speaks for it
            const std::size_t room = constraints_.max_per_cluster - std::min(constraints_.max_per_cluster, base_clusters[slot]);
            clusters_.push_back({mask, room});
        }

        // Token sums of the subsets from two tables of half subsets, when
        // no sum can leave 64 bits; otherwise an exact sum per subset.
        std::uint64_t most = base_sum_;
        for (std::size_t cost : costs_) {
            fast_tokens_ = fast_tokens_ && !__builtin_add_overflow(most, std::uint64_t{cost}, &most);
        }
        if (fast_tokens_) {
            low_bits_ = std::min<std::size_t>(c, 10);
            low_sums_ = half_sums(0, low_bits_);
            high_sums_ = half_sums(low_bits_, c);
        }
    }

    bool feasible(std::uint64_t m) const {
        if (never_ || (m & excluded_mask_) != 0) return false;
        const std::size_t count = base_count_ + count_bits(m);
        if (count < constraints_.min_chunks || count > constraints_.max_chunks) return false;
        if (fast_tokens_) {
            const std::uint64_t tokens =
                base_sum_ + low_sums_[m & ((std::uint64_t{1} << low_bits_) - 1)] + high_sums_[m >> low_bits_];
            if (tokens > constraints_.max_tokens || tokens < constraints_.min_tokens) return false;
        } else {
            TokenTotal tokens = base_tokens_;
            for (std::size_t f = 0; f < costs_.size(); ++f) {
                if ((m >> f & 1u) != 0) tokens += costs_[f];
            }
            if (tokens > constraints_.max_tokens || tokens < constraints_.min_tokens) return false;
        }
        for (const std::uint64_t mask : some_of_) {
            if ((m & mask) == 0) return false;
        }
        for (const auto& [mask, room] : clusters_) {
            if (count_bits(m & mask) > room) return false;
        }
        return true;
    }

private:

    std::vector<std::uint64_t> half_sums(std::size_t first, std::size_t last) const {
        std::vector<std::uint64_t> sums(std::size_t{1} << (last - first), 0);
        for (std::size_t m = 1; m < sums.size(); ++m) {
            const std::size_t f = static_cast<std::size_t>(std::countr_zero(m));
            sums[m] = sums[m & (m - 1)] + costs_[first + f];
        }
        return sums;
    }

    const ConstraintSet& constraints_;
    bool never_ = false;
    TokenTotal base_tokens_;
    std::uint64_t base_sum_ = 0;  // the same, while it fits 64 bits (fast_tokens_)
    std::size_t base_count_ = 0;
    std::vector<std::size_t> costs_;
    std::uint64_t excluded_mask_ = 0;
    std::vector<std::uint64_t> some_of_;  // masks of which a subset must hold a member (roles, required ids)
    struct ClusterRoom {
        std::uint64_t mask;  // core members of one cluster
        std::size_t room;    // how many of them fit beside the base's
    };
    std::vector<ClusterRoom> clusters_;
    bool fast_tokens_ = true;
    std::size_t low_bits_ = 0;
    std::vector<std::uint64_t> low_sums_;
    std::vector<std::uint64_t> high_sums_;
};

// The members of up to 64 subsets of the core, one subset per lane, with
// their lane masks: base members are in every lane, core member f in lane l
// when bit f of subset l is set. Lanes past the subsets given hold the base
// alone; their objectives are not read.
class WindowMembers {
public:
    WindowMembers(const Selection& base, const std::vector<std::size_t>& core) {
        for (std::size_t i = 0; i < base.size(); ++i) {
            if (base[i] == 1) all_.push_back({i, kBase});
        }
        for (std::size_t f = 0; f < core.size(); ++f) all_.push_back({core[f], f});
        std::sort(all_.begin(), all_.end(), [](const Member& a, const Member& b) { return a.index < b.index; });
        indices_.reserve(all_.size());
        lanes_.reserve(all_.size());
        core_lanes_.resize(core.size());
    }

    void batch(std::span<const std::uint64_t> subsets) {
        static_assert(kObjectiveLanes == 64, "one subset per bit of a lane mask");
        TORVANE_CHECK(subsets.size() <= kObjectiveLanes, "exact window: more subsets than lanes");
        std::fill(core_lanes_.begin(), core_lanes_.end(), 0);
        for (std::size_t l = 0; l < subsets.size(); ++l) {
            for (std::uint64_t rest = subsets[l]; rest != 0; rest &= rest - 1) {
                core_lanes_[static_cast<std::size_t>(std::countr_zero(rest))] |= std::uint64_t{1} << l;
            }
        }
        indices_.clear();
        lanes_.clear();
        for (const Member& member : all_) {
            const std::uint64_t lanes = member.bit == kBase ? ~std::uint64_t{0} : core_lanes_[member.bit];
            if (lanes == 0) continue;
            indices_.push_back(member.index);
            lanes_.push_back(lanes);
        }
    }
    const std::vector<std::size_t>& indices() const { return indices_; }
    const std::vector<std::uint64_t>& lanes() const { return lanes_; }

private:
    static constexpr std::size_t kBase = static_cast<std::size_t>(-1);
    struct Member {
        std::size_t index;
        std::size_t bit;  // core bit, or kBase
    };
    std::vector<Member> all_;
    std::vector<std::uint64_t> core_lanes_;  // by core bit: the lanes whose subset holds it
    std::vector<std::size_t> indices_;
    std::vector<std::uint64_t> lanes_;
};

}  // namespace

ExactWindowReport run_exact_window(const SolveContext& context, const SimilarityView& similarity,
                                   const ObjectiveWeights& weights, ScoredRecord& final_record) {
    const SolverSettings& settings = context.settings;
    const ProblemInstance& problem = context.problem;
    const std::size_t n = problem.n;
    ExactWindowReport report;
    const std::size_t window = std::min({settings.exact_window_size, n, kMaxWindow});

    const MarginalTables tables = build_marginal_tables(final_record.selection, problem, similarity, settings);
    std::vector<std::size_t> selected_list;
    std::vector<std::size_t> unselected_list;
    for (std::size_t i = 0; i < n; ++i) {
        if (final_record.selection[i] != 0) {
            if (!context.index.required(i)) selected_list.push_back(i);
        } else {
            unselected_list.push_back(i);
        }
    }
    sort_by_drop_priority(selected_list, context.scores, tables);
    // At most `window` of the unselected candidates enter the core.
    unselected_list = leading_by_add_priority(unselected_list, window, context.scores, tables);

    const std::size_t k_in =
        std::min({window > 3 ? window / 2 : std::size_t{1}, window >= 3 ? window - 1 : std::size_t{1},
                  selected_list.size()});
    const std::size_t k_out = std::min(window > k_in ? window - k_in : 0, unselected_list.size());
    std::vector<std::size_t> core(selected_list.begin(), selected_list.begin() + static_cast<std::ptrdiff_t>(k_in));
    core.insert(core.end(), unselected_list.begin(), unselected_list.begin() + static_cast<std::ptrdiff_t>(k_out));
    std::sort(core.begin(), core.end());
    core.erase(std::unique(core.begin(), core.end()), core.end());
    if (core.empty()) return report;
    TORVANE_CHECK(core.size() <= kMaxWindow, "exact window larger than its limit");

    Selection base = final_record.selection;
    for (std::size_t i : core) base[i] = 0;
    std::size_t fixed_in = 0;
    for (std::uint8_t byte : base) fixed_in += byte != 0;
    report.used = true;
    report.core_size = core.size();
    report.fixed_in = fixed_in;
    report.fixed_out = n > fixed_in + core.size() ? n - fixed_in - core.size() : 0;

    // Subsets are scored by the CPU kernels directly, whatever backend the
    // solver was configured with, 64 at a time (lane_objectives), each lane
    // with the bits row_objective gives it. Only feasible subsets take a
    // lane: they are gathered in ascending order and scored when 64 are
    // waiting, so a window whose subsets are mostly infeasible needs few
    // batches. Only a new best record is evaluated in full.
    const CpuReferenceBackend cpu;
    const ObjectiveContext objective = make_objective_context(problem, similarity.rows, weights);
    const WindowFeasibility feasibility(context.index, base, core);
    WindowMembers members(base, core);
    const std::uint64_t limit_ms = std::max<std::uint64_t>(settings.exact_window_time_ms, 1);
    const double epsilon = static_cast<double>(settings.improvement_epsilon);
    ScoredRecord best = final_record;
    const std::uint64_t subsets = std::uint64_t{1} << core.size();
    std::vector<std::uint64_t> waiting;
    waiting.reserve(kObjectiveLanes);
    // Scores the waiting subsets and offers them in ascending order.
    const auto score_waiting = [&] {
        if (waiting.empty()) return;
        members.batch(waiting);
        const std::array<float, kObjectiveLanes> objectives =
            lane_objectives(members.indices(), members.lanes(), objective);
        for (std::size_t l = 0; l < waiting.size(); ++l) {
            const double value = static_cast<double>(objectives[l]);
            if (!(value > best.objective + epsilon)) continue;
            Selection candidate = base;
            for (std::size_t f = 0; f < core.size(); ++f) candidate[core[f]] = (waiting[l] >> f) & 1u;
            const ObjectiveBreakdown breakdown = evaluate_selection(candidate, weights, problem, similarity.rows, cpu);
            TORVANE_CHECK(std::bit_cast<std::uint64_t>(breakdown.objective_score) == std::bit_cast<std::uint64_t>(value),
                          "exact window: lane objective differs from the selection's objective");
            best = {std::move(candidate), breakdown, breakdown.objective_score};
        }
        waiting.clear();
    };
    const WindowDeadline deadline(limit_ms);
    bool stopped = false;
    for (std::uint64_t m0 = 0; m0 < subsets; m0 += kObjectiveLanes) {
        // The clock is read before every run of 64 subsets, and that reading
        // stands for the run: a run takes microseconds, a reading of the
        // clock costs about as much as scoring a subset, and the limit is at
        // least a millisecond. A limit that has passed before the first
        // subset still stops the window with no subset checked. The subsets
        // before a run that is not reached are all scored.
        if (deadline.passed()) {
            stopped = true;
            break;
        }
        for (std::uint64_t m = m0; m < m0 + kObjectiveLanes && m < subsets; ++m) {
            ++report.nodes;
            if (!feasibility.feasible(m)) continue;
            waiting.push_back(m);
            if (waiting.size() == kObjectiveLanes) score_waiting();
        }
    }
    score_waiting();
    report.exhaustive = !stopped;
    report.gap = report.exhaustive ? 0.0 : -1.0;
    if (best.objective > final_record.objective + epsilon) {
        final_record = std::move(best);
        report.improved = true;
    }
    return report;
}

}  // namespace torvane
