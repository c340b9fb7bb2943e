#include "backend/simd/vector_kernels.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "backend/pool/thread_pool.hpp"
#include "backend/simd/kernel_table.hpp"
#include "common/fault.hpp"
#include "common/numeric.hpp"
#include "common/page_advice.hpp"
#include "common/scratch.hpp"

namespace torvane::simd {
namespace {

// Squared norms and norms at or below this count as zero.
constexpr float kNormFloor = 1e-6f;

// The normalised and packed rows of a call stay with the calling thread
// (common/scratch.hpp) up to this size each; larger ones are allocated per
// call, their page faults being few next to their arithmetic.
constexpr std::size_t kKeptScratchFloats = (std::size_t{16} << 20) / sizeof(float);
constexpr const char* kRowsTooLarge = "similarity_matrix: the rows do not fit in memory";

thread_local KeptScratch kept_unit_rows;
thread_local KeptScratch kept_packed_rows;

// The implementations, best first, with the CPU features each needs.
const Dispatch<KernelTable>& dispatch() {
    static const Dispatch<KernelTable> table{
        {SimdLevel::Avx512, cpu::kAvx512F | cpu::kAvx512VL, avx512_kernels()},
        {SimdLevel::Avx2, cpu::kAvx2, avx2_kernels()},
        {SimdLevel::Scalar, 0, &scalar_kernels()},
    };
    return table;
}

const KernelTable& kernels(SimdLevel level) {
    const KernelTable* table = dispatch().runnable(level);
    TORVANE_CHECK(table != nullptr,
                  "vector kernels: instruction set " + std::string(simd_level_name(level)) + " is not available");
    return *table;
}

}  // namespace

bool simd_level_available(SimdLevel level) { return dispatch().runnable(level) != nullptr; }

SimdLevel best_simd_level() { return dispatch().chosen_level(); }

float dot(std::span<const float> a, std::span<const float> b, SimdLevel level) {
    TORVANE_CHECK(b.size() >= a.size(), "dot: the second vector is shorter than the first");
    return kernels(level).dot(a.data(), b.data(), a.size());
}

float cosine(std::span<const float> a, std::span<const float> b, SimdLevel level) {
    TORVANE_CHECK(b.size() >= a.size(), "cosine: the second vector is shorter than the first");
    float sums[3];
    kernels(level).cosine_sums(a.data(), b.data(), a.size(), sums);
    const float norm_a = std::sqrt(sums[1]);
    const float norm_b = std::sqrt(sums[2]);
    if (norm_a > kNormFloor && norm_b > kNormFloor) return sums[0] / (norm_a * norm_b);
    return 0.0f;
}

float masked_sum(std::span<const float> values, std::span<const std::uint8_t> selection) {
    const std::size_t count = std::min(values.size(), selection.size());
    float sum = -0.0f;
    // Selections are mostly zero bytes: eight at a time are skipped when
    // none is set, which leaves the additions and their order as they are.
    std::size_t k = 0;
    for (; count - k >= 8; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, selection.data() + k, sizeof word);
        if (word == 0) continue;
        for (std::size_t b = k; b < k + 8; ++b) {
            if (selection[b] != 0) sum = sum + values[b];
        }
    }
    for (; k < count; ++k) {
        if (selection[k] != 0) sum = sum + values[k];
    }
    return sum;
}

namespace {

// Scales each piece of `dim` values of `data` (the last one may be shorter)
// into `out`, the pieces in parallel.
void normalize_into(std::span<const float> data, std::size_t dim, const KernelTable& table, float* out) {
    const std::size_t pieces = data.size() / dim + (data.size() % dim != 0 ? 1 : 0);
    pool::parallel_for(0, pieces, [&](std::size_t p) {
        const std::size_t begin = p * dim;
        const std::size_t len = std::min(dim, data.size() - begin);
        const float* x = data.data() + begin;
        const float ss = table.dot(x, x, len);
        const float scale = ss > kNormFloor ? 1.0f / std::sqrt(ss) : 0.0f;
        float* y = out + begin;
        for (std::size_t k = 0; k < len; ++k) y[k] = scale * x[k];
    });
}

}  // namespace

std::vector<float> normalize_rows(std::span<const float> data, std::size_t dim, SimdLevel level) {
    if (dim == 0) raise_internal("chunk_size must not be zero");
    std::vector<float> out(data.size());
    normalize_into(data, dim, kernels(level), out.data());
    return out;
}

namespace {

// The number of entries of the n x n matrix of n embeddings of dim values,
// after the checks every similarity matrix makes.
std::size_t similarity_entries(std::span<const float> embeddings, std::size_t n, std::size_t dim) {
    if (n == 0 || dim == 0) raise_internal("chunk_size must not be zero");
    // An n x n matrix beyond the machine word cannot be allocated: the input
    // is too large, which is not a fault (a 32-bit word overflows at n = 65536).
    const std::size_t entries = capacity_mul(n, n, "similarity_matrix: the n x n matrix does not fit in memory");
    const std::size_t values = checked_mul(n, dim, "similarity_matrix: n * dim overflows");
    TORVANE_CHECK(embeddings.size() >= values, "similarity_matrix: a row lies outside the embeddings");
    return entries;
}

// Fills all n x n entries of `out`.
void similarity_into(std::span<const float> embeddings, std::size_t n, std::size_t dim, SimdLevel level, float* out) {
    const std::size_t values = n * dim;
    const KernelTable& table = kernels(level);

    // The normalised rows are scratch: every value is written, no zero fill.
    // Rows start on cache-line boundaries when dim allows it.
    const ScratchLease unit(kept_unit_rows, values, kKeptScratchFloats, kRowsTooLarge);
    normalize_into(embeddings.first(values), dim, table, unit.get());

    // The packed copy of the rows, when the kernel reads one: panels of
    // whole groups of rows, on 64-byte boundaries, packed in parallel.
    std::optional<ScratchLease> packed;
    float* packed_rows = nullptr;
    if (table.pack_group_rows != 0) {
        const std::size_t groups = n / table.pack_group_rows + (n % table.pack_group_rows != 0 ? 1 : 0);
        const std::size_t stride = table.packed_group_floats(dim);
        const std::size_t floats = checked_mul(groups, stride, "similarity_matrix: the packed rows overflow");
        packed.emplace(kept_packed_rows, floats, kKeptScratchFloats, kRowsTooLarge);
        packed_rows = packed->get();
        pool::parallel_for(0, groups, [&](std::size_t g) {
            table.pack_group(unit.get(), n, dim, g, packed_rows + g * stride);
        });
    }

    // Block b owns the entries whose larger index is one of its rows, so
    // later blocks have more work. Handing the blocks to the pool as
    // 0, last, 1, last - 1, ... keeps every contiguous range of the
    // parallel loop balanced.
    const std::size_t block_rows = table.similarity_block_rows;
    const std::size_t blocks = n / block_rows + (n % block_rows != 0 ? 1 : 0);
    pool::parallel_for(0, blocks, [&](std::size_t k) {
        const std::size_t block = k % 2 == 0 ? k / 2 : blocks - 1 - k / 2;
        const std::size_t row_begin = block * block_rows;
        const std::size_t row_end = std::min(n, row_begin + block_rows);
        table.similarity_block(unit.get(), packed_rows, n, dim, row_begin, row_end, out);
    });
}

}  // namespace

std::vector<float> similarity_matrix(std::span<const float> embeddings, std::size_t n, std::size_t dim,
                                     SimdLevel level) {
    std::vector<float> out(similarity_entries(embeddings, n, dim));
    similarity_into(embeddings, n, dim, level, out.data());
    return out;
}

std::unique_ptr<float[]> similarity_matrix_buffer(std::span<const float> embeddings, std::size_t n, std::size_t dim,
                                                  SimdLevel level) {
    // Not zero-filled: the kernel writes every entry, and the first writes
    // to the fresh pages happen in the parallel blocks, so the operating
    // system's page faults are spread over the threads too.
    const std::size_t entries = similarity_entries(embeddings, n, dim);
    std::unique_ptr<float[]> out(new float[entries]);
    advise_large_pages(out.get(), entries * sizeof(float));
    similarity_into(embeddings, n, dim, level, out.get());
    return out;
}

std::vector<float> dot_rows(std::span<const float> matrix, std::size_t rows, std::size_t dim,
                            std::span<const float> query, SimdLevel level) {
    const std::size_t values = checked_mul(rows, dim, "dot_rows: rows * dim overflows");
    TORVANE_CHECK(matrix.size() >= values, "dot_rows: a row lies outside the matrix");
    TORVANE_CHECK(query.size() >= dim, "dot_rows: the query is shorter than a row");
    const KernelTable& table = kernels(level);
    std::vector<float> out(rows);
    pool::parallel_pieces(0, rows, [&](std::size_t lo, std::size_t hi) {
        table.dot_many(query.data(), matrix.data() + lo * dim, hi - lo, dim, out.data() + lo);
    });
    return out;
}

std::vector<float> cross_dot(std::span<const float> a, std::size_t n_a, std::size_t dim, std::span<const float> b,
                             std::size_t n_b) {
    TORVANE_CHECK(a.size() == checked_mul(n_a, dim, "cross_dot: n_a * dim overflows"),
                  "cross_dot: the first matrix does not have n_a * dim values");
    TORVANE_CHECK(b.size() == checked_mul(dim, n_b, "cross_dot: dim * n_b overflows"),
                  "cross_dot: the second matrix does not have dim * n_b values");
    std::vector<float> out(checked_mul(n_a, n_b, "cross_dot: n_a * n_b overflows"));
    // One output row at a time, accumulating whole rows of b so that the
    // innermost loop runs over contiguous memory; every entry still sums
    // its products in ascending k from +0.0.
    pool::parallel_for(0, n_a, [&](std::size_t i) {
        float* row = out.data() + i * n_b;
        const float* ai = a.data() + i * dim;
        for (std::size_t k = 0; k < dim; ++k) {
            const float aik = ai[k];
            const float* bk = b.data() + k * n_b;
            for (std::size_t j = 0; j < n_b; ++j) row[j] = row[j] + aik * bk[j];
        }
    });
    return out;
}

void lane_objectives(const LaneObjectiveInput& input, float* out, SimdLevel level) {
    // Working room on 64-byte boundaries.
    struct alignas(64) Block {
        unsigned char bytes[64];
    };
    std::vector<Block> scratch((input.count * kLaneScratchPerMember + 63) / 64 + 1);
    kernels(level).lane_objectives(input, scratch.data(), out);
}

void add_columns(std::span<const float* const> columns, std::span<const std::size_t> own, std::size_t n,
                 double* sum, SimdLevel level) {
    TORVANE_CHECK(columns.size() == own.size(), "add_columns: one own entry per column");
    for (std::size_t j = 0; j < own.size(); ++j) {
        TORVANE_CHECK(own[j] < n && (j == 0 || own[j - 1] < own[j]), "add_columns: own entries must ascend below n");
    }
    kernels(level).add_columns(columns.data(), own.data(), columns.size(), n, sum);
}

bool swap_deltas(const SwapDeltaInput& input, double* out, SimdLevel level) {
    return kernels(level).swap_deltas(input, out);
}

namespace {

// Square tiles of the transpose: a tile of 64 x 64 floats and its mirror
// image (32 KiB together) stay in the first-level cache while one is
// copied into the other. The symmetry test tiles on its own (see there).
constexpr std::size_t kTile = 64;

}  // namespace

bool bitwise_symmetric(std::span<const float> matrix, std::size_t n) {
    TORVANE_CHECK(matrix.size() == checked_mul(n, n, "bitwise_symmetric: n * n overflows"),
                  "bitwise_symmetric: the matrix does not have n * n values");
    // Two levels of tiles. A small tile (64 x 64 words, 16 KiB) is compared
    // word by word with its mirror image, four by four words transposed in
    // registers, so signed zeros and NaN payloads count. Its rows are 256
    // bytes long, enough for the hardware to fetch the mirror's rows ahead
    // (with rows of 128 bytes the check ran at 5 GB/s at n = 5000, with 256
    // at 8). The small tiles are visited block by block (256 x 256), so that
    // the pages one block and its mirror touch stay within the
    // address-translation cache, and so that block rows share the threads
    // evenly.
    constexpr std::size_t kSmall = 64;
    constexpr std::size_t kBlock = 256;
    const std::size_t blocks = n / kBlock + (n % kBlock != 0 ? 1 : 0);
    std::atomic<bool> differs{false};
    // Entries are compared as their bit patterns, copied byte for byte (a
    // float load could quiet a signalling NaN on some targets).
    const float* const values = matrix.data();
    const auto word = [values](std::size_t index) {
        std::uint32_t w;
        std::memcpy(&w, values + index, sizeof w);
        return w;
    };
    const auto tile_differs = [&](std::size_t r0, std::size_t c0) {
        const std::size_t r1 = std::min(n, r0 + kSmall);
        const std::size_t c1 = std::min(n, c0 + kSmall);
        // Quads of four words: a 4 x 4 block of the tile against the
        // transpose of its mirror block, transposed in registers.
        typedef std::uint32_t Quad __attribute__((vector_size(16)));
#if defined(__clang__)
#define TORVANE_SHUFFLE(a, b, i, j, k, l) __builtin_shufflevector(a, b, i, j, k, l)
#else
        typedef std::int32_t Order __attribute__((vector_size(16)));
#define TORVANE_SHUFFLE(a, b, i, j, k, l) __builtin_shuffle(a, b, Order{i, j, k, l})
#endif
        const auto load = [&](std::size_t row, std::size_t column) {
            Quad q;
            std::memcpy(&q, values + row * n + column, sizeof q);
            return q;
        };
        Quad difference = {0, 0, 0, 0};
        std::size_t i = r0;
        for (; r1 - i >= 4; i += 4) {
            std::size_t j = c0;
            for (; c1 - j >= 4; j += 4) {
                const Quad m0 = load(j, i), m1 = load(j + 1, i), m2 = load(j + 2, i), m3 = load(j + 3, i);
                const Quad lo01 = TORVANE_SHUFFLE(m0, m1, 0, 4, 1, 5);
                const Quad hi01 = TORVANE_SHUFFLE(m0, m1, 2, 6, 3, 7);
                const Quad lo23 = TORVANE_SHUFFLE(m2, m3, 0, 4, 1, 5);
                const Quad hi23 = TORVANE_SHUFFLE(m2, m3, 2, 6, 3, 7);
                difference |= load(i, j) ^ TORVANE_SHUFFLE(lo01, lo23, 0, 1, 4, 5);
                difference |= load(i + 1, j) ^ TORVANE_SHUFFLE(lo01, lo23, 2, 3, 6, 7);
                difference |= load(i + 2, j) ^ TORVANE_SHUFFLE(hi01, hi23, 0, 1, 4, 5);
                difference |= load(i + 3, j) ^ TORVANE_SHUFFLE(hi01, hi23, 2, 3, 6, 7);
            }
            for (; j < c1; ++j) {
                for (std::size_t k = i; k < i + 4; ++k) difference[0] |= word(k * n + j) ^ word(j * n + k);
            }
        }
        for (; i < r1; ++i) {
            for (std::size_t j = c0; j < c1; ++j) difference[0] |= word(i * n + j) ^ word(j * n + i);
        }
        return (difference[0] | difference[1] | difference[2] | difference[3]) != 0;
#undef TORVANE_SHUFFLE
    };
    // Block row b compares its blocks left of and on the diagonal, and stops
    // at the first difference found anywhere.
    pool::parallel_for(0, blocks, [&](std::size_t b) {
        const std::size_t br0 = b * kBlock;
        const std::size_t br1 = std::min(n, br0 + kBlock);
        for (std::size_t bc0 = 0; bc0 <= br0; bc0 += kBlock) {
            const std::size_t bc1 = std::min(n, bc0 + kBlock);
            for (std::size_t r0 = br0; r0 < br1; r0 += kSmall) {
                if (differs.load(std::memory_order_relaxed)) return;
                for (std::size_t c0 = bc0; c0 < bc1 && c0 <= r0; c0 += kSmall) {
                    if (tile_differs(r0, c0)) {
                        differs.store(true, std::memory_order_relaxed);
                        return;
                    }
                }
            }
        }
    });
    return !differs.load();
}

std::vector<float> transpose(std::span<const float> matrix, std::size_t n) {
    TORVANE_CHECK(matrix.size() == checked_mul(n, n, "transpose: n * n overflows"),
                  "transpose: the matrix does not have n * n values");
    std::vector<float> out(matrix.size());
    const std::size_t tiles = n / kTile + (n % kTile != 0 ? 1 : 0);
    pool::parallel_for(0, tiles, [&](std::size_t t) {
        const std::size_t r0 = t * kTile;
        const std::size_t r1 = std::min(n, r0 + kTile);
        for (std::size_t c0 = 0; c0 < n; c0 += kTile) {
            const std::size_t c1 = std::min(n, c0 + kTile);
            for (std::size_t i = r0; i < r1; ++i) {
                for (std::size_t j = c0; j < c1; ++j) out[j * n + i] = matrix[i * n + j];
            }
        }
    });
    return out;
}

}  // namespace torvane::simd
