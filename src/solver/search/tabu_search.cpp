#include <algorithm>
#include <cmath>
#include <limits>

#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"
#include "common/numeric.hpp"
#include "solver/constraints/constraint_check.hpp"
#include "solver/search/construction.hpp"
#include "solver/search/repair.hpp"
#include "solver/search/tabu_search.hpp"
#include "solver/search/utility.hpp"

namespace torvane {

namespace {

constexpr double kDoubleEpsilon = 2.220446049250313e-16;

// An admissible move with its delta and score.
struct Admissible {
    Move move;
    // Admissible only when no active entry's hash equals the neighbour's;
    // decided when the move comes up for the choice (see find_best_move).
    bool unless_hash_repeats;
    double delta;
    double score;
};

// The choice among the admissible moves, offered in list order: the first
// becomes the choice; a later one replaces it when its score is not smaller
// and either its delta is greater or its score exceeds the chosen score by
// at least double epsilon.
class Chooser {
public:
    explicit Chooser(const NeighbourhoodScreen& screen) : screen_(screen) {}

    // Whether a move whose score is at most `bound` could replace the
    // choice (with a NaN bound it could).
    bool may_replace(double bound) const { return !choice_.found || !(bound < choice_.score); }

    void offer(const Admissible& e) {
        const bool replaces = !choice_.found || (!(e.score < choice_.score) &&
                                                 (e.delta > choice_.delta || e.score - choice_.score >= kDoubleEpsilon));
        if (!replaces) return;
        // A move that would not be chosen needs no hash: its admissibility
        // cannot change the choice. One that would is hashed now, so at
        // most a few neighbours per call are hashed.
        if (e.unless_hash_repeats && screen_.repeats_recent_hash(e.move.added, e.move.removed)) return;
        choice_.found = true;
        choice_.added = e.move.added;
        choice_.removed = e.move.removed;
        choice_.delta = e.delta;
        choice_.score = e.score;
    }

    const MoveChoice& choice() const { return choice_; }

private:
    const NeighbourhoodScreen& screen_;
    MoveChoice choice_;
};

// The moves of a run of add candidates: whether there is one, and the
// admissible ones in list order (unless they went to a Chooser).
struct ScanResult {
    bool any_move = false;
    std::vector<Admissible> admissible;
};

// Generates and evaluates the moves of one neighbourhood, add candidate by
// add candidate. A move is admissible when it beats the best feasible
// objective, when the search has stagnated long enough and it improves the
// current objective, or when it is not tabu; only the tabu tests and the
// score of admissible moves need the memory, so they are made only where
// they can matter. Nothing here changes while the scan runs, so runs of add
// candidates may be scanned on several threads.
class MoveScan {
public:
    MoveScan(const Neighbourhood& hood, const MoveContext& c)
        : hood_(hood),
          c_(c),
          screen_(c.memory, c.selection, c.problem.cluster_ids),
          feasibility_(c.index, c.stats),
          deltas_(c.weights, c.cache, c.selection, c.redundancy, c.similarity, c.problem, hood.removes,
                  c.selected_similarities),
          current_(c.current_objective),
          aspiration_above_(c.best_feasible_objective + c.improvement_epsilon),
          relaxed_(c.stagnation >= (c.early_stopping_patience > 3 ? c.early_stopping_patience / 2 : 1)),
          improvement_above_(c.current_objective + c.improvement_epsilon),
          pass_above_(pass_threshold(aspiration_above_, relaxed_, improvement_above_)),
          add_only_possible_(c.stats.count < c.index.constraints().max_chunks) {
        removed_.reserve(hood.removes.size());
        removal_positions_.reserve(hood.removes.size());
        penalty_floors_.reserve(hood.removes.size());
        for (std::size_t r : hood.removes) {
            // A required chunk keeps its place in the list but never leaves.
            removed_.push_back(feasibility_.removed(r));
            if (c.index.required(r)) removed_.back().may_leave = false;
            removal_positions_.push_back(screen_.removal_position(r));
            penalty_floors_.push_back(screen_.penalty_floor(removal_positions_.back()));
        }
        add_only_position_ = screen_.removal_position(c.problem.n);
        add_only_floor_ = screen_.penalty_floor(add_only_position_);
    }

    // The add candidates [first, last). With a chooser (a scan of the whole
    // list on one thread) the admissible moves go to it as they come, and a
    // move whose score cannot reach the current choice is not scored: its
    // score is (delta + frequency term) - penalty, and the penalty is never
    // below the screen's floor for the move's removal, so (delta +
    // frequency term) - floor bounds it from above.
    ScanResult scan(std::size_t first, std::size_t last, Chooser* chooser = nullptr) const {
        ScanResult result;
        const std::size_t n = c_.problem.n;
        std::vector<double> deltas(hood_.removes.size());
        std::vector<double> scratch;
        for (std::size_t x = first; x < last; ++x) {
            const std::size_t a = hood_.adds[x];
            const SwapFeasibility::Added added = feasibility_.added(a);
            std::optional<NeighbourhoodScreen::Addition> addition;  // worked out when first needed
            if (added.may_swap) {
                // Whether one of the swaps is aspirant or relaxed, tested
                // with the deltas as they are computed.
                const bool some_may_pass = deltas_.compute(a, deltas, scratch, current_, pass_above_);
                const bool all_tabu = screen_.swaps_always_overlap();
                // When every swap is tabu and a move is known to exist, only
                // the aspirant and relaxed swaps can be admissible; if this
                // add candidate has none, its swaps are passed over.
                const bool pass_over = all_tabu && result.any_move && !some_may_pass;
                for (std::size_t y = 0; y < removed_.size() && !pass_over; ++y) {
                    // Most moves are neither aspirant nor relaxed and fall to
                    // the overlap shortcut whether feasible or not; the test
                    // of feasibility, which passes about half of the time,
                    // is made only for the others, and until one move has
                    // been found to exist.
                    const double next = current_ + deltas[y];
                    if (all_tabu && !(next > aspiration_above_) && !(relaxed_ && next > improvement_above_)) {
                        if (!result.any_move) result.any_move = feasibility_.test(added, removed_[y]);
                        continue;
                    }
                    if (!feasibility_.test(added, removed_[y])) continue;
                    result.any_move = true;
                    consider({a, hood_.removes[y]}, removal_positions_[y], penalty_floors_[y], deltas[y], addition,
                             chooser, result);
                }
            }
            if (add_only_possible_ && c_.index.can_add(a, c_.stats)) {
                result.any_move = true;
                const double delta =
                    move_delta(c_.weights, c_.cache, c_.selection, c_.redundancy, c_.similarity, a, n, c_.problem);
                consider({a, n}, add_only_position_, add_only_floor_, delta, addition, chooser, result);
            }
        }
        return result;
    }

    const NeighbourhoodScreen& screen() const { return screen_; }

private:
    // x > pass_above_ exactly when x > aspiration_above_ or, after enough
    // stagnation, x > improvement_above_. NaN is exceeded by nothing; a NaN
    // threshold leaves the other one to decide.
    static double pass_threshold(double aspiration_above, bool relaxed, double improvement_above) {
        if (!relaxed || std::isnan(improvement_above)) return aspiration_above;
        if (std::isnan(aspiration_above)) return improvement_above;
        return std::min(aspiration_above, improvement_above);
    }

    // `position`: the removed candidate's position among the selected ones
    // (NeighbourhoodScreen::removal_position); `floor`: the penalty_floor
    // of that position.
    void consider(const Move& move, std::size_t position, double floor, double delta,
                  std::optional<NeighbourhoodScreen::Addition>& addition, Chooser* chooser,
                  ScanResult& result) const {
        const double next = current_ + delta;
        const bool aspiration = next > aspiration_above_;
        const bool relaxed = relaxed_ && next > improvement_above_;
        bool unless_hash_repeats = false;
        if (!aspiration && !relaxed) {
            // Tabu unless every test says no; the cheapest come first.
            if (move.removed < c_.problem.n ? screen_.swaps_always_overlap() : screen_.adds_always_overlap()) return;
            if (screen_.overlaps_recent_selection(move.added, move.removed) ||
                screen_.reverses_recent_move(move.added, move.removed)) {
                return;
            }
            unless_hash_repeats = screen_.any_active();
        }
        const double frequency_term = c_.memory.frequency_penalty(c_.frequency_weight, move.added);
        // The penalty is at least `floor`, so (delta + frequency term) -
        // floor bounds the score from above; most moves fall short of the
        // choice by it, and their penalty is not worked out.
        if (chooser != nullptr && !chooser->may_replace((delta + frequency_term) - floor)) return;
        if (!addition) addition = screen_.addition(move.added);
        const double penalty = screen_.penalty_at(*addition, position);
        const Admissible e{move, unless_hash_repeats, delta, delta + frequency_term - penalty};
        if (chooser != nullptr) {
            chooser->offer(e);
        } else {
            result.admissible.push_back(e);
        }
    }

    const Neighbourhood& hood_;
    const MoveContext& c_;
    const NeighbourhoodScreen screen_;
    const SwapFeasibility feasibility_;
    const SwapDeltas deltas_;
    // The thresholds of the admissibility tests, formed once.
    const double current_;
    const double aspiration_above_;  // best feasible objective + epsilon
    const bool relaxed_;             // stagnated long enough for the relaxation
    const double improvement_above_;  // current objective + epsilon
    const double pass_above_;         // the lower of the two that apply
    // can_add fails for every candidate once the selection holds the most
    // chunks allowed; the test is then not made candidate by candidate.
    const bool add_only_possible_;
    std::vector<SwapFeasibility::Removed> removed_;
    std::vector<std::size_t> removal_positions_;  // of the removal candidates, in list order
    std::size_t add_only_position_ = 0;
    std::vector<double> penalty_floors_;  // penalty_floor of each removal position, in list order
    double add_only_floor_ = 0.0;
};

// Add candidates per parallel task.
constexpr std::size_t kAddsPerTask = 16;

// Neighbourhoods with fewer (add, remove) pairs are scanned on the calling
// thread. A scan costs a few nanoseconds per pair, so below this size the
// hand-over to the worker pool gains little or nothing, while it keeps the
// pool's threads busy that other solves running at the same time could use.
constexpr std::size_t kParallelPairs = std::size_t{1} << 16;

}  // namespace

MoveChoice find_best_move(const Neighbourhood& hood, const MoveContext& context) {
    const std::size_t n = context.problem.n;
    TORVANE_CHECK(context.selection.size() == n, "find_best_move: the selection does not have n bytes");
    for (std::size_t a : hood.adds) {
        TORVANE_CHECK(a < n && context.selection[a] == 0, "find_best_move: an add candidate is selected or unknown");
    }
    for (std::size_t r : hood.removes) {
        TORVANE_CHECK(r < n && context.selection[r] != 0, "find_best_move: a removal candidate is not selected");
    }
    const MoveScan scan(hood, context);

    Chooser chooser(scan.screen());
    bool any_move = false;
    if (hood.adds.size() * std::max<std::size_t>(hood.removes.size(), 1) < kParallelPairs) {
        any_move = scan.scan(0, hood.adds.size(), &chooser).any_move;
    } else {
        // Runs of add candidates are scanned in parallel into their own
        // slots and offered in list order, so the choice sees the moves a
        // single pass would offer.
        const std::size_t tasks = (hood.adds.size() + kAddsPerTask - 1) / kAddsPerTask;
        std::vector<ScanResult> parts(tasks);
        pool::parallel_for(0, tasks, [&](std::size_t t) {
            parts[t] = scan.scan(t * kAddsPerTask, std::min(hood.adds.size(), (t + 1) * kAddsPerTask));
        });
        for (const ScanResult& part : parts) {
            any_move = any_move || part.any_move;
            for (const Admissible& e : part.admissible) chooser.offer(e);
        }
    }
    MoveChoice choice = chooser.choice();
    choice.any_move = any_move;
    return choice;
}

namespace {

// Smallest r with r * r >= x.
std::size_t ceil_sqrt(std::size_t x) {
    std::size_t r = static_cast<std::size_t>(std::sqrt(static_cast<double>(x)));
    while (r > 0 && saturating_mul(r, r) >= x) --r;
    while (saturating_mul(r, r) < x) ++r;
    return r;
}

// The search's working state: the current solution with its incremental
// aids, and the best records.
class TabuSearch {
public:
    TabuSearch(const SolveContext& context, const SimilarityView& similarity, const ObjectiveWeights& weights,
               TabuMemory& memory, ElitePool& elite, SearchOutcome& outcome)
        : context_(context),
          s_(context.settings),
          p_(context.problem),
          index_(context.index),
          similarity_(similarity),
          weights_(weights),
          memory_(memory),
          elite_(elite),
          out_(outcome),
          epsilon_(static_cast<double>(context.settings.improvement_epsilon)) {}

    void run(const CurrentSolution& start) {
        current_ = start;
        refresh_aids();
        const std::size_t patience = s_.early_stopping_patience;
        const std::size_t widen_step = patience > 11 ? patience / 4 : 2;
        const std::size_t perturb_at = patience > 13 ? patience / 2 : 6;
        const std::size_t root_n = ceil_sqrt(p_.n);
        std::size_t total = 0;

        for (;;) {  // one pass per perturbation cycle
            std::size_t stagnation = 0;
            bool perturb = false;
            for (;;) {
                ++total;
                memory_.advance();
                if (s_.enable_reactive_tenure) {
                    const std::size_t t = s_.tabu_tenure;
                    std::size_t tenure = t;
                    if (stagnation != 0) {
                        const std::size_t widened = t + std::min(std::max<std::size_t>(t, 1), stagnation / 2);
                        tenure = std::min(saturating_mul(3, t), widened < t ? std::numeric_limits<std::size_t>::max() : widened);
                    }
                    memory_.set_effective_tenure(tenure);
                }

                const Lists lists = candidate_lists(stagnation, widen_step, root_n);
                const IndexedStats stats = index_.stats(current_.selection);
                const double frequency_weight = stagnation < 5 ? 0.0 : 0.02 * static_cast<double>(stagnation);
                const MoveContext context{index_,
                                          stats,
                                          p_,
                                          weights_,
                                          current_.selection,
                                          redundancy_,
                                          cache_ ? &*cache_ : nullptr,
                                          similarity_,
                                          frequency_weight,
                                          memory_,
                                          s_.early_stopping_patience,
                                          epsilon_,
                                          current_.breakdown.objective_score,
                                          out_.best_feasible.objective,
                                          stagnation,
                                          &*selected_similarities_};
                const MoveChoice choice = find_best_move({lists.adds, lists.removes}, context);
                if (!choice.any_move) return;  // no move at all: the search ends
                if (!choice.found) {
                    ++stagnation;
                } else {
                    apply(choice.added, choice.removed);
                    memory_.record_move(choice.added, choice.removed, current_.selection, p_.cluster_ids);
                    if (improves_best_by_objective()) take_best_by_objective();
                    if (improves_best_feasible()) {
                        take_best_feasible(total - 1);
                        stagnation = 0;
                    } else {
                        ++stagnation;
                    }
                    out_.objective_trace.push_back(current_.breakdown.objective_score);
                }

                if (perturb_at <= stagnation && stagnation < patience) {
                    perturb = true;
                    break;
                }
                if (stagnation >= patience) return;
                if (total >= s_.iterations) return;
            }
            if (!perturb) return;

            current_.selection = perturbed_selection();
            rescore();
            refresh_aids();
            memory_.clear();
            if (improves_best_by_objective()) take_best_by_objective();
            if (improves_best_feasible()) take_best_feasible(total);
            out_.objective_trace.push_back(current_.breakdown.objective_score);
            if (total >= s_.iterations) return;
        }
    }

private:
    // The add list (its first A entries) and the remove list (its first R
    // entries) of the current selection.
    struct Lists {
        std::vector<std::size_t> adds;
        std::vector<std::size_t> removes;
    };

    Lists candidate_lists(std::size_t stagnation, std::size_t widen_step, std::size_t root_n) const {
        const std::size_t n = p_.n;
        const MarginalTables tables = build_marginal_tables(current_.selection, p_, s_, similarity_sums_->values());
        Lists lists;
        lists.adds.reserve(n);
        lists.removes.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (current_.selection[i] != 0) {
                lists.removes.push_back(i);
            } else if (!index_.excluded(i)) {
                lists.adds.push_back(i);
            }
        }
        const std::size_t m = std::min<std::size_t>(stagnation / widen_step + 1, 3);
        const std::size_t a_count =
            std::min(std::max<std::size_t>(saturating_mul(root_n, saturating_mul(6, m)), 12), lists.adds.size());
        const std::size_t r_count = std::min(
            std::max<std::size_t>(saturating_mul(ceil_sqrt(lists.removes.size()), saturating_mul(4, m)), 6),
            lists.removes.size());
        lists.adds = leading_by_add_priority(lists.adds, a_count, context_.scores, tables);
        sort_by_drop_priority(lists.removes, context_.scores, tables);
        lists.removes.resize(r_count);
        return lists;
    }

    void apply(std::size_t added, std::size_t removed) {
        if (removed < p_.n) current_.selection[removed] = 0;
        current_.selection[added] = 1;
        update_redundancy_vector(redundancy_, similarity_, added, removed);
        similarity_sums_->update(current_.selection, added, removed);
        selected_similarities_->update(added, removed);
        rescore();
        cache_ = build_support_cache(current_.selection, p_, weights_.support_quorum_threshold, weights_.mu);
    }

    void rescore() {
        current_.breakdown = evaluate_selection(current_.selection, weights_, p_, similarity_.rows, context_.backend);
        current_.feasible = index_.satisfied(current_.selection);
    }

    void refresh_aids() {
        cache_ = build_support_cache(current_.selection, p_, weights_.support_quorum_threshold, weights_.mu);
        redundancy_ = build_redundancy_vector(current_.selection, similarity_);
        if (similarity_sums_) {
            similarity_sums_->rebuild(current_.selection);
        } else {
            similarity_sums_.emplace(current_.selection, similarity_);
        }
        if (selected_similarities_) {
            selected_similarities_->rebuild(current_.selection);
        } else {
            selected_similarities_.emplace(current_.selection, similarity_);
        }
    }

    bool improves_best_by_objective() const {
        return current_.breakdown.objective_score > out_.best_by_objective.objective + epsilon_;
    }
    bool improves_best_feasible() const {
        return current_.feasible && current_.breakdown.objective_score > out_.best_feasible.objective + epsilon_;
    }
    void take_best_by_objective() {
        out_.best_by_objective = {current_.selection, current_.breakdown, current_.breakdown.objective_score};
    }
    void take_best_feasible(std::size_t best_iteration) {
        out_.best_feasible = {current_.selection, current_.breakdown, current_.breakdown.objective_score};
        elite_.insert(current_.selection, current_.breakdown.objective_score);
        out_.best_iteration = best_iteration;
    }

    Selection perturbed_selection() const {
        if (s_.enable_path_relinking) {
            if (const Selection* guide = relinking_guide()) return relink_toward(*guide);
        }
        if (s_.enable_destroy_repair) return destroy_and_repair(context_, current_.selection, memory_);
        return memory_guided_construction(context_, memory_);
    }

    // Among the pool entries that differ from the current selection (best
    // first), the farthest in Hamming distance; the later entry wins ties.
    const Selection* relinking_guide() const {
        const Selection* guide = nullptr;
        std::size_t guide_distance = 0;
        for (const ElitePool::Entry& entry : elite_.entries()) {
            if (entry.selection == current_.selection) continue;
            std::size_t distance = 0;
            const std::size_t common = std::min(entry.selection.size(), current_.selection.size());
            for (std::size_t i = 0; i < common; ++i) distance += entry.selection[i] != current_.selection[i];
            if (guide == nullptr || distance >= guide_distance) {
                guide = &entry.selection;
                guide_distance = distance;
            }
        }
        return guide;
    }

    Selection relink_toward(const Selection& guide) const {
        const std::size_t n = p_.n;
        Selection copy = current_.selection;
        std::vector<std::size_t> to_add;
        std::vector<std::size_t> to_remove;
        for (std::size_t i = 0; i < n; ++i) {
            const bool in_guide = i < guide.size() && guide[i] != 0;
            if (in_guide && copy[i] == 0) to_add.push_back(i);
            if (current_.selection[i] != 0 && !in_guide) to_remove.push_back(i);
        }
        const std::vector<double>& utility = context_.scores.utility;
        std::stable_sort(to_remove.begin(), to_remove.end(),
                         [&](std::size_t a, std::size_t b) { return utility[a] < utility[b]; });

        for (std::size_t a : to_add) {
            const IndexedStats stats = index_.stats(copy);
            if (index_.can_add(a, stats)) {
                copy[a] = 1;
                continue;
            }
            for (auto it = to_remove.begin(); it != to_remove.end(); ++it) {
                if (index_.can_swap(a, *it, stats)) {
                    copy[*it] = 0;
                    copy[a] = 1;
                    to_remove.erase(it);
                    break;
                }
            }
        }
        return repair_selection(context_, std::move(copy));
    }

    const SolveContext& context_;
    const SolverSettings& s_;
    const ProblemInstance& p_;
    const ConstraintIndex& index_;
    const SimilarityView& similarity_;
    const ObjectiveWeights& weights_;
    TabuMemory& memory_;
    ElitePool& elite_;
    SearchOutcome& out_;
    const double epsilon_;

    CurrentSolution current_;
    std::optional<SupportCache> cache_;
    std::vector<float> redundancy_;
    std::optional<SimilaritySums> similarity_sums_;
    std::optional<SelectedSimilarities> selected_similarities_;
};

}  // namespace

void run_tabu_search(const SolveContext& context, const SimilarityView& similarity, const ObjectiveWeights& weights,
                     const CurrentSolution& start, TabuMemory& memory, ElitePool& elite, SearchOutcome& outcome) {
    TabuSearch search(context, similarity, weights, memory, elite, outcome);
    search.run(start);
}

}  // namespace torvane
