// The normalisations: Softmax, LayerNormalization and ReduceMean, each on
// the last axis the graph language normalises (Softmax on any axis).
#include <algorithm>

#include <fmt/format.h>

#include "onnx/constant_ops.hpp"
#include "onnx/map_operators.hpp"
#include "onnx/operator_registry.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

// Softmax's axis, normalised; from opset 13 it defaults to the last.
Result<std::size_t> softmax_axis(const Node& node, std::size_t rank) { return axis_attribute(node, -1, rank); }

// LayerNormalization's epsilon (1e-5 by default); fails unless it normalises
// the last axis.
Result<float> layer_norm_epsilon(const Node& node, std::size_t rank) {
  Result<std::size_t> axis = axis_attribute(node, -1, rank);
  Result<float> epsilon = float_attribute(node, "epsilon", 1e-5F);
  if (!axis || !epsilon) {
    return std::unexpected(!axis ? axis.error() : epsilon.error());
  }
  if (*axis != rank - 1) {
    return fail(node, fmt::format("normalises from axis {}; only the last axis is supported", *axis));
  }
  return *epsilon;
}

Result<Dims> softmax_output(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  if (Result<std::size_t> axis = softmax_axis(node, input.size()); !axis) {
    return std::unexpected(axis.error());
  }
  return input;
}

Result<Dims> layer_norm_output(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  if (Result<float> epsilon = layer_norm_epsilon(node, input.size()); !epsilon) {
    return std::unexpected(epsilon.error());
  }
  for (std::size_t index = 1; index < 3; ++index) {
    const Operand& parameter = operand_at(operands, index);
    if (parameter.present) {
      Result<Dims> joined = broadcast_dims(node, input, parameter.dims);
      if (!joined) {
        return joined;
      }
      if (*joined != input) {
        return fail(node, fmt::format("{} {} {} does not broadcast to the input {}", index == 1 ? "scale" : "bias",
                                      input_name(node, index), dims_text(parameter.dims), dims_text(input)));
      }
    }
  }
  return input;
}

Result<Dims> reduce_mean_output(const Node& node, std::span<const Operand> operands) {
  Dims dims = operand_at(operands, 0).dims;
  Result<bool> keeps = reduce_mean_keeps_axis(node, dims.size());
  if (!keeps) {
    return std::unexpected(keeps.error());
  }
  if (*keeps) {
    dims.back() = 1;
  } else {
    dims.pop_back();
  }
  return dims;
}

Result<void> map_softmax(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::size_t> axis = x ? softmax_axis(context.node, context.shape_of(*x).size()) : std::unexpected(x.error());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  return define(context, context.graph().softmax(context.output, *x, *axis));
}

// LayerNorm, then Mul by the scale and Add of the bias, each broadcast.
Result<void> map_layer_normalization(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<float> epsilon =
      x ? layer_norm_epsilon(context.node, context.shape_of(*x).size()) : std::unexpected(x.error());
  Result<TensorId> scale = epsilon ? input(context, 1) : std::unexpected(epsilon.error());
  if (!scale) {
    return std::unexpected(scale.error());
  }
  const bool has_bias = context.node.inputs.size() > 2 && !context.node.inputs[2].empty();
  Result<TensorId> normalized = context.graph().layer_norm(context.derived("normalized"), *x, *epsilon);
  Result<TensorId> result =
      normalized ? binary(context, has_bias ? context.derived("scaled") : context.output, Mul{}, *normalized, *scale,
                          context.output_shape())
                 : normalized;
  if (!result || !has_bias) {
    return define(context, result);
  }
  Result<TensorId> bias = input(context, 2);
  if (!bias) {
    return std::unexpected(bias.error());
  }
  return define(context, binary(context, context.output, Add{}, *result, *bias, context.output_shape()));
}

Result<void> map_reduce_mean(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<bool> keeps = x ? reduce_mean_keeps_axis(context.node, context.shape_of(*x).size())
                         : std::unexpected(x.error());
  if (!keeps) {
    return std::unexpected(keeps.error());
  }
  Result<TensorId> mean = context.graph().reduce_mean(*keeps ? context.output : context.derived("mean"), *x);
  if (mean && !*keeps) {
    mean = context.graph().reshape(context.output, *mean, context.output_shape());
  }
  return define(context, mean);
}

// Softmax: on one axis of the input as it is (opset 13's meaning; before, the
// input was flattened to 2-D around the axis, which defaulted to 1).
constexpr OperatorForm softmax_forms[] = {
    {.opsets = {13, 17}, .arity = {1, 1, 1}, .shape = single_output<softmax_output>, .map = map_softmax},
};
// LayerNormalization: the last axis only; its mean and inverse deviation
// outputs are declared but never computed.
constexpr OperatorForm layer_normalization_forms[] = {
    {.opsets = {13, 17},
     .arity = {2, 3, 3},
     .shape = single_output<layer_norm_output>,
     .map = map_layer_normalization},
};
// ReduceMean: the last axis only, axes as an attribute (opsets 13 to 17).
constexpr OperatorForm reduce_mean_forms[] = {
    {.opsets = {13, 17}, .arity = {1, 1, 1}, .shape = single_output<reduce_mean_output>, .map = map_reduce_mean},
};

constexpr Registration registrations[] = {
    {"Softmax", softmax_forms},
    {"LayerNormalization", layer_normalization_forms},
    {"ReduceMean", reduce_mean_forms},
};

}  // namespace

std::span<const Registration> normalization_operators() { return registrations; }

}  // namespace orvo_compiler::onnx_import
