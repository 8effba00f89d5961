// The fifth pass of the importer: each node left after folding and fusion
// becomes one or a few graph operations, by its operator's mapping rule in
// the registry; and the helpers those rules share.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "onnx/fold_constants.hpp"
#include "onnx/model.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::onnx_import {

// The graph being built: the tensor of each ONNX value already in it, and
// where each weight's values come from.
struct Mapping {
  Graph graph;
  std::map<std::string, TensorId> tensors;
  // Each weight with the key of its values: a name in Folded::constants, or
  // in `derived` for constants made while mapping (a transposed Gemm operand).
  std::vector<std::pair<TensorId, std::string>> weight_sources;
  std::map<std::string, Constant> derived;
};

// The mapping of one node: the model's values, the graph, and the name of
// the node's (first) output.
struct MapContext {
  const Folded& folded;
  Mapping& mapping;
  const Node& node;
  const std::string& output;

  [[nodiscard]] Graph& graph() const { return mapping.graph; }
  [[nodiscard]] const Shape& shape_of(TensorId id) const { return mapping.graph.tensors[id.index].shape; }
  [[nodiscard]] DType dtype_of(TensorId id) const { return mapping.graph.tensors[id.index].dtype; }
  [[nodiscard]] const Shape& output_shape() const { return folded.shapes.at(output); }
  // The element type the fold pass gave the (first) output.
  [[nodiscard]] DType output_dtype() const { return folded.dtypes.at(output); }
  [[nodiscard]] std::string derived(std::string_view suffix) const { return fmt::format("{}/{}", output, suffix); }
  [[nodiscard]] const Constant* constant(std::size_t index) const {
    const auto found = folded.constants.find(node.inputs[index]);
    return found == folded.constants.end() ? nullptr : &found->second;
  }
  void define(TensorId id) const { mapping.tensors.insert_or_assign(output, id); }
};

// The graph tensor of input `index`: a run-time value, or the weight of a
// constant (made on first use, a rank-0 one as shape [1]) of its type: FLOAT
// as F32, BOOL as Bool, other integers as I64; other types are refused.
[[nodiscard]] Result<TensorId> input(const MapContext& context, std::size_t index);
// A weight made while mapping, under a key private to this node (`role`).
[[nodiscard]] Result<TensorId> derived_weight(const MapContext& context, std::string_view role,
                                              const std::string& display_name, Constant constant);
// `id` itself when it has `shape`, else a Broadcast of it named `name`.
[[nodiscard]] Result<TensorId> broadcast_to(const MapContext& context, const std::string& name, TensorId id,
                                            const Shape& shape);
// `left` op `right` into `shape`: one operation that broadcasts its operands
// in place when `shape` is their broadcast shape; else each operand is
// broadcast to `shape` first (as `<name>/broadcast0`, `<name>/broadcast1`).
[[nodiscard]] Result<TensorId> binary(const MapContext& context, const std::string& name, OpKind kind, TensorId left,
                                      TensorId right, const Shape& shape);
// `value` times the scalar `factor`, held in a shape-[1] weight `<output>/<role>`.
[[nodiscard]] Result<TensorId> scaled(const MapContext& context, const std::string& name, std::string_view role,
                                      TensorId value, float factor);
// Records `id` as the node's (first) output.
[[nodiscard]] Result<void> define(const MapContext& context, Result<TensorId> id);

// Adds the operations computing `node`'s outputs, the last of them named
// after the output it computes, helpers after that name plus a suffix.
// Known inputs become weights named as in the model (a scalar as shape [1]).
// A graph builder's refusal is named after the node; an output whose element
// type is not the one the fold pass gave it is refused.
[[nodiscard]] Result<void> map_node(const Folded& folded, Mapping& mapping, const Node& node);

}  // namespace orvo_compiler::onnx_import
