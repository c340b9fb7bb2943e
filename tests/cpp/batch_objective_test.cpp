#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "backend/mod/batch_objective.hpp"
#include "backend/mod/compute_backend.hpp"
#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"
#include "solver/objective/objective.hpp"

namespace {

using torvane::ObjectiveWeights;
using torvane::ProblemInstance;
using torvane::simd::SimdLevel;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Case {
    ProblemInstance problem;
    ObjectiveWeights weights = torvane::make_objective_weights(torvane::SolverSettings{});
    torvane::ObjectiveContext context() const {
        return torvane::make_objective_context(problem, *problem.similarity, weights);
    }
};

// Scores in [0, 1), an asymmetric similarity and coverage in [-0.3, 1.3);
// the token weights are one short, so the last token weighs 1.
Case random_case(std::size_t n, std::size_t tokens, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> wide(-0.3f, 1.3f);
    auto draw = [&](std::size_t count, auto& dist) {
        std::vector<float> v(count);
        for (float& x : v) x = dist(rng);
        return v;
    };
    Case c;
    ProblemInstance& p = c.problem;
    p.n = n;
    p.relevance = draw(n, unit);
    p.density = draw(n, unit);
    p.centrality = draw(n, unit);
    p.recency = draw(n, unit);
    p.auxiliary = draw(n, unit);
    p.similarity = draw(n * n, wide);
    if (tokens > 0) {
        p.num_query_tokens = tokens;
        p.coverage = draw(tokens * n, wide);
        p.query_token_weights = draw(tokens - 1, unit);
    }
    c.weights.epsilon = 0.05f;
    return c;
}

float clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

// The row objective written out step by step, independently of the library.
float ref_row_objective(const std::uint8_t* row, const Case& c) {
    const ProblemInstance& p = c.problem;
    const ObjectiveWeights& w = c.weights;
    const std::size_t n = p.n;
    float sums[5];
    const std::vector<float>* arrays[5] = {&p.relevance, &p.density, &p.centrality, &p.recency, &p.auxiliary};
    for (int a = 0; a < 5; ++a) {
        sums[a] = -0.0f;
        for (std::size_t k = 0; k < n && k < arrays[a]->size(); ++k) {
            if (row[k] != 0) sums[a] = sums[a] + (*arrays[a])[k];
        }
    }
    float f = 0.0f;
    for (std::size_t t = 0; p.coverage && t < p.num_query_tokens; ++t) {
        float b[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        std::size_t k = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (row[i] == 0) continue;
            const float v = (*p.coverage)[t * n + i];
            if (v >= w.support_quorum_threshold) ++k;
            int slot = 0;
            while (slot < 4 && !(slot == 0 ? v >= b[0] : v > b[slot])) ++slot;
            for (int s = 3; s > slot; --s) b[s] = b[s - 1];
            if (slot < 4) b[slot] = v;
        }
        const std::vector<float>& tw = *p.query_token_weights;
        const float weight = t < tw.size() ? tw[t] : 1.0f;
        const float cap = w.support_quorum_cap;
        const float q = std::isnan(cap) ? 2.0f : std::trunc(std::fmax(cap, 2.0f));
        const float term3 = q >= 3.0f && k >= 3 ? clamp01(b[2]) * w.support_quorum_bonus : 0.0f;
        const float term4 = q >= 4.0f && k >= 4 ? clamp01(b[3]) * (w.support_quorum_bonus * 0.5f) : 0.0f;
        float s = clamp01(b[0]) + clamp01(b[1]) * w.support_secondary_discount;
        s = term3 + s;
        s = term4 + s;
        f = f + weight * s;
    }
    float red = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (row[i] == 1 && j != i && row[j] % 2 == 1) red = red + (*p.similarity)[i * n + j];
        }
    }
    red = red * 0.5f;
    float o = w.beta * sums[1];
    o = o + w.alpha * sums[0];
    o = o + w.gamma * sums[2];
    o = o + w.delta * sums[3];
    o = o + w.epsilon * sums[4];
    o = o + w.mu * f;
    o = o - w.lambda * red;
    return o;
}

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

TEST(BatchObjective, MatchesStepByStepOrderOnEveryPoolSize) {
    for (const auto& [n, tokens] : {std::pair<std::size_t, std::size_t>{1, 0}, {6, 1}, {37, 5}, {90, 12}}) {
        Case c = random_case(n, tokens, static_cast<std::uint32_t>(n + tokens));
        if (tokens > 0 && n > 4) {  // exact ties, NaN and the threshold itself
            std::vector<float>& cov = *c.problem.coverage;
            cov[0] = cov[1] = cov[2] = 0.7f;
            cov[3] = kNaN;
            cov[4] = 0.55f;
        }
        const std::size_t rows = 25;
        std::mt19937 rng(3);
        std::vector<std::uint8_t> batch(rows * n);
        for (std::size_t k = 0; k < batch.size(); ++k) batch[k] = rng() % 5 < (k / n) % 5 ? 1 : 0;  // empty to dense
        for (const float cap : {4.0f, 3.0f, 2.0f, kNaN}) {
            c.weights.support_quorum_cap = cap;
            std::vector<std::uint32_t> expected;
            for (std::size_t r = 0; r < rows; ++r) expected.push_back(bits(ref_row_objective(&batch[r * n], c)));
            for (const std::size_t threads : {1u, 2u, 7u}) {
                torvane::pool::ThreadPool pool(threads);
                const std::vector<float> got =
                    pool.install([&] { return torvane::evaluate_batch(batch, rows, c.context()); });
                ASSERT_EQ(got.size(), rows);
                for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(bits(got[r]), expected[r]) << "n " << n << " row " << r;
            }
        }
    }
}

TEST(BatchObjective, SupportQuorumByHand) {
    const float disc = 0.35f;
    const float bonus = 0.18f;
    const float two = 0.9f + 0.8f * disc;  // coverage 0.8 0.9 0.6 0.7 0.1: four supporters
    const float three = 0.7f * bonus + two;
    const float four = 0.6f * (bonus * 0.5f) + three;
    const std::vector<float> base = {0.8f, 0.9f, 0.6f, 0.7f, 0.1f};
    struct Row {
        std::vector<float> coverage;
        float cap;
        float expected;
    };
    const Row rows[] = {
        {base, 0.0f, two}, {base, 1.0f, two}, {base, 2.9f, two}, {base, kNaN, two},  // all act as 2
        {base, 3.99f, three},                                                        // term4 needs a cap of 4
        {base, 4.0f, four}, {base, 100.0f, four},
        // Above 1 is a supporter contributing 1; negative contributes nothing.
        {{1.7f, 0.9f, -2.0f, 0.6f, 0.3f}, 4.0f, 0.6f * bonus + (1.0f + 0.9f * disc)},
        // NaN is neither a supporter nor a top value.
        {{0.9f, kNaN, 0.6f, 0.7f, 0.1f}, 4.0f, 0.6f * bonus + (0.9f + 0.7f * disc)},
        // The threshold itself counts (0.55), just below does not (0.54).
        {{0.55f, 0.9f, 0.6f, 0.54f, 0.0f}, 4.0f, 0.55f * bonus + (0.9f + 0.6f * disc)},
        // A single candidate contributes its clamped coverage.
        {{1.6f}, 4.0f, 1.0f}, {{-0.4f}, 4.0f, 0.0f},
    };
    for (const Row& row : rows) {
        // Only fulfilment carries weight, one token of weight 1: the objective is F.
        Case c = random_case(row.coverage.size(), 1, 5);
        c.problem.coverage = row.coverage;
        c.weights = ObjectiveWeights{};
        c.weights.mu = 1.0f;
        c.weights.support_secondary_discount = disc;
        c.weights.support_quorum_bonus = bonus;
        c.weights.support_quorum_threshold = 0.55f;
        c.weights.support_quorum_cap = row.cap;
        const std::vector<std::uint8_t> all(row.coverage.size(), 1);
        EXPECT_EQ(torvane::row_objective(all, c.context()), row.expected) << row.coverage[0] << " cap " << row.cap;
    }
    const Case c = random_case(5, 2, 1);
    EXPECT_EQ(torvane::row_objective(std::vector<std::uint8_t>(5, 0), c.context()), 0.0f);
}

TEST(BatchObjective, SwapMovesBuildTheirRows) {
    const Case c = random_case(6, 2, 13);
    const std::vector<std::uint8_t> current = {1, 0, 1, 0, 0, 1};
    const std::vector<std::size_t> added = {1, 3, 2, 4};
    const std::vector<std::size_t> removed = {0, 6, 2, 99};  // 6 and 99 remove nothing; 2 -> 2 stays selected
    const std::vector<float> got = torvane::evaluate_swap_moves(current, added, removed, c.context());
    const std::vector<std::uint8_t> expected_rows = {0, 1, 1, 0, 0, 1,  //
                                                     1, 0, 1, 1, 0, 1,  //
                                                     1, 0, 1, 0, 0, 1,  //
                                                     1, 0, 1, 0, 1, 1};
    const std::vector<float> expected = torvane::evaluate_batch(expected_rows, 4, c.context());
    ASSERT_EQ(got.size(), 4u);
    for (std::size_t m = 0; m < 4; ++m) EXPECT_EQ(bits(got[m]), bits(expected[m])) << m;
    EXPECT_TRUE(torvane::evaluate_swap_moves(current, {}, {}, c.context()).empty());
    EXPECT_TRUE(torvane::evaluate_batch({}, 0, c.context()).empty());
}

TEST(BatchObjective, BrokenInputsAreInternalErrors) {
    Case c = random_case(4, 2, 17);
    const std::vector<std::uint8_t> row = {1, 1, 0, 1};
    const std::vector<std::size_t> one = {1};
    const std::vector<std::size_t> two = {1, 2};
    const std::vector<std::size_t> outside = {4};
    EXPECT_THROW(torvane::evaluate_batch(row, 2, c.context()), torvane::InternalError);
    EXPECT_THROW(torvane::evaluate_swap_moves(row, two, one, c.context()), torvane::InternalError);
    EXPECT_THROW(torvane::evaluate_swap_moves(row, outside, one, c.context()), torvane::InternalError);
    EXPECT_THROW(torvane::evaluate_swap_moves({row.data(), 3}, one, one, c.context()), torvane::InternalError);
    c.problem.coverage->pop_back();
    EXPECT_THROW(torvane::evaluate_batch(row, 1, c.context()), torvane::InternalError);
    c.problem.coverage.reset();  // absent coverage is never read
    EXPECT_NO_THROW(torvane::evaluate_batch(row, 1, c.context()));
    c.problem.similarity->pop_back();
    EXPECT_THROW(torvane::evaluate_batch(row, 1, c.context()), torvane::InternalError);
}

TEST(Backend, KindsAndCreation) {
    EXPECT_EQ(torvane::backend_kind_name(torvane::BackendKind::CpuReference), "cpu_reference");
    EXPECT_EQ(torvane::backend_kind_name(torvane::BackendKind::GpuExperimental), "rust_gpu_experimental");
    EXPECT_EQ(torvane::backend_kind_name(torvane::BackendKind::CudaExperimental), "rust_cuda_experimental");
    const Case c = random_case(5, 1, 2);
    const std::vector<std::uint8_t> row = {1, 0, 1, 1, 0};
    for (const bool use_gpu : {false, true}) {
        const auto backend = torvane::create_backend(use_gpu);
        EXPECT_EQ(backend->kind(), torvane::BackendKind::CpuReference);
        EXPECT_FALSE(backend->supports_batch_moves());
        backend->prepare(64);
        EXPECT_EQ(backend->evaluate_batch(row, 1, c.context())[0], torvane::row_objective(row, c.context()));
    }
}

// Many selections scored side by side get, lane by lane, the bits
// row_objective gives each of them: members shared by all lanes and members
// in some lanes, with coverage values that tie, NaN entries and values out
// of [0, 1], and with the quorum cap at 2, 3 and 4.
struct LaneCase {
    std::size_t n;
    std::size_t tokens;
    std::uint32_t seed;
    float cap;
};

class LaneObjectives : public ::testing::TestWithParam<LaneCase> {};

TEST_P(LaneObjectives, EqualRowObjectiveLaneByLane) {
    const LaneCase lc = GetParam();
    Case c = random_case(lc.n, lc.tokens, lc.seed);
    c.weights.support_quorum_cap = lc.cap;
    std::mt19937 rng(lc.seed + 1);
    if (lc.tokens > 0) {
        for (std::size_t k = 0; k < c.problem.coverage->size(); k += 7) (*c.problem.coverage)[k] = 0.5f;  // ties
        (*c.problem.coverage)[3] = kNaN;
    }
    if (lc.n > 1) (*c.problem.similarity)[1] = kNaN;  // a 1 x 1 matrix has no entry 1
    const auto context = c.context();
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<std::size_t> members;
        std::vector<std::uint64_t> lanes;
        for (std::size_t i = 0; i < lc.n; ++i) {
            const unsigned pick = rng() % 4;
            if (pick == 0) continue;
            members.push_back(i);
            lanes.push_back(pick == 1 ? ~std::uint64_t{0} : (std::uint64_t{rng()} << 32 | rng()));
        }
        // Now and then lane 0 selects nothing: its sums stay at their
        // starting values, whose signs show.
        if (trial % 5 == 0) {
            for (std::uint64_t& lane : lanes) lane &= ~std::uint64_t{1};
        }
        for (const auto level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
            if (!torvane::simd::simd_level_available(level)) continue;
            const auto lane_values = torvane::lane_objectives(members, lanes, context, level);
            for (std::size_t l = 0; l < torvane::kObjectiveLanes; ++l) {
                std::vector<std::uint8_t> row(lc.n, 0);
                for (std::size_t k = 0; k < members.size(); ++k) row[members[k]] = (lanes[k] >> l) & 1u;
                ASSERT_EQ(std::bit_cast<std::uint32_t>(lane_values[l]),
                          std::bit_cast<std::uint32_t>(torvane::row_objective(row, context)))
                    << "trial " << trial << " lane " << l << " " << torvane::simd::simd_level_name(level);
            }
        }
    }
    EXPECT_THROW(torvane::lane_objectives(std::vector<std::size_t>{2, 1}, std::vector<std::uint64_t>{1, 1}, context),
                 torvane::InternalError);
}

INSTANTIATE_TEST_SUITE_P(Shapes, LaneObjectives,
                         ::testing::Values(LaneCase{1, 0, 1, 4.0f}, LaneCase{12, 0, 2, 4.0f}, LaneCase{30, 3, 3, 4.0f},
                                           LaneCase{45, 6, 4, 3.0f}, LaneCase{20, 2, 5, 2.0f}));

}  // namespace
