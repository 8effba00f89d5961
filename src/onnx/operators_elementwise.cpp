// The element-wise operators: arithmetic, Pow, the unary functions, and the
// comparisons that only ever fold. One registration each, with the folding,
// shape and mapping rules it names.
#include <algorithm>

#include <fmt/format.h>

#include "onnx/constant_ops.hpp"
#include "onnx/map_operators.hpp"
#include "onnx/operator_registry.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

using Outputs = std::vector<Constant>;

std::int64_t wrapping(std::uint64_t value) { return static_cast<std::int64_t>(value); }

Result<std::int64_t> integer_arithmetic(const Node& node, std::int64_t a, std::int64_t b) {
  const auto ua = static_cast<std::uint64_t>(a);
  const auto ub = static_cast<std::uint64_t>(b);
  if (node.op_type == "Add") {
    return wrapping(ua + ub);
  }
  if (node.op_type == "Sub") {
    return wrapping(ua - ub);
  }
  if (node.op_type == "Mul") {
    return wrapping(ua * ub);
  }
  if (b == 0) {
    return fail(node, fmt::format("divides {} by zero", a));
  }
  if (b == -1) {
    return wrapping(0 - ua);
  }
  return a / b;
}

float float_arithmetic(std::string_view op_type, float a, float b) {
  if (op_type == "Add") {
    return a + b;
  }
  if (op_type == "Sub") {
    return a - b;
  }
  if (op_type == "Mul") {
    return a * b;
  }
  return a / b;
}

// Both operands broadcast to their common dims, of one element type.
Result<std::pair<Constant, Constant>> aligned_pair(const Node& node, std::span<const Operand> operands) {
  const Constant& left = known_value(operands, 0);
  const Constant& right = known_value(operands, 1);
  if (left.is_float() != right.is_float()) {
    return fail(node, fmt::format("operands have element types {} and {}", data_type_name(left.data_type),
                                  data_type_name(right.data_type)));
  }
  Result<Dims> dims = broadcast_dims(node, left.dims, right.dims);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  if (Result<void> size = check_growth(node, *dims, operands); !size) {
    return std::unexpected(size.error());
  }
  return std::pair{broadcast_constant(left, *dims), broadcast_constant(right, *dims)};
}

Result<Outputs> fold_arithmetic(const Node& node, std::span<const Operand> operands) {
  Result<std::pair<Constant, Constant>> pair = aligned_pair(node, operands);
  if (!pair) {
    return std::unexpected(pair.error());
  }
  auto& [result, right] = *pair;
  for (std::size_t index = 0; index < result.floats.size(); ++index) {
    result.floats[index] = float_arithmetic(node.op_type, result.floats[index], right.floats[index]);
  }
  for (std::size_t index = 0; index < result.integers.size(); ++index) {
    Result<std::int64_t> value = integer_arithmetic(node, result.integers[index], right.integers[index]);
    if (!value) {
      return std::unexpected(value.error());
    }
    result.integers[index] = *value;
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_equal(const Node& node, std::span<const Operand> operands) {
  Result<std::pair<Constant, Constant>> pair = aligned_pair(node, operands);
  if (!pair) {
    return std::unexpected(pair.error());
  }
  const auto& [left, right] = *pair;
  Constant result{bool_type, left.dims, {}, {}};
  for (std::size_t index = 0; index < left.floats.size(); ++index) {
    result.integers.push_back(left.floats[index] == right.floats[index] ? 1 : 0);
  }
  for (std::size_t index = 0; index < left.integers.size(); ++index) {
    result.integers.push_back(left.integers[index] == right.integers[index] ? 1 : 0);
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_where(const Node& node, std::span<const Operand> operands) {
  const Constant& condition = known_value(operands, 0);
  if (!condition.is_integer()) {
    return fail(node, "the condition must be boolean");
  }
  Result<std::pair<Constant, Constant>> pair = aligned_pair(node, operands.subspan(1));
  if (!pair) {
    return std::unexpected(pair.error());
  }
  Result<Dims> dims = broadcast_dims(node, condition.dims, pair->first.dims);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  if (Result<void> size = check_growth(node, *dims, operands); !size) {
    return std::unexpected(size.error());
  }
  const Constant choose = broadcast_constant(condition, *dims);
  Constant result = broadcast_constant(pair->first, *dims);
  const Constant otherwise = broadcast_constant(pair->second, *dims);
  for (std::size_t index = 0; index < choose.integers.size(); ++index) {
    if (choose.integers[index] == 0) {
      if (result.is_float()) {
        result.floats[index] = otherwise.floats[index];
      } else {
        result.integers[index] = otherwise.integers[index];
      }
    }
  }
  return Outputs{std::move(result)};
}

Result<Dims> same_dims(const Node&, std::span<const Operand> operands) { return operand_at(operands, 0).dims; }

Result<Dims> binary_dims(const Node& node, std::span<const Operand> operands) {
  return broadcast_dims(node, operand_at(operands, 0).dims, operand_at(operands, 1).dims);
}

Result<Dims> pow_dims(const Node& node, std::span<const Operand> operands) {
  if (Result<int> exponent = pow_exponent(node, operands); !exponent) {
    return std::unexpected(exponent.error());
  }
  Result<Dims> dims = binary_dims(node, operands);
  if (dims && *dims != operand_at(operands, 0).dims) {
    return fail(node, "the exponent must not broadcast the base to a larger shape");
  }
  return dims;
}

using Unary = Result<TensorId> (Graph::*)(std::string_view, TensorId);

Result<void> map_unary(const MapContext& context, Unary build) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  return define(context, (context.graph().*build)(context.output, *x));
}

Result<void> map_binary(const MapContext& context, OpKind kind) {
  Result<TensorId> left = input(context, 0);
  Result<TensorId> right = left ? input(context, 1) : left;
  if (!right) {
    return std::unexpected(right.error());
  }
  return define(context, binary(context, context.output, std::move(kind), *left, *right, context.output_shape()));
}

Result<void> map_pow(const MapContext& context) {
  Result<int> exponent = pow_exponent(context.node, operands_of(context.folded, context.node));
  Result<TensorId> x = exponent ? input(context, 0) : std::unexpected(exponent.error());
  if (!x) {
    return std::unexpected(x.error());
  }
  if (*exponent == 2) {
    return define(context, context.graph().mul(context.output, *x, *x));
  }
  Result<TensorId> square = context.graph().mul(context.derived("square"), *x, *x);
  if (!square) {
    return std::unexpected(square.error());
  }
  return define(context, context.graph().mul(context.output, *square, *x));
}

// Add, Sub, Mul and Div fold on FLOAT and integer values alike and map to
// the element-wise operation, each operand broadcast to the result.
constexpr OperatorForm add_forms[] = {
    {.opsets = {13, 17},
     .arity = {2, 2, 1},
     .fold = fold_arithmetic,
     .shape = single_output<binary_dims>,
     .map = [](const MapContext& c) { return map_binary(c, Add{}); }},
};
constexpr OperatorForm sub_forms[] = {
    {.opsets = {13, 17},
     .arity = {2, 2, 1},
     .fold = fold_arithmetic,
     .shape = single_output<binary_dims>,
     .map = [](const MapContext& c) { return map_binary(c, Sub{}); }},
};
constexpr OperatorForm mul_forms[] = {
    {.opsets = {13, 17},
     .arity = {2, 2, 1},
     .fold = fold_arithmetic,
     .shape = single_output<binary_dims>,
     .map = [](const MapContext& c) { return map_binary(c, Mul{}); }},
};
constexpr OperatorForm div_forms[] = {
    {.opsets = {13, 17},
     .arity = {2, 2, 1},
     .fold = fold_arithmetic,
     .shape = single_output<binary_dims>,
     .map = [](const MapContext& c) { return map_binary(c, Div{}); }},
};
// Pow: a known exponent of 2 or 3, as products.
constexpr OperatorForm pow_forms[] = {
    {.opsets = {13, 17}, .arity = {2, 2, 1}, .shape = single_output<pow_dims>, .map = map_pow},
};
constexpr OperatorForm erf_forms[] = {
    {.opsets = {13, 17},
     .arity = {1, 1, 1},
     .shape = single_output<same_dims>,
     .map = [](const MapContext& c) { return map_unary(c, &Graph::erf); }},
};
constexpr OperatorForm tanh_forms[] = {
    {.opsets = {13, 17},
     .arity = {1, 1, 1},
     .shape = single_output<same_dims>,
     .map = [](const MapContext& c) { return map_unary(c, &Graph::tanh); }},
};
constexpr OperatorForm sqrt_forms[] = {
    {.opsets = {13, 17},
     .arity = {1, 1, 1},
     .shape = single_output<same_dims>,
     .map = [](const MapContext& c) { return map_unary(c, &Graph::sqrt); }},
};
// Equal and Where only ever fold (masks built from shapes).
constexpr OperatorForm equal_forms[] = {
    {.opsets = {13, 17}, .arity = {2, 2, 1}, .fold = fold_equal},
};
constexpr OperatorForm where_forms[] = {
    {.opsets = {13, 17}, .arity = {3, 3, 1}, .fold = fold_where},
};

constexpr Registration registrations[] = {
    {"Add", add_forms},   {"Sub", sub_forms},   {"Mul", mul_forms},     {"Div", div_forms},
    {"Pow", pow_forms},   {"Erf", erf_forms},   {"Tanh", tanh_forms},   {"Sqrt", sqrt_forms},
    {"Equal", equal_forms}, {"Where", where_forms},
};

}  // namespace

std::span<const Registration> elementwise_operators() { return registrations; }

}  // namespace orvo_compiler::onnx_import
