#include <gtest/gtest.h>

#include <chrono>

#include "common/fault.hpp"
#include "solver/knapsack/run_solver.hpp"

namespace {

TEST(RunSolver, EmptyProblemGivesEmptySatisfiedResult) {
    torvane::SolverSettings settings;
    torvane::ProblemInstance problem;
    torvane::ConstraintSet constraints;
    constraints.min_chunks = 5;  // unsatisfiable, yet the empty problem reports success
    constraints.must_include_roles.insert(torvane::RhetoricalRole::Risk);
    constraints.required_chunks.insert("a");

    const torvane::SolveResult result = torvane::run_solver(settings, problem, constraints);
    EXPECT_EQ(result.breakdown.objective_score, 0.0);
    EXPECT_EQ(result.breakdown.redundancy_penalty, 0.0);
    EXPECT_EQ(result.solve_time_ms, 0.0);
    EXPECT_EQ(result.exact_window_gap, 0.0);
    EXPECT_EQ(result.total_tokens, 0u);
    EXPECT_EQ(result.num_selected, 0u);
    EXPECT_EQ(result.iterations_run, 0u);
    EXPECT_EQ(result.best_iteration, 0u);
    EXPECT_TRUE(result.selected_indices.empty());
    EXPECT_TRUE(result.constraint_violations.empty());
    EXPECT_TRUE(result.constraints_satisfied);
    EXPECT_FALSE(result.exact_window_used);
    EXPECT_FALSE(result.exact_window_exhaustive);
}

TEST(RunSolver, ElapsedMillisecondsFromSecondsAndNanoseconds) {
    using namespace std::chrono;
    const steady_clock::time_point start{};
    EXPECT_EQ(torvane::elapsed_ms(start, start + nanoseconds(2'500'000'000)), 2500.0);
    EXPECT_EQ(torvane::elapsed_ms(start, start + microseconds(1500)), 1.5);
    EXPECT_EQ(torvane::elapsed_ms(start + seconds(1), start), 0.0);
}

TEST(RunSolver, DefaultSettingsAndConstraints) {
    const torvane::SolverSettings settings;
    EXPECT_EQ(settings.backend->kind(), torvane::BackendKind::CpuReference);
    EXPECT_EQ(torvane::backend_kind_name(settings.backend->kind()), "cpu_reference");
    EXPECT_EQ(settings.improvement_epsilon, 1e-6f);
    const torvane::ConstraintSet constraints;
    EXPECT_EQ(constraints.max_tokens, 8192u);
    EXPECT_EQ(constraints.min_chunks, 1u);
    EXPECT_EQ(constraints.max_chunks, 50u);
    EXPECT_EQ(constraints.max_per_cluster, 3u);
}

}  // namespace
