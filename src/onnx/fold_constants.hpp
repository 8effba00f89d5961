// The third pass of the importer: evaluates everything that depends only on
// known values and learns the static shape of every value computed at run
// time, leaving the nodes that the mapping pass turns into operations.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "onnx/bind_dimensions.hpp"
#include "onnx/model.hpp"
#include "onnx/shape_rules.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::onnx_import {

struct Folded {
  // Every value known at import time: initializers and folded results.
  std::map<std::string, Constant> constants;
  // Every value computed at run time (graph inputs, node outputs): its shape
  // and its element type.
  std::map<std::string, Shape> shapes;
  std::map<std::string, DType> dtypes;
  // Values equal to another (Identity, Cast to float), mapped to that value.
  std::map<std::string, std::string> aliases;
  // The nodes left to map, in model order, their inputs read through
  // `aliases` already.
  std::vector<Node> nodes;
  // The opset of the default domain, which picks each operator's form.
  std::int64_t opset = 0;

  friend bool operator==(const Folded&, const Folded&) = default;
};

// Walks `nodes` in order, each by its operator's form at `opset` in the
// registry. A node the form makes an alias (Identity, and Cast of a run-time
// value to FLOAT) stands for its input; one whose inputs are all known (or a
// Shape of any value) is evaluated; any other node is kept with its outputs'
// shapes and element types computed (the form's dtype rule, else the type of
// its first run-time input). Fails when a fold-only operator meets a run-time input,
// when a run-time value would be a scalar or have a zero dimension, or when a
// node reads an output the importer does not compute (LayerNormalization's
// mean, say). The walk goes on past a failing node, leaving out the nodes
// that read what it would have computed, so that the error lists every
// independent refusal in model order (as joined_errors joins them).
[[nodiscard]] Result<Folded> fold_constants(std::map<std::string, Constant> initializers, std::vector<Node> nodes,
                                            std::span<const BoundInput> inputs, std::int64_t opset);

// The inputs of `node` as the shape rules read them; every input must be a
// constant or have a shape and element type in `folded`.
std::vector<Operand> operands_of(const Folded& folded, const Node& node);

// The value `name` stands for after following aliases.
const std::string& resolve_alias(const Folded& folded, const std::string& name);

}  // namespace orvo_compiler::onnx_import
