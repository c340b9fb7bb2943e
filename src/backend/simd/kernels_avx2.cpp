// The AVX2 kernels: 2 x 4 tiles fit the 16 vector registers.

#include "backend/simd/kernel_table.hpp"

#if defined(__AVX2__)
#include <immintrin.h>

namespace torvane::simd {
namespace {
#define TILE_ROWS 2
#define TILE_COLS 4
#define LANE_VECTOR_BYTES 32
#include "backend/simd/kernels_x86.inl"
#undef TILE_ROWS
#undef TILE_COLS
#undef LANE_VECTOR_BYTES
}  // namespace

const KernelTable* avx2_kernels() { return &kX86Table; }

}  // namespace torvane::simd

#else

namespace torvane::simd {
const KernelTable* avx2_kernels() { return nullptr; }
}  // namespace torvane::simd

#endif
