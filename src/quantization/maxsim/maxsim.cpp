#include "quantization/maxsim/maxsim.hpp"

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"
#include "quantization/maxsim/maxsim_kernels.hpp"
#include "quantization/maxsim/scoring_steps.hpp"

namespace torvane::maxsim {
namespace {

// The implementations, best first, with the CPU features each needs.
const Dispatch<KernelTable>& dispatch() {
    static const Dispatch<KernelTable> table{
        {KernelLevel::Avx512,
         cpu::kAvx512F | cpu::kAvx512VL | cpu::kAvx512BW | cpu::kAvx512Vnni | cpu::kAvx512Vpopcntdq | cpu::kPopcnt,
         avx512_kernels()},
        {KernelLevel::Avx2, cpu::kAvx2 | cpu::kPopcnt, avx2_kernels()},
        {KernelLevel::Scalar, 0, &scalar_kernels()},
    };
    return table;
}

const KernelTable& kernels(KernelLevel level) {
    const KernelTable* table = dispatch().runnable(level);
    TORVANE_CHECK(table != nullptr, "maxsim: instruction set " + std::string(kernel_level_name(level)) +
                                        " is not available");
    return *table;
}

// Sizes of the decoded arrays; a product beyond the machine word describes
// more memory than can exist.
std::size_t checked_mul(std::size_t a, std::size_t b) {
    return capacity_mul(a, b, "maxsim: the arrays are too large to be scored");
}

constexpr std::size_t kNoSize = ~std::size_t{0};

std::string shape_text(std::size_t a, std::size_t b, std::size_t c) {
    std::string text(1, '(');
    text.append(std::to_string(a)).append(", ").append(std::to_string(b)).append(", ");
    text.append(std::to_string(c)).append(1, ')');
    return text;
}

std::string shape_text(const ArrayView3& v) { return shape_text(v.shape[0], v.shape[1], v.shape[2]); }

using steps::CodeLayout;
using steps::read_lanes;
using steps::sum_best;

// Scores every query against every document. The longer of the two ranges
// is the parallel loop, so that a batch of one query (the common case of a
// search) or of one document still spreads over the threads. With the
// queries split, the documents are the outer loop within a piece, so that
// each document is read from memory once per piece and stays in cache while
// the piece's queries are scored against it; with the documents split, each
// document is read once and the queries stay in cache. Every score is
// computed on its own, so the split never changes a bit.
//
// `start()` makes what one piece works with: its `document(j)` prepares
// document j before the piece's queries are scored against it, and
// `best(i, j, best)` writes query i's best token scores against it.
template <class Start>
void score_all(std::size_t queries, std::size_t documents, std::size_t query_tokens, std::span<float> out,
               Start&& start) {
    if (queries >= documents) {
        pool::parallel_pieces(0, queries, [&](std::size_t lo, std::size_t hi) {
            auto worker = start();
            std::vector<float> best(query_tokens);
            for (std::size_t j = 0; j < documents; ++j) {
                worker.document(j);
                for (std::size_t i = lo; i < hi; ++i) {
                    worker.best(i, j, best.data());
                    out[i * documents + j] = sum_best(best.data(), query_tokens);
                }
            }
        });
    } else {
        pool::parallel_pieces(0, documents, [&](std::size_t lo, std::size_t hi) {
            auto worker = start();
            std::vector<float> best(query_tokens);
            for (std::size_t j = lo; j < hi; ++j) {
                worker.document(j);
                for (std::size_t i = 0; i < queries; ++i) {
                    worker.best(i, j, best.data());
                    out[i * documents + j] = sum_best(best.data(), query_tokens);
                }
            }
        });
    }
}

// A piece's state when documents need no preparation.
template <class Best>
struct Unprepared {
    const Best* best_of;
    void document(std::size_t) const {}
    void best(std::size_t i, std::size_t j, float* best) const { (*best_of)(i, j, best); }
};

template <class Best>
auto unprepared(const Best& best_of) {
    return [&best_of] { return Unprepared<Best>{&best_of}; };
}

// ---------------------------------------------------------------------------
// Decoding of quantized codes into the packed layout of maxsim_kernels.hpp.

void read_meta(const ArrayView3& meta, std::size_t item, std::size_t token, float out[4]) {
    const std::byte* p = meta.row(item, token);
    for (std::size_t k = 0; k < 4; ++k) std::memcpy(&out[k], p + static_cast<std::ptrdiff_t>(k) * meta.strides[2], 4);
}

struct DecodedQueries {
    std::unique_ptr<std::uint8_t[]> lanes;
    std::unique_ptr<QueryTokenMeta[]> meta;
    std::size_t tokens_per_query = 0;
    std::size_t token_bytes = 0;

    PackedQuery query(std::size_t i) const {
        return {lanes.get() + i * tokens_per_query * token_bytes, meta.get() + i * tokens_per_query,
                tokens_per_query};
    }
};

DecodedQueries decode_queries(const CodeLayout& layout, const ArrayView3& codes, const ArrayView3& meta) {
    DecodedQueries out;
    const std::size_t count = codes.shape[0];
    out.tokens_per_query = codes.shape[1];
    out.token_bytes = layout.groups * kGroupBytes;
    const std::size_t tokens = checked_mul(count, out.tokens_per_query);
    out.lanes = std::make_unique_for_overwrite<std::uint8_t[]>(checked_mul(tokens, out.token_bytes));
    out.meta = std::make_unique_for_overwrite<QueryTokenMeta[]>(tokens);
    const std::uint8_t flip = steps::query_flip(layout);
    pool::parallel_for(0, count, [&](std::size_t i) {
        for (std::size_t t = 0; t < out.tokens_per_query; ++t) {
            const std::size_t index = i * out.tokens_per_query + t;
            read_lanes(codes.row(i, t), codes.strides[2], layout, flip, out.lanes.get() + index * out.token_bytes);
            float m[4];
            read_meta(meta, i, t, m);
            out.meta[index] = steps::query_token_meta(m, layout);
        }
    });
    return out;
}

struct DecodedDocuments {
    std::unique_ptr<std::uint8_t[]> lanes;
    std::unique_ptr<float[]> scale;
    std::unique_ptr<float[]> offset;
    std::unique_ptr<float[]> code_sum;
    std::unique_ptr<std::uint32_t[]> correction;
    std::size_t tokens_per_document = 0;
    std::size_t slots_per_document = 0;  // tokens rounded up to whole blocks
    std::size_t bytes_per_document = 0;

    PackedDocument document(std::size_t j) const {
        const std::size_t s = j * slots_per_document;
        return {lanes.get() + j * bytes_per_document, scale.get() + s, offset.get() + s, code_sum.get() + s,
                correction.get() + s, tokens_per_document};
    }
};

DecodedDocuments decode_documents(const CodeLayout& layout, const ArrayView3& codes, const ArrayView3& meta) {
    DecodedDocuments out;
    const std::size_t count = codes.shape[0];
    const std::size_t tokens = codes.shape[1];
    const std::size_t blocks = tokens / kBlockTokens + (tokens % kBlockTokens != 0 ? 1 : 0);
    out.tokens_per_document = tokens;
    out.slots_per_document = blocks * kBlockTokens;
    out.bytes_per_document = checked_mul(checked_mul(blocks, layout.groups), kBlockGroupBytes);
    const std::size_t slots = checked_mul(count, out.slots_per_document);
    out.lanes = std::make_unique_for_overwrite<std::uint8_t[]>(checked_mul(count, out.bytes_per_document));
    out.scale = std::make_unique_for_overwrite<float[]>(slots);
    out.offset = std::make_unique_for_overwrite<float[]>(slots);
    out.code_sum = std::make_unique_for_overwrite<float[]>(slots);
    out.correction = std::make_unique_for_overwrite<std::uint32_t[]>(slots);
    const std::size_t row_bytes = layout.groups * kGroupBytes;
    pool::parallel_for(0, count, [&](std::size_t j) {
        std::vector<std::uint8_t> row(row_bytes);
        std::uint8_t* dst = out.lanes.get() + j * out.bytes_per_document;
        const std::size_t first = j * out.slots_per_document;
        for (std::size_t u = 0; u < out.slots_per_document; ++u) {
            std::uint32_t lane_sum = 0;
            float m[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            if (u < tokens) {
                lane_sum = read_lanes(codes.row(j, u), codes.strides[2], layout, 0, row.data());
                read_meta(meta, j, u, m);
            } else if (row_bytes > 0) {
                std::memset(row.data(), 0, row_bytes);
            }
            steps::store_document_token(layout, row.data(), lane_sum, m, u, dst, out.scale.get() + first,
                                        out.offset.get() + first, out.code_sum.get() + first,
                                        out.correction.get() + first);
        }
    });
    return out;
}

void check_meta(const ArrayView3& codes, const ArrayView3& meta, const char* codes_name, const char* meta_name) {
    if (codes.shape[0] == 0 || codes.shape[1] == 0) return;  // no token reads any metadata
    if (meta.shape[0] >= codes.shape[0] && meta.shape[1] >= codes.shape[1] && meta.shape[2] >= 4) return;
    raise_internal(std::string("compute_max_sim_batch: ") + meta_name + " has shape " + shape_text(meta) + " but " +
                   codes_name + " of shape " + shape_text(codes) + " needs at least " +
                   shape_text(codes.shape[0], codes.shape[1], 4) +
                   " (scale, offset, code sum and extra for every token)");
}

}  // namespace

const KernelTable& kernel_table(KernelLevel level) { return kernels(level); }

std::string_view kernel_level_name(KernelLevel level) { return simd_level_name(level); }

bool kernel_level_available(KernelLevel level) { return dispatch().runnable(level) != nullptr; }

KernelLevel best_kernel_level() { return dispatch().chosen_level(); }

void max_sim_f32(const ArrayView3& q, const ArrayView3& d, std::span<float> out, KernelLevel level) {
    const KernelTable& table = kernels(level);
    const std::size_t queries = q.shape[0];
    const std::size_t documents = d.shape[0];
    const std::size_t dim = q.shape[2];
    TORVANE_CHECK(d.shape[2] == dim, "compute_max_sim_batch_f32: the vectors of q_vecs have " + std::to_string(dim) +
                                         " values but those of d_vecs " + std::to_string(d.shape[2]));
    TORVANE_CHECK(out.size() == checked_mul(queries, documents),
                  "compute_max_sim_batch_f32: the result does not hold one score per query and document");
    // A vector of at most one value is contiguous whatever its stride says.
    const auto contiguous = [&](const ArrayView3& a, const char* name) {
        if (a.shape[0] == 0 || a.shape[1] == 0 || dim <= 1 ||
            a.strides[2] == static_cast<std::ptrdiff_t>(sizeof(float))) {
            return;
        }
        raise_internal(std::string("compute_max_sim_batch_f32: the token vectors of ") + name +
                       " are not contiguous along their last axis (a stride of " + std::to_string(a.strides[2]) +
                       " bytes instead of 4)");
    };
    contiguous(q, "q_vecs");
    contiguous(d, "d_vecs");

    const auto query_tokens = [&](std::size_t i) { return FloatTokens{q.row(i, 0), q.strides[1], q.shape[1]}; };
    // Queries in the kernel's packed form, made once per call.
    const std::size_t packed_size = table.float_packed_size(q.shape[1], dim);
    const std::size_t document_size = table.float_document_size(d.shape[1], dim);
    if (packed_size == kNoSize || document_size == kNoSize) raise_capacity("maxsim: the arrays are too large to be scored");
    std::unique_ptr<float[]> packed;
    if (packed_size > 0) {
        packed = std::make_unique_for_overwrite<float[]>(checked_mul(queries, packed_size));
        pool::parallel_for(0, queries,
                            [&](std::size_t i) { table.float_pack(query_tokens(i), dim, packed.get() + i * packed_size); });
    }
    // Each document is packed once per piece, into a buffer the piece keeps.
    struct Piece {
        const KernelTable* table;
        const ArrayView3* q;
        const ArrayView3* d;
        const float* packed_queries;
        std::size_t packed_size;
        std::size_t dim;
        steps::PieceBuffer packed_document;
        FloatTokens document_tokens{};
        FloatTokens next_tokens{};
        bool fetch_next = false;

        void document(std::size_t j) {
            document_tokens = FloatTokens{d->row(j, 0), d->strides[1], d->shape[1]};
            if (packed_document.data()) table->float_document_pack(document_tokens, dim, packed_document.data());
            // The next document in this piece's order (the next index or,
            // when the queries are split, the same loop), fetched while the
            // first query is scored against this one.
            fetch_next = j + 1 < d->shape[0];
            if (fetch_next) next_tokens = FloatTokens{d->row(j + 1, 0), d->strides[1], d->shape[1]};
        }
        void best(std::size_t i, std::size_t, float* best) {
            const FloatTokens query{q->row(i, 0), q->strides[1], q->shape[1]};
            table->float_best(query, packed_queries ? packed_queries + i * packed_size : nullptr, document_tokens,
                              packed_document.data(), fetch_next ? &next_tokens : nullptr, dim, best);
            fetch_next = false;
        }
    };
    score_all(queries, documents, q.shape[1], out, [&] {
        return Piece{&table, &q, &d, packed.get(), packed_size, dim, steps::PieceBuffer(document_size)};
    });
}

void max_sim_quantized(const quant::RotationalQuantizer& quantizer, const ArrayView3& q_codes,
                       const ArrayView3& q_meta, const ArrayView3& d_codes, const ArrayView3& d_meta,
                       std::span<float> out, KernelLevel level) {
    const KernelTable& table = kernels(level);
    const std::size_t queries = q_codes.shape[0];
    const std::size_t documents = d_codes.shape[0];
    TORVANE_CHECK(out.size() == checked_mul(queries, documents),
                  "compute_max_sim_batch: the result does not hold one score per query and document");
    check_meta(q_codes, q_meta, "q_codes", "q_meta");
    check_meta(d_codes, d_meta, "d_codes", "d_meta");
    const bool compared = queries > 0 && q_codes.shape[1] > 0 && documents > 0 && d_codes.shape[1] > 0;
    if (compared && d_codes.shape[2] < q_codes.shape[2]) {
        raise_internal("compute_max_sim_batch: document tokens have " + std::to_string(d_codes.shape[2]) +
                       " code bytes, fewer than the " + std::to_string(q_codes.shape[2]) +
                       " of the query tokens (index out of range)");
    }

    CodeLayout layout;
    layout.bits = static_cast<unsigned>(quantizer.num_bits());
    layout.bytes = compared ? q_codes.shape[2] : 0;
    layout.lanes = layout.bits == 4 ? checked_mul(layout.bytes, 2) : layout.bytes;
    layout.groups = layout.lanes / kGroupBytes + (layout.lanes % kGroupBytes != 0 ? 1 : 0);
    layout.padded_dim = static_cast<float>(quantizer.padded_dim());

    const DecodedQueries decoded_queries = decode_queries(layout, q_codes, q_meta);
    const DecodedDocuments decoded_documents = decode_documents(layout, d_codes, d_meta);
    const std::size_t query_tokens = q_codes.shape[1];

    if (layout.groups == 0) {
        // Tokens without code bytes: the code dot product is 0 and the
        // affine terms are summed in their own order.
        const auto without_codes = [&](std::size_t i, std::size_t j, float* best) {
            const PackedQuery query = decoded_queries.query(i);
            const PackedDocument document = decoded_documents.document(j);
            for (std::size_t t = 0; t < query.count; ++t) {
                const QueryTokenMeta& qm = query.meta[t];
                float m = -std::numeric_limits<float>::infinity();
                for (std::size_t u = 0; u < document.count; ++u) {
                    const float e = layout.bits == 1
                                        ? quant::sign_estimate(layout.padded_dim, 0)
                                        : quant::affine_estimate_without_codes(
                                              qm.scale, qm.offset, qm.code_sum, document.scale[u],
                                              document.offset[u], document.code_sum[u], layout.padded_dim);
                    if (e > m) m = e;
                }
                best[t] = m;
            }
        };
        score_all(queries, documents, query_tokens, out, unprepared(without_codes));
        return;
    }

    const CodeFormat format{layout.bits, layout.groups, layout.padded_dim};
    const auto from_codes = [&](std::size_t i, std::size_t j, float* best) {
        table.code_best(format, decoded_queries.query(i), decoded_documents.document(j), best);
    };
    score_all(queries, documents, query_tokens, out, unprepared(from_codes));
}

}  // namespace torvane::maxsim
