// The objective of kLaneCount selections side by side (see
// LaneObjectiveInput in kernel_table.hpp). Included inside an anonymous
// namespace by every kernel unit, which defines LANE_VECTOR_BYTES as the
// width of its vector registers, so each instruction set gets its own copy:
// a lane value is a group of vectors of that width (for 64 lanes four
// AVX-512 registers, eight AVX ones, sixteen SSE or NEON ones). Every lane
// operation is the IEEE single-precision operation the row objective makes
// for that lane's selection, in its order; products and sums are never
// fused (-ffp-contract=off), so every unit gives the same bits. Only
// builtins and plain loops here: no library templates (see kernel_table.hpp).

// The lane types never cross a unit boundary, so the calling convention
// GCC warns about for wide vectors does not matter here. The warning is
// silenced for this file only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

constexpr std::size_t kLaneWidth = LANE_VECTOR_BYTES / 4;
constexpr std::size_t kLaneGroups = kLaneCount / kLaneWidth;
static_assert(kLaneGroups * kLaneWidth == kLaneCount, "whole vectors of lanes");

typedef float LaneVector __attribute__((vector_size(LANE_VECTOR_BYTES)));
typedef int LaneVectorMask __attribute__((vector_size(LANE_VECTOR_BYTES)));

struct LaneFloats {
    LaneVector group[kLaneGroups];
};
struct LaneMask {
    LaneVectorMask group[kLaneGroups];
};

#define FOR_LANE_GROUPS(g) _Pragma("GCC unroll 16") for (std::size_t g = 0; g < kLaneGroups; ++g)

// Every lane holding `value`: the scalar's bits or-ed into a zero vector,
// which the compiler turns into a single broadcast.
inline LaneVector vector_splat(float value) {
    return reinterpret_cast<LaneVector>(LaneVectorMask{} | __builtin_bit_cast(int, value));
}

inline LaneFloats lane_splat(float value) {
    LaneFloats out;
    const LaneVector v = vector_splat(value);
    FOR_LANE_GROUPS(g) out.group[g] = v;
    return out;
}

// The lanes of if_set where mask is set, of if_clear elsewhere, bit for bit.
inline LaneVector vector_select(LaneVectorMask mask, LaneVector if_set, LaneVector if_clear) {
    return reinterpret_cast<LaneVector>((reinterpret_cast<LaneVectorMask>(if_set) & mask) |
                                        (reinterpret_cast<LaneVectorMask>(if_clear) & ~mask));
}

// A masked addition computes the sum in every lane and keeps it only where
// the member is selected, so each lane sees exactly its own additions.
inline void lane_masked_add(LaneFloats& acc, float value, const LaneMask& mask) {
    const LaneVector v = vector_splat(value);
    FOR_LANE_GROUPS(g) acc.group[g] = vector_select(mask.group[g], acc.group[g] + v, acc.group[g]);
}

inline LaneVector vector_clamp_unit(LaneVector v) {
    const LaneVector zero = vector_splat(0.0f);
    const LaneVector one = vector_splat(1.0f);
    return vector_select(v < zero, zero, vector_select(v > one, one, v));
}

// masked_sum over the members: from -0.0, ascending, indices below the
// length of the values only.
LaneFloats lane_member_sum(const float* values, std::size_t length, const LaneObjectiveInput& in,
                           const LaneMask* masks) {
    LaneFloats sum = lane_splat(-0.0f);
    for (std::size_t k = 0; k < in.count; ++k) {
        if (in.members[k] >= length) break;
        lane_masked_add(sum, values[in.members[k]], masks[k]);
    }
    return sum;
}

LaneFloats lane_fulfilment(const LaneObjectiveInput& in, const LaneMask* masks) {
    LaneFloats total = lane_splat(0.0f);
    if (in.coverage == nullptr || in.tokens == 0) return total;
    const bool third_counts = in.support_quorum_cap >= 3.0f;
    const bool fourth_counts = in.support_quorum_cap >= 4.0f;
    const LaneVectorMask one_each = LaneVectorMask{} + 1;
    const LaneVector none = vector_splat(0.0f);
    for (std::size_t t = 0; t < in.tokens; ++t) {
        const float* values = in.coverage + t * in.n;
        const float w = t < in.token_weight_count ? in.token_weights[t] : 1.0f;
        FOR_LANE_GROUPS(g) {
            LaneVector b1 = none, b2 = none, b3 = none, b4 = none;
            LaneVectorMask supporters = LaneVectorMask{};
            for (std::size_t k = 0; k < in.count; ++k) {
                const float value = values[in.members[k]];
                const LaneVectorMask member = masks[k].group[g];
                if (value >= in.support_quorum_threshold) supporters += one_each & member;
                // The four-place insertion (insert_best, common/support_quorum.hpp)
                // as selects: the value goes to the first place it reaches (a
                // tie with the best counts) and pushes the values behind it
                // down one place; NaN reaches none.
                const LaneVector v = vector_splat(value);
                const LaneVectorMask ge1 = (v >= b1) & member;
                const LaneVectorMask gt2 = (v > b2) & member & ~ge1;
                const LaneVectorMask gt3 = (v > b3) & member & ~(ge1 | gt2);
                const LaneVectorMask gt4 = (v > b4) & member & ~(ge1 | gt2 | gt3);
                const LaneVector n1 = vector_select(ge1, v, b1);
                const LaneVector n2 = vector_select(ge1, b1, vector_select(gt2, v, b2));
                const LaneVector n3 = vector_select(ge1 | gt2, b2, vector_select(gt3, v, b3));
                const LaneVector n4 = vector_select(ge1 | gt2 | gt3, b3, vector_select(gt4, v, b4));
                b1 = n1;
                b2 = n2;
                b3 = n3;
                b4 = n4;
            }
            const LaneVector c1 = vector_clamp_unit(b1);
            const LaneVector c2 = vector_clamp_unit(b2);
            const LaneVector c3 = vector_clamp_unit(b3);
            const LaneVector c4 = vector_clamp_unit(b4);
            const LaneVector term3 =
                third_counts ? vector_select(supporters >= 3, c3 * in.support_quorum_bonus, none) : none;
            const LaneVector term4 =
                fourth_counts ? vector_select(supporters >= 4, c4 * (in.support_quorum_bonus * 0.5f), none) : none;
            // SupportQuorum<float>::support, lane by lane.
            LaneVector s = c1 + c2 * in.support_secondary_discount;
            s = term3 + s;
            s = term4 + s;
            total.group[g] = total.group[g] + w * s;
        }
    }
    return total;
}

// Where a pair is not selected, the lane adds +0.0 instead of keeping its
// sum by a select: the sum starts at +0.0 and a sum of floats that starts
// there is never -0.0 (x + y is -0.0 only when both are), and adding +0.0
// to any other value, NaN and infinities included, leaves its bits
// unchanged. So each lane still sees exactly its own additions, and the
// chains of additions carry nothing else; the groups are independent
// chains, which keeps the adder busy.
//
// A member in every lane has a mask of all ones, so the masked addition
// adds its value unchanged: one form serves every pair, and the loop
// carries no branch on which members are in every lane (with the members
// of a few lanes scattered among the others, such a branch was mispredicted
// about twice per such member and row).
LaneFloats lane_redundancy(const LaneObjectiveInput& in, const LaneMask* masks) {
    LaneVector sum[kLaneGroups];
    FOR_LANE_GROUPS(g) sum[g] = vector_splat(0.0f);
    for (std::size_t a = 0; a < in.count; ++a) {
        const float* row = in.similarity + in.members[a] * in.n;
        const LaneMask row_mask = masks[a];
        const auto add_pair = [&](std::size_t b) {
            const LaneVectorMask v = reinterpret_cast<LaneVectorMask>(vector_splat(row[in.members[b]]));
            FOR_LANE_GROUPS(g) {
                sum[g] = sum[g] + reinterpret_cast<LaneVector>(v & row_mask.group[g] & masks[b].group[g]);
            }
        };
        for (std::size_t b = 0; b < a; ++b) add_pair(b);
        for (std::size_t b = a + 1; b < in.count; ++b) add_pair(b);
    }
    LaneFloats out;
    FOR_LANE_GROUPS(g) out.group[g] = sum[g] * 0.5f;
    return out;
}

void lane_objectives_kernel(const LaneObjectiveInput& in, void* scratch, float* out) {
    // Scratch: one lane mask per member.
    LaneMask* masks = static_cast<LaneMask*>(scratch);
    // Lane l of a mask is all ones when bit l of the member's lanes is set:
    // each group shifts the 32-bit half holding its bits by its lanes'
    // positions.
    static_assert(32 % kLaneWidth == 0 && kLaneCount == 64, "a group's lanes lie in one half of the bits");
    typedef unsigned LaneVectorBits __attribute__((vector_size(LANE_VECTOR_BYTES)));
    LaneVectorBits position;
    for (std::size_t j = 0; j < kLaneWidth; ++j) position[j] = static_cast<unsigned>(j);
    for (std::size_t k = 0; k < in.count; ++k) {
        const std::uint64_t bits = in.lanes[k];
        FOR_LANE_GROUPS(g) {
            const unsigned half = static_cast<unsigned>(g * kLaneWidth < 32 ? bits : bits >> 32);
            const unsigned first = static_cast<unsigned>((g * kLaneWidth) % 32);
            const LaneVectorBits lane_bits = ((LaneVectorBits{} | half) >> (position + first)) & 1u;
            masks[k].group[g] = -reinterpret_cast<LaneVectorMask>(lane_bits);
        }
    }
    const LaneFloats relevance = lane_member_sum(in.relevance, in.relevance_length, in, masks);
    const LaneFloats density = lane_member_sum(in.density, in.density_length, in, masks);
    const LaneFloats centrality = lane_member_sum(in.centrality, in.centrality_length, in, masks);
    const LaneFloats recency = lane_member_sum(in.recency, in.recency_length, in, masks);
    const LaneFloats auxiliary = lane_member_sum(in.auxiliary, in.auxiliary_length, in, masks);
    const LaneFloats fulfil = lane_fulfilment(in, masks);
    const LaneFloats red = lane_redundancy(in, masks);

    FOR_LANE_GROUPS(g) {
        LaneVector o = in.beta * density.group[g];
        o = o + in.alpha * relevance.group[g];
        o = o + in.gamma * centrality.group[g];
        o = o + in.delta * recency.group[g];
        o = o + in.epsilon * auxiliary.group[g];
        o = o + in.mu * fulfil.group[g];
        o = o - in.lambda * red.group[g];
        for (std::size_t l = 0; l < kLaneWidth; ++l) out[g * kLaneWidth + l] = o[l];
    }
}

#undef FOR_LANE_GROUPS

#pragma GCC diagnostic pop
