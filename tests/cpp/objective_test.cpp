#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "random_moves.hpp"
#include "backend/mod/batch_objective.hpp"
#include "backend/mod/compute_backend.hpp"
#include "common/fault.hpp"
#include "solver/objective/move_evaluation.hpp"
#include "solver/objective/objective.hpp"

namespace {

using torvane::ObjectiveBreakdown;
using torvane::ObjectiveWeights;
using torvane::ProblemInstance;

// n candidates with distinct positive scores and a symmetric similarity.
ProblemInstance make_problem(std::size_t n) {
    ProblemInstance p;
    p.n = n;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = static_cast<float>(i + 1);
        p.relevance.push_back(0.9f / x);
        p.density.push_back(0.1f * x);
        p.centrality.push_back(0.3f + 0.01f * x);
        p.recency.push_back(0.7f - 0.05f * x);
        p.auxiliary.push_back(0.2f);
    }
    p.similarity = std::vector<float>(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) (*p.similarity)[i * n + j] = i == j ? 1.0f : 0.5f / static_cast<float>(i + j);
    }
    return p;
}

void set_coverage(ProblemInstance& p, std::vector<float> coverage, std::size_t tokens) {
    p.coverage = std::move(coverage);
    p.num_query_tokens = tokens;
}

ObjectiveBreakdown evaluate(const std::vector<std::uint8_t>& selection, const ObjectiveWeights& w,
                            const ProblemInstance& p) {
    const torvane::CpuReferenceBackend backend;
    return torvane::evaluate_selection(selection, w, p, *p.similarity, backend);
}

ObjectiveWeights default_weights() { return torvane::make_objective_weights(torvane::SolverSettings{}); }

TEST(Objective, WeightsFromSettingsAndInactiveAuxiliaryWeights) {
    torvane::SolverSettings s;
    s.mu = 0.75f;
    s.support_quorum_cap = std::numeric_limits<std::size_t>::max();
    ObjectiveWeights w = torvane::make_objective_weights(s);
    EXPECT_EQ(w.mu_fulfilment, 0.75f);
    EXPECT_EQ(w.support_quorum_cap, static_cast<float>(std::numeric_limits<std::size_t>::max()));
    EXPECT_EQ(w.beta, 0.3f);

    s.aux_weights_active = false;
    w = torvane::make_objective_weights(s);
    EXPECT_EQ(w.beta, 0.0f);
    const ObjectiveBreakdown b = evaluate({1, 1, 0, 1}, w, make_problem(4));
    EXPECT_EQ(b.density_total, 0.0);
    EXPECT_EQ(b.centrality_total, 0.0);
    EXPECT_EQ(b.recency_total, 0.0);
    EXPECT_GT(b.relevance_total, 0.0);
}

TEST(Objective, EmptySelectionScoresZeroWithNegativeZeroTotals) {
    ProblemInstance p = make_problem(5);
    set_coverage(p, std::vector<float>(10, 0.8f), 2);
    const ObjectiveBreakdown b = evaluate(std::vector<std::uint8_t>(5, 0), default_weights(), p);
    EXPECT_EQ(b.objective_score, 0.0);
    for (const double total : {b.relevance_total, b.density_total, b.centrality_total, b.recency_total,
                               b.auxiliary_total}) {
        EXPECT_EQ(total, 0.0);
        EXPECT_TRUE(std::signbit(total));
    }
    EXPECT_EQ(b.fulfilment_total, 0.0);
    EXPECT_EQ(b.redundancy_penalty, 0.0);
    EXPECT_FALSE(std::signbit(b.redundancy_penalty));
}

TEST(Objective, PenaltyIsPositiveZeroForNegativeZeroAndNaNGaps) {
    ProblemInstance p = make_problem(3);
    ObjectiveWeights w = default_weights();
    // Negative mu and lambda make the totals sum to -0.0 and the objective +0.0.
    w.mu = w.mu_fulfilment = -1.0f;
    w.lambda = -1.0f;
    const ObjectiveBreakdown zero = evaluate({0, 0, 0}, w, p);
    EXPECT_TRUE(std::signbit(zero.fulfilment_total));
    EXPECT_FALSE(std::signbit(zero.objective_score));
    EXPECT_FALSE(std::signbit(zero.redundancy_penalty));

    p.relevance[1] = std::numeric_limits<float>::quiet_NaN();
    const ObjectiveBreakdown nan = evaluate({1, 1, 0}, default_weights(), p);
    EXPECT_TRUE(std::isnan(nan.objective_score));
    EXPECT_EQ(nan.redundancy_penalty, 0.0);
    EXPECT_FALSE(std::signbit(nan.redundancy_penalty));
}

TEST(Objective, TotalsAndPenaltyOfASelection) {
    ProblemInstance p = make_problem(6);
    const ObjectiveWeights w = default_weights();
    const std::vector<std::uint8_t> selection = {1, 0, 1, 1, 0, 1};
    const ObjectiveBreakdown b = evaluate(selection, w, p);

    float relevance = -0.0f;
    double red = 0.0;
    for (std::size_t i = 0; i < 6; ++i) {
        if (selection[i] != 0) relevance = relevance + p.relevance[i];
        for (std::size_t j = 0; j < 6; ++j) {
            if (i != j && selection[i] != 0 && selection[j] != 0) red += (*p.similarity)[i * 6 + j];
        }
    }
    EXPECT_EQ(b.relevance_total, static_cast<double>(w.alpha) * static_cast<double>(relevance));
    const torvane::ObjectiveContext context = torvane::make_objective_context(p, *p.similarity, w);
    EXPECT_EQ(b.objective_score, static_cast<double>(torvane::row_objective(selection, context)));
    EXPECT_GT(b.redundancy_penalty, 0.0);
    EXPECT_NEAR(b.redundancy_penalty, static_cast<double>(w.lambda) * red * 0.5, 1e-5);

    // One chunk: no redundancy, and never a negative penalty.
    for (std::size_t i = 0; i < 6; ++i) {
        std::vector<std::uint8_t> single(6, 0);
        single[i] = 1;
        const ObjectiveBreakdown s = evaluate(single, w, p);
        EXPECT_GE(s.redundancy_penalty, 0.0);
        EXPECT_NEAR(s.redundancy_penalty, 0.0, 1e-6);
    }
}

TEST(Objective, FulfilmentNeedsCoverageAndWeight) {
    ProblemInstance p = make_problem(3);
    ObjectiveWeights w = default_weights();
    w.mu = w.mu_fulfilment = 5.0f;
    EXPECT_EQ(evaluate({1, 1, 1}, w, p).fulfilment_total, 0.0);  // no coverage matrix
    set_coverage(p, {0.9f, 0.8f, 0.7f}, 0);
    EXPECT_EQ(evaluate({1, 1, 1}, w, p).fulfilment_total, 0.0);  // T = 0
    p.num_query_tokens = 1;
    EXPECT_GT(evaluate({1, 1, 1}, w, p).fulfilment_total, 0.0);
    for (const float mu : {0.0f, 1e-8f, -1.1920929e-7f}) {
        w.mu_fulfilment = mu;
        EXPECT_EQ(evaluate({1, 1, 1}, w, p).fulfilment_total, 0.0) << mu;
    }
}

TEST(Objective, ClampedCoverageAndShortTokenWeights) {
    ProblemInstance p = make_problem(4);
    // Token 0: 1.5 is a supporter contributing 1, -0.5 contributes nothing.
    // Token 1: one value; NaN is no supporter and displaces nothing. Only
    // one weight is given: token 1 weighs 1.
    set_coverage(p, {1.5f, -0.5f, 0.6f, 0.7f, std::numeric_limits<float>::quiet_NaN(), 0.4f, 0.0f, 0.0f}, 2);
    p.query_token_weights = std::vector<float>{2.0f};
    const ObjectiveBreakdown b = evaluate({1, 1, 1, 1}, default_weights(), p);
    const double disc = 0.35f;
    const double bonus = 0.18f;
    const double token0 = ((1.0 + disc * static_cast<double>(0.7f)) + bonus * static_cast<double>(0.6f)) + 0.0;
    const double token1 = static_cast<double>(0.4f) + disc * 0.0;
    EXPECT_EQ(b.fulfilment_total, (0.0 + 2.0 * token0) + 1.0 * token1);

    // Two supporters at 0.9: neither bonus term applies.
    set_coverage(p, {0.9f, 0.9f, 0.2f, 0.0f}, 1);
    EXPECT_EQ(evaluate({1, 1, 0, 0}, default_weights(), p).fulfilment_total,
              2.0 * (static_cast<double>(0.9f) + disc * static_cast<double>(0.9f)));
}

TEST(Objective, QuorumCapsBelowTwoAndAboveFourAreEqual) {
    ProblemInstance p = make_problem(5);
    set_coverage(p, {0.95f, 0.6f, 0.9f, 0.7f, 0.8f}, 1);
    const std::vector<std::uint8_t> all(5, 1);
    auto fulfilment_with_cap = [&](float cap) {
        ObjectiveWeights w = default_weights();
        w.support_quorum_cap = cap;
        return evaluate(all, w, p);
    };
    const ObjectiveBreakdown two = fulfilment_with_cap(2.0f);
    for (const float cap : {0.0f, 1.0f}) {
        const ObjectiveBreakdown b = fulfilment_with_cap(cap);
        EXPECT_EQ(b.fulfilment_total, two.fulfilment_total);
        EXPECT_EQ(b.objective_score, two.objective_score);
    }
    const ObjectiveBreakdown three = fulfilment_with_cap(3.0f);
    const ObjectiveBreakdown four = fulfilment_with_cap(4.0f);
    const ObjectiveBreakdown hundred = fulfilment_with_cap(100.0f);
    EXPECT_LT(two.fulfilment_total, three.fulfilment_total);
    EXPECT_LT(three.fulfilment_total, four.fulfilment_total);
    EXPECT_EQ(hundred.fulfilment_total, four.fulfilment_total);
    EXPECT_EQ(hundred.objective_score, four.objective_score);
}

TEST(Objective, ShortSelectionIsAnInternalError) {
    ProblemInstance p = make_problem(4);
    set_coverage(p, std::vector<float>(4, 0.5f), 1);
    EXPECT_THROW(evaluate({1, 1, 0}, default_weights(), p), torvane::InternalError);
    p.coverage.reset();
    p.num_query_tokens = 0;
    EXPECT_THROW(evaluate({1, 1, 0}, default_weights(), p), torvane::InternalError);  // the batch row is short
}

// The deltas of swaps that share their added candidate, computed together
// by the vector kernels of each instruction set, have the bits move_delta
// gives each swap: with and without fulfilment, with a negative mu (whose
// product with a zero change is -0.0), a NaN score and an asymmetric
// similarity matrix read through its columns.
struct SwapCase {
    std::size_t tokens;
    float mu;
    bool nan_score;
};

class SwapDeltasAgree : public ::testing::TestWithParam<SwapCase> {};

TEST_P(SwapDeltasAgree, WithMoveDeltaOnEveryLevel) {
    const SwapCase c = GetParam();
    const std::size_t n = 23;
    ProblemInstance p = make_problem(n);
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> unit(-0.2f, 1.2f);
    for (float& x : *p.similarity) x = unit(rng);  // not symmetric
    if (c.tokens > 0) {
        std::vector<float> coverage(c.tokens * n);
        for (float& x : coverage) x = unit(rng);
        set_coverage(p, coverage, c.tokens);
    }
    if (c.nan_score) p.density[7] = std::numeric_limits<float>::quiet_NaN();
    ObjectiveWeights w = default_weights();
    w.mu = w.mu_fulfilment = c.mu;
    w.epsilon = 0.05f;

    std::vector<std::uint8_t> selection(n, 0);
    for (std::size_t i = 0; i < n; i += 3) selection[i] = 1;
    std::vector<std::size_t> removed;
    for (std::size_t i = 0; i < n; ++i) {
        if (selection[i] != 0) removed.push_back(i);
    }
    std::vector<float> red(n, 0.0f);
    for (std::size_t i = 0; i < n; ++i) red[i] = unit(rng);
    const torvane::SimilarityColumns columns(*p.similarity, n, false);
    const auto cache = torvane::build_support_cache(selection, p, w.support_quorum_threshold, w.mu_fulfilment);
    const torvane::SelectedSimilarities rows(selection, columns.view());
    const torvane::SwapDeltas by_columns(w, cache ? &*cache : nullptr, selection, red, columns.view(), p, removed);
    const torvane::SwapDeltas by_rows(w, cache ? &*cache : nullptr, selection, red, columns.view(), p, removed, &rows);
    std::vector<double> out(removed.size());
    std::vector<double> scratch;
    for (const auto level : {torvane::simd::SimdLevel::Scalar, torvane::simd::SimdLevel::Avx2,
                             torvane::simd::SimdLevel::Avx512}) {
        if (!torvane::simd::simd_level_available(level)) continue;
        const torvane::SwapDeltas& deltas = level == torvane::simd::SimdLevel::Avx2 ? by_rows : by_columns;
        for (std::size_t a = 0; a < n; ++a) {
            if (selection[a] != 0) continue;
            deltas.compute(a, out, scratch, level);
            for (std::size_t y = 0; y < removed.size(); ++y) {
                const double expected = torvane::move_delta(w, cache ? &*cache : nullptr, selection, red,
                                                            columns.view(), a, removed[y], p);
                ASSERT_EQ(std::bit_cast<std::uint64_t>(out[y]), std::bit_cast<std::uint64_t>(expected))
                    << a << " " << removed[y] << " " << torvane::simd::simd_level_name(level);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Weights, SwapDeltasAgree,
                         ::testing::Values(SwapCase{0, 1.0f, false}, SwapCase{0, -0.3f, false},
                                           SwapCase{3, 1.0f, false}, SwapCase{2, 0.7f, true}));

}  // namespace

namespace {

// The rows of similarities to the selected candidates hold, after any run
// of swaps and additions (which outgrow the room of the rows now and then),
// exactly the values of the selected candidates' columns.
TEST(SelectedSimilarities, FollowTheSelectionMoveByMove) {
    for (const std::size_t n : {1u, 19u, 77u}) {
        std::mt19937 rng(static_cast<unsigned>(n));
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        std::vector<float> sim(n * n);
        for (float& x : sim) x = unit(rng);  // not symmetric: the columns are a transposed copy
        const torvane::SimilarityColumns columns(sim, n, false);
        std::vector<std::uint8_t> selection(n, 0);
        for (std::size_t i = 0; i < n; i += 5) selection[i] = 1;
        torvane::SelectedSimilarities rows(selection, columns.view());
        const auto check = [&](int move) {
            ASSERT_TRUE(rows.usable());
            for (std::size_t s = 0; s < n; ++s) {
                if (selection[s] == 0) {
                    EXPECT_EQ(rows.slot(s), torvane::SelectedSimilarities::kNoSlot);
                    continue;
                }
                for (std::size_t a = 0; a < n; ++a) {
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(rows.row(a)[rows.slot(s)]),
                              std::bit_cast<std::uint32_t>(sim[a * n + s]))
                        << "n " << n << ", move " << move << ", selected " << s << ", row " << a;
                }
            }
        };
        check(-1);
        for (int move = 0; move < 120; ++move) {
            const auto step = torvane::testing_support::random_move(selection, rng, 3);
            if (!step) break;
            rows.update(step->added, step->removed);
            check(move);
        }
        rows.rebuild(selection);
        check(1000);
    }
}

}  // namespace
