// The AVX-512 register tile of the matrix product: each 16-lane register
// holds 16 neighbouring output sums, and every inner step is one rounded
// multiply followed by one rounded add (never a fused multiply-add). Also the
// row kernels of kernels_rows.hpp on 16-lane registers.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>

#include "kernels/kernels_rows.hpp"
#include "kernels/kernels_tile.hpp"

namespace orvo_compiler::detail {
namespace {

// 8 rows x 3 vectors: 24 sums, 3 panel vectors, a broadcast and a product
// fill 29 of the 32 registers; a 192-deep panel of 48 columns (36 KiB) stays
// in a 48 KiB first-level cache beside the tile's left rows.
constexpr std::size_t tile_rows = 8;
constexpr std::size_t tile_vectors = 3;
constexpr std::size_t lanes = 16;
constexpr std::size_t tile_columns = tile_vectors * lanes;
constexpr std::size_t tile_depth = 192;
static_assert(tile_rows <= max_tile_rows && tile_columns <= max_tile_columns && tile_depth <= max_tile_depth &&
              tile_depth * tile_columns <= max_panel_floats);

__attribute__((target("avx512f"))) void run(std::size_t depth, const float* left, std::size_t left_stride,
                                            const float* packed, float* output, std::size_t output_stride) {
  __m512 sums[tile_rows][tile_vectors];
#pragma GCC unroll 16
  for (std::size_t i = 0; i < tile_rows; ++i) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < tile_vectors; ++j) {
      sums[i][j] = _mm512_loadu_ps(output + i * output_stride + j * lanes);
    }
  }
  for (std::size_t k = 0; k < depth; ++k) {
    __m512 right[tile_vectors];
#pragma GCC unroll 4
    for (std::size_t j = 0; j < tile_vectors; ++j) {
      right[j] = _mm512_loadu_ps(packed + k * tile_columns + j * lanes);
    }
#pragma GCC unroll 16
    for (std::size_t i = 0; i < tile_rows; ++i) {
      const __m512 left_value = _mm512_set1_ps(left[i * left_stride + k]);
#pragma GCC unroll 4
      for (std::size_t j = 0; j < tile_vectors; ++j) {
        const __m512 product = _mm512_mul_ps(left_value, right[j]);
        sums[i][j] = _mm512_add_ps(product, sums[i][j]);
      }
    }
  }
#pragma GCC unroll 16
  for (std::size_t i = 0; i < tile_rows; ++i) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < tile_vectors; ++j) {
      _mm512_storeu_ps(output + i * output_stride + j * lanes, sums[i][j]);
    }
  }
}

// The row kernels on 16-lane vectors.
__attribute__((target("avx512f"))) void run_rows(const RowWork& work) { row_lanes::run<16>(KernelPath::Avx512, work); }

}  // namespace

TileKernel avx512_tile() {
  return TileKernel{.rows = tile_rows, .columns = tile_columns, .depth = tile_depth, .run = run};
}

RowFunction avx512_row_function() { return run_rows; }

}  // namespace orvo_compiler::detail

#endif
