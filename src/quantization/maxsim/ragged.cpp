#include "quantization/maxsim/ragged.hpp"

#include <algorithm>
#include <cmath>
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

constexpr std::size_t kNoSize = ~std::size_t{0};

std::size_t checked_mul(std::size_t a, std::size_t b) {
    return capacity_mul(a, b, "maxsim: the arrays are too large to be scored");
}

std::size_t first_token(std::span<const std::int64_t> offsets, std::size_t i) {
    return static_cast<std::size_t>(offsets[i]);
}

std::size_t token_count(std::span<const std::int64_t> offsets, std::size_t i) {
    return static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
}

std::size_t total_tokens(std::span<const std::int64_t> offsets) {
    return offsets.empty() ? 0 : static_cast<std::size_t>(offsets.back());
}

void check_offsets(std::span<const std::int64_t> offsets, const char* name) {
    TORVANE_CHECK(valid_offsets(offsets, total_tokens(offsets)),
                  std::string("maxsim: the offsets of ") + name + " do not describe a batch of token rows");
}

std::size_t longest_item(std::span<const std::int64_t> offsets) {
    std::size_t longest = 0;
    for (std::size_t i = 0; i < item_count(offsets); ++i) longest = std::max(longest, token_count(offsets, i));
    return longest;
}

// Float queries, packed once for the kernel; each document packed once per
// piece of the parallel loop, before the piece's queries are scored against
// it.
class FloatScorer {
public:
    FloatScorer(const KernelTable& table, const RaggedFloats& q, const RaggedFloats& d)
        : table_(table), q_(q), d_(d), queries_(item_count(q.offsets)), documents_(item_count(d.offsets)) {
        check_offsets(q.offsets, "the queries");
        check_offsets(d.offsets, "the documents");
        TORVANE_CHECK(q.dim == d.dim, "maxsim: the query vectors have " + std::to_string(q.dim) +
                                          " values but the document vectors " + std::to_string(d.dim));
        longest_query_ = longest_item(q.offsets);
        packed_start_.resize(queries_ + 1, 0);
        for (std::size_t i = 0; i < queries_; ++i) {
            const std::size_t size = table.float_packed_size(token_count(q.offsets, i), q.dim);
            packed_start_[i + 1] = packed_start_[i] + size;
            TORVANE_CHECK(size != kNoSize && packed_start_[i + 1] >= packed_start_[i],
                          "maxsim: the queries are too large to be scored");
        }
        document_size_ = table.float_document_size(longest_item(d.offsets), d.dim);
        if (document_size_ == kNoSize) raise_capacity("maxsim: the documents are too large to be scored");
        if (packed_start_.back() > 0) {
            packed_ = std::make_unique_for_overwrite<float[]>(packed_start_.back());
            pool::parallel_for(0, queries_, [&](std::size_t i) {
                table_.float_pack(query(i), q_.dim, packed_.get() + packed_start_[i]);
            });
        }
    }

    std::size_t queries() const { return queries_; }
    std::size_t documents() const { return documents_; }
    std::size_t longest_query() const { return longest_query_; }
    std::size_t query_tokens(std::size_t i) const { return token_count(q_.offsets, i); }
    // Documents are read in place: a block is only bounded by its scores.
    std::size_t block_end(std::size_t lo, std::size_t most) const { return lo + std::min(most, documents_ - lo); }
    void prepare(std::size_t, std::size_t) {}

    // What one piece of the parallel loop works with: a buffer for the
    // packed form of its current document.
    class Worker {
    public:
        explicit Worker(const FloatScorer& scorer) : scorer_(scorer), packed_document_(scorer.document_size_) {}

        void document(std::size_t j) {
            document_ = tokens(scorer_.d_, j);
            if (packed_document_.data()) {
                scorer_.table_.float_document_pack(document_, scorer_.d_.dim, packed_document_.data());
            }
            // The next document is fetched while the first query is scored
            // against this one.
            fetch_next_ = j + 1 < scorer_.documents_;
            if (fetch_next_) next_ = tokens(scorer_.d_, j + 1);
        }

        void best(std::size_t i, std::size_t, float* best) {
            const float* packed_query = scorer_.packed_ ? scorer_.packed_.get() + scorer_.packed_start_[i] : nullptr;
            scorer_.table_.float_best(scorer_.query(i), packed_query, document_, packed_document_.data(),
                                      fetch_next_ ? &next_ : nullptr, scorer_.q_.dim, best);
            fetch_next_ = false;
        }

    private:
        const FloatScorer& scorer_;
        steps::PieceBuffer packed_document_;
        FloatTokens document_{};
        FloatTokens next_{};
        bool fetch_next_ = false;
    };

    Worker worker() const { return Worker(*this); }

private:
    static FloatTokens tokens(const RaggedFloats& batch, std::size_t i) {
        const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(batch.dim * sizeof(float));
        const std::byte* base = reinterpret_cast<const std::byte*>(batch.tokens);
        const std::size_t first = first_token(batch.offsets, i);
        // No pointer arithmetic on an absent token array (E = 0 or no tokens).
        const std::byte* data = base == nullptr ? base : base + static_cast<std::ptrdiff_t>(first) * stride;
        return {data, stride, token_count(batch.offsets, i)};
    }
    FloatTokens query(std::size_t i) const { return tokens(q_, i); }

    const KernelTable& table_;
    RaggedFloats q_;
    RaggedFloats d_;
    std::size_t queries_;
    std::size_t documents_;
    std::size_t longest_query_ = 0;
    std::vector<std::size_t> packed_start_;
    std::unique_ptr<float[]> packed_;
    std::size_t document_size_ = 0;  // floats of the longest document, packed
};

// Decoded document bytes one block may take.
constexpr std::size_t kDecodedBytesPerBlock = std::size_t{4} << 20;

// Quantized queries, decoded once; documents decoded one block at a time.
class CodeScorer {
public:
    CodeScorer(const KernelTable& table, const quant::RotationalQuantizer& quantizer, const RaggedCodes& q,
               const RaggedCodes& d)
        : table_(table), q_(q), d_(d), queries_(item_count(q.offsets)), documents_(item_count(d.offsets)) {
        check_offsets(q.offsets, "the queries");
        check_offsets(d.offsets, "the documents");
        TORVANE_CHECK(q.bytes == d.bytes, "maxsim: the query tokens have " + std::to_string(q.bytes) +
                                              " code bytes but the document tokens " + std::to_string(d.bytes));
        layout_.bits = static_cast<unsigned>(quantizer.num_bits());
        layout_.bytes = q.bytes;
        layout_.lanes = layout_.bits == 4 ? checked_mul(layout_.bytes, 2) : layout_.bytes;
        layout_.groups = layout_.lanes / kGroupBytes + (layout_.lanes % kGroupBytes != 0 ? 1 : 0);
        layout_.padded_dim = static_cast<float>(quantizer.padded_dim());
        longest_query_ = longest_item(q.offsets);

        const std::size_t tokens = total_tokens(q.offsets);
        token_bytes_ = layout_.groups * kGroupBytes;
        query_lanes_ = std::make_unique_for_overwrite<std::uint8_t[]>(checked_mul(tokens, token_bytes_));
        query_meta_ = std::make_unique_for_overwrite<QueryTokenMeta[]>(tokens);
        const std::uint8_t flip = steps::query_flip(layout_);
        pool::parallel_for(0, queries_, [&](std::size_t i) {
            const std::size_t first = first_token(q_.offsets, i);
            for (std::size_t r = first; r < first + token_count(q_.offsets, i); ++r) {
                steps::read_lanes(code_row(q_, r), 1, layout_, flip, query_lanes_.get() + r * token_bytes_);
                query_meta_[r] = steps::query_token_meta(q_.meta + r * 4, layout_);
            }
        });
    }

    std::size_t queries() const { return queries_; }
    std::size_t documents() const { return documents_; }
    std::size_t longest_query() const { return longest_query_; }
    std::size_t query_tokens(std::size_t i) const { return token_count(q_.offsets, i); }

    // The end of a block from document lo: at most `most` documents whose
    // decoded form takes about kDecodedBytesPerBlock, and at least one.
    std::size_t block_end(std::size_t lo, std::size_t most) const {
        const std::size_t bytes_per_slot = layout_.groups * kGroupBytes + 4 * sizeof(float);
        std::size_t hi = lo;
        std::size_t bytes = 0;
        while (hi < documents_ && hi - lo < most) {
            const std::size_t tokens = token_count(d_.offsets, hi);
            const std::size_t slots = (tokens / kBlockTokens + (tokens % kBlockTokens != 0 ? 1 : 0)) * kBlockTokens;
            bytes += slots * bytes_per_slot;
            if (hi > lo && bytes > kDecodedBytesPerBlock) break;
            ++hi;
        }
        return hi;
    }

    // Decodes documents [lo, hi) into the block buffers.
    void prepare(std::size_t lo, std::size_t hi) {
        block_first_ = lo;
        slot_start_.assign(hi - lo + 1, 0);
        for (std::size_t j = lo; j < hi; ++j) {
            const std::size_t tokens = token_count(d_.offsets, j);
            const std::size_t slots = (tokens / kBlockTokens + (tokens % kBlockTokens != 0 ? 1 : 0)) * kBlockTokens;
            slot_start_[j - lo + 1] = slot_start_[j - lo] + slots;
        }
        const std::size_t slots = slot_start_.back();
        const std::size_t bytes_per_slot = layout_.groups * kGroupBytes;
        grow(lanes_, lanes_size_, checked_mul(slots, bytes_per_slot));
        grow(scale_, scale_size_, slots);
        grow(offset_, offset_size_, slots);
        grow(code_sum_, code_sum_size_, slots);
        grow(correction_, correction_size_, slots);
        pool::parallel_for(lo, hi, [&](std::size_t j) {
            std::vector<std::uint8_t> row(bytes_per_slot);
            const std::size_t first_slot = slot_start_[j - lo];
            const std::size_t slots_here = slot_start_[j - lo + 1] - first_slot;
            const std::size_t tokens = token_count(d_.offsets, j);
            const std::size_t first = first_token(d_.offsets, j);
            for (std::size_t u = 0; u < slots_here; ++u) {
                std::uint32_t lane_sum = 0;
                float m[4] = {0.0f, 0.0f, 0.0f, 0.0f};
                if (u < tokens) {
                    lane_sum = steps::read_lanes(code_row(d_, first + u), 1, layout_, 0, row.data());
                    std::copy(d_.meta + (first + u) * 4, d_.meta + (first + u) * 4 + 4, m);
                } else {
                    std::fill(row.begin(), row.end(), std::uint8_t{0});
                }
                steps::store_document_token(layout_, row.data(), lane_sum, m, u,
                                            lanes_.get() + first_slot * bytes_per_slot, scale_.get() + first_slot,
                                            offset_.get() + first_slot, code_sum_.get() + first_slot,
                                            correction_.get() + first_slot);
            }
        });
    }

    // Documents are decoded block by block (prepare); a piece needs nothing
    // of its own.
    struct Worker {
        const CodeScorer* scorer;
        void document(std::size_t) const {}
        void best(std::size_t i, std::size_t j, float* best) const { scorer->best(i, j, best); }
    };

    Worker worker() const { return Worker{this}; }

    void best(std::size_t i, std::size_t j, float* best) const {
        const std::size_t first = first_token(q_.offsets, i);
        const PackedQuery query{query_lanes_.get() + first * token_bytes_, query_meta_.get() + first,
                                token_count(q_.offsets, i)};
        const std::size_t s = slot_start_[j - block_first_];
        const PackedDocument document{lanes_.get() + s * layout_.groups * kGroupBytes,
                                      scale_.get() + s,
                                      offset_.get() + s,
                                      code_sum_.get() + s,
                                      correction_.get() + s,
                                      token_count(d_.offsets, j)};
        if (layout_.groups == 0) {
            best_without_codes(query, document, best);
            return;
        }
        table_.code_best(CodeFormat{layout_.bits, layout_.groups, layout_.padded_dim}, query, document, best);
    }

private:
    template <class T>
    static void grow(std::unique_ptr<T[]>& buffer, std::size_t& size, std::size_t needed) {
        if (needed <= size && buffer) return;
        buffer = std::make_unique_for_overwrite<T[]>(std::max<std::size_t>(needed, 1));
        size = std::max<std::size_t>(needed, 1);
    }

    static const std::byte* code_row(const RaggedCodes& batch, std::size_t r) {
        return reinterpret_cast<const std::byte*>(batch.codes) + r * batch.bytes;
    }

    // Tokens without code bytes: the code dot product is 0, as in the dense
    // driver.
    void best_without_codes(const PackedQuery& query, const PackedDocument& document, float* best) const {
        for (std::size_t t = 0; t < query.count; ++t) {
            const QueryTokenMeta& qm = query.meta[t];
            float m = -std::numeric_limits<float>::infinity();
            for (std::size_t u = 0; u < document.count; ++u) {
                const float e = layout_.bits == 1
                                    ? quant::sign_estimate(layout_.padded_dim, 0)
                                    : quant::affine_estimate_without_codes(qm.scale, qm.offset, qm.code_sum,
                                                                           document.scale[u], document.offset[u],
                                                                           document.code_sum[u], layout_.padded_dim);
                if (e > m) m = e;
            }
            best[t] = m;
        }
    }

    const KernelTable& table_;
    RaggedCodes q_;
    RaggedCodes d_;
    std::size_t queries_;
    std::size_t documents_;
    std::size_t longest_query_ = 0;
    steps::CodeLayout layout_{};
    std::size_t token_bytes_ = 0;
    std::unique_ptr<std::uint8_t[]> query_lanes_;
    std::unique_ptr<QueryTokenMeta[]> query_meta_;
    std::size_t block_first_ = 0;
    std::vector<std::size_t> slot_start_;
    std::unique_ptr<std::uint8_t[]> lanes_;
    std::unique_ptr<float[]> scale_, offset_, code_sum_;
    std::unique_ptr<std::uint32_t[]> correction_;
    std::size_t lanes_size_ = 0, scale_size_ = 0, offset_size_ = 0, code_sum_size_ = 0, correction_size_ = 0;
};

// Scores every query against documents [lo, hi) into out[i * row_stride +
// (j - lo)]. The longer of the two ranges is the parallel loop, as in the
// dense driver; every score is computed on its own.
template <class Scorer>
void score_block(Scorer& scorer, std::size_t lo, std::size_t hi, float* out, std::size_t row_stride) {
    scorer.prepare(lo, hi);
    const std::size_t queries = scorer.queries();
    if (queries >= hi - lo) {
        pool::parallel_pieces(0, queries, [&](std::size_t qlo, std::size_t qhi) {
            auto worker = scorer.worker();
            std::vector<float> best(scorer.longest_query());
            for (std::size_t j = lo; j < hi; ++j) {
                worker.document(j);
                for (std::size_t i = qlo; i < qhi; ++i) {
                    worker.best(i, j, best.data());
                    out[i * row_stride + (j - lo)] = steps::sum_best(best.data(), scorer.query_tokens(i));
                }
            }
        });
    } else {
        pool::parallel_pieces(lo, hi, [&](std::size_t dlo, std::size_t dhi) {
            auto worker = scorer.worker();
            std::vector<float> best(scorer.longest_query());
            for (std::size_t j = dlo; j < dhi; ++j) {
                worker.document(j);
                for (std::size_t i = 0; i < queries; ++i) {
                    worker.best(i, j, best.data());
                    out[i * row_stride + (j - lo)] = steps::sum_best(best.data(), scorer.query_tokens(i));
                }
            }
        });
    }
}

template <class Scorer>
void score_matrix(Scorer& scorer, std::span<float> out) {
    const std::size_t queries = scorer.queries();
    const std::size_t documents = scorer.documents();
    TORVANE_CHECK(out.size() == checked_mul(queries, documents),
                  "maxsim: the result does not hold one score per query and document");
    if (queries == 0) return;
    const std::size_t block = documents_per_block(queries);
    for (std::size_t lo = 0; lo < documents;) {
        const std::size_t hi = scorer.block_end(lo, block);
        score_block(scorer, lo, hi, out.data() + lo, documents);
        lo = hi;
    }
}

struct Ranked {
    float score;
    std::int64_t index;
};

// Whether a ranks before b: the higher score, NaN below every number, and
// equal scores (or two NaNs) by ascending index.
bool ranks_before(const Ranked& a, const Ranked& b) {
    const bool a_nan = std::isnan(a.score);
    const bool b_nan = std::isnan(b.score);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.score != b.score) return a.score > b.score;
    return a.index < b.index;
}

template <class Scorer>
void top_k(Scorer& scorer, std::size_t k, std::span<std::int64_t> indices, std::span<float> scores) {
    const std::size_t queries = scorer.queries();
    const std::size_t documents = scorer.documents();
    const std::size_t width = top_k_width(k, documents);
    const std::size_t entries = checked_mul(queries, width);
    TORVANE_CHECK(indices.size() == entries && scores.size() == entries,
                  "maxsim: the top-k result does not hold " + std::to_string(width) + " entries per query");
    if (entries == 0) return;
    // Per query, a heap of the best `width` so far whose top is the worst
    // of them; documents arrive in ascending index, so a later document
    // with an equal score never displaces an earlier one.
    std::vector<Ranked> heaps(entries);
    std::vector<std::size_t> filled(queries, 0);
    const std::size_t block = documents_per_block(queries);
    std::vector<float> block_scores(checked_mul(queries, std::min(block, documents)));
    for (std::size_t lo = 0; lo < documents;) {
        const std::size_t hi = scorer.block_end(lo, block);
        score_block(scorer, lo, hi, block_scores.data(), hi - lo);
        // The merge is cheap beside the scoring (one comparison per score
        // against a whole MaxSim); it runs here, without another parallel
        // loop and its synchronisation per block.
        for (std::size_t i = 0; i < queries; ++i) {
            Ranked* heap = heaps.data() + i * width;
            std::size_t& size = filled[i];
            const float* row = block_scores.data() + i * (hi - lo);
            for (std::size_t j = lo; j < hi; ++j) {
                const Ranked candidate{row[j - lo], static_cast<std::int64_t>(j)};
                if (size < width) {
                    heap[size++] = candidate;
                    std::push_heap(heap, heap + size, ranks_before);
                } else if (ranks_before(candidate, heap[0])) {
                    std::pop_heap(heap, heap + size, ranks_before);
                    heap[size - 1] = candidate;
                    std::push_heap(heap, heap + size, ranks_before);
                }
            }
        }
        lo = hi;
    }
    pool::parallel_for(0, queries, [&](std::size_t i) {
        Ranked* heap = heaps.data() + i * width;
        std::sort(heap, heap + width, ranks_before);
        for (std::size_t r = 0; r < width; ++r) {
            indices[i * width + r] = heap[r].index;
            scores[i * width + r] = heap[r].score;
        }
    });
}

}  // namespace

bool valid_offsets(std::span<const std::int64_t> offsets, std::size_t total) {
    if (offsets.empty() || offsets.front() != 0) return false;
    for (std::size_t i = 1; i < offsets.size(); ++i) {
        if (offsets[i] < offsets[i - 1]) return false;
    }
    return static_cast<std::uint64_t>(offsets.back()) == static_cast<std::uint64_t>(total);
}

std::size_t documents_per_block(std::size_t queries) {
    // About four megabytes of scores per block, between 64 and 4096 documents.
    constexpr std::size_t kScoresPerBlock = std::size_t{1} << 20;
    const std::size_t per_query = kScoresPerBlock / std::max<std::size_t>(queries, 1);
    return std::clamp<std::size_t>(per_query, 64, 4096);
}

std::size_t top_k_width(std::size_t k, std::size_t documents) { return std::min(k, documents); }

void max_sim_f32_ragged(const RaggedFloats& q, const RaggedFloats& d, std::span<float> out, KernelLevel level) {
    FloatScorer scorer(kernel_table(level), q, d);
    score_matrix(scorer, out);
}

void max_sim_quantized_ragged(const quant::RotationalQuantizer& quantizer, const RaggedCodes& q,
                              const RaggedCodes& d, std::span<float> out, KernelLevel level) {
    CodeScorer scorer(kernel_table(level), quantizer, q, d);
    score_matrix(scorer, out);
}

void max_sim_top_k_f32(const RaggedFloats& q, const RaggedFloats& d, std::size_t k, std::span<std::int64_t> indices,
                       std::span<float> scores, KernelLevel level) {
    FloatScorer scorer(kernel_table(level), q, d);
    top_k(scorer, k, indices, scores);
}

void max_sim_top_k_quantized(const quant::RotationalQuantizer& quantizer, const RaggedCodes& q, const RaggedCodes& d,
                             std::size_t k, std::span<std::int64_t> indices, std::span<float> scores,
                             KernelLevel level) {
    CodeScorer scorer(kernel_table(level), quantizer, q, d);
    top_k(scorer, k, indices, scores);
}

}  // namespace torvane::maxsim
