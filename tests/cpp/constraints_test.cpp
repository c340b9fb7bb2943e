#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "common/token_total.hpp"
#include "reference/selection_stats.hpp"
#include "solver/constraints/constraint_check.hpp"
#include "solver/constraints/constraint_index.hpp"

using torvane::ConstraintSet;
using torvane::ProblemInstance;
using torvane::RhetoricalRole;
using torvane::Selection;
namespace reference = torvane::reference;

namespace {

struct Candidate {
    std::string id;
    std::size_t cost;
    RhetoricalRole role = RhetoricalRole::Definition;
    std::optional<std::size_t> cluster = std::nullopt;
};

ProblemInstance make_problem(const std::vector<Candidate>& candidates) {
    ProblemInstance problem;
    problem.n = candidates.size();
    for (const Candidate& c : candidates) {
        problem.chunk_ids.push_back(c.id);
        problem.token_costs.push_back(c.cost);
        problem.roles.push_back(c.role);
        problem.cluster_ids.push_back(c.cluster);
    }
    return problem;
}

std::vector<std::string> messages(const Selection& selection, const ProblemInstance& problem,
                                  const ConstraintSet& constraints) {
    return torvane::violation_messages(torvane::check_constraints(selection, problem, constraints));
}

using Messages = std::vector<std::string>;

TEST(CheckConstraints, EmptySelectionUnderDefaultsIsOnlyTooFewChunks) {
    const ProblemInstance problem = make_problem({{"a", 10}, {"b", 20}});
    const auto report = torvane::check_constraints(Selection{0, 0}, problem, ConstraintSet{});
    EXPECT_FALSE(report.satisfied);
    EXPECT_EQ(report.token_total, torvane::TokenTotal(0));
    EXPECT_EQ(report.selected_count, 0u);
    EXPECT_EQ(torvane::violation_messages(report), Messages{"Too few chunks: 0 < 1"});
}

struct TokenBoundCase {
    std::size_t cost;
    std::size_t min_tokens;
    std::size_t max_tokens;
    Messages expected;
};

class TokenBounds : public ::testing::TestWithParam<TokenBoundCase> {};

TEST_P(TokenBounds, AreInclusive) {
    const TokenBoundCase& c = GetParam();
    const ProblemInstance problem = make_problem({{"a", c.cost}});
    ConstraintSet constraints;
    constraints.min_tokens = c.min_tokens;
    constraints.max_tokens = c.max_tokens;
    EXPECT_EQ(messages(Selection{1}, problem, constraints), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Bounds, TokenBounds,
                         ::testing::Values(TokenBoundCase{100, 0, 100, {}},
                                           TokenBoundCase{101, 0, 100, {"Token budget exceeded: 101 > 100"}},
                                           TokenBoundCase{50, 50, 100, {}},
                                           TokenBoundCase{49, 50, 100, {"Minimum tokens not met: 49 < 50"}},
                                           TokenBoundCase{0, 0, 0, {}}));

TEST(CheckConstraints, EveryKindInCheckOrderWithFixedOrderWithinGroups) {
    const ProblemInstance problem = make_problem({
        {"dup", 400, RhetoricalRole::Risk, 9},
        {"x1", 400, RhetoricalRole::Risk, 9},
        {"dup", 400, RhetoricalRole::Example, 2},
        {"x3", 400, RhetoricalRole::Example, 2},
        {"x4", 400, RhetoricalRole::Evidence, std::nullopt},
        {"x5", 400, RhetoricalRole::Evidence, std::nullopt},
        {"x6", 400, RhetoricalRole::Procedure, 1},
    });
    ConstraintSet constraints;
    constraints.max_tokens = 1000;
    constraints.min_tokens = 5000;
    constraints.min_chunks = 7;
    constraints.max_chunks = 5;
    constraints.max_per_cluster = 1;
    constraints.must_include_roles = {RhetoricalRole::DataTable, RhetoricalRole::Unknown, RhetoricalRole::Risk,
                                      RhetoricalRole::Definition};
    constraints.required_chunks = {"zeta", "beta", "x1", "Alpha"};
    constraints.excluded_chunks = {"x5", "dup", "x6"};

    const auto report = torvane::check_constraints(Selection{1, 1, 1, 1, 1, 1, 0}, problem, constraints);
    EXPECT_EQ(report.token_total, torvane::TokenTotal(2400));
    EXPECT_EQ(report.selected_count, 6u);
    EXPECT_FALSE(report.satisfied);
    EXPECT_EQ(torvane::violation_messages(report), (Messages{
                                                       "Token budget exceeded: 2400 > 1000",
                                                       "Minimum tokens not met: 2400 < 5000",
                                                       "Too few chunks: 6 < 7",
                                                       "Too many chunks: 6 > 5",
                                                       "Missing required role: Unknown",
                                                       "Missing required role: Definition",
                                                       "Missing required role: DataTable",
                                                       "Cluster 2 overflow: 2 > 1",
                                                       "Cluster 9 overflow: 2 > 1",
                                                       "Required chunk missing: Alpha",
                                                       "Required chunk missing: beta",
                                                       "Required chunk missing: zeta",
                                                       "Excluded chunk selected: dup",
                                                       "Excluded chunk selected: dup",
                                                       "Excluded chunk selected: x5",
                                                   }));
}

TEST(CheckConstraints, ClusterCapZeroOverflowsClusteredChunksOnly) {
    const ProblemInstance problem = make_problem({{"a", 1, RhetoricalRole::Risk, 7}, {"b", 1}});
    ConstraintSet constraints;
    constraints.max_per_cluster = 0;
    EXPECT_EQ(messages(Selection{1, 1}, problem, constraints), Messages{"Cluster 7 overflow: 1 > 0"});
    EXPECT_TRUE(messages(Selection{0, 1}, problem, constraints).empty());
}

TEST(CheckConstraints, UnknownRoleIsHeldLikeAnyOther) {
    const ProblemInstance problem = make_problem({{"a", 1, RhetoricalRole::Unknown}, {"b", 1}});
    ConstraintSet constraints;
    constraints.must_include_roles = {RhetoricalRole::Unknown};
    EXPECT_TRUE(messages(Selection{1, 0}, problem, constraints).empty());
    EXPECT_EQ(messages(Selection{0, 1}, problem, constraints), Messages{"Missing required role: Unknown"});
}

TEST(CheckConstraints, IdBothRequiredAndExcluded) {
    const ProblemInstance problem = make_problem({{"both", 1}, {"other", 1}});
    ConstraintSet constraints;
    constraints.required_chunks = {"both", "nowhere"};
    constraints.excluded_chunks = {"both"};
    EXPECT_EQ(messages(Selection{1, 0}, problem, constraints),
              (Messages{"Required chunk missing: nowhere", "Excluded chunk selected: both"}));
    EXPECT_EQ(messages(Selection{0, 1}, problem, constraints),
              (Messages{"Required chunk missing: both", "Required chunk missing: nowhere"}));
}

// Two maximal costs overflow the word. A total that wrapped would come back
// as SIZE_MAX - 1 and pass a budget of SIZE_MAX.
TEST(CheckConstraints, TokenTotalsBeyondTheWordDoNotPassTheBudget) {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    const ProblemInstance problem = make_problem({{"a", kMax}, {"b", kMax}});
    ConstraintSet constraints;
    constraints.max_tokens = kMax;
    const auto report = torvane::check_constraints(Selection{1, 1}, problem, constraints);
    EXPECT_EQ(report.token_total.saturated_size(), kMax);
    const std::string expected = sizeof(std::size_t) == 8
                                     ? "Token budget exceeded: 36893488147419103230 > 18446744073709551615"
                                     : "Token budget exceeded: 8589934590 > 4294967295";
    EXPECT_EQ(torvane::violation_messages(report), Messages{expected});
}

TEST(TokenTotal, ExactBeyondSixtyFourBits) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    torvane::TokenTotal total;
    total += kMax;
    EXPECT_EQ(total.to_string(), "18446744073709551615");
    total += 1;
    EXPECT_EQ(total.to_string(), "18446744073709551616");
    EXPECT_GT(total, torvane::TokenTotal(kMax));
    EXPECT_EQ(total.minus_or_zero(1), torvane::TokenTotal(kMax));  // borrow from the high word
    EXPECT_EQ(total.minus_or_zero(kMax), torvane::TokenTotal(1));
    total += kMax;
    total += kMax - 1;
    EXPECT_EQ(total.to_string(), "55340232221128654845");  // 3 x (2^64 - 1)
    EXPECT_EQ(torvane::TokenTotal(7).minus_or_zero(8), torvane::TokenTotal(0));
    EXPECT_EQ(torvane::TokenTotal(0).to_string(), "0");
}

TEST(CheckConstraints, MalformedInputIsAnInternalFault) {
    ProblemInstance problem = make_problem({{"a", 1}, {"b", 1}});
    EXPECT_THROW(torvane::check_constraints(Selection{1}, problem, ConstraintSet{}), torvane::InternalError);
    EXPECT_THROW(torvane::check_constraints(Selection{1, 0, 0}, problem, ConstraintSet{}), torvane::InternalError);
    problem.token_costs.pop_back();
    EXPECT_THROW(torvane::check_constraints(Selection{1, 0}, problem, ConstraintSet{}), torvane::InternalError);
}

// --- move feasibility -------------------------------------------------------

class MoveFeasibility : public ::testing::Test {
protected:
    // The string-keyed answer, checked against the index-keyed ones.
    bool add(std::size_t index) const {
        const bool answer =
            reference::can_add(constraints, index, reference::build_selection_stats(selection, problem), problem);
        const torvane::ConstraintIndex indexed(problem, constraints);
        EXPECT_EQ(indexed.can_add(index, indexed.stats(selection)), answer);
        return answer;
    }
    bool swap(std::size_t added, std::size_t removed) const {
        const bool answer = reference::can_swap(constraints, added, removed,
                                                reference::build_selection_stats(selection, problem), problem);
        const torvane::ConstraintIndex indexed(problem, constraints);
        const auto stats = indexed.stats(selection);
        EXPECT_EQ(indexed.can_swap(added, removed, stats), answer);
        const torvane::SwapFeasibility swaps(indexed, stats);
        EXPECT_EQ(swaps.test(swaps.added(added), swaps.removed(removed)), answer);
        return answer;
    }

    ProblemInstance problem;
    ConstraintSet constraints;
    Selection selection;
};

TEST_F(MoveFeasibility, AddRespectsIdsBudgetChunkLimitAndClusterCap) {
    problem = make_problem({{"a", 40, RhetoricalRole::Risk, 1},
                            {"a", 10},                         // same id as candidate 0
                            {"c", 60},                         // fills the budget exactly
                            {"d", 61},                         // one token over
                            {"e", 1, RhetoricalRole::Risk, 1},  // cluster 1 already at its cap of 1
                            {"f", 1, RhetoricalRole::Risk, 2},  // cluster 2 still empty
                            {"x", 1}});
    constraints.max_tokens = 100;
    constraints.max_per_cluster = 1;
    constraints.excluded_chunks = {"x"};
    selection = {1, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(add(1));
    EXPECT_TRUE(add(2));
    EXPECT_FALSE(add(3));
    EXPECT_FALSE(add(4));
    EXPECT_TRUE(add(5));
    EXPECT_FALSE(add(6));
    constraints.max_chunks = 1;
    EXPECT_FALSE(add(5));
}

TEST_F(MoveFeasibility, ClusterCapZeroAdmitsOnlyUnclusteredChunks) {
    problem = make_problem({{"a", 1, RhetoricalRole::Risk, 0}, {"b", 1}});
    constraints.max_per_cluster = 0;
    selection = {0, 0};
    EXPECT_FALSE(add(0));
    EXPECT_TRUE(add(1));
}

TEST_F(MoveFeasibility, SwapWithinAFullClusterIsAllowedIntoOneIsNot) {
    problem = make_problem({{"a", 1, RhetoricalRole::Risk, 1},
                            {"b", 1, RhetoricalRole::Risk, 1},
                            {"c", 1, RhetoricalRole::Risk, 1},
                            {"d", 1, RhetoricalRole::Risk, 2},
                            {"e", 1, RhetoricalRole::Risk, std::nullopt}});
    constraints.max_per_cluster = 2;
    selection = {1, 1, 0, 1, 0};
    EXPECT_TRUE(swap(2, 0));   // cluster 1 stays at 2
    EXPECT_FALSE(swap(2, 3));  // cluster 1 would hold 3
    EXPECT_TRUE(swap(4, 3));   // unclustered in, cluster 2 empties
}

TEST_F(MoveFeasibility, SwapKeepsAHolderOfEveryRequiredRole) {
    problem = make_problem({{"a", 1, RhetoricalRole::DataTable},
                            {"b", 1, RhetoricalRole::Risk},
                            {"c", 1, RhetoricalRole::DataTable},
                            {"d", 1, RhetoricalRole::Example}});
    constraints.must_include_roles = {RhetoricalRole::DataTable};
    selection = {1, 1, 0, 0};
    EXPECT_FALSE(swap(3, 0));  // the only DataTable leaves
    EXPECT_TRUE(swap(2, 0));   // replaced by another DataTable
    EXPECT_TRUE(swap(3, 1));
}

TEST_F(MoveFeasibility, SwapNewTotalMustLieWithinBothTokenBounds) {
    problem = make_problem({{"a", 30}, {"b", 10}, {"c", 20}, {"d", 25}, {"e", 71}});
    constraints.min_tokens = 50;
    constraints.max_tokens = 100;
    selection = {1, 0, 0, 0, 0};  // 30 tokens, already below the minimum
    EXPECT_FALSE(swap(1, 0));      // 10: lower still
    EXPECT_FALSE(swap(3, 0));      // 25: better but still below
    selection = {1, 1, 0, 0, 0};   // 40
    EXPECT_TRUE(swap(2, 1));       // 50: exactly the minimum
    EXPECT_FALSE(swap(4, 1));      // 101
    constraints.max_tokens = 101;
    EXPECT_TRUE(swap(4, 1));       // exactly the maximum
}

TEST_F(MoveFeasibility, SwapRespectsIdsRequiredAndExcluded) {
    problem = make_problem({{"req", 1}, {"b", 1}, {"b", 1}, {"ex", 1}, {"free", 1}, {"unsel", 1}});
    constraints.required_chunks = {"req"};
    constraints.excluded_chunks = {"ex"};
    selection = {1, 1, 0, 0, 0, 0};
    EXPECT_FALSE(swap(4, 0));  // a required chunk never leaves
    EXPECT_FALSE(swap(2, 0));  // its id is already selected through candidate 1
    EXPECT_FALSE(swap(3, 1));  // excluded never enters
    EXPECT_TRUE(swap(4, 1));
    EXPECT_FALSE(swap(4, 5));  // the removed id is not selected
}

TEST_F(MoveFeasibility, TokenSumsNearTheWordLimitDoNotWrap) {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    problem = make_problem({{"a", kMax}, {"b", 1}, {"c", 2}});
    constraints.max_tokens = kMax;
    selection = {1, 0, 0};
    EXPECT_FALSE(add(1));
    selection = {1, 1, 0};  // one token beyond the word, over any budget
    EXPECT_FALSE(add(2));
    EXPECT_FALSE(swap(2, 1));
}

TEST_F(MoveFeasibility, IndicesOutsideTheCandidatesAreInternalFaults) {
    problem = make_problem({{"a", 1}, {"b", 1}});
    selection = {1, 0};
    EXPECT_THROW(add(2), torvane::InternalError);
    EXPECT_THROW(swap(2, 0), torvane::InternalError);
    EXPECT_THROW(swap(1, 2), torvane::InternalError);
    selection = {1};
    EXPECT_THROW(add(1), torvane::InternalError);
}

TEST(ConstraintIndices, AscendingWithSharedIdsAndNothingForUnknownIds) {
    const std::vector<std::string> ids{"c", "a", "b", "a", "z"};
    ConstraintSet constraints;
    constraints.required_chunks = {"a", "missing", "z"};
    constraints.excluded_chunks = {"b", "c"};
    EXPECT_EQ(reference::required_indices(constraints, ids), (std::vector<std::size_t>{1, 3, 4}));
    EXPECT_EQ(reference::excluded_indices(constraints, ids), (std::vector<std::size_t>{0, 2}));
    EXPECT_TRUE(reference::required_indices(ConstraintSet{}, ids).empty());
}

// --- index-keyed tests -----------------------------------------------------

// The index-keyed tests give the string-keyed answers on random problems
// with shared chunk ids, clusters, required and excluded ids (some carried by
// no candidate) and must-include roles.
struct IndexCase {
    unsigned seed;
    std::size_t n;
    std::size_t max_per_cluster;
    bool unmatched_required;
};

class ConstraintIndexAgrees : public ::testing::TestWithParam<IndexCase> {};

TEST_P(ConstraintIndexAgrees, WithTheStringKeyedChecks) {
    const IndexCase c = GetParam();
    std::mt19937 rng(c.seed);
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; i < c.n; ++i) {
        Candidate candidate{"id" + std::to_string(rng() % (c.n - c.n / 5)), 1 + rng() % 60};
        candidate.role = torvane::role_from_code(static_cast<std::uint8_t>(rng() % 4 == 0 ? 255 : rng() % 4));
        if (rng() % 3 != 0) candidate.cluster = rng() % 4;
        candidates.push_back(candidate);
    }
    const ProblemInstance problem = make_problem(candidates);
    ConstraintSet constraints;
    constraints.max_tokens = 60 + rng() % 200;
    constraints.min_tokens = rng() % 40;
    constraints.min_chunks = rng() % 3;
    constraints.max_chunks = 3 + rng() % 6;
    constraints.max_per_cluster = c.max_per_cluster;
    constraints.must_include_roles = {RhetoricalRole::Example};
    if (c.seed % 2 == 0) constraints.must_include_roles.insert(RhetoricalRole::Unknown);
    if (c.seed % 3 == 0) constraints.must_include_roles.insert(RhetoricalRole::Procedure);  // nobody holds it
    constraints.required_chunks = {candidates[0].id};
    if (c.unmatched_required) constraints.required_chunks.insert("nobody");
    constraints.excluded_chunks = {candidates[2].id, candidates[3].id};
    const torvane::ConstraintIndex index(problem, constraints);
    EXPECT_EQ(index.required_candidates(), reference::required_indices(constraints, problem.chunk_ids));

    std::size_t satisfied = 0;
    for (int trial = 0; trial < 300; ++trial) {
        // Selections grown by random feasible additions, so that many of
        // them satisfy the constraints, with a random extra chunk now and then.
        Selection selection(c.n, 0);
        selection[0] = trial % 2 == 0 ? 1 : 0;
        const std::size_t picks = rng() % 8;
        for (std::size_t k = 0; k < picks; ++k) {
            const std::size_t i = rng() % c.n;
            if (rng() % 5 == 0 ||
                reference::can_add(constraints, i, reference::build_selection_stats(selection, problem), problem)) {
                selection[i] = 1;
            }
        }
        const bool expected = torvane::check_constraints(selection, problem, constraints).satisfied;
        ASSERT_EQ(index.satisfied(selection), expected);
        satisfied += expected ? 1 : 0;
        const auto stats = reference::build_selection_stats(selection, problem);
        const auto indexed = index.stats(selection);
        const torvane::SwapFeasibility swaps(index, indexed);
        for (std::size_t a = 0; a < c.n; ++a) {
            ASSERT_EQ(index.can_add(a, indexed), reference::can_add(constraints, a, stats, problem)) << a;
            for (std::size_t r = 0; r < c.n; ++r) {
                const bool swappable = reference::can_swap(constraints, a, r, stats, problem);
                ASSERT_EQ(swaps.test(swaps.added(a), swaps.removed(r)), swappable) << a << " " << r;
                if (selection[a] != 0 || selection[r] == 0) continue;
                ASSERT_EQ(index.can_swap(a, r, indexed), swappable);
            }
        }
    }
    if (c.unmatched_required) {
        EXPECT_EQ(satisfied, 0u);
    } else if (c.max_per_cluster > 0) {
        EXPECT_GT(satisfied, 10u);
    }
}

INSTANTIATE_TEST_SUITE_P(Problems, ConstraintIndexAgrees,
                         ::testing::Values(IndexCase{1, 12, 2, false}, IndexCase{2, 20, 1, false},
                                           IndexCase{3, 9, 0, false}, IndexCase{4, 15, 3, true},
                                           IndexCase{5, 30, 2, false}));

}  // namespace
