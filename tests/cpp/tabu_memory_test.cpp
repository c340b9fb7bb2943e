#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <algorithm>
#include <bit>
#include <random>
#include <set>
#include <vector>

#include "common/fault.hpp"
#include "reference/tabu_memory.hpp"
#include "solver/search/tabu_memory.hpp"

using torvane::Selection;
using torvane::TabuMemory;
namespace reference = torvane::reference;

namespace {

using Clusters = std::vector<std::optional<std::size_t>>;

bool tabu(const TabuMemory& memory, std::size_t added, std::size_t removed, const Selection& candidate) {
    return reference::is_tabu(memory, added, removed, candidate, torvane::selection_hash(candidate));
}

TEST(TabuMemory, ZeroTenureKeepsNothingAndNothingIsTabu) {
    TabuMemory memory(0, 3, 0.85f);
    EXPECT_EQ(memory.max_entries(), 0u);
    const Selection s{1, 1, 0};
    memory.advance();
    memory.record_move(1, 3, s, Clusters(3));
    EXPECT_TRUE(memory.entries().empty());
    EXPECT_EQ(memory.effective_tenure(), 0u);
    EXPECT_FALSE(tabu(memory, 1, 3, s));
    EXPECT_FALSE(tabu(memory, 3, 1, Selection{1, 0, 0}));
    EXPECT_EQ(memory.frequency(1), 1u);  // the long-term counts still run
}

// Tenure 2 has no jitter (trunc(2 x 0.2) = 0), so the entry's lifetime is
// exact. Threshold 0 leaves only the move and hash tests.
TEST(TabuMemory, ReversingARecentMoveIsTabuWhileTheEntryIsActive) {
    TabuMemory memory(2, 4, 0.0f);
    memory.advance();
    memory.record_move(1, 0, Selection{0, 1, 1, 0}, Clusters(4));
    const Selection reversed{1, 0, 1, 0};  // a selection the ring has never seen
    EXPECT_TRUE(tabu(memory, 0, 1, reversed));
    EXPECT_FALSE(tabu(memory, 0, 2, Selection{1, 1, 0, 0}));
    EXPECT_FALSE(tabu(memory, 0, 4, Selection{1, 1, 1, 0}));  // add-only moves never reverse one
    memory.advance();
    memory.advance();  // age 2: still active
    EXPECT_TRUE(tabu(memory, 0, 1, reversed));
    memory.set_effective_tenure(1);
    EXPECT_FALSE(tabu(memory, 0, 1, reversed));
    memory.set_effective_tenure(2);
    memory.advance();  // age 3
    EXPECT_FALSE(tabu(memory, 0, 1, reversed));
    EXPECT_EQ(memory.entries().size(), 1u);  // inactive but still in the ring
}

TEST(TabuMemory, RevisitingASelectionIsTabuByHash) {
    TabuMemory memory(2, 4, 0.0f);
    memory.advance();
    memory.record_move(3, 4, Selection{1, 0, 0, 1}, Clusters(4));
    EXPECT_TRUE(tabu(memory, 0, 2, Selection{1, 0, 0, 1}));
    EXPECT_FALSE(tabu(memory, 0, 2, Selection{1, 0, 1, 1}));
}

struct OverlapCase {
    Selection candidate;
    bool tabu;
};

class JaccardOverlap : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(JaccardOverlap, AtThreshold085) {
    TabuMemory memory(10, 10, 0.85f);
    memory.advance();
    memory.record_move(6, 10, Selection{1, 1, 1, 1, 1, 1, 1, 0, 0, 0}, Clusters(10));
    EXPECT_EQ(tabu(memory, 9, 10, GetParam().candidate), GetParam().tabu);
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, JaccardOverlap,
    ::testing::Values(OverlapCase{{1, 1, 1, 1, 1, 1, 0, 1, 0, 0}, false},     // 6 of 7 kept, one new: 6/8
                      OverlapCase{{1, 1, 1, 1, 1, 1, 1, 1, 0, 0}, true},      // one added: 7/8
                      OverlapCase{{1, 1, 1, 1, 1, 1, 0, 0, 0, 0}, true},      // one dropped: 6/7 = 0.857f
                      OverlapCase{{1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 1, 1}, true},  // only the common length counts
                      OverlapCase{{0, 0, 0, 0, 0, 0, 0, 1, 1, 1}, false}));

struct JitterCase {
    std::size_t base;
    std::size_t jitter;
};

class TenureJitter : public ::testing::TestWithParam<JitterCase> {};

TEST_P(TenureJitter, StaysWithinTwentyPercentOfTheBase) {
    const std::size_t base = GetParam().base;
    const std::size_t j = GetParam().jitter;
    const std::size_t n = 16;
    TabuMemory memory(base, n, 0.85f);
    memory.set_effective_tenure(1000);  // a value jitter-free bases leave alone
    std::set<std::size_t> seen;
    for (std::size_t step = 0; step < 300; ++step) {
        memory.advance();
        Selection s(n, 0);
        for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<std::uint8_t>((step >> i) & 1u);
        memory.record_move(0, n, s, Clusters(n));
        if (j == 0) {
            ASSERT_EQ(memory.effective_tenure(), 1000u);
            continue;
        }
        const std::uint64_t h = torvane::selection_hash(s);
        const std::size_t expected = base - j + static_cast<std::size_t>((h + memory.iteration_clock()) % (2 * j + 1));
        ASSERT_EQ(memory.effective_tenure(), expected);
        seen.insert(memory.effective_tenure());
    }
    if (j > 0) {
        EXPECT_EQ(*seen.begin(), base - j);
        EXPECT_EQ(*seen.rbegin(), base + j);
        EXPECT_EQ(seen.size(), 2 * j + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Bases, TenureJitter,
                         ::testing::Values(JitterCase{0, 0}, JitterCase{4, 0}, JitterCase{5, 1}, JitterCase{10, 2},
                                           JitterCase{14, 2}, JitterCase{15, 3}));

TEST(TabuMemory, RingDropsEntriesOlderThanThreeTenuresAndKeepsAtMostThreeTenures) {
    TabuMemory memory(1, 2, 0.85f);
    EXPECT_EQ(memory.max_entries(), 3u);
    memory.advance();  // clock 1
    memory.record_move(0, 2, Selection{1, 0}, Clusters(2));
    for (int i = 0; i < 3; ++i) memory.advance();  // clock 4: age 3 is kept
    EXPECT_EQ(memory.entries().size(), 1u);
    memory.advance();  // clock 5: age 4 is dropped
    EXPECT_TRUE(memory.entries().empty());

    for (std::size_t added = 0; added < 5; ++added) memory.record_move(added, 2, Selection{1, 1}, Clusters(2));
    ASSERT_EQ(memory.entries().size(), 3u);
    EXPECT_EQ(memory.entries().front().added, 2u);
    EXPECT_EQ(memory.entries().back().added, 4u);
    EXPECT_EQ(memory.entries().back().iteration, 5u);
    EXPECT_EQ(memory.entries().back().hash, torvane::selection_hash(Selection{1, 1}));
}

TEST(TabuMemory, CountsAndPenalty) {
    TabuMemory memory(10, 4, 0.85f);
    const Clusters clusters{5u, std::nullopt, 5u, 7u};
    memory.advance();
    memory.record_move(3, 4, Selection{1, 1, 0, 1}, clusters);
    memory.advance();
    memory.record_move(2, 1, Selection{1, 0, 1, 1}, clusters);

    EXPECT_EQ(memory.frequency(0), 2u);
    EXPECT_EQ(memory.frequency(1), 1u);
    EXPECT_EQ(memory.frequency(2), 1u);
    EXPECT_EQ(memory.frequency(3), 2u);
    EXPECT_EQ(memory.frequency(4), 0u);  // beyond the table
    EXPECT_EQ(memory.pair_count(0, 3), 2u);
    EXPECT_EQ(memory.pair_count(3, 0), 2u);
    EXPECT_EQ(memory.pair_count(1, 2), 0u);
    EXPECT_EQ(memory.cluster_count(5), 3u);  // one member, then two
    EXPECT_EQ(memory.cluster_count(7), 2u);

    // F = 6, K = 3 + 3 + 2 = 8, P = (0,1) 1 + (0,2) 1 + (0,3) 2 + (1,3) 1 + (2,3) 1 = 6.
    EXPECT_EQ(reference::memory_penalty(memory, Selection{1, 1, 1, 1}, clusters),
              0.004 * 8.0 + 0.005 * 6.0 + 0.003 * 6.0);
    EXPECT_EQ(reference::memory_penalty(memory, Selection{0, 0, 0, 0}, clusters), 0.0);

    EXPECT_EQ(memory.frequency_penalty(0.0, 0), 0.0);
    EXPECT_EQ(memory.frequency_penalty(0.1, 3), -0.2);
    EXPECT_EQ(torvane::diversification_weight(4), 0.0);
    EXPECT_EQ(torvane::diversification_weight(5), 0.02 * 5.0);
    EXPECT_EQ(torvane::diversification_weight(10), 0.02 * 10.0);
}

// Each selected candidate pairs only with the next eight selected ones: ten
// candidates give 8+8+7+...+1 = 44 of their 45 pairs.
TEST(TabuMemory, PairPenaltyLooksAtMostEightAhead) {
    const std::size_t n = 10;
    TabuMemory memory(10, n, 0.85f);
    const Selection all(n, 1);
    memory.advance();
    memory.record_move(0, n, all, Clusters(n));
    EXPECT_EQ(memory.pair_count(0, 9), 1u);
    EXPECT_EQ(reference::memory_penalty(memory, all, Clusters(n)), 0.004 * 0.0 + 0.005 * 10.0 + 0.003 * 44.0);
}

TEST(TabuMemory, ClearForgetsEverythingButTheTenures) {
    TabuMemory memory(10, 3, 0.85f);
    const Clusters clusters{1u, 2u, std::nullopt};
    memory.advance();
    memory.record_move(0, 3, Selection{1, 1, 1}, clusters);
    const std::size_t tenure = memory.effective_tenure();
    memory.clear();
    EXPECT_TRUE(memory.entries().empty());
    EXPECT_EQ(memory.iteration_clock(), 0u);
    EXPECT_EQ(memory.frequency(0), 0u);
    EXPECT_EQ(memory.pair_count(0, 1), 0u);
    EXPECT_EQ(memory.cluster_count(1), 0u);
    EXPECT_EQ(reference::memory_penalty(memory, Selection{1, 1, 1}, clusters), 0.0);
    EXPECT_EQ(memory.effective_tenure(), tenure);
    EXPECT_EQ(memory.base_tenure(), 10u);
    EXPECT_EQ(memory.max_entries(), 30u);
    EXPECT_FALSE(tabu(memory, 3, 0, Selection{1, 1, 1}));
}

TEST(TabuMemory, MismatchedLengthsAreInternalFaults) {
    TabuMemory memory(10, 3, 0.85f);
    EXPECT_THROW(memory.record_move(0, 3, Selection{1, 1}, Clusters(3)), torvane::InternalError);
    EXPECT_THROW(memory.record_move(0, 3, Selection{1, 1, 1}, Clusters(2)), torvane::InternalError);
    EXPECT_THROW(reference::memory_penalty(memory, Selection{1, 1, 1}, Clusters(2)), torvane::InternalError);
}

// The screen answers for every neighbour of a selection what the memory
// answers for the neighbour built out: same tabu verdict, same penalty bits.
struct ScreenCase {
    std::size_t n;
    std::size_t tenure;
    float threshold;
    std::size_t selected;  // size of the selections the history walks through
};

class NeighbourhoodScreenAgrees : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(NeighbourhoodScreenAgrees, WithTheMemoryOnEveryNeighbour) {
    const ScreenCase c = GetParam();
    std::mt19937 rng(static_cast<unsigned>(c.n * 131 + c.tenure * 7 + c.selected));
    Clusters clusters(c.n);
    for (std::size_t i = 0; i < c.n; ++i) {
        if (rng() % 4 != 0) clusters[i] = rng() % 5;
    }
    TabuMemory memory(c.tenure, c.n, c.threshold);
    Selection current(c.n, 0);
    for (std::size_t i = 0; i < c.selected; ++i) current[rng() % c.n] = 1;

    const auto check_all_neighbours = [&] {
        const torvane::NeighbourhoodScreen screen(memory, current, clusters);
        for (std::size_t a = 0; a < c.n; ++a) {
            if (current[a] != 0) continue;
            for (std::size_t r = 0; r <= c.n; ++r) {
                if (r < c.n && current[r] == 0) continue;
                Selection neighbour = current;
                if (r < c.n) neighbour[r] = 0;
                neighbour[a] = 1;
                const bool by_screen = screen.reverses_recent_move(a, r) || screen.overlaps_recent_selection(a, r) ||
                                       screen.repeats_recent_hash(a, r);
                ASSERT_EQ(by_screen, tabu(memory, a, r, neighbour)) << a << " " << r;
                const double expected = reference::memory_penalty(memory, neighbour, clusters);
                ASSERT_EQ(screen.memory_penalty(a, r), expected) << a << " " << r;
                // The two-step form the move scan uses, with the removal's
                // position looked up once.
                ASSERT_EQ(screen.penalty_at(screen.addition(a), screen.removal_position(r)), expected)
                    << a << " " << r;
                // The floor the scan prunes with never exceeds a penalty.
                ASSERT_LE(screen.penalty_floor(screen.removal_position(r)), expected) << a << " " << r;
            }
        }
    };

    check_all_neighbours();  // empty memory
    for (std::size_t step = 0; step < 40; ++step) {
        memory.advance();
        // A random add or swap. Undoing it is one of the neighbours checked
        // next, which also tests hash repeats.
        std::vector<std::size_t> in, out;
        for (std::size_t i = 0; i < c.n; ++i) (current[i] != 0 ? in : out).push_back(i);
        if (out.empty()) break;
        const std::size_t a = out[rng() % out.size()];
        std::size_t r = c.n;
        if (!in.empty() && rng() % 3 != 0) r = in[rng() % in.size()];
        if (r < c.n) current[r] = 0;
        current[a] = 1;
        memory.record_move(a, r, current, clusters);
        if (step % 3 == 0) memory.set_effective_tenure(c.tenure + step % 5);
        if (step % 4 == 0) check_all_neighbours();
    }
}

INSTANTIATE_TEST_SUITE_P(Histories, NeighbourhoodScreenAgrees,
                         ::testing::Values(ScreenCase{12, 3, 0.85f, 4}, ScreenCase{30, 10, 0.85f, 14},
                                           ScreenCase{30, 10, 0.0f, 9}, ScreenCase{25, 5, 0.5f, 6},
                                           ScreenCase{70, 4, 0.85f, 30}, ScreenCase{20, 0, 0.85f, 8},
                                           ScreenCase{9, 6, 1.0f, 3}, ScreenCase{16, 2, 1.5f, 5}));

// After a long history the pair counts are large and differ a lot from pair
// to pair, which is where a floor that ignored a term would show: the floor
// of every removal stays at or below the penalty of every move with it,
// and comes within the counts the added candidate brings.
TEST(NeighbourhoodScreen, PenaltyFloorHoldsAfterALongHistory) {
    const std::size_t n = 41;
    std::mt19937 rng(77);
    Clusters clusters(n);
    for (std::size_t i = 0; i < n; ++i) clusters[i] = i % 3 == 0 ? std::nullopt : std::optional<std::size_t>(i % 6);
    TabuMemory memory(7, n, 0.85f);
    Selection current(n, 0);
    for (std::size_t i = 0; i < 23; ++i) current[(i * 7) % n] = 1;
    for (int step = 0; step < 300; ++step) {
        memory.advance();
        std::vector<std::size_t> in, out;
        for (std::size_t i = 0; i < n; ++i) (current[i] != 0 ? in : out).push_back(i);
        // Mostly the same region moves, so some pairs gather far larger counts.
        const std::size_t a = out[rng() % std::min<std::size_t>(out.size(), 6)];
        const std::size_t r = in[rng() % in.size()];
        current[r] = 0;
        current[a] = 1;
        memory.record_move(a, r, current, clusters);
    }
    const torvane::NeighbourhoodScreen screen(memory, current, clusters);
    std::size_t tight = 0;
    for (std::size_t r = 0; r <= n; ++r) {
        if (r < n && current[r] == 0) continue;
        const double floor = screen.penalty_floor(screen.removal_position(r));
        double lowest = std::numeric_limits<double>::infinity();
        for (std::size_t a = 0; a < n; ++a) {
            if (current[a] != 0) continue;
            Selection neighbour = current;
            if (r < n) neighbour[r] = 0;
            neighbour[a] = 1;
            const double penalty = reference::memory_penalty(memory, neighbour, clusters);
            ASSERT_LE(floor, penalty) << a << " " << r;
            lowest = std::min(lowest, penalty);
        }
        tight += floor > 0.5 * lowest;
    }
    EXPECT_GT(tight, 0u);  // a floor of zero would pass the test above trivially
}

// Pair counts kept in a table over compact slots agree with plain counting,
// also once the slots overflow into the hash map, and after a clear.
TEST(PairCounts, AgreeWithPlainCountingInTableAndMap) {
    const std::size_t n = torvane::PairCounts::kDenseSlots + 600;
    torvane::PairCounts counts(n);
    std::map<std::pair<std::size_t, std::size_t>, std::uint32_t> plain;
    std::mt19937 rng(9);
    const auto check = [&](std::size_t probes) {
        for (const auto& [pair, count] : plain) ASSERT_EQ(counts.get(pair.second, pair.first), count);
        for (std::size_t p = 0; p < probes; ++p) {
            const std::size_t i = rng() % (n + 2);  // also beyond the candidates
            const std::size_t k = rng() % (n + 2);
            const auto it = plain.find({std::min(i, k), std::max(i, k)});
            ASSERT_EQ(counts.get(i, k), it == plain.end() || i == k ? 0u : it->second);
        }
    };
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(counts.empty());
        // Few distinct candidates first (table), then ever more (map).
        for (std::size_t step = 0; step < 120; ++step) {
            const std::size_t spread = step < 60 ? 40 : n;
            std::vector<std::size_t> chosen;
            for (int k = 0; k < (step < 60 ? 30 : 80); ++k) chosen.push_back(rng() % spread);
            std::sort(chosen.begin(), chosen.end());
            chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
            counts.add_all(chosen);
            for (std::size_t a = 0; a < chosen.size(); ++a) {
                for (std::size_t b = a + 1; b < chosen.size(); ++b) ++plain[{chosen[a], chosen[b]}];
            }
            if (step % 20 == 0) check(200);
            if (step == 59) {
                EXPECT_TRUE(counts.in_table());
            }
        }
        check(2000);
        EXPECT_FALSE(counts.empty());
        EXPECT_FALSE(counts.in_table());  // the second phase overflowed the table
        counts.clear();
        plain.clear();
        check(200);
    }
}

// The screen reads pair counts through the table's slots; once the counts
// have moved to the hash map it reads them from there, with the same sums.
TEST(NeighbourhoodScreen, AgreesWhenThePairCountsLeftTheTable) {
    const std::size_t n = torvane::PairCounts::kDenseSlots + 500;
    std::mt19937 rng(21);
    Clusters clusters(n);
    for (std::size_t i = 0; i < n; ++i) clusters[i] = i % 7;
    TabuMemory memory(10, n, 0.85f);
    Selection current(n, 0);
    for (int round = 0; round < 12; ++round) {
        memory.advance();
        Selection wide(n, 0);
        for (int k = 0; k < 400; ++k) wide[rng() % n] = 1;
        memory.record_move(0, n, wide, clusters);
    }
    ASSERT_FALSE(memory.pair_counts().in_table());
    for (std::size_t i = 0; i < n; i += 41) current[i] = 1;
    const torvane::NeighbourhoodScreen screen(memory, current, clusters);
    for (int probe = 0; probe < 3000; ++probe) {
        const std::size_t a = rng() % n;
        if (current[a] != 0) continue;
        std::size_t r = (rng() % (n / 41)) * 41;
        if (probe % 5 == 0) r = n;  // add-only
        Selection neighbour = current;
        if (r < n) neighbour[r] = 0;
        neighbour[a] = 1;
        const double expected = reference::memory_penalty(memory, neighbour, clusters);
        ASSERT_EQ(screen.memory_penalty(a, r), expected) << a << " " << r;
        ASSERT_EQ(screen.penalty_at(screen.addition(a), screen.removal_position(r)), expected) << a << " " << r;
        ASSERT_LE(screen.penalty_floor(screen.removal_position(r)), expected) << a << " " << r;
    }
}

// A removal position is only given for a selected candidate or for "none";
// a position past the selected ones is refused, not read past the end.
TEST(NeighbourhoodScreen, RemovalPositionsOfSelectedCandidatesOnly) {
    const std::size_t n = 9;
    TabuMemory memory(4, n, 0.85f);
    const Selection current{0, 1, 0, 1, 1, 0, 0, 1, 0};
    const Clusters clusters(n);  // the screen keeps a view of them
    const torvane::NeighbourhoodScreen screen(memory, current, clusters);
    EXPECT_EQ(screen.removal_position(1), 0u);
    EXPECT_EQ(screen.removal_position(7), 3u);
    EXPECT_EQ(screen.removal_position(n), 4u);  // no removal
    EXPECT_THROW(static_cast<void>(screen.removal_position(2)), torvane::InternalError);
    EXPECT_THROW(static_cast<void>(screen.penalty_at(screen.addition(0), 5)), torvane::InternalError);
}

TEST(CountBits, AgreesWithPopcount) {
    std::mt19937_64 rng(3);
    for (std::uint64_t x : {std::uint64_t{0}, ~std::uint64_t{0}, std::uint64_t{1} << 63, std::uint64_t{0x8000000000000001}}) {
        EXPECT_EQ(torvane::count_bits(x), static_cast<unsigned>(std::popcount(x)));
    }
    for (int k = 0; k < 1000; ++k) {
        const std::uint64_t x = rng() & rng();
        ASSERT_EQ(torvane::count_bits(x), static_cast<unsigned>(std::popcount(x)));
    }
}

}  // namespace
