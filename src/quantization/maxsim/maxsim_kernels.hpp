#pragma once
// The per-instruction-set MaxSim kernels behind maxsim.hpp and the packed
// layout of decoded codes they read. Each table lives in its own
// translation unit compiled with that instruction set's flags; maxsim.cpp
// picks one at run time. The SIMD units use raw pointers and no library
// templates, so that no code compiled for a wider instruction set can be
// shared with (and run by) the other units.
//
// Every kernel computes, for each token t of one query, the best token
// score against the tokens of one document: the largest score that is not a
// NaN, -inf when there is none. When that is a zero, its sign may differ
// from the one the sequential rule (first strictly greater score in token
// order) would keep; the sign cannot show in a score, which sums the bests
// from +0.0.

#include <cstddef>
#include <cstdint>

#include "common/cpu_features.hpp"

namespace torvane::maxsim {

// Tokens of one query or document as float vectors: token t starts at
// data + t * stride and holds `dim` contiguous float32 values (any
// alignment).
struct FloatTokens {
    const std::byte* data;
    std::ptrdiff_t stride;
    std::size_t count;
};

// Packed codes. A token's code bytes are compared as "lanes": 8 bits, one
// lane per byte; 4 bits, one lane per nibble (the low and the high nibble
// of each byte become two consecutive lanes); 1 bit, one lane per byte as
// well, compared bitwise. Lanes are grouped in fours (`groups` groups, the
// last one padded) so that a group is one 32-bit word.
//
// For 8 bits the query's lanes are stored with their top bit flipped, as
// the signed bytes q - 128, and every document token carries the
// correction 128 * (sum of its lanes): sum d * q = sum d * (q - 128) +
// correction, modulo 2^32. Query padding is therefore 0x80 (8 bits) or 0;
// document padding is always 0, so padding adds nothing.
constexpr std::size_t kBlockTokens = 16;  // document tokens per block
constexpr std::size_t kGroupBytes = 4;    // lanes per group
constexpr std::size_t kBlockGroupBytes = kBlockTokens * kGroupBytes;

// One query token's metadata, prepared for the affine estimate.
struct QueryTokenMeta {
    float scale;
    float offset;
    float code_sum;          // float(code sum)
    float offset_times_dim;  // offset * D
};

// The tokens of one query: token t's `groups * 4` lanes at
// lanes + t * groups * 4, its metadata at meta[t].
struct PackedQuery {
    const std::uint8_t* lanes;
    const QueryTokenMeta* meta;
    std::size_t count;
};

// The tokens of one document, in blocks of 16: group g of the token in
// position p of block b is the word at lanes + (b * groups + g) * 64 + p * 4.
// The per-token arrays hold blocks * 16 entries (padding tokens are zero).
struct PackedDocument {
    const std::uint8_t* lanes;
    const float* scale;
    const float* offset;
    const float* code_sum;             // float(code sum)
    const std::uint32_t* correction;   // 8 bits: 128 * lane sum; otherwise 0
    std::size_t count;
};

struct CodeFormat {
    unsigned bits;      // 1, 4 or 8
    std::size_t groups; // >= 1; tokens without code bytes are scored by the driver
    float padded_dim;   // D
};

struct KernelTable {
    // Floats one query of `tokens` tokens takes in the kernel's packed form
    // (0 when the kernel reads the query in place; SIZE_MAX when the count
    // does not fit in a size), and the packing.
    std::size_t (*float_packed_size)(std::size_t tokens, std::size_t dim);
    void (*float_pack)(const FloatTokens& query, std::size_t dim, float* packed);
    // The same for one document. A document is packed once and then scored
    // against many queries.
    std::size_t (*float_document_size)(std::size_t tokens, std::size_t dim);
    void (*float_document_pack)(const FloatTokens& document, std::size_t dim, float* packed);
    // best[t] for every query token t, `dim` values per vector; `packed` is
    // the query packed by float_pack, `packed_document` the document packed
    // by float_document_pack. The tokens of `ahead` (when not null), to be
    // scored next, are fetched into the caches meanwhile.
    void (*float_best)(const FloatTokens& query, const float* packed, const FloatTokens& document,
                       const float* packed_document, const FloatTokens* ahead, std::size_t dim, float* best);
    // best[t] for every query token t from packed codes.
    void (*code_best)(const CodeFormat& format, const PackedQuery& query, const PackedDocument& document,
                      float* best);
};

using KernelLevel = SimdLevel;

// The table of an available level (an internal error otherwise); the one
// choice every MaxSim driver goes through.
const KernelTable& kernel_table(KernelLevel level);

const KernelTable& scalar_kernels();
// nullptr when the build has no such unit (not an x86 target).
const KernelTable* avx2_kernels();
const KernelTable* avx512_kernels();

}  // namespace torvane::maxsim
