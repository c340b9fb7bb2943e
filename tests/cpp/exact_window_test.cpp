#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/mod/compute_backend.hpp"
#include "solver/objective/objective.hpp"
#include "solver/search/exact_window.hpp"
#include "random_scores.hpp"

using torvane::ConstraintSet;
using torvane::ProblemInstance;
using torvane::Selection;
using torvane::SolverSettings;

namespace {

const torvane::CpuReferenceBackend kCpu;

// n candidates with random scores, costs, roles and clusters and a random
// (not necessarily symmetric) similarity matrix.
ProblemInstance window_problem(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    ProblemInstance p;
    p.n = n;
    p.dim = 1;
    for (std::size_t i = 0; i < n; ++i) {
        torvane::testing_support::push_random_scores(p, rng, unit, 350);
        p.roles.push_back(torvane::role_from_code(static_cast<std::uint8_t>(rng() % 4)));
        if (rng() % 3 != 0) {
            p.cluster_ids.push_back(rng() % 3);
        } else {
            p.cluster_ids.push_back(std::nullopt);
        }
        p.chunk_ids.push_back(std::to_string(i));
    }
    std::vector<float> sim(n * n);
    for (float& x : sim) x = unit(rng) * 0.8f;
    p.similarity = sim;
    p.embeddings.assign(n, 0.0f);
    p.query_embedding.assign(1, 0.0f);
    return p;
}

// When the window is as large as the problem and half of the candidates are
// selected, its core is every candidate and the base is empty: the window
// then tries every selection of the problem, in ascending order of the bit
// masks (bit i for candidate i), and keeps the first that beats the best so
// far by more than the improvement epsilon. The brute force below does just
// that with the full objective and constraint check, whatever the number of
// feasible selections the window scores together.
TEST(ExactWindow, FindsWhatTryingEverySelectionInOrderFinds) {
    const std::size_t n = 13;
    int improved = 0;
    for (unsigned seed = 1; seed <= 12; ++seed) {
        const ProblemInstance problem = window_problem(n, seed);
        SolverSettings settings;
        settings.exact_window_size = 20;
        settings.exact_window_time_ms = 1'000'000;
        ConstraintSet constraints;
        // From nearly every selection feasible to few of them.
        constraints.max_tokens = 600 + 150 * (seed % 8);
        constraints.max_chunks = 3 + seed % 5;
        constraints.max_per_cluster = 1 + seed % 3;
        if (seed % 4 == 0) constraints.must_include_roles = {torvane::role_from_code(1)};
        const torvane::SolveContext context(settings, problem, constraints, kCpu);
        const torvane::ObjectiveWeights weights = torvane::make_objective_weights(settings);
        const torvane::SimilarityColumns columns(*problem.similarity, n, false);

        // A feasible start that selects about half of the candidates: the
        // cheapest ones that keep it feasible, up to six, at least one.
        Selection start(n, 0);
        std::size_t chosen = 0;
        for (std::size_t i = 0; i < n && chosen < 6; ++i) {
            start[i] = 1;
            if (context.index.satisfied(start)) {
                ++chosen;
            } else {
                start[i] = 0;
            }
        }
        if (chosen == 0 || !context.index.satisfied(start)) continue;
        const auto scored = [&](const Selection& s) {
            const torvane::ObjectiveBreakdown b = torvane::evaluate_selection(s, weights, problem, columns.view().rows, kCpu);
            return torvane::ScoredRecord{s, b, b.objective_score};
        };
        torvane::ScoredRecord record = scored(start);
        const torvane::ScoredRecord before = record;
        const torvane::ExactWindowReport report = torvane::run_exact_window(context, columns.view(), weights, record);
        if (report.core_size != n) continue;  // the core is not the whole problem
        EXPECT_TRUE(report.exhaustive);
        EXPECT_EQ(report.nodes, std::size_t{1} << n);

        torvane::ScoredRecord best = before;
        const double epsilon = static_cast<double>(settings.improvement_epsilon);
        for (std::uint64_t m = 0; m < (std::uint64_t{1} << n); ++m) {
            Selection s(n, 0);
            for (std::size_t i = 0; i < n; ++i) s[i] = (m >> i) & 1u;
            if (!context.index.satisfied(s)) continue;
            const torvane::ScoredRecord candidate = scored(s);
            if (candidate.objective > best.objective + epsilon) best = candidate;
        }
        EXPECT_EQ(record.selection, best.selection) << "seed " << seed;
        EXPECT_EQ(record.objective, best.objective) << "seed " << seed;
        EXPECT_EQ(report.improved, best.selection != before.selection) << "seed " << seed;
        improved += report.improved ? 1 : 0;
    }
    EXPECT_GT(improved, 3);  // the cases do exercise the window
}

}  // namespace
