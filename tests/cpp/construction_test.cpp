#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "random_moves.hpp"
#include "reference/context_overloads.hpp"
#include "reference/marginal_overloads.hpp"
#include "solver/search/construction.hpp"
#include "solver/search/marginal.hpp"
#include "solver/search/repair.hpp"
#include "solver/search/utility.hpp"

using torvane::ConstraintSet;
using torvane::ProblemInstance;
using torvane::RhetoricalRole;
using torvane::Selection;
using torvane::SolverSettings;

namespace {

struct Candidate {
    float relevance = 0.5f;
    std::size_t cost = 100;
    RhetoricalRole role = RhetoricalRole::Unknown;
    std::optional<std::size_t> cluster = std::nullopt;
    std::string id = "";
};

// Scores other than relevance are zero, so utility = alpha * relevance.
ProblemInstance make_problem(const std::vector<Candidate>& candidates) {
    ProblemInstance p;
    p.n = candidates.size();
    for (std::size_t i = 0; i < p.n; ++i) {
        const Candidate& c = candidates[i];
        p.relevance.push_back(c.relevance);
        p.density.push_back(0.0f);
        p.centrality.push_back(0.0f);
        p.recency.push_back(0.0f);
        p.auxiliary.push_back(0.0f);
        p.fulfilment.push_back(0.0f);
        p.token_costs.push_back(c.cost);
        p.roles.push_back(c.role);
        p.cluster_ids.push_back(c.cluster);
        p.chunk_ids.push_back(c.id.empty() ? "chunk_" + std::to_string(i) : c.id);
    }
    return p;
}

std::vector<std::size_t> selected(const Selection& s) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != 0) out.push_back(i);
    }
    return out;
}

using Indices = std::vector<std::size_t>;

// ---- utility and priority ----------------------------------------------------

TEST(Utility, SumsWeightedScoresAndHonoursAuxFlag) {
    ProblemInstance p = make_problem({{0.5f}});
    p.density[0] = 1.0f;
    p.centrality[0] = 2.0f;
    p.recency[0] = 4.0f;
    p.auxiliary[0] = 8.0f;
    p.fulfilment[0] = 16.0f;
    SolverSettings s;
    s.epsilon = 0.5f;
    const double expected = 0.3f * 1.0 + 1.0 * 0.5 + double(0.2f) * 2.0 + double(0.1f) * 4.0 + 0.5 * 8.0 + 16.0;
    EXPECT_EQ(torvane::candidate_utility(s, 0, p), expected);
    s.aux_weights_active = false;
    EXPECT_EQ(torvane::candidate_utility(s, 0, p), 0.5 + 0.5 * 8.0 + 16.0);
}

TEST(Priority, CostPowerRoleAndClusterTerms) {
    const ProblemInstance p = make_problem({{1.0f, 0}, {1.0f, 1}, {1.0f, 32, RhetoricalRole::Risk, 7}});
    SolverSettings s;
    // Costs 0 and 1 both divide by 1; Unknown role earns nothing; no cluster earns 0.03.
    EXPECT_EQ(torvane::construction_priority(s, 0, p, false, 0), torvane::construction_priority(s, 1, p, false, 0));
    EXPECT_DOUBLE_EQ(torvane::construction_priority(s, 0, p, false, 0), 1.03);
    const double base = 1.0 / std::pow(32.0, 0.85);
    EXPECT_DOUBLE_EQ(torvane::construction_priority(s, 2, p, false, 0), base + 0.08 + 0.12);
    EXPECT_DOUBLE_EQ(torvane::construction_priority(s, 2, p, true, 3), base - 0.12);
    // Three chunks in its cluster: 0.24 below a fresh cluster, 0.15 below an unclustered twin.
    EXPECT_NEAR(torvane::construction_priority(s, 2, p, true, 0) - torvane::construction_priority(s, 2, p, true, 3),
                0.24, 1e-12);
}

// ---- greedy start --------------------------------------------------------------

TEST(GreedyStart, RequiredChunksIgnoreExclusionAndClusterCapButNotBudget) {
    const ProblemInstance p = make_problem({{0.1f, 500, RhetoricalRole::Unknown, 1, "big"},
                                            {0.1f, 100, RhetoricalRole::Unknown, 1, "a"},
                                            {0.1f, 100, RhetoricalRole::Unknown, 1, "b"},
                                            {0.9f, 100}});
    ConstraintSet c;
    c.max_tokens = 400;
    c.max_per_cluster = 1;
    c.required_chunks = {"big", "a", "b"};
    c.excluded_chunks = {"a"};
    EXPECT_EQ(selected(torvane::reference::greedy_start(SolverSettings{}, p, c)), (Indices{1, 2, 3}));
}

TEST(GreedyStart, ZeroMaxChunksStillAddsOneChunkPerMissingRole) {
    const ProblemInstance p = make_problem(
        {{0.9f}, {0.2f, 100, RhetoricalRole::Risk}, {0.3f, 100, RhetoricalRole::Risk}, {0.1f, 100, RhetoricalRole::Example}});
    ConstraintSet c;
    c.max_chunks = 0;
    c.must_include_roles = {RhetoricalRole::Risk, RhetoricalRole::Example};
    c.required_chunks = {"chunk_0"};
    EXPECT_EQ(selected(torvane::reference::greedy_start(SolverSettings{}, p, c)), (Indices{2, 3}));
}

TEST(GreedyStart, CoveredRoleGetsNoExtraChunkAndTiesGoToLowerIndex) {
    const ProblemInstance p = make_problem({{0.5f, 100, RhetoricalRole::Risk},
                                            {0.5f, 100, RhetoricalRole::Risk},
                                            {0.5f, 100, RhetoricalRole::Example}});
    ConstraintSet c;
    c.max_chunks = 2;
    c.must_include_roles = {RhetoricalRole::Risk};
    c.required_chunks = {"chunk_2"};
    // Chunk 2 is required; the Risk role picks chunk 0 over its equal twin.
    EXPECT_EQ(selected(torvane::reference::greedy_start(SolverSettings{}, p, c)), (Indices{0, 2}));
    c.required_chunks = {"chunk_1"};
    c.max_chunks = 1;
    EXPECT_EQ(selected(torvane::reference::greedy_start(SolverSettings{}, p, c)), (Indices{1}));
}

TEST(GreedyStart, FillSkipsWhatDoesNotFitAndRespectsClusterCap) {
    const ProblemInstance p = make_problem({{0.9f, 100, RhetoricalRole::Unknown, 5},
                                            {0.8f, 100, RhetoricalRole::Unknown, 5},
                                            {5.0f, 1000},
                                            {0.1f, 100}});
    ConstraintSet c;
    c.max_tokens = 250;
    c.max_per_cluster = 1;
    EXPECT_EQ(selected(torvane::reference::greedy_start(SolverSettings{}, p, c)), (Indices{0, 3}));
}

// ---- memory-guided construction ---------------------------------------------------

TEST(MemoryGuided, EqualUtilitiesEnterByAscendingCostThenIndex) {
    const ProblemInstance p = make_problem({{0.5f, 300}, {0.5f, 100}, {0.5f, 200}, {0.5f, 100}});
    ConstraintSet c;
    c.max_chunks = 3;
    const torvane::TabuMemory memory(10, p.n, 0.85f);
    const Selection s = torvane::reference::memory_guided_construction(SolverSettings{}, p, c, memory);
    EXPECT_EQ(selected(s), (Indices{1, 2, 3}));
}

TEST(MemoryGuided, RequiredSkippedWhenTooLargeExcludedStillTakenAndZeroChunksEmpty) {
    const ProblemInstance p = make_problem({{0.1f, 900, RhetoricalRole::Unknown, std::nullopt, "huge"},
                                            {0.1f, 100, RhetoricalRole::Unknown, std::nullopt, "ex"},
                                            {0.9f, 100}});
    ConstraintSet c;
    c.max_tokens = 300;
    c.required_chunks = {"huge", "ex"};
    c.excluded_chunks = {"ex"};
    const torvane::TabuMemory memory(10, p.n, 0.85f);
    EXPECT_EQ(selected(torvane::reference::memory_guided_construction(SolverSettings{}, p, c, memory)), (Indices{1, 2}));
    c.max_chunks = 0;
    EXPECT_EQ(selected(torvane::reference::memory_guided_construction(SolverSettings{}, p, c, memory)), Indices{});
}

TEST(MemoryGuided, ZeroClusterCapAdmitsOnlyUnclustered) {
    const ProblemInstance p = make_problem({{0.9f, 100, RhetoricalRole::Risk, 1}, {0.1f, 100, RhetoricalRole::Risk}});
    ConstraintSet c;
    c.max_per_cluster = 0;
    c.must_include_roles = {RhetoricalRole::Risk};
    const torvane::TabuMemory memory(10, p.n, 0.85f);
    EXPECT_EQ(selected(torvane::reference::memory_guided_construction(SolverSettings{}, p, c, memory)), (Indices{1}));
}

// ---- repair and destroy-and-repair ------------------------------------------------

TEST(Repair, FillsByPriorityAndSmallChunksStillEnterAfterABigOneDoesNotFit) {
    const ProblemInstance p = make_problem({{3.0f, 200}, {0.2f, 50}, {0.1f, 50}, {0.05f, 50}});
    ConstraintSet c;
    c.max_tokens = 220;
    c.max_per_cluster = 1;
    const Selection s = torvane::reference::repair_selection(SolverSettings{}, Selection(4, 0), p, c);
    EXPECT_EQ(selected(s), (Indices{0}));
    c.max_tokens = 200 + 50 + 50;
    EXPECT_EQ(selected(torvane::reference::repair_selection(SolverSettings{}, Selection(4, 0), p, c)), (Indices{0, 1, 2}));
}

TEST(Repair, RequiredButExcludedNeverAddedAndFullSelectionUnchanged) {
    const ProblemInstance p = make_problem({{0.9f, 100, RhetoricalRole::Unknown, std::nullopt, "r"}, {0.1f}, {0.2f}});
    ConstraintSet c;
    c.required_chunks = {"r"};
    c.excluded_chunks = {"r"};
    c.must_include_roles = {RhetoricalRole::Procedure};  // nobody holds it: stays missing
    EXPECT_EQ(selected(torvane::reference::repair_selection(SolverSettings{}, Selection(3, 0), p, c)), (Indices{1, 2}));
    c.max_chunks = 1;
    EXPECT_EQ(selected(torvane::reference::repair_selection(SolverSettings{}, Selection{0, 1, 0}, p, c)), (Indices{1}));
}

struct DropCase {
    std::size_t removable;
    std::size_t dropped;
};

class DestroyDrops : public ::testing::TestWithParam<DropCase> {};

TEST_P(DestroyDrops, AThirdAtLeastOne) {
    const std::size_t g = GetParam().removable;
    std::vector<Candidate> candidates(g, Candidate{0.5f, 100});
    const ProblemInstance p = make_problem(candidates);
    ConstraintSet c;
    c.max_chunks = g;
    c.max_tokens = 100 * g - 1;  // the repair cannot refill everything
    const torvane::TabuMemory memory(10, p.n, 0.85f);
    const Selection all(g, 1);
    const Selection after = torvane::reference::destroy_and_repair(SolverSettings{}, all, p, c, memory);
    // Equal keys: the lowest indices are dropped; the repair refills them in
    // index order until the budget stops it, so the last dropped one stays out.
    Selection expected(g, 1);
    expected[GetParam().dropped - 1] = 0;
    EXPECT_EQ(after, expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, DestroyDrops,
                         ::testing::Values(DropCase{1, 1}, DropCase{3, 1}, DropCase{5, 1}, DropCase{6, 2},
                                           DropCase{9, 3}));

TEST(Destroy, OftenUsedChunkDropsFirstAndRequiredOnlyIsNotReduced) {
    const ProblemInstance p = make_problem({{0.5f}, {0.5f}, {0.0f, 100, RhetoricalRole::Unknown, std::nullopt, "req"}});
    torvane::TabuMemory memory(10, p.n, 0.85f);
    memory.record_move(1, p.n, Selection{0, 1, 0}, p.cluster_ids);
    ConstraintSet c;
    c.max_chunks = 2;
    c.required_chunks = {"req"};
    // Chunk 1 was used by the search, so it is weaker than its twin and leaves.
    const Selection after = torvane::reference::destroy_and_repair(SolverSettings{}, Selection{1, 1, 1}, p, c, memory);
    EXPECT_EQ(after[1], 0);
    const Selection only_required = torvane::reference::destroy_and_repair(SolverSettings{}, Selection{0, 0, 1}, p, c, memory);
    EXPECT_EQ(only_required[2], 1);
}

// ---- marginal tables, keys, redundancy, elite pool -----------------------------------

TEST(Marginal, GainAndLossFromCoverage) {
    ProblemInstance p = make_problem({{0.0f}, {0.0f}, {0.0f}});
    p.num_query_tokens = 1;
    p.coverage = std::vector<float>{0.9f, 0.9f, 0.5f};
    SolverSettings s;
    const Selection sel{1, 0, 0};
    const auto t = torvane::reference::build_marginal_tables(sel, p, std::span<const float>{}, s);
    // Adding 1: support goes from 0.9 to 0.9 + 0.35 * 0.9.
    EXPECT_DOUBLE_EQ(t.gain[1], double(0.35f) * double(0.9f));
    EXPECT_DOUBLE_EQ(t.gain[2], double(0.35f) * double(0.5f));
    EXPECT_DOUBLE_EQ(t.loss[0], double(0.9f));
    EXPECT_EQ(t.gain[0], 0.0);
    EXPECT_EQ(t.loss[1], 0.0);
    EXPECT_EQ(t.similarity_sum, std::vector<double>(3, 0.0));  // no n x n matrix given
}

TEST(Marginal, QuorumCapBelowTwoActsAsTwo) {
    ProblemInstance p = make_problem({{0.0f}, {0.0f}, {0.0f}, {0.0f}});
    p.num_query_tokens = 1;
    p.coverage = std::vector<float>{0.9f, 0.8f, 0.7f, 0.6f};
    const Selection sel{1, 1, 0, 0};
    SolverSettings s;
    std::vector<double> gains;
    for (std::size_t cap : {0, 1, 2, 3}) {
        s.support_quorum_cap = cap;
        gains.push_back(torvane::reference::build_marginal_tables(sel, p, std::span<const float>{}, s).gain[2]);
    }
    EXPECT_EQ(gains[0], 0.0);
    EXPECT_EQ(gains[1], 0.0);
    EXPECT_EQ(gains[2], 0.0);
    EXPECT_GT(gains[3], 0.0);  // a third supporter counts only from cap 3
}

TEST(Marginal, QuorumCapsBeyondAFloatCountAsUnbounded) {
    // The largest caps round to 2^64 (2^32 on 32-bit targets) as floats; they must act as any cap of
    // four or more, for gains and losses alike.
    ProblemInstance p = make_problem({{0.0f}, {0.0f}, {0.0f}, {0.0f}, {0.0f}});
    p.num_query_tokens = 1;
    p.coverage = std::vector<float>{0.9f, 0.8f, 0.7f, 0.6f, 0.65f};
    const Selection sel{1, 1, 1, 1, 0};
    SolverSettings s;
    s.support_quorum_cap = 4;
    const auto four = torvane::reference::build_marginal_tables(sel, p, std::span<const float>{}, s);
    for (const std::size_t cap : {(std::numeric_limits<std::size_t>::max() >> 1) + 1, std::numeric_limits<std::size_t>::max() - 1,
                                  std::numeric_limits<std::size_t>::max()}) {
        s.support_quorum_cap = cap;
        const auto t = torvane::reference::build_marginal_tables(sel, p, std::span<const float>{}, s);
        EXPECT_EQ(t.gain, four.gain) << cap;
        EXPECT_EQ(t.loss, four.loss) << cap;
    }
    EXPECT_GT(four.loss[3], 0.0);  // the fourth supporter's share counts
}

TEST(Marginal, KeysAndStableOrdering) {
    const ProblemInstance p = make_problem({{0.5f, 1}, {0.5f, 0}, {0.9f, 1}, {0.5f, 1}});
    const std::vector<float> sim(16, 0.0f);
    const Selection sel(4, 0);
    const auto t = torvane::reference::build_marginal_tables(sel, p, sim, SolverSettings{});
    std::vector<std::size_t> order{0, 1, 2, 3};
    torvane::reference::sort_by_add_priority(order, SolverSettings{}, p, t);
    EXPECT_EQ(order, (Indices{2, 0, 1, 3}));
    torvane::reference::sort_by_drop_priority(order, SolverSettings{}, p, t);
    EXPECT_EQ(order, (Indices{0, 1, 3, 2}));
}

TEST(Redundancy, IncrementalUpdateMatchesRebuild) {
    const std::size_t n = 5;
    std::vector<float> sim(n * n);
    for (std::size_t i = 0; i < n * n; ++i) sim[i] = 0.125f * static_cast<float>((i * 7) % 9);
    Selection sel{1, 0, 1, 0, 0};
    std::vector<float> red = torvane::reference::build_redundancy_vector(sel, sim, n);
    sel[2] = 0;
    sel[4] = 1;
    torvane::reference::update_redundancy_vector(red, sim, n, 4, 2);
    EXPECT_EQ(red, torvane::reference::build_redundancy_vector(sel, sim, n));
    sel[3] = 1;
    torvane::reference::update_redundancy_vector(red, sim, n, 3, n);
    EXPECT_EQ(red, torvane::reference::build_redundancy_vector(sel, sim, n));
}

TEST(ElitePool, KeepsFourDistinctBestFirst) {
    torvane::ElitePool pool;
    for (int k = 0; k < 4; ++k) pool.insert(Selection{static_cast<std::uint8_t>(k)}, 1.0 + k);
    pool.insert(Selection{9}, 0.5);  // lowest: pool unchanged
    ASSERT_EQ(pool.entries().size(), 4u);
    EXPECT_EQ(pool.entries().back().objective, 1.0);
    pool.insert(Selection{8}, 10.0);  // highest: first, old fourth dropped
    EXPECT_EQ(pool.entries().front().selection, Selection{8});
    EXPECT_EQ(pool.entries().back().objective, 2.0);
    pool.insert(Selection{8}, 99.0);  // already present: nothing changes
    EXPECT_EQ(pool.entries().front().objective, 10.0);
    pool.insert(Selection{7}, 3.0);  // equal objective stays behind the older entry
    EXPECT_EQ(pool.entries()[2].selection, Selection{2});
    EXPECT_EQ(pool.entries()[3].selection, Selection{7});
}

// ---- column-wise sums and leading orders --------------------------------------

// Sums taken column by column of the selected candidates give each
// candidate the additions a row-wise sum would, for symmetric matrices and
// for others (read through their transposed copy), with values that make
// the order of additions show: tiny, large, signed zeros and NaN.
class ColumnSums : public ::testing::TestWithParam<bool> {};

TEST_P(ColumnSums, EqualRowWiseSums) {
    const bool symmetric = GetParam();
    const std::size_t n = 70;
    std::mt19937 rng(symmetric ? 3 : 4);
    const float specials[] = {1e-8f, 3e7f, -0.0f, 0.0f, std::numeric_limits<float>::quiet_NaN(), 0.3f};
    std::vector<float> sim(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (symmetric && j < i) {
                sim[i * n + j] = sim[j * n + i];
                continue;
            }
            sim[i * n + j] = rng() % 7 == 0 ? specials[rng() % 6] : std::ldexp(float(rng() % 1000), -int(rng() % 12));
        }
    }
    std::vector<Candidate> candidates(n);
    ProblemInstance p = make_problem(candidates);
    Selection sel(n, 0);
    for (std::size_t i = 0; i < n; i += 1 + rng() % 4) sel[i] = 1;

    const torvane::SimilarityColumns columns(sim, n, false);
    EXPECT_EQ(columns.transposed(), !symmetric);
    const auto tables = torvane::build_marginal_tables(sel, p, columns.view(), SolverSettings{});
    const std::vector<float> red = torvane::build_redundancy_vector(sel, columns.view());
    for (std::size_t c = 0; c < n; ++c) {
        double wide = 0.0;
        float narrow = 0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            if (sel[i] == 0 || i == c) continue;
            wide += static_cast<double>(sim[c * n + i]);
            narrow += sim[c * n + i];
        }
        EXPECT_EQ(std::bit_cast<std::uint64_t>(tables.similarity_sum[c]), std::bit_cast<std::uint64_t>(wide)) << c;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(red[c]), std::bit_cast<std::uint32_t>(narrow)) << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Matrices, ColumnSums, ::testing::Values(true, false));

// Similarity sums kept up to date move by move have the bits of the sums
// taken anew in order, through swaps and additions, for matrices of
// ordinary cosines and for matrices where some values (tiny, subnormal,
// large, infinite, NaN) make the order of additions show, and across a
// selection that grows past the size up to which the updates are exact.
struct MovingSumsCase {
    std::size_t n;
    unsigned seed;
    int special_every;    // about one value in this many is special; 0: none
    std::size_t start;    // candidates selected at the start
    int add_only_every;   // about one move in this many only adds
};

class MovingSimilaritySums : public ::testing::TestWithParam<MovingSumsCase> {};

TEST_P(MovingSimilaritySums, EqualSumsTakenAnew) {
    const MovingSumsCase& param = GetParam();
    const std::size_t n = param.n;
    std::mt19937 rng(param.seed);
    std::uniform_real_distribution<float> cosine(-0.3f, 1.0f);
    const float specials[] = {1e-8f, 1e-40f, -3e-7f, 3e7f, -0.0f, 0.0f, std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(), 2.5f};
    std::vector<float> sim(n * n);
    for (float& x : sim) {
        x = param.special_every > 0 && rng() % param.special_every == 0 ? specials[rng() % 9] : cosine(rng);
    }
    const torvane::SimilarityColumns columns(sim, n, false);
    std::vector<Candidate> candidates(n);
    const ProblemInstance p = make_problem(candidates);
    const SolverSettings settings;

    Selection sel(n, 0);
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (std::size_t k = 0; k < param.start; ++k) sel[order[k]] = 1;
    torvane::SimilaritySums sums(sel, columns.view());
    for (int move = 0; move < 160; ++move) {
        const auto step = torvane::testing_support::random_move(sel, rng, static_cast<unsigned>(param.add_only_every));
        if (!step) break;
        sums.update(sel, step->added, step->removed);
        const auto tables = torvane::build_marginal_tables(sel, p, columns.view(), settings);
        for (std::size_t c = 0; c < n; ++c) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(sums.values()[c]),
                      std::bit_cast<std::uint64_t>(tables.similarity_sum[c]))
                << "move " << move << ", candidate " << c;
        }
    }
    const auto tables = torvane::build_marginal_tables(sel, p, columns.view(), settings);
    const auto given = torvane::build_marginal_tables(sel, p, settings, sums.values());
    ASSERT_EQ(given.similarity_sum.size(), n);
    for (std::size_t c = 0; c < n; ++c) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(given.similarity_sum[c]),
                  std::bit_cast<std::uint64_t>(tables.similarity_sum[c]));
    }
}

INSTANTIATE_TEST_SUITE_P(Moves, MovingSimilaritySums,
                         ::testing::Values(MovingSumsCase{37, 1, 0, 9, 5}, MovingSumsCase{101, 2, 0, 40, 7},
                                           MovingSumsCase{61, 3, 40, 20, 4}, MovingSumsCase{99, 4, 400, 30, 9},
                                           MovingSumsCase{530, 5, 3000, 450, 2}));

// The leading entries of the add order are the first entries of the full
// stable sort, with tied keys (equal scores), with NaN keys, and with many
// distinct keys (several rounds of the selection of the cut-off key).
struct LeadingCase {
    unsigned seed;
    bool with_nan;
    std::size_t n = 120;
    bool distinct = false;
    // 1: keys that differ only in their lowest bits, many of them equal
    // (long runs of equal high bits); 2: keys of very different magnitudes.
    int spread = 0;
};

class LeadingAddOrder : public ::testing::TestWithParam<LeadingCase> {};

TEST_P(LeadingAddOrder, IsThePrefixOfTheStableSort) {
    std::mt19937 rng(GetParam().seed);
    const std::size_t n = GetParam().n;
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; i < n; ++i) candidates.push_back({0.25f * float(rng() % 4), 50 * (1 + rng() % 3)});
    if (GetParam().spread == 1) {
        for (Candidate& c : candidates) c = Candidate{};  // equal utilities: the sums alone order the keys
    }
    ProblemInstance p = make_problem(candidates);
    if (GetParam().with_nan) p.relevance[17] = p.relevance[60] = std::numeric_limits<float>::quiet_NaN();
    const SolverSettings settings;
    const torvane::CandidateScores scores(settings, p);
    torvane::MarginalTables tables;
    tables.gain.assign(n, 0.0);
    tables.loss.assign(n, 0.0);
    tables.similarity_sum.assign(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        tables.similarity_sum[i] = GetParam().distinct ? double(rng()) / 4294967296.0 : 0.5 * double(rng() % 3);
        if (GetParam().spread == 1) tables.similarity_sum[i] = 0.5 + std::ldexp(double(rng() % 200), -45);
        if (GetParam().spread == 2) tables.similarity_sum[i] = std::ldexp(double(rng() % 7), -int(rng() % 60));
    }

    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < n; ++i) {
        if (rng() % 5 != 0) indices.push_back(i);
    }
    std::vector<std::size_t> full = indices;
    torvane::reference::sort_by_add_priority(full, settings, p, tables);
    // The whole order from the precomputed scores is the order from the settings.
    EXPECT_EQ(torvane::leading_by_add_priority(indices, indices.size(), scores, tables), full);
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{12}, std::size_t{50}, std::size_t{77},
                              indices.size() / 2, indices.size() - 1, indices.size(), indices.size() + 5}) {
        const auto leading = torvane::leading_by_add_priority(indices, count, scores, tables);
        ASSERT_EQ(leading.size(), std::min(count, indices.size()));
        EXPECT_TRUE(std::equal(leading.begin(), leading.end(), full.begin())) << count;
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, LeadingAddOrder,
                         ::testing::Values(LeadingCase{1, false}, LeadingCase{2, false}, LeadingCase{3, true},
                                           LeadingCase{4, false, 1000, true}, LeadingCase{5, false, 1000, false},
                                           LeadingCase{6, true, 1000, true}, LeadingCase{7, false, 1000, false, 1},
                                           LeadingCase{8, false, 700, false, 2}, LeadingCase{9, false, 60, false, 1}));

}  // namespace
