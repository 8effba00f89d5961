// Mapping of ONNX operators onto graph operations. Element-wise operators
// broadcast explicitly (one Broadcast per operand whose shape differs from
// the result's); products pick the cheapest form the graph language has: a
// plain MatMul, a run-time activation flattened to rows against a rank-2
// operand, or a BatchMatMul over broadcast batch axes.
#include "onnx/map_operators.hpp"

#include <algorithm>
#include <functional>
#include <iterator>
#include <limits>
#include <numeric>

#include <fmt/format.h>

#include "onnx/constant_ops.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

constexpr std::size_t many = std::numeric_limits<std::size_t>::max();

// What the importer accepts of one operator: the leading inputs that must be
// present, the most inputs and the most outputs it takes.
struct OperatorRule {
  std::string_view op_type;
  std::size_t required_inputs;
  std::size_t most_inputs;
  std::size_t most_outputs;
};

constexpr OperatorRule operator_rules[] = {
    {"Add", 2, 2, 1},
    {"Cast", 1, 1, 1},
    {"Concat", many, many, 1},
    {"Constant", 0, 0, 1},
    {"ConstantOfShape", 1, 1, 1},
    {"Div", 2, 2, 1},
    {"Equal", 2, 2, 1},
    {"Erf", 1, 1, 1},
    {"Expand", 2, 2, 1},
    {"Gather", 2, 2, 1},
    {"Gemm", 2, 3, 1},
    {"Identity", 1, 1, 1},
    {"LayerNormalization", 2, 3, 3},
    {"MatMul", 2, 2, 1},
    {"Mul", 2, 2, 1},
    {"Pow", 2, 2, 1},
    {"Range", 3, 3, 1},
    {"ReduceMean", 1, 1, 1},
    {"Reshape", 2, 2, 1},
    {"Shape", 1, 1, 1},
    {"Slice", 3, 5, 1},
    {"Softmax", 1, 1, 1},
    {"Split", 1, 2, many},
    {"Sqrt", 1, 1, 1},
    {"Squeeze", 1, 2, 1},
    {"Sub", 2, 2, 1},
    {"Tanh", 1, 1, 1},
    {"Transpose", 1, 1, 1},
    {"Unsqueeze", 2, 2, 1},
    {"Where", 3, 3, 1},
};

const OperatorRule* find_rule(const Node& node) {
  if (!node.domain.empty()) {
    return nullptr;
  }
  const auto* found = std::ranges::find(operator_rules, node.op_type, &OperatorRule::op_type);
  return found == std::end(operator_rules) ? nullptr : found;
}

std::string count_range(std::size_t least, std::size_t most) {
  if (most == many) {
    return fmt::format("{} or more", least);
  }
  return least == most ? fmt::format("{}", least) : fmt::format("{} to {}", least, most);
}

Result<void> check_arity(const Node& node, const OperatorRule& rule) {
  const std::size_t required = std::min(rule.required_inputs, node.inputs.size());
  const std::size_t least = rule.required_inputs == many ? 1 : rule.required_inputs;
  if (node.inputs.size() < least || node.inputs.size() > rule.most_inputs) {
    return std::unexpected(node_error(
        node, fmt::format("takes {} inputs, not {}", count_range(least, rule.most_inputs), node.inputs.size())));
  }
  for (std::size_t index = 0; index < required; ++index) {
    if (node.inputs[index].empty()) {
      return std::unexpected(node_error(node, fmt::format("input {} is required but omitted", index)));
    }
  }
  if (node.outputs.empty() || node.outputs.size() > rule.most_outputs || node.outputs.front().empty()) {
    return std::unexpected(node_error(node, fmt::format("takes {} outputs, the first one named; it has {}",
                                                        count_range(1, rule.most_outputs), node.outputs.size())));
  }
  return {};
}

// The mapping of one node: the model's values, the graph, and the name of
// the node's (first) output.
struct Context {
  const Folded& folded;
  Mapping& mapping;
  const Node& node;
  const std::string& output;

  [[nodiscard]] Graph& graph() const { return mapping.graph; }
  [[nodiscard]] const Shape& shape_of(TensorId id) const { return mapping.graph.tensors[id.index].shape; }
  [[nodiscard]] const Shape& output_shape() const { return folded.shapes.at(output); }
  [[nodiscard]] std::string derived(std::string_view suffix) const { return fmt::format("{}/{}", output, suffix); }
  [[nodiscard]] const Constant* constant(std::size_t index) const {
    const auto found = folded.constants.find(node.inputs[index]);
    return found == folded.constants.end() ? nullptr : &found->second;
  }
  void define(TensorId id) const { mapping.tensors.insert_or_assign(output, id); }
};

// A weight holding a float constant: rank 0 becomes shape [1].
Result<TensorId> add_weight(const Context& context, const std::string& display_name, const std::string& key,
                            const Constant& constant) {
  if (!constant.is_float()) {
    return std::unexpected(node_error(context.node, fmt::format("input {} has element type {} where FLOAT is needed",
                                                                display_name, data_type_name(constant.data_type))));
  }
  Shape shape = constant.dims.empty() ? Shape{1} : to_shape(constant.dims);
  if (std::ranges::find(shape, 0U) != shape.end()) {
    return std::unexpected(node_error(context.node, fmt::format("input {} has shape {}, with a zero dimension",
                                                                display_name, dims_text(constant.dims))));
  }
  const TensorId id = context.graph().weight(display_name, std::move(shape));
  context.mapping.weight_sources.emplace_back(id, key);
  return id;
}

// The graph tensor of input `index`: a run-time value, or the weight of a
// constant (made on first use).
Result<TensorId> input(const Context& context, std::size_t index) {
  const std::string& name = context.node.inputs[index];
  if (const auto found = context.mapping.tensors.find(name); found != context.mapping.tensors.end()) {
    return found->second;
  }
  const Constant* constant = context.constant(index);
  if (constant == nullptr) {
    return std::unexpected(node_error(context.node, fmt::format("input {} is not defined", name)));
  }
  Result<TensorId> weight = add_weight(context, name, name, *constant);
  if (weight) {
    context.mapping.tensors.emplace(name, *weight);
  }
  return weight;
}

// A weight made while mapping, under a key private to this node.
Result<TensorId> derived_weight(const Context& context, std::string_view role, const std::string& display_name,
                                Constant constant) {
  const std::string key = context.derived(role);
  const auto [slot, inserted] = context.mapping.derived.insert_or_assign(key, std::move(constant));
  return add_weight(context, display_name, key, slot->second);
}

Result<TensorId> broadcast_to(const Context& context, const std::string& name, TensorId id, const Shape& shape) {
  if (context.shape_of(id) == shape) {
    return id;
  }
  return context.graph().broadcast(name, id, shape);
}

// `left` op `right` into `shape`, each operand broadcast first where needed.
Result<TensorId> binary(const Context& context, const std::string& name, OpKind kind, TensorId left, TensorId right,
                        const Shape& shape) {
  Result<TensorId> a = broadcast_to(context, name + "/broadcast0", left, shape);
  if (!a) {
    return a;
  }
  Result<TensorId> b = broadcast_to(context, name + "/broadcast1", right, shape);
  if (!b) {
    return b;
  }
  return context.graph().binary(name, std::move(kind), *a, *b);
}

// `value` times the scalar `factor`, held in a shape-[1] weight.
Result<TensorId> scaled(const Context& context, const std::string& name, std::string_view role, TensorId value,
                        float factor) {
  Result<TensorId> weight =
      derived_weight(context, role, context.derived(role), Constant{float_type, {}, {factor}, {}});
  if (!weight) {
    return weight;
  }
  return binary(context, name, Mul{}, value, *weight, context.shape_of(value));
}

Result<void> define(const Context& context, Result<TensorId> id) {
  if (!id) {
    return std::unexpected(id.error());
  }
  context.define(*id);
  return {};
}

using Unary = Result<TensorId> (Graph::*)(std::string_view, TensorId);

Result<void> map_unary(const Context& context, Unary build) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  return define(context, (context.graph().*build)(context.output, *x));
}

Result<void> map_binary(const Context& context, OpKind kind) {
  Result<TensorId> left = input(context, 0);
  Result<TensorId> right = left ? input(context, 1) : left;
  if (!right) {
    return std::unexpected(right.error());
  }
  return define(context, binary(context, context.output, std::move(kind), *left, *right, context.output_shape()));
}

Result<void> map_pow(const Context& context) {
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

// The product of `left` and `right`, both of rank 2 or more, named `name`.
Result<TensorId> product(const Context& context, const std::string& name, TensorId left, TensorId right) {
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

Result<void> map_matmul(const Context& context) {
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
Result<TensorId> gemm_constant(const Context& context, std::size_t index, bool transpose, float factor,
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
Result<TensorId> gemm_operand(const Context& context, std::size_t index, bool transpose, float factor,
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

Result<void> map_gemm(const Context& context) {
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

Result<void> map_reshape(const Context& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  return define(context, context.graph().reshape(context.output, *x, context.output_shape()));
}

Result<void> map_expand(const Context& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  return define(context, context.graph().broadcast(context.output, *x, context.output_shape()));
}

Result<void> map_transpose(const Context& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::vector<std::uint64_t>> permutation =
      x ? transpose_permutation(context.node, context.shape_of(*x).size()) : std::unexpected(x.error());
  if (!permutation) {
    return std::unexpected(permutation.error());
  }
  return define(context, context.graph().transpose(context.output, *x, std::move(*permutation)));
}

Result<void> map_softmax(const Context& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::size_t> axis = x ? softmax_axis(context.node, context.shape_of(*x).size()) : std::unexpected(x.error());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  return define(context, context.graph().softmax(context.output, *x, *axis));
}

// LayerNorm, then Mul by the scale and Add of the bias, each broadcast.
Result<void> map_layer_normalization(const Context& context) {
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

Result<void> map_reduce_mean(const Context& context) {
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

// One Slice operation per axis that loses elements; none at all aliases the input.
Result<void> map_slice(const Context& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::vector<AxisRange>> ranges =
      x ? slice_ranges(context.node, operands_of(context.folded, context.node)) : std::unexpected(x.error());
  if (!ranges) {
    return std::unexpected(ranges.error());
  }
  const Shape shape = context.shape_of(*x);
  std::erase_if(*ranges, [&shape](const AxisRange& range) {
    return range.start == 0 && static_cast<std::uint64_t>(range.end) == shape[range.axis];
  });
  Result<TensorId> result = *x;
  for (std::size_t index = 0; index < ranges->size() && result; ++index) {
    const AxisRange& range = (*ranges)[index];
    const std::string name =
        index + 1 == ranges->size() ? context.output : context.derived(fmt::format("axis{}", range.axis));
    result = context.graph().slice(name, *result, range.axis, static_cast<std::uint64_t>(range.start),
                                   static_cast<std::uint64_t>(range.end));
  }
  return define(context, result);
}

// One Slice operation per output, named after it.
Result<void> map_split(const Context& context) {
  Result<TensorId> x = input(context, 0);
  Result<SplitPieces> pieces =
      x ? split_pieces(context.node, operands_of(context.folded, context.node)) : std::unexpected(x.error());
  if (!pieces) {
    return std::unexpected(pieces.error());
  }
  std::uint64_t start = 0;
  for (std::size_t index = 0; index < pieces->sizes.size(); ++index) {
    const auto end = start + static_cast<std::uint64_t>(pieces->sizes[index]);
    const std::string& name = context.node.outputs[index];
    if (!name.empty()) {
      Result<TensorId> piece = end - start == context.shape_of(*x)[pieces->axis]
                                   ? Result<TensorId>(*x)
                                   : context.graph().slice(name, *x, pieces->axis, start, end);
      if (!piece) {
        return std::unexpected(piece.error());
      }
      context.mapping.tensors.insert_or_assign(name, *piece);
    }
    start = end;
  }
  return {};
}

Result<void> map_fused(const Context& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  if (context.node.op_type == "Gelu") {
    return define(context, context.graph().gelu(context.output, *x));
  }
  Result<float> epsilon = float_attribute(context.node, "epsilon", 0.0F);
  if (!epsilon) {
    return std::unexpected(epsilon.error());
  }
  return define(context, context.graph().layer_norm(context.output, *x, *epsilon));
}

using Mapper = Result<void> (*)(const Context&);

struct OperatorMapper {
  std::string_view op_type;
  Mapper map;
};

constexpr OperatorMapper mappers[] = {
    {"Add", [](const Context& c) { return map_binary(c, Add{}); }},
    {"Sub", [](const Context& c) { return map_binary(c, Sub{}); }},
    {"Mul", [](const Context& c) { return map_binary(c, Mul{}); }},
    {"Div", [](const Context& c) { return map_binary(c, Div{}); }},
    {"Pow", map_pow},
    {"MatMul", map_matmul},
    {"Gemm", map_gemm},
    {"Reshape", map_reshape},
    {"Unsqueeze", map_reshape},
    {"Squeeze", map_reshape},
    {"Expand", map_expand},
    {"Transpose", map_transpose},
    {"Softmax", map_softmax},
    {"LayerNormalization", map_layer_normalization},
    {"Erf", [](const Context& c) { return map_unary(c, &Graph::erf); }},
    {"Tanh", [](const Context& c) { return map_unary(c, &Graph::tanh); }},
    {"Sqrt", [](const Context& c) { return map_unary(c, &Graph::sqrt); }},
    {"ReduceMean", map_reduce_mean},
    {"Slice", map_slice},
    {"Split", map_split},
};

}  // namespace

Result<void> check_operators(std::span<const Node> nodes) {
  std::map<std::string, std::string> unsupported;
  for (const Node& node : nodes) {
    if (find_rule(node) == nullptr) {
      const std::string type = node.domain.empty() ? node.op_type : fmt::format("{}.{}", node.domain, node.op_type);
      unsupported.emplace(type, node_label(node));
    }
  }
  if (!unsupported.empty()) {
    std::vector<std::string> items;
    for (const auto& [type, first] : unsupported) {
      items.push_back(fmt::format("{} (first node {})", type, first));
    }
    return std::unexpected(model_error(fmt::format("unsupported operators: {}", fmt::join(items, ", "))));
  }
  for (const Node& node : nodes) {
    if (Result<void> arity = check_arity(node, *find_rule(node)); !arity) {
      return arity;
    }
  }
  return {};
}

Result<void> map_node(const Folded& folded, Mapping& mapping, const Node& node) {
  const Context context{folded, mapping, node, node.outputs.front()};
  if (node.domain == fused_domain) {
    return map_fused(context);
  }
  const auto* found = std::ranges::find(mappers, node.op_type, &OperatorMapper::op_type);
  if (found == std::end(mappers)) {
    return std::unexpected(node_error(node, "is not an operator the importer maps"));
  }
  return found->map(context);
}

}  // namespace orvo_compiler::onnx_import
