#pragma once
// The per-instruction-set kernels behind vector_kernels.hpp. Each table
// lives in its own translation unit, compiled with that instruction set's
// flags; the dispatcher picks one at run time. The SIMD units use raw
// pointers and no library templates, so that no code compiled for a wider
// instruction set can be shared with (and run by) the other units.
//
// All functions assume the caller has checked the lengths.

#include <cstddef>
#include <cstdint>

namespace torvane::simd {

// Selections scored side by side by lane_objectives.
inline constexpr std::size_t kLaneCount = 64;

// The inputs of the row objective for kLaneCount 0/1 selections that share
// most of their members, as plain pointers: `members` lists, ascending,
// the `count` candidates selected in at least one of them, and bit l of
// lanes[k] says whether members[k] is selected in selection l. The arrays
// and the weights are those of the row objective (batch_objective.hpp);
// coverage is null when there is none.
struct LaneObjectiveInput {
    const std::size_t* members;
    const std::uint64_t* lanes;
    std::size_t count;
    const float* relevance;
    std::size_t relevance_length;
    const float* density;
    std::size_t density_length;
    const float* centrality;
    std::size_t centrality_length;
    const float* recency;
    std::size_t recency_length;
    const float* auxiliary;
    std::size_t auxiliary_length;
    const float* similarity;  // n x n
    std::size_t n;
    const float* coverage;  // tokens x n, or null
    std::size_t tokens;
    const float* token_weights;
    std::size_t token_weight_count;
    float alpha, beta, gamma, delta, epsilon, mu, lambda;
    float support_secondary_discount, support_quorum_bonus, support_quorum_threshold, support_quorum_cap;
};

// The objective change of `count` swaps that add the same candidate and
// remove different ones: per removed candidate its five scores and its
// redundancy sum, the similarity of the added candidate to it (widened) and
// mu times the fulfilment change; the added candidate's scores and
// redundancy sum; and the weights, widened. out[y] is
//   alpha (rel_a - rel_y) + beta (dens_a - dens_y) + gamma (cent_a - cent_y)
//   + delta (rec_a - rec_y) + epsilon (aux_a - aux_y) + fulfilment_y
//   - lambda (red_a - similarity_y - red_y),
// each score difference taken in single precision and widened, the terms
// added in this order in double precision (move_evaluation.hpp). The kernel
// also tells whether pass_offset + out[y] > pass_above for some y.
struct SwapDeltaInput {
    std::size_t count;
    const float* relevance;
    const float* density;
    const float* centrality;
    const float* recency;
    const float* auxiliary;
    const float* redundancy;
    const double* similarity;
    const double* fulfilment_term;
    float added_relevance, added_density, added_centrality, added_recency, added_auxiliary;
    double added_redundancy;
    double alpha, beta, gamma, delta, epsilon, lambda;
    double pass_offset, pass_above;
};

// A lane mask (kLaneCount floats) per member.
inline constexpr std::size_t kLaneScratchPerMember = 4 * kLaneCount;

struct KernelTable {
    // The eight-accumulator dot product over len values of a and b.
    float (*dot)(const float* a, const float* b, std::size_t len);

    // sums[0] = dot(a, b), sums[1] = dot(a, a), sums[2] = dot(b, b), each
    // with the elements past the last full block of eight summed separately
    // from +0.0 and added after the lane reduction.
    void (*cosine_sums)(const float* a, const float* b, std::size_t len, float* sums);

    // out[r] = dot(rows + r * dim, query) for r < count.
    void (*dot_many)(const float* query, const float* rows, std::size_t count, std::size_t dim, float* out);

    // A kernel that reads the rows through a packed copy (panels of
    // pack_group_rows rows each, laid out for its registers) sets
    // pack_group_rows to the rows of one panel, packed_group_floats to the
    // floats of one panel (a multiple of 16), and pack_group to the routine
    // that fills panel `group` from rows group * pack_group_rows onwards of
    // u, zeros standing in for rows at or past n. The panels are
    // independent of each other and stored one after the other on 64-byte
    // boundaries. A kernel that reads u alone sets all three to zero.
    std::size_t pack_group_rows;
    std::size_t (*packed_group_floats)(std::size_t dim);
    void (*pack_group)(const float* u, std::size_t n, std::size_t dim, std::size_t group, float* panel);

    // The rows of one parallel block of the similarity matrix: a multiple
    // of the kernel's row tile. Any split gives the same bits.
    std::size_t similarity_block_rows;

    // Fills every entry (i, j) of the n x n matrix `out` with max(i, j) in
    // [row_begin, row_end) with dot(u_i, u_j), u being n rows of dim values
    // and `packed` their packed copy (null when the table packs nothing).
    // Blocks with disjoint row ranges therefore write disjoint entries.
    void (*similarity_block)(const float* u, const float* packed, std::size_t n, std::size_t dim,
                             std::size_t row_begin, std::size_t row_end, float* out);

    // out[l] = the row objective of selection l. `scratch` is working room
    // of kLaneScratchPerMember bytes per member, aligned to 64 bytes.
    void (*lane_objectives)(const LaneObjectiveInput& input, void* scratch, float* out);

    // out[y] for y < input.count, as SwapDeltaInput describes; returns
    // whether pass_offset + out[y] > pass_above for some y.
    bool (*swap_deltas)(const SwapDeltaInput& input, double* out);

    // For every c < n: sum[c] += columns[j][c] widened, for j = 0 .. count-1
    // in this order, skipping j when c == own[j]. own is strictly ascending
    // and below n.
    void (*add_columns)(const float* const* columns, const std::size_t* own, std::size_t count, std::size_t n,
                        double* sum);
};

const KernelTable& scalar_kernels();
// nullptr when the build has no such unit (not an x86 target).
const KernelTable* avx2_kernels();
const KernelTable* avx512_kernels();

}  // namespace torvane::simd
