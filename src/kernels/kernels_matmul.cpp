// The blocked matrix product behind every kernel path, and the choice of path
// for it and for the row kernels.
//
// Steps: the right matrix is cut into panels of a tile's width and of a fixed
// depth of inner steps, each panel copied once into a contiguous buffer (or
// read where it lies, when the caller packed the whole matrix ahead); every
// row block of the left matrix then runs its register tile over the panel.
// A tile stores its sums back after each panel and the next panel of greater
// depth picks them up, so every output element still receives its products
// one at a time in ascending inner order. Blocking changes which independent
// sums advance together, never the order within one sum.
//
// The widest path the processor offers is taken on every call; it is not
// guaranteed to be the fastest one on every shape. A path the processor lacks
// is never entered: asking for one stops the process.
#include <algorithm>
#include <cstddef>

#include "support/check.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "kernels/kernels_rows.hpp"
#include "kernels/kernels_tile.hpp"

namespace orvo_compiler::detail {
namespace {

// The matrix tile and the row kernels of a path.
struct PathKernels {
  TileKernel tile;
  RowFunction rows = nullptr;
};

PathKernels kernels_for(KernelPath path) {
  switch (path) {
    case KernelPath::Portable:
      return PathKernels{.tile = portable_tile(), .rows = portable_row_function()};
    case KernelPath::Avx2:
#if defined(__x86_64__)
      return PathKernels{.tile = avx2_tile(), .rows = avx2_row_function()};
#else
      break;
#endif
    case KernelPath::Avx512:
#if defined(__x86_64__)
      return PathKernels{.tile = avx512_tile(), .rows = avx512_row_function()};
#else
      break;
#endif
  }
  return PathKernels{.tile = portable_tile(), .rows = portable_row_function()};
}

// The portable tile: four-float vectors of the compiler's generic vector
// type, which every target lowers to its own registers or to scalar code.
constexpr TileShape portable_shape{.lanes = 4, .rows = 4, .vectors = 2, .depth = 256};

template <std::size_t Rows, std::size_t Vectors>
struct PortableSized {
  static void run(std::size_t depth, const float* left, std::size_t left_stride, const float* packed, float* output,
                  std::size_t output_stride, bool from_zero) {
    tile_lanes::run<portable_shape.sized(Rows, Vectors)>(depth, left, left_stride, packed, output, output_stride,
                                                         from_zero);
  }
};

void portable_run_shifted(std::size_t depth, const float* left, std::size_t left_stride, const float* right,
                          const std::ptrdiff_t* offsets, float* output, std::size_t output_stride, bool from_zero) {
  tile_lanes::run_shifted<portable_shape>(depth, left, left_stride, right, offsets, output, output_stride, from_zero);
}

// A block of the right matrix: `depth` inner steps from first_k, `count`
// columns from first_column.
struct Panel {
  std::size_t first_k = 0;
  std::size_t depth = 0;
  std::size_t first_column = 0;
  std::size_t count = 0;
};

// The panel after `panel`: the next depth block of the same columns, or the
// first depth block of the next columns; depth 0 after the last panel.
Panel next_panel(const TileKernel& tile, const Panel& panel, std::size_t inner, std::size_t columns) {
  std::size_t first_k = panel.first_k + panel.depth;
  std::size_t first_column = panel.first_column;
  if (first_k >= inner) {
    first_k = 0;
    first_column += tile.columns;
  }
  if (first_column >= columns) {
    return Panel{};
  }
  return Panel{.first_k = first_k,
               .depth = std::min(tile.depth, inner - first_k),
               .first_column = first_column,
               .count = std::min(tile.columns, columns - first_column)};
}

const float* panel_row(MatrixView right, const Panel& panel, std::size_t k) {
  return right.data + (panel.first_k + k) * right.row_stride + panel.first_column * right.column_stride;
}

// Asks the cache for rows [from, to) of `panel` in the right matrix. Its rows
// usually lie pages apart, beyond the reach of hardware prefetchers, so the
// driver requests the next panel piece by piece while tiles compute.
// Transposed panels (column_stride above 1) are left to the hardware.
void prefetch_rows(MatrixView right, const Panel& panel, std::size_t from, std::size_t to) {
  if (right.column_stride != 1) {
    return;
  }
  for (std::size_t k = from; k < to; ++k) {
    const float* const row = panel_row(right, panel, k);
    for (std::size_t offset = 0; offset < panel.count; offset += 16) {
      __builtin_prefetch(row + offset, 0, 2);
    }
    __builtin_prefetch(row + panel.count - 1, 0, 2);
  }
}

// Copies right(first_k + k, first_column + j) for k below depth and j below
// count to packed[k * width + j], and +0.0 to the width - count places after.
void pack_right(MatrixView right, const Panel& panel, std::size_t width, float* packed) {
  for (std::size_t k = 0; k < panel.depth; ++k) {
    const float* const source = panel_row(right, panel, k);
    float* const target = packed + k * width;
    if (right.column_stride == 1) {
      std::copy_n(source, panel.count, target);
    } else {
      for (std::size_t j = 0; j < panel.count; ++j) {
        target[j] = source[j * right.column_stride];
      }
    }
    std::fill(target + panel.count, target + width, 0.0F);
  }
}

// Rows of output sums a product keeps apart from its output while it goes
// through the depth blocks (32 KiB at the widest tile).
constexpr std::size_t chunk_rows = 128;

// Runs `tile` over every block. A last block of fewer rows runs a tile of
// just those rows, and a last panel narrower than the tile the narrowest
// tile that covers it, so a product wastes at most one register's lanes per
// row, never whole rows or registers; a panel whose columns end inside a
// register runs on a zero-padded copy of its outputs, whose padding lanes
// compute sums nobody reads. With `prepacked`
// (pack_right_matrix's layout, whose last block has that narrower width),
// panels are read where they lie instead of being copied.
//
// The loops visit the tiles in one of two orders, whichever reads the larger
// matrix once: panel by panel, each run by every row block of a chunk of
// `chunk_rows` rows, whose sums stay in a buffer of their own from the first
// depth block to the last (the right matrix is read once per chunk, the left
// once per panel of columns); or, for a packed right
// matrix with more rows than columns (a conv of many filters over few
// positions), depth block by depth block and row block by row block, each
// block of rows running every panel of that depth (the left matrix is read
// once). Each tile's sums go through the depth blocks in ascending order in
// both, so the order never changes a bit.
void run_tiles(const TileKernel& tile, MatrixView left, MatrixView right, const float* prepacked, float* output,
               std::size_t output_stride, std::size_t rows, std::size_t inner, std::size_t columns, SumStart start) {
  alignas(64) float packed[max_panel_floats];
  alignas(64) float output_edge[max_tile_rows * max_tile_columns];
  alignas(64) float sums[chunk_rows * max_tile_columns];
  if (rows == 0 || inner == 0 || columns == 0) {
    return;
  }

  // Rows per row block: the tile's, or fewer, as evenly as the tile's
  // rows allow (49 rows as 7 blocks of 7, not 6 of 8 and a block of 1).
  const std::size_t fewest_blocks = (rows + tile.rows - 1) / tile.rows;
  const std::size_t block_rows = (rows + fewest_blocks - 1) / fewest_blocks;
  const std::size_t row_blocks = (rows + block_rows - 1) / block_rows;
  // The rows of row block `block`: block_rows, or fewer in the last.
  const auto rows_in = [&](std::size_t block) { return std::min(block_rows, rows - block * block_rows); };
  // The left rows of row block `block` at the panel's depths, where they lie.
  const auto left_rows = [&](std::size_t block, const Panel& panel) {
    return MatrixView{.data = left.data + block * block_rows * left.row_stride + panel.first_k,
                      .row_stride = left.row_stride};
  };
  // The panel's width in floats: its columns in whole registers.
  const auto width_of = [&](const Panel& panel) {
    return (panel.count + tile.lanes - 1) / tile.lanes * tile.lanes;
  };
  // The tile for row block `block` over a panel `width` floats wide.
  const auto tile_for = [&](std::size_t block, std::size_t width) {
    return tile.sized[rows_in(block) - 1][width / tile.lanes - 1];
  };
  // The panel's data, packed into `packed` unless the caller packed it.
  const auto panel_data = [&](const Panel& panel) -> const float* {
    const std::size_t width = width_of(panel);
    if (prepacked == nullptr) {
      pack_right(right, panel, width, packed);
      return packed;
    }
    return prepacked + packed_row_offset(inner, tile.columns, panel.first_column / tile.columns, panel.first_k, width);
  };
  // One tile: row block `block` (its left rows `rows_of`) over the panel.
  const auto run_tile = [&](std::size_t block, MatrixView rows_of, const Panel& panel, const float* data) {
    const std::size_t width = width_of(panel);
    const TileFunction run = tile_for(block, width);
    // The first depth block of a product from zero never reads the output.
    const bool from_zero = start == SumStart::Zero && panel.first_k == 0;
    const std::size_t row_count = rows_in(block);
    float* const tile_output = output + block * block_rows * output_stride + panel.first_column;
    if (panel.count == width) {
      run(panel.depth, rows_of.data, rows_of.row_stride, data, tile_output, output_stride, from_zero);
      return;
    }
    for (std::size_t i = 0; i < row_count; ++i) {
      float* const target = output_edge + i * width;
      std::fill_n(target, width, 0.0F);
      if (!from_zero) {
        std::copy_n(tile_output + i * output_stride, panel.count, target);
      }
    }
    run(panel.depth, rows_of.data, rows_of.row_stride, data, output_edge, width, from_zero);
    for (std::size_t i = 0; i < row_count; ++i) {
      std::copy_n(output_edge + i * width, panel.count, tile_output + i * output_stride);
    }
  };
  if (prepacked != nullptr && rows > columns) {
    for (std::size_t first_k = 0; first_k < inner; first_k += tile.depth) {
      const std::size_t depth = std::min(tile.depth, inner - first_k);
      for (std::size_t block = 0; block < row_blocks; ++block) {
        const MatrixView rows_of = left_rows(block, Panel{.first_k = first_k, .depth = depth});
        for (std::size_t first_column = 0; first_column < columns; first_column += tile.columns) {
          const Panel panel{.first_k = first_k,
                            .depth = depth,
                            .first_column = first_column,
                            .count = std::min(tile.columns, columns - first_column)};
          run_tile(block, rows_of, panel, panel_data(panel));
        }
      }
    }
    return;
  }

  if (inner <= tile.depth) {
    // One depth block: each tile reads and writes its output once.
    for (std::size_t first_column = 0; first_column < columns; first_column += tile.columns) {
      const Panel panel{.first_k = 0,
                        .depth = inner,
                        .first_column = first_column,
                        .count = std::min(tile.columns, columns - first_column)};
      const float* const data = panel_data(panel);
      for (std::size_t row_block = 0; row_block < row_blocks; ++row_block) {
        run_tile(row_block, left_rows(row_block, panel), panel, data);
      }
    }
    return;
  }

  // Several depth blocks: the sums of a chunk of row blocks stay in `sums`
  // (rows a panel's width apart) from the first depth block to the last, and
  // only then go to the output. Output rows often lie a multiple of a page
  // apart (3,072 columns, say), where a tile's rows would all fall into the
  // same few first-level cache sets and evict each other and the panel.
  const std::size_t chunk_blocks = std::max<std::size_t>(1, chunk_rows / block_rows);
  // The panels in the order they run: depth blocks of a column block for one
  // chunk of row blocks, the same again for the next chunk, then the next
  // column block. depth 0 after the last.
  const auto following = [&](const Panel& panel, std::size_t first_block) {
    if (panel.first_k + panel.depth < inner) {
      return Panel{.first_k = panel.first_k + panel.depth,
                   .depth = std::min(tile.depth, inner - panel.first_k - panel.depth),
                   .first_column = panel.first_column,
                   .count = panel.count};
    }
    if (first_block + chunk_blocks < row_blocks) {
      return Panel{.first_k = 0, .depth = tile.depth, .first_column = panel.first_column, .count = panel.count};
    }
    return next_panel(tile, panel, inner, columns);
  };
  for (std::size_t first_column = 0; first_column < columns; first_column += tile.columns) {
    const std::size_t count = std::min(tile.columns, columns - first_column);
    for (std::size_t first_block = 0; first_block < row_blocks; first_block += chunk_blocks) {
      const std::size_t end_block = std::min(row_blocks, first_block + chunk_blocks);
      Panel panel{.first_k = 0, .depth = tile.depth, .first_column = first_column, .count = count};
      const std::size_t width = width_of(panel);
      if (prepacked == nullptr && first_column == 0 && first_block == 0) {
        prefetch_rows(right, panel, 0, panel.depth);
      }
      for (bool last = false; !last; panel = following(panel, first_block)) {
        const float* const data = panel_data(panel);
        const Panel next = following(panel, first_block);
        const bool first = panel.first_k == 0;
        last = panel.first_k + panel.depth == inner;
        for (std::size_t block = first_block; block < end_block; ++block) {
          if (next.depth != 0 && prepacked == nullptr) {
            const std::size_t blocks = end_block - first_block;
            const std::size_t at = block - first_block;
            prefetch_rows(right, next, next.depth * at / blocks, next.depth * (at + 1) / blocks);
          }
          float* const tile_sums = sums + (block - first_block) * block_rows * width;
          if (first && start == SumStart::Output) {
            const float* const tile_output = output + block * block_rows * output_stride + first_column;
            for (std::size_t i = 0; i < rows_in(block); ++i) {
              float* const target = tile_sums + i * width;
              std::fill_n(target, width, 0.0F);
              std::copy_n(tile_output + i * output_stride, count, target);
            }
          }
          const MatrixView rows_of = left_rows(block, panel);
          tile_for(block, width)(panel.depth, rows_of.data, rows_of.row_stride, data, tile_sums, width,
                                 first && start == SumStart::Zero);
        }
      }
      // The chunk's sums, to the output once the panel's tiles are all done.
      const std::size_t first_row = first_block * block_rows;
      const std::size_t end_row = std::min(rows, end_block * block_rows);
      for (std::size_t row = first_row; row < end_row; ++row) {
        std::copy_n(sums + (row - first_row) * width, count, output + row * output_stride + first_column);
      }
    }
  }
}

// A product on `path`'s tiles, the right matrix packed ahead or not.
void run_product(KernelPath path, MatrixView left, MatrixView right, const float* prepacked, float* output,
                 std::size_t output_stride, std::size_t rows, std::size_t inner, std::size_t columns, SumStart start) {
  require(path_supported(path), "matmul: kernel path not supported by this processor");
  if (inner == 0 && start == SumStart::Zero) {
    // No panel runs, so the sums' start is the whole product.
    for (std::size_t r = 0; r < rows; ++r) {
      std::fill_n(output + r * output_stride, columns, 0.0F);
    }
    return;
  }
  run_tiles(kernels_for(path).tile, left, right, prepacked, output, output_stride, rows, inner, columns, start);
}

}  // namespace

TileKernel portable_tile() {
  return tile_lanes::kernel<portable_shape, PortableSized>(portable_run_shifted);
}

TileKernel tile_kernel(KernelPath path) {
  require(path_supported(path), "matmul: kernel path not supported by this processor");
  return kernels_for(path).tile;
}

std::string_view path_name(KernelPath path) {
  switch (path) {
    case KernelPath::Portable:
      return "portable";
    case KernelPath::Avx2:
      return "avx2";
    case KernelPath::Avx512:
      return "avx512";
  }
  return "unknown";
}

bool path_supported(KernelPath path) {
  switch (path) {
    case KernelPath::Portable:
      return true;
    case KernelPath::Avx2:
#if defined(__x86_64__)
      return __builtin_cpu_supports("avx2");
#else
      return false;
#endif
    case KernelPath::Avx512:
#if defined(__x86_64__)
      return __builtin_cpu_supports("avx512f");
#else
      return false;
#endif
  }
  return false;
}

std::vector<KernelPath> available_paths() {
  std::vector<KernelPath> paths;
  for (const KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512}) {
    if (path_supported(path)) {
      paths.push_back(path);
    }
  }
  return paths;
}

KernelPath best_path() {
  if (path_supported(KernelPath::Avx512)) {
    return KernelPath::Avx512;
  }
  if (path_supported(KernelPath::Avx2)) {
    return KernelPath::Avx2;
  }
  return KernelPath::Portable;
}

RowFunction row_function(KernelPath path) {
  require(path_supported(path), "row kernels: kernel path not supported by this processor");
  return kernels_for(path).rows;
}

std::size_t matmul_column_step(KernelPath path) { return tile_kernel(path).columns; }

void matmul_accumulate(KernelPath path, MatrixView left, MatrixView right, float* output, std::size_t output_stride,
                       std::size_t rows, std::size_t inner, std::size_t columns, SumStart start) {
  run_product(path, left, right, nullptr, output, output_stride, rows, inner, columns, start);
}

std::size_t packed_right_floats(KernelPath path, std::size_t inner, std::size_t columns) {
  const std::size_t step = matmul_column_step(path);
  return (columns + step - 1) / step * step * inner;
}

std::size_t packed_block_width(KernelPath path, std::size_t count) {
  const TileKernel tile = kernels_for(path).tile;
  return std::min(tile.columns, (count + tile.lanes - 1) / tile.lanes * tile.lanes);
}

void pack_right_matrix(KernelPath path, MatrixView right, std::size_t inner, std::size_t columns, float* packed) {
  const std::size_t step = matmul_column_step(path);
  for (std::size_t first_column = 0; first_column < columns; first_column += step) {
    const Panel block{
        .first_k = 0, .depth = inner, .first_column = first_column, .count = std::min(step, columns - first_column)};
    pack_right(right, block, packed_block_width(path, block.count), packed + first_column * inner);
  }
}

void matmul_accumulate_packed(KernelPath path, MatrixView left, const float* packed, float* output,
                              std::size_t output_stride, std::size_t rows, std::size_t inner, std::size_t columns,
                              SumStart start) {
  run_product(path, left, MatrixView{}, packed, output, output_stride, rows, inner, columns, start);
}

}  // namespace orvo_compiler::detail
