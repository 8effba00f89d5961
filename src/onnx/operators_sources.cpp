// The operators that produce values at import time or pass them on:
// Constant, ConstantOfShape, Range, Shape, Size, Cast, Identity and Dropout.
// Identity and Dropout (at inference) stand for their input; a run-time Cast
// becomes a Cast operation unless it keeps the element type.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "onnx/constant_ops.hpp"
#include "onnx/map_operators.hpp"
#include "onnx/operator_registry.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

using Outputs = std::vector<Constant>;

Result<Outputs> one(Result<Constant> constant) {
  if (!constant) {
    return std::unexpected(constant.error());
  }
  return Outputs{std::move(*constant)};
}

std::int64_t wrapping(std::uint64_t value) { return static_cast<std::int64_t>(value); }

Result<Outputs> fold_shape(const Node& node, std::span<const Operand> operands) {
  const Dims& dims = operand_at(operands, 0).dims;
  const auto rank = static_cast<std::int64_t>(dims.size());
  Result<std::int64_t> start = int_attribute(node, "start", 0);
  Result<std::int64_t> end = int_attribute(node, "end", rank);
  if (!start || !end) {
    return std::unexpected(!start ? start.error() : end.error());
  }
  const auto clamp = [rank](std::int64_t index) { return std::clamp(index < 0 ? index + rank : index, std::int64_t{0}, rank); };
  const std::int64_t first = clamp(*start);
  const std::int64_t last = std::max(first, clamp(*end));
  std::vector<std::int64_t> values(dims.begin() + first, dims.begin() + last);
  return Outputs{integer_tensor({last - first}, std::move(values))};
}

// Float-to-integer conversion truncates; values outside the target's range
// (and NaN) are refused rather than left undefined.
Result<std::int64_t> float_to_integer(const Node& node, float value) {
  constexpr auto limit = static_cast<float>(std::numeric_limits<std::int64_t>::max());
  if (!(value > -limit && value < limit)) {
    return fail(node, fmt::format("cannot cast {} to an integer", value));
  }
  return static_cast<std::int64_t>(value);
}

std::int64_t narrow_integer(std::int64_t value, std::int32_t data_type) {
  switch (data_type) {
    case bool_type:
      return value != 0 ? 1 : 0;
    case int32_type:
      return static_cast<std::int32_t>(value);
    default:
      return value;
  }
}

Result<Outputs> fold_cast(const Node& node, std::span<const Operand> operands) {
  const Constant& data = known_value(operands, 0);
  Result<std::int64_t> to = int_attribute(node, "to", 0);
  if (!to) {
    return std::unexpected(to.error());
  }
  const auto target = static_cast<std::int32_t>(*to);
  if (target != float_type && target != int64_type && target != int32_type && target != bool_type) {
    return fail(node, fmt::format("cast to {} is not supported", data_type_name(target)));
  }
  Constant result{target, data.dims, {}, {}};
  if (target == float_type) {
    result.floats = data.floats;
    for (const std::int64_t value : data.integers) {
      result.floats.push_back(static_cast<float>(value));
    }
    return Outputs{std::move(result)};
  }
  for (const float value : data.floats) {
    Result<std::int64_t> converted = float_to_integer(node, value);
    if (!converted) {
      return std::unexpected(converted.error());
    }
    result.integers.push_back(narrow_integer(*converted, target));
  }
  for (const std::int64_t value : data.integers) {
    result.integers.push_back(narrow_integer(value, target));
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_range(const Node& node, std::span<const Operand> operands) {
  const Constant& start = known_value(operands, 0);
  const Constant& limit = known_value(operands, 1);
  const Constant& delta = known_value(operands, 2);
  if (start.count() != 1 || limit.count() != 1 || delta.count() != 1 || start.is_float() != limit.is_float() ||
      start.is_float() != delta.is_float()) {
    return fail(node, "start, limit and delta must be scalars of one element type");
  }
  const auto as_double = [](const Constant& c) {
    return c.is_float() ? static_cast<double>(c.floats[0]) : static_cast<double>(c.integers[0]);
  };
  const double step = as_double(delta);
  const double steps = std::ceil((as_double(limit) - as_double(start)) / step);
  if (step == 0 || !(steps < static_cast<double>(largest_new_constant))) {
    return fail(node, "the range is empty-stepped or too long to fold");
  }
  const auto count = static_cast<std::int64_t>(std::max(steps, 0.0));
  Constant result{start.data_type, {count}, {}, {}};
  for (std::int64_t index = 0; index < count; ++index) {
    if (start.is_float()) {
      result.floats.push_back(start.floats[0] + static_cast<float>(index) * delta.floats[0]);
    } else {
      result.integers.push_back(
          wrapping(static_cast<std::uint64_t>(start.integers[0]) +
                   static_cast<std::uint64_t>(index) * static_cast<std::uint64_t>(delta.integers[0])));
    }
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_constant_of_shape(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> shape = integer_input(node, operands, 0, "shape");
  if (!shape) {
    return std::unexpected(shape.error());
  }
  Constant fill{float_type, {1}, {0.0F}, {}};
  if (const auto found = node.attributes.find("value"); found != node.attributes.end()) {
    const auto* value = std::get_if<Constant>(&found->second);
    if (value == nullptr || value->count() != 1) {
      return fail(node, "attribute value must be a tensor of one element");
    }
    fill = *value;
  }
  if (Result<void> size = check_growth(node, *shape, operands); !size) {
    return std::unexpected(size.error());
  }
  fill.dims = {1};
  return Outputs{broadcast_constant(fill, *shape)};
}

Result<Outputs> fold_constant(const Node& node, std::span<const Operand>) { return one(constant_node_value(node)); }

Result<Outputs> fold_size(const Node& node, std::span<const Operand> operands) {
  const std::optional<std::uint64_t> count = element_count(operand_at(operands, 0).dims);
  if (!count) {
    return fail(node, "the input's element count does not fit in 64 bits");
  }
  return Outputs{integer_tensor({}, {static_cast<std::int64_t>(*count)})};
}

Result<bool> identity_alias(const Node&, std::span<const Operand>) { return true; }

// The graph element type of an ONNX one the graph holds at run time.
std::optional<DType> run_time_type(std::int64_t data_type) {
  switch (data_type) {
    case float_type:
      return DType::F32;
    case int64_type:
      return DType::I64;
    case bool_type:
      return DType::Bool;
    default:
      return std::nullopt;
  }
}

Result<Dims> same_dims(const Node&, std::span<const Operand> operands) { return operand_at(operands, 0).dims; }

// The run-time type a Cast gives; a type the graph lacks is refused.
Result<DType> cast_target(const Node& node) {
  Result<std::int64_t> to = int_attribute(node, "to", 0);
  if (!to) {
    return std::unexpected(to.error());
  }
  const std::optional<DType> target = run_time_type(*to);
  if (!target) {
    return fail(node, fmt::format("casts a run-time value to {}; only FLOAT, INT64 and BOOL are supported",
                                  data_type_name(static_cast<std::int32_t>(*to))));
  }
  return *target;
}

Result<std::vector<DType>> cast_types(const Node& node, std::span<const Operand>) {
  Result<DType> target = cast_target(node);
  if (!target) {
    return std::unexpected(target.error());
  }
  return std::vector<DType>{*target};
}

// A cast that keeps the element type is its input.
Result<void> map_cast(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<DType> target = x ? cast_target(context.node) : std::unexpected(x.error());
  if (!target) {
    return std::unexpected(target.error());
  }
  if (context.graph().tensors[x->index].dtype == *target) {
    return define(context, *x);
  }
  return define(context, context.graph().apply(context.output, Cast{*target}, {*x}));
}

// Dropout at inference passes its input on; it is an alias unless its mask
// is read, which is all true (BOOL; of the input's type before opset 10).
// From opset 12 training_mode (input 2), when given, must be known: true is
// taken only with a known ratio of 0, where training drops nothing either.
Result<bool> dropout_alias(const Node& node, std::span<const Operand> operands) {
  if (const Operand& training = operand_at(operands, 2); training.present) {
    if (training.constant == nullptr) {
      return fail(node, "training_mode is given at run time; only inference (training_mode known to be false) is "
                        "supported");
    }
    const Operand& ratio = operand_at(operands, 1);
    const bool training_on = std::ranges::any_of(training.constant->integers, [](std::int64_t v) { return v != 0; });
    const bool drops_nothing = ratio.present && ratio.constant != nullptr && ratio.constant->is_float() &&
                               std::ranges::all_of(ratio.constant->floats, [](float v) { return v == 0.0F; });
    if (training_on && !drops_nothing) {
      return fail(node, "training mode drops values at random, which is not supported; only inference (or a ratio "
                        "of 0) is");
    }
  }
  return node.outputs.size() < 2 || node.outputs[1].empty();
}

Result<std::vector<Dims>> dropout_outputs(const Node&, std::span<const Operand> operands) {
  return std::vector<Dims>{operand_at(operands, 0).dims, operand_at(operands, 0).dims};
}

// The output's type, and the mask's: BOOL, or the input's before opset 10.
template <bool bool_mask>
Result<std::vector<DType>> dropout_types(const Node&, std::span<const Operand> operands) {
  const DType data = operand_dtype(operand_at(operands, 0));
  return std::vector<DType>{data, bool_mask ? DType::Bool : data};
}

template <bool bool_mask>
Result<void> map_dropout(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  context.define(*x);
  const std::string& mask = context.node.outputs[1];
  const Dims dims = to_dims(context.shape_of(*x));
  const std::uint64_t count = element_count(dims).value_or(0);
  if (count > largest_new_constant) {
    return fail(context.node, fmt::format("its mask {} is read, and would be a constant larger than {} elements",
                                          mask, largest_new_constant));
  }
  Constant ones = bool_mask ? Constant{bool_type, dims, {}, std::vector<std::int64_t>(count, 1)}
                            : Constant{float_type, dims, std::vector<float>(count, 1.0F), {}};
  Result<TensorId> weight = derived_weight(context, "mask", mask, std::move(ones));
  if (!weight) {
    return std::unexpected(weight.error());
  }
  context.mapping.tensors.insert_or_assign(mask, *weight);
  return {};
}

// Constant: value (value_float(s), value_int(s) from opset 12).
constexpr OperatorForm constant_forms[] = {
    {.opsets = {7, 17}, .arity = {0, 0, 1}, .fold = fold_constant},
};
constexpr OperatorForm constant_of_shape_forms[] = {
    {.opsets = {9, 17}, .arity = {1, 1, 1}, .fold = fold_constant_of_shape},
};
// Range folds; a run-time start, limit or delta is refused.
constexpr OperatorForm range_forms[] = {
    {.opsets = {11, 17}, .arity = {3, 3, 1}, .fold = fold_range},
};
// Shape and Size fold from their input's dims alone, which are static after
// binding (Shape's start and end from opset 15).
constexpr OperatorForm shape_forms[] = {
    {.opsets = {7, 17}, .arity = {1, 1, 1}, .fold = fold_shape, .folds_on_dims = true},
};
constexpr OperatorForm size_forms[] = {
    {.opsets = {7, 17}, .arity = {1, 1, 1}, .fold = fold_size, .folds_on_dims = true},
};
// Cast folds known values; a run-time value becomes a Cast between FLOAT,
// INT64 and BOOL (or itself, when it already has the type).
constexpr OperatorForm cast_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .fold = fold_cast,
     .shape = single_output<same_dims>,
     .map = map_cast,
     .dtype = cast_types},
};
// Identity is always its input, known or not.
constexpr OperatorForm identity_forms[] = {
    {.opsets = {7, 17}, .arity = {1, 1, 1}, .alias = identity_alias},
};
// Dropout: the ratio is an attribute before opset 12, then an input with
// training_mode, which must be known (see dropout_alias); inference ignores
// the ratio.
constexpr OperatorForm dropout_forms[] = {
    {.opsets = {7, 9},
     .arity = {1, 1, 2},
     .alias = dropout_alias,
     .shape = dropout_outputs,
     .map = map_dropout<false>,
     .dtype = dropout_types<false>},
    {.opsets = {10, 11},
     .arity = {1, 1, 2},
     .alias = dropout_alias,
     .shape = dropout_outputs,
     .map = map_dropout<true>,
     .dtype = dropout_types<true>},
    {.opsets = {12, 17},
     .arity = {1, 3, 2},
     .alias = dropout_alias,
     .shape = dropout_outputs,
     .map = map_dropout<true>,
     .dtype = dropout_types<true>},
};

constexpr Registration source_registrations[] = {
    {"Constant", constant_forms}, {"ConstantOfShape", constant_of_shape_forms},
    {"Range", range_forms},       {"Shape", shape_forms},
    {"Size", size_forms},         {"Cast", cast_forms},
    {"Identity", identity_forms}, {"Dropout", dropout_forms},
};

}  // namespace

std::span<const Registration> source_operators() { return source_registrations; }

}  // namespace orvo_compiler::onnx_import
