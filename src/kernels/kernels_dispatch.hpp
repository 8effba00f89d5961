// The instruction-set paths of the reference kernels and the blocked matrix
// product they share. Every path gives the same bits: each output element is
// summed by one lane in ascending inner order, products rounded before they
// are added, and each row sum of the row kernels by one lane in ascending
// column order, so paths differ only in how many independent elements run at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/error.hpp"

namespace orvo_compiler::detail {

// Portable C++ runs everywhere; the others need the named x86 extensions.
enum class KernelPath : std::uint8_t { Portable, Avx2, Avx512 };

[[nodiscard]] std::string_view path_name(KernelPath path);

// Whether this processor can run `path`; asked of the processor on each call.
[[nodiscard]] bool path_supported(KernelPath path);

// The paths this processor can run, Portable first and the best one last.
[[nodiscard]] std::vector<KernelPath> available_paths();

// The widest path this processor can run; asked of the processor on each call.
[[nodiscard]] KernelPath best_path();

// A read-only matrix in memory: element (r, c) at data[r * row_stride + c * column_stride].
struct MatrixView {
  const float* data = nullptr;
  std::size_t row_stride = 0;
  std::size_t column_stride = 1;
};

// Where the sums of a product start: each output's own value, or +0.0 with
// the output's previous content never read (it may hold anything).
enum class SumStart : std::uint8_t { Output, Zero };

// Continues each output sum: for every (r, c) below rows x columns and k from
// 0 to inner - 1 ascending, output[r * output_stride + c] becomes
// (left(r, k) x right(k, c)) + output[r * output_stride + c], each operation
// rounded to float. An output that holds +0.0 beforehand, or any output with
// SumStart::Zero, receives exactly the plain matrix product. Left columns
// must be adjacent (column_stride 1). Callers guarantee every addressed
// element exists; nothing is checked.
void matmul_accumulate(KernelPath path, MatrixView left, MatrixView right, float* output, std::size_t output_stride,
                       std::size_t rows, std::size_t inner, std::size_t columns,
                       SumStart start = SumStart::Output);

// The output columns one register tile of `path` covers: column ranges that
// start at multiples of it run no more edge tiles than the whole does.
[[nodiscard]] std::size_t matmul_column_step(KernelPath path);

// A right matrix laid out once as `path`'s product reads it, for products
// that use one matrix many times: for each block of matmul_column_step(path)
// columns, its `inner` rows one after another, each packed_block_width(path,
// the block's column count) floats long, +0.0 past the block's last column
// (only the last block can be narrower than the step). The block holding
// column c starts at packed + c / step * inner * step.
[[nodiscard]] std::size_t packed_right_floats(KernelPath path, std::size_t inner, std::size_t columns);
// Where row k of block `block` starts in that layout, for blocks of `step`
// columns whose rows are `width` floats long.
[[nodiscard]] constexpr std::size_t packed_row_offset(std::size_t inner, std::size_t step, std::size_t block,
                                                      std::size_t k, std::size_t width) {
  return block * inner * step + k * width;
}
[[nodiscard]] std::size_t packed_block_width(KernelPath path, std::size_t count);

// Floats of a 64-byte cache line. A packed matrix the tiles read starts on a
// line: its vector loads then never straddle two lines, which costs the
// widest path about a tenth of a product's time.
inline constexpr std::size_t line_floats = 16;
// Where `count` floats of `buffer` start on a line, growing the buffer
// (keeping its content, with room to move the start) as needed.
[[nodiscard]] inline float* line_aligned(std::vector<float>& buffer, std::size_t count) {
  if (buffer.size() < count + line_floats - 1) {
    buffer.resize(count + line_floats - 1);
  }
  const auto address = reinterpret_cast<std::uintptr_t>(buffer.data());
  return buffer.data() + (line_floats - address / sizeof(float) % line_floats) % line_floats;
}
void pack_right_matrix(KernelPath path, MatrixView right, std::size_t inner, std::size_t columns, float* packed);

// matmul_accumulate's sums, bit for bit, with the right matrix already
// packed by pack_right_matrix for the same path and inner size; `packed`
// points at the block of the first output column, which is a multiple of the
// column step.
void matmul_accumulate_packed(KernelPath path, MatrixView left, const float* packed, float* output,
                              std::size_t output_stride, std::size_t rows, std::size_t inner, std::size_t columns,
                              SumStart start = SumStart::Output);

// The public try_matmul run on one path: the product, or a Graph error with
// the message of the first broken precondition.
[[nodiscard]] Result<std::vector<float>> try_matmul_with(KernelPath path, std::span<const float> left,
                                                         std::span<const float> right, std::uint64_t rows,
                                                         std::uint64_t inner, std::uint64_t columns);

// The public matmul run on one path: try_matmul_with's product, or the
// process stopped with its error's message.
[[nodiscard]] std::vector<float> matmul_with(KernelPath path, std::span<const float> left, std::span<const float> right,
                                             std::uint64_t rows, std::uint64_t inner, std::uint64_t columns);

// The public layer_norm on one path, writing into `output`, which may be the
// input itself; positions past rows x columns are left as they are. Fails as
// try_layer_norm does, and when output holds fewer than rows x columns, with
// nothing written.
[[nodiscard]] Result<void> try_layer_norm_with(KernelPath path, std::span<const float> input,
                                               std::span<float> output, std::uint64_t rows, std::uint64_t columns,
                                               float epsilon);

// try_layer_norm_with, stopping the process with the message where it fails.
void layer_norm_with(KernelPath path, std::span<const float> input, std::span<float> output, std::uint64_t rows,
                     std::uint64_t columns, float epsilon);

// The public try_softmax_rows on one path, with the same checks.
[[nodiscard]] Result<void> try_softmax_rows_with(KernelPath path, std::span<float> values, std::uint64_t rows,
                                                 std::uint64_t columns);

// try_softmax_rows_with, stopping the process with the message where it fails.
void softmax_rows_with(KernelPath path, std::span<float> values, std::uint64_t rows, std::uint64_t columns);

// output[i] = gelu(input[i]) for every i, on one path; output may be the input
// itself. Stops the process when the two differ in length.
void gelu_with(KernelPath path, std::span<const float> input, std::span<float> output);

// The public encoder_reference run on one path, with the same results and errors.
[[nodiscard]] Result<std::vector<float>> encoder_reference_with(KernelPath path, EncoderConfig config,
                                                                std::span<const float> input,
                                                                const EncoderWeights& weights);

// The public encoder_reference with a workspace, run on one path.
[[nodiscard]] Result<void> encoder_reference_with(KernelPath path, EncoderConfig config, std::span<const float> input,
                                                  const EncoderWeights& weights, EncoderWorkspace& workspace,
                                                  std::span<float> output);

}  // namespace orvo_compiler::detail
