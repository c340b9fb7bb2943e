#pragma once
// The fast Walsh-Hadamard transform: x <- H x for the unnormalised
// Hadamard matrix H of order n (a power of two), whose entries are +-1 and
// which satisfies H H = n I. H / sqrt(n) is orthogonal, so it preserves
// inner products.

#include <cstddef>

namespace torvane::fwht {

// In place on n values, n a power of two (n = 1 leaves x as it is). The
// butterflies run in a fixed order, so the result is reproducible.
void transform(double* x, std::size_t n);

}  // namespace torvane::fwht
