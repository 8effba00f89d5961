// The normalisations: Softmax, LogSoftmax and Hardmax on any axis (before
// opset 13 on the input flattened to 2-D at the axis), LayerNormalization
// over the trailing axes from its axis, with its mean and inverse deviation,
// InstanceNormalization and MeanVarianceNormalization.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "onnx/constant_ops.hpp"
#include "onnx/map_operators.hpp"
#include "onnx/operator_registry.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

// The softmax family's axis, normalised: from opset 13 the last by default,
// before it 1.
template <std::int64_t fallback>
Result<std::size_t> softmax_axis(const Node& node, std::size_t rank) {
  return axis_attribute(node, fallback, rank);
}

// LayerNormalization's axis and epsilon (1e-5 by default).
struct LayerNormForm {
  std::size_t axis = 0;
  float epsilon = 0.0F;
};

Result<LayerNormForm> layer_norm_form(const Node& node, std::size_t rank) {
  Result<std::size_t> axis = axis_attribute(node, -1, rank);
  Result<float> epsilon = float_attribute(node, "epsilon", 1e-5F);
  if (!axis || !epsilon) {
    return std::unexpected(!axis ? axis.error() : epsilon.error());
  }
  return LayerNormForm{*axis, *epsilon};
}

template <std::int64_t fallback>
Result<Dims> softmax_output(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  if (Result<std::size_t> axis = softmax_axis<fallback>(node, input.size()); !axis) {
    return std::unexpected(axis.error());
  }
  return input;
}

// The normalised output, then the mean and the inverse deviation, each with
// the input's leading axes up to `axis` and size 1 on the rest.
Result<std::vector<Dims>> layer_norm_outputs(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  Result<LayerNormForm> form = layer_norm_form(node, input.size());
  if (!form) {
    return std::unexpected(form.error());
  }
  for (std::size_t index = 1; index < 3; ++index) {
    const Operand& parameter = operand_at(operands, index);
    if (parameter.present) {
      Result<Dims> joined = broadcast_dims(node, input, parameter.dims);
      if (!joined) {
        return std::unexpected(joined.error());
      }
      if (*joined != input) {
        return fail(node, fmt::format("{} {} {} does not broadcast to the input {}", index == 1 ? "scale" : "bias",
                                      input_name(node, index), dims_text(parameter.dims), dims_text(input)));
      }
    }
  }
  Dims statistics = input;
  std::fill(statistics.begin() + static_cast<std::ptrdiff_t>(form->axis), statistics.end(), 1);
  return std::vector<Dims>{input, statistics, statistics};
}

// The kind over `axis` of the input as it is (opset 13's meaning).
template <class Kind>
Result<void> map_on_axis(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::size_t> axis =
      x ? softmax_axis<-1>(context.node, context.shape_of(*x).size()) : std::unexpected(x.error());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  return define(context, context.graph().apply(context.output, Kind{*axis}, {*x}));
}

// Before opset 13: the kind over the input flattened to [leading, trailing]
// at `axis` (default 1), its axis 1, then reshaped back. Over the last axis
// that is the kind on the input as it is, which needs no reshape.
template <class Kind>
Result<void> map_flattened(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  const Shape shape = context.shape_of(*x);
  Result<std::size_t> axis = softmax_axis<1>(context.node, shape.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  if (*axis + 1 == shape.size()) {
    return define(context, context.graph().apply(context.output, Kind{*axis}, {*x}));
  }
  std::uint64_t leading = 1;
  std::uint64_t trailing = 1;
  for (std::size_t position = 0; position < shape.size(); ++position) {
    (position < *axis ? leading : trailing) *= shape[position];
  }
  Result<TensorId> rows = context.graph().reshape(context.derived("rows"), *x, {leading, trailing});
  Result<TensorId> result =
      rows ? context.graph().apply(context.derived("flat"), Kind{1}, {*rows}) : std::unexpected(rows.error());
  return define(context, result ? context.graph().reshape(context.output, *result, shape) : result);
}

// `id` reshaped to `shape` under `name`, or itself when it has that shape.
Result<TensorId> reshaped(const MapContext& context, const std::string& name, TensorId id, const Shape& shape) {
  if (context.shape_of(id) == shape) {
    return id;
  }
  return context.graph().reshape(name, id, shape);
}

// Records `id` as the node's output `index`.
Result<void> define_output(const MapContext& context, std::size_t index, Result<TensorId> id) {
  if (!id) {
    return std::unexpected(id.error());
  }
  context.mapping.tensors.insert_or_assign(context.node.outputs[index], *id);
  return {};
}

// The mean and inverse deviation outputs, each step the LayerNorm kernel's own
// (so the same bits): mean = ReduceMean of the rows; d = row - mean;
// variance = ReduceMean of d x d; 1 / Sqrt(variance + epsilon).
Result<void> map_layer_norm_statistics(const MapContext& context, TensorId rows, const LayerNormForm& form,
                                       const Shape& statistics) {
  const std::vector<std::string>& outputs = context.node.outputs;
  const bool wants_mean = outputs.size() > 1 && !outputs[1].empty();
  const bool wants_inverse = outputs.size() > 2 && !outputs[2].empty();
  if (!wants_mean && !wants_inverse) {
    return {};
  }
  Graph& graph = context.graph();
  Shape row_statistics = context.shape_of(rows);
  row_statistics.back() = 1;
  Result<TensorId> mean = graph.reduce_mean(
      wants_mean && row_statistics == statistics ? outputs[1] : context.derived("mean_rows"), rows);
  if (wants_mean) {
    if (Result<void> defined =
            define_output(context, 1, mean ? reshaped(context, outputs[1], *mean, statistics) : mean);
        !defined) {
      return defined;
    }
  }
  if (!wants_inverse) {
    return {};
  }
  // Copies: the shapes live in the graph's tensors, which grow below.
  const Shape row_shape = context.shape_of(rows);
  Result<TensorId> deviation =
      mean ? binary(context, context.derived("deviation"), Sub{}, rows, *mean, row_shape) : mean;
  Result<TensorId> squares =
      deviation ? binary(context, context.derived("squares"), Mul{}, *deviation, *deviation, row_shape) : deviation;
  Result<TensorId> variance = squares ? graph.reduce_mean(context.derived("variance"), *squares) : squares;
  Result<TensorId> epsilon =
      variance ? derived_weight(context, "epsilon", context.derived("epsilon"), Constant{float_type, {}, {form.epsilon}, {}})
               : variance;
  Result<TensorId> shifted =
      epsilon ? binary(context, context.derived("variance_epsilon"), Add{}, *variance, *epsilon, row_statistics)
              : epsilon;
  Result<TensorId> deviation_root = shifted ? graph.sqrt(context.derived("deviation_root"), *shifted) : shifted;
  Result<TensorId> one =
      deviation_root ? derived_weight(context, "one", context.derived("one"), Constant{float_type, {}, {1.0F}, {}})
                     : deviation_root;
  // Over the last axis the row statistics already have the output's shape.
  Result<TensorId> inverse =
      one ? binary(context, row_statistics == statistics ? outputs[2] : context.derived("inverse_rows"), Div{}, *one,
                   *deviation_root, row_statistics)
          : one;
  return define_output(context, 2, inverse ? reshaped(context, outputs[2], *inverse, statistics) : inverse);
}

// LayerNorm of the rows of the trailing axes from `axis` (the input reshaped
// to [leading axes..., trailing count] unless `axis` is the last), reshaped
// back, then Mul by the scale and Add of the bias, each broadcast.
Result<void> map_layer_normalization(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  const Shape shape = context.shape_of(*x);
  Result<LayerNormForm> form = layer_norm_form(context.node, shape.size());
  Result<TensorId> scale = form ? input(context, 1) : std::unexpected(form.error());
  if (!scale) {
    return std::unexpected(scale.error());
  }
  Shape row_shape(shape.begin(), shape.begin() + static_cast<std::ptrdiff_t>(form->axis));
  std::uint64_t trailing = 1;
  for (std::size_t position = form->axis; position < shape.size(); ++position) {
    trailing *= shape[position];
  }
  row_shape.push_back(trailing);
  Shape statistics = shape;
  std::fill(statistics.begin() + static_cast<std::ptrdiff_t>(form->axis), statistics.end(), 1);

  Result<TensorId> rows = reshaped(context, context.derived("rows"), *x, row_shape);
  if (!rows) {
    return std::unexpected(rows.error());
  }
  if (Result<void> mapped = map_layer_norm_statistics(context, *rows, *form, statistics); !mapped) {
    return mapped;
  }
  const bool has_bias = context.node.inputs.size() > 2 && !context.node.inputs[2].empty();
  Result<TensorId> normalized = context.graph().layer_norm(
      row_shape == shape ? context.derived("normalized") : context.derived("normalized_rows"), *rows, form->epsilon);
  if (normalized && row_shape != shape) {
    normalized = context.graph().reshape(context.derived("normalized"), *normalized, shape);
  }
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

// InstanceNormalization: x [N, C, spatial...] with scale and bias [C]. Each
// channel of each batch entry is normalised over its spatial elements as
// layer_norm normalises a row (the input seen as [N, C, rest]), then
// multiplied by scale[c] and added to bias[c], one rounding per step.
Result<Dims> instance_norm_output(const Node& node, std::span<const Operand> operands) {
  if (Result<float> epsilon = float_attribute(node, "epsilon", 1e-5F); !epsilon) {
    return std::unexpected(epsilon.error());
  }
  const Dims& x = operand_at(operands, 0).dims;
  if (x.size() < 3) {
    return fail(node, fmt::format("input {} must have rank 3 or more ([batch, channels, spatial axes...])",
                                  dims_text(x)));
  }
  for (std::size_t index = 1; index < 3; ++index) {
    if (operand_at(operands, index).dims != Dims{x[1]}) {
      return fail(node, fmt::format("{} {} {} must be [{}], one value per channel", index == 1 ? "scale" : "bias",
                                    input_name(node, index), dims_text(operand_at(operands, index).dims), x[1]));
    }
  }
  return x;
}

Result<void> map_instance_norm(const MapContext& context) {
  Result<float> epsilon = float_attribute(context.node, "epsilon", 1e-5F);
  Result<TensorId> x = epsilon ? input(context, 0) : std::unexpected(epsilon.error());
  Result<TensorId> scale = x ? input(context, 1) : x;
  Result<TensorId> bias = scale ? input(context, 2) : scale;
  if (!bias) {
    return std::unexpected(bias.error());
  }
  Graph& graph = context.graph();
  const Shape shape = context.shape_of(*x);
  std::uint64_t rest = 1;
  for (std::size_t axis = 2; axis < shape.size(); ++axis) {
    rest *= shape[axis];
  }
  // Scale and bias [C] as [C, 1, ...], which broadcasts over the spatial axes.
  Shape per_channel(shape.size() - 1, 1);
  per_channel[0] = shape[1];
  Result<TensorId> rows = reshaped(context, context.derived("rows"), *x, {shape[0], shape[1], rest});
  Result<TensorId> normalized =
      rows ? graph.layer_norm(context.derived("normalized_rows"), *rows, *epsilon) : std::unexpected(rows.error());
  normalized = normalized ? reshaped(context, context.derived("normalized"), *normalized, shape) : normalized;
  Result<TensorId> scale_column =
      normalized ? reshaped(context, context.derived("scale"), *scale, per_channel) : normalized;
  Result<TensorId> bias_column =
      scale_column ? reshaped(context, context.derived("bias"), *bias, per_channel) : scale_column;
  Result<TensorId> scaled = bias_column ? binary(context, context.derived("scaled"), Mul{}, *normalized,
                                                 *scale_column, context.output_shape())
                                        : bias_column;
  return define(context, scaled ? binary(context, context.output, Add{}, *scaled, *bias_column,
                                         context.output_shape())
                                : scaled);
}

// MeanVarianceNormalization: over `axes` (default [0, 2, 3]), as ONNX's own
// expansion computes it: m = mean(x), v = mean(x * x) - m * m, then
// (x - m) / (sqrt(v) + 1e-9), each step rounded; the means are
// ReduceMeanAxes keeping the reduced axes.
Result<std::vector<std::uint64_t>> mvn_axes(const Node& node, const Dims& x) {
  Result<std::optional<std::vector<std::int64_t>>> listed = ints_attribute(node, "axes");
  if (!listed) {
    return std::unexpected(listed.error());
  }
  const std::vector<std::int64_t> axes = listed->value_or(std::vector<std::int64_t>{0, 2, 3});
  std::vector<std::uint64_t> normalized;
  for (const std::int64_t axis : axes) {
    Result<std::size_t> at = normalize_axis(node, axis, x.size());
    if (!at) {
      return std::unexpected(at.error());
    }
    if (std::ranges::find(normalized, *at) != normalized.end()) {
      return fail(node, fmt::format("axis {} is listed twice", axis));
    }
    if (x[*at] == 0) {
      return fail(node, fmt::format("normalises over axis {} of size 0", axis));
    }
    normalized.push_back(*at);
  }
  if (normalized.empty()) {
    return fail(node, "axes must not be empty");
  }
  std::ranges::sort(normalized);
  return normalized;
}

Result<Dims> mvn_output(const Node& node, std::span<const Operand> operands) {
  const Dims& x = operand_at(operands, 0).dims;
  if (Result<std::vector<std::uint64_t>> axes = mvn_axes(node, x); !axes) {
    return std::unexpected(axes.error());
  }
  return x;
}

Result<void> map_mvn(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::vector<std::uint64_t>> axes =
      x ? mvn_axes(context.node, to_dims(context.shape_of(*x))) : std::unexpected(x.error());
  if (!axes) {
    return std::unexpected(axes.error());
  }
  Graph& graph = context.graph();
  const Shape shape = context.shape_of(*x);
  const ReduceMeanAxes mean_kind{*axes, true};
  Result<TensorId> mean = graph.apply(context.derived("mean"), mean_kind, {*x});
  Result<TensorId> mean_squared = mean ? graph.apply(context.derived("mean_squared"), Mul{}, {*mean, *mean}) : mean;
  Result<TensorId> squares = mean_squared ? graph.apply(context.derived("squares"), Mul{}, {*x, *x}) : mean_squared;
  Result<TensorId> mean_of_squares =
      squares ? graph.apply(context.derived("mean_of_squares"), mean_kind, {*squares}) : squares;
  Result<TensorId> variance =
      mean_of_squares ? graph.apply(context.derived("variance"), Sub{}, {*mean_of_squares, *mean_squared})
                      : mean_of_squares;
  Result<TensorId> deviation = variance ? graph.apply(context.derived("deviation"), Sqrt{}, {*variance}) : variance;
  Result<TensorId> epsilon = deviation ? derived_weight(context, "epsilon", context.derived("epsilon"),
                                                        Constant{float_type, {}, {1e-9F}, {}})
                                       : deviation;
  Result<TensorId> divisor = epsilon ? binary(context, context.derived("divisor"), Add{}, *deviation, *epsilon,
                                              context.shape_of(*deviation))
                                     : epsilon;
  Result<TensorId> centred =
      divisor ? binary(context, context.derived("centred"), Sub{}, *x, *mean, shape) : divisor;
  return define(context, centred ? binary(context, context.output, Div{}, *centred, *divisor, shape) : centred);
}

// Softmax, LogSoftmax and Hardmax: before opset 13 on the input flattened to
// 2-D at the axis (default 1), from 13 on one axis of the input as it is
// (default the last).
template <class Kind>
constexpr OperatorForm softmax_family_forms[] = {
    {.opsets = {7, 12}, .arity = {1, 1, 1}, .shape = single_output<softmax_output<1>>, .map = map_flattened<Kind>},
    {.opsets = {13, 17}, .arity = {1, 1, 1}, .shape = single_output<softmax_output<-1>>, .map = map_on_axis<Kind>},
};
// LayerNormalization: normalised over the axes from `axis` to the last; the
// mean and inverse deviation outputs are computed when the node names them.
constexpr OperatorForm layer_normalization_forms[] = {
    {.opsets = {13, 17}, .arity = {2, 3, 3}, .shape = layer_norm_outputs, .map = map_layer_normalization},
};

// InstanceNormalization: unchanged from opset 6.
constexpr OperatorForm instance_normalization_forms[] = {
    {.opsets = {7, 17}, .arity = {3, 3, 1}, .shape = single_output<instance_norm_output>, .map = map_instance_norm},
};

// MeanVarianceNormalization: from opset 9 (13 widened its types).
constexpr OperatorForm mvn_forms[] = {
    {.opsets = {9, 17}, .arity = {1, 1, 1}, .shape = single_output<mvn_output>, .map = map_mvn},
};

constexpr Registration normalization_registrations[] = {
    {"Softmax", softmax_family_forms<Softmax>},
    {"LogSoftmax", softmax_family_forms<LogSoftmax>},
    {"Hardmax", softmax_family_forms<Hardmax>},
    {"LayerNormalization", layer_normalization_forms},
    {"InstanceNormalization", instance_normalization_forms},
    {"MeanVarianceNormalization", mvn_forms},
};

}  // namespace

std::span<const Registration> normalization_operators() { return normalization_registrations; }

}  // namespace orvo_compiler::onnx_import
