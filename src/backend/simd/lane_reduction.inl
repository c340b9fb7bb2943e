// Lane reductions of 256-bit registers of eight float accumulators, each
// in the fixed order (((l0 + l1) + l2) + l3) + (((l4 + l5) + l6) + l7), the
// order of the eight-accumulator dot product. Included inside an anonymous
// namespace by every unit compiled with -mavx2 or wider that reduces such
// registers (the vector kernels, the MaxSim kernels), so each unit keeps
// its own copy, compiled with its own instruction set. Only intrinsics here.

// (((l0 + l1) + l2) + l3) + (((l4 + l5) + l6) + l7) of one register.
inline float reduce_lanes(__m256 v) {
    const __m128 lo = _mm256_castps256_ps128(v);      // l0 l1 l2 l3
    const __m128 hi = _mm256_extractf128_ps(v, 1);    // l4 l5 l6 l7
    const __m128 t = _mm_unpacklo_ps(lo, hi);          // l0 l4 l1 l5
    const __m128 u = _mm_unpackhi_ps(lo, hi);          // l2 l6 l3 l7
    __m128 s = _mm_add_ps(t, _mm_movehl_ps(t, t));     // l0+l1, l4+l5
    s = _mm_add_ps(s, u);                               // +l2, +l6
    s = _mm_add_ps(s, _mm_movehl_ps(u, u));             // +l3, +l7
    return _mm_cvtss_f32(_mm_add_ss(s, _mm_movehdup_ps(s)));
}

// The same reduction for eight registers at once: lane p of the result is
// the reduction of v[p].
inline __m256 reduce_lanes8(const __m256* v) {
    __m256 group[2];
    for (int g = 0; g < 2; ++g) {
        const __m256* w = v + 4 * g;
        const __m256 t0 = _mm256_unpacklo_ps(w[0], w[1]);  // w0l0 w1l0 w0l1 w1l1 | w0l4 w1l4 w0l5 w1l5
        const __m256 t1 = _mm256_unpackhi_ps(w[0], w[1]);  // w0l2 w1l2 w0l3 w1l3 | w0l6 w1l6 w0l7 w1l7
        const __m256 t2 = _mm256_unpacklo_ps(w[2], w[3]);
        const __m256 t3 = _mm256_unpackhi_ps(w[2], w[3]);
        const __m256 c0 = _mm256_shuffle_ps(t0, t2, 0x44);  // lane 0 of w0..w3 | lane 4
        const __m256 c1 = _mm256_shuffle_ps(t0, t2, 0xEE);  // lane 1 | lane 5
        const __m256 c2 = _mm256_shuffle_ps(t1, t3, 0x44);  // lane 2 | lane 6
        const __m256 c3 = _mm256_shuffle_ps(t1, t3, 0xEE);  // lane 3 | lane 7
        // ((l0 + l1) + l2) + l3 in the low half, ((l4 + l5) + l6) + l7 in the high half.
        group[g] = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(c0, c1), c2), c3);
    }
    const __m256 first = _mm256_permute2f128_ps(group[0], group[1], 0x20);
    const __m256 second = _mm256_permute2f128_ps(group[0], group[1], 0x31);
    return _mm256_add_ps(first, second);
}
