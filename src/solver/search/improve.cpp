#include "solver/search/improve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"
#include "common/numeric.hpp"
#include "solver/constraints/constraint_check.hpp"
#include "solver/constraints/constraint_index.hpp"
#include "solver/objective/move_evaluation.hpp"
#include "solver/search/run_solver.hpp"

namespace torvane {

namespace {

using Clock = std::chrono::steady_clock;

// SplitMix64 seeded from (seed, round, walk): the same stream on every
// platform and for every pool size.
class WalkRandom {
public:
    WalkRandom(std::uint64_t seed, std::uint64_t round, std::uint64_t walk) : state_(seed) {
        state_ = next() ^ (round * 0xD1B54A32D192ED03u);
        state_ = next() ^ (walk * 0xABC98388FB8FAC03u);
        next();
    }
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    // A number in [0, bound); 0 when bound is 0.
    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : static_cast<std::size_t>(next() % bound); }

private:
    std::uint64_t state_;
};

// What every walk of a run reads: the constraints, the matrix and the
// objective's per-candidate gains in double precision.
struct WalkShared {
    const SolveContext& context;
    const SimilarityView& similarity;
    const ObjectiveWeights& weights;
    std::vector<double> gains;  // beta*density + alpha*relevance + gamma*centrality + delta*recency + epsilon*auxiliary
    double lambda = 0.0;
    double largest_pair_term = 0.0;  // the largest lambda * pair(i, j); a bound on a swap's pair term
    bool fulfilment = false;  // the coverage term carries weight
    bool timed = false;
    Clock::time_point deadline;

    WalkShared(const SolveContext& c, const SimilarityView& s, const ObjectiveWeights& w)
        : context(c), similarity(s), weights(w) {
        const ProblemInstance& p = c.problem;
        gains.resize(p.n);
        for (std::size_t i = 0; i < p.n; ++i) {
            double g = static_cast<double>(w.beta) * p.density[i];
            g += static_cast<double>(w.alpha) * p.relevance[i];
            g += static_cast<double>(w.gamma) * p.centrality[i];
            g += static_cast<double>(w.delta) * p.recency[i];
            g += static_cast<double>(w.epsilon) * p.auxiliary[i];
            gains[i] = g;
        }
        lambda = static_cast<double>(w.lambda);
        fulfilment = p.coverage.has_value() && p.num_query_tokens != 0 && std::fabs(w.mu_fulfilment) > kZeroWeight;
        // The coverage term of a swap has no cheap bound: then every swap is
        // scored.
        largest_pair_term = fulfilment ? std::numeric_limits<double>::infinity()
                                       : -std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < p.n && !fulfilment; ++i) {
            for (std::size_t j = i + 1; j < p.n; ++j) largest_pair_term = std::max(largest_pair_term, lambda * pair(i, j));
        }
        if (p.n < 2) largest_pair_term = 0.0;
    }

    // The pair weight the batch objective gives {i, j}: half of both entries.
    double pair(std::size_t i, std::size_t j) const {
        return 0.5 * (static_cast<double>(similarity.at(i, j)) + static_cast<double>(similarity.at(j, i)));
    }
    bool out_of_time() const { return timed && Clock::now() >= deadline; }
};

// One walk: a feasible selection changed move by move, with its objective
// in double precision (the search's guide; selections are compared by
// evaluate_selection in the merge).
class Walk {
public:
    explicit Walk(const WalkShared& shared)
        : s_(shared), index_(shared.context.index), n_(shared.context.problem.n), redundancy_(n_, 0.0),
          tabu_until_(n_, 0) {}

    void reset(const Selection& start) {
        selection_ = start;
        stats_ = index_.stats(selection_);
        std::fill(redundancy_.begin(), redundancy_.end(), 0.0);
        std::fill(tabu_until_.begin(), tabu_until_.end(), 0);
        members_.clear();
        value_ = 0.0;
        for (std::size_t k = 0; k < n_; ++k) {
            if (selection_[k] == 0) continue;
            value_ += s_.gains[k] - s_.lambda * redundancy_[k];
            spread(k, 1.0);
            members_.push_back(k);
        }
        refresh_fulfilment();
        best_ = selection_;
        best_value_ = value_;
    }

    // k random feasible moves: swaps mostly, drops and adds sometimes. The
    // candidates they touch are tabu for a while afterwards.
    void perturb(WalkRandom& random, std::size_t moves, std::uint64_t tenure) {
        for (std::size_t m = 0; m < moves; ++m) {
            const std::size_t kind = random.below(6);
            if (kind == 0 && !members_.empty()) {
                const std::size_t out = members_[random.below(members_.size())];
                if (can_drop(out)) {
                    drop(out);
                    tabu_until_[out] = clock_ + tenure;
                }
                continue;
            }
            for (std::size_t attempt = 0; attempt < 24; ++attempt) {
                const std::size_t in = random.below(n_);
                if (selection_[in] != 0) continue;
                if (kind == 1 && index_.can_add(in, stats_)) {
                    add(in);
                    tabu_until_[in] = clock_ + tenure;
                    break;
                }
                if (members_.empty()) break;
                const std::size_t out = members_[random.below(members_.size())];
                if (index_.can_swap(in, out, stats_)) {
                    swap(in, out);
                    tabu_until_[in] = tabu_until_[out] = clock_ + tenure;
                    break;
                }
            }
        }
        // The perturbed selection is the walk's reference from here on.
        best_ = selection_;
        best_value_ = value_;
    }

    // Tabu search: the best admissible move each iteration, improving or
    // not; a move that touches a tabu candidate is admissible only when it
    // leads beyond the walk's best. Stops after `patience` iterations
    // without a new best, after `iterations` in all, or when time is up.
    void tabu(WalkRandom& random, std::size_t iterations, std::size_t patience) {
        std::size_t since_best = 0;
        for (std::size_t it = 0; it < iterations && since_best < patience; ++it) {
            if (s_.out_of_time()) break;
            ++clock_;
            Move move = best_move();
            if (move.kind == Move::None) break;
            const std::uint64_t tenure = 3 + random.below(4) + members_.size() / 4;
            switch (move.kind) {
                case Move::Add:
                    add(move.in);
                    tabu_until_[move.in] = clock_ + tenure;
                    break;
                case Move::Drop:
                    drop(move.out);
                    tabu_until_[move.out] = clock_ + tenure;
                    break;
                case Move::Swap:
                    swap(move.in, move.out);
                    tabu_until_[move.in] = clock_ + tenure;
                    tabu_until_[move.out] = clock_ + tenure + 2;
                    break;
                case Move::None:
                    break;
            }
            if (value_ > best_value_ + kGain) {
                best_ = selection_;
                best_value_ = value_;
                since_best = 0;
            } else {
                ++since_best;
            }
        }
    }

    const Selection& best() const { return best_; }
    double best_value() const { return best_value_; }

private:
    // Changes smaller than this are noise of the double-precision sums.
    static constexpr double kGain = 1e-9;

    struct Move {
        enum Kind { None, Add, Drop, Swap } kind = None;
        std::size_t in = 0;
        std::size_t out = 0;
        double delta = -std::numeric_limits<double>::infinity();
    };

    bool tabu_for(std::size_t i) const { return tabu_until_[i] > clock_; }

    Move best_move() {
        Move best;
        const auto consider = [&](Move::Kind kind, std::size_t in, std::size_t out, double delta, bool is_tabu) {
            if (is_tabu && !(value_ + delta > best_value_ + kGain)) return;
            if (delta > best.delta) best = {kind, in, out, delta};
        };
        for (std::size_t out : members_) {
            if (can_drop(out)) consider(Move::Drop, 0, out, drop_delta(out), tabu_for(out));
        }
        const SwapFeasibility feasibility(index_, stats_);
        // Swaps are visited best bound first: the removals by rising worth,
        // the additions by falling worth, and a swap's change is at most
        // in_part - out_part + the largest pair term, so the scan stops as
        // soon as no further swap can beat the best move found.
        outs_.clear();
        for (std::size_t out : members_) {
            const SwapFeasibility::Removed removed = feasibility.removed(out);
            if (removed.may_leave) outs_.push_back({s_.gains[out] - s_.lambda * redundancy_[out], out, removed});
        }
        std::sort(outs_.begin(), outs_.end(), [](const Out& a, const Out& b) {
            return a.worth < b.worth || (a.worth == b.worth && a.index < b.index);
        });
        ins_.clear();
        for (std::size_t in = 0; in < n_; ++in) {
            if (selection_[in] != 0) continue;
            const double in_part = s_.gains[in] - s_.lambda * redundancy_[in];
            if (index_.can_add(in, stats_)) consider(Move::Add, in, 0, in_part + fulfilment_add(in), tabu_for(in));
            const SwapFeasibility::Added added = feasibility.added(in);
            if (added.may_swap && !outs_.empty()) ins_.push_back({in_part, in, added});
        }
        std::sort(ins_.begin(), ins_.end(), [](const In& a, const In& b) {
            return a.worth > b.worth || (a.worth == b.worth && a.index < b.index);
        });
        const double reach = s_.largest_pair_term;
        for (const In& in : ins_) {
            if (!outs_.empty() && in.worth - outs_.front().worth + reach <= best.delta) break;
            const bool in_tabu = tabu_for(in.index);
            for (const Out& out : outs_) {
                if (in.worth - out.worth + reach <= best.delta) break;
                if (!feasibility.test(in.added, out.removed)) continue;
                const double delta = in.worth + s_.lambda * s_.pair(in.index, out.index) - out.worth +
                                     fulfilment_swap(in.index, out.index);
                consider(Move::Swap, in.index, out.index, delta, in_tabu || tabu_for(out.index));
            }
        }
        return best;
    }

    bool can_drop(std::size_t i) const {
        if (selection_[i] == 0 || index_.required(i)) return false;
        const ConstraintSet& c = index_.constraints();
        if (stats_.count <= c.min_chunks) return false;
        if (stats_.token_total.minus_or_zero(index_.cost(i)) < c.min_tokens) return false;
        const RhetoricalRole role = index_.role(i);
        return !(c.must_include_roles.count(role) != 0 && stats_.role_count(role) <= 1);
    }

    double drop_delta(std::size_t i) {
        double delta = -(s_.gains[i] - s_.lambda * redundancy_[i]);
        if (s_.fulfilment) {
            selection_[i] = 0;
            delta += static_cast<double>(s_.weights.mu_fulfilment) *
                     (selection_fulfilment(selection_, s_.context.problem, s_.weights) - fulfil_);
            selection_[i] = 1;
        }
        return delta;
    }
    double fulfilment_add(std::size_t in) const {
        if (!s_.fulfilment) return 0.0;
        return static_cast<double>(s_.weights.mu_fulfilment) *
               fulfilment_delta(s_.weights, cache_ ? &*cache_ : nullptr, selection_, in, false, 0, s_.context.problem);
    }
    double fulfilment_swap(std::size_t in, std::size_t out) const {
        if (!s_.fulfilment) return 0.0;
        return static_cast<double>(s_.weights.mu_fulfilment) *
               fulfilment_delta(s_.weights, cache_ ? &*cache_ : nullptr, selection_, in, true, out, s_.context.problem);
    }

    // redundancy_[i] += sign * pair(i, k) for every i other than k.
    void spread(std::size_t k, double sign) {
        const float* column = s_.similarity.column(k);
        const float* row = s_.similarity.rows.data() + k * n_;
        for (std::size_t i = 0; i < n_; ++i) {
            if (i == k) continue;
            redundancy_[i] += sign * (0.5 * (static_cast<double>(column[i]) + static_cast<double>(row[i])));
        }
    }

    void add(std::size_t k) {
        value_ += s_.gains[k] - s_.lambda * redundancy_[k];
        selection_[k] = 1;
        index_.add_to(stats_, k);
        spread(k, 1.0);
        members_.push_back(k);
        refresh_fulfilment();
    }

    void drop(std::size_t k) {
        value_ -= s_.gains[k] - s_.lambda * redundancy_[k];
        selection_[k] = 0;
        --stats_.role_counts[role_slot(index_.role(k))];
        if (index_.cluster_slot(k) != ConstraintIndex::kNoCluster) --stats_.cluster_counts[index_.cluster_slot(k)];
        --stats_.id_counts[index_.id_slot(k)];
        stats_.token_total = stats_.token_total.minus_or_zero(index_.cost(k));
        --stats_.count;
        spread(k, -1.0);
        members_.erase(std::find(members_.begin(), members_.end(), k));
        refresh_fulfilment();
    }

    void swap(std::size_t in, std::size_t out) {
        drop(out);
        add(in);
    }

    // The coverage term's value and cache for the current selection.
    void refresh_fulfilment() {
        if (!s_.fulfilment) return;
        value_ -= static_cast<double>(s_.weights.mu_fulfilment) * fulfil_;
        fulfil_ = selection_fulfilment(selection_, s_.context.problem, s_.weights);
        value_ += static_cast<double>(s_.weights.mu_fulfilment) * fulfil_;
        cache_ = build_support_cache(selection_, s_.context.problem, s_.weights.support_quorum_threshold,
                                     s_.weights.mu);
    }

    const WalkShared& s_;
    const ConstraintIndex& index_;
    std::size_t n_;
    Selection selection_;
    IndexedStats stats_;
    std::vector<double> redundancy_;  // pair weight sum to the selected others
    std::vector<std::size_t> members_;
    std::vector<std::uint64_t> tabu_until_;
    struct Out {
        double worth;  // what the objective loses with the candidate, pair terms to the others included
        std::size_t index;
        SwapFeasibility::Removed removed;
    };
    struct In {
        double worth;  // what the objective gains with the candidate
        std::size_t index;
        SwapFeasibility::Added added;
    };
    std::vector<Out> outs_;
    std::vector<In> ins_;
    std::uint64_t clock_ = 0;
    double value_ = 0.0;
    double fulfil_ = 0.0;  // the unweighted coverage term of the selection
    std::optional<SupportCache> cache_;
    Selection best_;
    double best_value_ = 0.0;
};

// Good distinct feasible selections, best first; among equal objectives
// the earlier stays ahead.
class ElitePool {
public:
    static constexpr std::size_t kCapacity = 6;

    explicit ElitePool(ScoredRecord first) { members_.push_back(std::move(first)); }

    void offer(const ScoredRecord& record) {
        for (const ScoredRecord& m : members_) {
            if (m.selection == record.selection) return;
        }
        auto at = members_.begin();
        while (at != members_.end() && at->objective >= record.objective) ++at;
        if (at == members_.end() && members_.size() >= kCapacity) return;
        members_.insert(at, record);
        if (members_.size() > kCapacity) members_.pop_back();
    }

    const ScoredRecord& at(std::size_t k) const { return members_[k % members_.size()]; }
    std::size_t size() const { return members_.size(); }

private:
    std::vector<ScoredRecord> members_;
};

// The walk budget of one walk: enough iterations for a selection of the
// problem's size to be rebuilt a few times over.
std::size_t walk_iterations(std::size_t n) { return 60 + std::min<std::size_t>(n, 400) / 2; }

thread_local ImproveLimits current_limits;

}  // namespace

const ImproveLimits& thread_improve_limits() { return current_limits; }

ScopedImproveLimits::ScopedImproveLimits(const ImproveLimits& limits) : previous_(current_limits) {
    current_limits = limits;
}

ScopedImproveLimits::~ScopedImproveLimits() { current_limits = previous_; }

ImproveReport improve_record(const SolveContext& context, const SimilarityView& similarity,
                             const ObjectiveWeights& weights, const ImproveLimits& limits,
                             std::chrono::steady_clock::time_point deadline, ScoredRecord& record) {
    ImproveReport report;
    const ProblemInstance& problem = context.problem;
    if (!limits.any() || problem.n == 0 || !context.index.satisfied(record.selection)) return report;

    WalkShared shared(context, similarity, weights);
    shared.timed = limits.time_limit_ms.has_value();
    shared.deadline = deadline;
    ElitePool elite(record);
    const std::size_t iterations = walk_iterations(problem.n);
    const std::size_t patience = 20 + iterations / 4;

    for (std::uint64_t round = 0;; ++round) {
        if (limits.rounds && round >= *limits.rounds) break;
        if (shared.out_of_time()) break;
        std::vector<Selection> found(kWalksPerRound);
        pool::parallel_for(0, kWalksPerRound, [&](std::size_t w) {
            WalkRandom random(limits.seed, round, w);
            Walk walk(shared);
            // The first walk always leaves from the incumbent; the others
            // from the pool members in turn.
            walk.reset(w == 0 ? record.selection : elite.at(w + round).selection);
            const std::size_t members = std::max<std::size_t>(std::count(record.selection.begin(),
                                                                         record.selection.end(), 1), 1);
            // A light kick: a few moves, more for larger selections.
            const std::size_t strength = 1 + (w % 4) + random.below(members / 10 + 1);
            walk.perturb(random, strength, 2 + random.below(4));
            walk.tabu(random, iterations, patience);
            found[w] = walk.best();
        });
        ++report.rounds_run;

        // The merge, in walk order: the best feasible objective wins, the
        // earliest walk among equals.
        bool improved = false;
        for (std::size_t w = 0; w < kWalksPerRound; ++w) {
            if (!context.index.satisfied(found[w])) continue;
            ScoredRecord candidate;
            candidate.breakdown =
                evaluate_selection(found[w], weights, problem, similarity.rows, context.backend);
            candidate.objective = candidate.breakdown.objective_score;
            candidate.selection = std::move(found[w]);
            if (candidate.objective > record.objective) {
                record = candidate;
                improved = true;
            }
            elite.offer(candidate);
        }
        if (improved) ++report.improvements;
    }
    return report;
}

SolveResult run_solver_improved(const SolverSettings& settings, const ProblemInstance& problem,
                                const ConstraintSet& constraints, const ComputeBackend& backend,
                                const ImproveLimits& limits) {
    const Clock::time_point start = Clock::now();
    SolveResult result = run_solver(settings, problem, constraints, backend);
    if (!limits.any() || problem.n == 0) return result;

    Clock::time_point deadline = Clock::time_point::max();
    if (limits.time_limit_ms) {
        // NaN and negative limits allow no round; a limit beyond a year is
        // as good as none.
        const double ms = std::isnan(*limits.time_limit_ms) ? 0.0 : std::clamp(*limits.time_limit_ms, 0.0, 3.2e10);
        deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
    }

    if (result.constraints_satisfied) {
        std::unique_ptr<float[]> computed;
        const std::size_t n = problem.n;
        if (!problem.similarity) computed = backend.similarity_buffer(problem.embeddings, n, problem.dim);
        const std::span<const float> matrix = problem.similarity ? std::span<const float>(*problem.similarity)
                                                                 : std::span<const float>(computed.get(), n * n);
        const SimilarityColumns columns(matrix, n, !problem.similarity);
        const ObjectiveWeights weights = make_objective_weights(settings);
        const SolveContext context(settings, problem, constraints, backend);
        ScoredRecord record{result.final_selection, result.breakdown, result.breakdown.objective_score};
        improve_record(context, columns.view(), weights, limits, deadline, record);
        if (record.selection != result.final_selection) {
            const ConstraintReport report = check_constraints(record.selection, problem, constraints);
            TORVANE_CHECK(report.satisfied, "improvement: the improved selection violates the constraints");
            describe_selection(result, record, report);
        }
    }
    result.solve_time_ms = elapsed_ms(start, Clock::now());
    return result;
}

}  // namespace torvane
