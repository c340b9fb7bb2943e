#pragma once
// The support quorum of one query token: the four best coverage values among
// the selected candidates, kept best first, and the weighted support they
// give. Written once for both precisions: the batch objective works in
// single precision, the reported totals and the move evaluation in double;
// each instantiation carries out the same operations in the same order in
// its own type. The lane kernels (backend/simd/lane_objectives.inl) compute
// the single-precision form with vector selects instead of branches.

#include <cstddef>
#include <span>

#include "common/numeric.hpp"

namespace torvane {

// No place: what insert_best returns when a value enters none of the four.
inline constexpr int kNoPlace = 4;

// Inserts v into four values kept best first: at the front on a tie with the
// best, elsewhere only where strictly greater; the values behind it move
// down one place and the fourth drops out. NaN displaces nothing. Returns
// the place v took (0 for the front), or kNoPlace.
template <class T>
int insert_best(T (&best)[4], T v) {
    if (v >= best[0]) {
        best[3] = best[2];
        best[2] = best[1];
        best[1] = best[0];
        best[0] = v;
        return 0;
    }
    if (v > best[1]) {
        best[3] = best[2];
        best[2] = best[1];
        best[1] = v;
        return 1;
    }
    if (v > best[2]) {
        best[3] = best[2];
        best[2] = v;
        return 2;
    }
    if (v > best[3]) {
        best[3] = v;
        return 3;
    }
    return kNoPlace;
}

// The same, keeping track of which candidate holds each of the first three
// places (the fourth place has no holder).
template <class T, class Holder>
void insert_best(T (&best)[4], Holder (&holders)[3], T v, const Holder& holder) {
    const int place = insert_best(best, v);
    if (place > 2) return;
    for (int k = 2; k > place; --k) holders[k] = holders[k - 1];
    holders[place] = holder;
}

// The four best values once the candidate `removed` has left: the place it
// holds among the first three is closed up and the fourth becomes 0 (the
// fifth best is not known). A candidate that holds no place, or only the
// fourth, changes nothing.
template <class T, class Holder, class Candidate>
void remove_holder(T (&best)[4], const Holder (&holders)[3], const Candidate& removed) {
    for (int place = 0; place < 3; ++place) {
        if (holders[place] != removed) continue;
        for (int k = place; k < 3; ++k) best[k] = best[k + 1];
        best[3] = T(0);
        return;
    }
}

// The parameters of the support of a query token, in the precision of the
// computation. The cap is the configured whole number converted to float:
// it counts as its integer part and at least 2, and only whether it reaches
// 3 and 4 matters, which a comparison in floating point says for every
// value (NaN reaches neither).
template <class T>
struct SupportQuorum {
    T secondary_discount;
    T quorum_bonus;
    float quorum_cap;

    // best1 + discount * best2, plus bonus * best3 with three supporters and
    // a cap of 3 or more, plus bonus / 2 * best4 with four supporters and a
    // cap of 4 or more; each value clamped to [0, 1] first.
    T support(const T (&best)[4], std::size_t supporters) const {
        const T b1 = clamp_unit(best[0]);
        const T b2 = clamp_unit(best[1]);
        const T b3 = clamp_unit(best[2]);
        const T b4 = clamp_unit(best[3]);
        const T third = quorum_cap >= 3.0f && supporters >= 3 ? b3 * quorum_bonus : T(0);
        const T fourth = quorum_cap >= 4.0f && supporters >= 4 ? b4 * (quorum_bonus * T(0.5)) : T(0);
        T s = b1 + b2 * secondary_discount;
        s = third + s;
        s = fourth + s;
        return s;
    }
};

// The support of every query token summed in token order, each weighted by
// its query-token weight (1 where the weights end): row t of `coverage`
// holds the n values of token t, `selected` lists the selected candidates
// ascending. A value counts as a supporter when it reaches the threshold in
// single precision.
template <class T>
T total_support(const float* coverage, std::size_t tokens, std::size_t n, std::span<const std::size_t> selected,
                std::span<const float> token_weights, float threshold, const SupportQuorum<T>& quorum) {
    T total = T(0);
    for (std::size_t t = 0; t < tokens; ++t) {
        const float* values = coverage + t * n;
        T best[4] = {T(0), T(0), T(0), T(0)};
        std::size_t supporters = 0;
        for (std::size_t i : selected) {
            const float v = values[i];
            if (v >= threshold) ++supporters;
            insert_best(best, static_cast<T>(v));
        }
        const T w = t < token_weights.size() ? static_cast<T>(token_weights[t]) : T(1);
        total = total + w * quorum.support(best, supporters);
    }
    return total;
}

}  // namespace torvane
