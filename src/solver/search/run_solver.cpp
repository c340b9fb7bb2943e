#include "solver/search/run_solver.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>

#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"
#include "solver/constraints/constraint_check.hpp"
#include "solver/search/construction.hpp"
#include "solver/search/marginal.hpp"
#include "solver/search/exact_window.hpp"
#include "solver/search/tabu_search.hpp"
#include "solver/search/tabu_memory.hpp"
#include "solver/objective/objective.hpp"

namespace torvane {

double elapsed_ms(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point now) {
    if (now < start) return 0.0;
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
    const auto whole_seconds = nanos / 1'000'000'000;
    const auto sub_nanos = nanos % 1'000'000'000;
    return (static_cast<double>(whole_seconds) + static_cast<double>(sub_nanos) / 1e9) * 1000.0;
}

namespace {

// The solve reads every array by candidate index; a problem whose arrays
// are shorter than its sizes state is refused here rather than read past.
void require_consistent_problem(const ProblemInstance& p) {
    const std::size_t n = p.n;
    const auto at_least = [n](std::size_t size, const char* what) {
        if (size < n) raise_internal(std::string(what) + " has fewer entries than there are candidates");
    };
    at_least(p.relevance.size(), "relevance");
    at_least(p.density.size(), "density");
    at_least(p.centrality.size(), "centrality");
    at_least(p.recency.size(), "recency");
    at_least(p.auxiliary.size(), "auxiliary");
    at_least(p.fulfilment.size(), "fulfilment");
    at_least(p.token_costs.size(), "token_costs");
    at_least(p.roles.size(), "roles");
    at_least(p.cluster_ids.size(), "cluster_ids");
    at_least(p.chunk_ids.size(), "chunk_ids");
    if (p.n != 0 && p.dim > std::numeric_limits<std::size_t>::max() / p.n) raise_internal("n x dim overflows");
    if (!p.similarity && p.embeddings.size() < p.n * p.dim) raise_internal("embeddings shorter than n x dim");
    if (p.similarity && p.similarity->size() != p.n * p.n) raise_internal("similarity matrix is not n x n");
    if (p.coverage) {
        if (p.num_query_tokens != 0 && n > std::numeric_limits<std::size_t>::max() / p.num_query_tokens) {
            raise_internal("T x n overflows");
        }
        if (p.coverage->size() < p.num_query_tokens * n) raise_internal("coverage shorter than T x n");
    }
}

// The solves running at this moment, in all threads of the process.
std::atomic<std::size_t> running_solves{0};

class RunningSolve {
public:
    RunningSolve() : others_(running_solves.fetch_add(1, std::memory_order_relaxed)) {}
    ~RunningSolve() { running_solves.fetch_sub(1, std::memory_order_relaxed); }
    RunningSolve(const RunningSolve&) = delete;
    RunningSolve& operator=(const RunningSolve&) = delete;
    // How many other solves were running when this one started.
    std::size_t others() const { return others_; }

private:
    std::size_t others_;
};

SolveResult solve(const SolverSettings& settings, const ProblemInstance& problem, const ConstraintSet& constraints,
                  const ComputeBackend& backend, std::chrono::steady_clock::time_point start) {
    const std::size_t n = problem.n;
    if (n == 0) {
        // The empty problem: nothing to select, nothing violated, no timing.
        return SolveResult{};
    }
    require_consistent_problem(problem);

    // The similarity matrix the whole solve works on. A given matrix is read
    // where it is: the problem is this call's own copy and stays unchanged
    // during the solve, so a second copy would hold the same values. The
    // backend's matrices are symmetric bit for bit (each entry is computed
    // once and stored in both triangles); a given one is checked, and its
    // columns copied out as rows when it is not.
    std::unique_ptr<float[]> computed;
    if (!problem.similarity) computed = backend.similarity_buffer(problem.embeddings, n, problem.dim);
    const std::span<const float> matrix =
        problem.similarity ? std::span<const float>(*problem.similarity) : std::span<const float>(computed.get(), n * n);
    const SimilarityColumns columns(matrix, n, !problem.similarity);
    const SimilarityView& similarity = columns.view();

    const ObjectiveWeights weights = make_objective_weights(settings);
    const SolveContext context(settings, problem, constraints, backend);
    backend.prepare(std::max<std::size_t>(settings.move_batch_size, 1));
    TabuMemory memory(settings.tabu_tenure, n, settings.tabu_similarity_threshold);

    const auto score = [&](Selection selection) {
        ScoredSolution scored;
        scored.breakdown = evaluate_selection(selection, weights, problem, similarity.rows, backend);
        scored.feasible = context.index.satisfied(selection);
        scored.selection = std::move(selection);
        return scored;
    };

    // Two starts: the constructive greedy and the memory-guided construction
    // with a fresh memory. The better one (strictly) leads the pair.
    ScoredSolution first = score(greedy_start(context));
    ScoredSolution second = [&] {
        const TabuMemory fresh(settings.tabu_tenure, n, settings.tabu_similarity_threshold);
        return score(memory_guided_construction(context, fresh));
    }();
    if (second.breakdown.objective_score > first.breakdown.objective_score) std::swap(first, second);
    const ScoredSolution& current = first.feasible ? first : (second.feasible ? second : first);

    ElitePool elite;
    if (first.feasible) elite.seed(first.selection, first.breakdown.objective_score);
    if (second.feasible) elite.seed(second.selection, second.breakdown.objective_score);
    if (current.feasible) elite.insert(current.selection, current.breakdown.objective_score);

    SearchOutcome outcome;
    outcome.best_by_objective = {current.selection, current.breakdown, current.breakdown.objective_score};
    if (current.feasible) {
        outcome.best_feasible = outcome.best_by_objective;
    } else {
        outcome.best_feasible = {Selection(n, 0), ObjectiveBreakdown{}, -std::numeric_limits<double>::infinity()};
    }
    outcome.objective_trace.push_back(current.breakdown.objective_score);

    if (settings.iterations > 0) {
        const CurrentSolution start_solution{current.selection, current.breakdown, current.feasible};
        run_tabu_search(context, similarity, weights, start_solution, memory, elite, outcome);
    }
    const std::size_t iterations_run = memory.iteration_clock();

    // The final solution: the best feasible one when it checks out,
    // otherwise the best by objective.
    const bool feasible_final = context.index.satisfied(outcome.best_feasible.selection);
    ScoredRecord final_record = feasible_final ? outcome.best_feasible : outcome.best_by_objective;
    std::size_t best_iteration = outcome.best_iteration;
    ExactWindowReport window;
    if (feasible_final && settings.enable_exact_window && settings.exact_window_size > 0) {
        window = run_exact_window(context, similarity, weights, final_record);
        if (window.improved) best_iteration = iterations_run;
    }

    const ConstraintReport report = check_constraints(final_record.selection, problem, constraints);

    SolveResult result;
    describe_selection(result, final_record, report);
    result.iterations_run = iterations_run;
    result.best_iteration = best_iteration;
    result.exact_window_used = window.used;
    result.exact_window_exhaustive = window.exhaustive;
    result.exact_window_core_size = window.core_size;
    result.exact_window_nodes = window.nodes;
    result.exact_window_fixed_in = window.fixed_in;
    result.exact_window_fixed_out = window.fixed_out;
    result.exact_window_gap = window.gap;
    result.objective_trace = std::move(outcome.objective_trace);
    result.solve_time_ms = elapsed_ms(start, std::chrono::steady_clock::now());
    return result;
}

}  // namespace

void describe_selection(SolveResult& result, const ScoredRecord& record, const ConstraintReport& report) {
    result.breakdown = record.breakdown;
    result.breakdown.objective_score = record.objective;
    result.total_tokens = report.token_total.saturated_size();
    result.num_selected = report.selected_count;
    result.constraints_satisfied = report.satisfied;
    result.constraint_violations = violation_messages(report);
    result.selected_indices.clear();
    for (std::size_t i = 0; i < record.selection.size(); ++i) {
        if (record.selection[i] != 0) result.selected_indices.push_back(i);
    }
    result.final_selection = record.selection;
}

SolveResult run_solver(const SolverSettings& settings, const ProblemInstance& problem,
                       const ConstraintSet& constraints, const ComputeBackend& backend) {
    const auto start = std::chrono::steady_clock::now();
    // A solve that starts alone spreads its parallel loops over the worker
    // pool. One that starts while others run keeps its loops on its own
    // thread: the CPUs are busy with the other solves already, and handing
    // pieces around would only add hand-overs and time slicing between more
    // threads than CPUs. The results are the same either way; only the
    // split of the loops differs, and no result depends on it.
    const RunningSolve running;
    if (running.others() > 0) {
        return pool::calling_thread_pool().install([&] { return solve(settings, problem, constraints, backend, start); });
    }
    return solve(settings, problem, constraints, backend, start);
}

}  // namespace torvane
