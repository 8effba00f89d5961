// Register tiles of the blocked matrix product, one per instruction-set path.
// A tile keeps rows x columns output sums in registers and walks the inner
// dimension once, in ascending order, so each sum is formed exactly as the
// plain loop forms it.
#pragma once

#include <cstddef>

namespace orvo_compiler::detail {

// Continues the sums of one full tile over `depth` inner steps:
// output[i * output_stride + j] = (left[i * left_stride + k] x packed[k * columns + j])
// + output[i * output_stride + j] for k ascending, i below rows, j below columns.
using TileFunction = void (*)(std::size_t depth, const float* left, std::size_t left_stride, const float* packed,
                              float* output, std::size_t output_stride);

struct TileKernel {
  std::size_t rows = 0;
  std::size_t columns = 0;
  // Inner steps per packed panel of the right matrix, sized so that the panel
  // and the tile's left rows stay in the first-level cache.
  std::size_t depth = 0;
  TileFunction run = nullptr;
};

// Bounds on every path's tile and panel, which size the driver's fixed
// buffers: rows, columns, depth, and depth x columns.
inline constexpr std::size_t max_tile_rows = 8;
inline constexpr std::size_t max_tile_columns = 64;
inline constexpr std::size_t max_tile_depth = 256;
inline constexpr std::size_t max_panel_floats = 12288;

[[nodiscard]] TileKernel portable_tile();
#if defined(__x86_64__)
[[nodiscard]] TileKernel avx2_tile();
[[nodiscard]] TileKernel avx512_tile();
#endif

}  // namespace orvo_compiler::detail
