// The host reference kernels. Every float step is one single-precision
// operation in a fixed order (the library is built without FMA contraction),
// so results are reproducible bit for bit on any conforming platform. Each
// kernel checks its arguments here, once, in its Result-returning form (the
// process-stopping forms stop with that form's message), and runs on the
// widest instruction-set path the processor offers (matrix products in
// kernels_matmul.cpp, row kernels in kernels_rows.hpp), which gives the same
// bits as any other.
#include "orvo_compiler/kernels.hpp"

#include <cstddef>
#include <expected>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

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

// a x b, or `message` as a Graph error when the product does not fit in 64
// bits (no list can then be that long).
Result<std::uint64_t> count_product(std::uint64_t a, std::uint64_t b, std::string_view message) {
  const std::optional<std::uint64_t> product = detail::checked_mul(a, b);
  if (!product) {
    return std::unexpected(CompileError::graph(std::string(message)));
  }
  return *product;
}

// `message` as a Graph error when a list of `held` values is shorter than `needed`.
Result<void> require_held(std::size_t held, std::uint64_t needed, std::string_view message) {
  if (held < needed) {
    return std::unexpected(CompileError::graph(std::string(message)));
  }
  return {};
}

// The value of a kernel's result; where it failed, the process stops with
// the error's message, reporting `location` as the broken precondition's place.
template <class T>
T value_or_stop(Result<T> result, std::source_location location) {
  if (!result) {
    detail::precondition_failed(result.error().message, location);
  }
  return std::move(*result);
}

void value_or_stop(const Result<void>& result, std::source_location location) {
  if (!result) {
    detail::precondition_failed(result.error().message, location);
  }
}

}  // namespace

namespace detail {

RowFunction portable_row_function() { return portable_run_rows; }

Result<std::vector<float>> try_matmul_with(KernelPath path, std::span<const float> left,
                                           std::span<const float> right, std::uint64_t rows, std::uint64_t inner,
                                           std::uint64_t columns) {
  const Result<std::uint64_t> left_count = count_product(rows, inner, "matmul: rows x inner overflows");
  if (!left_count) {
    return std::unexpected(left_count.error());
  }
  const Result<std::uint64_t> right_count = count_product(inner, columns, "matmul: inner x columns overflows");
  if (!right_count) {
    return std::unexpected(right_count.error());
  }
  const Result<std::uint64_t> output_count = count_product(rows, columns, "matmul: rows x columns overflows");
  if (!output_count) {
    return std::unexpected(output_count.error());
  }
  if (Result<void> held = require_held(left.size(), *left_count, "matmul: left holds fewer than rows x inner values");
      !held) {
    return std::unexpected(std::move(held.error()));
  }
  if (Result<void> held =
          require_held(right.size(), *right_count, "matmul: right holds fewer than inner x columns values");
      !held) {
    return std::unexpected(std::move(held.error()));
  }

  // Every count now fits in the lists' own size type. Each output element
  // starts at +0.0 and takes its products in ascending k, as product + sum.
  // An empty product needs no pass at all, however large its other count.
  std::vector<float> output(*output_count, 0.0F);
  if (output.empty()) {
    return output;
  }
  matmul_accumulate(path, MatrixView{.data = left.data(), .row_stride = inner},
                    MatrixView{.data = right.data(), .row_stride = columns}, output.data(), columns, rows, inner,
                    columns);
  return output;
}

std::vector<float> matmul_with(KernelPath path, std::span<const float> left, std::span<const float> right,
                               std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  return value_or_stop(try_matmul_with(path, left, right, rows, inner, columns), std::source_location::current());
}

Result<void> try_layer_norm_with(KernelPath path, std::span<const float> input, std::span<float> output,
                                 std::uint64_t rows, std::uint64_t columns, float epsilon) {
  const Result<std::uint64_t> count = count_product(rows, columns, "layer_norm: rows x columns overflows");
  if (!count) {
    return std::unexpected(count.error());
  }
  if (Result<void> held = require_held(input.size(), *count, "layer_norm: input holds fewer than rows x columns values");
      !held) {
    return held;
  }
  if (Result<void> held =
          require_held(output.size(), *count, "layer_norm: output holds fewer than rows x columns values");
      !held) {
    return held;
  }
  run_rows(path, {.operation = RowOperation::LayerNorm, .input = input.data(), .output = output.data(), .rows = rows,
                  .columns = columns, .epsilon = epsilon});
  return {};
}

void layer_norm_with(KernelPath path, std::span<const float> input, std::span<float> output, std::uint64_t rows,
                     std::uint64_t columns, float epsilon) {
  value_or_stop(try_layer_norm_with(path, input, output, rows, columns, epsilon), std::source_location::current());
}

Result<void> try_softmax_rows_with(KernelPath path, std::span<float> values, std::uint64_t rows,
                                   std::uint64_t columns) {
  const Result<std::uint64_t> count = count_product(rows, columns, "softmax_rows: rows x columns overflows");
  if (!count) {
    return std::unexpected(count.error());
  }
  if (Result<void> held =
          require_held(values.size(), *count, "softmax_rows: values hold fewer than rows x columns values");
      !held) {
    return held;
  }
  run_rows(path, {.operation = RowOperation::Softmax, .input = values.data(), .output = values.data(), .rows = rows,
                  .columns = columns});
  return {};
}

void softmax_rows_with(KernelPath path, std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  value_or_stop(try_softmax_rows_with(path, values, rows, columns), std::source_location::current());
}

void gelu_with(KernelPath path, std::span<const float> input, std::span<float> output) {
  require(output.size() == input.size(), "gelu: output and input differ in length");
  run_rows(path, {.operation = RowOperation::Gelu, .input = input.data(), .output = output.data(), .rows = 1,
                  .columns = input.size()});
}

}  // namespace detail

std::vector<float> matmul(std::span<const float> left, std::span<const float> right, std::uint64_t rows,
                          std::uint64_t inner, std::uint64_t columns) {
  return value_or_stop(try_matmul(left, right, rows, inner, columns), std::source_location::current());
}

std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows, std::uint64_t columns, float epsilon) {
  return value_or_stop(try_layer_norm(input, rows, columns, epsilon), std::source_location::current());
}

void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  value_or_stop(try_softmax_rows(values, rows, columns), std::source_location::current());
}

Result<std::vector<float>> try_matmul(std::span<const float> left, std::span<const float> right, std::uint64_t rows,
                                      std::uint64_t inner, std::uint64_t columns) {
  return detail::try_matmul_with(detail::best_path(), left, right, rows, inner, columns);
}

Result<std::vector<float>> try_layer_norm(std::span<const float> input, std::uint64_t rows, std::uint64_t columns,
                                          float epsilon) {
  std::vector<float> output(input.size(), 0.0F);
  if (Result<void> done = detail::try_layer_norm_with(detail::best_path(), input, output, rows, columns, epsilon);
      !done) {
    return std::unexpected(std::move(done.error()));
  }
  return output;
}

Result<void> try_softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  return detail::try_softmax_rows_with(detail::best_path(), values, rows, columns);
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
