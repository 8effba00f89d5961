// The AVX2 instruction-set path: the register tile of kernels_tile.hpp with
// 8-lane registers, each holding 8 neighbouring output sums, and the row
// kernels of kernels_rows.hpp on 8-lane registers.
#if defined(__x86_64__)

#include <cstddef>

#include "kernels/kernels_rows.hpp"
#include "kernels/kernels_tile.hpp"

namespace orvo_compiler::detail {
namespace {

// 3 rows x 4 vectors: 12 sums, 4 panel vectors, a broadcast and a product
// fill the 16 registers without spilling; a 192-deep panel of 32 columns
// takes 24 KiB.
constexpr TileShape tile_shape{.lanes = 8, .rows = 3, .vectors = 4, .depth = 192};

// The tile with `Rows` rows of `Vectors` registers: the full one, and the
// smaller ones that a last block of few rows or a last panel of few columns
// runs.
template <std::size_t Rows, std::size_t Vectors>
struct Sized {
  __attribute__((target("avx2"))) static void run(std::size_t depth, const float* left, std::size_t left_stride,
                                                   const float* packed, float* output, std::size_t output_stride,
                                                   bool from_zero) {
    tile_lanes::run<tile_shape.sized(Rows, Vectors)>(depth, left, left_stride, packed, output, output_stride,
                                                     from_zero);
  }
};

// The full tile over shifted rows.
__attribute__((target("avx2"))) void run_shifted(std::size_t depth, const float* left, std::size_t left_stride,
                                             const float* right, const std::ptrdiff_t* offsets, float* output,
                                             std::size_t output_stride, bool from_zero) {
  tile_lanes::run_shifted<tile_shape>(depth, left, left_stride, right, offsets, output, output_stride, from_zero);
}

// The row kernels on 8-lane vectors.
__attribute__((target("avx2"))) void run_rows(const RowWork& work) { row_lanes::run<8>(KernelPath::Avx2, work); }

}  // namespace

TileKernel avx2_tile() { return tile_lanes::kernel<tile_shape, Sized>(run_shifted); }

RowFunction avx2_row_function() { return run_rows; }

}  // namespace orvo_compiler::detail

#endif
