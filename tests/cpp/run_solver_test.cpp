#include <gtest/gtest.h>

#include <chrono>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "common/fault.hpp"
#include "solver/search/assembly.hpp"
#include "solver/search/run_solver.hpp"

namespace {

TEST(RunSolver, EmptyProblemGivesEmptySatisfiedResult) {
    torvane::SolverSettings settings;
    torvane::ProblemInstance problem;
    torvane::ConstraintSet constraints;
    constraints.min_chunks = 5;  // unsatisfiable, yet the empty problem reports success
    constraints.must_include_roles.insert(torvane::RhetoricalRole::Risk);
    constraints.required_chunks.insert("a");

    const torvane::SolveResult result = torvane::run_solver(settings, problem, constraints, torvane::CpuReferenceBackend{});
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
    EXPECT_EQ(settings.improvement_epsilon, 1e-6f);
    const torvane::ConstraintSet constraints;
    EXPECT_EQ(constraints.max_tokens, 8192u);
    EXPECT_EQ(constraints.min_chunks, 1u);
    EXPECT_EQ(constraints.max_chunks, 50u);
    EXPECT_EQ(constraints.max_per_cluster, 3u);
}

// The relevance of all candidates at once has cosine_relevance's bits for
// each: candidate counts with every remainder of four, queries shorter and
// longer than the embeddings, zero and NaN embeddings.
struct RelevanceCase {
    std::size_t n;
    std::size_t dim;
    std::size_t query_len;
};

class ComputeRelevance : public ::testing::TestWithParam<RelevanceCase> {};

TEST_P(ComputeRelevance, EqualsCosineRelevanceOfEachCandidate) {
    const RelevanceCase c = GetParam();
    std::mt19937 rng(static_cast<unsigned>(c.n * 31 + c.dim));
    std::normal_distribution<float> normal(0.0f, 1.0f);
    torvane::ProblemInstance p;
    p.n = c.n;
    p.dim = c.dim;
    for (std::size_t k = 0; k < c.n * c.dim; ++k) p.embeddings.push_back(normal(rng));
    for (std::size_t k = 0; k < c.query_len; ++k) p.query_embedding.push_back(normal(rng));
    if (c.n > 2) {
        for (std::size_t k = 0; k < c.dim; ++k) p.embeddings[k] = 0.0f;  // a zero embedding
        p.embeddings[c.dim] = std::numeric_limits<float>::quiet_NaN();
    }
    torvane::compute_relevance(p);
    ASSERT_EQ(p.relevance.size(), c.n);
    for (std::size_t i = 0; i < c.n; ++i) {
        const float expected = torvane::cosine_relevance(p.embeddings.data() + i * c.dim, c.dim,
                                                         p.query_embedding.data(), c.query_len);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(p.relevance[i]), std::bit_cast<std::uint32_t>(expected)) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ComputeRelevance,
                         ::testing::Values(RelevanceCase{1, 5, 5}, RelevanceCase{6, 33, 33}, RelevanceCase{7, 16, 9},
                                           RelevanceCase{9, 8, 20}, RelevanceCase{12, 384, 384}));

}  // namespace
