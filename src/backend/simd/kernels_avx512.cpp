// The AVX-512 kernels: the same 8-wide operations as the AVX2 unit (one
// register is one dot product's eight accumulators), with the 32 registers
// of AVX-512VL holding 4 x 4 tiles, except for the similarity matrix, which
// keeps two dot products in each 512-bit register (similarity_panels.inl).

#include "backend/simd/kernel_table.hpp"

#if defined(__AVX512F__) && defined(__AVX512VL__)
#include <immintrin.h>

namespace torvane::simd {
namespace {
#define TILE_ROWS 4
#define TILE_COLS 4
#define LANE_VECTOR_BYTES 64
#define PACKED_SIMILARITY 1
#include "backend/simd/kernels_x86.inl"
#undef TILE_ROWS
#undef TILE_COLS
#undef LANE_VECTOR_BYTES
#undef PACKED_SIMILARITY
}  // namespace

const KernelTable* avx512_kernels() { return &kX86Table; }

}  // namespace torvane::simd

#else

namespace torvane::simd {
const KernelTable* avx512_kernels() { return nullptr; }
}  // namespace torvane::simd

#endif
