// The host reference kernels. Every float step is one single-precision
// operation in a fixed order (the library is built without FMA contraction),
// so results are reproducible bit for bit on any conforming platform. Each
// kernel checks its arguments here and runs on the widest instruction-set path
// the processor offers (matrix products in kernels_matmul.cpp, row kernels in
// kernels_rows.hpp), which gives the same bits as any other.
#include "orvo_compiler/kernels.hpp"

#include <cstddef>

#include "support/check.hpp"
#include "support/checked_math.hpp"
#include "kernels/exact_math.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "kernels/kernels_rows.hpp"

namespace orvo_compiler {
namespace {

// The portable row kernels: four-float vectors of the compiler's generic
// vector type, which every target lowers to its own registers or to scalar code.
void portable_run_rows(const detail::RowWork& work) { detail::row_lanes::run<4>(detail::KernelPath::Portable, work); }

// Runs a row kernel on `path`; work without elements needs no pass at all,
// however many empty rows it has.
void run_rows(detail::KernelPath path, const detail::RowWork& work) {
  if (work.rows == 0 || work.columns == 0) {
    return;
  }
  detail::row_function(path)(work);
}

}  // namespace

namespace detail {

RowFunction portable_row_function() { return portable_run_rows; }

std::vector<float> matmul_with(KernelPath path, std::span<const float> left, std::span<const float> right,
                               std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  const std::uint64_t left_count = detail::required_product(rows, inner, "matmul: rows x inner overflows");
  const std::uint64_t right_count = detail::required_product(inner, columns, "matmul: inner x columns overflows");
  const std::uint64_t output_count = detail::required_product(rows, columns, "matmul: rows x columns overflows");
  detail::require(left.size() >= left_count, "matmul: left holds fewer than rows x inner values");
  detail::require(right.size() >= right_count, "matmul: right holds fewer than inner x columns values");

  // Every count now fits in the lists' own size type. Each output element
  // starts at +0.0 and takes its products in ascending k, as product + sum.
  // An empty product needs no pass at all, however large its other count.
  std::vector<float> output(output_count, 0.0F);
  if (output_count == 0) {
    return output;
  }
  matmul_accumulate(path, MatrixView{.data = left.data(), .row_stride = inner},
                    MatrixView{.data = right.data(), .row_stride = columns}, output.data(), columns, rows, inner,
                    columns);
  return output;
}

void layer_norm_with(KernelPath path, std::span<const float> input, std::span<float> output, std::uint64_t rows,
                     std::uint64_t columns, float epsilon) {
  const std::uint64_t count = required_product(rows, columns, "layer_norm: rows x columns overflows");
  require(input.size() >= count, "layer_norm: input holds fewer than rows x columns values");
  require(output.size() >= count, "layer_norm: output holds fewer than rows x columns values");
  run_rows(path, {.operation = RowOperation::LayerNorm, .input = input.data(), .output = output.data(), .rows = rows,
                  .columns = columns, .epsilon = epsilon});
}

void softmax_rows_with(KernelPath path, std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  const std::uint64_t count = required_product(rows, columns, "softmax_rows: rows x columns overflows");
  require(values.size() >= count, "softmax_rows: values hold fewer than rows x columns values");
  run_rows(path, {.operation = RowOperation::Softmax, .input = values.data(), .output = values.data(), .rows = rows,
                  .columns = columns});
}

void gelu_with(KernelPath path, std::span<const float> input, std::span<float> output) {
  require(output.size() == input.size(), "gelu: output and input differ in length");
  run_rows(path, {.operation = RowOperation::Gelu, .input = input.data(), .output = output.data(), .rows = 1,
                  .columns = input.size()});
}

}  // namespace detail

std::vector<float> matmul(std::span<const float> left, std::span<const float> right, std::uint64_t rows,
                          std::uint64_t inner, std::uint64_t columns) {
  return detail::matmul_with(detail::best_path(), left, right, rows, inner, columns);
}

std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows, std::uint64_t columns, float epsilon) {
  std::vector<float> output(input.size(), 0.0F);
  detail::layer_norm_with(detail::best_path(), input, output, rows, columns, epsilon);
  return output;
}

void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  detail::softmax_rows_with(detail::best_path(), values, rows, columns);
}

float gelu(float value) {
  // 0.7978846F is the float nearest sqrt(2 / pi), 0.044715F the float nearest
  // 0.044715; both are rounded once from their decimal spelling.
  const float half = 0.5F * value;
  const float cube = value * (value * value);
  const float inner = value + 0.044715F * cube;
  const float t = detail::tanh_f32(0.7978846F * inner);
  return half * (1.0F + t);
}

}  // namespace orvo_compiler
