#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "backend/simd/vector_kernels.hpp"
#include "common/fault.hpp"

namespace {

using torvane::simd::SimdLevel;

// A plain rendering of the fixed order of operations, written
// independently of the library's kernels.
float ref_dot(const float* a, const float* b, std::size_t len) {
    const std::size_t blocks = len / 8;
    float acc[8] = {};
    for (std::size_t block = 0; block < blocks; ++block) {
        for (std::size_t k = 0; k < 8; ++k) acc[k] = acc[k] + a[8 * block + k] * b[8 * block + k];
    }
    float s = (((acc[0] + acc[1]) + acc[2]) + acc[3]) + (((acc[4] + acc[5]) + acc[6]) + acc[7]);
    for (std::size_t j = 8 * blocks; j < len; ++j) s = s + a[j] * b[j];
    return s;
}

float ref_cosine(const float* a, const float* b, std::size_t len) {
    const std::size_t full = len - len % 8;
    float tails[3] = {0.0f, 0.0f, 0.0f};
    for (std::size_t i = full; i < len; ++i) {
        tails[0] = tails[0] + a[i] * b[i];
        tails[1] = tails[1] + a[i] * a[i];
        tails[2] = tails[2] + b[i] * b[i];
    }
    const float ab = ref_dot(a, b, full) + tails[0];
    const float na = std::sqrt(ref_dot(a, a, full) + tails[1]);
    const float nb = std::sqrt(ref_dot(b, b, full) + tails[2]);
    return na > 1e-6f && nb > 1e-6f ? ab / (na * nb) : 0.0f;
}

std::vector<float> ref_normalize(const std::vector<float>& x, std::size_t n, std::size_t dim) {
    std::vector<float> u(n * dim);
    for (std::size_t i = 0; i < n; ++i) {
        const float* row = x.data() + i * dim;
        const float ss = ref_dot(row, row, dim);
        const float scale = ss > 1e-6f ? 1.0f / std::sqrt(ss) : 0.0f;
        for (std::size_t k = 0; k < dim; ++k) u[i * dim + k] = scale * row[k];
    }
    return u;
}

// Every entry computed on its own, both triangles, row i governing.
std::vector<float> ref_similarity(const std::vector<float>& x, std::size_t n, std::size_t dim) {
    const std::vector<float> u = ref_normalize(x, n, dim);
    std::vector<float> out(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) out[i * n + j] = ref_dot(&u[i * dim], &u[j * dim], dim);
    }
    return out;
}

// Values over six orders of magnitude and both signs, so that any change
// in the order of additions changes the rounding.
std::vector<float> random_values(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> exponent(-3.0f, 3.0f);
    std::vector<float> values(count);
    for (float& v : values) v = normal(rng) * std::pow(10.0f, exponent(rng));
    return values;
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
    std::vector<std::uint32_t> out;
    out.reserve(values.size());
    for (const float v : values) out.push_back(std::bit_cast<std::uint32_t>(v));
    return out;
}

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

std::vector<SimdLevel> available_levels() {
    std::vector<SimdLevel> levels;
    for (const SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
        if (torvane::simd::simd_level_available(level)) levels.push_back(level);
    }
    return levels;
}

std::string level_name(const ::testing::TestParamInfo<SimdLevel>& info) {
    return std::string(torvane::simd::simd_level_name(info.param));
}

const std::size_t kLengths[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 63, 64, 65, 383, 384, 385, 1000, 4099};

class Kernels : public ::testing::TestWithParam<SimdLevel> {};

TEST_P(Kernels, DotMatchesScalarOrderBitForBit) {
    const std::vector<float> pool_a = random_values(4200, 1);
    const std::vector<float> pool_b = random_values(4200, 2);
    for (const std::size_t len : kLengths) {
        for (const std::size_t offset : {0u, 1u, 3u, 5u}) {  // unaligned starts
            const float* a = pool_a.data() + offset;
            const float* b = pool_b.data() + 2 * offset + 1;
            const float got = torvane::simd::dot({a, len}, {b, len + offset}, GetParam());
            ASSERT_EQ(bits(got), bits(ref_dot(a, b, len))) << "len " << len << " offset " << offset;
            // The arguments commute bit for bit.
            ASSERT_EQ(bits(got), bits(torvane::simd::dot({b, len}, {a, len}, GetParam())));
        }
    }
}

TEST_P(Kernels, DotAddsTheTailAfterTheLaneReduction) {
    // Length 9: the lane sum 3e7 + 1 rounds back to 3e7 before the ninth
    // product cancels it (result 0); adding the ninth product into lane 0
    // first would give 1.
    std::vector<float> x(9, 0.0f);
    const std::vector<float> ones(9, 1.0f);
    x[0] = 3e7f;
    x[4] = 1.0f;
    x[8] = -3e7f;
    EXPECT_EQ(torvane::simd::dot(x, ones, GetParam()), 0.0f);
    EXPECT_EQ(bits(torvane::simd::dot({}, {}, GetParam())), bits(0.0f));
}

TEST_P(Kernels, CosineMatchesScalarOrderAndTreatsTinyNormsAsZero) {
    const SimdLevel level = GetParam();
    const std::vector<float> a = random_values(4200, 3);
    const std::vector<float> b = random_values(4200, 4);
    for (const std::size_t len : kLengths) {
        const float* pa = a.data() + 1;
        ASSERT_EQ(bits(torvane::simd::cosine({pa, len}, {b.data(), len}, level)), bits(ref_cosine(pa, b.data(), len)))
            << "len " << len;
    }
    const std::vector<float> zero(20, 0.0f);
    const std::vector<float> tiny(1, 1e-7f);
    const std::vector<float> one(1, 1.0f);
    EXPECT_EQ(torvane::simd::cosine(zero, a, level), 0.0f);
    EXPECT_EQ(torvane::simd::cosine(tiny, tiny, level), 0.0f);
    EXPECT_EQ(torvane::simd::cosine(one, tiny, level), 0.0f);
    EXPECT_EQ(torvane::simd::cosine(one, one, level), 1.0f);
}

TEST_P(Kernels, SimilarityMatrixMatchesEntryByEntryScalarOrder) {
    const SimdLevel level = GetParam();
    const std::tuple<std::size_t, std::size_t> shapes[] = {{1, 1}, {2, 3},    {5, 8},    {9, 16},   {63, 9},
                                                           {64, 7}, {65, 17}, {130, 40}, {150, 384}, {200, 12},
                                                           {67, 1}, {13, 383}, {71, 385}};
    for (const auto& [n, dim] : shapes) {
        std::vector<float> x = random_values(n * dim + 3, static_cast<std::uint32_t>(n * 1000 + dim));
        x.resize(n * dim + 3);  // values beyond n * dim are ignored
        const std::vector<float> got = torvane::simd::similarity_matrix(x, n, dim, level);
        x.resize(n * dim);
        ASSERT_EQ(bits(got), bits(ref_similarity(x, n, dim))) << "n " << n << " dim " << dim;
    }
}

TEST_P(Kernels, SimilarityOfZeroAndIdenticalRows) {
    const SimdLevel level = GetParam();
    const std::size_t n = 70;
    const std::size_t dim = 13;
    std::vector<float> x = random_values(n * dim, 9);
    for (std::size_t k = 0; k < dim; ++k) {
        x[3 * dim + k] = k == 0 ? 0x1.0624dcp-10f : 0.0f;  // squared norm just below 1e-6: a zero row
        x[4 * dim + k] = k == 0 ? 0x1.0624dep-10f : 0.0f;  // the next float up: squared norm above 1e-6
        x[66 * dim + k] = x[10 * dim + k];                 // identical to row 10, in another block
    }
    const std::vector<float> s = torvane::simd::similarity_matrix(x, n, dim, level);
    for (std::size_t j = 0; j < n; ++j) {
        ASSERT_EQ(bits(s[3 * n + j]), bits(0.0f)) << j;
        ASSERT_EQ(bits(s[j * n + 3]), bits(0.0f)) << j;
        ASSERT_EQ(bits(s[j * n + 66]), bits(s[j * n + 10])) << j;
    }
    EXPECT_NEAR(s[4 * n + 4], 1.0f, 1e-6f);
    EXPECT_EQ(s[10 * n + 66], s[10 * n + 10]);
    EXPECT_EQ(s[66 * n + 66], s[10 * n + 10]);
}

TEST_P(Kernels, DotRowsMatchScalarOrder) {
    const SimdLevel level = GetParam();
    for (const std::size_t rows : {0u, 1u, 7u, 8u, 9u, 33u}) {
        for (const std::size_t dim : {0u, 1u, 7u, 8u, 9u, 13u, 383u, 384u, 385u}) {
            const std::vector<float> m = random_values(rows * dim, static_cast<std::uint32_t>(rows + 7 * dim));
            const std::vector<float> q = random_values(dim + 2, 5);  // a longer query is fine
            const std::vector<float> got = torvane::simd::dot_rows(m, rows, dim, q, level);
            ASSERT_EQ(got.size(), rows);
            for (std::size_t i = 0; i < rows; ++i) {
                ASSERT_EQ(bits(got[i]), bits(ref_dot(m.data() + i * dim, q.data(), dim))) << rows << "x" << dim;
            }
        }
    }
}

TEST_P(Kernels, LengthViolationsAreInternalErrors) {
    const SimdLevel level = GetParam();
    const std::vector<float> five(5, 1.0f);
    const std::vector<float> four(4, 1.0f);
    EXPECT_THROW(torvane::simd::dot(five, four, level), torvane::InternalError);
    EXPECT_THROW(torvane::simd::cosine(five, four, level), torvane::InternalError);
    EXPECT_THROW(torvane::simd::dot_rows(five, 2, 3, four, level), torvane::InternalError);  // row 1 leaves the matrix
    EXPECT_THROW(torvane::simd::dot_rows(five, 1, 5, four, level), torvane::InternalError);  // query too short
    EXPECT_THROW(torvane::simd::similarity_matrix(five, 2, 3, level), torvane::InternalError);
    for (const auto& [n, dim] : {std::pair<std::size_t, std::size_t>{0, 5}, {5, 0}, {0, 0}}) {
        try {
            torvane::simd::similarity_matrix(five, n, dim, level);
            ADD_FAILURE() << "no exception for n " << n << " dim " << dim;
        } catch (const torvane::InternalError& e) {
            EXPECT_STREQ(e.what(), "chunk_size must not be zero");
        }
    }
    // A product of sizes that wraps around is refused, not truncated; an
    // n x n matrix beyond the machine word is too large for memory.
    const std::size_t huge = std::size_t{1} << (sizeof(std::size_t) * 4);
    EXPECT_THROW(torvane::simd::similarity_matrix(five, huge, huge, level), torvane::CapacityError);
    EXPECT_THROW(torvane::simd::similarity_matrix(five, huge, 1, level), torvane::CapacityError);
    EXPECT_THROW(torvane::simd::dot_rows(five, huge, huge, four, level), torvane::InternalError);
}

INSTANTIATE_TEST_SUITE_P(Levels, Kernels, ::testing::ValuesIn(available_levels()), level_name);

TEST(VectorKernels, SimilarityMatrixIsIndependentOfPoolSize) {
    const std::size_t n = 300;
    const std::size_t dim = 40;
    const std::vector<float> x = random_values(n * dim, 11);
    const std::vector<std::uint32_t> expected = bits(ref_similarity(x, n, dim));
    for (const std::size_t threads : {1u, 2u, 7u}) {
        torvane::pool::ThreadPool pool(threads);
        const std::vector<float> got = pool.install([&] { return torvane::simd::similarity_matrix(x, n, dim); });
        EXPECT_EQ(bits(got), expected) << threads << " threads";
        const std::vector<float> unit = pool.install([&] { return torvane::simd::normalize_rows(x, dim); });
        EXPECT_EQ(bits(unit), bits(ref_normalize(x, n, dim))) << threads << " threads";
    }
}

// The vector paths lay the rows out in panels and tiles of their own (eight
// rows a panel, six rows a tile, blocks of several tiles, column chunks
// sized for the caches) and store each entry in both triangles. Sizes that
// are multiples of none of these, on pools of different sizes, must give
// the scalar path's bits in both triangles.
TEST(VectorKernels, SimilarityPathsAgreeOnOddShapesAndAnyPool) {
    const std::vector<SimdLevel> levels = available_levels();
    for (const std::size_t dim : {1u, 7u, 9u, 383u, 385u}) {
        for (const std::size_t n : {1u, 7u, 13u, 49u, 203u}) {
            std::vector<float> x = random_values(n * dim, static_cast<std::uint32_t>(31 * n + dim));
            // A zero row inside a panel, and one repeated row in another.
            if (n > 5) {
                for (std::size_t k = 0; k < dim; ++k) {
                    x[5 * dim + k] = 0.0f;
                    x[(n - 1) * dim + k] = x[1 * dim + k];
                }
            }
            const std::vector<std::uint32_t> expected = bits(ref_similarity(x, n, dim));
            for (const std::size_t threads : {1u, 2u, 7u}) {
                torvane::pool::ThreadPool pool(threads);
                for (const SimdLevel level : levels) {
                    const std::vector<float> got =
                        pool.install([&] { return torvane::simd::similarity_matrix(x, n, dim, level); });
                    ASSERT_EQ(bits(got), expected) << torvane::simd::simd_level_name(level) << " n " << n << " dim "
                                                   << dim << " threads " << threads;
                }
            }
        }
    }
}

// The calling thread keeps its scratch rows between calls: shapes that
// shrink and grow again, and a call nested inside another's parallel loop on
// the same thread, must each see only their own rows.
TEST(VectorKernels, SimilarityScratchKeptBetweenCallsHoldsOnlyTheCurrentRows) {
    const std::size_t shapes[][2] = {{203, 385}, {13, 7}, {203, 385}, {49, 9}, {1, 1}, {260, 383}};
    for (const auto& shape : shapes) {
        const std::size_t n = shape[0];
        const std::size_t dim = shape[1];
        const std::vector<float> x = random_values(n * dim, static_cast<std::uint32_t>(7 * n + dim));
        const std::vector<std::uint32_t> expected = bits(ref_similarity(x, n, dim));
        for (const SimdLevel level : available_levels()) {
            ASSERT_EQ(bits(torvane::simd::similarity_matrix(x, n, dim, level)), expected)
                << torvane::simd::simd_level_name(level) << " n " << n << " dim " << dim;
        }
    }
    const std::vector<float> outer = random_values(40 * 33, 5);
    const std::vector<float> inner = random_values(17 * 9, 6);
    const std::vector<std::uint32_t> inner_expected = bits(ref_similarity(inner, 17, 9));
    torvane::pool::ThreadPool pool(2);
    std::vector<std::vector<float>> nested(4);
    pool.install([&] {
        torvane::pool::parallel_for(0, nested.size(), [&](std::size_t i) {
            nested[i] = torvane::simd::similarity_matrix(inner, 17, 9);
            // A matrix started while another of this thread may be midway.
            (void)torvane::simd::similarity_matrix(outer, 40, 33);
        });
    });
    for (const auto& got : nested) EXPECT_EQ(bits(got), inner_expected);
}

// Entries whose order of additions shows: each row holds one large value
// that a later product cancels, so adding any product in another lane or
// after another partial sum changes the result (see
// DotAddsTheTailAfterTheLaneReduction), for every pair of rows.
TEST(VectorKernels, SimilarityPathsKeepEachPairsOrderOfAdditions) {
    const std::size_t n = 26;
    for (const std::size_t dim : {9u, 17u, 24u, 31u}) {
        std::vector<float> x(n * dim);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < dim; ++k) {
                const float big = (i + k) % 3 == 0 ? 4096.0f : -4096.0f;
                x[i * dim + k] = k % 8 == i % 8 ? big : static_cast<float>((i * 7 + k * 3) % 11) - 5.0f;
            }
        }
        const std::vector<std::uint32_t> expected = bits(ref_similarity(x, n, dim));
        for (const SimdLevel level : available_levels()) {
            ASSERT_EQ(bits(torvane::simd::similarity_matrix(x, n, dim, level)), expected)
                << torvane::simd::simd_level_name(level) << " dim " << dim;
        }
    }
}

// Rows of negative zeros, an infinite value (its row becomes NaN) and
// values near the float range's ends, spread over several panels: every
// path gives the same bits, signs of zeros and NaNs included.
TEST(VectorKernels, SimilarityPathsAgreeOnSpecialValues) {
    const std::size_t n = 37;
    const std::size_t dim = 19;
    std::vector<float> x = random_values(n * dim, 77);
    for (std::size_t k = 0; k < dim; ++k) {
        x[2 * dim + k] = -0.0f;
        x[9 * dim + k] = k % 2 == 0 ? 1e-30f : -1e-30f;  // squared norm below the floor
        x[17 * dim + k] = k % 3 == 0 ? 3e18f : -2e18f;   // squares overflow: scaled to zero
        x[30 * dim + k] = k == 4 ? std::numeric_limits<float>::infinity() : 1.0f;
    }
    const std::vector<std::uint32_t> expected = bits(torvane::simd::similarity_matrix(x, n, dim, SimdLevel::Scalar));
    EXPECT_EQ(expected, bits(ref_similarity(x, n, dim)));
    for (const SimdLevel level : available_levels()) {
        EXPECT_EQ(bits(torvane::simd::similarity_matrix(x, n, dim, level)), expected)
            << torvane::simd::simd_level_name(level);
    }
}

TEST(VectorKernels, MaskedSumStartsAtNegativeZero) {
    const std::vector<float> values = {1.5f, 2.0f, -4.0f};
    const std::vector<std::uint8_t> none = {0, 0, 0};
    const std::vector<std::uint8_t> longer = {1, 0, 7, 1, 1};  // any non-zero byte selects; extra bytes ignored
    EXPECT_TRUE(std::signbit(torvane::simd::masked_sum(values, none)));
    EXPECT_TRUE(std::signbit(torvane::simd::masked_sum(values, {})));
    EXPECT_EQ(torvane::simd::masked_sum(values, longer), (-0.0f + 1.5f) + -4.0f);
    EXPECT_EQ(torvane::simd::masked_sum({values.data(), 1}, longer), 1.5f);  // shorter values
    const std::vector<float> cancelling = {1e8f, 1.0f, -1e8f};
    const std::vector<std::uint8_t> all = {1, 1, 1};
    EXPECT_EQ(torvane::simd::masked_sum(cancelling, all), 0.0f);  // ascending order: the 1 is absorbed
}

TEST(VectorKernels, NormalizeRowsCutsAShorterLastPiece) {
    const std::vector<float> x = {3.0f, 4.0f, 0.0f, 2.0f, 0.0f, 1e-4f, 5.0f};  // pieces of 3: [3 4 0] [2 0 1e-4] [5]
    const std::vector<float> u = torvane::simd::normalize_rows(x, 3);
    ASSERT_EQ(u.size(), x.size());
    const float scale0 = 1.0f / std::sqrt(25.0f);
    EXPECT_EQ(u[0], scale0 * 3.0f);
    EXPECT_EQ(u[1], scale0 * 4.0f);
    const float ss1 = (2.0f * 2.0f + 0.0f) + 1e-4f * 1e-4f;
    EXPECT_EQ(u[5], (1.0f / std::sqrt(ss1)) * 1e-4f);
    EXPECT_EQ(u[6], 1.0f);
    EXPECT_THROW(torvane::simd::normalize_rows(x, 0), torvane::InternalError);
}

TEST(VectorKernels, CrossDotSumsInAscendingOrder) {
    const std::size_t n_a = 5;
    const std::size_t dim = 19;
    const std::size_t n_b = 11;
    const std::vector<float> a = random_values(n_a * dim, 21);
    const std::vector<float> b = random_values(dim * n_b, 22);
    const std::vector<float> got = torvane::simd::cross_dot(a, n_a, dim, b, n_b);
    ASSERT_EQ(got.size(), n_a * n_b);
    for (std::size_t i = 0; i < n_a; ++i) {
        for (std::size_t j = 0; j < n_b; ++j) {
            float s = 0.0f;
            for (std::size_t k = 0; k < dim; ++k) s = s + a[i * dim + k] * b[k * n_b + j];
            ASSERT_EQ(bits(got[i * n_b + j]), bits(s)) << i << "," << j;
        }
    }
    EXPECT_THROW(torvane::simd::cross_dot(a, n_a, dim, {b.data(), b.size() - 1}, n_b), torvane::InternalError);
    EXPECT_THROW(torvane::simd::cross_dot(a, n_a + 1, dim, b, n_b), torvane::InternalError);
    EXPECT_TRUE(torvane::simd::cross_dot({}, 0, dim, b, n_b).empty());
    // Dispatch uses a SIMD level wherever the CPU has one, unless TORVANE_SIMD
    // asks for the scalar path.
#if defined(__x86_64__)
    EXPECT_TRUE(!__builtin_cpu_supports("avx2") || torvane::simd_level_limit() == SimdLevel::Scalar ||
                torvane::simd::best_simd_level() != SimdLevel::Scalar);
#endif
}

// Symmetry is judged on the bits: signed zeros and NaN payloads count. A
// difference in any tile (also the last, partial one) is found; the
// transpose swaps every entry, on any number of threads.
class SymmetryAndTranspose : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SymmetryAndTranspose, JudgeBitsAndSwapEveryEntry) {
    const std::size_t n = GetParam();
    std::mt19937 rng(static_cast<unsigned>(n));
    std::vector<float> m(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) m[i * n + j] = m[j * n + i] = float(rng() % 100) / 7.0f;
    }
    for (std::size_t threads : {1, 3}) {
        torvane::pool::ThreadPool pool(threads);
        pool.install([&] {
            EXPECT_TRUE(torvane::simd::bitwise_symmetric(m, n));
            std::vector<float> t = torvane::simd::transpose(m, n);
            EXPECT_EQ(t, m);
            if (n < 2) return;
            for (const auto& [a, b] : {std::pair{0.0f, -0.0f}, std::pair{std::bit_cast<float>(0x7fc00001u),
                                                                          std::bit_cast<float>(0x7fc00002u)}}) {
                std::vector<float> odd = m;
                odd[(n - 1) * n + (n - 2)] = a;  // in the last tile row
                odd[(n - 2) * n + (n - 1)] = b;
                EXPECT_FALSE(torvane::simd::bitwise_symmetric(odd, n));
                t = torvane::simd::transpose(odd, n);
                for (std::size_t i = 0; i < n; ++i) {
                    for (std::size_t j = 0; j < n; ++j) {
                        ASSERT_EQ(std::bit_cast<std::uint32_t>(t[j * n + i]), std::bit_cast<std::uint32_t>(odd[i * n + j]));
                    }
                }
            }
        });
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SymmetryAndTranspose, ::testing::Values(1, 2, 63, 64, 65, 130, 300));

// Columns added into double sums, each sum taking the columns one after
// the other and skipping a column's own entry, on every instruction set;
// own entries at both ends, side by side, and counts with a remainder of
// four.
class AddColumns : public ::testing::TestWithParam<std::vector<std::size_t>> {};

TEST_P(AddColumns, GiveTheSequentialSumsOnEveryLevel) {
    const std::vector<std::size_t>& own = GetParam();
    const std::size_t n = 37;
    std::mt19937 rng(static_cast<unsigned>(own.size()));
    std::vector<std::vector<float>> data(own.size(), std::vector<float>(n));
    std::vector<const float*> columns;
    for (auto& column : data) {
        for (float& x : column) x = std::ldexp(float(rng() % 2000) - 1000.0f, -int(rng() % 30));
        columns.push_back(column.data());
    }
    std::vector<double> expected(n, 0.25);
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t j = 0; j < own.size(); ++j) {
            if (c != own[j]) expected[c] += static_cast<double>(data[j][c]);
        }
    }
    for (const auto level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
        if (!torvane::simd::simd_level_available(level)) continue;
        std::vector<double> sum(n, 0.25);
        torvane::simd::add_columns(columns, own, n, sum.data(), level);
        for (std::size_t c = 0; c < n; ++c) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(sum[c]), std::bit_cast<std::uint64_t>(expected[c]))
                << c << " " << torvane::simd::simd_level_name(level);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Owns, AddColumns,
                         ::testing::Values(std::vector<std::size_t>{}, std::vector<std::size_t>{0},
                                           std::vector<std::size_t>{0, 1, 2, 3}, std::vector<std::size_t>{5, 6, 20, 36},
                                           std::vector<std::size_t>{1, 4, 9, 16, 25, 35, 36},
                                           std::vector<std::size_t>{0, 2, 3, 7, 8, 11, 12, 30, 31}));

TEST(AddColumns, RefusesOwnEntriesOutOfOrder) {
    std::vector<float> column(4, 1.0f);
    const std::vector<const float*> columns{column.data(), column.data()};
    std::vector<double> sum(4, 0.0);
    EXPECT_THROW(torvane::simd::add_columns(columns, std::vector<std::size_t>{2, 1}, 4, sum.data()),
                 torvane::InternalError);
    EXPECT_THROW(torvane::simd::add_columns(columns, std::vector<std::size_t>{1, 4}, 4, sum.data()),
                 torvane::InternalError);
}

// The matrix in a buffer that is not zero-filled first has every entry of
// the zero-filled one, on every instruction set (n = 130: three blocks, the
// last one partial).
TEST(SimilarityBuffer, HoldsTheMatrixEntryForEntry) {
    const std::size_t n = 130;
    const std::size_t dim = 19;
    std::mt19937 rng(8);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> embeddings(n * dim);
    for (float& x : embeddings) x = normal(rng);
    for (std::size_t k = 0; k < dim; ++k) embeddings[5 * dim + k] = 0.0f;  // a zero row
    for (const auto level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
        if (!torvane::simd::simd_level_available(level)) continue;
        const std::vector<float> matrix = torvane::simd::similarity_matrix(embeddings, n, dim, level);
        const std::unique_ptr<float[]> buffer = torvane::simd::similarity_matrix_buffer(embeddings, n, dim, level);
        for (std::size_t e = 0; e < n * n; ++e) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(buffer[e]), std::bit_cast<std::uint32_t>(matrix[e])) << e;
        }
    }
    EXPECT_THROW(torvane::simd::similarity_matrix_buffer(embeddings, n, 0), torvane::InternalError);
}

}  // namespace
