#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"
#include "solver/search/run_solver.hpp"
#include "random_scores.hpp"

using torvane::ConstraintSet;
using torvane::ProblemInstance;
using torvane::RhetoricalRole;
using torvane::SolveResult;
using torvane::SolverSettings;

namespace {

const torvane::CpuReferenceBackend kCpu;

// A reproducible clustered problem with coverage, so that every part of
// the search (moves, fulfilment deltas, perturbations, window) is exercised.
ProblemInstance random_problem(std::size_t n, std::size_t dim, std::size_t tokens, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    ProblemInstance p;
    p.n = n;
    p.dim = dim;
    p.num_query_tokens = tokens;
    const std::size_t groups = 6;
    std::vector<float> centres(groups * dim);
    for (float& x : centres) x = normal(rng);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t g = i % groups;
        for (std::size_t k = 0; k < dim; ++k) p.embeddings.push_back(centres[g * dim + k] + 0.6f * normal(rng));
        torvane::testing_support::push_random_scores(p, rng, unit, 350);
        p.roles.push_back(torvane::role_from_code(static_cast<std::uint8_t>(rng() % 9)));
        if (rng() % 4 != 0) {
            p.cluster_ids.push_back(g);
        } else {
            p.cluster_ids.push_back(std::nullopt);
        }
        p.chunk_ids.push_back("chunk_" + std::to_string(i));
    }
    std::vector<float> coverage(tokens * n);
    for (float& x : coverage) x = unit(rng) * unit(rng) * 1.2f;
    p.coverage = coverage;
    p.query_token_weights = std::vector<float>(tokens, 1.0f);
    p.query_embedding.assign(dim, 0.0f);
    return p;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_identical(const SolveResult& a, const SolveResult& b) {
    EXPECT_EQ(a.selected_indices, b.selected_indices);
    EXPECT_TRUE(same_bits(a.breakdown.objective_score, b.breakdown.objective_score));
    EXPECT_TRUE(same_bits(a.breakdown.fulfilment_total, b.breakdown.fulfilment_total));
    EXPECT_TRUE(same_bits(a.breakdown.redundancy_penalty, b.breakdown.redundancy_penalty));
    EXPECT_EQ(a.iterations_run, b.iterations_run);
    EXPECT_EQ(a.best_iteration, b.best_iteration);
    EXPECT_EQ(a.exact_window_nodes, b.exact_window_nodes);
    EXPECT_EQ(a.constraint_violations, b.constraint_violations);
    ASSERT_EQ(a.objective_trace.size(), b.objective_trace.size());
    for (std::size_t i = 0; i < a.objective_trace.size(); ++i) {
        EXPECT_TRUE(same_bits(a.objective_trace[i], b.objective_trace[i])) << i;
    }
}

// Scenarios that take the search down its different paths; each must give
// the same bits, objective trace included, on any number of threads.
struct Scenario {
    const char* name;
    std::size_t n;
    std::size_t tokens;  // query tokens of the coverage matrix
    unsigned seed;
    void (*adjust)(ProblemInstance&, SolverSettings&, ConstraintSet&);
};

void constrained(ProblemInstance&, SolverSettings& s, ConstraintSet& c) {
    s.iterations = 60;
    s.exact_window_size = 10;
    c.max_tokens = 3000;
    c.max_per_cluster = 2;
    c.must_include_roles = {RhetoricalRole::Risk, RhetoricalRole::Definition};
    c.required_chunks = {"chunk_3"};
    c.excluded_chunks = {"chunk_5", "chunk_9"};
}

// Equal embeddings, scores and costs in pairs, and chunk ids shared by
// several candidates.
void ties_and_shared_ids(ProblemInstance& p, SolverSettings& s, ConstraintSet& c) {
    for (std::size_t i = 1; i < p.n; i += 2) {
        std::copy_n(p.embeddings.begin() + static_cast<std::ptrdiff_t>((i - 1) * p.dim), p.dim,
                    p.embeddings.begin() + static_cast<std::ptrdiff_t>(i * p.dim));
        p.relevance[i] = p.relevance[i - 1];
        p.density[i] = p.density[i - 1];
        p.token_costs[i] = p.token_costs[i - 1];
        p.roles[i] = p.roles[i - 1];
        p.cluster_ids[i] = p.cluster_ids[i - 1];
        if (i % 3 == 0) p.chunk_ids[i] = p.chunk_ids[i - 1];
    }
    s.iterations = 80;
    c.max_tokens = 2500;
}

void no_clustered_chunk(ProblemInstance&, SolverSettings& s, ConstraintSet& c) {
    s.iterations = 50;
    c.max_per_cluster = 0;
    c.max_tokens = 4000;
}

void relinking_only(ProblemInstance&, SolverSettings& s, ConstraintSet& c) {
    s.iterations = 120;
    s.enable_destroy_repair = false;
    c.max_tokens = 3000;
}

void destroy_and_repair_only(ProblemInstance&, SolverSettings& s, ConstraintSet& c) {
    s.iterations = 120;
    s.enable_path_relinking = false;
    c.max_tokens = 3000;
}

void memory_guided_restarts(ProblemInstance&, SolverSettings& s, ConstraintSet& c) {
    s.iterations = 120;
    s.enable_path_relinking = false;
    s.enable_destroy_repair = false;
    s.enable_reactive_tenure = false;
    c.max_tokens = 3000;
}

// A given similarity matrix that is not symmetric (read through its
// transposed copy), few chunks (most moves admissible) and no tenure.
void asymmetric_matrix_small_selection(ProblemInstance& p, SolverSettings& s, ConstraintSet& c) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
    std::vector<float> sim(p.n * p.n);
    for (float& x : sim) x = noise(rng);
    p.similarity = sim;
    s.iterations = 60;
    s.tabu_tenure = 0;
    s.early_stopping_patience = 40;
    c.max_chunks = 6;
}

// Enough add and remove candidates (426 x 156) for the move scan to go to
// the pool.
void large_neighbourhood(ProblemInstance&, SolverSettings& s, ConstraintSet& c) {
    s.iterations = 4;
    s.exact_window_size = 3;
    c.max_tokens = 1'000'000;
    c.max_chunks = 1500;
    c.max_per_cluster = 1500;
}

class SolveOnAnyThreadCount : public ::testing::TestWithParam<Scenario> {};

TEST_P(SolveOnAnyThreadCount, GivesTheSameBits) {
    const Scenario& scenario = GetParam();
    ProblemInstance problem = random_problem(scenario.n, 24, scenario.tokens, scenario.seed);
    SolverSettings settings;
    settings.exact_window_time_ms = 1'000'000;  // exhaustive, so timing plays no part
    ConstraintSet constraints;
    scenario.adjust(problem, settings, constraints);

    std::vector<SolveResult> results;
    for (std::size_t threads : {1, 2, 7}) {
        torvane::pool::ThreadPool pool(threads);
        results.push_back(pool.install([&] { return torvane::run_solver(settings, problem, constraints, kCpu); }));
    }
    ASSERT_GE(results[0].objective_trace.size(), 2u);
    expect_identical(results[0], results[1]);
    expect_identical(results[0], results[2]);

    // Two solves at once on the process-wide pool: whichever starts second
    // runs its loops on its own thread.
    std::vector<SolveResult> together(2);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
            together[t] = torvane::run_solver(settings, problem, constraints, kCpu);
        });
    }
    for (std::thread& thread : threads) thread.join();
    expect_identical(results[0], together[0]);
    expect_identical(results[0], together[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, SolveOnAnyThreadCount,
    ::testing::Values(Scenario{"constrained", 240, 5, 7, constrained},
                      Scenario{"ties_and_shared_ids", 200, 3, 8, ties_and_shared_ids},
                      Scenario{"no_clustered_chunk", 150, 0, 9, no_clustered_chunk},
                      Scenario{"relinking_only", 180, 4, 10, relinking_only},
                      Scenario{"destroy_and_repair_only", 180, 4, 11, destroy_and_repair_only},
                      Scenario{"memory_guided_restarts", 180, 0, 12, memory_guided_restarts},
                      Scenario{"asymmetric_matrix_small_selection", 120, 2, 13, asymmetric_matrix_small_selection},
                      Scenario{"large_neighbourhood", 5000, 0, 14, large_neighbourhood}),
    [](const ::testing::TestParamInfo<Scenario>& case_info) { return std::string(case_info.param.name); });

TEST(Solve, SearchNeverWorsensTheStartAndReportsConsistently) {
    const ProblemInstance problem = random_problem(120, 16, 3, 11);
    SolverSettings start_only;
    start_only.iterations = 0;
    start_only.enable_exact_window = false;
    SolverSettings full;
    full.exact_window_time_ms = 1'000'000;
    const ConstraintSet constraints;
    const SolveResult start = torvane::run_solver(start_only, problem, constraints, kCpu);
    const SolveResult searched = torvane::run_solver(full, problem, constraints, kCpu);
    EXPECT_EQ(start.iterations_run, 0u);
    EXPECT_EQ(start.best_iteration, 0u);
    EXPECT_GE(searched.breakdown.objective_score, start.breakdown.objective_score);
    EXPECT_TRUE(searched.exact_window_used);
    EXPECT_TRUE(searched.exact_window_exhaustive);
    EXPECT_EQ(searched.exact_window_gap, 0.0);
    EXPECT_EQ(searched.num_selected, searched.selected_indices.size());
    std::size_t tokens = 0;
    for (std::size_t i : searched.selected_indices) tokens += problem.token_costs[i];
    EXPECT_EQ(searched.total_tokens, tokens);
}

TEST(Solve, ShortArraysAreAnInternalFaultNotAnOverread) {
    ProblemInstance problem = random_problem(10, 4, 0, 3);
    problem.coverage.reset();
    problem.density.pop_back();
    EXPECT_THROW(torvane::run_solver(SolverSettings{}, problem, ConstraintSet{}, kCpu), torvane::InternalError);
    problem = random_problem(10, 4, 0, 3);
    problem.coverage.reset();
    problem.embeddings.resize(39);
    EXPECT_THROW(torvane::run_solver(SolverSettings{}, problem, ConstraintSet{}, kCpu), torvane::InternalError);
    problem = random_problem(10, 4, 2, 3);
    problem.coverage->resize(19);
    EXPECT_THROW(torvane::run_solver(SolverSettings{}, problem, ConstraintSet{}, kCpu), torvane::InternalError);
}

TEST(Solve, ExpiredWindowBudgetChecksNoSubset) {
    // The budget is checked before the first subset and between batches; with
    // one millisecond and a large core it rarely completes. Whatever the
    // timing, the report stays consistent.
    const ProblemInstance problem = random_problem(300, 16, 0, 5);
    SolverSettings settings;
    settings.iterations = 0;
    settings.exact_window_size = 20;
    settings.exact_window_time_ms = 0;  // acts as 1 ms
    const SolveResult r = torvane::run_solver(settings, problem, ConstraintSet{}, kCpu);
    ASSERT_TRUE(r.exact_window_used);
    EXPECT_EQ(r.exact_window_core_size, 20u);
    if (r.exact_window_exhaustive) {
        EXPECT_EQ(r.exact_window_nodes, 1u << 20);
        EXPECT_EQ(r.exact_window_gap, 0.0);
    } else {
        EXPECT_LT(r.exact_window_nodes, 1u << 20);
        EXPECT_EQ(r.exact_window_gap, -1.0);
    }
}

}  // namespace
