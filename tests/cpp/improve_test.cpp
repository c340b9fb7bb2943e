#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <memory>
#include <cstdint>
#include <random>
#include <string>

#include "backend/pool/thread_pool.hpp"
#include "solver/constraints/constraint_check.hpp"
#include "solver/objective/objective.hpp"
#include "solver/search/improve.hpp"
#include "solver/search/run_solver.hpp"
#include "random_scores.hpp"

using torvane::ConstraintSet;
using torvane::ImproveLimits;
using torvane::ProblemInstance;
using torvane::RhetoricalRole;
using torvane::SolveResult;
using torvane::SolverSettings;

namespace {

const torvane::CpuReferenceBackend kCpu;

// A clustered problem with roles, optional coverage and an optional given
// (possibly negative-valued) similarity matrix.
ProblemInstance make_problem(std::size_t n, unsigned seed, std::size_t tokens, bool given_matrix) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    ProblemInstance p;
    p.n = n;
    p.dim = 8;
    p.num_query_tokens = tokens;
    std::vector<float> centres(4 * p.dim);
    for (float& x : centres) x = normal(rng);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < p.dim; ++k) p.embeddings.push_back(centres[(i % 4) * p.dim + k] + 0.7f * normal(rng));
        torvane::testing_support::push_random_scores(p, rng, unit, 350);
        p.roles.push_back(torvane::role_from_code(static_cast<std::uint8_t>(rng() % 5)));
        p.cluster_ids.push_back(rng() % 3 != 0 ? std::optional<std::size_t>(i % 4) : std::nullopt);
        p.chunk_ids.push_back("c" + std::to_string(i));
    }
    if (tokens > 0) {
        std::vector<float> coverage(tokens * n);
        for (float& x : coverage) x = unit(rng) * unit(rng) * 1.3f;
        p.coverage = coverage;
    }
    if (given_matrix) {
        std::vector<float> s(n * n, 1.0f);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) s[i * n + j] = s[j * n + i] = 1.6f * unit(rng) - 0.4f;
        }
        p.similarity = s;
    }
    p.query_embedding.assign(p.dim, 0.0f);
    return p;
}

ConstraintSet tight_constraints() {
    ConstraintSet c;
    c.max_tokens = 900;
    c.max_chunks = 6;
    c.max_per_cluster = 2;
    c.must_include_roles = {torvane::role_from_code(0), torvane::role_from_code(3)};
    return c;
}

// The best feasible objective by trying every subset, scored as the solve
// scores selections.
double enumerated_optimum(const SolverSettings& settings, const ProblemInstance& p, const ConstraintSet& c) {
    const torvane::ObjectiveWeights weights = torvane::make_objective_weights(settings);
    std::unique_ptr<float[]> computed;
    if (!p.similarity) computed = kCpu.similarity_buffer(p.embeddings, p.n, p.dim);
    const std::span<const float> matrix =
        p.similarity ? std::span<const float>(*p.similarity) : std::span<const float>(computed.get(), p.n * p.n);
    double best = -std::numeric_limits<double>::infinity();
    torvane::Selection selection(p.n, 0);
    for (std::uint64_t m = 1; m < (std::uint64_t{1} << p.n); ++m) {
        for (std::size_t i = 0; i < p.n; ++i) selection[i] = (m >> i) & 1u;
        if (!torvane::check_constraints(selection, p, c).satisfied) continue;
        best = std::max(best, torvane::evaluate_selection(selection, weights, p, matrix, kCpu).objective_score);
    }
    return best;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

void expect_describes_selection(const SolveResult& r, const SolverSettings& settings, const ProblemInstance& p,
                                const ConstraintSet& c) {
    const torvane::ObjectiveWeights weights = torvane::make_objective_weights(settings);
    std::unique_ptr<float[]> computed;
    if (!p.similarity) computed = kCpu.similarity_buffer(p.embeddings, p.n, p.dim);
    const std::span<const float> matrix =
        p.similarity ? std::span<const float>(*p.similarity) : std::span<const float>(computed.get(), p.n * p.n);
    const torvane::ObjectiveBreakdown b = torvane::evaluate_selection(r.final_selection, weights, p, matrix, kCpu);
    EXPECT_EQ(bits(r.breakdown.objective_score), bits(b.objective_score));
    EXPECT_EQ(bits(r.breakdown.fulfilment_total), bits(b.fulfilment_total));
    EXPECT_EQ(bits(r.breakdown.redundancy_penalty), bits(b.redundancy_penalty));
    const torvane::ConstraintReport report = torvane::check_constraints(r.final_selection, p, c);
    EXPECT_EQ(r.constraints_satisfied, report.satisfied);
    EXPECT_EQ(r.num_selected, report.selected_count);
    EXPECT_EQ(r.total_tokens, report.token_total.saturated_size());
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < p.n; ++i) {
        if (r.final_selection[i] != 0) indices.push_back(i);
    }
    EXPECT_EQ(r.selected_indices, indices);
}

TEST(Improve, WithoutLimitIsTheSolveResult) {
    const SolverSettings settings;
    const ProblemInstance p = make_problem(40, 3, 4, false);
    const ConstraintSet c = tight_constraints();
    const SolveResult plain = torvane::run_solver(settings, p, c, kCpu);
    const SolveResult same = torvane::run_solver_improved(settings, p, c, kCpu, ImproveLimits{});
    EXPECT_EQ(same.selected_indices, plain.selected_indices);
    EXPECT_EQ(bits(same.breakdown.objective_score), bits(plain.breakdown.objective_score));
    EXPECT_EQ(same.iterations_run, plain.iterations_run);
    EXPECT_EQ(same.exact_window_nodes, plain.exact_window_nodes);
}

// Across problems with and without coverage, given matrices with negative
// entries and tight constraints: never worse than the solve, feasible,
// and the reported fields are those of the returned selection. The search
// counters stay the solve's.
TEST(Improve, NeverWorseFeasibleAndDescribesItsSelection) {
    SolverSettings settings;
    settings.lambda = 0.9f;
    for (unsigned seed = 0; seed < 6; ++seed) {
        const ProblemInstance p = make_problem(30 + 15 * seed, seed, seed % 2 == 0 ? 3 : 0, seed % 3 == 1);
        const ConstraintSet c = tight_constraints();
        const SolveResult plain = torvane::run_solver(settings, p, c, kCpu);
        ImproveLimits limits;
        limits.rounds = 3;
        limits.seed = seed;
        const SolveResult better = torvane::run_solver_improved(settings, p, c, kCpu, limits);
        EXPECT_GE(better.breakdown.objective_score, plain.breakdown.objective_score) << seed;
        if (plain.constraints_satisfied) {
            EXPECT_TRUE(better.constraints_satisfied) << seed;
        }
        EXPECT_EQ(better.iterations_run, plain.iterations_run);
        EXPECT_EQ(better.best_iteration, plain.best_iteration);
        EXPECT_EQ(better.exact_window_core_size, plain.exact_window_core_size);
        expect_describes_selection(better, settings, p, c);
    }
}

// An infeasible start (the constraints cannot be met) is returned as it is.
TEST(Improve, InfeasibleStartIsKept) {
    const SolverSettings settings;
    const ProblemInstance p = make_problem(20, 9, 0, false);
    ConstraintSet c;
    c.min_chunks = 30;
    const SolveResult plain = torvane::run_solver(settings, p, c, kCpu);
    ASSERT_FALSE(plain.constraints_satisfied);
    ImproveLimits limits;
    limits.rounds = 2;
    const SolveResult same = torvane::run_solver_improved(settings, p, c, kCpu, limits);
    EXPECT_EQ(same.selected_indices, plain.selected_indices);
    EXPECT_EQ(bits(same.breakdown.objective_score), bits(plain.breakdown.objective_score));
    EXPECT_EQ(same.constraint_violations, plain.constraint_violations);
}

// Rounds alone: the same bits on pools of 1, 2 and 7 threads, and a
// different seed is allowed to walk elsewhere but never below the start.
TEST(Improve, RoundsAreReproducibleOnEveryPoolSize) {
    SolverSettings settings;
    settings.lambda = 1.2f;
    const ProblemInstance p = make_problem(90, 21, 3, false);
    ConstraintSet c = tight_constraints();
    c.max_chunks = 12;
    c.max_tokens = 2400;
    ImproveLimits limits;
    limits.rounds = 4;
    limits.seed = 77;
    std::vector<SolveResult> results;
    for (std::size_t threads : {1u, 2u, 7u}) {
        torvane::pool::ThreadPool pool(threads);
        results.push_back(pool.install([&] { return torvane::run_solver_improved(settings, p, c, kCpu, limits); }));
    }
    for (const SolveResult& r : results) {
        EXPECT_EQ(r.selected_indices, results[0].selected_indices);
        EXPECT_EQ(bits(r.breakdown.objective_score), bits(results[0].breakdown.objective_score));
        EXPECT_EQ(bits(r.breakdown.redundancy_penalty), bits(results[0].breakdown.redundancy_penalty));
    }
}

// Small problems: a few rounds reach the optimum found by enumerating every
// subset, also where the solve alone stops short of it.
TEST(Improve, SmallProblemsReachTheEnumeratedOptimum) {
    SolverSettings settings;
    settings.lambda = 1.5f;
    settings.exact_window_size = 0;  // leave the finishing to the rounds
    std::size_t short_of_it = 0;
    std::size_t feasible = 0;
    for (unsigned seed = 0; seed < 12; ++seed) {
        const ProblemInstance p = make_problem(12 + seed % 5, 100 + seed, seed % 2 == 0 ? 2 : 0, seed % 3 == 0);
        ConstraintSet c = tight_constraints();
        c.max_tokens = 700 + 60 * seed;
        const double optimum = enumerated_optimum(settings, p, c);
        const SolveResult plain = torvane::run_solver(settings, p, c, kCpu);
        if (plain.breakdown.objective_score < optimum) ++short_of_it;
        ImproveLimits limits;
        limits.rounds = 4;
        const SolveResult better = torvane::run_solver_improved(settings, p, c, kCpu, limits);
        if (optimum == -std::numeric_limits<double>::infinity()) {
            EXPECT_FALSE(better.constraints_satisfied) << "seed " << seed;  // nothing is feasible
            continue;
        }
        ++feasible;
        EXPECT_EQ(bits(better.breakdown.objective_score), bits(optimum)) << "seed " << seed;
    }
    EXPECT_GE(feasible, 8u);
    EXPECT_GE(short_of_it, 1u);  // the rounds have something to do
}

// A time limit stops the rounds: a limit already passed allows none, and a
// short one returns soon after it.
TEST(Improve, TimeLimitStopsTheRounds) {
    const SolverSettings settings;
    const ProblemInstance p = make_problem(120, 5, 0, false);
    ConstraintSet c = tight_constraints();
    c.max_chunks = 20;
    c.max_tokens = 4000;
    const SolveResult plain = torvane::run_solver(settings, p, c, kCpu);
    ImproveLimits none;
    none.time_limit_ms = 0.0;
    const SolveResult same = torvane::run_solver_improved(settings, p, c, kCpu, none);
    EXPECT_EQ(same.selected_indices, plain.selected_indices);
    ImproveLimits brief;
    brief.time_limit_ms = 30.0;
    const SolveResult timed = torvane::run_solver_improved(settings, p, c, kCpu, brief);
    EXPECT_GE(timed.breakdown.objective_score, plain.breakdown.objective_score);
    EXPECT_LT(timed.solve_time_ms, 1000.0);
    EXPECT_GE(timed.solve_time_ms, 30.0);
}

}  // namespace
