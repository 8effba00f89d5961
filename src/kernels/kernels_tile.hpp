// Register tiles of the blocked matrix product, one per instruction-set path,
// all made from the one width-generic tile below. A tile keeps rows x columns
// output sums in registers and walks the inner dimension once, in ascending
// order, so each sum is formed exactly as the plain loop forms it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace orvo_compiler::detail {

// Continues the sums of one full tile over `depth` inner steps:
// output[i * output_stride + j] = (left[i * left_stride + k] x packed[k * columns + j])
// + output[i * output_stride + j] for k ascending, i below rows, j below columns.
// With `from_zero` every sum starts at +0.0 instead, and the output's
// previous content is never read.
using TileFunction = void (*)(std::size_t depth, const float* left, std::size_t left_stride, const float* packed,
                              float* output, std::size_t output_stride, bool from_zero);

// The same sums with the right operand's row k at right + offsets[k]
// instead of in a packed panel: rows that lie anywhere (shifted rows of a
// conv's input), each read as `columns` consecutive floats.
using ShiftedTileFunction = void (*)(std::size_t depth, const float* left, std::size_t left_stride, const float* right,
                                     const std::ptrdiff_t* offsets, float* output, std::size_t output_stride,
                                     bool from_zero);

// Most registers a tile keeps per row, and most rows, on any path.
inline constexpr std::size_t max_tile_vectors = 4;
inline constexpr std::size_t max_tile_rows = 8;

struct TileKernel {
  std::size_t rows = 0;
  std::size_t columns = 0;
  // Inner steps per packed panel of the right matrix, sized so that the panel
  // and the tile's left rows stay in the first-level cache.
  std::size_t depth = 0;
  // Floats per register.
  std::size_t lanes = 0;
  // The full tile reading shifted rows.
  ShiftedTileFunction shifted = nullptr;
  // The tile keeping r rows of v registers of `lanes` columns each:
  // sized[r - 1][v - 1], for r up to `rows` and v up to columns / lanes
  // (the full tile at both). A last panel of few columns runs the fewest
  // registers that cover it, its packed panel rows lanes x v floats apart;
  // a last block of fewer rows than the tile runs a tile of just its rows
  // rather than the full tile on rows padded with zeros.
  std::array<std::array<TileFunction, max_tile_vectors>, max_tile_rows> sized{};
};

// Bounds on every path's tile and panel, which size the driver's fixed
// buffers with max_tile_rows: columns, depth, and depth x columns.
inline constexpr std::size_t max_tile_columns = 64;
inline constexpr std::size_t max_tile_depth = 256;
inline constexpr std::size_t max_panel_floats = 12288;

enum class KernelPath : std::uint8_t;

[[nodiscard]] TileKernel portable_tile();
// The tile of `path`, which the processor must support.
[[nodiscard]] TileKernel tile_kernel(KernelPath path);
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
  // The same tile with `count` rows of `vector_count` registers.
  [[nodiscard]] constexpr TileShape sized(std::size_t count, std::size_t vector_count) const {
    return TileShape{.lanes = lanes, .rows = count, .vectors = vector_count, .depth = depth};
  }
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

// The tile of `shape` over right rows row_of(k). Each lane is one output
// sum; every inner step is one rounded multiply followed by one rounded add,
// never a fused multiply-add (the library builds with -ffp-contract=off).
// Always inlined, so that a path calling it from a function built for its
// instruction set (kernels_avx2.cpp, kernels_avx512.cpp) gets that
// instruction set's registers.
template <TileShape shape, class RowOf>
[[gnu::always_inline]] inline void run_over(std::size_t depth, const float* left, std::size_t left_stride,
                                            const RowOf& row_of, float* output, std::size_t output_stride,
                                            bool from_zero) {
  using Vector = typename Floats<shape.lanes>::type;
  Vector sums[shape.rows][shape.vectors];
#pragma GCC unroll 16
  for (std::size_t i = 0; i < shape.rows; ++i) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < shape.vectors; ++j) {
      if (from_zero) {
        sums[i][j] = Vector{};
      } else {
        load<shape.lanes>(sums[i][j], output + i * output_stride + j * shape.lanes);
      }
    }
  }
  for (std::size_t k = 0; k < depth; ++k) {
    Vector right[shape.vectors];
    const float* const row = row_of(k);
#pragma GCC unroll 4
    for (std::size_t j = 0; j < shape.vectors; ++j) {
      load<shape.lanes>(right[j], row + j * shape.lanes);
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

// The TileFunction of `shape`: right row k is row k of a packed panel.
template <TileShape shape>
[[gnu::always_inline]] inline void run(std::size_t depth, const float* left, std::size_t left_stride,
                                       const float* packed, float* output, std::size_t output_stride,
                                       bool from_zero) {
  run_over<shape>(
      depth, left, left_stride, [packed](std::size_t k) { return packed + k * shape.columns(); }, output,
      output_stride, from_zero);
}

// The ShiftedTileFunction of `shape`.
template <TileShape shape>
[[gnu::always_inline]] inline void run_shifted(std::size_t depth, const float* left, std::size_t left_stride,
                                               const float* right, const std::ptrdiff_t* offsets, float* output,
                                               std::size_t output_stride, bool from_zero) {
  run_over<shape>(
      depth, left, left_stride, [right, offsets](std::size_t k) { return right + offsets[k]; }, output,
      output_stride, from_zero);
}

// The TileKernel of `shape`: Sized<r, v>::run is run<shape.sized(r, v)>
// compiled for the path's instruction set, and shifted run_shifted<shape>.
template <TileShape shape, template <std::size_t, std::size_t> class Sized>
[[nodiscard]] constexpr TileKernel kernel(ShiftedTileFunction shifted) {
  static_assert(shape.rows <= max_tile_rows && shape.columns() <= max_tile_columns &&
                shape.depth <= max_tile_depth && shape.depth * shape.columns() <= max_panel_floats &&
                shape.vectors <= max_tile_vectors);
  TileKernel tile{.rows = shape.rows,
                  .columns = shape.columns(),
                  .depth = shape.depth,
                  .lanes = shape.lanes,
                  .shifted = shifted};
  [&tile]<std::size_t... I>(std::index_sequence<I...>) {
    ((tile.sized[I / shape.vectors][I % shape.vectors] = &Sized<I / shape.vectors + 1, I % shape.vectors + 1>::run),
     ...);
  }(std::make_index_sequence<shape.rows * shape.vectors>{});
  return tile;
}

}  // namespace tile_lanes
}  // namespace orvo_compiler::detail
