// The row kernels (layer normalisation, softmax, GELU) written once for any
// vector width. Where a row is summed, each lane of a vector holds a different
// row, so every row's sum takes its elements one at a time in ascending order,
// exactly as the plain loop does; everywhere else lanes hold independent
// elements. Each lane step is the plain loop's single-precision operation
// (nothing fused: the library is built with -ffp-contract=off), so every width
// gives the same bits. The exponentials and hyperbolic tangents go to the
// batch functions of exact_math.hpp, on the same path.
//
// Every function here is always inlined, lambdas included, so that an
// instruction-set path which calls them from a function built for its
// instruction set (kernels_avx2.cpp, kernels_avx512.cpp) gets its own
// registers for the vector operations.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <utility>

#include "kernels/exact_math.hpp"
#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler::detail {

enum class RowOperation : std::uint8_t {
  // Each row minus its mean, times 1 / sqrt(variance + epsilon).
  LayerNorm,
  // Each row's softmax.
  Softmax,
  // GELU (tanh form) of every element.
  Gelu,
};

// One run of a row kernel over rows x columns values from `input` into
// `output`, which may be the input itself but must not otherwise overlap it.
// Arguments are trusted: both counts are non-zero and every element exists.
struct RowWork {
  RowOperation operation = RowOperation::Gelu;
  const float* input = nullptr;
  float* output = nullptr;
  std::size_t rows = 0;
  std::size_t columns = 0;
  float epsilon = 0.0F;  // LayerNorm only
};

// The row kernels of one instruction-set path, one entry for all three.
using RowFunction = void (*)(const RowWork& work);

// The row kernels of `path`; a path the processor lacks stops the process
// (kernels_matmul.cpp, beside the choice of matrix tiles).
[[nodiscard]] RowFunction row_function(KernelPath path);

[[nodiscard]] RowFunction portable_row_function();
#if defined(__x86_64__)
[[nodiscard]] RowFunction avx2_row_function();
[[nodiscard]] RowFunction avx512_row_function();
#endif

namespace row_lanes {

template <std::size_t Lanes>
struct LaneType;
template <>
struct LaneType<4> {
  using type = float __attribute__((vector_size(16)));
};
template <>
struct LaneType<8> {
  using type = float __attribute__((vector_size(32)));
};
template <>
struct LaneType<16> {
  using type = float __attribute__((vector_size(64)));
};

template <std::size_t Lanes>
using Vector = typename LaneType<Lanes>::type;

template <std::size_t Lanes>
[[gnu::always_inline]] inline void splat(Vector<Lanes>& vector, float value) {
  for (std::size_t lane = 0; lane < Lanes; ++lane) {
    vector[lane] = value;
  }
}

// The first `count` lanes (at most Lanes) from `source`, the others +0.0.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void load(Vector<Lanes>& vector, const float* source, std::size_t count) {
  if (count == Lanes) {
    std::memcpy(&vector, source, sizeof vector);
    return;
  }
  vector = Vector<Lanes>{};
  std::memcpy(&vector, source, count * sizeof(float));
}

template <std::size_t Lanes>
[[gnu::always_inline]] inline void store(float* target, const Vector<Lanes>& vector, std::size_t count) {
  if (count == Lanes) {
    std::memcpy(target, &vector, sizeof vector);
    return;
  }
  std::memcpy(target, &vector, count * sizeof(float));
}

// step(x, y) for every Lanes positions of `count`: x holds input[i] and y
// output[i] is written from it; the last vector is padded with +0.0 lanes,
// whose results are dropped.
template <std::size_t Lanes, class Step>
[[gnu::always_inline]] inline void map(const float* input, float* output, std::size_t count, Step step) {
  for (std::size_t first = 0; first < count; first += Lanes) {
    const std::size_t width = std::min(Lanes, count - first);
    Vector<Lanes> x;
    load<Lanes>(x, input + first, width);
    Vector<Lanes> y;
    step(x, y);
    store<Lanes>(output + first, y, width);
  }
}

// As map, with a second input list read at the same positions.
template <std::size_t Lanes, class Step>
[[gnu::always_inline]] inline void map2(const float* first_input, const float* second_input, float* output,
                                        std::size_t count, Step step) {
  for (std::size_t first = 0; first < count; first += Lanes) {
    const std::size_t width = std::min(Lanes, count - first);
    Vector<Lanes> x;
    load<Lanes>(x, first_input + first, width);
    Vector<Lanes> z;
    load<Lanes>(z, second_input + first, width);
    Vector<Lanes> y;
    step(x, z, y);
    store<Lanes>(output + first, y, width);
  }
}

// Up to Lanes rows of `columns` floats from `first`, each `columns` after the
// one before; lanes past `count` repeat the last row, so that every lane reads
// a real row and the padding lanes' results can be dropped.
template <std::size_t Lanes>
struct RowBlock {
  const float* rows[Lanes];
  std::size_t count;
  std::size_t columns;
};

template <std::size_t Lanes>
[[gnu::always_inline]] inline RowBlock<Lanes> row_block(const float* first, std::size_t count, std::size_t columns) {
  RowBlock<Lanes> block{};
  for (std::size_t lane = 0; lane < Lanes; ++lane) {
    block.rows[lane] = first + std::min(lane, count - 1) * columns;
  }
  block.count = count;
  block.columns = columns;
  return block;
}

// Row `Row` of a Lanes x Lanes tile after one stage of its transpose, into
// `row`: rows i and i + Width, for i with bit Width clear, swap the
// Width x Width blocks off their 2 x 2 block diagonal. `upper` and `lower`
// are those two rows before the stage.
template <std::size_t Lanes, std::size_t Width, std::size_t Row, std::size_t... Index>
[[gnu::always_inline]] inline void swapped_row(const Vector<Lanes>& upper, const Vector<Lanes>& lower,
                                               Vector<Lanes>& row, std::index_sequence<Index...> /*lanes*/) {
  if constexpr ((Row & Width) == 0) {
    row = __builtin_shufflevector(upper, lower, ((Index & Width) != 0 ? Lanes + Index - Width : Index)...);
  } else {
    row = __builtin_shufflevector(upper, lower, ((Index & Width) != 0 ? Lanes + Index : Index + Width)...);
  }
}

// The tile (an entry a row) transposed in place by the stages of Width down
// to 1, each a set of two-vector shuffles with constant lanes.
template <std::size_t Lanes, std::size_t Width, std::size_t... Row>
[[gnu::always_inline]] inline void transpose(std::array<Vector<Lanes>, Lanes>& tile, std::index_sequence<Row...> rows) {
  const std::array<Vector<Lanes>, Lanes> before = tile;
  (swapped_row<Lanes, Width, Row>(before[Row & ~Width], before[Row | Width], tile[Row],
                                  std::make_index_sequence<Lanes>{}),
   ...);
  if constexpr (Width > 1) {
    transpose<Lanes, Width / 2>(tile, rows);
  }
}

// Columns [first, first + Lanes) of the block's rows, a row to an entry
// (written out entry by entry, so that the tile stays in registers).
template <std::size_t Lanes, std::size_t... Row>
[[gnu::always_inline]] inline void load_tile(std::array<Vector<Lanes>, Lanes>& tile, const RowBlock<Lanes>& block,
                                             std::size_t first, std::index_sequence<Row...> /*rows*/) {
  (std::memcpy(&tile[Row], block.rows[Row] + first, sizeof tile[Row]), ...);
}

// Runs accumulator = step(accumulator, column c of the block's rows) for c
// from 0 to columns - 1 ascending: lane i follows row i alone, in order.
// Whole tiles of Lanes columns are read a row at a time and transposed in
// registers; the columns past the last whole tile one element at a time.
template <std::size_t Lanes, class Step>
[[gnu::always_inline]] inline void fold_rows(const RowBlock<Lanes>& block, Vector<Lanes>& accumulator, Step step) {
  std::size_t first = 0;
  for (; first + Lanes <= block.columns; first += Lanes) {
    std::array<Vector<Lanes>, Lanes> tile;
    load_tile<Lanes>(tile, block, first, std::make_index_sequence<Lanes>{});
    transpose<Lanes, Lanes / 2>(tile, std::make_index_sequence<Lanes>{});
    for (const Vector<Lanes>& column : tile) {
      step(accumulator, column);
    }
  }
  for (std::size_t column = first; column < block.columns; ++column) {
    Vector<Lanes> elements;
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
      elements[lane] = block.rows[lane][column];
    }
    step(accumulator, elements);
  }
}

// Layer normalisation of up to Lanes rows from `input` into `output`.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void layer_norm_block(const float* input, float* output, std::size_t count,
                                                    std::size_t columns, float epsilon) {
  using V = Vector<Lanes>;
  const RowBlock<Lanes> block = row_block<Lanes>(input, count, columns);
  V divisor;
  splat<Lanes>(divisor, static_cast<float>(columns));

  V sum;
  splat<Lanes>(sum, -0.0F);
  fold_rows<Lanes>(block, sum, [](V& total, const V& value) __attribute__((always_inline)) { total = total + value; });
  const V mean = sum / divisor;

  V squares;
  splat<Lanes>(squares, -0.0F);
  fold_rows<Lanes>(block, squares, [&mean](V& total, const V& value) __attribute__((always_inline)) {
    const V difference = value - mean;
    total = total + difference * difference;
  });
  const V variance = squares / divisor;

  for (std::size_t row = 0; row < count; ++row) {
    const float row_mean = mean[row];
    const float scale = 1.0F / std::sqrt(variance[row] + epsilon);
    map<Lanes>(block.rows[row], output + row * columns, columns,
               [row_mean, scale](const V& value, V& normalised)
                   __attribute__((always_inline)) { normalised = (value - row_mean) * scale; });
  }
}

template <std::size_t Lanes>
[[gnu::always_inline]] inline void layer_norm(const float* input, float* output, std::size_t rows,
                                              std::size_t columns, float epsilon) {
  for (std::size_t first = 0; first < rows; first += Lanes) {
    layer_norm_block<Lanes>(input + first * columns, output + first * columns, std::min(Lanes, rows - first),
                            columns, epsilon);
  }
}

// Softmax of up to Lanes rows from `input` into `values`. The running maximum
// passes over NaN elements (a comparison with NaN is false) and starts at
// minus infinity, so it never is NaN itself.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void softmax_block(KernelPath path, const float* input, float* values,
                                                 std::size_t count, std::size_t columns) {
  using V = Vector<Lanes>;
  const RowBlock<Lanes> block = row_block<Lanes>(input, count, columns);

  V maximum;
  splat<Lanes>(maximum, -std::numeric_limits<float>::infinity());
  fold_rows<Lanes>(block, maximum, [](V& running, const V& element) __attribute__((always_inline)) {
    running = element > running ? element : running;
  });

  for (std::size_t row = 0; row < count; ++row) {
    const float row_maximum = maximum[row];
    map<Lanes>(block.rows[row], values + row * columns, columns,
               [row_maximum](const V& element, V& shifted)
                   __attribute__((always_inline)) { shifted = element - row_maximum; });
  }
  const std::span<float> block_values(values, count * columns);
  exp_f32_many(path, block_values, block_values);

  V total;
  splat<Lanes>(total, 0.0F);
  fold_rows<Lanes>(row_block<Lanes>(values, count, columns), total,
                   [](V& running, const V& element) __attribute__((always_inline)) { running = element + running; });

  for (std::size_t row = 0; row < count; ++row) {
    const float row_total = total[row];
    float* const elements = values + row * columns;
    map<Lanes>(elements, elements, columns,
               [row_total](const V& element, V& share) __attribute__((always_inline)) { share = element / row_total; });
  }
}

template <std::size_t Lanes>
[[gnu::always_inline]] inline void softmax(KernelPath path, const float* input, float* output, std::size_t rows,
                                           std::size_t columns) {
  for (std::size_t first = 0; first < rows; first += Lanes) {
    softmax_block<Lanes>(path, input + first * columns, output + first * columns, std::min(Lanes, rows - first),
                         columns);
  }
}

// Elements per batch of hyperbolic tangents.
inline constexpr std::size_t gelu_batch = 512;

// GELU in its tanh form, each step the scalar gelu's: 0.7978846 and 0.044715
// are the floats nearest sqrt(2 / pi) and 0.044715.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void gelu(KernelPath path, const float* input, float* output, std::size_t count) {
  using V = Vector<Lanes>;
  alignas(64) float tangents[gelu_batch];
  for (std::size_t first = 0; first < count; first += gelu_batch) {
    const std::size_t size = std::min(gelu_batch, count - first);
    map<Lanes>(input + first, tangents, size, [](const V& value, V& argument) __attribute__((always_inline)) {
      const V cube = value * (value * value);
      const V inner = value + 0.044715F * cube;
      argument = 0.7978846F * inner;
    });
    const std::span<float> batch(tangents, size);
    tanh_f32_many(path, batch, batch);
    map2<Lanes>(input + first, tangents, output + first, size,
                [](const V& value, const V& tangent, V& result) __attribute__((always_inline)) {
                  const V half = 0.5F * value;
                  result = half * (1.0F + tangent);
                });
  }
}

// The row kernel `work` asks for, on Lanes-wide vectors; `path` is the
// instruction set of the caller, on which the batch exact maths run too.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void run(KernelPath path, const RowWork& work) {
  switch (work.operation) {
    case RowOperation::LayerNorm:
      layer_norm<Lanes>(work.input, work.output, work.rows, work.columns, work.epsilon);
      return;
    case RowOperation::Softmax:
      softmax<Lanes>(path, work.input, work.output, work.rows, work.columns);
      return;
    case RowOperation::Gelu:
      gelu<Lanes>(path, work.input, work.output, work.rows * work.columns);
      return;
  }
}

}  // namespace row_lanes
}  // namespace orvo_compiler::detail
