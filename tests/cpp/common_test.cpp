#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/fault.hpp"
#include "common/flat_map.hpp"
#include "common/format.hpp"
#include "common/roles.hpp"

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
