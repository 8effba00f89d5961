// The AVX2 register tile of the matrix product: each 8-lane register
// holds 8 neighbouring output sums, and every inner step is one rounded
// multiply followed by one rounded add (never a fused multiply-add). Also the
// row kernels of kernels_rows.hpp on 8-lane registers.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>

#include "kernels/kernels_rows.hpp"
#include "kernels/kernels_tile.hpp"

namespace orvo_compiler::detail {
namespace {

// 3 rows x 4 vectors: 12 sums, 4 panel vectors, a broadcast and a product
// fill the 16 registers without spilling; a 192-deep panel of 32 columns
// takes 24 KiB.
constexpr std::size_t tile_rows = 3;
constexpr std::size_t tile_vectors = 4;
constexpr std::size_t lanes = 8;
constexpr std::size_t tile_columns = tile_vectors * lanes;
constexpr std::size_t tile_depth = 192;
static_assert(tile_rows <= max_tile_rows && tile_columns <= max_tile_columns && tile_depth <= max_tile_depth &&
              tile_depth * tile_columns <= max_panel_floats);

__attribute__((target("avx2"))) void run(std::size_t depth, const float* left, std::size_t left_stride,
                                         const float* packed, float* output, std::size_t output_stride) {
  __m256 sums[tile_rows][tile_vectors];
#pragma GCC unroll 16
  for (std::size_t i = 0; i < tile_rows; ++i) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < tile_vectors; ++j) {
      sums[i][j] = _mm256_loadu_ps(output + i * output_stride + j * lanes);
    }
  }
  for (std::size_t k = 0; k < depth; ++k) {
    __m256 right[tile_vectors];
#pragma GCC unroll 4
    for (std::size_t j = 0; j < tile_vectors; ++j) {
      right[j] = _mm256_loadu_ps(packed + k * tile_columns + j * lanes);
    }
#pragma GCC unroll 16
    for (std::size_t i = 0; i < tile_rows; ++i) {
      const __m256 left_value = _mm256_set1_ps(left[i * left_stride + k]);
#pragma GCC unroll 4
      for (std::size_t j = 0; j < tile_vectors; ++j) {
        const __m256 product = _mm256_mul_ps(left_value, right[j]);
        sums[i][j] = _mm256_add_ps(product, sums[i][j]);
      }
    }
  }
#pragma GCC unroll 16
  for (std::size_t i = 0; i < tile_rows; ++i) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < tile_vectors; ++j) {
      _mm256_storeu_ps(output + i * output_stride + j * lanes, sums[i][j]);
    }
  }
}

// The row kernels on 8-lane vectors.
__attribute__((target("avx2"))) void run_rows(const RowWork& work) { row_lanes::run<8>(KernelPath::Avx2, work); }

}  // namespace

TileKernel avx2_tile() {
  return TileKernel{.rows = tile_rows, .columns = tile_columns, .depth = tile_depth, .run = run};
}

RowFunction avx2_row_function() { return run_rows; }

}  // namespace orvo_compiler::detail

#endif
