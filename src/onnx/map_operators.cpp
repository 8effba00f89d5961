// The mapping pass and the helpers the operators' mapping rules share.
// Element-wise operations broadcast in place (the graph's Add, Sub, Mul and
// Div read a smaller operand where it lies, by numpy's rules), so no operand
// is copied to the result's shape; constants become weights on first use. The
// operators themselves map in their families' files.
#include "onnx/map_operators.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "onnx/operator_registry.hpp"

namespace orvo_compiler::onnx_import {
namespace {

// A weight holding a constant, of the constant's type: rank 0 becomes shape [1].
Result<TensorId> add_weight(const MapContext& context, const std::string& display_name, const std::string& key,
                            const Constant& constant) {
  const std::optional<DType> dtype = graph_dtype(constant.data_type);
  if (!dtype) {
    return std::unexpected(node_error(context.node, fmt::format("input {} has element type {}, which the graph "
                                                                "does not hold; FLOAT, BOOL and integers are",
                                                                display_name, data_type_name(constant.data_type))));
  }
  Shape shape = constant.dims.empty() ? Shape{1} : to_shape(constant.dims);
  if (std::ranges::find(shape, 0U) != shape.end()) {
    return std::unexpected(node_error(context.node, fmt::format("input {} has shape {}, with a zero dimension",
                                                                display_name, dims_text(constant.dims))));
  }
  const TensorId id = context.graph().weight(display_name, std::move(shape), *dtype);
  context.mapping.weight_sources.emplace_back(id, key);
  return id;
}

Result<void> map_fused(const MapContext& context) {
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

// Each output mapped has the element type the fold pass gave it, which later
// nodes' rules have read.
Result<void> check_output_dtypes(const MapContext& context) {
  for (const std::string& output : context.node.outputs) {
    const auto tensor = context.mapping.tensors.find(output);
    const auto expected = context.folded.dtypes.find(output);
    if (tensor == context.mapping.tensors.end() || expected == context.folded.dtypes.end()) {
      continue;
    }
    if (const DType made = context.dtype_of(tensor->second); made != expected->second) {
      return fail(context.node, fmt::format("output {} is made {} where the fold pass gave it {}", output, made,
                                            expected->second));
    }
  }
  return {};
}

}  // namespace

Result<TensorId> input(const MapContext& context, std::size_t index) {
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

Result<TensorId> derived_weight(const MapContext& context, std::string_view role, const std::string& display_name,
                                Constant constant) {
  const std::string key = context.derived(role);
  const auto [slot, inserted] = context.mapping.derived.insert_or_assign(key, std::move(constant));
  return add_weight(context, display_name, key, slot->second);
}

Result<TensorId> broadcast_to(const MapContext& context, const std::string& name, TensorId id, const Shape& shape) {
  if (context.shape_of(id) == shape) {
    return id;
  }
  return context.graph().broadcast(name, id, shape);
}

Result<TensorId> binary(const MapContext& context, const std::string& name, OpKind kind, TensorId left, TensorId right,
                        const Shape& shape) {
  const Result<Dims> together =
      broadcast_dims(context.node, to_dims(context.shape_of(left)), to_dims(context.shape_of(right)));
  if (together && to_shape(*together) == shape) {
    return context.graph().apply(name, std::move(kind), {left, right});
  }
  // A result larger than both operands together needs one of them copied out.
  Result<TensorId> a = broadcast_to(context, name + "/broadcast0", left, shape);
  if (!a) {
    return a;
  }
  Result<TensorId> b = broadcast_to(context, name + "/broadcast1", right, shape);
  if (!b) {
    return b;
  }
  // `apply` gives the output the operands' element type (the named builder
  // makes every output F32).
  return context.graph().apply(name, std::move(kind), {*a, *b});
}

Result<TensorId> scaled(const MapContext& context, const std::string& name, std::string_view role, TensorId value,
                        float factor) {
  Result<TensorId> weight =
      derived_weight(context, role, context.derived(role), Constant{float_type, {}, {factor}, {}});
  if (!weight) {
    return weight;
  }
  return binary(context, name, Mul{}, value, *weight, context.shape_of(value));
}

Result<void> define(const MapContext& context, Result<TensorId> id) {
  if (!id) {
    return std::unexpected(id.error());
  }
  context.define(*id);
  return {};
}

Result<void> map_node(const Folded& folded, Mapping& mapping, const Node& node) {
  const MapContext context{folded, mapping, node, node.outputs.front()};
  Result<void> mapped;
  if (node.domain == fused_domain) {
    mapped = map_fused(context);
  } else {
    const OperatorForm* form = find_operator(node, folded.opset);
    if (form == nullptr || form->map == nullptr) {
      return std::unexpected(node_error(node, "is not an operator the importer maps"));
    }
    mapped = form->map(context);
  }
  if (!mapped) {
    return mapped.error().message.starts_with("onnx: ") ? mapped : fail(node, mapped.error().message);
  }
  return check_output_dtypes(context);
}

}  // namespace orvo_compiler::onnx_import
