#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "common/flat_map.hpp"
#include "common/format.hpp"
#include "common/page_advice.hpp"
#include "common/scratch.hpp"
#include "common/roles.hpp"
#include "common/support_quorum.hpp"

using torvane::RhetoricalRole;

namespace {

struct RoleCase {
    const char* text;
    RhetoricalRole role;
};

class ParseRole : public ::testing::TestWithParam<RoleCase> {};

TEST_P(ParseRole, MatchesAfterLowerCasing) {
    EXPECT_EQ(torvane::parse_role(GetParam().text), GetParam().role) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseRole,
    ::testing::Values(RoleCase{"RISK", RhetoricalRole::Risk}, RoleCase{"Risk", RhetoricalRole::Risk},
                      RoleCase{"risk", RhetoricalRole::Risk},
                      RoleCase{"RIS\xE2\x84\xAA", RhetoricalRole::Risk},  // Kelvin sign
                      RoleCase{"Data_Table", RhetoricalRole::DataTable},
                      RoleCase{"DATATABLE", RhetoricalRole::DataTable},
                      RoleCase{"table", RhetoricalRole::DataTable},
                      RoleCase{"definition", RhetoricalRole::Definition},
                      RoleCase{"Example", RhetoricalRole::Example},
                      RoleCase{"EVIDENCE", RhetoricalRole::Evidence},
                      RoleCase{"conclusion", RhetoricalRole::Conclusion},
                      RoleCase{"Constraint", RhetoricalRole::Constraint},
                      RoleCase{"procedure", RhetoricalRole::Procedure},
                      RoleCase{" risk", RhetoricalRole::Unknown}, RoleCase{"risks", RhetoricalRole::Unknown},
                      RoleCase{"data-table", RhetoricalRole::Unknown},
                      RoleCase{"tables", RhetoricalRole::Unknown}, RoleCase{"", RhetoricalRole::Unknown},
                      RoleCase{"unknown", RhetoricalRole::Unknown},
                      RoleCase{"r\xC4\xB0sk", RhetoricalRole::Unknown},       // capital I with dot above
                      RoleCase{"ri\xC5\xBFk", RhetoricalRole::Unknown},       // long s stays non-ASCII
                      RoleCase{"ris\xC0\xAB", RhetoricalRole::Unknown},       // overlong encoding
                      RoleCase{"ris\xE2\x84", RhetoricalRole::Unknown},       // truncated sequence
                      RoleCase{"definitionX", RhetoricalRole::Unknown}));

TEST(Roles, DisplayNamesAndCodes) {
    EXPECT_EQ(torvane::role_display_name(RhetoricalRole::DataTable), "DataTable");
    EXPECT_EQ(torvane::role_display_name(RhetoricalRole::Risk), "Risk");
    EXPECT_EQ(torvane::role_display_name(RhetoricalRole::Unknown), "Unknown");
    for (int code = 0; code < 8; ++code) {
        EXPECT_EQ(torvane::role_code(torvane::role_from_code(static_cast<std::uint8_t>(code))), code);
    }
    EXPECT_EQ(torvane::role_from_code(8), RhetoricalRole::Unknown);
    EXPECT_EQ(torvane::role_from_code(255), RhetoricalRole::Unknown);
    EXPECT_EQ(static_cast<std::uint8_t>(torvane::role_code(RhetoricalRole::Unknown)), 255);
}

struct F32Case {
    float value;
    const char* text;
};

class FormatF32 : public ::testing::TestWithParam<F32Case> {};

TEST_P(FormatF32, ShortestFixed) { EXPECT_EQ(torvane::format_f32_shortest(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, FormatF32,
    ::testing::Values(F32Case{1.0f, "1"}, F32Case{0.0f, "0"}, F32Case{-0.0f, "-0"}, F32Case{0.3f, "0.3"},
                      F32Case{0.1f, "0.1"}, F32Case{-2.5f, "-2.5"}, F32Case{1e-6f, "0.000001"},
                      F32Case{1e10f, "10000000000"}, F32Case{16777216.0f, "16777216"},
                      F32Case{std::numeric_limits<float>::denorm_min(),
                              "0.000000000000000000000000000000000000000000001"},
                      F32Case{std::numeric_limits<float>::max(), "340282350000000000000000000000000000000"},
                      F32Case{std::numeric_limits<float>::infinity(), "inf"},
                      F32Case{-std::numeric_limits<float>::infinity(), "-inf"},
                      F32Case{std::numeric_limits<float>::quiet_NaN(), "NaN"},
                      F32Case{-std::numeric_limits<float>::quiet_NaN(), "NaN"}));

struct F64Case {
    double value;
    int decimals;
    const char* text;
};

class FormatF64 : public ::testing::TestWithParam<F64Case> {};

TEST_P(FormatF64, FixedDigits) {
    EXPECT_EQ(torvane::format_f64_fixed(GetParam().value, GetParam().decimals), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatF64,
    ::testing::Values(F64Case{1.23456, 4, "1.2346"}, F64Case{3.14159, 2, "3.14"}, F64Case{0.0, 4, "0.0000"},
                      F64Case{-0.0, 2, "-0.00"}, F64Case{0.125, 2, "0.12"},  // exact tie: to even
                      F64Case{0.375, 2, "0.38"}, F64Case{2.675, 2, "2.67"},  // 2.675 is below the tie
                      F64Case{1e20, 2, "100000000000000000000.00"}, F64Case{-1.5, 4, "-1.5000"},
                      F64Case{std::numeric_limits<double>::infinity(), 4, "inf"},
                      F64Case{-std::numeric_limits<double>::infinity(), 2, "-inf"},
                      F64Case{std::numeric_limits<double>::quiet_NaN(), 4, "NaN"}));

TEST(Fault, CheckRaisesInternalError) {
    EXPECT_THROW(TORVANE_CHECK(1 + 1 == 3, "arithmetic broke"), torvane::InternalError);
    EXPECT_NO_THROW(TORVANE_CHECK(true, "never"));
    try {
        torvane::raise_internal("index 7 out of range");
    } catch (const torvane::InternalError& e) {
        EXPECT_STREQ(e.what(), "index 7 out of range");
    }
}

}  // namespace

// The core's hash map and set against std::map over random insertions,
// lookups of present and absent keys, growth and clearing.
TEST(FlatMap, AgreesWithAnOrderedMap) {
    std::mt19937 rng(7);
    torvane::FlatMap<std::size_t, std::uint32_t> map;
    std::map<std::size_t, std::uint32_t> oracle;
    for (int round = 0; round < 3; ++round) {
        for (int step = 0; step < 5000; ++step) {
            const std::size_t key = rng() % 3000 * 64;  // multiples of 64: low bits alike
            if (rng() % 3 == 0) {
                const auto [value, added] = map.try_emplace(key, step);
                const auto [it, oracle_added] = oracle.try_emplace(key, step);
                ASSERT_EQ(added, oracle_added);
                ASSERT_EQ(*value, it->second);
            } else {
                ++map[key];
                ++oracle[key];
            }
        }
        ASSERT_EQ(map.size(), oracle.size());
        for (std::size_t key = 0; key < 3000 * 64; key += 32) {
            const auto it = oracle.find(key);
            const std::uint32_t* value = map.find(key);
            ASSERT_EQ(value != nullptr, it != oracle.end()) << key;
            if (value != nullptr) {
                ASSERT_EQ(*value, it->second);
            }
        }
        map.clear();
        oracle.clear();
        EXPECT_TRUE(map.empty());
        EXPECT_EQ(map.find(64), nullptr);
    }
}

TEST(FlatSet, HoldsTextsAndTheirViews) {
    torvane::FlatSet<std::string> ids;
    torvane::FlatSet<std::string_view> views;
    std::vector<std::string> texts;
    for (int i = 0; i < 500; ++i) texts.push_back("chunk_" + std::to_string(i));
    texts.push_back("");
    for (const std::string& text : texts) {
        EXPECT_TRUE(ids.insert(text));
        EXPECT_TRUE(views.insert(text));
    }
    EXPECT_FALSE(ids.insert("chunk_7"));
    EXPECT_EQ(ids.size(), texts.size());
    for (const std::string& text : texts) {
        EXPECT_TRUE(ids.contains(text));
        EXPECT_TRUE(views.contains(text));
    }
    EXPECT_FALSE(ids.contains("chunk_500"));
    EXPECT_FALSE(views.contains("chunk_"));
}

namespace {

// The four best places: a tie with the best goes to the front, lower places
// need a strictly greater value, NaN displaces nothing, and the holders of
// the first three places follow their values.
TEST(SupportQuorum, FourBestPlacesAndTheirHolders) {
    using Holder = std::optional<std::size_t>;
    float best[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    Holder holders[3];
    const float values[] = {0.5f, 0.7f, 0.5f, std::numeric_limits<float>::quiet_NaN(), 0.6f, 0.5f, 0.2f};
    for (std::size_t i = 0; i < std::size(values); ++i) torvane::insert_best(best, holders, values[i], Holder(i));
    // 0.7 (1) takes the front from 0.5 (0); the second 0.5 (2) is not above
    // the first and takes place 3; 0.6 (4) takes place 2 and pushes both
    // down; the third 0.5 (5) only ties with place 4 and stays out.
    EXPECT_EQ(std::vector<float>(best, best + 4), (std::vector<float>{0.7f, 0.6f, 0.5f, 0.5f}));
    EXPECT_EQ(holders[0], Holder(1));
    EXPECT_EQ(holders[1], Holder(4));
    EXPECT_EQ(holders[2], Holder(0));

    float tie[4] = {0.5f, 0.4f, 0.0f, 0.0f};
    EXPECT_EQ(torvane::insert_best(tie, 0.5f), 0);
    EXPECT_EQ(torvane::insert_best(tie, 0.4f), 3);  // ties with place 3, above place 4
    EXPECT_EQ(torvane::insert_best(tie, 0.0f), torvane::kNoPlace);

    // Removing a holder closes its place up and leaves 0 at the end; a
    // candidate without one of the first three places changes nothing.
    float after[4] = {0.7f, 0.6f, 0.5f, 0.5f};
    torvane::remove_holder(after, holders, std::size_t{4});
    EXPECT_EQ(std::vector<float>(after, after + 4), (std::vector<float>{0.7f, 0.5f, 0.5f, 0.0f}));
    float same[4] = {0.7f, 0.6f, 0.5f, 0.5f};
    torvane::remove_holder(same, holders, std::size_t{2});
    EXPECT_EQ(std::vector<float>(same, same + 4), (std::vector<float>{0.7f, 0.6f, 0.5f, 0.5f}));
}

// The support in both precisions: the clamps, the quorum terms by supporter
// count and cap, and a cap at the top of the unsigned range (as a float
// 2^64, beyond any size) counting like 4.
TEST(SupportQuorum, SupportByCapAndSupporters) {
    const double best[4] = {1.5, 0.5, 0.25, -0.5};
    const torvane::SupportQuorum<double> cap4{0.5, 0.25, 4.0f};
    EXPECT_EQ(cap4.support(best, 2), 1.0 + 0.5 * 0.5);
    EXPECT_EQ(cap4.support(best, 3), 1.0 + 0.5 * 0.5 + 0.25 * 0.25);
    EXPECT_EQ(cap4.support(best, 4), 1.0 + 0.5 * 0.5 + 0.25 * 0.25);  // the fourth clamps to 0
    const double four[4] = {0.75, 0.5, 0.5, 0.25};
    const double all = 0.75 + 0.5 * 0.5 + 0.5 * 0.25 + 0.25 * 0.125;
    EXPECT_EQ(cap4.support(four, 4), all);
    const float huge_cap = static_cast<float>(std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ((torvane::SupportQuorum<double>{0.5, 0.25, huge_cap}.support(four, 4)), all);
    EXPECT_EQ((torvane::SupportQuorum<double>{0.5, 0.25, 3.0f}.support(four, 4)), 0.75 + 0.5 * 0.5 + 0.5 * 0.25);
    for (float cap : {0.0f, 2.0f, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_EQ((torvane::SupportQuorum<double>{0.5, 0.25, cap}.support(four, 4)), 0.75 + 0.5 * 0.5);
    }
    // Single precision rounds every step to float, in the batch objective's order.
    const float best_f[4] = {0.8f, 0.6f, 0.4f, 0.2f};
    const torvane::SupportQuorum<float> single{0.35f, 0.18f, 4.0f};
    volatile float step = 0.8f + 0.6f * 0.35f;
    step = 0.4f * 0.18f + step;
    step = 0.2f * (0.18f * 0.5f) + step;
    EXPECT_EQ(single.support(best_f, 4), step);
}

// Large-page advice must never touch contents: pages already written keep
// their values (advice that drops pages would read back zeros), on buffers
// whose ends are not on large-page boundaries as well as on small ones.
TEST(PageAdvice, KeepsWrittenContents) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1000}, std::size_t{5} << 20, (std::size_t{9} << 20) + 7}) {
        std::vector<std::uint32_t> values(count);
        for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<std::uint32_t>(i * 2654435761u);
        torvane::advise_large_pages(values.data(), count * sizeof(std::uint32_t));
        bool same = true;
        for (std::size_t i = 0; i < count; ++i) same = same && values[i] == static_cast<std::uint32_t>(i * 2654435761u);
        EXPECT_TRUE(same) << count;
    }
    torvane::advise_large_pages(nullptr, std::size_t{1} << 30);  // nothing to advise
}

// A kept block is lent to one use at a time: a nested use, an oversized one
// and a use after a move each get storage that no live lease shares, and a
// block handed back is lent again without a new allocation.
TEST(ScratchLease, NeverLendsOneBlockTwice) {
    torvane::KeptScratch kept;
    const char* what = "test scratch";
    float* first = nullptr;
    {
        torvane::ScratchLease outer(kept, 100, 1000, what);
        first = outer.get();
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % 64, 0u);
        torvane::ScratchLease nested(kept, 50, 1000, what);
        EXPECT_NE(nested.get(), first);
        torvane::ScratchLease moved(std::move(outer));
        EXPECT_EQ(moved.get(), first);
        EXPECT_EQ(outer.get(), nullptr);
        torvane::ScratchLease while_moved(kept, 10, 1000, what);
        EXPECT_NE(while_moved.get(), first);  // still lent through `moved`
    }
    EXPECT_FALSE(kept.in_use);
    {
        torvane::ScratchLease again(kept, 80, 1000, what);
        EXPECT_EQ(again.get(), first);  // the kept block, no new allocation
        torvane::ScratchLease large(kept, 5000, 1000, what);
        EXPECT_NE(large.get(), first);
    }
    EXPECT_EQ(kept.capacity, 100u);
    torvane::ScratchLease none(kept, 0, 1000, what);
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_FALSE(kept.in_use);
    EXPECT_THROW(torvane::ScratchLease(kept, std::numeric_limits<std::size_t>::max(), 1000, what),
                 torvane::InternalError);
}

}  // namespace
