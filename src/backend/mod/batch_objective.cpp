#include "backend/mod/batch_objective.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "backend/pool/thread_pool.hpp"
#include "backend/simd/vector_kernels.hpp"
#include "common/fault.hpp"

namespace torvane {
namespace {

std::size_t checked_mul(std::size_t a, std::size_t b, const char* what) {
    std::size_t product = 0;
    TORVANE_CHECK(!__builtin_mul_overflow(a, b, &product), what);
    return product;
}

float clamp_unit(float v) {
    if (v < 0.0f) return 0.0f;
    if (v > 1.0f) return 1.0f;
    return v;
}

// The candidates of one selection row, each list ascending: those with a
// non-zero byte (selected for the sums and the fulfilment), with byte 1
// (the rows of the redundancy sum) and with an odd byte (its columns). For
// 0/1 rows the three agree; walking the lists instead of the whole row
// visits the same values in the same order.
struct RowMembers {
    std::vector<std::size_t> nonzero;
    std::vector<std::size_t> ones;
    std::vector<std::size_t> odd;

    explicit RowMembers(std::span<const std::uint8_t> row) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (row[i] == 0) continue;
            nonzero.push_back(i);
            if (row[i] == 1) ones.push_back(i);
            if ((row[i] & 1u) != 0) odd.push_back(i);
        }
    }
};

// masked_sum over the members: from -0.0, ascending, indices below the
// length of `values` only.
float member_sum(std::span<const float> values, const std::vector<std::size_t>& members) {
    float sum = -0.0f;
    for (std::size_t i : members) {
        if (i >= values.size()) break;
        sum = sum + values[i];
    }
    return sum;
}

// Sum over query tokens of the weighted support of the selected candidates.
float fulfilment(const std::vector<std::size_t>& selected, const ObjectiveContext& context) {
    const std::size_t n = context.n;
    const std::size_t tokens = context.num_query_tokens;
    if (!context.coverage.has_value() || tokens == 0) return 0.0f;
    const std::span<const float> coverage = *context.coverage;
    TORVANE_CHECK(checked_mul(tokens, n, "batch objective: T * n overflows") <= coverage.size(),
                  "batch objective: a coverage row lies outside the coverage matrix");

    // The cap counts as its integer part, at least 2 (NaN counts as 2); only
    // whether it reaches 3 and 4 matters.
    const float cap = context.support_quorum_cap;
    const bool third_counts = cap >= 3.0f;
    const bool fourth_counts = cap >= 4.0f;
    const float threshold = context.support_quorum_threshold;

    float total = 0.0f;
    for (std::size_t t = 0; t < tokens; ++t) {
        const float* values = coverage.data() + t * n;
        float b1 = 0.0f;
        float b2 = 0.0f;
        float b3 = 0.0f;
        float b4 = 0.0f;
        std::size_t supporters = 0;
        for (std::size_t i : selected) {
            const float v = values[i];
            if (v >= threshold) ++supporters;
            // Keep the four best; a tie with b1 goes to the front, NaN displaces nothing.
            if (v >= b1) {
                b4 = b3;
                b3 = b2;
                b2 = b1;
                b1 = v;
            } else if (v > b2) {
                b4 = b3;
                b3 = b2;
                b2 = v;
            } else if (v > b3) {
                b4 = b3;
                b3 = v;
            } else if (v > b4) {
                b4 = v;
            }
        }
        const std::span<const float> weights = context.query_token_weights.value_or(std::span<const float>{});
        const float w = t < weights.size() ? weights[t] : 1.0f;
        b1 = clamp_unit(b1);
        b2 = clamp_unit(b2);
        b3 = clamp_unit(b3);
        b4 = clamp_unit(b4);
        const float term3 = third_counts && supporters >= 3 ? b3 * context.support_quorum_bonus : 0.0f;
        const float term4 = fourth_counts && supporters >= 4 ? b4 * (context.support_quorum_bonus * 0.5f) : 0.0f;
        float s = b1 + b2 * context.support_secondary_discount;
        s = term3 + s;
        s = term4 + s;
        total = total + w * s;
    }
    return total;
}

// Half the sum of similarity over ordered pairs of distinct selected
// candidates, rows and columns in ascending order.
float redundancy(const RowMembers& members, const ObjectiveContext& context) {
    const std::size_t n = context.n;
    if (n == 0) return 0.0f;
    TORVANE_CHECK(checked_mul(n, n, "batch objective: n * n overflows") <= context.similarity.size(),
                  "batch objective: a similarity index lies outside the matrix");
    const float* similarity = context.similarity.data();
    float sum = 0.0f;
    for (std::size_t i : members.ones) {
        const float* sim_row = similarity + i * n;
        for (std::size_t j : members.odd) {
            if (j != i) sum = sum + sim_row[j];
        }
    }
    return sum * 0.5f;
}

}  // namespace

float row_objective(std::span<const std::uint8_t> row, const ObjectiveContext& context) {
    TORVANE_CHECK(row.size() >= context.n, "batch objective: the selection row is shorter than n");
    row = row.first(context.n);
    const RowMembers members(row);
    const float relevance = member_sum(context.relevance, members.nonzero);
    const float density = member_sum(context.density, members.nonzero);
    const float centrality = member_sum(context.centrality, members.nonzero);
    const float recency = member_sum(context.recency, members.nonzero);
    const float auxiliary = member_sum(context.auxiliary, members.nonzero);
    const float fulfil = fulfilment(members.nonzero, context);
    const float red = redundancy(members, context);

    float o = context.beta * density;
    o = o + context.alpha * relevance;
    o = o + context.gamma * centrality;
    o = o + context.delta * recency;
    o = o + context.epsilon * auxiliary;
    o = o + context.mu * fulfil;
    o = o - context.lambda * red;
    return o;
}

std::vector<float> evaluate_batch(std::span<const std::uint8_t> selections, std::size_t rows,
                                  const ObjectiveContext& context) {
    const std::size_t n = context.n;
    TORVANE_CHECK(checked_mul(rows, n, "evaluate_batch: rows * n overflows") <= selections.size(),
                  "evaluate_batch: a selection row lies outside the batch");
    std::vector<float> out(rows);
    pool::parallel_for(0, rows, [&](std::size_t r) { out[r] = row_objective(selections.subspan(r * n, n), context); });
    return out;
}

std::vector<float> evaluate_swap_moves(std::span<const std::uint8_t> selection, std::span<const std::size_t> added,
                                       std::span<const std::size_t> removed, const ObjectiveContext& context) {
    const std::size_t n = context.n;
    TORVANE_CHECK(added.size() == removed.size(), "evaluate_swap_moves: the move lists differ in length");
    TORVANE_CHECK(selection.size() == n, "evaluate_swap_moves: the selection does not have n bytes");
    const std::size_t moves = added.size();
    std::vector<std::uint8_t> batch(checked_mul(moves, n, "evaluate_swap_moves: moves * n overflows"));
    for (std::size_t m = 0; m < moves; ++m) {
        TORVANE_CHECK(added[m] < n, "evaluate_swap_moves: an added index lies outside the selection");
        std::uint8_t* row = batch.data() + m * n;
        std::copy(selection.begin(), selection.end(), row);
        if (removed[m] < n) row[removed[m]] = 0;  // an index >= n removes nothing
        row[added[m]] = 1;
    }
    return evaluate_batch(batch, moves, context);
}

// The lane types below never cross this unit's boundary, so the calling
// convention GCC warns about for 64-byte vectors does not matter here (the
// warning is given at the end of the unit, so it stays off from here on).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

// Sixteen lanes of single-precision values, and the lane masks (all ones
// or all zeros) that select between them. The compiler's vector types
// carry out each operation lane by lane with IEEE single-precision
// arithmetic (products and sums are never fused: -ffp-contract=off), in
// whatever vector registers the target has.
typedef float LaneFloats __attribute__((vector_size(4 * kObjectiveLanes)));
typedef std::int32_t LaneMask __attribute__((vector_size(4 * kObjectiveLanes)));

LaneFloats splat(float value) {
    LaneFloats out;
    for (std::size_t l = 0; l < kObjectiveLanes; ++l) out[l] = value;
    return out;
}

// The lanes of if_set where mask is set, of if_clear elsewhere, bit for bit.
inline LaneFloats select(LaneMask mask, LaneFloats if_set, LaneFloats if_clear) {
    return reinterpret_cast<LaneFloats>((reinterpret_cast<LaneMask>(if_set) & mask) |
                                        (reinterpret_cast<LaneMask>(if_clear) & ~mask));
}

// Every lane operation below is the scalar operation of row_objective on
// that lane's values. A masked addition computes the sum in every lane and
// keeps it only where the member is selected, so each lane sees exactly
// its own selection's additions, in its order.
inline void masked_add(LaneFloats& acc, float value, LaneMask mask) { acc = select(mask, acc + value, acc); }

inline LaneFloats clamp_unit(LaneFloats v) {
    const LaneFloats zero = splat(0.0f);
    const LaneFloats one = splat(1.0f);
    return select(v < zero, zero, select(v > one, one, v));
}

LaneFloats lane_member_sum(std::span<const float> values, std::span<const std::size_t> members,
                           const std::vector<LaneMask>& masks) {
    LaneFloats sum = splat(-0.0f);
    for (std::size_t k = 0; k < members.size(); ++k) {
        if (members[k] >= values.size()) break;
        masked_add(sum, values[members[k]], masks[k]);
    }
    return sum;
}

LaneFloats lane_fulfilment(std::span<const std::size_t> members, const std::vector<LaneMask>& masks,
                           const ObjectiveContext& context) {
    LaneFloats total = splat(0.0f);
    const std::size_t n = context.n;
    const std::size_t tokens = context.num_query_tokens;
    if (!context.coverage.has_value() || tokens == 0) return total;
    const std::span<const float> coverage = *context.coverage;
    TORVANE_CHECK(checked_mul(tokens, n, "batch objective: T * n overflows") <= coverage.size(),
                  "batch objective: a coverage row lies outside the coverage matrix");
    const float cap = context.support_quorum_cap;
    const bool third_counts = cap >= 3.0f;
    const bool fourth_counts = cap >= 4.0f;
    const float threshold = context.support_quorum_threshold;
    const std::span<const float> weights = context.query_token_weights.value_or(std::span<const float>{});
    const LaneMask one_each = LaneMask{} + 1;

    for (std::size_t t = 0; t < tokens; ++t) {
        const float* values = coverage.data() + t * n;
        LaneFloats b1 = splat(0.0f), b2 = splat(0.0f), b3 = splat(0.0f), b4 = splat(0.0f);
        LaneMask supporters = LaneMask{};
        for (std::size_t k = 0; k < members.size(); ++k) {
            const float value = values[members[k]];
            const LaneMask in = masks[k];
            if (value >= threshold) supporters += one_each & in;
            // The four-place insertion of row_objective as selects: the
            // value goes to the first place it reaches (a tie with the best
            // counts) and pushes the values behind it down one place; NaN
            // reaches none.
            const LaneFloats v = splat(value);
            const LaneMask ge1 = (v >= b1) & in;
            const LaneMask gt2 = (v > b2) & in & ~ge1;
            const LaneMask gt3 = (v > b3) & in & ~(ge1 | gt2);
            const LaneMask gt4 = (v > b4) & in & ~(ge1 | gt2 | gt3);
            const LaneFloats n1 = select(ge1, v, b1);
            const LaneFloats n2 = select(ge1, b1, select(gt2, v, b2));
            const LaneFloats n3 = select(ge1 | gt2, b2, select(gt3, v, b3));
            const LaneFloats n4 = select(ge1 | gt2 | gt3, b3, select(gt4, v, b4));
            b1 = n1;
            b2 = n2;
            b3 = n3;
            b4 = n4;
        }
        const float w = t < weights.size() ? weights[t] : 1.0f;
        const LaneFloats c1 = clamp_unit(b1);
        const LaneFloats c2 = clamp_unit(b2);
        const LaneFloats c3 = clamp_unit(b3);
        const LaneFloats c4 = clamp_unit(b4);
        const LaneFloats none = splat(0.0f);
        const LaneMask three = supporters >= 3;
        const LaneMask four = supporters >= 4;
        const LaneFloats term3 = third_counts ? select(three, c3 * context.support_quorum_bonus, none) : none;
        const LaneFloats term4 =
            fourth_counts ? select(four, c4 * (context.support_quorum_bonus * 0.5f), none) : none;
        LaneFloats s = c1 + c2 * context.support_secondary_discount;
        s = term3 + s;
        s = term4 + s;
        total = total + w * s;
    }
    return total;
}

LaneFloats lane_redundancy(std::span<const std::size_t> members, const std::vector<LaneMask>& masks,
                           const ObjectiveContext& context) {
    LaneFloats sum = splat(0.0f);
    const std::size_t n = context.n;
    if (n == 0) return sum;
    TORVANE_CHECK(checked_mul(n, n, "batch objective: n * n overflows") <= context.similarity.size(),
                  "batch objective: a similarity index lies outside the matrix");
    const float* similarity = context.similarity.data();
    // Where a pair is not selected, the lane adds +0.0 instead of keeping
    // its sum by a select: the sum starts at +0.0 and a sum of floats that
    // starts there is never -0.0 (x + y is -0.0 only when both are), and
    // adding +0.0 to any other value, NaN and infinities included, leaves
    // its bits unchanged. So the lane still sees exactly its own additions,
    // and the chain of additions has nothing else on it.
    //
    // The sixteen lanes are kept as four vectors of the 16-byte width every
    // vector unit has, so that the running sums stay in registers.
    typedef float Quad __attribute__((vector_size(16)));
    typedef std::int32_t QuadMask __attribute__((vector_size(16)));
    static_assert(kObjectiveLanes == 16, "four quads make the lanes");
    const auto quad_masks = [&](std::size_t k, QuadMask (&out)[4]) { std::memcpy(out, &masks[k], sizeof out); };
    Quad s0 = {}, s1 = {}, s2 = {}, s3 = {};
    for (std::size_t a = 0; a < members.size(); ++a) {
        const float* sim_row = similarity + members[a] * n;
        QuadMask row[4];
        quad_masks(a, row);
        for (std::size_t b = 0; b < members.size(); ++b) {
            if (b == a) continue;
            QuadMask column[4];
            quad_masks(b, column);
            const float v = sim_row[members[b]];
            const QuadMask value = reinterpret_cast<QuadMask>(Quad{v, v, v, v});
            s0 = s0 + reinterpret_cast<Quad>(value & row[0] & column[0]);
            s1 = s1 + reinterpret_cast<Quad>(value & row[1] & column[1]);
            s2 = s2 + reinterpret_cast<Quad>(value & row[2] & column[2]);
            s3 = s3 + reinterpret_cast<Quad>(value & row[3] & column[3]);
        }
    }
    const Quad quads[4] = {s0, s1, s2, s3};
    std::memcpy(&sum, quads, sizeof sum);
    return sum * 0.5f;
}

}  // namespace

std::array<float, kObjectiveLanes> lane_objectives(std::span<const std::size_t> members,
                                                   std::span<const std::uint16_t> lanes,
                                                   const ObjectiveContext& context) {
    TORVANE_CHECK(members.size() == lanes.size(), "lane objectives: one lane mask per member");
    for (std::size_t k = 0; k < members.size(); ++k) {
        TORVANE_CHECK(members[k] < context.n && (k == 0 || members[k - 1] < members[k]),
                      "lane objectives: members must be ascending candidate indices");
    }
    std::vector<LaneMask> masks(members.size());
    for (std::size_t k = 0; k < members.size(); ++k) {
        for (std::size_t l = 0; l < kObjectiveLanes; ++l) masks[k][l] = ((lanes[k] >> l) & 1u) != 0 ? -1 : 0;
    }
    const LaneFloats relevance = lane_member_sum(context.relevance, members, masks);
    const LaneFloats density = lane_member_sum(context.density, members, masks);
    const LaneFloats centrality = lane_member_sum(context.centrality, members, masks);
    const LaneFloats recency = lane_member_sum(context.recency, members, masks);
    const LaneFloats auxiliary = lane_member_sum(context.auxiliary, members, masks);
    const LaneFloats fulfil = lane_fulfilment(members, masks, context);
    const LaneFloats red = lane_redundancy(members, masks, context);

    LaneFloats o = context.beta * density;
    o = o + context.alpha * relevance;
    o = o + context.gamma * centrality;
    o = o + context.delta * recency;
    o = o + context.epsilon * auxiliary;
    o = o + context.mu * fulfil;
    o = o - context.lambda * red;
    std::array<float, kObjectiveLanes> out;
    for (std::size_t l = 0; l < kObjectiveLanes; ++l) out[l] = o[l];
    return out;
}

}  // namespace torvane
