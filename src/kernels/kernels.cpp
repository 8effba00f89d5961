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
void portable_layer_norm(const float* input, float* output, std::size_t rows, std::size_t columns, float epsilon) {
  detail::row_lanes::layer_norm<4>(input, output, rows, columns, epsilon);
}

void portable_softmax(float* values, std::size_t rows, std::size_t columns) {
  detail::row_lanes::softmax<4>(detail::KernelPath::Portable, values, rows, columns);
}

void portable_gelu(const float* input, float* output, std::size_t count) {
  detail::row_lanes::gelu<4>(detail::KernelPath::Portable, input, output, count);
}

}  // namespace

namespace detail {

RowKernels portable_row_kernels() {
  return RowKernels{.layer_norm = portable_layer_norm, .softmax = portable_softmax, .gelu = portable_gelu};
}

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
  // No elements: nothing to normalise, however many empty rows there are.
  if (count == 0) {
    return;
  }
  row_kernels(path).layer_norm(input.data(), output.data(), rows, columns, epsilon);
}

void softmax_rows_with(KernelPath path, std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  const std::uint64_t count = required_product(rows, columns, "softmax_rows: rows x columns overflows");
  require(values.size() >= count, "softmax_rows: values hold fewer than rows x columns values");
  if (count == 0) {
    return;
  }
  row_kernels(path).softmax(values.data(), rows, columns);
}

void gelu_with(KernelPath path, std::span<const float> input, std::span<float> output) {
  require(output.size() == input.size(), "gelu: output and input differ in length");
  if (input.empty()) {
    return;
  }
  row_kernels(path).gelu(input.data(), output.data(), input.size());
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
