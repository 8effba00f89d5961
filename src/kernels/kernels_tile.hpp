// Register tiles of the blocked matrix product, one per instruction-set path,
// all made from the one width-generic tile below. A tile keeps rows x columns
// output sums in registers and walks the inner dimension once, in ascending
// order, so each sum is formed exactly as the plain loop forms it.
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

// A path's tile geometry: `rows` rows of `vectors` registers, each register
// `lanes` floats of neighbouring output columns, over panels `depth` inner
// steps deep.
struct TileShape {
  std::size_t lanes = 0;
  std::size_t rows = 0;
  std::size_t vectors = 0;
  std::size_t depth = 0;

  [[nodiscard]] constexpr std::size_t columns() const { return lanes * vectors; }
};

namespace tile_lanes {

// `Lanes` floats in one register: the compiler's generic vector type, which
// each path's source lowers to its own registers (or to scalar code).
template <std::size_t Lanes>
struct Floats {
  using type [[gnu::vector_size(4 * Lanes)]] = float;
  // The same vector at any float's address, allowed to alias floats: what
  // unaligned vector loads and stores go through.
  using in_memory [[gnu::vector_size(4 * Lanes), gnu::aligned(4), gnu::may_alias]] = float;
};

// Vectors pass by reference: wider ones passed by value would take a calling
// convention that depends on the instruction set.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void load(typename Floats<Lanes>::type& vector, const float* source) {
  vector = *reinterpret_cast<const typename Floats<Lanes>::in_memory*>(source);
}

template <std::size_t Lanes>
[[gnu::always_inline]] inline void store(float* target, const typename Floats<Lanes>::type& vector) {
  *reinterpret_cast<typename Floats<Lanes>::in_memory*>(target) = vector;
}

// The TileFunction of `shape`. Each lane is one output sum; every inner step
// is one rounded multiply followed by one rounded add, never a fused
// multiply-add (the library builds with -ffp-contract=off). Always inlined, so
// that a path calling it from a function built for its instruction set
// (kernels_avx2.cpp, kernels_avx512.cpp) gets that instruction set's registers.
template <TileShape shape>
[[gnu::always_inline]] inline void run(std::size_t depth, const float* left, std::size_t left_stride,
                                       const float* packed, float* output, std::size_t output_stride) {
  using Vector = typename Floats<shape.lanes>::type;
  constexpr std::size_t columns = shape.columns();
  Vector sums[shape.rows][shape.vectors];
#pragma GCC unroll 16
  for (std::size_t i = 0; i < shape.rows; ++i) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < shape.vectors; ++j) {
      load<shape.lanes>(sums[i][j], output + i * output_stride + j * shape.lanes);
    }
  }
  for (std::size_t k = 0; k < depth; ++k) {
    Vector right[shape.vectors];
#pragma GCC unroll 4
    for (std::size_t j = 0; j < shape.vectors; ++j) {
      load<shape.lanes>(right[j], packed + k * columns + j * shape.lanes);
    }
#pragma GCC unroll 16
    for (std::size_t i = 0; i < shape.rows; ++i) {
      // The scalar operand is broadcast to every lane.
      const float left_value = left[i * left_stride + k];
#pragma GCC unroll 4
      for (std::size_t j = 0; j < shape.vectors; ++j) {
        const Vector product = left_value * right[j];
        sums[i][j] = product + sums[i][j];
      }
    }
  }
#pragma GCC unroll 16
  for (std::size_t i = 0; i < shape.rows; ++i) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < shape.vectors; ++j) {
      store<shape.lanes>(output + i * output_stride + j * shape.lanes, sums[i][j]);
    }
  }
}

// The TileKernel of `shape`; `compiled` is run<shape> compiled for the path's
// instruction set.
template <TileShape shape>
[[nodiscard]] constexpr TileKernel kernel(TileFunction compiled) {
  static_assert(shape.rows <= max_tile_rows && shape.columns() <= max_tile_columns &&
                shape.depth <= max_tile_depth && shape.depth * shape.columns() <= max_panel_floats);
  return TileKernel{.rows = shape.rows, .columns = shape.columns(), .depth = shape.depth, .run = compiled};
}

}  // namespace tile_lanes
}  // namespace orvo_compiler::detail
