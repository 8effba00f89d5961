// The products: MatMul and Gemm. Each picks the cheapest form the graph
// language has: a plain MatMul, a run-time activation flattened to rows
// against a rank-2 operand, or a BatchMatMul over broadcast batch axes.
#include <algorithm>
#include <functional>
#include <numeric>

#include <fmt/format.h>

#include "onnx/constant_ops.hpp"
#include "onnx/map_operators.hpp"
#include "onnx/operator_registry.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

Result<Dims> matmul_output(const Node& node, std::span<const Operand> operands) {
  return matmul_dims(node, operand_at(operands, 0).dims, operand_at(operands, 1).dims);
}

Result<Dims> gemm_output(const Node& node, std::span<const Operand> operands) {
  Result<GemmForm> form = gemm_form(node, operands);
  if (!form) {
    return std::unexpected(form.error());
  }
  return form->output;
}

// The product of `left` and `right`, both of rank 2 or more, named `name`.
Result<TensorId> product(const MapContext& context, const std::string& name, TensorId left, TensorId right) {
  const Shape a = context.shape_of(left);
  const Shape b = context.shape_of(right);
  if (a.size() == 2 && b.size() == 2) {
    return context.graph().matmul(name, left, right);
  }
  if (b.size() == 2) {
    // [..., m, k] x [k, n]: one matmul over all rows keeps the right operand 2-D.
    const std::uint64_t rows =
        std::accumulate(a.begin(), a.end() - 1, std::uint64_t{1}, std::multiplies<>());
    Result<TensorId> flat = context.graph().reshape(name + "/rows", left, {rows, a.back()});
    Result<TensorId> matrix = flat ? context.graph().matmul(name + "/matmul", *flat, right) : flat;
    if (!matrix) {
      return matrix;
    }
    Shape shape(a.begin(), a.end() - 1);
    shape.push_back(b.back());
    return context.graph().reshape(name, *matrix, std::move(shape));
  }
  Result<Dims> batch = broadcast_dims(context.node, to_dims(Shape(a.begin(), a.end() - 2)),
                                      to_dims(Shape(b.begin(), b.end() - 2)));
  if (!batch) {
    return std::unexpected(batch.error());
  }
  Shape left_shape = to_shape(*batch);
  Shape right_shape = left_shape;
  left_shape.insert(left_shape.end(), a.end() - 2, a.end());
  right_shape.insert(right_shape.end(), b.end() - 2, b.end());
  Result<TensorId> l = broadcast_to(context, name + "/broadcast0", left, left_shape);
  Result<TensorId> r = l ? broadcast_to(context, name + "/broadcast1", right, right_shape) : l;
  if (!r) {
    return r;
  }
  return context.graph().batch_matmul(name, *l, *r);
}

Result<void> map_matmul(const MapContext& context) {
  Result<TensorId> left = input(context, 0);
  Result<TensorId> right = left ? input(context, 1) : left;
  if (!right) {
    return std::unexpected(right.error());
  }
  // Rank-1 operands become a row or a column, and the result loses that axis again.
  const Shape a = context.shape_of(*left);
  const Shape b = context.shape_of(*right);
  const bool promoted = a.size() == 1 || b.size() == 1;
  if (a.size() == 1) {
    left = context.graph().reshape(context.derived("row"), *left, {1, a[0]});
  }
  if (b.size() == 1 && left) {
    right = context.graph().reshape(context.derived("column"), *right, {b[0], 1});
  }
  if (!left || !right) {
    return std::unexpected(!left ? left.error() : right.error());
  }
  Result<TensorId> result = product(context, promoted ? context.derived("product") : context.output, *left, *right);
  if (promoted && result) {
    result = context.graph().reshape(context.output, *result, context.output_shape());
  }
  return define(context, result);
}

// A 2-D constant transposed and scaled, as a weight of its own.
Result<TensorId> gemm_constant(const MapContext& context, std::size_t index, bool transpose, float factor,
                               std::string_view role) {
  Constant value = *context.constant(index);
  std::string name = context.node.inputs[index];
  if (transpose && value.dims.size() == 2) {
    const Dims dims{value.dims[1], value.dims[0]};
    const Dims strides{1, value.dims[1]};
    value = strided_copy(value, 0, dims, strides);
    name += "/transposed";
  }
  if (factor != 1.0F) {
    std::ranges::for_each(value.floats, [factor](float& element) { element *= factor; });
    name += "/scaled";
  }
  return derived_weight(context, role, name, std::move(value));
}

// Gemm's operand `index`: transposed (folded for a constant, else a
// Transpose operation) and, for a constant, scaled by `factor`.
Result<TensorId> gemm_operand(const MapContext& context, std::size_t index, bool transpose, float factor,
                              std::string_view role) {
  const Constant* constant = context.constant(index);
  if (constant != nullptr && (transpose || factor != 1.0F)) {
    return gemm_constant(context, index, transpose, factor, role);
  }
  Result<TensorId> value = input(context, index);
  if (!value || !transpose) {
    return value;
  }
  return context.graph().transpose(context.derived(fmt::format("transpose_{}", role)), *value, {1, 0});
}

Result<void> map_gemm(const MapContext& context) {
  Result<GemmForm> form = gemm_form(context.node, operands_of(context.folded, context.node));
  if (!form) {
    return std::unexpected(form.error());
  }
  // alpha folds into a constant B (or A); otherwise it scales the product.
  const bool scale_b = context.constant(1) != nullptr;
  const bool scale_a = !scale_b && context.constant(0) != nullptr;
  const bool scale_product = form->alpha != 1.0F && !scale_a && !scale_b;
  const bool has_bias = context.node.inputs.size() > 2 && !context.node.inputs[2].empty();
  Result<TensorId> a = gemm_operand(context, 0, form->transpose_a, scale_a ? form->alpha : 1.0F, "a");
  Result<TensorId> b = a ? gemm_operand(context, 1, form->transpose_b, scale_b ? form->alpha : 1.0F, "b") : a;
  if (!b) {
    return std::unexpected(b.error());
  }
  const std::string product_name = scale_product || has_bias ? context.derived("product") : context.output;
  Result<TensorId> result = context.graph().matmul(product_name, *a, *b);
  if (result && scale_product) {
    result = scaled(context, has_bias ? context.derived("scaled") : context.output, "alpha", *result, form->alpha);
  }
  if (!result || !has_bias) {
    return define(context, result);
  }
  const bool fold_beta = context.constant(2) != nullptr;
  Result<TensorId> bias = form->beta != 1.0F && fold_beta ? gemm_constant(context, 2, false, form->beta, "c")
                                                          : input(context, 2);
  if (bias && form->beta != 1.0F && !fold_beta) {
    bias = scaled(context, context.derived("c_scaled"), "beta", *bias, form->beta);
  }
  if (!bias) {
    return std::unexpected(bias.error());
  }
  return define(context, binary(context, context.output, Add{}, *result, *bias, context.output_shape()));
}

// MatMul: numpy's product, rank-1 operands promoted and batch axes broadcast.
constexpr OperatorForm matmul_forms[] = {
    {.opsets = {13, 17}, .arity = {2, 2, 1}, .shape = single_output<matmul_output>, .map = map_matmul},
};
// Gemm: transA/transB and alpha/beta folded into known operands where it can.
constexpr OperatorForm gemm_forms[] = {
    {.opsets = {13, 17}, .arity = {2, 3, 1}, .shape = single_output<gemm_output>, .map = map_gemm},
};

constexpr Registration product_registrations[] = {
    {"MatMul", matmul_forms},
    {"Gemm", gemm_forms},
};

}  // namespace

std::span<const Registration> product_operators() { return product_registrations; }

}  // namespace orvo_compiler::onnx_import
