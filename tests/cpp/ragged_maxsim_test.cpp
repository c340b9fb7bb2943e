// The variable-length MaxSim driver against the dense one, pair by pair, on
// every instruction set; the top-k merge against a sort of the full matrix;
// and the rotational encoder against exact inner products.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"
#include "quantization/fwht/fwht.hpp"
#include "quantization/maxsim/maxsim.hpp"
#include "quantization/maxsim/ragged.hpp"
#include "quantization/rotational/encoder.hpp"
#include "quantization/rotational/rotational_quantizer.hpp"

namespace {

using namespace torvane;
using maxsim::ArrayView3;
using maxsim::KernelLevel;

std::vector<KernelLevel> available_levels() {
    std::vector<KernelLevel> levels;
    for (const KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (maxsim::kernel_level_available(level)) levels.push_back(level);
    }
    return levels;
}

std::vector<std::int64_t> offsets_of(const std::vector<std::size_t>& lengths) {
    std::vector<std::int64_t> offsets(lengths.size() + 1, 0);
    for (std::size_t i = 0; i < lengths.size(); ++i) offsets[i + 1] = offsets[i] + static_cast<std::int64_t>(lengths[i]);
    return offsets;
}

std::vector<float> random_tokens(std::mt19937& rng, std::size_t count, std::size_t dim) {
    std::normal_distribution<float> normal;
    std::vector<float> out(count * dim);
    for (float& v : out) v = normal(rng);
    return out;
}

// One item of a packed batch as a dense (1, T, width) view.
template <class T>
ArrayView3 item_view(const T* rows, std::size_t width, const std::vector<std::int64_t>& offsets, std::size_t i) {
    const auto size = static_cast<std::ptrdiff_t>(sizeof(T));
    const std::size_t count = static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
    const auto token = static_cast<std::ptrdiff_t>(width) * size;
    return {reinterpret_cast<const std::byte*>(rows + static_cast<std::size_t>(offsets[i]) * width),
            {1, count, width},
            {static_cast<std::ptrdiff_t>(count) * token, token, size}};
}

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

const std::vector<std::size_t> kQueryLengths = {3, 0, 17, 1, 32};
const std::vector<std::size_t> kDocumentLengths = {4, 0, 1, 15, 16, 17, 33, 0, 70, 2};

TEST(RaggedMaxSim, FloatScoresEqualTheDenseDriverPairByPair) {
    std::mt19937 rng(5);
    for (const std::size_t dim : {0u, 1u, 7u, 16u, 37u, 128u}) {
        const auto q_offsets = offsets_of(kQueryLengths);
        const auto d_offsets = offsets_of(kDocumentLengths);
        const auto q = random_tokens(rng, static_cast<std::size_t>(q_offsets.back()), dim);
        const auto d = random_tokens(rng, static_cast<std::size_t>(d_offsets.back()), dim);
        const std::size_t nq = kQueryLengths.size(), nd = kDocumentLengths.size();
        for (const KernelLevel level : available_levels()) {
            std::vector<float> out(nq * nd);
            maxsim::max_sim_f32_ragged({q.data(), dim, q_offsets}, {d.data(), dim, d_offsets}, out, level);
            for (std::size_t i = 0; i < nq; ++i) {
                for (std::size_t j = 0; j < nd; ++j) {
                    float expected = 0.0f;
                    maxsim::max_sim_f32(item_view(q.data(), dim, q_offsets, i), item_view(d.data(), dim, d_offsets, j),
                                        std::span<float>(&expected, 1), level);
                    ASSERT_TRUE(same_bits(out[i * nd + j], expected))
                        << maxsim::kernel_level_name(level) << " dim " << dim << " [" << i << ", " << j << "]";
                }
            }
        }
    }
}

TEST(RaggedMaxSim, FloatDocumentsOfAlternatingLengthsMatchTheScalarKernels) {
    // Each piece packs its documents into one buffer sized for the longest;
    // long and short documents alternate so that a short one follows a long
    // one in the same buffer. Queries cross a chunk of 16 token pairs.
    std::mt19937 rng(7);
    const auto q_offsets = offsets_of({33, 1, 0, 34, 2});
    const auto d_offsets = offsets_of({40, 1, 0, 33, 7, 64, 2, 9});
    const std::size_t nq = 5, nd = 8;
    for (const std::size_t dim : {385u, 9u, 1u, 383u}) {
        const auto q = random_tokens(rng, static_cast<std::size_t>(q_offsets.back()), dim);
        const auto d = random_tokens(rng, static_cast<std::size_t>(d_offsets.back()), dim);
        std::vector<float> expected(nq * nd);
        maxsim::max_sim_f32_ragged({q.data(), dim, q_offsets}, {d.data(), dim, d_offsets}, expected,
                                   KernelLevel::Scalar);
        for (const KernelLevel level : available_levels()) {
            for (const std::size_t threads : {1u, 3u}) {
                pool::ThreadPool pool(threads);
                std::vector<float> out(nq * nd);
                pool.install([&] {
                    maxsim::max_sim_f32_ragged({q.data(), dim, q_offsets}, {d.data(), dim, d_offsets}, out, level);
                });
                for (std::size_t k = 0; k < out.size(); ++k) {
                    ASSERT_TRUE(same_bits(out[k], expected[k]))
                        << maxsim::kernel_level_name(level) << ", dim " << dim << ", " << threads << " threads, ["
                        << k / nd << ", " << k % nd << "]";
                }
            }
        }
    }
}

TEST(RaggedMaxSim, CodeScoresEqualTheDenseDriverPairByPair) {
    std::mt19937 rng(6);
    const auto q_offsets = offsets_of(kQueryLengths);
    const auto d_offsets = offsets_of(kDocumentLengths);
    const std::size_t nq = kQueryLengths.size(), nd = kDocumentLengths.size();
    for (const std::size_t bits : {1u, 4u, 8u}) {
        for (const std::size_t dim : {1u, 5u, 64u, 100u}) {
            const quant::RotationalQuantizer quantizer(dim, bits);
            const std::size_t bytes = quant::code_bytes(quantizer);
            const auto encode = [&](const std::vector<std::int64_t>& offsets, std::vector<std::uint8_t>& codes,
                                    std::vector<float>& meta) {
                const auto count = static_cast<std::size_t>(offsets.back());
                const auto x = random_tokens(rng, count, dim);
                codes.resize(count * bytes);
                meta.resize(count * 4);
                quant::encode(quantizer, 3, x.data(), count, codes.data(), meta.data());
            };
            std::vector<std::uint8_t> qc, dc;
            std::vector<float> qm, dm;
            encode(q_offsets, qc, qm);
            encode(d_offsets, dc, dm);
            for (const KernelLevel level : available_levels()) {
                std::vector<float> out(nq * nd);
                maxsim::max_sim_quantized_ragged(quantizer, {qc.data(), bytes, qm.data(), q_offsets},
                                                 {dc.data(), bytes, dm.data(), d_offsets}, out, level);
                for (std::size_t i = 0; i < nq; ++i) {
                    for (std::size_t j = 0; j < nd; ++j) {
                        float expected = 0.0f;
                        maxsim::max_sim_quantized(quantizer, item_view(qc.data(), bytes, q_offsets, i),
                                                  item_view(qm.data(), 4, q_offsets, i),
                                                  item_view(dc.data(), bytes, d_offsets, j),
                                                  item_view(dm.data(), 4, d_offsets, j),
                                                  std::span<float>(&expected, 1), level);
                        ASSERT_TRUE(same_bits(out[i * nd + j], expected))
                            << maxsim::kernel_level_name(level) << " bits " << bits << " dim " << dim;
                    }
                }
            }
        }
    }
}

TEST(RaggedMaxSim, TopKIsTheTopOfTheMatrixAcrossBlocks) {
    // More documents than one block, few distinct ones, so that equal scores
    // meet across block boundaries; one NaN-scoring document kind.
    const std::size_t dim = 2, nd = 2 * maxsim::documents_per_block(3) + 37;
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::vector<float>> kinds = {{1.0f, 0.0f}, {inf, 0.0f}, {-1.0f, -1.0f}, {0.5f, 0.5f}, {}};
    std::vector<std::size_t> lengths;
    std::vector<float> d;
    for (std::size_t j = 0; j < nd; ++j) {
        const auto& kind = kinds[(j * 7 + j / 5) % kinds.size()];
        lengths.push_back(kind.size() / dim);
        d.insert(d.end(), kind.begin(), kind.end());
    }
    const auto d_offsets = offsets_of(lengths);
    const std::vector<float> q = {1.0f, 0.0f, 0.0f, 1.0f, 2.0f, 0.0f};
    const auto q_offsets = offsets_of({2, 1, 0});
    const maxsim::RaggedFloats qb{q.data(), dim, q_offsets}, db{d.data(), dim, d_offsets};
    std::vector<float> matrix(3 * nd);
    maxsim::max_sim_f32_ragged(qb, db, matrix);
    for (const std::size_t k : {0u, 1u, 40u, 5000u}) {
        const std::size_t width = maxsim::top_k_width(k, nd);
        std::vector<std::int64_t> indices(3 * width);
        std::vector<float> scores(3 * width);
        maxsim::max_sim_top_k_f32(qb, db, k, indices, scores);
        for (std::size_t i = 0; i < 3; ++i) {
            std::vector<std::size_t> order(nd);
            std::iota(order.begin(), order.end(), 0);
            const float* row = matrix.data() + i * nd;
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                if (std::isnan(row[a]) != std::isnan(row[b])) return std::isnan(row[b]);
                return !std::isnan(row[a]) && row[a] > row[b];
            });
            for (std::size_t r = 0; r < width; ++r) {
                ASSERT_EQ(indices[i * width + r], static_cast<std::int64_t>(order[r])) << "k " << k << " rank " << r;
                ASSERT_TRUE(same_bits(scores[i * width + r], row[order[r]]));
            }
        }
    }
}

TEST(RaggedMaxSim, OffsetsAreChecked) {
    const std::vector<std::int64_t> good = {0, 2, 2, 5};
    EXPECT_TRUE(maxsim::valid_offsets(good, 5));
    EXPECT_FALSE(maxsim::valid_offsets(good, 4));
    EXPECT_FALSE(maxsim::valid_offsets(std::vector<std::int64_t>{}, 0));
    EXPECT_FALSE(maxsim::valid_offsets(std::vector<std::int64_t>{1, 5}, 5));
    EXPECT_FALSE(maxsim::valid_offsets(std::vector<std::int64_t>{0, 3, 2, 5}, 5));
    EXPECT_FALSE(maxsim::valid_offsets(std::vector<std::int64_t>{0, -1, 0}, 0));
    const std::vector<float> tokens(10, 1.0f);
    const std::vector<std::int64_t> backwards = {0, 3, 2, 5};
    std::vector<float> out(3);
    EXPECT_THROW(maxsim::max_sim_f32_ragged({tokens.data(), 2, backwards}, {tokens.data(), 2, good}, out),
                 InternalError);
}

TEST(RotationalEncoder, HadamardTwiceScalesByTheOrder) {
    std::vector<double> x = {1.0, -2.0, 0.5, 3.0, 0.0, 1.0, -1.0, 2.0};
    const auto original = x;
    fwht::transform(x.data(), x.size());
    EXPECT_EQ(x[0], std::accumulate(original.begin(), original.end(), 0.0));
    fwht::transform(x.data(), x.size());
    for (std::size_t k = 0; k < x.size(); ++k) EXPECT_EQ(x[k], 8.0 * original[k]);
}

TEST(RotationalEncoder, EstimatesApproximateInnerProducts) {
    std::mt19937 rng(9);
    const std::size_t dim = 100, count = 64;
    const auto x = random_tokens(rng, count, dim);
    for (const std::size_t bits : {4u, 8u}) {
        const quant::RotationalQuantizer quantizer(dim, bits);
        const std::size_t bytes = quant::code_bytes(quantizer);
        EXPECT_EQ(bytes, 128 * bits / 8);
        std::vector<std::uint8_t> codes(count * bytes);
        std::vector<float> meta(count * 4);
        quant::encode(quantizer, 17, x.data(), count, codes.data(), meta.data());
        double error = 0.0;
        for (std::size_t a = 0; a < count; ++a) {
            for (std::size_t b = 0; b < count; ++b) {
                double exact = 0.0;
                for (std::size_t k = 0; k < dim; ++k) exact += double{x[a * dim + k]} * double{x[b * dim + k]};
                const auto qa = quant::make_quantized_token({codes.data() + a * bytes, bytes}, {meta.data() + a * 4, 4});
                const auto qb = quant::make_quantized_token({codes.data() + b * bytes, bytes}, {meta.data() + b * 4, 4});
                error += std::abs(quant::estimate_inner_product(qa, qb, quantizer) - exact);
            }
        }
        error /= static_cast<double>(count * count);
        // Errors relative to a typical |x| |y| = dim: well under 1% at 8 bits.
        EXPECT_LT(error / static_cast<double>(dim), bits == 8 ? 0.005 : 0.08) << bits << " bits";
    }
}

TEST(RotationalEncoder, ConstantAndZeroVectorsEncodeExactly) {
    const quant::RotationalQuantizer quantizer(4, 8);
    const std::vector<float> x = {0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    std::vector<std::uint8_t> codes(2 * 4);
    std::vector<float> meta(2 * 4);
    quant::encode(quantizer, 0, x.data(), 2, codes.data(), meta.data());
    EXPECT_EQ(meta[0], 0.0f);  // zero vector: scale 0, codes 0, offset 0
    EXPECT_EQ(meta[1], 0.0f);
    EXPECT_EQ(meta[3], 0.0f);
    EXPECT_EQ(meta[4 + 3], 2.0f);  // the norm of (1, 1, 1, 1)
    const auto one = quant::make_quantized_token({codes.data() + 4, 4}, {meta.data() + 4, 4});
    EXPECT_NEAR(quant::estimate_inner_product(one, one, quantizer), 4.0f, 0.05f);
}

}  // namespace
