// The host reference kernels. Every float step is one single-precision
// operation in a fixed order (this file is built without FMA contraction), so
// results are reproducible bit for bit on any conforming platform. matmul
// checks its arguments here and runs on the widest instruction-set path the
// processor offers (kernels_matmul.cpp), which gives the same bits as any other.
#include "orvo_compiler/kernels.hpp"

#include <cmath>
#include <limits>

#include "support/check.hpp"
#include "support/checked_math.hpp"
#include "kernels/exact_math.hpp"
#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler {
namespace {

// The running maximum of softmax: NaN elements are passed over, and a NaN
// running value is replaced by the element.
float softmax_max(float maximum, float element) {
  if (std::isnan(maximum)) {
    return element;
  }
  if (std::isnan(element)) {
    return maximum;
  }
  return element > maximum ? element : maximum;
}

}  // namespace

namespace detail {

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

}  // namespace detail

std::vector<float> matmul(std::span<const float> left, std::span<const float> right, std::uint64_t rows,
                          std::uint64_t inner, std::uint64_t columns) {
  return detail::matmul_with(detail::best_path(), left, right, rows, inner, columns);
}

std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows, std::uint64_t columns, float epsilon) {
  const std::uint64_t count = detail::required_product(rows, columns, "layer_norm: rows x columns overflows");
  detail::require(input.size() >= count, "layer_norm: input holds fewer than rows x columns values");

  std::vector<float> output(input.size(), 0.0F);
  // No elements: nothing to normalise, however many empty rows there are.
  if (count == 0) {
    return output;
  }
  const auto divisor = static_cast<float>(columns);
  for (std::uint64_t row = 0; row < rows; ++row) {
    const std::span<const float> values = input.subspan(row * columns, columns);

    float sum = -0.0F;
    for (const float value : values) {
      sum = sum + value;
    }
    const float mean = sum / divisor;

    float squares = -0.0F;
    for (const float value : values) {
      const float difference = value - mean;
      squares = squares + difference * difference;
    }
    const float variance = squares / divisor;
    const float scale = 1.0F / std::sqrt(variance + epsilon);

    float* const out_row = output.data() + row * columns;
    for (std::uint64_t column = 0; column < columns; ++column) {
      out_row[column] = (values[column] - mean) * scale;
    }
  }
  return output;
}

void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  const std::uint64_t count = detail::required_product(rows, columns, "softmax_rows: rows x columns overflows");
  detail::require(values.size() >= count, "softmax_rows: values hold fewer than rows x columns values");
  if (count == 0) {
    return;
  }

  for (std::uint64_t row = 0; row < rows; ++row) {
    const std::span<float> elements = values.subspan(row * columns, columns);

    float maximum = -std::numeric_limits<float>::infinity();
    for (const float element : elements) {
      maximum = softmax_max(maximum, element);
    }

    float total = 0.0F;
    for (float& element : elements) {
      element = detail::exp_f32(element - maximum);
      total = element + total;
    }

    for (float& element : elements) {
      element = element / total;
    }
  }
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
