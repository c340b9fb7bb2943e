// Every instruction set's MaxSim kernels against the scoring rule applied to
// the library's own token scores: simd::dot (scalar order) for floats and
// quant::estimate_inner_product for codes. Argument checks, strides and
// empty shapes are covered end to end by tests/python/test_maxsim.py.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "backend/simd/vector_kernels.hpp"
#include "common/fault.hpp"
#include "quantization/maxsim/maxsim.hpp"
#include "quantization/rotational/rotational_quantizer.hpp"

namespace {

using torvane::maxsim::ArrayView3;
using torvane::maxsim::KernelLevel;
using torvane::quant::RotationalQuantizer;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A row-major n x t x k array with `gap` unused elements after every token,
// so that token rows are not adjacent.
template <typename T>
struct Array3 {
    std::size_t n, t, k, gap;
    std::vector<T> data;

    Array3(std::size_t n_, std::size_t t_, std::size_t k_, std::size_t gap_ = 0)
        : n(n_), t(t_), k(k_), gap(gap_), data(n_ * t_ * (k_ + gap_)) {}
    T& at(std::size_t i, std::size_t j, std::size_t v) { return data[(i * t + j) * (k + gap) + v]; }
    T at(std::size_t i, std::size_t j, std::size_t v) const { return data[(i * t + j) * (k + gap) + v]; }
    std::vector<T> row(std::size_t i, std::size_t j) const {
        return std::vector<T>(data.begin() + (i * t + j) * (k + gap), data.begin() + (i * t + j) * (k + gap) + k);
    }
    ArrayView3 view() const {
        const auto size = static_cast<std::ptrdiff_t>(sizeof(T));
        const auto token = static_cast<std::ptrdiff_t>(k + gap) * size;
        return {reinterpret_cast<const std::byte*>(data.data()), {n, t, k},
                {static_cast<std::ptrdiff_t>(t) * token, token, size}};
    }
};

std::vector<KernelLevel> available_levels() {
    std::vector<KernelLevel> levels;
    for (const KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (torvane::maxsim::kernel_level_available(level)) levels.push_back(level);
    }
    return levels;
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
    std::vector<std::uint32_t> out;
    for (const float v : values) out.push_back(std::bit_cast<std::uint32_t>(v));
    return out;
}

// The sequential rule: per query token the first strictly greater score in
// document token order, summed over query tokens from +0.0.
template <class Score>
std::vector<float> reference(std::size_t nq, std::size_t tq, std::size_t nd, std::size_t td, Score&& score) {
    std::vector<float> out(nq * nd);
    for (std::size_t i = 0; i < nq; ++i) {
        for (std::size_t j = 0; j < nd; ++j) {
            float s = 0.0f;
            for (std::size_t t = 0; t < tq; ++t) {
                float m = -kInf;
                for (std::size_t u = 0; u < td; ++u) {
                    const float e = score(i, t, j, u);
                    if (e > m) m = e;
                }
                s = s + m;
            }
            out[i * nd + j] = s;
        }
    }
    return out;
}

std::vector<float> reference_f32(const Array3<float>& q, const Array3<float>& d) {
    return reference(q.n, q.t, d.n, d.t, [&](std::size_t i, std::size_t t, std::size_t j, std::size_t u) {
        return torvane::simd::dot(q.row(i, t), d.row(j, u), torvane::simd::SimdLevel::Scalar);
    });
}

std::vector<float> run_f32(const Array3<float>& q, const Array3<float>& d, KernelLevel level) {
    std::vector<float> out(q.n * d.n);
    torvane::maxsim::max_sim_f32(q.view(), d.view(), out, level);
    return out;
}

// Values over four orders of magnitude, so that any change in the order of
// additions changes the rounding.
void fill(Array3<float>& a, std::mt19937& rng) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> exponent(-2.0f, 2.0f);
    for (float& v : a.data) v = normal(rng) * std::pow(10.0f, exponent(rng));
}

struct Codes {
    Array3<std::uint8_t> q_codes, d_codes;
    Array3<float> q_meta, d_meta;
};

Codes random_codes(std::size_t tq, std::size_t bq, std::size_t td, std::size_t bd, std::mt19937& rng) {
    Codes c{Array3<std::uint8_t>(3, tq, bq), Array3<std::uint8_t>(4, td, bd, 3), Array3<float>(3, tq, 4),
            Array3<float>(4, td, 4, 2)};
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (auto* codes : {&c.q_codes, &c.d_codes}) {
        for (auto& b : codes->data) b = static_cast<std::uint8_t>(byte(rng));
    }
    for (auto* meta : {&c.q_meta, &c.d_meta}) {
        for (float& v : meta->data) v = unit(rng);
        for (std::size_t i = 0; i < meta->n; ++i) {
            for (std::size_t j = 0; j < meta->t; ++j) meta->at(i, j, 2) = 2000.0f * (unit(rng) + 1.0f);
        }
    }
    return c;
}

std::vector<float> reference_codes(const Codes& c, const RotationalQuantizer& quantizer) {
    const auto token = [](const Array3<std::uint8_t>& codes, const Array3<float>& meta, std::size_t i,
                          std::size_t t) { return torvane::quant::make_quantized_token(codes.row(i, t), meta.row(i, t)); };
    return reference(c.q_codes.n, c.q_codes.t, c.d_codes.n, c.d_codes.t,
                     [&](std::size_t i, std::size_t t, std::size_t j, std::size_t u) {
                         return estimate_inner_product(token(c.q_codes, c.q_meta, i, t),
                                                       token(c.d_codes, c.d_meta, j, u), quantizer);
                     });
}

std::vector<float> run_codes(const Codes& c, const RotationalQuantizer& quantizer, KernelLevel level) {
    std::vector<float> out(c.q_codes.n * c.d_codes.n);
    torvane::maxsim::max_sim_quantized(quantizer, c.q_codes.view(), c.q_meta.view(), c.d_codes.view(),
                                       c.d_meta.view(), out, level);
    return out;
}

class Levels : public ::testing::TestWithParam<KernelLevel> {};

TEST_P(Levels, FloatScoresMatchTheEightAccumulatorDotBitForBit) {
    std::mt19937 rng(11);
    struct Shape {
        std::size_t nq, tq, nd, td, e;
    };
    // Odd token counts leave short tiles and a lone token in a query pair;
    // dimensions off a multiple of eight add a tail; 24 query tokens fill
    // tiles of three pairs and chunks of eight.
    const Shape shapes[] = {{3, 5, 4, 11, 0}, {2, 1, 3, 1, 1},  {3, 7, 5, 9, 7},     {2, 6, 3, 8, 8},
                            {2, 13, 3, 17, 9}, {1, 24, 2, 25, 16}, {2, 35, 3, 40, 128}, {2, 3, 2, 19, 133},
                            {2, 5, 3, 7, 383}, {3, 9, 2, 5, 385}};
    for (const Shape& s : shapes) {
        Array3<float> q(s.nq, s.tq, s.e);
        Array3<float> d(s.nd, s.td, s.e, 3);
        fill(q, rng);
        fill(d, rng);
        ASSERT_EQ(bits(run_f32(q, d, GetParam())), bits(reference_f32(q, d)))
            << s.nq << "x" << s.tq << " vs " << s.nd << "x" << s.td << ", e " << s.e;
    }
}

TEST_P(Levels, FloatScoresAcrossQueryChunksLoopOrdersAndPoolSizes) {
    // Queries of more than one chunk of pairs (31 to 65 tokens), documents
    // of one token, whole tiles and short ones, more queries than documents
    // and fewer (each piece of the parallel loop packs its documents),
    // dimensions with and without a tail, taken large, small, then large
    // again so that the buffers a thread keeps shrink and grow between
    // calls. Infinite and NaN values in the tail of some document tokens.
    std::mt19937 rng(31);
    struct Shape {
        std::size_t nq, tq, nd, td, e;
    };
    const Shape shapes[] = {{2, 33, 5, 23, 385}, {7, 31, 2, 9, 1},  {1, 34, 6, 16, 7},
                            {3, 65, 4, 1, 9},    {5, 32, 3, 8, 383}, {4, 40, 9, 17, 24}};
    for (const Shape& s : shapes) {
        Array3<float> q(s.nq, s.tq, s.e);
        Array3<float> d(s.nd, s.td, s.e, 5);
        fill(q, rng);
        fill(d, rng);
        if (s.e % 8 != 0) {
            d.at(0, s.td - 1, s.e - 1) = kInf;
            d.at(s.nd - 1, 0, s.e - 1) = kNaN;
        }
        const auto expected = bits(reference_f32(q, d));
        for (const std::size_t threads : {1u, 3u}) {
            torvane::pool::ThreadPool pool(threads);
            ASSERT_EQ(bits(pool.install([&] { return run_f32(q, d, GetParam()); })), expected)
                << s.nq << "x" << s.tq << " vs " << s.nd << "x" << s.td << ", e " << s.e << ", " << threads
                << " threads";
        }
    }
}

TEST_P(Levels, CodeScoresMatchTheEstimatorsExactly) {
    std::mt19937 rng(21);
    struct Shape {
        std::size_t tq, bq, td, bd;
    };
    // No code bytes; byte counts off a multiple of four (a padded last
    // group); longer document rows; token counts around blocks of 16;
    // more query tokens than a tile of four; one to four groups (1-bit
    // tokens held in registers) and more.
    const Shape shapes[] = {{3, 0, 5, 2},    {3, 1, 1, 1},   {5, 3, 15, 4},   {4, 4, 16, 4},
                            {7, 5, 17, 9},   {9, 16, 33, 16}, {2, 33, 40, 40}, {6, 64, 31, 64},
                            {10, 8, 35, 8},  {5, 12, 20, 13}, {9, 13, 49, 16}};
    for (const std::size_t width : {1u, 4u, 8u}) {
        for (const Shape& s : shapes) {
            const RotationalQuantizer quantizer(s.bq * 8 / width, width);
            const Codes c = random_codes(s.tq, s.bq, s.td, s.bd, rng);
            ASSERT_EQ(bits(run_codes(c, quantizer, GetParam())), bits(reference_codes(c, quantizer)))
                << width << " bits, tq " << s.tq << " bq " << s.bq << " td " << s.td << " bd " << s.bd;
        }
    }
}

TEST_P(Levels, NaNScoresNeverWin) {
    Array3<float> q(2, 2, 9);
    Array3<float> d(2, 3, 9);
    for (std::size_t v = 0; v < 9; ++v) {
        q.at(0, 0, v) = q.at(0, 1, v) = q.at(1, 1, v) = 1.0f;
        q.at(1, 0, v) = kNaN;
        d.at(0, 0, v) = -1.0f;
        d.at(0, 1, v) = kNaN;
        d.at(0, 2, v) = 0.5f;
        for (std::size_t u = 0; u < 3; ++u) d.at(1, u, v) = kNaN;
    }
    // 4.5 + 4.5; NaN scores only: -inf.
    EXPECT_EQ(run_f32(q, d, GetParam()), (std::vector<float>{9.0f, -kInf, -kInf, -kInf}));

    std::mt19937 rng(23);
    const RotationalQuantizer quantizer(32, 8);
    Codes c = random_codes(3, 4, 20, 4, rng);
    for (std::size_t u = 0; u < 20; u += 3) c.d_meta.at(0, u, 0) = kNaN;
    for (std::size_t u = 0; u < 20; ++u) c.d_meta.at(1, u, 1) = kNaN;
    const std::vector<float> got = run_codes(c, quantizer, GetParam());
    EXPECT_EQ(bits(got), bits(reference_codes(c, quantizer)));
    EXPECT_FALSE(std::isnan(got[0]));
    EXPECT_EQ(got[1], -kInf);
}

TEST_P(Levels, SignedZeroBestsAnywhereInTheBlocks) {
    // All codes 0, query scale 1, offset 0 and code sums 1: a document token
    // with offset -1 and scale +0 estimates -1; one with offset and scale
    // both +0 (or both -0) estimates +0 (or -0). The lanes keep whichever
    // zero they meet; the score is +0.0 all the same.
    const RotationalQuantizer quantizer(4, 8);
    for (const std::size_t first : {0u, 3u, 16u, 21u, 39u}) {
        for (const float first_zero : {-0.0f, 0.0f}) {
            Codes c{Array3<std::uint8_t>(1, 1, 4), Array3<std::uint8_t>(1, 40, 4), Array3<float>(1, 1, 4),
                    Array3<float>(1, 40, 4)};
            c.q_meta.at(0, 0, 0) = 1.0f;
            c.q_meta.at(0, 0, 2) = 1.0f;
            for (std::size_t u = 0; u < 40; ++u) {
                const float zero = (u - first) % 2 == 0 ? first_zero : -first_zero;
                c.d_meta.at(0, u, 0) = u < first ? 0.0f : zero;
                c.d_meta.at(0, u, 1) = u < first ? -1.0f : zero;
                c.d_meta.at(0, u, 2) = 1.0f;
            }
            const std::vector<float> got = run_codes(c, quantizer, GetParam());
            ASSERT_EQ(bits(got), bits(reference_codes(c, quantizer))) << "first zero at " << first;
            EXPECT_EQ(bits(got), bits({0.0f}));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(MaxSim, Levels, ::testing::ValuesIn(available_levels()),
                         [](const ::testing::TestParamInfo<KernelLevel>& case_info) {
                             return std::string(torvane::maxsim::kernel_level_name(case_info.param));
                         });

TEST(MaxSim, ResultsDoNotDependOnThePoolSize) {
    std::mt19937 rng(41);
    Array3<float> q(13, 7, 24);
    Array3<float> d(9, 21, 24);
    fill(q, rng);
    fill(d, rng);
    const Codes c = random_codes(7, 12, 21, 12, rng);
    const RotationalQuantizer quantizer(96, 8);
    const KernelLevel level = torvane::maxsim::best_kernel_level();
    const auto f32 = bits(run_f32(q, d, level));
    const auto codes = bits(run_codes(c, quantizer, level));
    for (const std::size_t threads : {1u, 2u, 3u, 8u}) {
        torvane::pool::ThreadPool pool(threads);
        EXPECT_EQ(bits(pool.install([&] { return run_f32(q, d, level); })), f32) << threads;
        EXPECT_EQ(bits(pool.install([&] { return run_codes(c, quantizer, level); })), codes) << threads;
    }
}

TEST(MaxSim, DecodedSizesBeyondTheMachineWordAreTooLarge) {
    // Zero strides let a tiny buffer stand for items x tokens beyond the
    // machine word: refused as too large for memory, never wrapped.
    const std::uint8_t code = 0;
    const float meta[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const std::size_t half = std::size_t{1} << (sizeof(std::size_t) * 4 + 1);
    ArrayView3 q_codes{reinterpret_cast<const std::byte*>(&code), {half, half, 1}, {0, 0, 0}};
    ArrayView3 q_meta{reinterpret_cast<const std::byte*>(meta), {half, half, 4}, {0, 0, 4}};
    ArrayView3 d_codes{reinterpret_cast<const std::byte*>(&code), {0, 1, 1}, {0, 0, 0}};
    ArrayView3 d_meta{reinterpret_cast<const std::byte*>(meta), {0, 1, 4}, {0, 0, 4}};
    const RotationalQuantizer quantizer(8, 8);
    EXPECT_THROW(torvane::maxsim::max_sim_quantized(quantizer, q_codes, q_meta, d_codes, d_meta, {}),
                 torvane::CapacityError);
    EXPECT_THROW(torvane::maxsim::max_sim_quantized(quantizer, d_codes, d_meta, q_codes, q_meta, {}),
                 torvane::CapacityError);
}

}  // namespace
