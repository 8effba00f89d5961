// Constant folding and static shapes in one walk over the nodes: after
// binding, every input's shape is known, so Shape of a run-time value folds
// too and each kept node's output shapes follow from its inputs'.
#include "onnx/fold_constants.hpp"

#include <algorithm>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "onnx/constant_ops.hpp"
#include "onnx/operator_registry.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

struct Walk {
  Folded folded;
  // Outputs the importer never computes (LayerNormalization's mean and
  // inverse deviation), each with the node that declares it.
  std::map<std::string, std::string> skipped;
  // The outputs of refused nodes and of every node that reads one: the walk
  // goes on past a refusal, but what depends on it is not looked at, since
  // its faults would only echo the first.
  std::set<std::string> refused;
};

bool reads_refused(const Walk& walk, const Node& node) {
  return std::ranges::any_of(node.inputs, [&walk](const std::string& input) {
    return walk.refused.contains(resolve_alias(walk.folded, input));
  });
}

void refuse_outputs(Walk& walk, const std::vector<std::string>& outputs) {
  for (const std::string& output : outputs) {
    if (!output.empty()) {
      walk.refused.insert(output);
    }
  }
}

Result<void> check_inputs(const Walk& walk, const Node& node) {
  for (const std::string& input : node.inputs) {
    if (input.empty() || walk.folded.constants.contains(input) || walk.folded.shapes.contains(input)) {
      continue;
    }
    if (const auto skipped = walk.skipped.find(input); skipped != walk.skipped.end()) {
      return std::unexpected(node_error(
          node, fmt::format("input {} is an output of node {} that the importer does not compute", input,
                            skipped->second)));
    }
    return std::unexpected(node_error(node, fmt::format("input {} is not defined", input)));
  }
  return {};
}

// The first input computed at run time.
const std::string& first_run_time_input(const Node& node, std::span<const Operand> operands) {
  for (std::size_t index = 0; index < operands.size(); ++index) {
    if (operands[index].present && operands[index].constant == nullptr) {
      return node.inputs[index];
    }
  }
  return node.inputs.front();
}

bool is_run_time_shape(const Dims& dims) {
  return !dims.empty() && element_count(dims).has_value() &&
         std::ranges::all_of(dims, [](std::int64_t dim) { return dim >= 1; });
}

// The element type of each output of a kept node: by the form's rule, else
// that of the first run-time input (a kept node has one).
Result<std::vector<DType>> output_dtypes(const Node& node, std::span<const Operand> operands,
                                         const OperatorForm& form) {
  if (form.dtype != nullptr) {
    return form.dtype(node, operands);
  }
  const auto run_time = std::ranges::find_if(
      operands, [](const Operand& operand) { return operand.present && operand.constant == nullptr; });
  const DType dtype = run_time == operands.end() ? DType::F32 : run_time->dtype;
  return std::vector<DType>(node.outputs.size(), dtype);
}

Result<void> keep_node(Walk& walk, Node node, std::span<const Operand> operands, const OperatorForm& form) {
  if (form.map == nullptr || form.shape == nullptr) {
    return std::unexpected(node_error(node, fmt::format("input {} is computed at run time, but {} is accepted only "
                                                        "when its inputs are known at import",
                                                        first_run_time_input(node, operands), node.op_type)));
  }
  Result<std::vector<Dims>> outputs = form.shape(node, operands);
  if (!outputs) {
    return std::unexpected(outputs.error());
  }
  Result<std::vector<DType>> dtypes = output_dtypes(node, operands, form);
  if (!dtypes) {
    return std::unexpected(dtypes.error());
  }
  for (std::size_t index = 0; index < node.outputs.size(); ++index) {
    const std::string& name = node.outputs[index];
    if (name.empty()) {
      continue;
    }
    if (index >= outputs->size()) {
      walk.skipped.emplace(name, node_label(node));
      continue;
    }
    const Dims& dims = (*outputs)[index];
    if (!is_run_time_shape(dims)) {
      return std::unexpected(node_error(node, fmt::format("output {} would have shape {}; values computed at run time "
                                                          "need at least one axis and no zero dimension",
                                                          name, dims_text(dims))));
    }
    walk.folded.shapes.emplace(name, to_shape(dims));
    walk.folded.dtypes.emplace(name, index < dtypes->size() ? (*dtypes)[index] : DType::F32);
  }
  walk.folded.nodes.push_back(std::move(node));
  return {};
}

Result<void> fold_node(Walk& walk, Node node) {
  for (std::string& input : node.inputs) {
    input = resolve_alias(walk.folded, input);
  }
  if (Result<void> defined = check_inputs(walk, node); !defined) {
    return defined;
  }
  const OperatorForm* form = find_operator(node, walk.folded.opset);
  if (form == nullptr) {
    return std::unexpected(node_error(node, "is not an operator the importer maps"));
  }
  const std::vector<Operand> operands = operands_of(walk.folded, node);
  const bool all_known = std::ranges::all_of(
      operands, [](const Operand& operand) { return !operand.present || operand.constant != nullptr; });
  if (form->alias != nullptr) {
    Result<bool> aliased = form->alias(node, operands);
    if (!aliased) {
      return std::unexpected(aliased.error());
    }
    if (*aliased) {
      if (!node.outputs.front().empty()) {
        walk.folded.aliases.emplace(node.outputs.front(), node.inputs.front());
      }
      return {};
    }
  }
  if (form->fold != nullptr && (all_known || form->folds_on_dims)) {
    Result<std::vector<Constant>> values = evaluate_constant(node, operands, walk.folded.opset);
    if (!values) {
      return std::unexpected(values.error());
    }
    for (std::size_t index = 0; index < node.outputs.size() && index < values->size(); ++index) {
      if (!node.outputs[index].empty()) {
        walk.folded.constants.insert_or_assign(node.outputs[index], std::move((*values)[index]));
      }
    }
    return {};
  }
  return keep_node(walk, std::move(node), operands, *form);
}

}  // namespace

std::vector<Operand> operands_of(const Folded& folded, const Node& node) {
  std::vector<Operand> operands;
  operands.reserve(node.inputs.size());
  for (const std::string& input : node.inputs) {
    if (input.empty()) {
      operands.emplace_back();
    } else if (const auto constant = folded.constants.find(input); constant != folded.constants.end()) {
      operands.push_back(Operand{true, constant->second.dims, &constant->second});
    } else {
      const auto dtype = folded.dtypes.find(input);
      operands.push_back(Operand{true, to_dims(folded.shapes.at(input)), nullptr,
                                 dtype == folded.dtypes.end() ? DType::F32 : dtype->second});
    }
  }
  return operands;
}

const std::string& resolve_alias(const Folded& folded, const std::string& name) {
  const auto found = folded.aliases.find(name);
  return found == folded.aliases.end() ? name : found->second;
}

Result<Folded> fold_constants(std::map<std::string, Constant> initializers, std::vector<Node> nodes,
                              std::span<const BoundInput> inputs, std::int64_t opset) {
  Walk walk;
  walk.folded.opset = opset;
  walk.folded.constants = std::move(initializers);
  for (const BoundInput& input : inputs) {
    walk.folded.shapes.emplace(input.name, input.scalar ? Shape{} : input.shape);
    walk.folded.dtypes.emplace(input.name, input.dtype);
  }
  std::vector<CompileError> errors;
  for (Node& node : nodes) {
    if (reads_refused(walk, node)) {
      refuse_outputs(walk, node.outputs);
      continue;
    }
    // fold_node takes the node; its outputs are still needed when it fails.
    const std::vector<std::string> outputs = node.outputs;
    if (Result<void> folded = fold_node(walk, std::move(node)); !folded) {
      errors.push_back(folded.error());
      refuse_outputs(walk, outputs);
    }
  }
  if (!errors.empty()) {
    return std::unexpected(joined_errors(errors));
  }
  return std::move(walk.folded);
}

}  // namespace orvo_compiler::onnx_import
