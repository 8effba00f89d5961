// The operator table of the importer and the fifth pass: each node left
// after folding and fusion becomes one or a few graph operations.
#pragma once

#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "onnx/fold_constants.hpp"
#include "onnx/model.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::onnx_import {

// Fails with one error listing every operator type outside the table, each
// with its first node, sorted by type ("unsupported operators: Conv (first
// node /conv1/Conv), CumSum (first node /CumSum)"); then with the first node
// whose input or output count the operator does not take, or which omits a
// required input.
[[nodiscard]] Result<void> check_operators(std::span<const Node> nodes);

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

// Adds the operations computing `node`'s outputs, the last of them named
// after the output it computes, helpers after that name plus a suffix.
// Known inputs become weights named as in the model (a scalar as shape [1]).
[[nodiscard]] Result<void> map_node(const Folded& folded, Mapping& mapping, const Node& node);

}  // namespace orvo_compiler::onnx_import
