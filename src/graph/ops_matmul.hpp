// Matrix products: matmul of two rank-2 operands and batch_matmul over the
// last two axes. Both run on the blocked kernel path, which gives the bits of
// the plain loop (sums in ascending order of k).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "graph/op_definition.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "support/render.hpp"

namespace orvo_compiler::detail {

// `batches` products of rows x inner by inner x columns matrices that follow
// each other in the operands and the output.
inline std::vector<float> matrix_products(KernelInputs& inputs, std::uint64_t batches, std::uint64_t rows,
                                          std::uint64_t inner, std::uint64_t columns) {
  std::vector<float> output(batches * rows * columns, 0.0F);
  const float* const left = inputs.operand(0).data();
  const float* const right = inputs.operand(1).data();
  for (std::uint64_t batch = 0; batch < batches; ++batch) {
    matmul_accumulate(inputs.path(), MatrixView{.data = left + batch * rows * inner, .row_stride = inner},
                      MatrixView{.data = right + batch * inner * columns, .row_stride = columns},
                      output.data() + batch * rows * columns, columns, rows, inner, columns);
  }
  return output;
}

// [a0, a1] x [a1, b1] gives [a0, b1].
template <>
struct OpDefinition<MatMul> {
  static constexpr std::size_t arity = 2;

  static Result<Shape> output_shape(const MatMul& /*kind*/, const InputShapes& inputs, std::string_view name) {
    const Shape& a = inputs[0];
    const Shape& b = inputs[1];
    if (a.size() != 2 || b.size() != 2 || a[1] != b[0]) {
      return rule_error(name, fmt::format("incompatible matmul {} x {}", shape_text(a), shape_text(b)));
    }
    return Shape{a[0], b[1]};
  }

  static std::vector<float> evaluate(const MatMul& /*kind*/, KernelInputs& inputs) {
    return matrix_products(inputs, 1, inputs.shape(0)[0], inputs.shape(0)[1], inputs.shape(1)[1]);
  }
};

// [..., m, k] x [..., k, n] gives [..., m, n] for equal ranks of at least 2
// and equal leading dimensions.
template <>
struct OpDefinition<BatchMatMul> {
  static constexpr std::size_t arity = 2;

  static Result<Shape> output_shape(const BatchMatMul& /*kind*/, const InputShapes& inputs, std::string_view name) {
    const Shape& a = inputs[0];
    const Shape& b = inputs[1];
    const std::size_t rank = a.size();
    if (rank < 2 || b.size() != rank || !std::equal(a.begin(), a.end() - 2, b.begin()) ||
        a[rank - 1] != b[rank - 2]) {
      return rule_error(name, fmt::format("incompatible batch matmul {} x {}", shape_text(a), shape_text(b)));
    }
    Shape output = a;
    output[rank - 1] = b[rank - 1];
    return output;
  }

  static std::vector<float> evaluate(const BatchMatMul& /*kind*/, KernelInputs& inputs) {
    const Shape& left = inputs.shape(0);
    const std::size_t rank = left.size();
    const std::uint64_t rows = left[rank - 2];
    const std::uint64_t inner = left[rank - 1];
    std::uint64_t elements = 1;
    for (const std::uint64_t dimension : left) {
      elements *= dimension;
    }
    return matrix_products(inputs, elements / (rows * inner), rows, inner, inputs.shape(1)[rank - 1]);
  }
};

}  // namespace orvo_compiler::detail
