#pragma once
// Effort beyond the solve: rounds of perturbation and tabu search on the
// worker pool that start from the solve's selection and keep the best
// feasible selection they meet.
//
// Each round runs a fixed number of independent walks. A walk starts from
// the incumbent or a member of a small pool of good, distinct selections,
// perturbs it by random feasible moves and then runs a short tabu search of
// add, drop and swap moves with exact changes of the pair term. What a walk
// does depends only on (seed, round, walk) and on the state at the start of
// the round, and the walks' results are merged in walk order, so a run
// limited by rounds alone gives the same bits on any number of threads. A
// selection is taken only when it satisfies the constraints and its
// objective, computed by evaluate_selection as the solve computes it, is
// strictly greater than the incumbent's.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "backend/mod/compute_backend.hpp"
#include "solver/model/problem.hpp"
#include "solver/model/result.hpp"
#include "solver/model/settings.hpp"
#include "solver/model/similarity_view.hpp"
#include "solver/objective/objective.hpp"
#include "solver/search/scored_record.hpp"
#include "solver/search/solve_context.hpp"

namespace torvane {

struct ImproveLimits {
    // Milliseconds from the start of the call (the solve included) after
    // which no new round starts and running walks stop.
    std::optional<double> time_limit_ms;
    // The number of rounds.
    std::optional<std::uint64_t> rounds;
    std::uint64_t seed = 0;

    bool any() const { return time_limit_ms.has_value() || rounds.has_value(); }
};

struct ImproveReport {
    std::uint64_t rounds_run = 0;
    std::size_t improvements = 0;  // rounds that replaced the incumbent
};

// Walks per round; fixed, so that the work of a round does not depend on
// the pool's size.
inline constexpr std::size_t kWalksPerRound = 8;

// Improves the feasible `record` (its objective as evaluate_selection gives
// it). Leaves it unchanged when it is infeasible or no limit is given.
// `deadline` is when the time limit, if any, runs out.
ImproveReport improve_record(const SolveContext& context, const SimilarityView& similarity,
                             const ObjectiveWeights& weights, const ImproveLimits& limits,
                             std::chrono::steady_clock::time_point deadline, ScoredRecord& record);

// run_solver, then improve_record on its selection within the limits; the
// result describes the returned selection as run_solver would, keeps the
// solve's search counters, and its solve_time_ms covers both. With no
// limit it is run_solver's result.
SolveResult run_solver_improved(const SolverSettings& settings, const ProblemInstance& problem,
                                const ConstraintSet& constraints, const ComputeBackend& backend,
                                const ImproveLimits& limits);

// The limits with which solves started on the calling thread are improved:
// none, except while a ScopedImproveLimits lives on that thread. The
// torvane package sets them around one call of the module's solve methods,
// so that the call's intake and output are the module's own.
const ImproveLimits& thread_improve_limits();

class ScopedImproveLimits {
public:
    explicit ScopedImproveLimits(const ImproveLimits& limits);
    ~ScopedImproveLimits();
    ScopedImproveLimits(const ScopedImproveLimits&) = delete;
    ScopedImproveLimits& operator=(const ScopedImproveLimits&) = delete;

private:
    ImproveLimits previous_;
};

}  // namespace torvane
