// The objective of sixteen selections side by side (see LaneObjectiveInput
// in kernel_table.hpp). Included inside an anonymous namespace by every
// kernel unit, so each instruction set gets its own copy: the compiler's
// vector types carry a 16-lane value in whatever registers the unit is
// compiled for (four SSE or NEON registers, two AVX ones, one AVX-512 one).
// Every lane operation is the IEEE single-precision operation the row
// objective makes for that lane's selection, in its order; products and
// sums are never fused (-ffp-contract=off), so every unit gives the same
// bits. Only builtins and plain loops here: no library templates (see
// kernel_table.hpp).

// The lane types never cross a unit boundary, so the calling convention
// GCC warns about for wide vectors does not matter here.
#pragma GCC diagnostic ignored "-Wpsabi"

typedef float LaneFloats __attribute__((vector_size(4 * kLaneCount)));
typedef int LaneMask __attribute__((vector_size(4 * kLaneCount)));

// Every lane holding `value`: the scalar's bits or-ed into a zero vector,
// which the compiler turns into a single broadcast.
inline LaneFloats lane_splat(float value) {
    return reinterpret_cast<LaneFloats>(LaneMask{} | __builtin_bit_cast(int, value));
}

// The lanes of if_set where mask is set, of if_clear elsewhere, bit for bit.
inline LaneFloats lane_select(LaneMask mask, LaneFloats if_set, LaneFloats if_clear) {
    return reinterpret_cast<LaneFloats>((reinterpret_cast<LaneMask>(if_set) & mask) |
                                        (reinterpret_cast<LaneMask>(if_clear) & ~mask));
}

// A masked addition computes the sum in every lane and keeps it only where
// the member is selected, so each lane sees exactly its own additions.
inline void lane_masked_add(LaneFloats& acc, float value, LaneMask mask) {
    acc = lane_select(mask, acc + value, acc);
}

inline LaneFloats lane_clamp_unit(LaneFloats v) {
    const LaneFloats zero = lane_splat(0.0f);
    const LaneFloats one = lane_splat(1.0f);
    return lane_select(v < zero, zero, lane_select(v > one, one, v));
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
    const LaneMask one_each = LaneMask{} + 1;
    for (std::size_t t = 0; t < in.tokens; ++t) {
        const float* values = in.coverage + t * in.n;
        LaneFloats b1 = lane_splat(0.0f), b2 = lane_splat(0.0f), b3 = lane_splat(0.0f), b4 = lane_splat(0.0f);
        LaneMask supporters = LaneMask{};
        for (std::size_t k = 0; k < in.count; ++k) {
            const float value = values[in.members[k]];
            const LaneMask member = masks[k];
            if (value >= in.support_quorum_threshold) supporters += one_each & member;
            // The four-place insertion as selects: the value goes to the
            // first place it reaches (a tie with the best counts) and pushes
            // the values behind it down one place; NaN reaches none.
            const LaneFloats v = lane_splat(value);
            const LaneMask ge1 = (v >= b1) & member;
            const LaneMask gt2 = (v > b2) & member & ~ge1;
            const LaneMask gt3 = (v > b3) & member & ~(ge1 | gt2);
            const LaneMask gt4 = (v > b4) & member & ~(ge1 | gt2 | gt3);
            const LaneFloats n1 = lane_select(ge1, v, b1);
            const LaneFloats n2 = lane_select(ge1, b1, lane_select(gt2, v, b2));
            const LaneFloats n3 = lane_select(ge1 | gt2, b2, lane_select(gt3, v, b3));
            const LaneFloats n4 = lane_select(ge1 | gt2 | gt3, b3, lane_select(gt4, v, b4));
            b1 = n1;
            b2 = n2;
            b3 = n3;
            b4 = n4;
        }
        const float w = t < in.token_weight_count ? in.token_weights[t] : 1.0f;
        const LaneFloats c1 = lane_clamp_unit(b1);
        const LaneFloats c2 = lane_clamp_unit(b2);
        const LaneFloats c3 = lane_clamp_unit(b3);
        const LaneFloats c4 = lane_clamp_unit(b4);
        const LaneFloats none = lane_splat(0.0f);
        const LaneFloats term3 =
            third_counts ? lane_select(supporters >= 3, c3 * in.support_quorum_bonus, none) : none;
        const LaneFloats term4 =
            fourth_counts ? lane_select(supporters >= 4, c4 * (in.support_quorum_bonus * 0.5f), none) : none;
        LaneFloats s = c1 + c2 * in.support_secondary_discount;
        s = term3 + s;
        s = term4 + s;
        total = total + w * s;
    }
    return total;
}

// Where a pair is not selected, the lane adds +0.0 instead of keeping its
// sum by a select: the sum starts at +0.0 and a sum of floats that starts
// there is never -0.0 (x + y is -0.0 only when both are), and adding +0.0
// to any other value, NaN and infinities included, leaves its bits
// unchanged. So each lane still sees exactly its own additions, and the
// chain of additions carries nothing else.
LaneFloats lane_redundancy(const LaneObjectiveInput& in, const LaneMask* masks) {
    LaneFloats sum = lane_splat(0.0f);
    for (std::size_t a = 0; a < in.count; ++a) {
        const float* row = in.similarity + in.members[a] * in.n;
        const LaneMask row_mask = masks[a];
        for (std::size_t b = 0; b < in.count; ++b) {
            if (b == a) continue;
            const LaneMask value = reinterpret_cast<LaneMask>(lane_splat(row[in.members[b]]));
            sum = sum + reinterpret_cast<LaneFloats>(value & row_mask & masks[b]);
        }
    }
    return sum * 0.5f;
}

void lane_objectives_kernel(const LaneObjectiveInput& in, int* mask_scratch, float* out) {
    LaneMask* masks = reinterpret_cast<LaneMask*>(mask_scratch);
    for (std::size_t k = 0; k < in.count; ++k) {
        LaneMask mask;
        for (std::size_t l = 0; l < kLaneCount; ++l) mask[l] = ((in.lanes[k] >> l) & 1u) != 0 ? -1 : 0;
        masks[k] = mask;
    }
    const LaneFloats relevance = lane_member_sum(in.relevance, in.relevance_length, in, masks);
    const LaneFloats density = lane_member_sum(in.density, in.density_length, in, masks);
    const LaneFloats centrality = lane_member_sum(in.centrality, in.centrality_length, in, masks);
    const LaneFloats recency = lane_member_sum(in.recency, in.recency_length, in, masks);
    const LaneFloats auxiliary = lane_member_sum(in.auxiliary, in.auxiliary_length, in, masks);
    const LaneFloats fulfil = lane_fulfilment(in, masks);
    const LaneFloats red = lane_redundancy(in, masks);

    LaneFloats o = in.beta * density;
    o = o + in.alpha * relevance;
    o = o + in.gamma * centrality;
    o = o + in.delta * recency;
    o = o + in.epsilon * auxiliary;
    o = o + in.mu * fulfil;
    o = o - in.lambda * red;
    for (std::size_t l = 0; l < kLaneCount; ++l) out[l] = o[l];
}
