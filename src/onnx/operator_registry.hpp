// The importer's operator registry: one registration per ONNX operator of the
// default domain, holding for each range of opsets everything the passes need
// of it (arity, folding, aliasing, shape rule, mapping). A low-level module:
// parsing, folding and mapping all look operators up here.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "onnx/model.hpp"
#include "onnx/shape_rules.hpp"
#include "orvo_compiler/error.hpp"

namespace orvo_compiler::onnx_import {

// One node's mapping state, defined by map_operators.hpp.
struct MapContext;

// "Any number" in an Arity.
inline constexpr std::size_t many = std::numeric_limits<std::size_t>::max();

// What the importer accepts of a node: the leading inputs that must be
// present (`many`: every input, one at least), the most inputs and the most
// outputs.
struct Arity {
  std::size_t required_inputs = 0;
  std::size_t most_inputs = 0;
  std::size_t most_outputs = 1;
};

// The node's outputs computed from known inputs.
using FoldRule = Result<std::vector<Constant>> (*)(const Node&, std::span<const Operand>);
// Whether the node stands for its first input, given its inputs (a known
// one with its value); fails for a form of it the importer refuses.
using AliasRule = Result<bool> (*)(const Node&, std::span<const Operand>);
// The dims of each output the importer computes, for a node kept for run time.
using ShapeRule = Result<std::vector<Dims>> (*)(const Node&, std::span<const Operand>);
// Adds the graph operations computing the node's outputs.
using MapRule = Result<void> (*)(const MapContext&);
// The element type of each output the importer computes, for a node kept for
// run time.
using DTypeRule = Result<std::vector<DType>> (*)(const Node&, std::span<const Operand>);

struct OpsetRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
};

// How the importer treats an operator over a range of opsets. A node is made
// an alias when `alias` says so; else folded when `fold` is set and its inputs
// are known (only their dims, with `folds_on_dims`); else kept, which needs
// `shape` and `map` (an operator without `map` is fold-only: a run-time input
// is an error). A kept node's outputs have the element types `dtype` gives;
// without it, each has the type of the node's first run-time input (what
// element-wise, movement and product operators give). The mapping must make
// outputs of those types: the importer refuses a node whose operations do not.
struct OperatorForm {
  OpsetRange opsets;
  Arity arity;
  FoldRule fold = nullptr;
  bool folds_on_dims = false;
  AliasRule alias = nullptr;
  ShapeRule shape = nullptr;
  MapRule map = nullptr;
  DTypeRule dtype = nullptr;
};

// An operator's forms, by ascending opsets without gaps or overlaps; a new
// form starts where the operator's meaning changes (an attribute becoming an
// input, another default).
struct Registration {
  std::string_view op_type;
  std::span<const OperatorForm> forms;
};

// Every registration, sorted by op_type.
std::span<const Registration> registered_operators();

// The form handling `node` at `opset`; nothing for a node outside the default
// domain or an operator (or opset) the importer does not handle.
const OperatorForm* find_operator(const Node& node, std::int64_t opset);

// Fails with one error for every fault found: a first line listing every
// operator type the registry lacks at `opset`, each with its first node,
// sorted by type ("unsupported operators: Det (first node /Det)"), an
// operator registered for other opsets naming them ("Softmax (first node
// /sm; accepted at opsets 13 to 17, not 11)"); then, joined as
// joined_errors does, every node of a known operator whose input or output
// count its form does not take, or which omits a required input, in model
// order.
[[nodiscard]] Result<void> check_operators(std::span<const Node> nodes, std::int64_t opset);

// A shape rule of one output from a rule giving its dims.
template <Result<Dims> (*rule)(const Node&, std::span<const Operand>)>
Result<std::vector<Dims>> single_output(const Node& node, std::span<const Operand> operands) {
  Result<Dims> dims = rule(node, operands);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  return std::vector<Dims>{std::move(*dims)};
}

// The graph element type of an operand: a run-time value's own, a known
// value's from its ONNX type (F32 for a type the graph lacks).
inline DType operand_dtype(const Operand& operand) {
  if (operand.constant == nullptr) {
    return operand.dtype;
  }
  return graph_dtype(operand.constant->data_type).value_or(DType::F32);
}

// Element type rules: every output of type `dtype`, or of input `index`'s.
template <DType dtype>
Result<std::vector<DType>> outputs_of_type(const Node& node, std::span<const Operand>) {
  return std::vector<DType>(node.outputs.size(), dtype);
}
template <std::size_t index>
Result<std::vector<DType>> outputs_of_input_type(const Node& node, std::span<const Operand> operands) {
  return std::vector<DType>(node.outputs.size(), operand_dtype(operand_at(operands, index)));
}

// The registrations of each operator family, one file each, which
// registered_operators() gathers.
std::span<const Registration> elementwise_operators();
std::span<const Registration> product_operators();
std::span<const Registration> normalization_operators();
std::span<const Registration> reduction_operators();
std::span<const Registration> movement_operators();
std::span<const Registration> source_operators();
std::span<const Registration> vision_operators();

}  // namespace orvo_compiler::onnx_import
