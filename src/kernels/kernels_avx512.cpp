// The AVX-512 instruction-set path: the register tile of kernels_tile.hpp with
// 16-lane registers, each holding 16 neighbouring output sums, and the row
// kernels of kernels_rows.hpp on 16-lane registers.
#if defined(__x86_64__)

#include <cstddef>

#include "kernels/kernels_rows.hpp"
#include "kernels/kernels_tile.hpp"

namespace orvo_compiler::detail {
namespace {

// 8 rows x 3 vectors: 24 sums, 3 panel vectors, a broadcast and a product
// fill 29 of the 32 registers; a 192-deep panel of 48 columns (36 KiB) stays
// in a 48 KiB first-level cache beside the tile's left rows.
constexpr TileShape tile_shape{.lanes = 16, .rows = 8, .vectors = 3, .depth = 192};

// The tile with `Rows` rows of `Vectors` registers: the full one, and the
// smaller ones that a last block of few rows or a last panel of few columns
// runs.
template <std::size_t Rows, std::size_t Vectors>
struct Sized {
  __attribute__((target("avx512f"))) static void run(std::size_t depth, const float* left, std::size_t left_stride,
                                                   const float* packed, float* output, std::size_t output_stride,
                                                   bool from_zero) {
    tile_lanes::run<tile_shape.sized(Rows, Vectors)>(depth, left, left_stride, packed, output, output_stride,
                                                     from_zero);
  }
};

// The full tile over shifted rows.
__attribute__((target("avx512f"))) void run_shifted(std::size_t depth, const float* left, std::size_t left_stride,
                                             const float* right, const std::ptrdiff_t* offsets, float* output,
                                             std::size_t output_stride, bool from_zero) {
  tile_lanes::run_shifted<tile_shape>(depth, left, left_stride, right, offsets, output, output_stride, from_zero);
}

// The row kernels on 16-lane vectors.
__attribute__((target("avx512f"))) void run_rows(const RowWork& work) { row_lanes::run<16>(KernelPath::Avx512, work); }

}  // namespace

TileKernel avx512_tile() { return tile_lanes::kernel<tile_shape, Sized>(run_shifted); }

RowFunction avx512_row_function() { return run_rows; }

}  // namespace orvo_compiler::detail

#endif
