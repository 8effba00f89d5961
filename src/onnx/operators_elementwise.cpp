// The element-wise operators: arithmetic, Pow, the functions of one tensor
// (activations, maths functions, Clip), those of several tensors that
// broadcast (Max, Min, Sum, Mean, Mod, PRelu), the comparisons, the logical
// operators and Where. One registration each, with the folding,
// shape and mapping rules it names.
#include <algorithm>
#include <array>

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

// Neg of known values, which shape computations use to count axes from the
// back; integers wrap as the evaluator's do.
Result<Outputs> fold_neg(const Node&, std::span<const Operand> operands) {
  Constant result = known_value(operands, 0);
  for (float& value : result.floats) {
    value = -value;
  }
  for (std::int64_t& value : result.integers) {
    value = static_cast<std::int64_t>(0U - static_cast<std::uint64_t>(value));
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

// Whether Pow becomes products: a known exponent of 2 or 3 that leaves the
// base's dims as they are.
bool pow_as_products(const Node& node, std::span<const Operand> operands) {
  if (!pow_exponent(node, operands)) {
    return false;
  }
  const Result<Dims> dims = binary_dims(node, operands);
  return dims && *dims == operand_at(operands, 0).dims;
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

// The operation `kind` of every input of the node, in order.
Result<void> map_inputs(const MapContext& context, OpKind kind) {
  std::vector<TensorId> inputs;
  for (std::size_t index = 0; index < context.node.inputs.size(); ++index) {
    Result<TensorId> id = input(context, index);
    if (!id) {
      return std::unexpected(id.error());
    }
    inputs.push_back(*id);
  }
  return define(context, context.graph().apply(context.output, std::move(kind), std::move(inputs)));
}

template <class Kind>
Result<void> map_kind(const MapContext& context) {
  return map_inputs(context, Kind{});
}

// numpy's broadcast of every operand's dims.
Result<Dims> broadcast_all_dims(const Node& node, std::span<const Operand> operands) {
  Dims dims = operand_at(operands, 0).dims;
  for (std::size_t index = 1; index < operands.size(); ++index) {
    Result<Dims> next = broadcast_dims(node, dims, operand_at(operands, index).dims);
    if (!next) {
      return next;
    }
    dims = std::move(*next);
  }
  return dims;
}

// PRelu's slope broadcasts to the input's dims, which the output keeps.
Result<Dims> prelu_dims(const Node& node, std::span<const Operand> operands) {
  Result<Dims> dims = binary_dims(node, operands);
  if (dims && *dims != operand_at(operands, 0).dims) {
    return fail(node, fmt::format("the slope of dims {} does not broadcast to the input's {}",
                                  dims_text(operand_at(operands, 1).dims), dims_text(operand_at(operands, 0).dims)));
  }
  return dims;
}

Result<void> map_mod(const MapContext& context) {
  Result<std::int64_t> fmod = int_attribute(context.node, "fmod", 0);
  if (!fmod) {
    return std::unexpected(fmod.error());
  }
  if (*fmod != 0 && *fmod != 1) {
    return std::unexpected(node_error(context.node, fmt::format("attribute fmod must be 0 or 1, not {}", *fmod)));
  }
  return map_inputs(context, Mod{*fmod});
}


// Pow: products for a known exponent of 2 or 3 (as exact as pow for 2), else
// the Pow operation.
Result<void> map_pow(const MapContext& context) {
  const std::vector<Operand> operands = operands_of(context.folded, context.node);
  if (!pow_as_products(context.node, operands)) {
    return map_inputs(context, Pow{});
  }
  Result<int> exponent = pow_exponent(context.node, operands);
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

// The kind with each of its float fields read from the attribute of the same
// name, the kind's own default when absent (ONNX's defaults).
template <class Kind>
Result<Kind> kind_from_attributes(const Node& node) {
  Kind kind{};
  Result<void> status;
  for_each_field<Kind>([&](const auto& field) {
    if (!status) {
      return;
    }
    Result<float> value = float_attribute(node, field.name, kind.*field.member);
    if (!value) {
      status = std::unexpected(value.error());
      return;
    }
    kind.*field.member = *value;
  });
  if (!status) {
    return std::unexpected(status.error());
  }
  return kind;
}

// A function of one float tensor: the operation `Kind`, parameters from the
// node's attributes.
template <class Kind>
Result<void> map_function(const MapContext& context) {
  Result<Kind> kind = kind_from_attributes<Kind>(context.node);
  Result<TensorId> x = kind ? input(context, 0) : std::unexpected(kind.error());
  if (!x) {
    return std::unexpected(x.error());
  }
  return define(context, context.graph().apply(context.output, std::move(*kind), {*x}));
}

// A bound of Clip given as input `index`, known at import: its single value,
// `fallback` when the input is omitted.
Result<float> clip_bound(const Node& node, std::span<const Operand> operands, std::size_t index, float fallback) {
  const Operand& operand = operand_at(operands, index);
  if (!operand.present) {
    return fallback;
  }
  if (!operand.constant->is_float() || operand.constant->floats.size() != 1) {
    return fail(node, fmt::format("the bound {} must be a single FLOAT value", input_name(node, index)));
  }
  return operand.constant->floats.front();
}

// Clip from opset 11: the bounds are inputs.
Result<Clip> clip_from_inputs(const Node& node, std::span<const Operand> operands) {
  Result<float> low = clip_bound(node, operands, 1, Clip{}.min);
  Result<float> high = low ? clip_bound(node, operands, 2, Clip{}.max) : low;
  if (!high) {
    return std::unexpected(high.error());
  }
  return Clip{*low, *high};
}

// Whether every bound of Clip is omitted or known at import.
bool clip_bounds_known(std::span<const Operand> operands) {
  return std::ranges::all_of(std::array<std::size_t, 2>{1, 2}, [&](std::size_t index) {
    return !operand_at(operands, index).present || operand_at(operands, index).constant != nullptr;
  });
}

// The input's dims; each bound a single value.
Result<Dims> clip_dims(const Node& node, std::span<const Operand> operands) {
  if (clip_bounds_known(operands)) {
    if (Result<Clip> clip = clip_from_inputs(node, operands); !clip) {
      return std::unexpected(clip.error());
    }
  }
  for (std::size_t index = 1; index < 3; ++index) {
    const Operand& bound = operand_at(operands, index);
    if (bound.present && element_count(bound.dims) != 1) {
      return fail(node, fmt::format("the bound {} has dims {}; it must be a single value", input_name(node, index),
                                    dims_text(bound.dims)));
    }
  }
  return operand_at(operands, 0).dims;
}

// Clip from opset 11: known (or omitted) bounds become the fields of one Clip;
// a run-time bound makes it Max with the lower bound, then Min with the upper
// one, as ONNX defines Clip.
Result<void> map_clip(const MapContext& context) {
  const std::vector<Operand> operands = operands_of(context.folded, context.node);
  if (clip_bounds_known(operands)) {
    Result<Clip> clip = clip_from_inputs(context.node, operands);
    Result<TensorId> x = clip ? input(context, 0) : std::unexpected(clip.error());
    if (!x) {
      return std::unexpected(x.error());
    }
    return define(context, context.graph().apply(context.output, *clip, {*x}));
  }
  Result<TensorId> value = input(context, 0);
  const bool has_upper = operand_at(operands, 2).present;
  if (value && operand_at(operands, 1).present) {
    Result<TensorId> low = input(context, 1);
    value = low ? context.graph().apply(has_upper ? context.derived("raised") : context.output, Max{},
                                        {*value, *low})
                : low;
  }
  if (value && has_upper) {
    Result<TensorId> high = input(context, 2);
    value = high ? context.graph().apply(context.output, Min{}, {*value, *high}) : high;
  }
  return define(context, value);
}

// One form over `opsets` of a function of one float tensor.
template <class Kind>
constexpr OperatorForm function_form(OpsetRange opsets) {
  return {.opsets = opsets, .arity = {1, 1, 1}, .shape = single_output<same_dims>, .map = map_function<Kind>};
}

// Add, Sub, Mul and Div fold on FLOAT and integer values alike and map to
// the element-wise operation, each operand broadcast to the result.
constexpr OperatorForm add_forms[] = {
    {.opsets = {7, 17},
     .arity = {2, 2, 1},
     .fold = fold_arithmetic,
     .shape = single_output<binary_dims>,
     .map = [](const MapContext& c) { return map_binary(c, Add{}); }},
};
constexpr OperatorForm sub_forms[] = {
    {.opsets = {7, 17},
     .arity = {2, 2, 1},
     .fold = fold_arithmetic,
     .shape = single_output<binary_dims>,
     .map = [](const MapContext& c) { return map_binary(c, Sub{}); }},
};
constexpr OperatorForm mul_forms[] = {
    {.opsets = {7, 17},
     .arity = {2, 2, 1},
     .fold = fold_arithmetic,
     .shape = single_output<binary_dims>,
     .map = [](const MapContext& c) { return map_binary(c, Mul{}); }},
};
constexpr OperatorForm div_forms[] = {
    {.opsets = {7, 17},
     .arity = {2, 2, 1},
     .fold = fold_arithmetic,
     .shape = single_output<binary_dims>,
     .map = [](const MapContext& c) { return map_binary(c, Div{}); }},
};
// Pow: a known exponent of 2 or 3, as products.
constexpr OperatorForm pow_forms[] = {
    {.opsets = {7, 17}, .arity = {2, 2, 1}, .shape = single_output<binary_dims>, .map = map_pow},
};
constexpr OperatorForm erf_forms[] = {
    {.opsets = {9, 17},
     .arity = {1, 1, 1},
     .shape = single_output<same_dims>,
     .map = [](const MapContext& c) { return map_unary(c, &Graph::erf); }},
};
constexpr OperatorForm tanh_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .shape = single_output<same_dims>,
     .map = [](const MapContext& c) { return map_unary(c, &Graph::tanh); }},
};
constexpr OperatorForm sqrt_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .shape = single_output<same_dims>,
     .map = [](const MapContext& c) { return map_unary(c, &Graph::sqrt); }},
};
// Equal and Where fold when their inputs are known (masks built from shapes).
constexpr OperatorForm equal_forms[] = {
    {.opsets = {7, 17},
     .arity = {2, 2, 1},
     .fold = fold_equal,
     .shape = single_output<broadcast_all_dims>,
     .map = map_kind<Equal>,
     .dtype = outputs_of_type<DType::Bool>},
};
constexpr OperatorForm where_forms[] = {
    {.opsets = {9, 17},
     .arity = {3, 3, 1},
     .fold = fold_where,
     .shape = single_output<broadcast_all_dims>,
     .map = map_kind<Where>,
     .dtype = outputs_of_input_type<1>},
};

// Functions of one float tensor, from the opset where ONNX has each (its
// float meaning the same in every later version).
constexpr OperatorForm relu_forms[] = {function_form<Relu>({7, 17})};
constexpr OperatorForm leaky_relu_forms[] = {function_form<LeakyRelu>({7, 17})};
constexpr OperatorForm elu_forms[] = {function_form<Elu>({7, 17})};
constexpr OperatorForm selu_forms[] = {function_form<Selu>({7, 17})};
constexpr OperatorForm celu_forms[] = {function_form<Celu>({12, 17})};
constexpr OperatorForm thresholded_relu_forms[] = {function_form<ThresholdedRelu>({10, 17})};
constexpr OperatorForm sigmoid_forms[] = {function_form<Sigmoid>({7, 17})};
constexpr OperatorForm hard_sigmoid_forms[] = {function_form<HardSigmoid>({7, 17})};
constexpr OperatorForm hard_swish_forms[] = {function_form<HardSwish>({14, 17})};
constexpr OperatorForm softplus_forms[] = {function_form<Softplus>({7, 17})};
constexpr OperatorForm softsign_forms[] = {function_form<Softsign>({7, 17})};
constexpr OperatorForm shrink_forms[] = {function_form<Shrink>({9, 17})};
constexpr OperatorForm exp_forms[] = {function_form<Exp>({7, 17})};
constexpr OperatorForm log_forms[] = {function_form<Log>({7, 17})};
constexpr OperatorForm neg_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .fold = fold_neg,
     .shape = single_output<same_dims>,
     .map = map_function<Neg>},
};
constexpr OperatorForm abs_forms[] = {function_form<Abs>({7, 17})};
constexpr OperatorForm reciprocal_forms[] = {function_form<Reciprocal>({7, 17})};
constexpr OperatorForm floor_forms[] = {function_form<Floor>({7, 17})};
constexpr OperatorForm ceil_forms[] = {function_form<Ceil>({7, 17})};
constexpr OperatorForm round_forms[] = {function_form<Round>({11, 17})};
constexpr OperatorForm sign_forms[] = {function_form<Sign>({9, 17})};
constexpr OperatorForm sin_forms[] = {function_form<Sin>({7, 17})};
constexpr OperatorForm cos_forms[] = {function_form<Cos>({7, 17})};
constexpr OperatorForm tan_forms[] = {function_form<Tan>({7, 17})};
constexpr OperatorForm asin_forms[] = {function_form<Asin>({7, 17})};
constexpr OperatorForm acos_forms[] = {function_form<Acos>({7, 17})};
constexpr OperatorForm atan_forms[] = {function_form<Atan>({7, 17})};
constexpr OperatorForm sinh_forms[] = {function_form<Sinh>({9, 17})};
constexpr OperatorForm cosh_forms[] = {function_form<Cosh>({9, 17})};
constexpr OperatorForm asinh_forms[] = {function_form<Asinh>({9, 17})};
constexpr OperatorForm acosh_forms[] = {function_form<Acosh>({9, 17})};
constexpr OperatorForm atanh_forms[] = {function_form<Atanh>({9, 17})};
// Clip: the bounds are attributes up to opset 10, optional inputs (known at
// import) from 11; absent ones are the extreme floats.
constexpr OperatorForm clip_forms[] = {
    function_form<Clip>({7, 10}),
    {.opsets = {11, 17}, .arity = {1, 3, 1}, .shape = single_output<clip_dims>, .map = map_clip},
};

// Functions of several tensors that broadcast, kept for run time.
template <class Kind>
constexpr OperatorForm broadcast_form(OpsetRange opsets, Arity arity) {
  return {.opsets = opsets, .arity = arity, .shape = single_output<broadcast_all_dims>, .map = map_kind<Kind>};
}
constexpr Arity two_inputs{2, 2, 1};
constexpr Arity one_or_more{many, many, 1};

constexpr OperatorForm max_forms[] = {broadcast_form<Max>({7, 17}, one_or_more)};
constexpr OperatorForm min_forms[] = {broadcast_form<Min>({7, 17}, one_or_more)};
constexpr OperatorForm sum_forms[] = {broadcast_form<Sum>({7, 17}, one_or_more)};
constexpr OperatorForm mean_forms[] = {broadcast_form<Mean>({7, 17}, one_or_more)};
// Comparisons give BOOL.
template <class Kind>
constexpr OperatorForm comparison_form(OpsetRange opsets) {
  OperatorForm form = broadcast_form<Kind>(opsets, two_inputs);
  form.dtype = outputs_of_type<DType::Bool>;
  return form;
}
constexpr OperatorForm less_forms[] = {comparison_form<Less>({7, 17})};
constexpr OperatorForm greater_forms[] = {comparison_form<Greater>({7, 17})};
constexpr OperatorForm less_or_equal_forms[] = {comparison_form<LessOrEqual>({12, 17})};
constexpr OperatorForm greater_or_equal_forms[] = {comparison_form<GreaterOrEqual>({12, 17})};
constexpr OperatorForm not_forms[] = {broadcast_form<Not>({7, 17}, {1, 1, 1})};
constexpr OperatorForm and_forms[] = {broadcast_form<And>({7, 17}, two_inputs)};
constexpr OperatorForm or_forms[] = {broadcast_form<Or>({7, 17}, two_inputs)};
constexpr OperatorForm xor_forms[] = {broadcast_form<Xor>({7, 17}, two_inputs)};
constexpr OperatorForm prelu_forms[] = {
    {.opsets = {7, 17}, .arity = two_inputs, .shape = single_output<prelu_dims>, .map = map_kind<PRelu>},
};
// Mod: fmod 1 truncates (the dividend's sign), 0 floors (the divisor's sign).
constexpr OperatorForm mod_forms[] = {
    {.opsets = {10, 17}, .arity = two_inputs, .shape = single_output<broadcast_all_dims>, .map = map_mod},
};

constexpr Registration elementwise_registrations[] = {
    {"Add", add_forms},   {"Sub", sub_forms},   {"Mul", mul_forms},     {"Div", div_forms},
    {"Pow", pow_forms},   {"Erf", erf_forms},   {"Tanh", tanh_forms},   {"Sqrt", sqrt_forms},
    {"Equal", equal_forms}, {"Where", where_forms},
    {"Relu", relu_forms}, {"LeakyRelu", leaky_relu_forms}, {"Elu", elu_forms}, {"Selu", selu_forms},
    {"Celu", celu_forms}, {"ThresholdedRelu", thresholded_relu_forms}, {"Sigmoid", sigmoid_forms},
    {"HardSigmoid", hard_sigmoid_forms}, {"HardSwish", hard_swish_forms}, {"Softplus", softplus_forms},
    {"Softsign", softsign_forms}, {"Shrink", shrink_forms}, {"Exp", exp_forms}, {"Log", log_forms},
    {"Neg", neg_forms}, {"Abs", abs_forms}, {"Reciprocal", reciprocal_forms}, {"Floor", floor_forms},
    {"Ceil", ceil_forms}, {"Round", round_forms}, {"Sign", sign_forms}, {"Sin", sin_forms}, {"Cos", cos_forms},
    {"Tan", tan_forms}, {"Asin", asin_forms}, {"Acos", acos_forms}, {"Atan", atan_forms}, {"Sinh", sinh_forms},
    {"Cosh", cosh_forms}, {"Asinh", asinh_forms}, {"Acosh", acosh_forms}, {"Atanh", atanh_forms},
    {"Clip", clip_forms}, {"Max", max_forms}, {"Min", min_forms}, {"Sum", sum_forms}, {"Mean", mean_forms},
    {"Less", less_forms}, {"Greater", greater_forms}, {"LessOrEqual", less_or_equal_forms},
    {"GreaterOrEqual", greater_or_equal_forms}, {"Not", not_forms}, {"And", and_forms}, {"Or", or_forms},
    {"Xor", xor_forms}, {"PRelu", prelu_forms}, {"Mod", mod_forms},
};

}  // namespace

std::span<const Registration> elementwise_operators() { return elementwise_registrations; }

}  // namespace orvo_compiler::onnx_import
